// Benchmark of the users files: for 1,000, 10,000 and 100,000 users (UIDs not
// in the order of the names) in a temporary home directory, the load of a
// version-1 users.xml, the upgrade to version 2 (every per-user file and the
// list), the load of the version-2 files, one save after one user changed,
// and a reload (ReloadUsers). Prints users per second and the growth from
// one size to the next, with the process's CPU and the system part of it:
// the system part is the file system's (creating, syncing and renaming one
// file per user), the rest is the store's own work.
// A program, not a test: run it by hand (users_bench [max users]).
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "directory/groups.h"
#include "directory/user_records.h"
#include "directory/users_files.h"
#include "directory/users_tree.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"

namespace {

// Wall-clock seconds, the process's CPU seconds and the system part of them
// (tick-sampled, so coarse for short phases) of one phase.
struct Clock {
  std::chrono::steady_clock::time_point wall;
  double cpu, sys;
};
double ProcessCPU() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
double SystemCPU() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_stime.tv_sec) + static_cast<double>(ru.ru_stime.tv_usec) / 1e6;
}
Clock Start() { return Clock{std::chrono::steady_clock::now(), ProcessCPU(), SystemCPU()}; }
struct Span {
  double wall = 0, cpu = 0, sys = 0;
};
Span Since(const Clock& c) {
  return Span{std::chrono::duration<double>(std::chrono::steady_clock::now() - c.wall).count(), ProcessCPU() - c.cpu,
              SystemCPU() - c.sys};
}

// A version-1 document of n users: names in order, UIDs a permutation of
// 1..n (multiples of a prime modulo n), each with a field and a small
// settings tree as the server keeps them.
std::string MakeVersion1(int n) {
  std::string text = "<?xml version=\"1.0\"?>\n<USERS>\n";
  text.reserve(static_cast<size_t>(n) * 420);
  char buf[1024];
  for (int i = 0; i < n; ++i) {
    const unsigned uid = static_cast<unsigned>((static_cast<long long>(i) * 7919) % n) + 1;
    snprintf(buf, sizeof buf,
             "<USER>\n<UID>%08X</UID>\n<USERNAME>user%06d</USERNAME>\n"
             "<PASSWORDV2>$2b$12$abcdefghijklmnopqrstuu0123456789ABCDEFGHIJKLMNOPQRS</PASSWORDV2>\n"
             "<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n<FORENAME>First%d</FORENAME>\n<SURNAME>Last</SURNAME>\n"
             "<EMAIL>user%d@example.com</EMAIL>\n<GROUPLIST>Everyone</GROUPLIST>\n"
             "<FIELD NAME=\"Phone\">%d</FIELD>\n"
             "<USERDATA>\n<Live>\n<Torvane>\n<Passwords>\n<Date>65000000</Date>\n</Passwords>\n"
             "<DefaultEnvironment>Live</DefaultEnvironment>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n",
             uid, i, i, i, i);
    text += buf;
  }
  text += "</USERS>";
  return text;
}

void ResetStores() {
  ResetUsersFiles();
  ResetUserStore();
  ResetGroupsAndPermissions();
  ResetNodeRegistry();
  ResetUIDAllocation();
}

struct Figures {
  int users = 0;
  Span loadV1, upgrade, loadV2, reload;
  Span firstSave;  // the first save of one user after the load
  Span saveOne;    // the median of the five saves that follow
};

bool Run(int n, Figures& f) {
  const char* tmpdir = getenv("TMPDIR");
  std::string base = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/torvane-users-bench-XXXXXX";
  std::vector<char> tmpl(base.begin(), base.end());
  tmpl.push_back('\0');
  if (mkdtemp(tmpl.data()) == nullptr) return false;
  const std::string dir(tmpl.data());
  const std::string home = dir + "/";
  ResetStores();
  SetHomeDirectory(home.c_str());
  {
    const std::string v1 = MakeVersion1(n);
    FILE* fp = fopen((home + "users.xml").c_str(), "wb");
    if (fp == nullptr) return false;
    fwrite(v1.data(), 1, v1.size(), fp);
    fclose(fp);
  }
  f.users = n;
  bool ok = true;

  Clock t = Start();
  ok = ok && ReadUsersXML((home + "users.xml").c_str()) == 0;
  ok = ok && EnsureUserLoginSections() == 0 && AssignUserUIDs() == 0;
  f.loadV1 = Since(t);
  ok = ok && GetUserCount() == n;

  t = Start();
  ok = ok && WriteUserList(home.c_str(), nullptr) == 0;
  f.upgrade = Since(t);

  ResetStores();
  t = Start();
  ok = ok && ReadUsersV2(home.c_str()) == 0;
  ok = ok && EnsureUserLoginSections() == 0 && AssignUserUIDs() == 0;
  f.loadV2 = Since(t);
  ok = ok && GetUserCount() == n;

  char name[32];
  snprintf(name, sizeof name, "user%06d", n / 2);
  UserStruct* user = FindUser(name);
  ok = ok && user != nullptr;
  std::vector<Span> saves;
  for (int k = 0; ok && k < 6; ++k) {
    user = FindUser(name);
    user->EMAIL = "changed" + std::to_string(k) + "@example.com";
    t = Start();
    ok = SaveUsers(home.c_str(), name) == 0;
    if (k == 0) {
      f.firstSave = Since(t);
    } else {
      saves.push_back(Since(t));
    }
  }
  if (ok) {
    std::sort(saves.begin(), saves.end(), [](const Span& a, const Span& b) { return a.wall < b.wall; });
    f.saveOne = saves[saves.size() / 2];
  }

  // The reload after a failed client change: free, read, rewrite everything.
  t = Start();
  ok = ok && ReloadUsers() == 0;
  f.reload = Since(t);

  ResetStores();
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int maxUsers = argc > 1 ? atoi(argv[1]) : 100000;
  std::vector<Figures> all;
  printf("wall-clock seconds (CPU / of it system CPU seconds in brackets), users per second of the wall clock\n");
  printf("%7s  %-34s %-34s %-34s %-26s %-26s  %-34s\n", "users", "v1 load", "upgrade to v2", "v2 load",
         "first save of one", "save one (median)", "reload");
  for (int n = 1000; n <= maxUsers; n *= 10) {
    Figures f;
    if (!Run(n, f)) {
      fprintf(stderr, "run with %d users failed\n", n);
      return 1;
    }
    auto cell = [n](const Span& s) {
      static char buf[4][80];
      static int k = 0;
      char* b = buf[k++ % 4];
      snprintf(b, 80, "%7.3f (%6.3f/%6.3f) %7.0f/s", s.wall, s.cpu, s.sys, n / s.wall);
      return b;
    };
    printf("%7d  %-34s %-34s %-34s %8.5f (%7.5f/%7.5f) %8.5f (%7.5f/%7.5f)  %-34s\n", n, cell(f.loadV1),
           cell(f.upgrade), cell(f.loadV2), f.firstSave.wall, f.firstSave.cpu, f.firstSave.sys, f.saveOne.wall,
           f.saveOne.cpu, f.saveOne.sys, cell(f.reload));
    fflush(stdout);
    all.push_back(f);
  }
  for (size_t i = 1; i < all.size(); ++i) {
    const Figures& a = all[i - 1];
    const Figures& b = all[i];
    printf("growth %d -> %d (wall / cpu): v1 load x%.1f / x%.1f, upgrade x%.1f / x%.1f, v2 load x%.1f / x%.1f, "
           "first save x%.1f / x%.1f, save one x%.1f / x%.1f, reload x%.1f / x%.1f\n",
           a.users, b.users, b.loadV1.wall / a.loadV1.wall, b.loadV1.cpu / a.loadV1.cpu, b.upgrade.wall / a.upgrade.wall,
           b.upgrade.cpu / a.upgrade.cpu, b.loadV2.wall / a.loadV2.wall, b.loadV2.cpu / a.loadV2.cpu,
           b.firstSave.wall / a.firstSave.wall, b.firstSave.cpu / a.firstSave.cpu, b.saveOne.wall / a.saveOne.wall,
           b.saveOne.cpu / a.saveOne.cpu, b.reload.wall / a.reload.wall,
           b.reload.cpu / a.reload.cpu);
  }
  return 0;
}
