// Random bytes from getrandom, with test seams that make the source fail or
// replace it.
// Platform layer: calls the kernel only.
#include "platform/random_bytes.h"

#include <sys/random.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

namespace {
// 0: draw from the kernel; negative: fail every draw with this status.
std::atomic<int> g_failStatus{0};
// Null: the kernel; else the test's own source.
std::atomic<RandomBytesSource> g_source{nullptr};
}  // namespace

int GetRandomBytes(void* buffer, size_t length) {
  int forced = g_failStatus.load(std::memory_order_relaxed);
  if (forced < 0) {
    errno = -forced;
    return forced;
  }
  if (length == 0) return 0;
  if (buffer == nullptr) {
    errno = EINVAL;
    return -EINVAL;
  }
  if (RandomBytesSource source = g_source.load(std::memory_order_acquire)) return source(buffer, length);

  // getrandom may return fewer bytes than asked (large requests, signals):
  // keep drawing until the whole buffer is filled.
  uint8_t* p = static_cast<uint8_t*>(buffer);
  size_t left = length;
  while (left > 0) {
    ssize_t n = getrandom(p, left, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      return err > 0 ? -err : -1;
    }
    if (n == 0) {  // not expected from the kernel; never loop forever on it
      errno = EIO;
      return -EIO;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return 0;
}

void SetRandomBytesFailStatus(int status) {
  if (status <= 0) g_failStatus.store(status, std::memory_order_relaxed);
}

void SetRandomBytesSourceForTest(RandomBytesSource source) { g_source.store(source, std::memory_order_release); }
