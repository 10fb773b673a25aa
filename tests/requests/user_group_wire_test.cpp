// Wire-level tests of the user and group requests: the real server in a new
// temporary home, driven over loopback TCP by the tests' protocol client.
// Adds and changes that survive a restart, the administrators' password
// setting followed by a logon with the new password, the record blocks that
// are consumed whatever the reply, and the hashes a plain user is shown.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "directory/group_blocks.h"
#include "directory/user_blocks.h"
#include "directory/user_records.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/wire/wire.h"
#include "support/server_process.h"
#include "support/test_client.h"
#include "support/wire_session.h"

namespace {

constexpr const char* kAdministratorPassword = kNewHomeAdministratorPassword;

// One logged-on client of the server.
struct Session : WireSession {
  using WireSession::WireSession;
  // 6503: the user's block decoded (nullopt when the reply is not 0).
  std::optional<UserStruct> NamedUser(const std::string& name) {
    if (Call(6503, TestRequest().String(name).Int(1).Int(0)) != 0) return std::nullopt;
    std::optional<int32_t> size = client.RecvInt();
    TestBytes block;
    if (!size || !client.RecvBytes(static_cast<size_t>(*size), &block)) return std::nullopt;
    UserStruct u;
    if (ConvertTransportBlockToUser(block.data(), *size, &u, 1) != 0) return std::nullopt;
    return u;
  }
};

class UserGroupWire : public ::testing::Test {
 protected:
  ServerProcess server;

  void SetUp() override {
    ASSERT_EQ(server.Initialise(), 0);
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
  ASSERT_EQ(server.Stop(), 0);
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
    ASSERT_EQ(server.Stop(), 0);
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
