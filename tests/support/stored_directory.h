// A directory store in a temporary home for the handler tests: the built-in
// groups, permission and users of a first start, groups.xml, and cost-4
// bcrypt hashes for every password the store hashes, with the clock set.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "directory/first_start.h"
#include "directory/groups_file.h"
#include "directory/user_records.h"
#include "directory/users_tree.h"
#include "directory/users_xml_exchange.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/settings/server_settings.h"
#include "platform/clock.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

// The hasher of the tests: bcrypt at the lowest cost.
inline int CheapHasher(const char* password, char* setting, char* hash) {
  int rc = GenerateSalt(kBcryptMinCost, setting);
  return rc != 0 ? rc : HashPasswordWithSalt(password, setting, hash);
}

inline std::string CheapHash(const char* clear) {
  char setting[kPasswordFieldSize] = {};
  char hash[kPasswordFieldSize] = {};
  CheapHasher(clear, setting, hash);
  return hash;
}

// Resets every store, sets the clock to `now` and makes the first-start
// directory in `home` (users.xml, the built-in groups and permission).
inline void MakeStoredDirectory(const TempDir& home, int64_t now) {
  ResetDirectoryState();
  SetClockOverride(now);
  ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);
  SetGroupsFilePath(home.File("groups.xml"));
  SetDefaultUsersHasher(CheapHasher);
  ASSERT_EQ(CreateDefaultGroups(), 0);
  ASSERT_EQ(CreateDefaultPermission(), 0);
  ASSERT_EQ(CreateDefaultUsersXML(home.path.c_str()), 0);
}

// Adds `name` as a client adds a user, with `level`, a legacy hash word and
// the cost-4 hash of `password`.
inline void AddHashedUser(const char* name, uint32_t level, const char* password) {
  ASSERT_GE(AddUserFromClient(name, 0), 0);
  UserStruct* u = FindUser(name);
  ASSERT_NE(u, nullptr);
  u->LEVEL = level;
  u->PASSWORD = 0x1234ABCD;
  u->PASSWORDV2 = CheapHash(password);
}
