// Tests of the directory of a new home: groups.xml and users.xml byte for
// byte against texts written out from the file descriptions (the hashes
// masked), the four accounts as read back, the passwords that verify, fresh
// hashes at every run, and failures that leave no partial users.xml.
#include "directory/first_start.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "directory/groups.h"
#include "directory/groups_file.h"
#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "directory/users_files.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "platform/atomic_file.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

const char kGroupsXML[] =
    "<?xml version=\"1.0\"?>\n"
    "<GROUPS>\n"
    "<GROUP>\n"
    "<NAME>Administrators</NAME>\n"
    "<UID>EE6B2801</UID>\n"
    "</GROUP>\n"
    "<GROUP>\n"
    "<NAME>Everyone</NAME>\n"
    "<UID>EE6B2800</UID>\n"
    "</GROUP>\n"
    "<PERM>\n"
    "<UID>EE6B2803</UID>\n"
    "<READ>EE6B2800;EE6B2801</READ>\n"
    "<WRITE>EE6B2801</WRITE>\n"
    "</PERM>\n"
    "</GROUPS>";

// The 39 lines, each ending in CR LF; "#HASH#" stands for a 60-character hash.
const char kUsersXML[] =
    "<?xml version=\"1.0\"?>\r\n"
    "<USERS>\r\n"
    "<USER>\r\n"
    "<UID>EE6B2802</UID>\r\n"
    "<USERNAME>administrator</USERNAME>\r\n"
    "<PASSWORDV2>#HASH#</PASSWORDV2>\r\n"
    "<ADUSER>0</ADUSER>\r\n"
    "<LEVEL>32768</LEVEL>\r\n"
    "<GROUPLIST>Administrators</GROUPLIST>\r\n"
    "<FORENAME>Administrator</FORENAME>\r\n"
    "<USERDATA><Live><Torvane><Passwords><NeverExpires>1</NeverExpires></Passwords></Torvane></Live></USERDATA>\r\n"
    "</USER>\r\n"
    "<USER>\r\n"
    "<UID>EE6B2806</UID>\r\n"
    "<USERNAME>guest</USERNAME>\r\n"
    "<FORENAME>GUEST</FORENAME>\r\n"
    "<PASSWORDV2>00000000</PASSWORDV2>\r\n"
    "<ADUSER>0</ADUSER>\r\n"
    "<LEVEL>0</LEVEL>\r\n"
    "<USERDATA><Live><Torvane><Passwords></Passwords></Torvane></Live></USERDATA></USER>\r\n"
    "<USER>\r\n"
    "<UID>EE6B2807</UID>\r\n"
    "<USERNAME>default_user</USERNAME>\r\n"
    "<FORENAME>DEFAULT</FORENAME>\r\n"
    "<SURNAME>USER</SURNAME>\r\n"
    "<PASSWORDV2>00000000</PASSWORDV2>\r\n"
    "<ADUSER>0</ADUSER>\r\n"
    "<LEVEL>0</LEVEL>\r\n"
    "<USERDATA><Live><Torvane><Passwords></Passwords><DefaultLanguage>UseWindowsDefault</DefaultLanguage>"
    "</Torvane></Live></USERDATA></USER>\r\n"
    "<USER>\r\n"
    "<UID>EE6B2808</UID>\r\n"
    "<USERNAME>ZentakUser</USERNAME>\r\n"
    "<PASSWORDV2>#HASH#</PASSWORDV2>\r\n"
    "<ADUSER>0</ADUSER>\r\n"
    "<LEVEL>32768</LEVEL>\r\n"
    "<GROUPLIST>Administrators</GROUPLIST>\r\n"
    "<FORENAME>ZentakUser</FORENAME>\r\n"
    "<USERDATA><Live><Torvane><Passwords><NeverExpires>1</NeverExpires></Passwords></Torvane></Live></USERDATA>"
    "</USER>\r\n"
    "</USERS>\r\n";

// Replaces every "<PASSWORDV2>" + 60 characters + "</PASSWORDV2>" by the
// "#HASH#" placeholder, collecting the hashes.
std::string MaskHashes(std::string text, std::vector<std::string>* hashes) {
  const std::string open = "<PASSWORDV2>";
  const std::string close = "</PASSWORDV2>";
  for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at + 1)) {
    const size_t start = at + open.size();
    if (text.compare(start + 60, close.size(), close) != 0) continue;
    hashes->push_back(text.substr(start, 60));
    text.replace(start, 60, "#HASH#");
  }
  return text;
}

// Cost-4 hashes for the tests that do not look at the hashes themselves.
int CheapHasher(const char* password, char* setting, char* hash) {
  int rc = GenerateSalt(kBcryptMinCost, setting);
  return rc != 0 ? rc : HashPasswordWithSalt(password, setting, hash);
}

int g_hashCalls = 0;
int FailSecondHash(const char* password, char* setting, char* hash) {
  return ++g_hashCalls == 2 ? 5 : CheapHasher(password, setting, hash);
}

class FirstStartTest : public ::testing::Test {
 protected:
  TempDir home;

  void SetUp() override {
    ResetAll();
    ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);
  }
  void TearDown() override { ResetAll(); }

  static void ResetAll() {
    SetDefaultUsersHasher(nullptr);
    g_hashCalls = 0;
    ResetDirectoryState();
  }

  std::string UsersFile() const { return ReadWholeFile(home.File("users.xml")); }

  static std::string Setting(const char* user, const char* path) {
    int rc = -1;
    const std::optional<std::string> value = GetUserSetting(user, "Live", "Torvane", path, &rc);
    return rc == FR_OK ? value.value_or("<none>") : "<code " + std::to_string(rc) + ">";
  }
};

TEST_F(FirstStartTest, GroupsAndPermissionWriteTheBuiltInGroupsFile) {
  ASSERT_EQ(CreateDefaultGroups(), 0);
  ASSERT_EQ(CreateDefaultPermission(), 0);
  ASSERT_EQ(WriteGroupsXML(home.File("groups.xml")), 0);
  EXPECT_EQ(ReadWholeFile(home.File("groups.xml")), kGroupsXML);

  ASSERT_EQ(GetGroupCount(), 2);
  EXPECT_EQ(GetGroupByIndex(0)->name.value_or(""), "Administrators");
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(GetGroupByIndex(i)->header.kind, static_cast<uint32_t>(NODE_KIND_GROUP));
    EXPECT_FALSE(GetGroupByIndex(i)->description.has_value());
    EXPECT_TRUE(GetGroupByIndex(i)->members.empty());
  }
  EXPECT_EQ(GetGroupArrayCapacity(), 10);
  const PermissionStruct* perm = FindPermission(kUIDDefaultPermission);
  ASSERT_NE(perm, nullptr);
  EXPECT_EQ(perm->header.kind, static_cast<uint32_t>(NODE_KIND_PERMISSION));

  // A second run starts a new array; a second default permission is refused.
  EXPECT_EQ(CreateDefaultGroups(), 0);
  EXPECT_EQ(GetGroupCount(), 2);
  EXPECT_EQ(CreateDefaultPermission(), FR_NO_MEMORY);
}

struct AccountCase {
  const char* name;
  UID uid;
  uint32_t level;
  const char* groups;  // null: none
  const char* forename;
  const char* surname;  // null: none
  const char* neverExpires;
};

TEST_F(FirstStartTest, UsersFileHasTheThirtyNineLinesAndReadsBackAsTheFourAccounts) {
  // In the order of the initialisation: the groups and the permission are
  // there when the accounts are read back (no name or UID clashes).
  ASSERT_EQ(CreateDefaultGroups(), 0);
  ASSERT_EQ(CreateDefaultPermission(), 0);
  std::vector<std::string> runs;
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    ASSERT_EQ(CreateDefaultUsersXML(home.path.c_str()), 0);
    std::vector<std::string> hashes;
    EXPECT_EQ(MaskHashes(UsersFile(), &hashes), kUsersXML);
    ASSERT_EQ(hashes.size(), 2u);
    for (const std::string& h : hashes) {
      EXPECT_EQ(h.compare(0, 7, "$2a$12$"), 0) << h;
      EXPECT_TRUE(IsBcryptHash(h.c_str()));
    }
    EXPECT_NE(hashes[0], hashes[1]);
    runs.push_back(hashes[0]);
    runs.push_back(hashes[1]);

    const AccountCase accounts[] = {
        {"administrator", kUIDAdministrator, 32768, "Administrators", "Administrator", nullptr, "1"},
        {"default_user", kUIDDefaultUser, 0, nullptr, "DEFAULT", "USER", "<code 19>"},
        {"guest", kUIDGuest, 0, nullptr, "GUEST", nullptr, "<code 19>"},
        {"ZentakUser", kUIDZentakUser, 32768, "Administrators", "ZentakUser", nullptr, "1"},
    };
    ASSERT_EQ(GetUserCount(), 4);
    for (int i = 0; i < 4; ++i) {
      const AccountCase& a = accounts[i];
      SCOPED_TRACE(a.name);
      const UserStruct* user = GetUserByIndex(i);  // sorted by name without regard to case
      ASSERT_NE(user, nullptr);
      EXPECT_EQ(user->USERNAME.value_or(""), a.name);
      EXPECT_EQ(user->header.uid, a.uid);
      EXPECT_EQ(user->LEVEL, a.level);
      EXPECT_EQ(user->ADUSER, 0);
      EXPECT_EQ(user->PASSWORD, 0u);
      EXPECT_EQ(user->GROUPLIST.has_value(), a.groups != nullptr);
      if (a.groups) {
        EXPECT_EQ(*user->GROUPLIST, a.groups);
      }
      EXPECT_EQ(user->FORENAME.value_or(""), a.forename);
      EXPECT_EQ(user->SURNAME.has_value(), a.surname != nullptr);
      EXPECT_NE(user->USERDATA, nullptr);
      EXPECT_EQ(Setting(a.name, "Passwords\\NeverExpires"), a.neverExpires);
      EXPECT_EQ(Setting(a.name, "Passwords"), "");
    }
    EXPECT_EQ(Setting("default_user", "DefaultLanguage"), "UseWindowsDefault");
    EXPECT_EQ(FindUser("guest")->PASSWORDV2.value_or(""), "00000000");
    EXPECT_EQ(FindUser("default_user")->PASSWORDV2.value_or(""), "00000000");
    EXPECT_EQ(FindUser("administrator")->PASSWORDV2.value_or(""), hashes[0]);
    EXPECT_EQ(FindUser("ZentakUser")->PASSWORDV2.value_or(""), hashes[1]);
  }
  // Every run makes hashes of its own.
  EXPECT_NE(runs[0], runs[2]);
  EXPECT_NE(runs[1], runs[3]);

  // The passwords of the last run verify; the no-password marker takes none.
  EXPECT_EQ(CheckPasswordHash("quernstoneway", FindUser("administrator")->PASSWORDV2->c_str()), 0);
  EXPECT_EQ(CheckPasswordHash("Grebe7ly", FindUser("ZentakUser")->PASSWORDV2->c_str()), 0);
  EXPECT_NE(CheckPasswordHash("", "00000000"), 0);
  EXPECT_NE(CheckPasswordHash("00000000", "00000000"), 0);

  // The store read back saves as version 2 and loads again.
  ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
  FreeUsersData();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  EXPECT_EQ(GetUserCount(), 4);
  EXPECT_EQ(Setting("default_user", "DefaultLanguage"), "UseWindowsDefault");
}

TEST_F(FirstStartTest, AFailedHashWritesNothing) {
  WriteWholeFile(home.File("users.xml"), "previous");
  SetDefaultUsersHasher(FailSecondHash);
  EXPECT_EQ(CreateDefaultUsersXML(home.path.c_str()), FR_HASH_FAILED);
  EXPECT_EQ(UsersFile(), "previous");
  EXPECT_EQ(GetUserCount(), 0);
}

TEST_F(FirstStartTest, AFailedWriteKeepsThePreviousFile) {
  WriteWholeFile(home.File("users.xml"), "previous");
  SetDefaultUsersHasher(CheapHasher);
  SetAtomicWriteFailAfter(100);
  EXPECT_EQ(CreateDefaultUsersXML(home.path.c_str()), FR_WRITE_FAILED);
  EXPECT_EQ(UsersFile(), "previous");
  EXPECT_EQ(GetUserCount(), 0);

  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(CreateDefaultUsersXML(home.File("missing/").c_str()), FR_CANNOT_OPEN_FILE);
  EXPECT_EQ(CreateDefaultUsersXML(nullptr), FR_INVALID_PARAMETER);
  EXPECT_EQ(CreateDefaultUsersXML(home.path.c_str()), 0);
  EXPECT_EQ(GetUserCount(), 4);
}

}  // namespace
