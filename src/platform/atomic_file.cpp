// Atomic whole-file replacement: temporary file, fsync, rename, directory
// fsync. Platform layer: POSIX files only.
#include "platform/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/report.h"

namespace {

long g_failAfter = -1;
AtomicStep g_stopStep = ATOMIC_STEP_NONE;
int g_stopCountdown = 0;

// The crash seam: stops the process dead at the chosen passing of `step`.
void PassStep(AtomicStep step) {
  if (g_stopStep == step && --g_stopCountdown == 0) ::raise(SIGKILL);
}

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

// Symbolic links followed from one name before the replacement gives up (as
// the system's own limit on a path's links).
constexpr int kMaxLinkHops = 40;

// The file a replacement of `path` must rename over: `path` itself, or, when
// its last component is a symbolic link, the file the chain of links ends at
// (which need not exist yet). The link itself is kept, so the temporary file
// goes beside the target (a rename cannot cross file systems). False (errno
// ELOOP or the readlink error) when the chain cannot be followed.
bool ResolveReplacementTarget(const std::string& path, std::string& target) {
  target = path;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    for (;;) {
      ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
      if (n < 0) return false;
      if (static_cast<size_t>(n) < link.size()) {
        link.resize(static_cast<size_t>(n));
        break;
      }
      link.resize(link.size() * 2);  // the link changed under us: read it again
    }
    if (!link.empty() && link[0] == '/') {
      target = link;
    } else {
      size_t slash = target.rfind('/');
      target = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + link;
    }
  }
  errno = ELOOP;
  return false;
}

int g_modeFailure = 0;  // test seam: errno for the next fchmods, 0 for none

// Gives the temporary file the replaced file's mode and, where the process
// may, its owner: as root a failed fchown fails the replacement; otherwise the
// process can only give files away to itself, so the file is owned by the
// process (with the old group where the process belongs to it). A new file
// is private: 0600 less the umask. False (errno set) when fchmod fails, or fchown as root.
bool CopyOwnerAndMode(int fd, const std::string& target) {
  struct stat st;
  mode_t mode;
  if (::stat(target.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
    struct stat mine;
    if (::fstat(fd, &mine) == 0 && (mine.st_uid != st.st_uid || mine.st_gid != st.st_gid)) {
      if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
        if (::geteuid() == 0) return false;
        (void)::fchown(fd, static_cast<uid_t>(-1), st.st_gid);  // the group, where the process may
      }
    }
  } else {
    // The umask as read once at start: setting it to learn it would race
    // with other threads creating files.
    mode = static_cast<mode_t>(kPrivateFileMode & ~ProcessUmask());
  }
  // After fchown, which may clear the set-ID bits.
  if (g_modeFailure != 0) {
    errno = g_modeFailure;
    return false;
  }
  return ::fchmod(fd, mode) == 0;
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
  if (rc == 0) PassStep(ATOMIC_STEP_WRITTEN);
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
  if (rc == 0 && sync) PassStep(ATOMIC_STEP_SYNCED);
  if (rc != 0) errno = err;
  return rc;
}

}  // namespace

AtomicFile::~AtomicFile() { AtomicFileAbort(*this); }

int AtomicFileBegin(AtomicFile& af, const std::string& path) {
  AtomicFileAbort(af);
  af.path.clear();
  af.writeFailed = false;
  af.savedErrno = 0;
  try {
    std::string target;
    if (!ResolveReplacementTarget(path, target)) return ATOMIC_OPEN_FAILED;
    std::string temp = target + kAtomicTempInfix + "XXXXXX";
    af.path = std::move(target);
    af.tempPath.reserve(temp.size());  // so that keeping the name below cannot fail
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return ATOMIC_OPEN_FAILED;
    af.tempPath = temp;  // from here every failure removes it (AtomicFileAbort)
    if (!CopyOwnerAndMode(fd, af.path)) {
      const int err = errno;
      ::close(fd);
      AtomicFileAbort(af);
      errno = err;
      return ATOMIC_OPEN_FAILED;
    }
    auto* st = new (std::nothrow) CookieState{fd, 0, g_failAfter};
    cookie_io_functions_t io{};
    io.write = CookieWrite;
    io.close = CookieClose;
    FILE* fp = st != nullptr ? fopencookie(st, "w", io) : nullptr;
    if (fp == nullptr) {
      const int err = st != nullptr ? errno : ENOMEM;
      ::close(fd);
      delete st;
      AtomicFileAbort(af);
      errno = err;
      return ATOMIC_OPEN_FAILED;
    }
    af.fp = fp;
    af.fd = fd;
    return ATOMIC_OK;
  } catch (const std::bad_alloc&) {
    AtomicFileAbort(af);
    errno = ENOMEM;
    return ATOMIC_OPEN_FAILED;
  }
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
  PassStep(ATOMIC_STEP_DIR_SYNCED);
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
  PassStep(ATOMIC_STEP_RENAMED);
  return ATOMIC_OK;
}

bool SyncFileSystemOf(const std::string& path) {
  int fd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::syncfs(fd) == 0;
  const int err = errno;
  ::close(fd);
  if (synced) PassStep(ATOMIC_STEP_SYNCED);
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

void SetAtomicStopAfterStep(AtomicStep step, int nth) {
  g_stopStep = nth > 0 ? step : ATOMIC_STEP_NONE;
  g_stopCountdown = nth;
}

void SetAtomicModeFailure(int err) { g_modeFailure = err; }

bool IsAtomicFileLeftoverName(const std::string& name) {
  const size_t infix = sizeof kAtomicTempInfix - 1;
  if (name.size() <= infix + kAtomicTempSuffixLength) return false;
  const size_t at = name.size() - kAtomicTempSuffixLength - infix;
  if (name.compare(at, infix, kAtomicTempInfix) != 0) return false;
  for (size_t i = at + infix; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

int RemoveAtomicFileLeftovers(const std::string& directory) {
  std::vector<std::string> names;
  if (!ListDirectory(directory, names)) {
    if (errno == ENOENT) return 0;  // no folder, nothing left over
    const int err = errno;
    PlatformReport(1, ("Unable to list " + directory + " for leftover temporary files").c_str());
    errno = err;
    return -1;
  }
  std::string dir = directory;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  int removed = 0;
  for (const std::string& name : names) {
    if (!IsAtomicFileLeftoverName(name)) continue;
    const std::string path = dir + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;  // only files the writer made
    if (::unlink(path.c_str()) == 0) {
      ++removed;
      PlatformReport(0, ("Removed leftover temporary file " + path).c_str());
    } else {
      PlatformReport(1, ("Unable to remove leftover temporary file " + path).c_str());
    }
  }
  return removed;
}
