// The run function and start-up of the server.
// Host layer: calls the directory and configuration stores, the loop, the
// log, UID allocation and the platform's files and process control.
#include "host/run_server.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "config/config_model.h"
#include "sessions/logon_slots.h"
#include "foundation/uid/node_registry.h"
#include "directory/user_records.h"
#include "directory/groups.h"
#include "config/param_tree.h"
#include "config/settings_api.h"
#include "config/settings_exchange.h"
#include "config/settings_files_write.h"
#include "directory/first_start.h"
#include "foundation/crypto/password_hash.h"
#include "directory/groups_file.h"
#include "directory/store_uid_sync.h"
#include "directory/user_settings.h"
#include "directory/users_files.h"
#include "foundation/log/ring_log.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/uid_alloc.h"
#include "host/registry_settings.h"
#include "host/server_loop.h"
#include "sessions/logon_settings.h"
#include "sessions/lus_log.h"
#include "sessions/request_reader.h"
#include "platform/account.h"
#include "platform/atomic_file.h"
#include "platform/fs.h"
#include "platform/process_control.h"

namespace {
std::string Home() { return GetServerSettings().homeDirectory; }

bool FileExists(const std::string& path) { return ProbePath(path) == PATH_EXISTS; }

void LoadUsers() {
  const std::string home = Home();
  ServerSettings& s = GetServerSettings();
  s.usersFilePath = home + "userlist.xml";
  if (FileExists(s.usersFilePath)) {
    if (ReadUsersV2(home.c_str()) < 0) WriteLog(0, "Error during reading of user data xml");
  } else {
    s.usersFilePath = home + "users.xml";
    if (ReadUsersXML(s.usersFilePath.c_str()) < 0) WriteLog(0, "Error during read of users.xml");
  }
}

void LoadGroups() {
  std::string path = Home() + "groups.xml";
  SetGroupsFilePath(path);
  if (ReadGroupsXML(path) < 0) WriteLog(0, "Error during read of groups.xml");
}

// A version-1 store becomes version 2 only after a complete load: a users.xml
// read in part (or not at all) would otherwise replace the users it lost.
void UpgradeUsersFormat() {
  const std::string home = Home();
  if (!FileExists(home + "userlist.xml")) {
    if (GetUsersLoadState() == USERS_LOAD_OK) {
      WriteLog(0, "Upgrading to version 2 users format");
      WriteUserList(home.c_str(), nullptr);
    } else {
      WriteLog(0, "users.xml was not read completely: not upgrading it to version 2 users format");
    }
  }
  GetServerSettings().usersFilePath = home + "users.xml";
}

void EnsureDefaultUserLanguage() {
  int fail = 0;
  std::optional<std::string> lang = GetUserSetting("default_user", "Live", "Torvane", "DefaultLanguage", &fail);
  if (lang && !lang->empty()) return;
  WriteLog(0, "Adding default language to default_user xml");
  int rc = SetUserSetting("default_user", "Live", "Torvane", "DefaultLanguage", "UseWindowsDefault");
  WriteLog(0, "Add default language to default_user xml returned %d", rc);
}

// Whether the user logs on with `password`, as an internal logon tests it:
// the legacy hash when the record has no bcrypt text, else the bcrypt check
// (at the hash's own cost).
bool AcceptsPassword(const UserStruct* user, const char* password) {
  if (!user->PASSWORDV2) return GetPasswordCRC(password) == user->PASSWORD;
  return CheckPasswordHash(password, user->PASSWORDV2->c_str()) == 0;
}

// The field of `passwords` (const or not) that holds the first password of
// `userName` (one of kFirstPasswordSources).
template <typename Passwords>
auto& FirstPasswordOf(Passwords& passwords, const char* userName) {
  return std::strcmp(userName, kPublishedPasswords[0].userName) == 0 ? passwords.administrator : passwords.zentakUser;
}

// Overwrites the first passwords' bytes (the process goes on holding its
// memory after -i's hashes are made).
void WipeFirstPasswords(FirstPasswords& passwords) {
  for (std::optional<std::string>* text : {&passwords.administrator, &passwords.zentakUser}) {
    if (*text) explicit_bzero((*text)->data(), (*text)->size());
  }
}

bool EqualsIgnoreCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a + 32) : *a;
    char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b + 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}
}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine cl;
  int i = 1;
  if (i < argc && std::strcmp(argv[i], "-l") == 0) {
    cl.localMode = 1;
    ++i;
  }
  if (i < argc && EqualsIgnoreCase(argv[i], "-i")) {
    cl.initialise = 1;
    ++i;
  }
  if (i < argc) {
    cl.portGiven = true;
    cl.portText = argv[i++];
  }
  if (i < argc) {
    cl.homeGiven = true;
    cl.home = argv[i++];
  }
  return cl;  // further words are not used
}

std::string ListenerPortText(const CommandLine& cl, const std::string& registryPort) {
  if (cl.portGiven) return cl.portText;
  // A choice: an empty "Listener Port" value (or one that is only a port
  // mode, "@...") serves the default port rather than the port 0 its number
  // would give (a port the system picks, which no client could find).
  return registryPort.empty() ? kDefaultPortText : registryPort;
}

bool ParseListenerPort(const std::string& text, int32_t* port) {
  errno = 0;
  long value = std::strtol(text.c_str(), nullptr, 10);
  *port = 0;
  if (errno == ERANGE || value < 0 || value > 65535) return false;
  *port = static_cast<int32_t>(value);
  return true;
}

void OpenLogFile(int32_t slots, int32_t port) {
  // "%storvane.%d.lg": the home's length is bounded at start, so it fits 1024.
  std::string name = Home() + "torvane." + std::to_string(port) + ".lg";
  SetLogFileName(name.c_str());
  PrepareLogFile(static_cast<uint32_t>(slots));
  SetUIDDirectory(GetServerSettings().homeDirectory);
  WriteLog(0, "**************************************************");
  WriteLog(0, "\t\tTorvaneServer version %s build %s", GetVersionText(), GetBuildText());
  WriteLog(0, "Torvane home directory is %s", GetServerSettings().homeDirectory);
  WriteLog(0, "**************************************************");
}

void LoadServerData() {
  const std::string home = Home();
  // Temporary files of a writer killed mid-write, before anything reads.
  for (const char* sub : {"", "envs/", "schemas/", "users/"}) RemoveAtomicFileLeftovers(home + sub);
  LoadUsers();
  EnsureUserLoginSections();
  LoadGroups();
  if (ReadEnvironmentsXML((home + "env.xml").c_str(), home.c_str()) != 0) WriteLog(0, "Error during read of env.xml");
  // uid.val above every loaded record before new UIDs are given, and again
  // after the groups were given theirs.
  SyncUIDFileWithStores();
  AssignUserUIDs();
  // The UIDs given to groups are written at once: permissions name groups by
  // UID, so a group must keep its UID from one start to the next.
  SaveStartUpGroupUIDs();
  SyncUIDFileWithStores();
  UpgradeUsersFormat();
  EnsureDefaultUserLanguage();
  ReadAuthenticationSettings();
}

int WarnOfPublishedPasswords() {
  int warned = 0;
  for (const PublishedPassword& p : kPublishedPasswords) {
    const UserStruct* user = FindUser(p.userName);
    if (user == nullptr || !AcceptsPassword(user, p.password)) continue;
    WriteLog(0, "Warning: the administrator %s still has its published password: change it before the server is "
                "reachable (a password-changing logon, token type 7)", p.userName);
    ++warned;
  }
  return warned;
}

uint32_t ReadConnectionTimeOut() {
  std::optional<std::string> text;
  int rc = GetSettingString("Live", "Torvane", "Comms\\TimeOut", 0, 0, text);
  if (rc != 0 || !text) return TimeOutSecondsToMs(kDefaultTimeOutSeconds);
  uint32_t seconds = static_cast<uint32_t>(ParseSettingInt(text->c_str()));
  if (seconds == 0) WriteLog(0, "Warning: Comms\\TimeOut is 0: a client that stops mid-request holds the server");
  return TimeOutSecondsToMs(seconds);
}

std::vector<std::string> InitialiseFilesPresent(const std::string& home) {
  std::vector<std::string> present;
  for (const char* name : kInitialiseFiles) {
    if (ProbePath(home + name) == PATH_EXISTS) present.emplace_back(name);
  }
  return present;
}

std::string FirstPasswordFault(const char* userName, const std::string& password) {
  if (password.empty()) return "is empty";
  if (password.size() > kMaxHashedPasswordBytes) {
    return "is longer than the " + std::to_string(kMaxHashedPasswordBytes) + " bytes a password hash takes";
  }
  // The credential token: the name, a NUL, the password and its NUL. (Its
  // room, some 2000 bytes, is more than the hash's bound: kept for a token
  // bound that may shrink.)
  const size_t most = static_cast<size_t>(kMaxTokenLength) - 2 - std::strlen(userName);
  if (password.size() > most) {
    return "is longer than the " + std::to_string(most) + " bytes a logon of " + userName + " can carry";
  }
  return std::string();
}

bool ReadFirstPasswords(FirstPasswords* out, std::string* why) {
  *out = FirstPasswords{};
  for (const FirstPasswordSource& source : kFirstPasswordSources) {
    std::optional<std::string> text = GetEnvironmentText(source.variable);
    if (!text) continue;
    const std::string fault = FirstPasswordFault(source.userName, *text);
    if (!fault.empty()) {
      *why = std::string(source.variable) + " (the first password of " + source.userName + ") " + fault;
      explicit_bzero(text->data(), text->size());
      WipeFirstPasswords(*out);
      *out = FirstPasswords{};
      return false;
    }
    FirstPasswordOf(*out, source.userName) = std::move(text);
  }
  return true;
}

int Initialise(const FirstPasswords& passwords) {
  const std::string home = Home();
  MakeSureDirectoryPathExists(home);
  MakeSureDirectoryPathExists(home + "schemas/");
  MakeSureDirectoryPathExists(home + "envs/");
  for (const FirstPasswordSource& source : kFirstPasswordSources) {
    if (FirstPasswordOf(passwords, source.userName)) {
      WriteLog(0, "The administrator %s takes its first password from %s", source.userName, source.variable);
    } else {
      WriteLog(0, "Warning: the administrator %s keeps its published password: set %s at -i to give it another, "
                  "or change it before the server is reachable", source.userName, source.variable);
    }
  }
  int rc = CreateDefaultGroups();
  if (rc == 0) rc = CreateDefaultPermission();
  if (rc == 0) rc = CreateDefaultUsersXML(home.c_str(), passwords);
  if (rc == 0) rc = CreateConfigRoot(home.c_str());
  if (rc == 0) rc = CreateDefaultEnvironment();
  std::string groupsPath = home + "groups.xml";
  std::string envFileName = home + "env.xml";
  if (rc == 0) rc = WriteGroupsXML(groupsPath);
  if (rc == 0) rc = WriteEnvironmentMasterFile(envFileName.c_str());
  return rc;
}

void ReleaseServerData() {
  ResetLogonSlots();
  FreeUsersData();
  ResetUserStore();
  ResetGroupsAndPermissions();
  ResetConfigRoot();
  FreeAllParamTreeNodes();
  ResetNodeRegistry();
}

namespace {
int RunServerSteps(int argc, const char* const* argv);
}  // namespace

int RunServer(int argc, const char* const* argv) {
  int rc = RunServerSteps(argc, argv);
  ReleaseServerData();
  return rc;
}

namespace {
int RunServerSteps(int argc, const char* const* argv) {
  int32_t slots = kMinLogSlots;
  // The umask, read here once while this is the only thread: the files made
  // later (by the read-ahead workers too) take their modes from it.
  ProcessUmask();
  WriteLog(0, "Torvane Server:Version %s Build %s", GetVersionText(), GetBuildText());
  // The service's Settings key (service mode only); the command line's words win.
  std::string registryPort;
  slots = ReadRegistrySettings(&registryPort);
  CommandLine cl = ParseCommandLine(argc, argv);
  cl.portText = ListenerPortText(cl, registryPort);

  int32_t port = 0;
  if (!ParseListenerPort(cl.portText, &port)) {
    WriteLog(0, "Listener port %s is outside 0 to 65535: not starting", cl.portText.c_str());
    return 1;
  }
  GetServerSettings().listenerPort = port;
  if (cl.homeGiven) {
    if (cl.home.size() + 1 + kHomeNameReserve >= kHomeDirectorySize || SetHomeDirectory(cl.home.c_str()) != 0) {
      WriteLog(0, "Home directory of %zu bytes is too long (at most %zu): not starting", cl.home.size(),
               kHomeDirectorySize - 2 - kHomeNameReserve);
      return 1;
    }
  }
  const std::string home = Home();

  FirstPasswords passwords;  // -i only; wiped once the hashes are made
  if (cl.initialise) {
    // -i makes a new home: over an existing one it would replace the groups
    // and settings that the users still point at.
    std::vector<std::string> present = InitialiseFilesPresent(home);
    if (!present.empty()) {
      std::string names;
      for (const std::string& name : present) names += (names.empty() ? "" : ", ") + name;
      WriteLog(0, "Home directory %s already holds %s: not initialising over it (nothing written)", home.c_str(),
               names.c_str());
      return 1;
    }
    // The first passwords are checked before anything is written, the home
    // itself included: a refused one leaves no trace.
    std::string why;
    if (!ReadFirstPasswords(&passwords, &why)) {
      WriteLog(0, "%s: not initialising (nothing written)", why.c_str());
      return 1;
    }
    if (!MakeSureDirectoryPathExists(home)) {
      const int err = errno;
      WriteLog(0, "Cannot create home directory %s: %s: not initialising", home.c_str(), std::strerror(err));
      return 1;
    }
  } else {
    FileStatus st;
    int err = 0;
    if (!GetFileStatus(home, st)) err = errno;
    else if (!st.isDirectory) err = ENOTDIR;
    if (err != 0) {
      WriteLog(0, "Cannot use home directory %s: %s: not starting (-i makes a new one)", home.c_str(),
               std::strerror(err));
      return 1;
    }
  }

  // One server per home: a second one would overwrite the first one's files.
  // A lock that cannot be taken for any reason refuses the start, so that no
  // two servers ever share a home.
  std::string lockPath = home + kHomeLockFileName;
  int lockFd = LockFileExclusive(lockPath);
  if (lockFd < 0) {
    const int err = errno;
    if (IsLockHeldElsewhere(err)) {
      WriteLog(0, "Another server is running on home directory %s (%s is locked): not starting", home.c_str(),
               lockPath.c_str());
    } else {
      WriteLog(0, "Cannot lock home directory %s (%s): %s: not starting", home.c_str(), lockPath.c_str(),
               std::strerror(err));
    }
    return 1;
  }
  // lockFd stays open, and the lock held, until the process ends.

  OpenLogFile(slots, port);
  if (cl.initialise) {
    int rc = Initialise(passwords);
    WipeFirstPasswords(passwords);
    std::printf("Initialise returned %d\n", rc);
    std::fflush(stdout);
    return rc == 0 ? 0 : 1;
  }

  uint64_t files = RaiseOpenFileLimit(kMinOpenFiles);
  if (files < kMinOpenFiles) WriteLog(0, "Warning: open-file limit is %llu, below %llu", static_cast<unsigned long long>(files),
                                      static_cast<unsigned long long>(kMinOpenFiles));

  LoadServerData();
  WarnOfPublishedPasswords();
  SetConnectionTimeOutMs(ReadConnectionTimeOut());
  InitComputerDomain();
  WriteLog(0, "computerDomain=%s", GetComputerDomainName().c_str());
  if (StopRequested()) {
    WriteLog(0, "Stop requested during start-up: not starting the listener");
    return 0;
  }
  int rc = OpenListenerSocket(port);
  if (rc != 0) return rc;
  WriteLUSLog("Server starting", 1);
  return RunServerLoop();
}
}  // namespace
