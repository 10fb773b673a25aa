// One client never holds up the others: the real server over loopback, with a
// hostile client (one that never reads a long reply, stops mid-header or
// mid-arguments, dribbles a byte at a time, or loops wrong passwords against
// cost-12 hashes) beside a good client that asks for the version again and
// again and must be answered at once every time. Then requests caught
// waiting by a kick, a close, the deletion of their user and the stop, which
// must each end their request cleanly (the sanitized build reports nothing).
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/hostile_clients.h"
#include "support/server_process.h"
#include "support/stored_directory.h"
#include "support/test_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kAdmin = kHostileAdmin;
constexpr const char* kAdminPassword = kHostileAdminPassword;
constexpr const char* kCostlyUser = kHostileCostlyUser;  // its hash stays the cost-12 hash of a new home
constexpr int32_t kClientID = 0x0101;  // a client program of product 1

// A user of users.xml (the store a new home starts with): a cost-4 hash of
// `password`, and a forename of `forenameBytes` letters so that its record
// block is about that long.
std::string UserElement(unsigned uid, const std::string& name, int level, const std::string& hash,
                        size_t forenameBytes) {
  char uidText[16];
  std::snprintf(uidText, sizeof uidText, "%08X", uid);
  return std::string("<USER>\n<UID>") + uidText + "</UID>\n<USERNAME>" + name + "</USERNAME>\n<PASSWORDV2>" +
         hash + "</PASSWORDV2>\n<ADUSER>0</ADUSER>\n<LEVEL>" + std::to_string(level) + "</LEVEL>\n<FORENAME>" +
         std::string(forenameBytes, 'f') +
         "</FORENAME>\n<USERDATA><Live><Torvane><Passwords><NeverExpires>1</NeverExpires></Passwords>"
         "</Torvane></Live></USERDATA>\n</USER>\n";
}

struct HomePlan {
  int listUsers = 0;           // users with a 2 KiB forename, for a long 6502 reply
  bool shortTimeOut = false;   // Comms\TimeOut 1 (taken as 10 s) instead of the default 30 s
};

// A new home whose administrator has a cost-4 hash of its published
// password, with the users and the time-out of `plan`, and the plain users
// "alice" and "bob" (password "pw", cost 4).
void PrepareHome(ServerProcess& server, const HomePlan& plan) {
  ASSERT_EQ(0, server.Initialise()) << server.LastRun();
  const std::string usersPath = server.Home() + "users.xml";
  std::string users = ReadWholeFile(usersPath);
  ASSERT_TRUE(ReplaceStoredPasswordHash(users, kAdmin, CheapHash(kAdminPassword)));
  std::string extra;
  const std::string plainHash = CheapHash("pw");
  extra += UserElement(0x20000001, "alice", 0, plainHash, 8);
  extra += UserElement(0x20000002, "bob", 0, plainHash, 8);
  for (int i = 0; i < plan.listUsers; ++i) {
    char n[16];
    std::snprintf(n, sizeof n, "u%05d", i);
    extra += UserElement(0x21000000u + static_cast<unsigned>(i), n, 0, plainHash, 2048);
  }
  const size_t end = users.find("</USERS>");
  ASSERT_NE(std::string::npos, end);
  users.insert(end, extra);
  WriteWholeFile(usersPath, users);
  if (plan.shortTimeOut) {
    const std::string settings = server.Home() + "envs/live_torvane.xml";
    std::string text = ReadWholeFile(settings);
    const size_t at = text.find("</CONFIGURATION>");
    ASSERT_NE(std::string::npos, at);
    text.insert(at, "<Comms uid=\"00000007\" type=\"STRING\"><TimeOut uid=\"00000008\" type=\"STRING\">1\n"
                    "</TimeOut>\n</Comms>\n");
    WriteWholeFile(settings, text);
  }
}

TestClient LoggedOn(int port, const char* user, const char* password, int32_t clientID = kClientID) {
  return HostileLoggedOn(port, user, password, clientID);
}

// What the good client saw: every reply's latency.
struct ProbeResult {
  size_t answered = 0;
  bool failed = false;
  Clock::duration slowest = Clock::duration::zero();
};

// The good client: asks for the version (6628, no logon) in a loop for
// `span`, and notes how long each answer took.
ProbeResult ProbeGoodClient(int port, Clock::duration span) {
  ProbeResult result;
  TestClient good = TestClient::ConnectLoopback(port);
  good.SetTimeoutMs(5000);
  const auto until = Clock::now() + span;
  while (Clock::now() < until) {
    const auto before = Clock::now();
    if (good.Request(6628) != std::optional<int32_t>(0) || good.RecvInt() != std::optional<int32_t>(10)) {
      result.failed = true;
      return result;
    }
    result.slowest = std::max(result.slowest, Clock::now() - before);
    ++result.answered;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return result;
}

// The bound the good client's every answer must meet: coarse, since the
// machine may be loaded and the build sanitized; a held server shows in
// seconds, not in this.
constexpr auto kAnswerBound = milliseconds(1000);

bool LogHas(const ServerProcess& server, const std::string& text) {
  return server.Log().find(text) != std::string::npos;
}

bool WaitForLog(const ServerProcess& server, const std::string& text, int ms = 10000) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (LogHas(server, text)) return true;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return false;
}

// Nothing the sanitizers say reached the server's standard error.
::testing::AssertionResult NoSanitizerReport(const ServerProcess& server) {
  const std::string log = server.Log();
  for (const char* mark : {"AddressSanitizer", "LeakSanitizer", "runtime error:"}) {
    if (log.find(mark) != std::string::npos) return ::testing::AssertionFailure() << log.substr(log.find(mark), 4000);
  }
  return ::testing::AssertionSuccess();
}

// ---- A hostile client beside a good one -----------------------------------------------------------

// One hostile client beside the good one.
struct Hostile {
  const char* name;
  HomePlan plan;
  bool (*start)(int port, HostileRun& run);
  const char* inProgress;  // the request the hostile client leaves in progress, not finished meanwhile
};

bool StartByteEveryQuarterSecond(int port, HostileRun& run) { return StartDribbler(port, run, milliseconds(250)); }
bool StartEightWrongPasswords(int port, HostileRun& run) { return StartWrongPasswords(port, run, 8); }

void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }

class HostileBesideGood : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileBesideGood, TheGoodClientIsAnsweredAtOnceThroughout) {
  const Hostile& h = GetParam();
  ServerProcess server;
  PrepareHome(server, h.plan);
  ASSERT_TRUE(server.Start()) << server.Log();
  HostileRun run;
  ASSERT_TRUE(h.start(server.Port(), run)) << server.Log().substr(0, 3000);
  // Time for the hostile request to be under way.
  std::this_thread::sleep_for(milliseconds(300));
  const ProbeResult probe = ProbeGoodClient(server.Port(), milliseconds(2000));
  const bool stillInProgress = h.inProgress == nullptr || !LogHas(server, h.inProgress);
  run.Stop();
  EXPECT_FALSE(probe.failed) << server.Log().substr(0, 3000);
  EXPECT_GT(probe.answered, 20u);
  EXPECT_LT(probe.slowest, kAnswerBound) << "the good client waited on the hostile one";
  EXPECT_TRUE(stillInProgress) << "the hostile request did not hold its own place";
  EXPECT_EQ(0, server.Stop()) << server.Log();
  EXPECT_TRUE(NoSanitizerReport(server));
}

const Hostile kHostiles[] = {
    {"NeverReadsAListOfMegabytes", {1500, false}, StartNeverReadingList,
     "Finished processing message 6502"},
    {"StopsMidHeader", {}, StartMidHeader, nullptr},
    {"StopsMidArguments", {}, StartMidArguments, "Finished processing message 6503"},
    {"SendsAByteAtATime", {}, StartByteEveryQuarterSecond, nullptr},
    {"EightConnectionsOfWrongPasswordsAtCost12", {}, StartEightWrongPasswords, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Hostiles, HostileBesideGood, ::testing::ValuesIn(kHostiles),
                         [](const ::testing::TestParamInfo<Hostile>& p) { return std::string(p.param.name); });

// A client that stops reading a long reply is dropped within one time-out
// (10 s here) of the last bytes it took, however much it took before; the
// good client is answered all along.
TEST(HostileClient, AReaderThatStopsIsDroppedWithinOneTimeOut) {
  ServerProcess server;
  PrepareHome(server, {1500, true});
  ASSERT_TRUE(server.Start()) << server.Log();
  TestClient slow = ConnectWithSmallReceiveBuffer(server.Port());
  ASSERT_TRUE(slow.Logon(kAdmin, kAdminPassword, kClientID).code == 0);
  ASSERT_TRUE(slow.Send(TestRequest().Header(6502).Int(1).Int(0)));
  // It reads the first part of the reply, then stops.
  TestBytes taken;
  ASSERT_TRUE(slow.RecvBytes(256 * 1024, &taken));
  const auto stoppedAt = Clock::now();
  const ProbeResult probe = ProbeGoodClient(server.Port(), milliseconds(1500));
  EXPECT_FALSE(probe.failed);
  EXPECT_LT(probe.slowest, kAnswerBound);
  ASSERT_TRUE(WaitForLog(server, "Request 6502 on socket", 20000)) << server.Log().substr(0, 3000);
  const auto droppedAfter = Clock::now() - stoppedAt;
  EXPECT_LT(droppedAfter, std::chrono::seconds(15));
  EXPECT_TRUE(LogHas(server, "Comm failure on socket"));
  EXPECT_EQ(0, server.Stop()) << server.Log();
  EXPECT_TRUE(NoSanitizerReport(server));
}

// Requests sent all at once, in one write: each is served in its turn and
// every reply comes back whole and in order, though the replies of a pass go
// out together after its requests.
TEST(PipelinedRequests, EveryReplyComesBackInOrder) {
  ServerProcess server;
  PrepareHome(server, {});
  ASSERT_TRUE(server.Start()) << server.Log();
  TestClient c = LoggedOn(server.Port(), "alice", "pw");
  ASSERT_TRUE(c.Connected());
  constexpr int kRequests = 2000;
  TestBytes all;
  for (int i = 0; i < kRequests; ++i) {
    // The version, then (every tenth) a user that is not there.
    const TestBytes one = i % 10 == 9 ? TestRequest().Header(6503).String("nobody").Int(1).Int(0).Bytes()
                                      : TestRequest().Header(6628).Bytes();
    all.insert(all.end(), one.begin(), one.end());
  }
  std::thread sender([&] { EXPECT_TRUE(c.Send(all)); });
  bool inOrder = true;
  for (int i = 0; i < kRequests && inOrder; ++i) {
    if (i % 10 == 9) {
      inOrder = c.RecvInt() == std::optional<int32_t>(0) && c.RecvInt() == std::optional<int32_t>(6);
    } else {
      inOrder = c.RecvInt() == std::optional<int32_t>(0) && c.RecvInt() == std::optional<int32_t>(10);
    }
    if (!inOrder) ADD_FAILURE() << "reply " << i;
  }
  sender.join();
  ASSERT_EQ(std::optional<int32_t>(0), c.Request(6628));
  EXPECT_EQ(std::optional<int32_t>(10), c.RecvInt());
  EXPECT_EQ(0, server.Stop()) << server.Log();
  EXPECT_TRUE(NoSanitizerReport(server));
}

// A client that sends requests without end and never reads a reply: its
// replies back up in its socket, it is read no further meanwhile, and it is
// dropped within one time-out (10 s here) of the last bytes it could send;
// the good client is answered all along.
TEST(HostileClient, APipelinerThatNeverReadsIsDroppedWithinOneTimeOut) {
  ServerProcess server;
  PrepareHome(server, {0, true});
  ASSERT_TRUE(server.Start()) << server.Log();
  TestClient flood = ConnectWithSmallReceiveBuffer(server.Port());
  ASSERT_EQ(0, flood.Logon("alice", "pw", kClientID).code);
  std::atomic<bool> stop{false};
  std::atomic<int64_t> lastSentNs{Clock::now().time_since_epoch().count()};
  std::thread sender([&] {
    // A user's record again and again: a reply of a few hundred bytes each.
    const TestBytes one = TestRequest().Header(6503).String("alice").Int(1).Int(0).Bytes();
    TestBytes many;
    for (int i = 0; i < 64; ++i) many.insert(many.end(), one.begin(), one.end());
    size_t at = 0;  // where the stream of requests goes on in `many`
    while (!stop) {
      const ssize_t sent = send(flood.Fd(), many.data() + at, many.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent > 0) {
        at = (at + static_cast<size_t>(sent)) % many.size();
        lastSentNs = Clock::now().time_since_epoch().count();
      } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        return;  // dropped
      } else {
        std::this_thread::sleep_for(milliseconds(5));
      }
    }
  });
  std::this_thread::sleep_for(milliseconds(300));
  const ProbeResult probe = ProbeGoodClient(server.Port(), milliseconds(1500));
  EXPECT_FALSE(probe.failed);
  EXPECT_LT(probe.slowest, kAnswerBound);
  const bool dropped = WaitForLog(server, "Request 6503 on socket", 40000);
  const auto droppedAt = Clock::now();
  stop = true;
  sender.join();
  ASSERT_TRUE(dropped) << server.Log().substr(0, 3000);
  EXPECT_LT(droppedAt - Clock::time_point(Clock::duration(lastSentNs.load())), std::chrono::seconds(15));
  ASSERT_EQ(std::optional<int32_t>(0), LoggedOn(server.Port(), "bob", "pw").Request(6628));
  EXPECT_EQ(0, server.Stop()) << server.Log();
  EXPECT_TRUE(NoSanitizerReport(server));
}

// ---- Requests caught waiting --------------------------------------------------------------------

// A request waits mid-arguments while its logon is kicked (6680): when its
// arguments arrive it runs without a logon and is refused; nothing dangles.
TEST(SuspendedRequest, ItsLogonKickedItIsRefusedWhenItGoesOn) {
  ServerProcess server;
  PrepareHome(server, {});
  ASSERT_TRUE(server.Start()) << server.Log();
  TestClient victim = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0101);
  TestClient kicker = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0102);
  ASSERT_TRUE(victim.Connected() && kicker.Connected());
  // An administrator's add-user request, cut after the name's length word.
  ASSERT_EQ(std::optional<int32_t>(0), victim.Request(6504, TestRequest().Int(6)));
  // Every logon but the kicker's own ends.
  ASSERT_EQ(std::optional<int32_t>(0), kicker.Request(6680, TestRequest().String("0:0\n")));
  ASSERT_EQ(std::optional<int32_t>(0), kicker.RecvInt());
  ASSERT_TRUE(victim.Send(TestBytes{'c', 'a', 'r', 'o', 'l', 0}));
  EXPECT_EQ(std::optional<int32_t>(49), victim.RecvInt()) << "no logon is left to grant the right";
  // No user was added; the kicker's logon still serves.
  ASSERT_EQ(std::optional<int32_t>(0), kicker.Request(6503, TestRequest().String("carol").Int(1).Int(0)));
  EXPECT_EQ(std::optional<int32_t>(6), kicker.RecvInt());
  EXPECT_EQ(0, server.Stop()) << server.Log();
  EXPECT_TRUE(NoSanitizerReport(server));
}

// A request waits mid-arguments while its user is deleted: when it goes on,
// its user is not found (the record it would have held is gone).
TEST(SuspendedRequest, ItsUserDeletedItFindsNoUserWhenItGoesOn) {
  ServerProcess server;
  PrepareHome(server, {});
  ASSERT_TRUE(server.Start()) << server.Log();
  TestClient alice = LoggedOn(server.Port(), "alice", "pw");
  TestClient admin = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0102);
  ASSERT_TRUE(alice.Connected() && admin.Connected());
  // The caller's own per-product field: the field name sent, the value not yet.
  ASSERT_EQ(std::optional<int32_t>(0), alice.Request(6625, TestRequest().String("Colour").Int(5)));
  // Users added after alice move her record; deleting her removes it.
  for (const char* name : {"aaron", "abby", "abe"}) {
    ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6504, TestRequest().String(name)));
    ASSERT_EQ(std::optional<int32_t>(0), admin.RecvInt()) << name;
  }
  ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6506, TestRequest().String("alice")));
  ASSERT_EQ(std::optional<int32_t>(0), admin.RecvInt());
  ASSERT_TRUE(alice.Send(TestBytes{'b', 'l', 'u', 'e', 0}));
  EXPECT_EQ(std::optional<int32_t>(6), alice.RecvInt());
  EXPECT_EQ(0, server.Stop()) << server.Log();
  EXPECT_TRUE(NoSanitizerReport(server));
}

// A request waits mid-arguments while an administrator closes the idle
// connections (6679): its connection is closed under it and its request
// ends there; the server goes on serving.
TEST(SuspendedRequest, ItsConnectionClosedItEndsAndTheServerGoesOn) {
  ServerProcess server;
  PrepareHome(server, {});
  ASSERT_TRUE(server.Start()) << server.Log();
  TestClient victim = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0101);
  ASSERT_TRUE(victim.Connected());
  ASSERT_EQ(std::optional<int32_t>(0), victim.Request(6503, TestRequest().StringWithLength(100, TestBytes(10, 'x'))));
  // The victim's last request began more than a second before the closing one.
  std::this_thread::sleep_for(milliseconds(1100));
  TestClient admin = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0102);
  ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6679, TestRequest().String("M0")));
  ASSERT_EQ(std::optional<int32_t>(0), admin.RecvInt());
  EXPECT_TRUE(victim.PeerClosed());
  EXPECT_TRUE(WaitForLog(server, "Finished processing message 6503"));
  ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6628));
  EXPECT_EQ(std::optional<int32_t>(10), admin.RecvInt());
  EXPECT_EQ(0, server.Stop()) << server.Log();
  EXPECT_TRUE(NoSanitizerReport(server));
}

// The stop with requests waiting on their sockets and a logon waiting for
// its hash on a worker: every request unwinds, and the server exits 0 at once.
TEST(SuspendedRequest, TheStopUnwindsEveryWaitingRequest) {
  ServerProcess server;
  PrepareHome(server, {});
  ASSERT_TRUE(server.Start()) << server.Log();
  TestClient midArguments = LoggedOn(server.Port(), kAdmin, kAdminPassword);
  ASSERT_TRUE(midArguments.Send(TestRequest().Header(6503).StringWithLength(100, TestBytes(10, 'x'))));
  TestClient midHeader = TestClient::ConnectLoopback(server.Port());
  ASSERT_TRUE(midHeader.Send(TestBytes{0xA7, 0x19}));
  TestClient hashing = TestClient::ConnectLoopback(server.Port());
  ASSERT_TRUE(hashing.Send(TestRequest().LogonHeader(0x0103, kTokInternal,
                                                     CredentialToken(kCostlyUser, std::string("wrong")))));
  ASSERT_TRUE(WaitForLog(server, "Login requested for user >ZentakUser<"));
  const auto before = Clock::now();
  EXPECT_EQ(0, server.Stop()) << server.Log();
  EXPECT_LT(Clock::now() - before, std::chrono::seconds(5));
  const std::string log = server.Log();
  EXPECT_NE(std::string::npos, log.find("Closing socket.")) << log.substr(0, 3000);
  EXPECT_TRUE(NoSanitizerReport(server));
}

}  // namespace
