// The transfer bound of socket_io: it bounds the wait for every 64 KiB, so a
// large transfer on a slow link passes while a stalled peer fails. The
// buffered transfers of one request: read-ahead kept for the connection's
// next request and never shown to another socket, held sends that go out
// before the server waits for the peer, in order, and at the close.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/socket_io.h"

namespace {

struct Pair {
  int a = -1, b = -1;
  Pair() {
    int sv[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    a = sv[0];
    b = sv[1];
  }
  ~Pair() {
    close(a);
    close(b);
  }
};

// Exactly n bytes with SocketRecv (the text read, shorter on a failure).
std::string ReadText(int fd, size_t n) {
  std::string text(n, '\0');
  size_t got = 0;
  while (got < n) {
    ssize_t r = SocketRecv(fd, text.data() + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  text.resize(got);
  return text;
}

TEST(TransferBound, AStalledPeerFailsWithinTheBound) {
  Pair p;
  ASSERT_EQ(2, write(p.b, "ab", 2));
  BeginTransferBound(200);
  EXPECT_EQ(2u, ReadText(p.a, 4).size());
  EXPECT_EQ(ETIMEDOUT, errno);
  EXPECT_TRUE(TransferBoundExpired());
  EndTransferBound();
  EXPECT_TRUE(TransferBoundExpired()) << "still visible after the end";
  BeginTransferBound(200);
  EXPECT_FALSE(TransferBoundExpired()) << "a new bound starts afresh";
  EndTransferBound();
}

TEST(TransferBound, EveryPieceOf64KiBHasItsOwnTimeAllowance) {
  Pair p;
  const size_t kPieces = 4;
  std::thread writer([&] {
    std::vector<char> piece(kTransferBoundPieceBytes, 'x');
    for (size_t k = 0; k < kPieces; ++k) {
      size_t off = 0;
      while (off < piece.size()) {
        ssize_t w = write(p.b, piece.data() + off, piece.size() - off);
        if (w <= 0) return;
        off += static_cast<size_t>(w);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
  });
  // The whole transfer takes about 600 ms, twice the bound of 300 ms, but
  // each 64 KiB arrives well within its own allowance.
  BeginTransferBound(300);
  EXPECT_EQ(kPieces * kTransferBoundPieceBytes, ReadText(p.a, kPieces * kTransferBoundPieceBytes).size());
  EXPECT_FALSE(TransferBoundExpired());
  EndTransferBound();
  writer.join();
}

TEST(TransferBound, APeerThatStopsReadingFailsTheSend) {
  Pair p;
  std::vector<char> big(4 * 1024 * 1024, 'y');
  BeginTransferBound(200);
  size_t sent = 0;
  for (;;) {
    ssize_t s = SocketSend(p.a, big.data() + sent, big.size() - sent, 0);
    if (s <= 0) break;
    sent += static_cast<size_t>(s);
  }
  EXPECT_LT(sent, big.size());
  EXPECT_TRUE(TransferBoundExpired());
  EndTransferBound();
}

// ---- Buffered transfers of one request -------------------------------------------------

void SendText(int fd, const std::string& text) {
  ASSERT_EQ(static_cast<ssize_t>(text.size()), SocketSend(fd, text.data(), text.size(), 0));
}

// Everything the peer end can read without waiting for more.
std::string Pending(int fd) {
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (r <= 0) return text;
    text.append(buf, static_cast<size_t>(r));
  }
}

class RequestTransfers : public ::testing::Test {
 protected:
  // A bound, so a read of bytes that never come fails instead of hanging.
  void SetUp() override { BeginTransferBound(3000); }
  void TearDown() override {
    EndRequestTransfers(nullptr);
    EndTransferBound();
  }
  Pair p;
  SocketInputCarry carry;
};

// Two requests in one segment: the first request reads only its own bytes and
// the second is handed to the connection; its next request reads it first.
TEST_F(RequestTransfers, TwoRequestsInOneSegment) {
  ASSERT_EQ(16, write(p.b, "REQ1argsREQ2more", 16));
  BeginRequestTransfers(p.a, &carry);
  EXPECT_EQ("REQ1", ReadText(p.a, 4));
  EXPECT_EQ("args", ReadText(p.a, 4));
  EXPECT_TRUE(EndRequestTransfers(&carry));
  ASSERT_EQ(8u, carry.length);

  BeginRequestTransfers(p.a, &carry);
  EXPECT_EQ(0u, carry.length) << "the carried bytes belong to the request now";
  EXPECT_EQ("REQ2more", ReadText(p.a, 8));
  ASSERT_EQ(4, write(p.b, "next", 4));
  EXPECT_EQ("next", ReadText(p.a, 4));
  EXPECT_TRUE(EndRequestTransfers(&carry));
  EXPECT_EQ(0u, carry.length);
}

// Bytes read ahead for one connection are dropped with it and never read on
// another socket, nor on the same socket outside a request.
TEST_F(RequestTransfers, ReadAheadNeverReachesAnotherSocket) {
  Pair other;
  ASSERT_EQ(8, write(p.b, "mineMINE", 8));
  ASSERT_EQ(5, write(other.b, "yours", 5));
  BeginRequestTransfers(p.a, nullptr);
  EXPECT_EQ("mine", ReadText(p.a, 4));
  EXPECT_TRUE(EndRequestTransfers(nullptr));  // the connection is gone: "MINE" with it

  BeginRequestTransfers(other.a, nullptr);
  EXPECT_EQ("yours", ReadText(other.a, 5));
  EXPECT_TRUE(EndRequestTransfers(nullptr));
  ASSERT_EQ(2, write(p.b, "ok", 2));
  EXPECT_EQ("ok", ReadText(p.a, 2));
}

// A request that arrives a byte at a time (a slow writer) is read whole within
// the bound, and a peer that closes half-way shows as the end of the stream.
TEST_F(RequestTransfers, ARequestSplitAcrossSegments) {
  const std::string request = "header-word-and-arguments";
  std::thread writer([&] {
    for (char ch : request) {
      if (write(p.b, &ch, 1) != 1) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    shutdown(p.b, SHUT_WR);
  });
  BeginTransferBound(5000);
  BeginRequestTransfers(p.a, &carry);
  EXPECT_EQ("header", ReadText(p.a, 6));
  EXPECT_EQ("-word-and-arguments", ReadText(p.a, request.size() - 6));
  char byte = 0;
  EXPECT_EQ(0, SocketRecv(p.a, &byte, 1, 0));
  EXPECT_FALSE(TransferBoundExpired());
  writer.join();
}

// Held sends go out, in order, before a receive that must wait for the peer:
// a client that waits for the reply word before it sends its arguments is
// answered (held until the end, both sides would wait out the bound).
TEST_F(RequestTransfers, HeldRepliesGoOutBeforeTheServerWaits) {
  std::string seen;
  std::thread client([&] {
    char word[4];
    size_t got = 0;
    while (got < 4) {
      ssize_t r = read(p.b, word + got, 4 - got);
      if (r <= 0) return;
      got += static_cast<size_t>(r);
    }
    seen.assign(word, 4);
    if (write(p.b, "args", 4) != 4) return;
  });
  BeginTransferBound(3000);
  BeginRequestTransfers(p.a, &carry);
  SendText(p.a, "ok");
  SendText(p.a, "!!");
  EXPECT_EQ("args", ReadText(p.a, 4));
  EXPECT_FALSE(TransferBoundExpired());
  client.join();
  EXPECT_EQ("ok!!", seen);
}

// A reply of small and large pieces arrives in the order sent, whole, at the
// end of the request; a close sends what is held before the socket goes.
TEST_F(RequestTransfers, HeldRepliesKeepTheirOrderAndGoOutAtTheEndOrTheClose) {
  const std::string big(3 * kHeldOutputBytes, 'B');
  const std::string middle(kHeldOutputBytes / 2, 'm');
  BeginRequestTransfers(p.a, &carry);
  SendText(p.a, "head");
  EXPECT_EQ("", Pending(p.b)) << "small sends are held";
  SendText(p.a, middle);
  SendText(p.a, big);
  SendText(p.a, "tail");
  std::string got = Pending(p.b);
  EXPECT_TRUE(EndRequestTransfers(&carry));
  got += Pending(p.b);
  EXPECT_EQ("head" + middle + big + "tail", got);

  BeginRequestTransfers(p.a, &carry);
  SendText(p.a, "bye");
  EXPECT_EQ(0, SocketClose(p.a));
  p.a = socket(AF_UNIX, SOCK_STREAM, 0);  // for the fixture's close
  EXPECT_EQ("bye", Pending(p.b));
  char byte = 0;
  EXPECT_EQ(0, recv(p.b, &byte, 1, 0)) << "then the end of the stream";
}

// A held reply to a peer that has gone fails where it goes out, at the end of
// the request, as the send itself would have failed.
TEST_F(RequestTransfers, AHeldReplyToAGonePeerFails) {
  BeginRequestTransfers(p.a, &carry);
  SendText(p.a, "lost");
  close(p.b);
  p.b = socket(AF_UNIX, SOCK_STREAM, 0);  // for the fixture's close
  errno = 0;
  EXPECT_FALSE(EndRequestTransfers(&carry));
  EXPECT_EQ(EPIPE, errno);
}

}  // namespace
