// The real server loop in the test's own process, driven one pass at a time
// by the test thread: each connection is a socket pair whose server end is
// added to the connection table as an accepted socket, the client end held
// here. The server's end sends into a small buffer and the client's end takes
// little at a time, so that a reply longer than what the server holds back
// must wait while its client does not read. Every pass also takes in what
// the server sent to each client end that is not paused.
// Test support: calls the server loop (host), the connection table, the fiber
// tasks and the worker pool; POSIX sockets.
#pragma once

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "host/server_loop.h"
#include "platform/fiber_tasks.h"
#include "platform/net_listener.h"
#include "platform/worker_pool.h"
#include "sessions/connection_table.h"
#include "support/test_client.h"

class LoopDriver {
 public:
  struct Connection {
    int client = -1;        // the test's end
    int server = -1;        // the server's end (in the table while the server keeps it)
    std::string received;   // what the server sent since the last Clear
    bool closed = false;    // the client end read the end of the stream
    bool paused = false;    // not read: the client stops taking the reply
  };

  // Bytes the server's end may have in flight, and what the client's end takes.
  static constexpr int kSmallBuffer = 1;  // the kernel rounds it up to its least

  LoopDriver() = default;
  LoopDriver(const LoopDriver&) = delete;
  LoopDriver& operator=(const LoopDriver&) = delete;
  ~LoopDriver() { DisconnectAll(); }

  // A new connection, added as the loop adds an accepted IPv4 socket. Its
  // index in this driver.
  int Connect() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
      ADD_FAILURE() << "socketpair: " << errno;
      return -1;
    }
    const int small = kSmallBuffer;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    AddConnection(kFamilyIPv4, "127.0.0.1", sv[0]);
    Connection c;
    c.server = sv[0];
    c.client = sv[1];
    connections_.push_back(c);
    return static_cast<int>(connections_.size()) - 1;
  }

  Connection& operator[](int i) { return connections_[static_cast<size_t>(i)]; }
  int Count() const { return static_cast<int>(connections_.size()); }

  // The server's record of connection i; null once the server removed it.
  ConnectionRecord* Record(int i) const {
    const int server = connections_[static_cast<size_t>(i)].server;
    const int at = FindConnectionIndexBySocket(server);
    return at < 0 ? nullptr : GetConnectionByIndex(at);
  }

  // What the request of connection i waits for, while it is suspended.
  std::optional<FiberWait> WaitOf(int i) const {
    const ConnectionRecord* c = Record(i);
    if (c == nullptr || c->task == nullptr) return std::nullopt;
    return GetFiberTaskWait(c->task);
  }

  // True when the server has taken in and answered everything connection i
  // sent: no request in progress, no reply held, nothing unread. A removed
  // connection is idle.
  bool ServerIdle(int i) const {
    const ConnectionRecord* c = Record(i);
    if (c == nullptr) return true;
    if (c->task != nullptr || !c->outputCarry.bytes.empty() || c->inputCarry.length > 0) return false;
    int unread = 0;
    return ioctl(c->socket, FIONREAD, &unread) == 0 && unread == 0;
  }

  // What the server holds of connection i, for failure messages.
  std::string State(int i) const {
    const ConnectionRecord* c = Record(i);
    const Connection& mine = connections_[static_cast<size_t>(i)];
    std::string out = "connection " + std::to_string(i) + (mine.closed ? " (closed)" : "") +
                      (mine.paused ? " (paused)" : "") + ", " + std::to_string(mine.received.size()) + " bytes received";
    if (c == nullptr) return out + ", removed by the server";
    int unread = 0;
    ioctl(c->socket, FIONREAD, &unread);
    out += ", logon " + std::to_string(c->logonUID) + ", " + std::to_string(unread) + " bytes unread, " +
           std::to_string(c->inputCarry.length) + " carried in, " + std::to_string(c->outputCarry.bytes.size()) +
           " carried out";
    if (c->task != nullptr) {
      const FiberWait& w = GetFiberTaskWait(c->task);
      out += w.kind == FiberWaitKind::kWorker ? ", waiting for a worker"
             : w.kind == FiberWaitKind::kSocket ? (w.writing ? ", waiting to send" : ", waiting to receive")
                                                : ", running";
    }
    return out;
  }

  // True while the server has a request of connection i in progress, or
  // bytes of it not yet taken in (its reply may still be going out after).
  bool RequestInProgress(int i) const {
    const ConnectionRecord* c = Record(i);
    if (c == nullptr) return false;
    if (c->task != nullptr || c->inputCarry.length > 0) return true;
    int unread = 0;
    return ioctl(c->socket, FIONREAD, &unread) != 0 || unread > 0;
  }

  // Sends every byte on connection i's client end, passes running while
  // its socket takes no more.
  bool Send(int i, const TestBytes& bytes) {
    size_t at = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (at < bytes.size()) {
      const ssize_t n = send((*this)[i].client, bytes.data() + at, bytes.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        at += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      if (std::chrono::steady_clock::now() > until) return false;
      Pass();
    }
    return true;
  }

  // Takes in what the server sent to every client end that is not paused.
  void ReadAvailable() {
    for (Connection& c : connections_) {
      if (c.client < 0 || c.paused || c.closed) continue;
      char buf[65536];
      for (;;) {
        const ssize_t n = recv(c.client, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
          c.received.append(buf, static_cast<size_t>(n));
          continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) c.closed = true;
        break;
      }
    }
  }

  // One pass of the loop (waiting a little while a worker has a job out),
  // then what came back.
  void Pass() {
    ReadAvailable();
    RunOnePass(GetWorkerJobsInFlight() > 0 ? 5 : 0);
    ReadAvailable();
  }

  // Passes until `done` holds; false when it did not within `seconds`.
  template <typename Done>
  bool PassUntil(Done done, int seconds = 15) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      ReadAvailable();
      if (done()) return true;
      if (std::chrono::steady_clock::now() > until) return false;
      RunOnePass(GetWorkerJobsInFlight() > 0 ? 5 : 0);
    }
  }

  // Passes until the server has answered everything connection i sent and
  // its client end has taken the reply in.
  bool PassUntilIdle(int i) {
    return PassUntil([&] { return ServerIdle(i) && Drained(i); });
  }

  // True when nothing more is on its way to connection i's client end.
  bool Drained(int i) {
    Connection& c = (*this)[i];
    if (c.closed || c.paused) return !c.paused;
    int pending = 0;
    return ioctl(c.client, FIONREAD, &pending) == 0 && pending == 0;
  }

  // Closes every client end and runs passes until the server has let every
  // connection go and every request has ended; the table is then emptied.
  void DisconnectAll() {
    for (Connection& c : connections_) {
      if (c.client >= 0) close(c.client);
      c.client = -1;
    }
    const bool settled =
        PassUntil([] { return GetConnectionCount() == 0 && GetLiveFiberTaskCount() == 0; }, 30);
    if (!settled) ADD_FAILURE() << "the server kept " << GetConnectionCount() << " connections";
    for (int i = 0; i < GetConnectionCount(); ++i) close(GetConnectionByIndex(i)->socket);
    ResetConnectionTable();
    connections_.clear();
  }

 private:
  std::vector<Connection> connections_;
};
