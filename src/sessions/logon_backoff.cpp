// The back-off table of client addresses that fail to log on, with their
// attempts in flight and the overflow entry of a full table.
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
  int inFlight = 0;              // attempts admitted whose check has not returned
  uint32_t windowStartMs = 0;    // tick of the window's first failure
  uint32_t backoffMs = 0;        // length of the latest back-off; 0: none yet
  uint32_t untilMs = 0;          // tick at which the latest back-off ends
  uint32_t lastTouchMs = 0;      // tick of the latest failure or attempt noted
  int64_t lastTouchSeconds = 0;  // the same on the wall clock
  bool refusalLogged = false;    // the latest back-off's refusal is in the log
  bool busyRefusalLogged = false;  // a refusal for attempts in flight is in the log, since none were
};

std::mutex g_lock;
BackoffEntry g_entries[kBackoffTrackedAddresses];
BackoffEntry g_overflow;  // the addresses of a full table

BackoffKey OverflowKey() {
  BackoffKey key;
  key.family = kOverflowFamily;
  return key;
}

// Signed distance from tick `from` to tick `to` (both on the wrapping count).
int64_t TicksFrom(uint32_t from, uint32_t to) { return static_cast<int32_t>(to - from); }

bool InBackoff(const BackoffEntry& e, uint32_t now) { return e.backoffMs != 0 && TicksFrom(now, e.untilMs) > 0; }

// Failures that no longer count: the window (or the quiet time after the
// latest back-off) has passed.
bool Expired(const BackoffEntry& e, uint32_t now, int64_t wallNow) {
  if (std::llabs(wallNow - e.lastTouchSeconds) > kForgetAfterSeconds) return true;
  const uint32_t since = e.backoffMs == 0 ? e.windowStartMs : e.untilMs;
  return TicksFrom(since, now) >= static_cast<int64_t>(kBackoffWindowMs);
}

// Drops what the entry counts once it has expired; its attempts in flight
// stay counted (they still come back).
void Refresh(BackoffEntry& e, uint32_t now, int64_t wallNow) {
  if (!e.inUse || !Expired(e, now, wallNow)) return;
  const BackoffKey key = e.key;
  const int inFlight = e.inFlight;
  e = BackoffEntry{};
  if (inFlight == 0 && key.family != kOverflowFamily) return;  // forgotten
  e.inUse = true;
  e.key = key;
  e.inFlight = inFlight;
  e.windowStartMs = now;
  e.lastTouchMs = now;
  e.lastTouchSeconds = wallNow;
}

// True when the entry may be given to another address: nothing counted, or
// only what has expired, and nothing in flight.
bool Forgettable(const BackoffEntry& e, uint32_t now, int64_t wallNow) {
  if (!e.inUse) return true;
  if (e.inFlight != 0) return false;
  return (e.failures == 0 && e.backoffMs == 0) || Expired(e, now, wallNow);
}

// The first entry that may be given to a new address; null when the table
// is full of addresses that must be remembered.
BackoffEntry* FirstForgettable(uint32_t now, int64_t wallNow) {
  for (BackoffEntry& e : g_entries) {
    if (Forgettable(e, now, wallNow)) return &e;
  }
  return nullptr;
}

BackoffEntry* Find(const BackoffKey& key) {
  if (key.family == kOverflowFamily) return &g_overflow;
  for (BackoffEntry& e : g_entries) {
    if (e.inUse && SameBackoffKey(e.key, key)) return &e;
  }
  return nullptr;
}

// The entry that counts `key`: its own; else a free or forgettable one made
// its own; else, the table being full of addresses that must be remembered,
// the overflow. Never null.
BackoffEntry* EntryFor(const BackoffKey& key, uint32_t now, int64_t wallNow) {
  BackoffEntry* e = Find(key);
  if (e == nullptr && (e = FirstForgettable(now, wallNow)) != nullptr) {
    *e = BackoffEntry{};
    e->inUse = true;
    e->key = key;
    e->windowStartMs = now;
    e->lastTouchMs = now;
    e->lastTouchSeconds = wallNow;
  }
  if (e == nullptr) e = &g_overflow;
  if (!e->inUse) {  // the overflow's first use
    *e = BackoffEntry{};
    e->inUse = true;
    e->key = OverflowKey();
    e->windowStartMs = now;
    e->lastTouchSeconds = wallNow;
  }
  Refresh(*e, now, wallNow);
  if (!e->inUse) return EntryFor(key, now, wallNow);  // forgotten just now: take it afresh
  return e;
}

// The entry that counts `key` now, without making one: its own, or the
// overflow when the table has no place for it. Null when nothing counts it.
BackoffEntry* CountingEntry(const BackoffKey& key, uint32_t now, int64_t wallNow) {
  BackoffEntry* e = Find(key);
  if (e == nullptr) {
    if (FirstForgettable(now, wallNow) != nullptr) return nullptr;  // it would get a place of its own
    e = &g_overflow;
  }
  Refresh(*e, now, wallNow);
  return e->inUse ? e : nullptr;
}

// True when an attempt counted by `e` is refused: the address is in
// back-off, or would be had every attempt in flight failed. Logs the first
// refusal of each back-off, and of each run of refusals for attempts in flight.
bool Refuses(BackoffEntry& e, uint32_t now, const char* peerAddress) {
  const char* shown = peerAddress ? peerAddress : "";
  if (InBackoff(e, now)) {
    if (!e.refusalLogged) {
      e.refusalLogged = true;
      WriteLog(0, "Logon back-off: refusing logons from %s for %u ms", shown,
               static_cast<unsigned>(e.untilMs - now));
    }
    return true;
  }
  const bool busy = e.backoffMs == 0 ? e.failures + e.inFlight >= kBackoffFailureLimit : e.inFlight > 0;
  if (!busy) return false;
  if (!e.busyRefusalLogged) {
    e.busyRefusalLogged = true;
    WriteLog(0, "Logon back-off: refusing logons from %s while %d of its attempts are checked", shown,
             e.inFlight);
  }
  return true;
}

// One failure of the entry's address: counted in the window, or the back-off
// begun or doubled.
void CountFailure(BackoffEntry& e, uint32_t now, int64_t wallNow) {
  if (e.backoffMs == 0 && e.failures == 0) e.windowStartMs = now;
  e.lastTouchMs = now;
  e.lastTouchSeconds = wallNow;
  if (e.backoffMs == 0) {
    if (++e.failures < kBackoffFailureLimit) return;
    e.backoffMs = kBackoffFirstMs;
  } else {
    e.backoffMs = e.backoffMs >= kBackoffLongestMs / 2 ? kBackoffLongestMs : 2 * e.backoffMs;
  }
  e.untilMs = now + e.backoffMs;
  e.refusalLogged = false;
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

uint64_t BackoffKeyWord(const BackoffKey& key) {
  uint64_t word = 0;
  for (int i = 0; i < 8; ++i) word = (word << 8) | key.prefix[i];
  if (key.family == 4) return 0xFFFFFFFF00000000ull | (word >> 32);
  return key.family == 6 ? word : 0;
}

bool BeginLogonAttempt(const char* peerAddress, LogonAttempt* attempt) {
  if (attempt == nullptr) return false;
  *attempt = LogonAttempt{};
  const BackoffKey key = BackoffKeyOfAddress(peerAddress);
  const uint32_t now = GetTickCount();
  const int64_t wallNow = NowSeconds();
  std::lock_guard<std::mutex> hold(g_lock);
  BackoffEntry* e = EntryFor(key, now, wallNow);
  if (Refuses(*e, now, peerAddress)) return false;
  ++e->inFlight;
  e->lastTouchMs = now;
  e->lastTouchSeconds = wallNow;
  attempt->countedAs = e->key;
  attempt->inFlight = true;
  return true;
}

void EndLogonAttempt(LogonAttempt* attempt, LogonAttemptEnd end) {
  if (attempt == nullptr || !attempt->inFlight) return;
  attempt->inFlight = false;
  const uint32_t now = GetTickCount();
  const int64_t wallNow = NowSeconds();
  std::lock_guard<std::mutex> hold(g_lock);
  BackoffEntry* e = Find(attempt->countedAs);
  if (e != nullptr && e->inUse) {
    if (e->inFlight > 0) --e->inFlight;
    if (e->inFlight == 0) e->busyRefusalLogged = false;
    Refresh(*e, now, wallNow);
  }
  // A failure is counted under the same key, whose entry may have expired
  // (and been forgotten) while the attempt was checked.
  if (end == LogonAttemptEnd::kFailed) CountFailure(*EntryFor(attempt->countedAs, now, wallNow), now, wallNow);
}

void NoteLogonFailure(const char* peerAddress) {
  const BackoffKey key = BackoffKeyOfAddress(peerAddress);
  const uint32_t now = GetTickCount();
  const int64_t wallNow = NowSeconds();
  std::lock_guard<std::mutex> hold(g_lock);
  CountFailure(*EntryFor(key, now, wallNow), now, wallNow);
}

bool LogonBackoffRefuses(const char* peerAddress) {
  const BackoffKey key = BackoffKeyOfAddress(peerAddress);
  const uint32_t now = GetTickCount();
  const int64_t wallNow = NowSeconds();
  std::lock_guard<std::mutex> hold(g_lock);
  BackoffEntry* e = CountingEntry(key, now, wallNow);
  return e != nullptr && Refuses(*e, now, peerAddress);
}

void ResetLogonBackoff() {
  std::lock_guard<std::mutex> hold(g_lock);
  for (BackoffEntry& e : g_entries) e = BackoffEntry{};
  g_overflow = BackoffEntry{};
}

int LogonBackoffTrackedCount() {
  std::lock_guard<std::mutex> hold(g_lock);
  int count = 0;
  for (const BackoffEntry& e : g_entries) count += e.inUse ? 1 : 0;
  return count;
}

int LogonAttemptsInFlight(const char* peerAddress) {
  const BackoffKey key = BackoffKeyOfAddress(peerAddress);
  std::lock_guard<std::mutex> hold(g_lock);
  const BackoffEntry* e = Find(key);
  if (e == nullptr) e = &g_overflow;
  return e->inUse ? e->inFlight : 0;
}
