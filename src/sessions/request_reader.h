// The request reader: takes one request header (and its token) off a
// readable connection, accepts or refuses the request, runs the logons and
// the re-attach by session ID that a header carries, and answers the client
// with the status words; an address in back-off has its logons and
// re-attaches refused unchecked. Sessions layer: calls the logons, the logon
// back-off, the slots, the connection record, the session administration,
// the wire primitives, the scrambler, the clock and the log.
#pragma once

#include <cstddef>
#include <cstdint>

struct ConnectionRecord;

// ---- The request header ----------------------------------------------------------------

constexpr int32_t kLogonMessageID = 6003;      // the only header with a client ID
constexpr int32_t kMaxTokenLength = 2048;      // a longer token is answered 31 and closed
constexpr size_t kMaxLogonNameLength = 255;    // bytes of a user name in a credential token
constexpr uint32_t kCredentialTokenSeed = 0x1B4D3;  // keystream of every credential token
constexpr int32_t kSIDTokenLength = 12;        // version, length 4, the 4 SID bytes

// Messages accepted with token type 0 on a connection without a logon.
constexpr int32_t kNoLogonMessageIDs[] = {6628, 6662, 6663, 6683};

// Token types.
enum TokenType : int32_t {
  Auth_NONE = 0,               // no token: the connection's own logon must be authenticated
  Auth_INTERNAL = 1,           // user name and password of an internal user
  Auth_ADUP = 2,               // Active Directory user name and password
  Auth_AD_USER = 3,            // Active Directory user name only (Latin-1)
  Auth_AD_TOKEN = 4,           // always refused with 28
  Auth_SID = 5,                // re-attach to the slot of a session ID
  Auth_INTERNAL_OTHER = 6,     // a second internal user for the same client program
  Auth_INTERNAL_PWCHANGE = 7,  // old password in the token, the new one follows as a wire string
  Auth_AUTO = 8,               // type 1 for an internal user of the directory, else type 2
  Auth_AUTO_KEEPLOGON = 9,     // as type 8, and the connection keeps its logon when it fails
};

// ---- Reading one request ------------------------------------------------------------------

// Reads and authenticates the header of the next request on `conn`;
// *messageID gets the message ID once it has been read. Results:
//   0   accepted (reply 0 or the logon reply sent): dispatch *messageID;
//   27  refused (code and AuthenticationFlags sent): the connection stays;
//   4   communication failure or protocol violation: close the connection;
//   55  the peer closed or reset the connection while the message ID was read;
//   2   no connection or no place for the message ID;
//   any other: a failed logon's code, or 37 for a refused re-attach (sent).
// A time-out while reading is a failure (4), never a reason to wait again.
int GetCommand(ConnectionRecord* conn, int32_t* messageID);
