// Benchmark of the request path side by side with a directory server and a
// floor: a user looked up by name (message 6503) from the running server, the
// same lookup from a slapd of the tests' own fixture (a base search for
// uid=<name>, the entry returned), and a floor that does nothing but the
// system calls of a request. All three hold the same 10,000 users, run
// together and are pinned to one core (--cpu), while the clients run on the
// other cores; the steps interleave (each round measures every client shape
// on the three in turn), and the summary gives the medians of the rounds.
//
//   - The floor is a one-thread epoll server of this program (a child
//     process): it frames each request as the server's request reader does
//     (the header, its token, then 6503's name string, version and stamp) and
//     answers with the very bytes the server sent for that name, recorded
//     before the rounds: one wait, one recv and one send per request.
//   - The slapd client speaks LDAP with BER messages encoded by hand on raw
//     sockets: a SearchRequest (base object, filter (objectClass=*), every
//     user attribute), the reply read up to its SearchResultDone.
//   - The server's connections are logged on (one logon, the others attached
//     to its SID) before the measured requests.
//
// Client shapes: one connection with a client that spins on a non-blocking
// receive, one connection with a client that sleeps in recv, and 50 and 200
// connections served by --client-threads threads that sleep in epoll (with
// --spin-many, also by threads that spin on it: a reply that must wake a
// sleeping client costs its sender a cross-core wake-up, which on a virtual
// machine is dear, and the faster target keeps its clients awake more). Every
// shape is a closed loop (one request out per connection) over random names.
// For each it prints requests per second, p50 and p99 latency, and the
// ratios server/slapd and server/floor.
//
// Then the system calls per request of each under load (50 connections, a
// fixed number of requests, strace -c -f on the pinned process), each call
// with what it does. --perf FILE records the server (cpu-clock, call graphs)
// during one more step of 50 connections (and FILE.spin with --spin-many; of
// the one spinning connection with --conns 1); --callgrind FILE runs the server
// under callgrind, instrumented for exactly --requests requests at 50
// connections only, and prints its instructions per request.
//
//   build/compare_bench [--cpu 2] [--seconds 3] [--rounds 3] [--users 10000]
//                       [--conns 1,50,200] [--client-threads 3] [--only server,slapd,floor]
//                       [--requests 20000] [--no-strace] [--perf FILE] [--callgrind FILE]
//                       [--server-log file|null] [--slapd-log stats|none] [--spin-many]
// TORVANE_SERVER_BINARY names the server program (default: this build's).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/crypto/password_hash.h"
#include "support/process_cores.h"
#include "support/server_process.h"
#include "support/slapd_fixture.h"
#include "support/test_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

constexpr int32_t kGetNamedUser = 6503;
constexpr const char kAdmin[] = "administrator";
constexpr const char kAdminPassword[] = "quernstoneway";
constexpr const char kNamePrefix[] = "benchuser";
constexpr const char kSlapdDomain[] = "bench";
constexpr int kWarmUpMs = 300;

// ---- Options -----------------------------------------------------------------------------

struct Options {
  int cpu = 2;  // the core of the three servers
  double seconds = 3;
  int rounds = 3;
  int users = 10000;
  std::vector<int> conns = {1, 50, 200};
  int clientThreads = 3;
  bool server = true, slapd = true, floor = true;
  long requests = 20000;  // each fixed-count step (strace, callgrind)
  bool strace = true;
  std::string perfFile, callgrindFile;
  bool serverLogToFile = true;  // the server's standard error: a file (as slapd's), or /dev/null
  bool slapdQuiet = false;      // slapd without its stats log (loglevel 0, -d 0)
  bool spinMany = false;        // many connections also with clients that spin on epoll_wait
};

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(item);
  return out;
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    const std::string v = hasValue ? argv[i + 1] : "";
    if (a == "--no-strace") {
      o.strace = false;
      continue;
    }
    if (a == "--spin-many") {
      o.spinMany = true;
      continue;
    }
    if (!hasValue) {
      std::fprintf(stderr, "unknown or incomplete option %s\n", a.c_str());
      return false;
    }
    ++i;
    if (a == "--cpu") o.cpu = std::atoi(v.c_str());
    else if (a == "--seconds") o.seconds = std::atof(v.c_str());
    else if (a == "--rounds") o.rounds = std::max(1, std::atoi(v.c_str()));
    else if (a == "--users") o.users = std::max(1, std::atoi(v.c_str()));
    else if (a == "--client-threads") o.clientThreads = std::max(1, std::atoi(v.c_str()));
    else if (a == "--requests") o.requests = std::max(1L, std::atol(v.c_str()));
    else if (a == "--perf") o.perfFile = std::filesystem::absolute(v).string();
    else if (a == "--callgrind") o.callgrindFile = std::filesystem::absolute(v).string();
    else if (a == "--server-log") o.serverLogToFile = v != "null";
    else if (a == "--slapd-log") o.slapdQuiet = v == "none";
    else if (a == "--conns") {
      o.conns.clear();
      for (const std::string& c : SplitList(v)) o.conns.push_back(std::max(1, std::atoi(c.c_str())));
    } else if (a == "--only") {
      o.server = o.slapd = o.floor = false;
      for (const std::string& t : SplitList(v)) {
        o.server = o.server || t == "server";
        o.slapd = o.slapd || t == "slapd";
        o.floor = o.floor || t == "floor";
      }
    } else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return false;
    }
  }
  if (o.cpu < 0 || o.cpu >= sysconf(_SC_NPROCESSORS_ONLN)) {
    std::fprintf(stderr, "--cpu %d: no such core\n", o.cpu);
    return false;
  }
  return true;
}

// ---- Load -------------------------------------------------------------------------------

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  double a = 0, b = 0, c = 0;
  in >> a >> b >> c;
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", a, b, c);
  return text;
}

// ---- The users -----------------------------------------------------------------------------

// Fixed-width names, so that every reply of one server has one size.
std::string UserName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "%s%05d", kNamePrefix, i);
  return name;
}

// The index of a name UserName made, or -1.
int UserIndex(const char* text, size_t length) {
  const size_t prefix = sizeof kNamePrefix - 1;
  if (length <= prefix || std::memcmp(text, kNamePrefix, prefix) != 0) return -1;
  int value = 0;
  for (size_t i = prefix; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9' || value > 10000000) return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

std::string CheapHash(const char* clear) {
  char setting[kPasswordFieldSize] = {};
  char hash[kPasswordFieldSize] = {};
  GenerateSalt(kBcryptMinCost, setting);
  HashPasswordWithSalt(clear, setting, hash);
  return hash;
}

// The first UID of the bench's users: above the home's uid.val (the next
// UID the configuration hands out) by a wide margin, so that no setting or
// application made later takes one of theirs. 0 when uid.val is unreadable
// or the range would reach the built-in accounts' UIDs (0xEE6B28xx).
uint32_t FirstUserUID(const std::string& home, int users) {
  const std::string bytes = ReadWholeFile(home + "uid.val");
  if (bytes.size() < 4) return 0;
  uint32_t next = 0;
  for (int i = 3; i >= 0; --i) next = next << 8 | static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
  const uint32_t first = std::max<uint32_t>(0x21000000u, next + 0x01000000u);
  return first + static_cast<uint32_t>(users) < 0xEE000000u ? first : 0;
}

// A new home of the built-in accounts (the administrator's published
// password with a cost-4 hash) and `users` users, each with a forename,
// surname, e-mail address, group and `hash` as its password hash: the users'
// elements added to the first users.xml, which the first start turns into
// the per-user files.
bool PrepareServerHome(ServerProcess& server, int users, const std::string& hash) {
  if (server.Initialise() != 0) {
    std::fprintf(stderr, "the server's -i failed\n");
    return false;
  }
  const uint32_t firstUID = FirstUserUID(server.Home(), users);
  if (firstUID == 0) {
    std::fprintf(stderr, "no UID range clear of uid.val for %d users\n", users);
    return false;
  }
  const std::string path = server.Home() + "users.xml";
  std::string text = ReadWholeFile(path);
  if (!ReplaceStoredPasswordHash(text, "administrator", CheapHash(kAdminPassword))) return false;
  std::string more;
  more.reserve(static_cast<size_t>(users) * 400);
  char uid[16];
  for (int i = 0; i < users; ++i) {
    const std::string n = UserName(i);
    std::snprintf(uid, sizeof uid, "%08X", firstUID + static_cast<uint32_t>(i));
    more += std::string("<USER>\n<UID>") + uid + "</UID>\n<USERNAME>" + n + "</USERNAME>\n<PASSWORDV2>" + hash +
            "</PASSWORDV2>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n<FORENAME>Forename</FORENAME>\n<SURNAME>" + n +
            "</SURNAME>\n<EMAIL>" + n + "@example.org</EMAIL>\n<GROUPLIST>Everyone</GROUPLIST>\n</USER>\n";
  }
  const size_t end = text.rfind("</USERS>");
  if (end == std::string::npos) return false;
  text.insert(end, more);
  WriteWholeFile(path, text);
  return true;
}

// Starts the prepared server on a free port, its standard output (the
// console run's preamble, its words at the stop) kept out of this program's.
bool StartServer(ServerProcess& server, const std::string& stderrPath) {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved < 0 || null < 0) return false;
  dup2(null, STDOUT_FILENO);
  close(null);
  const bool started = server.StartOnFreePort(stderrPath);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  return started;
}

// ---- Wire words --------------------------------------------------------------------------

uint32_t Word(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The server's reply to 6503 at the start of `in`: the reader's 0, the
// handler's code, and with code 0 the block's size and bytes. Its length
// once whole, else 0; `failed` when a word is not 0.
size_t TorvaneReplyLength(const unsigned char* in, size_t have, bool* failed) {
  if (have < 8) return 0;
  if (Word(in) != 0 || Word(in + 4) != 0) {
    *failed = true;
    return 8;
  }
  if (have < 12) return 0;
  const size_t total = 12 + static_cast<size_t>(Word(in + 8));
  return have >= total ? total : 0;
}

// ---- LDAP by hand ------------------------------------------------------------------------

void BerLength(Bytes& out, size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<unsigned char>(length));
  } else if (length < 0x100) {
    out.push_back(0x81);
    out.push_back(static_cast<unsigned char>(length));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<unsigned char>(length >> 8));
    out.push_back(static_cast<unsigned char>(length));
  }
}

void BerElement(Bytes& out, unsigned char tag, const Bytes& content) {
  out.push_back(tag);
  BerLength(out, content.size());
  out.insert(out.end(), content.begin(), content.end());
}

// A positive INTEGER (or ENUMERATED) in its shortest two's-complement form.
Bytes BerInteger(uint32_t value) {
  Bytes b;
  do {
    b.insert(b.begin(), static_cast<unsigned char>(value & 0xFF));
    value >>= 8;
  } while (value != 0);
  if (b[0] & 0x80) b.insert(b.begin(), 0);
  return b;
}

// LDAPMessage { messageID, SearchRequest { baseObject dn, scope base(0),
// derefAliases never(0), sizeLimit 0, timeLimit 0, typesOnly FALSE,
// filter present "objectClass", attributes {} } }.
Bytes LdapBaseSearch(uint32_t messageID, const std::string& dn) {
  Bytes search;
  BerElement(search, 0x04, Bytes(dn.begin(), dn.end()));
  BerElement(search, 0x0A, {0});
  BerElement(search, 0x0A, {0});
  BerElement(search, 0x02, {0});
  BerElement(search, 0x02, {0});
  BerElement(search, 0x01, {0});
  const std::string present = "objectClass";
  BerElement(search, 0x87, Bytes(present.begin(), present.end()));
  BerElement(search, 0x30, {});
  Bytes message;
  BerElement(message, 0x02, BerInteger(messageID));
  BerElement(message, 0x63, search);
  Bytes out;
  BerElement(out, 0x30, message);
  return out;
}

// The tag and content bounds of the BER element at `at`; false when it is
// not whole in [at, end) (or its length form is not one this reads).
bool BerRead(const unsigned char* base, size_t at, size_t end, unsigned char* tag, size_t* content,
             size_t* next) {
  if (at + 2 > end) return false;
  *tag = base[at];
  size_t length = base[at + 1];
  size_t p = at + 2;
  if (length & 0x80) {
    const size_t count = length & 0x7F;
    if (count == 0 || count > 4 || p + count > end) return false;
    length = 0;
    for (size_t i = 0; i < count; ++i) length = length << 8 | base[p + i];
    p += count;
  }
  if (p + length > end) return false;
  *content = p;
  *next = p + length;
  return true;
}

// The reply to one base search at the start of `in`: the entry's message,
// then the SearchResultDone. Its length once the done message is whole,
// else 0; `failed` when the result code is not success or no entry came.
size_t LdapReplyLength(const unsigned char* in, size_t have, bool* failed) {
  size_t at = 0;
  bool entry = false;
  while (at < have) {
    unsigned char tag = 0;
    size_t content = 0, next = 0;
    if (!BerRead(in, at, have, &tag, &content, &next)) return 0;
    unsigned char idTag = 0, opTag = 0;
    size_t idContent = 0, opStart = 0, opContent = 0, opEnd = 0;
    if (tag != 0x30 || !BerRead(in, content, next, &idTag, &idContent, &opStart) ||
        !BerRead(in, opStart, next, &opTag, &opContent, &opEnd)) {
      *failed = true;
      return have;
    }
    if (opTag == 0x64) entry = true;
    if (opTag == 0x65) {
      unsigned char codeTag = 0;
      size_t codeContent = 0, codeEnd = 0;
      if (!BerRead(in, opContent, opEnd, &codeTag, &codeContent, &codeEnd) || codeEnd != codeContent + 1 ||
          in[codeContent] != 0 || !entry)
        *failed = true;
      return next;
    }
    at = next;
  }
  return 0;
}

// ---- slapd without its log ---------------------------------------------------------------

// Starts the fixture's slapd again, on the same ports and database, with its
// stats log off: "loglevel 0" (no syslog attempt per operation) and -d 0 (no
// debug lines on standard error; still in the foreground, so its pid is the
// child's). The fixture stops it by that pid as before.
bool RelaunchQuiet(SlapdFixture& slapd) {
  slapd.Stop();
  const std::string conf = slapd.dir.File("slapd.conf");
  WriteWholeFile(conf, "loglevel 0\n" + ReadWholeFile(conf));
  const std::string urls = slapd.PlainURI() + "/ " + slapd.SecureURI() + "/";
  slapd.pid = fork();
  if (slapd.pid < 0) return false;
  if (slapd.pid == 0) {
    execl("/usr/sbin/slapd", "slapd", "-f", conf.c_str(), "-h", urls.c_str(), "-d", "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int wait = 0; wait < 500; ++wait) {
    if (SlapdFixture::Accepts(slapd.plainPort)) return true;
    usleep(10000);
  }
  return false;
}

// ---- The floor -----------------------------------------------------------------------------

// One connection of the floor: the bytes of a request not yet whole.
struct FloorConn {
  unsigned char in[8192];
  size_t have = 0;
};

// The length of the 6503 request at the start of `in` once whole (header,
// token, name string, version, stamp), else 0; -1 when it is not one
// (another message, or a length out of bounds). `name` and `nameLength`
// give the text before the string's NUL.
long FloorRequestLength(const unsigned char* in, size_t have, const char** name, size_t* nameLength) {
  if (have < 12) return 0;
  const uint32_t message = Word(in), token = Word(in + 4);
  if (message != kGetNamedUser || token > 2048) return -1;
  size_t at = 12 + token;
  if (have < at + 4) return 0;
  const uint32_t length = Word(in + at);
  if (length == 0 || length > 4096) return -1;
  at += 4;
  if (have < at + length + 8) return 0;
  *name = reinterpret_cast<const char*>(in + at);
  *nameLength = strnlen(*name, length);
  return static_cast<long>(at + length + 8);
}

// Sends every byte of `reply`, waiting when the socket is full (never, for
// replies this small, in a closed loop).
bool FloorSend(int fd, const std::string& reply) {
  size_t done = 0;
  while (done < reply.size()) {
    const ssize_t put = send(fd, reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
    if (put > 0) {
      done += static_cast<size_t>(put);
    } else if (put < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 1000);
    } else {
      return false;
    }
  }
  return true;
}

constexpr uint64_t kFloorListener = ~0ull;  // the epoll word of the listener

// The floor's process: accepts on `listener` and answers every 6503 with
// replies[index of the name]; ends by SIGTERM.
[[noreturn]] void RunFloor(int listener, const std::vector<std::string>& replies) {
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kFloorListener;
  epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  std::vector<std::unique_ptr<FloorConn>> conns;  // by descriptor
  epoll_event ready[256];
  for (;;) {
    const int n = epoll_wait(ep, ready, 256, -1);
    for (int i = 0; i < n; ++i) {
      if (ready[i].data.u64 == kFloorListener) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (conns.size() <= static_cast<size_t>(fd)) conns.resize(static_cast<size_t>(fd) + 1);
        conns[static_cast<size_t>(fd)] = std::make_unique<FloorConn>();
        epoll_event add{};
        add.events = EPOLLIN;
        add.data.u64 = static_cast<uint64_t>(fd);
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &add);
        continue;
      }
      const int fd = static_cast<int>(ready[i].data.u64);
      FloorConn& c = *conns[static_cast<size_t>(fd)];
      const ssize_t got = recv(fd, c.in + c.have, sizeof c.in - c.have, 0);
      bool drop = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
      if (got > 0) c.have += static_cast<size_t>(got);
      while (!drop) {
        const char* name = nullptr;
        size_t nameLength = 0;
        const long length = FloorRequestLength(c.in, c.have, &name, &nameLength);
        if (length == 0) break;
        const int index = length < 0 ? -1 : UserIndex(name, nameLength);
        if (index < 0 || static_cast<size_t>(index) >= replies.size() ||
            !FloorSend(fd, replies[static_cast<size_t>(index)])) {
          drop = true;
          break;
        }
        c.have -= static_cast<size_t>(length);
        std::memmove(c.in, c.in + length, c.have);
      }
      if (drop || c.have == sizeof c.in) {
        epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        conns[static_cast<size_t>(fd)].reset();
      }
    }
  }
}

// A loopback listener on a port the system picks; -1 on failure.
int ListenLoopback(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1024) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// Forks the floor; its pid, or -1.
pid_t StartFloor(const std::vector<std::string>& replies, int* port) {
  const int listener = ListenLoopback(port);
  if (listener < 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) RunFloor(listener, replies);
  close(listener);
  return pid;
}

void StopChild(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// ---- The three targets -------------------------------------------------------------------

enum class Protocol { kTorvane, kLdap };

struct Target {
  const char* name;
  Protocol protocol;
  int port = 0;
  pid_t pid = -1;
  bool logon = false;  // the server's connections log on first
};

// The request for user `index` (`id`: the LDAP message ID).
Bytes RequestFor(const Target& t, int index, uint32_t id) {
  if (t.protocol == Protocol::kLdap)
    return LdapBaseSearch(id, "uid=" + UserName(index) + ",ou=" + kSlapdDomain + "," + SlapdFixture::kSuffix);
  return TestRequest().Header(kGetNamedUser).String(UserName(index)).Int(1).Int(0).Bytes();
}

size_t ReplyLength(const Target& t, const unsigned char* in, size_t have, bool* failed) {
  return t.protocol == Protocol::kLdap ? LdapReplyLength(in, have, failed) : TorvaneReplyLength(in, have, failed);
}

// `count` connections to the target, the server's logged on (the first with
// the administrator's password, the others attached to its SID).
std::vector<TestClient> Connect(const Target& t, int count) {
  std::vector<TestClient> out;
  TestSID sid{};
  for (int i = 0; i < count; ++i) {
    TestClient c = TestClient::ConnectLoopback(t.port);
    if (!c.Connected()) return {};
    const int one = 1;
    setsockopt(c.Fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (t.logon) {
      if (i == 0) {
        const TestClient::LogonReply reply = c.Logon(kAdmin, kAdminPassword, 1000);
        if (!reply.received || reply.code != 0) return {};
        sid = reply.sid;
      } else if (c.AttachBySID(sid, 2000 + i) != 0) {
        return {};
      }
    }
    out.push_back(std::move(c));
  }
  return out;
}

// ---- The closed loop ---------------------------------------------------------------------

// One connection on a thread that spins on its receive or sleeps in recv;
// many connections on threads that sleep in epoll_wait or spin on it.
enum class Shape { kSpin, kSleep, kEpoll, kEpollSpin };

const char* ShapeName(Shape s) {
  switch (s) {
    case Shape::kSpin: return "spin";
    case Shape::kSleep: return "sleep";
    case Shape::kEpoll: return "epoll";
    case Shape::kEpollSpin: return "epoll-spin";
  }
  return "";
}

// What every client thread of one step shares.
struct StepControl {
  Clock::time_point measureFrom, measureTo;  // the window that counts (time-bound steps)
  long budget = 0;                           // fixed-count steps: requests in all (0: time-bound)
  std::atomic<long> started{0};
};

struct ThreadFigures {
  std::vector<float> us;  // latency of each request answered inside the window
  long failures = 0;
  bool broken = false;
};

// One connection of the loop: its reply so far and its request's start.
struct LoopConn {
  int fd = -1;
  Bytes in;
  Clock::time_point sent;
  uint32_t nextID = 1;
};

// May the thread send another request now?
bool MaySend(StepControl& step) {
  if (step.budget > 0) return step.started.fetch_add(1) < step.budget;
  return Clock::now() < step.measureTo;
}

bool SendNext(const Target& t, LoopConn& c, std::mt19937& rng, int users) {
  const Bytes request = RequestFor(t, static_cast<int>(rng() % static_cast<unsigned>(users)), c.nextID++);
  c.in.clear();
  c.sent = Clock::now();
  return send(c.fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
}

// Reads what there is on `c` (waiting for it when `block`); true once its
// reply is whole. Marks `f.broken` when the peer closed.
bool Receive(const Target& t, LoopConn& c, bool block, ThreadFigures& f) {
  unsigned char buf[65536];
  const ssize_t got = recv(c.fd, buf, sizeof buf, block ? 0 : MSG_DONTWAIT);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    f.broken = true;
    return false;
  }
  if (got < 0) return false;
  c.in.insert(c.in.end(), buf, buf + got);
  bool failed = false;
  const size_t length = ReplyLength(t, c.in.data(), c.in.size(), &failed);
  if (length == 0) return false;
  if (failed) ++f.failures;
  if (length != c.in.size()) ++f.failures;  // bytes past one reply: not a closed loop
  return true;
}

void Record(const StepControl& step, const LoopConn& c, ThreadFigures& f) {
  const auto now = Clock::now();
  if (step.budget > 0 || (c.sent >= step.measureFrom && now <= step.measureTo))
    f.us.push_back(std::chrono::duration<float, std::micro>(now - c.sent).count());
}

// One connection, one request out at a time: `spin` polls the receive
// without sleeping, else the thread sleeps in recv.
void RunOne(const Target& t, int fd, bool spin, int users, StepControl& step, ThreadFigures& f) {
  std::mt19937 rng(11);
  LoopConn c;
  c.fd = fd;
  while (MaySend(step) && SendNext(t, c, rng, users)) {
    while (!Receive(t, c, !spin, f)) {
      if (f.broken) return;
    }
    Record(step, c, f);
  }
}

// Several connections on one thread that sleeps in epoll_wait, or (`spin`)
// polls it without sleeping, so that no reply has to wake the thread.
void RunMany(const Target& t, std::vector<int> fds, bool spin, int users, unsigned seed, StepControl& step,
             ThreadFigures& f) {
  std::mt19937 rng(seed);
  std::vector<LoopConn> conns(fds.size());
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  size_t busy = 0;
  for (size_t i = 0; i < fds.size(); ++i) {
    conns[i].fd = fds[i];
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
    if (MaySend(step) && SendNext(t, conns[i], rng, users)) ++busy;
  }
  epoll_event ready[256];
  Clock::time_point lastReply = Clock::now();
  while (busy > 0 && !f.broken) {
    const int n = epoll_wait(ep, ready, 256, spin ? 0 : 2000);
    if (n > 0) lastReply = Clock::now();
    if (n == 0 && (!spin || Clock::now() - lastReply > std::chrono::seconds(2))) {
      f.broken = true;  // two seconds without a reply
      break;
    }
    for (int k = 0; k < n; ++k) {
      LoopConn& c = conns[ready[k].data.u64];
      if (!Receive(t, c, false, f)) continue;
      Record(step, c, f);
      --busy;
      if (MaySend(step) && SendNext(t, c, rng, users)) ++busy;
    }
  }
  close(ep);
}

struct StepFigures {
  double rps = 0, p50 = 0, p99 = 0;
  double cpuShare = 0;  // the target's CPU time over the measured window's length
  long requests = 0, failures = 0;
  bool ok = false;
};

double Percentile(std::vector<float>& v, double q) {
  if (v.empty()) return 0;
  const size_t k = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

// Runs the closed loop over `clients`: for a warm-up and `seconds` (budget
// 0), or for exactly `budget` requests. `during` runs on this thread once
// the loop is going (a profiler's start, say).
StepFigures RunLoop(const Target& t, std::vector<TestClient>& clients, Shape shape, int threads, int users,
                    double seconds, long budget, const std::function<void()>& during = {}) {
  StepControl step;
  step.budget = budget;
  step.measureFrom = Clock::now() + std::chrono::milliseconds(budget > 0 ? 0 : kWarmUpMs);
  step.measureTo = step.measureFrom + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const bool many = shape == Shape::kEpoll || shape == Shape::kEpollSpin;
  const size_t parts = many ? std::min<size_t>(static_cast<size_t>(threads), clients.size()) : 1;
  std::vector<ThreadFigures> figures(parts);
  std::vector<std::thread> pool;
  const auto start = Clock::now();
  for (size_t p = 0; p < parts; ++p) {
    if (!many) {
      pool.emplace_back([&, p] { RunOne(t, clients[0].Fd(), shape == Shape::kSpin, users, step, figures[p]); });
      continue;
    }
    std::vector<int> fds;
    for (size_t i = p; i < clients.size(); i += parts) fds.push_back(clients[i].Fd());
    pool.emplace_back([&, p, fds] {
      RunMany(t, fds, shape == Shape::kEpollSpin, users, static_cast<unsigned>(p * 7919 + 3), step, figures[p]);
    });
  }
  double cpuFrom = 0, cpuTo = 0;
  if (during) during();
  if (budget == 0) {
    std::this_thread::sleep_until(step.measureFrom);
    cpuFrom = ProcessCpuSeconds(t.pid);
    std::this_thread::sleep_until(step.measureTo);
    cpuTo = ProcessCpuSeconds(t.pid);
  }
  for (std::thread& th : pool) th.join();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  StepFigures out;
  std::vector<float> all;
  out.ok = true;
  for (ThreadFigures& f : figures) {
    all.insert(all.end(), f.us.begin(), f.us.end());
    out.failures += f.failures;
    out.ok = out.ok && !f.broken;
  }
  out.requests = static_cast<long>(all.size());
  out.cpuShare = seconds > 0 ? (cpuTo - cpuFrom) / seconds : 0;
  out.rps = static_cast<double>(all.size()) / (budget > 0 ? wall : seconds);
  out.p50 = Percentile(all, 0.50);
  out.p99 = Percentile(all, 0.99);
  return out;
}

// ---- Recording the server's replies ------------------------------------------------------

// The server's whole reply to 6503 for every user, asked once on one
// logged-on connection; empty on failure.
std::vector<std::string> RecordReplies(const Target& server, int users) {
  std::vector<TestClient> one = Connect(server, 1);
  if (one.empty()) return {};
  std::vector<std::string> replies;
  replies.reserve(static_cast<size_t>(users));
  for (int i = 0; i < users; ++i) {
    if (!one[0].Send(RequestFor(server, i, 0))) return {};
    TestBytes head;
    if (!one[0].RecvBytes(12, &head) || Word(head.data()) != 0 || Word(head.data() + 4) != 0) return {};
    TestBytes block;
    if (!one[0].RecvBytes(Word(head.data() + 8), &block)) return {};
    std::string reply(head.begin(), head.end());
    reply.append(block.begin(), block.end());
    replies.push_back(std::move(reply));
  }
  return replies;
}

// The byte count of the target's whole reply to one request (for user 0);
// 0 when none came, or not a good one.
size_t FirstReplySize(const Target& t) {
  std::vector<TestClient> one = Connect(t, 1);
  if (one.empty()) return 0;
  const Bytes request = RequestFor(t, 0, 1);
  if (!one[0].Send(request)) return 0;
  TestBytes in;
  for (;;) {
    TestBytes more;
    if (!one[0].RecvBytes(1, &more)) return 0;
    in.insert(in.end(), more.begin(), more.end());
    bool failed = false;
    const size_t length = ReplyLength(t, in.data(), in.size(), &failed);
    if (length > 0) return failed ? 0 : length;
  }
}

// ---- System calls ------------------------------------------------------------------------

// What a system call is for, in the programs measured here.
const char* CallMeaning(const std::string& name) {
  static const std::map<std::string, const char*> meanings = {
      {"poll", "the server loop's wait over the listener and every connection"},
      {"ppoll", "the server loop's wait over the listener and every connection"},
      {"epoll_wait", "the wait of an epoll loop (the floor's, slapd's)"},
      {"epoll_pwait", "the wait of an epoll loop (the floor's, slapd's)"},
      {"recvfrom", "reading a request's bytes from its socket"},
      {"recvmsg", "reading a request's bytes from its socket"},
      {"read", "read(2): slapd's request reads; in the server a file or a socket read"},
      {"sendto", "sending a reply"},
      {"sendmsg", "sending a reply"},
      {"writev", "sending a reply (several pieces at once)"},
      {"write", "write(2): the server's log line to standard error; slapd's replies and its stats log"},
      {"rt_sigprocmask", "saving or restoring the signal mask (sigsetjmp with savemask=1, around a ring-log copy)"},
      {"futex", "a wake-up between threads (slapd's workers; the server's worker pool)"},
      {"clock_gettime", "the clock outside the vDSO"},
      {"pwrite64", "a ring-log record written with pwrite (no mapping)"},
      {"pread64", "a ring-log read with pread (no mapping)"},
      {"fstat", "a file's size (the ring log's file still in place)"},
      {"newfstatat", "a file's status (the ring log's file still in place)"},
      {"epoll_ctl", "a change of the epoll set (slapd re-arms a connection)"},
      {"accept4", "a new connection"},
      {"setsockopt", "a socket option"},
      {"getsockopt", "a socket option read"},
      {"fcntl", "a descriptor flag"},
      {"ioctl", "a descriptor control"},
      {"mmap", "memory mapped"},
      {"munmap", "memory unmapped"},
      {"madvise", "memory given back"},
      {"brk", "the heap grown or shrunk"},
      {"sched_yield", "the thread yields the core"},
      {"getpid", "syslog(3) of a stats line (slapd): the line's pid"},
      {"socket", "syslog(3) of a stats line (slapd): a socket for /dev/log, made anew while none listens"},
      {"connect", "syslog(3) of a stats line (slapd): the connect to /dev/log (fails: no syslog here)"},
      {"close", "syslog(3) of a stats line (slapd): that socket closed; or a connection closed"},
  };
  const auto it = meanings.find(name);
  return it == meanings.end() ? "(other)" : it->second;
}

struct CallCount {
  std::string name;
  long calls = 0;
};

// The table strace -c wrote: each call's name and count, most first.
std::vector<CallCount> ReadStraceSummary(const std::string& path) {
  std::vector<CallCount> out;
  std::istringstream in(ReadWholeFile(path));
  std::string line;
  bool table = false;
  while (std::getline(in, line)) {
    if (line.rfind("------", 0) == 0) {
      table = true;
      continue;
    }
    if (!table) continue;
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string x; words >> x;) w.push_back(x);
    if (w.size() < 5 || w.back() == "total") continue;
    out.push_back({w.back(), std::atol(w[3].c_str())});
  }
  std::sort(out.begin(), out.end(), [](const CallCount& a, const CallCount& b) { return a.calls > b.calls; });
  return out;
}

// Starts a helper program (strace, perf) with standard error to `errPath`;
// its pid, or -1.
pid_t StartHelper(const std::vector<std::string>& args, const std::string& errPath) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (err >= 0) dup2(err, 2);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

// Ends a helper that stops on SIGINT (and writes its summary then).
void StopHelper(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGINT);
  waitpid(pid, nullptr, 0);
}

// The system calls of `t` per request at `conns` connections: strace -c -f
// attached to the pinned process, exactly `requests` requests while it is.
void CountCalls(const Target& t, int conns, const Options& o, const std::string& scratch) {
  std::vector<TestClient> clients = Connect(t, conns);
  if (clients.empty()) {
    std::printf("%s: no connections\n", t.name);
    return;
  }
  const std::string out = scratch + "strace-" + t.name + ".txt";
  const pid_t strace = StartHelper({"strace", "-c", "-f", "-o", out, "-p", std::to_string(t.pid)},
                                   scratch + "strace-" + t.name + ".err");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));  // attached to every thread
  const StepFigures f = RunLoop(t, clients, Shape::kEpoll, o.clientThreads, o.users, 0, o.requests);
  StopHelper(strace);
  const std::vector<CallCount> calls = ReadStraceSummary(out);
  if (calls.empty() || !f.ok) {
    std::printf("%s: strace gave no table (see %s)\n", t.name, out.c_str());
    return;
  }
  long total = 0;
  for (const CallCount& c : calls) total += c.calls;
  const double n = static_cast<double>(f.requests);
  std::printf("\n%s: %.2f system calls per request (%ld requests at %d connections under strace -c -f -p %d)\n",
              t.name, static_cast<double>(total) / n, f.requests, conns, t.pid);
  for (const CallCount& c : calls) {
    if (static_cast<double>(c.calls) / n < 0.001) continue;
    std::printf("  %-16s %8.3f  %s\n", c.name.c_str(), static_cast<double>(c.calls) / n, CallMeaning(c.name));
  }
}

// ---- Steps, rounds and the summary ---------------------------------------------------------

struct Case {
  int conns;
  Shape shape;
};

std::string CaseName(const Case& c) { return "C=" + std::to_string(c.conns) + " " + ShapeName(c.shape); }

std::vector<Case> CasesOf(const Options& o) {
  std::vector<Case> out;
  for (int c : o.conns) {
    if (c == 1) {
      out.push_back({1, Shape::kSpin});
      out.push_back({1, Shape::kSleep});
    } else {
      out.push_back({c, Shape::kEpoll});
      if (o.spinMany) out.push_back({c, Shape::kEpollSpin});
    }
  }
  return out;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Series {
  std::vector<double> rps, p50, p99;
};

void PrintRatio(double a, double b) {
  if (a > 0 && b > 0) std::printf(" %8.2f", a / b);
  else std::printf(" %8s", "-");
}

void PrintSummary(const std::vector<Case>& cases, const std::vector<Target*>& targets,
                  std::map<std::string, std::map<std::string, Series>>& results, int rounds) {
  std::printf("\nMedians of %d rounds (load average now %s)\n", rounds, LoadAverage().c_str());
  std::printf("%-16s %-7s %10s %9s %9s\n", "case", "target", "req/s", "p50 us", "p99 us");
  for (const Case& c : cases) {
    for (const Target* t : targets) {
      Series& s = results[CaseName(c)][t->name];
      std::printf("%-16s %-7s %10.0f %9.1f %9.1f\n", CaseName(c).c_str(), t->name, Median(s.rps), Median(s.p50),
                  Median(s.p99));
    }
  }
  std::printf("\nRatios of the medians   %8s %8s %8s   %8s %8s %8s\n", "req/s", "p50", "p99", "req/s", "p50", "p99");
  std::printf("%-23s %26s   %26s\n", "", "server/slapd", "server/floor");
  for (const Case& c : cases) {
    std::map<std::string, Series>& r = results[CaseName(c)];
    auto m = [&](const char* target, std::vector<double> Series::*field) {
      return r.count(target) ? Median(r[target].*field) : 0.0;
    };
    std::printf("%-23s", CaseName(c).c_str());
    for (const char* other : {"slapd", "floor"}) {
      PrintRatio(m("server", &Series::rps), m(other, &Series::rps));
      PrintRatio(m("server", &Series::p50), m(other, &Series::p50));
      PrintRatio(m("server", &Series::p99), m(other, &Series::p99));
      std::printf("  ");
    }
    std::printf("\n");
  }
}

// Empties a log file that an append-mode writer keeps open.
void EmptyLog(const std::string& path) {
  if (!path.empty() && path != "/dev/null") truncate(path.c_str(), 0);
}

// ---- Profiles ----------------------------------------------------------------------------

// perf record of the pinned server (cpu-clock, DWARF call graphs) during a
// step of 50 connections.
void RecordProfile(const Target& server, Shape shape, const std::string& file, const Options& o,
                   const std::string& scratch) {
  // With --conns 1 alone: the one spinning connection instead.
  const bool one = o.conns.size() == 1 && o.conns[0] == 1;
  if (one) shape = Shape::kSpin;
  std::vector<TestClient> clients = Connect(server, one ? 1 : 50);
  if (clients.empty()) return;
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.1f", o.seconds);
  pid_t perf = -1;
  const StepFigures f = RunLoop(server, clients, shape, o.clientThreads, o.users, o.seconds, 0, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(kWarmUpMs));
    // DWARF call graphs: the build keeps no frame pointers.
    perf = StartHelper({"perf", "record", "-e", "cpu-clock", "-F", "999", "--call-graph", "dwarf,16384", "-p",
                        std::to_string(server.pid), "-o", file, "--", "sleep", duration},
                       scratch + "perf.err");
  });
  if (perf > 0) waitpid(perf, nullptr, 0);
  std::printf("\nperf record of the server at %d connection(s), clients %s: %s (%.0f requests/s while it ran); see\n"
              "  perf report -i %s --no-children --sort dso,symbol    (each function's own time)\n"
              "  perf report -i %s --children --sort symbol           (with what it calls)\n",
              one ? 1 : 50, ShapeName(shape), file.c_str(), f.rps, file.c_str(), file.c_str());
}

// The server's instructions per request: the home started again under
// callgrind with instrumentation off, switched on for exactly --requests
// requests at 50 connections, then off before the stop.
void CountInstructions(ServerProcess& process, Target& server, const Options& o, const std::string& scratch) {
  process.Stop();
  const std::string wrapper = scratch + "callgrind-server.sh";
  WriteWholeFile(wrapper, "#!/bin/sh\nexec valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file=" +
                              o.callgrindFile + " " + ServerBinaryPath() + " \"$@\"\n");
  chmod(wrapper.c_str(), 0755);
  const std::string real = ServerBinaryPath();
  setenv("TORVANE_SERVER_BINARY", wrapper.c_str(), 1);
  const bool started = StartServer(process, scratch + "callgrind-server.stderr");
  setenv("TORVANE_SERVER_BINARY", real.c_str(), 1);
  if (!started) {
    std::printf("\nthe server did not start under callgrind (see %scallgrind-server.stderr)\n", scratch.c_str());
    return;
  }
  server.port = process.Port();
  server.pid = process.Pid();
  PinThreads(server.pid, OneCore(o.cpu));
  std::vector<TestClient> clients = Connect(server, 50);
  const std::string pid = std::to_string(server.pid);
  const std::string control = " >>" + scratch + "callgrind-control.log 2>&1";
  if (clients.empty() || std::system(("callgrind_control -i on " + pid + control).c_str()) != 0) {
    std::printf("\ncallgrind: no connections, or callgrind_control failed\n");
    return;
  }
  const StepFigures f = RunLoop(server, clients, Shape::kEpoll, o.clientThreads, o.users, 0, o.requests);
  (void)std::system(("callgrind_control -i off " + pid + control).c_str());
  clients.clear();
  process.Stop();
  std::istringstream out(ReadWholeFile(o.callgrindFile));
  double instructions = 0;
  for (std::string line; std::getline(out, line);) {
    if (line.rfind("summary:", 0) == 0 || line.rfind("totals:", 0) == 0) instructions = std::atof(line.c_str() + line.find(':') + 1);
  }
  std::printf("\ncallgrind: %.0f instructions per request (%ld requests at 50 connections; %s)\n",
              f.requests > 0 ? instructions / static_cast<double>(f.requests) : 0.0, f.requests,
              o.callgrindFile.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) return 2;
  signal(SIGPIPE, SIG_IGN);
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 4096 && rl.rlim_max >= 4096) {
    rl.rlim_cur = 4096;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  TempDir scratchDir;
  const std::string scratch = scratchDir.path;
  std::printf("compare_bench: %d users, servers on core %d, clients elsewhere; %d rounds of %.1f s steps; "
              "load average %s\n",
              o.users, o.cpu, o.rounds, o.seconds, LoadAverage().c_str());

  // The server: a home of the users, started once for the upgrade to the
  // per-user files and the replies the floor sends back.
  const std::string hash = CheapHash("bench-password");
  ServerProcess process;
  Target server{"server", Protocol::kTorvane};
  server.logon = true;
  const std::string serverLog = o.serverLogToFile ? scratch + "server.stderr" : "/dev/null";
  // What this process starts before the rounds (the server, the floor,
  // slapd and its set-up) starts on the servers' core.
  PinThreads(0, OneCore(o.cpu));
  if (!PrepareServerHome(process, o.users, hash) || !StartServer(process, serverLog)) {
    std::fprintf(stderr, "the server did not start (%s)\n", ServerBinaryPath().c_str());
    return 1;
  }
  server.port = process.Port();
  server.pid = process.Pid();
  const std::vector<std::string> replies = RecordReplies(server, o.users);
  if (replies.empty()) {
    std::fprintf(stderr, "the server did not answer every 6503\n");
    return 1;
  }

  // The floor, forked before any thread of this process exists (and with
  // nothing of this process's output left to print twice).
  std::fflush(stdout);
  Target floor{"floor", Protocol::kTorvane};
  if (o.floor && (floor.pid = StartFloor(replies, &floor.port)) < 0) {
    std::fprintf(stderr, "the floor did not start\n");
    return 1;
  }

  // slapd with the same users, their password hash as userPassword.
  SlapdFixture slapd;
  Target ldap{"slapd", Protocol::kLdap};
  if (o.slapd) {
    std::vector<SlapdAccount> accounts;
    accounts.reserve(static_cast<size_t>(o.users));
    for (int i = 0; i < o.users; ++i) accounts.push_back({kSlapdDomain, UserName(i), hash});
    if (!slapd.Start(accounts)) {
      std::fprintf(stderr, "slapd did not start: %s\n", slapd.error.c_str());
      StopChild(floor.pid);
      return 1;
    }
    if (o.slapdQuiet && !RelaunchQuiet(slapd)) {
      std::fprintf(stderr, "slapd did not start again without its log\n");
      StopChild(floor.pid);
      return 1;
    }
    ldap.port = slapd.plainPort;
    ldap.pid = slapd.pid;
  }
  PinThreads(0, EveryCoreBut(o.cpu));  // the clients

  std::vector<Target*> targets;
  if (o.server) targets.push_back(&server);
  if (o.slapd) targets.push_back(&ldap);
  if (o.floor) targets.push_back(&floor);
  std::printf("server %s (pid %d, port %d, standard error to %s), reply %zu bytes; slapd pid %d (%s); floor pid %d\n",
              ServerBinaryPath().c_str(), server.pid, server.port, o.serverLogToFile ? "a file" : "/dev/null",
              replies[0].size(), ldap.pid, o.slapdQuiet ? "no log" : "stats log to a file", floor.pid);
  if (o.slapd) {
    const size_t bytes = FirstReplySize(ldap);
    if (bytes == 0) {
      std::fprintf(stderr, "slapd did not answer the first search\n");
      StopChild(floor.pid);
      return 1;
    }
    std::printf("slapd's reply to a search: %zu bytes\n", bytes);
  }

  const std::vector<Case> cases = CasesOf(o);
  std::map<std::string, std::map<std::string, Series>> results;
  std::printf("\n%-5s %-16s %-7s %10s %9s %9s %5s %6s  %s\n", "round", "case", "target", "req/s", "p50 us",
              "p99 us", "cpu", "fail", "load average");
  for (int round = 1; round <= o.rounds; ++round) {
    for (const Case& c : cases) {
      for (Target* t : targets) {
        PinThreads(t->pid, OneCore(o.cpu));
        std::vector<TestClient> clients = Connect(*t, c.conns);
        if (clients.empty()) {
          std::printf("%-5d %-16s %-7s could not connect\n", round, CaseName(c).c_str(), t->name);
          continue;
        }
        const StepFigures f = RunLoop(*t, clients, c.shape, o.clientThreads, o.users, o.seconds, 0);
        clients.clear();
        std::printf("%-5d %-16s %-7s %10.0f %9.1f %9.1f %4.0f%% %6ld  %s%s\n", round, CaseName(c).c_str(), t->name,
                    f.rps, f.p50, f.p99, 100 * f.cpuShare, f.failures, LoadAverage().c_str(),
                    f.ok ? "" : "  (a connection broke)");
        std::fflush(stdout);
        if (f.ok) {
          Series& s = results[CaseName(c)][t->name];
          s.rps.push_back(f.rps);
          s.p50.push_back(f.p50);
          s.p99.push_back(f.p99);
        }
        EmptyLog(serverLog);
        EmptyLog(slapd.LogFile());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // closed connections settle
      }
    }
  }
  PrintSummary(cases, targets, results, o.rounds);

  if (o.strace) {
    std::printf("\nSystem calls per request at 50 connections (strace slows each down; the counts hold)\n");
    for (Target* t : targets) {
      PinThreads(t->pid, OneCore(o.cpu));
      CountCalls(*t, 50, o, scratch);
    }
  }
  if (!o.perfFile.empty()) {
    RecordProfile(server, Shape::kEpoll, o.perfFile, o, scratch);
    if (o.spinMany) RecordProfile(server, Shape::kEpollSpin, o.perfFile + ".spin", o, scratch);
  }
  slapd.Stop();
  StopChild(floor.pid);
  if (!o.callgrindFile.empty()) CountInstructions(process, server, o, scratch);
  return 0;
}
