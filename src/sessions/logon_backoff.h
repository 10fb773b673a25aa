// The back-off of client addresses that keep failing to log on: failed
// logons, re-attaches and logoffs by session ID counted per address, and the
// refusal of an address's logons and re-attaches, unchecked, while it is in
// back-off.
// Sessions layer: calls the platform's address parsing, the clock and the log.
//
// The states of one address, and the calls that move it:
//
//   untracked --NoteLogonFailure--> counting (failures in a 60 s window)
//   counting --5th failure in the window--> back-off (1 s)
//   back-off --its time passes--> waiting (checks run again)
//   waiting --NoteLogonFailure--> back-off (twice as long, at most 5 min)
//   counting, waiting --60 s without a failure--> untracked
//   any --NoteLogonSuccess--> untracked
#pragma once

#include <cstdint>

// ---- The rule ------------------------------------------------------------------------

constexpr int kBackoffFailureLimit = 5;            // failures in the window that start a back-off
constexpr uint32_t kBackoffWindowMs = 60 * 1000;   // the window, and the quiet time that forgets
constexpr uint32_t kBackoffFirstMs = 1000;         // the first back-off
constexpr uint32_t kBackoffLongestMs = 5 * 60 * 1000;  // each further failure doubles it up to this
constexpr int kBackoffTrackedAddresses = 4096;     // addresses tracked at once (the table's bound)

// Addresses are counted by their network: an IPv4 address whole (/32), an
// IPv6 address by its first 64 bits, and an IPv4-mapped IPv6 address
// (::ffff:a.b.c.d) as its IPv4 address. Texts that are no address (the
// listener's "<<unknown>>") share one entry.
struct BackoffKey {
  uint8_t family = 0;     // 4, 6, or 0 for a text that is no address
  uint8_t prefix[8] = {};  // the counted bytes (4 for IPv4, 8 for IPv6)
};
BackoffKey BackoffKeyOfAddress(const char* peerAddress);
bool SameBackoffKey(const BackoffKey& a, const BackoffKey& b);

// ---- Counting -----------------------------------------------------------------------------

// A failed attempt from the address: a logon answered 32, a re-attach
// answered 29, a logoff by a session ID that no slot holds. May start or
// lengthen the address's back-off. When the table is full, an expired entry
// is dropped for the new address, else the one least recently touched.
void NoteLogonFailure(const char* peerAddress);

// A logon or re-attach from the address succeeded: its entry is dropped and
// any back-off ends.
void NoteLogonSuccess(const char* peerAddress);

// True while the address is in back-off: its logons and re-attaches are then
// answered as failures without being checked. The first refusal of each
// back-off is logged ("Logon back-off: refusing logons from %s for %u ms").
bool LogonBackoffRefuses(const char* peerAddress);

// ---- Tests --------------------------------------------------------------------------------

// Forgets every address.
void ResetLogonBackoff();
// Addresses tracked now (entries in use, expired ones included until dropped).
int LogonBackoffTrackedCount();
