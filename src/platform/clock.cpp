// Wall clock and monotonic tick count, each with a test override; sleep.
// Platform layer: POSIX clocks only.
#include "platform/clock.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<bool> g_overridden{false};
std::atomic<int64_t> g_override{0};
std::atomic<bool> g_ticksOverridden{false};
std::atomic<uint32_t> g_ticksOverride{0};
}  // namespace

int64_t NowSeconds() {
  if (g_overridden.load(std::memory_order_relaxed)) return g_override.load(std::memory_order_relaxed);
  return static_cast<int64_t>(::time(nullptr));
}

uint32_t NowTime32() { return static_cast<uint32_t>(NowSeconds()); }

void SetClockOverride(int64_t seconds) {
  g_override.store(seconds, std::memory_order_relaxed);
  g_overridden.store(true, std::memory_order_relaxed);
}

void ClearClockOverride() { g_overridden.store(false, std::memory_order_relaxed); }

uint32_t GetTickCount() {
  if (g_ticksOverridden.load(std::memory_order_relaxed)) return g_ticksOverride.load(std::memory_order_relaxed);
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SetTickCountOverride(uint32_t ms) {
  g_ticksOverride.store(ms, std::memory_order_relaxed);
  g_ticksOverridden.store(true, std::memory_order_relaxed);
}

void ClearTickCountOverride() { g_ticksOverridden.store(false, std::memory_order_relaxed); }

void SleepMilliseconds(uint32_t ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}
