// Benchmark of the users files: for 1,000, 10,000 and 100,000 users (UIDs not
// in the order of the names) in a temporary home directory, the load of a
// version-1 users.xml, the upgrade to version 2 (every per-user file and the
// list), the load of the version-2 files, one save after one user changed
// (the list unchanged), one save of a change of a name's letter case by client XML (the list
// rewritten), and a
// reload (ReloadUsers), and the adding and deleting of a user as messages
// 6504 and 6506 do them (the record, its node and the saves). Prints users per second and the growth from one size
// to the next, with the process's CPU and the system part of it, and beside
// each figure the file-system floor it measures itself in the same home:
// replacing a 500-byte file durably (a one-user save), replacing a file of
// userlist.xml's size durably (a save that changes the list), opening and
// reading every per-user file (a reload that changes nothing), and that plus
// Expat over the same bytes (the version-2 load); an add's floor is the
// 500-byte and list-size replacements with that of a 4-byte file (the new
// user's file, the list and uid.val), a delete's the list-size replacement
// (the list alone: the user's file stays, unlisted); the making of the
// shared list of every user's block (what the first reader of the whole
// list waits for); and the memory a version-2 load holds and its peak, per
// user.
// A program, not a test: run it by hand (users_bench [max users]). With
// USERS_BENCH_KEEP set the homes are kept, for profiling a load of one in a
// process of its own (users_bench --load HOME).
#include <expat.h>
#include <fcntl.h>
#include <malloc.h>
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
#include "directory/record_lists.h"
#include "directory/store_uid_sync.h"
#include "directory/user_records.h"
#include "directory/users_files.h"
#include "directory/users_tree.h"
#include "directory/users_xml_exchange.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_tree.h"
#include "platform/atomic_file.h"
#include "platform/fs.h"

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
  Span firstSave;   // the first save of one user after the load
  Span saveOne;     // the median of the five saves that follow
  Span saveRename;  // the median of three changes of a name's case by client XML (the list rewritten)
  Span addOne;      // the median of five adds of a new user, as message 6504 makes them
  Span deleteOne;   // the median of five deletes of those users, as message 6506 makes them
  Span listMade;    // the median of five makings of the list of every user's block (6502's first reader)
  // Floors, measured in the same home directory.
  Span floorSmall;  // median durable replacement of a 500-byte file
  Span floorList;   // median durable replacement of a file of userlist.xml's size
  Span floorUID;    // median durable replacement of a 4-byte file (uid.val, written by every add)
  Span floorRead;   // opening and reading every per-user file
  Span floorParse;  // the same, with Expat over the bytes
  // Per user, of a version-2 load: the heap bytes it holds (the pool's slots
  // in use counted, its free slots not), and the peak resident size of a
  // process that does nothing but that load, above its size before it.
  double heldKB = 0, peakKB = 0;
};

// Heap bytes in use: malloc's (its arenas and the blocks it maps on their
// own, such as the user array), less the node pool's free slots.
double HeapInUse() {
  const struct mallinfo2 mi = mallinfo2();
  const XMLNodePoolCounts pool = GetXMLNodePoolCounts();
  return static_cast<double>(mi.uordblks) + static_cast<double>(mi.hblkhd) - static_cast<double>(pool.held - pool.inUse) * sizeof(XMLNode);
}

// A kB figure of /proc/self/status ("VmRSS", "VmHWM").
long StatusKB(const char* key) {
  FILE* fp = fopen("/proc/self/status", "r");
  if (fp == nullptr) return -1;
  char line[256];
  long value = -1;
  const size_t keyLength = strlen(key);
  while (fgets(line, sizeof line, fp) != nullptr) {
    if (strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') value = atol(line + keyLength + 1);
  }
  fclose(fp);
  return value;
}

// The child's part (users_bench --load HOME): a version-2 load of HOME and
// nothing else; prints the resident size before it and the peak after it.
int LoadOnly(const char* home) {
  SetHomeDirectory(home);
  const long before = StatusKB("VmRSS");
  timespec thread0{}, thread1{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &thread0);
  const Clock t = Start();
  if (ReadUsersV2(home) != 0 || EnsureUserLoginSections() != 0 || AssignUserUIDs() != 0) return 1;
  const Span s = Since(t);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &thread1);
  const double mainCPU = static_cast<double>(thread1.tv_sec - thread0.tv_sec) +
                         static_cast<double>(thread1.tv_nsec - thread0.tv_nsec) / 1e9;
  printf("%ld %ld\n", before, StatusKB("VmHWM"));
  fprintf(stderr, "v2 load %.5f s (CPU %.5f s, system %.5f s; this thread's CPU %.5f s)\n", s.wall, s.cpu, s.sys,
          mainCPU);
  return 0;
}

// Runs the load in a process of its own for its peak; kB above the start, or -1.
double PeakOfLoadInOwnProcess(const char* self, const std::string& home) {
  const std::string command = std::string(self) + " --load '" + home + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  long before = 0, peak = 0;
  const int got = fscanf(pipe, "%ld %ld", &before, &peak);
  if (pclose(pipe) != 0 || got != 2) return -1;
  return static_cast<double>(peak - before);
}

const char* g_self = nullptr;  // this program, for PeakOfLoadInOwnProcess

Span MedianOf(std::vector<Span> spans) {
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.wall < b.wall; });
  return spans[spans.size() / 2];
}

// The median of `times` durable replacements of a file of `size` bytes.
Span DurableReplaceFloor(const std::string& path, size_t size, int times) {
  const std::string bytes(size, 'x');
  std::vector<Span> spans;
  for (int k = 0; k < times; ++k) {
    Clock t = Start();
    if (ReplaceFileAtomically(path, bytes.data(), bytes.size()) != ATOMIC_OK) return Span{};
    spans.push_back(Since(t));
  }
  unlink(path.c_str());
  return MedianOf(spans);
}

// Opens and reads every listed per-user file as the loader does (one open,
// one reused buffer); with `parse`, Expat (no handlers, one parser reset
// between files) goes over each file's bytes too.
Span ReadAllFloor(const std::string& home, const std::vector<UID>& uids, bool parse) {
  XML_Parser parser = parse ? XML_ParserCreate("UTF-8") : nullptr;
  std::string content;
  Clock t = Start();
  for (const UID uid : uids) {
    if (ReadFileToBuffer(UserFilePath(home, uid), content) != FR_OK) continue;
    if (parser != nullptr) {
      XML_ParserReset(parser, "UTF-8");
      XML_Parse(parser, content.data(), static_cast<int>(content.size()), 1);
    }
  }
  Span s = Since(t);
  if (parser != nullptr) XML_ParserFree(parser);
  return s;
}

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

  // The floors, in the home the store just wrote.
  f.floorSmall = DurableReplaceFloor(home + "floor-small.xml", 500, 7);
  f.floorUID = DurableReplaceFloor(home + "floor-uid.val", 4, 7);
  FileStatus listStatus;
  ok = ok && GetFileStatus(home + kUserListFileName, listStatus);
  f.floorList = DurableReplaceFloor(home + "floor-list.xml", static_cast<size_t>(listStatus.size), 5);
  ResetStores();
  malloc_trim(0);
  ok = ok && ReadUserListUIDs(home.c_str()) == 0;
  const std::vector<UID> uids = GetUserListUIDs();
  f.floorRead = ReadAllFloor(home, uids, false);
  f.floorParse = ReadAllFloor(home, uids, true);

  ResetStores();
  const double heapBefore = HeapInUse();
  t = Start();
  ok = ok && ReadUsersV2(home.c_str()) == 0;
  ok = ok && EnsureUserLoginSections() == 0 && AssignUserUIDs() == 0;
  f.loadV2 = Since(t);
  // New UIDs come from the home's uid.val, raised above every loaded user
  // as the server's start raises it: the adds below must not be handed a
  // UID a user holds.
  SetUIDDirectory(home.c_str());
  SyncUIDFileWithStores();
  f.heldKB = (HeapInUse() - heapBefore) / 1024.0 / n;
  f.peakKB = PeakOfLoadInOwnProcess(g_self, home) / n;
  ok = ok && GetUserCount() == n;

  // The shared list of every user's block, as the first reader of a version
  // of the users makes it (each let go before the next, so each is made anew).
  std::vector<Span> lists;
  for (int k = 0; ok && k < 5; ++k) {
    t = Start();
    const SharedRecordList list = TakeUserList();
    lists.push_back(Since(t));
    ok = list != nullptr && list->Count() == static_cast<size_t>(n);
  }
  if (ok) f.listMade = MedianOf(lists);

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
  if (ok) f.saveOne = MedianOf(saves);

  // A change of the name's letter case by client XML changes the list: it
  // is rewritten with the user's file.
  std::vector<Span> renames;
  for (int k = 0; ok && k < 3; ++k) {
    std::string renamed = name;
    renamed[0] = k % 2 == 0 ? 'U' : 'u';
    const std::string text = "<USER><USERNAME>" + renamed + "</USERNAME><ADUSER>0</ADUSER><LEVEL>0</LEVEL></USER>";
    t = Start();
    ok = UpdateUserXML(name, text.c_str()) == 0;
    renames.push_back(Since(t));
    snprintf(name, sizeof name, "%s", renamed.c_str());
  }
  if (ok) f.saveRename = MedianOf(renames);

  // The reload after a failed client change: free, read, rewrite everything.
  t = Start();
  ok = ok && ReloadUsers() == 0;
  f.reload = Since(t);

  // Adds and deletes as the handlers make them: the record with its node,
  // then the save of that user (its file, and the list, which changes). The
  // new users fall in the middle of the name order.
  std::vector<Span> adds, deletes;
  for (int k = 0; ok && k < 5; ++k) {
    snprintf(name, sizeof name, "user%06dadd%d", n / 2, k);
    t = Start();
    ok = IsValidUserName(name) && !UserExists(name) && AddUserFromClient(name, 0) >= 0 && SaveUsers(home.c_str(), name) == 0;
    adds.push_back(Since(t));
  }
  for (int k = 0; ok && k < 5; ++k) {
    snprintf(name, sizeof name, "user%06dadd%d", n / 2, k);
    t = Start();
    ok = DeleteUserAndNode(name, false) == 0 && SaveUsers(home.c_str(), name) == 0;
    deletes.push_back(Since(t));
  }
  if (ok) {
    f.addOne = MedianOf(adds);
    f.deleteOne = MedianOf(deletes);
  }

  ResetStores();
  SetUIDDirectory(nullptr);
  if (getenv("USERS_BENCH_KEEP") != nullptr) {  // for profiling a load: users_bench --load DIR
    fprintf(stderr, "kept %s\n", home.c_str());
    return ok;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--load") == 0) return LoadOnly(argv[2]);
  g_self = argv[0];
  const int maxUsers = argc > 1 ? atoi(argv[1]) : 100000;
  std::vector<Figures> all;
  printf("wall-clock seconds (CPU / of it system CPU seconds in brackets); x: the figure over its floor\n");
  for (int n = 1000; n <= maxUsers; n *= 10) {
    Figures f;
    if (!Run(n, f)) {
      fprintf(stderr, "run with %d users failed\n", n);
      return 1;
    }
    auto line = [](const char* what, const Span& s, const char* floorName, const Span& floor) {
      if (what[0] != '\0') {
        printf("  %-30s %9.5f (%8.5f/%8.5f)", what, s.wall, s.cpu, s.sys);
      } else {
        printf("  %-30s %30s", "", "");
      }
      if (floorName != nullptr && floor.wall > 0) {
        printf("   floor %-38s %9.5f", floorName, floor.wall);
        if (s.wall > 0) printf("  x%.2f", s.wall / floor.wall);
      }
      printf("\n");
    };
    printf("%d users\n", n);
    line("v1 load", f.loadV1, nullptr, Span{});
    line("upgrade to v2", f.upgrade, nullptr, Span{});
    line("v2 load", f.loadV2, "open+read all files, Expat over them", f.floorParse);
    line("", Span{}, "open+read all files", f.floorRead);
    line("", Span{}, "durable list-size replacement", f.floorList);
    line("first save of one", f.firstSave, "durable 500-byte replacement", f.floorSmall);
    line("save one (median of 5)", f.saveOne, "durable 500-byte replacement", f.floorSmall);
    line("case change (median of 3)", f.saveRename, "durable list-size replacement", f.floorList);
    line("reload", f.reload, "open+read all files", f.floorRead);
    // An add writes the new user's file, uid.val (the UID it was issued) and
    // the list; a delete writes the list alone (the user's file stays, unlisted).
    const Span floorAdd{f.floorSmall.wall + f.floorList.wall + f.floorUID.wall,
                        f.floorSmall.cpu + f.floorList.cpu + f.floorUID.cpu,
                        f.floorSmall.sys + f.floorList.sys + f.floorUID.sys};
    line("add one (median of 5)", f.addOne, "500-byte + list-size + 4-byte repl.", floorAdd);
    line("delete one (median of 5)", f.deleteOne, "durable list-size replacement", f.floorList);
    line("whole list made (median of 5)", f.listMade, nullptr, Span{});
    printf("  memory of the v2 load: %.2f kB per user held on the heap, %.2f kB per user at the peak of a process "
           "that only loads\n", f.heldKB, f.peakKB);
    fflush(stdout);
    all.push_back(f);
  }
  for (size_t i = 1; i < all.size(); ++i) {
    const Figures& a = all[i - 1];
    const Figures& b = all[i];
    printf("growth %d -> %d (wall / cpu): v1 load x%.1f / x%.1f, upgrade x%.1f / x%.1f, v2 load x%.1f / x%.1f, "
           "first save x%.1f / x%.1f, save one x%.1f / x%.1f, rename save x%.1f / x%.1f, reload x%.1f / x%.1f, "
           "add x%.1f / x%.1f, delete x%.1f / x%.1f, memory per user x%.2f\n",
           a.users, b.users, b.loadV1.wall / a.loadV1.wall, b.loadV1.cpu / a.loadV1.cpu, b.upgrade.wall / a.upgrade.wall,
           b.upgrade.cpu / a.upgrade.cpu, b.loadV2.wall / a.loadV2.wall, b.loadV2.cpu / a.loadV2.cpu,
           b.firstSave.wall / a.firstSave.wall, b.firstSave.cpu / a.firstSave.cpu, b.saveOne.wall / a.saveOne.wall,
           b.saveOne.cpu / a.saveOne.cpu, b.saveRename.wall / a.saveRename.wall, b.saveRename.cpu / a.saveRename.cpu,
           b.reload.wall / a.reload.wall, b.reload.cpu / a.reload.cpu, b.addOne.wall / a.addOne.wall,
           b.addOne.cpu / a.addOne.cpu, b.deleteOne.wall / a.deleteOne.wall, b.deleteOne.cpu / a.deleteOne.cpu,
           b.heldKB / a.heldKB);
  }
  return 0;
}
