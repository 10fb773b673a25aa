// POSIX implementation of the lock file and the open-file limit.
// Platform layer: flock, rlimit and platform/fs.h (private files).
#include "platform/process_control.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/fs.h"

int LockFileExclusive(const std::string& path) {
  int fd = OpenPrivateFile(path, O_RDWR | O_CREAT);
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
