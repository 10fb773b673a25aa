// Process-wide services of the server host: the stop signals, an exclusive
// lock on a file held for the process's lifetime, the open-file limit, and
// the program's own file name. Platform layer: POSIX signals, flock, rlimit.
#pragma once

#include <cstdint>
#include <string>

// Installs `handler` for SIGINT and SIGTERM (SA_RESTART off, so a blocking
// call returns EINTR) and ignores SIGPIPE. The handler runs in signal context:
// it may only do async-signal-safe work (an atomic store, a write to an
// eventfd). 0, or -1 with errno.
using StopSignalHandler = void (*)();
int InstallStopSignals(StopSignalHandler handler);

// Opens (creating it when missing) `path` and takes an exclusive lock that no
// other process can share, without waiting. The descriptor holds the lock
// until it is closed or the process ends. The descriptor, -1 with errno
// EWOULDBLOCK when another process holds it, or -1 with another errno.
int LockFileExclusive(const std::string& path);
bool IsLockHeldElsewhere(int err);

// Raises the soft open-file limit to at least `wanted` (up to the hard
// limit). The soft limit in force afterwards.
uint64_t RaiseOpenFileLimit(uint64_t wanted);

// The last element of a path (after the last '/'), without an ".exe"-style
// extension (anything from the last '.' of that element on).
std::string ProgramBaseName(const char* argv0);
