// The -log command of the real program over ring log files written by hand:
// the newest records, oldest of them first, with their times in the time
// zone given; a wrapped file, one not yet full, one of the other byte order;
// the count; and its refusals with their exit codes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace {

constexpr size_t kBlock = 1024;

// A word at `at` of `block`, little- or big-endian.
void Put32(std::string& block, size_t at, uint32_t v, bool bigEndian) {
  for (int i = 0; i < 4; ++i) {
    const int shift = bigEndian ? 8 * (3 - i) : 8 * i;
    block[at + i] = static_cast<char>((v >> shift) & 0xFF);
  }
}

// Block 0: version 1, creation argument 0, spare 0, slot count, next slot,
// next sequence number.
std::string Header(uint32_t slots, uint32_t nextSlot, uint32_t nextSequence, bool bigEndian = false) {
  std::string b(kBlock, '\0');
  Put32(b, 0, 1, bigEndian);
  Put32(b, 12, slots, bigEndian);
  Put32(b, 16, nextSlot, bigEndian);
  Put32(b, 20, nextSequence, bigEndian);
  return b;
}

// One record: sequence number, type 0, errno 0, time, the name left empty,
// five zero words, the message at offset 68.
std::string Record(uint32_t sequence, uint32_t time, const std::string& message, bool bigEndian = false) {
  std::string b(kBlock, '\0');
  Put32(b, 0, sequence, bigEndian);
  Put32(b, 12, time, bigEndian);
  b.replace(68, message.size(), message);
  return b;
}

// 2026-01-02 03:04:05 UTC.
constexpr uint32_t kT = 1767323045;

struct Ran {
  int exit;
  std::string out, err;
};

// The program with `args` under TZ=UTC0, to its end.
Ran RunProgram(const TempDir& tmp, const std::vector<std::string>& args) {
  const std::string outPath = tmp.File("out"), errPath = tmp.File("err");
  std::remove(errPath.c_str());
  const int exit = RunProgramToEnd(ServerBinaryPath(), args, outPath, errPath, [] { return setenv("TZ", "UTC0", 1) == 0; });
  return {exit, ReadWholeFile(outPath), ReadWholeFile(errPath)};
}

TEST(LogCommand, PrintsTheNewestRecordsOldestFirst) {
  // Four slots, wrapped: slot 1 holds the newest (4), slots 2 and 3 the
  // older two (2 and 3); the next record goes to slot 2.
  const std::string wrapped = Header(4, 2, 5) + Record(4, kT + 3, "fourth") + Record(2, kT + 1, "second") +
                              Record(3, kT + 2, "third");
  // 512 slots, two written so far: the file ends after slot 2.
  const std::string young = Header(512, 3, 3) + Record(1, kT, "first") + Record(2, kT + 60, "second");
  // The other byte order throughout.
  const std::string swapped =
      Header(512, 2, 2, true) + Record(1, kT, std::string(960, 'x').substr(0, 955), true);
  const struct {
    const char* what;
    std::string file;
    std::vector<std::string> more;  // words after the file
    std::string out;
  } cases[] = {
      {"wrapped, all", wrapped, {},
       "Fri Jan  2 03:04:06 2026   second\nFri Jan  2 03:04:07 2026   third\nFri Jan  2 03:04:08 2026   fourth\n"},
      {"wrapped, newest 2", wrapped, {"2"}, "Fri Jan  2 03:04:07 2026   third\nFri Jan  2 03:04:08 2026   fourth\n"},
      {"not yet full", young, {}, "Fri Jan  2 03:04:05 2026   first\nFri Jan  2 03:05:05 2026   second\n"},
      {"other byte order", swapped, {"1"},
       ("Fri Jan  2 03:04:05 2026   " + std::string(955, 'x')).substr(0, 990) + "\n"},
      {"a header alone", Header(512, 1, 1), {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    const std::string path = tmp.File("torvane.32000.lg");
    WriteWholeFile(path, c.file);
    std::vector<std::string> args = {"-log", path};
    args.insert(args.end(), c.more.begin(), c.more.end());
    Ran r = RunProgram(tmp, args);
    EXPECT_EQ(0, r.exit) << r.err;
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(c.file, ReadWholeFile(path)) << "the reader writes nothing";
  }
}

TEST(LogCommand, RefusesWhatItCannotRead) {
  TempDir tmp;
  WriteWholeFile(tmp.File("short"), std::string(100, '\0'));
  WriteWholeFile(tmp.File("text"), std::string(2048, 'a'));
  WriteWholeFile(tmp.File("good"), Header(512, 1, 1));
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"-log"}, "Usage: -log <ring log file> [count]\n"},
      {{"-log", tmp.File("good"), "1", "2"}, "Usage: -log <ring log file> [count]\n"},
      {{"-log", tmp.File("missing")}, "Cannot read ring log file " + tmp.File("missing") + ": No such file or directory\n"},
      {{"/LOG", tmp.File("short")},
       "Cannot read ring log file " + tmp.File("short") + ": it has no sound ring log header\n"},
      {{"-log", tmp.File("text")}, "Cannot read ring log file " + tmp.File("text") + ": it has no sound ring log header\n"},
      {{"-log", tmp.File("good"), "0"}, "-log: the count must be a number from 1, not 0\n"},
      {{"-log", tmp.File("good"), "5x"}, "-log: the count must be a number from 1, not 5x\n"},
  };
  for (const auto& c : cases) {
    Ran r = RunProgram(tmp, c.args);
    EXPECT_EQ(1, r.exit) << c.err;
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ("", r.out);
  }
}

}  // namespace
