// The texts and words inside transport blocks: the borrowed text argument
// (null kept apart from empty), little-endian words appended to a block or
// read from one within its bounds, and the TransportString form. Pure byte
// work: no socket, no state, no log line.
// Foundation layer: calls foundation/util/byte_order.h only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "foundation/util/byte_order.h"

// ---- Text argument --------------------------------------------------------------

// A borrowed text for the sending and packing operations that keeps null apart
// from empty: built implicitly from a const char* (null pointer = null string),
// a std::string, or a std::optional<std::string> (nullopt = null string).
// It only points at the caller's text: use it as a parameter, never keep one.
// Invariant (kept by every constructor): data[length] is a NUL, so the text
// and its terminator can be sent as one run of length + 1 bytes. A std::string
// with NULs inside is carried whole; a receiver ends the text at the first NUL.
struct WireText {
  const char* data = nullptr;  // null: a null (absent) string
  size_t length = 0;           // bytes of the text, without the NUL

  WireText() = default;
  WireText(std::nullptr_t) {}
  WireText(const char* text) : data(text), length(text ? std::strlen(text) : 0) {}
  WireText(const std::string& text) : data(text.c_str()), length(text.size()) {}
  WireText(const std::optional<std::string>& text)
      : data(text ? text->c_str() : nullptr), length(text ? text->size() : 0) {}

  bool IsNull() const { return data == nullptr; }
};

// ---- Little-endian words --------------------------------------------------------

// PutLE32 and GetLE32 (a u32 at any address, least significant byte first)
// come from foundation/util/byte_order.h, included above.

// Appends the 4 bytes of `value` to a block being built.
bool AppendLE32(std::vector<unsigned char>& block, uint32_t value);

// Bounds-checked reader for blocks from clients: when 4 bytes remain between
// *offset and blockSize, stores the word in *value, advances *offset by 4 and
// gives true; otherwise gives false, sets *value to 0 and leaves *offset.
bool ReadLE32(const unsigned char* block, size_t blockSize, size_t* offset, uint32_t* value);

// ---- Transport strings ----------------------------------------------------------
// Inside a block a text is a u32 L (length + 1; 0 for an absent text) and then
// the L bytes of the text and its NUL, with no alignment. Builders size a block
// with GetTransportStringSize before filling it.

// Bytes the text takes in a block: length + 5, or 4 for a null text.
size_t GetTransportStringSize(WireText text);

// Appends the transport string to `block`. False (block unchanged) only when
// the text is too long for a u32 length or memory runs out.
bool PutTransportString(std::vector<unsigned char>& block, WireText text);

// Writes the transport string at *offset into the `blockSize`-byte block and
// advances *offset by its size. Does nothing and gives false when the block or
// the offset address is null or the string does not fit before blockSize.
bool PutTransportString(unsigned char* block, size_t blockSize, size_t* offset, WireText text);

// Reads a transport string at *offset from the `blockSize`-byte block; never
// reads a byte at or past blockSize. Sets *failReason (when given) and returns:
//   - the text and 0: the offset advanced by 4 + L; the text is what precedes
//     the first NUL inside the L bytes;
//   - nullopt and 0: L was 0, an absent text; the offset advanced by 4;
//   - nullopt and 1: no memory for the copy; the offset still advanced by 4 + L
//     so the reader stays in step;
//   - nullopt and 2: block or offset address null, fewer than 4 bytes left for
//     the length word, L past the block's end, or no NUL inside the L bytes;
//     the offset is left where it was.
std::optional<std::string> GetTransportString(const unsigned char* block, size_t blockSize,
                                              size_t* offset, int* failReason);
