// The little-endian 32-bit word of every file and wire format of the server
// (the ring log's blocks, uid.val, the NodeHeader, wire integers and the
// transport blocks), written and read byte by byte: no alignment needed and
// the same bytes on any host.
// Foundation layer; depends on nothing.
#pragma once

#include <cstdint>

// Writes `value` at `at`, least significant byte first.
inline void PutLE32(unsigned char* at, uint32_t value) {
  at[0] = static_cast<unsigned char>(value);
  at[1] = static_cast<unsigned char>(value >> 8);
  at[2] = static_cast<unsigned char>(value >> 16);
  at[3] = static_cast<unsigned char>(value >> 24);
}

// Reads the word at `at`, least significant byte first.
inline uint32_t GetLE32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
         (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}
