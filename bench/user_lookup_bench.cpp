// Load benchmark of the user lookup by name (message 6503) against the real
// server: a temporary home of 10,000 and of 100,000 users, the server started
// on a free loopback port with its standard error to a file or to /dev/null,
// then 1, 50, 200 and 500 connections, each logged on as a plain user, sending
// one request at a time for a random user. Prints requests per second, p50,
// p99 and p99.9 latency, and the server's CPU time and file read and write
// system calls per request (/proc/<pid>/io counts read(2) and write(2) of files
// and standard error, not recv and send on sockets), which show what bounds
// it: the log writes, the syscalls of the request, or the lookup itself. For
// every system call, run the server under `strace -c`.
// One connection is measured twice: a client that spins on a non-blocking
// receive, and one that sleeps in poll (which adds the wake-up of a thread).
// A program, not a test:
//   user_lookup_bench [--server PATH] [--users 10000,100000] [--conns 1,50,200,500]
//                     [--seconds 3] [--threads 3]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "directory/first_start.h"
#include "directory/groups.h"
#include "directory/groups_file.h"
#include "directory/users_files.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/util/byte_order.h"
#include "support/process_cores.h"
#include "support/test_client.h"

namespace {

constexpr const char kBenchUser[] = "benchuser";
constexpr const char kBenchPassword[] = "bench-pw";
constexpr int32_t kGetNamedUser = 6503;
constexpr int32_t kBenchClientID = 1;

using Clock = std::chrono::steady_clock;

int CheapHasher(const char* password, char* setting, char* hash) {
  int rc = GenerateSalt(kBcryptMinCost, setting);
  return rc != 0 ? rc : HashPasswordWithSalt(password, setting, hash);
}

std::string UserName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "user%06d", i);
  return name;
}

// ---- The home ----------------------------------------------------------------------------

// A home of the built-in accounts, `n` users with names, e-mail, a group and
// a field each, and the plain user the connections log on as (a cost-4
// hash, so the logons of 500 connections take no time): the first users.xml
// of a new home with the users' elements added, which the server's start
// upgrades to the per-user files. (Adding 100,000 users one by one through
// the store, as clients do, makes every add search the users tree.)
bool MakeHome(const std::string& home, int n) {
  std::filesystem::create_directories(home);
  SetHomeDirectory(home.c_str());
  SetGroupsFilePath(home + "groups.xml");
  SetDefaultUsersHasher(CheapHasher);
  if (CreateDefaultGroups() != 0 || CreateDefaultPermission() != 0 || CreateDefaultUsersXML(home.c_str()) != 0 ||
      WriteGroupsXML(home + "groups.xml") != 0) {
    std::fprintf(stderr, "cannot make the built-in directory\n");
    return false;
  }
  FreeUsersData();
  FreeGroupArray();
  FreePermissionArray();
  char setting[kPasswordFieldSize] = {};
  char hash[kPasswordFieldSize] = {};
  CheapHasher(kBenchPassword, setting, hash);
  const std::string path = home + "users.xml";
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t end = text.rfind("</USERS>");
  if (end == std::string::npos) return false;
  std::string users;
  users.reserve(static_cast<size_t>(n) * 400);
  // The users' UIDs follow those the built-in groups, permission and users
  // were just given, so that none is a built-in object's (a clash makes the
  // server set files aside at its start).
  const UID first = GetNewUID();
  if (first == 0) return false;
  char uid[16];
  for (int i = 0; i <= n; ++i) {
    std::string name = i == n ? kBenchUser : UserName(i);
    std::snprintf(uid, sizeof uid, "%08X", first + static_cast<UID>(i));
    users += "<USER>\n<UID>" + std::string(uid) + "</UID>\n<USERNAME>" + name + "</USERNAME>\n<PASSWORDV2>" + hash +
             "</PASSWORDV2>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n<FORENAME>Forename" + std::to_string(i) +
             "</FORENAME>\n<SURNAME>Surname" + std::to_string(i) + "</SURNAME>\n<EMAIL>" + name +
             "@example.org</EMAIL>\n<GROUPLIST>Everyone</GROUPLIST>\n<FIELD NAME=\"Department\">Benchmarks</FIELD>\n"
             "<USERDATA>\n<Live>\n<Torvane>\n<Passwords>\n<NeverExpires>1\n</NeverExpires>\n</Passwords>\n"
             "</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";
  }
  text.insert(end, users);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return static_cast<bool>(out);
}

// ---- The server --------------------------------------------------------------------------

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  int port = ntohs(a.sin_port);
  close(fd);
  return port;
}

struct Server {
  pid_t pid = -1;
  int port = 0;
};

// Starts "server -debug <port> <home>" with standard error (and output) to
// `logPath`, and waits until it accepts connections (the load of a large
// home takes a while).
bool StartServer(const std::string& binary, const std::string& home, const std::string& logPath, Server* s) {
  s->port = FreePort();
  s->pid = fork();
  if (s->pid == 0) {
    int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    std::string port = std::to_string(s->port);
    execl(binary.c_str(), binary.c_str(), "-debug", port.c_str(), home.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 3000; ++i) {
    TestClient c = TestClient::ConnectLoopback(s->port);
    if (c.Connected()) return true;
    int status = 0;
    if (waitpid(s->pid, &status, WNOHANG) == s->pid) {
      std::fprintf(stderr, "the server ended during its start (status %d)\n", status);
      return false;
    }
    usleep(50 * 1000);
  }
  return false;
}

void StopServer(Server* s) {
  if (s->pid <= 0) return;
  kill(s->pid, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (waitpid(s->pid, nullptr, WNOHANG) == s->pid) {
      s->pid = -1;
      return;
    }
    usleep(20 * 1000);
  }
  kill(s->pid, SIGKILL);
  waitpid(s->pid, nullptr, 0);
  s->pid = -1;
}

// The server's CPU seconds and read and write system calls so far.
struct ServerCounters {
  double cpu = 0;
  long long syscr = 0, syscw = 0;
};
ServerCounters ReadCounters(pid_t pid) {
  ServerCounters c;
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  long long value = 0;
  while (io >> key >> value) {
    if (key == "syscr:") c.syscr = value;
    if (key == "syscw:") c.syscw = value;
  }
  c.cpu = ProcessCpuSeconds(pid);
  return c;
}

// ---- The clients -------------------------------------------------------------------------

// One connection: its pending request's start and how much of the reply has
// arrived (the reader's 0, the status, the size, then the block).
struct Conn {
  TestClient client;
  Clock::time_point sent;
  std::vector<unsigned char> in;
  size_t need = 12;
  bool gotSize = false;
};

std::vector<unsigned char> LookupRequest(const std::string& name) {
  return TestRequest().Header(kGetNamedUser).String(name).Int(1).Int(0).Bytes();
}

struct ThreadResult {
  std::vector<uint32_t> micros;  // latency of each request
  long long failures = 0;
};

bool SendLookup(Conn& c, std::mt19937& rng, int users) {
  std::vector<unsigned char> req = LookupRequest(UserName(static_cast<int>(rng() % static_cast<unsigned>(users))));
  c.in.clear();
  c.need = 12;
  c.gotSize = false;
  c.sent = Clock::now();
  return send(c.client.Fd(), req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size());
}

// Reads what is there; true when the whole reply has arrived.
bool ReadSome(Conn& c, ThreadResult& r, bool* broken) {
  unsigned char buf[16384];
  ssize_t n = recv(c.client.Fd(), buf, sizeof buf, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
    *broken = true;
    return false;
  }
  if (n < 0) return false;
  c.in.insert(c.in.end(), buf, buf + n);
  if (!c.gotSize && c.in.size() >= 12) {
    if (GetLE32(c.in.data()) != 0 || GetLE32(c.in.data() + 4) != 0) ++r.failures;
    c.need = 12 + GetLE32(c.in.data() + 8);
    c.gotSize = true;
  }
  return c.gotSize && c.in.size() >= c.need;
}

// A closed loop over `conns` until `end`: every connection has one request
// out at a time. `spin`: poll the sockets without sleeping.
void RunClients(std::vector<Conn*> conns, int users, Clock::time_point end, bool spin, unsigned seed,
                ThreadResult* r) {
  std::mt19937 rng(seed);
  for (Conn* c : conns) SendLookup(*c, rng, users);
  std::vector<pollfd> fds(conns.size());
  while (Clock::now() < end) {
    for (size_t i = 0; i < conns.size(); ++i) fds[i] = pollfd{conns[i]->client.Fd(), POLLIN, 0};
    int ready = poll(fds.data(), fds.size(), spin ? 0 : 100);
    if (ready <= 0) continue;
    for (size_t i = 0; i < conns.size(); ++i) {
      if (fds[i].revents == 0) continue;
      bool broken = false;
      if (ReadSome(*conns[i], *r, &broken)) {
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - conns[i]->sent).count();
        r->micros.push_back(static_cast<uint32_t>(us));
        SendLookup(*conns[i], rng, users);
      } else if (broken) {
        ++r->failures;
        return;
      }
    }
  }
}

struct RunFigures {
  double rps = 0, p50 = 0, p99 = 0, p999 = 0;
  double cpuPerRequestUs = 0, readsPerRequest = 0, writesPerRequest = 0;
  long long failures = 0;
};

double Percentile(std::vector<uint32_t>& v, double q) {
  if (v.empty()) return 0;
  size_t k = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

bool Measure(const Server& s, int users, int connections, int threads, double seconds, bool spin, RunFigures* f) {
  std::vector<std::unique_ptr<Conn>> conns;
  for (int i = 0; i < connections; ++i) {
    auto c = std::make_unique<Conn>();
    c->client = TestClient::ConnectLoopback(s.port);
    if (!c->client.Connected()) return false;
    int one = 1;
    setsockopt(c->client.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    TestClient::LogonReply reply = c->client.Logon(kBenchUser, kBenchPassword, kBenchClientID);
    if (!reply.received || reply.code != 0) {
      std::fprintf(stderr, "logon %d failed: %d\n", i, reply.code);
      return false;
    }
    conns.push_back(std::move(c));
  }
  threads = std::max(1, std::min(threads, connections));
  std::vector<std::vector<Conn*>> parts(static_cast<size_t>(threads));
  for (size_t i = 0; i < conns.size(); ++i) parts[i % parts.size()].push_back(conns[i].get());
  std::vector<ThreadResult> results(parts.size());

  // A short warm-up, then the measured run.
  for (int pass = 0; pass < 2; ++pass) {
    for (ThreadResult& r : results) r = ThreadResult();
    ServerCounters before = ReadCounters(s.pid);
    Clock::time_point start = Clock::now();
    Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(pass == 0 ? 0.5 : seconds));
    std::vector<std::thread> pool;
    for (size_t t = 0; t < parts.size(); ++t) {
      pool.emplace_back(RunClients, parts[t], users, end, spin, static_cast<unsigned>(t * 7919 + pass), &results[t]);
    }
    for (std::thread& t : pool) t.join();
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    ServerCounters after = ReadCounters(s.pid);
    // Let the replies still in flight arrive, so the next pass starts clean.
    for (auto& c : conns) {
      for (int k = 0; k < 200 && !c->gotSize; ++k) {
        ThreadResult dummy;
        bool broken = false;
        if (ReadSome(*c, dummy, &broken) || broken) break;
        usleep(1000);
      }
      while (c->gotSize && c->in.size() < c->need) {
        ThreadResult dummy;
        bool broken = false;
        ReadSome(*c, dummy, &broken);
        if (broken) break;
      }
    }
    if (pass == 0) continue;
    std::vector<uint32_t> all;
    for (ThreadResult& r : results) {
      all.insert(all.end(), r.micros.begin(), r.micros.end());
      f->failures += r.failures;
    }
    double n = static_cast<double>(all.size());
    f->rps = n / wall;
    f->p50 = Percentile(all, 0.50);
    f->p99 = Percentile(all, 0.99);
    f->p999 = Percentile(all, 0.999);
    if (n > 0) {
      f->cpuPerRequestUs = (after.cpu - before.cpu) * 1e6 / n;
      f->readsPerRequest = static_cast<double>(after.syscr - before.syscr) / n;
      f->writesPerRequest = static_cast<double>(after.syscw - before.syscw) / n;
    }
  }
  return true;
}

std::vector<int> ParseList(const char* text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(std::atoi(item.c_str()));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string binary = "build/TorvaneServer";
  std::vector<int> userCounts = {10000, 100000};
  std::vector<int> connCounts = {1, 50, 200, 500};
  double seconds = 3;
  int threads = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string opt = argv[i];
    if (opt == "--server") binary = argv[i + 1];
    else if (opt == "--users") userCounts = ParseList(argv[i + 1]);
    else if (opt == "--conns") connCounts = ParseList(argv[i + 1]);
    else if (opt == "--seconds") seconds = std::atof(argv[i + 1]);
    else if (opt == "--threads") threads = std::atoi(argv[i + 1]);
  }
  binary = std::filesystem::absolute(binary).string();
  // One directory per run: benchmarks started side by side never share a home.
  std::string base = (std::filesystem::temp_directory_path() /
                      ("torvane-lookup-bench-" + std::to_string(getpid()))).string();
  std::printf("%-7s %-9s %5s %-6s %10s %9s %9s %9s %10s %7s %7s %5s\n", "users", "log", "conns", "client", "req/s",
              "p50 us", "p99 us", "p99.9 us", "cpu us/req", "rd/req", "wr/req", "fail");
  for (int users : userCounts) {
    std::string home = base + "/" + std::to_string(users) + "/";
    std::filesystem::remove_all(home);
    auto t0 = Clock::now();
    if (!MakeHome(home, users)) return 1;
    std::fprintf(stderr, "home of %d users made in %.1f s\n", users,
                 std::chrono::duration<double>(Clock::now() - t0).count());
    for (const char* logMode : {"file", "devnull"}) {
      std::string logPath = std::string(logMode) == "file" ? home + "stderr.log" : "/dev/null";
      Server s;
      if (!StartServer(binary, home, logPath, &s)) {
        std::fprintf(stderr, "cannot start %s\n", binary.c_str());
        StopServer(&s);
        return 1;
      }
      for (int conns : connCounts) {
        for (int spin = conns == 1 ? 1 : 0; spin >= 0; --spin) {
          RunFigures f;
          if (!Measure(s, users, conns, conns == 1 ? 1 : threads, seconds, spin != 0, &f)) {
            std::fprintf(stderr, "run with %d connections failed\n", conns);
            continue;
          }
          std::printf("%-7d %-9s %5d %-6s %10.0f %9.0f %9.0f %9.0f %10.1f %7.2f %7.2f %5lld\n", users, logMode, conns,
                      spin ? "spin" : "sleep", f.rps, f.p50, f.p99, f.p999, f.cpuPerRequestUs, f.readsPerRequest,
                      f.writesPerRequest, f.failures);
          std::fflush(stdout);
        }
      }
      StopServer(&s);
    }
    std::filesystem::remove_all(home);
  }
  std::filesystem::remove_all(base);
  return 0;
}
