// Load benchmark of the running server: a closed-loop client over loopback
// with 1, 50, 200 and 500 connections, each sending one request, waiting for
// its reply and sending the next. Message 6628 (no logon) and 6627 (after a
// logon: one cost-12 logon per step, every other connection re-attaches by
// its session ID).
// Reports requests per second and the p50/p99 latency, once with the
// server's standard error sent to a file and once to /dev/null.
// With --users, for homes of 1,000, 10,000 and 100,000 users instead: the
// start-up time of the server (from the program's start until it accepts,
// on a home already in the version-2 format), its peak resident memory once
// started, and 6503 (a user by name, random names) at 50 connections.
// With --list-readers, slow readers of every user: a home of that many users,
// and that many connections with a small receive buffer that each ask for
// the whole list (6502) and take it a little at a time; the server's resident
// memory before, while they read and after, beside the bytes of one list,
// once with the readers logged on as the administrator (who sees every
// hash) and once as a plain user (who sees its own alone).
//   build/load_bench [max-connections=500] [seconds-per-step=3]
//   build/load_bench --users [max-users=100000] [seconds-per-step=3]
//   build/load_bench --list-readers [readers=200] [users=100000] [slow-seconds=5]
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/crypto/password_hash.h"
#include "foundation/util/byte_order.h"
#include "support/hostile_clients.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Conn {
  TestClient client;
  std::vector<unsigned char> in;
  Clock::time_point sentAt;
};

// Bytes of one complete reply at the front of `in`, or 0 while incomplete:
// the accept word 0, then an integer (6628) or a wire string (6627).
size_t ReplyLength(const std::vector<unsigned char>& in, int32_t messageID) {
  if (in.size() < 8) return 0;
  if (messageID == 6628) return 8;
  uint32_t len = in[4] | (in[5] << 8) | (in[6] << 16) | (static_cast<uint32_t>(in[7]) << 24);
  size_t total = 8 + static_cast<size_t>(static_cast<int32_t>(len) > 0 ? len : 0);
  return in.size() >= total ? total : 0;
}

struct StepResult {
  double perSecond = 0;
  double p50us = 0, p99us = 0;
  long requests = 0;
  int failures = 0;
};

// Bytes of one complete 6503 reply at the front of `in`, or 0: the accept
// word, then the status and, after status 0, the block's length and bytes.
size_t NamedUserReplyLength(const std::vector<unsigned char>& in) {
  if (in.size() < 8) return 0;
  auto word = [&in](size_t at) {
    return in[at] | (in[at + 1] << 8) | (in[at + 2] << 16) | (static_cast<uint32_t>(in[at + 3]) << 24);
  };
  if (word(4) != 0) return 8;
  if (in.size() < 12) return 0;
  size_t total = 12 + static_cast<size_t>(word(8));
  return in.size() >= total ? total : 0;
}

// The next request a connection sends, and the length of a complete reply.
struct StepRequests {
  std::function<TestBytes()> next;
  std::function<size_t(const std::vector<unsigned char>&)> replyLength;
};

StepResult RunStep(std::vector<Conn>& conns, const StepRequests& requests, double seconds);

StepResult RunStep(std::vector<Conn>& conns, int32_t messageID, double seconds) {
  const TestBytes request = TestRequest().Header(messageID).Bytes();
  return RunStep(conns, {[request] { return request; },
                         [messageID](const std::vector<unsigned char>& in) { return ReplyLength(in, messageID); }},
                 seconds);
}

StepResult RunStep(std::vector<Conn>& conns, const StepRequests& requests, double seconds) {
  StepResult r;
  auto ReplyLength = [&requests](const std::vector<unsigned char>& in, int32_t) { return requests.replyLength(in); };
  const int32_t messageID = 0;
  std::vector<double> latencies;
  latencies.reserve(1 << 20);
  for (auto& c : conns) {
    c.in.clear();
    c.sentAt = Clock::now();
    c.client.Send(requests.next());
  }
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<pollfd> p(conns.size());
  unsigned char buf[65536];
  while (Clock::now() < end) {
    for (size_t i = 0; i < conns.size(); ++i) p[i] = {conns[i].client.Fd(), POLLIN, 0};  // -1 once closed
    int n = poll(p.data(), p.size(), 1000);
    if (n < 0) break;
    for (size_t i = 0; i < conns.size(); ++i) {
      if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t got = recv(p[i].fd, buf, sizeof buf, MSG_DONTWAIT);
      if (got <= 0) {
        ++r.failures;  // the server closed it: counted once, then left out
        conns[i].client.Close();
        continue;
      }
      Conn& c = conns[i];
      c.in.insert(c.in.end(), buf, buf + got);
      size_t len;
      while ((len = ReplyLength(c.in, messageID)) != 0) {
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(len));
        auto now = Clock::now();
        latencies.push_back(std::chrono::duration<double, std::micro>(now - c.sentAt).count());
        ++r.requests;
        c.sentAt = now;
        c.client.Send(requests.next());
      }
    }
  }
  // Let the requests in flight finish so the next step starts clean.
  for (size_t i = 0; i < conns.size(); ++i) {
    Conn& c = conns[i];
    while (c.client.Connected() && ReplyLength(c.in, messageID) == 0) {
      pollfd one = {c.client.Fd(), POLLIN, 0};
      if (poll(&one, 1, 2000) <= 0) break;
      ssize_t got = recv(one.fd, buf, sizeof buf, 0);
      if (got <= 0) break;
      c.in.insert(c.in.end(), buf, buf + got);
    }
  }
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  r.perSecond = elapsed > 0 ? r.requests / elapsed : 0;
  if (!latencies.empty()) {
    std::sort(latencies.begin(), latencies.end());
    r.p50us = latencies[latencies.size() / 2];
    r.p99us = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
  }
  return r;
}

// Opens `count` connections. With `logon` the first one logs on as the
// administrator and every other one re-attaches to its session ID, so one
// slot serves them all (a slot that no connection carries is freed by the
// server's periodic sanity check, so each step logs on afresh).
bool OpenConnections(int port, int count, bool logon, std::vector<Conn>& out) {
  out.clear();
  TestSID sid{};
  for (int i = 0; i < count; ++i) {
    Conn c;
    c.client = TestClient::ConnectLoopback(port);
    if (!c.client.Connected()) return false;
    if (logon && i == 0) {
      TestClient::LogonReply reply = c.client.Logon("administrator", "quernstoneway", 1000);
      if (!reply.received || reply.code != 0) {
        std::fprintf(stderr, "logon failed: %d\n", reply.code);
        return false;
      }
      sid = reply.sid;
    } else if (logon) {
      auto code = c.client.AttachBySID(sid, 2000 + i);
      if (!code || *code != 0) {
        std::fprintf(stderr, "re-attach %d failed: %d\n", i, code ? *code : -1);
        return false;
      }
    }
    out.push_back(std::move(c));
  }
  return true;
}

void RunSeries(const char* label, const std::string& stderrPath, int maxConns, double seconds) {
  ServerProcess server;
  if (server.Initialise() != 0) {
    std::fprintf(stderr, "initialisation failed\n");
    return;
  }
  if (!server.StartOnFreePort(stderrPath)) {
    std::fprintf(stderr, "the server did not start\n");
    return;
  }
  const int port = server.Port();
  std::printf("\nServer standard error to %s\n", label);
  std::printf("%-6s %-6s %12s %10s %10s %9s\n", "msg", "conns", "requests/s", "p50 us", "p99 us", "failures");
  for (int32_t messageID : {6628, 6627}) {
    for (int n : {1, 50, 200, 500}) {
      if (n > maxConns) continue;
      std::vector<Conn> conns;
      if (!OpenConnections(port, n, messageID == 6627, conns)) {
        std::printf("%-6d %-6d could not open the connections\n", messageID, n);
        continue;
      }
      StepResult r = RunStep(conns, messageID, seconds);
      std::printf("%-6d %-6d %12.0f %10.1f %10.1f %9d\n", messageID, n, r.perSecond, r.p50us, r.p99us, r.failures);
      std::fflush(stdout);
      conns.clear();
      // Let the server see the closes before the next step connects.
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  }
  server.Stop();
}

// A line of a process's /proc status in KiB ("VmHWM:", peak resident
// memory; "VmRSS:", resident now), or -1.
long StatusKiB(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  const size_t keyLength = std::strlen(key);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, keyLength, key) == 0) return std::atol(line.c_str() + keyLength);
  }
  return -1;
}

long PeakResidentKiB(pid_t pid) { return StatusKiB(pid, "VmHWM:"); }

std::string BenchUserName(int i) { return "benchuser" + std::to_string(i); }

// The last UID the home's uid.val says was issued (4 bytes, little-endian),
// or 0 without one.
uint32_t LastIssuedUID(const std::string& home) {
  const std::string value = ReadWholeFile(home + "uid.val");
  if (value.size() != 4) return 0;
  uint32_t uid = 0;
  for (int i = 3; i >= 0; --i) uid = (uid << 8) | static_cast<unsigned char>(value[static_cast<size_t>(i)]);
  return uid;
}

// An initialised home with `count` more users (no password) in users.xml and
// the USER elements `extra`, started once so that it is upgraded to the
// version-2 files, then stopped. The users' UIDs follow the last one the
// initialisation issued, so that none is the UID of a built-in group, user
// or configuration node.
bool MakeUsersHome(ServerProcess& server, int count, const std::string& extra = "") {
  if (server.Initialise() != 0) return false;
  const std::string path = server.Home() + "users.xml";
  std::string users = ReadWholeFile(path);
  const size_t end = users.rfind("</USERS>");
  if (end == std::string::npos) return false;
  const uint32_t last = LastIssuedUID(server.Home());
  if (last == 0) return false;
  std::string more;
  char uid[16];
  for (int i = 0; i < count; ++i) {
    std::snprintf(uid, sizeof uid, "%08X", last + 1 + static_cast<uint32_t>(i));
    more += std::string("<USER>\n<UID>") + uid + "</UID>\n<USERNAME>" + BenchUserName(i) +
            "</USERNAME>\n<PASSWORDV2>00000000</PASSWORDV2>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
            "<FORENAME>Bench</FORENAME>\n<SURNAME>User</SURNAME>\n</USER>\n";
  }
  users.insert(end, more + extra);
  WriteWholeFile(path, users);
  if (!server.StartOnFreePort("/dev/null")) return false;
  return server.Stop() == 0;
}

void RunUsersSeries(int maxUsers, double seconds) {
  std::printf("%8s %14s %14s %12s %10s %10s %9s\n", "users", "start-up s", "peak RSS MiB", "6503 req/s", "p50 us",
              "p99 us", "failures");
  for (int n = 1000; n <= maxUsers; n *= 10) {
    ServerProcess server;
    if (!MakeUsersHome(server, n)) {
      std::printf("%8d could not make the home\n", n);
      continue;
    }
    const auto begun = Clock::now();
    if (!server.StartOnFreePort("/dev/null")) {
      std::printf("%8d the server did not start\n", n);
      continue;
    }
    const int port = server.Port();
    const double startup = std::chrono::duration<double>(Clock::now() - begun).count();
    const long peak = PeakResidentKiB(server.Pid());
    std::vector<Conn> conns;
    StepResult r;
    if (OpenConnections(port, 50, true, conns)) {
      std::mt19937 rng(static_cast<unsigned>(n));
      r = RunStep(conns,
                  {[&rng, n] {
                     return TestRequest().Header(6503).String(BenchUserName(static_cast<int>(rng() % n))).Int(1).Int(0).Bytes();
                   },
                   NamedUserReplyLength},
                  seconds);
    } else {
      r.failures = -1;
    }
    std::printf("%8d %14.3f %14.1f %12.0f %10.1f %10.1f %9d\n", n, startup, peak / 1024.0, r.perSecond, r.p50us,
                r.p99us, r.failures);
    std::fflush(stdout);
    conns.clear();
    server.Stop();
  }
}

// ---- Slow readers of the whole user list ---------------------------------------------------

// One reader of a 6502 reply, taking it as it comes: the request reader's
// word and the list's header, then each entry's size word and block.
struct ListReader {
  TestClient client;
  unsigned char head[20] = {};  // accept word, 0, time, 1, count
  size_t headHave = 0;
  int32_t count = -1;
  int32_t entries = 0;       // entries whose size word has come
  uint32_t blockLeft = 0;    // bytes of the current block still to come
  unsigned char size[4] = {};
  size_t sizeHave = 0;
  uint64_t listBytes = 0;    // entries' bytes so far
  bool failed = false;

  bool Done() const { return count >= 0 && entries == count && blockLeft == 0 && sizeHave == 0; }

  void Feed(const unsigned char* at, size_t n) {
    while (n > 0 && !failed) {
      if (headHave < sizeof head) {
        const size_t take = std::min(n, sizeof head - headHave);
        std::memcpy(head + headHave, at, take);
        headHave += take;
        at += take;
        n -= take;
        if (headHave == sizeof head) {
          failed = GetLE32(head) != 0 || GetLE32(head + 4) != 0;
          count = static_cast<int32_t>(GetLE32(head + 16));
        }
      } else if (blockLeft > 0) {
        const size_t take = std::min<size_t>(n, blockLeft);
        blockLeft -= static_cast<uint32_t>(take);
        listBytes += take;
        at += take;
        n -= take;
      } else {
        if (entries == count) {  // bytes past the list
          failed = true;
          return;
        }
        size[sizeHave++] = *at++;
        --n;
        if (sizeHave == sizeof size) {
          blockLeft = GetLE32(size);
          sizeHave = 0;
          ++entries;
          listBytes += 4;
        }
      }
    }
  }

  // Takes up to `most` bytes that have come, without waiting. False when the
  // connection ended.
  bool Take(size_t most) {
    unsigned char buf[65536];
    const ssize_t got = recv(client.Fd(), buf, std::min(most, sizeof buf), MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return false;
    if (got > 0) Feed(buf, static_cast<size_t>(got));
    return true;
  }
};

// The server's resident memory now and at its peak, in MiB.
struct Resident {
  double now = 0, peak = 0;
};
Resident ResidentOf(pid_t pid) { return {StatusKiB(pid, "VmRSS:") / 1024.0, StatusKiB(pid, "VmHWM:") / 1024.0}; }

// Opens `count` readers with a small receive buffer, logged on as `user`
// (the first logs on, the others re-attach to its session), each with its
// 6502 sent. False when one could not.
bool OpenListReaders(int port, int count, const char* user, const char* password, std::vector<ListReader>& out) {
  out.clear();
  out.reserve(static_cast<size_t>(count));
  TestSID sid{};
  for (int i = 0; i < count; ++i) {
    ListReader r;
    r.client = ConnectWithSmallReceiveBuffer(port);
    if (!r.client.Connected()) return false;
    if (i == 0) {
      TestClient::LogonReply reply = r.client.Logon(user, password, 1000);
      if (!reply.received || reply.code != 0) {
        std::fprintf(stderr, "logon of %s failed: %d\n", user, reply.code);
        return false;
      }
      sid = reply.sid;
    } else {
      auto code = r.client.AttachBySID(sid, 2000 + i);
      if (!code || *code != 0) {
        std::fprintf(stderr, "re-attach %d failed: %d\n", i, code ? *code : -1);
        return false;
      }
    }
    out.push_back(std::move(r));
  }
  for (ListReader& r : out) {
    if (!r.client.Send(TestRequest().Header(6502).Int(1).Int(0))) return false;
  }
  return true;
}

// One run of `readers` slow readers logged on as `user`: they take 1 KiB
// each every 20 ms for `slowSeconds` (the server's memory sampled every
// 100 ms meanwhile), then the rest as fast as it comes; the memory once
// they are done and closed.
void RunListReaders(ServerProcess& server, int readers, const char* label, const char* user, const char* password,
                    double slowSeconds) {
  const pid_t pid = server.Pid();
  const Resident before = ResidentOf(pid);
  // How long the first reader of the list waits for its header: the server
  // makes the list of this version first, and serves nobody meanwhile.
  double headerMs = -1;
  {
    TestClient first = TestClient::ConnectLoopback(server.Port());
    TestBytes header;
    if (first.Logon(user, password, 999).code == 0) {
      const auto sent = Clock::now();
      if (first.Send(TestRequest().Header(6502).Int(1).Int(0)) && first.RecvBytes(20, &header)) {
        headerMs = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
      }
    }
  }
  std::vector<ListReader> conns;
  if (!OpenListReaders(server.Port(), readers, user, password, conns)) {
    std::printf("%-14s %7d could not open the readers\n", label, readers);
    return;
  }
  double during = 0;
  const auto slowUntil = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(slowSeconds));
  auto nextSample = Clock::now();
  while (Clock::now() < slowUntil) {
    for (ListReader& r : conns) {
      if (!r.failed && !r.Take(1024)) r.failed = true;
    }
    if (Clock::now() >= nextSample) {
      during = std::max(during, ResidentOf(pid).now);
      nextSample += std::chrono::milliseconds(100);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  int64_t inFlight = 0;
  for (const ListReader& r : conns) inFlight += r.Done() ? 0 : 1;
  // The rest, as fast as it comes (a reader that takes nothing for 20 s has failed).
  const auto fastBegun = Clock::now();
  for (bool waiting = true; waiting;) {
    waiting = false;
    std::vector<pollfd> p;
    std::vector<ListReader*> who;
    for (ListReader& r : conns) {
      if (r.failed || r.Done()) continue;
      p.push_back({r.client.Fd(), POLLIN, 0});
      who.push_back(&r);
    }
    if (p.empty()) break;
    if (poll(p.data(), p.size(), 20000) <= 0) break;
    for (size_t i = 0; i < p.size(); ++i) {
      if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !who[i]->Take(65536)) who[i]->failed = true;
    }
    waiting = true;
    during = std::max(during, ResidentOf(pid).now);
  }
  const double fastSeconds = std::chrono::duration<double>(Clock::now() - fastBegun).count();
  int whole = 0;
  uint64_t listBytes = 0;
  for (const ListReader& r : conns) {
    if (r.Done() && !r.failed) ++whole;
    listBytes = std::max(listBytes, r.listBytes);
  }
  conns.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the server sees the closes
  const Resident after = ResidentOf(pid);
  std::printf("%-14s %7d %10.1f %10.1f %11.1f %10.1f %10.1f %10.1f %9" PRId64 " %7d %8.1f %10.1f\n", label, readers,
              listBytes / (1024.0 * 1024.0), before.now, during, after.now, after.peak, during - before.now, inFlight,
              whole, fastSeconds, headerMs);
  std::fflush(stdout);
}

void RunListReadersSeries(int readers, int users, double slowSeconds) {
  // A plain user with a cost-4 hash of "pw", to read as one who sees its own hash alone.
  char setting[kPasswordFieldSize] = {};
  char hash[kPasswordFieldSize] = {};
  if (GenerateSalt(kBcryptMinCost, setting) != 0 || HashPasswordWithSalt("pw", setting, hash) != 0) {
    std::fprintf(stderr, "no hash\n");
    return;
  }
  const std::string reader = std::string("<USER>\n<USERNAME>benchreader</USERNAME>\n<PASSWORDV2>") + hash +
                             "</PASSWORDV2>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n<USERDATA><Live><Torvane>"
                             "<Passwords><NeverExpires>1</NeverExpires></Passwords></Torvane></Live></USERDATA>\n"
                             "</USER>\n";
  ServerProcess server;
  // Started once more before the runs: the second start of a new home still
  // writes (the users' first password dates), the later ones do not, and
  // each run should find the same heap.
  if (!MakeUsersHome(server, users, reader) || !server.StartOnFreePort("/dev/null") || server.Stop() != 0) {
    std::printf("could not make the home of %d users\n", users);
    return;
  }
  std::printf("%d users; resident memory of the server in MiB (before, the most while the readers read, after\n"
              "they closed, its peak), readers still reading when the slow phase ended, readers that got\n"
              "the whole list, seconds to take the rest, and how long one reader alone first waited for\n"
              "the list's header\n",
              users);
  std::printf("%-14s %7s %10s %10s %11s %10s %10s %10s %9s %7s %8s %10s\n", "readers as", "readers", "list MiB",
              "before", "during", "after", "peak", "added", "in flight", "whole", "rest s", "header ms");
  // Each run on a server started afresh, so that neither finds the other's memory.
  for (const char* user : {"administrator", "benchreader"}) {
    if (!server.StartOnFreePort("/dev/null")) {
      std::printf("the server did not start\n");
      return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const bool admin = std::strcmp(user, "administrator") == 0;
    RunListReaders(server, readers, admin ? "administrator" : "plain user", user, admin ? "quernstoneway" : "pw",
                   slowSeconds);
    server.Stop();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--users") {
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 1024 && lim.rlim_max >= 1024) {
      lim.rlim_cur = 1024;
      setrlimit(RLIMIT_NOFILE, &lim);
    }
    RunUsersSeries(argc > 2 ? std::atoi(argv[2]) : 100000, argc > 3 ? std::atof(argv[3]) : 3.0);
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "--list-readers") {
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 2048 && lim.rlim_max >= 2048) {
      lim.rlim_cur = 2048;
      setrlimit(RLIMIT_NOFILE, &lim);
    }
    RunListReadersSeries(argc > 2 ? std::atoi(argv[2]) : 200, argc > 3 ? std::atoi(argv[3]) : 100000,
                         argc > 4 ? std::atof(argv[4]) : 5.0);
    return 0;
  }
  int maxConns = argc > 1 ? std::atoi(argv[1]) : 500;
  double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 2048 && rl.rlim_max >= 2048) {
    rl.rlim_cur = 2048;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  TempDir logs;
  RunSeries("a file", logs.File("server.stderr"), maxConns, seconds);
  RunSeries("/dev/null", "/dev/null", maxConns, seconds);
  return 0;
}
