// Large memory blocks offered as huge pages (see large_blocks.h).
// Platform layer: aligned_alloc, free and madvise.
#include "platform/large_blocks.h"

#include <sys/mman.h>

#include <cstdlib>

void* AllocateLargeBlock(size_t bytes) noexcept {
  if (bytes == 0) bytes = 1;
  if (bytes < kHugePageBytes) return std::malloc(bytes);
  if (bytes > static_cast<size_t>(-1) - kHugePageBytes) return nullptr;
  const size_t rounded = (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  void* block = std::aligned_alloc(kHugePageBytes, rounded);
  if (block != nullptr) madvise(block, rounded, MADV_HUGEPAGE);  // a hint: refused, the block is plain pages
  return block;
}

void FreeLargeBlock(void* block, size_t /*bytes*/) noexcept { std::free(block); }
