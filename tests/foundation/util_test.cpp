// String, text-validity and whole-file helpers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "platform/atomic_file.h"
#include "support/temp_dir.h"

namespace {

TEST(Strings, TrimCopyAndUpperCase) {
  struct TrimCase {
    const char* in;
    const char* out;
    size_t offset;  // where the result points into the input
  } trims[] = {
      {" \tab c\t ", "ab c", 2},
      {"   ", "", 3},
      {"", "", 0},
      {"x", "x", 0},
  };
  for (const TrimCase& c : trims) {
    std::string buf = c.in;
    char* r = TrimString(buf.data());
    EXPECT_STREQ(r, c.out) << '"' << c.in << '"';
    EXPECT_EQ(static_cast<size_t>(r - buf.data()), c.offset) << '"' << c.in << '"';
    EXPECT_EQ(TrimBlanks(c.in), c.out);
  }
  EXPECT_EQ(TrimString(nullptr), nullptr);

  struct CopyCase {
    const char* src;
    size_t size;
    const char* out;
    bool logged;
  } copies[] = {
      {"abcdefghij", 8, "abcdefg", true},
      {"abcdefg", 8, "abcdefg", false},
      {"", 8, "", false},
      {"abcdefgh", 8, "abcdefg", true},
  };
  for (const CopyCase& c : copies) {
    char dest[8];
    memset(dest, 'z', sizeof dest);
    testing::internal::CaptureStderr();
    EXPECT_EQ(SafeStrCopy(dest, c.src, c.size), dest);
    std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(dest, c.out);
    EXPECT_EQ(!logged.empty(), c.logged) << c.src;
  }

  std::string up = "aZ_z{1";
  UpperCaseString(up);
  EXPECT_EQ(up, "AZ_Z{1");
  EXPECT_EQ(UpperCaseString(static_cast<char*>(nullptr)), nullptr);
}

TEST(Strings, NumericText) {
  EXPECT_EQ(IsNumericString(""), 1);
  EXPECT_EQ(IsNumericString("12.5"), 1);
  EXPECT_EQ(IsNumericString("-3e2"), 1);
  EXPECT_EQ(IsNumericString("12a"), 0);
  EXPECT_EQ(IsNumericString(nullptr), 0);
}

TEST(Strings, CaseFoldOrderIsAsciiUnsigned) {
  EXPECT_EQ(CompareNoCase("abc", "ABC"), 0);
  EXPECT_LT(CompareNoCase("a_b", "aab"), 0);   // '_' sorts before the letters
  EXPECT_GT(CompareNoCase("Z", "_"), 0);       // 'Z' folds to 'z', above '_'
  EXPECT_LT(CompareNoCase("ab", "abc"), 0);
  EXPECT_GT(CompareNoCase("\xC3\xA9", "z"), 0);  // bytes above 0x7F compare unsigned
  EXPECT_FALSE(EqualsNoCase("\xC3\xA9", "\xC3\x89"));  // no folding beyond ASCII
  EXPECT_EQ(CompareStringValues("Live", "lIVE"), 0);
}

// The comparison by words gives the order of the byte-by-byte rule for texts
// that differ anywhere in or past their first eight bytes, at every byte the
// folding treats apart ('@' 'A' 'Z' '[' '`' 'a' 'z' '{', and bytes from 0x80).
TEST(Strings, CaseFoldOrderHoldsWithinAndAcrossWords) {
  auto byteRule = [](const std::string& a, const std::string& b) {
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
      const int ca = fold(static_cast<unsigned char>(a[i])), cb = fold(static_cast<unsigned char>(b[i]));
      if (ca != cb) return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  };
  const unsigned char edges[] = {0x00, '@', 'A', 'M', 'Z', '[', '`', 'a', 'm', 'z', '{', 0x7F, 0x80, 0xC1, 0xDA, 0xFF};
  const std::string base = "benchuser0123456789";
  for (size_t at : {0u, 3u, 7u, 8u, 9u, 12u, 15u, 16u, 18u}) {
    for (unsigned char x : edges) {
      for (unsigned char y : edges) {
        std::string a = base, b = base;
        a[at] = static_cast<char>(x);
        b[at] = static_cast<char>(y);
        EXPECT_EQ(byteRule(a, b), CompareNoCase(a, b)) << at << " " << int(x) << " " << int(y);
        // The same difference with the case of every letter before it flipped.
        std::string upper = a;
        for (size_t i = 0; i < at; ++i) upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
        EXPECT_EQ(byteRule(upper, b), CompareNoCase(upper, b)) << at << " " << int(x) << " " << int(y);
        EXPECT_EQ(byteRule(a.substr(0, at + 1), b), CompareNoCase(a.substr(0, at + 1), b));
      }
    }
  }
}

TEST(TextValidity, XmlTextAndNames) {
  struct Case {
    std::string text;
    bool ok;
  } cases[] = {
      {"plain", true},
      {"tab\tlf\ncr\r", true},
      {std::string("nul\0x", 5), false},
      {"\x01", false},
      {"caf\xC3\xA9", true},
      {"\xE2\x82\xAC", true},
      {"\xF0\x9F\x98\x80", true},
      {"\xC3", false},             // cut sequence
      {"\xC0\xAF", false},         // overlong
      {"\xED\xA0\x80", false},     // surrogate
      {"\xEF\xBF\xBE", false},     // U+FFFE
      {"\xEF\xBF\xBF", false},     // U+FFFF
      {"\xF4\x90\x80\x80", false}, // beyond U+10FFFF
      {"\xFF", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsValidXmlText(c.text), c.ok) << c.text;

  EXPECT_TRUE(IsAsciiXmlName("Live"));
  EXPECT_TRUE(IsAsciiXmlName("_a-1.b"));
  EXPECT_FALSE(IsAsciiXmlName(""));
  EXPECT_FALSE(IsAsciiXmlName("1a"));
  EXPECT_FALSE(IsAsciiXmlName("a b"));
  EXPECT_FALSE(IsAsciiXmlName("a:b"));
}

TEST(Files, ReadFileToBufferCodes) {
  TempDir dir;
  WriteWholeFile(dir.File("empty"), "");
  WriteWholeFile(dir.File("data"), std::string("a\0b", 3));
  WriteWholeFile(dir.File("plain"), "x");
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  struct Case {
    std::string path;
    int code;
    std::string bytes;
  } cases[] = {
      {dir.File("empty"), FR_OK, ""},
      {dir.File("data"), FR_OK, std::string("a\0b", 3)},
      {dir.File("missing"), FR_FILE_NOT_FOUND, ""},
      {dir.File("plain/inside"), FR_FILE_NOT_FOUND, ""},  // a path through a regular file
      {dir.path, FR_CANNOT_OPEN_FILE, ""},                // a directory
      {dir.File("fifo"), FR_CANNOT_OPEN_FILE, ""},        // opened without waiting for a writer
      {dir.File(std::string(300, 'n')), FR_CANNOT_OPEN_FILE, ""},  // there or not, it cannot be opened
  };
  for (const Case& c : cases) {
    std::string out = "stale";
    EXPECT_EQ(ReadFileToBuffer(c.path, out), c.code) << c.path;
    EXPECT_EQ(out, c.bytes) << c.path;
  }
  // A file longer than the size its status gives (one that grew after it,
  // or a kernel file of size 0) is read to its end.
  std::string out;
  ASSERT_EQ(ReadFileToBuffer("/proc/version", out), FR_OK);
  EXPECT_EQ(out, ReadWholeFile("/proc/version"));
  EXPECT_GT(out.size(), 16u);
  // A failed read call: 46, logged with the path and the read's errno.
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadFileToBuffer("/proc/self/mem", out), FR_READ_FAILED);
  EXPECT_EQ(errno, EIO);
  const std::string logged = testing::internal::GetCapturedStderr();
  EXPECT_NE(logged.find("Error reading from file /proc/self/mem"), std::string::npos) << logged;
  EXPECT_EQ(out, "");
  EXPECT_EQ(FileExists(dir.File("plain/inside")), 0);
  EXPECT_EQ(FileExists(dir.File("plain")), 1);
  EXPECT_EQ(GetSizeOfFile(dir.File("data")), 3);
  EXPECT_EQ(GetSizeOfFile(""), -1);

  std::vector<unsigned char> mem{1, 2};
  EXPECT_TRUE(ReadFileIntoMemory(dir.File("empty"), mem));
  EXPECT_TRUE(mem.empty());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(ReadFileIntoMemory(dir.File("missing"), mem));
  testing::internal::GetCapturedStderr();
}

// A size the 32-bit result cannot hold is a failure, not a wrapped number;
// the whole-file read takes it from the open file (a sparse file costs no disk).
TEST(Files, SizesBeyond32Bits) {
  TempDir dir;
  std::string path = dir.File("huge");
  FILE* fp = fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  ASSERT_EQ(ftruncate(fileno(fp), (int64_t{1} << 32) + 5), 0);
  fclose(fp);
  EXPECT_EQ(GetSizeOfFile(path), -1);
  ASSERT_EQ(truncate(path.c_str(), int64_t{INT32_MAX}), 0);
  EXPECT_EQ(GetSizeOfFile(path), INT32_MAX);
}

TEST(Files, WriteMemoryToFileReplacesOrKeepsOld) {
  TempDir dir;
  std::string path = dir.File("store.xml");
  EXPECT_EQ(WriteMemoryToFile(path, "", 0), 0);
  EXPECT_EQ(ReadWholeFile(path), "");
  std::string old = "old contents";
  ASSERT_EQ(WriteMemoryToFile(path, old.data(), old.size()), static_cast<int64_t>(old.size()));

  // A write that fails part-way (as a full disk would) leaves the old file whole.
  std::string big(100000, 'n');
  SetAtomicWriteFailAfter(5000);
  testing::internal::CaptureStderr();
  EXPECT_EQ(WriteMemoryToFile(path, big.data(), big.size()), -1);
  testing::internal::GetCapturedStderr();
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(ReadWholeFile(path), old);

  // A path in a missing directory fails.
  testing::internal::CaptureStderr();
  EXPECT_EQ(WriteMemoryToFile(dir.File("no/such/dir/f"), "x", 1), -1);
  testing::internal::GetCapturedStderr();
}

TEST(Files, TempFileNamesAreNewAndEmpty) {
  TempDir dir;
  setenv("TMPDIR", dir.path.c_str(), 1);
  std::string a, b;
  ASSERT_TRUE(MakeTempFileName(a));
  ASSERT_TRUE(MakeTempFileName(b));
  unsetenv("TMPDIR");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(dir.path + "QMX", 0), 0u) << a;
  EXPECT_EQ(GetSizeOfFile(a), 0);
}

}  // namespace
