// The running server against hostile clients and at its limits, over
// loopback: 500 logged-on clients and churn at the 501st, an urgent byte,
// thousands of requests with garbage arguments and a full disk, each
// followed by a good client that must still be answered. Every count is fixed and every wait
// bounded; the home is a throwaway one whose administrator has a cost-4 hash.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/crypto/password_hash.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace {

constexpr const char kAdmin[] = "administrator";
constexpr const char kAdminPassword[] = "quernstoneway";
constexpr int32_t kServerClientID = 70000;  // with the name "#" and the secret: the server logon
constexpr const char kServerSecret[] = "peer-secret-of-the-tests";

std::string CheapHash(const char* clear) {
  char setting[kPasswordFieldSize] = {};
  char hash[kPasswordFieldSize] = {};
  EXPECT_EQ(0, GenerateSalt(kBcryptMinCost, setting));
  EXPECT_EQ(0, HashPasswordWithSalt(clear, setting, hash));
  return hash;
}

// Initialises the server's home and gives the administrator a cost-4 hash of
// the same password, so hundreds of logons stay cheap; the server started
// next allows the server logon with kServerSecret.
void InitialiseCheapHome(ServerProcess& server) {
  ASSERT_EQ(0, setenv("TORVANE_SERVER_LOGON_SECRET", kServerSecret, 1));
  ASSERT_EQ(0, server.Initialise()) << server.LastRun();
  const std::string path = server.Home() + "users.xml";
  std::string users = ReadWholeFile(path);
  ASSERT_TRUE(ReplaceStoredPasswordHash(users, "administrator", CheapHash(kAdminPassword)));
  WriteWholeFile(path, users);
}

// Raises the open-file limit of this test program to what the clients need.
void AllowDescriptors(rlim_t wanted) {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < wanted) {
    lim.rlim_cur = std::min(wanted, lim.rlim_max);
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

// A logged-on client, or one that is not connected.
TestClient LoggedOn(const ServerProcess& server, const char* user, const char* password, int32_t clientID) {
  TestClient client = TestClient::ConnectLoopback(server.Port());
  if (!client.Connected()) return client;
  TestClient::LogonReply reply = client.Logon(user, password, clientID);
  if (!reply.received || reply.code != 0) client.Close();
  return client;
}

// The good client: logs on as the server logon and asks for the version.
::testing::AssertionResult AnswersAGoodClient(const ServerProcess& server) {
  TestClient good = TestClient::ConnectLoopback(server.Port());
  good.SetTimeoutMs(20000);
  TestClient::LogonReply reply = good.Logon("#", kServerSecret, kServerClientID);
  if (!reply.received || reply.code != 0) {
    return ::testing::AssertionFailure() << "the good client's logon failed: " << reply.code << "\n"
                                         << server.Log().substr(0, 4000);
  }
  if (good.Request(6628) != std::optional<int32_t>(0)) return ::testing::AssertionFailure() << "6628 refused";
  if (good.RecvInt() != std::optional<int32_t>(10)) return ::testing::AssertionFailure() << "no version word";
  return ::testing::AssertionSuccess();
}

// The clients whose connection the server has closed.
std::vector<size_t> ClosedClients(const std::vector<TestClient>& clients) {
  std::vector<pollfd> p;
  for (const TestClient& c : clients) p.push_back({c.Fd(), POLLIN, 0});
  std::vector<size_t> closed;
  if (poll(p.data(), p.size(), 0) < 0) return closed;
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i].revents & (POLLIN | POLLHUP | POLLERR)) closed.push_back(i);
  }
  return closed;
}

// Processor ticks (user and system) the process has used so far.
long ProcessTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

TEST(HostileClients, FiveHundredLoggedOnClientsAndChurnAtThe501st) {
  AllowDescriptors(1024);
  ServerProcess server;
  InitialiseCheapHome(server);
  ASSERT_TRUE(server.Start()) << server.Log();
  std::vector<TestClient> clients;
  for (int32_t i = 0; i < 500; ++i) {
    clients.push_back(LoggedOn(server, kAdmin, kAdminPassword, 100 + i));
    ASSERT_TRUE(clients.back().Connected()) << "logon " << i;
  }
  // Each newcomer takes the place of one connection (the one used longest
  // ago; the table's order among those used in the same second), and is
  // answered.
  constexpr int kChurn = 20;
  for (int round = 0; round < kChurn; ++round) {
    TestClient newcomer = LoggedOn(server, kAdmin, kAdminPassword, 1000 + round);
    ASSERT_TRUE(newcomer.Connected()) << "newcomer " << round;
    ASSERT_EQ(std::optional<int32_t>(0), newcomer.Request(6628)) << round;
    ASSERT_EQ(std::optional<int32_t>(10), newcomer.RecvInt()) << round;
    clients.push_back(std::move(newcomer));
    size_t closed = 0;
    for (int wait = 0; wait < 100 && (closed = ClosedClients(clients).size()) < size_t(round) + 1; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(size_t(round) + 1, closed) << "connections closed after newcomer " << round;
  }
  // Every client still open is answered.
  std::vector<size_t> closed = ClosedClients(clients);
  for (size_t i = 0; i < clients.size(); i += 25) {
    if (std::find(closed.begin(), closed.end(), i) != closed.end()) continue;
    ASSERT_EQ(std::optional<int32_t>(0), clients[i].Request(6628)) << i;
    EXPECT_EQ(std::optional<int32_t>(10), clients[i].RecvInt()) << i;
  }
  EXPECT_EQ(0, server.Stop()) << server.Log();
}

TEST(HostileClients, AnUrgentByteDoesNotSpinTheLoop) {
  ServerProcess server;
  InitialiseCheapHome(server);
  ASSERT_TRUE(server.Start()) << server.Log();
  TestClient urgent = LoggedOn(server, kAdmin, kAdminPassword, 7);
  ASSERT_TRUE(urgent.Connected());
  // Urgent data is read in the stream: the last byte of a request header
  // sent as urgent completes the request, which is answered.
  const TestBytes header = TestRequest().Header(6628).Bytes();
  ASSERT_TRUE(urgent.Send(TestBytes(header.begin(), header.end() - 1)));
  ASSERT_EQ(1, send(urgent.Fd(), &header.back(), 1, MSG_OOB | MSG_NOSIGNAL));
  ASSERT_EQ(std::optional<int32_t>(0), urgent.RecvInt());
  ASSERT_EQ(std::optional<int32_t>(10), urgent.RecvInt());
  ASSERT_TRUE(AnswersAGoodClient(server));
  // With the urgent mark behind it and nothing else arriving, the server
  // waits instead of polling in a busy loop: over a second it uses a small
  // part of one.
  const long before = ProcessTicks(server.Pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const long used = ProcessTicks(server.Pid()) - before;
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 4) << "ticks used while idle after an urgent byte";
  // The connection with the urgent byte still works.
  ASSERT_EQ(std::optional<int32_t>(0), urgent.Request(6628));
  EXPECT_EQ(std::optional<int32_t>(10), urgent.RecvInt());
  EXPECT_TRUE(AnswersAGoodClient(server));
  EXPECT_EQ(0, server.Stop()) << server.Log();
}

// Every message ID with a handler, each family's, but 6679: closing idle
// connections is an administrator's order, and a garbage age ("M0", say)
// closes every other connection not used this second, which may be the next
// good client's.
constexpr int32_t kHandledIDs[] = {
    6004, 6662, 6677, 6678, 6680, 6685, 6500, 6501, 6502, 6503, 6504, 6505, 6506, 6507,
    6508, 6607, 6608, 6609, 6610, 6611, 6612, 6613, 6654, 6614, 6615, 6616, 6617, 6618, 6619,
    6620, 6621, 6622, 6623, 6624, 6642, 6643, 6644, 6645, 6646, 6647, 6653, 6656, 6657, 6675,
    6676, 6625, 6626, 6629, 6630, 6636, 6666, 6667, 6668, 6669, 6670, 6671, 6673, 6683, 6684,
    6631, 6632, 6633, 6634, 6635, 6606, 6627, 6628, 6663, 6665};

// Garbage arguments: random words, lengths near the bounds, short strings
// and raw bytes, in a random mix (seeded, so a failure repeats).
TestRequest GarbageArguments(std::mt19937& rng) {
  TestRequest req;
  const int pieces = static_cast<int>(rng() % 6);
  for (int i = 0; i < pieces; ++i) {
    switch (rng() % 5) {
      case 0: req.Int(static_cast<int32_t>(rng())); break;
      case 1: {
        static const int32_t kLengths[] = {-1, 0, 1, 2, 255, 256, 2048, 65536, 0x7FFFFFFF, INT32_MIN};
        req.Int(kLengths[rng() % std::size(kLengths)]);
        break;
      }
      case 2: {
        std::string text(rng() % 12, 'a');
        for (char& c : text) c = static_cast<char>(rng() % 256);
        req.String(text);
        break;
      }
      case 3: req.Int(static_cast<int32_t>(rng() % 8)); break;
      default: {
        TestBytes raw(rng() % 24);
        for (unsigned char& b : raw) b = static_cast<unsigned char>(rng());
        req.Raw(raw);
        break;
      }
    }
  }
  return req;
}

TEST(HostileClients, TenThousandGarbageRequestsLeaveTheServerAnsweringTheNextGoodClient) {
  AllowDescriptors(1024);
  ServerProcess server;
  InitialiseCheapHome(server);
  ASSERT_TRUE(server.Start()) << server.Log();
  std::mt19937 rng(20261210);
  constexpr int kRequests = 10000;
  constexpr int kPerConnection = 5;
  int sent = 0;
  for (int conn = 0; sent < kRequests; ++conn) {
    // Each garbage connection is a logged-on one (the server logon, or the
    // administrator now and then), so its requests reach the handlers; the
    // good client uses the server logon, which no request can take away.
    TestClient garbage = conn % 10 == 0 ? LoggedOn(server, kAdmin, kAdminPassword, 200 + conn % 50)
                                        : LoggedOn(server, "#", kServerSecret, kServerClientID);
    if (!garbage.Connected()) {
      const std::string log = server.Log();
      FAIL() << "garbage connection " << conn << " not logged on\n" << log.substr(log.size() > 6000 ? log.size() - 6000 : 0);
    }
    TestRequest burst;
    for (int i = 0; i < kPerConnection && sent < kRequests; ++i, ++sent) {
      burst.Header(kHandledIDs[rng() % std::size(kHandledIDs)]);
      burst.Raw(GarbageArguments(rng).Bytes());
    }
    garbage.Send(burst);
    garbage.Close();
    if (conn % 200 == 199) {
      ASSERT_TRUE(AnswersAGoodClient(server)) << "after " << sent << " requests";
    }
  }
  EXPECT_TRUE(AnswersAGoodClient(server));
  const int stopped = server.Stop();
  EXPECT_EQ(0, stopped) << server.Log().substr(0, 4000);
}

// Sets the file-size limit of the running server (0: every write to a file
// fails, as on a full disk; RLIM_INFINITY: none).
bool SetServerFileSizeLimit(pid_t pid, rlim_t bytes) {
  rlimit lim{};
  if (prlimit(pid, RLIMIT_FSIZE, nullptr, &lim) != 0) return false;
  lim.rlim_cur = bytes;
  return prlimit(pid, RLIMIT_FSIZE, &lim, nullptr) == 0;
}

TEST(HostileClients, OnAFullDiskSavesFailAndTheServerKeepsAnswering) {
  ServerProcess server;
  InitialiseCheapHome(server);
  // The server ignores SIGXFSZ only if told so; a full disk never raises it,
  // so the test keeps it away from the server the same way.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction old {};
  sigaction(SIGXFSZ, &ignore, &old);
  const bool started = server.Start();
  sigaction(SIGXFSZ, &old, nullptr);
  ASSERT_TRUE(started) << server.Log();
  TestClient c = LoggedOn(server, "#", kServerSecret, kServerClientID);
  ASSERT_TRUE(c.Connected());
  const std::string envXML = server.Home() + "env.xml";
  const std::string before = ReadWholeFile(envXML);

  ASSERT_TRUE(SetServerFileSizeLimit(server.Pid(), 0));
  ASSERT_EQ(std::optional<int32_t>(0), c.Request(6615, TestRequest().String("Full")));
  const std::optional<int32_t> code = c.RecvInt();
  ASSERT_TRUE(code.has_value());
  EXPECT_NE(0, *code) << "a save on a full disk reported success";
  EXPECT_EQ(before, ReadWholeFile(envXML));
  for (const auto& entry : std::filesystem::directory_iterator(server.Home())) {
    EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".tmp")) << entry.path();
  }
  EXPECT_TRUE(AnswersAGoodClient(server));

  ASSERT_TRUE(SetServerFileSizeLimit(server.Pid(), RLIM_INFINITY));
  ASSERT_EQ(std::optional<int32_t>(0), c.Request(6615, TestRequest().String("Roomy")));
  EXPECT_EQ(std::optional<int32_t>(0), c.RecvInt());
  const std::string after = ReadWholeFile(envXML);
  // The environment whose save failed stayed in memory, so this save writes it too.
  EXPECT_NE(std::string::npos, after.find("<Roomy>")) << after;
  EXPECT_EQ(0, server.Stop()) << server.Log();
}

}  // namespace
