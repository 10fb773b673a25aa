// The directory XML requests (6637, 6639-6641, 6648-6652, 6655, 6660, 6661,
// 6664, 6674, 6681, 6682, 6686, 6687): argument reads, the rights of the
// caller, the directory store's operation and the reply words of each.
// Requests layer: calls the handler conventions (current caller), the
// self-service rule, the user and group handlers' hash rule, the directory
// store, the XML toolkit, the wire primitives, the server settings and the log.
#include "requests/directory_xml_handlers.h"

#include <new>
#include <optional>
#include <string>

#include "directory/groups_file.h"
#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "directory/users_files.h"
#include "directory/users_xml_exchange.h"
#include "directory/users_xml_filter.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/util/util.h"
#include "foundation/wire/wire.h"
#include "foundation/xml/xml_tree.h"
#include "requests/handler_conventions.h"
#include "requests/self_service_rule.h"
#include "requests/user_group_handlers.h"
#include "sessions/connection_table.h"
#include "sessions/logon_slots.h"

namespace {

constexpr const char kGuestUserName[] = "guest";  // the settings of a guest slot

// ---- The caller ---------------------------------------------------------------------

bool CallerIsAdmin() { return IsCurrentUserAdmin() != 0; }
bool CallerIsGuest() { return IsGuestSlot(GetCurrentLogonSlot()); }

// The record `name` resolves to when it is the caller's own user (its UID is
// the slot's user UID) and the caller is not a guest; null otherwise.
const UserStruct* CallersOwnUser(const char* name) {
  const LUS* slot = GetCurrentLogonSlot();
  if (slot == nullptr || IsGuestSlot(slot) || name == nullptr) return nullptr;
  const UserStruct* user = FindUser(name);
  return user != nullptr && user->header.uid == slot->userUID ? user : nullptr;
}

// ---- Reads and replies -----------------------------------------------------------------

const char* TextOrNull(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

// A string argument under the echo rule: true when it was read (absent
// included); false after the rule answered or stayed silent.
bool ReadEcho(int sock, std::optional<std::string>* text) {
  WireStatus status = WIRE_OK;
  *text = RecvArgString(sock, &status);
  return !EchoRuleEnds(sock, status);
}

// A string argument without echo: any failure is logged with `failure` and
// ends the request with no reply.
bool ReadNoEcho(int sock, std::optional<std::string>* text, const char* failure) {
  WireStatus status = WIRE_OK;
  *text = RecvArgString(sock, &status);
  if (status == WIRE_OK) return true;
  WriteLog(1, "%s", failure);
  return false;
}

// The int32 clearExisting of 6664 and 6674.
bool ReadClearExisting(int sock, int32_t* clearExisting) {
  if (RecvArgInt(sock, clearExisting)) return true;
  WriteLog(1, "Unable to get clear existing flag from client");
  return false;
}

// Sends the one status word; a failed send is logged with `failure`.
void SendCode(int sock, int32_t code, const char* failure) {
  if (!SendReplyStatus(sock, code)) WriteLog(1, "%s", failure);
}

// ---- Documents for callers that may not see every hash ---------------------------------

// `document` as the caller may see it: other users' hashes and history cut
// out unless the caller sees every hash. *code turns 20 (logged) when the
// store's document does not parse, 1 without memory.
std::optional<std::string> AsCallerMaySee(std::optional<std::string> document, SecretsDocument kind, int* code) {
  if (*code != FR_OK || !document || CallerMaySeeEveryPasswordHash()) return document;
  const LUS* slot = GetCurrentLogonSlot();
  std::string filtered;
  try {
    if (!StripPasswordSecrets(*document, kind, slot != nullptr ? slot->userUID : kNoUID, filtered)) {
      *code = FR_XML_ERROR;
      return std::nullopt;
    }
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate the users document for the client");
    *code = FR_NO_MEMORY;
    return std::nullopt;
  }
  return filtered;
}

// True when the caller may see the password hashes of the user `name`
// resolves to (no such user: nothing of it is sent anyway).
bool CallerMaySeeHashesOf(const char* name) {
  const UserStruct* user = name != nullptr ? FindUser(name) : nullptr;
  return user == nullptr || CallerMaySeePasswordHashes(*user);
}

// 6637 and its old form: the reads, the store call and the replies.
int GetUserSettingsXMLRequest(int sock, bool withLogs) {
  std::optional<std::string> user, env, app;
  if (!ReadEcho(sock, &user) || !ReadEcho(sock, &env) || !ReadEcho(sock, &app)) return 0;
  int code = FR_OK;
  std::optional<std::string> text =
      GetUserSettingsXML(TextOrNull(user), TextOrNull(env), TextOrNull(app), &code);
  // The login subsection holds the password history.
  if (code == FR_OK && env && app && EqualsNoCase(*env, kLoginSectionName) &&
      EqualsNoCase(*app, kLoginSubsectionName) && !CallerMaySeeHashesOf(TextOrNull(user))) {
    text = AsCallerMaySee(std::move(text), SECRETS_LOGIN_SUBSECTION, &code);
  }
  if (!SendReplyStatus(sock, code)) {
    if (withLogs) WriteLog(1, "Error sending GetUserSettingsXML result to client");
    return 0;
  }
  if (code == FR_OK && SendString(sock, WireText(text)) != WIRE_OK && withLogs) {
    WriteLog(1, "Error sending XML to client");
  }
  return 0;
}

// The section requests 6640, 6641, 6686, 6687.
enum SectionChange { SECTION_ADD, SECTION_DELETE };

int UserEnvRequest(int sock, SectionChange change, bool adminOnly) {
  const bool add = change == SECTION_ADD;
  std::optional<std::string> user, env;
  if (!ReadNoEcho(sock, &user,
                  add ? "IPAddUserEnv:Unable to get user name from client"
                      : "IPDeleteUserEnv:Unable to get user name from client") ||
      !ReadNoEcho(sock, &env,
                  add ? "IPAddUserEnv:Unable to get env name from client"
                      : "IPDeleteUserEnv:Unable to get env name from client")) {
    return 0;
  }
  int code = FR_OK;
  if (adminOnly && !CallerIsAdmin()) {
    code = FR_PERMISSION_DENIED;
  } else if (!adminOnly && CallerIsGuest()) {
    code = FR_PERMISSION_DENIED;
  } else if (!add && !CallerIsAdmin() && !SelfServiceMayChange(TextOrNull(env), nullptr, nullptr)) {
    // The login section holds every user's passwords, history and rights.
    code = FR_PERMISSION_DENIED;
  } else {
    const CallerSettingsStore store;
    code = add ? AddUserEnvSection(TextOrNull(user), TextOrNull(env))
               : DeleteUserEnvSection(TextOrNull(user), TextOrNull(env));
  }
  SendCode(sock, code,
           add ? "Error sending result of add env to user to client"
               : "Error sending result of delete env to user to client");
  return 0;
}

// Equal optional texts, an absent one counting as the empty one (the
// writer leaves an empty text out and the reader gives none for it).
bool SameText(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  return (a ? std::string_view(*a) : std::string_view()) == (b ? std::string_view(*b) : std::string_view());
}

// The current settings of a record, for the self-service comparison.
const XMLNode* SettingsOf(const UserStruct& user) {
  return user.USERNAME ? GetUserDataNode(user.USERNAME->c_str()) : nullptr;
}

}  // namespace

// ---- Own record from XML text ----------------------------------------------------------------

int CheckOwnUserXML(int32_t messageID, const UserStruct& self, const char* text) {
  if (text == nullptr || text[0] == '\0') return FR_INVALID_PARAMETER;
  XMLNodeListPtr root(ParseXMLStringToNodeTree(text));
  if (!root) return FR_XML_ERROR;
  if (messageID == kMsgSetUserDataXML) {
    if (!EqualsNoCase(root->name, "USERDATA")) return FR_INVALID_PARAMETER;
    return SelfServiceKeepsProtectedSettings(SettingsOf(self), root.get()) ? FR_OK : FR_PERMISSION_DENIED;
  }
  if (!EqualsNoCase(root->name, "USER")) return FR_INVALID_PARAMETER;
  UserStruct given;
  XMLNode* userData = nullptr;
  ReadUserMainFields(root.get(), given, &userData);
  const bool uidKept =
      given.header.uid == self.header.uid || (messageID == kMsgUpdateUserXML && given.header.uid == kNoUID);
  if (!uidKept || given.LEVEL != self.LEVEL || given.ADUSER != self.ADUSER || given.PASSWORD != self.PASSWORD ||
      !SameText(given.PASSWORDV2, self.PASSWORDV2) || !SameText(given.GROUPLIST, self.GROUPLIST)) {
    return FR_PERMISSION_DENIED;
  }
  // 6650 keeps the settings when the text brings none; 6652 replaces them
  // with what the text holds, nothing included.
  if (userData == nullptr && messageID == kMsgUpdateUserXML) return FR_OK;
  return SelfServiceKeepsProtectedSettings(SettingsOf(self), userData) ? FR_OK : FR_PERMISSION_DENIED;
}

// ---- Getters ---------------------------------------------------------------------------------

int IPGetUserSettingsXML(int sock) { return GetUserSettingsXMLRequest(sock, true); }

int IPGetUserSettingsXMLOld(int sock) { return GetUserSettingsXMLRequest(sock, false); }

int IPGetUsersXML(int sock) {
  int code = FR_OK;
  std::optional<std::string> text;
  if (CallerMaySeeEveryPasswordHash()) {
    text = GetUsersXML(&code);
  } else {
    const LUS* slot = GetCurrentLogonSlot();
    text = GetUsersXMLWithoutSecrets(GetServerSettings().homeDirectory, slot != nullptr ? slot->userUID : kNoUID,
                                     &code);
  }
  if (!SendReplyStatus(sock, code)) {
    WriteLog(1, "IPGetUsersXML:Error sending status to client");
    return 0;
  }
  if (code == FR_OK && SendString(sock, WireText(text)) != WIRE_OK) {
    WriteLog(1, "IPGetUsersXML:Error sending xml to client");
  }
  return 0;
}

int IPGetUserXML(ConnectionRecord* conn) {
  const int sock = conn->socket;
  WireStatus status = WIRE_OK;
  std::optional<std::string> name = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPGetUserXML:Error getting username");
    EchoRuleEnds(sock, status);
    return 0;
  }
  if (!name || name->empty()) {
    // The own user: guest for a guest slot.
    const LUS* slot = FindLUSByLogonUID(conn->logonUID);
    if (slot != nullptr) name = IsGuestSlot(slot) ? std::optional<std::string>(kGuestUserName) : slot->USERNAME;
  }
  WriteLog(0, "IPGetUserXML:Asked to find xml for user >%s<", name ? name->c_str() : "");
  int code = FR_OK;
  std::optional<std::string> text = GetUserXML(TextOrNull(name), &code);
  if (!CallerMaySeeHashesOf(TextOrNull(name))) text = AsCallerMaySee(std::move(text), SECRETS_USERS, &code);
  if (!SendReplyStatus(sock, code)) {
    WriteLog(1, "IPGetUserXML:Error sending status to client");
    return 0;
  }
  if (code != FR_OK) {
    WriteLog(0, "IPGetUserXML:Will not send xml as failReason was not OK (%d)", code);
    return 0;
  }
  if (SendString(sock, WireText(text)) != WIRE_OK) WriteLog(1, "IPGetUserXML:Error sending xml to client");
  return 0;
}

int IPGetAppUsersXML(int sock) {
  std::optional<std::string> env, app;
  if (!ReadNoEcho(sock, &env, "IPGetAppUsersXML:Unable to get env name") ||
      !ReadNoEcho(sock, &app, "IPGetAppUsersXML:Unable to get app name")) {
    return 0;
  }
  int code = FR_OK;
  std::optional<std::string> text = GetUsersXMLForApp(TextOrNull(env), TextOrNull(app), &code);
  text = AsCallerMaySee(std::move(text), SECRETS_USERS, &code);
  if (!SendReplyStatus(sock, code)) {
    WriteLog(1, "IPGetAppUsersXML:Unable to send result to client");
    return 0;
  }
  if (code == FR_OK) SendString(sock, WireText(text));
  return 0;
}

int IPGetGroupsXML(int sock) {
  std::string text;
  const int code = ReadFileToBuffer(GetGroupsFilePath(), text);
  SendReplyStatus(sock, code);
  if (code == FR_OK && SendString(sock, WireText(text)) != WIRE_OK) {
    WriteLog(1, "IPGetGroupsXML:Unable to send group XML file to client");
  }
  return 0;
}

// ---- Setters ---------------------------------------------------------------------------------

int IPSetUserSettingsXML(int sock) {
  std::optional<std::string> user, env, app, text;
  if (!ReadEcho(sock, &user) || !ReadEcho(sock, &env) || !ReadEcho(sock, &app) || !ReadEcho(sock, &text)) return 0;
  const int code = CallerIsAdmin() ? SetUserSettingsXML(TextOrNull(user), TextOrNull(env), TextOrNull(app),
                                                        TextOrNull(text))
                                   : FR_PERMISSION_DENIED;
  SendCode(sock, code, "Error sending SetUserSettingsXML result to client");
  return 0;
}

int IPAddUserEnv(int sock) { return UserEnvRequest(sock, SECTION_ADD, true); }
int IPDeleteUserEnv(int sock) { return UserEnvRequest(sock, SECTION_DELETE, true); }
int IPAddUserEnvNoAdminCheck(int sock) { return UserEnvRequest(sock, SECTION_ADD, false); }
int IPDeleteUserEnvNoAdminCheck(int sock) { return UserEnvRequest(sock, SECTION_DELETE, false); }

int IPSetUserXML(int sock, int32_t messageID) {
  std::optional<std::string> name, text;
  if (!ReadEcho(sock, &name) || !ReadEcho(sock, &text)) return 0;
  int code = FR_OK;
  if (!CallerIsAdmin()) {
    // Only the caller's own record, and only within the rule.
    const UserStruct* self = CallersOwnUser(TextOrNull(name));
    code = self != nullptr ? CheckOwnUserXML(messageID, *self, TextOrNull(text)) : FR_PERMISSION_DENIED;
  }
  if (code == FR_OK) {
    if (messageID == kMsgUpdateUserXML) {
      code = UpdateUserXML(TextOrNull(name), TextOrNull(text));
    } else if (messageID == kMsgSetUserDataXML) {
      code = SetUserDataXML(TextOrNull(name), TextOrNull(text));
    } else {
      code = SetUserXML(TextOrNull(name), TextOrNull(text));
    }
  }
  SendCode(sock, code, "IPSetUserXML:Unable to send result to client");
  return 0;
}

int IPSetUsersXML(int sock) {
  std::optional<std::string> text;
  if (!ReadEcho(sock, &text)) return 0;
  const int code = CallerIsAdmin() ? SetUsersXML(TextOrNull(text)) : FR_PERMISSION_DENIED;
  SendCode(sock, code, "IPSetUsersXML:Unable to send result to client");
  return 0;
}

int IPSetUserAppSetting(int sock) {
  std::optional<std::string> user, env, app, path, value;
  if (!ReadEcho(sock, &user) || !ReadEcho(sock, &env) || !ReadEcho(sock, &app) || !ReadEcho(sock, &path) ||
      !ReadEcho(sock, &value)) {
    return 0;
  }
  const int code = CallerIsAdmin() ? SetUserSetting(TextOrNull(user), TextOrNull(env), TextOrNull(app),
                                                    TextOrNull(path), TextOrNull(value))
                                   : FR_PERMISSION_DENIED;
  SendCode(sock, code, "Error sending SetUserAppSetting result to client");
  return 0;
}

int IPSetUserAppBranchXML(int sock) {
  std::optional<std::string> user, env, app, branch, text;
  if (!ReadEcho(sock, &user) || !ReadEcho(sock, &env) || !ReadEcho(sock, &app) || !ReadEcho(sock, &branch) ||
      !ReadEcho(sock, &text)) {
    return 0;
  }
  int32_t clearExisting = 0;
  if (!ReadClearExisting(sock, &clearExisting)) return 0;
  int code = FR_OK;
  if (!CallerIsAdmin() &&
      (CallersOwnUser(TextOrNull(user)) == nullptr ||
       !SelfServiceMayReplaceBranch(TextOrNull(user), TextOrNull(env), TextOrNull(app), TextOrNull(branch),
                                    clearExisting, TextOrNull(text)))) {
    code = FR_PERMISSION_DENIED;
  } else {
    const CallerSettingsStore store;
    code = SetUserAppBranchXML(TextOrNull(user), TextOrNull(env), TextOrNull(app), TextOrNull(branch), clearExisting,
                               TextOrNull(text));
  }
  if (!SendReplyStatus(sock, code)) WriteLog(1, "IPSetUserAppBranchXML:Error sending result (%d) to client", code);
  return 0;
}

int IPSetCurUserAppBranchXML(ConnectionRecord* conn) {
  const int sock = conn->socket;
  std::optional<std::string> env, app, branch, text;
  if (!ReadEcho(sock, &env) || !ReadEcho(sock, &app) || !ReadEcho(sock, &branch) || !ReadEcho(sock, &text)) return 0;
  int32_t clearExisting = 0;
  if (!ReadClearExisting(sock, &clearExisting)) return 0;
  const LUS* slot = FindLUSByLogonUID(conn->logonUID);
  int code = FR_OK;
  const char* user = slot != nullptr ? TextOrNull(slot->USERNAME) : nullptr;
  if (slot == nullptr || IsGuestSlot(slot)) {
    code = FR_PERMISSION_DENIED;
  } else if (user == nullptr || FindUser(user) == nullptr) {
    WriteLog(1, "Cannot find user %s", user != nullptr ? user : "");
    code = FR_USER_NOT_FOUND;
  } else if (!CallerIsAdmin() && !SelfServiceMayReplaceBranch(user, TextOrNull(env), TextOrNull(app),
                                                              TextOrNull(branch), clearExisting, TextOrNull(text))) {
    code = FR_PERMISSION_DENIED;
  } else {
    const CallerSettingsStore store;
    code = SetUserAppBranchXML(user, TextOrNull(env), TextOrNull(app), TextOrNull(branch), clearExisting,
                               TextOrNull(text));
    if (code != FR_OK) WriteLog(0, "IPSetCurUserAppBranchXML:Failed with %d", code);
  }
  if (!SendReplyStatus(sock, code)) {
    WriteLog(1, "IPSetCurUserAppBranchXML:Error sending result (%d) to client", code);
  }
  return 0;
}

int IPSetGroupsXML(int sock) {
  std::optional<std::string> text;
  if (!ReadEcho(sock, &text)) return 0;
  SendReplyStatus(sock, CallerIsAdmin() ? ReplaceGroupsXML(TextOrNull(text)) : FR_PERMISSION_DENIED);
  return 0;
}
