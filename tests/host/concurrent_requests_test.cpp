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
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/hostile_clients.h"
#include "support/sanitizer_report.h"
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
  // Forenames of 8 letters, and of 2 KiB for the users of a long list.
  extra += UsersXmlUser(0x20000001, "alice", 0, plainHash, std::string(8, 'f'));
  extra += UsersXmlUser(0x20000002, "bob", 0, plainHash, std::string(8, 'f'));
  for (int i = 0; i < plan.listUsers; ++i) {
    char n[16];
    std::snprintf(n, sizeof n, "u%05d", i);
    extra += UsersXmlUser(0x21000000u + static_cast<unsigned>(i), n, 0, plainHash, std::string(2048, 'f'));
  }
  ASSERT_TRUE(AddToUsersXml(users, extra));
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

// The SID of a logon reply as the 8 hex digits the SID texts carry.
std::string SIDText(const TestSID& sid) {
  char text[9];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X", sid[0], sid[1], sid[2], sid[3]);
  return text;
}

// The refusal of a request whose logon ended while it waited: 27 and the
// flags word in place of what the request had not sent yet (the header's 0
// too, when it had not gone out), then the connection closed.
::testing::AssertionResult RefusedWithoutLogon(TestClient& c) {
  std::optional<int32_t> word = c.RecvInt();
  if (word == std::optional<int32_t>(0)) word = c.RecvInt();
  if (word != std::optional<int32_t>(27)) return ::testing::AssertionFailure() << "no 27: " << word.value_or(-1);
  if (!c.RecvInt()) return ::testing::AssertionFailure() << "no flags word after the 27";
  if (!c.PeerClosed()) return ::testing::AssertionFailure() << "the connection stays open";
  return ::testing::AssertionSuccess();
}

// The connection is still in step: the version is answered as always.
bool AnswersTheVersion(TestClient& c) {
  return c.Request(6628) == std::optional<int32_t>(0) && c.RecvInt() == std::optional<int32_t>(10);
}

// ---- Requests caught waiting --------------------------------------------------------------------

// A request waits mid-arguments while its logon is kicked (6680): when it
// goes on, it is refused as a request without a logon (27 and the flags) and
// its connection closed; nothing was added, nothing dangles.
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
  EXPECT_TRUE(RefusedWithoutLogon(victim)) << "its logon ended while it waited";
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

// The same when the request that waits was served second on the task of
// its pass, after another connection's request: the socket of each request
// is its own to the end, so the close still reaches the waiting one.
TEST(SuspendedRequest, ItsConnectionClosedItEndsWhenItWasServedSecondInItsPass) {
  ServerProcess server;
  PrepareHome(server, {1500, false});
  ASSERT_TRUE(server.Start()) << server.Log();
  TestClient first = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0101);
  TestClient victim = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0102);
  TestClient busy = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0103);
  ASSERT_TRUE(first.Connected() && victim.Connected() && busy.Connected());
  // While the server makes a long document, both requests arrive: one pass
  // then serves the first and the victim one after the other.
  ASSERT_TRUE(busy.Send(TestRequest().Header(6648)));
  ASSERT_TRUE(first.Send(TestRequest().Header(6628)));
  ASSERT_TRUE(victim.Send(TestRequest().Header(6503).StringWithLength(100, TestBytes(10, 'x'))));
  ASSERT_EQ(std::optional<int32_t>(0), first.RecvInt());
  ASSERT_EQ(std::optional<int32_t>(10), first.RecvInt());
  ASSERT_EQ(std::optional<int32_t>(0), victim.RecvInt());
  // The first connection closes the others: its own socket is not closed,
  // so only the victim's close can end the victim's request.
  std::this_thread::sleep_for(milliseconds(1100));
  ASSERT_EQ(std::optional<int32_t>(0), first.Request(6679, TestRequest().String("M0")));
  ASSERT_EQ(std::optional<int32_t>(0), first.RecvInt());
  EXPECT_TRUE(victim.PeerClosed());
  EXPECT_TRUE(WaitForLog(server, "Finished processing message 6503")) << "the waiting request never ended";
  EXPECT_TRUE(AnswersTheVersion(first));
  EXPECT_EQ(0, server.Stop());
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

// ---- One world across a request's waits ------------------------------------------------------------
// Other requests run while a request waits; what they change must neither
// reach a reply that is going out nor let a decision outlive what it was made on.

constexpr size_t kLongTextBytes = 8000000;

struct DescriptionMeddler {
  const char* name;
  int32_t messageID;
  bool replaces;  // 6657 with a new text (else the environment is deleted)
};

void PrintTo(const DescriptionMeddler& m, std::ostream* os) { *os << m.name; }

class LongDescriptionReply : public ::testing::TestWithParam<DescriptionMeddler> {};

// A long environment description goes to a client that reads it slowly
// while another connection replaces the description or deletes the
// environment: the reader gets the description as it was when its reply
// began, whole, and its connection stays in step.
TEST_P(LongDescriptionReply, GoesOutWholeWhateverIsDoneToItMeanwhile) {
  const DescriptionMeddler& m = GetParam();
  ServerProcess server;
  PrepareHome(server, {});
  ASSERT_TRUE(server.Start()) << server.Log();
  TestClient admin = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0102);
  ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6615, TestRequest().String("Test")));
  ASSERT_EQ(std::optional<int32_t>(0), admin.RecvInt());
  const std::string description(kLongTextBytes, 'd');
  ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6657, TestRequest().String("Test").String(description)));
  ASSERT_EQ(std::optional<int32_t>(0), admin.RecvInt());

  TestClient reader = ConnectWithSmallReceiveBuffer(server.Port());
  ASSERT_EQ(0, reader.Logon(kAdmin, kAdminPassword, 0x0103).code);
  ASSERT_EQ(std::optional<int32_t>(0), reader.Request(6656, TestRequest().String("Test")));
  ASSERT_EQ(std::optional<int32_t>(0), reader.RecvInt());
  ASSERT_EQ(std::optional<int32_t>(static_cast<int32_t>(kLongTextBytes + 1)), reader.RecvInt());
  TestBytes first;
  ASSERT_TRUE(reader.RecvBytes(64 * 1024, &first));  // the server waits on the rest

  // A new text of the same length: it would take the old one's place in its
  // memory, so that a reply still reading that memory would show it.
  const TestRequest meddle = m.replaces ? TestRequest().String("Test").String(std::string(kLongTextBytes, 'r'))
                                        : TestRequest().String("Test");
  ASSERT_EQ(std::optional<int32_t>(0), admin.Request(m.messageID, meddle));
  ASSERT_EQ(std::optional<int32_t>(0), admin.RecvInt());

  TestBytes rest;
  reader.SetTimeoutMs(30000);
  ASSERT_TRUE(reader.RecvBytes(kLongTextBytes + 1 - first.size(), &rest));
  first.insert(first.end(), rest.begin(), rest.end());
  EXPECT_EQ(0, first.back());
  first.pop_back();
  EXPECT_TRUE(std::all_of(first.begin(), first.end(), [](unsigned char b) { return b == 'd'; }))
      << "the description as it was when the reply began";
  EXPECT_TRUE(AnswersTheVersion(reader));
  EXPECT_EQ(0, server.Stop());
  EXPECT_TRUE(NoSanitizerReport(server));
}

const DescriptionMeddler kDescriptionMeddlers[] = {
    {"ReplacedBy6657", 6657, true},
    {"EnvironmentDeletedBy6624", 6624, false},
};
INSTANTIATE_TEST_SUITE_P(Meddlers, LongDescriptionReply, ::testing::ValuesIn(kDescriptionMeddlers),
                         [](const ::testing::TestParamInfo<DescriptionMeddler>& p) { return std::string(p.param.name); });

// Two requests woken in one pass, the first closing the second's
// connection (6679): the second unwinds while the loop still holds it in
// its list of requests to resume, which must not read it once it is gone.
TEST(WokenRequests, OneThatClosesAnotherOfTheSamePassLeavesNothingDangling) {
  ServerProcess server;
  PrepareHome(server, {1500, false});
  ASSERT_TRUE(server.Start()) << server.Log();
  // The closer comes first in the table, so it is resumed first.
  TestClient closer = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0101);
  TestClient victim = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0102);
  TestClient busy = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0103);
  ASSERT_TRUE(closer.Connected() && victim.Connected() && busy.Connected());
  // Both wait mid-arguments: a name of 100 bytes of which 10 came, and the
  // length word of the age text alone.
  ASSERT_TRUE(victim.Send(TestRequest().Header(6503).StringWithLength(100, TestBytes(10, 'x'))));
  ASSERT_TRUE(closer.Send(TestRequest().Header(6679).Raw(TestBytes{3, 0, 0, 0})));
  ASSERT_EQ(std::optional<int32_t>(0), victim.RecvInt());
  ASSERT_EQ(std::optional<int32_t>(0), closer.RecvInt());
  // The victim's request began more than a second before the closing one.
  std::this_thread::sleep_for(milliseconds(1100));
  // The server is busy making a long document while the rest of both
  // requests arrives, so that one pass finds both ready.
  ASSERT_TRUE(busy.Send(TestRequest().Header(6648)));
  ASSERT_TRUE(closer.Send(TestBytes{'M', '0', 0}));
  TestBytes rest(90, 'x');
  for (int32_t word : {1, 0}) rest.insert(rest.end(), {static_cast<unsigned char>(word), 0, 0, 0});
  ASSERT_TRUE(victim.Send(rest));
  // (The busy connection's own request may have begun a second before the
  // closing one, and then it is closed too: its reply is not looked at.)
  EXPECT_EQ(std::optional<int32_t>(0), closer.RecvInt());
  EXPECT_TRUE(victim.PeerClosed());
  EXPECT_TRUE(AnswersTheVersion(closer));
  EXPECT_EQ(0, server.Stop());
  EXPECT_TRUE(NoSanitizerReport(server));
}

// The bytes of every store file of the home, by name: what a request changed.
std::map<std::string, std::string> StoreFiles(const ServerProcess& server) {
  std::map<std::string, std::string> files;
  for (const char* name : {"users.xml", "userlist.xml", "groups.xml", "env.xml", "uid.val"}) {
    files[name] = ReadWholeFile(server.Home() + name);
  }
  for (const char* dir : {"users/", "envs/"}) {
    if (DIR* d = opendir((server.Home() + dir).c_str())) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') files[std::string(dir) + e->d_name] = ReadWholeFile(server.Home() + dir + e->d_name);
      }
      closedir(d);
    }
  }
  return files;
}

// A guest's request that changes the directory, cut after the first
// argument's length word; the rest follows when the test sends it.
struct GuestRequest {
  const char* name;
  int32_t messageID;
  TestRequest arguments;
};

// What ends the guest's logon while its request waits.
enum class LogonEnder { k6662OfItsSID, k6680OfEveryone, k6004ThroughAReattachedConnection };

const char* EnderName(LogonEnder e) {
  switch (e) {
    case LogonEnder::k6662OfItsSID: return "6662";
    case LogonEnder::k6680OfEveryone: return "6680";
    case LogonEnder::k6004ThroughAReattachedConnection: return "6004";
  }
  return "?";
}

// A guest's request waits mid-arguments while its logon ends (its session
// ID logged off, every logon kicked, its session logged off through a
// connection re-attached to it): when the arguments arrive the request is
// refused as one without a logon (27 and the flags, the connection closed)
// and the stores are as they were.
TEST(SuspendedRequest, AGuestsChangeIsRefusedOnceItsLogonEndedMeanwhile) {
  ServerProcess server;
  PrepareHome(server, {});
  const std::string settings = server.Home() + "envs/live_torvane.xml";
  std::string text = ReadWholeFile(settings);
  const std::string off = "<AllowGuestLogin uid=\"00000002\" type=\"STRING\">0";
  ASSERT_NE(std::string::npos, text.find(off));
  text.replace(text.find(off), off.size(), "<AllowGuestLogin uid=\"00000002\" type=\"STRING\">1");
  WriteWholeFile(settings, text);
  setenv("TORVANE_TRUSTED_AD_USER_LOGON", "1", 1);
  const bool started = server.Start();
  unsetenv("TORVANE_TRUSTED_AD_USER_LOGON");
  ASSERT_TRUE(started) << server.Log();
  TestClient admin = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0109);
  for (const auto& [id, args] : {std::pair{6611, TestRequest().String("Staff")},
                                 std::pair{6640, TestRequest().String("alice").String("Extra")}}) {
    ASSERT_EQ(std::optional<int32_t>(0), admin.Request(id, args));
    ASSERT_EQ(std::optional<int32_t>(0), admin.RecvInt()) << id;
  }
  const GuestRequest requests[] = {
      {"add a user", 6507, TestRequest().String("zed")},
      {"delete a user", 6508, TestRequest().String("bob")},
      {"add a group", 6611, TestRequest().String("Newgroup")},
      {"delete a group", 6613, TestRequest().String("Staff")},
      {"add a user's section", 6686, TestRequest().String("alice").String("Other")},
      {"delete a user's section", 6687, TestRequest().String("alice").String("Extra")},
  };
  int32_t clientID = 0x0110;
  for (const GuestRequest& r : requests) {
    for (LogonEnder ender : {LogonEnder::k6662OfItsSID, LogonEnder::k6680OfEveryone,
                             LogonEnder::k6004ThroughAReattachedConnection}) {
      SCOPED_TRACE(std::string(r.name) + ", logon ended by " + EnderName(ender));
      ++clientID;
      TestClient guest = TestClient::ConnectLoopback(server.Port());
      const TestClient::LogonReply logon = guest.Logon("visitor", "", clientID, kTokADUser);
      ASSERT_EQ(0, logon.code) << server.Log().substr(0, 3000);
      const std::map<std::string, std::string> before = StoreFiles(server);
      const TestBytes whole = TestRequest().Header(r.messageID).Raw(r.arguments.Bytes()).Bytes();
      const size_t cut = 12 + 4;  // the header and the first length word
      ASSERT_TRUE(guest.Send(TestBytes(whole.begin(), whole.begin() + cut)));
      ASSERT_EQ(std::optional<int32_t>(0), guest.RecvInt()) << "the header is accepted";
      switch (ender) {
        case LogonEnder::k6662OfItsSID: {
          TestClient other = TestClient::ConnectLoopback(server.Port());
          ASSERT_TRUE(other.Send(TestRequest().Header(6662).String(SIDText(logon.sid))));
          ASSERT_EQ(std::optional<int32_t>(0), other.RecvInt());
          ASSERT_TRUE(AnswersTheVersion(other));  // its request has been served
          break;
        }
        case LogonEnder::k6680OfEveryone:
          ASSERT_EQ(std::optional<int32_t>(0), admin.Request(6680, TestRequest().String("0:0\n")));
          ASSERT_EQ(std::optional<int32_t>(0), admin.RecvInt());
          break;
        case LogonEnder::k6004ThroughAReattachedConnection: {
          TestClient joined = TestClient::ConnectLoopback(server.Port());
          ASSERT_EQ(std::optional<int32_t>(0), joined.AttachBySID(logon.sid, clientID));
          ASSERT_EQ(std::optional<int32_t>(0), joined.Request(6004));
          break;
        }
      }
      ASSERT_TRUE(admin.Connected());
      ASSERT_TRUE(AnswersTheVersion(admin));  // the meddler's requests are all served
      ASSERT_TRUE(guest.Send(TestBytes(whole.begin() + cut, whole.end())));
      EXPECT_TRUE(RefusedWithoutLogon(guest));
      EXPECT_TRUE(StoreFiles(server) == before) << "the refused request changed a store";
    }
  }
  EXPECT_EQ(0, server.Stop());
  EXPECT_TRUE(NoSanitizerReport(server));
}

// An administrator's 6654 hashes the new password on a worker while another
// administrator kicks every other logon: the change is refused (27, the
// flags, closed) and the password stays as it was.
TEST(SuspendedRequest, APasswordSetWhileItsCallerIsKickedIsNotMade) {
  ServerProcess server;
  PrepareHome(server, {});
  ASSERT_TRUE(server.Start()) << server.Log();
  bool kickedWhileHashing = false;
  for (int attempt = 0; attempt < 3 && !kickedWhileHashing; ++attempt) {
    TestClient setter = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0101);
    TestClient kicker = LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0102);
    ASSERT_TRUE(setter.Connected() && kicker.Connected());
    const size_t logBefore = server.Log().size();
    // A new password's hash costs about a quarter of a second: the kick is
    // served while it runs.
    ASSERT_TRUE(setter.Send(TestRequest().Header(6654).String("alice").String("a-new-password")));
    ASSERT_EQ(std::optional<int32_t>(0), kicker.Request(6680, TestRequest().String("0:0\n")));
    ASSERT_EQ(std::optional<int32_t>(0), kicker.RecvInt());
    ASSERT_TRUE(WaitForLog(server, "Finished processing message 6654"));
    const std::string log = server.Log().substr(logBefore);
    kickedWhileHashing = log.find("Finished processing message 6680") < log.find("Finished processing message 6654");
    if (!kickedWhileHashing) {
      // The hash won the race: set the password back and try again.
      ASSERT_EQ(std::optional<int32_t>(0), LoggedOn(server.Port(), kAdmin, kAdminPassword, 0x0103)
                                               .Request(6654, TestRequest().String("alice").String("pw")));
      continue;
    }
    EXPECT_TRUE(RefusedWithoutLogon(setter));
  }
  ASSERT_TRUE(kickedWhileHashing) << "the kick never came while the hash ran";
  EXPECT_EQ(0, TestClient::ConnectLoopback(server.Port()).Logon("alice", "pw", kClientID).code);
  EXPECT_EQ(0, server.Stop());
  EXPECT_TRUE(NoSanitizerReport(server));
}

}  // namespace
