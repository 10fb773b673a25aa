// Wire-level tests of the logon defences: the real server in a new home,
// driven over loopback TCP from several local addresses. The server logon
// needs the operator's secret, the directory-user logon without a password
// needs the operator's switch, the new password of a password-changing logon
// is bounded before any logon, and an address that keeps failing is put in
// back-off without slowing the others.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "support/bound_loopback_client.h"
#include "support/log_count.h"
#include "support/server_process.h"
#include "support/stored_directory.h"
#include "support/test_client.h"

namespace {

constexpr int32_t kClientID = 0x100;         // product "Torvane"
constexpr int32_t kServerClientID = 70000;   // with the name "#": the server logon
constexpr char kPatPassword[] = "pat-pw-1";  // pat: LEVEL 0, an internal user
constexpr char kSecret[] = "peer-secret-9";
constexpr int32_t kMaxNoLogonString = 4096;  // the bound of strings before a logon

// Replaces the first `from` in the file by `to`; false when it is not there.
bool EditFile(const std::string& path, const std::string& from, const std::string& to) {
  std::string text = ReadWholeFile(path);
  const size_t at = text.find(from);
  if (at == std::string::npos) return false;
  text.replace(at, from.size(), to);
  WriteWholeFile(path, text);
  return true;
}

// Sets (or, for null, removes) an environment variable of this test program,
// which the server started next inherits.
void SetServerEnvironment(const char* name, const char* value) {
  if (value == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
}

// The session ID as the logoff by SID text takes it: 8 hex digits in wire order.
std::string SIDText(const TestSID& sid) {
  std::string text;
  for (unsigned char b : sid) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}

class LogonDefences : public ::testing::Test {
 protected:
  ServerProcess server;

  void SetUp() override {
    SetServerEnvironment("TORVANE_SERVER_LOGON_SECRET", nullptr);
    SetServerEnvironment("TORVANE_TRUSTED_AD_USER_LOGON", nullptr);
    ASSERT_EQ(0, server.Initialise()) << server.LastRun();
    // The first start makes the version-2 files, to which pat (internal) and
    // dirk (an Active Directory user) are added.
    ASSERT_TRUE(server.Start()) << server.Log();
    ASSERT_EQ(0, server.Stop()) << server.Log();
    const std::string hash = CheapHash(kPatPassword);
    ASSERT_TRUE(server.AddStoredUser("00002001", "pat", StoredUserFile("00002001", "pat", 0, hash, "")));
    std::string dirk = StoredUserFile("00002002", "dirk", 0, "", "");
    const std::string internal = "<ADUSER>0</ADUSER>";
    dirk.replace(dirk.find(internal), internal.size(), "<ADUSER>1</ADUSER>");
    ASSERT_TRUE(server.AddStoredUser("00002002", "dirk", dirk));
  }

  void TearDown() override {
    SetServerEnvironment("TORVANE_SERVER_LOGON_SECRET", nullptr);
    SetServerEnvironment("TORVANE_TRUSTED_AD_USER_LOGON", nullptr);
  }

  bool Restart() {
    const bool started = server.Restart();
    EXPECT_TRUE(started) << server.Log();
    return started;
  }

  TestClient From(const char* address) {
    TestClient c = ConnectLoopbackFrom(address, server.Port());
    EXPECT_TRUE(c.Connected()) << address;
    return c;
  }

  // The number of times `line` stands in the server's log.
  int LogCount(const std::string& line) const { return CountInLog(server.Log(), line); }
};

// ---- The server logon --------------------------------------------------------------------

TEST_F(LogonDefences, TheServerLogonNeedsTheOperatorsSecret) {
  struct Case {
    const char* id;
    const char* secret;    // the server's environment (null: unset)
    const char* password;  // of the "#" logon
    int32_t code;
  };
  const Case cases[] = {
      {"no secret, empty password", nullptr, "", 32},
      {"no secret, any password", nullptr, "anything", 32},
      {"an empty secret is none", "", "", 32},
      {"the secret, empty password", kSecret, "", 32},
      {"the secret, a prefix of it", kSecret, "peer-secret-", 32},
      {"the secret, one byte more", kSecret, "peer-secret-99", 32},
      {"the secret, another last byte", kSecret, "peer-secret-8", 32},
      {"the secret", kSecret, kSecret, 0},
  };
  const char* running = "<none yet>";
  bool started = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const std::string wanted = c.secret ? c.secret : "<unset>";
    if (!started || wanted != running) {
      if (started) {
        ASSERT_EQ(0, server.Stop()) << server.Log();
      }
      SetServerEnvironment("TORVANE_SERVER_LOGON_SECRET", c.secret);
      ASSERT_TRUE(Restart());
      started = true;
      running = c.secret ? c.secret : "<unset>";
    }
    TestClient client = From("127.0.0.1");
    const TestClient::LogonReply reply = client.Logon("#", c.password, kServerClientID);
    ASSERT_TRUE(reply.received);
    EXPECT_EQ(c.code, reply.code);
    // What the logon may do: the sanity check is an administrator's.
    if (reply.code == 0) {
      ASSERT_EQ(std::optional<int32_t>(0), client.Request(6678));
      EXPECT_EQ(std::optional<int32_t>(0), client.RecvInt());
    } else {
      EXPECT_EQ(std::optional<int32_t>(27), client.Request(6678));
    }
  }
}

// ---- The directory-user logon without a password ------------------------------------------

TEST_F(LogonDefences, TheTrustedDirectoryUserLogonNeedsTheOperatorsSwitch) {
  struct Case {
    const char* id;
    const char* trusted;  // TORVANE_TRUSTED_AD_USER_LOGON (null: unset)
    bool settingOn;       // AllowADUserLogin, "1" in a new home
    int32_t code;
  };
  const Case cases[] = {
      {"a new home without the switch", nullptr, true, 28},
      {"the switch some other way", "yes", true, 28},
      {"the switch", "1", true, 0},
      {"the switch, the setting off", "1", false, 28},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    if (!c.settingOn) {
      ASSERT_TRUE(EditFile(server.Home() + "envs/live_torvane.xml", "1\n</AllowADUserLogin>",
                           "0\n</AllowADUserLogin>"));
    }
    SetServerEnvironment("TORVANE_TRUSTED_AD_USER_LOGON", c.trusted);
    ASSERT_TRUE(Restart());
    TestClient client = From("127.0.0.1");
    const TestClient::LogonReply reply = client.Logon("dirk", "", kClientID, kTokADUser);
    ASSERT_TRUE(reply.received);
    EXPECT_EQ(c.code, reply.code);
    ASSERT_EQ(0, server.Stop()) << server.Log();
  }
}

// ---- The new password of a password-changing logon ----------------------------------------

TEST_F(LogonDefences, TheNewPasswordIsBoundedBeforeAnyLogon) {
  ASSERT_TRUE(Restart());
  struct Case {
    int32_t lengthWord;  // the text and its NUL
    int32_t code;        // the logon's answer
    bool closed;         // the connection closed after it
  };
  // At the bound the text is read whole and the logon runs on (the hasher
  // takes no password that long: 56), the stream in step for the next
  // request; one byte more is not received: 4 alone, and the connection is
  // closed. pat's password stays as it was either way.
  for (const Case& c : {Case{kMaxNoLogonString, 56, false}, Case{kMaxNoLogonString + 1, 4, true}}) {
    SCOPED_TRACE(c.lengthWord);
    TestBytes text(static_cast<size_t>(c.lengthWord) - 1, 'n');
    text.push_back(0);
    TestClient client = From("127.0.0.1");
    const TestClient::LogonReply reply = client.SendLogon(
        TestRequest()
            .LogonHeader(kClientID, kTokInternalPasswordChange, CredentialToken("pat", kPatPassword))
            .StringWithLength(c.lengthWord, text));
    ASSERT_TRUE(reply.received);
    EXPECT_EQ(c.code, reply.code);
    if (c.closed) {
      EXPECT_TRUE(client.PeerClosed());
    } else {
      EXPECT_EQ(std::optional<int32_t>(0), client.Request(6628));
      EXPECT_EQ(std::optional<int32_t>(10), client.RecvInt());
    }
    TestClient check = From("127.0.0.1");
    EXPECT_EQ(0, check.Logon("pat", kPatPassword, kClientID).code);
  }
}

// ---- Back-off of an address that keeps failing ----------------------------------------------

TEST_F(LogonDefences, AnAddressThatKeepsFailingIsRefusedAloneForAWhile) {
  ASSERT_TRUE(Restart());
  // pat's own logon from another address, whose SID the attacker cannot guess.
  TestClient pat = From("127.0.0.3");
  const TestClient::LogonReply patLogon = pat.Logon("pat", kPatPassword, kClientID);
  ASSERT_EQ(0, patLogon.code);
  const TestSID wrongSID = {patLogon.sid[0], patLogon.sid[1], patLogon.sid[2],
                            static_cast<unsigned char>(patLogon.sid[3] ^ 0x5A)};

  // Five failures of three kinds from 127.0.0.2, each on its own connection:
  // a logon answered 32, a re-attach answered 29, a logoff by a SID text that
  // no slot holds.
  TestClient attacker = From("127.0.0.2");
  int32_t failedFlags = 0;
  for (int i = 0; i < 2; ++i) {
    const TestClient::LogonReply r = attacker.Logon("nobody", "guess", kClientID);
    ASSERT_EQ(32, r.code);
    failedFlags = r.second;
  }
  EXPECT_EQ(std::optional<int32_t>(29), attacker.AttachBySID(wrongSID, kClientID));
  EXPECT_EQ(std::optional<int32_t>(29), attacker.AttachBySID(wrongSID, kClientID));
  ASSERT_EQ(std::optional<int32_t>(0), attacker.Request(6662, TestRequest().String(SIDText(wrongSID))));
  EXPECT_TRUE(attacker.NothingPending(50));

  // In back-off: the right password and the right SID are refused as
  // failures are, with the same flags, without being checked; a logoff by
  // the right SID text ends nothing.
  const TestClient::LogonReply refused = attacker.Logon("pat", kPatPassword, kClientID);
  EXPECT_EQ(32, refused.code);
  EXPECT_EQ(failedFlags, refused.second);
  EXPECT_EQ(std::optional<int32_t>(29), attacker.AttachBySID(patLogon.sid, kClientID));
  ASSERT_EQ(std::optional<int32_t>(0), attacker.Request(6662, TestRequest().String(SIDText(patLogon.sid))));
  // pat's logon is still there: its own requests are served.
  EXPECT_EQ(std::optional<int32_t>(0), pat.Request(6666));
  EXPECT_EQ(std::optional<int32_t>(0), pat.RecvInt());
  std::optional<std::string> environment;
  EXPECT_TRUE(pat.RecvString(&environment));
  EXPECT_EQ(1, LogCount("Logon back-off: refusing logons from ::ffff:127.0.0.2 for "));

  // Every other address is served at once: a logon and a re-attach.
  TestClient neighbour = From("127.0.0.4");
  EXPECT_EQ(0, neighbour.Logon("pat", kPatPassword, kClientID).code);
  TestClient reattach = From("127.0.0.5");
  EXPECT_EQ(std::optional<int32_t>(0), reattach.AttachBySID(patLogon.sid, kClientID + 1));

  // A second later the address is checked again, one attempt at a time. Its
  // success ends nothing: one more failure doubles the back-off.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(0, attacker.Logon("pat", kPatPassword, kClientID).code);
  TestClient again = From("127.0.0.2");
  EXPECT_EQ(32, again.Logon("pat", "wrong", kClientID).code);
  EXPECT_EQ(32, again.Logon("pat", kPatPassword, kClientID).code);
  EXPECT_EQ(2, LogCount("Logon back-off: refusing logons from ::ffff:127.0.0.2 for "));
}

// A logged-on caller may ask who holds a SID text (6636) or its environment
// (6671): each answer tells a live SID from a dead one, so a SID that no slot
// holds counts as a failure of the caller's address, and an address in
// back-off is told no slot holds any, the live one included.
TEST_F(LogonDefences, AskingAboutSIDsIsGuessingThemToo) {
  ASSERT_TRUE(Restart());
  TestClient pat = From("127.0.0.3");
  const TestClient::LogonReply patLogon = pat.Logon("pat", kPatPassword, kClientID);
  ASSERT_EQ(0, patLogon.code);
  TestClient prober = From("127.0.0.6");
  ASSERT_EQ(0, prober.Logon("pat", kPatPassword, kClientID + 1).code);
  TestSID wrong = patLogon.sid;
  for (int i = 0; i < 5; ++i) {
    wrong[3] = static_cast<unsigned char>(patLogon.sid[3] ^ (0x11 * (i + 1)));
    const int32_t message = i % 2 == 0 ? 6636 : 6671;
    ASSERT_EQ(std::optional<int32_t>(0), prober.Request(message, TestRequest().String(SIDText(wrong)))) << i;
    EXPECT_EQ(std::optional<int32_t>(6), prober.RecvInt()) << i;
  }
  // In back-off: the live SID is not found either, and a re-attach with it
  // from the same address is refused.
  ASSERT_EQ(std::optional<int32_t>(0), prober.Request(6636, TestRequest().String(SIDText(patLogon.sid))));
  EXPECT_EQ(std::optional<int32_t>(6), prober.RecvInt());
  TestClient reattach = From("127.0.0.6");
  EXPECT_EQ(std::optional<int32_t>(29), reattach.AttachBySID(patLogon.sid, kClientID + 2));
  // Another address is told who holds it.
  ASSERT_EQ(std::optional<int32_t>(0), pat.Request(6636, TestRequest().String(SIDText(patLogon.sid))));
  EXPECT_EQ(std::optional<int32_t>(0), pat.RecvInt());
  std::optional<std::string> name;
  ASSERT_TRUE(pat.RecvString(&name));
  EXPECT_EQ(std::optional<std::string>("pat"), name);
}

}  // namespace
