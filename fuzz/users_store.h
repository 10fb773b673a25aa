// The users store the directory harnesses start each input from: the
// first-start users.xml of a new home (with fixed stand-in password hashes)
// read and saved as the version-2 files, as a running server holds it.
// Fuzzing only.
#pragma once

#include <string>

#include "directory/first_start.h"
#include "directory/users_files.h"
#include "fuzz_support.h"

namespace fuzz {

// A well-formed bcrypt text (never checked here: no logon is made).
constexpr const char kStandInHash[] = "$2a$12$abcdefghijklmnopqrstuu1234567890ABCDEFGHIJKLMNOPQRSTU";

// Resets every store and the home directory, then loads the first-start
// users and writes them as userlist.xml and users/<UID>.xml.
inline void MakeFirstStartUsers() {
  ClearHome();
  ResetStores();
  static const std::string text = DefaultUsersXMLText(kStandInHash, kStandInHash);
  const std::string path = Home() + kUsersFileName;
  WriteFileBytes(path, text);
  int rc = ReadUsersXML(path.c_str());
  FUZZ_CHECK(rc == 0 && GetUserCount() == 4, "first-start users do not load: %d", rc);
  rc = WriteUserList(Home().c_str(), nullptr);
  FUZZ_CHECK(rc == 0, "first-start users do not save: %d", rc);
}

// The users as memory holds them must be the users the version-2 files give
// when read afresh.
inline void CheckUsersReadBack(const char* what) {
  const std::string before = DumpAllUsers();
  FreeUsersData();
  ResetUsersFiles();
  int rc = ReadUsersV2(Home().c_str());
  const std::string list = ReadFileBytes(Home() + kUserListFileName);
  FUZZ_CHECK(rc == 0, "%s: the version-2 files do not read back: %d\n%s", what, rc, list.substr(0, 2000).c_str());
  const std::string after = DumpAllUsers();
  FUZZ_CHECK(before == after, "%s: users differ after reading back\n  %s", what,
             FirstDifference(before, after).c_str());
}

}  // namespace fuzz
