// The back-off table of client addresses that fail to log on.
// Sessions layer: calls the platform's address parsing and clock, and the log.
#include "sessions/logon_backoff.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "foundation/log/ring_log.h"
#include "platform/clock.h"
#include "platform/net_address.h"

namespace {

// The tick count wraps every 49 days; an entry untouched for longer than
// this (by the wall clock, either way) is forgotten whatever its ticks say.
constexpr int64_t kForgetAfterSeconds = 3600;

// The first 12 bytes of an IPv4-mapped IPv6 address.
constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

struct BackoffEntry {
  bool inUse = false;
  BackoffKey key;
  int failures = 0;              // in the window, while not yet in back-off
  uint32_t windowStartMs = 0;    // tick of the window's first failure
  uint32_t backoffMs = 0;        // length of the latest back-off; 0: none yet
  uint32_t untilMs = 0;          // tick at which the latest back-off ends
  uint32_t lastTouchMs = 0;      // tick of the latest failure noted
  int64_t lastTouchSeconds = 0;  // the same on the wall clock
  bool refusalLogged = false;    // the latest back-off's refusal is in the log
};

std::mutex g_lock;
BackoffEntry g_entries[kBackoffTrackedAddresses];

// Signed distance from tick `from` to tick `to` (both on the wrapping count).
int64_t TicksFrom(uint32_t from, uint32_t to) { return static_cast<int32_t>(to - from); }

bool InBackoff(const BackoffEntry& e, uint32_t now) { return e.backoffMs != 0 && TicksFrom(now, e.untilMs) > 0; }

// An entry whose failures no longer count: its window (or the quiet time
// after its back-off) has passed.
bool Expired(const BackoffEntry& e, uint32_t now, int64_t wallNow) {
  if (std::llabs(wallNow - e.lastTouchSeconds) > kForgetAfterSeconds) return true;
  const uint32_t since = e.backoffMs == 0 ? e.windowStartMs : e.untilMs;
  return TicksFrom(since, now) >= static_cast<int64_t>(kBackoffWindowMs);
}

BackoffEntry* Find(const BackoffKey& key) {
  for (BackoffEntry& e : g_entries) {
    if (e.inUse && SameBackoffKey(e.key, key)) return &e;
  }
  return nullptr;
}

// A place for a new address: a free or expired entry, else the one touched
// least recently (one not in back-off before one that is).
BackoffEntry* Allocate(uint32_t now, int64_t wallNow) {
  BackoffEntry* oldest = nullptr;
  int64_t oldestAge = -1;
  bool oldestInBackoff = true;
  for (BackoffEntry& e : g_entries) {
    if (!e.inUse || Expired(e, now, wallNow)) return &e;
    const bool inBackoff = InBackoff(e, now);
    const int64_t age = static_cast<uint32_t>(now - e.lastTouchMs);
    if (oldest == nullptr || (oldestInBackoff && !inBackoff) || (inBackoff == oldestInBackoff && age > oldestAge)) {
      oldest = &e;
      oldestAge = age;
      oldestInBackoff = inBackoff;
    }
  }
  return oldest;
}

}  // namespace

BackoffKey BackoffKeyOfAddress(const char* peerAddress) {
  BackoffKey key;
  NumericAddress address;
  if (!ParseNumericAddress(peerAddress, &address)) return key;
  const uint8_t* bytes = address.bytes;
  if (address.length == 16 && std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
    bytes += sizeof kMappedPrefix;
    key.family = 4;
  } else {
    key.family = address.length == 4 ? 4 : 6;
  }
  std::memcpy(key.prefix, bytes, key.family == 4 ? 4 : 8);
  return key;
}

bool SameBackoffKey(const BackoffKey& a, const BackoffKey& b) {
  return a.family == b.family && std::memcmp(a.prefix, b.prefix, sizeof a.prefix) == 0;
}

void NoteLogonFailure(const char* peerAddress) {
  const BackoffKey key = BackoffKeyOfAddress(peerAddress);
  const uint32_t now = GetTickCount();
  const int64_t wallNow = NowSeconds();
  std::lock_guard<std::mutex> hold(g_lock);
  BackoffEntry* e = Find(key);
  if (e != nullptr && Expired(*e, now, wallNow)) *e = BackoffEntry{};
  if (e == nullptr || !e->inUse) {
    if (e == nullptr) e = Allocate(now, wallNow);
    *e = BackoffEntry{};
    e->inUse = true;
    e->key = key;
    e->windowStartMs = now;
  }
  e->lastTouchMs = now;
  e->lastTouchSeconds = wallNow;
  if (e->backoffMs == 0) {
    if (++e->failures < kBackoffFailureLimit) return;
    e->backoffMs = kBackoffFirstMs;
  } else {
    e->backoffMs = e->backoffMs >= kBackoffLongestMs / 2 ? kBackoffLongestMs : 2 * e->backoffMs;
  }
  e->untilMs = now + e->backoffMs;
  e->refusalLogged = false;
}

void NoteLogonSuccess(const char* peerAddress) {
  const BackoffKey key = BackoffKeyOfAddress(peerAddress);
  std::lock_guard<std::mutex> hold(g_lock);
  if (BackoffEntry* e = Find(key)) *e = BackoffEntry{};
}

bool LogonBackoffRefuses(const char* peerAddress) {
  const BackoffKey key = BackoffKeyOfAddress(peerAddress);
  const uint32_t now = GetTickCount();
  const int64_t wallNow = NowSeconds();
  std::lock_guard<std::mutex> hold(g_lock);
  BackoffEntry* e = Find(key);
  if (e == nullptr) return false;
  if (Expired(*e, now, wallNow)) {
    *e = BackoffEntry{};
    return false;
  }
  if (!InBackoff(*e, now)) return false;
  if (!e->refusalLogged) {
    e->refusalLogged = true;
    WriteLog(0, "Logon back-off: refusing logons from %s for %u ms", peerAddress ? peerAddress : "",
             static_cast<unsigned>(e->untilMs - now));
  }
  return true;
}

void ResetLogonBackoff() {
  std::lock_guard<std::mutex> hold(g_lock);
  for (BackoffEntry& e : g_entries) e = BackoffEntry{};
}

int LogonBackoffTrackedCount() {
  std::lock_guard<std::mutex> hold(g_lock);
  int count = 0;
  for (const BackoffEntry& e : g_entries) count += e.inUse ? 1 : 0;
  return count;
}
