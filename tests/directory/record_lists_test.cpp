// Tests of the shared lists of the user and group records: every kind of
// change of what a block shows (through the operations the requests, the
// XML exchanges and the loads use) gives a new version and so a new list,
// which holds the records as they are then; readers of one version share one
// list; a list lives as long as some reader holds it and no longer.
#include "directory/record_lists.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "directory/group_blocks.h"
#include "directory/groups.h"
#include "directory/groups_file.h"
#include "directory/passwords.h"
#include "directory/user_blocks.h"
#include "directory/user_records.h"
#include "directory/users_files.h"
#include "directory/users_tree.h"
#include "directory/users_xml_exchange.h"
#include "foundation/settings/server_settings.h"
#include "foundation/wire/transport_string.h"
#include "support/stored_directory.h"
#include "support/temp_dir.h"

namespace {

constexpr int64_t kNow = 1700000000;

// The entries of a list encoded afresh from the store (`count` records,
// record i being `at(i)`): what a list of the store as it is now must hold.
template <typename At, typename Encode>
std::vector<unsigned char> EntriesNow(int count, At at, Encode encode) {
  std::vector<unsigned char> out, block;
  for (int i = 0; i < count; ++i) {
    EXPECT_TRUE(encode(at(i), block));
    AppendLE32(out, static_cast<uint32_t>(block.size()));
    out.insert(out.end(), block.begin(), block.end());
  }
  return out;
}

std::vector<unsigned char> UserEntriesNow() {
  return EntriesNow(GetUserCount(), GetUserByIndex, ConvertUserToTransportBlock);
}

std::vector<unsigned char> GroupEntriesNow() {
  return EntriesNow(GetGroupCount(), GetGroupByIndex, ConvertGroupToTransportBlock);
}

// A stored directory of a first start with alice and bob, and the group
// Staff (alice its member), saved to its files.
class RecordListsTest : public ::testing::Test {
 protected:
  TempDir home;

  void SetUp() override {
    MakeStoredDirectory(home, kNow);
    AddHashedUser("alice", 0, "alice-pw");
    AddHashedUser("bob", 0, "bob-pw");
    ASSERT_GE(AddGroup("Staff"), 0);
    ASSERT_EQ(AddUserToGroup(FindGroupByName("Staff"), "alice"), 0);
    ASSERT_EQ(AssignGroupUIDs(), 0);
    ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
    ASSERT_EQ(WriteGroupsXML(GetGroupsFilePath()), 0);
  }
  void TearDown() override { ResetDirectoryState(); }
};

// ---- Every kind of change gives a new list ---------------------------------------------

// A user record of the store changed by UpdateUser as a client's block would
// change it: the stored record copied, `edit` applied.
int UpdateAlice(const std::function<void(UserStruct&)>& edit) {
  UserStruct record;
  if (CopyUserStruct(&record, FindUser("alice")) != 0) return -1;
  record.USERDATA = nullptr;
  edit(record);
  const int rc = UpdateUser(&record);
  FreeUserStruct(&record);
  return rc;
}

int UpdateStaff(const std::function<void(GroupStruct&)>& edit) {
  GroupStruct record;
  if (CopyGroupStruct(&record, FindGroupByName("Staff")) != 0) return -1;
  edit(record);
  const int rc = UpdateGroup(&record);
  FreeGroupStruct(&record);
  return rc;
}

// The users file of alice with one text replaced, as an edit on disk would.
void EditAliceFile(const std::string& from, const std::string& to) {
  char uid[16];
  std::snprintf(uid, sizeof uid, "%08X", FindUser("alice")->header.uid);
  const std::string path = GetServerSettings().homeDirectory + std::string("users/") + uid + ".xml";
  std::string text = ReadWholeFile(path);
  const size_t at = text.find(from);
  ASSERT_NE(std::string::npos, at) << text;
  text.replace(at, from.size(), to);
  WriteWholeFile(path, text);
}

struct Change {
  const char* id;
  bool users;                     // a change of the users (else of the groups)
  std::function<void()> prepare;  // before the first list (may be empty)
  std::function<int()> change;    // 0 when done
};

const Change kChanges[] = {
    // Users, through the record operations the requests call.
    {"user added", true, {}, [] { return AddUserFromClient("carol", 0) >= 0 ? 0 : -1; }},
    {"user deleted", true, {}, [] { return DeleteUserAndNode("alice", false); }},
    {"forename", true, {}, [] { return UpdateAlice([](UserStruct& u) { u.FORENAME = "Alicia"; }); }},
    {"surname", true, {}, [] { return UpdateAlice([](UserStruct& u) { u.SURNAME = "Liddell"; }); }},
    {"e-mail", true, {}, [] { return UpdateAlice([](UserStruct& u) { u.EMAIL = "a@example.org"; }); }},
    {"level", true, {}, [] { return UpdateAlice([](UserStruct& u) { u.LEVEL = kUserLevelAdministrator; }); }},
    {"group list", true, {}, [] { return UpdateAlice([](UserStruct& u) { u.GROUPLIST = "Staff"; }); }},
    {"AD flag", true, {}, [] { return UpdateAlice([](UserStruct& u) { u.ADUSER = 1; }); }},
    {"fields by a block", true, {}, [] { return UpdateAlice([](UserStruct& u) { u.fields = {{"Room", "12"}}; }); }},
    {"letter case of the name", true, {}, [] { return UpdateAlice([](UserStruct& u) { u.USERNAME = "Alice"; }); }},
    {"password set", true, {}, [] { return SetUserPasswordV2("alice", CheapHash("new-pw").c_str(), 1, "new-pw"); }},
    {"legacy password set", true, {}, [] { return SetUserPassword("alice", 0x5A5A5A5A, 1); }},
    {"field added", true, {}, [] { return AddUserField(FindUser("alice"), "Dept", "R&D"); }},
    {"field deleted", true, [] { AddUserField(FindUser("alice"), "Dept", "R&D"); },
     [] { return DeleteUserField(FindUser("alice"), "Dept"); }},
    // Users, through the XML exchanges and the loads.
    {"main fields by XML", true, {},
     [] { return UpdateUserXML("alice", "<USER><USERNAME>alice</USERNAME><FORENAME>Xml</FORENAME></USER>"); }},
    {"a user by XML", true, {},
     [] {
       return SetUserXML("bob", "<USER><USERNAME>bob</USERNAME><ADUSER>0</ADUSER><LEVEL>512</LEVEL></USER>");
     }},
    {"every user by XML", true, {},
     [] {
       return SetUsersXML("<?xml version=\"1.0\"?>\n<USERS>\n<USER>\n<UID>00002001</UID>\n<USERNAME>dora</USERNAME>\n"
                          "<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n</USER>\n</USERS>");
     }},
    {"a load of the files", true, [] { EditAliceFile("<FORENAME>DEFAULT</FORENAME>", "<FORENAME>Loaded</FORENAME>"); },
     [] { return ReloadUsers(); }},
    // Groups.
    {"group added", false, {}, [] { return AddGroup("Guests") >= 0 ? 0 : -1; }},
    {"group deleted", false, {}, [] { return DeleteGroup("Staff"); }},
    {"description", false, {}, [] { return UpdateStaff([](GroupStruct& g) { g.description = "people"; }); }},
    {"members by a block", false, {}, [] { return UpdateStaff([](GroupStruct& g) { g.members = {"bob"}; }); }},
    {"member added", false, {}, [] { return AddUserToGroup(FindGroupByName("Staff"), "bob"); }},
    {"member removed", false, {}, [] { return RemoveUserFromGroup(FindGroupByName("Staff"), "alice"); }},
    {"member list set", false, {}, [] { return SetGroupMemberList(FindGroupByName("Staff"), {"bob", "carol"}); }},
    {"UIDs given", false, [] { AddGroup("Fresh"); }, [] { return AssignGroupUIDs(); }},
    {"groups by XML", false, {},
     [] {
       return ReplaceGroupsXML("<?xml version=\"1.0\"?>\n<GROUPS>\n<GROUP>\n<NAME>Crew</NAME>\n</GROUP>\n</GROUPS>");
     }},
    {"a load of groups.xml", false, [] { ResetGroupsAndPermissions(); },
     [] { return ReadGroupsXML(GetGroupsFilePath()); }},
};

class EveryChange : public RecordListsTest, public ::testing::WithParamInterface<Change> {};

void PrintTo(const Change& c, std::ostream* os) { *os << c.id; }

TEST_P(EveryChange, GivesANewListOfTheRecordsAsTheyAreThen) {
  const Change& c = GetParam();
  auto take = c.users ? TakeUserList : TakeGroupList;
  auto now = c.users ? UserEntriesNow : GroupEntriesNow;
  if (c.prepare) c.prepare();
  const SharedRecordList before = take();  // held, as a slow reader holds it
  ASSERT_NE(before, nullptr);
  EXPECT_EQ(before->entries, now());
  EXPECT_EQ(take(), before) << "a reader of the same version shares the list";

  ASSERT_EQ(c.change(), 0);
  const SharedRecordList after = take();
  ASSERT_NE(after, nullptr);
  EXPECT_NE(after, before);
  EXPECT_NE(after->version, before->version);
  EXPECT_NE(after->entries, before->entries) << "the change shows in the new list";
  EXPECT_EQ(after->entries, now()) << "the new list is the store's now";
  EXPECT_EQ(take(), after);
}

INSTANTIATE_TEST_SUITE_P(Changes, EveryChange, ::testing::ValuesIn(kChanges),
                         [](const ::testing::TestParamInfo<Change>& p) {
                           std::string name;
                           for (const char* c = p.param.id; *c != '\0'; ++c) name += std::isalnum(*c) ? *c : '_';
                           return name;
                         });

// ---- Sharing and lifetime ---------------------------------------------------------------

// What only reads the store moves no version: lookups, the blocks of single
// records (which set a flag bit in the stored user), the files written.
TEST_F(RecordListsTest, ReadingTheStoreKeepsTheVersion) {
  const SharedRecordList users = TakeUserList();
  const SharedRecordList groups = TakeGroupList();
  std::vector<unsigned char> block;
  ASSERT_TRUE(ConvertUserToTransportBlock(FindUser("alice"), block));
  ASSERT_TRUE(ConvertGroupToTransportBlock(FindGroupByName("Staff"), block));
  EXPECT_EQ(UserExists("bob"), 1);
  ASSERT_EQ(SaveUsers(home.path.c_str(), "alice"), 0);
  ASSERT_EQ(WriteGroupsXML(GetGroupsFilePath()), 0);
  EXPECT_EQ(TakeUserList(), users);
  EXPECT_EQ(TakeGroupList(), groups);
}

// Readers of one version hold one list however many they are; each version
// with a reader holds its own; a list goes with its last reader.
TEST_F(RecordListsTest, AListLivesWhileAReaderHoldsIt) {
  ASSERT_EQ(RecordListsAlive(), 0u);
  std::vector<SharedRecordList> readers;
  for (int i = 0; i < 100; ++i) readers.push_back(TakeUserList());
  EXPECT_EQ(RecordListsAlive(), 1u);
  ASSERT_EQ(AddUserFromClient("carol", 0) >= 0, true);
  readers.push_back(TakeUserList());  // a reader of the next version
  EXPECT_EQ(RecordListsAlive(), 2u);
  EXPECT_EQ(readers.back()->Count(), readers.front()->Count() + 1);
  readers.erase(readers.begin(), readers.end() - 1);
  EXPECT_EQ(RecordListsAlive(), 1u) << "the first version's list went with its last reader";
  readers.clear();
  EXPECT_EQ(RecordListsAlive(), 0u);
  // With nobody reading, the next reader makes the list anew.
  const SharedRecordList again = TakeUserList();
  EXPECT_EQ(again->entries, UserEntriesNow());
}

// The list's entries: each record's size word and block, back to back, in
// the array's order.
TEST_F(RecordListsTest, EntriesAreTheBlocksInTheArraysOrder) {
  const SharedRecordList list = TakeUserList();
  ASSERT_EQ(list->Count(), static_cast<size_t>(GetUserCount()));
  size_t at = 0;
  for (size_t i = 0; i < list->Count(); ++i) {
    EXPECT_EQ(list->starts[i], at);
    const uint32_t size = GetLE32(list->EntryAt(i));
    EXPECT_EQ(list->EntryLength(i), 4 + size);
    std::vector<unsigned char> block;
    ASSERT_TRUE(ConvertUserToTransportBlock(GetUserByIndex(static_cast<int>(i)), block));
    EXPECT_EQ(std::vector<unsigned char>(list->EntryAt(i) + 4, list->EntryAt(i) + 4 + size), block);
    at += 4 + size;
  }
  EXPECT_EQ(at, list->entries.size());
}

}  // namespace
