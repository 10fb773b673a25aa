// Password state of the users: the settings of the login section that hold
// it (must change, cannot change, never expires, date of the last change, the
// history of earlier hashes), the history depth taken from the password
// rules, and the operations that set a new password or start the clock.
// Directory layer: calls the per-user settings and their accessors, the user
// records, the users tree and the users save, the password-rules text of the
// configuration store, bcrypt checks, the clock and the server settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// ---- Setting paths of the login section (Live\Torvane) ------------------------------
//
//   Passwords\MustChange    decimal; non-zero: the password must be changed
//   Passwords\CannotChange  decimal; non-zero: the user may not change it
//   Passwords\NeverExpires  decimal; non-zero: the password never expires
//   Passwords\Date          "%08X": seconds since 1970 of the last change;
//                           missing, 0 or unreadable: no date
//   Passwords\Old\PW<k>     the history, place 1 the newest: a bcrypt hash
//                           text, or a legacy hash as "%08X"
// (MustChange and CannotChange are named in user_accessors.h.)

constexpr const char kNeverExpiresPasswordSetting[] = "Passwords\\NeverExpires";
constexpr const char kPasswordDateSetting[] = "Passwords\\Date";
constexpr const char kPasswordHistoryPathFormat[] = "Passwords\\Old\\PW%d";

// The node names along those paths.
constexpr const char kPasswordsNodeName[] = "Passwords";
constexpr const char kPasswordDateNodeName[] = "Date";
constexpr const char kPasswordHistoryNodeName[] = "Old";
constexpr const char kPasswordHistoryPlacePrefix[] = "PW";

constexpr int64_t kSecondsPerDay = 86400;

// ---- History depth ----------------------------------------------------------------------

// The history depth of a password-rules text: the decimal number after the
// first lower-case 'r' (leading white space and a sign allowed, reading stops
// at the first other character). 0 for no text, no 'r', no digits after it
// or a negative number; a number beyond the 32-bit range is held at
// INT32_MAX (never overflows).
int32_t GetPWHistoryCount(const char* rules);

// The setting path of history place k: "Passwords\Old\PW<k>".
std::string PasswordHistoryPath(int32_t place);

// ---- Dates ------------------------------------------------------------------------------

// The 8 upper-case hexadecimal digits of a password date.
std::string FormatPasswordDate(uint32_t seconds);

// The first whole-day boundary (UTC) at or after `now`: (now + 86399) / 86400
// * 86400 (signed division), as the 32-bit seconds a date holds.
uint32_t NextDayBoundary(int64_t now);

// The user's "Passwords\Date" read as a hexadecimal number; 0 when the
// setting is missing, empty or cannot be read (no such user included).
uint32_t GetUserPasswordDate(const char* user);

// ---- Setting a password --------------------------------------------------------------------
//
// Both setters go in this order, each settings write saving the user at once
// (userlist.xml and the user's file), the outcome of each write not examined:
//   1. 2 no name or an empty one (for the bcrypt setter also no hash text or
//      one that is not valid XML text); 6 no such user (FindUser, domain rule
//      included); 36 an Active Directory user.  Nothing written.
//   2. n = GetPWHistoryCount(GetPWRulesString()), read afresh each time.
//   3. Unless `skipHistory`: 52 when the new password is one of history
//      places 1..n. Nothing written: in particular the date stays as it was,
//      so retrying an old password never renews an expiring one.
//   4. "Passwords\Date" = now.
//   5. n > 0: every place k-1 that exists (k = n down to 2) moves to place k,
//      then the new hash goes to place 1.
//   6. "Passwords\MustChange" = "0" when it reads non-zero (never created).
//   7. The record: see each setter.
//   8. SaveUsers (home, the user's name): its code is the answer.
// Only the history places that exist are visited (the children PW<k> of
// Passwords\Old with 1 <= k <= n; for a k written twice, the first), so a
// huge depth in the rules costs nothing; places beyond n are left alone.

// The bcrypt form: step 3 checks `clearPassword` against every bcrypt entry
// (CheckPasswordHash; a legacy entry never matches; a null clear password
// matches nothing); step 5 stores the hash
// text; step 7 sets PASSWORD to 0 and PASSWORDV2 to a copy of `newHash`.
int SetUserPasswordV2(const char* name, const char* newHash, int skipHistory, const char* clearPassword);

// SetUserPasswordV2 for the user of `name` only while it is the user of
// `uid`: 6 (nothing written) when the name finds no user or another one (the
// user checked before a wait was deleted and the name given to a new one).
int SetUserPasswordV2OfUID(const char* name, uint32_t uid, const char* newHash, int skipHistory,
                           const char* clearPassword);

// The bcrypt texts that step 3 of SetUserPasswordV2 would check a clear
// password against (history places 1..n of `name`, deepest first), as
// copies: a caller checks them off the server thread and then sets the
// password with skipHistory. Empty when the user or its history cannot be read.
std::vector<std::string> PasswordHistoryHashes(const char* name);

// The legacy form: step 3 compares `newHash` with every entry that is not a
// bcrypt text, read as a hexadecimal number; step 5 stores "%08X"; step 7
// sets PASSWORD and leaves PASSWORDV2 as it is (a user with a bcrypt text
// keeps logging on with it).
int SetUserPassword(const char* name, uint32_t newHash, int skipHistory);

// ---- Starting the password clock -------------------------------------------------------------

// Gives every user that is not an Active Directory user and has no date
// (missing, 0 or unreadable) "Passwords\Date" = NextDayBoundary(now), in the
// settings in memory only: nothing is saved. The history is not touched.
// Users whose login section (Live\Torvane) is missing are passed over. Works
// through each record's settings link (a name lookup only for a record that
// has none), so the whole pass is linear in the users.
// *dated (when given) gets the number of users that got a date. 0; 1 no
// memory (the dates given before stay).
// For callers that save all users anyway: call this first, then save once.
int StartPasswordClocks(int* dated);

// StartPasswordClocks, then, when at least one user got a date, one save of
// all users (SaveUsers without a name) whose code is the answer; 0 when no
// user needed a date. The administrators' user update runs this after its
// save.
int InitPasswordDates();
