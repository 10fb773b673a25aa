// The block file kept open and mapped behind the ring log, and the raw
// standard-error writes of the console copy.
// Platform layer: open, fstat, mmap, pread, pwrite, write and a SIGBUS guard
// around the copies through the mapping.
#include "platform/log_sinks.h"

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

bool OpenBlockFile(const char* path, BlockFile& f) {
  CloseBlockFile(f);
  if (path == nullptr) {
    errno = EINVAL;
    return false;
  }
  int fd;
  do {
    fd = open(path, O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st{};
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return false;
  }
  f.fd = fd;
  f.size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  return true;
}

void CloseBlockFile(BlockFile& f) {
  if (f.map != nullptr) munmap(f.map, f.mapLength);
  if (f.fd >= 0) close(f.fd);
  f = BlockFile{};
}

namespace {

// ---- SIGBUS guard ------------------------------------------------------------------
//
// A file cut short by someone else between two checks leaves mapped pages
// with nothing behind them, and touching one raises SIGBUS. Every copy
// through a mapping runs under this guard: a SIGBUS inside it jumps back and
// the copy fails (the caller then falls back to pread/pwrite, which grow the
// file again); a SIGBUS anywhere else goes to the handler that was there
// before, as if the guard did not exist.

// Set only while a guarded copy runs, which never switches tasks. Volatile: memcpy is known not to read
// it, so without it the compiler may drop the store before the copy.
thread_local sigjmp_buf* volatile t_guardJump = nullptr;
struct sigaction g_previousBusAction;
bool g_guardInstalled = false;

void OnBus(int sig, siginfo_t* info, void* context) {
  if (sigjmp_buf* jump = t_guardJump) {
    t_guardJump = nullptr;
    siglongjmp(*jump, 1);
  }
  // Not ours: hand the signal to what was installed before.
  if (g_previousBusAction.sa_flags & SA_SIGINFO) {
    if (g_previousBusAction.sa_sigaction) {
      g_previousBusAction.sa_sigaction(sig, info, context);
      return;
    }
  } else if (g_previousBusAction.sa_handler != SIG_DFL && g_previousBusAction.sa_handler != SIG_IGN) {
    g_previousBusAction.sa_handler(sig);
    return;
  }
  // Default action: restore it and return, so the fault happens again and ends the process.
  signal(SIGBUS, SIG_DFL);
}

void InstallBusGuard() {
  if (g_guardInstalled) return;
  struct sigaction action {};
  action.sa_sigaction = OnBus;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGBUS, &action, &g_previousBusAction) == 0) g_guardInstalled = true;
}

// memcpy that answers false instead of dying when the mapped side has no
// file behind it. Only called on bytes inside a mapping.
// The signal mask is not saved: the handler is installed with SA_NODEFER and
// an empty sa_mask, so the mask inside it is the mask of the copy, and the
// jump back has nothing to restore (saving it would cost a system call for
// every copy, several per request).
bool GuardedCopy(void* to, const void* from, size_t length) {
  sigjmp_buf jump;
  if (sigsetjmp(jump, 0) != 0) return false;  // SIGBUS: the guard was cleared by the handler
  t_guardJump = &jump;
  std::memcpy(to, from, length);
  t_guardJump = nullptr;
  return true;
}

// After a failed guarded copy the mapping is dropped: the file is shorter
// than it was, and only pread/pwrite know its real end.
void DropMapping(BlockFile& f) {
  if (f.map != nullptr) munmap(f.map, f.mapLength);
  f.map = nullptr;
  f.mapLength = 0;
  struct stat st{};
  if (fstat(f.fd, &st) == 0) f.size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

void MapBlockFile(BlockFile& f, uint64_t length) {
  if (f.fd < 0 || length == 0 || f.map != nullptr) return;
  if (length > static_cast<uint64_t>(SIZE_MAX)) return;
  // Pages past the end are reserved but never touched: only bytes inside the
  // known size are written through the mapping.
  void* at = mmap(nullptr, static_cast<size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED, f.fd, 0);
  if (at == MAP_FAILED) return;
  InstallBusGuard();
  f.map = static_cast<unsigned char*>(at);
  f.mapLength = length;
}

namespace {

bool InsideMapping(const BlockFile& f, uint64_t offset, size_t length) {
  return f.map != nullptr && offset + length <= f.size && offset + length <= f.mapLength;
}

}  // namespace

bool ReadBlockFile(BlockFile& f, uint64_t offset, void* out, size_t length) {
  if (f.fd < 0) return false;
  if (InsideMapping(f, offset, length)) {
    if (GuardedCopy(out, f.map + offset, length)) return true;
    DropMapping(f);  // cut short under us: read what is really there
  }
  size_t done = 0;
  while (done < length) {
    ssize_t got = pread(f.fd, static_cast<unsigned char*>(out) + done, length - done,
                        static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool WriteBlockFile(BlockFile& f, uint64_t offset, const void* bytes, size_t length) {
  if (f.fd < 0) return false;
  if (InsideMapping(f, offset, length)) {
    if (GuardedCopy(f.map + offset, bytes, length)) return true;
    DropMapping(f);  // cut short under us: pwrite grows the file again
  }
  size_t done = 0;
  while (done < length) {
    ssize_t put = pwrite(f.fd, static_cast<const unsigned char*>(bytes) + done, length - done,
                         static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += static_cast<size_t>(put);
  }
  // What did reach the file counts towards its size, written whole or not.
  if (done > 0 && offset + done > f.size) f.size = offset + done;
  return done == length;
}

bool BlockFileStillInPlace(const BlockFile& f) {
  if (f.fd < 0) return false;
  struct stat st{};
  if (fstat(f.fd, &st) != 0) return false;
  return st.st_nlink > 0 && st.st_size >= 0 && static_cast<uint64_t>(st.st_size) >= f.size;
}

void WriteStandardErrorBytes(const char* bytes, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t put = write(STDERR_FILENO, bytes + done, length - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<size_t>(put);
  }
}
