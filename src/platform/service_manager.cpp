// The file-backed service manager: records in the registry, run files per
// service under <state root>services/, detached starts, SIGTERM stops, flock
// liveness, the in-process dispatcher and its status reports.
// Platform layer: calls platform/registry.h, platform/state_root.h,
// platform/atomic_file.h, platform/fs.h (private files and folders), POSIX
// processes, signals and flock.
#include "platform/service_manager.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "platform/state_root.h"

extern char** environ;

namespace {

constexpr char kEnvName[] = "TORVANE_SERVICE_NAME";
constexpr char kEnvLockFd[] = "TORVANE_SERVICE_LOCK_FD";

std::string RecordKey(const std::string& name) { return std::string(kServicesKey) + "\\" + name; }

std::string Folded(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

bool ScmNamesEqual(const std::string& a, const std::string& b) { return Folded(a) == Folded(b); }

std::string RunDir(const std::string& name) { return GetStateRoot() + "services/" + Folded(name) + "/"; }

int MakeRunDir(const std::string& name) {
  std::string root = GetStateRoot();
  if (!MakePrivateDirectory(root)) return errno;
  if (!MakePrivateDirectory(root + "services/")) return errno;
  if (!MakePrivateDirectory(RunDir(name))) return errno;
  return 0;
}

// True while some process holds the service's lock.
bool IsAlive(const std::string& name) {
  int fd = ::open((RunDir(name) + "lock").c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

bool RecordExists(const std::string& name) {
  uint32_t size = 0;
  int rc = RegQueryValue(RecordKey(name), "ImagePath", nullptr, nullptr, &size);
  return rc == 0 || rc == kRegMoreData;
}

bool MarkedForDelete(const std::string& name) {
  uint32_t flag = 0, size = sizeof flag;
  return RegQueryValue(RecordKey(name), "DeleteFlag", nullptr, &flag, &size) == 0 && flag != 0;
}

int ReadText(const std::string& path, std::string& out) {
  out.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return 0;
}

int WriteStatusFile(const std::string& name, const ServiceStatus& s) {
  char line[160];
  int n = std::snprintf(line, sizeof line, "%u %u %u %u %u %u %d\n", s.currentState, s.controlsAccepted,
                        s.win32ExitCode, s.serviceSpecificExitCode, s.checkPoint, s.waitHint, s.pid);
  return ReplaceFileAtomically(RunDir(name) + "status", line, static_cast<size_t>(n)) == ATOMIC_OK ? 0 : errno;
}

void ReadStatusFile(const std::string& name, ServiceStatus& s) {
  s = ServiceStatus();
  std::string text;
  if (ReadText(RunDir(name) + "status", text) != 0) return;
  ServiceStatus r;
  if (std::sscanf(text.c_str(), "%u %u %u %u %u %u %d", &r.currentState, &r.controlsAccepted, &r.win32ExitCode,
                  &r.serviceSpecificExitCode, &r.checkPoint, &r.waitHint, &r.pid) == 7 &&
      r.currentState >= SERVICE_STOPPED && r.currentState <= SERVICE_RUNNING)
    s = r;
}

// Removes the record and the run files (the report and output logs stay).
int DeleteRecordNow(const std::string& name) {
  int rc = RegDeleteTree(kServicesKey, name);
  ::unlink((RunDir(name) + "status").c_str());
  ::unlink((RunDir(name) + "args").c_str());
  return rc;
}

void AppendReport(const std::string& name, const ServiceStatus& s) {
  std::string line = FormatStatusReport(s) + "\n";
  int fd = OpenPrivateFile(ScmReportLogPath(name), O_WRONLY | O_CREAT | O_APPEND);
  if (fd < 0) return;
  ssize_t w = ::write(fd, line.data(), line.size());
  (void)w;
  ::close(fd);
}

// ---- The dispatcher of a service process ----

struct Dispatcher {
  std::mutex lock;
  bool active = false;
  std::string name;
  ServiceHandlerFunction handler = nullptr;
  ServiceStatus status;
  bool stopKept = false;  // a STOP that came during START_PENDING
  pthread_t thread{};
};
Dispatcher g_dispatcher;

void DeliverStop() {
  ServiceHandlerFunction handler = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_dispatcher.lock);
    if (g_dispatcher.status.currentState == SERVICE_START_PENDING || g_dispatcher.handler == nullptr) {
      g_dispatcher.stopKept = true;
      return;
    }
    if (g_dispatcher.status.currentState == SERVICE_STOPPED) return;
    handler = g_dispatcher.handler;
  }
  handler(SERVICE_CONTROL_STOP);
}

}  // namespace

const char* ServiceStateName(uint32_t state) {
  switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    default: return "UNKNOWN";
  }
}

std::string FormatStatusReport(const ServiceStatus& s) {
  char line[200];
  std::snprintf(line, sizeof line, "%s %u exit=%u service_exit=%u checkpoint=%u controls=%u",
                ServiceStateName(s.currentState), s.waitHint, s.win32ExitCode, s.serviceSpecificExitCode,
                s.checkPoint, s.controlsAccepted);
  return line;
}

std::string ScmReportLogPath(const std::string& name) { return RunDir(name) + "reports.log"; }
std::string ScmOutputPath(const std::string& name) { return RunDir(name) + "output.log"; }

int ScmOpenManager() {
  std::string root = GetStateRoot();
  if (!MakePrivateDirectory(root)) return errno;
  if (!MakePrivateDirectory(root + "services/")) return errno;
  if (::access(root.c_str(), W_OK) != 0) return errno;
  return RegCreateKey(kServicesKey);
}

int ScmCreateService(const ServiceConfig& c) {
  if (!IsValidRegName(c.name)) return kRegBadName;
  int rc = MakeRunDir(c.name);
  if (rc != 0) return rc;
  HeldFileLock start(RunDir(c.name) + "start.lock", true);
  if (RecordExists(c.name)) return MarkedForDelete(c.name) ? kSvcMarkedForDelete : kSvcExists;
  // The event sources' key lives beside the records and is no service.
  if (ScmNamesEqual(c.name, kEventLogKeyName)) return kSvcExists;
  const std::string key = RecordKey(c.name);
  rc = RegCreateKey(key);
  if (rc == 0) rc = RegSetString(key, "DisplayName", REG_SZ, c.displayName);
  if (rc == 0) rc = RegSetDword(key, "Type", SERVICE_WIN32_OWN_PROCESS);
  if (rc == 0) rc = RegSetDword(key, "Start", SERVICE_AUTO_START);
  if (rc == 0) rc = RegSetDword(key, "ErrorControl", SERVICE_ERROR_NORMAL);
  if (rc == 0 && !c.account.empty()) rc = RegSetString(key, "ObjectName", REG_SZ, c.account);
  // The image path last: a record is complete once it is there.
  if (rc == 0) rc = RegSetString(key, "ImagePath", REG_EXPAND_SZ, c.imagePath);
  if (rc == 0) WriteStatusFile(c.name, ServiceStatus());
  return rc;
}

int ScmOpenService(const std::string& name) {
  if (!IsValidRegName(name)) return kSvcNotFound;
  return RecordExists(name) ? 0 : kSvcNotFound;
}

int ScmSetDescription(const std::string& name, const std::string& description) {
  if (ScmOpenService(name) != 0) return kSvcNotFound;
  return RegSetString(RecordKey(name), "Description", REG_SZ, description);
}

int ScmQueryStatus(const std::string& name, ServiceStatus& status) {
  status = ServiceStatus();
  if (ScmOpenService(name) != 0) return kSvcNotFound;
  HeldFileLock start(RunDir(name) + "start.lock", false);
  if (!RecordExists(name)) return kSvcNotFound;
  ReadStatusFile(name, status);
  if (!IsAlive(name)) {
    if (status.currentState != SERVICE_STOPPED) {
      // Ended without reporting its stop (killed, crashed).
      status.currentState = SERVICE_STOPPED;
      status.controlsAccepted = 0;
      status.win32ExitCode = kSvcDied;
      status.checkPoint = 0;
      status.waitHint = 0;
      status.pid = 0;
      WriteStatusFile(name, status);
    }
    if (MarkedForDelete(name)) DeleteRecordNow(name);
  }
  return 0;
}

int ScmStartService(const std::string& name, const std::vector<std::string>& args) {
  if (ScmOpenService(name) != 0) return kSvcNotFound;
  std::string image;
  {
    char buf[4096];
    uint32_t size = sizeof buf - 1;
    if (RegQueryValue(RecordKey(name), "ImagePath", nullptr, buf, &size) != 0) return kSvcNotFound;
    buf[size] = '\0';
    image = buf;
  }
  int rc = MakeRunDir(name);
  if (rc != 0) return rc;
  HeldFileLock start(RunDir(name) + "start.lock", true);
  if (!RecordExists(name)) return kSvcNotFound;
  if (MarkedForDelete(name)) return kSvcMarkedForDelete;
  if (IsAlive(name)) return kSvcAlreadyRunning;

  std::string argBytes;
  for (const std::string& a : args) argBytes.append(a.c_str(), a.size() + 1);
  if (ReplaceFileAtomically(RunDir(name) + "args", argBytes.data(), argBytes.size()) != ATOMIC_OK) return errno;
  ServiceStatus pending;
  pending.currentState = SERVICE_START_PENDING;
  pending.waitHint = 2000;
  if ((rc = WriteStatusFile(name, pending)) != 0) return rc;

  // Everything the new process needs, made before the fork.
  const std::string root = GetStateRoot();
  const std::string lockPath = RunDir(name) + "lock";
  const std::string outPath = ScmOutputPath(name);
  std::vector<std::string> envText;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, kEnvName, sizeof kEnvName - 1) == 0 || std::strncmp(*e, kEnvLockFd, sizeof kEnvLockFd - 1) == 0 ||
        std::strncmp(*e, "TORVANE_STATE_ROOT=", 19) == 0)
      continue;
    envText.push_back(*e);
  }
  envText.push_back(std::string(kEnvName) + "=" + name);
  envText.push_back("TORVANE_STATE_ROOT=" + root);
  int lockFd = OpenPrivateFile(lockPath, O_RDWR | O_CREAT);
  if (lockFd < 0) return errno;
  envText.push_back(std::string(kEnvLockFd) + "=" + std::to_string(lockFd));
  std::vector<char*> envp;
  for (std::string& s : envText) envp.push_back(s.data());
  envp.push_back(nullptr);
  char* argv[] = {image.data(), nullptr};

  struct rlimit files;
  const int maxFd = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536 ? static_cast<int>(files.rlim_cur) : 65536;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    int err = errno;
    ::close(lockFd);
    return err;
  }
  pid_t first = ::fork();
  if (first < 0) {
    int err = errno;
    ::close(lockFd);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    return err;
  }
  if (first == 0) {
    ::setsid();
    pid_t second = ::fork();
    if (second != 0) ::_exit(second < 0 ? 1 : 0);
    int err = 0;
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGPIPE, SIGUSR2}) ::signal(sig, SIG_DFL);
    if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) err = errno;
    if (err == 0) {
      int flags = ::fcntl(lockFd, F_GETFD);
      ::fcntl(lockFd, F_SETFD, flags & ~FD_CLOEXEC);
    }
    // Nothing else of the starter's reaches the service: its sockets and files stay its own.
    for (int fd = 3; fd < maxFd; ++fd) {
      if (fd != lockFd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    if (err == 0 && ::chdir(root.c_str()) != 0) err = errno;
    int in = ::open("/dev/null", O_RDONLY);
    // Between fork and exec: only the system call, no allocation.
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, static_cast<mode_t>(kPrivateFileMode));
    if (err == 0 && (in < 0 || out < 0)) err = errno;
    if (err == 0) {
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::execve(image.c_str(), argv, envp.data());
      err = errno;
    }
    ssize_t w = ::write(pipeFds[1], &err, sizeof err);
    (void)w;
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  ::close(lockFd);
  int status = 0;
  while (::waitpid(first, &status, 0) < 0 && errno == EINTR) {
  }
  int childErr = 0;
  ssize_t got;
  while ((got = ::read(pipeFds[0], &childErr, sizeof childErr)) < 0 && errno == EINTR) {
  }
  ::close(pipeFds[0]);
  if (got == static_cast<ssize_t>(sizeof childErr)) {
    ServiceStatus failed;
    failed.win32ExitCode = static_cast<uint32_t>(childErr);
    WriteStatusFile(name, failed);
    return childErr;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    WriteStatusFile(name, ServiceStatus());
    return ECHILD;
  }
  return 0;
}

int ScmControlService(const std::string& name, uint32_t control, ServiceStatus& status) {
  int rc = ScmQueryStatus(name, status);
  if (rc != 0) return rc;
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE) return kSvcBadControl;
  if (status.currentState == SERVICE_STOPPED) return kSvcNotRunning;
  if (control == SERVICE_CONTROL_INTERROGATE) return 0;
  if ((status.controlsAccepted & SERVICE_ACCEPT_STOP) == 0 || status.pid <= 0) return kSvcCannotAccept;
  // The pid is the live holder of the lock: it reported it and is alive.
  if (::kill(status.pid, SIGTERM) != 0) return errno;
  return 0;
}

int ScmDeleteService(const std::string& name) {
  if (ScmOpenService(name) != 0) return kSvcNotFound;
  HeldFileLock start(RunDir(name) + "start.lock", true);
  if (!RecordExists(name)) return kSvcNotFound;
  if (MarkedForDelete(name)) return kSvcMarkedForDelete;
  if (IsAlive(name)) return RegSetDword(RecordKey(name), "DeleteFlag", 1);
  return DeleteRecordNow(name);
}

bool StartServiceCtrlDispatcher(const std::string& name, ServiceMainFunction serviceMain) {
  const char* envName = std::getenv(kEnvName);
  const char* envFd = std::getenv(kEnvLockFd);
  if (envName == nullptr || envFd == nullptr || *envFd == '\0') {
    errno = kSvcNoDispatcher;
    return false;
  }
  char* end = nullptr;
  long fd = std::strtol(envFd, &end, 10);
  struct stat held, atPath;
  const std::string recordName = envName;
  // The descriptor must be the lock of that record, held by this process.
  if (*end != '\0' || fd < 0 || fd > 65535 || ::fstat(static_cast<int>(fd), &held) != 0 ||
      ::stat((RunDir(recordName) + "lock").c_str(), &atPath) != 0 || held.st_ino != atPath.st_ino ||
      held.st_dev != atPath.st_dev || ::flock(static_cast<int>(fd), LOCK_EX | LOCK_NB) != 0) {
    errno = kSvcNoDispatcher;
    return false;
  }
  ::unsetenv(kEnvName);
  ::unsetenv(kEnvLockFd);
  ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);  // the server's own children do not hold it
  (void)name;  // the manager's record names the service

  std::vector<std::string> args{recordName};
  std::string argBytes;
  ReadText(RunDir(recordName) + "args", argBytes);
  for (size_t at = 0; at < argBytes.size();) {
    size_t nul = argBytes.find('\0', at);
    if (nul == std::string::npos) nul = argBytes.size();
    args.push_back(argBytes.substr(at, nul - at));
    at = nul + 1;
  }
  {
    std::lock_guard<std::mutex> hold(g_dispatcher.lock);
    g_dispatcher.active = true;
    g_dispatcher.name = recordName;
    g_dispatcher.status = ServiceStatus();
    g_dispatcher.status.currentState = SERVICE_START_PENDING;
    g_dispatcher.thread = ::pthread_self();
  }

  // Controls come here as signals; the service's thread inherits the mask.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR2);
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);

  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pthread_t self = ::pthread_self();
  std::thread service([&] {
    serviceMain(static_cast<int>(args.size()), argv.data());
    ::pthread_kill(self, SIGUSR2);
  });
  for (;;) {
    int sig = 0;
    if (::sigwait(&set, &sig) != 0) continue;
    if (sig == SIGUSR2) break;
    if (sig == SIGTERM) DeliverStop();
  }
  service.join();
  return true;
}

int RegisterServiceCtrlHandler(const std::string& name, ServiceHandlerFunction handler) {
  std::lock_guard<std::mutex> hold(g_dispatcher.lock);
  if (!g_dispatcher.active || handler == nullptr) {
    errno = kSvcNoDispatcher;
    return 0;
  }
  (void)name;
  g_dispatcher.handler = handler;
  return 1;
}

bool SetServiceStatus(int handle, const ServiceStatus& status) {
  std::string name;
  bool redeliverStop = false;
  ServiceStatus s = status;
  {
    std::lock_guard<std::mutex> hold(g_dispatcher.lock);
    if (handle != 1 || !g_dispatcher.active) {
      errno = EBADF;
      return false;
    }
    name = g_dispatcher.name;
    s.pid = static_cast<int32_t>(::getpid());
    g_dispatcher.status = s;
    if (s.currentState == SERVICE_RUNNING && g_dispatcher.stopKept) {
      g_dispatcher.stopKept = false;
      redeliverStop = true;
    }
    if (s.currentState == SERVICE_STOPPED) g_dispatcher.stopKept = false;
  }
  int rc = WriteStatusFile(name, s);
  AppendReport(name, s);
  if (s.currentState == SERVICE_STOPPED && MarkedForDelete(name)) DeleteRecordNow(name);
  // The kept stop reaches the handler on the dispatcher's thread.
  if (redeliverStop) ::pthread_kill(g_dispatcher.thread, SIGTERM);
  if (rc != 0) {
    errno = rc;
    return false;
  }
  return true;
}
