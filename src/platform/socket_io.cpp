// Single send and receive calls on a connected socket: MSG_NOSIGNAL on every
// send, EINTR retried, every other failure handed back as -1 with errno; the
// per-request transfer bound that turns a stalled peer into a failure; and the
// read-ahead and held output of the request being served.
// Platform layer: POSIX sockets and poll only.
#include "platform/socket_io.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
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

// The request being served: its socket (-1: none), the bytes received ahead
// (in[inStart, inEnd)) and the sends held back.
struct RequestTransfers {
  int fd = -1;
  size_t inStart = 0;
  size_t inEnd = 0;
  size_t held = 0;
  unsigned char in[kSocketReadAheadBytes];
  unsigned char out[kHeldOutputBytes];
};
thread_local RequestTransfers t_request;

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

namespace {

// One send() as the bound allows: what the socket takes now, waiting (within
// the bound) only when it takes nothing.
ssize_t SendOnce(int fd, const void* bytes, size_t length, int flags) {
  for (;;) {
    if (t_bound.active) {
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

// Sends the held bytes of the request being served. False (errno set) when
// they could not all go out; they are dropped either way.
bool SendHeldOutput() {
  size_t done = 0;
  bool ok = true;
  while (done < t_request.held) {
    ssize_t sent = SendOnce(t_request.fd, t_request.out + done, t_request.held - done, 0);
    if (sent <= 0) {
      if (sent == 0) errno = EPIPE;
      ok = false;
      break;
    }
    done += static_cast<size_t>(sent);
  }
  t_request.held = 0;
  return ok;
}

bool HoldsOutputFor(int fd) { return fd >= 0 && t_request.fd == fd && t_request.held > 0; }

// One recv() as the bound allows. Before it would wait for the peer, the
// bytes held for that socket go out: the peer may be waiting for them.
ssize_t ReceiveOnce(int fd, void* buffer, size_t length, int flags) {
  for (;;) {
    const bool held = HoldsOutputFor(fd);
    if (t_bound.active || held) {
      ssize_t got = recv(fd, buffer, length, flags | MSG_DONTWAIT);
      if (got >= 0) {
        if (t_bound.active && (flags & MSG_PEEK) == 0) t_bound.received += static_cast<uint64_t>(got);
        return got;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (held) {
        if (!SendHeldOutput()) return -1;
        continue;
      }
      if (!WaitWithinBound(fd, POLLIN, t_bound.received)) return -1;
      continue;
    }
    ssize_t got = recv(fd, buffer, length, flags);
    // EAGAIN/EWOULDBLOCK (a receive time-out) is not retried: it is a failed read.
    if (got >= 0 || errno != EINTR) return got < 0 ? -1 : got;
  }
}

// Hands the caller up to `length` bytes of the read-ahead; `peek` leaves them.
size_t TakeReadAhead(void* buffer, size_t length, bool peek) {
  size_t n = std::min(length, t_request.inEnd - t_request.inStart);
  std::memcpy(buffer, t_request.in + t_request.inStart, n);
  if (!peek) {
    t_request.inStart += n;
    if (t_request.inStart == t_request.inEnd) t_request.inStart = t_request.inEnd = 0;
  }
  return n;
}

}  // namespace

ssize_t SocketSend(int fd, const void* bytes, size_t length, int flags) {
  if (fd >= 0 && fd == t_request.fd) {
    if (flags == 0 && t_request.held + length <= kHeldOutputBytes) {
      std::memcpy(t_request.out + t_request.held, bytes, length);
      t_request.held += length;
      return static_cast<ssize_t>(length);
    }
    // In order: what is held goes before these bytes.
    if (t_request.held > 0 && !SendHeldOutput()) return -1;
    if (flags == 0 && length <= kHeldOutputBytes / 2) {
      std::memcpy(t_request.out, bytes, length);
      t_request.held = length;
      return static_cast<ssize_t>(length);
    }
  }
  return SendOnce(fd, bytes, length, flags);
}

ssize_t SocketRecv(int fd, void* buffer, size_t length, int flags) {
  if (fd >= 0 && fd == t_request.fd && length > 0) {
    const bool peek = (flags & MSG_PEEK) != 0;
    // Bytes received ahead come first, whatever the flags.
    if (t_request.inEnd > t_request.inStart) return static_cast<ssize_t>(TakeReadAhead(buffer, length, peek));
    if (flags == 0 && length < kSocketReadAheadBytes) {
      ssize_t got = ReceiveOnce(fd, t_request.in, sizeof t_request.in, 0);
      if (got <= 0) return got;
      t_request.inStart = 0;
      t_request.inEnd = static_cast<size_t>(got);
      return static_cast<ssize_t>(TakeReadAhead(buffer, length, false));
    }
  }
  return ReceiveOnce(fd, buffer, length, flags);
}

void BeginRequestTransfers(int fd, SocketInputCarry* carry) {
  t_request.fd = fd;
  t_request.inStart = t_request.inEnd = 0;
  t_request.held = 0;
  if (carry != nullptr && carry->length > 0) {
    size_t n = std::min<size_t>(carry->length, sizeof t_request.in);
    std::memcpy(t_request.in, carry->bytes, n);
    t_request.inEnd = n;
    carry->length = 0;
  }
}

bool EndRequestTransfers(SocketInputCarry* carry) {
  bool ok = t_request.held == 0 || SendHeldOutput();
  if (carry != nullptr) {
    size_t n = t_request.inEnd - t_request.inStart;
    std::memcpy(carry->bytes, t_request.in + t_request.inStart, n);
    carry->length = static_cast<uint32_t>(n);
  }
  t_request.fd = -1;
  t_request.inStart = t_request.inEnd = 0;
  return ok;
}

int SocketClose(int fd) {
  if (fd >= 0 && fd == t_request.fd) {
    // What the request answered goes out before the close; what it had not
    // read goes with the socket, and the number is no longer the request's.
    if (t_request.held > 0) (void)SendHeldOutput();
    t_request.fd = -1;
    t_request.inStart = t_request.inEnd = 0;
  }
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  return close(fd) == 0 ? 0 : -1;
}
