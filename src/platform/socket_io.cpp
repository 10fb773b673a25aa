// Single send and receive calls on a connected socket: MSG_NOSIGNAL on every
// send, EINTR retried, every other failure handed back as -1 with errno; the
// per-request transfer bound that turns a stalled peer into a failure; the
// read-ahead and held output of the request being served; and the waits of a
// request that runs in a task, which step aside to the loop instead of
// blocking the thread.
// Platform layer: POSIX sockets and poll; calls the fiber tasks.
#include "platform/socket_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "platform/fiber_tasks.h"

namespace {

// The progress of one direction of a bound. The clock is read only where a
// call must wait, never per transfer: the time of the last progress is taken
// as the end of the last wait after which bytes moved (they moved within
// microseconds of it), or the bound's start.
struct Direction {
  uint64_t moved = 0;        // bytes moved so far
  int64_t wokeMs = 0;        // when the last wait in this direction ended (the start at first)
  uint64_t movedAtWake = 0;  // `moved` then
  int64_t progressMs = 0;    // the last progress known at the last wait
};

struct TransferBound {
  bool active = false;
  bool expired = false;
  uint32_t perPieceMs = 0;
  int64_t startMs = 0;
  Direction in;
  Direction out;
};

// The request being served: its bound, its socket (-1: none), the bytes
// received ahead (in[inStart, inEnd)) and the sends held back. A request
// that runs in a task has one of its own for the task's life; code outside
// any task shares the thread's.
struct RequestIo {
  TransferBound bound;
  int fd = -1;
  size_t inStart = 0;
  size_t inEnd = 0;
  size_t held = 0;
  // A task's socket: reserved from the request's start to the task's end,
  // so that its number is never given to another descriptor while the task
  // may still use it.
  int reservedFd = -1;
  bool closed = false;        // closed while the task ran: every call on it fails
  bool closeAtEnd = false;    // the descriptor is closed when the task ends
  FiberTask* task = nullptr;  // the task it belongs to (null: the thread's own)
  unsigned char in[kSocketReadAheadBytes];
  unsigned char out[kHeldOutputBytes];
};

// Thread-wide, not per request: each task's own record is its fiber local
// (kTaskIoLocal); t_threadIo serves only code that runs outside every task,
// and the two below are registries keyed by socket, not a request's state.
thread_local RequestIo t_threadIo;

// Tasks' records, kept for reuse, and which task's record holds each socket.
thread_local std::vector<std::unique_ptr<RequestIo>> t_idleIo;
thread_local std::vector<RequestIo*> t_ioBySocket;

void ReleaseTaskIo(uintptr_t value);
const int kTaskIoLocal = RegisterFiberLocal(ReleaseTaskIo);

// The record that holds `fd` now. An entry whose record has since been
// given to another request (and holds another socket, or none) names nobody.
RequestIo* IoReservingSocket(int fd) {
  if (fd < 0 || static_cast<size_t>(fd) >= t_ioBySocket.size()) return nullptr;
  RequestIo* io = t_ioBySocket[static_cast<size_t>(fd)];
  return io != nullptr && io->reservedFd == fd ? io : nullptr;
}

void ReserveSocket(RequestIo* io, int fd) {
  if (fd < 0) return;
  if (static_cast<size_t>(fd) >= t_ioBySocket.size()) t_ioBySocket.resize(static_cast<size_t>(fd) + 1, nullptr);
  t_ioBySocket[static_cast<size_t>(fd)] = io;
  io->reservedFd = fd;
}

// The end of a request in a task: its socket's number is given up, and the
// socket, when it was closed while the request ran, is closed now.
void ReleaseReservedSocket(RequestIo* io) {
  if (io->reservedFd >= 0) {
    if (IoReservingSocket(io->reservedFd) == io) t_ioBySocket[static_cast<size_t>(io->reservedFd)] = nullptr;
    if (io->closeAtEnd) (void)close(io->reservedFd);
  }
  io->reservedFd = -1;
  io->closed = io->closeAtEnd = false;
}

// The end of a task: the same for a request it did not end, and the record
// goes back for reuse.
void ReleaseTaskIo(uintptr_t value) {
  RequestIo* io = reinterpret_cast<RequestIo*>(value);
  ReleaseReservedSocket(io);
  io->bound = TransferBound{};
  io->fd = -1;
  io->inStart = io->inEnd = io->held = 0;
  io->task = nullptr;
  t_idleIo.emplace_back(io);
}

// The record of the request being served: the running task's (made at its
// first use), else the thread's.
RequestIo& Io() {
  FiberTask* task = CurrentFiberTask();
  if (task == nullptr) return t_threadIo;
  uintptr_t& word = FiberLocal(kTaskIoLocal);
  if (word != 0) return *reinterpret_cast<RequestIo*>(word);
  {
    RequestIo* io = nullptr;
    if (!t_idleIo.empty()) {
      io = t_idleIo.back().release();
      t_idleIo.pop_back();
    } else {
      io = new RequestIo;  // a failure here is the process's end, as for any allocation
    }
    io->task = task;
    word = reinterpret_cast<uintptr_t>(io);
  }
  return *reinterpret_cast<RequestIo*>(word);
}

// The deadline of a wait in direction `d`, in monotonic milliseconds: the
// bound's allowance for the piece that holds the next byte, or one allowance
// after the last progress in that direction, whichever is sooner (a peer
// that stops reading or sending fails within one allowance, however much it
// moved before). -1 without a bound.
int64_t BoundDeadline(const TransferBound& b, Direction& d) {
  if (!b.active) return -1;
  if (d.moved > d.movedAtWake) d.progressMs = d.wokeMs;
  const int64_t piece = static_cast<int64_t>(b.perPieceMs);
  const int64_t byPieces = b.startMs + piece * static_cast<int64_t>(1 + d.moved / kTransferBoundPieceBytes);
  return std::min(byPieces, d.progressMs + piece);
}

// A wait in direction `d` has ended: the clock is read once, here.
void NoteWake(const TransferBound& b, Direction& d) {
  if (!b.active) return;
  d.wokeMs = MonotonicMilliseconds();
  d.movedAtWake = d.moved;
}

// Waits until `fd` is ready for `events` within the deadline. In a task the
// task steps aside to the loop; elsewhere the thread polls. True when ready
// (or when poll reports an error or a hang-up, which the following call then
// reports itself); false with errno ETIMEDOUT when the deadline passed (the
// bound is then marked expired), or ECONNABORTED when the task was cancelled.
bool WaitForSocket(RequestIo& io, int fd, short events, int64_t deadlineMs) {
  if (CurrentFiberTask() != nullptr) {
    FiberWait wait;
    wait.kind = FiberWaitKind::kSocket;
    wait.fd = fd;
    wait.writing = (events & POLLOUT) != 0;
    wait.deadlineMs = deadlineMs;
    switch (WaitInFiberTask(wait)) {
      case FiberWake::kReady:
        return true;
      case FiberWake::kTimedOut:
        io.bound.expired = true;
        errno = ETIMEDOUT;
        return false;
      case FiberWake::kCancelled:
        break;
    }
    errno = ECONNABORTED;
    return false;
  }
  for (;;) {
    int64_t left = deadlineMs < 0 ? 60000 : deadlineMs - MonotonicMilliseconds();
    if (left <= 0) break;
    struct pollfd p = {fd, events, 0};
    int ready = poll(&p, 1, left > 60000 ? 60000 : static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // let the transfer call report it
  }
  io.bound.expired = true;
  errno = ETIMEDOUT;
  return false;
}

// A socket closed under a task fails every later call at once.
bool FailsAsClosed(const RequestIo& io, int fd, int err) {
  if (!io.closed || fd < 0 || fd != io.reservedFd) return false;
  errno = err;
  return true;
}

// Calls must not block the thread: within a bound (every call within its
// allowance), and in a task (where a blocked call would hold every other).
bool MustNotBlock(const RequestIo& io) { return io.bound.active || io.task != nullptr; }

// A request whose task was cancelled (its connection went, the server stops,
// or what it stood on ended while it waited) moves no more bytes on its
// socket: every later send and receive of it fails at once, whatever the
// read-ahead or the held room could still give.
bool FailsAsCancelled(const RequestIo& io, int fd) {
  if (io.task == nullptr || fd < 0 || (fd != io.fd && fd != io.reservedFd) || !FiberTaskCancelled(io.task)) return false;
  errno = ECONNABORTED;
  return true;
}

}  // namespace

void BeginTransferBound(uint32_t perPieceMs) {
  RequestIo& io = Io();
  io.bound = TransferBound{};
  if (perPieceMs == 0) return;
  io.bound.active = true;
  io.bound.perPieceMs = perPieceMs;
  io.bound.startMs = MonotonicMilliseconds();
  io.bound.in.wokeMs = io.bound.in.progressMs = io.bound.startMs;
  io.bound.out.wokeMs = io.bound.out.progressMs = io.bound.startMs;
}

void EndTransferBound() { Io().bound.active = false; }

bool TransferBoundExpired() { return Io().bound.expired; }

namespace {

// One send() as the bound and the task allow: what the socket takes now,
// waiting (within the bound) only when it takes nothing.
ssize_t SendOnce(RequestIo& io, int fd, const void* bytes, size_t length, int flags) {
  for (;;) {
    if (FailsAsClosed(io, fd, EPIPE)) return -1;
    if (MustNotBlock(io)) {
      ssize_t sent = send(fd, bytes, length, flags | MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent >= 0) {
        io.bound.out.moved += static_cast<uint64_t>(sent);
        return sent;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      const bool ready = WaitForSocket(io, fd, POLLOUT, BoundDeadline(io.bound, io.bound.out));
      NoteWake(io.bound, io.bound.out);
      if (!ready) return -1;
      continue;
    }
    ssize_t sent = send(fd, bytes, length, flags | MSG_NOSIGNAL);
    if (sent >= 0 || errno != EINTR) return sent < 0 ? -1 : sent;
  }
}

// Sends the held bytes of the request being served. False (errno set) when
// they could not all go out; they are dropped either way.
bool SendHeldOutput(RequestIo& io) {
  size_t done = 0;
  bool ok = true;
  while (done < io.held) {
    ssize_t sent = SendOnce(io, io.fd, io.out + done, io.held - done, 0);
    if (sent <= 0) {
      if (sent == 0) errno = EPIPE;
      ok = false;
      break;
    }
    done += static_cast<size_t>(sent);
  }
  io.held = 0;
  return ok;
}

bool HoldsOutputFor(const RequestIo& io, int fd) { return fd >= 0 && io.fd == fd && io.held > 0; }

// One recv() as the bound and the task allow. Before it would wait for the
// peer, the bytes held for that socket go out: the peer may be waiting for them.
ssize_t ReceiveOnce(RequestIo& io, int fd, void* buffer, size_t length, int flags) {
  for (;;) {
    if (FailsAsClosed(io, fd, ECONNABORTED)) return -1;
    const bool held = HoldsOutputFor(io, fd);
    if (MustNotBlock(io) || held) {
      ssize_t got = recv(fd, buffer, length, flags | MSG_DONTWAIT);
      if (got >= 0) {
        if ((flags & MSG_PEEK) == 0) io.bound.in.moved += static_cast<uint64_t>(got);
        return got;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (held) {
        if (!SendHeldOutput(io)) return -1;
        continue;
      }
      const bool ready = WaitForSocket(io, fd, POLLIN, BoundDeadline(io.bound, io.bound.in));
      NoteWake(io.bound, io.bound.in);
      if (!ready) return -1;
      continue;
    }
    ssize_t got = recv(fd, buffer, length, flags);
    // EAGAIN/EWOULDBLOCK (a receive time-out) is not retried: it is a failed read.
    if (got >= 0 || errno != EINTR) return got < 0 ? -1 : got;
  }
}

// Hands the caller up to `length` bytes of the read-ahead; `peek` leaves them.
size_t TakeReadAhead(RequestIo& io, void* buffer, size_t length, bool peek) {
  size_t n = std::min(length, io.inEnd - io.inStart);
  std::memcpy(buffer, io.in + io.inStart, n);
  if (!peek) {
    io.inStart += n;
    if (io.inStart == io.inEnd) io.inStart = io.inEnd = 0;
  }
  return n;
}

}  // namespace

ssize_t SocketSend(int fd, const void* bytes, size_t length, int flags) {
  RequestIo& io = Io();
  if (FailsAsCancelled(io, fd)) return -1;
  if (fd >= 0 && fd == io.fd) {
    if (FailsAsClosed(io, fd, EPIPE)) return -1;
    if (flags == 0 && io.held + length <= kHeldOutputBytes) {
      std::memcpy(io.out + io.held, bytes, length);
      io.held += length;
      return static_cast<ssize_t>(length);
    }
    // In order: what is held goes before these bytes. That send may wait,
    // and the caller's bytes may be freed meanwhile: a short send is taken
    // before it, the caller's bytes are not read after it.
    if (flags == 0 && length <= kHeldOutputBytes / 2) {
      unsigned char taken[kHeldOutputBytes / 2];
      std::memcpy(taken, bytes, length);
      if (io.held > 0 && !SendHeldOutput(io)) return -1;
      std::memcpy(io.out, taken, length);
      io.held = length;
      return static_cast<ssize_t>(length);
    }
    if (io.held > 0 && !SendHeldOutput(io)) return -1;
  }
  return SendOnce(io, fd, bytes, length, flags);
}

ssize_t SocketRecv(int fd, void* buffer, size_t length, int flags) {
  RequestIo& io = Io();
  if (FailsAsCancelled(io, fd)) return -1;
  if (fd >= 0 && fd == io.fd && length > 0) {
    const bool peek = (flags & MSG_PEEK) != 0;
    // Bytes received ahead come first, whatever the flags.
    if (io.inEnd > io.inStart) return static_cast<ssize_t>(TakeReadAhead(io, buffer, length, peek));
    if (flags == 0 && length < kSocketReadAheadBytes) {
      ssize_t got = ReceiveOnce(io, fd, io.in, sizeof io.in, 0);
      if (got <= 0) return got;
      io.inStart = 0;
      io.inEnd = static_cast<size_t>(got);
      return static_cast<ssize_t>(TakeReadAhead(io, buffer, length, false));
    }
  }
  return ReceiveOnce(io, fd, buffer, length, flags);
}

void BeginRequestTransfers(int fd, SocketInputCarry* carry) {
  RequestIo& io = Io();
  io.fd = fd;
  io.inStart = io.inEnd = 0;
  io.held = 0;
  if (io.task != nullptr && io.reservedFd < 0) ReserveSocket(&io, fd);
  if (carry != nullptr && carry->length > 0) {
    size_t n = std::min<size_t>(carry->length, sizeof io.in);
    std::memcpy(io.in, carry->bytes, n);
    io.inEnd = n;
    carry->length = 0;
  }
}

bool EndRequestTransfers(SocketInputCarry* carry, SocketOutputCarry* out) {
  RequestIo& io = Io();
  bool ok = true;
  if (out != nullptr && io.held > 0 && !io.closed) {
    try {
      out->bytes.insert(out->bytes.end(), io.out, io.out + io.held);
      io.held = 0;
    } catch (const std::bad_alloc&) {
      // No room to keep it: it goes out now, as without a carry.
    }
  }
  if (io.held > 0) ok = SendHeldOutput(io);
  if (carry != nullptr) {
    size_t n = io.inEnd - io.inStart;
    std::memcpy(carry->bytes, io.in + io.inStart, n);
    carry->length = static_cast<uint32_t>(n);
  }
  io.fd = -1;
  io.inStart = io.inEnd = 0;
  return ok;
}

bool ReplaceHeldOutput(const void* bytes, size_t length) {
  RequestIo& io = Io();
  if (io.fd < 0 || length > kHeldOutputBytes) return false;
  std::memcpy(io.out, bytes, length);
  io.held = length;
  return true;
}

CarriedOutput SendCarriedOutput(int fd, SocketOutputCarry& out) {
  size_t done = 0;
  CarriedOutput result = CarriedOutput::kSent;
  while (done < out.bytes.size()) {
    const ssize_t sent = send(fd, out.bytes.data() + done, out.bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      result = CarriedOutput::kSendLater;
      break;
    }
    if (sent == 0) errno = EPIPE;
    result = CarriedOutput::kSendFailed;
    done = out.bytes.size();
    break;
  }
  out.bytes.erase(out.bytes.begin(), out.bytes.begin() + static_cast<std::ptrdiff_t>(done));
  return result;
}

void EndRequestSocket() {
  if (CurrentFiberTask() == nullptr) return;
  const uintptr_t word = FiberLocal(kTaskIoLocal);
  if (word != 0) ReleaseReservedSocket(reinterpret_cast<RequestIo*>(word));
}

int SocketClose(int fd) {
  RequestIo& io = Io();
  RequestIo* owner = IoReservingSocket(fd);
  if (owner != nullptr) {
    // A task's socket: what the running request answered goes out first;
    // the peer is told at once, every later call of the task fails, and the
    // number stays the task's until it ends, when it is closed.
    if (owner == &io && io.fd == fd && io.held > 0) (void)SendHeldOutput(io);
    if (!owner->closeAtEnd) (void)shutdown(fd, SHUT_RDWR);
    owner->closed = true;
    owner->closeAtEnd = true;
    if (owner->fd == fd) owner->inStart = owner->inEnd = 0;
    if (owner != &io) CancelFiberTask(owner->task);
    return 0;
  }
  if (fd >= 0 && fd == io.fd) {
    // What the request answered goes out before the close; what it had not
    // read goes with the socket, and the number is no longer the request's.
    if (io.held > 0) (void)SendHeldOutput(io);
    io.fd = -1;
    io.inStart = io.inEnd = 0;
  }
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  return close(fd) == 0 ? 0 : -1;
}
