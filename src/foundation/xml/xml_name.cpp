// The table of interned element names: an open-addressing hash table of
// entries (linear probing, at most half full, deletion by shifting back), and
// the counted references XMLName keeps into it. Foundation layer: calls only
// the C++ library and the platform's random bytes (the hash seed). No lock:
// names live on the server thread.
#include "foundation/xml/xml_name.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <ostream>

#include "platform/random_bytes.h"

namespace {

const std::string kEmptyName;

// Slots of the table: a power of two, at least twice the entries. The table
// is made at the first name and never freed (it stays reachable from
// g_table, so leak checkers see the entries of names alive at exit as held,
// not lost); every entry is freed when its last name goes.
struct NameTable {
  XMLNameEntry** slots = nullptr;
  size_t mask = 0;  // slot count - 1
  size_t entries = 0;
  // Drawn when the table is made, so that names a client sends cannot be
  // chosen to fall on one run of slots.
  uint64_t seed = 0;
};
NameTable g_table;

constexpr size_t kFirstSlots = 64;

// A quick hash of short texts: 8 bytes at a time, each word mixed in with a
// multiply, the tail read as one zero-padded word.
uint64_t HashName(std::string_view text) noexcept {
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  uint64_t h = g_table.seed ^ (text.size() * kMul);
  const char* p = text.data();
  size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * kMul;
    h ^= h >> 32;
  }
  if (n > 0) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * kMul;
    h ^= h >> 32;
  }
  h *= kMul;
  return h ^ (h >> 29);
}

size_t HomeSlot(uint64_t hash) noexcept { return static_cast<size_t>(hash) & g_table.mask; }

// Moves every entry into a new slot array of `slotCount` slots. Throws
// std::bad_alloc with the table unchanged.
void Rehash(size_t slotCount) {
  auto** fresh = new XMLNameEntry*[slotCount]();
  XMLNameEntry** old = g_table.slots;
  const size_t oldCount = old ? g_table.mask + 1 : 0;
  g_table.slots = fresh;
  g_table.mask = slotCount - 1;
  for (size_t i = 0; i < oldCount; ++i) {
    if (XMLNameEntry* e = old[i]) {
      size_t s = HomeSlot(e->hash);
      while (fresh[s] != nullptr) s = (s + 1) & g_table.mask;
      fresh[s] = e;
    }
  }
  delete[] old;
}

// The entry of the text with one more reference, made when there is none.
XMLNameEntry* Intern(std::string_view text) {
  if (g_table.slots == nullptr) {
    Rehash(kFirstSlots);
    // Without random bytes the table still works, with a fixed seed.
    if (GetRandomBytes(&g_table.seed, sizeof g_table.seed) != 0) g_table.seed = 0x5EEDu;
  }
  const uint64_t hash = HashName(text);
  for (size_t s = HomeSlot(hash);; s = (s + 1) & g_table.mask) {
    XMLNameEntry* e = g_table.slots[s];
    if (e == nullptr) break;
    if (e->hash == hash && e->text.size() == text.size() &&
        std::memcmp(e->text.data(), text.data(), text.size()) == 0) {
      ++e->count;
      return e;
    }
  }
  // A new entry; the table grows first so that it stays at most half full.
  if (2 * (g_table.entries + 1) > g_table.mask + 1) {
    Rehash(2 * (g_table.mask + 1));
  }
  auto* e = new XMLNameEntry{std::string(text), hash, 1};
  size_t s = HomeSlot(hash);
  while (g_table.slots[s] != nullptr) s = (s + 1) & g_table.mask;
  g_table.slots[s] = e;
  ++g_table.entries;
  return e;
}

}  // namespace

// Takes the entry out of the table and frees it. Entries after it in its
// run move back into the hole when their home slot allows it, so that no
// lookup stops early at an empty slot.
void XMLName::Remove(XMLNameEntry* e) noexcept {
  size_t hole = HomeSlot(e->hash);
  while (g_table.slots[hole] != e) hole = (hole + 1) & g_table.mask;
  for (size_t s = (hole + 1) & g_table.mask;; s = (s + 1) & g_table.mask) {
    XMLNameEntry* next = g_table.slots[s];
    if (next == nullptr) break;
    const size_t home = HomeSlot(next->hash);
    // `next` may fill the hole unless its home lies cyclically in (hole, s].
    const bool homeBetween = hole <= s ? (hole < home && home <= s) : (hole < home || home <= s);
    if (!homeBetween) {
      g_table.slots[hole] = next;
      hole = s;
    }
  }
  g_table.slots[hole] = nullptr;
  --g_table.entries;
  delete e;
  // A table that once held many names gives most of its slots back.
  const size_t slotCount = g_table.mask + 1;
  if (slotCount > kFirstSlots && 8 * g_table.entries < slotCount) {
    try {
      Rehash(slotCount / 2);
    } catch (const std::bad_alloc&) {
      // kept at its size: still correct
    }
  }
}

namespace {

XMLNameEntry* Find(std::string_view text) noexcept {
  if (g_table.slots == nullptr || text.empty()) return nullptr;
  const uint64_t hash = HashName(text);
  for (size_t s = HomeSlot(hash);; s = (s + 1) & g_table.mask) {
    XMLNameEntry* e = g_table.slots[s];
    if (e == nullptr) return nullptr;
    if (e->hash == hash && e->text == text) return e;
  }
}

}  // namespace

XMLName::XMLName(std::string_view text) : entry_(text.empty() ? nullptr : Intern(text)) {}

XMLName& XMLName::operator=(const XMLName& other) noexcept {
  // The new reference is taken first: self-assignment never frees the entry.
  if (other.entry_ != nullptr) ++other.entry_->count;
  Release(entry_);
  entry_ = other.entry_;
  return *this;
}

XMLName& XMLName::operator=(XMLName&& other) noexcept {
  if (this != &other) {
    Release(entry_);
    entry_ = other.entry_;
    other.entry_ = nullptr;
  }
  return *this;
}

XMLName& XMLName::assign(std::string_view text) {
  // Interned before the old reference goes: `text` may be this name's own
  // text, and a failure leaves the name as it was.
  XMLNameEntry* e = text.empty() ? nullptr : Intern(text);
  Release(entry_);
  entry_ = e;
  return *this;
}

const std::string& XMLName::EmptyText() noexcept { return kEmptyName; }

std::ostream& operator<<(std::ostream& out, const XMLName& name) { return out << name.str(); }

size_t XMLNameReferenceCount(std::string_view text) {
  const XMLNameEntry* e = Find(text);
  return e ? e->count : 0;
}

size_t XMLNameTableSize() { return g_table.entries; }
