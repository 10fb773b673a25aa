// Wire-level tests of directory logons against a directory that hangs: the
// real server in a new home, its LDAP over TLS pointed at a loopback socket
// that accepts and never answers, or answers a byte at a time. Each bind
// ends within its time-out, answered as a directory that cannot be reached;
// binds take none of the workers that password checks need, and one address
// has two in flight at most; the stop ends within 5 s with binds in flight.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/bound_loopback_client.h"
#include "support/cheap_home.h"
#include "support/hung_directory.h"
#include "support/server_process.h"
#include "support/stored_directory.h"
#include "support/test_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int32_t kClientID = 0x100;
constexpr int kBindTimeOutSeconds = 10;  // the server's deadline of a whole bind
constexpr int32_t kUnreachable = 2;      // the answer of a directory that cannot be reached

class HungDirectoryLogons : public ::testing::TestWithParam<HungDirectory::Kind> {
 protected:
  HungDirectory directory{GetParam()};
  ServerProcess server;

  // A new home with the directory user dirk, the server's LDAP over TLS on
  // the hung directory.
  void SetUp() override {
    ASSERT_GT(directory.Port(), 0);
    std::string failed;
    ASSERT_TRUE(PrepareCheapHome(server, &failed)) << failed;
    std::string dirk = StoredUserFile("00002002", "dirk", 0, "", "");
    const std::string internal = "<ADUSER>0</ADUSER>";
    dirk.replace(dirk.find(internal), internal.size(), "<ADUSER>1</ADUSER>");
    ASSERT_TRUE(server.AddStoredUser("00002002", "dirk", dirk));
    setenv("TORVANE_LDAPS_URI", directory.SecureURI().c_str(), 1);
    ASSERT_TRUE(server.Restart()) << server.Log();
  }
  void TearDown() override { unsetenv("TORVANE_LDAPS_URI"); }

  // A connection from `address` that sends dirk's directory logon (type 2)
  // and does not wait for the answer.
  TestClient SendDirectoryLogon(const char* address) {
    TestClient c = ConnectLoopbackFrom(address, server.Port());
    EXPECT_TRUE(c.Connected());
    c.SetTimeoutMs((kBindTimeOutSeconds + 10) * 1000);
    EXPECT_TRUE(c.Send(TestRequest().LogonHeader(kClientID, kTokADUserPassword, CredentialToken("dirk", "dirk-pw"))));
    return c;
  }

  // Waits until the directory has accepted `count` connections.
  bool AwaitDirectoryConnections(int count) {
    for (int i = 0; i < 500 && directory.Accepted() < count; ++i) std::this_thread::sleep_for(milliseconds(10));
    return directory.Accepted() >= count;
  }
};

// The bind is answered as a directory that cannot be reached once its
// deadline passes, whatever the directory does meanwhile.
TEST_P(HungDirectoryLogons, ABindEndsWithinItsTimeOut) {
  const auto before = Clock::now();
  TestClient logon = SendDirectoryLogon("127.0.0.2");
  EXPECT_EQ(std::optional<int32_t>(kUnreachable), logon.RecvInt());
  const auto took = Clock::now() - before;
  std::printf("a bind against a directory that %s: answered after %.2f s\n",
              GetParam() == HungDirectory::kSilent ? "never answers" : "answers a byte at a time",
              std::chrono::duration<double>(took).count());
  EXPECT_GE(took, std::chrono::seconds(kBindTimeOutSeconds - 1));
  EXPECT_LT(took, std::chrono::seconds(kBindTimeOutSeconds + 3));
  EXPECT_NE(std::string::npos, server.Log().find("ADUPLogin:The directory did not answer"));
}

// Eight binds in flight, two from each of four addresses, and a third from
// one of them refused at once; an ordinary password logon from another
// address is answered within a second beside them.
TEST_P(HungDirectoryLogons, AnOrdinaryLogonIsAnsweredBesideEightHungBinds) {
  std::vector<TestClient> binds;
  for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
    for (int i = 0; i < 2; ++i) binds.push_back(SendDirectoryLogon(address));
  }
  ASSERT_TRUE(AwaitDirectoryConnections(8));
  const auto third = Clock::now();
  TestClient refused = SendDirectoryLogon("127.0.0.2");
  EXPECT_EQ(std::optional<int32_t>(kUnreachable), refused.RecvInt());
  EXPECT_LT(Clock::now() - third, milliseconds(1000));
  TestClient other = ConnectLoopbackFrom("127.0.0.6", server.Port());
  const auto before = Clock::now();
  EXPECT_EQ(0, other.Logon(kCheapHomeAdmin, kCheapHomeAdminPassword, kClientID).code);
  const auto took = Clock::now() - before;
  std::printf("an ordinary logon beside 8 hung binds: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
  EXPECT_LT(took, milliseconds(1000));
  for (TestClient& c : binds) EXPECT_EQ(std::optional<int32_t>(kUnreachable), c.RecvInt());
}

// SIGTERM with eight binds in flight: the server has exited, cleanly,
// within five seconds.
TEST_P(HungDirectoryLogons, TheStopEndsWithinFiveSecondsWithBindsInFlight) {
  std::vector<TestClient> binds;
  for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}) {
    for (int i = 0; i < 2; ++i) binds.push_back(SendDirectoryLogon(address));
  }
  ASSERT_TRUE(AwaitDirectoryConnections(8));
  // The fixture's stop (SIGTERM, then the wait for the exit) on a thread of
  // its own, so that a server that does not end is killed after 20 s and
  // the test fails rather than hangs.
  const pid_t pid = server.Pid();
  const auto before = Clock::now();
  std::atomic<bool> stopped{false};
  int status = -2;
  std::thread stopper([&] {
    status = server.Stop();
    stopped = true;
  });
  while (!stopped && Clock::now() - before < std::chrono::seconds(20)) std::this_thread::sleep_for(milliseconds(10));
  const auto took = Clock::now() - before;
  if (!stopped) kill(pid, SIGKILL);  // not reaped yet: the pid is still the server's
  stopper.join();
  std::printf("the stop with 8 binds in flight: %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(0, status) << "a clean exit";
  for (TestClient& c : binds) EXPECT_TRUE(c.PeerClosed());
}

INSTANTIATE_TEST_SUITE_P(Directories, HungDirectoryLogons,
                         ::testing::Values(HungDirectory::kSilent, HungDirectory::kByteAtATime),
                         [](const ::testing::TestParamInfo<HungDirectory::Kind>& info) {
                           return info.param == HungDirectory::kSilent ? std::string("NeverAnswers")
                                                                       : std::string("AnswersAByteAtATime");
                         });

}  // namespace
