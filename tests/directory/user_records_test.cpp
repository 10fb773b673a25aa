// Tests of the user records: the name check, the domain\user rule, the
// namespace shared with groups, adds from default_user, the registry kept at
// every record's address through growth, insertion, deletion and sorting,
// and UpdateUser's UID and copy rules.
#include "directory/user_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "directory/groups.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/util/util.h"
#include "support/directory_reset.h"

namespace {

// Every test starts and ends with no users, no groups, an empty registry
// and the in-process UID counter.
class UserRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetAll(); }
  void TearDown() override { ResetAll(); }
  static void ResetAll() {
    ResetDirectoryState();
  }

  // Adds a user and sets its ADUSER; the index, or -1.
  static int Add(const char* name, UID uid, int adUser = 0) {
    const int index = AddUser(name, uid);
    if (index >= 0) GetUserByIndex(index)->ADUSER = adUser;
    return index;
  }

  // Every user is found through the registry at its current address, the
  // array is in name order, and the count of users equals the entries of kind 6.
  static void ExpectArrayInStep() {
    for (int i = 0; i < GetUserCount(); ++i) {
      UserStruct* user = GetUserByIndex(i);
      ASSERT_NE(user->header.uid, kNoUID);
      EXPECT_EQ(GetNodeByUID(user->header.uid), &user->header) << *user->USERNAME;
      EXPECT_EQ(GetRecordByUID<UserStruct>(user->header.uid, NODE_KIND_USER), user);
      if (i > 0) {
        EXPECT_LT(CompareUserNames(*GetUserByIndex(i - 1), *user), 0);
      }
    }
  }
};

// ---- Names ---------------------------------------------------------------------

TEST(UserNameCheck, Table) {
  struct Case {
    const char* id;
    const char* name;
    int valid;
  };
  const std::string len31(31, 'a'), len32(32, 'a');
  const Case cases[] = {
      {"plain", "bob", 1},
      {"digit first", "7up", 1},
      {"space inside", "bob smith", 1},
      {"31 bytes", len31.c_str(), 1},
      {"one backslash", "CORP\\bob", 1},
      {"backslash first", "\\bob", 1},
      {"utf8 letter", "Zo\xC3\xAB", 1},
      {"utf8 first byte", "\xC3\xA9lise", 1},
      {"underscore first", "_x", 1},
      {"null", nullptr, 0},
      {"empty", "", 0},
      {"space first", " bob", 0},
      {"bang first", "!bob", 0},
      {"slash first", "/bob", 0},
      {"control first", "\x01" "bob", 0},
      {"32 bytes", len32.c_str(), 0},
      {"two backslashes", "a\\b\\c", 0},
      {"semicolon", "a;b", 0},
      {"double quote", "a\"b", 0},
      {"hash", "a#b", 0},
      {"plus", "a+b", 0},
      {"comma", "a,b", 0},
      {"less", "a<b", 0},
      {"greater", "a>b", 0},
      {"latin-1 bytes", "\xE9t\xE9", 0},
      {"cut utf8", "ab\xC3", 0},
      {"lone continuation first", "\x80" "ab", 0},
      {"U+FFFE", "a\xEF\xBF\xBE", 0},
      {"control inside", "a\x01" "b", 0},
      {"tab inside", "a\tb", 0},
      {"line feed at end", "ab\n", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(IsValidUserName(c.name), c.valid) << c.id;
}

// ---- Domain rule -------------------------------------------------------------------

TEST_F(UserRecordsTest, DomainRuleTable) {
  struct Case {
    const char* id;
    const char* domain;        // null: none set
    int bobAdUser;             // ADUSER of the stored user bob
    bool literalCorpBob;       // also store a user named CORP\bob
    const char* lookup;
    const char* found;         // stored name expected, or null for none
  };
  const Case cases[] = {
      {"AD user through domain", "CORP", 1, false, "CORP\\bob", "bob"},
      {"domain without regard to case", "CORP", 1, false, "corp\\BOB", "bob"},
      {"internal user not through domain", "CORP", 0, false, "CORP\\bob", nullptr},
      {"no domain set", nullptr, 1, false, "CORP\\bob", nullptr},
      {"other domain", "CORP", 1, false, "OTHER\\bob", nullptr},
      {"nothing after backslash", "CORP", 1, false, "CORP\\", nullptr},
      {"stored name with backslash first", "CORP", 1, true, "CORP\\bob", "CORP\\bob"},
      {"stored name with backslash, internal bob", "CORP", 0, true, "corp\\bob", "CORP\\bob"},
      {"plain name", "CORP", 1, false, "BOB", "bob"},
  };
  for (const Case& c : cases) {
    ResetAll();
    // The literal CORP\bob first: once the domain is set and bob is an AD
    // user, the domain rule would refuse that name as bob's.
    if (c.literalCorpBob) {
      ASSERT_GE(Add("CORP\\bob", 11), 0) << c.id;
    }
    ASSERT_GE(Add("bob", 10, c.bobAdUser), 0) << c.id;
    SetComputerDomain(c.domain);
    UserStruct* user = FindUser(c.lookup);
    if (c.found == nullptr) {
      EXPECT_EQ(user, nullptr) << c.id;
      EXPECT_EQ(FindUserIndex(c.lookup), -1) << c.id;
      EXPECT_EQ(UserExists(c.lookup), 0) << c.id;
    } else {
      ASSERT_NE(user, nullptr) << c.id;
      EXPECT_EQ(*user->USERNAME, c.found) << c.id;
      EXPECT_EQ(UserExists(c.lookup), 1) << c.id;
    }
  }
}

TEST_F(UserRecordsTest, DomainFormOfAnAdUserCannotBeAddedAgain) {
  SetComputerDomain("CORP");
  ASSERT_GE(Add("bob", 10, 1), 0);
  AddUserFailure why = ADD_USER_OK;
  EXPECT_EQ(AddUser("CORP\\bob", 11, &why), -1);
  EXPECT_EQ(why, ADD_USER_EXISTS);
  EXPECT_EQ(GetUserCount(), 1);
  EXPECT_FALSE(IsLocalDomainUserName("bob"));
  EXPECT_TRUE(IsLocalDomainUserName("Corp\\x"));
  SetComputerDomain("");
  EXPECT_EQ(GetComputerDomain(), nullptr);
  EXPECT_FALSE(IsLocalDomainUserName("CORP\\bob"));
}

// ---- Shared namespace ----------------------------------------------------------------

TEST_F(UserRecordsTest, UsersAndGroupsShareOneNamespace) {
  ASSERT_GE(AddGroup("Everyone"), 0);
  AddUserFailure why = ADD_USER_OK;
  EXPECT_EQ(AddUser("everyone", 20, &why), -1);
  EXPECT_EQ(why, ADD_USER_GROUP_NAME);
  EXPECT_EQ(GetUserCount(), 0);
  EXPECT_FALSE(IsUIDInNodeQA(20));

  ASSERT_GE(AddUser("carol", 21), 0);
  EXPECT_EQ(AddGroup("CAROL"), -1);
  EXPECT_EQ(GetGroupCount(), 1);
}

// ---- Add ---------------------------------------------------------------------------------

TEST_F(UserRecordsTest, AddWithoutDefaultUserGivesOnlyNameKindAndUID) {
  const int index = AddUser("alice", 77);
  ASSERT_EQ(index, 0);
  const UserStruct* user = GetUserByIndex(index);
  EXPECT_EQ(*user->USERNAME, "alice");
  EXPECT_EQ(user->header.kind, NODE_KIND_USER);
  EXPECT_EQ(user->header.uid, 77u);
  EXPECT_EQ(user->PASSWORD, 0u);
  EXPECT_FALSE(user->PASSWORDV2.has_value());
  EXPECT_EQ(user->LEVEL, 0u);
  EXPECT_TRUE(user->fields.empty());
  EXPECT_EQ(user->USERDATA, nullptr);
}

TEST_F(UserRecordsTest, AddCopiesDefaultUser) {
  ASSERT_GE(AddUser(kDefaultUserName, kUIDDefaultUser), 0);
  UserStruct* def = FindUser(kDefaultUserName);
  def->FORENAME = "New";
  def->PASSWORD = 0x1234;
  def->PASSWORDV2 = "00000000";
  def->GROUPLIST = "Everyone";
  def->LEVEL = 0x200;
  def->header.flags = 0x2;
  def->header.timeStamp = 99;
  ASSERT_EQ(AddUserField(def, "Lang", "en"), FR_OK);
  int settings = 0;  // stands in for the users tree's USERDATA element
  def->USERDATA = reinterpret_cast<XMLNode*>(&settings);

  const int index = AddUser("zed", 0);  // 0: a new UID
  ASSERT_GE(index, 0);
  const UserStruct* user = GetUserByIndex(index);
  EXPECT_EQ(*user->USERNAME, "zed");
  EXPECT_EQ(user->header.kind, NODE_KIND_USER);
  EXPECT_NE(user->header.uid, kNoUID);
  EXPECT_NE(user->header.uid, kUIDDefaultUser);
  EXPECT_EQ(user->header.flags, 0x2u);
  EXPECT_EQ(user->header.timeStamp, 99u);
  EXPECT_EQ(user->FORENAME, "New");
  EXPECT_EQ(user->PASSWORD, 0x1234u);
  EXPECT_EQ(user->PASSWORDV2, "00000000");
  EXPECT_EQ(user->GROUPLIST, "Everyone");
  EXPECT_EQ(user->LEVEL, 0x200u);
  ASSERT_EQ(user->fields.size(), 1u);
  EXPECT_EQ(user->fields[0].value, "en");
  EXPECT_EQ(user->USERDATA, reinterpret_cast<XMLNode*>(&settings));
  ExpectArrayInStep();
}

// A load takes users in any order, finds them by name meanwhile (the domain
// rule included), and ends sorted and in step with the registry.
TEST_F(UserRecordsTest, LoadInAnyOrderEndsSorted) {
  SetComputerDomain("CORP");
  ASSERT_GE(Add("mmm", 1), 0);  // a user stored before the load
  BeginUsersLoad();
  BeginBulkRegistration();
  const int n = 3000;
  for (int i = n; i >= 1; --i) {
    char name[16];
    std::snprintf(name, sizeof name, "u%05d", i);
    const int index = Add(name, static_cast<UID>(100 + (i * 7919) % n), i == 5 ? 1 : 0);
    ASSERT_GE(index, 0) << name;
    EXPECT_EQ(*GetUserByIndex(index)->USERNAME, name);
  }
  EXPECT_EQ(FindUserIndex("U02999"), FindUserIndex("u02999"));
  ASSERT_NE(FindUser("CORP\\u00005"), nullptr);
  EXPECT_EQ(FindUser("CORP\\u00006"), nullptr);  // not an Active Directory user
  EXPECT_NE(FindUser("mmm"), nullptr);
  EXPECT_LT(AddUser("U00010", 99999), 0);  // a name already loaded
  EXPECT_LT(AddUser("zzz", 100), 0);       // a UID already loaded
  ASSERT_EQ(DeleteUser("u00020", false), FR_OK);
  EXPECT_EQ(FindUser("u00020"), nullptr);
  EXPECT_NE(FindUser("u00021"), nullptr);
  EndUsersLoad();
  EndBulkRegistration(nullptr);
  EXPECT_EQ(GetUserCount(), n);  // 3000 loaded, one deleted, "mmm" before
  ExpectArrayInStep();
  EXPECT_EQ(*GetUserByIndex(0)->USERNAME, "mmm");
  EXPECT_EQ(*GetUserByIndex(1)->USERNAME, "u00001");
  ASSERT_GE(Add("aaa", 50000), 0);  // after the load, adds insert again
  EXPECT_EQ(*GetUserByIndex(0)->USERNAME, "aaa");
  ExpectArrayInStep();
}

TEST_F(UserRecordsTest, AddRefusals) {
  ASSERT_GE(AddUser("Bob", 5), 0);
  ASSERT_NE(AddNewPerm(9), nullptr);
  struct Case {
    const char* id;
    const char* name;
    UID uid;
    AddUserFailure why;
  };
  const Case cases[] = {
      {"null name", nullptr, 6, ADD_USER_NO_NAME},
      {"empty name", "", 6, ADD_USER_NO_NAME},
      {"existing name in other case", "bOB", 6, ADD_USER_EXISTS},
      {"UID of another user", "carl", 5, ADD_USER_UID_IN_USE},
      {"UID of a permission", "carl", 9, ADD_USER_UID_IN_USE},
  };
  for (const Case& c : cases) {
    AddUserFailure why = ADD_USER_OK;
    EXPECT_EQ(AddUser(c.name, c.uid, &why), -1) << c.id;
    EXPECT_EQ(why, c.why) << c.id;
    EXPECT_EQ(GetUserCount(), 1) << c.id;
  }
  // The first holders of UIDs 5 and 9 keep them.
  EXPECT_EQ(GetNodeByUID(5), &FindUser("Bob")->header);
  EXPECT_EQ(FindPermission(9), GetPermissionByIndex(0));
  EXPECT_EQ(FindUser("carl"), nullptr);
}

// ---- Registry in step ----------------------------------------------------------------------

TEST_F(UserRecordsTest, RegistryFollowsGrowthInsertDeleteAndSort) {
  // 120 users in shuffled name order with UIDs unrelated to the names: the
  // array grows twice (50, 100, 200) and most adds insert in the middle.
  std::vector<int> order(120);
  for (int i = 0; i < 120; ++i) order[i] = i;
  std::mt19937 rng(12345);
  std::shuffle(order.begin(), order.end(), rng);
  for (int i : order) {
    char name[16];
    std::snprintf(name, sizeof name, "user%03d", i);
    ASSERT_GE(AddUser(name, static_cast<UID>(1000 + (i * 37) % 120)), 0) << name;
  }
  EXPECT_EQ(GetUserCount(), 120);
  EXPECT_EQ(GetUserArrayCapacity(), 200);
  ExpectArrayInStep();

  // A delete in the middle: the user is gone from the registry, the rest follow.
  const UID gone = FindUser("user060")->header.uid;
  ASSERT_EQ(DeleteUser("user060", false), FR_OK);
  EXPECT_EQ(GetUserCount(), 119);
  EXPECT_FALSE(IsUIDInNodeQA(gone));
  EXPECT_EQ(FindUser("user060"), nullptr);
  ExpectArrayInStep();

  // Renaming in place and re-sorting moves records; the registry follows.
  UserStruct* first = GetUserByIndex(0);
  first->USERNAME = "zzz";
  SortUsers();
  EXPECT_EQ(*GetUserByIndex(118)->USERNAME, "zzz");
  ExpectArrayInStep();

  // And an add after all that at the front.
  ASSERT_EQ(AddUser("aaa", 5000), 0);
  ExpectArrayInStep();
}

// An add or a delete moves no other record, nor does a growth: the records
// the lookups handed out before stay where they were (and registered there),
// whatever the place in the name order, and a deleted user's room goes to
// the next user without a growth.
TEST_F(UserRecordsTest, AddAndDeleteMoveNoOtherRecord) {
  ASSERT_EQ(ResizeUserArray(100), FR_OK);
  char name[16];
  for (int i = 0; i < 60; i += 2) {
    std::snprintf(name, sizeof name, "u%03d", i);
    ASSERT_GE(AddUser(name, static_cast<UID>(100 + i)), 0) << name;
  }
  std::map<std::string, const UserStruct*> before;
  for (int i = 0; i < GetUserCount(); ++i) before[*GetUserByIndex(i)->USERNAME] = GetUserByIndex(i);
  auto expectUnmoved = [&](const char* step) {
    for (const auto& [n, record] : before) {
      const UserStruct* now = FindUser(n.c_str());
      if (now == nullptr) continue;  // the deleted ones
      EXPECT_EQ(now, record) << n << " after " << step;
    }
    ExpectArrayInStep();
  };
  const struct {
    const char* what;
    bool add;
    const char* name;
  } steps[] = {
      {"an add in front", true, "a"},          {"an add in the middle", true, "u031"},
      {"an add at the end", true, "z"},        {"a delete in front", false, "u000"},
      {"a delete in the middle", false, "u030"}, {"a delete at the end", false, "z"},
      {"an add after deletes", true, "u029"},
  };
  UID next = 500;
  for (const auto& step : steps) {
    if (step.add) {
      ASSERT_GE(AddUser(step.name, next++), 0) << step.what;
    } else {
      ASSERT_EQ(DeleteUser(step.name, false), FR_OK) << step.what;
      before.erase(step.name);
    }
    expectUnmoved(step.what);
  }
  EXPECT_EQ(GetUserArrayCapacity(), 100);
  // Deleting and adding over and over reuses the rooms freed.
  for (int k = 0; k < 300; ++k) {
    std::snprintf(name, sizeof name, "t%03d", k);
    ASSERT_GE(AddUser(name, next++), 0);
    ASSERT_EQ(DeleteUser(name, false), FR_OK);
  }
  EXPECT_EQ(GetUserArrayCapacity(), 100);
  expectUnmoved("300 adds and deletes");
  // A growth adds room elsewhere: still no record moves.
  for (int k = 0; k < 150; ++k) {
    std::snprintf(name, sizeof name, "g%03d", k);
    ASSERT_GE(AddUser(name, next++), 0);
  }
  EXPECT_GT(GetUserArrayCapacity(), 100);
  expectUnmoved("a growth");
}

// A load registers in bulk (entries sorted in at the end): adds in the
// middle, growth and a refused UID must keep the registry in step all the
// same, before and after the bulk registration ends.
TEST_F(UserRecordsTest, RegistryFollowsAddsDuringABulkRegistration) {
  BeginBulkRegistration();
  for (int i = 79; i >= 0; --i) {  // reverse order: every add goes in front
    char name[16];
    std::snprintf(name, sizeof name, "bulk%02d", i);
    ASSERT_GE(AddUser(name, static_cast<UID>(300 + (i * 13) % 80)), 0) << name;
  }
  AddUserFailure why = ADD_USER_OK;
  EXPECT_EQ(AddUser("other", 300, &why), -1);
  EXPECT_EQ(why, ADD_USER_UID_IN_USE);
  ExpectArrayInStep();
  EndBulkRegistration();
  EXPECT_EQ(GetUserCount(), 80);
  ExpectArrayInStep();
}

// Freeing every user unregisters them all and nothing else; the capacity stays.
TEST_F(UserRecordsTest, FreeAllUsersUnregistersEveryUserAndNothingElse) {
  ASSERT_NE(AddNewPerm(kUIDDefaultPermission), nullptr);
  char name[16];
  for (int i = 0; i < 120; ++i) {
    std::snprintf(name, sizeof name, "u%03d", i);
    ASSERT_GE(AddUser(name, static_cast<UID>(1 + (i * 37) % 120)), 0) << name;
  }
  ASSERT_EQ(GetNodeQACount(), 121u);
  const int capacity = GetUserArrayCapacity();
  FreeAllUsers();
  EXPECT_EQ(GetUserCount(), 0);
  EXPECT_EQ(GetNodeQACount(), 1u);
  EXPECT_NE(FindPermission(kUIDDefaultPermission), nullptr);
  EXPECT_EQ(GetUserArrayCapacity(), capacity);
}

TEST_F(UserRecordsTest, ResizeRules) {
  EXPECT_EQ(ResizeUserArray(10), FR_OK);
  EXPECT_EQ(GetUserArrayCapacity(), 10);
  EXPECT_EQ(ResizeUserArray(5), FR_INVALID_PARAMETER);
  ASSERT_GE(AddUser("a", 1), 0);
  FreeAllUsers();
  EXPECT_EQ(GetUserCount(), 0);
  EXPECT_EQ(GetUserArrayCapacity(), 10);
  EXPECT_FALSE(IsUIDInNodeQA(1));
}

// ---- Update ------------------------------------------------------------------------------------

class UpdateUserTest : public UserRecordsTest {
 protected:
  int settings = 0;  // stands in for bob's USERDATA element
  void SetUp() override {
    UserRecordsTest::SetUp();
    ASSERT_GE(AddUser("alice", 30), 0);
    ASSERT_GE(AddUser("bob", 31), 0);
    ASSERT_GE(AddUser("carl", 32), 0);
    UserStruct* bob = FindUser("bob");
    bob->FORENAME = "Robert";
    bob->ADUSER = 1;
    bob->USERDATA = reinterpret_cast<XMLNode*>(&settings);
    ASSERT_EQ(AddUserField(bob, "Dept", "IT"), FR_OK);
  }
  static UserStruct Given(const char* name, UID uid) {
    UserStruct u;
    u.USERNAME = name;
    u.header.uid = uid;
    u.header.kind = NODE_KIND_USER;
    u.FORENAME = "Bobby";
    return u;
  }
  static void ExpectBobUnchanged() {
    const UserStruct* bob = FindUser("bob");
    ASSERT_NE(bob, nullptr);
    EXPECT_EQ(bob->header.uid, 31u);
    EXPECT_EQ(bob->FORENAME, "Robert");
    ASSERT_EQ(bob->fields.size(), 1u);
    EXPECT_EQ(bob->fields[0].name, "Dept");
  }
};

TEST_F(UpdateUserTest, UIDZeroKeepsTheStoredUID) {
  UserStruct given = Given("bob", 0);
  ASSERT_EQ(UpdateUser(&given), FR_OK);
  EXPECT_EQ(given.header.uid, 31u);
  const UserStruct* bob = FindUser("bob");
  EXPECT_EQ(bob->header.uid, 31u);
  EXPECT_EQ(bob->FORENAME, "Bobby");
  EXPECT_TRUE(bob->fields.empty());
  // No link in the given record: the stored settings link stays.
  EXPECT_EQ(bob->USERDATA, reinterpret_cast<XMLNode*>(&settings));
  ExpectArrayInStep();
}

TEST_F(UpdateUserTest, Refusals) {
  struct Case {
    const char* id;
    UserStruct given;
    int rc;
  };
  UserStruct nameless = Given("bob", 0);
  nameless.USERNAME.reset();
  UserStruct badField = Given("bob", 31);
  badField.fields.push_back(UserField{std::nullopt, "x"});
  Case cases[] = {
      {"another UID", Given("bob", 32), FR_UID_MISMATCH},
      {"no such user", Given("dave", 0), FR_USER_NOT_FOUND},
      {"no name", nameless, FR_INVALID_PARAMETER},
      {"empty name", Given("", 0), FR_INVALID_PARAMETER},
      {"copy fails on a field without a name", badField, FR_NO_MEMORY},
  };
  for (Case& c : cases) {
    EXPECT_EQ(UpdateUser(&c.given), c.rc) << c.id;
    ExpectBobUnchanged();
    EXPECT_EQ(GetUserCount(), 3) << c.id;
  }
  EXPECT_EQ(UpdateUser(nullptr), FR_INVALID_PARAMETER);
  ExpectArrayInStep();
}

TEST_F(UpdateUserTest, StoredRecordStaysAUser) {
  UserStruct given = Given("bob", 31);
  given.header.kind = NODE_KIND_PERMISSION;
  given.header.timeStamp = 1234;
  ASSERT_EQ(UpdateUser(&given), FR_OK);
  const UserStruct* bob = FindUser("bob");
  EXPECT_EQ(bob->header.kind, NODE_KIND_USER);
  EXPECT_EQ(bob->header.timeStamp, 1234u);
  EXPECT_EQ(GetRecordByUID<UserStruct>(31, NODE_KIND_USER), bob);
}

TEST_F(UpdateUserTest, NameRules) {
  // A change of letter case is taken as sent.
  UserStruct upper = Given("BOB", 0);
  ASSERT_EQ(UpdateUser(&upper), FR_OK);
  EXPECT_EQ(*GetUserByIndex(1)->USERNAME, "BOB");

  // Found through domain\user: the stored name stays, the order holds.
  SetComputerDomain("CORP");
  FindUser("BOB")->ADUSER = 1;
  UserStruct viaDomain = Given("CORP\\bob", 0);
  viaDomain.ADUSER = 1;
  viaDomain.FORENAME = "Via domain";
  ASSERT_EQ(UpdateUser(&viaDomain), FR_OK);
  const UserStruct* bob = GetUserByIndex(1);
  EXPECT_EQ(*bob->USERNAME, "BOB");
  EXPECT_EQ(bob->FORENAME, "Via domain");
  ExpectArrayInStep();
}

TEST_F(UpdateUserTest, GivenLinkReplacesTheStoredOne) {
  int other = 0;
  UserStruct given = Given("bob", 0);
  given.USERDATA = reinterpret_cast<XMLNode*>(&other);
  ASSERT_EQ(UpdateUser(&given), FR_OK);
  EXPECT_EQ(FindUser("bob")->USERDATA, reinterpret_cast<XMLNode*>(&other));
}

// ---- Delete ------------------------------------------------------------------------------------

TEST_F(UserRecordsTest, DeleteRules) {
  ASSERT_GE(AddUser("administrator", kUIDAdministrator), 0);
  ASSERT_GE(AddUser("bob", 40), 0);

  EXPECT_EQ(DeleteUser("administrator", false), FR_BUILT_IN);
  EXPECT_NE(std::string(GetLogLine()).find("Cannot delete the internal system user administrator (4000000002)"),
            std::string::npos)
      << GetLogLine();
  EXPECT_EQ(GetUserCount(), 2);

  EXPECT_EQ(DeleteUser("nobody", false), FR_USER_NOT_FOUND);
  EXPECT_EQ(DeleteUser("a;b", false), FR_INVALID_PARAMETER);
  EXPECT_EQ(DeleteUser(nullptr, false), FR_INVALID_PARAMETER);

  EXPECT_EQ(DeleteUser("administrator", true), FR_OK);
  EXPECT_FALSE(IsUIDInNodeQA(kUIDAdministrator));
  EXPECT_EQ(GetUserCount(), 1);
  ExpectArrayInStep();

  // A later user of the same name is a new record with its own UID.
  ASSERT_GE(AddUser("administrator", 41), 0);
  EXPECT_EQ(FindUser("administrator")->header.uid, 41u);
}

// ---- Copy and free ---------------------------------------------------------------------------------

TEST_F(UserRecordsTest, CopyAndFree) {
  ASSERT_GE(AddUser("bob", 50), 0);
  UserStruct* bob = FindUser("bob");
  bob->EMAIL = "";  // empty stays empty, absent stays absent
  ASSERT_EQ(AddUserField(bob, "Phone", nullptr), FR_OK);
  bob->groupUIDs = {7, 8};

  UserStruct copy;
  ASSERT_EQ(CopyUserStruct(&copy, bob), FR_OK);
  EXPECT_EQ(copy.USERNAME, "bob");
  EXPECT_EQ(copy.EMAIL, "");
  EXPECT_FALSE(copy.SURNAME.has_value());
  ASSERT_EQ(copy.fields.size(), 1u);
  EXPECT_FALSE(copy.fields[0].value.has_value());
  EXPECT_TRUE(copy.groupUIDs.empty());
  EXPECT_EQ(copy.header.uid, 50u);

  // Freeing the copy (same UID, other address) leaves bob registered.
  FreeUserStruct(&copy);
  EXPECT_FALSE(copy.USERNAME.has_value());
  EXPECT_EQ(GetNodeByUID(50), &FindUser("bob")->header);

  EXPECT_EQ(CopyUserStruct(nullptr, bob), FR_INVALID_PARAMETER);
  EXPECT_EQ(CopyUserStruct(&copy, nullptr), FR_INVALID_PARAMETER);

  UserStruct nameless;
  nameless.USERNAME = "x";
  nameless.fields.push_back(UserField{std::nullopt, "v"});
  copy.FORENAME = "stale";
  EXPECT_EQ(CopyUserStruct(&copy, &nameless), FR_NO_MEMORY);
  EXPECT_FALSE(copy.FORENAME.has_value());
  EXPECT_FALSE(copy.USERNAME.has_value());
}

// ---- Fields ------------------------------------------------------------------------------------------

TEST_F(UserRecordsTest, FieldsStaySortedAndUnique) {
  UserStruct user;
  for (const char* name : {"carol", "Alice", "bob", "_x"}) ASSERT_EQ(AddUserField(&user, name, "v"), FR_OK);
  std::vector<std::string> names;
  for (const UserField& f : user.fields) names.push_back(*f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"_x", "Alice", "bob", "carol"}));
  EXPECT_EQ(AddUserField(&user, "BOB", "w"), FR_ALREADY_EXISTS);
  EXPECT_EQ(AddUserField(&user, "", "w"), FR_INVALID_PARAMETER);
  EXPECT_EQ(AddUserField(nullptr, "a", "w"), FR_INVALID_PARAMETER);
  ASSERT_NE(FindUserField(&user, "ALICE"), nullptr);
  EXPECT_EQ(DeleteUserField(&user, "alice"), FR_OK);
  EXPECT_EQ(DeleteUserField(&user, "alice"), FR_NODE_NOT_FOUND);
  EXPECT_EQ(user.fields.size(), 3u);
  EXPECT_EQ(*user.fields[1].name, "bob");
}

// ---- Users time --------------------------------------------------------------------------------------

TEST_F(UserRecordsTest, UsersChangedSince) {
  SetUsersTime(1000);
  EXPECT_FALSE(UsersChangedSince(1000));  // equal is current
  EXPECT_TRUE(UsersChangedSince(999));
  EXPECT_FALSE(UsersChangedSince(1001));
  // Signed 32-bit comparison: a users time past 2^31 is negative.
  SetUsersTime(0x80000010u);
  EXPECT_FALSE(UsersChangedSince(5));
  EXPECT_TRUE(UsersChangedSince(static_cast<int32_t>(0x80000000u)));
}

}  // namespace
