// Ending logons and keeping the slot table clean: the logoff by logon UID or
// session ID, kicks of slots and client sessions, the sanity check that frees
// slots no connection carries, closing idle connections, the TOKENINFO
// document of the slot table and the log dump of a missing logon.
// Sessions layer: calls the slots, the connection table, the slot-operations
// log, the log, the clock, the XML escape and the platform socket close.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct ConnectionRecord;
struct LUS;

// ---- Logoff ----------------------------------------------------------------------------

// Slot selection: a non-zero `sid` selects the slot whose SID equals it;
// otherwise a non-zero `logonUID` selects the slot with that logon UID; both
// 0 (or no slot) select nothing.
bool LUSMatches(uint32_t logonUID, uint32_t sid, const LUS* slot);

// Removes the client sessions that `match` selects (the ClientIDMatches rule)
// from the first slot LUSMatches selects, freeing the slot when none is
// left. 0 when a slot was selected; -1 (logged) when none matches.
int DoLogoff(uint32_t logonUID, uint32_t sid, int32_t match);

// The logoff of a connection's own logon (message 6004, and the logons before
// a new logon): when its logonUID is not 0, DoLogoff(logonUID, 0, clientID)
// and logonUID = 0. Null: nothing.
void LogoffConnection(ConnectionRecord* conn);

// ---- Kicks -------------------------------------------------------------------------------

// Walks every slot but the caller's own (the current logon slot, taken once
// before the walk). `logonUID` 0 takes every slot, else only that one. With
// `clientID` 0 the slot is freed; otherwise only its sessions of exactly
// that client ID are removed ("KickUser:KickCID(%d)" in the slot-operations
// log) and the slot is freed when none is left.
void KickUser(uint32_t logonUID, int32_t clientID);

// One line of a kick list, "<logon UID>:<client ID>": both parts decimal with
// optional leading white space and sign (as atoi reads them), nothing else
// but one trailing "\r" after the client ID. False for any other line (a
// blank line, no ':', a part without digits or with other characters, or a
// value outside the 32-bit range), which is not acted on.
bool ParseKickLine(std::string_view line, uint32_t* logonUID, int32_t* clientID);

// Splits the text into lines at "\n" and kicks (KickUser) for every line
// ParseKickLine accepts; "0:0" kicks every slot but the caller's. 0; 2 for
// a null text.
int KickUsersFromList(const char* text);

// ---- Sanity check and idle connections ---------------------------------------------------------

// Sets FOUND in every slot: 1 when some connection in the table carries its
// logon UID, else 0.
void MarkSlotsCarriedByConnections();

// Logs "SanityCheckTokens" and frees every slot that no connection carries
// (each with a "SanityCheckTokens:About to kill ..." line in the log and the
// slot-operations log).
void SanityCheckTokens();

// The idle age of an age text: 'M' minutes, 'H' hours, 'D' days of the
// number after the letter (atoi's reading; 0 without digits), in unsigned
// 32-bit arithmetic; any other text, and null, one day (86400).
uint32_t IdleAgeSeconds(const char* text);

// Closes and removes every connection whose lastUsed is earlier than
// `cutoff` (signed 32-bit seconds) and whose socket is not
// `requestingSocket`; their logons stay (the next sanity check frees them).
// Entries move as others are removed, the requester's too: whoever holds an
// index or record of the table finds the requester again by its socket. 0.
int CloseIdleConnections(uint32_t cutoff, int requestingSocket);

// ---- TOKENINFO ----------------------------------------------------------------------------------

// Appends the slot's <LUS> element (names escaped, LASTUSED as local time).
// 0, or 2 for a null slot.
int GetLUSXML(const LUS* slot, std::string& out);

// The TOKENINFO document of the whole table, FOUND recomputed first. Null
// with *failReason 1 when memory runs out. `callerSlot` is not used.
std::optional<std::string> GetLUSArrayXML(const LUS* callerSlot, int* failReason);

// ---- Missing logon --------------------------------------------------------------------------------

// Writes the slot table to the log: the logon UID looked for, the count, and
// each slot with its client sessions.
void DumpMissingAuth(uint32_t logonUID);
