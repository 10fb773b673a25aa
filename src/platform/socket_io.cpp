// Single send and receive calls on a connected socket: MSG_NOSIGNAL on every
// send, EINTR retried, every other failure handed back as -1 with errno; and
// the per-request transfer bound that turns a stalled peer into a failure.
// Platform layer: POSIX sockets and poll only.
#include "platform/socket_io.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct TransferBound {
  bool active = false;
  bool expired = false;
  uint32_t perPieceMs = 0;
  std::chrono::steady_clock::time_point start;
  uint64_t received = 0;
  uint64_t sent = 0;
};
thread_local TransferBound t_bound;

// Waits until `fd` is ready for `events` within the bound for the piece that
// holds byte `moved` + 1. True when ready (or when poll reports an error or a
// hang-up, which the following call then reports itself); false with errno
// ETIMEDOUT when the bound ran out, the bound then marked expired.
bool WaitWithinBound(int fd, short events, uint64_t moved) {
  using namespace std::chrono;
  const auto deadline = t_bound.start + milliseconds(static_cast<uint64_t>(t_bound.perPieceMs) *
                                                     (1 + moved / kTransferBoundPieceBytes));
  for (;;) {
    auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    if (left <= 0) break;
    struct pollfd p = {fd, events, 0};
    int ready = poll(&p, 1, left > 60000 ? 60000 : static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // let the transfer call report it
  }
  t_bound.expired = true;
  errno = ETIMEDOUT;
  return false;
}

}  // namespace

void BeginTransferBound(uint32_t perPieceMs) {
  t_bound = TransferBound{};
  if (perPieceMs == 0) return;
  t_bound.active = true;
  t_bound.perPieceMs = perPieceMs;
  t_bound.start = std::chrono::steady_clock::now();
}

void EndTransferBound() { t_bound.active = false; }

bool TransferBoundExpired() { return t_bound.expired; }

ssize_t SocketSend(int fd, const void* bytes, size_t length, int flags) {
  for (;;) {
    if (t_bound.active) {
      // Move what the socket takes now; wait (within the bound) only when it
      // takes nothing.
      ssize_t sent = send(fd, bytes, length, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent >= 0) {
        t_bound.sent += static_cast<uint64_t>(sent);
        return sent;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (!WaitWithinBound(fd, POLLOUT, t_bound.sent)) return -1;
      continue;
    }
    ssize_t sent = send(fd, bytes, length, flags | MSG_NOSIGNAL);
    if (sent >= 0 || errno != EINTR) return sent < 0 ? -1 : sent;
  }
}

ssize_t SocketRecv(int fd, void* buffer, size_t length, int flags) {
  for (;;) {
    if (t_bound.active) {
      ssize_t got = recv(fd, buffer, length, flags | MSG_DONTWAIT);
      if (got >= 0) {
        if ((flags & MSG_PEEK) == 0) t_bound.received += static_cast<uint64_t>(got);
        return got;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (!WaitWithinBound(fd, POLLIN, t_bound.received)) return -1;
      continue;
    }
    ssize_t got = recv(fd, buffer, length, flags);
    // EAGAIN/EWOULDBLOCK (a receive time-out) is not retried: it is a failed read.
    if (got >= 0 || errno != EINTR) return got < 0 ? -1 : got;
  }
}

int SocketClose(int fd) {
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  return close(fd) == 0 ? 0 : -1;
}
