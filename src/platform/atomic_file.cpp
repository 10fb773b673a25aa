// Atomic whole-file replacement: temporary file, fsync, rename, directory
// fsync. Platform layer: POSIX files only.
#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

long g_failAfter = -1;

// The stream over the temporary file counts what it writes so the test seam
// can make it fail like a full disk.
struct CookieState {
  int fd;
  long written;
  long failAfter;
};

ssize_t CookieWrite(void* c, const char* buf, size_t size) {
  auto* st = static_cast<CookieState*>(c);
  size_t done = 0;
  while (done < size) {
    size_t piece = size - done;
    if (st->failAfter >= 0) {
      if (st->written >= st->failAfter) {
        errno = ENOSPC;
        return static_cast<ssize_t>(done);  // short: the stream marks the error
      }
      long room = st->failAfter - st->written;
      if (static_cast<long>(piece) > room) piece = static_cast<size_t>(room);
    }
    ssize_t n = ::write(st->fd, buf + done, piece);
    if (n < 0) {
      if (errno == EINTR) continue;
      return static_cast<ssize_t>(done);
    }
    done += static_cast<size_t>(n);
    st->written += n;
  }
  return static_cast<ssize_t>(done);
}

int CookieClose(void* c) {
  auto* st = static_cast<CookieState*>(c);
  int rc = ::close(st->fd);
  delete st;
  return rc;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

mode_t ModeForNewFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return st.st_mode & 07777;
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

void SyncDirectory(const std::string& path) {
  int dfd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

// Flushes and closes the stream, optionally syncing first. 0 or -1 (errno).
int FinishStream(AtomicFile& af, bool sync) {
  int rc = 0;
  int err = 0;
  if (af.writeFailed || ferror(af.fp)) {
    rc = -1;
    err = af.savedErrno ? af.savedErrno : EIO;
  }
  if (fflush(af.fp) != 0 && rc == 0) {
    rc = -1;
    err = errno;
  }
  if (rc == 0 && sync && fsync(af.fd) != 0) {
    rc = -1;
    err = errno;
  }
  if (fclose(af.fp) != 0 && rc == 0) {
    rc = -1;
    err = errno;
  }
  af.fp = nullptr;
  af.fd = -1;
  if (rc != 0) errno = err;
  return rc;
}

}  // namespace

AtomicFile::~AtomicFile() { AtomicFileAbort(*this); }

int AtomicFileBegin(AtomicFile& af, const std::string& path) {
  AtomicFileAbort(af);
  af.path = path;
  af.writeFailed = false;
  af.savedErrno = 0;
  std::string tmpl = path + ".tmpXXXXXX";
  std::string buf(tmpl);
  int fd = ::mkostemp(buf.data(), O_CLOEXEC);
  if (fd < 0) return ATOMIC_OPEN_FAILED;
  ::fchmod(fd, ModeForNewFile(path));
  auto* st = new CookieState{fd, 0, g_failAfter};
  cookie_io_functions_t io{};
  io.write = CookieWrite;
  io.close = CookieClose;
  FILE* fp = fopencookie(st, "w", io);
  if (fp == nullptr) {
    int err = errno;
    ::close(fd);
    ::unlink(buf.c_str());
    delete st;
    errno = err;
    return ATOMIC_OPEN_FAILED;
  }
  af.fp = fp;
  af.fd = fd;
  af.tempPath = buf;
  return ATOMIC_OK;
}

namespace {
// Finishes the stream; on failure drops the temporary file. ATOMIC_OK or ATOMIC_WRITE_FAILED.
int FinishOrAbort(AtomicFile& af, bool sync) {
  if (af.fp == nullptr) {
    errno = EBADF;
    return ATOMIC_WRITE_FAILED;
  }
  if (FinishStream(af, sync) != 0) {
    int err = errno;
    AtomicFileAbort(af);
    errno = err;
    return ATOMIC_WRITE_FAILED;
  }
  return ATOMIC_OK;
}
}  // namespace

int AtomicFileCommit(AtomicFile& af) {
  if (FinishOrAbort(af, true) != ATOMIC_OK) return ATOMIC_WRITE_FAILED;
  if (AtomicFileRename(af) != ATOMIC_OK) return ATOMIC_WRITE_FAILED;
  SyncDirectory(af.path);
  return ATOMIC_OK;
}

int AtomicFileCloseUnsynced(AtomicFile& af) { return FinishOrAbort(af, false); }

int AtomicFileRename(AtomicFile& af) {
  if (af.tempPath.empty()) {
    errno = EBADF;
    return ATOMIC_WRITE_FAILED;
  }
  if (::rename(af.tempPath.c_str(), af.path.c_str()) != 0) {
    int err = errno;
    ::unlink(af.tempPath.c_str());
    af.tempPath.clear();
    errno = err;
    return ATOMIC_WRITE_FAILED;
  }
  af.tempPath.clear();
  return ATOMIC_OK;
}

bool SyncFileSystemOf(const std::string& path) {
  int fd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::syncfs(fd) == 0;
  const int err = errno;
  ::close(fd);
  errno = err;
  return synced;
}

void AtomicFileAbort(AtomicFile& af) {
  int err = errno;
  if (af.fp != nullptr) {
    fclose(af.fp);
    af.fp = nullptr;
    af.fd = -1;
  }
  if (!af.tempPath.empty()) {
    ::unlink(af.tempPath.c_str());
    af.tempPath.clear();
  }
  errno = err;
}

int ReplaceFileAtomically(const std::string& path, const void* data, size_t size) {
  AtomicFile af;
  if (AtomicFileBegin(af, path) != ATOMIC_OK) return ATOMIC_OPEN_FAILED;
  if (size > 0 && fwrite(data, 1, size, af.fp) != size) {
    af.writeFailed = true;
    af.savedErrno = errno;
  }
  return AtomicFileCommit(af);
}

void SetAtomicWriteFailAfter(long bytes) { g_failAfter = bytes; }
