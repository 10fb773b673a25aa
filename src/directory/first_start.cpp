// The directory of a new home: built-in groups, the default permission and
// the first users.xml, read back into memory.
// Directory layer: calls the groups model, the users files (reader and the
// free of the users in memory), bcrypt hashing, the atomic files and the log.
#include "directory/first_start.h"

#include <cstdio>
#include <new>

#include "directory/groups.h"
#include "directory/users_files.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_header.h"
#include "platform/atomic_file.h"

namespace {

constexpr int32_t kFirstGroupArrayCapacity = 10;

constexpr const char kEveryoneGroupName[] = "Everyone";
constexpr const char kAdministratorsGroupName[] = "Administrators";

// The passwords of the two built-in accounts that log on with one.
constexpr const char* kAdministratorPassword = kPublishedPasswords[0].password;
constexpr const char* kZentakUserPassword = kPublishedPasswords[1].password;

// The PASSWORDV2 text of the accounts without a password: no hash, so no
// password ever checks against it.
constexpr const char kNoPasswordText[] = "00000000";

// Every line of the first users.xml ends so: the file has always been
// written in text mode on the server's first platform.
constexpr const char kLineEnd[] = "\r\n";

DefaultUsersHasher g_hasher = nullptr;  // null: GeneratePasswordHash

// A fresh cost-12 hash of `password` into `hash`: 0, or 56 (the hasher logs
// its own failure). Only a complete bcrypt text counts as made.
int MakeHash(const char* password, std::string& hash) {
  char setting[kPasswordFieldSize] = {};
  char text[kPasswordFieldSize] = {};
  DefaultUsersHasher hasher = g_hasher != nullptr ? g_hasher : GeneratePasswordHash;
  if (hasher(password, setting, text) != 0 || !IsBcryptHash(text)) return FR_HASH_FAILED;
  hash = text;
  return FR_OK;
}

// Gives the group `name` its built-in UID and kind. 0, or 1 when it is
// missing.
int MarkBuiltInGroup(const char* name, UID uid) {
  GroupStruct* group = FindGroupByName(name);
  if (group == nullptr) return FR_NO_MEMORY;
  group->header.uid = uid;
  group->header.kind = NODE_KIND_GROUP;
  NoteGroupRecordChanged();
  return FR_OK;
}

void AppendLine(std::string& out, const char* line) {
  out += line;
  out += kLineEnd;
}

void AppendUIDLine(std::string& out, UID uid) {
  char line[32];
  std::snprintf(line, sizeof line, "<UID>%08X</UID>", uid);
  AppendLine(out, line);
}

void AppendHashLine(std::string& out, const std::string& hash) {
  out += "<PASSWORDV2>";
  out += hash;
  out += "</PASSWORDV2>";
  out += kLineEnd;
}

}  // namespace

// ---- Built-in groups and permission ----------------------------------------------------

int CreateDefaultGroups() {
  FreeGroupArray();
  if (SetGroupArrayCapacity(kFirstGroupArrayCapacity) != FR_OK) return FR_FAILED;  // logged there
  // AddGroup keeps the array sorted, so Administrators ends up first.
  if (AddGroup(kEveryoneGroupName) < 0 || AddGroup(kAdministratorsGroupName) < 0) return FR_NO_MEMORY;
  int rc = MarkBuiltInGroup(kEveryoneGroupName, kUIDEveryoneGroup);
  if (rc == FR_OK) rc = MarkBuiltInGroup(kAdministratorsGroupName, kUIDAdministratorsGroup);
  return rc;
}

int CreateDefaultPermission() {
  if (AddNewPerm(kUIDDefaultPermission) == nullptr) return FR_NO_MEMORY;
  int rc = AddToPermission(kUIDDefaultPermission, kUIDAdministratorsGroup, true, true);
  if (rc != FR_OK) return rc;
  return AddToPermission(kUIDDefaultPermission, kUIDEveryoneGroup, true, false);
}

// ---- The first users.xml ------------------------------------------------------------------

std::string DefaultUsersXMLText(const std::string& administratorHash, const std::string& zentakUserHash) {
  std::string out;
  out.reserve(2048);
  AppendLine(out, "<?xml version=\"1.0\"?>");
  AppendLine(out, "<USERS>");

  AppendLine(out, "<USER>");
  AppendUIDLine(out, kUIDAdministrator);
  AppendLine(out, "<USERNAME>administrator</USERNAME>");
  AppendHashLine(out, administratorHash);
  AppendLine(out, "<ADUSER>0</ADUSER>");
  AppendLine(out, "<LEVEL>32768</LEVEL>");
  AppendLine(out, "<GROUPLIST>Administrators</GROUPLIST>");
  AppendLine(out, "<FORENAME>Administrator</FORENAME>");
  AppendLine(out,
             "<USERDATA><Live><Torvane><Passwords><NeverExpires>1</NeverExpires></Passwords></Torvane></Live>"
             "</USERDATA>");
  AppendLine(out, "</USER>");

  AppendLine(out, "<USER>");
  AppendUIDLine(out, kUIDGuest);
  AppendLine(out, "<USERNAME>guest</USERNAME>");
  AppendLine(out, "<FORENAME>GUEST</FORENAME>");
  AppendHashLine(out, kNoPasswordText);
  AppendLine(out, "<ADUSER>0</ADUSER>");
  AppendLine(out, "<LEVEL>0</LEVEL>");
  AppendLine(out, "<USERDATA><Live><Torvane><Passwords></Passwords></Torvane></Live></USERDATA></USER>");

  AppendLine(out, "<USER>");
  AppendUIDLine(out, kUIDDefaultUser);
  AppendLine(out, "<USERNAME>default_user</USERNAME>");
  AppendLine(out, "<FORENAME>DEFAULT</FORENAME>");
  AppendLine(out, "<SURNAME>USER</SURNAME>");
  AppendHashLine(out, kNoPasswordText);
  AppendLine(out, "<ADUSER>0</ADUSER>");
  AppendLine(out, "<LEVEL>0</LEVEL>");
  AppendLine(out,
             "<USERDATA><Live><Torvane><Passwords></Passwords><DefaultLanguage>UseWindowsDefault</DefaultLanguage>"
             "</Torvane></Live></USERDATA></USER>");

  AppendLine(out, "<USER>");
  AppendUIDLine(out, kUIDZentakUser);
  AppendLine(out, "<USERNAME>ZentakUser</USERNAME>");
  AppendHashLine(out, zentakUserHash);
  AppendLine(out, "<ADUSER>0</ADUSER>");
  AppendLine(out, "<LEVEL>32768</LEVEL>");
  AppendLine(out, "<GROUPLIST>Administrators</GROUPLIST>");
  AppendLine(out, "<FORENAME>ZentakUser</FORENAME>");
  AppendLine(out,
             "<USERDATA><Live><Torvane><Passwords><NeverExpires>1</NeverExpires></Passwords></Torvane></Live>"
             "</USERDATA></USER>");

  AppendLine(out, "</USERS>");
  return out;
}

int CreateDefaultUsersXML(const char* home, const FirstPasswords& given) {
  if (home == nullptr) return FR_INVALID_PARAMETER;
  // Both hashes before anything is written: a hashing failure must not leave
  // a users.xml that stops half-way through the accounts.
  std::string administratorHash;
  std::string zentakUserHash;
  int rc = MakeHash(given.administrator ? given.administrator->c_str() : kAdministratorPassword, administratorHash);
  if (rc == FR_OK) rc = MakeHash(given.zentakUser ? given.zentakUser->c_str() : kZentakUserPassword, zentakUserHash);
  if (rc != FR_OK) return rc;

  const std::string path = std::string(home) + kUsersFileName;
  std::string text;
  try {
    text = DefaultUsersXMLText(administratorHash, zentakUserHash);
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate the text of users file >%s<", path.c_str());
    return FR_NO_MEMORY;
  }
  const int written = ReplaceUsersFileText(path, text.data(), text.size());
  if (written != FR_OK) return written;

  FreeUsersData();
  return ReadUsersXML(path.c_str()) == FR_OK ? FR_OK : FR_XML_ERROR;
}

// ---- Tests ---------------------------------------------------------------------------------

void SetDefaultUsersHasher(DefaultUsersHasher hasher) { g_hasher = hasher; }
