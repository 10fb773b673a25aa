// The back-off of client addresses that keep failing to log on: the logons
// and re-attaches of each address counted from the moment they arrive (in
// flight until their check returns), the failures among them and the logoffs
// by session IDs that no slot holds counted per address, and the refusal of
// an address's logons and re-attaches, unchecked, while it is in back-off or
// has as many attempts in flight as would put it there.
// Sessions layer: calls the platform's address parsing, the clock and the log.
//
// The states of one address, and the calls that move it:
//
//   untracked --BeginLogonAttempt, NoteLogonFailure--> counting (failures in a 60 s window)
//   counting --5th failure in the window--> back-off (1 s)
//   back-off --its time passes--> waiting (checks run again, one at a time)
//   waiting --a failure--> back-off (twice as long, at most 5 min)
//   counting, waiting --60 s without a failure, nothing in flight--> untracked
//
// A success changes none of it: it gives back its own attempt, nothing more.
// An attempt is refused, unchecked, whenever the address would be in
// back-off had every attempt it has in flight failed: in back-off; counting
// with failures and attempts in flight making 5; waiting with one in flight.
#pragma once

#include <cstdint>

// ---- The rule ------------------------------------------------------------------------

constexpr int kBackoffFailureLimit = 5;            // failures (or attempts in flight) that start a back-off
constexpr uint32_t kBackoffWindowMs = 60 * 1000;   // the window, and the quiet time that forgets
constexpr uint32_t kBackoffFirstMs = 1000;         // the first back-off
constexpr uint32_t kBackoffLongestMs = 5 * 60 * 1000;  // each further failure doubles it up to this
constexpr int kBackoffTrackedAddresses = 4096;     // addresses tracked at once (the table's bound)

// Addresses are counted by their network: an IPv4 address whole (/32), an
// IPv6 address by its first 64 bits, and an IPv4-mapped IPv6 address
// (::ffff:a.b.c.d) as its IPv4 address. Texts that are no address (the
// listener's "<<unknown>>") share one entry. When the table is full, the
// addresses that find no place share one more entry, the overflow, counted
// like an address: no address with a failure, an attempt in flight or a
// back-off is ever dropped for a new one.
struct BackoffKey {
  uint8_t family = 0;     // 4, 6, or 0 for a text that is no address (kOverflowFamily: the overflow)
  uint8_t prefix[8] = {};  // the counted bytes (4 for IPv4, 8 for IPv6)
};
constexpr uint8_t kOverflowFamily = 0xFF;
BackoffKey BackoffKeyOfAddress(const char* peerAddress);
bool SameBackoffKey(const BackoffKey& a, const BackoffKey& b);

// The address's key as one word (IPv6: the 64 bits; IPv4: the address under
// a high word of ones; no address: 0), for the fair share of the workers.
uint64_t BackoffKeyWord(const BackoffKey& key);

// ---- Attempts ----------------------------------------------------------------------------

// One logon or re-attach, from its arrival to the end of its check. It is
// counted under the entry it was admitted to (the address's own, or the
// overflow), found again by that key when it ends.
struct LogonAttempt {
  BackoffKey countedAs;
  bool inFlight = false;
};

// How a check ended.
enum class LogonAttemptEnd {
  kFailed,     // a wrong password or a session ID that no slot holds: a failure of the address
  kNoGuess,    // anything else: a success, a refusal that guessed nothing (28, 50, ...)
  kCancelled,  // the connection went, or the server stops, while it was checked: not counted
};

// An attempt arrives from the address. True: it is admitted and counted in
// flight until EndLogonAttempt. False: the address is in back-off, or has as
// many attempts in flight as would put it there (see above); nothing is
// counted and the caller answers as for a failure, unchecked. The first
// refusal of each back-off is logged ("Logon back-off: refusing logons from
// %s for %u ms"), and the first of each run of refusals for attempts in
// flight ("Logon back-off: refusing logons from %s while %d of its attempts
// are checked").
bool BeginLogonAttempt(const char* peerAddress, LogonAttempt* attempt);

// The admitted attempt's check ended: it is no longer in flight, and a
// failure is counted (it may start or lengthen the back-off). Nothing for an
// attempt not in flight.
void EndLogonAttempt(LogonAttempt* attempt, LogonAttemptEnd end);

// ---- Guesses checked at once -------------------------------------------------------------

// A failed guess that is checked without a wait: a logoff, or a question, by
// a session ID that no slot holds. May start or lengthen the back-off.
void NoteLogonFailure(const char* peerAddress);

// True when an attempt from the address would be refused now (see
// BeginLogonAttempt, with the same log lines); counts nothing.
bool LogonBackoffRefuses(const char* peerAddress);

// ---- Tests --------------------------------------------------------------------------------

// Forgets every address.
void ResetLogonBackoff();
// Addresses tracked now in the table (entries in use, expired ones included
// until dropped; the overflow not counted).
int LogonBackoffTrackedCount();
// Attempts in flight counted under the address's entry (or the overflow, for
// an address that has none).
int LogonAttemptsInFlight(const char* peerAddress);
