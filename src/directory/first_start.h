// The directory of a new home: the two built-in groups, the default
// permission and the first users.xml with the four built-in accounts, read
// back into the user array and the users tree.
// Directory layer: calls the groups model, the users files reader, bcrypt
// hashing, the platform's atomic files and the log. Runs once, at the
// initialisation of a new home directory, on an empty store.
#pragma once

#include <optional>
#include <string>

// ---- Built-in groups and permission ----------------------------------------------------
//
//   Everyone        4000000000 (EE6B2800)  kind 7, no description, no members
//   Administrators  4000000001 (EE6B2801)  kind 7, no description, no members
//   default permission 4000000003 (EE6B2803), kind 9:
//       READ Everyone and Administrators, WRITE Administrators

// Starts a new group array (capacity 10) holding exactly the two built-in
// groups, sorted by name (Administrators first). Any groups held before are
// freed. 0; 1 a group cannot be added (its name cannot be copied); -1 the
// array cannot be allocated (logged "Unable to allocate %d bytes for group
// array").
int CreateDefaultGroups();

// Appends the default permission and fills its lists. 0; 1 the permission
// cannot be added (its UID is already registered, for one); otherwise the
// code of AddToPermission.
int CreateDefaultPermission();

// ---- The first users.xml ------------------------------------------------------------------

// The two built-in administrators that log on with a password, and the
// passwords a new home gives them unless it is given others (FirstPasswords):
// published, so the start-up warns while either still accepts its own.
struct PublishedPassword {
  const char* userName;
  const char* password;
};
constexpr PublishedPassword kPublishedPasswords[] = {
    {"administrator", "quernstoneway"},
    {"ZentakUser", "Grebe7ly"},
};
//
// "%susers.xml" of the home directory: 39 lines, each ending in CR LF
// ("<USERDATA>...</USERDATA></USER>" count as one line for guest,
// default_user and ZentakUser):
//   administrator  EE6B2802  LEVEL 32768  GROUPLIST Administrators
//                  FORENAME Administrator        bcrypt hash, NeverExpires 1
//   guest          EE6B2806  LEVEL 0      FORENAME GUEST   "00000000", empty Passwords
//   default_user   EE6B2807  LEVEL 0      FORENAME DEFAULT, SURNAME USER
//                  "00000000", empty Passwords, DefaultLanguage UseWindowsDefault
//   ZentakUser     EE6B2808  LEVEL 32768  GROUPLIST Administrators
//                  FORENAME ZentakUser           bcrypt hash, NeverExpires 1
// The two bcrypt hashes are made afresh at every call (random salt, cost
// 12), so they differ from one initialisation to the next.

// The passwords a new home gives administrator and ZentakUser in place of
// their published ones; nullopt keeps the published one. The caller has
// checked them against the rules of a first password (the host's -i).
struct FirstPasswords {
  std::optional<std::string> administrator;
  std::optional<std::string> zentakUser;
};

// Makes both password hashes first (of the given passwords, else of the
// published ones; a fresh salt and cost 12 each, as every new password), then
// writes users.xml whole and atomically (a failure at any step leaves no
// partial file and any previous file as it was), then frees the users in
// memory and reads the file back with the version-1 users reader, filling
// the user array and the users tree. The file is the same 39 lines whatever
// the passwords: only the two hashes differ.
//   0; 2 no home directory (null);
//   56 a password hash cannot be made (nothing written);
//   1 no memory for the text;
//   14 users.xml cannot be created;  15 it cannot be written whole;
//   20 the file cannot be read back (the reader gave any other code than 0).
int CreateDefaultUsersXML(const char* home, const FirstPasswords& given = FirstPasswords{});

// The text CreateDefaultUsersXML writes, for the two given hash texts.
std::string DefaultUsersXMLText(const std::string& administratorHash, const std::string& zentakUserHash);

// ---- Tests ---------------------------------------------------------------------------------

// Replaces the hashing that CreateDefaultUsersXML uses (GeneratePasswordHash's
// signature and codes); null restores GeneratePasswordHash.
using DefaultUsersHasher = int (*)(const char* password, char* setting, char* hash);
void SetDefaultUsersHasher(DefaultUsersHasher hasher);
