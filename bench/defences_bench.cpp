// What an attacker, a plain user and a hung directory can do to the server:
// the figures of the logon defences, each scenario against the real server
// in a temporary home over loopback TCP, from many local addresses. Run it
// against another build of the server with TORVANE_SERVER_BINARY=<path>.
//
//   build/defences_bench [scenario ...]
//
// Scenarios (all by default): own-successes reattach burst starve timing
// plain-store monitor table addresses binds. Each prints one line or a few.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/bound_loopback_client.h"
#include "support/cheap_home.h"
#include "support/hung_directory.h"
#include "support/log_count.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int32_t kClientID = 0x100;
constexpr char kCostlyUser[] = "ZentakUser";  // the cost-12 hash of a new home
constexpr char kCostlyPassword[] = "Grebe7ly";
constexpr char kPatPassword[] = "pat-pw-1";
constexpr char kMalloryPassword[] = "mal-pw-1";
constexpr int32_t kMiB = 1024 * 1024;

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

std::string Address(int block, int n) {
  char text[32];
  std::snprintf(text, sizeof text, "127.%d.%d.%d", block, n / 250, n % 250 + 1);
  return text;
}

// A new home with pat and mallory (cheap hashes) and dirk (a directory
// user), started (with `environment` set for it).
struct Home {
  ServerProcess server;
  bool ok = false;
  explicit Home(const std::vector<std::pair<std::string, std::string>>& environment = {}) {
    std::string failed;
    if (!PrepareCheapHome(server, &failed)) {
      std::fprintf(stderr, "home: %s\n", failed.c_str());
      return;
    }
    const auto user = [this](const char* uid, const char* name, const std::string& hash, int adUser) {
      std::string file = StoredUserFile(uid, name, 0, hash, "");
      if (adUser) {
        const std::string internal = "<ADUSER>0</ADUSER>";
        file.replace(file.find(internal), internal.size(), "<ADUSER>1</ADUSER>");
      }
      return server.AddStoredUser(uid, name, file);
    };
    ok = user("00002001", "pat", HashAtCost(kPatPassword, kBcryptMinCost), 0) &&
         user("00002002", "mallory", HashAtCost(kMalloryPassword, kBcryptMinCost), 0) && user("00002003", "dirk", "", 1);
    for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
    ok = ok && server.Restart();
    for (const auto& entry : environment) unsetenv(entry.first.c_str());
    if (!ok) std::fprintf(stderr, "home: the server did not start\n");
  }
  TestClient From(const std::string& address, int timeoutMs = 60000) {
    TestClient c = ConnectLoopbackFrom(address.c_str(), server.Port());
    c.SetTimeoutMs(timeoutMs);
    return c;
  }
  int LogCount(const std::string& line) const { return CountInLog(server.Log(), line); }
  // The server's VmRSS and VmHWM in KiB.
  std::pair<long, long> Memory() const {
    std::ifstream in("/proc/" + std::to_string(server.Pid()) + "/status");
    long rss = 0, hwm = 0;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("VmRSS:", 0) == 0) rss = std::atol(line.c_str() + 6);
      if (line.rfind("VmHWM:", 0) == 0) hwm = std::atol(line.c_str() + 6);
    }
    return {rss, hwm};
  }
  // SIGTERM and the time to the exit; a server still running after
  // `capMs` is killed and the cap given. The fixture's own stop waits on a
  // thread of its own, so that the pid is never used once reaped.
  double StopWithin(int capMs) {
    const pid_t pid = server.Pid();
    const auto t = Clock::now();
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
      server.Stop();
      stopped = true;
    });
    while (!stopped && MsSince(t) < capMs) std::this_thread::sleep_for(milliseconds(5));
    const double took = MsSince(t);
    if (!stopped) kill(pid, SIGKILL);
    stopper.join();
    return took;
  }
};

TestClient::LogonReply Logon(TestClient& c, const char* user, const char* password, int32_t type = kTokInternal) {
  return c.Logon(user, password, kClientID, type);
}

// ---- Scenarios ------------------------------------------------------------------------------

void OwnSuccesses() {
  Home home;
  if (!home.ok) return;
  TestClient attacker = home.From("127.0.0.2");
  for (int round = 0; round < 25; ++round) {
    for (int i = 0; i < 4; ++i) Logon(attacker, "pat", "guess");
    Logon(attacker, "mallory", kMalloryPassword);
  }
  const int32_t code = Logon(attacker, "pat", kPatPassword).code;
  std::printf("own-successes: 25 rounds of 4 guesses and one own logon, then the right one: %d of the 101 checked, the victim's password answered %d\n",
              home.LogCount("InternalLogin:User >pat< trying to login"), code);
}

void Reattach() {
  Home home;
  if (!home.ok) return;
  TestClient victim = home.From("127.0.0.11");
  const TestClient::LogonReply victimLogon = Logon(victim, "pat", kPatPassword);
  TestClient own = home.From("127.0.0.12");
  const TestClient::LogonReply ownLogon = Logon(own, "mallory", kMalloryPassword);
  TestClient attacker = home.From("127.0.0.3");
  TestSID guess = victimLogon.sid;
  const auto t = Clock::now();
  for (int round = 0; round < 500; ++round) {
    for (int i = 0; i < 4; ++i) {
      guess[2] = static_cast<unsigned char>(round);
      guess[3] = static_cast<unsigned char>(victimLogon.sid[3] ^ (1 + i));
      attacker.AttachBySID(guess, kClientID + 1);
    }
    attacker.AttachBySID(ownLogon.sid, kClientID + 2);
  }
  const double took = MsSince(t);
  const std::optional<int32_t> code = attacker.AttachBySID(victimLogon.sid, kClientID + 3);
  std::printf("reattach: 500 rounds of 4 wrong SIDs and one own re-attach in %.1f s: %d wrong SIDs checked, the victim's SID answered %d\n",
              took / 1000, home.LogCount("SIDLogon:Cannot find logged on user"), code.value_or(-1));
}

void Burst() {
  Home home;
  if (!home.ok) return;
  std::vector<TestClient> burst;
  for (int i = 0; i < 60; ++i) {
    burst.push_back(home.From("127.0.0.4"));
    const std::string password = i == 59 ? std::string(kCostlyPassword) : "guess-" + std::to_string(i);
    burst.back().Send(TestRequest().LogonHeader(kClientID, kTokInternal, CredentialToken(kCostlyUser, password)));
  }
  std::optional<int32_t> last;
  for (int i = 0; i < 60; ++i) {
    const std::optional<int32_t> code = burst[i].RecvInt();
    if (i == 59) last = code;
  }
  std::printf("burst: 60 logons at once from one address: %d checked, the 60th (the right password) answered %d\n",
              home.LogCount("InternalLogin:User >ZentakUser< trying to login"), last.value_or(-1));
}

void Starve() {
  Home home;
  if (!home.ok) return;
  std::vector<TestClient> flood;
  for (int i = 0; i < 200; ++i) {
    flood.push_back(home.From("127.0.0.5"));
    flood.back().Send(TestRequest().LogonHeader(kClientID, kTokInternal, CredentialToken(kCostlyUser, "guess")));
  }
  std::this_thread::sleep_for(milliseconds(200));
  TestClient other = home.From("127.0.0.6");
  const auto t = Clock::now();
  const int32_t code = Logon(other, kCheapHomeAdmin, kCheapHomeAdminPassword).code;
  const double took = MsSince(t);
  for (TestClient& c : flood) c.RecvInt();
  std::printf("starve: 200 wrong logons queued from one address: another address's logon answered %d in %.1f ms; %d hashed; back-off lines %d\n",
              code, took, home.LogCount("InternalLogin:User >ZentakUser< trying to login"),
              home.LogCount("Logon back-off: refusing logons from ::ffff:127.0.0.5"));
}

void Timing() {
  Home home;
  if (!home.ok) return;
  int address = 0;
  for (int32_t type : {kTokInternal, kTokInternalPasswordChange}) {
    std::vector<double> wrong, missing;
    for (int i = 0; i < 42; ++i) {
      const bool isMissing = i % 2 == 1;
      TestRequest request = TestRequest().LogonHeader(
          kClientID, type, CredentialToken(isMissing ? "nobody-" + std::to_string(i) : std::string(kCostlyUser), "x"));
      if (type == kTokInternalPasswordChange) request.String("New-pw-" + std::to_string(i));
      TestClient c = home.From(Address(2, address++));
      const auto t = Clock::now();
      c.SendLogon(request);
      (isMissing ? missing : wrong).push_back(MsSince(t));
    }
    std::sort(wrong.begin(), wrong.end());
    std::sort(missing.begin(), missing.end());
    std::printf("timing: type %d: a wrong password %.1f ms, a name that does not exist %.1f ms (medians of 21)\n", type,
                wrong[10], missing[10]);
  }
}

// 6625 from a plain user: a value of `bytes` (the length word).
std::optional<int32_t> SetField(TestClient& c, const std::string& field, int32_t lengthWord) {
  if (!c.Send(TestRequest().Header(6625).String(field).Int(lengthWord))) return std::nullopt;
  const std::string chunk(kMiB, 'v');
  for (int32_t left = lengthWord - 1; left > 0;) {
    const int32_t n = std::min<int32_t>(left, kMiB);
    if (!c.Send(TestBytes(chunk.begin(), chunk.begin() + n))) return std::nullopt;
    left -= n;
  }
  if (!c.Send(TestBytes{0})) return std::nullopt;
  if (c.RecvInt() != std::optional<int32_t>(0)) return std::nullopt;
  return c.RecvInt();
}

void PlainStore() {
  Home home;
  if (!home.ok) return;
  TestClient pat = home.From("127.0.0.7", 120000);
  Logon(pat, "pat", kPatPassword);
  const auto before = home.Memory();
  const auto t = Clock::now();
  const std::optional<int32_t> code = SetField(pat, "Huge", 256 * kMiB);
  const double took = MsSince(t);
  const auto after = home.Memory();
  std::printf("plain-store: a plain user's value of 256 MiB answered %d in %.1f s; users file %lld bytes; VmHWM %ld -> %ld MiB\n",
              code.value_or(-1), took / 1000,
              static_cast<long long>(ReadWholeFile(home.server.Home() + "users/00002001.xml").size()), before.second / 1024,
              after.second / 1024);
  // 40 connections that each send 8 MiB of a 256 MiB value and stop there.
  std::vector<TestClient> held;
  const long rssBefore = home.Memory().first;
  for (int i = 0; i < 40; ++i) {
    held.push_back(home.From("127.0.0.8"));
    Logon(held.back(), "pat", kPatPassword);
    held.back().Send(TestRequest().Header(6625).String("F").Int(256 * kMiB));
    for (int m = 0; m < 8; ++m) held.back().Send(TestBytes(kMiB, 'w'));
  }
  std::this_thread::sleep_for(milliseconds(500));
  std::printf("plain-store: 40 connections holding 8 MiB of a 256 MiB value each: RSS grew by %ld MiB\n",
              (home.Memory().first - rssBefore) / 1024);
  held.clear();
  TestClient env = home.From("127.0.0.9", 60000);
  Logon(env, "pat", kPatPassword);
  env.Request(6673, TestRequest().String(std::string(8000000, 'e')));
  std::printf("plain-store: 6673 with an environment name of 8,000,000 bytes answered %d\n", env.RecvInt().value_or(-1));
}

// The worst answer of a client asking for the version every 10 ms while `work` runs.
double MonitorWorstMs(int port, const std::function<void()>& work) {
  std::atomic<bool> done{false};
  double worst = 0;
  std::thread monitor([&] {
    TestClient c = TestClient::ConnectLoopback(port);
    c.SetTimeoutMs(60000);
    while (!done) {
      const auto t = Clock::now();
      if (c.Request(6628) != std::optional<int32_t>(0) || !c.RecvInt()) return;
      worst = std::max(worst, MsSince(t));
      std::this_thread::sleep_for(milliseconds(10));
    }
  });
  work();
  done = true;
  monitor.join();
  return worst;
}

void Monitor() {
  Home home;
  if (!home.ok) return;
  TestClient pat = home.From("127.0.0.10", 120000);
  Logon(pat, "pat", kPatPassword);
  TestClient admin = home.From("127.0.0.11", 300000);
  Logon(admin, kCheapHomeAdmin, kCheapHomeAdminPassword);
  for (int32_t size : {kMiB, 64 * kMiB}) {
    for (int i = 0; i < 4; ++i) SetField(pat, "Big" + std::to_string(i), size);  // filled first
    int32_t lastCode = -1;
    const double worst = MonitorWorstMs(home.server.Port(), [&] {
      for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 4; ++i) lastCode = SetField(pat, "Big" + std::to_string(i), size).value_or(-1);
    });
    std::printf("monitor: worst reply while a plain user rewrites 4 values of %d MiB: %.1f ms (last answer %d)\n",
                size / kMiB, worst, lastCode);
  }
  int32_t adminCode = -1;
  const double worst = MonitorWorstMs(home.server.Port(), [&] { adminCode = SetField(admin, "Huge", 256 * kMiB).value_or(-1); });
  std::printf("monitor: worst reply while an administrator stores a value of 256 MiB: %.1f ms (answered %d)\n", worst,
              adminCode);
}

void Table() {
  Home home;
  if (!home.ok) return;
  std::vector<TestClient> logons;
  for (int i = 0; i < 3; ++i) {
    logons.push_back(home.From("127.0.0.2"));
    Logon(logons.back(), "pat", kPatPassword);
  }
  std::this_thread::sleep_for(milliseconds(1100));
  std::vector<TestClient> crowd;
  for (int i = 0; i < 503; ++i) {
    crowd.push_back(home.From("127.0.0.3", 5000));
    crowd.back().Request(6628);
    crowd.back().RecvInt();
  }
  int kept = 0;
  for (TestClient& c : logons) {
    c.SetTimeoutMs(2000);
    if (c.Request(6666) == std::optional<int32_t>(0)) ++kept;
  }
  std::printf("table: 503 connections without a logon after 3 idle logons: %d of the 3 logons still served\n", kept);
}

void Addresses() {
  Home home;
  if (!home.ok) return;
  const TestSID nobody = {0x12, 0x34, 0x56, 0x78};
  TestClient a = home.From("127.0.0.9");
  for (int i = 0; i < 4; ++i) a.AttachBySID(nobody, kClientID);
  for (int n = 0; n < 4100; ++n) {
    TestClient c = home.From(Address(3, n), 5000);
    c.AttachBySID(nobody, kClientID);
  }
  a.AttachBySID(nobody, kClientID);  // the fifth failure
  std::printf("addresses: 4 failures, 4,100 other addresses, a 5th failure: the right password then answered %d\n",
              Logon(a, "pat", kPatPassword).code);
}

void Binds() {
  for (HungDirectory::Kind kind : {HungDirectory::kSilent, HungDirectory::kByteAtATime}) {
    HungDirectory directory(kind);
    const char* what = kind == HungDirectory::kSilent ? "never answers" : "answers a byte every 300 ms";
    {
      Home home({{"TORVANE_LDAPS_URI", directory.SecureURI()}});
      if (!home.ok) return;
      TestClient c = home.From("127.0.0.2", 60000);
      const auto t = Clock::now();
      c.Send(TestRequest().LogonHeader(kClientID, kTokADUserPassword, CredentialToken("dirk", "dirk-pw")));
      const std::optional<int32_t> code = c.RecvInt();
      if (code) {
        std::printf("binds: a directory that %s: the bind answered %d after %.2f s\n", what, *code, MsSince(t) / 1000);
      } else {
        std::printf("binds: a directory that %s: no answer within 60 s\n", what);
      }
      home.StopWithin(2000);
    }
    Home home({{"TORVANE_LDAPS_URI", directory.SecureURI()}});
    if (!home.ok) return;
    std::vector<TestClient> binds;
    for (int i = 0; i < 8; ++i) {
      binds.push_back(home.From(Address(4, i / 2), 60000));
      binds.back().Send(TestRequest().LogonHeader(kClientID, kTokADUserPassword, CredentialToken("dirk", "dirk-pw")));
    }
    std::this_thread::sleep_for(milliseconds(300));
    TestClient other = home.From("127.0.0.6", 60000);
    const auto t = Clock::now();
    const int32_t code = Logon(other, kCheapHomeAdmin, kCheapHomeAdminPassword).code;
    std::printf("binds: beside 8 binds to a directory that %s, another address's logon answered %d in %.1f ms\n", what, code,
                MsSince(t));
    std::printf("binds: the stop with 8 binds in flight took %.0f ms (given up at 25,000)\n", home.StopWithin(25000));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::pair<const char*, void (*)()>> scenarios = {
      {"own-successes", OwnSuccesses}, {"reattach", Reattach}, {"burst", Burst},         {"starve", Starve},
      {"timing", Timing},              {"plain-store", PlainStore}, {"monitor", Monitor}, {"table", Table},
      {"addresses", Addresses},        {"binds", Binds},
  };
  std::printf("server: %s\n", ServerBinaryPath().c_str());
  for (const auto& [name, run] : scenarios) {
    bool wanted = argc < 2;
    for (int i = 1; i < argc; ++i) wanted = wanted || std::strcmp(argv[i], name) == 0;
    if (wanted) {
      run();
      std::fflush(stdout);
    }
  }
  return 0;
}
