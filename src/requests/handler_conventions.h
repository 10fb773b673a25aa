// What every request handler shares: reading its arguments (the integer rule,
// the echo rule for strings, raw blocks), the reply shapes, the rights checks
// of the caller's logon (admin, configuration, guest), the time-stamp rule and
// the formatted text reply. Each handler family includes this header.
// Requests layer: calls the wire primitives, the log, the clock, the slots and
// the current logon slot (sessions) and the per-user settings (directory),
// with the bounds of what a caller without the administration bit may send
// and store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "directory/user_settings.h"
#include "directory/users_files.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_header.h"
#include "foundation/wire/wire.h"

struct LUS;

// Handler conventions in brief:
//   1. read every argument in the message's order (a failed read ends the
//      handler as its rule says, reading nothing more);
//   2. check the caller's rights (as a rule after all arguments are read, so a
//      refused request leaves nothing unread);
//   3. call the store operation;
//   4. send exactly one reply shape (or nothing where the handler says so);
//   5. log every failure with the error flag, "<handler>:<what failed>".

// ---- Reading arguments -----------------------------------------------------------------

// The integer rule: true only when all 4 bytes of the wire integer arrived
// (*value 0 otherwise). The handler logs a failure and ends without a reply.
bool RecvArgInt(int sock, int32_t* value);
bool RecvArgUInt(int sock, uint32_t* value);

// What a caller without the administration bit may send once logged on: each
// string argument (its length word: the text and its NUL) and each raw block
// at most kMaxPlainCallerArgumentLength bytes. A longer one is read and
// dropped (the stream stays in step) and refused as the wire's own ceiling
// refuses one: WIRE_NO_MEMORY, answered 1 by the echo rule, nothing stored.
// Administrators (and the server logon) keep the wire's ceiling
// (kMaxWireStringLength).
constexpr int32_t kMaxPlainCallerArgumentLength = 1024 * 1024;
// And what such a caller's changes may leave in the settings of the user
// they go to (its own, as a rule): at most this many bytes in all
// (SettingsCeiling, directory/user_settings.h); beyond, refused with 1.
constexpr size_t kMaxPlainCallerSettingsBytes = 4 * 1024 * 1024;

// The argument ceiling of the current caller (above).
int32_t CallerArgumentCeiling();

// Held by a handler around its one store call into a user's settings, the
// last use it makes of the store: the current caller's settings ceiling (none
// for an administrator), and a save that may wait for the user's file
// (SaveMayWaitForFile: the file is written while other requests run).
class CallerSettingsStore {
 public:
  CallerSettingsStore();

 private:
  SettingsCeiling ceiling_;
  SaveMayWaitForFile save_;
};

// A wire string argument (RecvString, within the caller's ceiling): a text
// with WIRE_OK; no text with WIRE_OK for an absent string (length word below
// 1), which is no failure; no text with WIRE_NO_MEMORY (too long for the
// caller, or no memory: read and dropped) or WIRE_COMMS_FAILURE for a failed
// read.
std::optional<std::string> RecvArgString(int sock, WireStatus* status);

// The same within `bound` too (the length word, text and NUL), for an
// argument with a bound of its own whoever sends it.
std::optional<std::string> RecvArgStringWithin(int sock, int32_t bound, WireStatus* status);

// A string argument of a request that needs no logon is read with
// RecvBoundedString and kMaxNoLogonStringLength (foundation/wire/wire.h): a
// longer one leaves the stream out of step, and the handler returns
// FR_CLOSE_CONNECTION so that the dispatcher closes and removes the connection.

// The echo rule after a string read: WIRE_OK gives false (go on). A failed
// read gives true (the handler ends): status 1 is sent back as the whole
// reply, status 4 sends nothing. The handler does its own logging.
bool EchoRuleEnds(int sock, WireStatus status);

// A raw block of `size` bytes announced by earlier `version` and `size`
// words. `handler` names the handler in log lines. Results:
//   FR_OK               the bytes are in `block`
//   FR_INVALID_VERSION  version not 1: the bytes were read and dropped (none
//                       for a negative size); reply 3
//   FR_NO_MEMORY        a negative size (nothing more is read), or a size above
//                       the caller's ceiling (CallerArgumentCeiling) or one that
//                       cannot be had (the bytes were read and dropped); reply 1
//   FR_COMMS_ERROR      the bytes did not all arrive: no reply
// `block` is empty unless FR_OK. The version test comes first.
int RecvRawBlock(int sock, int32_t version, int32_t size, const char* handler, std::vector<unsigned char>& block);

// Reads the version word and the size word, then the block as RecvRawBlock
// does. A failed word read is logged and gives FR_COMMS_ERROR (no reply).
int RecvVersionedRawBlock(int sock, const char* handler, std::vector<unsigned char>& block);

// ---- Reply shapes ------------------------------------------------------------------------
// Each sends the whole shape in one run of pieces of at most 8000 bytes and
// gives true when every byte went out. On failure a handler sends the code
// alone with SendReplyStatus.

// status: the code.
bool SendReplyStatus(int sock, int32_t code);

// status and text: 0, then the wire string (0 for a null text).
bool SendReplyText(int sock, WireText text);

// status and user or group block: 0, the size, the bytes.
bool SendReplyBlock(int sock, const std::vector<unsigned char>& block);

// status, version and block (application, parameter node, parameter tree):
// 0, the version 1, the size, the bytes.
bool SendReplyVersionedBlock(int sock, const std::vector<unsigned char>& block);

// list of blocks: 0, the server time (32-bit seconds now), the version 1, the
// count, then each block's size and bytes.
bool SendReplyBlockList(int sock, const std::vector<std::vector<unsigned char>>& blocks);

// count: the count alone, no status word.
bool SendReplyCount(int sock, int32_t count);

// ---- Rights of the caller ------------------------------------------------------------------

constexpr uint32_t kGuestSlotUserUID = kUIDGuest;  // the guest's reserved UID

// Non-zero when the current logon slot exists and its USERLEVEL has bit 0x8000.
int IsCurrentUserAdmin();

// Non-zero when the caller may replace the settings of application `app` in
// environment `env`: an admin may; otherwise the integer value (atoi's
// reading) of the caller's AllowConfiguration setting under section\app,
// where the section is "Live" for a USERLEVEL with bit 0x200 and `env`
// otherwise and the user is "guest" for a guest slot. No slot, a missing or
// empty name, or any failed lookup: 0. Any non-zero value, negative too, grants.
// The server's own application (IsServerApplication) is an admin's alone: its
// settings hold the logon methods, the password rules and the time-out.
int CurrentUserMayConfigure(const char* env, const char* app);

// True for environment "Live" and application "Torvane" (names without regard
// to case): the server's own settings. False when either is null.
bool IsServerApplication(const char* env, const char* app);

// True for a slot whose user UID is the guest's (4000000006).
bool IsGuestSlot(const LUS* slot);

// ---- Time stamps -----------------------------------------------------------------------------

// True when the client's cached copy, stamped `clientStamp`, is current: the
// stamp is not older than `dataTime`, both compared as signed 32-bit seconds.
// The handler then answers 5 alone.
bool ClientCopyIsCurrent(int32_t clientStamp, uint32_t dataTime);

// ---- Formatted text to a client --------------------------------------------------------------

// The socket SendFormattedToClient writes to (-1: none, every send fails), for
// the request being served (each task has its own; none at its start).
void SetFormattedReplySocket(int sock);

// Formats into a 16384-byte buffer (a longer text is cut) and sends it as a
// wire string to the socket set above. 0, or -1 when a send moved fewer
// bytes than asked.
int SendFormattedToClient(const char* format, ...) __attribute__((format(printf, 1, 2)));
