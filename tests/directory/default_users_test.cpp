// The built-in accounts made in memory: their records, sorted and registered,
// their settings, and default_user's fields from defaultuserfields.txt.
#include "directory/default_users.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "directory/users_tree.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

class DefaultUsers : public ::testing::Test {
 protected:
  TempDir home;
  void SetUp() override {
    ResetDirectoryState();
    ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);
  }
  void TearDown() override { ResetDirectoryState(); }
  void WriteFields(const std::string& text) {
    std::ofstream(home.File(kDefaultUserFieldsFileName), std::ios::binary) << text;
  }
  static std::string Setting(const char* user, const char* path) {
    int rc = -1;
    const std::optional<std::string> value = GetUserSetting(user, "Live", "Torvane", path, &rc);
    return rc == FR_OK ? value.value_or("<none>") : "<code " + std::to_string(rc) + ">";
  }
};

TEST_F(DefaultUsers, TheFourAccountsWithTheirSettings) {
  ASSERT_EQ(FR_OK, CreateDefaultUsers(home.path.c_str()));
  ASSERT_EQ(4, GetUserCount());
  ASSERT_GE(GetUserArrayCapacity(), 50);
  // Sorted by name, so every lookup by bisection finds each of them.
  const char* sorted[] = {"administrator", "default_user", "guest", "ZentakUser"};
  const UID uids[] = {kUIDAdministrator, kUIDDefaultUser, kUIDGuest, kUIDZentakUser};
  for (int i = 0; i < 4; ++i) {
    const UserStruct* u = GetUserByIndex(i);
    EXPECT_EQ(sorted[i], u->USERNAME.value_or("")) << i;
    EXPECT_EQ(uids[i], u->header.uid) << i;
    EXPECT_EQ(&u->header, GetNodeByUID(uids[i])) << i;
    EXPECT_EQ(FindUser(sorted[i]), u) << i;
    EXPECT_NE(nullptr, UserNodeOfRecord(u)) << i;
  }
  const UserStruct* admin = FindUser("administrator");
  EXPECT_EQ(GetPasswordCRC("quernstoneway"), admin->PASSWORD);
  EXPECT_EQ(0x8000u, admin->LEVEL);
  EXPECT_EQ("Administrators", admin->GROUPLIST.value_or(""));
  EXPECT_EQ(GetPasswordCRC("Grebe7ly"), FindUser("ZentakUser")->PASSWORD);
  const UserStruct* guest = FindUser("guest");
  EXPECT_EQ(0u, guest->PASSWORD);
  EXPECT_EQ(0u, guest->LEVEL);
  EXPECT_FALSE(guest->GROUPLIST);
  EXPECT_TRUE(FindUser(kDefaultUserName)->fields.empty());  // no defaultuserfields.txt

  EXPECT_EQ("1", Setting("administrator", "Passwords\\NeverExpires"));
  EXPECT_EQ("1", Setting("ZentakUser", "Passwords\\NeverExpires"));
  EXPECT_EQ("UseWindowsDefault", Setting(kDefaultUserName, "DefaultLanguage"));
  EXPECT_EQ("<code 19>", Setting("guest", "Passwords\\NeverExpires"));

  // A second run changes nothing.
  EXPECT_EQ(FR_ALREADY_EXISTS, CreateDefaultUsers(home.path.c_str()));
  EXPECT_EQ(4, GetUserCount());
}

// Three lines, one without ':' (ignored), CR LF ends cut, the value split at
// the first ':' only; a name that is no field name is logged and skipped.
TEST_F(DefaultUsers, FieldsFromTheHomeFile) {
  WriteFields("Department:Sales\r\nno colon here\nUrl:http://x:8080/a\n1bad:value\nDepartment:Again\n");
  testing::internal::CaptureStderr();
  ASSERT_EQ(FR_OK, CreateDefaultUsers(home.path.c_str()));
  const std::string log = testing::internal::GetCapturedStderr();
  UserStruct* d = FindUser(kDefaultUserName);
  ASSERT_NE(nullptr, d);
  ASSERT_EQ(2u, d->fields.size());
  EXPECT_EQ("Sales", FindUserField(d, "Department")->value.value_or(""));
  EXPECT_EQ("http://x:8080/a", FindUserField(d, "Url")->value.value_or(""));
  EXPECT_NE(std::string::npos, log.find("Error 2 adding field >1bad< with value >value< to default user "));
  EXPECT_NE(std::string::npos, log.find("Error 7 adding field >Department< with value >Again< to default user "));
  EXPECT_TRUE(FindUser("guest")->fields.empty());
}

TEST_F(DefaultUsers, RefusalsLeaveTheStoreAlone) {
  EXPECT_EQ(FR_INVALID_PARAMETER, CreateDefaultUsers(nullptr));
  ASSERT_GE(AddUser("guest", 0), 0);
  EXPECT_EQ(FR_ALREADY_EXISTS, CreateDefaultUsers(home.path.c_str()));
  EXPECT_EQ(1, GetUserCount());
}

}  // namespace
