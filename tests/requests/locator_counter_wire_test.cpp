// Wire-level tests of the server locator (6683, 6684) and the VozozUdade
// counters (6631-6635) against the real server on a loopback port in a
// temporary home: a server list set by 6676, a user's ServerTagList seeded in
// its per-user file before the start, clients with and without a logon, and
// an over-long string sent before any logon.
#include <gtest/gtest.h>

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

constexpr int32_t kClientID = 0x100;
constexpr char kAdminPassword[] = "quernstoneway";
constexpr char kUserPassword[] = "pa55-word";

class LocatorCounterWireTest : public ::testing::Test {
 protected:
  ServerProcess server;

  void SetUp() override {
    ASSERT_EQ(0, server.Initialise()) << server.LastRun();
    ASSERT_TRUE(server.Start()) << server.Log();
    ASSERT_EQ(0, server.Stop()) << server.Log();
    // bob's own ServerTagList for Live\Torvane adds the tag EXTRA.
    const std::string hash = CheapHash(kUserPassword);
    ASSERT_FALSE(hash.empty());
    ASSERT_TRUE(server.AddStoredUser(
        "00002001", "bob",
        StoredUserFile("00002001", "bob", 0, hash,
                       "<Live>\n<Torvane>\n<ServerTagList>EXTRA</ServerTagList>\n</Torvane>\n</Live>\n")));
    ASSERT_TRUE(Restart());
  }

  // Starts the stopped server again, with a fresh log.
  bool Restart() {
    bool started = server.Restart();
    EXPECT_TRUE(started) << server.Log();
    return started;
  }

  TestClient Connect() {
    TestClient c = TestClient::ConnectLoopback(server.Port());
    EXPECT_TRUE(c.Connected());
    return c;
  }
  TestClient LogOn(const char* user, const char* password) {
    TestClient c = Connect();
    TestClient::LogonReply r = c.Logon(user, password, kClientID);
    EXPECT_TRUE(r.received && r.code == 0) << user << "\n" << server.Log();
    return c;
  }

  // A 6683 answer: "host:port", "19" for the code alone, "" when it failed.
  static std::string FindServer(TestClient& c, const char* tags, const char* env = "Live") {
    if (c.Request(6683, TestRequest().String(env).String("Torvane").String(tags)) != std::optional<int32_t>(0)) return "";
    std::optional<int32_t> code = c.RecvInt();
    if (!code) return "";
    if (*code != 0) return std::to_string(*code);
    std::optional<int32_t> port = c.RecvInt();
    std::optional<std::string> host;
    if (!port || !c.RecvString(&host) || !host) return "";
    return *host + ":" + std::to_string(*port);
  }
  // A 6684 answer: the text, "<absent>" for a null string, "" when it failed.
  static std::string FindServers(TestClient& c, const char* tags, int32_t all) {
    if (c.Request(6684, TestRequest().String("Live").String("Torvane").String(tags).Int(all)) != std::optional<int32_t>(0)) return "";
    std::optional<std::string> text;
    if (!c.RecvString(&text)) return "";
    return text ? *text : "<absent>";
  }
  static std::optional<int32_t> CodeOf(TestClient& c, int32_t id, const TestRequest& args = TestRequest()) {
    if (c.Request(id, args) != std::optional<int32_t>(0)) return std::nullopt;
    return c.RecvInt();
  }
  static std::string Server(const char* host, const char* port, int active, const char* tags) {
    return std::string("<SERVER><DESCRIPTION></DESCRIPTION><HOST>") + host + "</HOST><PORT>" + port +
           "</PORT><ACTIVE>" + std::to_string(active) + "</ACTIVE><TAGS>" + tags + "</TAGS></SERVER>";
  }
};

TEST_F(LocatorCounterWireTest, RoundRobinActiveServersAndAUsersOwnTags) {
  TestClient admin = LogOn("administrator", kAdminPassword);
  TestClient anonymous = Connect();
  // Three servers on the list made at start-up: 2nd, 3rd, 1st, 2nd across
  // both messages; a PORT of "80abc" answers 80.
  ASSERT_EQ(std::optional<int32_t>(0),
            CodeOf(admin, 6676, TestRequest().String("Live").String("Torvane").String(
                                    "<SERVERLIST><MODE>1</MODE>"
                                    "<SERVER><HOST>r1</HOST><PORT>80abc</PORT><ACTIVE>1</ACTIVE><TAGS>DEFAULT</TAGS></SERVER>"
                                    "<SERVER><HOST>r2</HOST><PORT>81</PORT><ACTIVE>1</ACTIVE><TAGS>DEFAULT</TAGS></SERVER>"
                                    "<SERVER><HOST>r3</HOST><PORT>82</PORT><ACTIVE>1</ACTIVE><TAGS>DEFAULT</TAGS></SERVER>"
                                    "</SERVERLIST>")));
  EXPECT_EQ("r2:81", FindServer(anonymous, nullptr));
  EXPECT_EQ(Server("r3", "82", 1, "DEFAULT"), FindServers(admin, nullptr, 0));
  EXPECT_EQ("r1:80", FindServer(anonymous, nullptr));
  EXPECT_EQ(Server("r2", "81", 1, "DEFAULT"), FindServers(admin, nullptr, 0));

  // First-match list: 6683 skips the inactive s2, 6684 does not.
  ASSERT_EQ(std::optional<int32_t>(0),
            CodeOf(admin, 6676, TestRequest().String("Live").String("Torvane").String(
                                    "<SERVERLIST><MODE>0</MODE>"
                                    "<SERVER><HOST>s1</HOST><PORT>1</PORT><ACTIVE>1</ACTIVE><TAGS>A,EXTRA</TAGS></SERVER>"
                                    "<SERVER><HOST>s2</HOST><PORT>2</PORT><ACTIVE>0</ACTIVE><TAGS>A,B</TAGS></SERVER>"
                                    "<SERVER><HOST>s3</HOST><PORT>3</PORT><ACTIVE>1</ACTIVE><TAGS>A,B,DEFAULT</TAGS></SERVER>"
                                    "</SERVERLIST>")));
  EXPECT_EQ("s3:3", FindServer(anonymous, "b"));
  EXPECT_EQ(Server("s2", "2", 0, "A,B"), FindServers(admin, "b", 0));
  EXPECT_EQ("<SERVERLIST>" + Server("s2", "2", 0, "A,B") + Server("s3", "3", 1, "A,B,DEFAULT") + "</SERVERLIST>",
            FindServers(admin, "B", 1));
  EXPECT_EQ("19", FindServer(anonymous, "NOPE"));
  EXPECT_EQ("<absent>", FindServers(admin, "NOPE", 1));

  // bob's ServerTagList adds EXTRA to his 6683 only: B,EXTRA fits nothing.
  TestClient bob = LogOn("bob", kUserPassword);
  EXPECT_EQ("19", FindServer(bob, "B"));
  EXPECT_EQ("s3:3", FindServer(admin, "B"));
  EXPECT_EQ("s3:3", FindServer(anonymous, "B"));
  EXPECT_EQ("s3:3", FindServer(bob, nullptr));  // an empty request stays DEFAULT
  EXPECT_EQ("s3:3", FindServer(bob, "B", nullptr));  // no environment: no list
  EXPECT_EQ(Server("s2", "2", 0, "A,B"), FindServers(bob, "B", 0));
}

TEST_F(LocatorCounterWireTest, OverlongStringBeforeALogonIsClosedAndTheNextClientServed) {
  TestClient bad = Connect();
  ASSERT_EQ(std::optional<int32_t>(0),
            bad.Request(6683, TestRequest().String(std::string(5000, 'E')).String("Torvane").String("A")));
  EXPECT_TRUE(bad.PeerClosed());
  TestClient next = Connect();
  EXPECT_EQ("19", FindServer(next, "NOPE"));
  // The same on a connection that stays: a string of 4096 bytes is served.
  EXPECT_EQ("19", FindServer(next, std::string(4095, 'T').c_str()));
}

// The bound of strings before a logon, at its edge: a length word of 4096
// (the text and its NUL) is read and served, 4097 is not read and closes the
// connection, for each request that needs no logon and takes a string.
TEST_F(LocatorCounterWireTest, StringsBeforeALogonAreBoundedAtExactly4096Bytes) {
  struct Case {
    int32_t message;
    int32_t lengthWord;
    bool closed;
  };
  for (const Case& c : {Case{6683, 4096, false}, Case{6683, 4097, true}, Case{6662, 4096, false},
                        Case{6662, 4097, true}}) {
    SCOPED_TRACE(std::to_string(c.message) + " " + std::to_string(c.lengthWord));
    TestBytes text(static_cast<size_t>(c.lengthWord) - 1, 'T');
    text.push_back(0);
    TestRequest args = TestRequest().StringWithLength(c.lengthWord, text);
    if (c.message == 6683) args.String("Torvane").String("A");
    TestClient client = Connect();
    ASSERT_EQ(std::optional<int32_t>(0), client.Request(c.message, args));
    if (c.closed) {
      EXPECT_TRUE(client.PeerClosed());
      continue;
    }
    // 6683 answers 19 (no such environment); 6662 answers nothing. Either
    // way the connection stays in step for the next request.
    if (c.message == 6683) {
      EXPECT_EQ(std::optional<int32_t>(19), client.RecvInt());
    }
    EXPECT_EQ("19", FindServer(client, "NOPE"));
  }
}

TEST_F(LocatorCounterWireTest, CountersOfAnyLoggedOnUserAcrossARestart) {
  TestClient bob = LogOn("bob", kUserPassword);
  EXPECT_EQ(std::optional<int32_t>(18), CodeOf(bob, 6633, TestRequest().String("Live").Int(1)));
  EXPECT_EQ(std::optional<int32_t>(0), CodeOf(bob, 6634));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(std::optional<int32_t>(0), CodeOf(bob, 6631, TestRequest().Int(0).Int(2).Int(1).String("")));
  }
  // Version 2: 3 alone, and the stream stays in step for the next request.
  EXPECT_EQ(std::optional<int32_t>(3), CodeOf(bob, 6633, TestRequest().String("Live").Int(2)));
  bob.Close();
  ASSERT_EQ(0, server.Stop()) << server.Log();
  ASSERT_TRUE(Restart());

  TestClient again = LogOn("bob", kUserPassword);
  ASSERT_EQ(std::optional<int32_t>(0), CodeOf(again, 6633, TestRequest().String(nullptr).Int(1)));
  TestBytes block;
  ASSERT_TRUE(again.RecvBytes(140, &block));
  for (size_t word : {1u, 9u, 18u, 27u}) EXPECT_EQ(4u, GetLE32(block.data() + 4 * word)) << word;
  for (size_t word : {0u, 8u, 17u, 26u}) EXPECT_EQ(2u, GetLE32(block.data() + 4 * word)) << word;
  for (size_t word : {16u, 25u, 34u}) EXPECT_EQ(0u, GetLE32(block.data() + 4 * word)) << word;
  EXPECT_TRUE(again.NothingPending(100));
  // Counters need a logon.
  TestClient anonymous = Connect();
  EXPECT_EQ(std::optional<int32_t>(27), anonymous.Request(6634));
}

}  // namespace
