// Large memory blocks offered to the kernel as huge pages: a block of 2 MiB
// or more is aligned to 2 MiB and marked for transparent huge pages, so that
// filling it costs one page fault per 2 MiB instead of one per 4 KiB (the
// user array of a large directory, the XML node pool). Smaller blocks are
// plain heap blocks. Also an allocator that gives std::vector such blocks.
// Platform layer: calls the C library's aligned allocation and madvise.
#pragma once

#include <cstddef>
#include <new>

constexpr size_t kHugePageBytes = size_t{2} << 20;

// A block of `bytes` (its size rounded up to a multiple of 2 MiB and aligned
// to 2 MiB when `bytes` is at least that, offered as huge pages; a hint the
// kernel may refuse), or null when there is no memory. Free it with
// FreeLargeBlock and the same `bytes`.
void* AllocateLargeBlock(size_t bytes) noexcept;
void FreeLargeBlock(void* block, size_t bytes) noexcept;

// For containers that may grow to many megabytes: their storage comes from
// AllocateLargeBlock. Throws std::bad_alloc as std::allocator does.
template <class T>
struct LargeBlockAllocator {
  using value_type = T;
  LargeBlockAllocator() noexcept = default;
  template <class U>
  LargeBlockAllocator(const LargeBlockAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    void* block = AllocateLargeBlock(n * sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* p, size_t n) noexcept { FreeLargeBlock(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const LargeBlockAllocator<U>&) const noexcept {
    return true;
  }
};
