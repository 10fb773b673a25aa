// Lock files held by flock: take one attempt, release with removal.
// Platform layer: POSIX files and platform/fs.h (private files).
#include "platform/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs.h"

int TryLockFile(const std::string& path, int& lockFd) {
  lockFd = -1;
  int fd = OpenPrivateFile(path, O_CREAT | O_RDWR);
  if (fd < 0) return (errno == EACCES || errno == EINTR) ? FILE_LOCK_BUSY : FILE_LOCK_FAILED;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return (err == EWOULDBLOCK || err == EINTR) ? FILE_LOCK_BUSY : FILE_LOCK_FAILED;
  }
  // The previous holder may have removed the file between our open and our
  // lock: then the lock guards nothing and a third process could create and
  // lock a new file at the path. Only the file still at the path counts.
  struct stat held, atPath;
  if (::fstat(fd, &held) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return FILE_LOCK_FAILED;
  }
  if (::stat(path.c_str(), &atPath) != 0 || atPath.st_dev != held.st_dev || atPath.st_ino != held.st_ino) {
    ::close(fd);
    return FILE_LOCK_BUSY;
  }
  lockFd = fd;
  return FILE_LOCK_TAKEN;
}

bool ReleaseFileLock(const std::string& path, int lockFd) {
  const bool removed = ::unlink(path.c_str()) == 0;
  const int err = errno;
  if (lockFd >= 0) ::close(lockFd);
  errno = err;
  return removed;
}

HeldFileLock::HeldFileLock(const std::string& path, bool exclusive) {
  fd_ = OpenPrivateFile(path, O_RDWR | O_CREAT);
  if (fd_ < 0) return;
  while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
    if (errno != EINTR) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
}

HeldFileLock::~HeldFileLock() {
  if (fd_ >= 0) ::close(fd_);
}
