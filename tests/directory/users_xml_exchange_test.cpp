// Tests of the users XML exchange: the documents for clients against the
// per-user files written by hand, the hashing of plain-text passwords, and
// the four client texts (one user whole, main fields, settings, the whole
// store) with their refusals, which leave disk and memory as they were.
#include "directory/users_xml_exchange.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "directory/users_files.h"
#include "directory/users_tree.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/xml/xml_tree.h"
#include "platform/atomic_file.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

// Four users in the version-2 format, written by hand exactly as the users
// files hold them (so a rewrite gives the same bytes): the built-in
// administrator and default_user, bob with a field and settings in Test\App,
// carol with the login section alone.
const char kAdminFile[] =
    "<USER>\n<UID>EE6B2802</UID>\n<USERNAME>administrator</USERNAME>\n"
    "<PASSWORDV2>HASH-OF-ADMIN-0123456789-0123456789-0123</PASSWORDV2>\n"
    "<ADUSER>0</ADUSER>\n<LEVEL>32768</LEVEL>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n<Passwords>\n<NeverExpires>1\n</NeverExpires>\n</Passwords>\n"
    "</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";

const char kBobFile[] =
    "<USER>\n<UID>00001001</UID>\n<USERNAME>bob</USERNAME>\n"
    "<PASSWORDV2>HASH-OF-BOB-0123456789-0123456789-012345</PASSWORDV2>\n"
    "<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n<FORENAME>Bob</FORENAME>\n"
    "<FIELD NAME=\"Dept\">Sales</FIELD>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n<DefaultEnvironment>Test\n</DefaultEnvironment>\n</Torvane>\n</Live>\n"
    "<Test>\n<App>\n<AllowConfiguration>1\n</AllowConfiguration>\n</App>\n</Test>\n"
    "</USERDATA>\n</USER>\n";

const char kCarolFile[] =
    "<USER>\n<UID>00001003</UID>\n<USERNAME>carol</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";

const char kDefaultUserFile[] =
    "<USER>\n<UID>EE6B2807</UID>\n<USERNAME>default_user</USERNAME>\n<PASSWORDV2>00000000</PASSWORDV2>\n"
    "<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";

// In the order of the user array, as the save writes it.
const char kUserList[] =
    "<?xml version=\"1.0\"?>\n<USERLIST>\n"
    "<USER uid=\"EE6B2802\" name=\"administrator\"/>\n"
    "<USER uid=\"00001001\" name=\"bob\"/>\n"
    "<USER uid=\"00001003\" name=\"carol\"/>\n"
    "<USER uid=\"EE6B2807\" name=\"default_user\"/>\n"
    "</USERLIST>";

const char kOldUsersXml[] = "<?xml version=\"1.0\"?>\n<USERS>\n</USERS>";

constexpr UID kAdminUID = 4000000002u;
constexpr UID kBobUID = 0x1001;

class UsersXmlExchangeTest : public ::testing::Test {
 protected:
  TempDir home;

  void SetUp() override {
    ResetAll();
    ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);
    std::filesystem::create_directories(home.File("users"));
    WriteWholeFile(home.File("userlist.xml"), kUserList);
    WriteWholeFile(home.File("users/EE6B2802.xml"), kAdminFile);
    WriteWholeFile(home.File("users/00001001.xml"), kBobFile);
    WriteWholeFile(home.File("users/00001003.xml"), kCarolFile);
    WriteWholeFile(home.File("users/EE6B2807.xml"), kDefaultUserFile);
    WriteWholeFile(home.File("users.xml"), kOldUsersXml);
    ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
    ASSERT_EQ(GetUserCount(), 4);
  }
  void TearDown() override {
    EXPECT_EQ(CountUserNodeNameFaults(), 0u) << "the table of USER nodes by name is out of step with the tree";
    ResetAll();
  }

  static void ResetAll() {
    ResetDirectoryState();
  }

  // Every file under the home directory with its bytes.
  std::map<std::string, std::string> Disk() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path)) {
      if (entry.is_regular_file()) files[entry.path().string()] = ReadWholeFile(entry.path().string());
    }
    return files;
  }

  // Every record as its USER element, and the number of USER nodes.
  static std::string Memory() {
    std::string out;
    for (int i = 0; i < GetUserCount(); ++i) EXPECT_EQ(AppendUserXML(GetUserByIndex(i), out), 0);
    return out + "nodes=" + std::to_string(RootChildren());
  }

  static int RootChildren() {
    int count = 0;
    for (const XMLNode* n = GetUsersTreeRoot() ? GetUsersTreeRoot()->firstChild : nullptr; n; n = n->nextSibling) ++count;
    return count;
  }

  // How many USER nodes carry this USERNAME.
  static int NodesNamed(const char* name) {
    int count = 0;
    for (const XMLNode* n = GetUsersTreeRoot()->firstChild; n; n = n->nextSibling) {
      const XMLNode* u = FindXMLChildNode(n, "USERNAME");
      if (u && u->value && *u->value == name) ++count;
    }
    return count;
  }

  static int ChildrenNamed(const XMLNode* node, const char* name) {
    int count = 0;
    for (const XMLNode* c = node->firstChild; c; c = c->nextSibling) count += c->name == name ? 1 : 0;
    return count;
  }

  static std::string Setting(const char* user, const char* path) {
    int rc = -1;
    std::optional<std::string> value = GetUserSetting(user, "Live", "Torvane", path, &rc);
    return rc == 0 ? value.value_or("<none>") : "<code " + std::to_string(rc) + ">";
  }

  // Frees everything and loads the users from the files again.
  void LoadAgain() {
    FreeUsersData();
    ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  }

  // The user's per-user file matches its record and its link is the
  // USERDATA of its one node.
  void ExpectConsistent(const char* name) {
    SCOPED_TRACE(name);
    const UserStruct* user = FindUser(name);
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(NodesNamed(name), 1);
    const XMLNode* node = FindXMLUserNode(name);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(ChildrenNamed(node, "USERDATA"), 1);
    EXPECT_EQ(user->USERDATA, FindXMLChildNode(node, "USERDATA"));
    int rc = -1;
    EXPECT_EQ(GetUserXML(name, &rc).value_or(""), ReadWholeFile(UserFilePath(home.path, user->header.uid)));
  }
};

// ---- Documents ----------------------------------------------------------------------

TEST_F(UsersXmlExchangeTest, AllUsersDocumentIsTheListedFilesInListOrder) {
  int rc = -1;
  std::optional<std::string> doc = GetUsersXML(&rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(doc.value_or(""), std::string("<?xml version=\"1.0\"?><USERS>") + kAdminFile + kBobFile + kCarolFile +
                                  kDefaultUserFile + "</USERS>");

  // A listed file that is missing is left out; it comes from the disk, not memory.
  std::filesystem::remove(home.File("users/00001001.xml"));
  doc = GetAllUsersXMLV2(home.path.c_str(), &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(doc.value_or(""), std::string("<?xml version=\"1.0\"?><USERS>") + kAdminFile + kCarolFile +
                                  kDefaultUserFile + "</USERS>");
  EXPECT_FALSE(GetUsersXML(nullptr).has_value());
}

TEST_F(UsersXmlExchangeTest, AllUsersDocumentFailures) {
  int rc = -1;
  WriteWholeFile(home.File("userlist.xml"), "<?xml version=\"1.0\"?>\n<USERLIST>\n</USERLIST>");
  EXPECT_FALSE(GetUsersXML(&rc).has_value());
  EXPECT_EQ(rc, FR_USER_NOT_FOUND);
  std::filesystem::remove(home.File("userlist.xml"));
  EXPECT_FALSE(GetUsersXML(&rc).has_value());
  EXPECT_EQ(rc, FR_CANNOT_OPEN_FILE);
}

TEST_F(UsersXmlExchangeTest, OneUserDocument) {
  struct Case {
    const char* name;
    int code;
    const char* text;
  } cases[] = {
      {"bob", 0, kBobFile},
      {"BOB", 0, kBobFile},
      {"administrator", 0, kAdminFile},
      {"nobody", FR_USER_NOT_FOUND, nullptr},
      {"", FR_INVALID_PARAMETER, nullptr},
      {nullptr, FR_INVALID_PARAMETER, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(null)");
    int rc = -1;
    const std::optional<std::string> doc = GetUserXML(c.name, &rc);
    EXPECT_EQ(rc, c.code);
    EXPECT_EQ(doc.has_value(), c.text != nullptr);
    if (c.text) {
      EXPECT_EQ(*doc, c.text);
    }
  }
  EXPECT_FALSE(GetUserXML("bob", nullptr).has_value());
}

TEST_F(UsersXmlExchangeTest, ApplicationUsersDocument) {
  const std::string all =
      std::string("<USERS>\n") + kAdminFile + kBobFile + kCarolFile + kDefaultUserFile + "</USERS>\n";
  struct Case {
    const char* section;
    const char* subsection;
    int code;
    std::string text;
  } cases[] = {
      {"Test", "App", 0, std::string("<USERS>\n") + kBobFile + "</USERS>\n"},
      {"", "App", 0, std::string("<USERS>\n") + kBobFile + "</USERS>\n"},  // any section
      {"live", "torvane", 0, all},
      {"Test", "Other", FR_USER_NOT_FOUND, ""},
      {"Nowhere", "App", FR_USER_NOT_FOUND, ""},
      {nullptr, "App", FR_USER_NOT_FOUND, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.section ? c.section : "(null)") + "\\" + c.subsection);
    int rc = -1;
    const std::optional<std::string> doc = GetUsersXMLForApp(c.section, c.subsection, &rc);
    EXPECT_EQ(rc, c.code);
    EXPECT_EQ(doc.value_or(""), c.text);
  }
  FreeUsersData();
  int rc = -1;
  EXPECT_FALSE(GetUsersXMLForApp("Test", "App", &rc).has_value());
  EXPECT_EQ(rc, FR_USER_NOT_FOUND);
}

// ---- Plain-text passwords ----------------------------------------------------------------

TEST_F(UsersXmlExchangeTest, HashPlainTextPasswordsTable) {
  const std::string plain32(32, 'p');
  const std::string long33(33, 'h');
  XMLNodeListPtr user(ParseXMLStringToNodeTree(
      ("<USER><passwordv2>" + plain32 + "</passwordv2><PASSWORDV2>" + long33 +
       "</PASSWORDV2><PASSWORDV2>00000000</PASSWORDV2><PASSWORDV2/><PASSWORDV2>\n</PASSWORDV2>"
       "<FORENAME>short</FORENAME><USERDATA><PASSWORDV2>nested</PASSWORDV2></USERDATA></USER>")
          .c_str()));
  ASSERT_TRUE(user);
  ASSERT_EQ(HashPlainTextPasswords(user.get()), 0);
  const XMLNode* c = user->firstChild;
  ASSERT_TRUE(c->value);
  EXPECT_EQ(c->value->size(), kBcryptHashLength);  // 32 characters: a plain password
  EXPECT_EQ(CheckPasswordHash(plain32.c_str(), c->value->c_str()), 0);
  c = c->nextSibling;
  EXPECT_EQ(c->value.value_or(""), long33);  // 33: taken as a hash
  c = c->nextSibling;
  EXPECT_EQ(c->value.value_or(""), "00000000");  // no password: stays
  c = c->nextSibling;
  EXPECT_FALSE(c->value.has_value());  // no text: stays
  c = c->nextSibling;
  EXPECT_EQ(c->value.value_or("<none>"), "");  // empty text: stays
  c = c->nextSibling;
  EXPECT_EQ(c->value.value_or(""), "short");  // not a password
  EXPECT_EQ(c->nextSibling->firstChild->value.value_or(""), "nested");  // children only
  EXPECT_EQ(HashPlainTextPasswords(nullptr), 0);
}

// ---- One user whole ----------------------------------------------------------------------

// Elements nested `depth` deep: below USERDATA the users files hold 250 levels.
std::string Nested(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<a>";
  for (int i = 0; i < depth; ++i) text += "</a>";
  return text;
}

// A text for SetUserXML: the UID element only when `uid` is given.
std::string UserText(const char* name, const char* uid, const char* extra = "") {
  std::string text = "<USER>";
  if (uid) text += std::string("<UID>") + uid + "</UID>";
  text += std::string("<USERNAME>") + name + "</USERNAME><ADUSER>0</ADUSER><LEVEL>0</LEVEL>" + extra +
          "<SURNAME>Builder</SURNAME>"
          "<USERDATA><Live><Torvane><DefaultEnvironment>Prod</DefaultEnvironment></Torvane></Live></USERDATA></USER>";
  return text;
}

TEST_F(UsersXmlExchangeTest, SetUserXMLTable) {
  constexpr UID kAnyNewUID = 1;  // the row expects a fresh UID
  struct Case {
    const char* label;
    const char* name;
    std::string text;
    int code;
    UID uid;  // of the user afterwards; 0: disk and memory must be as before
  } cases[] = {
      {"other existing user", "bob", UserText("carol", "00001003"), FR_INVALID_PARAMETER, 0},
      {"other new user", "bob", UserText("robert", nullptr), FR_INVALID_PARAMETER, 0},
      {"not a USER element", "bob", "<USERDATA><Live/></USERDATA>", FR_INVALID_PARAMETER, 0},
      {"no USERNAME", "bob", "<USER><UID>00001001</UID></USER>", FR_INVALID_PARAMETER, 0},
      {"malformed", "bob", "<USER><USERNAME>bob</USERNAME>", FR_XML_ERROR, 0},
      {"empty text", "bob", "", FR_INVALID_PARAMETER, 0},
      {"another user's UID", "bob", UserText("bob", "00001003"), FR_INVALID_PARAMETER, 0},
      {"a built-in group's UID", "dave", UserText("dave", "EE6B2801"), FR_INVALID_PARAMETER, 0},
      {"the configuration root's UID", "bob", UserText("bob", "EE6B2804"), FR_INVALID_PARAMETER, 0},
      {"an absent built-in account's UID", "dave", UserText("dave", "EE6B2806"), FR_INVALID_PARAMETER, 0},
      {"settings too deep for the files", "bob",
       "<USER><USERNAME>bob</USERNAME><USERDATA>" + Nested(252) + "</USERDATA></USER>", FR_INVALID_PARAMETER, 0},
      {"UID from the text", "bob", UserText("bob", "00002001"), 0, 0x2001},
      {"new UID without one", "bob", UserText("bob", nullptr), 0, kAnyNewUID},
      {"name in other case", "BOB", UserText("bob", "00001001"), 0, kBobUID},
      {"built-in account", "administrator", UserText("administrator", "EE6B2802"), 0, kAdminUID},
      {"built-in account without a UID", "default_user", UserText("default_user", nullptr), 0, kAnyNewUID},
      {"new user", "dave", UserText("dave", "00003000"), 0, 0x3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    const auto disk = Disk();
    const std::string memory = Memory();
    EXPECT_EQ(SetUserXML(c.name, c.text.c_str()), c.code);
    if (c.uid == 0) {
      EXPECT_EQ(Disk(), disk);
      EXPECT_EQ(Memory(), memory);
      continue;
    }
    const UserStruct* user = FindUser(c.name);
    ASSERT_NE(user, nullptr);
    if (c.uid == kAnyNewUID) {
      EXPECT_NE(user->header.uid, kNoUID);
      EXPECT_NE(user->header.uid, kBobUID);
      EXPECT_LT(user->header.uid, kUIDEveryoneGroup);  // an ordinary UID, not a built-in one
    } else {
      EXPECT_EQ(user->header.uid, c.uid);
    }
    EXPECT_EQ(user->SURNAME.value_or(""), "Builder");
    EXPECT_FALSE(user->FORENAME.has_value());  // nothing of the old record stays
    EXPECT_TRUE(user->fields.empty());
    EXPECT_EQ(user->LEVEL, 0u);
    ExpectConsistent(user->USERNAME->c_str());
    const std::string stored = *user->USERNAME;
    LoadAgain();
    EXPECT_EQ(GetUserCount(), std::string(c.name) == "dave" ? 5 : 4);
    EXPECT_EQ(Setting(stored.c_str(), "DefaultEnvironment"), "Prod");
  }
}

TEST_F(UsersXmlExchangeTest, SetUserXMLAnotherUsersUIDReloadsTheOldUser) {
  const auto disk = Disk();
  EXPECT_EQ(SetUserXML("bob", UserText("bob", "00001003").c_str()), FR_INVALID_PARAMETER);
  EXPECT_EQ(Disk(), disk);
  ASSERT_NE(FindUser("bob"), nullptr);
  EXPECT_EQ(FindUser("bob")->header.uid, kBobUID);
  EXPECT_EQ(FindUser("bob")->FORENAME.value_or(""), "Bob");
  EXPECT_EQ(FindUser("carol")->header.uid, 0x1003u);
  ExpectConsistent("bob");
}

// Refusals that the text decides come before anything changes, so they
// need no reload: a change held only in memory (a save that failed) stays.
TEST_F(UsersXmlExchangeTest, RefusalsTheTextDecidesDoNotReload) {
  FindUser("carol")->EMAIL = "unsaved@x";
  const auto disk = Disk();
  EXPECT_EQ(SetUserXML("bob", UserText("bob", "00001003").c_str()), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetUserXML("dave", UserText("dave", "00001001").c_str()), FR_INVALID_PARAMETER);
  EXPECT_EQ(UpdateUserXML("bob", "<USER><UID>00001003</UID><USERNAME>bob</USERNAME></USER>"), FR_UID_MISMATCH);
  EXPECT_EQ(Disk(), disk);
  EXPECT_EQ(FindUser("carol")->EMAIL.value_or(""), "unsaved@x");
  EXPECT_EQ(FindUser("dave"), nullptr);
  ExpectConsistent("bob");
}

TEST_F(UsersXmlExchangeTest, SetUserXMLTextWithoutSettingsMakesNoSecondNode) {
  ASSERT_EQ(SetUserXML("carol", "<USER><UID>00001003</UID><USERNAME>carol</USERNAME><LEVEL>512</LEVEL></USER>"), 0);
  EXPECT_EQ(FindUser("carol")->LEVEL, 512u);
  ExpectConsistent("carol");
  EXPECT_EQ(Setting("carol", "DefaultEnvironment"), "<code 19>");  // the login section is there, empty
  EXPECT_EQ(GetUserCount(), 4);
  EXPECT_EQ(RootChildren(), 4);
}

TEST_F(UsersXmlExchangeTest, SetUserXMLHashesAPlainPasswordButKeepsTheNoPasswordMarker) {
  ASSERT_EQ(SetUserXML("carol", UserText("carol", "00001003", "<PASSWORDV2>secret</PASSWORDV2>").c_str()), 0);
  const UserStruct* carol = FindUser("carol");
  ASSERT_TRUE(carol->PASSWORDV2);
  EXPECT_EQ(CheckPasswordHash("secret", carol->PASSWORDV2->c_str()), 0);
  EXPECT_EQ(ReadWholeFile(home.File("users/00001003.xml")).find("secret"), std::string::npos);

  // default_user's own document sent back: the no-password marker stays, so
  // no later user inherits a password.
  int rc = -1;
  const std::string echoed = GetUserXML("default_user", &rc).value_or("");
  const auto before = ReadWholeFile(home.File("users/EE6B2807.xml"));
  ASSERT_EQ(SetUserXML("default_user", echoed.c_str()), 0);
  EXPECT_EQ(FindUser("default_user")->PASSWORDV2.value_or(""), "00000000");
  EXPECT_EQ(ReadWholeFile(home.File("users/EE6B2807.xml")), before);
}

// ---- Main fields -------------------------------------------------------------------------

const char kBobUpdate[] =
    "<USER><USERNAME>Bob</USERNAME>"
    "<PASSWORDV2>HASH-NEW-0123456789-0123456789-0123456789</PASSWORDV2>"
    "<ADUSER>0</ADUSER><LEVEL>512</LEVEL><EMAIL>bob@example.com</EMAIL></USER>";

TEST_F(UsersXmlExchangeTest, UpdateUserXMLReplacesMainFieldsAndKeepsTheRest) {
  ASSERT_EQ(UpdateUserXML("bob", kBobUpdate), 0);
  const UserStruct* bob = FindUser("bob");
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(*bob->USERNAME, "Bob");  // letter case as sent
  EXPECT_EQ(bob->header.uid, kBobUID);
  EXPECT_EQ(bob->LEVEL, 512u);
  EXPECT_EQ(bob->EMAIL.value_or(""), "bob@example.com");
  EXPECT_EQ(bob->PASSWORDV2.value_or(""), "HASH-NEW-0123456789-0123456789-0123456789");
  EXPECT_FALSE(bob->FORENAME.has_value());  // a main field the text does not give is cleared
  ASSERT_EQ(bob->fields.size(), 1u);         // the fields and the settings stay
  EXPECT_EQ(bob->fields[0].value.value_or(""), "Sales");
  EXPECT_EQ(Setting("bob", "DefaultEnvironment"), "Test");
  // The node keeps, once each, what the lookups by name read; the record
  // holds the rest.
  const XMLNode* node = FindXMLUserNode("bob");
  for (const char* name : {"USERNAME", "ADUSER", "USERDATA"}) EXPECT_EQ(ChildrenNamed(node, name), 1) << name;
  for (const char* name : {"UID", "PASSWORDV2", "LEVEL", "EMAIL", "FORENAME", "FIELD"}) {
    EXPECT_EQ(ChildrenNamed(node, name), 0) << name;
  }
  ExpectConsistent("Bob");
  LoadAgain();
  EXPECT_EQ(FindUser("bob")->LEVEL, 512u);
  EXPECT_EQ(Setting("bob", "DefaultEnvironment"), "Test");
}

TEST_F(UsersXmlExchangeTest, UpdateUserXMLFields) {
  // A field given to the record directly (as a block update does) stays
  // when the text brings no FIELD ...
  UserStruct* bob = FindUser("bob");
  ASSERT_EQ(AddUserField(bob, "Room", "12"), 0);
  ASSERT_EQ(SaveUsers(home.path.c_str(), "bob"), 0);
  ASSERT_EQ(UpdateUserXML("bob", kBobUpdate), 0);
  bob = FindUser("bob");
  ASSERT_EQ(bob->fields.size(), 2u);
  EXPECT_EQ(bob->fields[1].value.value_or(""), "12");
  // ... and the text's FIELD elements replace them all.
  ASSERT_EQ(UpdateUserXML("bob", "<USER><USERNAME>bob</USERNAME><FIELD NAME=\"Room\">14</FIELD>"
                                 "<FIELD NAME=\"Desk\">3</FIELD></USER>"),
            0);
  bob = FindUser("bob");
  ASSERT_EQ(bob->fields.size(), 2u);
  EXPECT_EQ(*bob->fields[0].name, "Desk");
  EXPECT_EQ(bob->fields[1].value.value_or(""), "14");
  ExpectConsistent("bob");
}

TEST_F(UsersXmlExchangeTest, UpdateUserXMLWithItsOwnSettingsReplacesThem) {
  ASSERT_EQ(UpdateUserXML("bob", "<USER><USERNAME>bob</USERNAME><USERDATA><Live><Torvane>"
                                 "<DefaultEnvironment>Prod</DefaultEnvironment></Torvane></Live></USERDATA></USER>"),
            0);
  ExpectConsistent("bob");  // one USERDATA, the one the record links
  EXPECT_EQ(Setting("bob", "DefaultEnvironment"), "Prod");
  // A settings write now lands in the settings that are written.
  ASSERT_EQ(SetUserSetting("bob", "Live", "Torvane", "DefaultEnvironment", "Live"), 0);
  LoadAgain();
  EXPECT_EQ(Setting("bob", "DefaultEnvironment"), "Live");
}

TEST_F(UsersXmlExchangeTest, UpdateUserXMLRefusals) {
  struct Case {
    const char* label;
    const char* name;
    const char* text;
    int code;
  } cases[] = {
      {"another UID (reloads)", "bob", "<USER><UID>00001003</UID><USERNAME>bob</USERNAME></USER>", FR_UID_MISMATCH},
      {"another user's name", "bob", "<USER><USERNAME>carol</USERNAME></USER>", FR_INVALID_PARAMETER},
      {"no USERNAME", "bob", "<USER><LEVEL>5</LEVEL></USER>", FR_INVALID_PARAMETER},
      {"malformed", "bob", "<USER><USERNAME>bob</USERNAME>", FR_XML_ERROR},
      {"no such user", "nobody", "<USER><USERNAME>nobody</USERNAME></USER>", FR_USER_NOT_FOUND},
      {"empty name", "", kBobUpdate, FR_INVALID_PARAMETER},
      {"null text", "bob", nullptr, FR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    const auto disk = Disk();
    const std::string memory = Memory();
    EXPECT_EQ(UpdateUserXML(c.name, c.text), c.code);
    EXPECT_EQ(Disk(), disk);
    EXPECT_EQ(Memory(), memory);
  }
}

TEST_F(UsersXmlExchangeTest, UpdateUserXMLChecksTheRecordBeforeTouchingTheNode) {
  // carol's record goes, her node stays (a delete without its node).
  ASSERT_EQ(DeleteUser("carol", false), 0);
  const XMLNode* node = FindXMLUserNode("carol");
  ASSERT_NE(node, nullptr);
  int before = 0;
  for (const XMLNode* c = node->firstChild; c; c = c->nextSibling) ++before;
  EXPECT_EQ(UpdateUserXML("carol", "<USER><USERNAME>carol</USERNAME><LEVEL>5</LEVEL></USER>"), FR_USER_NOT_FOUND);
  EXPECT_EQ(ReplaceUserDataXML("carol", "<USERDATA><Live/></USERDATA>"), FR_USER_NOT_FOUND);
  int after = 0;
  for (const XMLNode* c = node->firstChild; c; c = c->nextSibling) ++after;
  EXPECT_EQ(after, before);
  EXPECT_NE(FindXMLChildNode(node, "USERNAME"), nullptr);
  EXPECT_NE(FindXMLChildNode(node, "USERDATA"), nullptr);
}

// ---- Settings ----------------------------------------------------------------------------

const char kNewSettings[] =
    "<USERDATA><Live><Torvane><DefaultEnvironment>Prod</DefaultEnvironment></Torvane></Live></USERDATA>";

TEST_F(UsersXmlExchangeTest, SetUserDataXMLRelinksTheSettingsOnly) {
  // The record changed directly (a password change, a block update): the
  // node's main-field children are older and must not come back.
  UserStruct* bob = FindUser("bob");
  bob->PASSWORDV2 = "HASH-CHANGED-0123456789-0123456789-0123456";
  bob->LEVEL = kUserLevelAdministrator;
  ASSERT_EQ(SaveUsers(home.path.c_str(), "bob"), 0);
  ASSERT_EQ(SetUserDataXML("bob", kNewSettings), 0);
  bob = FindUser("bob");
  EXPECT_EQ(bob->PASSWORDV2.value_or(""), "HASH-CHANGED-0123456789-0123456789-0123456");
  EXPECT_EQ(bob->LEVEL, kUserLevelAdministrator);
  EXPECT_EQ(Setting("bob", "DefaultEnvironment"), "Prod");
  ExpectConsistent("bob");
  EXPECT_EQ(ReadWholeFile(home.File("users/00001001.xml")),
            "<USER>\n<UID>00001001</UID>\n<USERNAME>bob</USERNAME>\n"
            "<PASSWORDV2>HASH-CHANGED-0123456789-0123456789-0123456</PASSWORDV2>\n"
            "<ADUSER>0</ADUSER>\n<LEVEL>32768</LEVEL>\n<FORENAME>Bob</FORENAME>\n"
            "<FIELD NAME=\"Dept\">Sales</FIELD>\n"
            "<USERDATA>\n<Live>\n<Torvane>\n<DefaultEnvironment>Prod\n</DefaultEnvironment>\n</Torvane>\n</Live>\n"
            "</USERDATA>\n</USER>\n");
}

TEST_F(UsersXmlExchangeTest, SetUserDataXMLOnAUserAddedByAClientKeepsItsRecord) {
  ASSERT_GE(AddUserFromClient("erin", 0x4000), 0);
  FindUser("erin")->LEVEL = 512;
  ASSERT_EQ(SetUserDataXML("erin", kNewSettings), 0);
  const UserStruct* erin = FindUser("erin");
  EXPECT_EQ(erin->LEVEL, 512u);
  EXPECT_EQ(erin->PASSWORDV2.value_or(""), "00000000");  // default_user's, copied at the add
  EXPECT_EQ(Setting("erin", "DefaultEnvironment"), "Prod");
  ExpectConsistent("erin");
}

// A plain AddUser record shares default_user's settings link until it gets
// a node of its own; every change that removes default_user's settings node
// clears that link instead of leaving it pointing into freed nodes, and the
// record's first save gives it a node from the new template.
TEST_F(UsersXmlExchangeTest, RemovingDefaultUsersSettingsClearsASharedLink) {
  struct Case {
    const char* name;
    int (*change)();
  };
  const Case cases[] = {
      {"SetUserDataXML", [] { return SetUserDataXML("default_user", kNewSettings); }},
      {"ReplaceUserDataXML", [] { return ReplaceUserDataXML("default_user", kNewSettings); }},
      {"UpdateUserXML",
       [] {
         return UpdateUserXML("default_user",
                              (std::string("<USER><USERNAME>default_user</USERNAME>") + kNewSettings + "</USER>").c_str());
       }},
      {"SetUserXML", [] {
         return SetUserXML("default_user", (std::string("<USER><UID>EE6B2807</UID><USERNAME>default_user</USERNAME>") +
                                            kNewSettings + "</USER>")
                                               .c_str());
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoadAgain();
    ASSERT_GE(AddUser("erin", 0), 0);
    ASSERT_EQ(FindUser("erin")->USERDATA, FindUser("default_user")->USERDATA);
    ASSERT_EQ(c.change(), 0);
    EXPECT_EQ(FindUser("erin")->USERDATA, nullptr);
    EXPECT_EQ(Setting("erin", "DefaultEnvironment"), "<code 6>");  // no node of its own yet
    ASSERT_EQ(SaveUsers(home.path.c_str(), "erin"), 0);
    EXPECT_EQ(Setting("erin", "DefaultEnvironment"), "Prod");
    ExpectConsistent("erin");
    ASSERT_EQ(DeleteUserAndNode("erin", false), 0);
    ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
  }
}

TEST_F(UsersXmlExchangeTest, ReplaceUserDataXMLDoesNotSave) {
  const auto disk = Disk();
  ASSERT_EQ(ReplaceUserDataXML("bob", kNewSettings), 0);
  EXPECT_EQ(Setting("bob", "DefaultEnvironment"), "Prod");
  EXPECT_EQ(Disk(), disk);
}

TEST_F(UsersXmlExchangeTest, SetUserDataXMLRefusalsChangeNothing) {
  struct Case {
    const char* label;
    const char* name;
    const char* text;
    int code;
  } cases[] = {
      {"not USERDATA", "bob", "<Live><Torvane/></Live>", FR_INVALID_PARAMETER},
      {"malformed", "bob", "<USERDATA><Live>", FR_XML_ERROR},
      {"too deep for the files", "bob", nullptr, FR_INVALID_PARAMETER},
      {"no such user", "nobody", kNewSettings, FR_USER_NOT_FOUND},
      {"empty text", "bob", "", FR_INVALID_PARAMETER},
      {"null name", nullptr, kNewSettings, FR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SetUp();
    const auto disk = Disk();
    const std::string memory = Memory();
    const std::string deep = std::string("<USERDATA>") + Nested(251) + "</USERDATA>";
    EXPECT_EQ(SetUserDataXML(c.name, c.text ? c.text : deep.c_str()), c.code);
    EXPECT_EQ(Disk(), disk);
    EXPECT_EQ(Memory(), memory);
  }
}

// ---- The whole store ---------------------------------------------------------------------

TEST_F(UsersXmlExchangeTest, SetUsersXMLReplacesEveryUser) {
  const std::string text =
      "<?xml version=\"1.0\"?>\n<USERS>\n"
      "<USER>\n<USERNAME>alice</USERNAME>\n<PASSWORDV2>short</PASSWORDV2>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
      "</USER>\n"
      "<USER>\n<UID>00003000</UID>\n<USERNAME>zed</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n</USER>\n"
      "</USERS>";
  ASSERT_EQ(SetUsersXML(text.c_str()), 0);
  EXPECT_EQ(ReadWholeFile(home.File("users.xml")), text);
  EXPECT_EQ(ReadWholeFile(home.File("users.xml.old")), kOldUsersXml);
  ASSERT_EQ(GetUserCount(), 2);
  const UserStruct* alice = FindUser("alice");
  ASSERT_NE(alice, nullptr);
  EXPECT_NE(alice->header.uid, kNoUID);
  EXPECT_EQ(alice->PASSWORDV2.value_or(""), "short");  // taken verbatim here
  EXPECT_EQ(FindUser("bob"), nullptr);
  char line[64];
  snprintf(line, sizeof line, "<USER uid=\"%08X\" name=\"alice\"/>\n", alice->header.uid);
  EXPECT_EQ(ReadWholeFile(home.File("userlist.xml")),
            std::string("<?xml version=\"1.0\"?>\n<USERLIST>\n") + line +
                "<USER uid=\"00003000\" name=\"zed\"/>\n</USERLIST>");
  ExpectConsistent("alice");
  ExpectConsistent("zed");
  LoadAgain();
  EXPECT_EQ(GetUserCount(), 2);
}

TEST_F(UsersXmlExchangeTest, SetUsersXMLMalformedTextReloads) {
  const auto disk = Disk();
  const std::string memory = Memory();
  const char bad[] = "<?xml version=\"1.0\"?>\n<USERS>\n<USER><USERNAME>alice</USERNAME>\n</USERS>";
  EXPECT_EQ(SetUsersXML(bad), FR_FAILED);
  EXPECT_EQ(ReadWholeFile(home.File("users.xml")), bad);  // the rejected text stays
  EXPECT_EQ(ReadWholeFile(home.File("users.xml.old")), kOldUsersXml);
  EXPECT_EQ(Memory(), memory);  // reloaded from the version-2 files
  auto now = Disk();
  now.erase(home.File("users.xml"));
  now.erase(home.File("users.xml.old"));
  auto was = disk;
  was.erase(home.File("users.xml"));
  EXPECT_EQ(now, was);
}

TEST_F(UsersXmlExchangeTest, SetUsersXMLBadUserFailsTheWholeText) {
  const std::string memory = Memory();
  const char text[] =
      "<?xml version=\"1.0\"?>\n<USERS>\n<USER><USERNAME>alice</USERNAME></USER>\n"
      "<USER><USERNAME>bad;name</USERNAME></USER>\n</USERS>";
  EXPECT_EQ(SetUsersXML(text), FR_INVALID_PARAMETER);
  EXPECT_EQ(Memory(), memory);
  EXPECT_EQ(FindUser("alice"), nullptr);
  // A user at the UID of a built-in object other than its own account.
  EXPECT_EQ(SetUsersXML("<USERS><USER><UID>EE6B2802</UID><USERNAME>administrator</USERNAME></USER>"
                        "<USER><UID>EE6B2800</UID><USERNAME>alice</USERNAME></USER></USERS>"),
            FR_INVALID_PARAMETER);
  EXPECT_EQ(Memory(), memory);
}

TEST_F(UsersXmlExchangeTest, SetUsersXMLFileFailures) {
  const std::string memory = Memory();
  EXPECT_EQ(SetUsersXML(""), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetUsersXML(nullptr), FR_INVALID_PARAMETER);

  // The write fails after the backup was made: the old users file stays.
  SetAtomicWriteFailAfter(static_cast<long>(sizeof kOldUsersXml - 1));
  EXPECT_EQ(SetUsersXML("<?xml version=\"1.0\"?>\n<USERS>\n<USER><USERNAME>alice</USERNAME></USER>\n</USERS>"),
            FR_WRITE_FAILED);
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(ReadWholeFile(home.File("users.xml")), kOldUsersXml);
  EXPECT_EQ(Memory(), memory);

  // No users file to back up.
  std::filesystem::remove(home.File("users.xml"));
  EXPECT_EQ(SetUsersXML("<USERS/>"), FR_CANNOT_OPEN_FILE);
  EXPECT_EQ(Memory(), memory);
}

// ---- Hostile client text ---------------------------------------------------------------

// A USERNAME given twice: the conversion takes the later, and the node must
// not keep answering to the earlier, or deleting that other user would take
// this user's node along (and leave its record's link dangling).
TEST_F(UsersXmlExchangeTest, ANameGivenTwiceLeavesTheNodeAnsweringToOneName) {
  ASSERT_EQ(UpdateUserXML("carol", "<USER><USERNAME>bob</USERNAME><USERNAME>carol</USERNAME></USER>"), 0);
  ASSERT_EQ(SetUserXML("dave", "<USER><USERNAME>bob</USERNAME><USERNAME>dave</USERNAME>"
                               "<FORENAME>x</FORENAME><FORENAME>Dave</FORENAME></USER>"),
            0);
  EXPECT_EQ(FindUser("dave")->FORENAME.value_or(""), "Dave");
  for (const char* name : {"carol", "dave"}) {
    const XMLNode* node = FindXMLUserNode(name);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(ChildrenNamed(node, "USERNAME"), 1) << name;
  }
  EXPECT_EQ(ChildrenNamed(FindXMLUserNode("dave"), "FORENAME"), 0);  // the record holds it
  ASSERT_EQ(DeleteUserAndNode("bob", false), 0);
  EXPECT_EQ(FindXMLUserNode("bob"), nullptr);
  for (const char* name : {"carol", "dave"}) {
    const XMLNode* node = FindXMLUserNode(name);
    ASSERT_NE(node, nullptr) << name;
    ASSERT_EQ(FindUser(name)->USERDATA, FindXMLChildNode(node, "USERDATA")) << name;
    ExpectConsistent(name);
  }
}

// Texts with very many children apply whole: fields in reverse order end
// sorted, USERDATA elements between other elements leave one (the last), and
// of several plain passwords only the last counts. (How the cost grows with
// the size is for a benchmark program, not for a test.)
TEST_F(UsersXmlExchangeTest, LargeClientTextsApplyWhole) {
  std::string fields = "<USER><USERNAME>bob</USERNAME>";
  for (int i = 20000; i > 0; --i) fields += "<FIELD NAME=\"f" + std::to_string(i) + "\">v</FIELD>";
  fields += "</USER>";
  ASSERT_EQ(SetUserXML("bob", fields.c_str()), 0);
  ASSERT_EQ(FindUser("bob")->fields.size(), 20000u);
  EXPECT_EQ(*FindUser("bob")->fields.front().name, "f1");
  EXPECT_EQ(*FindUser("bob")->fields.back().name, "f9999");  // sorted as names, not as numbers
  ExpectConsistent("bob");

  std::string data = "<USER><USERNAME>carol</USERNAME>";
  for (int i = 0; i < 20000; ++i) data += "<X/><USERDATA/>";
  data += "<USERDATA><Live><Torvane/></Live></USERDATA></USER>";
  ASSERT_EQ(UpdateUserXML("carol", data.c_str()), 0);
  EXPECT_EQ(ChildrenNamed(FindXMLUserNode("carol"), "USERDATA"), 1);
  ExpectConsistent("carol");

  std::string passwords = "<USER><USERNAME>dave</USERNAME>";
  for (int i = 0; i < 3; ++i) passwords += "<PASSWORDV2>old" + std::to_string(i) + "</PASSWORDV2>";
  passwords += "<PASSWORDV2>secret</PASSWORDV2></USER>";
  ASSERT_EQ(SetUserXML("dave", passwords.c_str()), 0);
  EXPECT_EQ(CheckPasswordHash("secret", FindUser("dave")->PASSWORDV2.value_or("").c_str()), 0);
  EXPECT_EQ(ChildrenNamed(FindXMLUserNode("dave"), "PASSWORDV2"), 0);  // the record holds it
}

}  // namespace
