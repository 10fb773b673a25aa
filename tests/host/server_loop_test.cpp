// The server loop over socket pairs with stand-ins for the request reader,
// the dispatcher and the logoff: making room at MAX_CONNECTIONS, the request
// reader's statuses, removal during the walk, and the time-out of a stalled
// or dribbling client.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "foundation/log/ring_log.h"
#include "foundation/wire/wire.h"
#include "host/server_loop.h"
#include "platform/clock.h"
#include "platform/net_listener.h"
#include "sessions/logon_slots.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

namespace {

struct Calls {
  std::vector<int> getCommandSockets;
  std::vector<int32_t> dispatched;
  std::vector<uint32_t> loggedOff;
  int statusToGive = 0;
  int sanityChecks = 0;
};
Calls g_calls;

int FakeGetCommand(ConnectionRecord* c, int32_t* messageID) {
  g_calls.getCommandSockets.push_back(c->socket);
  *messageID = 6628;
  return g_calls.statusToGive;
}

int FakeProcessMessage(int32_t messageID, int, int index) {
  g_calls.dispatched.push_back(messageID);
  return index;
}

int FakeLogoff(uint32_t logonUID, uint32_t, int32_t) {
  g_calls.loggedOff.push_back(logonUID);
  return 0;
}

void FakeSanity() { ++g_calls.sanityChecks; }

// A request reader that reads the 12-byte header with the wire primitives, as
// the real one does, so the transfer bound applies to its reads.
int WireHeaderGetCommand(ConnectionRecord* c, int32_t* messageID) {
  int32_t words[3];
  for (int32_t& w : words) {
    if (RecvInt(c->socket, &w) != 4) return 4;
  }
  *messageID = words[0];
  g_calls.getCommandSockets.push_back(c->socket);
  return 0;
}

class LoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls = Calls{};
    LoopServices s;
    s.getCommand = FakeGetCommand;
    s.processMessage = FakeProcessMessage;
    s.doLogoff = FakeLogoff;
    s.sanityCheckTokens = FakeSanity;
    SetLoopServices(s);
    ResetConnectionTable();
    ClearStopRequest();
    SetConnectionTimeOutMs(0);
    WriteWholeFile(dir_.File("log"), "");
    SetLogTeeFileName(dir_.File("log").c_str());
  }
  void TearDown() override {
    SetLogTeeFileName(nullptr);
    for (int i = 0; i < GetConnectionCount(); ++i) close(GetConnectionByIndex(i)->socket);
    ResetConnectionTable();
    for (int fd : peers_) close(fd);
    ClearClockOverride();
  }
  // A connection whose server end is in the table; its client end returned.
  int AddPair(uint32_t logonUID = 0, int keepLogon = 0) {
    int sv[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    int at = AppendConnection(sv[0], "peer");
    EXPECT_GE(at, 0);
    GetConnectionByIndex(at)->logonUID = logonUID;
    GetConnectionByIndex(at)->keepLogon = keepLogon;
    peers_.push_back(sv[1]);
    return sv[1];
  }
  std::string Log() { return ReadWholeFile(dir_.File("log")); }
  TempDir dir_;
  std::vector<int> peers_;
};

// ---- Making room at MAX_CONNECTIONS ----------------------------------------------------

struct OldestCase {
  const char* name;
  int serverEntries;    // the first n entries are server connections
  bool usedNow;         // every entry used at `now` (else never used: 0)
  int oldIndex;         // -1, or the one entry used long ago
  bool loggedOn;        // every entry carries a logon that a slot holds
  int withoutLogon;     // -1, or the one entry without a logon (used now)
  int expected;
};

// A logon of the slot table, as connections carry it: its logon UID.
uint32_t LiveLogon() {
  int failReason = 0;
  LUS* slot = GetNewLogonSlot(70000, "#loop", nullptr, &failReason);
  EXPECT_NE(slot, nullptr);
  return slot != nullptr ? slot->logonUID : 0;
}

TEST_F(LoopTest, FindOldestClientConnectionTable) {
  const uint32_t now = 1700000000;
  const OldestCase cases[] = {
      {"none ever used: entry 0", 0, false, -1, false, -1, 0},
      {"oldest at index 7", 0, true, 7, false, -1, 7},
      // Without a logon, even a connection of this second goes first.
      {"every connection used this second, none logged on", 0, true, -1, false, -1, 0},
      {"500 server connections", MAX_CONNECTIONS, false, -1, false, -1, -1},
      {"every connection logged on and used this second", 0, true, -1, true, -1, -1},
      {"every connection logged on, the oldest at index 7", 0, true, 7, true, -1, 7},
      {"the one without a logon before the oldest logon", 0, true, 7, true, 300, 300},
      {"a logon whose slot is gone is none", 0, true, 7, true, 7, 7},
  };
  for (const auto& tc : cases) {
    ResetConnectionTable();
    ResetLogonSlots();
    const uint32_t live = tc.loggedOn ? LiveLogon() : 0;
    for (int i = 0; i < MAX_CONNECTIONS; ++i) {
      ASSERT_EQ(i, AppendConnection(1000 + i, nullptr));
      ConnectionRecord& c = *GetConnectionByIndex(i);
      c.serverConnection = i < tc.serverEntries ? 1 : 0;
      c.lastUsed = tc.usedNow ? now : 0;
      if (i == tc.oldIndex) c.lastUsed = now - 100;
      c.logonUID = live;
      if (i == tc.withoutLogon) c.logonUID = tc.withoutLogon == tc.oldIndex ? live + 1000 : 0;
    }
    EXPECT_EQ(tc.expected, FindOldestClientConnection(now)) << tc.name;
  }
  ResetConnectionTable();
  ResetLogonSlots();
}

TEST_F(LoopTest, TiesGoToTheLowerIndexAndServerConnectionsAreNeverTaken) {
  const uint32_t now = 1700000000;
  uint32_t used[] = {now - 5, now - 9, now - 9, now - 20};
  int server[] = {0, 0, 0, 1};
  for (int i = 0; i < 4; ++i) {
    AppendConnection(2000 + i, nullptr);
    GetConnectionByIndex(i)->lastUsed = used[i];
    GetConnectionByIndex(i)->serverConnection = server[i];
  }
  EXPECT_EQ(1, FindOldestClientConnection(now));
  ResetConnectionTable();
}

TEST_F(LoopTest, TheKickEndsTheLogonEvenWhenKeptAndTheNewEntryTakesTheLastIndex) {
  SetClockOverride(1700000000);
  std::vector<int> clients;
  for (int i = 0; i < MAX_CONNECTIONS; ++i) clients.push_back(AddPair(100 + i, 1));
  for (int i = 0; i < MAX_CONNECTIONS; ++i) GetConnectionByIndex(i)->lastUsed = 1700000000;
  GetConnectionByIndex(3)->lastUsed = 1600000000;
  const int kicked = GetConnectionByIndex(3)->socket;
  MakeRoomForConnection();
  ASSERT_EQ(MAX_CONNECTIONS - 1, GetConnectionCount());
  EXPECT_EQ(std::vector<uint32_t>{103}, g_calls.loggedOff);
  EXPECT_EQ(-1, FindConnectionIndexBySocket(kicked));
  char b;
  EXPECT_EQ(0, read(clients[3], &b, 1)) << "the kicked socket is closed";
  int sv[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  peers_.push_back(sv[1]);
  AddConnection(kFamilyIPv4, "127.0.0.1", sv[0]);
  EXPECT_EQ(MAX_CONNECTIONS - 1, FindConnectionIndexBySocket(sv[0]));
  EXPECT_STREQ("127.0.0.1", GetConnectionByIndex(MAX_CONNECTIONS - 1)->peerAddress);
  std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("At MAX_CONNECTIONS: Will try to kick oldest"));
  EXPECT_NE(std::string::npos, log.find("MAX_CONNECTIONS:Kicking connection last used 100000000 seconds ago, for client 0 that has no logonUID or matched user"));
  EXPECT_NE(std::string::npos, log.find("IPv4 connection received on 127.0.0.1"));
}

TEST_F(LoopTest, NoClientToKickTakesEntryZero) {
  SetClockOverride(1700000000);
  ResetLogonSlots();
  const uint32_t live = LiveLogon();
  for (int i = 0; i < MAX_CONNECTIONS; ++i) AddPair(live);
  for (int i = 0; i < MAX_CONNECTIONS; ++i) GetConnectionByIndex(i)->lastUsed = 1700000000;
  const int first = GetConnectionByIndex(0)->socket;
  MakeRoomForConnection();
  EXPECT_EQ(-1, FindConnectionIndexBySocket(first));
  EXPECT_NE(std::string::npos, Log().find("MAX_CONNECTIONS reached, but no non server connections found"));
  ResetLogonSlots();
}

// ---- The request reader's statuses -------------------------------------------------------

struct StatusCase {
  int status;
  bool keepLogon;
  bool stays;
  bool dispatched;
  bool loggedOff;
  bool banner;
  const char* line;  // expected in the log, or null
};

TEST_F(LoopTest, RequestReaderStatusesTable) {
  const StatusCase cases[] = {
      {0, false, true, true, false, false, "GetCommand:Returned status 0"},
      {27, false, true, false, false, false, nullptr},
      {4, false, false, false, true, true, "Comm failure on socket"},
      {4, true, false, false, false, true, "Comm failure on socket"},
      {55, false, false, false, true, false, nullptr},
      {32, false, true, false, false, false, "GetCommand returned status 32 : "},
      {2, false, true, false, false, false, "GetCommand returned status 2 : "},
  };
  for (const auto& tc : cases) {
    SetUp();
    AddPair(77, tc.keepLogon ? 1 : 0);
    const int sock = GetConnectionByIndex(0)->socket;
    g_calls.statusToGive = tc.status;
    SetSocketReadyForTest(sock, kReadyRead);
    int next = ProcessConnection(0);
    SetSocketReadyForTest(sock, 0);
    std::string what = "status " + std::to_string(tc.status) + (tc.keepLogon ? " kept" : "");
    EXPECT_EQ(tc.stays ? 0 : -1, next) << what;
    EXPECT_EQ(tc.stays ? 1 : 0, GetConnectionCount()) << what;
    EXPECT_EQ(tc.dispatched ? 1u : 0u, g_calls.dispatched.size()) << what;
    EXPECT_EQ(tc.loggedOff ? 1u : 0u, g_calls.loggedOff.size()) << what;
    std::string log = Log();
    EXPECT_EQ(tc.banner, log.find("**************************") != std::string::npos) << what;
    if (tc.line != nullptr) {
      EXPECT_NE(std::string::npos, log.find(tc.line)) << what << "\n" << log;
    }
    TearDown();
    peers_.clear();
  }
}

TEST_F(LoopTest, ASocketNotReportedReadyIsNotRead) {
  AddPair();
  EXPECT_EQ(0, ProcessConnection(0));
  EXPECT_TRUE(g_calls.getCommandSockets.empty());
}

// ---- The walk ---------------------------------------------------------------------------------

// An unknown message on entry 0: the dispatcher closes and removes it and
// gives index - 1; the entry moved into its place is served in the same pass.
int RemovingProcessMessage(int32_t messageID, int sock, int index) {
  g_calls.dispatched.push_back(messageID);
  if (g_calls.dispatched.size() == 1) {
    close(sock);
    RemoveConnection(index);
    return index - 1;
  }
  return index;
}

TEST_F(LoopTest, AnEntryRemovedByTheDispatcherIsReplacedAndTheMovedEntryServedInTheSamePass) {
  LoopServices s = GetLoopServices();
  s.processMessage = RemovingProcessMessage;
  SetLoopServices(s);
  std::vector<int> clients = {AddPair(5), AddPair(6), AddPair(7)};
  const int last = GetConnectionByIndex(2)->socket;
  for (int c : clients) ASSERT_EQ(1, write(c, "x", 1));
  ASSERT_TRUE(RunOnePass(1000));
  EXPECT_EQ(3u, g_calls.getCommandSockets.size());
  EXPECT_EQ(last, g_calls.getCommandSockets[1]) << "the last entry moved into index 0 and was served next";
  EXPECT_EQ(2, GetConnectionCount());
  EXPECT_TRUE(g_calls.loggedOff.empty()) << "the dispatcher's removal keeps the logon";
}

TEST_F(LoopTest, BusyPassesCountTowardsTheSanityCheckAndIdleOnesDoNot) {
  int client = AddPair();
  const int32_t before = GetPassCount();
  ASSERT_TRUE(RunOnePass(0));
  EXPECT_EQ(before, GetPassCount()) << "nothing ready";
  g_calls.statusToGive = 27;
  ASSERT_EQ(1, write(client, "x", 1));
  ASSERT_TRUE(RunOnePass(1000));
  EXPECT_EQ(before + 1, GetPassCount());
}

TEST_F(LoopTest, AStopWakesTheWaitAndEndsThePass) {
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ServiceStop();
  });
  // One wait of the full 10 seconds: the stop event must end it at once.
  auto start = std::chrono::steady_clock::now();
  RunOnePass(kPollTimeoutMs);
  stopper.join();
  EXPECT_FALSE(RunOnePass(0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// ---- Accepted sockets ------------------------------------------------------------------------

// A connected loopback TCP pair through the platform's listener steps: the
// accepted end is added as the loop adds it; the client end is returned.
int AcceptLoopbackPair(int* acceptedOut) {
  int lfd = CreateStreamSocket(kFamilyIPv4);
  EXPECT_GE(lfd, 0);
  EXPECT_EQ(0, BindAnyAddress(lfd, kFamilyIPv4, 0));
  EXPECT_EQ(0, ListenSocket(lfd, 5));
  int port = GetBoundPort(lfd);
  int cfd = ConnectLoopback(port);
  EXPECT_GE(cfd, 0);
  AcceptedPeer peer;
  EXPECT_TRUE(AcceptConnectionSocket(lfd, peer));
  CloseSocket(lfd);
  *acceptedOut = peer.fd;
  return cfd;
}

int IntOption(int fd, int level, int name) {
  int v = 0;
  socklen_t len = sizeof v;
  getsockopt(fd, level, name, &v, &len);
  return v;
}

TEST_F(LoopTest, EveryAcceptedSocketGetsItsOptionsExplicitly) {
  SetConnectionTimeOutMs(30000);
  int accepted = -1;
  int client = AcceptLoopbackPair(&accepted);
  peers_.push_back(client);
  AddConnection(kFamilyIPv4, "127.0.0.1", accepted);
  EXPECT_NE(0, IntOption(accepted, IPPROTO_TCP, TCP_NODELAY));
  EXPECT_NE(0, IntOption(accepted, SOL_SOCKET, SO_OOBINLINE));
  timeval tv{};
  socklen_t len = sizeof tv;
  ASSERT_EQ(0, getsockopt(accepted, SOL_SOCKET, SO_RCVTIMEO, &tv, &len));
  EXPECT_EQ(30, tv.tv_sec);
  ASSERT_EQ(0, getsockopt(accepted, SOL_SOCKET, SO_SNDTIMEO, &tv, &len));
  EXPECT_EQ(30, tv.tv_sec);
}

int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(LoopTest, UrgentDataIsLoggedOncePerConnection) {
  g_calls.statusToGive = 27;  // the request reader reads nothing: the byte stays pending
  int accepted = -1;
  int client = AcceptLoopbackPair(&accepted);
  peers_.push_back(client);
  AddConnection(kFamilyIPv4, "127.0.0.1", accepted);
  ASSERT_EQ(1, send(client, "!", 1, MSG_OOB));
  for (int pass = 0; pass < 5; ++pass) ASSERT_TRUE(RunOnePass(1000));
  EXPECT_EQ(5u, g_calls.getCommandSockets.size()) << "the urgent byte reads as a stream byte";
  EXPECT_EQ(1, CountOf(Log(), "appeared in errset")) << Log();
}

// Out of descriptors: accept fails with EMFILE once, is logged once, and the
// listener leaves the wait (no spinning) until a connection closes.
TEST_F(LoopTest, OutOfDescriptorsPausesTheListenerUntilAConnectionCloses) {
  g_calls.statusToGive = 4;  // a request from the table's connection closes it
  ASSERT_EQ(0, OpenListenerSocket(0));
  const int port = GetListenerPort();
  int tableClient = AddPair();
  std::vector<int> waiting;
  for (int i = 0; i < 3; ++i) {
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    waiting.push_back(fd);
  }
  // The log file cannot be opened without a descriptor either: read the
  // lines of the passes from standard error, sent to a file opened now.
  fflush(stderr);
  int savedErr = dup(2);
  int errFile = open(dir_.File("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(errFile, 0);
  dup2(errFile, 2);
  close(errFile);
  // The next descriptor number is the lowest free one: allow none beyond it.
  int probe = dup(0);
  ASSERT_GE(probe, 0);
  close(probe);
  rlimit old{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(probe);
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &low));
  for (int pass = 0; pass < 3; ++pass) ASSERT_TRUE(RunOnePass(100));
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &old));
  fflush(stderr);
  dup2(savedErr, 2);
  close(savedErr);
  std::string err = ReadWholeFile(dir_.File("stderr"));
  EXPECT_EQ(1, CountOf(err, "Failed to accept incoming connection.  Errno=24")) << err;
  EXPECT_EQ(1, GetConnectionCount());
  // The table's connection sends a request and is closed: accepting resumes.
  ASSERT_EQ(1, write(tableClient, "x", 1));
  ASSERT_TRUE(RunOnePass(1000));
  EXPECT_EQ(0, GetConnectionCount());
  for (int pass = 0; pass < 3 && GetConnectionCount() < 3; ++pass) ASSERT_TRUE(RunOnePass(1000));
  EXPECT_NE(std::string::npos, Log().find("Accepting connections again"));
  EXPECT_EQ(3, GetConnectionCount());
  StopServer();
  for (int fd : waiting) close(fd);
}

// ---- Time-out ------------------------------------------------------------------------------------

TEST(TimeOutRule, SecondsToMilliseconds) {
  const struct {
    uint32_t seconds, ms;
  } cases[] = {{0, 0}, {1, 10000}, {5, 10000}, {9, 10000}, {10, 10000}, {30, 30000}, {4294968, 704}};
  for (const auto& c : cases) EXPECT_EQ(c.ms, TimeOutSecondsToMs(c.seconds)) << c.seconds;
}

// A stalled and a dribbling client each hold a request in progress; neither
// holds up the good client, whose request is served in the very pass that
// finds it, while they are closed once their bound runs out.
TEST_F(LoopTest, StalledAndDribblingClientsAreClosedWhileAnotherIsServed) {
  LoopServices s = GetLoopServices();
  s.getCommand = WireHeaderGetCommand;
  SetLoopServices(s);
  SetConnectionTimeOutMs(300);
  int stalled = AddPair(1);
  int dribbler = AddPair(2);
  int good = AddPair(3);
  const int goodSock = GetConnectionByIndex(2)->socket;
  ASSERT_EQ(5, write(stalled, "\x5c\x19\0\0\0", 5));
  std::atomic<bool> done{false};
  std::thread drip([&] {
    for (int i = 0; i < 40 && !done; ++i) {
      // The server closes its end once the bound runs out.
      if (send(dribbler, "\0", 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  unsigned char header[12] = {0xA4, 0x19, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const auto start = std::chrono::steady_clock::now();
  auto slowest = std::chrono::steady_clock::duration::zero();
  size_t served = 0;
  while (GetConnectionCount() > 1 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
    ASSERT_EQ(12, write(good, header, 12));
    const auto before = std::chrono::steady_clock::now();
    // Passes until the good request is served: it is ready now, so the
    // first pass that serves it comes without waiting on the others.
    while (g_calls.dispatched.size() == served) ASSERT_TRUE(RunOnePass(1000));
    served = g_calls.dispatched.size();
    slowest = std::max(slowest, std::chrono::steady_clock::now() - before);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  done = true;
  drip.join();
  ASSERT_EQ(1, GetConnectionCount());
  EXPECT_EQ(goodSock, GetConnectionByIndex(0)->socket);
  EXPECT_GT(served, 10u);
  EXPECT_LT(slowest, std::chrono::milliseconds(250)) << "a good request waited on a stalled one";
  for (int32_t id : g_calls.dispatched) EXPECT_EQ(6564, id);
  EXPECT_EQ(2u, g_calls.loggedOff.size());
}

// A dispatcher that reads a 4-byte argument and answers it back after a 0.
int EchoArgumentMessage(int32_t messageID, int sock, int index) {
  g_calls.dispatched.push_back(messageID);
  int32_t argument = 0;
  if (RecvInt(sock, &argument) == 4) {
    SendInt(sock, int32_t{0});
    SendInt(sock, argument);
  }
  return index;
}

// The loop over the wire header reader and `dispatch`, with a time-out.
void UseWireHeaderWith(int (*dispatch)(int32_t messageID, int sock, int index)) {
  LoopServices s = GetLoopServices();
  s.getCommand = WireHeaderGetCommand;
  s.processMessage = dispatch;
  SetLoopServices(s);
  SetConnectionTimeOutMs(2000);
}

// A client that sends its next request before the reply to the last one
// (two requests in one segment) gets both answered: the second request,
// already received with the first, is served in the next pass without the
// socket becoming readable again.
TEST_F(LoopTest, TwoRequestsInOneSegmentAreBothServed) {
  UseWireHeaderWith(EchoArgumentMessage);
  int client = AddPair(1);
  const unsigned char two[] = {0xA4, 0x19, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0, 0, 0,
                               0xA5, 0x19, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x22, 0, 0, 0};
  ASSERT_EQ(static_cast<ssize_t>(sizeof two), write(client, two, sizeof two));
  for (int pass = 0; pass < 2; ++pass) ASSERT_TRUE(RunOnePass(2000));
  EXPECT_EQ((std::vector<int32_t>{6564, 6565}), g_calls.dispatched);
  unsigned char replies[16] = {};
  timeval wait{3, 0};  // a missing reply fails the test rather than hanging it
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  ASSERT_EQ(16, recv(client, replies, sizeof replies, MSG_WAITALL));
  const unsigned char expected[16] = {0, 0, 0, 0, 0x11, 0, 0, 0, 0, 0, 0, 0, 0x22, 0, 0, 0};
  EXPECT_EQ(0, std::memcmp(expected, replies, sizeof replies));
  EXPECT_EQ(0u, GetConnectionByIndex(0)->inputCarry.length);
}

// A dispatcher that reads a 4-byte argument and answers nothing (as 6662 does).
int SilentArgumentMessage(int32_t messageID, int sock, int index) {
  g_calls.dispatched.push_back(messageID);
  int32_t argument = 0;
  (void)RecvInt(sock, &argument);
  return index;
}

// A request that waits for its argument and ends without a reply when the
// pass finds its socket readable: the readiness it took is not taken again
// for a new request, so the connection is polled for its next header with no
// request waiting on it (one would hold a task, and fall to the time-out of a
// request if the client said nothing more for a while).
TEST_F(LoopTest, ARequestResumedByItsSocketLeavesNoRequestBehind) {
  UseWireHeaderWith(SilentArgumentMessage);
  int client = AddPair(1);
  const unsigned char header[12] = {0x06, 0x1A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(12, write(client, header, sizeof header));
  ASSERT_TRUE(RunOnePass(2000));
  ASSERT_NE(nullptr, GetConnectionByIndex(0)->task) << "the request waits for its argument";
  ASSERT_EQ(4, write(client, "\x11\0\0\0", 4));
  ASSERT_TRUE(RunOnePass(2000));
  EXPECT_EQ(std::vector<int32_t>{6662}, g_calls.dispatched);
  EXPECT_EQ(nullptr, GetConnectionByIndex(0)->task) << "a new request waits for a header nobody sent";
  EXPECT_EQ(1u, g_calls.getCommandSockets.size());
}

}  // namespace
