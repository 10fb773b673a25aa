// Wire-level tests of the directory XML requests: the real server in a new
// temporary home, driven over loopback TCP by the tests' protocol client.
// A groups text followed by a group change that both survive a restart, and
// a plain user who may change its own record but not its rights, another
// user, its password state or the login section, and sees no other user's
// hashes.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/server_process.h"
#include "support/test_client.h"
#include "support/wire_session.h"

namespace {

constexpr const char* kAdministratorPassword = kNewHomeAdministratorPassword;

struct Session : WireSession {
  using WireSession::WireSession;
  // A getter's text (nullopt unless the code is 0 and the text arrived).
  std::optional<std::string> Text(int32_t id, const TestRequest& args = TestRequest()) {
    if (Call(id, args) != 0) return std::nullopt;
    std::optional<std::string> text;
    if (!client.RecvString(&text)) return std::nullopt;
    return text;
  }
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from << " in " << text;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class DirectoryXMLWire : public ::testing::Test {
 protected:
  ServerProcess server;
  void SetUp() override {
    ASSERT_EQ(server.Initialise(), 0) << server.LastRun();
    ASSERT_TRUE(server.Start()) << server.Log();
  }
};

TEST_F(DirectoryXMLWire, GroupsTextAndALaterGroupSurviveARestart) {
  {
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    std::optional<std::string> groups = admin.Text(6681);
    ASSERT_TRUE(groups);
    const std::string uploaded = Replace(*groups, "</GROUPS>", "<GROUP>\n<NAME>Staff</NAME>\n</GROUP>\n</GROUPS>");
    EXPECT_EQ(admin.Call(6682, TestRequest().String("<GROUPS><GROUP>")), 20);
    EXPECT_EQ(admin.Call(6682, TestRequest().String(uploaded)), 0);
    EXPECT_EQ(admin.Call(6611, TestRequest().String("Sales")), 0);
  }
  ASSERT_EQ(server.Stop(), 0) << server.Log();
  ServerProcess restarted(server.Home());
  ASSERT_TRUE(restarted.Start()) << restarted.Log();
  Session admin(restarted, "administrator", kAdministratorPassword);
  ASSERT_TRUE(admin.ok);
  std::optional<std::string> groups = admin.Text(6681);
  ASSERT_TRUE(groups);
  EXPECT_NE(groups->find("<NAME>Staff</NAME>"), std::string::npos) << *groups;
  EXPECT_NE(groups->find("<NAME>Sales</NAME>"), std::string::npos) << *groups;
  EXPECT_NE(groups->find("<NAME>Administrators</NAME>"), std::string::npos) << *groups;
  EXPECT_EQ(admin.Call(6610, TestRequest().String("Staff").Int(1).Int(0)), 0);
}

TEST_F(DirectoryXMLWire, PlainUserChangesItsOwnRecordOnly) {
  {
    Session admin(server, "administrator", kAdministratorPassword);
    ASSERT_TRUE(admin.ok);
    ASSERT_EQ(admin.Call(6504, TestRequest().String("alice")), 0);
    ASSERT_EQ(admin.Call(6654, TestRequest().String("alice").String("alice-Secret1")), 0);
    // A text that names another user, or does not parse, changes nothing.
    std::optional<std::string> self = admin.Text(6649, TestRequest().String(""));
    ASSERT_TRUE(self);
    EXPECT_EQ(admin.Call(6652, TestRequest().String("alice").String(*self)), 2);
    EXPECT_EQ(admin.Call(6639, TestRequest().String("alice").String("Live").String("Torvane").String("<Torvane>")),
              20);
  }
  Session alice(server, "alice", "alice-Secret1");
  ASSERT_TRUE(alice.ok);
  std::optional<std::string> own = alice.Text(6649, TestRequest().String(nullptr));
  ASSERT_TRUE(own);
  ASSERT_NE(own->find("<PASSWORDV2>"), std::string::npos) << "the caller's own hash is shown";
  std::optional<std::string> root = alice.Text(6649, TestRequest().String("administrator"));
  ASSERT_TRUE(root);
  EXPECT_EQ(root->find("<PASSWORDV2>"), std::string::npos) << *root;
  std::optional<std::string> all = alice.Text(6648);
  ASSERT_TRUE(all);
  EXPECT_NE(all->find("<USERNAME>administrator</USERNAME>"), std::string::npos);
  size_t hashes = 0;
  for (size_t at = all->find("<PASSWORDV2>"); at != std::string::npos; at = all->find("<PASSWORDV2>", at + 1)) ++hashes;
  EXPECT_EQ(hashes, 1u) << "only alice's own hash is in the users document:\n" << *all;

  EXPECT_EQ(alice.Call(6652, TestRequest().String("administrator").String(*root)), 49);
  EXPECT_EQ(alice.Call(6650, TestRequest().String("alice").String(Replace(*own, "<LEVEL>0</LEVEL>", "<LEVEL>32768</LEVEL>"))),
            49);
  EXPECT_EQ(alice.Call(6674, TestRequest().String("Live").String("Torvane").String("").String(
                                 "<AllowConfiguration>1</AllowConfiguration>").Int(0)),
            49);
  EXPECT_EQ(alice.Call(6674, TestRequest().String("Live").String("Torvane").String("Passwords\\MustChange").String(
                                 "<MustChange>0</MustChange>").Int(1)),
            49);
  EXPECT_EQ(alice.Call(6687, TestRequest().String("alice").String("LIVE")), 49);
  EXPECT_EQ(alice.Call(6650, TestRequest().String("ALICE").String(Replace(*own, "<SURNAME>", "<SURNAME>Smith"))), 0);
  std::optional<std::string> changed = alice.Text(6649, TestRequest().String("alice"));
  ASSERT_TRUE(changed);
  EXPECT_NE(changed->find("<SURNAME>Smith"), std::string::npos) << *changed;
  EXPECT_NE(changed->find("<LEVEL>0</LEVEL>"), std::string::npos);

  // Both still log on with their passwords.
  Session again(server, "alice", "alice-Secret1");
  EXPECT_TRUE(again.ok);
  Session admin(server, "administrator", kAdministratorPassword);
  EXPECT_TRUE(admin.ok);
}

// The lookups take the first section, subsection and node of a name: a plain
// user's own text that places a new login section or subsection before the
// real one would hide its password state, and one that hides a configure
// right behind the one the lookups find would bring it out when the first
// goes. Both are refused on every path that replaces the record or its
// settings, and the password state the administrator set stays in force.
TEST_F(DirectoryXMLWire, OwnTextsCannotShadowThePasswordState) {
  Session admin(server, "administrator", kAdministratorPassword);
  ASSERT_TRUE(admin.ok);
  ASSERT_EQ(admin.Call(6504, TestRequest().String("alice")), 0);
  ASSERT_EQ(admin.Call(6654, TestRequest().String("alice").String("alice-Secret1")), 0);
  Session alice(server, "alice", "alice-Secret1");
  ASSERT_TRUE(alice.ok);
  for (const char* flag : {"Passwords\\MustChange", "Passwords\\CannotChange"}) {
    ASSERT_EQ(admin.Call(6661, TestRequest().String("alice").String("Live").String("Torvane").String(flag).String("1")),
              0);
  }
  std::optional<std::string> own = alice.Text(6649, TestRequest().String("alice"));
  ASSERT_TRUE(own);
  const size_t from = own->find("<USERDATA>");
  const size_t to = own->find("</USERDATA>");
  ASSERT_TRUE(from != std::string::npos && to != std::string::npos) << *own;
  const std::string settings = own->substr(from, to + 11 - from);
  const size_t live = settings.find("<Live>");
  ASSERT_NE(live, std::string::npos) << settings;

  struct Shadow {
    const char* id;
    std::string settings;  // the USERDATA element sent
  };
  const Shadow shadows[] = {
      {"a new login section first", Replace(settings, "<USERDATA>", "<USERDATA><Live><Torvane></Torvane></Live>")},
      {"the same in another case", Replace(settings, "<USERDATA>", "<USERDATA><lIVE><TORVANE/></lIVE>")},
      {"a new login subsection first", Replace(settings, "<Live>", "<Live><torvane/>")},
      {"an empty Passwords first", Replace(settings, "<Torvane>", "<Torvane><Passwords/>")},
      {"a right behind an empty section", Replace(settings, "</USERDATA>",
                                                  "<Extra><App/></Extra><Extra><App><AllowConfiguration>1"
                                                  "</AllowConfiguration></App></Extra></USERDATA>")},
  };
  for (const Shadow& s : shadows) {
    SCOPED_TRACE(s.id);
    EXPECT_EQ(alice.Call(6651, TestRequest().String("alice").String(s.settings)), 49);
    const std::string record = Replace(*own, settings, s.settings);
    EXPECT_EQ(alice.Call(6650, TestRequest().String("alice").String(record)), 49);
    EXPECT_EQ(alice.Call(6652, TestRequest().String("alice").String(record)), 49);
  }
  // The flags still hold: the next logon and a password change are refused.
  Session next(server, "alice", "alice-Secret1");
  EXPECT_FALSE(next.ok);
  TestClient change = TestClient::ConnectLoopback(server.Port());
  const TestClient::LogonReply changed = change.SendLogon(
      TestRequest()
          .LogonHeader(WireSession::kClientID, kTokInternalPasswordChange, CredentialToken("alice", "alice-Secret1"))
          .String("alice-Secret2"));
  EXPECT_EQ(changed.code, 51);

  // A repeated section that hides nothing of the protected state is the
  // user's own business.
  EXPECT_EQ(alice.Call(6651, TestRequest().String("alice").String(
                                 Replace(settings, "</USERDATA>", "<Extra><A/></Extra><Extra><B/></Extra></USERDATA>"))),
            0);
}

}  // namespace
