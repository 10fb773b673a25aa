// The transfer bound of socket_io: it bounds the wait for every 64 KiB, so a
// large transfer on a slow link passes while a stalled peer fails.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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

// Reads exactly n bytes with SocketRecv; the bytes read before a failure.
size_t ReadAllBytes(int fd, size_t n) {
  std::vector<char> buf(n);
  size_t got = 0;
  while (got < n) {
    ssize_t r = SocketRecv(fd, buf.data() + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

TEST(TransferBound, AStalledPeerFailsWithinTheBound) {
  Pair p;
  ASSERT_EQ(2, write(p.b, "ab", 2));
  BeginTransferBound(200);
  EXPECT_EQ(2u, ReadAllBytes(p.a, 4));
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
  EXPECT_EQ(kPieces * kTransferBoundPieceBytes, ReadAllBytes(p.a, kPieces * kTransferBoundPieceBytes));
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

}  // namespace
