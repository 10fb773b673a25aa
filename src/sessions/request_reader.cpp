// The request reader: header, token, acceptance, logons and re-attach.
// Sessions layer: calls the logons, the logon back-off, the slots, the
// connection record, the session administration, the wire primitives, the
// scrambler, the workers' share of the request, the clock and the log.
//
// One request, as GetCommand reads it:
//
//   message ID --(closed/reset: 55; else failed: 4)--> token length, token
//   type --> [client ID, 6003 only] --> token (>2048: 31, 4) --> LASTUSED
//   --> by token type: 0 accept or 27 | 5 re-attach | 1,2,3,6,7,8,9 logon
//   (6003 only) | 4 refused 28 | other refused 30
#include "sessions/request_reader.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "foundation/crypto/scrambler.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/wire/wire.h"
#include "platform/clock.h"
#include "platform/worker_pool.h"
#include "sessions/connection_table.h"
#include "sessions/logon_backoff.h"
#include "sessions/logon_settings.h"
#include "sessions/logon_slots.h"
#include "sessions/logons.h"
#include "sessions/session_admin.h"

namespace {

// The token of one request, with room for a terminator behind its bytes.
// Only the bytes a request received (and the terminator behind them) are
// ever read, and they are wiped when the request has been read (a credential
// token holds a password); the rest of the buffer is never touched.
struct TokenBuffer {
  unsigned char bytes[kMaxTokenLength + 1];
  size_t used = 0;  // bytes to wipe: the token received and its terminator
  ~TokenBuffer() {
    if (used > 0) explicit_bzero(bytes, used);
  }
};

bool SendWord(int sock, int32_t value) { return SendInt(sock, value) == 4; }

// The workers' share of the connection's address (the back-off's key as one
// word), worked out at its first request and kept with it.
uint64_t ConnectionShareKey(ConnectionRecord* conn) {
  if (!conn->shareKeyKnown) {
    conn->shareKey = BackoffKeyWord(BackoffKeyOfAddress(conn->peerAddress));
    conn->shareKeyKnown = true;
  }
  return conn->shareKey;
}

// The local time `t` as asctime writes it ("" when it cannot be had). Every
// request's header line carries it, so the text is made once a second, and
// again whenever the time zone has been set anew since (tzset changes the
// zone's offset, its daylight flag or its names).
const char* LocalTimeText(time_t t) {
  struct Made {
    time_t t = -1;
    long zone = 0;
    int dst = 0;
    const char* names[2] = {nullptr, nullptr};
    char text[64] = "";
  };
  static Made made;
  if (t == made.t && timezone == made.zone && daylight == made.dst && tzname[0] == made.names[0] &&
      tzname[1] == made.names[1])
    return made.text;
  struct tm local = {};
  made.text[0] = '\0';
  if (localtime_r(&t, &local) && !asctime_r(&local, made.text)) made.text[0] = '\0';
  made.t = t;
  made.zone = timezone;
  made.dst = daylight;
  made.names[0] = tzname[0];
  made.names[1] = tzname[1];
  return made.text;
}

// A refusal: the code and then the AuthenticationFlags word. 4 when a send
// failed, else `status`.
int Refuse(ConnectionRecord* conn, int32_t code, int status) {
  if (!SendWord(conn->socket, code)) return FR_COMMS_ERROR;
  if (SendInt(conn->socket, GetAuthenticationFlags()) != 4) return FR_COMMS_ERROR;
  return status;
}

bool NeedsNoLogon(int32_t messageID) {
  for (int32_t id : kNoLogonMessageIDs)
    if (id == messageID) return true;
  return false;
}

int AcceptNoToken(ConnectionRecord* conn, int32_t messageID) {
  if (!NeedsNoLogon(messageID)) {
    LUS* slot = FindLUSByLogonUID(conn->logonUID);
    if (!slot || slot->ISAUTH == 0) {
      DumpMissingAuth(conn->logonUID);
      WriteLog(0, "Not authenticated, uPtr=%08x", slot ? slot->logonUID : 0u);
      return Refuse(conn, FR_NOT_AUTHENTICATED, FR_NOT_AUTHENTICATED);
    }
  }
  return SendWord(conn->socket, FR_OK) ? FR_OK : FR_COMMS_ERROR;
}

// The re-attach by session ID (token type 5).
int AttachBySID(ConnectionRecord* conn, const unsigned char* token, int32_t tokLen, int32_t readerClientID) {
  // A token too short to hold a SID is a malformed one, answered as a bad version.
  if (tokLen < kSIDTokenLength) {
    WriteLog(0, "SIDLogon:SID token of %d bytes is too short", tokLen);
    return Refuse(conn, FR_INVALID_VERSION, FR_NOT_AUTHENTICATED);
  }
  uint32_t version = GetLE32(token);
  if ((version & 0xFF) != kSIDVersion) {
    WriteLog(0, "SIDLogon:sidVersion not 1, %d", static_cast<int>(version & 0xFF));
    return Refuse(conn, FR_INVALID_VERSION, FR_NOT_AUTHENTICATED);
  }
  // An address in back-off is answered as for an unknown SID, unchecked.
  LogonAttempt attempt;
  if (!BeginLogonAttempt(conn->peerAddress, &attempt)) return Refuse(conn, FR_NOT_LOGGED_ON, FR_NOT_AUTHENTICATED);
  LUS* slot = FindLUS(kSIDVersion, token + 8);
  if (!slot) {
    WriteLog(0, "SIDLogon:Cannot find logged on user for this SID");
    EndLogonAttempt(&attempt, LogonAttemptEnd::kFailed);
    return Refuse(conn, FR_NOT_LOGGED_ON, FR_NOT_AUTHENTICATED);
  }
  EndLogonAttempt(&attempt, LogonAttemptEnd::kNoGuess);
  WriteLog(0, "SIDLogon:Found sid logon for user >%s<", slot->USERNAME ? slot->USERNAME->c_str() : "");
  slot->LASTUSED = NowTime32();
  int failReason = 0;
  if (GetAdditionalLogonSlot(slot, readerClientID, &failReason) == 1) {
    conn->logonUID = slot->logonUID;
    if (!SendWord(conn->socket, FR_OK)) {
      WriteLog(0, "SIDLogon:Failed to put ok message");
      return FR_COMMS_ERROR;
    }
    WriteLog(0, "SIDLogon:Finished ok");
    return FR_OK;
  }
  WriteLog(0, "SIDLogon:Re-attach refused (%d) for user >%s< on client %d", failReason,
           slot->USERNAME ? slot->USERNAME->c_str() : "", readerClientID);
  return Refuse(conn, FR_SESSION_REFUSED, FR_SESSION_REFUSED);
}

// A logon from an address in back-off: answered 32 and the flags, as a wrong
// password is, with nothing looked up, hashed or bound. The new password of
// a type-7 logon is still taken off the stream (bounded as there), so that
// the connection stays in step.
int RefuseLogonInBackoff(ConnectionRecord* conn, int32_t tokType) {
  if (tokType == Auth_INTERNAL_PWCHANGE) {
    WireStatus status = WIRE_OK;
    RecvBoundedString(conn->socket, kMaxNoLogonStringLength, &status, nullptr);
    if (status != WIRE_OK) {
      SendWord(conn->socket, FR_COMMS_ERROR);
      return FR_COMMS_ERROR;
    }
  }
  return Refuse(conn, FR_AUTH_FAILED, FR_AUTH_FAILED);
}

// The logons (token types 1, 2, 3, 6, 7, 8, 9) on message 6003.
int RunLogon(ConnectionRecord* conn, int32_t messageID, int32_t tokType, unsigned char* token, int32_t tokLen,
             int32_t readerClientID) {
  if (messageID != kLogonMessageID) {
    WriteLog(1, "Got authentication mode %d from clientID %d, but not on a logon command. Aborting", tokType,
             readerClientID);
    return FR_COMMS_ERROR;
  }
  size_t length = tokLen > 0 ? static_cast<size_t>(tokLen) : 0;
  if (length > 0) DescrambleBuffer(token, length, kCredentialTokenSeed);
  const void* nul = length > 0 ? std::memchr(token, 0, length) : nullptr;
  size_t nameLength = nul ? static_cast<size_t>(static_cast<const unsigned char*>(nul) - token) : 0;
  if (!nul || nameLength > kMaxLogonNameLength) {
    WriteLog(1, "Username exceeds 255 bytes. Assuming invalid username - clientID was %d", readerClientID);
    return FR_COMMS_ERROR;
  }
  // The password runs to its NUL or, when the client sent none, to the
  // token's end: the byte behind the token is a terminator.
  token[length] = 0;
  const char* userName = reinterpret_cast<const char*>(token);
  const char* password = reinterpret_cast<const char*>(token + nameLength + 1);
  // Counted from here, before anything is checked: a burst of logons from
  // one address cannot all be checked before the first of them fails.
  LogonAttempt attempt;
  if (!BeginLogonAttempt(conn->peerAddress, &attempt)) return RefuseLogonInBackoff(conn, tokType);
  if (tokType == Auth_AUTO || tokType == Auth_AUTO_KEEPLOGON) {
    conn->keepLogon = tokType == Auth_AUTO_KEEPLOGON ? 1 : 0;
  }
  WriteLog(0, "Login requested for user >%s< with clientID=%d", userName, readerClientID);

  LUS* otherUser = nullptr;
  int result = FR_FAILED;
  switch (tokType) {
    case Auth_INTERNAL:
      result = InternalLogin(conn, userName, password, readerClientID, &otherUser);
      break;
    case Auth_INTERNAL_OTHER:
      result = InternalOtherLogin(conn, userName, password, readerClientID, &otherUser);
      break;
    case Auth_ADUP:
      result = ADUPLogin(conn, userName, password, readerClientID, &otherUser);
      break;
    case Auth_INTERNAL_PWCHANGE:
      result = InternalLoginWithPasswordChange(conn, userName, password, readerClientID, &otherUser);
      break;
    case Auth_AUTO:
    case Auth_AUTO_KEEPLOGON:
      result = AutoLogin(conn, userName, password, readerClientID, &otherUser);
      break;
    default:  // Auth_AD_USER
      result = ADUserLogin(conn, userName, readerClientID, &otherUser);
      break;
  }
  // A logon cancelled while it was checked (its connection kicked or closed,
  // the stop) guessed nothing, got no slot, and its client hears nothing.
  EndLogonAttempt(&attempt, result == FR_AUTH_FAILED      ? LogonAttemptEnd::kFailed
                            : result == FR_LOGON_CANCELLED ? LogonAttemptEnd::kCancelled
                                                           : LogonAttemptEnd::kNoGuess);
  if (result == FR_LOGON_CANCELLED) {
    WriteLog(0, "Login for user >%s< cancelled: its connection went while it was checked", userName);
    return FR_COMMS_ERROR;
  }
  // The other slot's session ID is taken before the first send: a send may
  // let other requests run, which may free or move that slot.
  const bool toOther = result == FR_OK && otherUser != nullptr;
  const uint32_t otherVersion = toOther ? otherUser->sidVersion : 0;
  const uint32_t otherSID = toOther ? otherUser->SID : 0;
  if (!SendWord(conn->socket, result)) return FR_COMMS_ERROR;
  switch (result) {
    case FR_OK:
      return toOther ? PutSIDWords(conn, otherVersion, otherSID) : PutSID(conn);
    case FR_MUST_CHANGE_PASSWORD:
      return SendWord(conn->socket, Auth_INTERNAL_PWCHANGE) ? FR_MUST_CHANGE_PASSWORD : FR_COMMS_ERROR;
    case FR_COMMS_ERROR:
      return FR_COMMS_ERROR;
    default:
      return SendInt(conn->socket, GetAuthenticationFlags()) == 4 ? result : FR_COMMS_ERROR;
  }
}

}  // namespace

int GetCommand(ConnectionRecord* conn, int32_t* messageID) {
  if (!conn || !messageID) return FR_INVALID_PARAMETER;
  conn->lastUsed = NowTime32();
  // The hashes and binds of this request count under its client address.
  SetWorkerShareKey(ConnectionShareKey(conn));

  int32_t id = 0;
  errno = 0;
  int got = RecvInt(conn->socket, &id);
  if (got != 4) {
    int error = got == 0 ? 0 : errno;
    if (error == 0 || error == ECONNRESET) return FR_PEER_CLOSED;
    WriteLog(0, "GetCommand:Failed to get cmd - %d", error);
    return FR_COMMS_ERROR;
  }
  *messageID = id;
  int32_t tokLen = 0;
  int32_t tokType = 0;
  if (RecvInt(conn->socket, &tokLen) != 4) {
    WriteLog(0, "GetCommand:Failed to get token length");
    return FR_COMMS_ERROR;
  }
  if (RecvInt(conn->socket, &tokType) != 4) {
    WriteLog(0, "GetCommand:Failed to get token type");
    return FR_COMMS_ERROR;
  }
  const time_t preTime = static_cast<time_t>(NowSeconds());
  WriteLog(0, "Got message ID:%d on socket %d - %s", id, conn->socket, LocalTimeText(preTime));

  int32_t readerClientID = 0;
  if (id == kLogonMessageID) {
    if (RecvInt(conn->socket, &readerClientID) != 4) return FR_COMMS_ERROR;
    conn->clientID = readerClientID;
  }

  TokenBuffer token;
  if (tokLen > kMaxTokenLength) {
    WriteLog(1, "GetCommand:Token larger than allowed at %d bytes for token", tokLen);
    SendInt(conn->socket, static_cast<int32_t>(FR_TOKEN_TOO_LARGE));
    return FR_COMMS_ERROR;
  }
  if (tokLen > 0) {
    token.used = static_cast<size_t>(tokLen) + 1;
    token.bytes[tokLen] = 0;
    if (RecvAll(conn->socket, token.bytes, tokLen, 0) != tokLen) return FR_COMMS_ERROR;
  }

  if (LUS* own = FindLUSByLogonUID(conn->logonUID)) own->LASTUSED = NowTime32();

  switch (tokType) {
    case Auth_NONE:
      return AcceptNoToken(conn, id);
    case Auth_SID:
      return AttachBySID(conn, token.bytes, tokLen, readerClientID);
    case Auth_INTERNAL:
    case Auth_ADUP:
    case Auth_AD_USER:
    case Auth_INTERNAL_OTHER:
    case Auth_INTERNAL_PWCHANGE:
    case Auth_AUTO:
    case Auth_AUTO_KEEPLOGON:
      return RunLogon(conn, id, tokType, token.bytes, tokLen, readerClientID);
    case Auth_AD_TOKEN:
      WriteLog(0, "Auth_AD_TOKEN");
      return Refuse(conn, FR_METHOD_NOT_ALLOWED, FR_NOT_AUTHENTICATED);
    default:
      WriteLog(0, "Unknown auth type %d", tokType);
      return Refuse(conn, FR_UNKNOWN_TOKEN_TYPE, FR_NOT_AUTHENTICATED);
  }
}
