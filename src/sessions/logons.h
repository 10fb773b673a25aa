// The logon methods: internal users (with the server logon "#" and the
// integration password), a second internal user, a logon with a password
// change, Active Directory users with a password (a directory bind) and
// without one, and the replies that carry a session ID.
// Sessions layer: calls the slots, the connection record, the logoff of the
// session administration, the directory store's users and password state,
// the logon settings, the wire primitives, the platform's directory binds and
// account switches, and the log.
#pragma once

#include <cstdint>

struct ConnectionRecord;
struct LUS;

// The text that logs internal users on without their own password, while the
// platform's switch allows it (IntegrationPasswordEnabled; off by default).
constexpr const char kIntegrationPassword[] = "Q4Bellwethers@862";

// The server logon: this user name with a client ID above kMaxClientProgramID
// and, as its password, the secret the operator set (GetServerLogonSecret;
// without one, or with another password, "#" is an ordinary user name).
constexpr const char kServerLogonName[] = "#";
constexpr int32_t kMaxClientProgramID = 65535;
// The user record of the server logon: UID all ones, the administration bit.
constexpr uint32_t kServerLogonUID = 0xFFFFFFFFu;

// Every method takes (connection, user name, password or none, client ID of
// the header, otherUser out) and returns a FailReasonCode, or
// FR_LOGON_CANCELLED when the request was cancelled while the method waited
// for a hash or a bind (its connection is gone, or the server stops): it then
// hands out no slot and changes nothing more, and nothing is to be sent.
// A user checked before such a wait is found again after it by its name and
// the UID it had; one whose UID changed is gone (answered as a wrong
// password). A name that does not exist (or names no user of the method's
// kind) is answered 32 after the same hash work as a wrong password of a user
// with a new hash (types 1, 6, 7, and 8 and 9 without a bind). A successful logon
// either becomes the connection's own (its logonUID is set, *otherUser null)
// or, for type 6 and any logon on a connection that was already a server
// connection, leaves the connection's logon alone and hands the new slot
// back in *otherUser (valid until the next removal of a slot).
//
// Where each method ends the connection's previous logon (never on a server
// connection, never for type 6):
//   InternalLogin                    first, before any test
//   ADUPLogin, ADUserLoginUTF8       after the 2 and 28 tests
//   InternalLoginWithPasswordChange  after the new password is read and hashed

// Token type 1. 2; 28 (internal logons not allowed, unless the server logon
// with its secret);
// 26 guest/default_user; 32 not found, an AD user or a wrong password; 51; 50;
// 50/51 for an expired password; the slot's failReason or 34.
int InternalLogin(ConnectionRecord* conn, const char* userName, const char* password, int32_t clientID,
                  LUS** otherUser);

// Token type 6: always to *otherUser. 2; 28; 49 guest/default_user; 32; 51;
// 50 expired; the slot's failReason or 34.
int InternalOtherLogin(ConnectionRecord* conn, const char* userName, const char* password, int32_t clientID,
                       LUS** otherUser);

// Token type 7: reads the new password (a wire string after the token) from
// the connection. 4 not read, or longer than kMaxNoLogonStringLength (not
// received; the connection is to be closed); 2 absent (nothing hashed); 56 hashing failed;
// 2; 28; 26; 32; 51; 49 the user may not change it; SetUserPasswordV2's code
// (52 reused); the slot's failReason or 34. The new password is stored before
// the slot is asked for.
int InternalLoginWithPasswordChange(ConnectionRecord* conn, const char* userName, const char* password,
                                    int32_t clientID, LUS** otherUser);

// Token type 2: the password is verified by a bind to the directory, on a
// bind thread of its own, within kLdapTimeoutSeconds for the connect, the TLS
// handshake and the bind together. 2; 28; 26; 32 (not an AD user, or not
// found without the guest fallback, or a guest fallback name that cannot be
// stored); 1 no LDAP session; 2 the connect failed, or the directory did not
// answer within the deadline, or the address already has its binds in flight
// (kMaxBindsPerShare); 32 (a text that cannot be converted, an empty account,
// password or bind name: no bind is sent; or the bind failed; or the user
// was removed or replaced meanwhile); 51; the slot's failReason or 34.
int ADUPLogin(ConnectionRecord* conn, const char* userName, const char* password, int32_t clientID,
              LUS** otherUser);

// Token types 8 and 9: InternalLogin for a user of the directory whose
// ADUSER is 0, otherwise ADUPLogin, whose refusals without a bind then cost
// a password check as InternalLogin's do.
int AutoLogin(ConnectionRecord* conn, const char* userName, const char* password, int32_t clientID,
              LUS** otherUser);

// Token type 3: the Latin-1 name converted to UTF-8, then ADUserLoginUTF8.
int ADUserLogin(ConnectionRecord* conn, const char* userName, int32_t clientID, LUS** otherUser);
// No password test: the client vouches for the user, so it runs only while
// the operator's switch allows it (TrustedADUserLogonEnabled) as well as the
// AllowADUserLogin bit. 2; 28 (either off); 26; 32; 51; the slot's failReason
// or 34.
int ADUserLoginUTF8(ConnectionRecord* conn, const char* userName, int32_t clientID, LUS** otherUser);

// Sends the session ID of `slot`: its sidVersion, the word 4 and the 4 SID
// bytes. 0, or 4 (logged "PutSID:Comm error") on a send failure.
int PutSIDForLUS(ConnectionRecord* conn, const LUS* slot);
// The same from the slot's words, taken before anything was sent (a send
// may let other requests run, which may free or move the slot).
int PutSIDWords(ConnectionRecord* conn, uint32_t sidVersion, uint32_t sid);
// The session ID of the connection's own slot: 2 no connection; 29 no logon
// UID or no slot; else PutSIDForLUS.
int PutSID(ConnectionRecord* conn);
