// Crash safety of every save, and every save on a full disk: a child process makes saves in a loop (one
// user, every user, groups.xml, a settings file, env.xml, a UID from uid.val)
// and reports over a pipe each save that returned 0; it is killed with
// SIGKILL at random points, many times. After each kill a fresh load of the
// home must load every store completely, keep every reported save (an item
// is its reported version or a later one the child had begun), hand out no
// UID again, clean up the writer's temporary files and nothing else. On a
// full disk (RLIMIT_FSIZE 0, SIGXFSZ ignored) every save reports failure and
// leaves every file as it was; the ring log loses records and resumes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/config_model.h"
#include "config/settings_api.h"
#include "directory/groups.h"
#include "directory/groups_file.h"
#include "directory/user_records.h"
#include "directory/users_files.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/log/ring_log.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/uid_alloc.h"
#include "host/run_server.h"
#include "platform/atomic_file.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

constexpr int kUsers = 10;
constexpr const char kSettingPath[] = "Crash\\Value";

std::string UserName(int i) { return "crash" + std::to_string(i); }

// The version number of a text "v<k>"; -1 for anything else.
long VersionOf(const std::optional<std::string>& text) {
  if (!text || text->size() < 2 || (*text)[0] != 'v') return -1;
  char* end = nullptr;
  long k = std::strtol(text->c_str() + 1, &end, 10);
  return *end == '\0' ? k : -1;
}

// What the child reported as saved.
struct Acknowledged {
  std::map<int, long> userVersion;  // by user index, the highest version saved
  std::set<long> groups;            // "g<k>"
  std::set<long> environments;      // "E<k>"
  long settingVersion = -1;
  uint32_t highestUID = 0;

  void Take(const std::string& line) {
    char kind = 0;
    long a = 0, b = 0;
    if (std::sscanf(line.c_str(), "%c %ld %ld", &kind, &a, &b) < 2) return;
    switch (kind) {
      case 'U': userVersion[static_cast<int>(a)] = std::max(userVersion[static_cast<int>(a)], b); break;
      case 'A':
        for (int i = 0; i < kUsers; ++i) userVersion[i] = std::max(userVersion[i], a);
        break;
      case 'G': groups.insert(a); break;
      case 'S': settingVersion = std::max(settingVersion, a); break;
      case 'E': environments.insert(a); break;
      case 'I': highestUID = std::max(highestUID, static_cast<uint32_t>(a)); break;
      default: break;
    }
  }
};

class CrashSafety : public ::testing::Test {
 protected:
  void SetUp() override {
    SetNewHashCostForTest(kBcryptMinCost);
    FreshProcessState();
    ASSERT_EQ(0, Initialise());
    LoadServerData();
    for (int i = 0; i < kUsers; ++i) {
      ASSERT_GE(AddUser(UserName(i).c_str(), GetNewUID()), 0);
      GetUserByIndex(FindUserIndex(UserName(i).c_str()))->FORENAME = "v0";
    }
    ASSERT_EQ(0, SaveUsers(home_.path.c_str(), nullptr));
    ASSERT_EQ(0, SetSettingString("Live", "Torvane", kSettingPath, "v0"));
    // Copies kept by hand or by a failed load, which cleanup must never take.
    WriteWholeFile(home_.File("users.xml.bad"), "kept");
    WriteWholeFile(home_.File("groups.xml.old"), "kept");
    WriteWholeFile(home_.File("userlist.xml.old"), "kept");
  }
  void TearDown() override {
    SetLogTeeFileName(nullptr);
    ReleaseServerData();
    ResetDirectoryState();
    SetNewHashCostForTest(0);
  }

  // Every store empty, the home and UID directory set, the log lines in a tee file.
  void FreshProcessState() {
    ReleaseServerData();
    ResetDirectoryState();
    SetLogFileName(nullptr);
    ASSERT_EQ(0, SetHomeDirectory(home_.path.c_str()));
    SetUIDDirectory(home_.path.c_str());
    WriteWholeFile(home_.File("tee.log"), "");
    SetLogTeeFileName(home_.File("tee.log").c_str());
  }

  // One save of version `k` (its kind is k % 6); the report line when it
  // returned 0, else the empty text.
  std::string SaveOnce(long k) {
    const char* home = home_.path.c_str();
    char line[64] = {};
    const std::string v = "v" + std::to_string(k);
    switch (k % 6) {
      case 0: {
        const int i = static_cast<int>(k / 6 % kUsers);
        GetUserByIndex(FindUserIndex(UserName(i).c_str()))->FORENAME = v;
        if (SaveUsers(home, UserName(i).c_str()) == 0) std::snprintf(line, sizeof line, "U %d %ld\n", i, k);
        break;
      }
      case 1:
        for (int i = 0; i < kUsers; ++i) GetUserByIndex(FindUserIndex(UserName(i).c_str()))->FORENAME = v;
        if (SaveUsers(home, nullptr) == 0) std::snprintf(line, sizeof line, "A %ld\n", k);
        break;
      case 2:
        if (AddGroup(("g" + std::to_string(k)).c_str()) >= 0 && WriteGroupsXML(std::string(home) + "groups.xml") == 0) {
          std::snprintf(line, sizeof line, "G %ld\n", k);
        }
        break;
      case 3:
        if (SetSettingString("Live", "Torvane", kSettingPath, v.c_str()) == 0) std::snprintf(line, sizeof line, "S %ld\n", k);
        break;
      case 4:
        if (AddEnvironment(("E" + std::to_string(k)).c_str()) == 0) std::snprintf(line, sizeof line, "E %ld\n", k);
        break;
      default:
        if (UID uid = GetNewUID(); uid != 0) std::snprintf(line, sizeof line, "I %u\n", uid);
        break;
    }
    return line;
  }

  // The child's loop: saves from version `first` on, each reported on `out`.
  [[noreturn]] void SaveForever(long first, int out) {
    for (long k = first;; ++k) {
      const std::string line = SaveOnce(k);
      if (!line.empty() && write(out, line.data(), line.size()) < 0) _exit(3);
    }
  }

  // A fresh load of the home: every store loaded without an error line, the
  // writer's leftovers gone and the kept copies still there.
  void LoadAndCheckComplete(const std::string& where) {
    FreshProcessState();
    LoadServerData();
    const std::string log = ReadWholeFile(home_.File("tee.log"));
    ASSERT_EQ(std::string::npos, log.find("Error")) << where << ":\n" << log;
    ASSERT_EQ(std::string::npos, log.find("rror ")) << where << ":\n" << log;
    ASSERT_EQ(4 + kUsers, GetUserCount()) << where;
    for (const char* sub : {"", "envs/", "users/", "schemas/"}) {
      for (const auto& entry : std::filesystem::directory_iterator(home_.path + sub)) {
        ASSERT_FALSE(IsAtomicFileLeftoverName(entry.path().filename().string())) << entry.path() << " " << where;
      }
    }
    for (const char* kept : {"users.xml.bad", "groups.xml.old", "userlist.xml.old"}) {
      ASSERT_EQ("kept", ReadWholeFile(home_.File(kept))) << kept << " " << where;
    }
  }

  TempDir home_;
};

TEST_F(CrashSafety, EverySaveSurvivesAKillAtAnyPoint) {
  Acknowledged acked;
  std::mt19937 rng(7411);
  constexpr int kKills = 200;
  long next = 1;
  for (int round = 0; round < kKills; ++round) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      SetLogTeeFileName(nullptr);
      SaveForever(next, fds[1]);
    }
    close(fds[1]);
    std::this_thread::sleep_for(std::chrono::microseconds(200 + rng() % 50000));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saving child ended by itself: " << status;
    std::string lines;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) lines.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    size_t reported = 0;
    for (size_t at = 0, end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1, ++reported) {
      acked.Take(lines.substr(at, end - at));
    }
    next += static_cast<long>(reported) + 6 * kUsers + 6;  // past every version the child may have begun

    // A fresh start on what the kill left.
    ASSERT_NO_FATAL_FAILURE(LoadAndCheckComplete("round " + std::to_string(round)));
    for (int i = 0; i < kUsers; ++i) {
      const UserStruct* user = FindUser(UserName(i).c_str());
      ASSERT_NE(nullptr, user) << UserName(i) << " round " << round;
      const long got = VersionOf(user->FORENAME);
      ASSERT_GE(got, acked.userVersion[i]) << UserName(i) << " round " << round;
    }
    for (long g : acked.groups) {
      ASSERT_NE(nullptr, FindGroupByName(("g" + std::to_string(g)).c_str())) << "g" << g << " round " << round;
    }
    for (long e : acked.environments) {
      ASSERT_NE(nullptr, FindEnvironment(("E" + std::to_string(e)).c_str())) << "E" << e << " round " << round;
    }
    std::optional<std::string> setting;
    ASSERT_EQ(0, GetSettingString("Live", "Torvane", kSettingPath, 0, 0, setting)) << "round " << round;
    ASSERT_GE(VersionOf(setting), acked.settingVersion) << "round " << round;
    // No UID handed out before the kill is handed out again.
    const UID fresh = GetNewUID();
    ASSERT_GT(fresh, acked.highestUID) << "round " << round;
    acked.highestUID = fresh;
  }
  EXPECT_FALSE(acked.environments.empty());
  EXPECT_FALSE(acked.groups.empty());
}

// The versions a fresh load shows of what each kind of save changes.
struct Loaded {
  std::vector<long> users;
  long groups = 0;  // how many groups "g<k>" exist
  long setting = -1;
  long environments = 0;
};

Loaded WhatLoaded() {
  Loaded out;
  for (int i = 0; i < kUsers; ++i) out.users.push_back(VersionOf(FindUser(UserName(i).c_str())->FORENAME));
  for (int g = 0; g < GetGroupCount(); ++g) out.groups += GetGroupByIndex(g)->name.value_or("x")[0] == 'g';
  std::optional<std::string> setting;
  if (GetSettingString("Live", "Torvane", kSettingPath, 0, 0, setting) == 0) out.setting = VersionOf(setting);
  out.environments = static_cast<long>(GetConfigRoot()->envs.size());
  return out;
}

// Each save is stopped dead after each step of each file it replaces: a
// fresh load then shows every item at its old or its new version, complete,
// and the new one whenever the save finished.
TEST_F(CrashSafety, ASaveStoppedAfterAnyStepLeavesTheOldOrTheNewVersion) {
  struct Stop {
    AtomicStep step;
    int nth;
  };
  const Stop kStops[] = {
      {ATOMIC_STEP_WRITTEN, 1}, {ATOMIC_STEP_SYNCED, 1},  {ATOMIC_STEP_RENAMED, 1}, {ATOMIC_STEP_DIR_SYNCED, 1},
      {ATOMIC_STEP_WRITTEN, 2}, {ATOMIC_STEP_SYNCED, 2},  {ATOMIC_STEP_RENAMED, 2}, {ATOMIC_STEP_DIR_SYNCED, 2},
      {ATOMIC_STEP_WRITTEN, 8}, {ATOMIC_STEP_RENAMED, 8}, {ATOMIC_STEP_WRITTEN, 15}, {ATOMIC_STEP_RENAMED, 15},
  };
  long k = 6;
  LoadAndCheckComplete("start");
  UID issued = GetNewUID();
  for (int kind = 0; kind < 6; ++kind) {
    for (const Stop& stop : kStops) {
      while (k % 6 != kind) ++k;
      const std::string where = "kind " + std::to_string(kind) + " step " + std::to_string(stop.step) + " nth " +
                                std::to_string(stop.nth);
      const Loaded before = WhatLoaded();
      std::fflush(nullptr);
      pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        SetLogTeeFileName(nullptr);
        SetAtomicStopAfterStep(stop.step, stop.nth);
        _exit(SaveOnce(k).empty() ? 1 : 0);
      }
      int status = 0;
      waitpid(pid, &status, 0);
      const bool finished = WIFEXITED(status);
      ASSERT_TRUE(finished ? WEXITSTATUS(status) == 0 : WTERMSIG(status) == SIGKILL) << where << " " << status;
      // Every save passes each step at least once, but for the save of all
      // users when no UID or name changed: its per-user files are made
      // durable together by one file-system sync, and the list, whose bytes
      // stay the same, is not rewritten, so there is no directory sync.
      const bool listUnchanged = kind == 1 && stop.step == ATOMIC_STEP_DIR_SYNCED;
      if (stop.nth == 1 && !listUnchanged) {
        ASSERT_FALSE(finished) << where;
      }
      ASSERT_NO_FATAL_FAILURE(LoadAndCheckComplete(where));
      const Loaded after = WhatLoaded();
      switch (kind) {
        case 0: {
          const int i = static_cast<int>(k / 6 % kUsers);
          EXPECT_TRUE(after.users[i] == (finished ? k : before.users[i]) || (!finished && after.users[i] == k))
              << where << ": " << after.users[i];
          break;
        }
        case 1:
          for (int i = 0; i < kUsers; ++i) {
            EXPECT_TRUE(after.users[i] == k || (!finished && after.users[i] == before.users[i]))
                << where << " user " << i << ": " << after.users[i];
          }
          break;
        case 2:
          EXPECT_TRUE(after.groups == before.groups + 1 || (!finished && after.groups == before.groups)) << where;
          break;
        case 3:
          EXPECT_TRUE(after.setting == k || (!finished && after.setting == before.setting)) << where;
          break;
        case 4:
          EXPECT_TRUE(after.environments == before.environments + 1 ||
                      (!finished && after.environments == before.environments))
              << where;
          break;
        default: {
          // The child's UID is issued+1; it was handed out only if it finished.
          const UID next = GetNewUID();
          EXPECT_GT(next, issued) << where;
          if (finished) {
            EXPECT_GT(next, issued + 1) << where;
          }
          issued = next;
          break;
        }
      }
      ++k;
    }
  }
}

// Every file under the home but the tee log, by path, with its bytes.
std::map<std::string, std::string> HomeFiles(const std::string& home) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home)) {
    if (!entry.is_regular_file() || entry.path().filename() == "tee.log") continue;
    files[entry.path().string()] = ReadWholeFile(entry.path().string());
  }
  return files;
}

// No file of this process may grow past `bytes` from here on; a write past
// it fails (EFBIG) instead of raising SIGXFSZ. For a child that ends after.
void LimitFileSize(rlim_t bytes) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit lim{};
  getrlimit(RLIMIT_FSIZE, &lim);
  lim.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &lim);
}

TEST_F(CrashSafety, EverySaveOnAFullDiskFailsAndLeavesEveryFileAsItWas) {
  LoadAndCheckComplete("start");
  for (long k = 12; k < 18; ++k) {
    const std::string where = "kind " + std::to_string(k % 6);
    const auto before = HomeFiles(home_.path);
    const Loaded loadedBefore = WhatLoaded();
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      LimitFileSize(0);
      _exit(SaveOnce(k).empty() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << where;
    EXPECT_EQ(0, WEXITSTATUS(status)) << where << ": the save reported success";
    EXPECT_EQ(before, HomeFiles(home_.path)) << where;
    ASSERT_NO_FATAL_FAILURE(LoadAndCheckComplete(where));
    const Loaded after = WhatLoaded();
    EXPECT_EQ(loadedBefore.users, after.users) << where;
    EXPECT_EQ(loadedBefore.groups, after.groups) << where;
    EXPECT_EQ(loadedBefore.setting, after.setting) << where;
    EXPECT_EQ(loadedBefore.environments, after.environments) << where;
  }
}

TEST_F(CrashSafety, TheRingLogLosesRecordsWhileTheDiskIsFullAndResumesInTheNextSlot) {
  const std::string log = home_.File("ring.lg");
  SetLogFileName(log.c_str());
  ASSERT_EQ(0, CreateLogFile(0, 8));
  std::fflush(nullptr);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    SetLogTeeFileName(nullptr);
    WriteLog(0, "before the disk filled");
    LimitFileSize(0);
    WriteLog(0, "lost one");
    WriteLog(0, "lost two");
    LimitFileSize(RLIM_INFINITY);
    WriteLog(0, "after the disk emptied");
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  SetLogFileName(nullptr);
  const std::string bytes = ReadWholeFile(log);
  ASSERT_EQ(3 * kLogBlockSize, bytes.size());
  const LogFileHeader h = DecodeLogFileHeader(reinterpret_cast<const unsigned char*>(bytes.data()));
  EXPECT_EQ(kLogVersion, h.version);
  EXPECT_EQ(8u, h.slotCount);
  EXPECT_EQ(3u, h.nextSlot);
  const char* kExpected[] = {"before the disk filled", "after the disk emptied"};
  for (int slot = 1; slot <= 2; ++slot) {
    const LogRecord r =
        DecodeLogRecord(reinterpret_cast<const unsigned char*>(bytes.data()) + slot * kLogBlockSize);
    EXPECT_STREQ(kExpected[slot - 1], r.message) << slot;
  }
}

// Whether a load's log lines say that some file did not load, or in part.
bool LoadReportedTrouble(const std::string& log) {
  for (const char* sign : {"XML error", "rror ", "not loaded", "read in part", "does not read", "did not read",
                           "is empty", "Expected "}) {
    if (log.find(sign) != std::string::npos) return true;
  }
  return false;
}

// Truncated and bit-flipped copies of every store file at start-up: the load
// does not crash (the sanitizer build shows what a plain one would not), and
// when it says a file did not load (or in part), the saves that follow, one
// of each kind, never destroy that file, which may be the only copy of its
// data: its bytes stay somewhere in the home. (uid.val is a counter the
// start-up raises above every stored UID: it is damaged, not kept.)
TEST_F(CrashSafety, ACorruptStoreFileIsNeverTheOnlyCopyASaveDestroys) {
  LoadAndCheckComplete("start");
  ASSERT_EQ(0, SaveUsers(home_.path.c_str(), nullptr));
  const std::string uidFile = [&] {
    char name[32];
    std::snprintf(name, sizeof name, "users/%08X.xml", FindUser(UserName(3).c_str())->header.uid);
    return std::string(name);
  }();
  const std::string kFiles[] = {"userlist.xml", uidFile, "groups.xml", "env.xml", "envs/live_torvane.xml", "uid.val"};
  struct Damage {
    const char* name;
    double at;    // where, as a share of the file's length
    bool flip;    // flip one bit there (otherwise cut the file there)
  };
  const Damage kDamages[] = {
      {"empty", 0.0, false}, {"half", 0.5, false}, {"last byte cut", 0.999, false},
      {"flip near start", 0.02, true}, {"flip in middle", 0.5, true}, {"flip near end", 0.98, true},
  };
  const auto pristine = HomeFiles(home_.path);
  long k = 100;
  for (const std::string& file : kFiles) {
    for (const Damage& d : kDamages) {
      const std::string where = file + " " + d.name;
      for (const auto& [path, now] : HomeFiles(home_.path)) {
        if (pristine.count(path) == 0) std::filesystem::remove(path);
      }
      for (const auto& [path, bytes] : pristine) WriteWholeFile(path, bytes);
      std::string bytes = pristine.at(home_.File(file));
      ASSERT_FALSE(bytes.empty()) << file;
      const size_t at = std::min(bytes.size() - 1, static_cast<size_t>(d.at * static_cast<double>(bytes.size())));
      if (d.flip) {
        bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
      } else {
        bytes.resize(at);
      }
      WriteWholeFile(home_.File(file), bytes);
      FreshProcessState();
      LoadServerData();
      const std::string loadLog = ReadWholeFile(home_.File("tee.log"));
      const bool mustKeep = file != "uid.val" && LoadReportedTrouble(loadLog);
      auto stillKept = [&] {
        bool kept = bytes.empty() || !mustKeep;
        for (const auto& [path, now] : HomeFiles(home_.path)) kept = kept || now == bytes;
        return kept;
      };
      EXPECT_TRUE(stillKept()) << where << ": the load lost the damaged bytes\n" << loadLog;
      // A save of every kind, whatever the load gave; refusals are fine.
      for (int kind = 0; kind < 6; ++kind, ++k) {
        while (k % 6 != kind) ++k;
        if (kind <= 1 && FindUser(UserName(static_cast<int>(k / 6 % kUsers)).c_str()) == nullptr) continue;
        if (kind == 1 && GetUserCount() < 4 + kUsers) continue;
        (void)SaveOnce(k);
        EXPECT_TRUE(stillKept()) << where << ": a save of kind " << kind << " lost the damaged bytes\n" << loadLog;
      }
    }
  }
  for (const auto& [path, bytes] : pristine) WriteWholeFile(path, bytes);
}

}  // namespace
