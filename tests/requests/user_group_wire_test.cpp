// Wire-level tests of the user and group requests: the real server in a new
// temporary home, driven over loopback TCP by the tests' protocol client.
// Adds and changes that survive a restart, the administrators' password
// setting followed by a logon with the new password, the record blocks that
// are consumed whatever the reply, and the hashes a plain user is shown.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "directory/group_blocks.h"
#include "directory/user_blocks.h"
#include "directory/user_records.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/wire/wire.h"
#include "platform/fs.h"
#include "support/server_process.h"
#include "support/test_client.h"
#include "support/wire_session.h"

namespace {

constexpr const char* kAdministratorPassword = kNewHomeAdministratorPassword;

// One logged-on client of the server.
struct Session : WireSession {
  using WireSession::WireSession;
  // The block of a named record (6503 a user, 6610 a group) decoded by
  // `decode` (the record, the block, its size): nullopt when the reply is not
  // 0 and a whole block, or the block does not decode.
  template <typename Record, typename Decode>
  std::optional<Record> Named(int32_t id, const std::string& name, Decode decode) {
    if (Call(id, TestRequest().String(name).Int(1).Int(0)) != 0) return std::nullopt;
    std::optional<int32_t> size = client.RecvInt();
    TestBytes block;
    if (!size || *size < 0 || !client.RecvBytes(static_cast<size_t>(*size), &block)) return std::nullopt;
    Record record;
    if (decode(block.data(), *size, &record, 1) != 0) return std::nullopt;
    return record;
  }
  // 6503: the user's block decoded.
  std::optional<UserStruct> NamedUser(const std::string& name) {
    return Named<UserStruct>(6503, name, ConvertTransportBlockToUser);
  }
  // 6610: the group's block decoded.
  std::optional<GroupStruct> NamedGroup(const std::string& name) {
    return Named<GroupStruct>(6610, name, ConvertTransportBlockToGroup);
  }
  // A request whose reply is 0 and a string (6681, say): the string.
  std::optional<std::string> Text(int32_t id, const TestRequest& args = TestRequest()) {
    if (Call(id, args) != 0) return std::nullopt;
    std::optional<std::string> text;
    if (!client.RecvString(&text)) return std::nullopt;
    return text;
  }
};

class UserGroupWire : public ::testing::Test {
 protected:
  ServerProcess server;

  void SetUp() override {
    ASSERT_EQ(server.Initialise(), 0) << server.LastRun();
    ASSERT_TRUE(server.Start()) << server.Log();
  }

  // Adds `name` and gives it `password` as the administrator.
  void AddUserWithPassword(Session& admin, const char* name, const char* password) {
    ASSERT_EQ(admin.Call(6504, TestRequest().String(name)), 0);
    ASSERT_EQ(admin.Call(6654, TestRequest().String(name).String(password)), 0);
  }
};

TEST_F(UserGroupWire, AddChangeAndPasswordSurviveARestart) {
  {
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    AddUserWithPassword(admin, "alice", "alice-Secret1");
    // A change to another user: the administrator's e-mail, through its block.
    std::optional<UserStruct> record = admin.NamedUser("administrator");
    ASSERT_TRUE(record);
    record->EMAIL = "root@example.org";
    std::vector<unsigned char> block;
    ASSERT_TRUE(ConvertUserToTransportBlock(&*record, block));
    FreeUserStruct(&*record);
    EXPECT_EQ(admin.Call(6505, TestRequest().Int(1).Int(static_cast<int32_t>(block.size()))
                                   .Raw(TestBytes(block.begin(), block.end()))),
              0);
    // Built-in users are not deleted.
    EXPECT_EQ(admin.Call(6506, TestRequest().String("guest")), 26);
    EXPECT_EQ(admin.Call(6506, TestRequest().String("default_user")), 26);
    // An Active Directory user keeps no password here.
    ASSERT_EQ(admin.Call(6504, TestRequest().String("dave")), 0);
    std::optional<UserStruct> dave = admin.NamedUser("dave");
    ASSERT_TRUE(dave);
    dave->ADUSER = 1;
    block.clear();
    ASSERT_TRUE(ConvertUserToTransportBlock(&*dave, block));
    FreeUserStruct(&*dave);
    EXPECT_EQ(admin.Call(6505, TestRequest().Int(1).Int(static_cast<int32_t>(block.size()))
                                   .Raw(TestBytes(block.begin(), block.end()))),
              0);
    EXPECT_EQ(admin.Call(6654, TestRequest().String("dave").String("pw")), 36);
  }
  ASSERT_EQ(server.Stop(), 0) << server.Log();
  // The restart: a new process on the same home (with a log of its own).
  ServerProcess restarted(server.Home());
  ASSERT_TRUE(restarted.Start()) << restarted.Log();

  Session alice(restarted, "alice", "alice-Secret1");
  ASSERT_TRUE(alice.ok) << "the new password logs on after the restart";
  std::optional<UserStruct> admin = alice.NamedUser("administrator");
  ASSERT_TRUE(admin);
  EXPECT_EQ(admin->EMAIL, "root@example.org");
  // A plain user sees another user's block without its hashes, its own with them.
  EXPECT_EQ(admin->PASSWORD, 0u);
  EXPECT_EQ(admin->PASSWORDV2, std::nullopt);
  FreeUserStruct(&*admin);
  std::optional<UserStruct> self = alice.NamedUser("alice");
  ASSERT_TRUE(self);
  ASSERT_TRUE(self->PASSWORDV2);
  EXPECT_EQ(CheckPasswordHash("alice-Secret1", self->PASSWORDV2->c_str()), 0);
  FreeUserStruct(&*self);

  Session root(restarted, "administrator", kAdministratorPassword);
  ASSERT_TRUE(root.ok);
  std::optional<UserStruct> seen = root.NamedUser("alice");
  ASSERT_TRUE(seen);
  EXPECT_TRUE(seen->PASSWORDV2);
  FreeUserStruct(&*seen);
}

// 6505 saves what it changes: with no other change after it, the change is
// there after a restart, in the home's first run and in a later one.
TEST_F(UserGroupWire, AnUpdateAloneSurvivesARestart) {
  {
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    AddUserWithPassword(admin, "alice", "alice-Secret1");
  }
  for (const char* email : {"alice@first.example", "alice@second.example"}) {
    SCOPED_TRACE(email);
    {
      Session admin(server, "administrator", kAdministratorPassword);
      ASSERT_TRUE(admin.ok);
      std::optional<UserStruct> record = admin.NamedUser("alice");
      ASSERT_TRUE(record);
      record->EMAIL = email;
      std::vector<unsigned char> block;
      ASSERT_TRUE(ConvertUserToTransportBlock(&*record, block));
      FreeUserStruct(&*record);
      ASSERT_EQ(admin.Call(6505, TestRequest().Int(1).Int(static_cast<int32_t>(block.size()))
                                     .Raw(TestBytes(block.begin(), block.end()))),
                0);
    }
    ASSERT_EQ(server.Stop(), 0) << server.Log();
    ASSERT_TRUE(server.Restart()) << server.Log();
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    std::optional<UserStruct> saved = admin.NamedUser("alice");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->EMAIL, std::string(email));
    FreeUserStruct(&*saved);
  }
}

// 6505 with a version other than 1, from a plain user, and with sizes that
// cannot be had: the block is consumed, the reply is 3, 49 or 1, and the
// request after it is read as a request.
TEST_F(UserGroupWire, UserBlocksAreConsumedAndTheNextRequestIsRead) {
  {
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    AddUserWithPassword(admin, "bob", "bob-Secret1");
  }
  Session admin(server, "administrator", kAdministratorPassword);
  Session bob(server, "bob", "bob-Secret1");
  ASSERT_TRUE(admin.ok);
  ASSERT_TRUE(bob.ok);
  const int32_t users = [&] {
    std::optional<int32_t> n = bob.Call(6500, TestRequest());
    return n ? *n : -1;
  }();
  ASSERT_GT(users, 0);
  struct Case {
    const char* id;
    Session* who;
    int32_t version;
    int32_t size;
    size_t sent;
    int32_t reply;
  };
  const Case cases[] = {
      {"version 2", &admin, 2, 100, 100, 3},
      {"plain user", &bob, 1, 64, 64, 49},
      {"oversized", &admin, 1, kMaxWireStringLength + 1, static_cast<size_t>(kMaxWireStringLength) + 1, 1},
      {"negative", &admin, 1, -20, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    TestRequest args;
    args.Int(c.version).Int(c.size).Raw(TestBytes(c.sent, 0x41));
    EXPECT_EQ(c.who->Call(6505, args), c.reply);
    // The next request on the same connection: the user count.
    EXPECT_EQ(c.who->Call(6500, TestRequest()), users);
  }
}

// A group added by 6611 has UID 0 until the next start, which gives it its
// UID for good: groups.xml is written with it at that start, so it is the
// same after two more restarts, and a permission that names it by that UID
// still names it.
TEST_F(UserGroupWire, AGroupKeepsTheUIDItsFirstStartGaveIt) {
  uint32_t permission = 0;
  {
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    ASSERT_EQ(admin.Call(6611, TestRequest().String("Staff")), 0);
    std::optional<GroupStruct> staff = admin.NamedGroup("Staff");
    ASSERT_TRUE(staff);
    EXPECT_EQ(staff->header.uid, 0u) << "no UID before the next start";
    std::optional<int32_t> uid = admin.Call(6606);
    ASSERT_TRUE(uid);
    permission = static_cast<uint32_t>(*uid);
  }
  ASSERT_EQ(server.Stop(), 0) << server.Log();
  ASSERT_TRUE(server.Restart()) << server.Log();
  uint32_t given = 0;
  char readLine[64];
  {
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    std::optional<GroupStruct> staff = admin.NamedGroup("Staff");
    ASSERT_TRUE(staff);
    given = staff->header.uid;
    ASSERT_NE(given, 0u);
    EXPECT_EQ(staff->header.kind, 7u);
    // A permission that grants the group read access, by its UID.
    std::optional<std::string> groups = admin.Text(6681);
    ASSERT_TRUE(groups);
    std::snprintf(readLine, sizeof readLine, "<READ>%08X</READ>", given);
    char perm[160];
    std::snprintf(perm, sizeof perm, "<PERM>\n<UID>%08X</UID>\n%s\n</PERM>\n", permission, readLine);
    const size_t end = groups->rfind("</GROUPS>");
    ASSERT_NE(end, std::string::npos);
    groups->insert(end, perm);
    ASSERT_EQ(admin.Call(6682, TestRequest().String(*groups)), 0);
  }
  for (int restart = 1; restart <= 2; ++restart) {
    SCOPED_TRACE(restart);
    ASSERT_EQ(server.Stop(), 0) << server.Log();
    ASSERT_TRUE(server.Restart()) << server.Log();
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    std::optional<GroupStruct> staff = admin.NamedGroup("Staff");
    ASSERT_TRUE(staff);
    EXPECT_EQ(staff->header.uid, given);
    std::optional<std::string> groups = admin.Text(6681);
    ASSERT_TRUE(groups);
    EXPECT_NE(groups->find(readLine), std::string::npos) << *groups;
    EXPECT_EQ(server.Log().find("Gave 1 groups their UIDs"), std::string::npos) << "nothing new to give";
  }
}

// 6506 removes the user's file once the list no longer names it: after the
// delete the file is gone, and the next start says nothing of it. A file the
// list does not name at a start (a stop between the list and the file, made
// here by hand) is kept, logged without a system error, and stays through
// later deletes of other users.
TEST_F(UserGroupWire, ADeletedUsersFileGoesAndAnUnlistedFileIsKept) {
  {
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    AddUserWithPassword(admin, "dora", "dora-Secret1");
    AddUserWithPassword(admin, "eve", "eve-Secret1");
    AddUserWithPassword(admin, "finn", "finn-Secret1");
  }
  const std::string users = server.Home() + "users/";
  auto fileOf = [&](const std::string& list, const std::string& name) {
    const size_t at = list.find("name=\"" + name + "\"");
    // <USER uid="%08X" name="...
    return at == std::string::npos || at < 10 ? std::string() : users + list.substr(at - 10, 8) + ".xml";
  };
  std::string list = ReadWholeFile(server.Home() + "userlist.xml");
  const std::string dora = fileOf(list, "dora"), eve = fileOf(list, "eve"), finn = fileOf(list, "finn");
  ASSERT_EQ(ProbePath(dora), PATH_EXISTS) << list;
  ASSERT_EQ(ProbePath(eve), PATH_EXISTS) << list;
  {
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    ASSERT_EQ(admin.Call(6506, TestRequest().String("dora")), 0);
    EXPECT_EQ(ProbePath(dora), PATH_MISSING);
    EXPECT_EQ(ReadWholeFile(server.Home() + "userlist.xml").find("name=\"dora\""), std::string::npos);
  }
  ASSERT_EQ(server.Stop(), 0) << server.Log();
  // A stop between the two steps of eve's deletion: the list without her,
  // her file still there.
  list = ReadWholeFile(server.Home() + "userlist.xml");
  const size_t line = list.find("<USER uid=\"" + eve.substr(users.size(), 8));
  ASSERT_NE(line, std::string::npos);
  list.erase(line, list.find('\n', line) + 1 - line);
  WriteWholeFile(server.Home() + "userlist.xml", list);
  const std::string eveFile = ReadWholeFile(eve);

  ASSERT_TRUE(server.Restart()) << server.Log();
  std::string log = server.Log();
  EXPECT_EQ(log.find(dora.substr(users.size())), std::string::npos) << log;
  const size_t named = log.find(eve + "< is not named in the user list: it is kept");
  ASSERT_NE(named, std::string::npos) << log;
  const std::string namedLine = log.substr(named, log.find('\n', named) - named);
  EXPECT_EQ(namedLine.substr(namedLine.size() - 22), "to load the user again") << "no system error behind it";
  {
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    EXPECT_EQ(admin.Call(6503, TestRequest().String("eve").Int(1).Int(0)), 6);
    ASSERT_EQ(admin.Call(6506, TestRequest().String("finn")), 0);
    EXPECT_EQ(ProbePath(finn), PATH_MISSING);
  }
  EXPECT_EQ(ReadWholeFile(eve), eveFile) << "a file no list named at the start stays";
}

TEST_F(UserGroupWire, PlainUserUpdatesAGroup) {
  {
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    AddUserWithPassword(admin, "carol", "carol-Secret1");
  }
  Session carol(server, "carol", "carol-Secret1");
  ASSERT_TRUE(carol.ok);
  EXPECT_EQ(carol.Call(6611, TestRequest().String("Staff")), 0);
  GroupStruct g;
  g.name = "Staff";
  g.description = "everyone who works here";
  g.members = {"carol"};
  std::vector<unsigned char> block;
  ASSERT_TRUE(ConvertGroupToTransportBlock(&g, block));
  EXPECT_EQ(carol.Call(6612, TestRequest().Int(1).Int(static_cast<int32_t>(block.size()))
                                 .Raw(TestBytes(block.begin(), block.end()))),
            0);
  // A plain user may not delete an administrator.
  EXPECT_EQ(carol.Call(6508, TestRequest().String("ZentakUser")), 49);
  EXPECT_EQ(carol.Call(6613, TestRequest().String("NoSuchGroup")), -1);
}

}  // namespace
