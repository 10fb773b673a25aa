// Wire-level tests of the logon defences against a client that guesses as an
// attacker would, the real server in a new home driven over loopback TCP
// from many local addresses: its own successes do not reset the count of its
// guesses (logons and re-attaches), a burst is counted as it arrives, one
// address's flood does not starve another (timed), a name that does not
// exist answers no sooner than a wrong password (medians), a full address
// table forgets no guesser, a logon cancelled while it is checked counts for
// nothing and hands out nothing, and a logon whose user is replaced while it
// is checked ends on no other user.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "foundation/crypto/password_hash.h"
#include "support/bound_loopback_client.h"
#include "support/cheap_home.h"
#include "support/log_count.h"
#include "support/hostile_clients.h"
#include "support/server_process.h"
#include "support/stored_directory.h"
#include "support/test_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int32_t kClientID = 0x100;  // product "Torvane"
constexpr const char* kAdmin = kCheapHomeAdmin;
constexpr const char* kAdminPassword = kCheapHomeAdminPassword;
constexpr char kCostlyUser[] = "ZentakUser";  // its hash stays the cost-12 hash of a new home
constexpr char kCostlyPassword[] = "Grebe7ly";
constexpr char kPatPassword[] = "pat-pw-1";
constexpr char kMalloryPassword[] = "mal-pw-1";
constexpr char kSlowPassword[] = "slow-pw-1";
constexpr int kSlowCost = 14;      // about a second a check: long enough to act while it runs
constexpr int kSlowestCost = 16;   // the highest a stored hash may have: seconds a check

// The n-th address of a block of loopback addresses, "127.<block>.x.y" (n
// below 62,500).
std::string Address(int block, int n) {
  char text[32];
  std::snprintf(text, sizeof text, "127.%d.%d.%d", block, n / 250, n % 250 + 1);
  return text;
}

class LogonGuessing : public ::testing::Test {
 protected:
  ServerProcess server;

  // A new home whose administrator has a cheap hash, with pat, mallory and
  // flooded (cheap) and the built-in ZentakUser (cost 12); the server stopped.
  void SetUp() override {
    std::string failed;
    ASSERT_TRUE(PrepareCheapHome(server, &failed)) << failed;
    ASSERT_TRUE(AddUser("00002001", "pat", CheapHash(kPatPassword)));
    ASSERT_TRUE(AddUser("00002002", "mallory", CheapHash(kMalloryPassword)));
    ASSERT_TRUE(AddUser("00002004", "flooded", CheapHash("flooded-pw")));
  }

  // The user "slow", whose hash has `cost`.
  bool AddSlowUser(int cost) { return AddUser("00002003", "slow", HashAtCost(kSlowPassword, cost)); }
  void TearDown() override { unsetenv("TORVANE_INTEGRATION_PASSWORD"); }

  bool AddUser(const char* uid, const char* name, const std::string& hash, const std::string& settings = "") {
    return server.AddStoredUser(uid, name, StoredUserFile(uid, name, 0, hash, settings));
  }

  bool Start() {
    const bool started = server.Restart();
    EXPECT_TRUE(started) << server.Log();
    return started;
  }

  TestClient From(const std::string& address) {
    TestClient c = ConnectLoopbackFrom(address.c_str(), server.Port());
    EXPECT_TRUE(c.Connected()) << address;
    return c;
  }

  // A connection from `address` logged on as `user` (not connected when the
  // logon failed); its logon reply in *reply when given.
  TestClient LoggedOnFrom(const std::string& address, const char* user, const char* password,
                          TestClient::LogonReply* reply = nullptr, int32_t clientID = kClientID) {
    TestClient c = From(address);
    const TestClient::LogonReply r = c.Logon(user, password, clientID);
    if (reply != nullptr) *reply = r;
    if (!r.received || r.code != 0) c.Close();
    return c;
  }

  int LogCount(const std::string& line) const { return CountInLog(server.Log(), line); }

  // Waits until one of `lines` stands in the log more often than it did
  // when `before` was taken (LogCounts); false after `ms`.
  std::vector<int> LogCounts(const std::vector<std::string>& lines) const {
    std::vector<int> counts;
    for (const std::string& line : lines) counts.push_back(LogCount(line));
    return counts;
  }
  bool WaitForAnyNewLog(const std::vector<std::string>& lines, const std::vector<int>& before, int ms = 30000) const {
    for (int waited = 0; waited < ms; waited += 20) {
      const std::vector<int> now = LogCounts(lines);
      for (size_t i = 0; i < lines.size(); ++i) {
        if (now[i] > before[i]) return true;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }

  // Sends the logon of "slow" with `password` from `address`, waits a second
  // and more, and has `admin` close every connection idle since (6679 "M0")
  // while the slow check runs; true when the logon's connection was closed
  // and one of `ends` then came to the log (its check came back).
  bool CancelSlowLogon(TestClient& admin, const char* address, const char* password,
                       const std::vector<std::string>& ends) {
    const std::vector<int> before = LogCounts(ends);
    TestClient logon = From(address);
    if (!logon.Send(TestRequest().LogonHeader(kClientID, kTokInternal, CredentialToken("slow", password)))) return false;
    std::this_thread::sleep_for(milliseconds(1100));
    if (admin.Request(6679, TestRequest().String("M0")) != std::optional<int32_t>(0) ||
        admin.RecvInt() != std::optional<int32_t>(0)) {
      return false;
    }
    return logon.PeerClosed() && WaitForAnyNewLog(ends, before);
  }

  bool WaitForLogCount(const std::string& line, int count, int ms = 20000) const {
    for (int waited = 0; waited < ms; waited += 20) {
      if (LogCount(line) >= count) return true;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }
};

// ---- One's own successes ----------------------------------------------------------------

// An attacker with an account of its own guesses another user's password
// four times, logs itself on, and again: its successes clear nothing, so the
// fifth guess starts the back-off and the victim's right password is refused
// unchecked. The same with re-attaches: random session IDs, and a re-attach
// to its own logon between them.
TEST_F(LogonGuessing, OwnSuccessesDoNotResetTheCountOfGuesses) {
  ASSERT_TRUE(Start());
  TestClient attacker = From("127.0.0.2");
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(32, attacker.Logon("pat", "guess", kClientID).code) << round;
    (void)attacker.Logon("mallory", kMalloryPassword, kClientID);
  }
  // One more guess (checked or not, the address is then in back-off for a
  // second at least), and at once the right password.
  EXPECT_EQ(32, attacker.Logon("pat", "guess", kClientID).code);
  EXPECT_EQ(32, attacker.Logon("pat", kPatPassword, kClientID).code);
  // Five guesses were checked, and the back-off refused every one after them.
  EXPECT_LE(LogCount("InternalLogin:User >pat< trying to login and found"), 6);

  TestClient::LogonReply victim;
  TestClient patsOwn = LoggedOnFrom("127.0.0.11", "pat", kPatPassword, &victim);
  ASSERT_TRUE(patsOwn.Connected());
  TestClient::LogonReply own;
  TestClient mallorysOwn = LoggedOnFrom("127.0.0.12", "mallory", kMalloryPassword, &own);
  ASSERT_TRUE(mallorysOwn.Connected());
  TestClient reattacher = From("127.0.0.3");
  TestSID guess = victim.sid;
  for (int round = 0; round < 5; ++round) {
    for (int i = 0; i < 4; ++i) {
      guess[3] = static_cast<unsigned char>(victim.sid[3] ^ (1 + round * 4 + i));
      EXPECT_EQ(std::optional<int32_t>(29), reattacher.AttachBySID(guess, kClientID + 1)) << round;
    }
    (void)reattacher.AttachBySID(own.sid, kClientID + 2);
  }
  guess[3] = static_cast<unsigned char>(victim.sid[3] ^ 0x77);
  EXPECT_EQ(std::optional<int32_t>(29), reattacher.AttachBySID(guess, kClientID + 1));
  EXPECT_EQ(std::optional<int32_t>(29), reattacher.AttachBySID(victim.sid, kClientID + 1));
  EXPECT_EQ(0, LogCount("SIDLogon:Found sid logon for user >pat<"));
}

// ---- A burst ---------------------------------------------------------------------------------

// Twenty logons sent at once from one address: five are checked (in flight,
// each may fail), the others refused at once; the right password sent
// beside them is refused unchecked too.
TEST_F(LogonGuessing, ABurstIsCountedAsItArrives) {
  ASSERT_TRUE(AddSlowUser(kSlowCost));
  ASSERT_TRUE(Start());
  std::vector<TestClient> burst;
  for (int i = 0; i < 20; ++i) {
    burst.push_back(From("127.0.0.4"));
    burst.back().SetTimeoutMs(60000);
    ASSERT_TRUE(burst.back().Send(
        TestRequest().LogonHeader(kClientID, kTokInternal, CredentialToken("slow", "guess-" + std::to_string(i)))));
  }
  TestClient right = From("127.0.0.4");
  const auto before = Clock::now();
  EXPECT_EQ(32, right.Logon("pat", kPatPassword, kClientID).code);
  EXPECT_LT(Clock::now() - before, milliseconds(1000)) << "refused unchecked, at once";
  for (TestClient& c : burst) {
    const std::optional<int32_t> code = c.RecvInt();
    EXPECT_EQ(std::optional<int32_t>(32), code);
    (void)c.RecvInt();  // the flags
  }
  EXPECT_EQ(5, LogCount("InternalLogin:User >slow< trying to login and found"));
  EXPECT_EQ(0, LogCount("InternalLogin:User >pat< trying to login"));
  EXPECT_EQ(1, LogCount("Logon back-off: refusing logons from ::ffff:127.0.0.4 while "));
}

// ---- One address beside another ------------------------------------------------------------

// Two hundred wrong logons against a cost-12 hash queued at once from one
// address, without a logon of its own: another address's logon is answered
// within a second all the same.
TEST_F(LogonGuessing, AFloodOfOneAddressDoesNotStarveAnother) {
  ASSERT_TRUE(Start());
  std::vector<TestClient> flood;
  for (int i = 0; i < 200; ++i) {
    flood.push_back(From("127.0.0.5"));
    flood.back().SetTimeoutMs(60000);
    ASSERT_TRUE(flood.back().Send(
        TestRequest().LogonHeader(kClientID, kTokInternal, CredentialToken(kCostlyUser, "guess"))));
  }
  std::this_thread::sleep_for(milliseconds(200));  // the flood is in
  TestClient other = From("127.0.0.6");
  const auto before = Clock::now();
  EXPECT_EQ(0, other.Logon(kAdmin, kAdminPassword, kClientID).code);
  const auto took = Clock::now() - before;
  EXPECT_LT(took, milliseconds(1000));
  std::printf("another address's logon beside a flood of 200: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
  for (TestClient& c : flood) EXPECT_EQ(std::optional<int32_t>(32), c.RecvInt());
  EXPECT_LE(1, LogCount("Logon back-off: refusing logons from ::ffff:127.0.0.5 while "));
}

// The workers serve addresses in turn whatever their jobs are: an
// administrator's thirty password settings at once (a cost-12 hash each, no
// logon to count) take two workers at most, and another address's logon is
// answered within a second.
TEST_F(LogonGuessing, TheWorkersServeAddressesInTurn) {
  ASSERT_TRUE(Start());
  std::vector<TestClient> admins;
  for (int i = 0; i < 30; ++i) {
    admins.push_back(LoggedOnFrom("127.0.0.7", kAdmin, kAdminPassword));
    ASSERT_TRUE(admins.back().Connected());
    admins.back().SetTimeoutMs(60000);
  }
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(admins[i].Send(
        TestRequest().Header(6654).String("flooded").String("Flooded-" + std::to_string(i) + "-pw")));
  }
  std::this_thread::sleep_for(milliseconds(100));
  TestClient other = From("127.0.0.8");
  const auto before = Clock::now();
  EXPECT_EQ(0, other.Logon("mallory", kMalloryPassword, kClientID).code);
  const auto took = Clock::now() - before;
  EXPECT_LT(took, milliseconds(1000));
  std::printf("another address's logon beside 30 hashes of one address: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
  for (TestClient& c : admins) {
    EXPECT_EQ(std::optional<int32_t>(0), c.RecvInt());  // the request accepted
    EXPECT_EQ(std::optional<int32_t>(0), c.RecvInt());  // the password set
  }
}

// ---- A name that does not exist -----------------------------------------------------------

// For token types 1, 6, 7 and 8, a name that does not exist is answered as a
// wrong password of a user with a cost-12 hash is: 32 and the same flags,
// and no sooner. Each pair of samples (a wrong password, then a name that
// does not exist) is taken back to back, from addresses of their own so
// that the back-off never answers; the median of the pairs' ratios must be
// near 1 (a loaded machine slows both of a pair alike).
TEST_F(LogonGuessing, ANameThatDoesNotExistCostsAWrongPassword) {
  ASSERT_TRUE(Start());
  constexpr int kPairs = 7;
  struct Kind {
    const char* id;
    int32_t tokType;
  };
  int address = 0;
  // One logon of `name` from an address of its own: its time in ms, its reply in *reply.
  const auto timed = [&](int32_t tokType, const std::string& name, int i, TestClient::LogonReply* reply) {
    TestRequest request = TestRequest().LogonHeader(kClientID, tokType, CredentialToken(name, "not-the-password"));
    if (tokType == kTokInternalPasswordChange) request.String("New-pw-" + std::to_string(i));
    TestClient c = From(Address(2, address++));
    c.SetTimeoutMs(30000);
    const auto before = Clock::now();
    *reply = c.SendLogon(request);
    return std::chrono::duration<double, std::milli>(Clock::now() - before).count();
  };
  for (const Kind& kind : {Kind{"type 1", kTokInternal}, Kind{"type 6", kTokInternalOther},
                           Kind{"type 7", kTokInternalPasswordChange}, Kind{"type 8", kTokAuto}}) {
    SCOPED_TRACE(kind.id);
    std::vector<double> ratios, wrong, missing;
    for (int i = 0; i < kPairs; ++i) {
      TestClient::LogonReply wrongReply, missingReply;
      wrong.push_back(timed(kind.tokType, kCostlyUser, i, &wrongReply));
      missing.push_back(timed(kind.tokType, "nobody-" + std::to_string(i), i, &missingReply));
      ASSERT_TRUE(wrongReply.received && missingReply.received);
      EXPECT_EQ(32, wrongReply.code);
      EXPECT_EQ(32, missingReply.code);
      EXPECT_EQ(wrongReply.second, missingReply.second) << "the same flags";
      ratios.push_back(missing.back() / wrong.back());
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(wrong.begin(), wrong.end());
    std::sort(missing.begin(), missing.end());
    const double ratio = ratios[kPairs / 2];
    std::printf("%s: wrong password %.1f ms, no such name %.1f ms (medians of %d), median ratio %.2f\n", kind.id,
                wrong[kPairs / 2], missing[kPairs / 2], kPairs, ratio);
    EXPECT_GT(ratio, 0.65);
    EXPECT_LT(ratio, 1.55);
  }
}

// ---- A full address table --------------------------------------------------------------------

// Four failures from one address, then one from each of 4,100 others (more
// than the table holds): the first address is still remembered, so its
// fifth failure starts its back-off and the right password after it is
// refused.
TEST_F(LogonGuessing, AFullAddressTableForgetsNoGuesser) {
  ASSERT_TRUE(Start());
  const TestSID nobody = {0x12, 0x34, 0x56, 0x78};
  TestClient guesser = From("127.0.0.9");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(std::optional<int32_t>(29), guesser.AttachBySID(nobody, kClientID));
  for (int n = 0; n < 4100; ++n) {
    TestClient c = From(Address(3, n));
    ASSERT_EQ(std::optional<int32_t>(29), c.AttachBySID(nobody, kClientID)) << n;
  }
  EXPECT_EQ(std::optional<int32_t>(29), guesser.AttachBySID(nobody, kClientID));
  EXPECT_EQ(32, guesser.Logon("pat", kPatPassword, kClientID).code);
  EXPECT_EQ(0, LogCount("InternalLogin:User >pat< trying to login"));
  // An address the table holds, with its one failure, is served.
  TestClient counted = From(Address(3, 17));
  EXPECT_EQ(0, counted.Logon("pat", kPatPassword, kClientID).code);
}

// ---- Logons cancelled while they are checked --------------------------------------------

// A logon from one address against a slow hash, its connection closed by an
// administrator's 6679 while the hash runs: it is no failure, so four wrong
// passwords and then the right one are all checked.
TEST_F(LogonGuessing, ALogonCancelledWhileItIsCheckedIsNoFailure) {
  ASSERT_TRUE(AddSlowUser(kSlowestCost));
  ASSERT_TRUE(Start());
  TestClient admin = LoggedOnFrom("127.0.0.20", kAdmin, kAdminPassword);
  ASSERT_TRUE(admin.Connected());
  // How its check ends shows in the log: the cancellation, or at least the
  // end of its request.
  const std::vector<std::string> ends = {"Login for user >slow< cancelled", "GetCommand:Returned status 4 "};
  const int cancellations = LogCount(ends[0]);
  ASSERT_TRUE(CancelSlowLogon(admin, "127.0.0.10", "guess", ends));
  EXPECT_EQ(cancellations + 1, LogCount(ends[0]));
  TestClient again = From("127.0.0.10");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(32, again.Logon("pat", "guess", kClientID).code) << i;
  EXPECT_EQ(0, again.Logon("pat", kPatPassword, kClientID).code);
}

// With the integration password on, a logon cancelled while its check runs
// still gets no slot for its closed connection.
TEST_F(LogonGuessing, ALogonCancelledWhileItIsCheckedHandsOutNoSlot) {
  ASSERT_TRUE(AddSlowUser(kSlowestCost));
  setenv("TORVANE_INTEGRATION_PASSWORD", "1", 1);
  ASSERT_TRUE(Start());
  TestClient admin = LoggedOnFrom("127.0.0.21", kAdmin, kAdminPassword);
  ASSERT_TRUE(admin.Connected());
  // Its check ends in the cancellation, or once in a slot for nobody.
  ASSERT_TRUE(CancelSlowLogon(admin, "127.0.0.22", "Q4Bellwethers@862",
                              {"Login for user >slow< cancelled", "All ok should be logging on"}));
  ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6677));
  EXPECT_EQ(std::optional<int32_t>(0), admin.RecvInt());
  std::optional<std::string> tokens;
  ASSERT_TRUE(admin.RecvString(&tokens));
  ASSERT_TRUE(tokens.has_value());
  EXPECT_NE(std::string::npos, tokens->find("<LUSCOUNT>1</LUSCOUNT>")) << *tokens;
  EXPECT_EQ(std::string::npos, tokens->find("<USERNAME>slow</USERNAME>"));
}

// ---- A user replaced while its logon is checked -----------------------------------------

// A logon whose user is replaced meanwhile (another UID, the same name and
// the same hash) ends on no user: the check was of the user that is gone.
TEST_F(LogonGuessing, ALogonEndsOnTheUserItCheckedOrNotAtAll) {
  ASSERT_TRUE(AddSlowUser(kSlowCost));
  ASSERT_TRUE(Start());
  TestClient admin = LoggedOnFrom("127.0.0.23", kAdmin, kAdminPassword);
  ASSERT_TRUE(admin.Connected());
  const std::string slowHash = ReadWholeFile(server.Home() + "users/00002003.xml");
  const size_t from = slowHash.find("<PASSWORDV2>") + 12;
  const std::string hash = slowHash.substr(from, slowHash.find("</PASSWORDV2>") - from);
  TestClient logon = From("127.0.0.24");
  logon.SetTimeoutMs(30000);
  ASSERT_TRUE(logon.Send(TestRequest().LogonHeader(kClientID, kTokInternal, CredentialToken("slow", kSlowPassword))));
  ASSERT_TRUE(WaitForLogCount("InternalLogin:User >slow< trying to login and found", 1));
  const std::string replacement = "<USER><UID>00002103</UID><USERNAME>slow</USERNAME><PASSWORDV2>" + hash +
                                  "</PASSWORDV2><ADUSER>0</ADUSER><LEVEL>0</LEVEL></USER>";
  ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6652, TestRequest().String("slow").String(replacement)));
  ASSERT_EQ(std::optional<int32_t>(0), admin.RecvInt());
  const std::optional<int32_t> code = logon.RecvInt();
  EXPECT_EQ(std::optional<int32_t>(32), code);
  (void)logon.RecvInt();
  EXPECT_EQ(std::optional<int32_t>(27), logon.Request(6666)) << "no logon on the connection";
  // The new user itself logs on with the password its hash holds.
  TestClient fresh = From("127.0.0.25");
  fresh.SetTimeoutMs(30000);
  EXPECT_EQ(0, fresh.Logon("slow", kSlowPassword, kClientID).code);
}

// A password change whose history is checked while the user is deleted and
// a new user of the same name added: the change lands on nobody, and the
// connection is logged on as nobody.
TEST_F(LogonGuessing, APasswordChangeEndsOnTheUserItCheckedOrNotAtAll) {
  const std::string oldHash = HashAtCost("an-old-password", kSlowCost + 1);
  ASSERT_TRUE(AddUser("00002005", "changer", CheapHash("changer-pw"),
                      "<Live>\n<Torvane>\n<Passwords>\n<Old>\n<PW1>" + oldHash +
                          "</PW1>\n</Old>\n</Passwords>\n</Torvane>\n</Live>\n"));
  ASSERT_TRUE(Start());
  TestClient admin = LoggedOnFrom("127.0.0.26", kAdmin, kAdminPassword);
  ASSERT_TRUE(admin.Connected());
  ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6665, TestRequest().String("r3")));
  ASSERT_EQ(std::optional<int32_t>(0), admin.RecvInt());
  TestClient change = From("127.0.0.27");
  change.SetTimeoutMs(30000);
  ASSERT_TRUE(change.Send(TestRequest()
                              .LogonHeader(kClientID, kTokInternalPasswordChange,
                                           CredentialToken("changer", "changer-pw"))
                              .String("Brand-new-pw-7")));
  ASSERT_TRUE(WaitForLogCount("InternalLoginWithPasswordChange:User >changer< trying to login and found", 1));
  std::this_thread::sleep_for(milliseconds(300));  // the old password checked; the history takes seconds
  ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6506, TestRequest().String("changer")));
  ASSERT_EQ(std::optional<int32_t>(0), admin.RecvInt());
  ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6504, TestRequest().String("changer")));
  ASSERT_EQ(std::optional<int32_t>(0), admin.RecvInt());
  EXPECT_EQ(std::optional<int32_t>(32), change.RecvInt());
  (void)change.RecvInt();  // the flags
  EXPECT_EQ(std::optional<int32_t>(27), change.Request(6666)) << "no logon on the connection";
  // The new user did not get the password.
  TestClient probe = From("127.0.0.28");
  EXPECT_EQ(32, probe.Logon("changer", "Brand-new-pw-7", kClientID).code);
}

}  // namespace
