// The small text utilities: the tokenizer, the hex dump against hand-written
// fixtures, the integer and field-name checks, joins and file lines.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/util/text_tokens.h"
#include "foundation/util/util.h"
#include "support/temp_dir.h"

namespace {

TEST(GetNextToken, TokensAndRest) {
  struct Case {
    const char* id;
    const char* text;
    bool keepQuotes;
    std::optional<std::string> token;
    const char* restIs;  // the text the rest points at; null: rest null
  } cases[] = {
      {"blanks then word", "  abc def", false, "abc", " def"},
      {"first byte any", "+x.y-z_1 q", false, "+x.y-z_1", " q"},
      {"single punct", "=,", false, "=", ","},
      {"tabs and newlines", "\t\r\n  a", false, "a", ""},
      {"escapes", "\"a\\tb\"rest", false, "a\tb", "rest"},
      {"escapes kept quotes", "\"a\\tb\"rest", true, "\"a\tb\"", "rest"},
      {"all escapes", "\"\\b\\f\\n\\r\\t\\\\\\\"\\q\"", false, "\b\f\n\r\t\\\"q", ""},
      {"empty quoted", "\"\" x", true, "\"\"", " x"},
      {"unclosed quote", "\"abc", false, std::nullopt, nullptr},
      {"backslash at end", "\"abc\\", false, std::nullopt, nullptr},
      {"end of text", "   ", false, "", nullptr},
  };
  for (const Case& c : cases) {
    const char* rest = "untouched";
    std::optional<std::string> got = GetNextToken(c.text, &rest, c.keepQuotes);
    EXPECT_EQ(got, c.token) << c.id;
    if (!c.token) {
      EXPECT_STREQ(rest, "untouched") << c.id;
    } else if (c.restIs == nullptr) {
      EXPECT_EQ(rest, nullptr) << c.id;
    } else {
      EXPECT_STREQ(rest, c.restIs) << c.id;
    }
  }
  EXPECT_EQ(GetNextToken(nullptr, nullptr, false), std::nullopt);
}

// The token buffer holds 1023 bytes: one more is refused, plain or quoted,
// the quotes counted when they are kept.
TEST(GetNextToken, LongestToken) {
  const std::string word1023(1023, 'w'), word1024(1024, 'w');
  EXPECT_EQ(GetNextToken(word1023.c_str(), nullptr, false), word1023);
  EXPECT_EQ(GetNextToken(word1024.c_str(), nullptr, false), std::nullopt);
  const std::string quoted1023 = "\"" + word1023 + "\"", quoted1021 = "\"" + std::string(1021, 'q') + "\"";
  EXPECT_EQ(GetNextToken(quoted1023.c_str(), nullptr, false), word1023);
  EXPECT_EQ(GetNextToken(("\"" + word1024 + "\"").c_str(), nullptr, false), std::nullopt);
  EXPECT_EQ(GetNextToken(quoted1023.c_str(), nullptr, true), std::nullopt);
  EXPECT_EQ(GetNextToken(quoted1021.c_str(), nullptr, true), quoted1021);
}

std::string Dump(const void* bytes, int length, const char* title) {
  testing::internal::CaptureStdout();
  HexDump(bytes, length, title);
  return testing::internal::GetCapturedStdout();
}

TEST(HexDump, Fixtures) {
  const char* sixteen = "0123456789abcdef\x7f";
  EXPECT_EQ(Dump("", 0, "none"), "none (length: 0)\n");
  EXPECT_EQ(Dump("ABC\x01\xff", 5, "five"),
            "five (length: 5)\n"
            "000000  41 42 43 01 ff                                     ABC..\n");
  EXPECT_EQ(Dump(sixteen, 16, "sixteen"),
            "sixteen (length: 16)\n"
            "000000  30 31 32 33 34 35 36 37 - 38 39 61 62 63 64 65 66  0123456789abcdef\n");
  EXPECT_EQ(Dump(sixteen, 17, nullptr),
            " (length: 17)\n"
            "000000  30 31 32 33 34 35 36 37 - 38 39 61 62 63 64 65 66  0123456789abcdef\n"
            "000010  7f                                                 \x7f\n");
  EXPECT_EQ(Dump("\t\t\t\t\t\t\t\t\x80", 9, "nine"),
            "nine (length: 9)\n"
            "000000  09 09 09 09 09 09 09 09 - 80                       .........\n");
  EXPECT_EQ(Dump(nullptr, 3, "null"), "null (length: 3)\nBuffer passed is NULL\n");
}

TEST(TextChecks, IntegersFieldNamesBlanksQuotes) {
  struct IntCase {
    const char* text;
    int isInteger;
    int value;
  } ints[] = {
      {"0", 1, 0},         {"-42", 1, -42},     {" 17\t", 1, 0 /* trimmed: value of the raw text */},
      {"1234567890", 1, 1234567890},            {"12345678901", 0, -539222987 /* wraps */},
      {"-", 0, 0},         {"", 0, 0},          {"1a", 0, 0},
      {"2147483648", 1, INT_MIN},               {"4294967297", 1, 1},
  };
  for (const IntCase& c : ints) {
    std::string copy = c.text;
    EXPECT_EQ(IsIntegerString(copy.data()), c.isInteger) << c.text;
    if (std::string(c.text).find_first_of(" \t") == std::string::npos) {
      EXPECT_EQ(StringToInt(c.text), c.value) << c.text;
    }
  }
  EXPECT_EQ(StringToInt(" 17"), 0);
  EXPECT_EQ(StringToInt(nullptr), 0);
  EXPECT_EQ(IsIntegerString(nullptr), 0);

  for (const char* good : {"a", "Name_2", "_links", "_ANNOTATIONS", "_Failed_Entries"}) EXPECT_EQ(IsValidFieldName(good), 1) << good;
  for (const char* bad : {"", "_other", "1abc", "a-b", "a.b", "\xc3\xa9t"}) EXPECT_EQ(IsValidFieldName(bad), 0) << bad;
  EXPECT_EQ(IsValidFieldName(nullptr), 0);
  EXPECT_EQ(IsTokenChar('.') + IsTokenChar('-') + IsTokenChar('_') + IsTokenChar('Z') + IsTokenChar('9'), 5);
  EXPECT_EQ(IsTokenChar(' ') + IsTokenChar('"') + IsTokenChar(0xE9) + IsTokenChar(-1), 0);

  EXPECT_EQ(IsBlankString(" \t\r\n\v\f"), 1);
  EXPECT_EQ(IsBlankString(""), 1);
  EXPECT_EQ(IsBlankString(" x "), 0);
  EXPECT_EQ(IsBlankString(nullptr), -1);

  char quoted[] = "\"abc\"", one[] = "\"", half[] = "\"ab";
  EXPECT_STREQ(StripQuotes(quoted), "abc");
  EXPECT_EQ(StripQuotes(one), one);
  EXPECT_EQ(StripQuotes(half), half);
  EXPECT_EQ(StripQuotes(nullptr), nullptr);
}

TEST(TextCopies, CopyAndJoin) {
  EXPECT_EQ(CopyString(""), std::string());
  EXPECT_EQ(CopyString(nullptr), std::nullopt);
  char dest[8] = "abc";
  testing::internal::CaptureStderr();
  EXPECT_EQ(SafeStrJoin(dest, "defg", sizeof dest), dest);  // 3 + 4 < 8
  EXPECT_STREQ(dest, "abcdefg");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  testing::internal::CaptureStderr();
  EXPECT_EQ(SafeStrJoin(dest, "h", sizeof dest), dest);  // 7 + 1 is not below 8
  EXPECT_STREQ(dest, "abcdefg");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Tried to join abcdefg and h into a 7 size string\n");
  EXPECT_EQ(SafeStrJoin(dest, nullptr, sizeof dest), nullptr);
  EXPECT_EQ(SafeStrJoin(nullptr, "x", 4), nullptr);
}

TEST(TextComparators, SortWithQsort) {
  int32_t ints[] = {3, -7, 0, INT32_MIN, INT32_MAX};
  qsort(ints, 5, sizeof ints[0], CompareInts);
  EXPECT_EQ(ints[0], INT32_MIN);
  EXPECT_EQ(ints[4], INT32_MAX);
  uint32_t words[] = {0xFFFFFFFFu, 1, 0x80000000u};
  qsort(words, 3, sizeof words[0], CompareUInts);  // unsigned: 0x80000000 is above 1
  EXPECT_EQ(words[1], 0x80000000u);
  double ds[] = {0.5, -1e300, 0.25};
  qsort(ds, 3, sizeof ds[0], CompareDoubles);
  EXPECT_EQ(ds[0], -1e300);
  EXPECT_EQ(ds[1], 0.25);
  int32_t a = 5, b = 5;
  EXPECT_EQ(CompareInts(&a, &b), 0);
}

TEST(FileUtilities, LinesAndModificationTimes) {
  TempDir dir;
  const std::string path = dir.File("lines.txt");
  FILE* fp = fopen(path.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  fputs("one\r\ntwo-long-line\n\nlast", fp);
  fclose(fp);
  fp = fopen(path.c_str(), "rb");
  ASSERT_NE(fp, nullptr);
  char buf[8];
  std::vector<std::string> lines;
  while (ReadFileLine(fp, buf, sizeof buf) != nullptr) lines.push_back(buf);
  fclose(fp);
  // A line longer than the buffer goes on in the next call.
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two-lon", "g-line", "", "last"}));
  EXPECT_EQ(ReadFileLine(nullptr, buf, sizeof buf), nullptr);
  EXPECT_EQ(ReadFileLine(stdin, buf, 1), nullptr);

  FileStatus st;
  ASSERT_EQ(StatFile(path, st), 0);
  EXPECT_EQ(st.size, 24);
  const int64_t when = GetFileModTime(path);
  EXPECT_EQ(when, st.modTime);
  EXPECT_EQ(HasFileChanged(path, when), 0);
  EXPECT_EQ(HasFileChanged(path, when - 1), 1);
  for (const std::string& missing : {std::string(), dir.File("missing")}) {
    EXPECT_EQ(StatFile(missing, st), -1);
    EXPECT_EQ(GetFileModTime(missing), 0);
    EXPECT_EQ(HasFileChanged(missing, 5), 0);
  }
}

}  // namespace
