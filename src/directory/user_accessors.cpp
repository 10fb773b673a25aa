// Accessors of a user's record over its settings: integer settings, the
// password state and default environment of the login section, and login
// section settings read and written through a record.
// Directory layer: calls the per-user settings and the user records only.
#include "directory/user_accessors.h"

#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "foundation/result_codes.h"

// ---- Integer settings ---------------------------------------------------------------------

int GetUserSettingInt(const char* user, const char* section, const char* subsection, const char* path,
                      int* error) {
  int rc = FR_OK;
  const std::optional<std::string> value = GetUserSetting(user, section, subsection, path, &rc);
  if (error != nullptr) *error = rc;
  if (rc != FR_OK || !value) return 0;
  return SettingTextToInt(*value);
}

// ---- Password state and default environment ----------------------------------------------

int UserMustChangePassword(const char* user) {
  return GetUserSettingInt(user, kLoginSectionName, kLoginSubsectionName, kMustChangePasswordSetting, nullptr);
}

int UserCannotChangePassword(const char* user) {
  return GetUserSettingInt(user, kLoginSectionName, kLoginSubsectionName, kCannotChangePasswordSetting, nullptr);
}

bool UserMustAndCannotChangePassword(const char* user) {
  return UserMustChangePassword(user) != 0 && UserCannotChangePassword(user) != 0;
}

std::optional<std::string> GetUserDefaultEnvironment(const char* user) {
  int rc = FR_OK;
  std::optional<std::string> value =
      GetUserSetting(user, kLoginSectionName, kLoginSubsectionName, kDefaultEnvironmentSetting, &rc);
  if (rc == FR_OK) return value;
  if (rc == FR_APP_NOT_FOUND || rc == FR_NODE_NOT_FOUND) return std::string(kLoginSectionName);
  return std::nullopt;
}

// ---- Settings of the login section through a record ----------------------------------------

std::optional<std::string> GetUserLiveSetting(const UserStruct* user, const char* subsection, const char* path,
                                              int* error) {
  if (error == nullptr) return std::nullopt;
  if (user == nullptr || path == nullptr || path[0] == '\0' || subsection == nullptr) {
    *error = FR_INVALID_PARAMETER;
    return std::nullopt;
  }
  *error = FR_OK;
  if (user->USERDATA == nullptr) return std::string();
  const char* name = user->USERNAME ? user->USERNAME->c_str() : nullptr;
  return GetUserSetting(name, kLoginSectionName, subsection, path, error);
}

int SetUserLiveSetting(const UserStruct* user, const char* subsection, const char* path, const char* value) {
  if (user == nullptr || path == nullptr || path[0] == '\0' || subsection == nullptr || subsection[0] == '\0') {
    return FR_INVALID_PARAMETER;
  }
  const char* name = user->USERNAME ? user->USERNAME->c_str() : nullptr;
  return SetUserSetting(name, kLoginSectionName, subsection, path, value);
}
