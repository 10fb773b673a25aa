// The own-user requests (6625, 6626, 6629, 6630, 6636, 6666-6671, 6673):
// argument reads, the caller's record found from its logon, the self-service
// rule for callers without the administration bit, the per-user settings
// calls and the reply words of each.
// Requests layer: calls the handler conventions, the self-service rule, the
// slots and the current logon slot, the directory store and the log.
#include "requests/own_user_handlers.h"

#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_model.h"
#include "directory/passwords.h"
#include "directory/user_accessors.h"
#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "directory/users_files.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/util/byte_order.h"
#include "foundation/util/util.h"
#include "foundation/wire/wire.h"
#include "requests/handler_conventions.h"
#include "requests/self_service_rule.h"
#include "sessions/connection_table.h"
#include "sessions/logon_backoff.h"
#include "sessions/logon_slots.h"

const char* const ClientProductNames[7] = {"Invalid", "Torvane", "Brindle", "Quillet",
                                           "Sorvin",  "Ambrel",  "Tessaly"};

const char* GetClientProductName(int32_t clientID) {
  const uint32_t index = (static_cast<uint32_t>(clientID) & 0xFF00u) >> 8;
  return index < std::size(ClientProductNames) ? ClientProductNames[index] : nullptr;
}

namespace {

constexpr const char kDefaultLanguageSetting[] = "DefaultLanguage";
constexpr const char kGuestUserName[] = "guest";
constexpr int32_t kDetailsWantedLimit = 16;  // detailsWanted of 16 or more is refused (2)
constexpr int32_t kDetailUserName = 1 << 0;
constexpr int32_t kDetailForename = 1 << 1;
constexpr int32_t kDetailSurname = 1 << 2;
constexpr int32_t kDetailGuestFlag = 1 << 3;
constexpr size_t kSIDTextLength = 8;  // two hex digits for each of the 4 wire bytes

// ---- The caller ---------------------------------------------------------------------

LUS* CallerSlot(const ConnectionRecord* conn) { return conn ? FindLUSByLogonUID(conn->logonUID) : nullptr; }

// The caller's directory name: "guest" for a guest slot (by its user UID),
// else the slot's USERNAME; null for no slot or a slot without a name.
const char* CallerUserName(const LUS* slot) {
  if (slot == nullptr) return nullptr;
  if (IsGuestSlot(slot)) return kGuestUserName;
  return slot->USERNAME ? slot->USERNAME->c_str() : nullptr;
}

// The caller's user record, or null.
UserStruct* CallerRecord(const LUS* slot) {
  const char* name = CallerUserName(slot);
  return name ? FindUser(name) : nullptr;
}

// The name the settings calls are given: the record's own.
const char* RecordName(const UserStruct* user) { return user->USERNAME ? user->USERNAME->c_str() : nullptr; }

const char* TextOrNull(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

bool IsNonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

// ---- Reads and replies ---------------------------------------------------------------

// A string argument under the echo rule: true with the text (or none) when it
// was read; false once the rule has answered (1) or ended the request (4),
// `failure` logged with the error flag when given.
bool ReadStringEcho(int sock, std::optional<std::string>* text, const char* failure) {
  WireStatus status = WIRE_OK;
  *text = RecvArgString(sock, &status);
  if (!EchoRuleEnds(sock, status)) return true;
  if (failure != nullptr) WriteLog(1, "%s", failure);
  return false;
}

// Sends one status word; a failed send is logged with `failure` when given.
void Reply(int sock, int32_t code, const char* failure) {
  if (!SendReplyStatus(sock, code) && failure != nullptr) WriteLog(1, "%s", failure);
}

// The reply of a setting read: 0 and the text in one run, or the code alone.
void ReplyValue(int sock, int code, const std::optional<std::string>& value, const char* statusFailure,
                const char* valueFailure) {
  if (code != FR_OK) {
    Reply(sock, code, statusFailure);
    return;
  }
  if (!SendReplyText(sock, value ? WireText(*value) : WireText(""))) WriteLog(1, "%s", valueFailure);
}

// Writes one login setting of the caller's own record: 49 for a guest, 6
// when the record is gone, else SetUserSetting's code.
int32_t SetCallerLoginSetting(const LUS* slot, const char* section, const char* setting,
                              const std::optional<std::string>& value) {
  if (IsGuestSlot(slot)) return FR_PERMISSION_DENIED;
  const UserStruct* user = CallerRecord(slot);
  if (user == nullptr) return FR_USER_NOT_FOUND;
  const CallerSettingsStore store;
  return SetUserSetting(RecordName(user), section, kLoginSubsectionName, setting, TextOrNull(value));
}

// Codes 18 and 19 of a settings read mean "no value".
int NoValueIsOK(int code) { return code == FR_APP_NOT_FOUND || code == FR_NODE_NOT_FOUND ? FR_OK : code; }

// Text kept in a logon slot and written into the session documents: valid
// UTF-8 XML text without control bytes.
bool IsPlainSessionText(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return IsValidXmlText(text);
}

// The slot of the SID bytes a caller on `sock` names, counted as a guess:
// these requests tell whether a SID is in use, so a SID that no slot holds is
// a failed attempt of the caller's address, and an address in back-off is
// answered as if none did, without a lookup (a caller could otherwise find a
// live SID here and re-attach with it).
LUS* GuessedSlot(int sock, const unsigned char* sid) {
  const ConnectionRecord* conn = FindConnectionBySocket(sock);
  const char* address = conn != nullptr ? conn->peerAddress : kUnknownPeerAddress;
  if (LogonBackoffRefuses(address)) return nullptr;
  LUS* slot = FindLUS(1, sid);
  if (slot == nullptr) NoteLogonFailure(address);
  return slot;
}

// The slot whose SID the text names as 8 hex digits in wire order, or null.
LUS* SlotOfSIDText(int sock, const std::optional<std::string>& text) {
  const uint32_t sid = text ? ParseHexID(text->c_str()) : 0;
  if (sid == 0) return nullptr;
  unsigned char bytes[4];
  PutLE32(bytes, sid);
  return GuessedSlot(sock, bytes);
}

}  // namespace

// ---- Per-product fields ------------------------------------------------------------------

int IPSetCurUserField(ConnectionRecord* conn) {
  if (conn == nullptr) return FR_INVALID_PARAMETER;
  const int sock = conn->socket;
  WireStatus status = WIRE_OK;
  std::optional<std::string> field = RecvArgString(sock, &status);
  if (status == WIRE_COMMS_FAILURE) {
    WriteLog(1, "IPSetCurUserField:Failed to get field name from client");
    return FR_COMMS_ERROR;
  }
  std::optional<std::string> value = RecvArgString(sock, &status);
  if (status == WIRE_COMMS_FAILURE) {
    WriteLog(1, "IPSetCurUserField:Failed to get value from client");
    return FR_COMMS_ERROR;
  }
  // Looked up once the arguments are in: other requests run while a read
  // waits, and may free the slot or move the record.
  const LUS* slot = CallerSlot(conn);
  const UserStruct* user = CallerRecord(slot);
  // A value the server could not hold is answered 1 and changes nothing: an
  // absent value would clear the stored one.
  const bool valueDropped = status == WIRE_NO_MEMORY;

  int32_t code = FR_OK;
  const char* product = GetClientProductName(conn->clientID);
  if (user == nullptr) {
    code = FR_USER_NOT_FOUND;
  } else if (IsGuestSlot(slot)) {
    // Every guest logon shares the record of "guest": no guest changes it.
    code = FR_PERMISSION_DENIED;
  } else if (!IsNonEmpty(field)) {
    code = FR_INVALID_PARAMETER;
  } else if (valueDropped) {
    WriteLog(1, "IPSetCurUserField:Unable to allocate value of field >%s<", field->c_str());
    code = FR_NO_MEMORY;
  } else if (product == nullptr) {
    Reply(sock, FR_APP_NOT_FOUND, "IPSetCurUserField:Failed to send app not found message to client");
    return FR_APP_NOT_FOUND;
  } else if (IsCurrentUserAdmin() == 0 && !SelfServiceMayChange(kLoginSectionName, product, field->c_str())) {
    code = FR_PERMISSION_DENIED;
  } else {
    const CallerSettingsStore store;
    code = SetUserLiveSetting(user, product, field->c_str(), TextOrNull(value));
  }
  Reply(sock, code, "Error sending result of SetCurUserField to client");
  return code;
}

int IPGetCurUserField(ConnectionRecord* conn) {
  if (conn == nullptr) return FR_INVALID_PARAMETER;
  const int sock = conn->socket;
  WireStatus status = WIRE_OK;
  std::optional<std::string> field = RecvArgString(sock, &status);
  const LUS* slot = CallerSlot(conn);
  if (slot == nullptr) {
    Reply(sock, FR_NOT_LOGGED_ON, "IPGetCurUserField:Failed to send not logged on error to client");
    return FR_NOT_LOGGED_ON;
  }
  if (status == WIRE_COMMS_FAILURE) {
    WriteLog(1, "IPGetCurUserField:Failed to get field name from client");
    return FR_COMMS_ERROR;
  }
  const UserStruct* user = CallerRecord(slot);
  if (user == nullptr) {
    Reply(sock, FR_USER_NOT_FOUND, "IPGetCurUserField:Failed to send user not found message to client");
    return FR_USER_NOT_FOUND;
  }
  const char* product = GetClientProductName(conn->clientID);
  if (product == nullptr) {
    Reply(sock, FR_APP_NOT_FOUND, "IPGetCurUserField:Failed to send app not fount message to client");
    return FR_APP_NOT_FOUND;
  }
  int code = FR_OK;
  std::optional<std::string> value = GetUserLiveSetting(user, product, TextOrNull(field), &code);
  ReplyValue(sock, code, value, "IPGetCurUserField:Failed to send result of get field to client",
             "IPGetCurUserField:Failed to send value to client");
  return code;
}

int IPGetCurUserFieldEx(ConnectionRecord* conn) {
  if (conn == nullptr) return FR_INVALID_PARAMETER;
  const int sock = conn->socket;
  std::optional<std::string> env;
  std::optional<std::string> app;
  std::optional<std::string> path;
  if (!ReadStringEcho(sock, &env, "IPGetCurUserField:Failed to get env name from client") ||
      !ReadStringEcho(sock, &app, "IPGetCurUserField:Failed to get app name from client") ||
      !ReadStringEcho(sock, &path, "IPGetCurUserField:Failed to get field name from client")) {
    return FR_COMMS_ERROR;
  }
  const LUS* slot = CallerSlot(conn);
  if (slot == nullptr) {
    Reply(sock, FR_NOT_LOGGED_ON, "IPGetCurUserField:Failed to send not logged on error to client");
    return FR_NOT_LOGGED_ON;
  }
  const UserStruct* user = CallerRecord(slot);
  if (user == nullptr) {
    WriteLog(0, "IPGetCurUserFieldEx:User not found");
    Reply(sock, FR_USER_NOT_FOUND, "IPGetCurUserField:Failed to send user not found message to client");
    return FR_USER_NOT_FOUND;
  }
  int code = FR_INVALID_PARAMETER;
  std::optional<std::string> value;
  if (IsNonEmpty(env) && IsNonEmpty(app) && IsNonEmpty(path)) {
    value = GetUserSetting(RecordName(user), env->c_str(), app->c_str(), path->c_str(), &code);
  }
  ReplyValue(sock, code, value, "IPGetCurUserField:Failed to send result of get field to client",
             "IPGetCurUserField:Failed to send value to client");
  return code;
}

// ---- Details from the slot ------------------------------------------------------------------

int IPGetCurUserDetails(ConnectionRecord* conn) {
  if (conn == nullptr) return FR_INVALID_PARAMETER;
  const int sock = conn->socket;
  int32_t wanted = 0;
  if (!RecvArgInt(sock, &wanted)) {
    WriteLog(1, "IPGetCurUserDetails:Error getting details wanted flags from client");
    return FR_COMMS_ERROR;
  }
  const LUS* slot = CallerSlot(conn);
  if (slot == nullptr) {
    Reply(sock, FR_NOT_LOGGED_ON, "IPGetCurUserDetails:Failed to send not logged on error to client");
    return FR_NOT_LOGGED_ON;
  }
  if (wanted >= kDetailsWantedLimit) {
    Reply(sock, FR_INVALID_PARAMETER, "IPGetCurUserDetails:Failed to send invalid param message to client");
    return FR_INVALID_PARAMETER;
  }
  // The word 0 and the items asked for go out in one run; a wire string has
  // the framing of a transport string.
  std::vector<unsigned char> reply;
  bool built = AppendLE32(reply, FR_OK);
  if ((wanted & kDetailUserName) != 0) built = built && PutTransportString(reply, slot->USERNAME);
  if ((wanted & kDetailForename) != 0) built = built && PutTransportString(reply, slot->FORENAME);
  if ((wanted & kDetailSurname) != 0) built = built && PutTransportString(reply, slot->SURNAME);
  if ((wanted & kDetailGuestFlag) != 0) built = built && AppendLE32(reply, static_cast<uint32_t>(slot->GUEST));
  if (!built) {
    Reply(sock, FR_NO_MEMORY, "IPGetCurUserDetails:Unable to send ok message to client");
    return FR_NO_MEMORY;
  }
  const int length = static_cast<int>(reply.size());
  if (SendAll(sock, reply.data(), length, 0) != length) {
    WriteLog(1, "IPGetCurUserDetails:Unable to send ok message to client");
    return FR_COMMS_ERROR;
  }
  return FR_OK;
}

// ---- The caller's legacy password ------------------------------------------------------------

int IPSetCurUserPassword(ConnectionRecord* conn) {
  if (conn == nullptr) return FR_INVALID_PARAMETER;
  const int sock = conn->socket;
  int32_t oldPW = 0;
  int32_t newPW = 0;
  if (!RecvArgInt(sock, &oldPW) || !RecvArgInt(sock, &newPW)) {
    WriteLog(1, "IPSetCurUserPassword:Error getting password from client");
    return FR_COMMS_ERROR;
  }
  const LUS* slot = CallerSlot(conn);
  if (slot != nullptr && IsGuestSlot(slot)) {
    Reply(sock, FR_INVALID_PARAMETER, "IPSetCurUserPassword:Error sending invalid param message to client");
    return FR_INVALID_PARAMETER;
  }
  const UserStruct* user = slot && slot->USERNAME ? FindUser(slot->USERNAME->c_str()) : nullptr;
  if (user == nullptr) {
    Reply(sock, FR_USER_NOT_FOUND, "IPSetCurUserPassword:Error sending user not found message to client");
    return FR_USER_NOT_FOUND;
  }
  if (user->ADUSER != 0) {
    Reply(sock, FR_AD_USER, "IPSetCurUserPassword:Error sending failure due to being Active Directory user");
    return FR_AD_USER;
  }
  // A user with a bcrypt text logs on with it alone (its legacy value is 0,
  // which any client could send as the old password): such a user changes
  // its password through the password-changing logon, never here.
  if (user->PASSWORDV2 || user->PASSWORD != static_cast<uint32_t>(oldPW)) {
    Reply(sock, FR_AUTH_FAILED, "IPSetCurUserPassword:Error sending auth failed message to client");
    return FR_AUTH_FAILED;
  }
  const std::string name = *user->USERNAME;  // the record may move in the calls below
  int32_t code = FR_PERMISSION_DENIED;
  if (UserCannotChangePassword(name.c_str()) == 0) {
    code = SetUserPassword(name.c_str(), static_cast<uint32_t>(newPW), 0);
    if (code == FR_OK) code = SaveUsers(GetServerSettings().homeDirectory, name.c_str());
  }
  Reply(sock, code, "IPSetCurUserPassword:Error sending status of update password to client");
  return code;
}

// ---- Default environment and language ---------------------------------------------------------

int IPGetCurUserDefaultEnv(ConnectionRecord* conn) {
  if (conn == nullptr) return FR_INVALID_PARAMETER;
  const int sock = conn->socket;
  const LUS* slot = CallerSlot(conn);
  if (slot == nullptr) {
    Reply(sock, FR_NOT_LOGGED_ON, "IPGetCurUserDefaultEnv:Failed to send not logged on error to client");
    return FR_NOT_LOGGED_ON;
  }
  const UserStruct* user = CallerRecord(slot);
  if (user == nullptr) {
    Reply(sock, FR_USER_NOT_FOUND, "IPGetCurUserDefaultEnv:Failed to send user not found message to client");
    return FR_USER_NOT_FOUND;
  }
  int code = FR_OK;
  std::optional<std::string> value =
      GetUserSetting(RecordName(user), kLoginSectionName, kLoginSubsectionName, kDefaultEnvironmentSetting, &code);
  code = NoValueIsOK(code);
  if (code == FR_COMMS_ERROR) return code;
  if (code == FR_OK && !IsNonEmpty(value)) value = kLoginSectionName;
  ReplyValue(sock, code, value, "IPGetCurUserDefaultEnv:Unable to send ok message to client",
             "IPGetCurUserDefaultEnv:Error sending environment name to client");
  return code;
}

int IPSetCurUserDefaultEnv(ConnectionRecord* conn) {
  if (conn == nullptr) return FR_INVALID_PARAMETER;
  const int sock = conn->socket;
  std::optional<std::string> env;
  if (!ReadStringEcho(sock, &env, nullptr)) return FR_COMMS_ERROR;
  const int32_t code =
      SetCallerLoginSetting(CallerSlot(conn), kLoginSectionName, kDefaultEnvironmentSetting, env);
  Reply(sock, code, "Error sending result of set cur user default environment");
  return code;
}

int IPGetCurUserDefaultLang(ConnectionRecord* conn) {
  if (conn == nullptr) return FR_INVALID_PARAMETER;
  const int sock = conn->socket;
  std::optional<std::string> env;
  if (!ReadStringEcho(sock, &env, "IPGetCurUserDefaultLang:Failed to get environment name from client")) {
    return FR_COMMS_ERROR;
  }
  const LUS* slot = CallerSlot(conn);
  if (slot == nullptr) {
    Reply(sock, FR_NOT_LOGGED_ON, "IPGetCurUserDefaultLang:Failed to send not logged on error to client");
    return FR_NOT_LOGGED_ON;
  }
  const UserStruct* user = CallerRecord(slot);
  if (user == nullptr) {
    Reply(sock, FR_USER_NOT_FOUND, "IPGetCurUserDefaultLang:Failed to send user not found message to client");
    return FR_USER_NOT_FOUND;
  }
  const std::string name = RecordName(user) ? RecordName(user) : "";
  int code = FR_OK;
  std::optional<std::string> language;
  if (IsNonEmpty(env)) {
    language = GetUserSetting(name.c_str(), env->c_str(), kLoginSubsectionName, kDefaultLanguageSetting, &code);
    code = NoValueIsOK(code);
  }
  if (!IsNonEmpty(language)) {
    // The login section's language; its code replaces the first one.
    language = GetUserSetting(name.c_str(), kLoginSectionName, kLoginSubsectionName, kDefaultLanguageSetting, &code);
    code = NoValueIsOK(code);
    if (!language) language = "";
  }
  if (code == FR_COMMS_ERROR) return code;
  ReplyValue(sock, code, language, "IPGetCurUserDefaultLang:Unable to send ok message to client",
             "IPGetCurUserDefaultLang:Error sending environment name to client");
  return code;
}

int IPSetCurUserDefaultLang(ConnectionRecord* conn) {
  if (conn == nullptr) return FR_INVALID_PARAMETER;
  const int sock = conn->socket;
  std::optional<std::string> env;
  std::optional<std::string> language;
  if (!ReadStringEcho(sock, &env, "IPSetCurUserDefaultLang:Unable to get env name") ||
      !ReadStringEcho(sock, &language, "IPSetCurUserDefaultLang:Unable to get language")) {
    return FR_COMMS_ERROR;
  }
  const char* section = IsNonEmpty(env) ? env->c_str() : kLoginSectionName;
  const int32_t code = SetCallerLoginSetting(CallerSlot(conn), section, kDefaultLanguageSetting, language);
  Reply(sock, code, "Error sending result of set current user default language");
  return code;
}

// ---- The logon's current environment --------------------------------------------------------

int IPSetCurEnv(ConnectionRecord* conn) {
  if (conn == nullptr) return FR_INVALID_PARAMETER;
  const int sock = conn->socket;
  // Bounded as an environment's name is: a longer one is read and dropped
  // and answered 1, as the wire's ceiling answers.
  WireStatus status = WIRE_OK;
  std::optional<std::string> env =
      RecvArgStringWithin(sock, static_cast<int32_t>(kMaxEnvAppNameLength) + 1, &status);
  if (EchoRuleEnds(sock, status)) {
    WriteLog(1, "IPSetCurEnv:Error getting environment from client");
    return FR_COMMS_ERROR;
  }
  LUS* slot = GetCurrentLogonSlot();
  int32_t code = FR_OK;
  if (slot == nullptr) {
    code = FR_USER_NOT_FOUND;
  } else if (env && !IsPlainSessionText(*env)) {
    WriteLog(0, "IPSetCurEnv:Refused an environment name that is not plain text");
    code = FR_INVALID_PARAMETER;
  } else {
    slot->ENVNAME = std::move(env);
  }
  Reply(sock, code, "IPSetCurEnv:Error sending result to client");
  return code;
}

// ---- Logons by session ID ---------------------------------------------------------------------

int IPGetSIDEnv(int sock) {
  WireStatus status = WIRE_OK;
  std::optional<std::string> text = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPGetSIDEnv:Unable to get SID from client");
    if (status == WIRE_NO_MEMORY) Reply(sock, FR_NO_MEMORY, nullptr);
    return status;
  }
  const LUS* slot = SlotOfSIDText(sock, text);
  if (slot == nullptr) {
    Reply(sock, FR_USER_NOT_FOUND, "IPGetSIDEnv:Unable to send ok message to client");
    return FR_USER_NOT_FOUND;
  }
  if (!SendReplyText(sock, slot->ENVNAME ? WireText(*slot->ENVNAME) : WireText(nullptr))) {
    WriteLog(1, "IPGetSIDEnv:Unable to send environment to client");
  }
  return FR_OK;
}

int IPGetUserNameForSID(int sock) {
  WireStatus status = WIRE_OK;
  std::optional<std::string> text = RecvArgString(sock, &status);
  if (status != WIRE_OK) return status;
  if (!text || text->size() != kSIDTextLength) {
    SendReplyStatus(sock, FR_INVALID_PARAMETER);
    return FR_INVALID_PARAMETER;
  }
  unsigned char sid[4];
  for (size_t i = 0; i < 4; ++i) {
    const int high = HexDigitValue((*text)[2 * i]);
    const int low = HexDigitValue((*text)[2 * i + 1]);
    if (high < 0 || low < 0) {
      SendReplyStatus(sock, FR_INVALID_PARAMETER);
      return FR_INVALID_PARAMETER;
    }
    sid[i] = static_cast<unsigned char>(16 * high + low);
  }
  const LUS* slot = GuessedSlot(sock, sid);
  if (slot == nullptr) {
    SendReplyStatus(sock, FR_USER_NOT_FOUND);
    return FR_USER_NOT_FOUND;
  }
  SendReplyText(sock, slot->USERNAME);
  return FR_OK;
}
