// Transport strings and little-endian words of transport blocks.
// Foundation layer: calls foundation/util/byte_order.h only.
#include "foundation/wire/transport_string.h"

#include <exception>
#include <limits>

// ---- Little-endian words --------------------------------------------------------

// Appended by insertion, not by a resize that zeroes the room first: a reply
// is built of many small appends.
bool AppendLE32(std::vector<unsigned char>& block, uint32_t value) {
  unsigned char word[4];
  PutLE32(word, value);
  try {
    block.insert(block.end(), word, word + 4);
  } catch (const std::exception&) {
    return false;  // an insertion at the end leaves the vector unchanged on failure
  }
  return true;
}

bool ReadLE32(const unsigned char* block, size_t blockSize, size_t* offset, uint32_t* value) {
  if (value) *value = 0;
  if (block == nullptr || offset == nullptr || value == nullptr) return false;
  if (*offset > blockSize || blockSize - *offset < 4) return false;
  *value = GetLE32(block + *offset);
  *offset += 4;
  return true;
}

// ---- Transport strings ----------------------------------------------------------

namespace {

// Largest text whose L (length + 1) still fits the u32 length word.
constexpr size_t kMaxTransportTextLength = std::numeric_limits<uint32_t>::max() - 1;

// Writes the string at `at`, which has GetTransportStringSize(text) bytes.
void WriteTransportString(unsigned char* at, WireText text) {
  if (text.IsNull()) {
    PutLE32(at, 0);
    return;
  }
  PutLE32(at, static_cast<uint32_t>(text.length + 1));
  std::memcpy(at + 4, text.data, text.length);
  at[4 + text.length] = 0;
}

}  // namespace

size_t GetTransportStringSize(WireText text) {
  return text.IsNull() ? 4 : text.length + 5;
}

bool PutTransportString(std::vector<unsigned char>& block, WireText text) {
  if (!text.IsNull() && text.length > kMaxTransportTextLength) return false;
  const size_t old = block.size();
  unsigned char word[4];
  PutLE32(word, text.IsNull() ? 0u : static_cast<uint32_t>(text.length + 1));
  try {
    block.insert(block.end(), word, word + 4);
    if (!text.IsNull()) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(text.data);
      block.insert(block.end(), bytes, bytes + text.length);
      block.push_back(0);
    }
  } catch (const std::exception&) {
    block.resize(old);  // what was appended goes again (a shrink never throws)
    return false;
  }
  return true;
}

bool PutTransportString(unsigned char* block, size_t blockSize, size_t* offset, WireText text) {
  if (block == nullptr || offset == nullptr) return false;
  if (!text.IsNull() && text.length > kMaxTransportTextLength) return false;
  const size_t need = GetTransportStringSize(text);
  if (*offset > blockSize || blockSize - *offset < need) return false;
  WriteTransportString(block + *offset, text);
  *offset += need;
  return true;
}

std::optional<std::string> GetTransportString(const unsigned char* block, size_t blockSize,
                                              size_t* offset, int* failReason) {
  int scratchReason = 0;
  int& rc = failReason ? *failReason : scratchReason;
  rc = 0;
  if (block == nullptr || offset == nullptr) {
    rc = 2;
    return std::nullopt;
  }
  const size_t start = *offset;
  if (start > blockSize || blockSize - start < 4) {
    rc = 2;
    return std::nullopt;
  }
  const uint32_t wireLength = GetLE32(block + start);
  if (wireLength == 0) {
    *offset = start + 4;
    return std::nullopt;
  }
  // The L bytes, NUL included, must lie inside the block.
  const size_t textStart = start + 4;
  if (blockSize - textStart < wireLength) {
    rc = 2;
    return std::nullopt;
  }
  const char* text = reinterpret_cast<const char*>(block + textStart);
  const void* nul = std::memchr(text, '\0', wireLength);
  if (nul == nullptr) {
    rc = 2;
    return std::nullopt;
  }
  *offset = textStart + wireLength;  // in step even when the copy fails
  try {
    return std::string(text, static_cast<size_t>(static_cast<const char*>(nul) - text));
  } catch (const std::exception&) {
    rc = 1;
    return std::nullopt;
  }
}
