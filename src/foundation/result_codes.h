// The one status vocabulary of the server: every store operation, the request
// reader, the logons and the handlers return these values, and handlers send
// them to clients unchanged as the first int32 word of a reply.
// Foundation layer; depends on nothing.
#pragma once

#include <cstdint>

// Values are fixed by the wire protocol: never renumber. Codes marked "local"
// are returned between operations or logged, never sent to a client.
enum FailReasonCode : int32_t {
  FR_FAILED = -1,                 // failed, with no reason of its own
  FR_OK = 0,                      // success
  FR_NO_MEMORY = 1,               // no memory / record cannot be created / LDAP session cannot be opened
  FR_INVALID_PARAMETER = 2,       // missing or bad argument, refused built-in name, LDAP connect failed
  FR_INVALID_VERSION = 3,         // transport version not 1, SID token version not 1
  FR_COMMS_ERROR = 4,             // a read or send on the connection failed
  FR_CLIENT_CURRENT = 5,          // the client's cached copy is current
  FR_USER_NOT_FOUND = 6,          // user, slot, settings holder or member not found; empty user list
  FR_ALREADY_EXISTS = 7,          // user, group, environment, application or field of that name exists
  FR_UID_MISMATCH = 8,            // UID of the given record differs from the stored record of that name
  FR_CANNOT_OPEN_FILE = 14,       // a file cannot be opened or created
  FR_WRITE_FAILED = 15,           // a write to a file failed or was short
  FR_GROUP_NOT_FOUND = 16,        // group not found
  FR_ENV_NOT_FOUND = 17,          // environment not found; no such section in a user's settings
  FR_APP_NOT_FOUND = 18,          // application not found; no such subsection in a user's settings
  FR_NODE_NOT_FOUND = 19,         // parameter node or setting not found; a user settings path element missing
  FR_XML_ERROR = 20,              // XML cannot be parsed or lacks the expected element
  FR_FILE_NOT_FOUND = 21,         // file not found
  FR_TYPE_NOT_TEXT = 22,          // a value's type cannot be shown as text
  FR_WRONG_NODE_KIND = 23,        // registered node of another kind; settings tree not USERDATA
  FR_NO_SUCH_NODE = 24,           // local: no node with that UID (permissions)
  FR_NOT_A_PERMISSION = 25,       // local: the node with that UID is not a permission
  FR_BUILT_IN = 26,               // built-in object (reserved UID, guest/default_user by name)
  FR_NOT_AUTHENTICATED = 27,      // request needs a logon
  FR_METHOD_NOT_ALLOWED = 28,     // logon method not allowed
  FR_NOT_LOGGED_ON = 29,          // no slot for that session ID or caller
  FR_UNKNOWN_TOKEN_TYPE = 30,     // unrecognised token type
  FR_TOKEN_TOO_LARGE = 31,        // token over 2048 bytes
  FR_AUTH_FAILED = 32,            // authentication failed
  FR_NO_FREE_SLOT = 34,           // logged-on-user slot table full
  FR_AD_USER = 36,                // Active Directory user: password not kept here
  FR_SESSION_REFUSED = 37,        // the slot refused the new client session
  FR_LAST_SECTION = 45,           // the user's last settings section cannot be deleted
  FR_READ_FAILED = 46,            // a file cannot be read
  FR_PERMISSION_DENIED = 49,      // caller lacks the rights
  FR_MUST_CHANGE_PASSWORD = 50,   // password must be changed
  FR_CANNOT_CHANGE_PASSWORD = 51, // must be changed but the user may not change it
  FR_PASSWORD_REUSED = 52,        // new password is in the history
  FR_PEER_CLOSED = 55,            // local: the peer closed the connection
  FR_HASH_FAILED = 56,            // bcrypt hashing failed
  FR_CLOSE_CONNECTION = 57,       // local: a handler asks the dispatcher to close and remove its connection
  FR_LOGON_CANCELLED = 58,        // local: a logon's wait was cancelled (its connection is gone, the stop):
                                  // nothing is sent, counted or handed out
};
