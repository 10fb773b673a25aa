// Time sources of the server: wall-clock seconds and a monotonic millisecond
// tick count (both settable by tests), and a sleep.
// Platform layer; everything above reads the time only through here.
#pragma once

#include <cstdint>

// Seconds since 1970 UTC; the test override when one is set.
int64_t NowSeconds();

// The current time as the 32-bit seconds the stores and the wire carry.
uint32_t NowTime32();

// Tests: fix the wall clock at `seconds` until ClearClockOverride.
void SetClockOverride(int64_t seconds);
void ClearClockOverride();

// Milliseconds from a monotonic clock, wrapping at 2^32; the test override
// when one is set.
uint32_t GetTickCount();

// Tests: fix the tick count at `ms` until ClearTickCountOverride.
void SetTickCountOverride(uint32_t ms);
void ClearTickCountOverride();

void SleepMilliseconds(uint32_t ms);
