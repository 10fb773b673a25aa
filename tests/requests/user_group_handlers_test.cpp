// Tests of the user and group requests over a socketpair with a real
// directory store in a temporary home: the refusals and their order, the
// raw block reads that keep the stream in step, the time stamps, the hidden
// password hashes, the guest refusals, the saves that survive a reload, and
// the administrators' password setting.
#include "requests/user_group_handlers.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "directory/first_start.h"
#include "directory/group_blocks.h"
#include "directory/groups.h"
#include "directory/groups_file.h"
#include "directory/user_blocks.h"
#include "directory/user_records.h"
#include "directory/users_files.h"
#include "directory/users_tree.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/wire/wire.h"
#include "platform/clock.h"
#include "requests/caller_fixture.h"
#include "support/socket_pair.h"
#include "support/stored_directory.h"
#include "support/test_client.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

using Handler = int (*)(int);

using Args = TestRequest;

constexpr int64_t kNow = 1700000000;  // the clock of every test

// A reply's bytes as data.
const unsigned char* Data(const std::string& b) { return reinterpret_cast<const unsigned char*>(b.data()); }

// The word at `at` of a reply (a marker when the reply is shorter).
uint32_t Word(const std::string& b, size_t at) { return at + 4 <= b.size() ? GetLE32(Data(b) + at) : 0xDEADBEEF; }

// The reply words of a refusal, as signed codes.
std::string Codes(const std::vector<int32_t>& codes) {
  std::string out;
  for (int32_t c : codes) out += SocketPair::Word(static_cast<uint32_t>(c));
  return out;
}

class UserGroupHandlers : public ::testing::Test {
 protected:
  TempDir home;
  SocketPair pair;

  void SetUp() override {
    ResetCallerSlots();
    MakeStoredDirectory(home, kNow);
    AddHashedUser("alice", 0, "alice-pw");
    AddHashedUser("boss", kUserLevelAdministrator, "boss-pw");
    ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
    ASSERT_EQ(WriteGroupsXML(GetGroupsFilePath()), 0);

    ASSERT_GE(pair.server, 0);
    // A handler that reads past its arguments fails instead of hanging.
    timeval tv{1, 0};
    setsockopt(pair.server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ActAs(CALLER_PLAIN);
  }
  void TearDown() override {
    SetDefaultUsersHasher(nullptr);
    ResetCallerSlots();
    ResetDirectoryState();
  }

  // The callers of the tests: "alice" (plain), "boss" (administrator by
  // level), guest, and a server logon.
  void ActAs(CallerKind kind) {
    const char* name = kind == CALLER_ADMIN ? "boss" : kind == CALLER_GUEST ? "guest" : "alice";
    const UserStruct* u = FindUser(name);
    ASSERT_NE(u, nullptr);
    MakeCurrentCaller(kind, u->header.uid, name, u->LEVEL);
  }

  // Sends the arguments, runs the handler, and gives every reply byte.
  std::string Call(Handler handler, const Args& args) {
    const TestBytes& bytes = args.Bytes();
    pair.Send(std::string(bytes.begin(), bytes.end()));
    handler(pair.server);
    return pair.Pending();
  }

  // The handler read exactly its arguments: nothing is left for the next request.
  void ExpectInStep() { EXPECT_EQ(pair.UnreadByServer(), "") << "bytes left unread by the handler"; }
};

// A user block reply (0, size, block) decoded.
UserStruct DecodeUserReply(const std::string& reply) {
  UserStruct u;
  EXPECT_GE(reply.size(), 8u);
  EXPECT_EQ(Word(reply, 0), 0u);
  EXPECT_EQ(Word(reply, 4), reply.size() - 8);
  EXPECT_EQ(ConvertTransportBlockToUser(Data(reply) + 8, static_cast<int32_t>(reply.size() - 8), &u, 1), 0);
  return u;
}

// ---- Refusals and their order -------------------------------------------------------------

struct RefusalCase {
  const char* id;
  Handler handler;
  CallerKind caller;
  std::function<Args()> args;
  std::vector<int32_t> reply;  // empty: no reply at all
};

TEST_F(UserGroupHandlers, RefusalsAndTheirOrder) {
  const int32_t users = GetUserCount();
  const int32_t groups = GetGroupCount();
  const int32_t usersTime = static_cast<int32_t>(GetUsersTime());
  const RefusalCase cases[] = {
      {"6500 count", IPGetUserCount, CALLER_PLAIN, [] { return Args(); }, {users}},
      {"6607 count", IPGetGroupCount, CALLER_GUEST, [] { return Args(); }, {groups}},
      // 6501 / 6608: the version is tested before n, n is signed.
      {"6501 v2 bad n", IPGetUserN, CALLER_PLAIN, [] { return Args().Int(-5).Int(2).Int(0); }, {3}},
      {"6501 n -1", IPGetUserN, CALLER_PLAIN, [] { return Args().Int(-1).Int(1).Int(0); }, {2}},
      {"6501 n count", IPGetUserN, CALLER_PLAIN, [=] { return Args().Int(users).Int(1).Int(0); }, {2}},
      {"6608 n -1", IPGetGroupN, CALLER_PLAIN, [] { return Args().Int(-1).Int(1).Int(0); }, {2}},
      {"6608 v0", IPGetGroupN, CALLER_PLAIN, [] { return Args().Int(0).Int(0).Int(0); }, {3}},
      // 6502: the stamp comes before the version.
      {"6502 current v2", IPGetAllUsers, CALLER_PLAIN, [=] { return Args().Int(2).Int(usersTime); }, {5}},
      {"6502 later v1", IPGetAllUsers, CALLER_PLAIN, [=] { return Args().Int(1).Int(usersTime + 9); }, {5}},
      {"6502 older v2", IPGetAllUsers, CALLER_PLAIN, [=] { return Args().Int(2).Int(usersTime - 1); }, {3}},
      // 6503 / 6610: a version other than 1 is 2; an absent name is 2 after its words.
      {"6503 absent", IPGetNamedUser, CALLER_PLAIN, [] { return Args().String(static_cast<const char*>(nullptr)).Int(1).Int(0); }, {2}},
      {"6503 v2", IPGetNamedUser, CALLER_PLAIN, [] { return Args().String("alice").Int(2).Int(0); }, {2}},
      {"6503 unknown", IPGetNamedUser, CALLER_PLAIN, [] { return Args().String("nobody").Int(1).Int(0); }, {6}},
      {"6610 unknown", IPGetNamedGroup, CALLER_PLAIN, [] { return Args().String("Nobody").Int(1).Int(0); }, {16}},
      {"6610 v3", IPGetNamedGroup, CALLER_PLAIN, [] { return Args().String("Everyone").Int(3).Int(0); }, {2}},
      {"6610 absent", IPGetNamedGroup, CALLER_PLAIN, [] { return Args().String(static_cast<const char*>(nullptr)).Int(7).Int(0); }, {2}},
      // 6504: rights, then the name, then existence, then the add.
      {"6504 plain", IPAddUser, CALLER_PLAIN, [] { return Args().String("#bad"); }, {49}},
      {"6504 bad name", IPAddUser, CALLER_ADMIN, [] { return Args().String("#bad"); }, {2}},
      {"6504 absent", IPAddUser, CALLER_ADMIN, [] { return Args().String(static_cast<const char*>(nullptr)); }, {2}},
      {"6504 exists", IPAddUser, CALLER_ADMIN, [] { return Args().String("ALICE"); }, {7}},
      {"6504 group's name", IPAddUser, CALLER_ADMIN, [] { return Args().String("Everyone"); }, {1}},
      {"6507 guest", IPAddUserNoAdminCheck, CALLER_GUEST, [] { return Args().String("carol"); }, {49}},
      // 6506 / 6508: built-in users are 26 by name.
      {"6506 plain", IPDeleteUser, CALLER_PLAIN, [] { return Args().String("alice"); }, {49}},
      {"6506 guest user", IPDeleteUser, CALLER_ADMIN, [] { return Args().String("guest"); }, {26}},
      {"6506 default_user", IPDeleteUser, CALLER_ADMIN, [] { return Args().String("default_user"); }, {26}},
      {"6506 unknown", IPDeleteUser, CALLER_ADMIN, [] { return Args().String("nobody"); }, {6}},
      {"6506 absent", IPDeleteUser, CALLER_ADMIN, [] { return Args().String(static_cast<const char*>(nullptr)); }, {2}},
      {"6508 guest", IPDeleteUserNoAdminCheck, CALLER_GUEST, [] { return Args().String("alice"); }, {49}},
      {"6508 plain of admin", IPDeleteUserNoAdminCheck, CALLER_PLAIN, [] { return Args().String("boss"); }, {49}},
      {"6508 plain built-in", IPDeleteUserNoAdminCheck, CALLER_PLAIN, [] { return Args().String("guest"); }, {26}},
      // Groups: guests refused after the argument; -1 for no such group.
      {"6611 guest", IPAddGroup, CALLER_GUEST, [] { return Args().String("Staff"); }, {49}},
      {"6611 bad name", IPAddGroup, CALLER_PLAIN, [] { return Args().String("9lives"); }, {2}},
      {"6611 exists", IPAddGroup, CALLER_PLAIN, [] { return Args().String("everyone"); }, {7}},
      {"6611 user's name", IPAddGroup, CALLER_PLAIN, [] { return Args().String("alice"); }, {1}},
      {"6613 guest", IPDeleteGroup, CALLER_GUEST, [] { return Args().String("Everyone"); }, {49}},
      {"6613 unknown", IPDeleteGroup, CALLER_PLAIN, [] { return Args().String("Nobody"); }, {-1}},
      // 6654: rights first, then the absent password, before any hashing.
      {"6654 plain", IPSetUserPasswordV2, CALLER_PLAIN, [] { return Args().String("alice").String("x"); }, {49}},
      {"6654 plain absent", IPSetUserPasswordV2, CALLER_PLAIN, [] { return Args().String("alice").String(nullptr); }, {49}},
      {"6654 admin absent", IPSetUserPasswordV2, CALLER_ADMIN, [] { return Args().String("alice").String(nullptr); }, {2}},
      {"6654 unknown", IPSetUserPasswordV2, CALLER_ADMIN, [] { return Args().String("nobody").String("pw"); }, {6}},
      {"legacy plain", IPSetUserPassword, CALLER_PLAIN, [] { return Args().String("alice").Int(77); }, {49}},
      // Failed integer reads: no reply.
      {"6501 short", IPGetUserN, CALLER_PLAIN, [] { return Args().Int(0).Int(1); }, {}},
      {"6503 absent short", IPGetNamedUser, CALLER_PLAIN, [] { return Args().String(static_cast<const char*>(nullptr)).Int(1); }, {}},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.id);
    ActAs(c.caller);
    EXPECT_EQ(Call(c.handler, c.args()), Codes(c.reply));
    ExpectInStep();
  }
  // Nothing that was refused changed the directory.
  EXPECT_EQ(GetUserCount(), users);
  EXPECT_EQ(GetGroupCount(), groups);
  EXPECT_NE(FindUser("boss"), nullptr);
}

// ---- 6503 and 6610: the name as the wire's string rule reads it ---------------------------

TEST_F(UserGroupHandlers, NamedLookupReadsTheNameByTheStringRule) {
  auto bytes = [](const std::string& text) { return TestBytes(text.begin(), text.end()); };
  const std::string longTail(3000, 'x');
  struct Case {
    const char* id;
    Handler handler;
    int32_t length;
    TestBytes name;
    int32_t version;
    uint32_t firstWord;  // 0: the record follows
  };
  const Case cases[] = {
      {"NUL inside", IPGetNamedUser, 10, bytes(std::string("alice\0junk", 10)), 1, 0},
      {"no NUL", IPGetNamedUser, 5, bytes("alice"), 1, 0},
      {"case", IPGetNamedUser, 6, bytes(std::string("ALICE\0", 6)), 1, 0},
      {"empty text", IPGetNamedUser, 1, bytes(std::string("\0", 1)), 1, 6},
      {"long, NUL early", IPGetNamedUser, 3006, bytes(std::string("alice\0", 6) + longTail), 1, 0},
      {"long, no NUL", IPGetNamedUser, 3000, bytes(longTail), 1, 6},
      {"long, version 2", IPGetNamedUser, 3006, bytes(std::string("alice\0", 6) + longTail), 2, 2},
      {"negative length", IPGetNamedUser, -4, {}, 1, 2},
      {"group, long", IPGetNamedGroup, 3009, bytes(std::string("Everyone\0", 9) + longTail), 1, 0},
      {"group, no NUL", IPGetNamedGroup, 3000, bytes(longTail), 1, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    std::string reply = Call(c.handler, Args().StringWithLength(c.length, c.name).Int(c.version).Int(0));
    EXPECT_EQ(Word(reply, 0), c.firstWord);
    EXPECT_EQ(reply.size() > 4, c.firstWord == 0);
    ExpectInStep();
  }
}

// ---- 6505 and 6612: the block is always consumed --------------------------------------------

struct BlockCase {
  const char* id;
  Handler handler;
  CallerKind caller;
  int32_t version;
  int32_t size;      // the size word
  size_t sentBytes;  // bytes that follow it
  std::vector<int32_t> reply;
};

TEST_F(UserGroupHandlers, RecordBlocksAreConsumedWhateverTheReply) {
  std::vector<unsigned char> aliceBlock;
  ASSERT_TRUE(ConvertUserToTransportBlock(FindUser("alice"), aliceBlock));
  std::vector<unsigned char> groupBlock;
  ASSERT_TRUE(ConvertGroupToTransportBlock(FindGroupByName("Everyone"), groupBlock));
  const int32_t over = kMaxWireStringLength + 1;
  const int32_t ab = static_cast<int32_t>(aliceBlock.size());
  const int32_t gb = static_cast<int32_t>(groupBlock.size());
  const BlockCase cases[] = {
      {"6505 v2", IPUpdateUser, CALLER_ADMIN, 2, 100, 100, {3}},
      {"6505 v2 negative", IPUpdateUser, CALLER_ADMIN, 2, -8, 0, {3}},
      {"6505 plain", IPUpdateUser, CALLER_PLAIN, 1, ab, aliceBlock.size(), {49}},
      {"6505 oversized", IPUpdateUser, CALLER_ADMIN, 1, over, static_cast<size_t>(over), {1}},
      {"6505 negative", IPUpdateUser, CALLER_ADMIN, 1, -1, 0, {1}},
      {"6505 empty", IPUpdateUser, CALLER_ADMIN, 1, 0, 0, {2}},
      {"6505 garbage", IPUpdateUser, CALLER_ADMIN, 1, 12, 12, {2}},
      {"6612 guest", IPUpdateGroup, CALLER_GUEST, 1, gb, groupBlock.size(), {49}},
      {"6612 v2", IPUpdateGroup, CALLER_PLAIN, 2, 40, 40, {3}},
      {"6612 negative", IPUpdateGroup, CALLER_PLAIN, 1, INT32_MIN, 0, {1}},
      {"6612 garbage", IPUpdateGroup, CALLER_PLAIN, 1, 30, 30, {2}},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(c.id);
    ActAs(c.caller);
    TestBytes bytes = Args().Int(c.version).Int(c.size).Bytes();
    if (c.handler == IPUpdateGroup && c.sentBytes == groupBlock.size()) {
      bytes.insert(bytes.end(), groupBlock.begin(), groupBlock.end());
    } else if (c.handler == IPUpdateUser && c.sentBytes == aliceBlock.size() && c.size == ab) {
      bytes.insert(bytes.end(), aliceBlock.begin(), aliceBlock.end());
    } else {
      bytes.resize(bytes.size() + c.sentBytes, 0x5A);
    }
    bytes.insert(bytes.end(), {0x76, 0x19, 0, 0});  // the next request's first word: 6518
    // The writer runs beside the handler: large blocks do not fit the socket's buffer.
    std::thread writer([&] { SendAll(pair.client, bytes.data(), static_cast<int>(bytes.size()), 0); });
    c.handler(pair.server);
    writer.join();
    EXPECT_EQ(pair.Pending(), Codes(c.reply));
    int32_t next = 0;
    EXPECT_EQ(RecvInt(pair.server, &next), 4);
    EXPECT_EQ(next, 6518);
    ExpectInStep();
  }
  EXPECT_EQ(FindUser("alice")->EMAIL, std::nullopt);
}

TEST_F(UserGroupHandlers, ShortBlockGetsNoReply) {
  ActAs(CALLER_ADMIN);
  EXPECT_TRUE(Call(IPUpdateUser, Args().Int(1).Int(50).Raw(TestBytes(20, 1))).empty());
}

// ---- Time stamps ----------------------------------------------------------------------------

TEST_F(UserGroupHandlers, UserListAnswersTheStampAgainstTheUsersTime) {
  const int32_t usersTime = static_cast<int32_t>(GetUsersTime());
  EXPECT_EQ(Call(IPGetAllUsers, Args().Int(1).Int(usersTime)), Words({5}));

  std::string list = Call(IPGetAllUsers, Args().Int(1).Int(usersTime - 1));
  ASSERT_GE(list.size(), 16u);
  EXPECT_EQ(Word(list, 0), 0u);
  EXPECT_EQ(Word(list, 4), static_cast<uint32_t>(kNow));
  EXPECT_EQ(Word(list, 8), 1u);
  ASSERT_EQ(Word(list, 12), static_cast<uint32_t>(GetUserCount()));
  size_t at = 16;
  for (int32_t i = 0; i < GetUserCount(); ++i) {
    uint32_t size = Word(list, at);
    ASSERT_LE(at + 4 + size, list.size());
    UserStruct u;
    ASSERT_EQ(ConvertTransportBlockToUser(Data(list) + at + 4, static_cast<int32_t>(size), &u, 1), 0);
    EXPECT_EQ(u.USERNAME, GetUserByIndex(i)->USERNAME);
    FreeUserStruct(&u);
    at += 4 + size;
  }
  EXPECT_EQ(at, list.size());

  // An add with the clock moved on: the stamp that was current is now old.
  SetClockOverride(kNow + 60);
  ActAs(CALLER_ADMIN);
  EXPECT_EQ(Call(IPAddUser, Args().String("carol")), Words({0}));
  ActAs(CALLER_PLAIN);
  list = Call(IPGetAllUsers, Args().Int(1).Int(usersTime));
  ASSERT_GE(list.size(), 16u);
  EXPECT_EQ(Word(list, 4), static_cast<uint32_t>(kNow + 60));
  EXPECT_EQ(Word(list, 12), static_cast<uint32_t>(GetUserCount()));
  EXPECT_EQ(Call(IPGetAllUsers, Args().Int(1).Int(static_cast<int32_t>(kNow + 60))), Words({5}));
}

TEST_F(UserGroupHandlers, GroupListAnswersTheStampAgainstTheGroupsTime) {
  std::vector<unsigned char> staff;
  {
    GroupStruct g;
    g.name = "Staff";
    g.description = "people";
    g.members = {"alice", "boss"};
    ASSERT_TRUE(ConvertGroupToTransportBlock(&g, staff));
  }
  struct Change {
    const char* id;
    Handler handler;
    Args args;
  };
  const Change changes[] = {
      {"6611", IPAddGroup, Args().String("Staff")},
      {"6612", IPUpdateGroup, Args().Int(1).Int(static_cast<int32_t>(staff.size())).Raw(TestBytes(staff.begin(), staff.end()))},
      {"6613", IPDeleteGroup, Args().String("Staff")},
  };
  int64_t now = kNow;
  for (const Change& c : changes) {
    SCOPED_TRACE(c.id);
    const int32_t before = static_cast<int32_t>(GetGroupsTime());
    EXPECT_EQ(Call(IPGetAllGroups, Args().Int(2).Int(before)), Words({5}));
    now += 10;
    SetClockOverride(now);
    EXPECT_EQ(Call(c.handler, c.args), Words({0}));
    std::string list = Call(IPGetAllGroups, Args().Int(1).Int(before));
    ASSERT_GE(list.size(), 16u);
    EXPECT_EQ(Word(list, 0), 0u);
    EXPECT_EQ(Word(list, 4), static_cast<uint32_t>(now));
    EXPECT_EQ(Word(list, 12), static_cast<uint32_t>(GetGroupCount()));
    EXPECT_EQ(Call(IPGetAllGroups, Args().Int(1).Int(static_cast<int32_t>(now))), Words({5}));
  }
  // The update reached the file: the group reads back as sent, then is gone.
  ASSERT_EQ(FindGroupByName("Staff"), nullptr);
  EXPECT_EQ(ReadWholeFile(GetGroupsFilePath()).find("Staff"), std::string::npos);
}

// ---- Password hashes in user blocks ---------------------------------------------------------

TEST_F(UserGroupHandlers, PasswordHashesOnlyForAdminsServersAndTheUserItself) {
  const std::string aliceV2 = *FindUser("alice")->PASSWORDV2;
  // Alice herself, an administrator and a server see her hashes.
  for (CallerKind caller : {CALLER_PLAIN, CALLER_ADMIN, CALLER_SERVER}) {
    ActAs(caller);
    UserStruct u = DecodeUserReply(Call(IPGetNamedUser, Args().String("alice").Int(1).Int(0)));
    EXPECT_EQ(u.PASSWORD, 0x1234ABCDu);
    EXPECT_EQ(u.PASSWORDV2, aliceV2);
    FreeUserStruct(&u);
  }
  // Another user's block for a caller without the administration bit.
  for (CallerKind caller : {CALLER_PLAIN, CALLER_GUEST}) {
    ActAs(caller);
    UserStruct u = DecodeUserReply(Call(IPGetNamedUser, Args().String("boss").Int(1).Int(0)));
    EXPECT_EQ(u.USERNAME, "boss");
    EXPECT_EQ(u.LEVEL, kUserLevelAdministrator);
    EXPECT_EQ(u.PASSWORD, 0u);
    EXPECT_EQ(u.PASSWORDV2, std::nullopt);
    FreeUserStruct(&u);
  }
  // The same by index and in the list.
  ActAs(CALLER_PLAIN);
  const int32_t bossIndex = FindUserIndex("boss");
  UserStruct byIndex = DecodeUserReply(Call(IPGetUserN, Args().Int(bossIndex).Int(1).Int(0)));
  EXPECT_EQ(byIndex.PASSWORDV2, std::nullopt);
  FreeUserStruct(&byIndex);
  std::string list = Call(IPGetAllUsers, Args().Int(1).Int(0));
  size_t at = 16;
  for (int32_t i = 0; i < GetUserCount(); ++i) {
    uint32_t size = Word(list, at);
    ASSERT_LE(at + 4 + size, list.size());
    UserStruct u;
    ASSERT_EQ(ConvertTransportBlockToUser(Data(list) + at + 4, static_cast<int32_t>(size), &u, 1), 0);
    EXPECT_EQ(u.PASSWORDV2.has_value(), *u.USERNAME == "alice") << *u.USERNAME;
    FreeUserStruct(&u);
    at += 4 + size;
  }
  // The stored record keeps its hashes.
  EXPECT_EQ(FindUser("boss")->PASSWORD, 0x1234ABCDu);
}

TEST(HidePasswordHashes, KeepsEverythingElseOfTheBlock) {
  UserStruct u;
  u.header.uid = 0x42;
  u.header.kind = 6;
  u.USERNAME = "dora";
  u.FORENAME = "Dora";
  u.EMAIL = "d@example.org";
  u.PASSWORD = 0xCAFE;
  u.PASSWORDV2 = "$2b$04$abcdefghijklmnopqrstuuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ01";
  u.fields = {{"Dept", "R&D"}, {"Room", std::nullopt}};
  u.LEVEL = 7;
  u.ADUSER = 1;
  std::vector<unsigned char> block;
  ASSERT_TRUE(ConvertUserToTransportBlock(&u, block));
  u.PASSWORD = 0;
  u.PASSWORDV2 = std::nullopt;
  std::vector<unsigned char> expected;
  ASSERT_TRUE(ConvertUserToTransportBlock(&u, expected));
  ASSERT_TRUE(HidePasswordHashesInUserBlock(block));
  EXPECT_EQ(block, expected);

  std::vector<unsigned char> truncated(expected.begin(), expected.begin() + 40);
  EXPECT_FALSE(HidePasswordHashesInUserBlock(truncated));
  EXPECT_EQ(truncated.size(), 40u);
}

// ---- Changes that persist -------------------------------------------------------------------

TEST_F(UserGroupHandlers, AddAndChangeSurviveAReload) {
  ActAs(CALLER_ADMIN);
  EXPECT_EQ(Call(IPAddUser, Args().String("carol")), Words({0}));
  UserStruct* carol = FindUser("carol");
  ASSERT_NE(carol, nullptr);
  EXPECT_EQ(carol->header.kind, 6u);

  // Change another user: a block whose header claims another kind.
  UserStruct edit;
  ASSERT_EQ(CopyUserStruct(&edit, FindUser("alice")), 0);
  edit.USERDATA = nullptr;
  edit.EMAIL = "alice@example.org";
  edit.header.kind = 7;
  std::vector<unsigned char> block;
  ASSERT_TRUE(ConvertUserToTransportBlock(&edit, block));
  FreeUserStruct(&edit);
  EXPECT_EQ(Call(IPUpdateUser, Args().Int(1).Int(static_cast<int32_t>(block.size())).Raw(TestBytes(block.begin(), block.end()))), Words({0}));

  // 6507 from a plain user, then 6508 of it.
  ActAs(CALLER_PLAIN);
  EXPECT_EQ(Call(IPAddUserNoAdminCheck, Args().String("dave")), Words({0}));
  EXPECT_EQ(Call(IPAddUserNoAdminCheck, Args().String("erin")), Words({0}));
  EXPECT_EQ(Call(IPDeleteUserNoAdminCheck, Args().String("erin")), Words({0}));
  ActAs(CALLER_ADMIN);
  EXPECT_EQ(Call(IPDeleteUserNoAdminCheck, Args().String("boss")), Words({0}));

  // The restart: the users files read afresh.
  ASSERT_EQ(FreeUsersData(), 0);
  ResetUsersFiles();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  ASSERT_NE(FindUser("carol"), nullptr);
  EXPECT_EQ(FindUser("carol")->header.kind, 6u);
  ASSERT_NE(FindUser("dave"), nullptr);
  ASSERT_NE(FindUser("alice"), nullptr);
  EXPECT_EQ(FindUser("alice")->EMAIL, "alice@example.org");
  EXPECT_EQ(FindUser("alice")->header.kind, 6u);
  EXPECT_EQ(FindUser("erin"), nullptr);
  EXPECT_EQ(FindUser("boss"), nullptr);
  // Each added user has a settings tree of its own, with the login section.
  EXPECT_NE(FindUser("carol")->USERDATA, nullptr);
  EXPECT_NE(FindUser("carol")->USERDATA, FindUser("dave")->USERDATA);
}

TEST_F(UserGroupHandlers, GroupChangesByAPlainUserReachTheFile) {
  EXPECT_EQ(Call(IPAddGroup, Args().String("Staff")), Words({0}));
  GroupStruct g;
  g.name = "staff";
  g.description = "Our staff";
  g.members = {"alice", "boss"};
  g.header.kind = 7;
  std::vector<unsigned char> block;
  ASSERT_TRUE(ConvertGroupToTransportBlock(&g, block));
  EXPECT_EQ(Call(IPUpdateGroup, Args().Int(1).Int(static_cast<int32_t>(block.size())).Raw(TestBytes(block.begin(), block.end()))), Words({0}));

  // Member lists the store refuses (a name twice, an empty name, a control
  // character) leave the group as it was.
  const std::vector<std::string> refused[] = {{"alice", "ALICE"}, {"alice", ""}, {"al\tice"}, {"bo\nss"}};
  for (const std::vector<std::string>& members : refused) {
    g.members = members;
    block.clear();
    ASSERT_TRUE(ConvertGroupToTransportBlock(&g, block));
    EXPECT_EQ(Call(IPUpdateGroup, Args().Int(1).Int(static_cast<int32_t>(block.size()))
                                      .Raw(TestBytes(block.begin(), block.end()))),
              Words({2}))
        << members.front();
  }

  FreeGroupArray();
  FreePermissionArray();
  ASSERT_EQ(ReadGroupsXML(GetGroupsFilePath()), 0);
  const GroupStruct* stored = FindGroupByName("Staff");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->description, "Our staff");
  EXPECT_EQ(stored->members, (std::vector<std::string>{"alice", "boss"}));

  // 6610 sends it back.
  std::string reply = Call(IPGetNamedGroup, Args().String("STAFF").Int(1).Int(0));
  ASSERT_GE(reply.size(), 8u);
  EXPECT_EQ(Word(reply, 0), 0u);
  GroupStruct back;
  ASSERT_EQ(ConvertTransportBlockToGroup(Data(reply) + 8, static_cast<int32_t>(reply.size() - 8), &back, 1), 0);
  EXPECT_EQ(back.members, stored->members);
  FreeGroupStruct(&back);
}

// ---- Passwords set by an administrator -------------------------------------------------------

TEST_F(UserGroupHandlers, AdministratorSetsPasswords) {
  ActAs(CALLER_ADMIN);
  EXPECT_EQ(Call(IPSetUserPasswordV2, Args().String("alice").String("n3w-Secret")), Words({0}));
  ASSERT_EQ(FreeUsersData(), 0);
  ResetUsersFiles();
  ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
  const UserStruct* alice = FindUser("alice");
  ASSERT_NE(alice, nullptr);
  ASSERT_TRUE(alice->PASSWORDV2);
  EXPECT_EQ(CheckPasswordHash("n3w-Secret", alice->PASSWORDV2->c_str()), 0);
  EXPECT_EQ(alice->PASSWORD, 0u);

  // An Active Directory user keeps no password here.
  FindUser("alice")->ADUSER = 1;
  EXPECT_EQ(Call(IPSetUserPasswordV2, Args().String("alice").String("other")), Words({36}));

  // The legacy setter sets the 32-bit hash.
  EXPECT_EQ(Call(IPSetUserPassword, Args().String("boss").Int(0x55AA)), Words({0}));
  EXPECT_EQ(FindUser("boss")->PASSWORD, 0x55AAu);
  EXPECT_EQ(Call(IPSetUserPassword, Args().String("alice").Int(0x55AA)), Words({36}));
}

}  // namespace
