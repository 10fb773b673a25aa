// The shared copies of long replies: found again by a hash of their bytes and
// then compared whole, kept as weak references that expire with their last
// holder, and swept of expired ones as the table grows.
// Foundation layer: the standard library only.
#include "foundation/wire/shared_reply_bytes.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <functional>
#include <new>
#include <string_view>
#include <unordered_map>

namespace {

using Copy = std::vector<unsigned char>;

// Copies held by some reply, by the hash of their bytes (several may share a hash).
std::unordered_multimap<size_t, std::weak_ptr<const Copy>> g_copies;
// The table is swept of expired entries once it has doubled since the last sweep.
size_t g_sweepAt = 64;

size_t HashOf(const void* data, size_t length) {
  return std::hash<std::string_view>{}(std::string_view(static_cast<const char*>(data), length));
}

void SweepExpired() {
  for (auto it = g_copies.begin(); it != g_copies.end();) {
    it = it->second.expired() ? g_copies.erase(it) : std::next(it);
  }
  g_sweepAt = std::max<size_t>(64, 2 * g_copies.size());
}

}  // namespace

SharedReplyBytes ShareReplyBytes(const void* data, size_t length) {
  const size_t hash = HashOf(data, length);
  auto [from, to] = g_copies.equal_range(hash);
  for (auto it = from; it != to; ++it) {
    SharedReplyBytes held = it->second.lock();
    if (held && held->size() == length && std::memcmp(held->data(), data, length) == 0) return held;
  }
  try {
    const auto* bytes = static_cast<const unsigned char*>(data);
    auto copy = std::make_shared<const Copy>(bytes, bytes + length);
    if (g_copies.size() >= g_sweepAt) SweepExpired();
    g_copies.emplace(hash, copy);
    return copy;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

size_t SharedReplyBytesCopies() {
  size_t n = 0;
  for (const auto& [hash, weak] : g_copies) n += weak.expired() ? 0 : 1;
  return n;
}

size_t SharedReplyBytesHeld() {
  size_t n = 0;
  for (const auto& [hash, weak] : g_copies) {
    if (SharedReplyBytes held = weak.lock()) n += held->size();
  }
  return n;
}
