// Tests of groups.xml: the exact bytes the writer puts out, the round trip,
// the reader's handling of wrong content, chunk boundaries at 512 bytes,
// UID texts, atomic replacement under a failing write, and SaveGroupsFile.
#include "directory/groups_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "directory/groups.h"
#include "directory/user_records.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/util/util.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

// What a first start writes, line by line.
const char kFirstStartFile[] =
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

class GroupsFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetAll(); }
  void TearDown() override { ResetAll(); }
  static void ResetAll() {
    ResetDirectoryState();
  }

  static void MakeFirstStartArrays() {
    GroupStruct* g = GetGroupByIndex(AddGroup("Everyone"));
    g->header.uid = kUIDEveryoneGroup;
    g = GetGroupByIndex(AddGroup("Administrators"));
    g->header.uid = kUIDAdministratorsGroup;
    ASSERT_NE(AddNewPerm(kUIDDefaultPermission), nullptr);
    ASSERT_EQ(AddToPermission(kUIDDefaultPermission, kUIDEveryoneGroup, true, false), FR_OK);
    ASSERT_EQ(AddToPermission(kUIDDefaultPermission, kUIDAdministratorsGroup, true, true), FR_OK);
  }

  // Writes `text` to a fresh file and reads it.
  int ReadText(const std::string& text) {
    std::string path = dir_.File("groups.xml");
    WriteWholeFile(path, text);
    return ReadGroupsXML(path);
  }

  static std::vector<std::string> GroupNames() {
    std::vector<std::string> names;
    for (int32_t i = 0; i < GetGroupCount(); ++i) names.push_back(GetGroupByIndex(i)->name.value_or("(none)"));
    return names;
  }

  TempDir dir_;
};

std::string Doc(const std::string& body) { return "<?xml version=\"1.0\"?>\n<GROUPS>\n" + body + "</GROUPS>"; }

std::string Group(const std::string& name, const std::string& more = "") {
  return "<GROUP>\n<NAME>" + name + "</NAME>\n" + more + "</GROUP>\n";
}

// ---- Writing -------------------------------------------------------------------------

TEST_F(GroupsFileTest, WritesTheFirstStartFileExactly) {
  MakeFirstStartArrays();
  SetClockOverride(1700000000);
  std::string path = dir_.File("groups.xml");
  ASSERT_EQ(WriteGroupsXML(path), FR_OK);
  EXPECT_EQ(ReadWholeFile(path), kFirstStartFile);
  EXPECT_EQ(GetGroupsTime(), 1700000000u);
}

TEST_F(GroupsFileTest, WritesDescriptionsAndMembersEscapedAndRunTimeGroupsWithUIDZero) {
  int32_t i = AddGroup("Staff");
  GroupStruct* g = GetGroupByIndex(i);
  g->description = "R&D <core>";
  ASSERT_EQ(AddUserToGroup(g, "bob"), 0);
  ASSERT_EQ(AddUserToGroup(g, "a&b"), 0);
  GetGroupByIndex(AddGroup("Empty"))->description = "";
  std::string path = dir_.File("groups.xml");
  ASSERT_EQ(WriteGroupsXML(path), FR_OK);
  EXPECT_EQ(ReadWholeFile(path),
            Doc("<GROUP>\n<NAME>Empty</NAME>\n<UID>00000000</UID>\n<DESCRIPTION></DESCRIPTION>\n</GROUP>\n"
                "<GROUP>\n<NAME>Staff</NAME>\n<UID>00000000</UID>\n"
                "<DESCRIPTION>R&#038;D &#060;core&#062;</DESCRIPTION>\n"
                "<USER>a&#038;b</USER>\n<USER>bob</USER>\n</GROUP>\n"));
}

TEST_F(GroupsFileTest, WriteRefusalsAndFailures) {
  EXPECT_EQ(WriteGroupsXML(""), FR_INVALID_PARAMETER);
  EXPECT_EQ(WriteGroupsXML(dir_.File("missing/groups.xml")), FR_CANNOT_OPEN_FILE);
  EXPECT_EQ(WriteGroupXML(nullptr, stdout), FR_INVALID_PARAMETER);
  EXPECT_EQ(WritePermXML(nullptr, stdout), FR_INVALID_PARAMETER);
}

TEST_F(GroupsFileTest, AFailedWriteKeepsThePreviousFile) {
  MakeFirstStartArrays();
  std::string path = dir_.File("groups.xml");
  ASSERT_EQ(WriteGroupsXML(path), FR_OK);
  ASSERT_GE(AddGroup("Later"), 0);
  SetAtomicWriteFailAfter(40);
  EXPECT_EQ(WriteGroupsXML(path), FR_WRITE_FAILED);
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(ReadWholeFile(path), kFirstStartFile);
  EXPECT_EQ(WriteGroupsXML(path), FR_OK);
  EXPECT_NE(ReadWholeFile(path).find("<NAME>Later</NAME>"), std::string::npos);
}

// ---- Round trip ------------------------------------------------------------------------

TEST_F(GroupsFileTest, ReadsTheFirstStartFileBack) {
  SetClockOverride(1700000500);
  ASSERT_EQ(ReadText(kFirstStartFile), 0);
  EXPECT_EQ(GroupNames(), (std::vector<std::string>{"Administrators", "Everyone"}));
  EXPECT_EQ(GetGroupByIndex(0)->header.uid, kUIDAdministratorsGroup);
  EXPECT_EQ(GetGroupByIndex(0)->header.kind, NODE_KIND_GROUP);
  EXPECT_EQ(GetGroupByIndex(1)->header.uid, kUIDEveryoneGroup);
  ASSERT_EQ(GetPermissionCount(), 1);
  PermissionStruct* p = FindPermission(kUIDDefaultPermission);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->header.kind, NODE_KIND_PERMISSION);
  EXPECT_EQ(p->read, (std::vector<UID>{kUIDEveryoneGroup, kUIDAdministratorsGroup}));
  EXPECT_EQ(p->write, (std::vector<UID>{kUIDAdministratorsGroup}));
  EXPECT_EQ(AddToPermission(kUIDDefaultPermission, 42, true, false), FR_OK);
  EXPECT_EQ(GetGroupsTime(), 1700000500u);
}

TEST_F(GroupsFileTest, WriteReadRoundTrip) {
  MakeFirstStartArrays();
  GroupStruct* g = GetGroupByIndex(AddGroup("Staff"));
  g->header.uid = 0x1234;
  g->description = "Tom & Jerry\n<x>";
  ASSERT_EQ(AddUserToGroup(g, "carol"), 0);
  ASSERT_EQ(AddUserToGroup(g, "Al\xc3\xa9"), 0);
  std::string path = dir_.File("groups.xml");
  ASSERT_EQ(WriteGroupsXML(path), FR_OK);
  EXPECT_NE(ReadWholeFile(path).find("Tom &#038; Jerry"), std::string::npos);

  ResetGroupsAndPermissions();
  ResetNodeRegistry();
  ASSERT_EQ(ReadGroupsXML(path), 0);
  EXPECT_EQ(GroupNames(), (std::vector<std::string>{"Administrators", "Everyone", "Staff"}));
  g = FindGroupByName("Staff");
  EXPECT_EQ(g->header.uid, 0x1234u);
  EXPECT_EQ(g->description, "Tom & Jerry\n<x>");
  EXPECT_EQ(g->members, (std::vector<std::string>{"Al\xc3\xa9", "carol"}));
  ASSERT_NE(FindPermission(kUIDDefaultPermission), nullptr);
  std::string again = dir_.File("again.xml");
  ASSERT_EQ(WriteGroupsXML(again), FR_OK);
  EXPECT_EQ(ReadWholeFile(again), ReadWholeFile(path));
}

// ---- The reader's cases -------------------------------------------------------------------

TEST_F(GroupsFileTest, ReaderTable) {
  struct Case {
    const char* id;
    std::string text;
    int rc;
    std::vector<std::string> groups;
    int perms;
    GroupsLoadState state;  // decides whether the next save may replace the file
  } cases[] = {
      {"root GROUPLIST", "<GROUPLIST>" + Group("A") + "</GROUPLIST>", -1, {}, 0, GROUPS_LOAD_FAILED},
      {"VERSION first", Doc("<VERSION>2</VERSION>\n" + Group("A")), 0, {}, 0, GROUPS_LOAD_OK},
      {"VERSION after groups, malformed tail ignored",
       "<GROUPS>" + Group("A") + Group("B") + "<VERSION>2</VERSION><PERM><oops></GROUPS>", 0, {"A", "B"}, 0, GROUPS_LOAD_OK},
      {"invalid name stops", Doc(Group("A") + Group("1abc") + Group("C")), -1, {"A"}, 0, GROUPS_LOAD_FAILED},
      {"group without name stops", Doc(Group("A") + "<GROUP><UID>5</UID></GROUP>" + Group("C")), -1, {"A"}, 0, GROUPS_LOAD_FAILED},
      {"second group of a name dropped", Doc(Group("A", "<UID>1</UID>") + Group("a", "<UID>2</UID>") + Group("C")), 0,
       {"A", "C"}, 0, GROUPS_LOAD_PARTIAL},
      {"group named like a user dropped", Doc(Group("bob") + Group("C")), 0, {"C"}, 0, GROUPS_LOAD_PARTIAL},
      {"unexpected child of GROUPS ends the reading, in part", Doc(Group("A") + "<OTHER/>" + Group("C")), 0, {"A"}, 0, GROUPS_LOAD_PARTIAL},
      {"unexpected element in GROUP", Doc(Group("A", "<COLOUR>red</COLOUR>") + Group("C")), -1, {}, 0, GROUPS_LOAD_FAILED},
      {"unexpected element in PERM", Doc("<PERM><UID>9</UID><OWNER/></PERM>" + Group("C")), -1, {}, 0, GROUPS_LOAD_FAILED},
      {"element nested in a leaf", Doc("<GROUP><NAME>A<B/></NAME></GROUP>"), -1, {}, 0, GROUPS_LOAD_FAILED},
      {"element names without regard to case",
       "<groups><Group><name>A</name><Uid>7</Uid></Group><perm><uid>8</uid><read>7</read></perm></groups>", 0, {"A"},
       1, GROUPS_LOAD_OK},
      {"bad members skipped, reading goes on",
       Doc(Group("A", "<USER>bob</USER><USER></USER><USER>BOB</USER><USER>\n</USER><USER>amy</USER>") + Group("C") +
           "<PERM><UID>9</UID></PERM>"),
       0, {"A", "C"}, 1, GROUPS_LOAD_OK},
      {"malformed document", Doc(Group("A") + "<GROUP>"), -1, {"A"}, 0, GROUPS_LOAD_FAILED},
      {"junk after the root", Doc(Group("A")) + "<MORE/>", -1, {"A"}, 0, GROUPS_LOAD_FAILED},
      {"empty file", "", -1, {}, 0, GROUPS_LOAD_FAILED},
      {"duplicate permission UID", Doc("<PERM><UID>9</UID></PERM><PERM><UID>9</UID></PERM>" + Group("C")), -1, {}, 1, GROUPS_LOAD_FAILED},
  };
  for (const Case& c : cases) {
    ResetAll();
    ASSERT_GE(AddUser("bob", 100), 0);
    EXPECT_EQ(ReadText(c.text), c.rc) << c.id;
    EXPECT_EQ(GroupNames(), c.groups) << c.id;
    EXPECT_EQ(GetPermissionCount(), c.perms) << c.id;
    EXPECT_EQ(GetGroupsLoadState(), c.state) << c.id;
  }
}

// A save after a failed read is refused and keeps the file; after a partial
// read the first save keeps the file as groups.xml.bad first (the groups and
// permissions after the damage survive there); a missing file holds nothing
// to protect.
TEST_F(GroupsFileTest, SavesAfterADamagedRead) {
  std::string many;
  for (int i = 0; i < 23; ++i) many += Group("G" + std::to_string(100 + i), "<UID>" + std::to_string(100 + i) + "</UID>");
  const std::string whole = Doc(many + "<PERM><UID>EE6B2803</UID><READ>100</READ></PERM>");
  const std::string cut = whole.substr(0, whole.find(Group("G106", "<UID>106</UID>")) + 20);
  struct Case {
    const char* id;
    std::string text;
    bool file;   // false: no groups.xml at all
    int save;    // the code of the first save after the read
    bool bad;    // groups.xml.bad then holds the text read
  } cases[] = {
      {"cut after the 6th of 23 groups", cut, true, FR_WRITE_FAILED, false},
      {"unknown child of GROUPS", Doc(Group("A") + "<OTHER/>" + Group("C")), true, FR_OK, true},
      {"group dropped", Doc(Group("A") + Group("a") + Group("C")), true, FR_OK, true},
      {"whole", whole, true, FR_OK, false},
      {"no file", "", false, FR_OK, false},
  };
  const std::string path = dir_.File("groups.xml");
  const std::string bad = path + ".bad";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ResetAll();
    std::remove(path.c_str());
    std::remove(bad.c_str());
    if (c.file) WriteWholeFile(path, c.text);
    ReadGroupsXML(path);
    ASSERT_GE(AddGroup("Added"), 0);
    EXPECT_EQ(WriteGroupsXML(path), c.save);
    if (c.save != FR_OK) {
      EXPECT_EQ(ReadWholeFile(path), c.text);
      continue;
    }
    EXPECT_EQ(ReadWholeFile(bad), c.bad ? c.text : "");
    // Only the first save keeps the copy: the second leaves it as it is.
    ASSERT_GE(AddGroup("Added2"), 0);
    ASSERT_EQ(WriteGroupsXML(path), FR_OK);
    EXPECT_EQ(ReadWholeFile(bad), c.bad ? c.text : "");
    ResetAll();
    ASSERT_EQ(ReadGroupsXML(path), 0);
    EXPECT_EQ(GetGroupsLoadState(), GROUPS_LOAD_OK);
  }
}

TEST_F(GroupsFileTest, MembersReadSortedAndBadOnesSkipped) {
  ASSERT_EQ(ReadText(Doc(Group("A", "<USER>zed</USER><USER></USER><USER>amy</USER><USER>AMY</USER>"))), 0);
  EXPECT_EQ(FindGroupByName("A")->members, (std::vector<std::string>{"amy", "zed"}));
}

// A large group in no particular order (as a client's update leaves it) with
// repeats: every member read once, sorted, the first spelling of a repeated
// name kept.
TEST_F(GroupsFileTest, LargeUnorderedGroupReadsWhole) {
  const int n = 40000;
  std::string users;
  users.reserve(static_cast<size_t>(n) * 28);
  char name[32];
  for (int i = 0; i < n; ++i) {
    std::snprintf(name, sizeof name, "u%06d", static_cast<int>((static_cast<long long>(i) * 7919) % n));
    users += "<USER>";
    users += name;
    users += "</USER>\n";
  }
  users += "<USER>U000005</USER>\n<USER>u000007</USER>\n";  // repeats, other case and same
  const std::string text = Doc(Group("Big", users) + Group("Next"));
  ASSERT_EQ(ReadText(text), 0);
  const GroupStruct* g = FindGroupByName("Big");
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(g->members.size(), static_cast<size_t>(n));
  int wrong = 0;  // sorted, and of a repeated name the first spelling kept
  for (int i = 0; i < n; ++i) {
    std::snprintf(name, sizeof name, "u%06d", i);
    if (g->members[static_cast<size_t>(i)] != name) ++wrong;
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_NE(FindGroupByName("Next"), nullptr);
}

// Many permissions: the array grows many times while the file is read, and
// every permission stays found by its UID at its current address.
TEST_F(GroupsFileTest, ManyPermissionsStayFoundByUID) {
  const int n = 20000;
  std::string perms;
  perms.reserve(static_cast<size_t>(n) * 32);
  char line[64];
  for (int i = 0; i < n; ++i) {
    std::snprintf(line, sizeof line, "<PERM><UID>%08X</UID><READ>5</READ></PERM>\n", 0x100 + i);
    perms += line;
  }
  ASSERT_EQ(ReadText(Doc(perms)), 0);
  ASSERT_EQ(GetPermissionCount(), n);
  int misplaced = 0;
  for (int i = 0; i < n; ++i) {
    PermissionStruct* p = GetPermissionByIndex(i);
    if (p->header.uid != static_cast<UID>(0x100 + i) || FindPermission(p->header.uid) != p) ++misplaced;
  }
  EXPECT_EQ(misplaced, 0);
}

// A file whose groups are not in the array's order (a client's text, or one
// edited by hand) is read with the groups appended and sorted once at the
// end; meanwhile a later group of an earlier name, in any letter case, and a
// group named like a user are still dropped, and the first of a name stays.
TEST_F(GroupsFileTest, GroupsInAnyOrderReadSortedWithTheFirstOfANameKept) {
  ASSERT_GE(AddUser("bob", 100), 0);
  ASSERT_GE(AddGroup("Kept"), 0);  // held before the read
  std::string body;
  char name[16], uid[32];
  const int n = 600;
  for (int i = n - 1; i >= 0; --i) {  // reverse order: every group breaks the order
    std::snprintf(name, sizeof name, "g%04d", i);
    std::snprintf(uid, sizeof uid, "<UID>%08X</UID>\n", 0x1000 + i);
    body += Group(name, uid);
  }
  body += Group("G0300", "<UID>1</UID>\n");  // repeats, other case
  body += Group("g0599", "<UID>2</UID>\n");
  body += Group("KEPT", "<UID>3</UID>\n");
  body += Group("Bob");                       // a user's name
  body += Group("a-last", "<USER>amy</USER>\n");
  ASSERT_EQ(ReadText(Doc(body)), 0);

  ASSERT_EQ(GetGroupCount(), n + 2);
  EXPECT_EQ(*GetGroupByIndex(0)->name, "a-last");
  EXPECT_EQ(GetGroupByIndex(0)->members, (std::vector<std::string>{"amy"}));
  for (int32_t i = 1; i < GetGroupCount(); ++i) {
    ASSERT_LT(CompareGroupNames(*GetGroupByIndex(i - 1), *GetGroupByIndex(i)), 0) << i;
  }
  for (int i = 0; i < n; ++i) {
    std::snprintf(name, sizeof name, "G%04d", i);
    const GroupStruct* g = FindGroupByName(name);
    ASSERT_NE(g, nullptr) << name;
    EXPECT_EQ(g->header.uid, static_cast<UID>(0x1000 + i)) << name;  // the first of the name
  }
  EXPECT_EQ(FindGroupByName("kept")->header.uid, 0u);
  EXPECT_EQ(FindGroupByName("bob"), nullptr);

  // After the read, adds go to their sorted place again.
  EXPECT_EQ(AddGroup("A"), 0);
  EXPECT_EQ(AddGroup("g0100"), -1);
  EXPECT_EQ(FindGroupIndex("a-last"), 1);
}

TEST_F(GroupsFileTest, PermissionListsKeepTheFilesOrder) {
  struct Case {
    const char* id;
    std::string element;
    std::vector<UID> list;
  } cases[] = {
      {"two", "<READ>EE6B2800;EE6B2801</READ>", {0xEE6B2800u, 0xEE6B2801u}},
      {"trailing separator", "<READ>A;B;</READ>", {0xA, 0xB, 0}},
      {"piece without digits", "<READ>A;X;B</READ>", {0xA, 0, 0xB}},
      {"file order and duplicates", "<READ>5;3;5</READ>", {5, 3, 5}},
      {"a single line feed", "<READ>\n</READ>", {}},
      {"no text leaves the list", "<READ/>", {}},
      {"white space and prefix", "<READ> 0x1f;\t2</READ>", {0x1F, 2}},
  };
  for (const Case& c : cases) {
    ResetAll();
    ASSERT_EQ(ReadText(Doc("<PERM>\n<UID>00000009</UID>\n" + c.element + "\n</PERM>\n")), 0) << c.id;
    PermissionStruct* p = FindPermission(9);
    ASSERT_NE(p, nullptr) << c.id;
    EXPECT_EQ(p->read, c.list) << c.id;
    EXPECT_TRUE(p->write.empty()) << c.id;
  }
}

TEST_F(GroupsFileTest, UIDTextsParseLikeA32BitStrtoul) {
  struct Case {
    const char* text;
    UID uid;
  } cases[] = {
      {"EE6B2800", 0xEE6B2800u}, {"ee6b2800", 0xEE6B2800u}, {"  1A", 0x1A},        {"0x10", 0x10},
      {"0X10", 0x10},            {"0x", 0},                 {"", 0},               {"zz", 0},
      {"12zz", 0x12},            {"FFFFFFFF", 0xFFFFFFFFu}, {"100000000", 0xFFFFFFFFu},
      {"123456789ABCDEF", 0xFFFFFFFFu},                     {"-1", 0xFFFFFFFFu},   {"-10", 0xFFFFFFF0u},
      {"+7", 7},                 {"\n\t 7", 7},             {"-100000000", 0xFFFFFFFFu},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseHex32LikeStrtoul(c.text), c.uid) << c.text;
}

TEST_F(GroupsFileTest, GroupsWithoutUIDGetOneAtStartUp) {
  ASSERT_EQ(ReadText(Doc(Group("A") + Group("B", "<UID></UID>") + Group("C", "<UID>0000002A</UID>"))), 0);
  for (const char* n : {"A", "B"}) EXPECT_EQ(FindGroupByName(n)->header.uid, 0u) << n;
  EXPECT_EQ(FindGroupByName("C")->header.uid, 0x2Au);
  EXPECT_EQ(AssignGroupUIDs(), 0);
  UID a = FindGroupByName("A")->header.uid;
  UID b = FindGroupByName("B")->header.uid;
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(FindGroupByName("C")->header.uid, 0x2Au);
  for (int32_t i = 0; i < GetGroupCount(); ++i) EXPECT_EQ(GetGroupByIndex(i)->header.kind, NODE_KIND_GROUP);
}

// The start-up writes the UIDs it gives at once, so that the next start
// reads the same ones (and a permission naming a group still names it);
// with no UID to give it writes nothing, and after a failed read it refuses
// and keeps the file.
TEST_F(GroupsFileTest, TheStartUpWritesTheUIDsItGives) {
  const std::string path = dir_.File("groups.xml");
  SetGroupsFilePath(path);
  ASSERT_EQ(ReadText(Doc(Group("A") + Group("C", "<UID>0000002A</UID>"))), 0);
  ASSERT_EQ(SaveStartUpGroupUIDs(), 0);
  const UID a = FindGroupByName("A")->header.uid;
  ASSERT_NE(a, 0u);
  const std::string written = ReadWholeFile(path);
  char line[32];
  std::snprintf(line, sizeof line, "<UID>%08X</UID>", a);
  EXPECT_NE(written.find(line), std::string::npos) << written;

  // The next start: the same UID, and nothing to write.
  ResetAll();
  SetGroupsFilePath(path);
  ASSERT_EQ(ReadGroupsXML(path), 0);
  EXPECT_EQ(FindGroupByName("A")->header.uid, a);
  const auto before = std::filesystem::last_write_time(path);
  std::filesystem::last_write_time(path, before - std::chrono::hours(1));
  EXPECT_EQ(SaveStartUpGroupUIDs(), 0);
  EXPECT_EQ(std::filesystem::last_write_time(path), before - std::chrono::hours(1)) << "rewritten with nothing new";

  // A file that did not read is not replaced by what was read of it.
  ResetAll();
  SetGroupsFilePath(path);
  const std::string broken = Doc(Group("B")) + "<";
  WriteWholeFile(path, broken);
  EXPECT_EQ(ReadGroupsXML(path), -1);
  EXPECT_EQ(SaveStartUpGroupUIDs(), FR_WRITE_FAILED);
  EXPECT_EQ(ReadWholeFile(path), broken);
}

TEST_F(GroupsFileTest, PermissionWithoutUIDTakesANewOne) {
  ASSERT_EQ(ReadText(Doc("<PERM><READ>5</READ></PERM>")), 0);
  ASSERT_EQ(GetPermissionCount(), 1);
  PermissionStruct* p = GetPermissionByIndex(0);
  EXPECT_NE(p->header.uid, 0u);
  EXPECT_EQ(FindPermission(p->header.uid), p);
  EXPECT_EQ(p->read, (std::vector<UID>{5}));
}

TEST_F(GroupsFileTest, MissingFile) {
  SetClockOverride(1700000900);
  EXPECT_EQ(ReadGroupsXML(dir_.File("none.xml")), -1);
  EXPECT_EQ(GetGroupCount(), 0);
  EXPECT_EQ(GetGroupsTime(), 1700000900u);
}

// The reader hands the file to the parser 512 bytes at a time; a chunk
// shorter than that is the last. Files around the boundary must read whole.
TEST_F(GroupsFileTest, FilesAroundTheChunkSize) {
  const std::string head = "<?xml version=\"1.0\"?>\n<GROUPS>\n<GROUP>\n<NAME>Staff</NAME>\n<DESCRIPTION>";
  const std::string tail = "</DESCRIPTION>\n<USER>zed</USER>\n</GROUP>\n</GROUPS>";
  for (size_t size : {511u, 512u, 513u, 1024u, 1025u}) {
    ResetAll();
    std::string pad(size - head.size() - tail.size(), 'x');
    std::string text = head + pad + tail;
    ASSERT_EQ(text.size(), size);
    ASSERT_EQ(ReadText(text), 0) << size;
    GroupStruct* g = FindGroupByName("Staff");
    ASSERT_NE(g, nullptr) << size;
    EXPECT_EQ(g->description, pad) << size;
    EXPECT_EQ(g->members, (std::vector<std::string>{"zed"})) << size;
  }
  // A wrong root is refused whatever the length.
  for (size_t size : {100u, 511u, 512u, 513u, 3000u}) {
    ResetAll();
    std::string text = "<GROUPLIST>" + std::string(size - 24, ' ') + "</GROUPLIST>\n";
    ASSERT_EQ(text.size(), size);
    EXPECT_EQ(ReadText(text), -1) << size;
  }
}

// ---- A client's text -------------------------------------------------------------------

TEST_F(GroupsFileTest, SaveGroupsFileReplacesTheFileOnly) {
  MakeFirstStartArrays();
  std::string path = dir_.File("groups.xml");
  SetGroupsFilePath(path);
  EXPECT_EQ(GetGroupsFilePath(), path);
  SetGroupsTime(55);
  const char text[] = "<GROUPS>\r\n<GROUP><NAME>Other</NAME></GROUP>\r\n</GROUPS>";
  EXPECT_EQ(SaveGroupsFile(text), FR_OK);
  EXPECT_EQ(ReadWholeFile(path), text);  // byte for byte, CR LF kept
  EXPECT_EQ(GetGroupCount(), 2);         // the arrays are not re-read
  EXPECT_EQ(GetGroupsTime(), 55u);
  EXPECT_EQ(SaveGroupsFile(""), FR_INVALID_PARAMETER);
  EXPECT_EQ(SaveGroupsFile(nullptr), FR_INVALID_PARAMETER);

  SetAtomicWriteFailAfter(5);
  EXPECT_EQ(SaveGroupsFile("<GROUPS></GROUPS>"), FR_WRITE_FAILED);
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(ReadWholeFile(path), text);
}

TEST_F(GroupsFileTest, DefaultPathFollowsTheHomeDirectory) {
  ResetServerSettings();
  ASSERT_EQ(SetHomeDirectory(dir_.path.c_str()), 0);
  EXPECT_EQ(GetGroupsFilePath(), dir_.path + "groups.xml");
  ResetServerSettings();
}

}  // namespace
