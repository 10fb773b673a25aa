// Tests of the users tree and the users files: the USER element and the user
// list against texts written by hand from the line table, the version-1 to
// version-2 upgrade and reload, the version-2 failure table, atomic and
// refused saves after failed or partial loads, the FIELD read-back, and
// users added and deleted together with their nodes.
#include "directory/users_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "directory/groups.h"
#include "directory/user_blocks.h"
#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "directory/users_tree.h"
#include "directory/users_xml_exchange.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/xml/xml_tree.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

void ResetAll() {
  ResetDirectoryState();
}

class UsersFilesTest : public ::testing::Test {
 protected:
  TempDir home;
  void SetUp() override {
    ResetAll();
    ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(CountUserNodeNameFaults(), 0u) << "the table of USER nodes by name is out of step with the tree";
    ResetAll();
  }

  std::string UserFile(UID uid) const { return UserFilePath(home.path, uid); }
  std::string ListText() const { return ReadWholeFile(home.File("userlist.xml")); }
  void WriteList(const std::string& text) { WriteWholeFile(home.File("userlist.xml"), text); }
  void WriteUserFile(UID uid, const std::string& text) {
    std::filesystem::create_directories(home.File("users"));
    WriteWholeFile(UserFile(uid), text);
  }
  // Every user's element as the writer gives it, in array order.
  static std::vector<std::string> Snapshot() {
    std::vector<std::string> out;
    for (int i = 0; i < GetUserCount(); ++i) {
      std::string text;
      EXPECT_EQ(AppendUserXML(GetUserByIndex(i), text), 0);
      out.push_back(text);
    }
    return out;
  }
};

// A per-user file with the login section only.
std::string SimpleUser(UID uid, const std::string& name) {
  char hex[9];
  snprintf(hex, sizeof hex, "%08X", uid);
  return "<USER>\n<UID>" + std::string(hex) + "</UID>\n<USERNAME>" + name +
         "</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
         "<USERDATA>\n<Live>\n<Torvane>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";
}

std::string ListOf(const std::vector<std::pair<UID, std::string>>& users) {
  std::string text = "<?xml version=\"1.0\"?>\n<USERLIST>\n";
  for (const auto& [uid, name] : users) {
    char line[128];
    snprintf(line, sizeof line, "<USER uid=\"%08X\" name=\"%s\"/>\n", uid, name.c_str());
    text += line;
  }
  return text + "</USERLIST>";
}

// ---- Writer bytes -------------------------------------------------------------------

// One user with every optional line, written by hand from the line table.
TEST_F(UsersFilesTest, UserElementMatchesTheLineTable) {
  ASSERT_GE(AddUserFromClient("a&b", 0xABCD), 0);
  UserStruct* u = FindUser("a&b");
  ASSERT_NE(u, nullptr);
  u->PASSWORD = 0x1234ABCD;
  u->PASSWORDV2 = "$2b$12$ab&cd<ef>";  // escaped like every other text
  u->LEVEL = 32768;
  u->FORENAME = "Ann";
  u->SURNAME = "B<c>";
  u->EMAIL = "a@b.example";
  u->GROUPLIST = "Everyone;Staff";
  ASSERT_EQ(AddUserField(u, "Dept", "R&D"), 0);
  ASSERT_EQ(AddUserField(u, "A\"q", "x"), 0);
  const char settings[] =
      "<Live><Torvane><Opt kind=\"x &amp; &quot;y&quot;\" n=\"1\" ws=\"a&#9;b&#10;c\">v&lt;</Opt></Torvane></Live>";
  ASSERT_EQ(ParseTextIntoUsersTree(settings, sizeof settings - 1, u->USERDATA), 0);

  const std::string expected =
      "<USER>\n"
      "<UID>0000ABCD</UID>\n"
      "<USERNAME>a&#038;b</USERNAME>\n"
      "<PASSWORD>1234ABCD</PASSWORD>\n"
      "<PASSWORDV2>$2b$12$ab&#038;cd&#060;ef&#062;</PASSWORDV2>\n"
      "<ADUSER>0</ADUSER>\n"
      "<LEVEL>32768</LEVEL>\n"
      "<FORENAME>Ann</FORENAME>\n"
      "<SURNAME>B&#060;c&#062;</SURNAME>\n"
      "<EMAIL>a@b.example</EMAIL>\n"
      "<GROUPLIST>Everyone;Staff</GROUPLIST>\n"
      "<FIELD NAME=\"A&#034;q\">x</FIELD>\n"
      "<FIELD NAME=\"Dept\">R&#038;D</FIELD>\n"
      "<USERDATA>\n"
      "<Live>\n"
      "<Torvane>\n"
      "<Opt kind=\"x &#038; &#034;y&#034;\" n=\"1\" ws=\"a&#009;b&#010;c\">v&#060;\n"
      "</Opt>\n"
      "</Torvane>\n"
      "</Live>\n"
      "</USERDATA>\n"
      "</USER>\n";
  std::string text;
  ASSERT_EQ(AppendUserXML(u, text), 0);
  EXPECT_EQ(text, expected);

  // The save writes exactly that as the per-user file, and the list line.
  ASSERT_EQ(SaveUsers(home.path.c_str(), "a&b"), 0);
  EXPECT_EQ(ReadWholeFile(UserFile(0xABCD)), expected);
  EXPECT_EQ(ListText(),
            "<?xml version=\"1.0\"?>\n<USERLIST>\n<USER uid=\"0000ABCD\" name=\"a&#038;b\"/>\n</USERLIST>");

  // Read back, the record is the same (name, field with a quote, settings).
  std::vector<std::string> before = Snapshot();
  ResetUserStore();
  ResetUsersFiles();
  ResetNodeRegistry();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  EXPECT_EQ(Snapshot(), before);
  ASSERT_NE(FindUser("a&b"), nullptr);
  EXPECT_EQ(FindUser("a&b")->LEVEL, 32768u);
  EXPECT_EQ(FindUser("a&b")->PASSWORDV2.value_or(""), "$2b$12$ab&cd<ef>");
}

TEST_F(UsersFilesTest, NoHashesNoOptionalLines) {
  ASSERT_GE(AddUserFromClient("plain", 7), 0);
  UserStruct* u = FindUser("plain");
  u->FORENAME = "";  // present but empty: written, and reads back as absent
  std::string text;
  ASSERT_EQ(AppendUserXML(u, text), 0);
  EXPECT_EQ(text,
            "<USER>\n<UID>00000007</UID>\n<USERNAME>plain</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
            "<FORENAME></FORENAME>\n<USERDATA>\n</USERDATA>\n</USER>\n");
}

// Nodes and texts that would make the file unreadable are refused (2) and
// the file on disk stays as it was.
TEST_F(UsersFilesTest, UnwritableRecordsAreRefusedAndTheFileKept) {
  ASSERT_GE(AddUserFromClient("bob", 0x10), 0);
  ASSERT_EQ(SaveUsers(home.path.c_str(), "bob"), 0);
  const std::string file = ReadWholeFile(UserFile(0x10));
  const std::string list = ListText();

  UserStruct* u = FindUser("bob");
  XMLNode* nameless = AddXMLChildNode(u->USERDATA);  // a node without a name
  EXPECT_EQ(SaveUsers(home.path.c_str(), "bob"), 2);
  DeleteXMLNode(nameless);

  XMLNode* bad = AddXMLChildNode(u->USERDATA);
  bad->name = "bad name";
  EXPECT_EQ(SaveUsers(home.path.c_str(), "bob"), 2);
  bad->name = "ok";
  bad->value = std::string("\x01");
  EXPECT_EQ(SaveUsers(home.path.c_str(), "bob"), 2);
  DeleteXMLNode(bad);

  u = FindUser("bob");
  u->FORENAME = std::string("\xFF\xFE");
  EXPECT_EQ(SaveUsers(home.path.c_str(), nullptr), 2);
  EXPECT_EQ(ReadWholeFile(UserFile(0x10)), file);
  EXPECT_EQ(ListText(), list);
}

// ---- Version 1 -> version 2 ---------------------------------------------------------

const char kVersion1[] =
    "<?xml version=\"1.0\"?>\n<USERS>\n"
    "<USER>\n<UID>00000300</UID>\n<USERNAME>zed</USERNAME>\n<PASSWORD>0000BEEF</PASSWORD>\n<ADUSER>0</ADUSER>\n"
    "<LEVEL>512</LEVEL>\n<EMAIL>z@x</EMAIL>\n<FIELD NAME=\"Phone\">123</FIELD>\n<FIELD NAME=\"Room\">4&amp;5</FIELD>\n"
    "<USERDATA>\n<Live>\n<Torvane>\n<DefaultEnvironment>Test</DefaultEnvironment>\n</Torvane>\n</Live>\n"
    "<Test>\n<App a=\"1\">\n<AllowConfiguration>1</AllowConfiguration>\n</App>\n</Test>\n</USERDATA>\n</USER>\n"
    "<USER>\n<UID>00000100</UID>\n<USERNAME>Amy</USERNAME>\n<PASSWORDV2>$2b$12$hash</PASSWORDV2>\n"
    "<ADUSER>1</ADUSER>\n<LEVEL>-1</LEVEL>\n<FORENAME>Amy\n\n</FORENAME>\n</USER>\n"
    "<USER>\n<UID>00000200</UID>\n<USERNAME>mid</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>32768</LEVEL>\n"
    "<GROUPLIST>Everyone</GROUPLIST>\n</USER>\n"
    "</USERS>";

TEST_F(UsersFilesTest, Version1UpgradeAndReloadKeepEverything) {
  WriteWholeFile(home.File("users.xml"), kVersion1);
  SetClockOverride(1700000000);
  ASSERT_EQ(ReadUsersXML(home.File("users.xml").c_str()), 0);
  EXPECT_EQ(GetUsersTime(), 1700000000u);
  EXPECT_EQ(GetUsersLoadState(), USERS_LOAD_OK);
  ASSERT_EQ(GetUserCount(), 3);
  ASSERT_EQ(EnsureUserLoginSections(), 0);
  ASSERT_EQ(AssignUserUIDs(), 0);

  const UserStruct* zed = FindUser("zed");
  ASSERT_NE(zed, nullptr);
  ASSERT_EQ(zed->fields.size(), 2u);  // FIELD elements read back
  EXPECT_EQ(*zed->fields[0].name, "Phone");
  EXPECT_EQ(*zed->fields[1].value, "4&5");
  EXPECT_EQ(zed->PASSWORD, 0xBEEFu);
  EXPECT_EQ(FindUser("Amy")->LEVEL, 0xFFFFFFFFu);
  EXPECT_EQ(*FindUser("Amy")->FORENAME, "Amy");  // trailing line feeds dropped

  SetClockOverride(1700000100);
  ASSERT_EQ(WriteUserList(home.path.c_str(), nullptr), 0);
  EXPECT_EQ(GetUsersTime(), 1700000100u);
  EXPECT_EQ(ListText(),
            "<?xml version=\"1.0\"?>\n<USERLIST>\n"
            "<USER uid=\"00000100\" name=\"Amy\"/>\n"
            "<USER uid=\"00000200\" name=\"mid\"/>\n"
            "<USER uid=\"00000300\" name=\"zed\"/>\n"
            "</USERLIST>");
  // Amy had no settings: the save gave her the login section.
  EXPECT_EQ(ReadWholeFile(UserFile(0x100)),
            "<USER>\n<UID>00000100</UID>\n<USERNAME>Amy</USERNAME>\n<PASSWORDV2>$2b$12$hash</PASSWORDV2>\n"
            "<ADUSER>1</ADUSER>\n<LEVEL>-1</LEVEL>\n<FORENAME>Amy</FORENAME>\n"
            "<USERDATA>\n<Live>\n<Torvane>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n");
  const std::vector<std::string> before = Snapshot();

  ASSERT_EQ(FreeUsersData(), 0);
  ResetNodeRegistry();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(GetUsersLoadState(), USERS_LOAD_OK);
  // Every user is registered at its record.
  for (int i = 0; i < GetUserCount(); ++i) {
    EXPECT_EQ(GetNodeByUID(GetUserByIndex(i)->header.uid), &GetUserByIndex(i)->header);
  }
  // ReloadUsers reads and rewrites the same bytes.
  const std::string zedFile = ReadWholeFile(UserFile(0x300));
  ASSERT_EQ(ReloadUsers(), 0);
  EXPECT_EQ(Snapshot(), before);
  EXPECT_EQ(ReadWholeFile(UserFile(0x300)), zedFile);
}

// ---- Version 1 reader edge cases ----------------------------------------------------

TEST_F(UsersFilesTest, Version1ReaderTable) {
  struct Case {
    const char* what;
    std::string text;
    int rc;
    int users;
    UsersLoadState state;
  };
  std::string longFile = std::string(kVersion1);
  const std::vector<Case> cases = {
      {"root without children", "<?xml version=\"1.0\"?>\n<USERS>\n</USERS>", 2, 0, USERS_LOAD_FAILED},
      {"other root", "<USERLIST><USER/></USERLIST>", 2, 0, USERS_LOAD_FAILED},
      {"cut short in the last piece", longFile.substr(0, longFile.size() - 20), -1, 0, USERS_LOAD_FAILED},
      {"not XML", "garbage", -1, 0, USERS_LOAD_FAILED},
      // A bad name no longer loses the users after it.
      {"third user invalid",
       "<USERS><USER><USERNAME>a</USERNAME></USER><USER><USERNAME>b</USERNAME></USER>"
       "<USER><USERNAME> bad</USERNAME></USER><USER><USERNAME>d</USERNAME></USER></USERS>",
       2, 3, USERS_LOAD_PARTIAL},
      {"duplicate UID",
       "<USERS><USER><UID>10</UID><USERNAME>a</USERNAME></USER><USER><UID>10</UID><USERNAME>b</USERNAME></USER></USERS>",
       2, 1, USERS_LOAD_PARTIAL},
      {"duplicate field is skipped",
       "<USERS><USER><USERNAME>a</USERNAME><FIELD NAME=\"f\">1</FIELD><FIELD NAME=\"F\">2</FIELD>"
       "<FIELD>nameless</FIELD></USER></USERS>",
       0, 1, USERS_LOAD_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetUsersFiles();
    ResetUserStore();
    ResetNodeRegistry();
    WriteWholeFile(home.File("users.xml"), c.text);
    EXPECT_EQ(ReadUsersXML(home.File("users.xml").c_str()), c.rc);
    EXPECT_EQ(GetUserCount(), c.users);
    EXPECT_EQ(GetUsersLoadState(), c.state);
  }
  const UserStruct* a = FindUser("a");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->fields.size(), 1u);
  EXPECT_EQ(*a->fields[0].value, "1");
}

// Client text is not skipped over: the first bad user ends the conversion.
TEST_F(UsersFilesTest, ClientTextStopsAtTheFirstBadUser) {
  WriteWholeFile(home.File("users.xml"),
                 "<USERS><USER><USERNAME>a</USERNAME></USER><USER><USERNAME>b</USERNAME></USER>"
                 "<USER><USERNAME>;bad</USERNAME></USER><USER><USERNAME>d</USERNAME></USER></USERS>");
  EXPECT_EQ(ReadUsersXML(home.File("users.xml").c_str(), USERS_CONVERT_CLIENT), 2);
  EXPECT_EQ(GetUserCount(), 2);
  EXPECT_EQ(FindUser("d"), nullptr);
}

// Users in reverse name order (a hand-made or client document) load whole,
// sorted, and each found through the registry at its current address.
TEST_F(UsersFilesTest, UsersInAnyOrderLoadSorted) {
  const int n = 5000;
  std::string text = "<USERS>";
  for (int i = n; i >= 1; --i) text += SimpleUser(static_cast<UID>(0x100 + (i * 7) % n), "u" + std::to_string(100000 + i));
  text += "</USERS>";
  WriteWholeFile(home.File("users.xml"), text);
  ASSERT_EQ(ReadUsersXML(home.File("users.xml").c_str()), 0);
  ASSERT_EQ(GetUserCount(), n);
  for (int i = 0; i < n; ++i) {
    const UserStruct* u = GetUserByIndex(i);
    EXPECT_EQ(*u->USERNAME, "u" + std::to_string(100001 + i));
    EXPECT_EQ(GetNodeByUID(u->header.uid), &u->header);
    ASSERT_NE(u->USERDATA, nullptr);
    EXPECT_EQ(UserNodeOfRecord(u), u->USERDATA->parent);
  }
}

// A name given twice: the later element wins and one node stays.
TEST_F(UsersFilesTest, NameTwiceLeavesOneNode) {
  WriteWholeFile(home.File("users.xml"),
                 "<USERS><USER><UID>5</UID><USERNAME>a</USERNAME><USERDATA><Old/></USERDATA></USER>"
                 "<USER><USERNAME>A</USERNAME><EMAIL>new</EMAIL></USER></USERS>");
  ASSERT_EQ(ReadUsersXML(home.File("users.xml").c_str()), 0);
  ASSERT_EQ(GetUserCount(), 1);
  const UserStruct* a = FindUser("a");
  EXPECT_EQ(*a->EMAIL, "new");
  EXPECT_EQ(a->header.uid, 5u);
  XMLNode* root = GetUsersTreeRoot();
  ASSERT_NE(root->firstChild, nullptr);
  EXPECT_EQ(root->firstChild->nextSibling, nullptr);
  ASSERT_NE(a->USERDATA, nullptr);
  EXPECT_EQ(a->USERDATA->parent, root->firstChild);
  EXPECT_NE(FindXMLChildNode(a->USERDATA, "Old"), nullptr);  // the settings it had
}

// ---- Version 2 failure table --------------------------------------------------------------

TEST_F(UsersFilesTest, Version2FailureTable) {
  struct Case {
    const char* what;
    std::string list;
    std::map<UID, std::string> files;
    int rc;
    int users;
    UsersLoadState state;
  };
  const std::vector<Case> cases = {
      {"all well", ListOf({{1, "a"}, {2, "b"}}), {{1, SimpleUser(1, "a")}, {2, SimpleUser(2, "b")}}, 0, 2,
       USERS_LOAD_OK},
      // A damaged per-user file costs its own user only.
      {"declaration inside a per-user file", ListOf({{1, "a"}, {2, "b"}}),
       {{1, SimpleUser(1, "a")}, {2, "<?xml version=\"1.0\"?>\n" + SimpleUser(2, "b")}}, 0, 1, USERS_LOAD_PARTIAL},
      {"document type in a per-user file", ListOf({{1, "a"}, {2, "b"}}),
       {{1, "<!DOCTYPE USER>" + SimpleUser(1, "a")}, {2, SimpleUser(2, "b")}}, 0, 1, USERS_LOAD_PARTIAL},
      {"per-user file cut short", ListOf({{1, "a"}, {2, "b"}, {3, "c"}}),
       {{1, SimpleUser(1, "a")}, {2, SimpleUser(2, "b").substr(0, 50)}, {3, SimpleUser(3, "c")}}, 0, 2,
       USERS_LOAD_PARTIAL},
      {"two elements in a per-user file", ListOf({{1, "a"}, {2, "b"}}),
       {{1, SimpleUser(1, "a") + SimpleUser(3, "c")}, {2, SimpleUser(2, "b")}}, 0, 1, USERS_LOAD_PARTIAL},
      {"every per-user file damaged", ListOf({{1, "a"}}), {{1, "<USER>"}}, 2, 0, USERS_LOAD_FAILED},
      {"unknown element in the list",
       "<USERLIST><USER uid=\"00000001\"/><ENTRY uid=\"00000002\"/></USERLIST>",
       {{1, SimpleUser(1, "a")}, {2, SimpleUser(2, "b")}}, 0, 1, USERS_LOAD_PARTIAL},
      {"missing file", ListOf({{1, "a"}, {2, "b"}}), {{2, SimpleUser(2, "b")}}, 0, 1, USERS_LOAD_PARTIAL},
      {"empty file", ListOf({{1, "a"}, {2, "b"}}), {{1, ""}, {2, SimpleUser(2, "b")}}, 0, 1, USERS_LOAD_PARTIAL},
      // uid 0 ends the list after its 512-byte piece: here the whole list.
      {"uid 0 in the list", ListOf({{1, "a"}, {0, "zero"}, {2, "b"}}),
       {{1, SimpleUser(1, "a")}, {2, SimpleUser(2, "b")}}, 0, 2, USERS_LOAD_PARTIAL},
      {"uid missing", "<USERLIST><USER name=\"x\"/></USERLIST>", {}, -1, 0, USERS_LOAD_FAILED},
      {"empty list", ListOf({}), {}, -1, 0, USERS_LOAD_FAILED},
      {"no list", "", {}, -1, 0, USERS_LOAD_FAILED},
      {"every user bad", ListOf({{1, "a"}}), {{1, SimpleUser(1, "#a")}}, 2, 0, USERS_LOAD_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetUsersFiles();
    ResetUserStore();
    ResetNodeRegistry();
    std::filesystem::remove_all(home.File("users"));
    std::filesystem::remove(home.File("userlist.xml"));
    if (!c.list.empty()) WriteList(c.list);
    for (const auto& [uid, text] : c.files) WriteUserFile(uid, text);
    EXPECT_EQ(ReadUsersV2(home.path.c_str()), c.rc);
    EXPECT_EQ(GetUserCount(), c.users);
    EXPECT_EQ(GetUsersLoadState(), c.state);
  }
}

// Entries in later 512-byte pieces than a uid-0 entry are not read.
TEST_F(UsersFilesTest, ListReadStopsAfterThePieceOfABadEntry) {
  std::vector<std::pair<UID, std::string>> users = {{1, "a"}, {0, "zero"}};
  for (UID uid = 2; uid < 40; ++uid) users.push_back({uid, "user" + std::to_string(uid)});
  WriteList(ListOf(users));
  bool stopped = false;
  ASSERT_EQ(ReadUserListUIDs(home.path.c_str(), &stopped), 0);
  EXPECT_TRUE(stopped);
  const std::vector<UID>& uids = GetUserListUIDs();
  ASSERT_GT(uids.size(), 2u);
  EXPECT_LT(uids.size(), 39u);
  EXPECT_EQ(uids[0], 1u);
  EXPECT_EQ(uids[1], 2u);
}

// ---- Failed and partial loads ------------------------------------------------------------

TEST_F(UsersFilesTest, FailedLoadRefusesSavesUntilALoadSucceeds) {
  WriteList("<USERLIST><USER name=\"a\"/></USERLIST>");
  WriteUserFile(1, SimpleUser(1, "a"));
  const std::string list = ListText();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), -1);
  // Something is added after the failed load; the save is refused.
  ASSERT_GE(AddUserFromClient("newbie", 0x77), 0);
  EXPECT_EQ(SaveUsers(home.path.c_str(), nullptr), 15);
  EXPECT_EQ(SaveUsers(home.path.c_str(), "newbie"), 15);
  EXPECT_EQ(ListText(), list);
  EXPECT_FALSE(std::filesystem::exists(UserFile(0x77)));

  WriteList(ListOf({{1, "a"}}));
  EXPECT_EQ(ReloadUsers(), 0);
  EXPECT_EQ(GetUsersLoadState(), USERS_LOAD_OK);
  EXPECT_EQ(ListText(), ListOf({{1, "a"}}));
}

TEST_F(UsersFilesTest, PartialLoadKeepsTheOldListAndTheSkippedFiles) {
  // b's file holds a bad name; c's file is missing; d shares a's UID.
  const std::string list = ListOf({{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}});
  WriteList(list);
  WriteUserFile(1, SimpleUser(1, "a"));
  WriteUserFile(2, SimpleUser(2, "+b"));
  WriteUserFile(4, SimpleUser(1, "d"));
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 2);
  EXPECT_EQ(GetUserCount(), 1);
  EXPECT_EQ(GetUsersLoadState(), USERS_LOAD_PARTIAL);
  EXPECT_EQ(FindXMLUserNode("d"), nullptr);  // skipped nodes leave the tree

  ASSERT_EQ(SaveUsers(home.path.c_str(), "a"), 0);
  EXPECT_EQ(ReadWholeFile(home.File("userlist.xml.bad")), list);
  EXPECT_EQ(ListText(), ListOf({{1, "a"}}));
  EXPECT_EQ(ReadWholeFile(UserFile(2)), SimpleUser(2, "+b"));
  EXPECT_EQ(ReadWholeFile(UserFile(4)), SimpleUser(1, "d"));
  EXPECT_EQ(GetUsersLoadState(), USERS_LOAD_OK);

  // Later saves leave the kept list alone.
  WriteWholeFile(home.File("userlist.xml.bad"), "kept");
  ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
  EXPECT_EQ(ReadWholeFile(home.File("userlist.xml.bad")), "kept");
}

// A per-user file that does not read is logged, kept and never rewritten;
// the others are served. Once the save has left it out of the list, every
// start names it as a file the list does not name (and never deletes it),
// passing over the leftovers of the atomic writer.
TEST_F(UsersFilesTest, DamagedUsersFileIsKeptAndNamedAtEveryStart) {
  const std::string list = ListOf({{1, "a"}, {2, "b"}, {3, "c"}});
  const std::string damaged = SimpleUser(2, "b").substr(0, 60);
  WriteList(list);
  WriteUserFile(1, SimpleUser(1, "a"));
  WriteUserFile(2, damaged);
  WriteUserFile(3, SimpleUser(3, "c"));
  WriteWholeFile(UserFile(3) + ".tmpAb3dEf", "left by a killed save");
  testing::internal::CaptureStderr();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("00000002.xml< does not read"), std::string::npos) << log;
  EXPECT_EQ(GetUsersLoadState(), USERS_LOAD_PARTIAL);
  ASSERT_NE(FindUser("a"), nullptr);
  ASSERT_NE(FindUser("c"), nullptr);
  ASSERT_EQ(SetUserSetting("c", "Live", "Torvane", "DefaultLanguage", "fr"), 0);
  ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
  EXPECT_EQ(ReadWholeFile(UserFile(2)), damaged);
  EXPECT_EQ(ReadWholeFile(home.File("userlist.xml.bad")), list);
  EXPECT_EQ(ListText(), ListOf({{1, "a"}, {3, "c"}}));

  FreeUsersData();
  testing::internal::CaptureStderr();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("users/00000002.xml< is not named in the user list: it is kept, and the user it may hold is "
                     "not loaded. Unless that user was deleted, stop the server and add <USER uid=\"00000002\"/> to " +
                     home.path + "userlist.xml before its last line to load the user again"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find(".tmpAb3dEf"), std::string::npos) << log;
  EXPECT_EQ(GetUsersLoadState(), USERS_LOAD_OK);
  EXPECT_EQ(ReadWholeFile(UserFile(2)), damaged);
}

// Only a name exactly as the writer writes it ("%08X.xml") counts as a listed
// user's file: other spellings of a listed UID are unlisted files.
TEST_F(UsersFilesTest, OnlyTheWritersSpellingOfAListedUIDCountsAsListed) {
  WriteList(ListOf({{1, "a"}, {10, "b"}}));
  WriteUserFile(1, SimpleUser(1, "a"));
  WriteUserFile(10, SimpleUser(10, "b"));
  for (const char* other : {"0000000a.xml", "00000001.XML", "000000001.xml", "0000001.xml", "0000000G.xml"}) {
    WriteWholeFile(home.File(std::string("users/") + other), SimpleUser(1, "a"));
  }
  testing::internal::CaptureStderr();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  const std::string log = testing::internal::GetCapturedStderr();
  for (const char* other : {"0000000a.xml", "00000001.XML", "000000001.xml", "0000001.xml", "0000000G.xml"}) {
    EXPECT_NE(log.find(std::string("users/") + other + "< is not named in the user list: it is kept, and the user it "
                       "may hold is not loaded. To load that user, stop the server, name the file by the user's UID "
                       "(%08X.xml) and add <USER uid=\"%08X\"/> with that UID to " + home.path + "userlist.xml"),
              std::string::npos)
        << other;
  }
  EXPECT_EQ(log.find("/0000000A.xml< is not named"), std::string::npos) << log;
  EXPECT_EQ(log.find("/00000001.xml< is not named"), std::string::npos) << log;
  EXPECT_EQ(GetUsersLoadState(), USERS_LOAD_OK);
}

// A skipped user's file that a loaded user would overwrite is refused.
TEST_F(UsersFilesTest, SkippedUsersFileIsNotOverwritten) {
  WriteList(ListOf({{2, "b"}, {1, "a"}}));
  WriteUserFile(2, SimpleUser(1, "b"));  // b claims UID 1 and is loaded first
  WriteUserFile(1, SimpleUser(1, "a"));  // so a (UID 1) is skipped
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 2);
  ASSERT_NE(FindUser("b"), nullptr);
  EXPECT_EQ(SaveUsers(home.path.c_str(), "b"), 15);
  EXPECT_EQ(ReadWholeFile(UserFile(1)), SimpleUser(1, "a"));
}

// A client's users text that does not parse keeps the files of the users the
// last load skipped protected: a later user holding that UID does not
// overwrite them.
TEST_F(UsersFilesTest, MalformedClientTextKeepsSkippedFilesProtected) {
  WriteList(ListOf({{1, "a"}, {2, "b"}}));
  WriteUserFile(1, SimpleUser(1, "a"));
  WriteUserFile(2, "<USER><USERNAME>b");
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  WriteWholeFile(home.File("client.xml"), "<USERS><USER><USERNAME>z</USERNAME>");
  ASSERT_EQ(ReadUsersXML(home.File("client.xml").c_str(), USERS_CONVERT_CLIENT), -1);
  ASSERT_GE(AddUserFromClient("newbie", 2), 0);
  EXPECT_EQ(SaveUsers(home.path.c_str(), "newbie"), 15);
  EXPECT_EQ(ReadWholeFile(UserFile(2)), "<USER><USERNAME>b");
}

// ---- Atomic saves ----------------------------------------------------------------------------

TEST_F(UsersFilesTest, InjectedWriteFailureKeepsThePreviousFiles) {
  // Ten users, so that the list is longer than one user's file.
  std::vector<std::pair<UID, std::string>> users = {{1, "a"}, {2, "b"}};
  for (UID uid = 3; uid <= 10; ++uid) users.push_back({uid, "user" + std::to_string(uid)});
  WriteList(ListOf(users));
  for (const auto& [uid, name] : users) WriteUserFile(uid, SimpleUser(uid, name));
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
  const std::string list = ListText();
  const std::string fileA = ReadWholeFile(UserFile(1));
  const std::string fileB = ReadWholeFile(UserFile(2));
  ASSERT_GT(list.size(), 300u);
  ASSERT_LT(fileA.size() + 20, 300u);

  FindUser("a")->EMAIL = "changed@x";
  FindUser("b")->EMAIL = "changed@y";
  for (long failAfter : {0L, 10L, 100L}) {
    SCOPED_TRACE(failAfter);
    SetAtomicWriteFailAfter(failAfter);
    EXPECT_EQ(SaveUsers(home.path.c_str(), "a"), 15);
    EXPECT_EQ(SaveUsers(home.path.c_str(), nullptr), 15);
    SetAtomicWriteFailAfter(-1);
    EXPECT_EQ(ListText(), list);
    EXPECT_EQ(ReadWholeFile(UserFile(1)), fileA);
    EXPECT_EQ(ReadWholeFile(UserFile(2)), fileB);
  }
  // No temporary file is left behind.
  for (const auto& entry : std::filesystem::directory_iterator(home.File("users"))) {
    EXPECT_EQ(entry.path().extension(), ".xml") << entry.path();
  }
  // The list's failure after the user's file was written keeps the old list
  // (a new user changes the list, so the save must write it).
  ASSERT_GE(AddUserFromClient("ab", 0x20), 0);
  SetAtomicWriteFailAfter(300);  // a's file fits, the list does not
  EXPECT_EQ(SaveUsers(home.path.c_str(), "a"), 15);
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(ListText(), list);
  EXPECT_NE(ReadWholeFile(UserFile(1)).find("changed@x"), std::string::npos);
}

// A name that matches no record (a user just deleted) rewrites the list only;
// a domain\user name writes the Active Directory user's own file.
TEST_F(UsersFilesTest, SaveFindsTheUserByTheDomainRule) {
  WriteList(ListOf({{1, "adbob"}, {2, "carol"}}));
  WriteUserFile(1, SimpleUser(1, "adbob"));
  WriteUserFile(2, SimpleUser(2, "carol"));
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  SetComputerDomain("CORP");
  FindUser("adbob")->ADUSER = 1;
  FindUser("adbob")->EMAIL = "bob@corp";
  FindUser("carol")->EMAIL = "carol@x";
  ASSERT_EQ(SaveUsers(home.path.c_str(), "CORP\\adbob"), 0);
  EXPECT_NE(ReadWholeFile(UserFile(1)).find("bob@corp"), std::string::npos);
  EXPECT_EQ(ReadWholeFile(UserFile(2)), SimpleUser(2, "carol"));

  ASSERT_EQ(DeleteUserAndNode("carol", false), 0);
  ASSERT_EQ(SaveUsers(home.path.c_str(), "carol"), 0);
  EXPECT_EQ(ListText(), ListOf({{1, "adbob"}}));
}

// A deleted user's file goes with the save that writes the list without it,
// and only then: a save that fails keeps both, the next one that succeeds
// removes the file. A user replaced under the same UID keeps its file, and
// a file already gone is no fault.
TEST_F(UsersFilesTest, ADeletedUsersFileGoesOnceTheListLeavesItOut) {
  WriteList(ListOf({{1, "ann"}, {2, "bob"}, {3, "cy"}}));
  WriteUserFile(1, SimpleUser(1, "ann"));
  WriteUserFile(2, SimpleUser(2, "bob"));
  WriteUserFile(3, SimpleUser(3, "cy"));
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  const std::string list = ListText();

  ASSERT_EQ(DeleteUserAndNode("bob", false), 0);
  SetAtomicModeFailure(EACCES);  // the new list cannot be made
  EXPECT_EQ(SaveUsers(home.path.c_str(), "bob"), 14);
  SetAtomicModeFailure(0);
  EXPECT_EQ(ListText(), list);
  EXPECT_EQ(ReadWholeFile(UserFile(2)), SimpleUser(2, "bob")) << "the list still names bob: his file stays";

  testing::internal::CaptureStderr();
  ASSERT_EQ(SaveUsers(home.path.c_str(), "ann"), 0);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Removed the users file >" + UserFile(2) + "< of a deleted user"),
            std::string::npos);
  EXPECT_EQ(ListText(), ListOf({{1, "ann"}, {3, "cy"}}));
  EXPECT_EQ(ProbePath(UserFile(2)), PATH_MISSING);

  // cy replaced by a user of the same name and UID: the file is the new one's.
  ASSERT_EQ(DeleteUserAndNode("cy", false), 0);
  ASSERT_GE(AddUserFromClient("cy", 3), 0);
  ASSERT_EQ(SaveUsers(home.path.c_str(), "cy"), 0);
  EXPECT_EQ(ProbePath(UserFile(3)), PATH_EXISTS);

  // A file removed by hand meanwhile: the save succeeds, and says nothing of it.
  ASSERT_EQ(DeleteUserAndNode("ann", false), 0);
  std::filesystem::remove(UserFile(1));
  testing::internal::CaptureStderr();
  EXPECT_EQ(SaveUsers(home.path.c_str(), "ann"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("Unable to remove"), std::string::npos);
  EXPECT_EQ(ListText(), ListOf({{3, "cy"}}));
}

// ---- Users added and deleted with their nodes ----------------------------------------------

TEST_F(UsersFilesTest, AddedUserHasItsOwnCopyOfDefaultSettings) {
  WriteWholeFile(home.File("users.xml"),
                 "<USERS><USER><UID>EE6B2807</UID><USERNAME>default_user</USERNAME><LEVEL>3</LEVEL>"
                 "<PASSWORDV2>00000000</PASSWORDV2><FIELD NAME=\"f\">v</FIELD>"
                 "<USERDATA><Live><Torvane><DefaultLanguage>en</DefaultLanguage></Torvane></Live></USERDATA>"
                 "</USER><USER><USERNAME>bare</USERNAME></USER></USERS>");
  ASSERT_EQ(ReadUsersXML(home.File("users.xml").c_str()), 0);
  // A converted user keeps nothing of default_user (AddUser copied it first).
  const UserStruct* bare = FindUser("bare");
  ASSERT_NE(bare, nullptr);
  EXPECT_FALSE(bare->PASSWORDV2.has_value());
  EXPECT_TRUE(bare->fields.empty());
  EXPECT_EQ(bare->LEVEL, 0u);
  EXPECT_EQ(bare->USERDATA, nullptr);
  const UserStruct* defaults = FindUser("default_user");
  ASSERT_NE(defaults, nullptr);
  EXPECT_EQ(defaults->LEVEL, 3u);
  XMLNode* defaultData = defaults->USERDATA;

  const int index = AddUserFromClient("newbie", 0);
  ASSERT_GE(index, 0);
  UserStruct* user = FindUser("newbie");
  EXPECT_EQ(user->LEVEL, 3u);  // the record is a copy of default_user
  ASSERT_NE(user->USERDATA, nullptr);
  EXPECT_NE(user->USERDATA, defaultData);
  EXPECT_EQ(FindXMLUserNode("newbie"), user->USERDATA->parent);
  XMLNode* language = FindXMLChildNode(FindXMLChildNode(FindXMLChildNode(user->USERDATA, "Live"), "Torvane"),
                                       "DefaultLanguage");
  ASSERT_NE(language, nullptr);
  language->value = "de";  // changes the copy only
  ASSERT_EQ(SaveUsers(home.path.c_str(), "newbie"), 0);
  const std::string file = ReadWholeFile(UserFile(user->header.uid));
  EXPECT_NE(file.find("<DefaultLanguage>de\n</DefaultLanguage>"), std::string::npos);
  std::string defaultText;
  ASSERT_EQ(AppendUserXML(FindUser("default_user"), defaultText), 0);
  EXPECT_NE(defaultText.find("<DefaultLanguage>en\n"), std::string::npos);

  // Refusals: an invalid name, an existing one, another user's UID.
  AddUserFailure why = ADD_USER_OK;
  EXPECT_EQ(AddUserFromClient(" bad", 0, &why), -1);
  EXPECT_EQ(why, ADD_USER_NO_NAME);
  EXPECT_EQ(AddUserFromClient("NEWBIE", 0, &why), -1);
  EXPECT_EQ(why, ADD_USER_EXISTS);
  EXPECT_EQ(AddUserFromClient("other", kUIDDefaultUser, &why), -1);
  EXPECT_EQ(why, ADD_USER_UID_IN_USE);
  // The UID of a built-in group (never registered) or of another built-in
  // account; a built-in account at its own UID is fine.
  EXPECT_EQ(AddUserFromClient("other", kUIDEveryoneGroup, &why), -1);
  EXPECT_EQ(why, ADD_USER_UID_IN_USE);
  EXPECT_EQ(AddUserFromClient("other", kUIDGuest, &why), -1);
  ASSERT_GE(AddUserFromClient("Guest", kUIDGuest), 0);
  EXPECT_EQ(FindUser("guest")->header.uid, kUIDGuest);
}

// A record added without a node (plain AddUser) gets one at the next save
// rather than failing every save, and never writes default_user's settings
// as its own.
TEST_F(UsersFilesTest, RecordWithoutNodeGetsOneAtTheSave) {
  ASSERT_GE(AddUserFromClient("default_user", kUIDDefaultUser), 0);
  ASSERT_GE(AddUser("plain", 0x42), 0);
  EXPECT_EQ(FindUser("plain")->USERDATA, FindUser("default_user")->USERDATA);  // shared by the copy
  ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
  const UserStruct* plain = FindUser("plain");
  EXPECT_NE(plain->USERDATA, FindUser("default_user")->USERDATA);
  EXPECT_EQ(FindXMLUserNode("plain"), plain->USERDATA->parent);
}

// Replacing default_user (as SetUserXML does: delete with its node, add
// again) leaves every user added before it with settings of its own, and a
// record still sharing default_user's link (a plain AddUser not yet saved)
// with no link into the removed node.
TEST_F(UsersFilesTest, ReplacingDefaultUserLeavesNoLinkIntoItsNode) {
  WriteWholeFile(home.File("users.xml"),
                 "<USERS><USER><UID>EE6B2807</UID><USERNAME>default_user</USERNAME>"
                 "<USERDATA><Live><Torvane><DefaultLanguage>en</DefaultLanguage></Torvane></Live></USERDATA>"
                 "</USER></USERS>");
  ASSERT_EQ(ReadUsersXML(home.File("users.xml").c_str()), 0);
  ASSERT_GE(AddUserFromClient("ann", 0x20), 0);
  ASSERT_GE(AddUser("plain", 0x21), 0);
  ASSERT_EQ(FindUser("plain")->USERDATA, FindUser("default_user")->USERDATA);

  ASSERT_EQ(DeleteUserAndNode("default_user", true), 0);
  EXPECT_EQ(FindUser("plain")->USERDATA, nullptr);
  ASSERT_GE(AddUserFromClient("default_user", kUIDDefaultUser), 0);
  ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);

  FreeUsersData();
  ResetNodeRegistry();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  ASSERT_EQ(GetUserCount(), 3);
  EXPECT_NE(ReadWholeFile(UserFile(0x20)).find("<DefaultLanguage>en\n</DefaultLanguage>"), std::string::npos);
  // The new default_user has no settings to hand on.
  EXPECT_EQ(ReadWholeFile(UserFile(0x21)).find("DefaultLanguage"), std::string::npos);
}

// A new user takes default_user's settings as a template: everything but
// default_user's own password date and history, by either way of adding it
// (a client's add at once, a plain AddUser at its first save).
TEST_F(UsersFilesTest, NewUserTemplateLeavesOutThePasswordDateAndHistory) {
  WriteWholeFile(home.File("users.xml"),
                 "<USERS><USER><UID>EE6B2807</UID><USERNAME>default_user</USERNAME>"
                 "<USERDATA><Live><Torvane><DefaultLanguage>en</DefaultLanguage>"
                 "<Passwords><NeverExpires>1</NeverExpires><Date>5F5E1000</Date>"
                 "<Old><PW1>AAAA0001</PW1></Old></Passwords></Torvane></Live>"
                 "<Other><Passwords><Date>kept</Date></Passwords></Other></USERDATA>"
                 "</USER></USERS>");
  ASSERT_EQ(ReadUsersXML(home.File("users.xml").c_str()), 0);
  std::string defaultsBefore;
  ASSERT_EQ(AppendUserXML(FindUser("default_user"), defaultsBefore), 0);
  struct Case {
    const char* name;
    bool client;
  };
  const Case cases[] = {{"byclient", true}, {"plain", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.client) {
      ASSERT_GE(AddUserFromClient(c.name, 0), 0);
    } else {
      ASSERT_GE(AddUser(c.name, 0), 0);
    }
    ASSERT_EQ(SaveUsers(home.path.c_str(), c.name), 0);
    const std::string file = ReadWholeFile(UserFile(FindUser(c.name)->header.uid));
    EXPECT_NE(file.find("<DefaultLanguage>en\n"), std::string::npos);
    EXPECT_NE(file.find("<NeverExpires>1\n"), std::string::npos);
    EXPECT_EQ(file.find("5F5E1000"), std::string::npos);
    EXPECT_EQ(file.find("<Old>"), std::string::npos);
    EXPECT_EQ(file.find("AAAA0001"), std::string::npos);
    // Only the login section's password state is default_user's own.
    EXPECT_NE(file.find("<Date>kept\n"), std::string::npos);
  }
  std::string defaultsAfter;
  ASSERT_EQ(AppendUserXML(FindUser("default_user"), defaultsAfter), 0);
  EXPECT_EQ(defaultsAfter, defaultsBefore);  // default_user keeps its own
}

TEST_F(UsersFilesTest, DeletedUserTakesItsNodeAlong) {
  ASSERT_GE(AddUserFromClient("bob", 0x10), 0);
  ASSERT_GE(AddUserFromClient("carol", 0x11), 0);
  XMLNode* secret = AddXMLChildNode(FindUser("bob")->USERDATA);
  secret->name = "Secret";
  EXPECT_EQ(DeleteUserAndNode("bob", false), 0);
  EXPECT_EQ(FindXMLUserNode("bob"), nullptr);
  EXPECT_EQ(DeleteUserAndNode("bob", false), 6);
  // A later bob starts afresh.
  ASSERT_GE(AddUserFromClient("bob", 0x12), 0);
  EXPECT_EQ(FindXMLChildNode(FindUser("bob")->USERDATA, "Secret"), nullptr);

  // The node removed first: the removal clears the link, the delete still
  // removes the record, and carol's node stays.
  XMLNode* node = FindXMLUserNode("bob");
  ASSERT_NE(node, nullptr);
  RemoveUsersTreeNode(node);
  EXPECT_EQ(FindUser("bob")->USERDATA, nullptr);
  EXPECT_EQ(DeleteUserAndNode("bob", false), 0);
  EXPECT_EQ(FindUser("bob"), nullptr);
  ASSERT_NE(FindXMLUserNode("carol"), nullptr);
  EXPECT_EQ(FindXMLUserNode("carol"), FindUser("carol")->USERDATA->parent);
  // Built-in users need force.
  ASSERT_GE(AddUserFromClient("administrator", kUIDAdministrator), 0);
  EXPECT_EQ(DeleteUserAndNode("administrator", false), 26);
  EXPECT_NE(FindXMLUserNode("administrator"), nullptr);
}

// A new user inherits nothing of a node left with its name, whichever way
// the node was left: every node of the name that no record holds goes at the
// add, and the one node that stays is the new user's own (also for the
// lookups that take the first node of a name).
TEST_F(UsersFilesTest, ANewUserInheritsNothingOfALeftoverNode) {
  auto addSecret = [](const char* name) {
    XMLNode* secret = AddXMLChildNode(FindUser(name)->USERDATA);
    secret->name = "Secret";
  };
  auto NodesNamedBob = [] {
    int named = 0;
    for (const XMLNode* n = GetUsersTreeRoot()->firstChild; n != nullptr; n = n->nextSibling) {
      const XMLNode* name = FindXMLChildNode(n, "USERNAME");
      if (name != nullptr && name->value && EqualsNoCase(*name->value, "bob")) ++named;
    }
    return named;
  };
  // Adds bob with a setting of his own and deletes him, with or without his node.
  auto bobWithSecretDeleted = [&](UID uid, bool withNode) {
    ASSERT_GE(AddUserFromClient("bob", uid), 0);
    addSecret("bob");
    ASSERT_EQ(withNode ? DeleteUserAndNode("bob", false) : DeleteUser("bob", false), 0);
  };
  auto loadV1 = [this](const std::string& users) {
    WriteWholeFile(home.File("users.xml"), "<USERS>" + users + "</USERS>");
    return ReadUsersXML(home.File("users.xml").c_str());
  };
  const std::string bobWithSecret = "<USER><UID>20</UID><USERNAME>bob</USERNAME><USERDATA><Secret/></USERDATA></USER>";
  const std::string carol = "<USER><UID>21</UID><USERNAME>carol</USERNAME><USERDATA/></USER>";
  const struct {
    const char* what;
    std::function<void()> leave;  // ends with no user bob, and maybe nodes of that name
  } cases[] = {
      {"deleted without its node", [&] { bobWithSecretDeleted(0x20, false); }},
      {"deleted without its node twice",
       [&] {
         bobWithSecretDeleted(0x20, false);
         bobWithSecretDeleted(0x22, false);
       }},
      {"deleted with its node", [&] { bobWithSecretDeleted(0x20, true); }},
      {"given twice in a load, then deleted",
       [&] {
         ASSERT_EQ(loadV1(bobWithSecret + carol + "<USER><USERNAME>BOB</USERNAME><EMAIL>x</EMAIL></USER>"), 0);
         ASSERT_EQ(DeleteUserAndNode("bob", false), 0);
       }},
      {"given twice in a load, then deleted without its node",
       [&] {
         ASSERT_EQ(loadV1(bobWithSecret + carol + "<USER><USERNAME>BOB</USERNAME><EMAIL>x</EMAIL></USER>"), 0);
         ASSERT_EQ(DeleteUser("bob", false), 0);
       }},
      {"replaced by client text, then deleted without its node",
       [&] {
         ASSERT_GE(AddUserFromClient("bob", 0x20), 0);
         ASSERT_EQ(SetUserXML("bob", "<USER><USERNAME>bob</USERNAME><USERDATA><Secret/></USERDATA></USER>"), 0);
         ASSERT_EQ(DeleteUser("bob", false), 0);
       }},
      {"added by client text over two nodes parsed into the tree, then deleted without its node",
       [&] {
         for (int k = 0; k < 2; ++k) {
           ASSERT_EQ(ParseTextIntoUsersTree(bobWithSecret.data(), bobWithSecret.size(), GetUsersTreeRoot()), 0);
         }
         ASSERT_EQ(NodesNamedBob(), 2);
         ASSERT_EQ(SetUserXML("bob", "<USER><USERNAME>bob</USERNAME><USERDATA><Secret/></USERDATA></USER>"), 0);
         EXPECT_EQ(NodesNamedBob(), 1);  // the text's node alone
         ASSERT_EQ(DeleteUser("bob", false), 0);
       }},
      {"added by client text that does not convert",
       [&] {
         EXPECT_NE(SetUserXML("bob", "<USER><USERNAME>bob</USERNAME><FIELD>x</FIELD><USERDATA><Secret/></USERDATA></USER>"), 0);
       }},
      {"a refused add after a delete without its node",
       [&] {
         bobWithSecretDeleted(0x20, false);
         EXPECT_LT(AddUserFromClient("bob", 0x21), 0);  // carol's UID
       }},
  };
  for (const auto& c : cases) {
    ResetAll();
    ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);
    ASSERT_GE(AddUserFromClient("carol", 0x21), 0);
    ASSERT_EQ(SaveUsers(home.path.c_str(), "carol"), 0);
    c.leave();
    ASSERT_EQ(FindUser("bob"), nullptr) << c.what;
    ASSERT_GE(AddUserFromClient("bob", 0x30), 0) << c.what;
    const UserStruct* bob = FindUser("bob");
    ASSERT_NE(bob->USERDATA, nullptr) << c.what;
    XMLNode* own = bob->USERDATA->parent;
    EXPECT_EQ(NodesNamedBob(), 1) << c.what;
    EXPECT_EQ(UserNodeOfRecord(bob), own) << c.what;
    EXPECT_EQ(FindXMLUserNode("bob"), own) << c.what;
    EXPECT_EQ(FindXMLChildNode(bob->USERDATA, "Secret"), nullptr) << c.what;
    // The other user keeps its node.
    const UserStruct* other = FindUser("carol");
    ASSERT_NE(other, nullptr) << c.what;
    EXPECT_EQ(FindXMLUserNode("carol"), UserNodeOfRecord(other)) << c.what;
    EXPECT_NE(UserNodeOfRecord(other), nullptr) << c.what;
  }
}

// A removal clears exactly the settings links into what it frees: the
// owner's, found by the names of the node, and the links that plain AddUser
// records copied from default_user when default_user's settings go.
TEST_F(UsersFilesTest, RemovalsClearExactlyTheLinksIntoWhatTheyFree) {
  auto nodeOf = [](const char* name) { return UserNodeOfRecord(FindUser(name)); };
  auto dataOf = [&](const char* name) { return FindXMLChildNode(nodeOf(name), kUserDataName); };
  const struct {
    const char* what;
    std::function<void()> remove;
    std::vector<std::string> cleared;
  } cases[] = {
      {"a user's node", [&] { RemoveUsersTreeNode(nodeOf("bob")); }, {"bob"}},
      {"a user's settings", [&] { RemoveUsersTreeNode(dataOf("bob")); }, {"bob"}},
      {"a node of a user's settings", [&] { RemoveUsersTreeNode(dataOf("bob")->firstChild); }, {}},
      {"a user's name", [&] { RemoveUsersTreeNode(FindXMLChildNode(nodeOf("bob"), kUserNameNodeName)); }, {}},
      {"default_user's node", [&] { RemoveUsersTreeNode(nodeOf("default_user")); }, {"default_user", "copy"}},
      {"default_user's settings", [&] { RemoveUsersTreeNode(dataOf("default_user")); }, {"default_user", "copy"}},
      {"nodes of the root by a test",
       [&] {
         const XMLNode* bob = nodeOf("bob");
         RemoveUsersTreeNodesIf(GetUsersTreeRoot(), [bob](const XMLNode* n) { return n == bob; });
       },
       {"bob"}},
      {"children of the root", [&] { RemoveUsersTreeChildren({nodeOf("ann"), nodeOf("bob")}); }, {"ann", "bob"}},
      {"the whole tree", [] { FreeUsersXMLTree(); }, {"ann", "bob", "copy", "default_user"}},
  };
  for (const auto& c : cases) {
    ResetAll();
    ASSERT_GE(AddUserFromClient("default_user", kUIDDefaultUser), 0);
    ASSERT_GE(AddUserFromClient("ann", 0x10), 0);
    ASSERT_GE(AddUserFromClient("bob", 0x11), 0);
    ASSERT_GE(AddUser("copy", 0x12), 0);  // a plain record: default_user's link
    ASSERT_EQ(FindUser("copy")->USERDATA, FindUser("default_user")->USERDATA);
    ASSERT_NE(AppendNamedUsersChild(FindUser("bob")->USERDATA, "Live"), nullptr);
    std::map<std::string, XMLNode*> before;
    for (const char* name : {"ann", "bob", "copy", "default_user"}) before[name] = FindUser(name)->USERDATA;
    c.remove();
    for (const auto& [name, link] : before) {
      const bool cleared = std::find(c.cleared.begin(), c.cleared.end(), name) != c.cleared.end();
      EXPECT_EQ(FindUser(name.c_str())->USERDATA, cleared ? nullptr : link) << c.what << ": " << name;
    }
  }
}

// ---- Lookups ---------------------------------------------------------------------------------

TEST_F(UsersFilesTest, FindXMLUserNodeDomainRule) {
  WriteWholeFile(home.File("users.xml"),
                 "<USERS><USER><USERNAME>bob</USERNAME><ADUSER>1</ADUSER></USER>"
                 "<USER><USERNAME>amy</USERNAME><ADUSER>0</ADUSER></USER>"
                 "<USER><USERNAME>CORP\\carl</USERNAME></USER>"
                 "<USER><USERNAME>dan</USERNAME><ADUSER>4294967296</ADUSER></USER></USERS>");
  ASSERT_EQ(ReadUsersXML(home.File("users.xml").c_str()), 0);
  XMLNode* bob = FindXMLUserNode("bob");
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(FindXMLUserNode("CORP\\bob"), nullptr);  // no computer domain yet
  SetComputerDomain("corp");
  EXPECT_EQ(FindXMLUserNode("CORP\\BOB"), bob);
  EXPECT_EQ(FindXMLUserNode("CORP\\amy"), nullptr);  // internal user
  EXPECT_NE(FindXMLUserNode("corp\\carl"), nullptr);  // stored with the backslash
  EXPECT_EQ(FindXMLUserNode("OTHER\\bob"), nullptr);
  EXPECT_STREQ(StripLocalDomain("CORP\\x"), "x");
  EXPECT_STREQ(StripLocalDomain("OTHER\\x"), "OTHER\\x");
  EXPECT_EQ(FindXMLUserNode(""), nullptr);
  EXPECT_EQ(IsXMLUserADUser(bob), 1);
  // An over-long number is an Active Directory flag for node and record alike.
  ASSERT_NE(FindUser("dan"), nullptr);
  EXPECT_NE(FindUser("dan")->ADUSER, 0);
  EXPECT_NE(FindXMLUserNode("CORP\\dan"), nullptr);
  EXPECT_EQ(FindXMLUserNode("CORP\\dan"), FindXMLUserNode("dan"));
}

// A parse into the tree that fails leaves nothing behind.
TEST_F(UsersFilesTest, FailedParseIntoTheTreeIsUndone) {
  ASSERT_GE(AddUserFromClient("bob", 0x10), 0);
  XMLNode* data = FindUser("bob")->USERDATA;
  const char bad[] = "<A><B></A>";
  EXPECT_EQ(ParseTextIntoUsersTree(bad, sizeof bad - 1, data), 20);
  EXPECT_EQ(data->firstChild, nullptr);
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<D>";
  for (int i = 0; i < 300; ++i) deep += "</D>";
  EXPECT_EQ(ParseTextIntoUsersTree(deep.c_str(), deep.size(), data), 20);
  EXPECT_EQ(data->firstChild, nullptr);
  // A text that declares its own entities (a chain of them would recurse in
  // the parser once per link) is refused.
  std::string entities = "<!DOCTYPE A [<!ENTITY e0 \"x\">";
  for (int i = 1; i < 50; ++i) entities += "<!ENTITY e" + std::to_string(i) + " \"&e" + std::to_string(i - 1) + ";\">";
  entities += "]><A>&e49;</A>";
  EXPECT_EQ(ParseTextIntoUsersTree(entities.c_str(), entities.size(), data), 20);
  EXPECT_EQ(data->firstChild, nullptr);
  const char good[] = "<A x=\"1\">t\n\n<B/>u\n</A>";
  ASSERT_EQ(ParseTextIntoUsersTree(good, sizeof good - 1, data), 0);
  ASSERT_NE(data->firstChild, nullptr);
  EXPECT_EQ(*data->firstChild->value, "t\n\nu");  // pieces joined, trailing line feeds cut
}

// ---- Converted nodes ------------------------------------------------------------------

// al's texts, by hand from the line table: the main-field lines from
// PASSWORD to GROUPLIST, and the settings block with the end of the element.
const std::string kAlMainLines =
    "<PASSWORD>12345678</PASSWORD>\n"
    "<PASSWORDV2>$2b$04$abcdefghijklmnopqrstuuLgXDC5GvH0cUo0UxHjAYYUnb7PkFy7S</PASSWORDV2>\n"
    "<ADUSER>1</ADUSER>\n"
    "<LEVEL>32768</LEVEL>\n"
    "<FORENAME>Al</FORENAME>\n"
    "<SURNAME>B&#060;c&#062;</SURNAME>\n"
    "<EMAIL>a@x</EMAIL>\n"
    "<GROUPLIST>Staff;Ops</GROUPLIST>\n";
const std::string kAlSettings =
    "<USERDATA>\n<Live>\n<Torvane>\n<DefaultEnvironment>Live\n</DefaultEnvironment>\n</Torvane>\n</Live>\n"
    "</USERDATA>\n</USER>\n";

// al's per-user file as the writer writes it.
const std::string kAlFile = "<USER>\n<UID>0A0B0C0D</UID>\n<USERNAME>al</USERNAME>\n" + kAlMainLines +
                            "<FIELD NAME=\"Dept\">IT</FIELD>\n<FIELD NAME=\"Phone\"></FIELD>\n" + kAlSettings;

// The same user as a file may hold it: elements out of the writer's order,
// one given twice (the later wins), an element the conversion does not read.
const std::string kAlGiven = "<USER>\n<FORENAME>Old</FORENAME>\n<UID>0A0B0C0D</UID>\n<USERNAME>al</USERNAME>\n"
                             "<FIELD NAME=\"Phone\"></FIELD>\n<NOTE>kept</NOTE>\n" +
                             kAlMainLines + "<FIELD NAME=\"Dept\">IT</FIELD>\n" + kAlSettings;

// A transport string: its length with the NUL, the bytes, the NUL.
void AppendTransportString(std::vector<unsigned char>& b, const std::string& text) {
  const uint32_t n = static_cast<uint32_t>(text.size() + 1);
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(n >> (8 * i)));
  b.insert(b.end(), text.begin(), text.end());
  b.push_back(0);
}

// al's transport block, field by field from the block's format.
std::vector<unsigned char> AlBlock() {
  std::vector<unsigned char> b = {
      0x0D, 0x0C, 0x0B, 0x0A,  // UID
      0x06, 0x00, 0x00, 0x00,  // kind 6
      0x00, 0x00, 0x00, 0x00,  // time stamp
      0x02, 0x00, 0x00, 0x00,  // flags: ADUSER and LEVEL follow
      0x00, 0x00, 0x00, 0x00,  // spare
      0x78, 0x56, 0x34, 0x12,  // PASSWORD
      0x02, 0x00, 0x00, 0x00,  // two fields
  };
  for (const char* text : {"al", "Al", "B<c>", "a@x", "Staff;Ops"}) AppendTransportString(b, text);
  AppendTransportString(b, "$2b$04$abcdefghijklmnopqrstuuLgXDC5GvH0cUo0UxHjAYYUnb7PkFy7S");
  AppendTransportString(b, "Dept");
  AppendTransportString(b, "IT");
  AppendTransportString(b, "Phone");
  b.insert(b.end(), {0x00, 0x00, 0x00, 0x00});  // its value: absent
  b.insert(b.end(), {0x01, 0x00, 0x00, 0x00});  // ADUSER
  b.insert(b.end(), {0x00, 0x80, 0x00, 0x00});  // LEVEL
  return b;
}

std::vector<std::string> ChildNames(const XMLNode* node) {
  std::vector<std::string> names;
  for (const XMLNode* c = node ? node->firstChild : nullptr; c != nullptr; c = c->nextSibling) names.push_back(c->name);
  return names;
}

// After either load, al's node keeps only what the record does not hold
// (the name children the lookups read, the settings, the unknown NOTE),
// while every text written of al, and its block, is what the files give.
TEST_F(UsersFilesTest, ConvertedNodeKeepsOnlyWhatItsRecordDoesNotHold) {
  for (const bool version2 : {true, false}) {
    SCOPED_TRACE(version2 ? "version 2" : "version 1");
    ResetAll();
    ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);  // the saves below go to the test's home
    std::filesystem::remove_all(home.File("users"));
    std::filesystem::remove(home.File("userlist.xml"));
    if (version2) {
      WriteList(ListOf({{0x0A0B0C0D, "al"}}));
      WriteUserFile(0x0A0B0C0D, kAlGiven);
      ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
    } else {
      WriteWholeFile(home.File("users.xml"), "<?xml version=\"1.0\"?>\n<USERS>\n" + kAlGiven + "</USERS>");
      ASSERT_EQ(ReadUsersXML(home.File("users.xml").c_str()), 0);
    }
    ASSERT_EQ(GetUsersLoadState(), USERS_LOAD_OK);
    const XMLNode* node = FindXMLUserNode("al");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(ChildNames(node), (std::vector<std::string>{"USERNAME", "NOTE", "ADUSER", "USERDATA"}));
    UserStruct* al = FindUser("al");
    ASSERT_NE(al, nullptr);
    EXPECT_EQ(al->USERDATA, FindXMLChildNode(node, "USERDATA"));
    SetComputerDomain("CORP");  // the domain rule reads the node's ADUSER
    EXPECT_EQ(FindXMLUserNode("CORP\\al"), node);
    SetComputerDomain(nullptr);

    int rc = -1;
    EXPECT_EQ(GetUserXML("al", &rc).value_or(""), kAlFile);
    EXPECT_EQ(GetUsersXMLForApp("Live", "Torvane", &rc).value_or(""), "<USERS>\n" + kAlFile + "</USERS>\n");
    EXPECT_EQ(GetUserSetting("al", "Live", "Torvane", "DefaultEnvironment", &rc).value_or(""), "Live");
    std::vector<unsigned char> block;
    ASSERT_TRUE(ConvertUserToTransportBlock(al, block));
    EXPECT_EQ(block, AlBlock());
    ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
    EXPECT_EQ(ReadWholeFile(UserFile(0x0A0B0C0D)), kAlFile);
    EXPECT_EQ(ListText(), ListOf({{0x0A0B0C0D, "al"}}));

    // A client's change of the main fields converts the node again: the
    // fields the text does not bring come from the record, and the node
    // again holds none of them.
    ASSERT_EQ(UpdateUserXML("al", "<USER><USERNAME>al</USERNAME><ADUSER>1</ADUSER><EMAIL>b@x</EMAIL></USER>"), 0);
    EXPECT_EQ(ChildNames(FindXMLUserNode("al")), (std::vector<std::string>{"NOTE", "USERDATA", "USERNAME", "ADUSER"}));
    EXPECT_EQ(GetUserXML("al", &rc).value_or(""),
              "<USER>\n<UID>0A0B0C0D</UID>\n<USERNAME>al</USERNAME>\n<ADUSER>1</ADUSER>\n<LEVEL>0</LEVEL>\n"
              "<EMAIL>b@x</EMAIL>\n<FIELD NAME=\"Dept\">IT</FIELD>\n<FIELD NAME=\"Phone\"></FIELD>\n" +
                  kAlSettings);
  }
}

// A user given twice in the version-2 files: the later file's element
// replaces the earlier (one record, one node), keeping the settings the
// earlier had when the later brings none; the node holds no main field.
TEST_F(UsersFilesTest, UserGivenTwiceInTheFilesComesOutAsTheLater) {
  WriteList(ListOf({{1, "dup"}, {2, "DUP"}, {3, "c"}}));
  WriteUserFile(1,
                "<USER>\n<UID>00000001</UID>\n<USERNAME>dup</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>5</LEVEL>\n"
                "<EMAIL>old</EMAIL>\n<FIELD NAME=\"F\">v</FIELD>\n"
                "<USERDATA>\n<Live>\n<Torvane>\n<DefaultEnvironment>Old\n</DefaultEnvironment>\n</Torvane>\n</Live>\n"
                "</USERDATA>\n</USER>\n");
  WriteUserFile(2, "<USER>\n<UID>00000001</UID>\n<USERNAME>DUP</USERNAME>\n<EMAIL>new</EMAIL>\n</USER>\n");
  WriteUserFile(3, SimpleUser(3, "c"));
  testing::internal::CaptureStderr();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("User >DUP< is given twice: the later element replaces the earlier"), std::string::npos) << log;
  ASSERT_EQ(GetUserCount(), 2);
  EXPECT_EQ(GetUsersLoadState(), USERS_LOAD_OK);
  XMLNode* root = GetUsersTreeRoot();
  ASSERT_NE(root->firstChild, nullptr);
  EXPECT_EQ(ChildNames(root->firstChild), (std::vector<std::string>{"USERNAME", "USERDATA"}));
  ASSERT_NE(root->firstChild->nextSibling, nullptr);
  EXPECT_EQ(root->firstChild->nextSibling->nextSibling, nullptr);
  EXPECT_EQ(FindXMLUserNode("dup"), root->firstChild);
  EXPECT_EQ(FindUser("dup")->USERDATA, FindXMLChildNode(root->firstChild, "USERDATA"));
  const std::string expected =
      "<USER>\n<UID>00000001</UID>\n<USERNAME>DUP</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
      "<EMAIL>new</EMAIL>\n"
      "<USERDATA>\n<Live>\n<Torvane>\n<DefaultEnvironment>Old\n</DefaultEnvironment>\n</Torvane>\n</Live>\n"
      "</USERDATA>\n</USER>\n";
  int rc = -1;
  EXPECT_EQ(GetUserXML("dup", &rc).value_or(""), expected);
  ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
  EXPECT_EQ(ReadWholeFile(UserFile(1)), expected);
  EXPECT_EQ(ListText(), ListOf({{3, "c"}, {1, "DUP"}}));
}

// Damaged files among good ones cost only their own users: each file's
// logs come in list order, the users of the good files are loaded with
// their nodes converted, and the bad files are kept.
TEST_F(UsersFilesTest, DamagedFilesAmongGoodOnesCostOnlyTheirUsers) {
  WriteList(ListOf({{1, "a"}, {2, "b"}, {3, "+c"}, {4, "d"}, {5, "e"}, {6, "f"}}));
  WriteUserFile(1, SimpleUser(1, "a"));
  WriteUserFile(2, SimpleUser(2, "b").substr(0, 40));  // cut short
  WriteUserFile(3, SimpleUser(3, "+c"));               // not a valid name
  WriteUserFile(4, SimpleUser(4, "d"));
  WriteUserFile(5, "");                                // empty
  WriteUserFile(6, SimpleUser(1, "f"));                // a's UID
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadUsersV2(home.path.c_str()), 2);
  const std::string log = testing::internal::GetCapturedStderr();
  const std::vector<std::string> lines = {
      "00000002.xml< does not read",
      "Cannot create user >+c< as it is not a valid username",
      "Skipping user >+c< of users file 00000003.xml (code 2): it is not loaded and its file is kept",
      "00000005.xml< is empty: no user is loaded from it",
      "Skipping user >f< of users file 00000006.xml (code 2): it is not loaded and its file is kept",
  };
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = log.find(line, at);
    EXPECT_NE(found, std::string::npos) << line << "\n" << log;
    if (found != std::string::npos) at = found + line.size();
  }
  EXPECT_EQ(GetUsersLoadState(), USERS_LOAD_PARTIAL);
  ASSERT_EQ(GetUserCount(), 2);
  for (const char* name : {"a", "d"}) {
    EXPECT_EQ(ChildNames(FindXMLUserNode(name)), (std::vector<std::string>{"USERNAME", "ADUSER", "USERDATA"})) << name;
  }
  EXPECT_EQ(ChildNames(GetUsersTreeRoot()).size(), 2u);  // the skipped nodes left the tree
  ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
  EXPECT_EQ(ReadWholeFile(UserFile(1)), SimpleUser(1, "a"));
  EXPECT_EQ(ReadWholeFile(UserFile(4)), SimpleUser(4, "d"));
  EXPECT_EQ(ReadWholeFile(UserFile(2)), SimpleUser(2, "b").substr(0, 40));
  EXPECT_EQ(ReadWholeFile(UserFile(3)), SimpleUser(3, "+c"));
  EXPECT_EQ(ReadWholeFile(UserFile(6)), SimpleUser(1, "f"));
  EXPECT_EQ(ListText(), ListOf({{1, "a"}, {4, "d"}}));
}

// ---- Saves that write only what changes ---------------------------------------------

// A home of three users whose files and list are as the writer writes them,
// loaded, with every users file dated long ago: a file the next step writes
// gets a new time, one it leaves alone keeps the old one.
class UnchangedFilesTest : public UsersFilesTest {
 protected:
  static constexpr auto kLongAgo = std::filesystem::file_time_type(std::chrono::seconds(1000000000));
  void SetUp() override {
    UsersFilesTest::SetUp();
    for (const auto& entry : std::filesystem::directory_iterator(home.path)) std::filesystem::remove_all(entry.path());
    WriteWholeFile(home.File("users.xml"), "<?xml version=\"1.0\"?>\n<USERS>\n</USERS>");
    WriteList(ListOf({{0x11, "ann"}, {0x22, "bob"}, {0x33, "cy"}}));
    WriteUserFile(0x11, SimpleUser(0x11, "ann"));
    WriteUserFile(0x22, SimpleUser(0x22, "bob"));
    WriteUserFile(0x33, SimpleUser(0x33, "cy"));
    ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
    ASSERT_EQ(GetUserCount(), 3);
    Age();
  }
  void Age() {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path)) {
      if (entry.is_regular_file()) std::filesystem::last_write_time(entry.path(), kLongAgo);
    }
  }
  bool Touched(const std::string& path) const { return std::filesystem::last_write_time(path) != kLongAgo; }
  // The names of the files in users/, sorted.
  std::vector<std::string> UserFileNames() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(home.File("users"))) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // The per-user file names of a list's users, sorted.
  static std::vector<std::string> FileNamesOf(const std::vector<std::pair<UID, std::string>>& users) {
    std::vector<std::string> names;
    for (const auto& [uid, name] : users) {
      char file[16];
      snprintf(file, sizeof file, "%08X.xml", uid);
      names.push_back(file);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(UnchangedFilesTest, OneUserSaveLeavesAnUnchangedListAlone) {
  const std::string list = ListText();
  FindUser("bob")->EMAIL = "bob@example.com";
  SetClockOverride(1700000500);
  ASSERT_EQ(SaveUsers(home.path.c_str(), "bob"), 0);
  EXPECT_EQ(GetUsersTime(), 1700000500u);  // set by every save
  EXPECT_TRUE(Touched(UserFile(0x22)));
  EXPECT_NE(ReadWholeFile(UserFile(0x22)).find("<EMAIL>bob@example.com</EMAIL>"), std::string::npos);
  EXPECT_EQ(ListText(), list);
  EXPECT_FALSE(Touched(home.File("userlist.xml")));
  EXPECT_FALSE(Touched(UserFile(0x11)));

  // Saving again with nothing changed writes no file, and still sets the time.
  Age();
  SetClockOverride(1700000600);
  ASSERT_EQ(SaveUsers(home.path.c_str(), "bob"), 0);
  ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
  EXPECT_EQ(GetUsersTime(), 1700000600u);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path)) {
    if (entry.is_regular_file()) {
      EXPECT_FALSE(Touched(entry.path())) << entry.path();
    }
  }
}

// Every way a UID, a name or the order of the users changes rewrites the
// list, so that it never goes stale (a stale list drops users at the next
// start). Each case changes the store and saves as its callers do; a UID 0
// in the expected list stands for the UID the user was given.
TEST_F(UnchangedFilesTest, EveryChangeOfUIDsOrNamesRewritesTheList) {
  // `filesFollowList`: users/ then holds exactly the listed users' files.
  // Not so where the case makes what no request makes: a loaded user's UID
  // cleared (its old file stays, no user holds its UID any more), or an
  // added user saved only through another's save (its file comes with its
  // own save).
  struct Case {
    const char* what;
    std::function<int()> change;
    std::vector<std::pair<UID, std::string>> list;
    bool filesFollowList = true;
  } cases[] = {
      {"a renamed user", [this] {
         UserStruct* cy = FindUser("cy");
         XMLNode* node = UserNodeOfRecord(cy);
         RemoveUsersTreeNode(FindXMLChildNode(node, kUserNameNodeName));  // a new name comes as a new child
         AppendNamedUsersChild(node, kUserNameNodeName, "cyd");
         NoteUserNodeNames(node);
         cy->USERNAME = "cyd";
         return SaveUsers(home.path.c_str(), "cyd");
       }, {{0x11, "ann"}, {0x22, "bob"}, {0x33, "cyd"}}},
      {"a change of letter case by client XML", [] {
         return UpdateUserXML("bob", "<USER><USERNAME>Bob</USERNAME><ADUSER>0</ADUSER><LEVEL>0</LEVEL></USER>");
       }, {{0x11, "ann"}, {0x22, "Bob"}, {0x33, "cy"}}},
      {"a new UID by client XML", [] {
         return SetUserXML("bob", "<USER><UID>00000044</UID><USERNAME>bob</USERNAME></USER>");
       }, {{0x11, "ann"}, {0x44, "bob"}, {0x33, "cy"}}},
      {"an added user", [this] {
         if (AddUserFromClient("bea", 0x55) < 0) return -1;
         return SaveUsers(home.path.c_str(), "bea");
       }, {{0x11, "ann"}, {0x55, "bea"}, {0x22, "bob"}, {0x33, "cy"}}},
      {"a deleted user", [this] {
         if (DeleteUserAndNode("ann", false) != 0) return -1;
         return SaveUsers(home.path.c_str(), "ann");
       }, {{0x22, "bob"}, {0x33, "cy"}}},
      {"new UIDs given at the start", [this] {
         FindUser("ann")->header.uid = kNoUID;  // a user read without a UID
         AssignUserUIDs();
         if (FindUser("ann")->header.uid == kNoUID || FindUser("ann")->header.uid == 0x11) return -1;
         return SaveUsers(home.path.c_str(), nullptr);
       }, {{kNoUID, "ann"}, {0x22, "bob"}, {0x33, "cy"}}, false},
      // A save of one user after another user's UID or name changed: the
      // list is known equal (a first save saw it), and the change must still
      // be seen although the saved user's own line is the same.
      {"a change of letter case by UpdateUser, another user saved", [this] {
         if (SaveUsers(home.path.c_str(), "ann") != 0) return -1;
         UserStruct record;
         if (CopyUserStruct(&record, FindUser("bob")) != 0) return -1;
         record.USERNAME = "BOB";
         const int rc = UpdateUser(&record);
         FreeUserStruct(&record);
         if (rc != 0) return rc;
         return SaveUsers(home.path.c_str(), "ann");
       }, {{0x11, "ann"}, {0x22, "BOB"}, {0x33, "cy"}}},
      {"an added user, another user saved", [this] {
         if (SaveUsers(home.path.c_str(), "ann") != 0) return -1;
         if (AddUserFromClient("bea", 0x55) < 0) return -1;
         return SaveUsers(home.path.c_str(), "ann");
       }, {{0x11, "ann"}, {0x55, "bea"}, {0x22, "bob"}, {0x33, "cy"}}, false},
      {"a deleted user, another user saved", [this] {
         if (SaveUsers(home.path.c_str(), "ann") != 0) return -1;
         if (DeleteUserAndNode("cy", false) != 0) return -1;
         return SaveUsers(home.path.c_str(), "ann");
       }, {{0x11, "ann"}, {0x22, "bob"}}},
      {"new UIDs given, another user saved", [this] {
         if (SaveUsers(home.path.c_str(), "bob") != 0) return -1;
         FindUser("ann")->header.uid = kNoUID;
         AssignUserUIDs();
         return SaveUsers(home.path.c_str(), "bob");
       }, {{kNoUID, "ann"}, {0x22, "bob"}, {0x33, "cy"}}, false},
      {"a new UID by client XML, another user saved", [this] {
         if (SaveUsers(home.path.c_str(), "ann") != 0) return -1;
         if (SetUserXML("bob", "<USER><UID>00000044</UID><USERNAME>bob</USERNAME></USER>") != 0) return -1;
         return SaveUsers(home.path.c_str(), "ann");
       }, {{0x11, "ann"}, {0x44, "bob"}, {0x33, "cy"}}},
      {"every user replaced", [] {
         return SetUsersXML("<USERS><USER><UID>00000077</UID><USERNAME>dee</USERNAME></USER></USERS>");
       }, {{0x77, "dee"}}},
      {"a reload of a file renamed on disk", [this] {
         WriteUserFile(0x33, SimpleUser(0x33, "Cy"));
         return ReloadUsers();
       }, {{0x11, "ann"}, {0x22, "bob"}, {0x33, "Cy"}}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    ASSERT_EQ(c.change(), 0);
    for (auto& [uid, name] : c.list) {
      if (uid == kNoUID) uid = FindUser(name.c_str())->header.uid;
    }
    EXPECT_TRUE(Touched(home.File("userlist.xml")));
    EXPECT_EQ(ListText(), ListOf(c.list));
    // users/ holds the files of the listed users and no other: a user that
    // left the list (deleted, given a new UID, not in a new store) took its
    // file with it.
    if (c.filesFollowList) {
      EXPECT_EQ(UserFileNames(), FileNamesOf(c.list));
    }
  }
}

// An add or a delete saved on its own changes the list by that one line, made
// of the old file's bytes: the result is byte for byte the writer's list, at
// the start, in the middle and at the end, for a name the writer escapes too.
// A list on disk that is not the one the store last wrote or saw (grown
// behind it), or more than one change before a save, is written whole.
TEST_F(UnchangedFilesTest, AnAddOrADeleteChangesTheListByItsLine) {
  struct Step {
    const char* what;
    std::function<int()> change;
    std::vector<std::pair<UID, std::string>> list;  // names as the list writes them
  };
  auto add = [this](const char* name, UID uid) {
    return [this, name, uid] { return AddUserFromClient(name, uid) < 0 ? -1 : SaveUsers(home.path.c_str(), name); };
  };
  auto remove = [this](const char* name) {
    return [this, name] { return DeleteUserAndNode(name, false) != 0 ? -1 : SaveUsers(home.path.c_str(), name); };
  };
  const Step steps[] = {
      {"an add at the start", add("aaa", 0x44), {{0x44, "aaa"}, {0x11, "ann"}, {0x22, "bob"}, {0x33, "cy"}}},
      {"an add at the end", add("zed", 0x55), {{0x44, "aaa"}, {0x11, "ann"}, {0x22, "bob"}, {0x33, "cy"}, {0x55, "zed"}}},
      {"an add of an escaped name", add("a&b", 0x66),
       {{0x66, "a&#038;b"}, {0x44, "aaa"}, {0x11, "ann"}, {0x22, "bob"}, {0x33, "cy"}, {0x55, "zed"}}},
      {"a delete in the middle", remove("bob"),
       {{0x66, "a&#038;b"}, {0x44, "aaa"}, {0x11, "ann"}, {0x33, "cy"}, {0x55, "zed"}}},
      {"a delete at the start", remove("a&b"), {{0x44, "aaa"}, {0x11, "ann"}, {0x33, "cy"}, {0x55, "zed"}}},
      {"a delete at the end", remove("zed"), {{0x44, "aaa"}, {0x11, "ann"}, {0x33, "cy"}}},
      {"an add after the list grew behind the store", [&] {
         WriteList(ListText() + "\n");
         return add("dan", 0x77)();
       }, {{0x44, "aaa"}, {0x11, "ann"}, {0x33, "cy"}, {0x77, "dan"}}},
      {"an add and a delete before one save", [this] {
         if (AddUserFromClient("eve", 0x88) < 0 || DeleteUserAndNode("ann", false) != 0) return -1;
         return SaveUsers(home.path.c_str(), "eve");
       }, {{0x44, "aaa"}, {0x33, "cy"}, {0x77, "dan"}, {0x88, "eve"}}},
      {"a delete of the last user but one", remove("aaa"), {{0x33, "cy"}, {0x77, "dan"}, {0x88, "eve"}}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    Age();
    ASSERT_EQ(step.change(), 0);
    EXPECT_TRUE(Touched(home.File("userlist.xml")));
    EXPECT_EQ(ListText(), ListOf(step.list));
  }
  // What the edits left is what a start reads back.
  FreeUsersData();
  ResetUserStore();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  EXPECT_EQ(GetUsersLoadState(), USERS_LOAD_OK);
  EXPECT_EQ(GetUserCount(), 3);
}

// A partial load always writes the list at its first save, the old one kept
// as userlist.xml.bad, even when the users it made would list the same.
TEST_F(UnchangedFilesTest, PartialLoadWritesTheListAtItsFirstSave) {
  const std::string list = ListText();
  WriteList(list + "<USER uid=\"00000099\" name=\"gone\"/>\n");  // ends after the root: read in part
  ASSERT_NE(ReadUsersV2(home.path.c_str()), -1);
  ASSERT_EQ(GetUsersLoadState(), USERS_LOAD_PARTIAL);
  Age();
  ASSERT_EQ(SaveUsers(home.path.c_str(), "bob"), 0);
  EXPECT_TRUE(Touched(home.File("userlist.xml")));
  EXPECT_EQ(ListText(), list);
  EXPECT_TRUE(std::filesystem::exists(home.File("userlist.xml.bad")));
}

// After a load the list is left alone only when its bytes are exactly the
// writer's: a list that reads as the same users but differs in one byte, is
// one byte longer or shorter, is rewritten at the first save. The list of
// many users is compared piece by piece, so the cases run with a short list
// and with one of some tens of pieces, the change at its start, middle or end.
TEST_F(UnchangedFilesTest, AListThatDiffersInAnyByteIsRewrittenAtTheFirstSave) {
  struct Case {
    const char* what;
    std::function<std::string(const std::string&)> edit;  // of the writer's bytes
    bool rewritten;
  } cases[] = {
      {"the writer's bytes", [](const std::string& t) { return t; }, false},
      {"one line break more at the end", [](const std::string& t) { return t + "\n"; }, true},
      {"one space more at the end", [](const std::string& t) { return t + " "; }, true},
      {"the declaration without its line break",
       [](const std::string& t) { return t.substr(0, 21) + t.substr(22); }, true},
      {"a space before the end of the first user's tag",
       [](const std::string& t) { return std::string(t).insert(t.find("\"/>") + 1, " "); }, true},
      {"the last user's name in quotes of the other kind", [](const std::string& t) {
         std::string s = t;
         const size_t at = s.rfind(" name=\"") + 6;
         s[at] = '\'';
         s[s.find('"', at + 1)] = '\'';
         return s;
       }, true},
      {"the last user's name in other letter case", [](const std::string& t) {
         std::string s = t;
         const size_t at = s.rfind(" name=\"") + 7;
         s[at] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[at])));
         return s;
       }, true},
  };
  for (const int users : {3, 3000}) {
    std::vector<std::pair<UID, std::string>> list;
    for (int k = 0; k < users; ++k) {
      char name[16];
      snprintf(name, sizeof name, "user%04d", k);  // the array's order (by name) is the UIDs'
      list.push_back({static_cast<UID>(0x11 + k), name});
    }
    const std::string writers = ListOf(list);
    for (const auto& [uid, name] : list) WriteUserFile(uid, SimpleUser(uid, name));
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(users) + " users");
      TearDown();
      UsersFilesTest::SetUp();
      WriteList(c.edit(writers));
      ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
      ASSERT_EQ(GetUserCount(), users);
      ASSERT_EQ(GetUsersLoadState(), USERS_LOAD_OK);
      Age();
      ASSERT_EQ(SaveUsers(home.path.c_str(), "user0001"), 0);
      EXPECT_EQ(Touched(home.File("userlist.xml")), c.rewritten);
      EXPECT_TRUE(ListText() == writers);
    }
  }
}

// A reload over files of which one was changed on disk rewrites exactly
// that one (in the writer's form) and leaves the list and the others alone.
TEST_F(UnchangedFilesTest, ReloadRewritesOnlyTheFileChangedOnDisk) {
  const std::string changed =
      "<USER>\n<UID>00000022</UID>\n<LEVEL>0</LEVEL>\n<USERNAME>bob</USERNAME>\n<ADUSER>0</ADUSER>\n"
      "<USERDATA>\n<Live>\n<Torvane>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";
  WriteUserFile(0x22, changed);
  Age();
  ASSERT_EQ(ReloadUsers(), 0);
  EXPECT_TRUE(Touched(UserFile(0x22)));
  EXPECT_EQ(ReadWholeFile(UserFile(0x22)), SimpleUser(0x22, "bob"));
  EXPECT_FALSE(Touched(UserFile(0x11)));
  EXPECT_FALSE(Touched(UserFile(0x33)));
  EXPECT_FALSE(Touched(home.File("userlist.xml")));
}

// The upgrade from version 1 writes the per-user files and the list; over
// files already there, it writes only those whose text differs.
TEST_F(UnchangedFilesTest, UpgradeWritesOnlyTheFilesThatDiffer) {
  WriteWholeFile(home.File("users.xml"),
                 "<?xml version=\"1.0\"?>\n<USERS>\n" + SimpleUser(0x11, "ann") + SimpleUser(0x22, "bob") +
                     SimpleUser(0x33, "cy").replace(0, 6, "<USER>\n<FORENAME>C</FORENAME>\n") + "</USERS>");
  FreeUsersData();
  ASSERT_EQ(ReadUsersXML(home.File("users.xml").c_str()), 0);
  Age();
  ASSERT_EQ(WriteUserList(home.path.c_str(), nullptr), 0);
  EXPECT_FALSE(Touched(UserFile(0x11)));
  EXPECT_FALSE(Touched(UserFile(0x22)));
  EXPECT_TRUE(Touched(UserFile(0x33)));
  EXPECT_NE(ReadWholeFile(UserFile(0x33)).find("<FORENAME>C</FORENAME>"), std::string::npos);
  EXPECT_TRUE(Touched(home.File("userlist.xml")));  // a version-1 read does not know the list on disk
  EXPECT_EQ(ListText(), ListOf({{0x11, "ann"}, {0x22, "bob"}, {0x33, "cy"}}));
}

// ---- Reading ahead -------------------------------------------------------------------

// A version-2 home whose list names good users among every kind of file
// that does not load: missing, a directory or a FIFO in the file's place,
// empty, cut short, an invalid name, a UID taken already, an XML
// declaration. Loaded without the read-ahead and with it (one worker in a
// window of one, several in a small window, the defaults), it gives the same
// code, users, log lines in the same order and load state.
class ReadAheadLoadTest : public UsersFilesTest {
 protected:
  struct Outcome {
    int rc;
    std::vector<std::string> users;
    std::string log;
    UsersLoadState state;
    std::vector<bool> loaded;  // per listed user: has a record
  };

  void MakeHome(int count) {
    std::vector<std::pair<UID, std::string>> list;
    std::filesystem::create_directories(home.File("users"));
    for (int i = 1; i <= count; ++i) {
      const UID uid = static_cast<UID>(i);
      const std::string name = "u" + std::to_string(i);
      list.emplace_back(uid, name);
      std::string deep;
      for (int d = 0; d < 300; ++d) deep += "<D\n a=\"1\">";
      switch (i % 14) {
        case 1: break;  // missing
        case 2: std::filesystem::create_directories(UserFile(uid)); break;
        case 3: ASSERT_EQ(mkfifo(UserFile(uid).c_str(), 0600), 0); break;
        case 4: WriteUserFile(uid, ""); break;
        case 5: WriteUserFile(uid, SimpleUser(uid, name).substr(0, 40)); break;
        case 6: WriteUserFile(uid, SimpleUser(uid, "+" + name)); break;
        case 7: WriteUserFile(uid, SimpleUser(1 + (uid % 7), name)); break;  // another's UID
        case 8: WriteUserFile(uid, "<?xml version=\"1.0\"?>" + SimpleUser(uid, name)); break;
        case 9: WriteUserFile(uid, "<!DOCTYPE USER [<!ENTITY e \"x\">]>" + SimpleUser(uid, name)); break;
        case 10: WriteUserFile(uid, SimpleUser(uid, name).insert(6, "<FIELD\r\n name=\"a\"\r\n\r\n>" + deep)); break;
        case 11: WriteUserFile(uid, SimpleUser(uid, name).insert(6, "<X\r\nq=\"1\">t\r\nu</X>\r\n\r\n<Y>&bad;</Y>")); break;
        case 12:  // attributes, entities, CDATA and text over several lines: loads
          WriteUserFile(uid, SimpleUser(uid, name).insert(6, "<FIELD a=\"&lt;1&amp;\"\n b='2'\n>v&#65;\r\nw<![CDATA[<c>]]></FIELD>\n"));
          break;
        default: WriteUserFile(uid, SimpleUser(uid, name)); break;
      }
    }
    WriteList(ListOf(list));
  }

  Outcome Load(const FileReadAheadOptions& options, int count) {
    ResetDirectoryState();
    EXPECT_EQ(SetHomeDirectory(home.path.c_str()), 0);
    SetUsersFileReadAhead(options);
    Outcome o;
    testing::internal::CaptureStderr();
    o.rc = ReadUsersV2(home.path.c_str());
    o.log = testing::internal::GetCapturedStderr();
    o.users = Snapshot();
    o.state = GetUsersLoadState();
    for (int i = 1; i <= count; ++i) o.loaded.push_back(FindUser(("u" + std::to_string(i)).c_str()) != nullptr);
    return o;
  }
};

TEST_F(ReadAheadLoadTest, SameUsersLogsAndStateWithAndWithoutIt) {
  FileReadAheadOptions inline_;
  inline_.maxWorkers = 0;
  FileReadAheadOptions one;
  one.minFilesForThreads = 1;
  one.maxWorkers = 1;
  one.window = 1;
  FileReadAheadOptions several;
  several.minFilesForThreads = 1;
  several.maxWorkers = 4;
  several.window = 5;
  for (const int count : {12, 300}) {  // below and above the default threshold
    MakeHome(count);
    const Outcome base = Load(inline_, count);
    EXPECT_EQ(base.state, USERS_LOAD_PARTIAL) << count;
    EXPECT_FALSE(base.users.empty()) << count;
    EXPECT_NE(base.log.find("00000001.xml< (code 21)"), std::string::npos) << base.log;
    EXPECT_NE(base.log.find("00000002.xml< (code 14)"), std::string::npos) << base.log;
    EXPECT_NE(base.log.find("00000003.xml< (code 14)"), std::string::npos) << base.log;
    EXPECT_NE(base.log.find("00000004.xml< is empty"), std::string::npos) << base.log;
    EXPECT_NE(base.log.find("00000005.xml< does not read"), std::string::npos) << base.log;
    EXPECT_NE(base.log.find("begins with an XML declaration"), std::string::npos) << base.log;
    EXPECT_NE(base.log.find("holds a document type"), std::string::npos) << base.log;
    EXPECT_NE(base.log.find("nested"), std::string::npos) << base.log;
    EXPECT_NE(base.log.find("XML error undefined entity at line 5"), std::string::npos) << base.log;
    EXPECT_NE(base.log.find("XML error parsing stopped at line "), std::string::npos) << base.log;
    ASSERT_NE(FindUser("u12"), nullptr);
    for (const FileReadAheadOptions& options : {one, several, FileReadAheadOptions{}}) {
      const Outcome o = Load(options, count);
      EXPECT_EQ(o.rc, base.rc) << count;
      EXPECT_EQ(o.users, base.users) << count;
      EXPECT_EQ(o.log, base.log) << count;
      EXPECT_EQ(o.state, base.state) << count;
      EXPECT_EQ(o.loaded, base.loaded) << count;
    }
    for (const auto& entry : std::filesystem::directory_iterator(home.path)) std::filesystem::remove_all(entry.path());
  }
}

}  // namespace
