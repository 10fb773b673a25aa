// Every request interleaved with another at each point where it can wait.
// The real server runs in this process, its loop driven pass by pass by the
// test over socket pairs. For every message with a handler, the request
// stops before each of its arguments (the client has sent the ones before),
// past what the server holds back of a long reply (the client does not
// read), or while its hash runs on a worker; meanwhile one of a set of other
// requests (the meddlers: a user or group deleted or deleted and added again,
// the environment's description replaced or the environment deleted, the
// caller logged off, kicked, every logon kicked, its session ended) is served
// to its end on another connection, and then the request goes on.
//
// The outcome, both replies and every store file of the home byte for byte,
// must be that of one serial order of the two requests, each run from the
// same fresh home (request then meddler, meddler then request); or, when the
// meddler ended the request's logon, the request's refusal (27 and the flags
// word, then its connection closed) with the stores of the meddler alone; or,
// when its user went while its hash ran, its "not found" with the stores of
// the meddler alone. The sanitized build reports nothing (this runs in
// process: a report ends the program), and every connection still open
// afterwards answers a 6628 with 0 and 10. With the wall clock fixed and the
// random bytes drawn from a seeded source, the same requests in the same
// order give the same bytes.
//
// Each message is a test of its own, so that CTest runs them side by side;
// each prints how many cases it ran and how long they took.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>
#include <sstream>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include "config/server_lists.h"
#include "directory/first_start.h"
#include "directory/group_blocks.h"
#include "directory/groups.h"
#include "directory/user_blocks.h"
#include "directory/user_records.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/util/byte_order.h"
#include "host/layer_links.h"
#include "host/run_server.h"
#include "host/server_loop.h"
#include "platform/account.h"
#include "platform/clock.h"
#include "platform/fiber_tasks.h"
#include "platform/random_bytes.h"
#include "requests/message_table.h"
#include "sessions/connection_table.h"
#include "sessions/logon_backoff.h"
#include "sessions/logon_settings.h"
#include "sessions/logon_slots.h"
#include "sessions/lus_log.h"
#include "support/directory_reset.h"
#include "support/loop_driver.h"
#include "support/stored_directory.h"
#include "support/temp_dir.h"
#include "support/test_client.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int64_t kFixedNow = 1800000000;     // 2027-01-15T08:00:00Z
constexpr int32_t kCallerClientID = 0x0101;   // the request's client program (product 1)
constexpr int32_t kMeddlerClientID = 0x0102;  // the administrator who meddles
constexpr size_t kLongText = 26000;           // longer than the held output and the socket's room together

// ---- Accounts ---------------------------------------------------------------------------

// The callers: an administrator, a plain user, the target user itself (for
// the requests on the caller's own record), and a guest (a name the
// directory does not hold, logged on as "guest" by the directory logon
// without a password that the server trusts here).
enum class Caller { kAdmin, kPlain, kTarget, kGuest };

struct Account {
  const char* name;
  const char* password;
};

Account AccountOf(Caller caller) {
  switch (caller) {
    case Caller::kAdmin: return {"administrator", "quernstoneway"};
    case Caller::kPlain: return {"plain", "pw"};
    case Caller::kTarget: return {"target", "pw"};
    case Caller::kGuest: return {"visitor", ""};
  }
  return {"", ""};
}

const char* CallerName(Caller caller) {
  switch (caller) {
    case Caller::kAdmin: return "admin";
    case Caller::kPlain: return "plain";
    case Caller::kTarget: return "target";
    case Caller::kGuest: return "guest";
  }
  return "?";
}

const Account kMeddlerAccount = {"ZentakUser", "Grebe7ly"};  // a built-in administrator

// ---- Bytes ---------------------------------------------------------------------------------

std::string Words(std::initializer_list<uint32_t> values) {
  std::string out;
  for (uint32_t v : values) {
    unsigned char b[4];
    PutLE32(b, v);
    out.append(reinterpret_cast<const char*>(b), 4);
  }
  return out;
}

TestBytes Concat(const std::vector<TestBytes>& parts, size_t from = 0, size_t to = SIZE_MAX) {
  TestBytes out;
  for (size_t i = from; i < std::min(to, parts.size()); ++i) out.insert(out.end(), parts[i].begin(), parts[i].end());
  return out;
}

uint32_t WordAt(const std::string& bytes, size_t at) {
  return at + 4 <= bytes.size() ? GetLE32(reinterpret_cast<const unsigned char*>(bytes.data()) + at) : 0xFFFFFFFFu;
}

// A short account of where two byte strings part, for failure messages.
std::string WhereTheyDiffer(const std::string& a, const std::string& b) {
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  std::ostringstream out;
  out << a.size() << " vs " << b.size() << " bytes, first difference at " << at << ":";
  auto dump = [&](const std::string& s) {
    out << " [";
    for (size_t i = at; i < std::min(s.size(), at + 12); ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(s[i]));
      out << hex;
    }
    out << "]";
  };
  dump(a);
  dump(b);
  return out.str();
}

// ---- A random source that gives the same bytes run after run -----------------------------

std::mutex g_randomLock;
uint64_t g_randomState = 0;

int SeededRandomBytes(void* buffer, size_t length) {
  std::lock_guard<std::mutex> hold(g_randomLock);
  auto* out = static_cast<unsigned char*>(buffer);
  for (size_t i = 0; i < length; ++i) {
    // splitmix64, one byte of each step
    uint64_t z = (g_randomState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    out[i] = static_cast<unsigned char>(z ^ (z >> 31));
  }
  return 0;
}

void ReseedRandomBytes() {
  std::lock_guard<std::mutex> hold(g_randomLock);
  g_randomState = 0x5EED5EED5EEDull;
}

// ---- Where the request waits -------------------------------------------------------------

// The waits the observer saw while a case ran: what each was for and whose.
struct SeenWait {
  FiberWaitKind kind;
  bool writing;
  int socket;  // the server's end of the connection whose request waits
};
std::vector<SeenWait> g_seenWaits;
bool g_watchingWaits = false;

void ObserveWait(const FiberWait& wait) {
  if (!g_watchingWaits) return;
  const auto* owner = static_cast<const ConnectionRecord*>(GetFiberTaskOwner(CurrentFiberTask()));
  g_seenWaits.push_back({wait.kind, wait.writing, owner != nullptr ? owner->socket : -1});
}

enum class WaitKind { kBeforeArgument, kLongReply, kWorker };

struct WaitPoint {
  WaitKind kind;
  size_t argument = 0;  // kBeforeArgument: the index of the argument not yet sent
};

std::string Describe(const WaitPoint& w) {
  switch (w.kind) {
    case WaitKind::kBeforeArgument: return "before argument " + std::to_string(w.argument);
    case WaitKind::kLongReply: return "sending its long reply";
    case WaitKind::kWorker: return "hashing on a worker";
  }
  return "?";
}

// The bytes of a file, read in one go.
std::string FileBytes(const std::string& path) {
  std::string out;
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return out;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

// ---- The server's console lines ----------------------------------------------------------

// The log goes to a file of the sweep's own, emptied at each run (the last
// run's lines go with a failure); the sanitizers' reports still reach the
// real standard error.
class ConsoleToFile {
 public:
  explicit ConsoleToFile(const std::string& path) : path_(path) {
    std::fflush(stderr);
    saved_ = dup(2);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(saved_)));
#endif
  }
  ~ConsoleToFile() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(2)));
#endif
  }
  void Empty() const {
    if (ftruncate(2, 0) == 0) lseek(2, 0, SEEK_SET);
  }
  std::string Tail(size_t bytes) const {
    const std::string all = FileBytes(path_);
    return all.size() > bytes ? all.substr(all.size() - bytes) : all;
  }

 private:
  std::string path_;
  int saved_ = -1;
};

// ---- Store files ------------------------------------------------------------------------------

// Every store file of a home by its path under the home, with its bytes; the
// logs and the lock are not stores.
using Stores = std::map<std::string, std::string>;

bool IsStoreFile(const std::string& relative) {
  if (relative.rfind("luslogs", 0) == 0) return false;
  const std::string name = fs::path(relative).filename().string();
  if (name == "lusdump.txt" || name == kHomeLockFileName) return false;
  return name.size() < 3 || name.compare(name.size() - 3, 3, ".lg") != 0;
}

// The template home's files, kept with their bytes: each run's home holds
// links to them, and the server replaces a store file (a new file renamed
// over the link) rather than write it in place, so a file of a run that
// still is the template's (same file, size and time) has the template's bytes.
struct TemplateFile {
  std::string bytes;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
};
using TemplateFiles = std::map<std::string, TemplateFile>;

bool SameFile(const struct stat& st, const TemplateFile& f) {
  return st.st_ino == f.inode && st.st_size == f.size && st.st_mtim.tv_sec == f.modified.tv_sec &&
         st.st_mtim.tv_nsec == f.modified.tv_nsec;
}

// Every regular file under `home`, by its path under it.
std::vector<std::string> FilesUnder(const std::string& home) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(home, ec); it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_regular_file(ec)) out.push_back(it->path().string().substr(home.size()));
  }
  return out;
}

TemplateFiles ReadTemplate(const std::string& home) {
  TemplateFiles out;
  for (const std::string& relative : FilesUnder(home)) {
    struct stat st {};
    if (stat((home + relative).c_str(), &st) != 0) continue;
    out[relative] = {FileBytes(home + relative), st.st_ino, st.st_size, st.st_mtim};
  }
  return out;
}

// The run's home as links to the template's files, in folders of its own.
bool LinkTemplate(const std::string& from, const TemplateFiles& files, const std::string& home) {
  std::error_code ec;
  fs::remove_all(home, ec);
  fs::create_directories(home, ec);
  for (const auto& [relative, file] : files) {
    fs::create_directories(fs::path(home + relative).parent_path(), ec);
    if (link((from + relative).c_str(), (home + relative).c_str()) != 0) return false;
  }
  return true;
}

Stores ReadStores(const std::string& home, const TemplateFiles& templateFiles) {
  Stores out;
  for (const std::string& relative : FilesUnder(home)) {
    if (!IsStoreFile(relative)) continue;
    struct stat st {};
    if (stat((home + relative).c_str(), &st) != 0) continue;
    auto kept = templateFiles.find(relative);
    out[relative] = kept != templateFiles.end() && SameFile(st, kept->second) ? kept->second.bytes
                                                                                 : FileBytes(home + relative);
  }
  return out;
}

std::string StoresDiffer(const Stores& a, const Stores& b) {
  std::string out;
  for (const auto& [name, bytes] : a) {
    auto other = b.find(name);
    if (other == b.end()) {
      out += " " + name + " (only in the first)";
    } else if (other->second != bytes) {
      out += " " + name + " (" + WhereTheyDiffer(bytes, other->second) + ")";
    }
  }
  for (const auto& [name, bytes] : b) {
    if (a.find(name) == a.end()) out += " " + name + " (only in the second)";
  }
  return out;
}

// Where the runs' homes go: a file system in memory when there is one, since
// every store write is synced and each case writes several.
std::string FastTempParent() {
  std::error_code ec;
  if (fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return fs::temp_directory_path().string();
}

// ---- What a run knows of its logons ----------------------------------------------------------

struct RunContext {
  TestSID callerSID{};
  uint32_t callerLogonUID = 0;
  std::string CallerSIDText() const {
    char text[9];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X", callerSID[0], callerSID[1], callerSID[2], callerSID[3]);
    return text;
  }
};

// ---- Arguments ---------------------------------------------------------------------------------

// One argument as the client sends it; some name the run's own logon.
struct Arg {
  enum Kind { kInt, kText, kNull, kCallerSIDText, kRaw } kind = kInt;
  int32_t value = 0;
  std::string text;
  TestBytes raw;
};

Arg I(int32_t v) { return {Arg::kInt, v, {}, {}}; }
Arg S(std::string text) { return {Arg::kText, 0, std::move(text), {}}; }
Arg Null() { return {Arg::kNull, 0, {}, {}}; }
Arg CallerSIDText() { return {Arg::kCallerSIDText, 0, {}, {}}; }
Arg Raw(TestBytes bytes) { return {Arg::kRaw, 0, {}, std::move(bytes)}; }

TestBytes BytesOf(const Arg& a, const RunContext& run) {
  switch (a.kind) {
    case Arg::kInt: return TestRequest().Int(a.value).Bytes();
    case Arg::kText: return TestRequest().String(a.text).Bytes();
    case Arg::kNull: return TestRequest().String(std::optional<std::string>()).Bytes();
    case Arg::kCallerSIDText: return TestRequest().String(run.CallerSIDText()).Bytes();
    case Arg::kRaw: return a.raw;
  }
  return {};
}

// ---- The messages ----------------------------------------------------------------------------

// One message of the sweep: its arguments as docs/protocol.md gives them,
// chosen so that the request acts on the home's entities, who sends it, and
// where it can wait besides its arguments.
struct MessageCase {
  int32_t id = 0;
  std::vector<Arg> args;
  std::vector<Caller> callers = {Caller::kAdmin};
  bool longReply = false;   // the home makes its reply longer than the server holds back and the socket takes
  bool hashes = false;      // it hands a hash to a worker
  int32_t goneCode = 0;     // with `hashes`: its answer when its user went while it hashed
  // With longReply: only the target user's own reply is long (its own
  // settings are; the administrator's are not).
  bool longForTargetOnly = false;
};

// What the home holds that a request's arguments name, found when the
// template home is made.
struct HomeFacts {
  int32_t targetIndex = -1;       // of "target" among the users
  int32_t teamIndex = -1;         // of "Team" among the groups
  uint32_t notesUID = 0;          // the long setting of Test/App
  uint32_t keyUID = 0;            // Section\Key of Test/App
  TestBytes targetBlock;          // target's block with another surname (version, size, bytes)
  TestBytes teamBlock;            // Team's block with another description
  std::string usersDocument;      // every user, one surname changed
  std::string groupsDocument;     // groups.xml, Team's description changed
  std::string appSettings;        // Test/App's settings file, one value changed
  std::string targetSettings;     // target's Test/App settings, one value changed
  std::string targetUserXML;      // target as a USER element, its surname changed
  std::string targetUserData;     // target's USERDATA, one value changed
};

std::vector<MessageCase> BuildMessageCases(const HomeFacts& f) {
  // Who sends each: an administrator always; a plain user or a guest where
  // the rule of the message is "not guest"; the target user itself where it
  // acts on the caller's own record.
  const std::vector<Caller> notGuest = {Caller::kAdmin, Caller::kPlain, Caller::kGuest};
  const std::vector<Caller> adminAndPlain = {Caller::kAdmin, Caller::kPlain};
  const std::vector<Caller> adminAndTarget = {Caller::kAdmin, Caller::kTarget};
  const std::vector<Caller> ownNotGuest = {Caller::kAdmin, Caller::kTarget, Caller::kGuest};
  const std::string branch = "<Branch><Leaf>1</Leaf></Branch>";
  const std::string serverList =
      "<SERVERLIST><SERVER><HOST>h2</HOST><PORT>82</PORT><ACTIVE>1</ACTIVE><TAGS>tag</TAGS></SERVER></SERVERLIST>";
  std::vector<MessageCase> c;
  auto add = [&](MessageCase m) { c.push_back(std::move(m)); };
  // Session administration.
  add({6004, {}});
  add({6662, {CallerSIDText()}});
  // The document of the logons is short: a logon's environment is no longer
  // than an environment's name.
  add({6677, {}, {Caller::kAdmin}});
  add({6678, {}});
  add({6679, {S("D1")}});
  add({6680, {S("0:0")}});
  add({6685, {I(0)}});
  // Users and groups.
  add({6500, {}});
  add({6501, {I(f.targetIndex), I(1), I(0)}, {Caller::kAdmin}, true});
  add({6502, {I(1), I(0)}, {Caller::kAdmin}, true});
  add({6503, {S("target"), I(1), I(0)}, {Caller::kAdmin}, true});
  add({6504, {S("target")}});
  add({6505, {Raw(f.targetBlock)}});
  add({6506, {S("target")}});
  add({6507, {S("target")}, notGuest});
  add({6508, {S("target")}, notGuest});
  add({6607, {}});
  add({6608, {I(f.teamIndex), I(1), I(0)}, {Caller::kAdmin}, true});
  add({6609, {I(1), I(0)}, {Caller::kAdmin}, true});
  add({6610, {S("Team"), I(1), I(0)}, {Caller::kAdmin}, true});
  add({6611, {S("Team")}, notGuest});
  add({6612, {Raw(f.teamBlock)}, notGuest});
  add({6613, {S("Team")}, notGuest});
  add({6654, {S("target"), S("new-secret")}, {Caller::kAdmin}, false, true, 6});
  // Configuration.
  add({6614, {}});
  add({6615, {S("Test")}});
  add({6616, {S("Test"), S("Other")}});
  add({6617, {I(1), I(0), S("Test"), S("App")}, {Caller::kAdmin}, true});
  add({6618, {S("Test")}});
  add({6619, {S("Test"), S("App"), S("Section\\Key"), S("changed")}});
  add({6620, {I(static_cast<int32_t>(f.notesUID)), I(1), I(0)}, {Caller::kAdmin}, true});
  add({6621, {I(static_cast<int32_t>(f.keyUID)), S("Test"), S("App")}});
  add({6622, {S("Test"), S("App"), Null(), I(0), I(1), I(1), I(0)}, {Caller::kAdmin}, true});
  add({6623, {S("Test"), S("App")}});
  add({6624, {S("Test")}});
  // Settings files, schemas and server lists.
  add({6642, {S("Test"), S("App"), S("2")}});
  add({6643, {S("App"), S("1")}, {Caller::kAdmin}, true});
  add({6644, {}});
  add({6645, {}, {Caller::kAdmin}, true});
  add({6646, {S("Test"), S("App")}, {Caller::kAdmin}, true});
  add({6647, {S("Test"), S("App"), S(f.appSettings)}, adminAndPlain});
  add({6653, {S("App"), S("1"), S("<schema>changed</schema>")}});
  add({6656, {S("Test")}, {Caller::kAdmin}, true});
  add({6657, {S("Test"), S("a description of its own")}});
  add({6675, {S("Test"), S("App")}});
  add({6676, {S("Test"), S("App"), S(serverList)}});
  // The caller's own user.
  add({6625, {S("Colour"), S("blue")}, ownNotGuest});
  add({6626, {S("Colour")}, adminAndTarget, true});
  c.back().longForTargetOnly = true;
  add({6629, {I(15)}, adminAndTarget, true});
  c.back().longForTargetOnly = true;
  add({6630, {I(static_cast<int32_t>(GetPasswordCRC("pw"))), I(0x1234)}, adminAndTarget});
  add({6636, {CallerSIDText()}});
  add({6666, {}, adminAndTarget});
  add({6667, {S("Test")}, ownNotGuest});
  add({6668, {S("Test")}, adminAndTarget});
  add({6669, {S("Test"), S("fr")}, ownNotGuest});
  add({6670, {S("Test"), S("App"), S("Notes")}, adminAndTarget, true});
  c.back().longForTargetOnly = true;
  add({6671, {CallerSIDText()}, {Caller::kAdmin}});  // as short as an environment's name
  add({6673, {S("Test")}});
  // Directory XML.
  add({6637, {S("target"), S("Test"), S("App")}, {Caller::kAdmin}, true});
  add({6639, {S("target"), S("Test"), S("App"), S(f.targetSettings)}});
  add({6640, {S("target"), S("Other")}});
  add({6641, {S("target"), S("Test")}});
  add({6648, {}, adminAndPlain, true});
  add({6649, {S("target")}, adminAndPlain, true});
  add({6650, {S("target"), S(f.targetUserXML)}, ownNotGuest});
  add({6651, {S("target"), S(f.targetUserData)}, ownNotGuest});
  add({6652, {S("target"), S(f.targetUserXML)}, ownNotGuest});
  add({6655, {S(f.usersDocument)}});
  add({6660, {S("Test"), S("App")}, {Caller::kAdmin}, true});
  add({6661, {S("target"), S("Test"), S("App"), S("Key"), S("v")}});
  add({6664, {S("target"), S("Test"), S("App"), S("Branch"), S(branch), I(0)}, ownNotGuest});
  add({6674, {S("Test"), S("App"), S("Branch"), S(branch), I(0)}, ownNotGuest});
  add({6681, {}, {Caller::kAdmin}, true});
  add({6682, {S(f.groupsDocument)}});
  add({6686, {S("target"), S("Other")}, notGuest});
  add({6687, {S("target"), S("Test")}, notGuest});
  // Locator.
  add({6683, {S("Test"), S("App"), S("tag")}});
  add({6684, {S("Test"), S("App"), S("tag"), I(1)}});
  // Counters.
  add({6631, {I(0), I(1), I(1), S("Test")}});
  add({6632, {I(0), I(0), I(5), I(6), S("Test")}});
  add({6633, {S("Test"), I(1)}});
  add({6634, {}});
  add({6635, {S("Test")}});
  // Server information.
  add({6606, {}});
  add({6627, {}});
  add({6628, {}});
  add({6663, {}});
  add({6665, {S("<PWRULES><HISTORY>3</HISTORY></PWRULES>")}});
  return c;
}

// Every message of the table that has a handler (6003, the logon, is how
// each run's connections log on, not a case of the sweep).
std::vector<int32_t> MessagesWithHandlers() {
  std::vector<int32_t> ids;
  for (const MessageTableEntry& row : MessageTableRows()) {
    if (row.messageID != 6003) ids.push_back(row.messageID);
  }
  return ids;
}

std::vector<WaitPoint> WaitPointsOf(const MessageCase& m, Caller caller) {
  std::vector<WaitPoint> points;
  for (size_t i = 0; i < m.args.size(); ++i) points.push_back({WaitKind::kBeforeArgument, i});
  if (m.longReply && (!m.longForTargetOnly || caller == Caller::kTarget)) points.push_back({WaitKind::kLongReply});
  if (m.hashes) points.push_back({WaitKind::kWorker});
  return points;
}

// ---- The meddlers ---------------------------------------------------------------------------

enum class Via { kAdministrator, kNoLogon };  // the meddler's connection
enum class Removes { kNothing, kUser, kGroup };

// One request of a meddler as its client sends it: the header, then (once
// the header is accepted) the arguments.
struct Step {
  TestBytes header;
  TestBytes args;
};

struct Meddler {
  const char* name;
  Via via;
  bool endsCallersLogon;
  Removes removes;
  std::function<std::vector<Step>(const RunContext&)> steps;
};

Step Request(int32_t id, const TestRequest& args = TestRequest()) { return {TestRequest().Header(id).Bytes(), args.Bytes()}; }

TestBytes Whole(const Step& step) {
  TestBytes out = step.header;
  out.insert(out.end(), step.args.begin(), step.args.end());
  return out;
}

const std::vector<Meddler>& Meddlers() {
  using Steps = std::vector<Step>;
  static const std::vector<Meddler> meddlers = {
      {"DeleteUser", Via::kAdministrator, false, Removes::kUser,
       [](const RunContext&) { return Steps{Request(6506, TestRequest().String("target"))}; }},
      {"DeleteAndAddUser", Via::kAdministrator, false, Removes::kUser,
       [](const RunContext&) {
         return Steps{Request(6506, TestRequest().String("target")), Request(6504, TestRequest().String("target"))};
       }},
      {"DeleteGroup", Via::kAdministrator, false, Removes::kGroup,
       [](const RunContext&) { return Steps{Request(6613, TestRequest().String("Team"))}; }},
      {"DeleteAndAddGroup", Via::kAdministrator, false, Removes::kGroup,
       [](const RunContext&) {
         return Steps{Request(6613, TestRequest().String("Team")), Request(6611, TestRequest().String("Team"))};
       }},
      {"ReplaceDescription", Via::kAdministrator, false, Removes::kNothing,
       [](const RunContext&) { return Steps{Request(6657, TestRequest().String("Test").String("replaced"))}; }},
      {"DeleteEnvironment", Via::kAdministrator, false, Removes::kNothing,
       [](const RunContext&) { return Steps{Request(6624, TestRequest().String("Test"))}; }},
      // A second connection re-attaches to the caller's logon by its session
      // ID, for the caller's client program, and logs that client off.
      {"LogOffCaller", Via::kNoLogon, true, Removes::kNothing,
       [](const RunContext& run) {
         return Steps{{TestRequest().LogonHeader(kCallerClientID, kTokSID, SIDToken(run.callerSID)).Bytes(), {}},
                      Request(6004)};
       }},
      {"KickCaller", Via::kAdministrator, true, Removes::kNothing,
       [](const RunContext& run) {
         return Steps{Request(6680, TestRequest().String(std::to_string(run.callerLogonUID) + ":0"))};
       }},
      {"KickEveryone", Via::kAdministrator, true, Removes::kNothing,
       [](const RunContext&) { return Steps{Request(6680, TestRequest().String("0:0"))}; }},
      {"EndCallerSession", Via::kNoLogon, true, Removes::kNothing,
       [](const RunContext& run) { return Steps{Request(6662, TestRequest().String(run.CallerSIDText()))}; }},
  };
  return meddlers;
}

// ---- One run ------------------------------------------------------------------------------------

// What a run left: each connection's bytes since the case began, whether the
// request's connection was closed, and the stores.
struct Outcome {
  std::string request, administrator, noLogon;
  bool requestClosed = false;
  Stores stores;
};

bool SameOutcome(const Outcome& a, const Outcome& b) {
  return a.request == b.request && a.administrator == b.administrator && a.noLogon == b.noLogon &&
         a.requestClosed == b.requestClosed && a.stores == b.stores;
}

std::string HowTheyDiffer(const Outcome& a, const Outcome& b) {
  std::string out;
  if (a.request != b.request) out += "\n    request reply: " + WhereTheyDiffer(a.request, b.request);
  if (a.requestClosed != b.requestClosed) out += "\n    request connection closed: " + std::to_string(a.requestClosed) + " vs " + std::to_string(b.requestClosed);
  if (a.administrator != b.administrator) out += "\n    meddler reply: " + WhereTheyDiffer(a.administrator, b.administrator);
  if (a.noLogon != b.noLogon) out += "\n    meddler reply: " + WhereTheyDiffer(a.noLogon, b.noLogon);
  if (a.stores != b.stores) out += "\n    stores:" + StoresDiffer(a.stores, b.stores);
  return out.empty() ? " (the same)" : out;
}

enum class Order { kRequestThenMeddler, kMeddlerThenRequest, kMeddlerAlone, kInterleaved };

// The sweep of one process: the template home, made once, and the runs, each
// from a fresh copy of it.
class Sweep {
 public:
  Sweep() : console_(work_.File("console.log")) {
    SetFiberWaitObserver(ObserveWait);
    SetRandomBytesSourceForTest(SeededRandomBytes);
    SetTrustedADUserLogonEnabled(true);
    LinkServerLayers();
    MakeTemplate();
  }
  ~Sweep() {
    driver_.DisconnectAll();
    ReleaseServerData();
    ResetDirectoryState();
    SetFiberWaitObserver(nullptr);
    SetRandomBytesSourceForTest(nullptr);
    SetTrustedADUserLogonEnabled(false);
    SetNewHashCostForTest(kBcryptDefaultCost);
  }

  const HomeFacts& Facts() const { return facts_; }
  // The meddler alone from the state a case begins in, which is the same
  // for every message of the same caller (and logon environment): run once
  // for each.
  const Outcome& MeddlerAlone(const MessageCase& m, Caller caller, const Meddler& meddler, int* runs) {
    const auto key = std::make_tuple(static_cast<int>(caller), std::string(meddler.name));
    auto it = alone_.find(key);
    if (it == alone_.end()) {
      it = alone_.emplace(key, Run(m, caller, &meddler, Order::kMeddlerAlone)).first;
      ++*runs;
    }
    return it->second;
  }

  // True while every file of the template is as it was made: a store file
  // the server wrote in place would show here (and would have been missed
  // by the runs that kept the template's bytes for it).
  bool TemplateUnchanged() const {
    for (const auto& [relative, file] : templateFiles_) {
      struct stat st {};
      if (stat((template_ + relative).c_str(), &st) != 0 || !SameFile(st, file) ||
          FileBytes(template_ + relative) != file.bytes) {
        return false;
      }
    }
    return true;
  }

  // The server's last lines of the last run, for failure messages.
  std::string LastLog() const { return console_.Tail(6000); }

  // The request of `m` from `caller`, with `meddler` (null: none) in the
  // order given; at `wait` for the interleaved order. `reached` tells
  // whether the request was suspended at that wait, `meddlerWhileHashing`
  // whether the meddler was served while its hash still ran.
  Outcome Run(const MessageCase& m, Caller caller, const Meddler* meddler, Order order, const WaitPoint* wait = nullptr,
              bool* reached = nullptr, bool* meddlerWhileHashing = nullptr, std::string* inStep = nullptr);

 private:
  void ResetStores(const std::string& home);
  void MakeTemplate();
  RunContext BeginRun(Caller caller);
  // Logs connection `conn` on as `account` for `clientID` with a password
  // (or, with `byName`, by a directory name alone); its SID.
  TestSID LogOn(int conn, const Account& account, int32_t clientID, bool byName = false);
  // Sends a whole request and gives its reply (after the accept word).
  std::string Call(int conn, int32_t id, const TestRequest& args = TestRequest());
  void SendSerially(int conn, const TestBytes& header, const TestBytes& args);
  void SendMeddler(const Meddler& meddler, const RunContext& run);
  bool SuspendedAt(const WaitPoint& wait);
  std::string CheckInStep();

  TempDir work_{FastTempParent()};
  ConsoleToFile console_;
  std::string template_ = work_.File("template/");
  std::string home_ = work_.File("home/");
  LoopDriver driver_;
  int request_ = -1, administrator_ = -1, noLogon_ = -1;  // the run's connections
  HomeFacts facts_;
  TemplateFiles templateFiles_;
  std::map<std::tuple<int, std::string>, Outcome> alone_;
};

void Sweep::ResetStores(const std::string& home) {
  driver_.DisconnectAll();
  ReleaseServerData();
  ResetDirectoryState();
  ResetLogonSlots();
  ResetLogonBackoff();
  ResetLUSLog();
  ResetServerLists();
  setenv("TZ", "UTC", 1);
  tzset();
  SetClockOverride(kFixedNow);
  ReseedRandomBytes();
  SetConnectionTimeOutMs(0);
  ASSERT_EQ(0, SetHomeDirectory(home.c_str()));
  SetUIDDirectory(home.c_str());
}

TestSID Sweep::LogOn(int conn, const Account& account, int32_t clientID, bool byName) {
  TestSID sid{};
  driver_[conn].received.clear();
  EXPECT_TRUE(driver_.Send(conn, TestRequest().LogonHeader(clientID, byName ? kTokADUser : kTokInternal,
                                                           CredentialToken(account.name, account.password)).Bytes()));
  EXPECT_TRUE(driver_.PassUntilIdle(conn)) << account.name;
  const std::string& r = driver_[conn].received;
  EXPECT_EQ(16u, r.size()) << account.name << " did not log on";
  EXPECT_EQ(0u, WordAt(r, 0)) << account.name << " did not log on";
  if (r.size() >= 16) std::memcpy(sid.data(), r.data() + 12, 4);
  driver_[conn].received.clear();
  return sid;
}

std::string Sweep::Call(int conn, int32_t id, const TestRequest& args) {
  driver_[conn].received.clear();
  EXPECT_TRUE(driver_.Send(conn, Whole(Request(id, args))));
  EXPECT_TRUE(driver_.PassUntilIdle(conn)) << id;
  std::string reply = driver_[conn].received;
  driver_[conn].received.clear();
  EXPECT_EQ(0u, WordAt(reply, 0)) << id << " was not accepted";
  return reply.size() >= 4 ? reply.substr(4) : std::string();
}

// The text of a reply `0 str`.
std::string TextOfReply(const std::string& reply) {
  if (WordAt(reply, 0) != 0 || reply.size() < 8) return std::string();
  const uint32_t length = WordAt(reply, 4);
  if (length == 0 || reply.size() < 8 + length) return std::string();
  return reply.substr(8, length - 1);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(std::string::npos, at) << from << " not in " << text.size() << " bytes: " << text.substr(0, 300);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TestBytes VersionedBlock(const std::vector<unsigned char>& block) {
  TestBytes out = TestRequest().Int(1).Int(static_cast<int32_t>(block.size())).Bytes();
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

// The template: a new home with cost-4 hashes for the built-in accounts,
// the plain user "plain" and the target user "target" (a long forename, a
// long setting in Test/App and its own long Colour), the group "Team" with
// a long description and two members, the environment "Test" with a long
// description and the application "App" with a long setting, a schema, a
// server list and counters.
void Sweep::MakeTemplate() {
  fs::create_directories(template_);
  ResetStores(template_);
  SetDefaultUsersHasher(CheapHasher);
  SetNewHashCostForTest(kBcryptMinCost);
  ASSERT_EQ(0, Initialise());
  ReleaseServerData();
  ResetDirectoryState();
  ASSERT_EQ(0, SetHomeDirectory(template_.c_str()));
  SetUIDDirectory(template_.c_str());
  SetClockOverride(kFixedNow);
  LoadServerData();
  const int admin = driver_.Connect();
  LogOn(admin, AccountOf(Caller::kAdmin), kCallerClientID);
  const std::string ok = Words({0});
  const std::string longText(kLongText, 'x');
  for (const char* name : {"plain", "target"}) {
    ASSERT_EQ(ok, Call(admin, 6504, TestRequest().String(name))) << name;
    ASSERT_EQ(ok, Call(admin, 6654, TestRequest().String(name).String("pw"))) << name;
  }
  ASSERT_EQ(ok, Call(admin, 6611, TestRequest().String("Team")));
  ASSERT_EQ(ok, Call(admin, 6615, TestRequest().String("Test")));
  ASSERT_EQ(ok, Call(admin, 6616, TestRequest().String("Test").String("App")));
  ASSERT_EQ(ok, Call(admin, 6657, TestRequest().String("Test").String("described " + longText)));
  ASSERT_EQ(ok, Call(admin, 6619, TestRequest().String("Test").String("App").String("Notes").String(longText)));
  ASSERT_EQ(ok, Call(admin, 6619, TestRequest().String("Test").String("App").String("Section\\Key").String("v")));
  ASSERT_EQ(ok, Call(admin, 6653, TestRequest().String("App").String("1").String("<schema>" + longText + "</schema>")));
  ASSERT_EQ(ok, Call(admin, 6676, TestRequest().String("Test").String("App").String(
                                      "<SERVERLIST><SERVER><HOST>h1</HOST><PORT>81</PORT><ACTIVE>1</ACTIVE>"
                                      "<TAGS>tag</TAGS></SERVER></SERVERLIST>")));
  ASSERT_EQ(ok, Call(admin, 6634));
  // Guest logons allowed: a name the directory does not hold logs on as "guest".
  ASSERT_EQ(ok, Call(admin, 6619, TestRequest().String("Live").String("Torvane").String(
                                      "Authentication\\AllowGuestLogin").String("1")));
  // The plain user may configure Test/App (6647).
  ASSERT_EQ(ok, Call(admin, 6640, TestRequest().String("plain").String("Test")));
  ASSERT_EQ(ok, Call(admin, 6664, TestRequest().String("plain").String("Test").String("App").String("").String(
                                      "<AllowConfiguration>1</AllowConfiguration>").Int(0)));
  // The target user, as a caller of the own-user requests, has a long
  // setting of its own in Test/App and a long field of its product.
  for (const char* name : {"target"}) {
    ASSERT_EQ(ok, Call(admin, 6640, TestRequest().String(name).String("Test"))) << name;
    ASSERT_EQ(ok, Call(admin, 6664, TestRequest().String(name).String("Test").String("App").String("").String(
                                        "<Notes>" + longText + "</Notes>").Int(0)))
        << name;
    ASSERT_EQ(ok, Call(admin, 6661, TestRequest().String(name).String("Live").String("Torvane").String("Colour").String(
                                        longText)))
        << name;
  }
  // The target's forename and surname, and the group's description and
  // members. For the lists in pieces, the plain user and the group "Alpha"
  // (which sort before the target and its group) are long enough that a list
  // of the users or groups goes out in more than one piece, the target's in
  // a later one.
  ASSERT_EQ(ok, Call(admin, 6611, TestRequest().String("Alpha")));
  {
    UserStruct plain = *FindUser("plain");
    plain.FORENAME = std::string(70000, 'p');
    std::vector<unsigned char> block;
    ASSERT_TRUE(ConvertUserToTransportBlock(&plain, block));
    ASSERT_EQ(ok, Call(admin, 6505, TestRequest().Raw(VersionedBlock(block))));
    GroupStruct alpha = *FindGroupByName("Alpha");
    alpha.description = std::string(70000, 'a');
    ASSERT_TRUE(ConvertGroupToTransportBlock(&alpha, block));
    ASSERT_EQ(ok, Call(admin, 6612, TestRequest().Raw(VersionedBlock(block))));
  }
  {
    // The target keeps its password as the older 32-bit hash alone, the
    // kind the legacy password change (6630) serves.
    UserStruct record = *FindUser("target");
    record.FORENAME = std::string(kLongText, 'f');
    record.SURNAME = "Smith";
    record.GROUPLIST = "Team";
    record.PASSWORD = GetPasswordCRC("pw");
    record.PASSWORDV2.reset();
    std::vector<unsigned char> block;
    ASSERT_TRUE(ConvertUserToTransportBlock(&record, block));
    ASSERT_EQ(ok, Call(admin, 6505, TestRequest().Raw(VersionedBlock(block))));
    GroupStruct group = *FindGroupByName("Team");
    group.description = "team " + longText;
    group.members = {"plain", "target"};
    ASSERT_TRUE(ConvertGroupToTransportBlock(&group, block));
    ASSERT_EQ(ok, Call(admin, 6612, TestRequest().Raw(VersionedBlock(block))));
  }
  // What the requests name.
  facts_.targetIndex = FindUserIndex("target");
  facts_.teamIndex = FindGroupIndex("Team");
  {
    UserStruct record = *FindUser("target");
    record.SURNAME = "Jones";
    std::vector<unsigned char> block;
    ASSERT_TRUE(ConvertUserToTransportBlock(&record, block));
    facts_.targetBlock = VersionedBlock(block);
    GroupStruct group = *FindGroupByName("Team");
    group.description = "another description";
    ASSERT_TRUE(ConvertGroupToTransportBlock(&group, block));
    facts_.teamBlock = VersionedBlock(block);
  }
  facts_.usersDocument = Replaced(TextOfReply(Call(admin, 6648)), "<SURNAME>Smith</SURNAME>", "<SURNAME>Jones</SURNAME>");
  facts_.groupsDocument = Replaced(TextOfReply(Call(admin, 6681)), "team x", "team y");
  facts_.appSettings =
      Replaced(TextOfReply(Call(admin, 6646, TestRequest().String("Test").String("App"))), ">v<", ">w<");
  facts_.targetSettings = Replaced(
      TextOfReply(Call(admin, 6637, TestRequest().String("target").String("Test").String("App"))), "xxxxxxxx", "xxxxxxxy");
  facts_.targetUserXML =
      Replaced(TextOfReply(Call(admin, 6649, TestRequest().String("target"))), "<SURNAME>Smith<", "<SURNAME>Jones<");
  {
    const std::string& user = facts_.targetUserXML;
    const size_t from = user.find("<USERDATA>");
    const size_t to = user.find("</USERDATA>");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos);
    facts_.targetUserData = Replaced(user.substr(from, to + 11 - from), "xxxxxxxx", "xxxxxxxz");
  }
  // The UIDs of Test/App's settings, as the home's own tree gives them.
  const std::string tree = Call(admin, 6622, TestRequest().String("Test").String("App").String("Notes").Int(0).Int(0).Int(1).Int(0));
  ASSERT_GE(tree.size(), 16u);
  facts_.notesUID = WordAt(tree, 12);
  const std::string keyTree =
      Call(admin, 6622, TestRequest().String("Test").String("App").String("Section\\Key").Int(0).Int(0).Int(1).Int(0));
  ASSERT_GE(keyTree.size(), 16u);
  facts_.keyUID = WordAt(keyTree, 12);
  driver_.DisconnectAll();
  ReleaseServerData();
  templateFiles_ = ReadTemplate(template_);
}

RunContext Sweep::BeginRun(Caller caller) {
  RunContext run;
  ResetStores(home_);
  EXPECT_TRUE(LinkTemplate(template_, templateFiles_, home_));
  console_.Empty();
  LoadServerData();
  request_ = driver_.Connect();
  administrator_ = driver_.Connect();
  noLogon_ = driver_.Connect();
  run.callerSID = LogOn(request_, AccountOf(caller), kCallerClientID, caller == Caller::kGuest);
  LogOn(administrator_, kMeddlerAccount, kMeddlerClientID);
  if (const ConnectionRecord* c = driver_.Record(request_)) run.callerLogonUID = c->logonUID;
  for (int i = 0; i < driver_.Count(); ++i) driver_[i].received.clear();
  return run;
}

// A request sent as a client sends it: its header, then (once accepted) its
// arguments, and its reply taken in; a header refused (for want of a logon)
// is answered without them. A connection the server closed meanwhile sends
// nothing more.
void Sweep::SendSerially(int conn, const TestBytes& header, const TestBytes& args) {
  if (!driver_.Send(conn, header)) return;
  const size_t before = driver_[conn].received.size();
  EXPECT_TRUE(driver_.PassUntil([&] { return driver_[conn].received.size() >= before + 4 || driver_.ServerIdle(conn); }))
      << driver_.State(conn);
  if (WordAt(driver_[conn].received, before) == 0 && !args.empty() && !driver_.Send(conn, args)) return;
  EXPECT_TRUE(driver_.PassUntilIdle(conn)) << driver_.State(conn) << "\n" << console_.Tail(3000);
}

void Sweep::SendMeddler(const Meddler& meddler, const RunContext& run) {
  const int conn = meddler.via == Via::kAdministrator ? administrator_ : noLogon_;
  for (const Step& step : meddler.steps(run)) SendSerially(conn, step.header, step.args);
}

bool Sweep::SuspendedAt(const WaitPoint& wait) {
  const std::optional<FiberWait> now = driver_.WaitOf(request_);
  if (!now) return false;
  const int sock = driver_[request_].server;
  switch (wait.kind) {
    case WaitKind::kBeforeArgument: {
      int unread = 0;
      return now->kind == FiberWaitKind::kSocket && !now->writing && now->fd == sock &&
             ioctl(sock, FIONREAD, &unread) == 0 && unread == 0;
    }
    case WaitKind::kLongReply:
      return now->kind == FiberWaitKind::kSocket && now->writing && now->fd == sock;
    case WaitKind::kWorker:
      return now->kind == FiberWaitKind::kWorker;
  }
  return false;
}

// Each connection still open answers a 6628 with 0 and 10 and nothing else.
std::string Sweep::CheckInStep() {
  std::string out;
  for (int i = 0; i < driver_.Count(); ++i) {
    LoopDriver::Connection& c = driver_[i];
    if (c.closed || driver_.Record(i) == nullptr) continue;
    c.received.clear();
    if (!driver_.Send(i, Whole(Request(6628))) || !driver_.PassUntilIdle(i) || c.received != Words({0, 10})) {
      out += " connection " + std::to_string(i) + " answered 6628 with " + std::to_string(c.received.size()) +
             " bytes (" + WhereTheyDiffer(c.received, Words({0, 10})) + ")";
    }
  }
  return out;
}

Outcome Sweep::Run(const MessageCase& m, Caller caller, const Meddler* meddler, Order order, const WaitPoint* wait,
                   bool* reached, bool* meddlerWhileHashing, std::string* inStep) {
  Outcome out;
  const RunContext run = BeginRun(caller);
  std::vector<TestBytes> args;
  for (const Arg& a : m.args) args.push_back(BytesOf(a, run));
  const TestBytes header = TestRequest().Header(m.id).Bytes();
  switch (order) {
    case Order::kRequestThenMeddler:
      SendSerially(request_, header, Concat(args));
      if (meddler != nullptr) SendMeddler(*meddler, run);
      break;
    case Order::kMeddlerThenRequest:
      if (meddler != nullptr) SendMeddler(*meddler, run);
      SendSerially(request_, header, Concat(args));
      break;
    case Order::kMeddlerAlone:
      if (meddler != nullptr) SendMeddler(*meddler, run);
      break;
    case Order::kInterleaved: {
      g_seenWaits.clear();
      g_watchingWaits = true;
      const size_t sent = wait->kind == WaitKind::kBeforeArgument ? wait->argument : args.size();
      TestBytes first = header;
      const TestBytes prefix = Concat(args, 0, sent);
      first.insert(first.end(), prefix.begin(), prefix.end());
      driver_[request_].paused = wait->kind == WaitKind::kLongReply;
      EXPECT_TRUE(driver_.Send(request_, first));
      EXPECT_TRUE(driver_.PassUntil([&] { return SuspendedAt(*wait) || !driver_.RequestInProgress(request_); }));
      *reached = SuspendedAt(*wait);
      if (*reached) {
        // The observer saw the request step aside there.
        const int sock = driver_[request_].server;
        auto last = std::find_if(g_seenWaits.rbegin(), g_seenWaits.rend(),
                                 [&](const SeenWait& w) { return w.socket == sock; });
        EXPECT_TRUE(last != g_seenWaits.rend() &&
                    (wait->kind == WaitKind::kWorker ? last->kind == FiberWaitKind::kWorker
                                                     : last->kind == FiberWaitKind::kSocket &&
                                                           last->writing == (wait->kind == WaitKind::kLongReply)))
            << "the observer did not see the request wait " << Describe(*wait);
        SendMeddler(*meddler, run);
        if (meddlerWhileHashing != nullptr) *meddlerWhileHashing = SuspendedAt(*wait);
      }
      g_watchingWaits = false;
      driver_[request_].paused = false;
      if (sent < args.size()) {
        EXPECT_TRUE(driver_.Send(request_, Concat(args, sent)));
      }
      EXPECT_TRUE(driver_.PassUntilIdle(request_)) << "the request did not end: " << driver_.State(request_);
      break;
    }
  }
  out.request = driver_[request_].received;
  out.administrator = driver_[administrator_].received;
  out.noLogon = driver_[noLogon_].received;
  out.requestClosed = driver_[request_].closed || driver_.Record(request_) == nullptr;
  out.stores = ReadStores(home_, templateFiles_);
  if (inStep != nullptr) *inStep = CheckInStep();
  return out;
}

// ---- The oracle -------------------------------------------------------------------------------

// True when `x` is the request's refusal after the meddler ended its logon:
// what went out before it is the start of the request's reply in the serial
// order request-then-meddler, then 27 and the flags, then the close; the
// meddler's reply and the stores are those of the meddler alone (or, after a
// long reply that was already made, those of request then meddler).
bool IsRefusal(const Outcome& x, const Outcome& requestFirst, const Outcome& alone, const WaitPoint& wait) {
  const std::string refusal = Words({27, GetAuthenticationFlags()});
  if (!x.requestClosed || x.request.size() < refusal.size()) return false;
  const size_t before = x.request.size() - refusal.size();
  if (x.request.compare(before, refusal.size(), refusal) != 0) return false;
  if (requestFirst.request.compare(0, before, x.request, 0, before) != 0) return false;
  if (x.administrator != alone.administrator || x.noLogon != alone.noLogon) return false;
  return x.stores == alone.stores || (wait.kind == WaitKind::kLongReply && x.stores == requestFirst.stores);
}

// True when the request found its user gone after its hash (deleted, or
// deleted and added again with another UID) and answered so, changing
// nothing: the stores and the meddler's reply are those of the meddler alone.
bool IsTargetGone(const Outcome& x, const Outcome& alone, const MessageCase& m, const Meddler& meddler,
                  const WaitPoint& wait) {
  return wait.kind == WaitKind::kWorker && meddler.removes == Removes::kUser && !x.requestClosed &&
         x.request == Words({0, static_cast<uint32_t>(m.goneCode)}) && x.administrator == alone.administrator &&
         x.noLogon == alone.noLogon && x.stores == alone.stores;
}

// ---- The sweep of one message ----------------------------------------------------------------

Sweep* g_sweep = nullptr;
std::vector<MessageCase>* g_cases = nullptr;

// What the messages of this process ran, in all.
struct Tally {
  int messages = 0;
  int cases = 0;
  double seconds = 0;
};
Tally g_tally;

// The sweep and its table of messages, made once for each suite that runs.
class SweepSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_sweep = new Sweep;
    g_cases = new std::vector<MessageCase>(BuildMessageCases(g_sweep->Facts()));
  }
  static void TearDownTestSuite() {
    if (g_tally.messages > 1) {
      std::printf("[ interleaving ] in all: %d messages, %d cases (message, caller, wait point, meddler), %.1f s\n",
                  g_tally.messages, g_tally.cases, g_tally.seconds);
    }
    g_tally = Tally{};
    delete g_cases;
    g_cases = nullptr;
    delete g_sweep;
    g_sweep = nullptr;
  }
  static const MessageCase* CaseOf(int32_t id) {
    for (const MessageCase& m : *g_cases) {
      if (m.id == id) return &m;
    }
    return nullptr;
  }
};

class Interleaving : public SweepSuite, public ::testing::WithParamInterface<int32_t> {};

class InterleavingHome : public SweepSuite {};

// The oracle rests on this: from the same fresh home, the same requests in
// the same order give the same bytes, replies and stores alike (the clock is
// fixed, the random bytes seeded: session IDs, a salt, new UIDs).
TEST_F(InterleavingHome, TheSameRequestsInTheSameOrderGiveTheSameBytes) {
  for (int32_t id : {6654, 6656, 6648}) {
    const MessageCase* m = CaseOf(id);
    ASSERT_NE(nullptr, m);
    for (const Meddler& meddler : Meddlers()) {
      if (std::string(meddler.name) != "DeleteAndAddUser" && std::string(meddler.name) != "KickEveryone") continue;
      const Outcome first = g_sweep->Run(*m, Caller::kAdmin, &meddler, Order::kRequestThenMeddler);
      const Outcome second = g_sweep->Run(*m, Caller::kAdmin, &meddler, Order::kRequestThenMeddler);
      EXPECT_GT(first.request.size(), 4u) << id;
      EXPECT_FALSE(first.stores.empty()) << id;
      EXPECT_TRUE(SameOutcome(first, second)) << id << " then " << meddler.name << HowTheyDiffer(first, second);
    }
  }
}

// Each case of the table names a message that has a handler (and is no logon).
TEST_F(InterleavingHome, EveryCaseIsOfAMessageWithAHandler) {
  for (const MessageCase& m : *g_cases) {
    EXPECT_NE(nullptr, FindMessageEntry(m.id)) << m.id;
    EXPECT_NE(6003, m.id);
  }
}

TEST_P(Interleaving, EveryWaitWithEveryMeddlerIsASerialOrderOrARefusal) {
  const int32_t id = GetParam();
  const MessageCase* m = CaseOf(id);
  ASSERT_NE(nullptr, m) << "message " << id << " has a handler but no arguments in the sweep";
  const auto start = Clock::now();
  int cases = 0, serialRuns = 0, retried = 0;
  if (WaitPointsOf(*m, Caller::kTarget).empty()) {
    std::printf("[ interleaving ] %d: no wait point (no argument, a short reply)\n", id);
    return;
  }
  for (Caller caller : m->callers) {
    for (const Meddler& meddler : Meddlers()) {
      // A costlier hash when the meddler was not served while it ran.
      for (int cost : {6, 9, 12}) {
        SetNewHashCostForTest(cost);
        // The serial orders, each run the first time a case asks for it.
        std::optional<Outcome> requestThenMeddler, meddlerThenRequest;
        auto requestFirst = [&]() -> const Outcome& {
          if (!requestThenMeddler) {
            requestThenMeddler = g_sweep->Run(*m, caller, &meddler, Order::kRequestThenMeddler);
            ++serialRuns;
          }
          return *requestThenMeddler;
        };
        auto meddlerFirst = [&]() -> const Outcome& {
          if (!meddlerThenRequest) {
            meddlerThenRequest = g_sweep->Run(*m, caller, &meddler, Order::kMeddlerThenRequest);
            ++serialRuns;
          }
          return *meddlerThenRequest;
        };
        auto alone = [&]() -> const Outcome& { return g_sweep->MeddlerAlone(*m, caller, meddler, &serialRuns); };
        bool again = false;
        for (const WaitPoint& wait : WaitPointsOf(*m, caller)) {
          if (cost != 6 && wait.kind != WaitKind::kWorker) continue;  // only the hash is tried again
          const std::string what = std::to_string(id) + " from " + CallerName(caller) + ", " + Describe(wait) +
                                   ", meddler " + meddler.name;
          bool reached = false, whileHashing = true;
          std::string inStep;
          const Outcome x = g_sweep->Run(*m, caller, &meddler, Order::kInterleaved, &wait, &reached, &whileHashing, &inStep);
          const std::string log = g_sweep->LastLog();
          if (reached && wait.kind == WaitKind::kWorker && !whileHashing) {
            again = true;  // the hash ended first: the case says nothing
            ++retried;
            continue;
          }
          ++cases;
          if (!reached) {
            ADD_FAILURE() << what << ": the request was not suspended there\n" << log;
            continue;
          }
          EXPECT_EQ("", inStep) << what << ": out of step\n" << log;
          // The meddler went first when the request still waited for its
          // arguments; after its reply or its hash was under way the request
          // is likelier to have gone first. Either order is asked for in turn.
          const bool beforeArguments = wait.kind == WaitKind::kBeforeArgument;
          bool accepted = meddler.endsCallersLogon && IsRefusal(x, requestFirst(), alone(), wait);
          accepted = accepted || (wait.kind == WaitKind::kWorker && IsTargetGone(x, alone(), *m, meddler, wait));
          accepted = accepted || SameOutcome(x, beforeArguments ? meddlerFirst() : requestFirst());
          accepted = accepted || SameOutcome(x, beforeArguments ? requestFirst() : meddlerFirst());
          EXPECT_TRUE(accepted) << what << ": no serial order gives this outcome"
                                << "\n  against request then meddler:" << HowTheyDiffer(x, requestFirst())
                                << "\n  against meddler then request:" << HowTheyDiffer(x, meddlerFirst())
                                << "\n  against the meddler alone:" << HowTheyDiffer(x, alone()) << "\n"
                                << log;
        }
        if (!again) break;
      }
    }
  }
  EXPECT_TRUE(g_sweep->TemplateUnchanged()) << "a store file was written in place, not replaced";
  SetNewHashCostForTest(kBcryptMinCost);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("[ interleaving ] %d: %d cases (message, caller, wait point, meddler), %d serial runs, %d hashes tried "
              "again, %.2f s\n",
              id, cases, serialRuns, retried, seconds);
  ++g_tally.messages;
  g_tally.cases += cases;
  g_tally.seconds += seconds;
}

INSTANTIATE_TEST_SUITE_P(Messages, Interleaving, ::testing::ValuesIn(MessagesWithHandlers()),
                         [](const ::testing::TestParamInfo<int32_t>& p) { return "M" + std::to_string(p.param); });

}  // namespace
