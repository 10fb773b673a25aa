// The keystream scrambler: a 31-bit linear feedback shift register whose
// output bytes are XORed over a buffer. Clients scramble the credential token
// of a logon with it, and one step of the register makes session IDs, so the
// exact keystream is part of the protocol.
// Foundation layer; calls nothing.
#pragma once

#include <cstddef>
#include <cstdint>

// --- Shift register ---

// Low 31 bits of a seed: the register's whole state.
constexpr uint32_t kLfsrStateMask = 0x7FFFFFFF;

// One step: feedback = bit 0 ^ bit 7 ^ bit 11 ^ bit 23 of x; the result is
// (x >> 1, unsigned) ^ (feedback << 30). So 1 -> 0x40000000, 0x81 -> 0x40,
// 0x80000000 -> 0x40000000 and 0 -> 0. Bit 31 of the result is always 0.
uint32_t NextLfsrValue(uint32_t x);

// --- Scrambling ---

// XORs the register's keystream over `length` bytes at `buffer` in place:
// state = seed & 0x7FFFFFFF; for each byte, step the register once and again
// while its low 8 bits are 0, then XOR the byte with those low 8 bits.
// Returns the final state. A null buffer, a length of 0 or a seed whose low
// 31 bits are 0 (0, 0x80000000) changes nothing and returns 0.
// Running it again with the same seed restores the buffer.
uint32_t ScrambleBuffer(void* buffer, size_t length, uint32_t seed);

// The same change as ScrambleBuffer, without its result.
void DescrambleBuffer(void* buffer, size_t length, uint32_t seed);
