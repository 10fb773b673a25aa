// Optional element text in 16 bytes (XMLText): absent, or a text held in
// place when it is at most 15 bytes long, else on the heap. Used for the
// value of every XML node. Foundation layer: calls nothing but the C++
// library.
#pragma once

#include <cstddef>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

// Read access to a text: a string view whose bytes are followed by a NUL,
// so that c_str() is safe to hand to C interfaces. Valid while the text it
// views is neither changed nor destroyed.
class XMLTextView : public std::string_view {
 public:
  const char* c_str() const noexcept { return data(); }

 private:
  friend class XMLText;
  constexpr XMLTextView(const char* data, size_t size) noexcept : std::string_view(data, size) {}
};

// An optional text with the interface of std::optional<std::string> where
// it costs nothing: absent and empty are always two values. `*` and `->`
// give an XMLTextView (of the empty text when absent). Assigning a text
// copies it, and throws std::bad_alloc when a long one cannot be stored (the
// value then stays as it was); a null `const char*` makes it absent. A
// moved-from value is absent.
//
// Layout: byte 15 says which kind the value is. 0 to 15: the text is held in
// place, 15 minus that byte long, and followed by a NUL (the zero byte 15
// itself when it is 15 bytes long). kHeap: bytes 0-7 point to a heap copy
// with its NUL, bytes 8-14 hold its length. kAbsent: no text.
class XMLText {
 public:
  // Longest text held in place.
  static constexpr size_t kInlineCapacity = 15;

  XMLText() noexcept { MarkAbsent(); }
  XMLText(std::nullopt_t) noexcept { MarkAbsent(); }
  explicit XMLText(std::string_view text) { Store(text.data(), text.size()); }
  explicit XMLText(const std::optional<std::string>& text);
  XMLText(const XMLText& other);
  XMLText(XMLText&& other) noexcept;
  ~XMLText() { FreeHeap(); }

  XMLText& operator=(const XMLText& other);
  XMLText& operator=(XMLText&& other) noexcept;
  XMLText& operator=(std::nullopt_t) noexcept {
    reset();
    return *this;
  }
  XMLText& operator=(std::string_view text) { return assign(text); }
  XMLText& operator=(const std::string& text) { return assign(std::string_view(text)); }
  XMLText& operator=(const char* text);
  XMLText& operator=(const std::optional<std::string>& text);
  // Sets the text (alias-safe: `text` may view this value's own text).
  XMLText& assign(std::string_view text);

  bool has_value() const noexcept { return Kind() != kAbsent; }
  explicit operator bool() const noexcept { return has_value(); }
  void reset() noexcept {
    FreeHeap();
    MarkAbsent();
  }

  XMLTextView operator*() const noexcept { return XMLTextView(Data(), Size()); }
  struct Arrow {
    XMLTextView view;
    const XMLTextView* operator->() const noexcept { return &view; }
  };
  Arrow operator->() const noexcept { return Arrow{**this}; }

  // The text, or `fallback` when absent, as an owned string.
  std::string value_or(std::string_view fallback) const;
  // The value as a std::optional<std::string> (for records that keep one).
  std::optional<std::string> ToOptional() const;

  // Overwrites the text's bytes with zeros in a way the compiler keeps (for
  // a password about to be replaced); its length stays.
  void Wipe() noexcept;

  // True when the text lives in a heap block of its own (for tests).
  bool OnHeap() const noexcept { return Kind() == kHeap; }

  friend bool operator==(const XMLText& a, const XMLText& b) noexcept {
    return a.has_value() == b.has_value() && (!a.has_value() || *a == *b);
  }
  friend bool operator==(const XMLText& a, std::nullopt_t) noexcept { return !a.has_value(); }
  friend bool operator==(const XMLText& a, std::string_view b) noexcept { return a.has_value() && *a == b; }
  friend bool operator==(const XMLText& a, const std::string& b) noexcept {
    return a.has_value() && *a == std::string_view(b);
  }
  friend bool operator==(const XMLText& a, const char* b) noexcept {
    return b != nullptr && a.has_value() && *a == std::string_view(b);
  }
  friend bool operator==(const XMLText& a, const std::optional<std::string>& b) noexcept {
    return a.has_value() == b.has_value() && (!b || *a == std::string_view(*b));
  }

 private:
  static constexpr unsigned char kHeap = 0x80;
  static constexpr unsigned char kAbsent = 0xFF;
  static constexpr size_t kKindByte = 15;

  unsigned char Kind() const noexcept { return bytes_[kKindByte]; }
  const char* Data() const noexcept { return Kind() == kHeap ? HeapPointer() : reinterpret_cast<const char*>(bytes_); }
  size_t Size() const noexcept {
    const unsigned char kind = Kind();
    if (kind <= kInlineCapacity) return kInlineCapacity - kind;
    return kind == kHeap ? HeapSize() : 0;
  }
  // Bytes 8-15 as one word: the length in seven bytes, the kind byte last.
  static constexpr bool kLittle = std::endian::native == std::endian::little;
  static constexpr uint64_t kMaxHeapSize = (uint64_t{1} << 56) - 1;
  char* HeapPointer() const noexcept {
    char* p;
    std::memcpy(&p, bytes_, sizeof p);
    return p;
  }
  size_t HeapSize() const noexcept {
    uint64_t word;
    std::memcpy(&word, bytes_ + 8, sizeof word);
    return static_cast<size_t>(kLittle ? word & kMaxHeapSize : word >> 8);
  }
  void MarkAbsent() noexcept {
    bytes_[0] = 0;
    bytes_[kKindByte] = kAbsent;
  }
  // Stores a copy of the text over whatever the bytes hold (no freeing).
  void Store(const char* text, size_t size);
  void FreeHeap() noexcept;

  alignas(8) unsigned char bytes_[16];
};

static_assert(sizeof(XMLText) == 16);

std::ostream& operator<<(std::ostream& out, const XMLText& text);
