// The log's own formatting gives the bytes of vsnprintf for every format the
// log lines use, cut the same way at the buffer's end, and hands anything
// else to vsnprintf.
#include "foundation/log/log_format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

struct Both {
  std::string ours, libc;
  int oursLength = 0, libcLength = 0;
};

Both Format(size_t size, const char* format, ...) {
  Both b;
  std::string a(size, '#'), c(size, '#');
  va_list ap;
  va_start(ap, format);
  b.oursLength = FormatLogText(a.data(), size, format, ap);
  va_end(ap);
  va_start(ap, format);
  b.libcLength = vsnprintf(c.data(), size, format, ap);
  va_end(ap);
  b.ours = a;
  b.libc = c;
  return b;
}

#define EXPECT_SAME(size, ...)                                   \
  do {                                                           \
    const Both b = Format(size, __VA_ARGS__);                    \
    EXPECT_EQ(b.libc, b.ours) << #__VA_ARGS__;                   \
    EXPECT_EQ(b.libcLength, b.oursLength) << #__VA_ARGS__;       \
  } while (0)

TEST(LogFormat, TheLogsConversionsGiveTheLibrarysBytes) {
  const char* name = "administrator";
  EXPECT_SAME(64, "Got message ID:%d on socket %d - %s", 6503, 17, "Fri Dec 11 05:25:06 2026\n");
  EXPECT_SAME(64, "%d %d %d %d", 0, -1, INT_MAX, INT_MIN);
  EXPECT_SAME(64, "%u %u %u", 0u, 7u, UINT_MAX);
  EXPECT_SAME(64, "%08X %08x %08X %X %x", 0xABCDu, 0xdeadbeefu, 0u, 0x1Fu, 0u);
  EXPECT_SAME(64, "%zu %llu %lu %ld", size_t{12345}, 18446744073709551615ull, 42ul, -42l);
  EXPECT_SAME(64, ">%.*s< >%.64s< >%.3s<", 4, name, name, name);
  EXPECT_SAME(64, ">%.*s<", -1, name);
  EXPECT_SAME(64, "%5d|%-5d|%05d|%05d|%.3d|%8.3d|%-08d", 42, 42, 42, -42, 7, -7, 3);
  EXPECT_SAME(64, "%*d|%*d|%.0d|%.0u|%5.0x", 6, 9, -6, 9, 0, 0u, 0u);
  EXPECT_SAME(64, "%10s|%-10s|%c|%3c|%-3c|", "ab", "cd", 'x', 'y', 'z');
  EXPECT_SAME(64, "100%% of %s%%", "it");
  EXPECT_SAME(64, "no conversion at all");
  EXPECT_SAME(64, "");
}

TEST(LogFormat, TextsLongerThanTheBufferAreCutAsTheLibraryCutsThem) {
  EXPECT_SAME(1, "%s", "abc");
  EXPECT_SAME(4, "%s", "abcdef");
  EXPECT_SAME(8, "ab%dcd%s", 123456, "tail");
  EXPECT_SAME(8, "%08X%08X", 1u, 2u);
  EXPECT_SAME(6, "%-8s|", "x");
}

TEST(LogFormat, OtherFormatsAndNullTextsGoToTheLibrary) {
  EXPECT_SAME(64, "%+d % d %#x %hd %hhu", 5, 5, 255u, 70000, 300);
  EXPECT_SAME(64, "%f %e %g %p", 1.5, 2.5, 3.5, static_cast<void*>(nullptr));
  EXPECT_SAME(64, "%05s|%.2c", "ab", 'q');
  EXPECT_SAME(64, "a %s b", static_cast<const char*>(nullptr));
}

}  // namespace
