// Tests of the groups and permissions in memory: name rules, the sorted group
// array and the namespace it shares with users, member lists, UpdateGroup's
// rules, and the registered permission array with its UID lists.
#include "directory/groups.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "directory/user_records.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "support/directory_reset.h"

namespace {

class GroupsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetAll(); }
  void TearDown() override { ResetAll(); }
  static void ResetAll() {
    ResetDirectoryState();
  }

  // Adds a group and gives it a UID, as a load does.
  static GroupStruct* AddGroupWithUID(const char* name, UID uid) {
    int32_t index = AddGroup(name);
    if (index < 0) return nullptr;
    GroupStruct* g = GetGroupByIndex(index);
    g->header.uid = uid;
    g->header.kind = NODE_KIND_GROUP;
    return g;
  }

  static std::vector<std::string> GroupNames() {
    std::vector<std::string> names;
    for (int32_t i = 0; i < GetGroupCount(); ++i) names.push_back(*GetGroupByIndex(i)->name);
    return names;
  }
};

// ---- Names ----------------------------------------------------------------------

TEST_F(GroupsTest, GroupNameRules) {
  struct Case {
    const char* name;
    int valid;
  } cases[] = {
      {"A.b-c_9", 1},
      {"Everyone", 1},
      {"z", 1},
      {"Abcdefghijklmnopqrstuvwxyz01234", 1},    // 31 bytes
      {"Abcdefghijklmnopqrstuvwxyz012345", 0},   // 32 bytes
      {"1abc", 0},
      {"_abc", 0},
      {".abc", 0},
      {"ab c", 0},
      {"ab\xc3\xa9", 0},  // a byte of 0x80 or above
      {"ab;c", 0},
      {"", 0},
      {nullptr, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidGroupName(c.name), c.valid) << (c.name ? c.name : "(null)");
  }
}

// ---- The group array -------------------------------------------------------------

TEST_F(GroupsTest, AddKeepsCaseInsensitiveOrderAcrossGrowth) {
  const char* names[] = {"mike", "Alpha", "zulu", "Bravo", "echo", "Delta", "charlie", "Foxtrot",
                         "golf", "Hotel", "india", "Juliet", "kilo", "_under"};
  for (const char* n : names) ASSERT_GE(AddGroup(n), 0) << n;
  EXPECT_EQ(GetGroupCount(), 14);
  EXPECT_EQ(GetGroupArrayCapacity(), 20);  // 10, then 10 more
  std::vector<std::string> expected = {"_under", "Alpha", "Bravo", "charlie", "Delta", "echo", "Foxtrot",
                                       "golf", "Hotel", "india", "Juliet", "kilo", "mike", "zulu"};
  EXPECT_EQ(GroupNames(), expected);
  for (const char* n : names) {
    int32_t i = FindGroupIndex(n);
    ASSERT_GE(i, 0) << n;
    EXPECT_EQ(*GetGroupByIndex(i)->name, n);
  }
  EXPECT_EQ(FindGroupIndex("HOTEL"), FindGroupIndex("hotel"));
  EXPECT_EQ(FindGroupIndex("nope"), -1);
  EXPECT_EQ(FindGroupIndex(""), -1);
  EXPECT_EQ(FindGroupIndex(nullptr), -1);
  EXPECT_EQ(GetGroupByIndex(14), nullptr);
  EXPECT_EQ(GetGroupByIndex(-1), nullptr);
}

TEST_F(GroupsTest, AddReturnsIndexAndRefusesDuplicatesAndEmptyNames) {
  EXPECT_EQ(AddGroup("Everyone"), 0);
  EXPECT_EQ(AddGroup("Administrators"), 0);
  EXPECT_EQ(AddGroup("everyone"), -1);
  EXPECT_EQ(AddGroup(""), -1);
  EXPECT_EQ(AddGroup(nullptr), -1);
  EXPECT_EQ(GetGroupCount(), 2);
  GroupStruct* g = FindGroupByName("EVERYONE");
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->header.uid, 0u);  // a run-time group has no UID and no kind yet
  EXPECT_EQ(g->header.kind, 0u);
  EXPECT_FALSE(g->description.has_value());
  EXPECT_TRUE(g->members.empty());
}

TEST_F(GroupsTest, UsersAndGroupsShareOneNamespace) {
  ASSERT_GE(AddUser("administrator", kUIDAdministrator), 0);
  ASSERT_GE(AddGroup("Everyone"), 0);
  EXPECT_EQ(AddGroup("Administrator"), -1);  // a user's name, other case
  EXPECT_EQ(AddUser("EVERYONE", 0), -1);     // a group's name, other case
  EXPECT_EQ(GetGroupCount(), 1);
  EXPECT_EQ(GetUserCount(), 1);
  EXPECT_EQ(GroupExists("administrator"), 0);
  EXPECT_EQ(GroupExists("everyone"), 1);
}

TEST_F(GroupsTest, DeleteInTheMiddleThenAddGivesACleanGroup) {
  for (const char* n : {"a1", "b2", "c3"}) ASSERT_GE(AddGroup(n), 0);
  GroupStruct* b = FindGroupByName("b2");
  b->header.uid = 77;
  b->description = "old";
  ASSERT_EQ(AddUserToGroup(b, "bob"), 0);
  EXPECT_EQ(DeleteGroup("B2"), 0);
  EXPECT_EQ(DeleteGroup("b2"), -1);
  EXPECT_EQ(GroupNames(), (std::vector<std::string>{"a1", "c3"}));
  int32_t i = AddGroup("d4");
  ASSERT_EQ(i, 2);
  GroupStruct* d = GetGroupByIndex(i);
  EXPECT_EQ(d->header.uid, 0u);
  EXPECT_FALSE(d->description.has_value());
  EXPECT_TRUE(d->members.empty());
}

TEST_F(GroupsTest, SetGroupArrayCapacityCodes) {
  EXPECT_EQ(SetGroupArrayCapacity(15), FR_OK);
  EXPECT_EQ(GetGroupArrayCapacity(), 15);
  EXPECT_EQ(SetGroupArrayCapacity(14), FR_INVALID_PARAMETER);
  EXPECT_EQ(SetGroupArrayCapacity(15), FR_OK);
  FreeGroupArray();
  EXPECT_EQ(GetGroupArrayCapacity(), 0);
  EXPECT_EQ(GetGroupCount(), 0);
}

TEST_F(GroupsTest, SortGroupArrayRestoresOrderAfterRenames) {
  for (const char* n : {"b", "c", "d"}) ASSERT_GE(AddGroup(n), 0);
  GetGroupByIndex(2)->name = "a";
  SortGroupArray();
  EXPECT_EQ(GroupNames(), (std::vector<std::string>{"a", "b", "c"}));
}

// ---- Members ---------------------------------------------------------------------

TEST_F(GroupsTest, MembersSortedUniqueWithoutRegardToCase) {
  GroupStruct g;
  EXPECT_EQ(AddUserToGroup(&g, "carol"), 0);
  EXPECT_EQ(AddUserToGroup(&g, "alice"), 0);
  EXPECT_EQ(AddUserToGroup(&g, "Bob"), 0);
  EXPECT_EQ(AddUserToGroup(&g, "BOB"), -1);
  EXPECT_EQ(AddUserToGroup(&g, ""), -1);
  EXPECT_EQ(AddUserToGroup(&g, nullptr), -1);
  EXPECT_EQ(AddUserToGroup(nullptr, "x"), -1);
  EXPECT_EQ(g.members, (std::vector<std::string>{"alice", "Bob", "carol"}));
  EXPECT_EQ(g.members.capacity(), 5u);
  for (const char* n : {"d", "e", "f"}) ASSERT_EQ(AddUserToGroup(&g, n), 0);
  EXPECT_EQ(g.members.capacity(), 10u);  // grows 5 slots at a time
  EXPECT_EQ(FindUserInGroup(&g, "bob"), 1);
  EXPECT_EQ(FindUserInGroup(&g, "zed"), -1);
  EXPECT_EQ(RemoveUserFromGroup(&g, "ALICE"), FR_OK);
  EXPECT_EQ(RemoveUserFromGroup(&g, "alice"), FR_USER_NOT_FOUND);
  EXPECT_EQ(RemoveUserFromGroup(&g, nullptr), FR_INVALID_PARAMETER);
  EXPECT_EQ(RemoveUserFromGroup(nullptr, "a"), FR_INVALID_PARAMETER);
  EXPECT_EQ(g.members.front(), "Bob");
}

TEST_F(GroupsTest, MemberSearchCopesWithAClientOrderedList) {
  GroupStruct g;
  g.members = {"zed", "amy", "Kim"};  // as UpdateGroup stores a client's list
  EXPECT_EQ(FindUserInGroup(&g, "KIM"), 2);
  EXPECT_EQ(AddUserToGroup(&g, "kim"), -1);
  EXPECT_EQ(AddUserToGroup(&g, "bea"), 0);
  EXPECT_EQ(g.members, (std::vector<std::string>{"amy", "bea", "Kim", "zed"}));
}

TEST_F(GroupsTest, SetGroupMemberListGivesWhatAddingOneByOneGives) {
  const std::vector<std::string> names = {"carol", "", "Bob", "alice", "BOB", "zed", "bob", "Carol"};
  GroupStruct oneByOne;
  for (const std::string& n : names) AddUserToGroup(&oneByOne, n.c_str());
  GroupStruct g;
  g.members = {"stale"};
  ASSERT_EQ(SetGroupMemberList(&g, names), 0);
  EXPECT_EQ(g.members, oneByOne.members);
  EXPECT_EQ(g.members, (std::vector<std::string>{"alice", "Bob", "carol", "zed"}));
  EXPECT_EQ(SetGroupMemberList(nullptr, names), -1);
}

TEST_F(GroupsTest, MemberListCheck) {
  struct Case {
    std::vector<std::string> members;
    int rc;
  } cases[] = {
      {{}, FR_OK},
      {{"alice", "bob"}, FR_OK},
      {{"alice", ""}, FR_INVALID_PARAMETER},
      {{"alice", "bob", "ALICE"}, FR_INVALID_PARAMETER},
      {{"bad\x01"}, FR_INVALID_PARAMETER},
      {{"bad\xff"}, FR_INVALID_PARAMETER},
      {{"bob\n"}, FR_INVALID_PARAMETER},  // would read back as bob
      {{"a\rb"}, FR_INVALID_PARAMETER},   // would read back with a line feed
      {{"a\tb"}, FR_INVALID_PARAMETER},
      {{"caf\xc3\xa9"}, FR_OK},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckGroupMemberList(c.members), c.rc);
}

// ---- Copy and update ---------------------------------------------------------------

TEST_F(GroupsTest, CopyGroupStructIsDeep) {
  GroupStruct src;
  src.header = {9, NODE_KIND_GROUP, 100, 3, 0};
  src.name = "Staff";
  src.members.reserve(7);
  src.members = {"alice", "bob"};
  GroupStruct dst;
  dst.description = "leftover";
  EXPECT_EQ(CopyGroupStruct(&dst, &src), FR_OK);
  EXPECT_EQ(dst.header.uid, 9u);
  EXPECT_EQ(dst.header.timeStamp, 100u);
  EXPECT_EQ(dst.header.flags, 3u);
  EXPECT_EQ(dst.name, src.name);
  EXPECT_FALSE(dst.description.has_value());  // none stays none
  EXPECT_EQ(dst.members, src.members);
  EXPECT_GE(dst.members.capacity(), 7u);
  src.members[0] = "changed";
  EXPECT_EQ(dst.members[0], "alice");
  EXPECT_EQ(CopyGroupStruct(nullptr, &src), FR_INVALID_PARAMETER);
  EXPECT_EQ(CopyGroupStruct(&dst, nullptr), FR_INVALID_PARAMETER);
}

TEST_F(GroupsTest, UpdateGroupRules) {
  GroupStruct* stored = AddGroupWithUID("Staff", 500);
  ASSERT_NE(stored, nullptr);
  stored->description = "before";
  ASSERT_EQ(AddUserToGroup(stored, "old"), 0);

  auto given = [](UID uid, std::vector<std::string> members) {
    GroupStruct g;
    g.header.uid = uid;
    g.header.kind = NODE_KIND_PERMISSION;  // a client's block may say anything
    g.header.timeStamp = 42;
    g.name = "STAFF";
    g.description = "after";
    g.members = std::move(members);
    return g;
  };
  struct Case {
    const char* id;
    GroupStruct record;
    int rc;
  } refused[] = {
      {"other uid", given(501, {"a"}), FR_UID_MISMATCH},
      {"empty member", given(0, {"a", ""}), FR_INVALID_PARAMETER},
      {"duplicate member", given(0, {"bob", "BOB"}), FR_INVALID_PARAMETER},
      {"member not xml", given(500, {"a\x02"}), FR_INVALID_PARAMETER},
  };
  for (Case& c : refused) {
    EXPECT_EQ(UpdateGroup(&c.record), c.rc) << c.id;
    GroupStruct* g = FindGroupByName("staff");
    EXPECT_EQ(*g->name, "Staff") << c.id;
    EXPECT_EQ(g->description, "before") << c.id;
    EXPECT_EQ(g->members, (std::vector<std::string>{"old"})) << c.id;
  }
  GroupStruct nameless;
  EXPECT_EQ(UpdateGroup(&nameless), FR_INVALID_PARAMETER);
  nameless.name = "";
  EXPECT_EQ(UpdateGroup(&nameless), FR_INVALID_PARAMETER);
  EXPECT_EQ(UpdateGroup(nullptr), FR_INVALID_PARAMETER);
  GroupStruct unknown = given(0, {});
  unknown.name = "Nobody";
  EXPECT_EQ(UpdateGroup(&unknown), FR_GROUP_NOT_FOUND);

  GroupStruct ok = given(0, {"zed", "amy"});
  EXPECT_EQ(UpdateGroup(&ok), FR_OK);
  GroupStruct* g = FindGroupByName("staff");
  EXPECT_EQ(g->header.uid, 500u);                // UID 0 keeps the stored UID
  EXPECT_EQ(g->header.kind, NODE_KIND_PERMISSION);  // the rest of the header is the caller's
  EXPECT_EQ(g->header.timeStamp, 42u);
  EXPECT_EQ(*g->name, "STAFF");                  // letters as sent
  EXPECT_EQ(g->description, "after");
  EXPECT_EQ(g->members, (std::vector<std::string>{"zed", "amy"}));  // in the order it came
  GroupStruct same = given(500, {});
  EXPECT_EQ(UpdateGroup(&same), FR_OK);
}

// ---- The groups time --------------------------------------------------------------

TEST_F(GroupsTest, HaveGroupsChangedSinceComparesSigned) {
  SetGroupsTime(1000);
  EXPECT_TRUE(HaveGroupsChangedSince(999));
  EXPECT_FALSE(HaveGroupsChangedSince(1000));
  EXPECT_FALSE(HaveGroupsChangedSince(1001));
  EXPECT_TRUE(HaveGroupsChangedSince(-5));
}

// ---- Permissions -------------------------------------------------------------------

TEST_F(GroupsTest, PermissionsFoundAtTheirCurrentAddressAcrossGrowth) {
  std::vector<UID> uids;
  for (int i = 0; i < 25; ++i) {
    PermissionStruct* p = AddNewPerm(i % 2 == 0 ? 0 : 1000 + static_cast<UID>(i));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->header.kind, NODE_KIND_PERMISSION);
    uids.push_back(p->header.uid);
  }
  EXPECT_EQ(GetPermissionCount(), 25);
  EXPECT_EQ(GetPermissionArrayCapacity(), 40);  // 10, then by its own size: 20, 40
  for (int32_t i = 0; i < GetPermissionCount(); ++i) {
    PermissionStruct* p = GetPermissionByIndex(i);
    EXPECT_EQ(p->header.uid, uids[static_cast<size_t>(i)]);  // order of addition
    EXPECT_EQ(FindPermission(p->header.uid), p) << i;
  }
  EXPECT_EQ(AddNewPerm(1001), nullptr);  // a registered UID is refused, not shared
  EXPECT_EQ(GetPermissionCount(), 25);
  FreePermissionArray();
  EXPECT_EQ(GetPermissionCount(), 0);
  for (UID u : uids) EXPECT_EQ(GetNodeByUID(u), nullptr);
}

TEST_F(GroupsTest, AddToPermissionCodesAndLists) {
  PermissionStruct* p = AddNewPerm(kUIDDefaultPermission);
  ASSERT_NE(p, nullptr);
  ASSERT_GE(AddUser("bob", 20), 0);
  EXPECT_EQ(AddToPermission(kUIDDefaultPermission, 30, true, true), FR_OK);
  EXPECT_EQ(AddToPermission(kUIDDefaultPermission, 10, true, false), FR_OK);
  EXPECT_EQ(AddToPermission(kUIDDefaultPermission, 0xF0000000u, true, false), FR_OK);
  EXPECT_EQ(AddToPermission(kUIDDefaultPermission, 30, true, true), FR_OK);  // no change
  p = FindPermission(kUIDDefaultPermission);
  EXPECT_EQ(p->read, (std::vector<UID>{10, 30, 0xF0000000u}));  // unsigned order
  EXPECT_EQ(p->write, (std::vector<UID>{30}));
  EXPECT_EQ(AddToPermission(20, 30, true, false), FR_NOT_A_PERMISSION);  // a user's UID
  EXPECT_EQ(AddToPermission(12345, 30, true, false), FR_NO_SUCH_NODE);
  EXPECT_EQ(AddToPermission(0, 30, true, false), FR_INVALID_PARAMETER);
  EXPECT_EQ(AddToPermission(kUIDDefaultPermission, 0, true, false), FR_INVALID_PARAMETER);
  EXPECT_EQ(RemoveFromPermission(kUIDDefaultPermission, 30, true, false), FR_OK);
  EXPECT_EQ(p->read, (std::vector<UID>{10, 0xF0000000u}));
  EXPECT_EQ(p->write, (std::vector<UID>{30}));
  EXPECT_EQ(RemoveFromPermission(kUIDDefaultPermission, 99, true, true), FR_OK);
  EXPECT_EQ(RemoveFromPermission(20, 30, true, true), FR_NOT_A_PERMISSION);
  EXPECT_EQ(RemoveFromPermission(12345, 30, true, true), FR_NO_SUCH_NODE);
  EXPECT_EQ(RemoveFromPermission(kUIDDefaultPermission, 0, true, true), FR_INVALID_PARAMETER);
}

// Lists read from groups.xml keep the file's order, duplicates and zeros: a
// member already there must still be found, and adding must not duplicate it.
TEST_F(GroupsTest, AddToPermissionCopesWithFileOrderedLists) {
  PermissionStruct* p = AddNewPerm(kUIDDefaultPermission);
  ASSERT_NE(p, nullptr);
  p->read = {50, 7, 50, 0, 30};
  p->write = {9, 3};
  EXPECT_EQ(AddToPermission(kUIDDefaultPermission, 7, true, false), FR_OK);
  EXPECT_EQ(p->read, (std::vector<UID>{50, 7, 50, 0, 30}));  // present: unchanged
  EXPECT_EQ(AddToPermission(kUIDDefaultPermission, 3, false, true), FR_OK);
  EXPECT_EQ(p->write, (std::vector<UID>{9, 3}));
  EXPECT_EQ(AddToPermission(kUIDDefaultPermission, 8, true, true), FR_OK);
  EXPECT_EQ(p->read, (std::vector<UID>{0, 7, 8, 30, 50}));
  EXPECT_EQ(p->write, (std::vector<UID>{3, 8, 9}));
  p->read = {5, 5};
  EXPECT_EQ(RemoveFromPermission(kUIDDefaultPermission, 5, true, false), FR_OK);
  EXPECT_TRUE(p->read.empty());  // every occurrence goes
}

TEST_F(GroupsTest, IsAnyInReadAndWriteLists) {
  ASSERT_NE(AddNewPerm(kUIDDefaultPermission), nullptr);
  ASSERT_EQ(AddToPermission(kUIDDefaultPermission, 10, true, false), FR_OK);
  ASSERT_EQ(AddToPermission(kUIDDefaultPermission, 20, false, true), FR_OK);
  ASSERT_GE(AddUser("bob", 20), 0);
  UID some[] = {5, 10};
  UID other[] = {20};
  EXPECT_EQ(IsAnyInReadList(kUIDDefaultPermission, some, 2), 1);
  EXPECT_EQ(IsAnyInWriteList(kUIDDefaultPermission, some, 2), 0);
  EXPECT_EQ(IsAnyInWriteList(kUIDDefaultPermission, other, 1), 1);
  EXPECT_EQ(IsAnyInReadList(kUIDDefaultPermission, some, 0), 0);
  EXPECT_EQ(IsAnyInReadList(kUIDDefaultPermission, nullptr, 2), 0);
  EXPECT_EQ(IsAnyInReadList(20, some, 2), 0);     // a user, not a permission
  EXPECT_EQ(IsAnyInReadList(12345, some, 2), 0);  // no node
}

TEST_F(GroupsTest, SinglePermissionRecordsRegisterAndUnregister) {
  UID uid = 0;
  {
    PermissionRecordPtr p = CreatePermissionStruct(0);
    ASSERT_NE(p, nullptr);
    uid = p->header.uid;
    EXPECT_NE(uid, 0u);
    EXPECT_EQ(FindPermission(uid), p.get());
    EXPECT_EQ(AddToPermission(uid, 5, true, false), FR_OK);
    EXPECT_EQ(CreatePermissionStruct(uid), nullptr);  // already registered

    // A copy carrying the same UID must not take the registry entry with it.
    PermissionStruct copy = *p;
    FreePermissionStruct(&copy);
    EXPECT_EQ(copy.header.kind, NODE_KIND_PERMISSION);
    EXPECT_EQ(copy.header.uid, 0u);
    EXPECT_EQ(FindPermission(uid), p.get());
  }
  EXPECT_EQ(GetNodeByUID(uid), nullptr);
}

// ---- Users and groups -------------------------------------------------------------

TEST_F(GroupsTest, BuildGroupArrayForUser) {
  ASSERT_NE(AddGroupWithUID("Everyone", kUIDEveryoneGroup), nullptr);
  ASSERT_NE(AddGroupWithUID("Admins", 77), nullptr);
  ASSERT_GE(AddGroup("Fresh"), 0);  // UID 0: not listed
  UserStruct user;
  user.GROUPLIST = "everyone;;Fresh;Missing;ADMINS;Everyone";
  EXPECT_EQ(BuildGroupArrayForUser(&user), FR_GROUP_NOT_FOUND);
  EXPECT_EQ(user.groupUIDs, (std::vector<UID>{kUIDEveryoneGroup, 77}));
  EXPECT_EQ(*user.GROUPLIST, "everyone;;Fresh;Missing;ADMINS;Everyone");
  user.GROUPLIST = "Admins;Everyone";
  EXPECT_EQ(BuildGroupArrayForUser(&user), FR_OK);
  EXPECT_EQ(user.groupUIDs, (std::vector<UID>{kUIDEveryoneGroup, 77}));  // nothing added twice
  user.GROUPLIST = "";
  EXPECT_EQ(BuildGroupArrayForUser(&user), FR_OK);
  EXPECT_TRUE(user.groupUIDs.empty());
  EXPECT_EQ(BuildGroupArrayForUser(nullptr), FR_INVALID_PARAMETER);
}

}  // namespace
