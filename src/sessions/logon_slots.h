// The logged-on-user slots: one LUS per logon with its client sessions (SLS,
// newest first), the table of MAXCON slots, logon UIDs and session IDs, the
// lookups, the removal of client sessions and the freeing of slots.
// Sessions layer: calls the directory store (user lookups), the log, the
// clock, the platform random source and the slot-operations log (lus_log.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct UserStruct;

// ---- Limits and fixed values -------------------------------------------------------

constexpr int MAXCON = 500;                     // slots in the table
constexpr int32_t kIdlePurgeSeconds = 300;      // a full table frees slots idle longer than this
constexpr uint32_t kSIDVersion = 1;             // the only session-ID version
constexpr uint32_t kSIDMask = 0x7FFFFFFFu;      // every session ID is below 2^31
constexpr int32_t kServerClientIDFloor = 65536; // client IDs from here on may log on without a user
constexpr char kServerLogonPrefix = '#';        // user names of server logons begin with it

// AUTHTYPE values: how the user logged on.
enum LogonAuthType : int32_t {
  AUTHTYPE_NONE = 0,          // not filled yet
  AUTHTYPE_INTERNAL = 1,      // internal password (token types 1, 6, 7) and the server logon "#"
  AUTHTYPE_AD_PASSWORD = 2,   // Active Directory user and password
  AUTHTYPE_AD_USER = 3,       // Active Directory user alone
};

// ---- Records -----------------------------------------------------------------------

// One client session of a slot: the client ID of one client program.
struct SLS {
  int32_t CID = 0;
};

// One logged-on user. The slot owns its texts and its client sessions; a
// freed slot is all zero (logonUID 0).
struct LUS {
  uint32_t logonUID = 0;                 // key; never 0 in a slot in use
  int32_t CC = 0;                        // client sessions counted by the logons and removals
  int32_t ISAUTH = 0;                    // 1 once a logon method filled the slot
  int32_t AUTHTYPE = AUTHTYPE_NONE;      // LogonAuthType
  uint32_t LASTUSED = 0;                 // 32-bit seconds since 1970
  uint32_t userUID = 0;                  // the user record's UID (guest after a guest fallback; 0xFFFFFFFF for "#")
  std::optional<std::string> USERNAME;
  std::optional<std::string> FORENAME;
  std::optional<std::string> SURNAME;
  uint32_t sidVersion = 0;               // always kSIDVersion in a slot in use
  uint32_t SID = 0;                      // session ID, below 2^31, unique among slots in use
  std::vector<SLS> sessions;             // client sessions, newest first (index 0)
  uint32_t USERLEVEL = 0;                // copy of the user's LEVEL at logon
  std::optional<std::string> ENVNAME;    // the user's current environment
  int32_t GUEST = 0;                     // 1 after a guest fallback
  int32_t FOUND = 0;                     // 1 when an open connection carries logonUID
};

// ---- The table ---------------------------------------------------------------------
// Slots 0 to GetLUSCount()-1 are in use. A freed slot is replaced by the last
// one, so an index or a slot pointer is valid only until the next removal:
// keep logon UIDs, never pointers, across anything that may free a slot.

int32_t GetLUSCount();

// The slot at `index`, or null outside 0 .. GetLUSCount()-1.
LUS* GetLUSByIndex(int index);

// The index of `slot` in the table, or -1 when it is not a slot in use.
int GetLUSIndex(const LUS* slot);

// ---- Logon UIDs and session IDs ------------------------------------------------------

// The next value of the process's logon UID counter (1, 2, 3, ...).
uint32_t GetNextLogonUID();

// A session ID that no slot in use holds: drawn from the platform's random
// source, masked below 2^31, never 0. 0 when the random source fails (the
// logon then fails; there is no fallback to a predictable value).
uint32_t GenerateUniqueSID();

// ---- Making slots and adding client sessions -------------------------------------------

// Makes a slot for a logon with one client session `clientID`, and writes a
// Success or Fail line to the slot-operations log. Refuses (2) client ID 0 and
// a client ID below 65536 given without a user name or a user record. When
// the table is full, idle slots are purged first; when it stays full,
// lusdump.txt is written (when absent) and null comes back with *failReason
// 0 (the logon answers 34). A failed random source gives null with 1.
// The slot's CC, ISAUTH, AUTHTYPE, user UID, texts and GUEST are the logon's to fill.
LUS* GetNewLogonSlot(int32_t clientID, const char* userName, const UserStruct* user, int* failReason);
// The same without the slot-operations log line.
LUS* IGetNewLogonSlot(int32_t clientID, const char* userName, const UserStruct* user, int* failReason);

// Adds the client session `clientID` at the head of the slot's list (LASTUSED
// = now, CC + 1) and writes a Success or Fail line to the slot-operations log.
// 1 when added; 0 when refused, with *failReason 2 (client ID 0 or no slot) or
// 6 (the slot's user is no longer in the directory); a refusal changes nothing.
int GetAdditionalLogonSlot(LUS* slot, int32_t clientID, int* failReason);
// The same without the slot-operations log line.
int IGetAdditionalLogonSlot(LUS* slot, int32_t clientID, int* failReason);

// The directory name of the slot's user: "guest" for a guest slot (GUEST
// set), else USERNAME; null for a null slot or a slot without a name.
const char* SlotDirectoryUserName(const LUS* slot);

// The user record behind the slot ("guest" for a guest slot, else USERNAME),
// or null with *failReason 2 (client ID 0 or no slot) or 6 (no such user).
UserStruct* FindUserAndValidateClientID(const LUS* slot, int32_t clientID, int* failReason);

// With 500 or more slots in use: logs off every slot whose USERNAME does not
// begin with '#' and whose LASTUSED lies more than 300 seconds before now.
// Does nothing while the table is not full.
void PurgeIdleLogonSlots();

// ---- Lookups ---------------------------------------------------------------------------

// The slot in use with that logon UID; null for 0 or none.
LUS* FindLUSByLogonUID(uint32_t logonUID);

// The slot in use whose SID equals the 4 bytes at `sidBytes` in wire
// (little-endian) order; null when the bytes are missing, the version is not
// 1, or no slot holds it.
LUS* FindLUS(uint32_t version, const unsigned char* sidBytes);

// ---- Removing client sessions and freeing slots ------------------------------------------

// The client-ID match rule: `match` 0 matches every session, `match` ==
// `sessionCID` matches, a negative `match` matches every session whose client
// ID is not -match; anything else does not match.
bool ClientIDMatches(int32_t sessionCID, int32_t match);

// Unlinks the slot's client sessions that `match` selects, decreasing CC by
// one for each: by the rule above, or, with `exact`, only the sessions whose
// client ID equals `match` (no value is special). The slot itself stays.
void RemoveMatchingSessions(LUS* slot, int32_t match, bool exact);

// Removes the client sessions of slot `index` that `match` selects (CC down by
// one each) and frees the slot when no session or a CC below 1 is left.
// 0, or 2 for an index outside the table (nothing changes).
int RemoveClientsFromLUS(int index, int32_t match);

// RemoveClientsFromLUS with match value 0: the whole slot is freed. 0 or 2.
int LogoffLUSSlot(int index);

// Frees slot `index` (FreeLoggedOnUser), moves the last slot in use into its
// place and clears the vacated last place. An index outside the table does
// nothing.
void FreeLUSSlot(int index);

// Writes "FreeLoggedOnUser(<name>, 0) cc=<CC>" to the slot-operations log,
// frees the slot's texts and sessions and zero-fills it. The count of the
// table is the caller's (FreeLUSSlot). Null: nothing.
void FreeLoggedOnUser(LUS* slot);

// ---- Session IDs as text -------------------------------------------------------------------

// '0'-'9', 'A'-'F', 'a'-'f'. (The digit values come from HexDigitValue,
// foundation/util/util.h.)
bool IsHexDigit(char c);

// The SID of an 8-hex-digit text whose pairs are the SID's 4 wire bytes in
// wire order (either case); 0 for a missing text, any other length, a
// non-hex character, or eight zeros.
uint32_t ParseHexID(const char* text);

// The text ParseHexID reads back: the 4 wire bytes of `sid` as 8 upper-case
// hex digits, first byte sent first.
std::string FormatHexID(uint32_t sid);

// ---- Unused by the system ------------------------------------------------------------------

// The LEVEL of the user of that name; 0 for a null or empty name or no such user.
uint32_t GetUserLevelByName(const char* userName);

// ---- Tests ---------------------------------------------------------------------------------

// Every slot freed without log lines, the count 0, the logon UID counter back to 0.
void ResetLogonSlots();
