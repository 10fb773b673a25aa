// Kernel-side copies of file ranges, with a read/write fallback, and the
// whole-buffer write beside them.
// Platform layer: calls the system only.
#include "platform/file_range_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

// The read/write loop, for file systems (or kernels) without copy_file_range.
bool CopyByReading(int fromFd, uint64_t offset, uint64_t length, int toFd) {
  std::vector<char> buffer(64 * 1024);
  while (length > 0) {
    const size_t want = length < buffer.size() ? static_cast<size_t>(length) : buffer.size();
    const ssize_t n = ::pread(fromFd, buffer.data(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    if (!WriteAllToFd(toFd, buffer.data(), static_cast<size_t>(n))) return false;
    offset += static_cast<uint64_t>(n);
    length -= static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

int OpenFileForCopy(const std::string& path, uint64_t* size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int err = S_ISREG(st.st_mode) ? errno : ENOTSUP;
    ::close(fd);
    errno = err;
    return -1;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

void CloseFileForCopy(int fd) {
  if (fd >= 0) ::close(fd);
}

bool CopyFileRange(int fromFd, uint64_t offset, uint64_t length, int toFd) {
  off_t from = static_cast<off_t>(offset);
  while (length > 0) {
    const ssize_t n = ::copy_file_range(fromFd, &from, toFd, nullptr, static_cast<size_t>(length), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
      return CopyByReading(fromFd, static_cast<uint64_t>(from), length, toFd);
    }
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    length -= static_cast<uint64_t>(n);
  }
  return true;
}

bool WriteAllToFd(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}
