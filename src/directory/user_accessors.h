// Small accessors of a user's record over its settings: integer settings,
// the login section Live\Torvane (password state, default environment) and
// settings of the login section read and written through a record.
// Directory layer: calls the per-user settings (user_settings.h) and the user
// records; never logs (a missing setting shows as 0, "Live" or none).
#pragma once

#include <optional>
#include <string>

struct UserStruct;

// ---- Setting paths of the login section -----------------------------------------------

constexpr const char kMustChangePasswordSetting[] = "Passwords\\MustChange";
constexpr const char kCannotChangePasswordSetting[] = "Passwords\\CannotChange";
constexpr const char kDefaultEnvironmentSetting[] = "DefaultEnvironment";

// ---- Integer settings ---------------------------------------------------------------------

// The setting's integer value (leading white space and a sign allowed,
// reading stops at the first other character, no digits: 0); 0 on any error
// or when the setting is missing. *error (when not null) gets the code of
// GetUserSetting.
int GetUserSettingInt(const char* user, const char* section, const char* subsection, const char* path,
                      int* error);

// ---- Password state and default environment ----------------------------------------------

// The integer values of Live\Torvane's "Passwords\MustChange" and
// "Passwords\CannotChange"; 0 when missing.
int UserMustChangePassword(const char* user);
int UserCannotChangePassword(const char* user);

// True when both are non-zero; "Passwords\CannotChange" is read only when
// "Passwords\MustChange" is non-zero.
bool UserMustAndCannotChangePassword(const char* user);

// A copy of Live\Torvane's "DefaultEnvironment" (an empty text stays empty);
// "Live" when the setting or the subsection is missing (19, 18); null on any
// other failure (no such user, no section, a bad argument).
std::optional<std::string> GetUserDefaultEnvironment(const char* user);

// ---- Settings of the login section through a record ----------------------------------------

// A copy of the setting at `path` under Live\<subsection> of the record's user.
// Null with *error 2 for a null record, a null or empty path or a null
// subsection (nothing written when `error` is null). A record without a
// USERDATA link gives "" with 0; otherwise GetUserSetting's value and code.
std::optional<std::string> GetUserLiveSetting(const UserStruct* user, const char* subsection, const char* path,
                                              int* error);

// SetUserSetting under Live\<subsection> by the record's name, which saves the
// user. 2 for a null record, a null or empty path or subsection; else
// SetUserSetting's code.
int SetUserLiveSetting(const UserStruct* user, const char* subsection, const char* path, const char* value);
