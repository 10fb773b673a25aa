// Tests of the version-1 users file writer against a file written by hand:
// the users read, written, freed and read back are the same users, and the
// second file has the same bytes as the first, both as written out by hand.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "directory/users_files.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

// Three users as a person might write them, with texts that need escaping, a
// field, a legacy hash, a bcrypt text and settings in two sections.
constexpr const char kUsersFile[] =
    "<?xml version=\"1.0\"?>\n<USERS>\n"
    "<USER>\n<UID>00000100</UID>\n<USERNAME>amy</USERNAME>\n<PASSWORDV2>$2b$04$abcdefghijklmnopqrstuuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ01</PASSWORDV2>\n"
    "<ADUSER>0</ADUSER>\n<LEVEL>32768</LEVEL>\n<FORENAME>Amy &amp; Co</FORENAME>\n<SURNAME>&lt;Smith&gt;</SURNAME>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n<DefaultEnvironment>Test</DefaultEnvironment>\n</Torvane>\n</Live>\n"
    "<Test>\n<App>\n<AllowConfiguration>1</AllowConfiguration>\n</App>\n</Test>\n</USERDATA>\n</USER>\n"
    "<USER>\n<UID>00000200</UID>\n<USERNAME>bo</USERNAME>\n<PASSWORD>0000BEEF</PASSWORD>\n<ADUSER>1</ADUSER>\n"
    "<LEVEL>0</LEVEL>\n<EMAIL>bo@example.org</EMAIL>\n<GROUPLIST>Everyone</GROUPLIST>\n"
    "<FIELD NAME=\"Room &quot;4&quot;\">4&amp;5</FIELD>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n"
    "<USER>\n<UID>00000300</UID>\n<USERNAME>cy</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>512</LEVEL>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n<Passwords>\n<Date>65A0B3C0</Date>\n</Passwords>\n</Torvane>\n</Live>\n"
    "</USERDATA>\n</USER>\n"
    "</USERS>";

// The same users as the writer gives them: special characters as numeric
// references, a line end after every settings value.
constexpr const char kWrittenFile[] =
    "<?xml version=\"1.0\"?>\n<USERS>\n"
    "<USER>\n<UID>00000100</UID>\n<USERNAME>amy</USERNAME>\n<PASSWORDV2>$2b$04$abcdefghijklmnopqrstuuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ01</PASSWORDV2>\n"
    "<ADUSER>0</ADUSER>\n<LEVEL>32768</LEVEL>\n<FORENAME>Amy &#038; Co</FORENAME>\n<SURNAME>&#060;Smith&#062;</SURNAME>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n<DefaultEnvironment>Test\n</DefaultEnvironment>\n</Torvane>\n</Live>\n"
    "<Test>\n<App>\n<AllowConfiguration>1\n</AllowConfiguration>\n</App>\n</Test>\n</USERDATA>\n</USER>\n"
    "<USER>\n<UID>00000200</UID>\n<USERNAME>bo</USERNAME>\n<PASSWORD>0000BEEF</PASSWORD>\n<ADUSER>1</ADUSER>\n"
    "<LEVEL>0</LEVEL>\n<EMAIL>bo@example.org</EMAIL>\n<GROUPLIST>Everyone</GROUPLIST>\n"
    "<FIELD NAME=\"Room &#034;4&#034;\">4&#038;5</FIELD>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n"
    "<USER>\n<UID>00000300</UID>\n<USERNAME>cy</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>512</LEVEL>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n<Passwords>\n<Date>65A0B3C0\n</Date>\n</Passwords>\n</Torvane>\n</Live>\n"
    "</USERDATA>\n</USER>\n"
    "</USERS>";

class UsersXMLWriterTest : public ::testing::Test {
 protected:
  TempDir home;
  void SetUp() override {
    ResetDirectoryState();
    ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);
  }
  void TearDown() override { ResetDirectoryState(); }

  // What a caller can see of every user, one line each.
  static std::string Users() {
    std::string out;
    for (int i = 0; i < GetUserCount(); ++i) {
      const UserStruct* u = GetUserByIndex(i);
      const char* name = u->USERNAME ? u->USERNAME->c_str() : "";
      int rc = 0;
      const std::optional<std::string> env = GetUserSetting(name, "Live", "Torvane", "DefaultEnvironment", &rc);
      out += std::string(name) + " uid=" + std::to_string(u->header.uid) + " level=" + std::to_string(u->LEVEL) +
             " ad=" + std::to_string(u->ADUSER) + " pw=" + std::to_string(u->PASSWORD) +
             " v2=" + u->PASSWORDV2.value_or("-") + " fore=" + u->FORENAME.value_or("-") +
             " sur=" + u->SURNAME.value_or("-") + " mail=" + u->EMAIL.value_or("-") +
             " groups=" + u->GROUPLIST.value_or("-") + " fields=" + std::to_string(u->fields.size()) +
             " env=" + env.value_or("-") + " right=" + std::to_string(GetUserAllowConfiguration(name, "Test", "App")) +
             "\n";
    }
    return out;
  }
};

TEST_F(UsersXMLWriterTest, WrittenFreedAndReadBackToTheSameUsersAndBytes) {
  WriteWholeFile(home.File("users.xml"), kUsersFile);
  ASSERT_EQ(ReadUsersXML(home.File("users.xml").c_str()), FR_OK);
  ASSERT_EQ(GetUserCount(), 3);
  const std::string users = Users();

  ASSERT_EQ(WriteUsersXML(home.File("first.xml").c_str()), FR_OK);
  const std::string first = ReadWholeFile(home.File("first.xml"));
  EXPECT_EQ(first, kWrittenFile);

  ASSERT_EQ(FreeUsersData(), FR_OK);
  ResetNodeRegistry();
  ASSERT_EQ(GetUserCount(), 0);
  ASSERT_EQ(ReadUsersXML(home.File("first.xml").c_str()), FR_OK);
  EXPECT_EQ(Users(), users);
  const UserStruct* bo = FindUser("bo");
  ASSERT_NE(bo, nullptr);
  ASSERT_EQ(bo->fields.size(), 1u);
  EXPECT_EQ(bo->fields[0].name.value_or("-"), "Room \"4\"");
  EXPECT_EQ(bo->fields[0].value.value_or("-"), "4&5");

  ASSERT_EQ(WriteUsersXML(home.File("second.xml").c_str()), FR_OK);
  EXPECT_EQ(ReadWholeFile(home.File("second.xml")), first);
}

}  // namespace
