// The block file kept open and mapped behind the ring log, and the raw
// standard-error writes of the console copy.
// Platform layer: open, fstat, mmap, pread, pwrite and write only.
#include "platform/log_sinks.h"

#include <cerrno>
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

void MapBlockFile(BlockFile& f, uint64_t length) {
  if (f.fd < 0 || length == 0 || f.map != nullptr) return;
  if (length > static_cast<uint64_t>(SIZE_MAX)) return;
  // Pages past the end are reserved but never touched: only bytes inside the
  // known size are written through the mapping.
  void* at = mmap(nullptr, static_cast<size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED, f.fd, 0);
  if (at == MAP_FAILED) return;
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
    std::memcpy(out, f.map + offset, length);
    return true;
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
    std::memcpy(f.map + offset, bytes, length);
    return true;
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
