// Interned element names (XMLName): one process-wide table holds each
// distinct name text once with a count of the names that refer to it; a name
// is one pointer to its entry, so a tree of a million nodes stores a handful
// of texts. Foundation layer: calls nothing but the C++ library.
// Server thread only: names are made, copied and dropped where nodes are
// (the table has no lock; worker threads never touch names or nodes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

// One entry of the table: the text and the number of names that hold it.
// Only XMLName and the table touch an entry.
struct XMLNameEntry {
  std::string text;
  uint64_t hash = 0;
  size_t count = 0;  // names referring to this entry; the entry goes at 0
};

// A name: null for the empty name, else a counted reference to its entry.
// Copying adds a reference, destroying or reassigning drops one, and an entry
// whose count reaches zero leaves the table and is freed, so names that
// clients make and drop do not pile up. Equal texts always share one entry,
// which makes comparing two names one pointer comparison. Making a name from
// text is one hash lookup; it throws std::bad_alloc when a new entry cannot
// be made (the name is then left as it was). A null `const char*` is the
// empty name.
class XMLName {
 public:
  XMLName() noexcept = default;
  explicit XMLName(std::string_view text);
  explicit XMLName(const char* text) : XMLName(std::string_view(text ? text : "")) {}
  explicit XMLName(const std::string& text) : XMLName(std::string_view(text)) {}
  XMLName(const XMLName& other) noexcept : entry_(other.entry_) {
    if (entry_ != nullptr) ++entry_->count;
  }
  XMLName(XMLName&& other) noexcept : entry_(other.entry_) { other.entry_ = nullptr; }
  ~XMLName() { Release(entry_); }

  XMLName& operator=(const XMLName& other) noexcept;
  XMLName& operator=(XMLName&& other) noexcept;
  XMLName& operator=(std::string_view text) { return assign(text); }
  XMLName& operator=(const char* text) { return assign(std::string_view(text ? text : "")); }
  XMLName& operator=(const std::string& text) { return assign(std::string_view(text)); }
  XMLName& assign(std::string_view text);

  // The text: the empty text (never a dangling reference) for the empty name.
  const std::string& str() const noexcept { return entry_ ? entry_->text : EmptyText(); }
  operator const std::string&() const noexcept { return str(); }
  operator std::string_view() const noexcept { return str(); }
  const char* c_str() const noexcept { return str().c_str(); }
  const char* data() const noexcept { return str().data(); }
  size_t size() const noexcept { return str().size(); }
  size_t length() const noexcept { return size(); }
  bool empty() const noexcept { return entry_ == nullptr; }
  char operator[](size_t i) const noexcept { return str()[i]; }

  friend bool operator==(const XMLName& a, const XMLName& b) noexcept { return a.entry_ == b.entry_; }
  friend bool operator==(const XMLName& a, std::string_view b) noexcept { return std::string_view(a) == b; }
  friend bool operator==(const XMLName& a, const std::string& b) noexcept { return std::string_view(a) == b; }
  friend bool operator==(const XMLName& a, const char* b) noexcept { return std::string_view(a) == (b ? b : ""); }

 private:
  static const std::string& EmptyText() noexcept;
  // Drops one reference; the last one takes the entry out of the table.
  static void Release(XMLNameEntry* e) noexcept {
    if (e != nullptr && --e->count == 0) Remove(e);
  }
  static void Remove(XMLNameEntry* e) noexcept;

  XMLNameEntry* entry_ = nullptr;
};

std::ostream& operator<<(std::ostream& out, const XMLName& name);

// ---- Measurements and tests ----------------------------------------------------------

// Names that refer to the entry of `text` (0 when the table has none: the
// empty text never has one).
size_t XMLNameReferenceCount(std::string_view text);

// Entries in the table (distinct non-empty names alive).
size_t XMLNameTableSize();
