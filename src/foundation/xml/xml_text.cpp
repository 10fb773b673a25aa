// Optional element text in 16 bytes: storing, copying, moving and wiping the
// text held in place or on the heap. Foundation layer: calls only the C
// and C++ libraries.
#include "foundation/xml/xml_text.h"

#include <string.h>  // explicit_bzero

#include <new>
#include <ostream>

void XMLText::Store(const char* text, size_t size) {
  if (size <= kInlineCapacity) {
    // Zeros after the text: its NUL, and nothing left of an older text.
    std::memset(bytes_, 0, sizeof bytes_);
    if (size > 0) std::memcpy(bytes_, text, size);  // an empty view may have no data
    bytes_[kKindByte] = static_cast<unsigned char>(kInlineCapacity - size);
    return;
  }
  if (size > kMaxHeapSize) throw std::bad_alloc();
  char* copy = new char[size + 1];
  std::memcpy(copy, text, size);
  copy[size] = '\0';
  const uint64_t word = kLittle ? (uint64_t{size} | (uint64_t{kHeap} << 56)) : ((uint64_t{size} << 8) | kHeap);
  std::memcpy(bytes_, &copy, sizeof copy);
  std::memcpy(bytes_ + 8, &word, sizeof word);
}

void XMLText::FreeHeap() noexcept {
  if (Kind() == kHeap) delete[] HeapPointer();
}

XMLText::XMLText(const std::optional<std::string>& text) {
  if (text) {
    Store(text->data(), text->size());
  } else {
    MarkAbsent();
  }
}

XMLText::XMLText(const XMLText& other) {
  if (other.Kind() == kHeap) {
    Store(other.HeapPointer(), other.HeapSize());
  } else {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
  }
}

XMLText::XMLText(XMLText&& other) noexcept {
  std::memcpy(bytes_, other.bytes_, sizeof bytes_);
  other.MarkAbsent();
}

XMLText& XMLText::operator=(const XMLText& other) {
  if (this == &other) return *this;
  if (other.Kind() == kHeap) return assign(*other);
  FreeHeap();
  std::memcpy(bytes_, other.bytes_, sizeof bytes_);
  return *this;
}

XMLText& XMLText::operator=(XMLText&& other) noexcept {
  if (this != &other) {
    FreeHeap();
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.MarkAbsent();
  }
  return *this;
}

XMLText& XMLText::operator=(const char* text) {
  if (text == nullptr) {
    reset();
    return *this;
  }
  return assign(std::string_view(text));
}

XMLText& XMLText::operator=(const std::optional<std::string>& text) {
  if (!text) {
    reset();
    return *this;
  }
  return assign(std::string_view(*text));
}

XMLText& XMLText::assign(std::string_view text) {
  // The new text is stored in a scratch value first: `text` may lie in this
  // value's own bytes, and a failed allocation must leave the value whole.
  XMLText fresh;
  fresh.Store(text.data(), text.size());
  FreeHeap();
  std::memcpy(bytes_, fresh.bytes_, sizeof bytes_);
  fresh.MarkAbsent();
  return *this;
}

std::string XMLText::value_or(std::string_view fallback) const {
  return has_value() ? std::string(**this) : std::string(fallback);
}

std::optional<std::string> XMLText::ToOptional() const {
  if (!has_value()) return std::nullopt;
  return std::string(**this);
}

void XMLText::Wipe() noexcept {
  const size_t size = Size();
  if (size > 0) explicit_bzero(const_cast<char*>(Data()), size);
}

std::ostream& operator<<(std::ostream& out, const XMLText& text) {
  if (!text) return out << "(absent)";
  return out << '"' << std::string_view(*text) << '"';
}
