// The platform's error code: on this platform the last error is errno.
// Platform layer.
#pragma once

#include <cerrno>

// The code the log call appends and callers report ("WinErr %d").
inline int GetLastError() { return errno; }
inline void SetLastError(int code) { errno = code; }
