// Benchmark of one client's effect on another: the running server over
// loopback, with a good client that asks for the version (6628) in a closed
// loop, first alone and then beside each hostile client in turn:
//   - one that asks for every user (6502, a few MB) and never reads the reply;
//   - one that stops in the middle of a request header;
//   - one that stops in the middle of a request's arguments;
//   - one that sends a request a byte a second;
//   - eight connections that log on with wrong passwords against a cost-12
//     hash, as fast as they are answered.
// For each it prints the good client's p50, p99 and maximum latency and its
// request count. Then 6503 (a user by name) at 1 and 50 connections on a home
// of 10,000 users, for comparison with another build of the server
// (TORVANE_SERVER_BINARY names the program).
// With --cpu N the server runs on core N alone and the clients on the others,
// so that two builds compare without the scheduler's noise; --requests N
// makes each 6503 step a fixed number of requests (for instruction counts of
// the server under valgrind).
//   build/hostile_bench [seconds-per-case=3] [--named-only] [--cpu N] [--requests N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <dirent.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/crypto/password_hash.h"
#include "support/hostile_clients.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace {

using Clock = std::chrono::steady_clock;

int g_serverCpu = -1;  // --cpu: the core of the server (-1: anywhere)
long g_fixedRequests = 0;  // --requests: each 6503 step sends this many, whatever the time

// Every core but the server's.
cpu_set_t OtherCores() {
  cpu_set_t rest;
  CPU_ZERO(&rest);
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  for (long c = 0; c < cores; ++c) {
    if (c != g_serverCpu) CPU_SET(static_cast<int>(c), &rest);
  }
  return rest;
}

// Pins a started server's own thread to its core, and its other threads (the
// workers that hash passwords, once they exist) to the other cores, as they
// would spread over a machine's cores. Called again once workers may exist.
void PinServer(const ServerProcess& server) {
  if (g_serverCpu < 0) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(g_serverCpu, &one);
  const cpu_set_t rest = OtherCores();
  const std::string tasks = "/proc/" + std::to_string(server.Pid()) + "/task/";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return;
  while (dirent* e = readdir(dir)) {
    const pid_t tid = static_cast<pid_t>(std::atoi(e->d_name));
    if (tid <= 0) continue;
    const cpu_set_t& set = tid == server.Pid() ? one : rest;
    if (sched_setaffinity(tid, sizeof set, &set) != 0) std::perror("sched_setaffinity (server)");
  }
  closedir(dir);
}

void KeepClientsOffTheServersCore() {
  if (g_serverCpu < 0) return;
  const cpu_set_t rest = OtherCores();
  if (sched_setaffinity(0, sizeof rest, &rest) != 0) std::perror("sched_setaffinity (clients)");
}
using std::chrono::milliseconds;

constexpr const char* kAdmin = kHostileAdmin;
constexpr const char* kAdminPassword = kHostileAdminPassword;

std::string CheapHash(const char* clear) {
  char setting[kPasswordFieldSize] = {};
  char hash[kPasswordFieldSize] = {};
  GenerateSalt(kBcryptMinCost, setting);
  HashPasswordWithSalt(clear, setting, hash);
  return hash;
}

// A new home: the administrator's published password with a cost-4 hash
// (ZentakUser keeps its cost-12 one), and `users` more users whose forenames
// are `forenameBytes` long (UIDs from 0x21000000, clear of the settings' own).
bool PrepareHome(ServerProcess& server, int users, size_t forenameBytes) {
  if (server.Initialise() != 0) return false;
  const std::string path = server.Home() + "users.xml";
  std::string text = ReadWholeFile(path);
  if (!ReplaceStoredPasswordHash(text, "administrator", CheapHash(kAdminPassword))) return false;
  std::string more;
  const std::string forename(forenameBytes, 'f');
  char uid[16];
  for (int i = 0; i < users; ++i) {
    std::snprintf(uid, sizeof uid, "%08X", 0x21000000 + i);
    more += std::string("<USER>\n<UID>") + uid + "</UID>\n<USERNAME>benchuser" + std::to_string(i) +
            "</USERNAME>\n<PASSWORDV2>00000000</PASSWORDV2>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n<FORENAME>" +
            forename + "</FORENAME>\n</USER>\n";
  }
  const size_t end = text.rfind("</USERS>");
  if (end == std::string::npos) return false;
  text.insert(end, more);
  WriteWholeFile(path, text);
  return true;
}

// The hostile client of one case, started on the port; it runs until stopped.
struct HostileCase {
  const char* name;
  bool (*start)(int port, HostileRun& run);
};

bool NoHostile(int, HostileRun&) { return true; }
bool ByteASecond(int port, HostileRun& run) { return StartDribbler(port, run, milliseconds(1000)); }
bool EightWrongPasswords(int port, HostileRun& run) { return StartWrongPasswords(port, run, 8); }

struct Latencies {
  std::vector<double> us;
  bool failed = false;
  double Percentile(double p) const {
    if (us.empty()) return 0;
    return us[std::min(us.size() - 1, static_cast<size_t>(p * static_cast<double>(us.size())))];
  }
  double Max() const { return us.empty() ? 0 : us.back(); }
};

// The good client: 6628 in a closed loop for `seconds`.
Latencies RunGoodClient(int port, double seconds) {
  Latencies out;
  TestClient good = TestClient::ConnectLoopback(port);
  good.SetTimeoutMs(200000);
  out.us.reserve(1 << 20);
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const TestBytes request = TestRequest().Header(6628).Bytes();
  while (Clock::now() < end) {
    const auto before = Clock::now();
    if (!good.Send(request) || !good.RecvInt() || !good.RecvInt()) {
      out.failed = true;
      break;
    }
    out.us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  std::sort(out.us.begin(), out.us.end());
  return out;
}

void RunHostileCases(double seconds) {
  const HostileCase cases[] = {
      {"none (the good client alone)", NoHostile},
      {"6502 of a few MB, never read", StartNeverReadingList},
      {"stops mid-header", StartMidHeader},
      {"stops mid-arguments", StartMidArguments},
      {"one byte a second", ByteASecond},
      {"8 connections of wrong passwords (cost 12)", EightWrongPasswords},
  };
  std::printf("The good client (6628 in a closed loop) beside each hostile client, %.0f s each\n", seconds);
  std::printf("%-44s %10s %10s %12s %10s\n", "hostile client", "p50 us", "p99 us", "max us", "requests");
  for (const HostileCase& c : cases) {
    ServerProcess server;
    // 1,500 users with 2 KiB forenames: the list is about 3 MB.
    if (!PrepareHome(server, 1500, 2048) || !server.StartOnFreePort("/dev/null")) {
      std::printf("%-44s the server did not start\n", c.name);
      continue;
    }
    PinServer(server);
    HostileRun run;
    if (!c.start(server.Port(), run)) std::printf("%-44s (the hostile client did not start)\n", c.name);
    std::this_thread::sleep_for(milliseconds(300));
    PinServer(server);  // the workers the hostile client made the server start
    const Latencies l = RunGoodClient(server.Port(), seconds);
    run.Stop();
    std::printf("%-44s %10.1f %10.1f %12.1f %10zu%s\n", c.name, l.Percentile(0.5), l.Percentile(0.99), l.Max(),
                l.us.size(), l.failed ? "  (the good client failed)" : "");
    std::fflush(stdout);
    server.Stop();
  }
}

// 6503 at `conns` connections, each sending its next request once the last
// is answered: requests per second and p50/p99.
void RunNamedUserStep(int port, int conns, int users, double seconds) {
  std::vector<TestClient> clients;
  TestSID sid{};
  for (int i = 0; i < conns; ++i) {
    TestClient c = TestClient::ConnectLoopback(port);
    if (i == 0) {
      TestClient::LogonReply reply = c.Logon(kAdmin, kAdminPassword, 1000);
      sid = reply.sid;
    } else {
      c.AttachBySID(sid, 2000 + i);
    }
    clients.push_back(std::move(c));
  }
  std::mt19937 rng(7);
  auto next = [&rng, users] {
    return TestRequest().Header(6503).String("benchuser" + std::to_string(rng() % users)).Int(1).Int(0).Bytes();
  };
  std::vector<std::vector<unsigned char>> in(clients.size());
  std::vector<Clock::time_point> sentAt(clients.size(), Clock::now());
  for (TestClient& c : clients) c.Send(next());
  std::vector<double> lat;
  lat.reserve(1 << 20);
  std::vector<pollfd> p(clients.size());
  unsigned char buf[65536];
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  auto word = [](const std::vector<unsigned char>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
  };
  long sent = static_cast<long>(clients.size());
  while (g_fixedRequests > 0 ? static_cast<long>(lat.size()) < g_fixedRequests : Clock::now() < end) {
    for (size_t i = 0; i < clients.size(); ++i) p[i] = {clients[i].Fd(), POLLIN, 0};
    if (poll(p.data(), p.size(), 1000) < 0) break;
    for (size_t i = 0; i < clients.size(); ++i) {
      if (!(p[i].revents & POLLIN)) continue;
      ssize_t got = recv(p[i].fd, buf, sizeof buf, MSG_DONTWAIT);
      if (got <= 0) continue;
      in[i].insert(in[i].end(), buf, buf + got);
      for (;;) {
        size_t total = 0;
        if (in[i].size() >= 8 && word(in[i], 4) != 0) total = 8;
        if (in[i].size() >= 12 && word(in[i], 4) == 0) total = 12 + word(in[i], 8);
        if (total == 0 || in[i].size() < total) break;
        in[i].erase(in[i].begin(), in[i].begin() + static_cast<long>(total));
        const auto now = Clock::now();
        lat.push_back(std::chrono::duration<double, std::micro>(now - sentAt[i]).count());
        sentAt[i] = now;
        if (g_fixedRequests == 0 || sent < g_fixedRequests) {
          clients[i].Send(next());
          ++sent;
        }
      }
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(lat.begin(), lat.end());
  const double p50 = lat.empty() ? 0 : lat[lat.size() / 2];
  const double p99 = lat.empty() ? 0 : lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
  std::printf("6503 at %3d connections %12.0f requests/s %10.1f p50 us %10.1f p99 us\n", conns,
              static_cast<double>(lat.size()) / elapsed, p50, p99);
  std::fflush(stdout);
}

void RunNamedUserCases(double seconds) {
  constexpr int kUsers = 10000;
  ServerProcess server;
  if (!PrepareHome(server, kUsers, 5) || !server.StartOnFreePort("/dev/null")) {
    std::printf("6503: the server did not start\n");
    return;
  }
  PinServer(server);
  std::printf("\n6503 (a user by name) on a home of %d users, server %s\n", kUsers, ServerBinaryPath().c_str());
  for (int conns : {1, 50}) RunNamedUserStep(server.Port(), conns, kUsers, seconds);
  server.Stop();
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  bool namedOnly = false;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--named-only") namedOnly = true;
    if (a == "--cpu" && i + 1 < argc) g_serverCpu = std::atoi(argv[++i]);
    if (a == "--requests" && i + 1 < argc) g_fixedRequests = std::atol(argv[++i]);
  }
  KeepClientsOffTheServersCore();
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 1024 && rl.rlim_max >= 1024) {
    rl.rlim_cur = 1024;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  if (!namedOnly) RunHostileCases(seconds);
  RunNamedUserCases(seconds);
  return 0;
}
