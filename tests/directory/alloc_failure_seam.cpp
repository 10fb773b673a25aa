// The global allocation operators of the directory test program, with the
// out-of-memory seam of support/alloc_failure.h: plain malloc and free while
// the seam is off.
#include <cstdlib>
#include <new>

#include "support/alloc_failure.h"

namespace {

long g_allowed = -1;  // allocations left before the one that fails; -1: off
bool g_failed = false;

// False when this allocation is to fail.
bool MayAllocate() {
  if (g_allowed < 0) return true;
  if (g_allowed == 0) {
    g_failed = true;
    g_allowed = -1;  // one failure: the code's own answer to it (a log line) may allocate
    return false;
  }
  --g_allowed;
  return true;
}

void* Allocate(std::size_t size) {
  if (!MayAllocate()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void FailAllocationsAfter(long allocations) {
  g_allowed = allocations;
  g_failed = false;
}

bool AllocationFailed() { return g_failed; }

void* operator new(std::size_t size) {
  void* p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) {
  void* p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
