// Wire-level tests of the configuration requests: the real server on a
// loopback port in a temporary home, clients that log on and send the
// numbered requests with their arguments, and the replies read as the
// protocol frames them. What the socket-pair tests cannot show: the message
// table's rows, the rights of real logons, a restart between a change and
// its reading, and a logon refused by settings just replaced.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "foundation/crypto/password_hash.h"
#include "foundation/util/byte_order.h"
#include "support/server_process.h"
#include "support/stored_directory.h"
#include "support/temp_dir.h"
#include "support/test_client.h"

namespace {

constexpr int32_t kClientID = 0x100;  // product "Torvane"
constexpr char kAdminPassword[] = "quernstoneway";
constexpr char kUserPassword[] = "pa55-word";

// <section>\<app> holding AllowConfiguration `value`, as USERDATA keeps it.
std::string Allow(const char* section, const char* app, const char* value) {
  return std::string("<") + section + ">\n<" + app + ">\n<AllowConfiguration>" + value +
         "</AllowConfiguration>\n</" + app + ">\n</" + section + ">\n";
}

class ConfigRequestsWireTest : public ::testing::Test {
 protected:
  ServerProcess server;

  void SetUp() override {
    ASSERT_EQ(0, server.Initialise()) << server.LastRun();
    // The first start turns the new users.xml into the version-2 files, to
    // which two users of our own are added before the real start.
    ASSERT_TRUE(server.Start()) << server.Log();
    ASSERT_EQ(0, server.Stop()) << server.Log();
    const std::string hash = CheapHash(kUserPassword);
    ASSERT_FALSE(hash.empty());
    // bob: LEVEL 0 with AllowConfiguration 1 for Live\Torvane and Test\Plus,
    // 0 for Test\Zero. carol: LEVEL 0x200, 1 for Live\Plus and 0 for Test\Plus.
    ASSERT_TRUE(server.AddStoredUser(
        "00002001", "bob",
        StoredUserFile("00002001", "bob", 0, hash,
                       "<Live>\n<Torvane>\n<AllowConfiguration>1</AllowConfiguration>\n</Torvane>\n</Live>\n"
                       "<Test>\n<Plus>\n<AllowConfiguration>1</AllowConfiguration>\n</Plus>\n"
                       "<Zero>\n<AllowConfiguration>0</AllowConfiguration>\n</Zero>\n</Test>\n")));
    ASSERT_TRUE(server.AddStoredUser(
        "00002002", "carol",
        StoredUserFile("00002002", "carol", 0x200, hash,
                       "<Live>\n<Torvane>\n</Torvane>\n<Plus>\n<AllowConfiguration>1</AllowConfiguration>\n"
                       "</Plus>\n</Live>\n" + Allow("Test", "Zero", "1"))));
    ASSERT_TRUE(Restart());
  }

  // Starts the stopped server again, with a fresh log.
  bool Restart() {
    bool started = server.Restart();
    EXPECT_TRUE(started) << server.Log();
    return started;
  }

  TestClient LogOn(const char* user, const char* password) {
    TestClient c = TestClient::ConnectLoopback(server.Port());
    EXPECT_TRUE(c.Connected());
    TestClient::LogonReply r = c.Logon(user, password, kClientID);
    EXPECT_TRUE(r.received) << user;
    EXPECT_EQ(0, r.code) << user << "\n" << server.Log();
    return c;
  }

  // Sends one request and expects the request reader's 0.
  static void Send(TestClient& c, int32_t id, const TestRequest& args = TestRequest()) {
    ASSERT_EQ(std::optional<int32_t>(0), c.Request(id, args)) << id;
  }
  // The reply of a request answered with a code alone.
  static std::optional<int32_t> CodeOf(TestClient& c, int32_t id, const TestRequest& args) {
    Send(c, id, args);
    return c.RecvInt();
  }
  // The text of a request answered 0 and a string (nullopt for a null string
  // or any other reply).
  static std::optional<std::string> TextOf(TestClient& c, int32_t id, const TestRequest& args = TestRequest()) {
    Send(c, id, args);
    if (c.RecvInt() != std::optional<int32_t>(0)) return std::nullopt;
    std::optional<std::string> text;
    if (!c.RecvString(&text)) return std::nullopt;
    return text;
  }
  // The block of a reply of the shape 0, 1, size, block (empty otherwise).
  static TestBytes VersionedBlockOf(TestClient& c) {
    std::vector<int32_t> head = c.RecvInts(3);
    if (head.size() != 3 || head[0] != 0 || head[1] != 1 || head[2] < 0) return {};
    TestBytes block;
    c.RecvBytes(static_cast<size_t>(head[2]), &block);
    return block;
  }
};

TEST_F(ConfigRequestsWireTest, NameListsBlocksAndRefusalsOfAnAdministrator) {
  TestClient c = LogOn("administrator", kAdminPassword);
  EXPECT_EQ(std::optional<std::string>("Live"), TextOf(c, 6614));
  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(c, 6615, TestRequest().String("Test")));
  EXPECT_EQ(std::optional<std::string>("Live\nTest"), TextOf(c, 6614));
  EXPECT_EQ(std::optional<std::string>(""), TextOf(c, 6618, TestRequest().String("Test")));

  // 6617: the version before the lookups; stamp 0 gets the block, the
  // application's own time gets 5.
  EXPECT_EQ(std::optional<int32_t>(3), CodeOf(c, 6617, TestRequest().Int(2).Int(0).String("No").String("No")));
  Send(c, 6617, TestRequest().Int(1).Int(0).String("Live").String("Torvane"));
  TestBytes app = VersionedBlockOf(c);
  ASSERT_GE(app.size(), 12u);
  const int32_t appTime = static_cast<int32_t>(GetLE32(app.data() + 8));
  EXPECT_EQ(std::optional<int32_t>(5), CodeOf(c, 6617, TestRequest().Int(1).Int(appTime).String("Live").String("Torvane")));

  // 6620: a user's UID (administrator) 23, UID 0 and version 2 both 2, unknown 19.
  struct {
    uint32_t uid;
    int32_t version;
    int32_t code;
  } nodes[] = {{0xEE6B2802u, 1, 23}, {0, 1, 2}, {1, 2, 2}, {0x7FFF0000u, 1, 19}};
  for (const auto& n : nodes) {
    EXPECT_EQ(std::optional<int32_t>(n.code), CodeOf(c, 6620, TestRequest().UInt(n.uid).Int(n.version).Int(0)))
        << std::hex << n.uid;
  }
  EXPECT_EQ(std::optional<int32_t>(2), CodeOf(c, 6623, TestRequest().String("Live").String("tORVANE")));
  EXPECT_EQ(std::optional<int32_t>(2), CodeOf(c, 6624, TestRequest().String("LIVE")));
  EXPECT_TRUE(c.NothingPending(50));
}

TEST_F(ConfigRequestsWireTest, DeletesAndDescriptionAcrossARestart) {
  TestClient c = LogOn("administrator", kAdminPassword);
  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(c, 6615, TestRequest().String("Test")));
  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(c, 6616, TestRequest().String("Test").String("App")));
  const std::string list = "<SERVERLIST><SERVER><HOST>h1</HOST><ACTIVE>1</ACTIVE><TAGS>DEFAULT</TAGS></SERVER></SERVERLIST>";
  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(c, 6676, TestRequest().String("Test").String("App").String(list)));
  const std::optional<std::string> file = TextOf(c, 6646, TestRequest().String("Test").String("App"));
  ASSERT_TRUE(file.has_value());
  EXPECT_NE(std::string::npos, file->find("h1"));

  // The deleted application's settings file stays and is still served.
  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(c, 6623, TestRequest().String("Test").String("App")));
  EXPECT_EQ(std::optional<std::string>(""), TextOf(c, 6618, TestRequest().String("Test")));
  EXPECT_EQ(file, TextOf(c, 6646, TestRequest().String("Test").String("App")));
  EXPECT_EQ(std::optional<int32_t>(18), CodeOf(c, 6675, TestRequest().String("Test").String("App")));
  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(c, 6624, TestRequest().String("test")));
  EXPECT_EQ(std::optional<std::string>("Live"), TextOf(c, 6614));

  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(c, 6657, TestRequest().String("Live").String("Main <&> site")));
  EXPECT_EQ(std::optional<int32_t>(2), CodeOf(c, 6657, TestRequest().String("Live").String("\xFF")));
  c.Close();
  ASSERT_EQ(0, server.Stop()) << server.Log();
  ASSERT_TRUE(Restart());
  TestClient d = LogOn("bob", kUserPassword);
  EXPECT_EQ(std::optional<std::string>("Main <&> site"), TextOf(d, 6656, TestRequest().String("Live")));
  EXPECT_EQ(std::optional<std::string>("Live"), TextOf(d, 6614));
}

TEST_F(ConfigRequestsWireTest, SchemaListOfTheSchemasDirectory) {
  const std::string dir = server.Home() + "schemas/";
  for (const char* f : {"a.1.xsd", "b.2.xsd", "C.3.XSD"}) WriteWholeFile(dir + f, "<s/>");
  ASSERT_EQ(0, ::mkdir((dir + "x.xsd").c_str(), 0755));
  TestClient c = LogOn("bob", kUserPassword);
  std::optional<std::string> text = TextOf(c, 6644);
  ASSERT_TRUE(text.has_value());
  std::vector<std::string> lines;
  for (size_t at = 0; at < text->size();) {
    size_t lf = text->find('\n', at);
    ASSERT_NE(std::string::npos, lf) << *text;
    lines.push_back(text->substr(at, lf - at));
    at = lf + 1;
  }
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ((std::vector<std::string>{"a.1", "b.2"}), lines);
}

TEST_F(ConfigRequestsWireTest, SetEnvAppXmlRightsAndTheLogonMethodsItChanges) {
  TestClient admin = LogOn("administrator", kAdminPassword);
  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(admin, 6615, TestRequest().String("Test")));
  const std::string text = "<?xml version=\"1.0\"?>\n<App>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n"
                           "<Colour type=\"STRING\">blue\n</Colour>\n</CONFIGURATION>\n</App>";
  TestClient bob = LogOn("bob", kUserPassword);
  TestClient carol = LogOn("carol", kUserPassword);
  struct {
    TestClient* who;
    const char* app;
    int32_t code;
  } cases[] = {
      {&bob, "Plus", 0}, {&bob, "Zero", 49}, {&bob, "Bare", 49},
      {&bob, "Torvane", 49},  // bob's right on Live\Torvane does not reach Test's Torvane either
      {&carol, "Plus", 0},  // level 0x200: Live's setting grants
      {&carol, "Zero", 49},  // and Test's is not consulted
  };
  for (const auto& k : cases) {
    EXPECT_EQ(std::optional<int32_t>(k.code),
              CodeOf(*k.who, 6647, TestRequest().String("Test").String(k.app).String(text)))
        << k.app;
  }
  // Ill-formed settings: 20, and the application keeps what it had.
  Send(admin, 6617, TestRequest().Int(1).Int(0).String("Test").String("Plus"));
  const TestBytes before = VersionedBlockOf(admin);
  EXPECT_EQ(std::optional<int32_t>(20), CodeOf(bob, 6647, TestRequest().String("Test").String("Plus").String("<Plus>")));
  Send(admin, 6617, TestRequest().Int(1).Int(0).String("Test").String("Plus"));
  EXPECT_EQ(before, VersionedBlockOf(admin));

  // Switching internal logons off refuses the next internal logon at once
  // (28), without a restart.
  std::optional<std::string> settings = TextOf(admin, 6646, TestRequest().String("Live").String("Torvane"));
  ASSERT_TRUE(settings.has_value());
  const std::string on = "AllowInternalLogin uid=\"00000006\" type=\"STRING\">1\n";
  const size_t at = settings->find(on);
  ASSERT_NE(std::string::npos, at) << *settings;
  settings->replace(at + on.size() - 2, 1, "0");
  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(admin, 6647, TestRequest().String("LIVE").String("torvane").String(*settings)));
  TestClient late = TestClient::ConnectLoopback(server.Port());
  TestClient::LogonReply r = late.Logon("administrator", kAdminPassword, kClientID);
  EXPECT_TRUE(r.received);
  EXPECT_EQ(28, r.code);
}

// The server's own settings (Live/Torvane: the logon methods, the password
// rules, the time-out) are an administrator's on every path that writes,
// deletes, adds or replaces them or their file, whatever configure right the
// caller holds there; the file is left as it was.
TEST_F(ConfigRequestsWireTest, OnlyAnAdministratorWritesTheServersOwnSettings) {
  TestClient admin = LogOn("administrator", kAdminPassword);
  std::optional<std::string> file = TextOf(admin, 6646, TestRequest().String("Live").String("Torvane"));
  ASSERT_TRUE(file.has_value());
  const std::string wideOpen = [&] {
    std::string text = *file;
    const std::string off = "AllowGuestLogin uid=\"00000002\" type=\"STRING\">0\n";
    const size_t at = text.find(off);
    if (at != std::string::npos) text.replace(at + off.size() - 2, 1, "1");
    return text;
  }();
  ASSERT_NE(wideOpen, *file);
  struct Path {
    const char* id;
    int32_t message;
    TestRequest args;
    int32_t code = 49;
  };
  const Path paths[] = {
      {"replace the file", 6647, TestRequest().String("Live").String("Torvane").String(wideOpen)},
      {"replace the file, names in another case", 6647,
       TestRequest().String("lIvE").String("TORVANE").String(wideOpen)},
      {"set a setting", 6619,
       TestRequest().String("Live").String("Torvane").String("Comms\\TimeOut").String("0")},
      {"set a setting, absent environment", 6619,
       TestRequest().String(nullptr).String("Torvane").String("Comms\\TimeOut").String("0")},
      {"delete a setting", 6621, TestRequest().UInt(6).String("Live").String("Torvane")},
      // Nobody deletes these: 2 before any rights test.
      {"delete the application", 6623, TestRequest().String("Live").String("Torvane"), 2},
      {"delete the environment", 6624, TestRequest().String("Live"), 2},
      {"record a schema version", 6642, TestRequest().String("Live").String("Torvane").String("9")},
      {"store a schema", 6653, TestRequest().String("Torvane").String("9").String("<s/>")},
      {"replace the server list", 6676,
       TestRequest().String("Live").String("Torvane").String("<SERVERLIST></SERVERLIST>")},
      {"replace the password rules", 6665, TestRequest().String("a1")},
  };
  for (const char* user : {"bob", "carol"}) {
    TestClient c = LogOn(user, kUserPassword);
    for (const Path& p : paths) {
      EXPECT_EQ(std::optional<int32_t>(p.code), CodeOf(c, p.message, p.args)) << user << ": " << p.id;
    }
    EXPECT_TRUE(c.NothingPending(20)) << user;
  }
  EXPECT_EQ(file, TextOf(admin, 6646, TestRequest().String("Live").String("Torvane")));
  // Another application of the same environment keeps the configure right.
  TestClient carol = LogOn("carol", kUserPassword);
  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(admin, 6616, TestRequest().String("Live").String("Plus")));
  const std::string plus = "<?xml version=\"1.0\"?>\n<Plus>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n"
                           "</CONFIGURATION>\n</Plus>";
  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(carol, 6647, TestRequest().String("Live").String("Plus").String(plus)));
  // The administrator's own write goes through.
  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(admin, 6647, TestRequest().String("Live").String("Torvane").String(wideOpen)));
}

}  // namespace
