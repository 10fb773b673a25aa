// Hostile clients of the running server, shared by the concurrency tests and
// the benchmark of one client's effect on another: one that never reads a
// long reply, one that stops mid-header or mid-arguments, one that sends a
// request a byte at a time, and connections that loop wrong passwords. Each
// starts on a port and keeps at it on threads of its own until told to stop.
// Test support: calls the protocol client and POSIX sockets.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/test_client.h"

// The administrator of a new home, whose published password the fixtures
// give a cost-4 hash; the other built-in administrator keeps its cost-12 one.
constexpr const char kHostileAdmin[] = "administrator";
constexpr const char kHostileAdminPassword[] = "quernstoneway";
constexpr const char kHostileCostlyUser[] = "ZentakUser";

// What a hostile client holds while it runs: its connections and threads.
struct HostileRun {
  std::vector<TestClient> held;
  std::vector<std::thread> threads;
  std::atomic<bool> stop{false};
  HostileRun() { held.reserve(64); }  // threads hold pointers into it: never reallocated
  ~HostileRun() { Stop(); }
  HostileRun(const HostileRun&) = delete;
  HostileRun& operator=(const HostileRun&) = delete;
  // Tells the threads to stop, waits for them and closes the connections.
  void Stop() {
    stop = true;
    for (std::thread& t : threads) t.join();
    threads.clear();
    held.clear();
  }
};

// A client logged on as `user`, or one that is not connected.
inline TestClient HostileLoggedOn(int port, const char* user, const char* password, int32_t clientID) {
  TestClient client = TestClient::ConnectLoopback(port);
  if (!client.Connected()) return client;
  TestClient::LogonReply reply = client.Logon(user, password, clientID);
  if (!reply.received || reply.code != 0) client.Close();
  return client;
}

// A connection whose receive buffer is tiny (set before the connect, so the
// window it offers stays small): a long reply fills it at once.
inline TestClient ConnectWithSmallReceiveBuffer(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return TestClient();
  int size = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return TestClient();
  }
  return TestClient(fd);
}

// Asks for every user (6502, version 1, stamp 0) and never reads the reply.
// False when the logon or the request could not be sent.
inline bool StartNeverReadingList(int port, HostileRun& run) {
  TestClient c = ConnectWithSmallReceiveBuffer(port);
  TestClient::LogonReply reply = c.Logon(kHostileAdmin, kHostileAdminPassword, 0x0101);
  if (!reply.received || reply.code != 0) return false;
  if (!c.Send(TestRequest().Header(6502).Int(1).Int(0))) return false;
  run.held.push_back(std::move(c));
  return true;
}

// Sends five bytes of a request header and nothing more.
inline bool StartMidHeader(int port, HostileRun& run) {
  TestClient c = TestClient::ConnectLoopback(port);
  if (!c.Send(TestBytes{0xA7, 0x19, 0x00, 0x00, 0x00})) return false;
  run.held.push_back(std::move(c));
  return true;
}

// Logs on and asks for a user by a name that announces 100 bytes and sends 10.
inline bool StartMidArguments(int port, HostileRun& run) {
  TestClient c = HostileLoggedOn(port, kHostileAdmin, kHostileAdminPassword, 0x0102);
  if (!c.Connected()) return false;
  if (!c.Send(TestRequest().Header(6503).StringWithLength(100, TestBytes(10, 'x')))) return false;
  run.held.push_back(std::move(c));
  return true;
}

// Sends request headers one byte every `period`.
inline bool StartDribbler(int port, HostileRun& run, std::chrono::milliseconds period) {
  run.held.push_back(TestClient::ConnectLoopback(port));
  if (!run.held.back().Connected()) return false;
  const int fd = run.held.back().Fd();
  std::atomic<bool>* stop = &run.stop;
  run.threads.emplace_back([fd, stop, period] {
    const TestBytes header = TestRequest().Header(6628).Bytes();
    for (size_t i = 0; !*stop; ++i) {
      // The server closes its end once the bound runs out.
      if (send(fd, &header[i % header.size()], 1, MSG_NOSIGNAL) != 1) return;
      for (auto waited = std::chrono::milliseconds(0); waited < period && !*stop; waited += std::chrono::milliseconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  return true;
}

// `connections` connections, each logging on as the cost-12 administrator
// with a wrong password as fast as it is answered.
inline bool StartWrongPasswords(int port, HostileRun& run, int connections = 8) {
  for (int i = 0; i < connections; ++i) {
    run.held.push_back(TestClient::ConnectLoopback(port));
    if (!run.held.back().Connected()) return false;
  }
  std::atomic<bool>* stop = &run.stop;
  for (int i = 0; i < connections; ++i) {
    TestClient* c = &run.held[run.held.size() - static_cast<size_t>(connections) + static_cast<size_t>(i)];
    c->SetTimeoutMs(60000);
    run.threads.emplace_back([c, i, stop] {
      while (!*stop && c->Logon(kHostileCostlyUser, "not-the-password", 0x0200 + i).received) {
      }
    });
  }
  return true;
}
