// Tests of the per-user settings and the record accessors over them: the
// read/write table of single settings, sections, subtrees as XML text, the
// XML replacements, the saves landing in the user's own file (also by the
// domain\user name), and the refusals of names and values that would make a
// users file unreadable.
#include "directory/user_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "directory/user_accessors.h"
#include "directory/user_records.h"
#include "directory/users_files.h"
#include "directory/users_tree.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/xml/xml_tree.h"
#include "platform/atomic_file.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

// Three users written by hand in the version-2 format: bob with settings in
// Live\Torvane and in Test, the Active Directory user adbob, and carol with
// the login section alone.
const char kUserList[] =
    "<?xml version=\"1.0\"?>\n<USERLIST>\n"
    "<USER uid=\"00001001\" name=\"bob\"/>\n"
    "<USER uid=\"00001002\" name=\"adbob\"/>\n"
    "<USER uid=\"00001003\" name=\"carol\"/>\n"
    "</USERLIST>";

const char kBobFile[] =
    "<USER>\n<UID>00001001</UID>\n<USERNAME>bob</USERNAME>\n"
    "<PASSWORDV2>old-hash</PASSWORDV2>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
    "<USERDATA>\n"
    "<Live>\n<Torvane>\n"
    "<Passwords>\n<Old>old\n<PW1>p1</PW1>\n</Old>\n<MustChange>1</MustChange>\n"
    "<CannotChange>0</CannotChange>\n</Passwords>\n"
    "<Empty></Empty>\n"
    "<DefaultEnvironment>Test</DefaultEnvironment>\n"
    "</Torvane>\n</Live>\n"
    "<Test>\n"
    "<App>\n<AllowConfiguration>1</AllowConfiguration>\n</App>\n"
    "<Yes>\n<AllowConfiguration>yes</AllowConfiguration>\n</Yes>\n"
    "<Neg>\n<AllowConfiguration> -1x</AllowConfiguration>\n</Neg>\n"
    "</Test>\n"
    "</USERDATA>\n</USER>\n";

const char kAdBobFile[] =
    "<USER>\n<UID>00001002</UID>\n<USERNAME>adbob</USERNAME>\n<ADUSER>1</ADUSER>\n<LEVEL>0</LEVEL>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n<DefaultEnvironment></DefaultEnvironment>\n</Torvane>\n</Live>\n"
    "</USERDATA>\n</USER>\n";

const char kCarolFile[] =
    "<USER>\n<UID>00001003</UID>\n<USERNAME>carol</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";

// Every test gets a fresh home directory holding the three users, loaded as
// at start-up, with the computer domain CORP.
class UserSettingsTest : public ::testing::Test {
 protected:
  TempDir home;

  void SetUp() override {
    ResetAll();
    ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);
    std::filesystem::create_directories(home.File("users"));
    WriteWholeFile(home.File("userlist.xml"), kUserList);
    WriteWholeFile(BobPath(), kBobFile);
    WriteWholeFile(AdBobPath(), kAdBobFile);
    WriteWholeFile(CarolPath(), kCarolFile);
    ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
    ASSERT_EQ(GetUserCount(), 3);
    SetComputerDomain("CORP");
  }
  void TearDown() override {
    EXPECT_EQ(CountUserNodeNameFaults(), 0u) << "the table of USER nodes by name is out of step with the tree";
    ResetAll();
  }

  static void ResetAll() {
    ResetDirectoryState();
  }

  std::string BobPath() const { return home.File("users/00001001.xml"); }
  std::string AdBobPath() const { return home.File("users/00001002.xml"); }
  std::string CarolPath() const { return home.File("users/00001003.xml"); }

  // The setting's value, or "<code N>" when the read fails.
  static std::string Read(const char* user, const char* section, const char* sub, const char* path) {
    int rc = -1;
    const std::optional<std::string> value = GetUserSetting(user, section, sub, path, &rc);
    if (rc != FR_OK) {
      EXPECT_FALSE(value.has_value());
      return "<code " + std::to_string(rc) + ">";
    }
    EXPECT_TRUE(value.has_value());
    return value.value_or("<none>");
  }

  // A subsection as the clients get it, "" when it cannot be had.
  static std::string SubsectionXML(const char* user, const char* section, const char* sub) {
    int rc = -1;
    return GetUserSettingsXML(user, section, sub, &rc).value_or("");
  }

  // Frees everything and loads the users from the files again.
  void Reload() {
    FreeUsersData();
    ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  }
};

// ---- Reading ------------------------------------------------------------------------------

TEST_F(UserSettingsTest, ReadTable) {
  struct Case {
    const char* id;
    const char* user;
    const char* section;
    const char* sub;
    const char* path;
    std::string expected;
  };
  const Case cases[] = {
      {"value", "bob", "Live", "Torvane", "Passwords\\MustChange", "1"},
      {"node without text", "bob", "Live", "Torvane", "Empty", ""},
      {"node with children only", "bob", "Live", "Torvane", "Passwords", ""},
      {"text beside children", "bob", "Live", "Torvane", "Passwords\\Old", "old"},
      {"trailing backslash", "bob", "Live", "Torvane", "Passwords\\Old\\", "old"},
      {"deep", "bob", "Live", "Torvane", "Passwords\\Old\\PW1", "p1"},
      {"any case", "BOB", "live", "TORVANE", "passwords\\old\\pw1", "p1"},
      {"missing node", "bob", "Live", "Torvane", "Nothing", "<code 19>"},
      {"missing below", "bob", "Live", "Torvane", "Passwords\\Old\\PW2", "<code 19>"},
      {"leading backslash", "bob", "Live", "Torvane", "\\Passwords", "<code 19>"},
      {"two in a row", "bob", "Live", "Torvane", "Passwords\\\\Old", "<code 19>"},
      {"two trailing", "bob", "Live", "Torvane", "Passwords\\\\", "<code 19>"},
      {"no user", "nobody", "Live", "Torvane", "Empty", "<code 6>"},
      {"no section", "bob", "Dev", "Torvane", "Empty", "<code 17>"},
      {"no subsection", "bob", "Live", "Other", "Empty", "<code 18>"},
      {"empty user", "", "Live", "Torvane", "Empty", "<code 2>"},
      {"null path", "bob", "Live", "Torvane", nullptr, "<code 2>"},
      {"empty path", "bob", "Live", "Torvane", "", "<code 2>"},
      {"empty section", "bob", "", "Torvane", "Empty", "<code 2>"},
      {"domain form of an AD user", "CORP\\adbob", "Live", "Torvane", "DefaultEnvironment", ""},
      {"domain form of an internal user", "CORP\\bob", "Live", "Torvane", "Empty", "<code 6>"},
      {"other domain", "OTHER\\adbob", "Live", "Torvane", "Empty", "<code 6>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Read(c.user, c.section, c.sub, c.path), c.expected) << c.id;
  }
  // Without a place for the code nothing comes back.
  EXPECT_FALSE(GetUserSetting("bob", "Live", "Torvane", "Empty", nullptr).has_value());
}

TEST_F(UserSettingsTest, AllowConfigurationAndAppSettings) {
  EXPECT_EQ(GetUserAllowConfiguration("bob", "Test", "App"), 1);
  EXPECT_EQ(GetUserAllowConfiguration("bob", "Test", "Yes"), 0);  // "yes"
  EXPECT_EQ(GetUserAllowConfiguration("bob", "Test", "Neg"), -1);  // " -1x": atoi's reading
  EXPECT_EQ(GetUserAllowConfiguration("bob", "Live", "Torvane"), 0);  // missing
  EXPECT_EQ(GetUserAllowConfiguration("bob", "", "App"), 0);
  EXPECT_EQ(GetUserAllowConfiguration(nullptr, "Test", "App"), 0);

  EXPECT_EQ(UserHasAppSetting("bob", "Test", "App"), 1);
  EXPECT_EQ(UserHasAppSetting("bob", "test", "APP"), 1);
  EXPECT_EQ(UserHasAppSetting("bob", "Live", "App"), 0);
  EXPECT_EQ(UserHasAppSetting("bob", "", "App"), 1);  // any section
  EXPECT_EQ(UserHasAppSetting("bob", "", "Torvane"), 1);
  EXPECT_EQ(UserHasAppSetting("bob", "", "Nope"), 0);
  EXPECT_EQ(UserHasAppSetting("bob", "Test", ""), 0);
  EXPECT_EQ(UserHasAppSetting("", "Test", "App"), 0);
  EXPECT_EQ(UserHasAppSetting("bob", nullptr, "App"), 0);
  EXPECT_EQ(UserHasAppSetting("nobody", "", "App"), 0);
}

TEST(SettingTextToIntTest, ReadsAsAtoi) {
  struct Case {
    const char* text;
    int value;
  };
  const Case cases[] = {{"1", 1},         {"yes", 0},     {"", 0},          {" \t\n42x", 42}, {"-7", -7},
                        {"+3", 3},        {"- 3", 0},     {"0x10", 0},      {"2147483647", 2147483647},
                        {"99999999999", 2147483647},      {"-99999999999", -2147483647 - 1}};
  for (const Case& c : cases) EXPECT_EQ(SettingTextToInt(c.text), c.value) << c.text;
}

// ---- Writing single settings --------------------------------------------------------------

TEST_F(UserSettingsTest, SetThenReadTable) {
  struct Case {
    const char* id;
    const char* path;
    const char* value;
    int code;
    const char* readPath;   // read back after the set (null: not read)
    std::string expected;
  };
  const Case cases[] = {
      {"existing node", "Passwords\\MustChange", "0", FR_OK, "Passwords\\MustChange", "0"},
      {"new nodes on the path", "New\\Deeper\\Leaf", "v", FR_OK, "New\\Deeper\\Leaf", "v"},
      {"new node has no text", "New\\Deeper\\Leaf", "v", FR_OK, "New\\Deeper", ""},
      {"trailing backslash", "Trail\\", "t", FR_OK, "Trail", "t"},
      {"absent value", "Passwords\\Old", nullptr, FR_OK, "Passwords\\Old", ""},
      {"escaped on the way", "Amp", "a&b<c>", FR_OK, "Amp", "a&b<c>"},
      {"utf-8 value", "Utf", "Zo\xC3\xAB", FR_OK, "Utf", "Zo\xC3\xAB"},
      {"leading backslash", "\\Lead", "x", FR_INVALID_PARAMETER, "Lead", "<code 19>"},
      {"two in a row", "A1\\\\B1", "x", FR_INVALID_PARAMETER, "A1", "<code 19>"},
      {"not an XML name", "1abc", "x", FR_INVALID_PARAMETER, nullptr, ""},
      {"name with a space", "New\\a b", "x", FR_INVALID_PARAMETER, "New\\Deeper\\Leaf", "v"},
      {"name with '<'", "a<b", "x", FR_INVALID_PARAMETER, nullptr, ""},
      {"control byte", "Ctl", "a\x01" "b", FR_INVALID_PARAMETER, "Ctl", "<code 19>"},
      {"invalid utf-8", "Bad", "\xC3", FR_INVALID_PARAMETER, "Bad", "<code 19>"},
      {"U+FFFE", "Bad", "\xEF\xBF\xBE", FR_INVALID_PARAMETER, "Bad", "<code 19>"},
      {"tab and line feed pass", "Ws", "a\tb\nc", FR_OK, "Ws", "a\tb\nc"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SetUserSetting("bob", "Live", "Torvane", c.path, c.value), c.code) << c.id;
    if (c.readPath != nullptr) {
      EXPECT_EQ(Read("bob", "Live", "Torvane", c.readPath), c.expected) << c.id;
    }
  }
  // Every accepted value was saved and reads back from the user's own file.
  const std::string before = SubsectionXML("bob", "Live", "Torvane");
  Reload();
  EXPECT_EQ(SubsectionXML("bob", "Live", "Torvane"), before);
  EXPECT_EQ(Read("bob", "Live", "Torvane", "New\\Deeper\\Leaf"), "v");
  EXPECT_EQ(Read("bob", "Live", "Torvane", "Amp"), "a&b<c>");
}

TEST_F(UserSettingsTest, SetRefusalsAndMissingLevels) {
  struct Case {
    const char* id;
    const char* user;
    const char* section;
    const char* sub;
    const char* path;
    int code;
  };
  const Case cases[] = {
      {"no section", "bob", "Dev", "Torvane", "X", FR_ENV_NOT_FOUND},
      {"no subsection", "bob", "Live", "Other", "X", FR_APP_NOT_FOUND},
      {"no user", "nobody", "Live", "Torvane", "X", FR_USER_NOT_FOUND},
      {"internal user by domain form", "CORP\\bob", "Live", "Torvane", "X", FR_USER_NOT_FOUND},
      {"null user", nullptr, "Live", "Torvane", "X", FR_INVALID_PARAMETER},
      {"empty subsection", "bob", "Live", "", "X", FR_INVALID_PARAMETER},
      {"empty path", "bob", "Live", "Torvane", "", FR_INVALID_PARAMETER},
  };
  const std::string file = ReadWholeFile(BobPath());
  for (const Case& c : cases) {
    EXPECT_EQ(SetUserSetting(c.user, c.section, c.sub, c.path, "v"), c.code) << c.id;
  }
  // No section or subsection was made, and nothing was saved.
  EXPECT_EQ(Read("bob", "Dev", "Torvane", "X"), "<code 17>");
  EXPECT_EQ(Read("bob", "Live", "Other", "X"), "<code 18>");
  EXPECT_EQ(ReadWholeFile(BobPath()), file);

  // The variant that makes the levels.
  EXPECT_EQ(SetUserSettingCreate("bob", "Dev", "Tool", "X\\Y", "v"), FR_OK);
  EXPECT_EQ(SetUserSettingCreate("bob", "Live", "Other", "X", "w"), FR_OK);
  EXPECT_EQ(SetUserSettingCreate("bob", "1Dev", "Tool", "X", "v"), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetUserSettingCreate("bob", "Dev", "Tool 2", "X", "v"), FR_INVALID_PARAMETER);
  EXPECT_EQ(UserHasAppSetting("bob", "", "Tool 2"), 0);
  Reload();
  EXPECT_EQ(Read("bob", "Dev", "Tool", "X\\Y"), "v");
  EXPECT_EQ(Read("bob", "Live", "Other", "X"), "w");
}

TEST_F(UserSettingsTest, SaveWritesTheUsersOwnFile) {
  ASSERT_EQ(SetUserSetting("bob", "Live", "Torvane", "New\\Leaf", "v&w"), FR_OK);
  const std::string bob = ReadWholeFile(BobPath());
  EXPECT_NE(bob.find("<New>\n<Leaf>v&#038;w\n</Leaf>\n</New>\n</Torvane>\n</Live>\n"), std::string::npos) << bob;
  EXPECT_EQ(ReadWholeFile(CarolPath()), kCarolFile);  // only the changed user's file

  // The domain form reaches the Active Directory user's node and its file.
  ASSERT_EQ(SetUserSetting("CORP\\adbob", "Live", "Torvane", "DefaultEnvironment", "Test"), FR_OK);
  EXPECT_NE(ReadWholeFile(AdBobPath()).find("<DefaultEnvironment>Test\n</DefaultEnvironment>"),
            std::string::npos);
  Reload();
  EXPECT_EQ(Read("adbob", "Live", "Torvane", "DefaultEnvironment"), "Test");
  EXPECT_EQ(Read("bob", "Live", "Torvane", "New\\Leaf"), "v&w");
}

TEST_F(UserSettingsTest, FailedSaveKeepsTheFileAndTheChangeInMemory) {
  SetAtomicWriteFailAfter(0);
  EXPECT_EQ(SetUserSetting("bob", "Live", "Torvane", "Passwords\\MustChange", "0"), FR_WRITE_FAILED);
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(Read("bob", "Live", "Torvane", "Passwords\\MustChange"), "0");
  EXPECT_EQ(ReadWholeFile(BobPath()), kBobFile);
}

TEST_F(UserSettingsTest, DepthTheFilesCanHold) {
  // The subsection is two levels below USERDATA: a path may add the rest.
  std::string path = "L";
  for (int i = 1; i < kMaxUserDataDepth - 2; ++i) path += "\\L";
  ASSERT_EQ(SetUserSetting("bob", "Live", "Torvane", path.c_str(), "deep"), FR_OK);
  const std::string deeper = path + "\\L";
  EXPECT_EQ(SetUserSetting("bob", "Live", "Torvane", deeper.c_str(), "x"), FR_INVALID_PARAMETER);
  Reload();
  EXPECT_EQ(Read("bob", "Live", "Torvane", path.c_str()), "deep");

  // XML elements are held to the same depth, and a refusal changes nothing.
  std::string branch = "B";
  for (int i = 1; i < kMaxUserDataDepth - 2; ++i) branch += "\\B";
  EXPECT_EQ(SetUserAppBranchXML("bob", "Test", "App", branch.c_str(), 0, "<X><Y/></X>"), FR_INVALID_PARAMETER);
  EXPECT_EQ(Read("bob", "Test", "App", "B"), "<code 19>");
  EXPECT_EQ(SetUserAppBranchXML("bob", "Test", "App", branch.c_str(), 0, "<X/>"), FR_OK);
  std::string nested;
  for (int i = 0; i < kMaxUserDataDepth; ++i) nested += "<A>";
  for (int i = 0; i < kMaxUserDataDepth; ++i) nested += "</A>";
  const std::string app = SubsectionXML("bob", "Test", "Yes");
  EXPECT_EQ(SetUserSettingsXML("bob", "Test", "Yes", nested.c_str()), FR_INVALID_PARAMETER);
  EXPECT_EQ(SubsectionXML("bob", "Test", "Yes"), app);
  EXPECT_EQ(SetUserSettingsXML("bob", "Test", "Yes", nested.substr(3, nested.size() - 7).c_str()), FR_OK);
  Reload();
  EXPECT_EQ(Read("bob", "Test", "App", (branch + "\\X").c_str()), "<code 19>");  // X is beside the last B
  EXPECT_EQ(Read("bob", "Test", "App", (branch.substr(0, branch.size() - 2) + "\\X").c_str()), "");
  EXPECT_TRUE(SubsectionXML("bob", "Test", "A").size() > 0);
}

// A client path of millions of backslashes (the wire carries 64 MB) reaches
// no node and changes nothing (it is cut after as many elements as a tree can
// be deep rather than split whole, which would cost seconds and hundreds of
// megabytes).
TEST_F(UserSettingsTest, AHugePathIsNotSplitWhole) {
  std::string path;
  path.reserve(64u << 20);
  while (path.size() < (64u << 20)) path += "Passwords\\";
  EXPECT_EQ(Read("bob", "Live", "Torvane", path.c_str()), "<code 19>");
  EXPECT_EQ(SetUserSetting("bob", "Live", "Torvane", path.c_str(), "x"), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetUserAppBranchXML("bob", "Live", "Torvane", path.c_str(), 0, "<X/>"), FR_INVALID_PARAMETER);
  EXPECT_EQ(ReadWholeFile(BobPath()), kBobFile);
}

TEST_F(UserSettingsTest, NodeWithoutRecordIsNotChanged) {
  // A USER node that no record owns (left over in the tree) is not a user a
  // change could be saved for.
  XMLNode* ghost = AddXMLChildNode(GetUsersTreeRoot());
  ghost->name = "USER";
  XMLNode* name = AddXMLChildNode(ghost);
  name->name = "USERNAME";
  name->value = "ghost";
  NoteUserNodeNames(ghost);
  ASSERT_EQ(SetUserSettingCreate("ghost", "Live", "Torvane", "X", "v"), FR_USER_NOT_FOUND);
  EXPECT_EQ(AddUserEnvSection("ghost", "Dev"), FR_USER_NOT_FOUND);
  EXPECT_EQ(Read("ghost", "Live", "Torvane", "X"), "<code 17>");
  // No login section at all: no default environment either.
  EXPECT_FALSE(GetUserDefaultEnvironment("ghost").has_value());
}

// ---- Sections -----------------------------------------------------------------------------

TEST_F(UserSettingsTest, AddAndDeleteSections) {
  // An existing section: 0 and no save (the removed file is not written again).
  std::filesystem::remove(BobPath());
  EXPECT_EQ(AddUserEnvSection("bob", "test"), FR_OK);
  EXPECT_FALSE(std::filesystem::exists(BobPath()));

  EXPECT_EQ(AddUserEnvSection("bob", "Dev"), FR_OK);
  EXPECT_NE(ReadWholeFile(BobPath()).find("</Test>\n<Dev>\n<Torvane>\n</Torvane>\n</Dev>\n</USERDATA>\n"),
            std::string::npos);
  EXPECT_EQ(AddUserEnvSection("bob", "1Dev"), FR_INVALID_PARAMETER);
  EXPECT_EQ(AddUserEnvSection("bob", "a b"), FR_INVALID_PARAMETER);
  EXPECT_EQ(AddUserEnvSection("bob", ""), FR_INVALID_PARAMETER);
  EXPECT_EQ(AddUserEnvSection("nobody", "Dev"), FR_USER_NOT_FOUND);
  EXPECT_EQ(UserHasAppSetting("bob", "Dev", "Torvane"), 1);

  EXPECT_EQ(DeleteUserEnvSection("carol", "Live"), FR_LAST_SECTION);
  EXPECT_EQ(Read("carol", "Live", "Torvane", "X"), "<code 19>");
  EXPECT_EQ(DeleteUserEnvSection("bob", "Missing"), FR_ENV_NOT_FOUND);
  EXPECT_EQ(DeleteUserEnvSection("nobody", "Live"), FR_USER_NOT_FOUND);
  EXPECT_EQ(DeleteUserEnvSection("bob", nullptr), FR_INVALID_PARAMETER);
  EXPECT_EQ(DeleteUserEnvSection("bob", "TEST"), FR_OK);
  EXPECT_EQ(ReadWholeFile(BobPath()).find("<Test>"), std::string::npos);
  Reload();
  EXPECT_EQ(UserHasAppSetting("bob", "Test", "App"), 0);
  EXPECT_EQ(UserHasAppSetting("bob", "Dev", "Torvane"), 1);
}

TEST_F(UserSettingsTest, AddTorvaneNode) {
  EXPECT_EQ(AddTorvaneNode(nullptr), FR_INVALID_PARAMETER);
  XMLNodeListPtr section(ParseXMLStringToNodeTree("<Dev/>"));
  ASSERT_TRUE(section);
  EXPECT_EQ(AddTorvaneNode(section.get()), FR_OK);
  ASSERT_NE(section->firstChild, nullptr);
  EXPECT_EQ(section->firstChild->name, "Torvane");
  EXPECT_FALSE(section->firstChild->value.has_value());
}

// ---- Subtrees as XML text -------------------------------------------------------------------

TEST_F(UserSettingsTest, GetSubsectionAsText) {
  int rc = -1;
  // The generic tree writer: CR LF line ends, texts escaped.
  EXPECT_EQ(GetUserSettingsXML("bob", "Test", "App", &rc).value_or("<none>"),
            "<App>\r\n<AllowConfiguration>1</AllowConfiguration>\r\n</App>\r\n");
  EXPECT_EQ(rc, FR_OK);
  ASSERT_EQ(SetUserSetting("bob", "Test", "App", "Name", "a<b"), FR_OK);
  EXPECT_EQ(SubsectionXML("bob", "Test", "App"),
            "<App>\r\n<AllowConfiguration>1</AllowConfiguration>\r\n<Name>a&#060;b</Name>\r\n</App>\r\n");

  struct Case {
    const char* user;
    const char* section;
    const char* sub;
    int code;
  };
  const Case cases[] = {{"nobody", "Test", "App", FR_USER_NOT_FOUND}, {"bob", "Dev", "App", FR_ENV_NOT_FOUND},
                        {"bob", "Test", "Nope", FR_APP_NOT_FOUND},    {"", "Test", "App", FR_INVALID_PARAMETER},
                        {"bob", nullptr, "App", FR_INVALID_PARAMETER}};
  for (const Case& c : cases) {
    rc = -1;
    EXPECT_FALSE(GetUserSettingsXML(c.user, c.section, c.sub, &rc).has_value());
    EXPECT_EQ(rc, c.code) << (c.user ? c.user : "null") << " " << (c.section ? c.section : "null");
  }
  EXPECT_FALSE(GetUserSettingsXML("bob", "Test", "App", nullptr).has_value());
}

TEST_F(UserSettingsTest, ReplaceSubsection) {
  ASSERT_EQ(SetUserSettingsXML("bob", "Test", "App", "<App><AllowConfiguration>0</AllowConfiguration>"
                                                     "<Tags kind=\"a&quot;b\">x</Tags></App>"),
            FR_OK);
  EXPECT_EQ(GetUserAllowConfiguration("bob", "Test", "App"), 0);
  EXPECT_EQ(Read("bob", "Test", "App", "Tags"), "x");
  EXPECT_EQ(FindUser("bob")->USERDATA, GetUserDataNode("bob"));
  // A missing section is made; the text's element is taken whatever its name.
  ASSERT_EQ(SetUserSettingsXML("bob", "Dev", "Tool", "<Tool><A>1</A></Tool>"), FR_OK);
  EXPECT_EQ(SetUserSettingsXML("bob", "1Dev", "Tool", "<Tool/>"), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetUserSettingsXML("nobody", "Dev", "Tool", "<Tool/>"), FR_USER_NOT_FOUND);
  EXPECT_EQ(SetUserSettingsXML("bob", "Dev", "Tool", nullptr), FR_INVALID_PARAMETER);
  Reload();
  EXPECT_EQ(Read("bob", "Test", "App", "Tags"), "x");
  EXPECT_EQ(Read("bob", "Dev", "Tool", "A"), "1");
  EXPECT_EQ(Read("bob", "Test", "Yes", "AllowConfiguration"), "yes");
}

TEST_F(UserSettingsTest, ReplaceSubsectionKeepsTheRecordsMainFields) {
  // The record changed directly (as a password change does) while the USER
  // node still holds the old hash: the replacement must not bring it back.
  UserStruct* bob = FindUser("bob");
  bob->PASSWORDV2 = "new-hash";
  bob->LEVEL = 0x8000;
  ASSERT_EQ(SetUserSettingsXML("bob", "Test", "App", "<App/>"), FR_OK);
  bob = FindUser("bob");
  EXPECT_EQ(bob->PASSWORDV2.value_or(""), "new-hash");
  EXPECT_EQ(bob->LEVEL, 0x8000u);
  const std::string file = ReadWholeFile(BobPath());
  EXPECT_NE(file.find("<PASSWORDV2>new-hash</PASSWORDV2>"), std::string::npos);
  EXPECT_NE(file.find("<LEVEL>32768</LEVEL>"), std::string::npos);
}

TEST_F(UserSettingsTest, BadXmlReloadsFromTheFiles) {
  // An unsaved change in memory is dropped by the reload.
  int rc = 0;
  XMLNode* node = GetUserSubsectionNode("bob", "Test", "App", &rc);
  ASSERT_NE(node, nullptr);
  node->firstChild->value = "unsaved";
  EXPECT_EQ(SetUserSettingsXML("bob", "Test", "App", "<App><Open></App>"), FR_XML_ERROR);
  EXPECT_EQ(Read("bob", "Test", "App", "AllowConfiguration"), "1");

  node = GetUserSubsectionNode("bob", "Test", "App", &rc);
  ASSERT_NE(node, nullptr);
  node->firstChild->value = "unsaved";
  EXPECT_EQ(SetUserAppBranchXML("bob", "Test", "App", "", 1, "not xml"), FR_XML_ERROR);
  EXPECT_EQ(Read("bob", "Test", "App", "AllowConfiguration"), "1");
  EXPECT_EQ(GetUserCount(), 3);
}

TEST_F(UserSettingsTest, BranchTable) {
  struct Case {
    const char* id;
    const char* branch;
    int clearExisting;
    const char* text;
    int code;
    std::string subsection;  // Test\App as text afterwards (unchanged: "")
  };
  const std::string original = SubsectionXML("bob", "Test", "App");
  const Case cases[] = {
      {"beside a new empty B", "A\\B", 0, "<C>1</C>", FR_OK,
       "<App>\r\n<AllowConfiguration>1</AllowConfiguration>\r\n<A>\r\n<B></B>\r\n<C>1</C>\r\n</A>\r\n</App>\r\n"},
      {"added to the subsection", "", 0, "<C>2</C>", FR_OK,
       "<App>\r\n<AllowConfiguration>1</AllowConfiguration>\r\n<C>2</C>\r\n</App>\r\n"},
      {"replacing the last node", "AllowConfiguration", 1, "<D>3</D>", FR_OK, "<App>\r\n<D>3</D>\r\n</App>\r\n"},
      {"clearing the subsection", "", 1, "<E>4</E>", FR_OK, "<App>\r\n<E>4</E>\r\n</App>\r\n"},
      {"trailing backslash", "A\\", 1, "<F/>", FR_OK, "<App>\r\n<AllowConfiguration>1</AllowConfiguration>\r\n<F></F>\r\n</App>\r\n"},
      {"leading backslash", "\\A", 0, "<F/>", FR_INVALID_PARAMETER, ""},
      {"two in a row", "A\\\\B", 0, "<F/>", FR_INVALID_PARAMETER, ""},
      {"not an XML name", "A\\9", 0, "<F/>", FR_INVALID_PARAMETER, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    // Each case starts from the file's App.
    ASSERT_EQ(SetUserSettingsXML("bob", "Test", "App", "<App><AllowConfiguration>1</AllowConfiguration></App>"),
              FR_OK);
    ASSERT_EQ(SubsectionXML("bob", "Test", "App"), original);
    EXPECT_EQ(SetUserAppBranchXML("bob", "Test", "App", c.branch, c.clearExisting, c.text), c.code);
    const std::string expected = c.code == FR_OK ? c.subsection : original;
    EXPECT_EQ(SubsectionXML("bob", "Test", "App"), expected);
    if (c.code == FR_OK) {
      Reload();
      EXPECT_EQ(SubsectionXML("bob", "Test", "App"), expected);
    }
  }
  // Missing levels are made; the argument checks.
  EXPECT_EQ(SetUserAppBranchXML("bob", "Dev", "Tool", "X", 0, "<Y>5</Y>"), FR_OK);
  EXPECT_EQ(Read("bob", "Dev", "Tool", "Y"), "5");
  EXPECT_EQ(Read("bob", "Dev", "Tool", "X"), "");
  EXPECT_EQ(SetUserAppBranchXML("bob", "Dev", "Tool", nullptr, 0, "<Y/>"), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetUserAppBranchXML("bob", "", "Tool", "", 0, "<Y/>"), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetUserAppBranchXML("nobody", "Dev", "Tool", "", 0, "<Y/>"), FR_USER_NOT_FOUND);
}

TEST_F(UserSettingsTest, ParseIntoNode) {
  int rc = 0;
  XMLNode* app = GetUserSubsectionNode("bob", "Test", "App", &rc);
  ASSERT_NE(app, nullptr);
  XMLNode* last = LastXMLChild(app);
  EXPECT_EQ(ParseXMLStringIntoNode("<X><Y>1</Y>", app), FR_XML_ERROR);
  EXPECT_EQ(ParseXMLStringIntoNode(nullptr, app), FR_XML_ERROR);
  EXPECT_EQ(LastXMLChild(app), last);  // nothing of a failed parse stays
  EXPECT_EQ(ParseXMLStringIntoNode("<X a=\"1\"><Y>1\n</Y>\n</X>", app), FR_OK);
  ASSERT_NE(LastXMLChild(app), last);
  EXPECT_EQ(LastXMLChild(app)->name, "X");
  ASSERT_EQ(LastXMLChild(app)->attributes.size(), 1u);
  EXPECT_EQ(Read("bob", "Test", "App", "X\\Y"), "1");
}

// ---- Record accessors ------------------------------------------------------------------------

TEST_F(UserSettingsTest, PasswordStateAndDefaultEnvironment) {
  int rc = -1;
  EXPECT_EQ(GetUserSettingInt("bob", "Live", "Torvane", "Passwords\\MustChange", &rc), 1);
  EXPECT_EQ(rc, FR_OK);
  EXPECT_EQ(GetUserSettingInt("bob", "Live", "Torvane", "Nothing", &rc), 0);
  EXPECT_EQ(rc, FR_NODE_NOT_FOUND);
  EXPECT_EQ(GetUserSettingInt("bob", "Live", "Torvane", "Passwords\\MustChange", nullptr), 1);

  struct Case {
    const char* must;
    const char* cannot;
    int mustValue;
    int cannotValue;
    bool both;
  };
  const Case cases[] = {{"1", "1", 1, 1, true}, {"0", "1", 0, 1, false}, {"2", "0", 2, 0, false},
                        {"1", "-1", 1, -1, true}, {"x", "1", 0, 1, false}};
  for (const Case& c : cases) {
    ASSERT_EQ(SetUserSetting("carol", "Live", "Torvane", kMustChangePasswordSetting, c.must), FR_OK);
    ASSERT_EQ(SetUserSetting("carol", "Live", "Torvane", kCannotChangePasswordSetting, c.cannot), FR_OK);
    EXPECT_EQ(UserMustChangePassword("carol"), c.mustValue) << c.must;
    EXPECT_EQ(UserCannotChangePassword("carol"), c.cannotValue) << c.cannot;
    EXPECT_EQ(UserMustAndCannotChangePassword("carol"), c.both) << c.must << "/" << c.cannot;
  }
  EXPECT_EQ(UserMustChangePassword("nobody"), 0);
  EXPECT_FALSE(UserMustAndCannotChangePassword("adbob"));

  EXPECT_EQ(GetUserDefaultEnvironment("bob").value_or("<none>"), "Test");
  EXPECT_EQ(GetUserDefaultEnvironment("adbob").value_or("<none>"), "");    // present and empty
  EXPECT_EQ(GetUserDefaultEnvironment("carol").value_or("<none>"), "Live");  // missing
  EXPECT_FALSE(GetUserDefaultEnvironment("nobody").has_value());
  // Every save gives the user its login section again, empty.
  ASSERT_EQ(DeleteUserEnvSection("bob", "Live"), FR_OK);
  EXPECT_EQ(GetUserDefaultEnvironment("bob").value_or("<none>"), "Live");
}

TEST_F(UserSettingsTest, LiveSettingsThroughARecord) {
  int rc = -1;
  const UserStruct* bob = FindUser("bob");
  EXPECT_EQ(GetUserLiveSetting(bob, "Torvane", "Passwords\\Old\\PW1", &rc).value_or("<none>"), "p1");
  EXPECT_EQ(rc, FR_OK);
  EXPECT_FALSE(GetUserLiveSetting(bob, "Torvane", "Nothing", &rc).has_value());
  EXPECT_EQ(rc, FR_NODE_NOT_FOUND);
  EXPECT_FALSE(GetUserLiveSetting(bob, "Torvane", "", &rc).has_value());
  EXPECT_EQ(rc, FR_INVALID_PARAMETER);
  EXPECT_FALSE(GetUserLiveSetting(nullptr, "Torvane", "X", &rc).has_value());
  EXPECT_EQ(rc, FR_INVALID_PARAMETER);
  EXPECT_FALSE(GetUserLiveSetting(bob, "Torvane", "X", nullptr).has_value());

  // A record without a settings link reads the empty text.
  UserStruct unlinked;
  unlinked.USERNAME = "bob";
  rc = -1;
  EXPECT_EQ(GetUserLiveSetting(&unlinked, "Torvane", "Passwords\\Old\\PW1", &rc).value_or("<none>"), "");
  EXPECT_EQ(rc, FR_OK);

  EXPECT_EQ(SetUserLiveSetting(bob, "Torvane", "Passwords\\Old\\PW2", "p2"), FR_OK);
  EXPECT_EQ(SetUserLiveSetting(FindUser("bob"), "", "X", "v"), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetUserLiveSetting(FindUser("bob"), "Torvane", nullptr, "v"), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetUserLiveSetting(nullptr, "Torvane", "X", "v"), FR_INVALID_PARAMETER);
  Reload();
  EXPECT_EQ(Read("bob", "Live", "Torvane", "Passwords\\Old\\PW2"), "p2");
}

// ---- The settings path buffer --------------------------------------------------------------

TEST(SettingsPathBuffer, AppendAndStrip) {
  EXPECT_STREQ(ResetSettingsPath(), "");
  EXPECT_STREQ(AppendSettingsPath("Passwords"), "\\Passwords");
  EXPECT_STREQ(AppendSettingsPath("Old"), "\\Passwords\\Old");
  EXPECT_STREQ(StripSettingsPath(), "\\Passwords");
  EXPECT_STREQ(StripSettingsPath(), "");
  EXPECT_STREQ(StripSettingsPath(), "");
  const std::string fits(2046, 'a');  // backslash + 2046 + NUL = 2048
  EXPECT_NE(AppendSettingsPath(fits.c_str()), nullptr);
  EXPECT_EQ(AppendSettingsPath("b"), nullptr);
  EXPECT_EQ(std::string(StripSettingsPath()), "");
  const std::string tooLong(2047, 'a');
  EXPECT_EQ(AppendSettingsPath(tooLong.c_str()), nullptr);
  EXPECT_EQ(AppendSettingsPath(nullptr), nullptr);
  ResetSettingsPath();
}

}  // namespace
