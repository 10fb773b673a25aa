// The logon methods and the session-ID replies.
// Sessions layer: calls the slots and the connection record, the logoff of
// the session administration, the directory store, the logon settings, the
// wire primitives, the platform's directory binds (on their own threads),
// the workers and switches, and the log.
//
// A logon, as each method runs it:
//
//   start --(method allowed?)--> [ended previous logon] --(user found,
//   password verified: hash, bind, or trusted)--> [password rules]
//   --(GetNewLogonSlot)--> [slot filled] --> own logon | otherUser
//
// The previous logon is ended at a different step by each method (see
// logons.h); a failure after that step leaves the connection without a logon.
//
// The hash and the bind are waits: other requests run meanwhile. After each,
// a logon that was cancelled meanwhile ends with nothing done
// (FR_LOGON_CANCELLED), and the user is found again by its name and the UID
// it had when it was checked: a user whose UID changed (deleted, and another
// added under the name) is gone, answered as a wrong password, and what was
// decided before the wait (an internal or a directory user, the hash that
// was checked) is checked again. Nothing of the user's record is held across
// a wait. A name that does not exist costs a check as a wrong password does.
#include "sessions/logons.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
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
#include "platform/bind_threads.h"
#include "platform/fiber_tasks.h"
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

// The record of `name` when it is still the user of `uid` (the one checked
// before a wait); null when the name is gone or names another user now.
UserStruct* SameUser(const char* name, uint32_t uid) {
  return name != nullptr ? FindUserAgain(UserRef{name, uid}) : nullptr;
}

// How a password test that waited for a worker ended.
enum class Checked { kMatched, kWrong, kCancelled };

// What the test of an internal user found, taken before the wait and
// compared after it: the user, and the hash that was checked.
struct CheckedPassword {
  uint32_t uid = 0;
  std::optional<std::string> bcrypt;
  uint32_t legacy = 0;
};

CheckedPassword WhatIsChecked(const UserStruct* user) {
  return CheckedPassword{user->header.uid, user->PASSWORDV2, user->PASSWORD};
}

// *user found again after a wait by its name and the UID it was checked
// under: null when it is gone or another user holds the name, or when it is
// no longer the internal user with the hash that was checked.
void FindCheckedUserAgain(const char* userName, const CheckedPassword& checked, UserStruct** user) {
  *user = SameUser(userName, checked.uid);
  if (*user == nullptr) return;
  const bool sameHash =
      (*user)->PASSWORDV2 == checked.bcrypt && (checked.bcrypt || (*user)->PASSWORD == checked.legacy);
  if ((*user)->ADUSER != 0 || !sameHash) *user = nullptr;
}

// The password test of an internal user (the legacy hash when the user has
// no bcrypt text, else the bcrypt check), computed on a worker thread while
// the request steps aside; the legacy test costs a bcrypt check too, so a
// legacy user's answer takes no less time than any other's. Other requests
// run meanwhile and may change or remove the user: *user is found again
// (FindCheckedUserAgain; null when it is gone or changed, the test then
// fails).
Checked CheckInternalPassword(const char* userName, const char* password, UserStruct** user) {
  const CheckedPassword checked = WhatIsChecked(*user);
  *user = nullptr;  // not held across the wait
  bool matched = false;
  if (!checked.bcrypt) {
    matched = LegacyPasswordMatchesAtHashCostOffThread(password, checked.legacy);
  } else {
    matched = CheckPasswordHashOffThread(password ? password : "", checked.bcrypt->c_str()) == 0;
  }
  if (RunningTaskCancelled()) return Checked::kCancelled;
  FindCheckedUserAgain(userName, checked, user);
  return matched && *user != nullptr ? Checked::kMatched : Checked::kWrong;
}

// A refusal as for a wrong password (32) of a name with no password to test
// (no such user, or not an internal one): it costs the same check, so that
// its answer comes no sooner. FR_LOGON_CANCELLED when it was cancelled meanwhile.
int RefuseAtCheckCost(const char* password) {
  (void)CheckPasswordAgainstNothingOffThread(password);
  return RunningTaskCancelled() ? FR_LOGON_CANCELLED : FR_AUTH_FAILED;
}

// True when `clear` is one of the user's password history (the check the
// password change makes), computed off the server thread; *cancelled when the
// logon was cancelled meanwhile.
bool NewPasswordInHistory(const char* userName, const char* clear, bool* cancelled) {
  *cancelled = false;
  const std::vector<std::string> history = PasswordHistoryHashes(userName);
  if (history.empty()) return false;
  std::vector<const char*> texts;
  texts.reserve(history.size());
  for (const std::string& h : history) texts.push_back(h.c_str());
  const bool found = PasswordMatchesAnyOffThread(clear, texts.data(), texts.size());
  *cancelled = RunningTaskCancelled();
  return found;
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

// The session of a directory bind, opened and connected on a bind thread of
// its own (the connect is a network round trip, and a TLS handshake).
// Everything it holds is its own; an abort shuts the session's socket down.
class DirectoryConnectWork : public BindWork {
 public:
  explicit DirectoryConnectWork(bool insecure) : insecure_(insecure) {}
  void Run() override {
    int openCode = 0;
    LdapSessionHandle session = LdapOpenSession(insecure_, &openCode);
    LdapSession* opened = session.get();
    {
      std::lock_guard<std::mutex> hold(lock_);
      openCode_ = openCode;
      session_ = std::move(session);
      if (aborted_ && opened != nullptr) LdapAbortSession(opened);
    }
    // session_ is this thread's alone until Run ends: Abort only reaches
    // into it, under the lock, and the session is let go by its owner.
    if (opened != nullptr) connectCode_ = LdapConnectSession(opened);
  }
  void Abort() override {
    std::lock_guard<std::mutex> hold(lock_);
    aborted_ = true;
    if (session_) LdapAbortSession(session_.get());
  }
  // After Run ended (RunBind answered kDone).
  int OpenCode() const { return openCode_; }
  int ConnectCode() const { return connectCode_; }
  LdapSessionHandle TakeSession() {
    std::lock_guard<std::mutex> hold(lock_);
    return std::move(session_);
  }

 private:
  const bool insecure_;
  std::mutex lock_;
  bool aborted_ = false;
  LdapSessionHandle session_;
  int openCode_ = 0;
  int connectCode_ = 0;
};

// The bind itself, on a bind thread: the identity is the work's own copy,
// and the session is closed there too (the unbind goes over the network).
class DirectoryBindWork : public BindWork {
 public:
  DirectoryBindWork(LdapSessionHandle session, SecWinntAuthIdentity identity)
      : session_(std::move(session)), identity_(std::move(identity)) {}
  ~DirectoryBindWork() override { std::fill(identity_.Password.begin(), identity_.Password.end(), u'\0'); }
  void Run() override {
    rc_ = LdapBindIdentity(session_.get(), identity_, &sent_);
    LdapSessionHandle closing;
    {
      std::lock_guard<std::mutex> hold(lock_);
      closing = std::move(session_);
    }
    closing.reset();
  }
  void Abort() override {
    std::lock_guard<std::mutex> hold(lock_);
    if (session_) LdapAbortSession(session_.get());
  }
  int Code() const { return rc_; }

 private:
  std::mutex lock_;
  LdapSessionHandle session_;  // Run's until it closes it; Abort reaches in under the lock
  SecWinntAuthIdentity identity_;
  int sent_ = LDAP_BIND_NOT_SENT;
  int rc_ = -1;
};

// The deadline of a directory bind: kLdapTimeoutSeconds from its start,
// for the connect, the handshake and the bind together.
int64_t DirectoryBindDeadline() { return MonotonicMilliseconds() + int64_t{kLdapTimeoutSeconds} * 1000; }

// A bind step that did not end: FR_LOGON_CANCELLED, or, for the deadline and
// a refusal to start, the answer of a directory that cannot be reached (2).
int BindNotDone(BindWait wait, const char* step) {
  switch (wait) {
    case BindWait::kCancelled:
      return FR_LOGON_CANCELLED;
    case BindWait::kTimedOut:
      WriteLog(1, "ADUPLogin:The directory did not answer the %s within %d s", step, kLdapTimeoutSeconds);
      return FR_INVALID_PARAMETER;
    default:
      WriteLog(1, "ADUPLogin:Directory %s not started: at most %d binds of one address, %d in all, run at once",
               step, kMaxBindsPerShare, kMaxBindThreads);
      return FR_INVALID_PARAMETER;
  }
}

// The directory bind of ADUPLogin's steps 6 to 9: 0 when the directory
// accepted the account and password, else the logon's code. The network
// steps run on bind threads of their own within one deadline; the log lines
// come here, in their order.
int BindToDirectory(const std::string& account, const std::string& domain, const char* password) {
  const int64_t deadline = DirectoryBindDeadline();
  auto open = std::make_shared<DirectoryConnectWork>(GetInsecureADAuthentication() != 0);
  const BindWait opened = RunBind(open, deadline);
  if (opened != BindWait::kDone) return BindNotDone(opened, "connect");
  LdapSessionHandle session = open->TakeSession();
  if (!session) {
    WriteLog(1, "Unable to initialise ldap, code %u\n", static_cast<unsigned>(open->OpenCode()));
    return FR_NO_MEMORY;
  }
  if (open->ConnectCode() != 0) {
    WriteLog(1, "Unable to connect, code %u\n", static_cast<unsigned>(open->ConnectCode()));
    return FR_INVALID_PARAMETER;
  }
  std::optional<std::u16string> user = ConvertUTF8ToUTF16(account.c_str(), account.size(), nullptr);
  std::optional<std::u16string> dom = ConvertUTF8ToUTF16(domain.c_str(), domain.size(), nullptr);
  std::optional<std::u16string> pass = ConvertUTF8ToUTF16(password, std::strlen(password), nullptr);
  if (!user || !dom || !pass) return FR_AUTH_FAILED;
  // An empty password or name would be an unauthenticated or anonymous bind,
  // which directory servers answer with success: refused before any bind.
  if (user->empty() || pass->empty() || BuildBindName(GetLdapBindNameTemplate(), account, domain).empty())
    return FR_AUTH_FAILED;
  SecWinntAuthIdentity identity;
  identity.User = std::move(*user);
  identity.Domain = std::move(*dom);
  identity.Password = std::move(*pass);
  WriteLog(0, "ADUPLogin:About to try binding to user>%s< on domain>%s<", account.c_str(), domain.c_str());
  auto bind = std::make_shared<DirectoryBindWork>(std::move(session), std::move(identity));
  const BindWait bound = RunBind(bind, deadline);
  if (bound != BindWait::kDone) return BindNotDone(bound, "bind");
  if (bind->Code() != 0) {
    WriteLog(1, "ADUPLogin:Bind failed with status %d", bind->Code());
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
      return RefuseAtCheckCost(password);
    }
    WriteLog(0, "InternalLogin:User >%s< trying to login and found as Torvane user (%s)", userName,
             user->USERNAME ? user->USERNAME->c_str() : "");
    if (user->ADUSER != 0) return RefuseAtCheckCost(password);
    const Checked checked = CheckInternalPassword(userName, password, &user);
    if (checked == Checked::kCancelled) return FR_LOGON_CANCELLED;
    if (!user) return FR_AUTH_FAILED;  // removed, replaced or changed while its password was checked
    passwordOk = checked == Checked::kMatched;
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
    return RefuseAtCheckCost(password);
  }
  WriteLog(0, "InternalOtherLogin:User >%s< trying to login and found as Torvane user (%s)", userName,
           user->USERNAME ? user->USERNAME->c_str() : "");
  if (user->ADUSER != 0) return RefuseAtCheckCost(password);
  const Checked checked = CheckInternalPassword(userName, password, &user);
  if (checked == Checked::kCancelled) return FR_LOGON_CANCELLED;
  if (checked != Checked::kMatched) return FR_AUTH_FAILED;
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

namespace {

// The rules of the password change that the user's record and settings
// decide (a user without the administration bit that must and cannot change
// its password: 51; that cannot change it: 49); 0 when it may go on.
int PasswordChangeRefusal(const UserStruct* user, const char* userName) {
  if (IsAdministrator(user)) return FR_OK;
  if (UserMustAndCannotChangePassword(userName)) return FR_CANNOT_CHANGE_PASSWORD;
  if (UserCannotChangePassword(userName)) return FR_PERMISSION_DENIED;
  return FR_OK;
}

}  // namespace

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
  const int hashed = GeneratePasswordHashOffThread(newPassword->c_str(), setting, hash);
  if (RunningTaskCancelled()) return FR_LOGON_CANCELLED;
  if (hashed != 0) {
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
    return RefuseAtCheckCost(password);
  }
  WriteLog(0, "InternalLoginWithPasswordChange:User >%s< trying to login and found as Torvane user (%s)",
           userName, user->USERNAME ? user->USERNAME->c_str() : "");
  if (user->ADUSER != 0) return RefuseAtCheckCost(password);
  const CheckedPassword checked = WhatIsChecked(user);
  const Checked old = CheckInternalPassword(userName, password, &user);
  if (old == Checked::kCancelled) return FR_LOGON_CANCELLED;
  if (old != Checked::kMatched) return FR_AUTH_FAILED;
  int rc = PasswordChangeRefusal(user, userName);
  if (rc != FR_OK) return rc;
  // The new password may not be one of the history: each entry is a full
  // bcrypt check, made on a worker before the change (which then skips it).
  bool cancelled = false;
  const bool reused = NewPasswordInHistory(userName, newPassword->c_str(), &cancelled);
  if (cancelled) return FR_LOGON_CANCELLED;
  // The history was checked across a wait: the user must still be the one
  // whose old password was checked, with that password, and still allowed.
  FindCheckedUserAgain(userName, checked, &user);
  if (!user) return FR_AUTH_FAILED;
  if ((rc = PasswordChangeRefusal(user, userName)) != FR_OK) return rc;
  if (reused) return FR_PASSWORD_REUSED;
  rc = SetUserPasswordV2OfUID(userName, checked.uid, hash, 1, newPassword->c_str());
  if (rc != FR_OK) return rc;
  // The save may have changed the users: look the record up again.
  user = SameUser(userName, checked.uid);
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

namespace {

// ADUPLogin, and the type-8/9 logon of a name that is no internal user:
// `atCheckCost` makes its refusals without a bind cost a password check
// (RefuseAtCheckCost), as the internal logon's of the same token type do.
int DirectoryPasswordLogon(ConnectionRecord* conn, const char* userName, const char* password, int32_t clientID,
                           LUS** otherUser, bool atCheckCost) {
  if (otherUser) *otherUser = nullptr;
  if (!conn || !userName) return FR_INVALID_PARAMETER;
  if ((GetAuthenticationFlags() & kAuthAllowADUP) == 0) return FR_METHOD_NOT_ALLOWED;
  if (!password) password = "";
  bool wasServer = conn->serverConnection != 0;
  EndPreviousLogon(conn, wasServer);
  if (IsGuestOrDefaultUser(userName)) return FR_BUILT_IN;
  const auto refuse = [atCheckCost, password] { return atCheckCost ? RefuseAtCheckCost(password) : FR_AUTH_FAILED; };

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
      return refuse();
    }
    WriteLog(0, "ADUPLogin:User >%s< trying to login and found as a Torvane user >%s<", combinedName.c_str(),
             user->USERNAME ? user->USERNAME->c_str() : "");
  } else {
    WriteLog(0, "ADUPLogin:User >%s< trying to login but not found as Torvane user", combinedName.c_str());
    user = GuestFallback(combinedName.c_str());
    if (!user) return refuse();
    guest = true;
  }
  // The user the bind is for, found again by name and UID after it.
  const uint32_t uid = user->header.uid;
  const std::string lookupName = guest ? std::string(kGuestUserName) : combinedName;
  user = nullptr;

  int rc = BindToDirectory(account, domain, password);
  if (rc != FR_OK) return rc;

  user = SameUser(lookupName.c_str(), uid);
  if (!user || (!guest && user->ADUSER == 0)) return FR_AUTH_FAILED;  // gone, replaced, or no longer a directory user
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

}  // namespace

int ADUPLogin(ConnectionRecord* conn, const char* userName, const char* password, int32_t clientID,
              LUS** otherUser) {
  return DirectoryPasswordLogon(conn, userName, password, clientID, otherUser, false);
}

int AutoLogin(ConnectionRecord* conn, const char* userName, const char* password, int32_t clientID,
              LUS** otherUser) {
  const UserStruct* user = userName != nullptr ? FindUser(userName) : nullptr;
  if (user != nullptr && user->ADUSER == 0) return InternalLogin(conn, userName, password, clientID, otherUser);
  return DirectoryPasswordLogon(conn, userName, password, clientID, otherUser, true);
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
