// The logon methods and the session-ID replies.
// Sessions layer: calls the slots and the connection record, the logoff of
// the session administration, the directory store, the logon settings, the
// wire primitives, the platform's directory binds and switches, and the log.
//
// A logon, as each method runs it:
//
//   start --(method allowed?)--> [ended previous logon] --(user found,
//   password verified: hash, bind, or trusted)--> [password rules]
//   --(GetNewLogonSlot)--> [slot filled] --> own logon | otherUser
//
// The previous logon is ended at a different step by each method (see
// logons.h); a failure after that step leaves the connection without a logon.
#include "sessions/logons.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "directory/passwords.h"
#include "directory/user_accessors.h"
#include "directory/user_records.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "foundation/wire/wire.h"
#include "platform/account.h"
#include "platform/ldap_bind.h"
#include "platform/worker_pool.h"
#include "sessions/connection_table.h"
#include "sessions/logon_settings.h"
#include "sessions/logon_slots.h"
#include "sessions/session_admin.h"

namespace {

constexpr const char kGuestUserName[] = "guest";
constexpr size_t kMaxCombinedNameLength = 1023;  // bytes of DOMAIN\name kept

bool IsGuestOrDefaultUser(const char* name) {
  return EqualsNoCase(name, kGuestUserName) || EqualsNoCase(name, kDefaultUserName);
}

bool IsAdministrator(const UserStruct* user) { return (user->LEVEL & kUserLevelAdministrator) != 0; }

// Logons of types 1, 2, 3 and 7 end the connection's current logon as a
// logoff (message 6004) does: the client sessions of the connection's client
// ID (already this header's) leave the slot, and the connection has no logon.
// Never on a server connection, whose own logon serves all its clients.
void EndPreviousLogon(ConnectionRecord* conn, bool wasServer) {
  if (!wasServer) LogoffConnection(conn);
}

// The password test of an internal user (the legacy hash when the user has
// no bcrypt text, else the bcrypt check), computed on a worker thread while
// the request steps aside. Other requests run meanwhile and may change or
// remove the user: *user is looked up again by name afterwards (null when
// it is gone), and the test passes only when that record still holds the
// hash that was checked.
bool CheckInternalPassword(const char* userName, const char* password, UserStruct** user) {
  const std::optional<std::string> bcrypt = (*user)->PASSWORDV2;
  const uint32_t legacy = (*user)->PASSWORD;
  bool matched = false;
  if (!bcrypt) {
    matched = LegacyPasswordMatchesOffThread(password, legacy);
  } else {
    matched = CheckPasswordHashOffThread(password ? password : "", bcrypt->c_str()) == 0;
  }
  *user = FindUser(userName);
  if (*user == nullptr) return false;
  return matched && (*user)->PASSWORDV2 == bcrypt && (bcrypt || (*user)->PASSWORD == legacy);
}

// True when `clear` is one of the user's password history (the check the
// password change makes), computed off the server thread.
bool NewPasswordInHistory(const char* userName, const char* clear) {
  const std::vector<std::string> history = PasswordHistoryHashes(userName);
  if (history.empty()) return false;
  std::vector<const char*> texts;
  texts.reserve(history.size());
  for (const std::string& h : history) texts.push_back(h.c_str());
  return PasswordMatchesAnyOffThread(clear, texts.data(), texts.size());
}

bool IsIntegrationPassword(const char* password) {
  return IntegrationPasswordEnabled() && password && std::strcmp(password, kIntegrationPassword) == 0;
}

// The slot of a failed GetNewLogonSlot: its failReason, or 34 (table full).
int SlotFailure(int failReason) {
  WriteLog(0, "Failed to get slot %d", failReason);
  return failReason != 0 ? failReason : FR_NO_FREE_SLOT;
}

// Fills the slot's logon fields. `slotName` goes to USERNAME; the default
// environment is that of `envUser`.
void FillSlot(LUS* slot, int32_t authType, const UserStruct* user, const std::string& slotName,
              const char* envUser, bool guest) {
  slot->ISAUTH = 1;
  slot->AUTHTYPE = authType;
  slot->CC = 1;
  slot->userUID = user->header.uid;
  slot->USERNAME = slotName;
  slot->FORENAME = user->FORENAME;
  slot->SURNAME = user->SURNAME;
  slot->ENVNAME = GetUserDefaultEnvironment(envUser);
  slot->GUEST = guest ? 1 : 0;
  slot->USERLEVEL = user->LEVEL;
}

// The new slot becomes the connection's own, or goes to *otherUser.
void HandOver(ConnectionRecord* conn, LUS* slot, bool toOther, LUS** otherUser) {
  if (toOther) {
    if (otherUser) *otherUser = slot;
    return;
  }
  conn->logonUID = slot->logonUID;
  if (otherUser) *otherUser = nullptr;
}

// The server logon: the name "#", a client ID above 65535, and the secret the
// operator set as the password. Without a secret "#" is a name like any other.
bool IsServerLogon(const char* userName, const char* password, int32_t clientID) {
  if (clientID <= kMaxClientProgramID || !EqualsNoCase(userName, kServerLogonName)) return false;
  const std::string secret = GetServerLogonSecret();
  return SecretTextMatches(password, secret.c_str());
}

// Internal logons are allowed by bit 16, or this is the server logon.
bool InternalMethodAllowed(const char* userName, const char* password, int32_t clientID) {
  return IsServerLogon(userName, password, clientID) || (GetAuthenticationFlags() & kAuthAllowInternal) != 0;
}

// The guest record of a fallback, when guest logons are allowed and the name
// can be carried by the slot; null otherwise.
UserStruct* GuestFallback(const char* logonName) {
  if ((GetAuthenticationFlags() & kAuthAllowGuest) == 0) return nullptr;
  if (!IsStorableLogonName(logonName)) return nullptr;
  return FindUser(kGuestUserName);
}

// The session of a directory bind, opened and connected on a worker (the
// connect is a network round trip, and a TLS handshake).
struct DirectoryOpenJob {
  bool insecure = false;
  int openCode = 0;
  int connectCode = 0;
  LdapSessionHandle session;
};

void RunDirectoryOpen(void* data) {
  auto* job = static_cast<DirectoryOpenJob*>(data);
  job->session = LdapOpenSession(job->insecure, &job->openCode);
  if (job->session) job->connectCode = LdapConnectSession(job->session.get());
}

// The bind itself, on a worker: the identity is the job's own copy, and the
// session is closed there too (the unbind goes over the network).
struct DirectoryBindJob {
  LdapSessionHandle session;
  SecWinntAuthIdentity identity;
  int sent = LDAP_BIND_NOT_SENT;
  int rc = -1;
  ~DirectoryBindJob() { std::fill(identity.Password.begin(), identity.Password.end(), u'\0'); }
};

void RunDirectoryBind(void* data) {
  auto* job = static_cast<DirectoryBindJob*>(data);
  job->rc = LdapBindIdentity(job->session.get(), job->identity, &job->sent);
  job->session.reset();
}

// The directory bind of ADUPLogin's steps 6 to 9: 0 when the directory
// accepted the account and password, else the logon's code. The network
// steps run on worker threads; the log lines come here, in their order.
int BindToDirectory(const std::string& account, const std::string& domain, const char* password) {
  DirectoryOpenJob open;
  open.insecure = GetInsecureADAuthentication() != 0;
  if (!RunOnWorker(RunDirectoryOpen, &open)) return FR_AUTH_FAILED;  // the connection is gone
  if (!open.session) {
    WriteLog(1, "Unable to initialise ldap, code %u\n", static_cast<unsigned>(open.openCode));
    return FR_NO_MEMORY;
  }
  if (open.connectCode != 0) {
    WriteLog(1, "Unable to connect, code %u\n", static_cast<unsigned>(open.connectCode));
    return FR_INVALID_PARAMETER;
  }
  DirectoryBindJob bind;
  std::optional<std::u16string> user = ConvertUTF8ToUTF16(account.c_str(), account.size(), nullptr);
  std::optional<std::u16string> dom = ConvertUTF8ToUTF16(domain.c_str(), domain.size(), nullptr);
  std::optional<std::u16string> pass = ConvertUTF8ToUTF16(password, std::strlen(password), nullptr);
  if (!user || !dom || !pass) return FR_AUTH_FAILED;
  // An empty password or name would be an unauthenticated or anonymous bind,
  // which directory servers answer with success: refused before any bind.
  if (user->empty() || pass->empty() || BuildBindName(GetLdapBindNameTemplate(), account, domain).empty())
    return FR_AUTH_FAILED;
  bind.identity.User = std::move(*user);
  bind.identity.Domain = std::move(*dom);
  bind.identity.Password = std::move(*pass);
  bind.session = std::move(open.session);
  WriteLog(0, "ADUPLogin:About to try binding to user>%s< on domain>%s<", account.c_str(), domain.c_str());
  const bool ran = RunOnWorker(RunDirectoryBind, &bind);
  const int rc = ran ? bind.rc : -1;
  if (rc != 0) {
    WriteLog(1, "ADUPLogin:Bind failed with status %d", rc);
    return FR_AUTH_FAILED;
  }
  return FR_OK;
}

}  // namespace

int InternalLogin(ConnectionRecord* conn, const char* userName, const char* password, int32_t clientID,
                  LUS** otherUser) {
  if (otherUser) *otherUser = nullptr;
  bool wasServer = conn && conn->serverConnection != 0;
  if (conn) EndPreviousLogon(conn, wasServer);
  if (!conn || !userName) return FR_INVALID_PARAMETER;
  if (!InternalMethodAllowed(userName, password, clientID)) return FR_METHOD_NOT_ALLOWED;

  UserStruct serverUser;
  UserStruct* user = nullptr;
  bool passwordOk = false;
  if (IsServerLogon(userName, password, clientID)) {
    serverUser.header.uid = kServerLogonUID;
    serverUser.LEVEL = kUserLevelAdministrator;
    user = &serverUser;
    conn->serverConnection = 1;
    passwordOk = true;
  } else {
    if (IsGuestOrDefaultUser(userName)) return FR_BUILT_IN;
    user = FindUser(userName);
    if (!user) {
      WriteLog(0, "InternalLogin:User >%s< trying to login but not found as Torvane user", userName);
      return FR_AUTH_FAILED;
    }
    WriteLog(0, "InternalLogin:User >%s< trying to login and found as Torvane user (%s)", userName,
             user->USERNAME ? user->USERNAME->c_str() : "");
    if (user->ADUSER != 0) return FR_AUTH_FAILED;
    passwordOk = CheckInternalPassword(userName, password, &user);
    if (!user) return FR_AUTH_FAILED;  // removed while its password was checked
  }

  int mustChange = UserMustChangePassword(userName);
  int cannotChange = IsAdministrator(user) ? 0 : UserCannotChangePassword(userName);
  if (user != &serverUser && IsIntegrationPassword(password)) {
    WriteLog(0, "Password ok trying for slot");
    WriteLog(0, "Logged in with ZentakIntegration User");
  } else {
    if (!passwordOk) return FR_AUTH_FAILED;
    if (mustChange && cannotChange) return FR_CANNOT_CHANGE_PASSWORD;
    if (mustChange) return FR_MUST_CHANGE_PASSWORD;
    if (PasswordHasExpired(userName)) return cannotChange ? FR_CANNOT_CHANGE_PASSWORD : FR_MUST_CHANGE_PASSWORD;
    WriteLog(0, "Password ok trying for slot");
  }

  int failReason = 0;
  LUS* slot = GetNewLogonSlot(clientID, userName, user, &failReason);
  if (!slot) return SlotFailure(failReason);
  WriteLog(0, "All ok should be logging on");
  HandOver(conn, slot, wasServer, otherUser);
  FillSlot(slot, AUTHTYPE_INTERNAL, user, userName, userName, false);
  return FR_OK;
}

int InternalOtherLogin(ConnectionRecord* conn, const char* userName, const char* password, int32_t clientID,
                       LUS** otherUser) {
  if (otherUser) *otherUser = nullptr;
  if (!conn || !userName) return FR_INVALID_PARAMETER;
  if ((GetAuthenticationFlags() & kAuthAllowInternal) == 0) return FR_METHOD_NOT_ALLOWED;
  if (IsGuestOrDefaultUser(userName)) return FR_PERMISSION_DENIED;
  UserStruct* user = FindUser(userName);
  if (!user) {
    WriteLog(0, "InternalOtherLogin:User >%s< trying to login but not found as Torvane user", userName);
    return FR_AUTH_FAILED;
  }
  WriteLog(0, "InternalOtherLogin:User >%s< trying to login and found as Torvane user (%s)", userName,
           user->USERNAME ? user->USERNAME->c_str() : "");
  if (user->ADUSER != 0) return FR_AUTH_FAILED;
  if (!CheckInternalPassword(userName, password, &user)) return FR_AUTH_FAILED;
  if (!IsAdministrator(user) && UserMustAndCannotChangePassword(userName)) return FR_CANNOT_CHANGE_PASSWORD;
  if (PasswordHasExpired(userName)) return FR_MUST_CHANGE_PASSWORD;
  WriteLog(0, "Password ok trying for slot");
  int failReason = 0;
  LUS* slot = GetNewLogonSlot(clientID, userName, user, &failReason);
  if (!slot) return SlotFailure(failReason);
  WriteLog(0, "All ok should be logging on");
  HandOver(conn, slot, true, otherUser);
  FillSlot(slot, AUTHTYPE_INTERNAL, user, userName, userName, false);
  return FR_OK;
}

int InternalLoginWithPasswordChange(ConnectionRecord* conn, const char* userName, const char* password,
                                    int32_t clientID, LUS** otherUser) {
  if (otherUser) *otherUser = nullptr;
  if (!conn) return FR_INVALID_PARAMETER;
  // Read before any logon, so bounded as every string of such a request: a
  // longer one is not received and the connection is closed (4).
  WireStatus status = WIRE_OK;
  std::optional<std::string> newPassword =
      RecvBoundedString(conn->socket, kMaxNoLogonStringLength, &status, nullptr);
  if (status != WIRE_OK) {
    WriteLog(1, "InternalLoginWithPasswordChange:Failed to get new password from client");
    return FR_COMMS_ERROR;
  }
  // An absent new password is refused before anything is hashed or ended.
  if (!newPassword) return FR_INVALID_PARAMETER;
  char setting[kPasswordFieldSize] = {};
  char hash[kPasswordFieldSize] = {};
  if (GeneratePasswordHashOffThread(newPassword->c_str(), setting, hash) != 0) {
    WriteLog(1, "InternalLoginWithPasswordChange:Failed to generate new password hash");
    return FR_HASH_FAILED;
  }
  bool wasServer = conn->serverConnection != 0;
  EndPreviousLogon(conn, wasServer);
  if (!userName) return FR_INVALID_PARAMETER;
  if (!InternalMethodAllowed(userName, password, clientID)) return FR_METHOD_NOT_ALLOWED;
  if (IsGuestOrDefaultUser(userName)) return FR_BUILT_IN;
  UserStruct* user = FindUser(userName);
  if (!user) {
    WriteLog(0, "InternalLoginWithPasswordChange:User >%s< trying to login but not found as Torvane user",
             userName);
    return FR_AUTH_FAILED;
  }
  WriteLog(0, "InternalLoginWithPasswordChange:User >%s< trying to login and found as Torvane user (%s)",
           userName, user->USERNAME ? user->USERNAME->c_str() : "");
  if (user->ADUSER != 0) return FR_AUTH_FAILED;
  if (!CheckInternalPassword(userName, password, &user)) return FR_AUTH_FAILED;
  if (!IsAdministrator(user)) {
    if (UserMustAndCannotChangePassword(userName)) return FR_CANNOT_CHANGE_PASSWORD;
    if (UserCannotChangePassword(userName)) return FR_PERMISSION_DENIED;
  }
  // The new password may not be one of the history: each entry is a full
  // bcrypt check, made on a worker before the change (which then skips it).
  if (NewPasswordInHistory(userName, newPassword->c_str())) return FR_PASSWORD_REUSED;
  int rc = SetUserPasswordV2(userName, hash, 1, newPassword->c_str());
  if (rc != FR_OK) return rc;
  // The save may have changed the users: look the record up again.
  user = FindUser(userName);
  if (!user) return FR_USER_NOT_FOUND;
  WriteLog(0, "Password ok trying for slot");
  int failReason = 0;
  LUS* slot = GetNewLogonSlot(clientID, userName, user, &failReason);
  if (!slot) return SlotFailure(failReason);
  if (wasServer) {
    WriteLog(0, "All ok should be logging on");
  } else {
    WriteLog(0, "All ok should be logging on LUID=%u", slot->logonUID);
  }
  HandOver(conn, slot, wasServer, otherUser);
  FillSlot(slot, AUTHTYPE_INTERNAL, user, userName, userName, false);
  return FR_OK;
}

int ADUPLogin(ConnectionRecord* conn, const char* userName, const char* password, int32_t clientID,
              LUS** otherUser) {
  if (otherUser) *otherUser = nullptr;
  if (!conn || !userName) return FR_INVALID_PARAMETER;
  if ((GetAuthenticationFlags() & kAuthAllowADUP) == 0) return FR_METHOD_NOT_ALLOWED;
  if (!password) password = "";
  bool wasServer = conn->serverConnection != 0;
  EndPreviousLogon(conn, wasServer);
  if (IsGuestOrDefaultUser(userName)) return FR_BUILT_IN;

  std::string combinedName = userName;
  if (combinedName.size() > kMaxCombinedNameLength) combinedName.resize(kMaxCombinedNameLength);
  std::string domain = GetComputerDomainName();
  std::string account = userName;
  const char* slash = std::strchr(userName, '\\');
  if (slash) {
    domain.assign(userName, static_cast<size_t>(slash - userName));
    account = slash + 1;
  }
  UserStruct* user = FindUser(userName);
  if (!user && !slash) {
    combinedName = GetComputerDomainName() + "\\" + userName;
    if (combinedName.size() > kMaxCombinedNameLength) combinedName.resize(kMaxCombinedNameLength);
    user = FindUser(combinedName.c_str());
  }
  bool guest = false;
  if (user) {
    if (user->ADUSER == 0) {
      WriteLog(0, "ADUPLogin:User >%s< trying to login, found as Torvane user >%s<, but not an AD user",
               combinedName.c_str(), user->USERNAME ? user->USERNAME->c_str() : "");
      return FR_AUTH_FAILED;
    }
    WriteLog(0, "ADUPLogin:User >%s< trying to login and found as a Torvane user >%s<", combinedName.c_str(),
             user->USERNAME ? user->USERNAME->c_str() : "");
  } else {
    WriteLog(0, "ADUPLogin:User >%s< trying to login but not found as Torvane user", combinedName.c_str());
    if (!GuestFallback(combinedName.c_str())) return FR_AUTH_FAILED;
    guest = true;
  }

  int rc = BindToDirectory(account, domain, password);
  if (rc != FR_OK) return rc;

  // Nothing above changes the users, but look the record up again rather
  // than carry it across the bind.
  user = guest ? FindUser(kGuestUserName) : FindUser(combinedName.c_str());
  if (!user) return FR_AUTH_FAILED;
  if (!IsAdministrator(user) && UserMustAndCannotChangePassword(combinedName.c_str()))
    return FR_CANNOT_CHANGE_PASSWORD;
  int failReason = 0;
  LUS* slot = GetNewLogonSlot(clientID, combinedName.c_str(), user, &failReason);
  if (!slot) return SlotFailure(failReason);
  std::string slotName = guest ? combinedName : user->USERNAME.value_or("");
  FillSlot(slot, AUTHTYPE_AD_PASSWORD, user, slotName, guest ? kGuestUserName : combinedName.c_str(), guest);
  HandOver(conn, slot, wasServer, otherUser);
  return FR_OK;
}

int ADUserLogin(ConnectionRecord* conn, const char* userName, int32_t clientID, LUS** otherUser) {
  if (otherUser) *otherUser = nullptr;
  if (!conn || !userName) return FR_INVALID_PARAMETER;
  std::string converted = ConvertLatin1ToUTF8(userName);
  WriteLog(0, "ADUserLogin: Converted '%s' to '%s'", userName, converted.c_str());
  return ADUserLoginUTF8(conn, converted.c_str(), clientID, otherUser);
}

int ADUserLoginUTF8(ConnectionRecord* conn, const char* userName, int32_t clientID, LUS** otherUser) {
  if (otherUser) *otherUser = nullptr;
  if (!conn || !userName) return FR_INVALID_PARAMETER;
  // The operator's switch and the setting's bit must both allow it.
  if (!TrustedADUserLogonEnabled() || (GetAuthenticationFlags() & kAuthAllowADUser) == 0)
    return FR_METHOD_NOT_ALLOWED;
  bool wasServer = conn->serverConnection != 0;
  EndPreviousLogon(conn, wasServer);
  if (IsGuestOrDefaultUser(userName)) return FR_BUILT_IN;
  UserStruct* user = FindUser(userName);
  bool guest = false;
  if (user) {
    if (user->ADUSER == 0) {
      WriteLog(0, "ADUserLogin:User >%s< found but is not an AD user", userName);
      return FR_AUTH_FAILED;
    }
    WriteLog(0, "ADUserLogin:User >%s< trying to login and found as a Torvane user", userName);
  } else {
    WriteLog(0, "ADUserLogin:User >%s< trying to login but not found as Torvane user", userName);
    user = GuestFallback(userName);
    if (!user) return FR_AUTH_FAILED;
    guest = true;
  }
  if (!IsAdministrator(user) && UserMustAndCannotChangePassword(userName)) return FR_CANNOT_CHANGE_PASSWORD;
  int failReason = 0;
  LUS* slot = GetNewLogonSlot(clientID, userName, user, &failReason);
  if (!slot) return SlotFailure(failReason);
  HandOver(conn, slot, wasServer, otherUser);
  std::string slotName = guest ? std::string(userName) : user->USERNAME.value_or("");
  FillSlot(slot, AUTHTYPE_AD_USER, user, slotName, guest ? kGuestUserName : userName, guest);
  return FR_OK;
}

int PutSIDForLUS(ConnectionRecord* conn, const LUS* slot) {
  if (!conn || !slot) return FR_INVALID_PARAMETER;
  return PutSIDWords(conn, slot->sidVersion, slot->SID);
}

int PutSIDWords(ConnectionRecord* conn, uint32_t sidVersion, uint32_t sid) {
  if (!conn) return FR_INVALID_PARAMETER;
  unsigned char bytes[4];
  PutLE32(bytes, sid);
  if (SendInt(conn->socket, static_cast<int32_t>(sidVersion)) == 4 && SendInt(conn->socket, static_cast<int32_t>(4)) == 4 &&
      SendBuffer(conn->socket, bytes, 4, 0) == 4)
    return FR_OK;
  WriteLog(1, "PutSID:Comm error");
  return FR_COMMS_ERROR;
}

int PutSID(ConnectionRecord* conn) {
  if (!conn) {
    WriteLog(0, "PutSID:No connection");
    return FR_INVALID_PARAMETER;
  }
  if (conn->logonUID == 0) {
    WriteLog(0, "PutSID:Logon uid is 0");
    return FR_NOT_LOGGED_ON;
  }
  LUS* slot = FindLUSByLogonUID(conn->logonUID);
  if (!slot) {
    WriteLog(0, "PutSID:Cannot get LUS from UID (%d)", static_cast<int>(conn->logonUID));
    return FR_NOT_LOGGED_ON;
  }
  return PutSIDForLUS(conn, slot);
}
