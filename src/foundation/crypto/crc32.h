// The reflected CRC-32 register run over bytes, the base of the legacy
// 32-bit password hash.
// Foundation layer; calls nothing.
#pragma once

#include <cstddef>
#include <cstdint>

// --- CRC-32 ---

// Runs the standard reflected CRC-32 table (polynomial 0xEDB88320) over
// `length` bytes, beginning with `start`:
//   register = (register >> 8) ^ table[(register ^ byte) & 0xFF]
// The register is never inverted, before or after, so this is NOT the common
// zip CRC unless the caller inverts it. Returns the register after the last
// byte; 0 (not `start`) for null bytes or a length of 0.
uint32_t CalcCRC32(const void* bytes, size_t length, uint32_t start);
