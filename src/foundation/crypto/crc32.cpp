// The reflected CRC-32 register, table-driven, never inverted.
// Foundation layer; calls nothing.
#include "foundation/crypto/crc32.h"

#include <array>

namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;  // reflected form of 0x04C11DB7

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1u) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x77073096u && kCrcTable[255] == 0x2D02EF8Du);

}  // namespace

uint32_t CalcCRC32(const void* bytes, size_t length, uint32_t start) {
  if (bytes == nullptr || length == 0) return 0;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  uint32_t reg = start;
  for (size_t i = 0; i < length; ++i) reg = (reg >> 8) ^ kCrcTable[(reg ^ p[i]) & 0xFFu];
  return reg;
}
