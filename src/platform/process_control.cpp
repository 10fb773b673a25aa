// POSIX implementation of the stop signals, the lock file and the open-file
// limit. Platform layer: signals, flock and rlimit only.
#include "platform/process_control.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {
volatile StopSignalHandler g_handler = nullptr;

extern "C" void OnStopSignal(int) {
  int saved = errno;
  StopSignalHandler h = g_handler;
  if (h != nullptr) h();
  errno = saved;
}
}  // namespace

int InstallStopSignals(StopSignalHandler handler) {
  g_handler = handler;
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGINT, &sa, nullptr) != 0) return -1;
  if (sigaction(SIGTERM, &sa, nullptr) != 0) return -1;
  struct sigaction ign;
  std::memset(&ign, 0, sizeof ign);
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  return sigaction(SIGPIPE, &ign, nullptr);
}

int LockFileExclusive(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

bool IsLockHeldElsewhere(int err) { return err == EWOULDBLOCK || err == EAGAIN; }

uint64_t RaiseOpenFileLimit(uint64_t wanted) {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
  if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < wanted) {
    rlim_t target = wanted;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < target) target = rl.rlim_max;
    rl.rlim_cur = target;
    setrlimit(RLIMIT_NOFILE, &rl);
    getrlimit(RLIMIT_NOFILE, &rl);
  }
  return rl.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(rl.rlim_cur);
}

std::string ProgramBaseName(const char* argv0) {
  std::string name = argv0 ? argv0 : "";
  size_t slash = name.find_last_of('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}
