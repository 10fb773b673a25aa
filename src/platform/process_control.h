// Process-wide services of the server host: an exclusive lock on a file held
// for the process's lifetime and the open-file limit (the stop signals are
// console control's). Platform layer: POSIX flock, rlimit.
#pragma once

#include <cstdint>
#include <string>

// Opens (creating it when missing) `path` and takes an exclusive lock that no
// other process can share, without waiting. The descriptor holds the lock
// until it is closed or the process ends. The descriptor, -1 with errno
// EWOULDBLOCK when another process holds it, or -1 with another errno.
int LockFileExclusive(const std::string& path);
bool IsLockHeldElsewhere(int err);

// Raises the soft open-file limit to at least `wanted` (up to the hard
// limit). The soft limit in force afterwards.
uint64_t RaiseOpenFileLimit(uint64_t wanted);
