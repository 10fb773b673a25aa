// The formatting of log texts: the printf conversions the log lines use
// (%s, %c, %d, %i, %u, %x, %X with the '0' flag, a width, a precision given
// or taken as '*', and the length modifiers l, ll and z), written straight
// into the caller's buffer with the bytes vsnprintf would give; any other
// format, or a null text for %s, is handed to vsnprintf itself. The log call
// formats several lines for every request, and stdio's machinery is most of
// that cost.
// Foundation layer: calls the C library only.
#pragma once

#include <cstdarg>
#include <cstddef>

// Formats into `buf` of `size` bytes (at least 1) as vsnprintf(buf, size,
// format, ap) does: the text cut to size - 1 bytes and ended by a NUL. The
// length the whole text would have, or -1 on a format vsnprintf refuses.
int FormatLogText(char* buf, size_t size, const char* format, va_list ap);
