// The real server's layers in this process, driven one pass at a time over
// socket pairs, for the orders of events that a test over TCP can only hope
// for: two requests served one after the other on the task of one pass, two
// requests woken in one pass, a close that must wait for a full socket. The
// loop's own lists and the connection table must keep no stale record or
// index across any of them (the sanitized build reports a read of a record
// given back).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "directory/users_files.h"
#include "foundation/log/ring_log.h"
#include "foundation/util/byte_order.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/uid_alloc.h"
#include "host/layer_links.h"
#include "host/run_server.h"
#include "host/server_loop.h"
#include "platform/clock.h"
#include "platform/fiber_tasks.h"
#include "platform/fs.h"
#include "platform/net_listener.h"
#include "sessions/connection_table.h"
#include "sessions/logon_backoff.h"
#include "sessions/logon_slots.h"
#include "support/stored_directory.h"
#include "support/temp_dir.h"
#include "support/test_client.h"

namespace {

constexpr const char kAdmin[] = "administrator";
constexpr const char kAdminPassword[] = "quernstoneway";
constexpr int64_t kStart = 1765000000;

// One connection: the server's end in the table, the client's end here.
struct Peer {
  int serverFd = -1;
  TestClient client;
};

class InProcessServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDirectoryState();
    ResetLogonSlots();
    ResetConnectionTable();
    ResetLogonBackoff();
    ClearStopRequest();
    SetClockOverride(kStart);
    home_ = dir_.path + "home/";
    ASSERT_TRUE(MakeSureDirectoryPathExists(home_));
    ASSERT_EQ(0, SetHomeDirectory(home_.c_str()));
    SetUIDDirectory(home_.c_str());
    SetLogTeeFileName(dir_.File("log").c_str());
    // A new home whose built-in administrators have cost-4 hashes.
    SetDefaultUsersHasher(CheapHasher);
    ASSERT_EQ(0, Initialise());
    ReleaseServerData();
    LoadServerData();
    LinkServerLayers();
    SetConnectionTimeOutMs(0);
  }

  void TearDown() override {
    for (Peer& p : peers_) p.client.Close();
    // Whatever still waits unwinds before the stores go.
    for (int i = 0; i < 50 && GetLiveFiberTaskCount() > 0; ++i) (void)RunOnePass(10);
    for (int i = 0; i < GetConnectionCount(); ++i) close(GetConnectionByIndex(i)->socket);
    ResetConnectionTable();
    ReleaseServerData();
    ResetDirectoryState();
    SetLogTeeFileName(nullptr);
  }

  // A new connection; the index of its entry is its place in peers_.
  Peer& Connect() {
    int fds[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    AddConnection(kFamilyIPv4, "127.0.0.1", fds[0]);
    peers_.push_back(Peer{fds[0], TestClient(fds[1])});
    return peers_.back();
  }

  // Runs passes until `done` holds (at most about 5 s).
  bool ServeUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 500; ++i) {
      if (done()) return true;
      (void)RunOnePass(10);
    }
    return done();
  }

  static size_t Pending(const Peer& p) {
    int n = 0;
    return ioctl(p.client.Fd(), FIONREAD, &n) == 0 && n > 0 ? static_cast<size_t>(n) : 0;
  }

  // Serves until `count` reply bytes wait at the client, then reads them.
  bool Reply(Peer& p, size_t count, TestBytes* out) {
    if (!ServeUntil([&] { return Pending(p) >= count; })) return false;
    return p.client.RecvBytes(count, out);
  }

  std::vector<int32_t> Words(Peer& p, size_t count) {
    TestBytes bytes;
    if (!Reply(p, 4 * count, &bytes)) return {};
    std::vector<int32_t> words;
    for (size_t i = 0; i < count; ++i) words.push_back(static_cast<int32_t>(GetLE32(bytes.data() + 4 * i)));
    return words;
  }

  // Logs on through the request reader (the password checked on a worker).
  void LogOn(Peer& p, int32_t clientID) {
    ASSERT_TRUE(p.client.Send(TestRequest().LogonHeader(clientID, kTokInternal, CredentialToken(kAdmin, kAdminPassword))));
    const std::vector<int32_t> words = Words(p, 3);  // 0, SID version, 4, then the 4 SID bytes
    ASSERT_EQ(3u, words.size());
    ASSERT_EQ(0, words[0]);
    TestBytes sid;
    ASSERT_TRUE(p.client.RecvBytes(4, &sid));
  }

  static ConnectionRecord* RecordOf(const Peer& p) { return FindConnectionBySocket(p.serverFd); }
  static bool Waits(const Peer& p) {
    const ConnectionRecord* c = RecordOf(p);
    return c != nullptr && c->task != nullptr;
  }

  std::string Log() const { return ReadWholeFile(dir_.File("log")); }

  TempDir dir_;
  std::string home_;
  std::vector<Peer> peers_ = [] {
    std::vector<Peer> v;
    v.reserve(16);  // references handed out stay valid
    return v;
  }();
};

// The rest of a 6503 whose name announced 100 bytes and sent 10.
TestBytes RestOfNamedUserRequest() {
  TestBytes rest(90, 'x');
  for (int32_t word : {1, 0}) rest.insert(rest.end(), {static_cast<unsigned char>(word), 0, 0, 0});
  return rest;
}

// A request that waits after another connection's request was served on the
// same task in the same pass: its socket is its own to its end, so that the
// close of its connection (6679 from the other) reaches it and it ends.
TEST_F(InProcessServer, ARequestServedSecondOnItsTaskEndsWhenItsConnectionIsClosed) {
  Peer& first = Connect();
  Peer& victim = Connect();
  LogOn(first, 0x0101);
  LogOn(victim, 0x0102);
  ASSERT_TRUE(first.client.Send(TestRequest().Header(6628)));
  ASSERT_TRUE(victim.client.Send(TestRequest().Header(6503).StringWithLength(100, TestBytes(10, 'x'))));
  (void)RunOnePass(0);  // one pass: the first's request, then the victim's, on one task
  ASSERT_TRUE(Waits(victim));
  EXPECT_EQ((std::vector<int32_t>{0, 10}), Words(first, 2));
  // A minute later the first closes every other idle connection.
  SetClockOverride(kStart + 60);
  ASSERT_TRUE(first.client.Send(TestRequest().Header(6679).String("M0")));
  EXPECT_EQ((std::vector<int32_t>{0, 0}), Words(first, 2));
  EXPECT_TRUE(ServeUntil([] { return GetLiveFiberTaskCount() == 0; })) << "the waiting request never ended";
  EXPECT_EQ(nullptr, RecordOf(victim));
  EXPECT_NE(std::string::npos, Log().find("Finished processing message 6503"));
}

// Two requests woken in one pass, the first (6679) closing the second's
// connection: the second unwinds while the loop's list of woken requests
// still names it, and the list must not read its record once it is gone.
TEST_F(InProcessServer, TwoRequestsWokenInOnePassOneClosingTheOther) {
  Peer& closer = Connect();
  Peer& victim = Connect();
  LogOn(closer, 0x0101);
  LogOn(victim, 0x0102);
  ASSERT_TRUE(victim.client.Send(TestRequest().Header(6503).StringWithLength(100, TestBytes(10, 'x'))));
  ASSERT_TRUE(closer.client.Send(TestRequest().Header(6679).Raw(TestBytes{3, 0, 0, 0})));
  ASSERT_TRUE(ServeUntil([&] { return Waits(victim) && Waits(closer); }));
  EXPECT_EQ((std::vector<int32_t>{0}), Words(victim, 1)) << "the header's word";
  EXPECT_EQ((std::vector<int32_t>{0}), Words(closer, 1));
  SetClockOverride(kStart + 60);
  ASSERT_TRUE(closer.client.Send(TestBytes{'M', '0', 0}));
  ASSERT_TRUE(victim.client.Send(RestOfNamedUserRequest()));
  (void)RunOnePass(0);  // both woken in this pass, the closer first
  EXPECT_EQ(nullptr, RecordOf(victim));
  EXPECT_EQ((std::vector<int32_t>{0}), Words(closer, 1));
  EXPECT_TRUE(ServeUntil([] { return GetLiveFiberTaskCount() == 0; }));
  EXPECT_TRUE(victim.client.PeerClosed());
}

// A request whose close must wait (its socket full: the unknown message ID
// closes the connection after the word 0) while another connection goes and
// the entries move: when the close is done, the entry removed is its own,
// found by its record, not the one at the index it had.
TEST_F(InProcessServer, AConnectionWhoseCloseWaitsIsRemovedByItsRecord) {
  Peer& other = Connect();
  Peer& stays = Connect();
  Peer& closing = Connect();
  LogOn(closing, 0x0101);
  // The closing connection's socket is filled to the brim from the server's
  // end, so that the word 0 of its next request cannot go out.
  const int small = 4096;
  ASSERT_EQ(0, setsockopt(closing.serverFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small));
  const TestBytes fill(small, 0xEE);
  size_t filled = 0;
  for (size_t piece : {fill.size(), size_t{1}}) {  // the last room byte by byte
    for (;;) {
      const ssize_t n = send(closing.serverFd, fill.data(), piece, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n <= 0) break;
      filled += static_cast<size_t>(n);
    }
  }
  ASSERT_GT(filled, 0u);
  ASSERT_TRUE(closing.client.Send(TestRequest().Header(9999)));
  ASSERT_TRUE(ServeUntil([&] { return Waits(closing); }));
  // Meanwhile the first connection goes: the last entry moves into its place.
  other.client.Close();
  ASSERT_TRUE(ServeUntil([&] { return RecordOf(other) == nullptr; }));
  // The client reads what filled its socket; the close goes on and ends.
  TestBytes drained;
  ASSERT_TRUE(closing.client.RecvBytes(filled, &drained));
  ASSERT_TRUE(ServeUntil([] { return GetLiveFiberTaskCount() == 0; }));
  EXPECT_EQ(nullptr, RecordOf(closing));
  EXPECT_EQ(1, GetConnectionCount()) << "one entry stays: the one that did nothing";
  ASSERT_NE(nullptr, RecordOf(stays));
  ASSERT_TRUE(stays.client.Send(TestRequest().Header(6628)));
  EXPECT_EQ((std::vector<int32_t>{0, 10}), Words(stays, 2));
}

}  // namespace
