// The built-in accounts built in memory, and default_user's extra fields from
// defaultuserfields.txt.
// Directory layer: user records, users tree, USERDATA replacement, the legacy
// hash, the utilities and the log.
#include "directory/default_users.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "directory/user_records.h"
#include "directory/users_tree.h"
#include "directory/users_xml_exchange.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/text_tokens.h"
#include "foundation/util/util.h"

namespace {

constexpr const char kAdministratorsGroupName[] = "Administrators";

struct BuiltInAccount {
  const char* name;
  UID uid;
  const char* firstPassword;  // null: name and UID only
  const char* userData;
};

// In the order they are added: default_user last.
const BuiltInAccount kAccounts[] = {
    {"administrator", kUIDAdministrator, "quernstoneway",
     "<USERDATA><Live><Torvane><Passwords><NeverExpires>1</NeverExpires></Passwords></Torvane></Live></USERDATA>"},
    {"guest", kUIDGuest, nullptr,
     "<USERDATA><Live><Torvane><Passwords></Passwords></Torvane></Live></USERDATA>"},
    {"ZentakUser", kUIDZentakUser, "Grebe7ly",
     "<USERDATA><Live><Torvane><Passwords><NeverExpires>1</NeverExpires></Passwords></Torvane></Live></USERDATA>"},
    {kDefaultUserName, kUIDDefaultUser, nullptr,
     "<USERDATA><Live><Torvane><Passwords></Passwords><DefaultLanguage>UseWindowsDefault</DefaultLanguage>"
     "</Torvane></Live></USERDATA>"},
};

// One account: the record, its node, its level, hash and groups, its settings.
int AddAccount(const BuiltInAccount& a) {
  AddUserFailure why = ADD_USER_OK;
  const int index = AddUserFromClient(a.name, a.uid, &why);
  if (index < 0) return why == ADD_USER_EXISTS || why == ADD_USER_UID_IN_USE ? FR_ALREADY_EXISTS : FR_NO_MEMORY;
  UserStruct* user = GetUserByIndex(index);
  if (a.firstPassword != nullptr) {
    user->PASSWORD = GetPasswordCRC(a.firstPassword);
    user->LEVEL = kUserLevelAdministrator;
    user->GROUPLIST = kAdministratorsGroupName;
    NoteUserRecordChanged();
  }
  return ReplaceUserDataXML(a.name, a.userData) == FR_OK ? FR_OK : FR_NO_MEMORY;
}

// The lines of defaultuserfields.txt as fields of default_user.
void AddDefaultUserFields(const std::string& path) {
  if (!FileExists(path)) return;
  FILE* fp = std::fopen(path.c_str(), "r");
  if (fp == nullptr) {
    WriteLog(1, "CreateDefaultUsers:defaultuserfields.txt seems to exist but could not open");
    return;
  }
  char line[kDefaultUserFieldsLineMax + 1];
  while (std::fgets(line, sizeof line, fp) != nullptr) {
    line[std::strcspn(line, "\r")] = '\0';
    line[std::strcspn(line, "\n")] = '\0';
    char* colon = std::strchr(line, ':');
    if (colon == nullptr) continue;
    *colon = '\0';
    const char* name = line;
    const char* value = colon + 1;
    // Looked up afresh for every field: nothing here keeps a record pointer.
    UserStruct* user = FindUser(kDefaultUserName);
    int rc = FR_INVALID_PARAMETER;
    if (user != nullptr && IsValidFieldName(name) && IsValidXmlText(value)) {
      rc = AddUserField(user, name, value);
    }
    if (rc != FR_OK) WriteLog(1, "Error %d adding field >%s< with value >%s< to default user ", rc, name, value);
  }
  std::fclose(fp);
}

}  // namespace

int CreateDefaultUsers(const char* home) {
  if (home == nullptr) return FR_INVALID_PARAMETER;
  for (const BuiltInAccount& a : kAccounts) {
    if (UserExists(a.name) || IsUIDInNodeQA(a.uid)) return FR_ALREADY_EXISTS;
  }
  if (GetUserArrayCapacity() < kUserArrayGrowStep) {
    if (int rc = ResizeUserArray(kUserArrayGrowStep); rc != FR_OK) return rc;
  }
  for (const BuiltInAccount& a : kAccounts) {
    if (int rc = AddAccount(a); rc != FR_OK) return rc;
  }
  AddDefaultUserFields(std::string(home) + kDefaultUserFieldsFileName);
  return FR_OK;
}
