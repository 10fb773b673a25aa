// The log call and the ring log file: record layout, wrapping, the start-up
// keep-or-recreate check, lost records.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "foundation/log/ring_log.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/report.h"
#include "support/alloc_failure.h"
#include "support/pinned_time_zone.h"
#include "support/temp_dir.h"

namespace {

uint32_t U32At(const std::string& bytes, size_t off) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + off);
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The header block as the file format gives it, built by hand.
std::string HeaderBlock(uint32_t version, uint32_t arg, uint32_t slots, uint32_t next, uint32_t seq) {
  std::string b(1024, '\0');
  auto put = [&](size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  put(0, version);
  put(4, arg);
  put(12, slots);
  put(16, next);
  put(20, seq);
  return b;
}

class RingLog : public ::testing::Test {
 protected:
  TempDir dir;
  std::string name = dir.File("torvane.32000.lg");
  void SetUp() override {
    SetLogFileName(name.c_str());
    SetClockOverride(0x5F000000);
  }
  void TearDown() override {
    SetLogFileName(nullptr);
    ClearClockOverride();
  }
  std::string Slot(uint32_t n) { return ReadWholeFile(name).substr(n * 1024, 1024); }
  // Block 0 alone, without reading the rest of the file.
  std::string HeaderOnDisk() {
    std::string block(1024, '\0');
    FILE* fp = std::fopen(name.c_str(), "rb");
    if (fp == nullptr) return std::string();
    size_t got = std::fread(block.data(), 1, block.size(), fp);
    std::fclose(fp);
    block.resize(got);
    return block;
  }
  // Logs quietly: the console copy is captured and returned.
  std::string Log(int flag, const char* text) {
    testing::internal::CaptureStderr();
    WriteLog(flag, "%s", text);
    return testing::internal::GetCapturedStderr();
  }
};

TEST_F(RingLog, NewFileIsHeaderOnly) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  EXPECT_EQ(ReadWholeFile(name), HeaderBlock(1, 0, 512, 1, 1));
  EXPECT_EQ(GetLogSlotCount(), 512);
}

TEST_F(RingLog, RecordBytesMatchTheFormat) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  errno = 0;
  Log(0, "hello");
  std::string rec = Slot(1);
  std::string expected(1024, '\0');
  expected[0] = 1;  // sequence 1, type 0, errno 0
  expected[12] = 0x00;
  expected[13] = 0x00;
  expected[14] = 0x00;
  expected[15] = 0x5F;  // time 0x5F000000
  expected.replace(68, 5, "hello");
  EXPECT_EQ(rec, expected);
  EXPECT_EQ(Slot(0), HeaderBlock(1, 0, 512, 2, 2));
}

TEST_F(RingLog, LongMessageCutInFileButWholeOnConsole) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  std::string text(1000, 'x');
  std::string console = Log(0, text.c_str());
  EXPECT_EQ(console, text + "\n");
  std::string rec = Slot(1);
  EXPECT_EQ(rec.substr(68, 955), std::string(955, 'x'));
  EXPECT_EQ(rec[1023], '\0');
}

TEST_F(RingLog, ErrorFlagAppendsCodeOnConsoleOnly) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  errno = 5;
  EXPECT_EQ(Log(1, "text"), "text : 5\n");
  std::string rec = Slot(1);
  EXPECT_EQ(U32At(rec, 8), 5u);
  EXPECT_STREQ(rec.c_str() + 68, "text");
  // The errno field is filled without the flag too.
  errno = 7;
  EXPECT_EQ(Log(0, "plain"), "plain\n");
  EXPECT_EQ(U32At(Slot(2), 8), 7u);
}

// The log call is what out-of-memory paths use to say so: it must not
// allocate, or its own bad_alloc would escape where the caller answers 1.
TEST_F(RingLog, LoggingNeedsNoMemory) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  const std::string longText(200, 'm');  // past any small-string buffer
  for (long n = 0; n < 4; ++n) {
    FailAllocationsAfter(n);
    EXPECT_NO_THROW(WriteLog(1, "out of memory: %s", longText.c_str()));
    EXPECT_NO_THROW(SetLogLine(0, "%s", longText.c_str()));
    FailAllocationsAfter(-1);
  }
  EXPECT_EQ(std::string(GetLogLine()), longText);
  EXPECT_EQ(std::string(Slot(1).c_str() + 68), "out of memory: " + longText);
}

// What the platform layer reports (the start-up's removal of leftover
// temporary files) reaches the log as a record, its text never a format.
TEST_F(RingLog, PlatformReportsAreLogged) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  WriteWholeFile(dir.File("users.xml.tmpAb12Cd"), "half");
  testing::internal::CaptureStderr();
  EXPECT_EQ(1, RemoveAtomicFileLeftovers(dir.path));
  errno = 13;
  PlatformReport(1, "odd %s %n name");
  const std::string console = testing::internal::GetCapturedStderr();
  EXPECT_STREQ(Slot(1).c_str() + 68, ("Removed leftover temporary file " + dir.File("users.xml.tmpAb12Cd")).c_str());
  EXPECT_STREQ(Slot(2).c_str() + 68, "odd %s %n name");
  EXPECT_NE(std::string::npos, console.find("odd %s %n name : 13\n")) << console;
}

TEST_F(RingLog, WrapsAfterLastSlotAndNeverTouchesHeader) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  testing::internal::CaptureStderr();
  for (int i = 1; i <= 512; ++i) {
    WriteLog(0, "record %d", i);
    // Block 0 stays a sound header after every record: version 1, N slots,
    // the next slot inside 1..N-1 and one past the records written so far.
    std::string header = HeaderOnDisk();
    ASSERT_EQ(U32At(header, 0), 1u) << i;
    ASSERT_EQ(U32At(header, 12), 512u) << i;
    ASSERT_EQ(U32At(header, 16), static_cast<uint32_t>(i % 511 + 1)) << i;
    ASSERT_EQ(U32At(header, 20), static_cast<uint32_t>(i + 1)) << i;
  }
  testing::internal::GetCapturedStderr();
  std::string file = ReadWholeFile(name);
  ASSERT_EQ(file.size(), 512u * 1024u);
  // Records 1..511 filled slots 1..511; record 512 went to slot 1.
  EXPECT_STREQ(file.c_str() + 1 * 1024 + 68, "record 512");
  EXPECT_EQ(U32At(file, 1 * 1024), 512u);
  EXPECT_STREQ(file.c_str() + 511 * 1024 + 68, "record 511");
  EXPECT_EQ(file.substr(0, 1024), HeaderBlock(1, 0, 512, 2, 513));
}

TEST_F(RingLog, StartUpKeepsOnlySoundFiles) {
  struct Case {
    const char* what;
    std::string header;
    bool kept;
  } cases[] = {
      {"sound", HeaderBlock(1, 0, 512, 7, 40), true},
      {"other slot count", HeaderBlock(1, 0, 1024, 7, 40), false},
      {"version 2", HeaderBlock(2, 0, 512, 7, 40), false},
      {"next slot 0", HeaderBlock(1, 0, 512, 0, 40), false},
      {"next slot N", HeaderBlock(1, 0, 512, 512, 40), false},
  };
  for (const Case& c : cases) {
    WriteWholeFile(name, c.header + std::string(1024, 'r'));
    ASSERT_EQ(PrepareLogFile(512), 0) << c.what;
    if (c.kept)
      EXPECT_EQ(ReadWholeFile(name), c.header + std::string(1024, 'r')) << c.what;
    else
      EXPECT_EQ(ReadWholeFile(name), HeaderBlock(1, 0, 512, 1, 1)) << c.what;
  }
  // A missing file is created.
  std::remove(name.c_str());
  ASSERT_EQ(PrepareLogFile(512), 0);
  EXPECT_EQ(ReadWholeFile(name), HeaderBlock(1, 0, 512, 1, 1));
}

TEST_F(RingLog, ContinuesSequenceOfKeptFile) {
  WriteWholeFile(name, HeaderBlock(1, 0, 512, 7, 40));
  ASSERT_EQ(PrepareLogFile(512), 0);
  SetLogFileName(name.c_str());
  Log(0, "next");
  EXPECT_EQ(U32At(Slot(7), 0), 40u);
  EXPECT_EQ(Slot(0), HeaderBlock(1, 0, 512, 8, 41));
}

// The start-up check drops the header this process had read: records follow
// the file it kept, not a copy of an earlier file under the same name.
TEST_F(RingLog, StartUpCheckRereadsTheHeaderItKept) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  Log(0, "before");  // the in-memory header now says next slot 2, sequence 2
  WriteWholeFile(name, HeaderBlock(1, 0, 512, 7, 40));
  ASSERT_EQ(PrepareLogFile(512), 0);
  Log(0, "after");
  EXPECT_STREQ(Slot(7).c_str() + 68, "after");
  EXPECT_EQ(U32At(Slot(7), 0), 40u);
  EXPECT_EQ(Slot(0), HeaderBlock(1, 0, 512, 8, 41));
}

TEST_F(RingLog, UnsoundHeaderRefusesRecordsWithoutCreatingFile) {
  WriteWholeFile(name, HeaderBlock(1, 0, 512, 512, 9));
  Log(0, "lost");
  EXPECT_EQ(ReadWholeFile(name), HeaderBlock(1, 0, 512, 512, 9));
  std::remove(name.c_str());
  Log(0, "lost too");
  EXPECT_TRUE(ReadWholeFile(name).empty());
  EXPECT_NE(access(name.c_str(), F_OK), 0);
}

TEST_F(RingLog, DeletedFileLosesRecordsButConsoleGoesOn) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  Log(0, "one");
  std::remove(name.c_str());
  EXPECT_EQ(Log(0, "two"), "two\n");
  EXPECT_TRUE(ReadWholeFile(name).empty());
}

// The file is held open between records. Removed under the open descriptor,
// it takes no records that anyone can read and is not made again; the next
// flush (the server loop's, before it waits) lets it go, and a file put at the
// path later gets the records from the slot and sequence number kept in
// memory: the records written to the removed file show as a gap.
TEST_F(RingLog, FileRemovedUnderTheOpenDescriptor) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  Log(0, "one");
  std::remove(name.c_str());
  EXPECT_EQ(Log(0, "two"), "two\n");
  FlushLogOutput();
  EXPECT_EQ(Log(0, "three"), "three\n");
  EXPECT_NE(access(name.c_str(), F_OK), 0) << "a removed ring log file is not made again";

  WriteWholeFile(name, HeaderBlock(1, 0, 512, 1, 1));
  Log(0, "four");
  EXPECT_EQ(U32At(Slot(3), 0), 3u);
  EXPECT_STREQ(Slot(3).c_str() + 68, "four");
  EXPECT_EQ(Slot(0), HeaderBlock(1, 0, 512, 4, 4));
}

// Once every slot exists the records go through the file's mapping; a file
// cut short under it (a page past the new end cannot be written) is let go at
// the next flush and the record after that grows the file again.
TEST_F(RingLog, FileCutShortUnderTheMapping) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  testing::internal::CaptureStderr();
  for (int i = 1; i <= 513; ++i) WriteLog(0, "record %d", i);  // 512 and 513 into slots 1, 2
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(ReadWholeFile(name).size(), 512u * 1024u);
  EXPECT_STREQ(Slot(2).c_str() + 68, "record 513");
  ASSERT_EQ(truncate(name.c_str(), 1024), 0);
  FlushLogOutput();
  Log(0, "after the cut");
  std::string file = ReadWholeFile(name);
  ASSERT_EQ(file.size(), 4u * 1024u);
  EXPECT_STREQ(file.c_str() + 3 * 1024 + 68, "after the cut");
  EXPECT_EQ(U32At(file, 3 * 1024), 514u);
  EXPECT_EQ(file.substr(0, 1024), HeaderBlock(1, 0, 512, 4, 515));
}

// Cut short between two checks (no flush in between): a write through the
// mapping meets a page with no file behind it. The process lives on and that
// record lands by pwrite. (A record in the rest of the last page that still
// exists is lost: the kernel drops bytes past a file's end.)
TEST_F(RingLog, FileCutShortBetweenTwoChecksDoesNotKillTheProcess) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  testing::internal::CaptureStderr();
  for (int i = 1; i <= 513; ++i) WriteLog(0, "record %d", i);  // every slot exists: mapped
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(truncate(name.c_str(), 1024), 0);
  Log(0, "in the cut page");  // slot 3: the page of the new end, still mapped
  Log(0, "past the cut");     // slot 4: a page with nothing behind it
  // The jump back from the signal leaves the mask as it was: a later SIGBUS
  // is delivered, not held blocked (which would end the process).
  sigset_t mask;
  ASSERT_EQ(0, sigprocmask(SIG_BLOCK, nullptr, &mask));
  EXPECT_FALSE(sigismember(&mask, SIGBUS));
  std::string file = ReadWholeFile(name);
  ASSERT_EQ(file.size(), 5u * 1024u);
  EXPECT_STREQ(file.c_str() + 4 * 1024 + 68, "past the cut");
  Log(0, "and after");
  EXPECT_STREQ(ReadWholeFile(name).c_str() + 5 * 1024 + 68, "and after");
}

// With deferral on (the server loop), console lines are held until the flush
// before the loop waits; an error-flagged line goes out at once, after the
// lines held before it. The ring log file gets every record at once.
TEST_F(RingLog, DeferredConsoleLinesWaitForTheFlushInOrder) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  // Standard error into a file that can be read at every step.
  const std::string console = dir.File("console.txt");
  std::fflush(stderr);
  int saved = dup(2);
  int fd = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  dup2(fd, 2);
  close(fd);

  SetLogConsoleDeferred(true);
  WriteLog(0, "first");
  WriteLog(0, "second");
  const std::string held = ReadWholeFile(console);
  const std::string record = Slot(2);
  errno = 2;
  WriteLog(1, "broken");
  const std::string afterError = ReadWholeFile(console);
  WriteLog(0, "held");
  const std::string beforeFlush = ReadWholeFile(console);
  FlushLogOutput();
  const std::string flushed = ReadWholeFile(console);
  WriteLog(0, "last");
  SetLogConsoleDeferred(false);
  const std::string ended = ReadWholeFile(console);
  WriteLog(0, "direct");
  const std::string direct = ReadWholeFile(console);

  dup2(saved, 2);
  close(saved);
  EXPECT_EQ(held, "");
  EXPECT_STREQ(record.c_str() + 68, "second");
  EXPECT_EQ(afterError, "first\nsecond\nbroken : 2\n");
  EXPECT_EQ(beforeFlush, afterError);
  EXPECT_EQ(flushed, afterError + "held\n");
  EXPECT_EQ(ended, flushed + "last\n");
  EXPECT_EQ(direct, ended + "direct\n");
}

// A record the disk refuses (here: the file-size limit, as a full disk would)
// uses up its sequence number but not its slot, and leaves the header on disk
// as it was; the next record takes that slot with the following number.
TEST_F(RingLog, FailedRecordWriteKeepsSlotAndHeaderButUsesSequence) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit limit = old;
  limit.rlim_cur = 1024;  // the header fits, no record does
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  std::string console = Log(0, "lost");
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(console, "lost\n");
  EXPECT_EQ(ReadWholeFile(name), HeaderBlock(1, 0, 512, 1, 1));

  Log(0, "kept");
  EXPECT_EQ(U32At(Slot(1), 0), 2u);
  EXPECT_STREQ(Slot(1).c_str() + 68, "kept");
  EXPECT_EQ(Slot(0), HeaderBlock(1, 0, 512, 2, 3));
  EXPECT_EQ(ReadWholeFile(name).size(), 2u * 1024u);
}

TEST_F(RingLog, TeeFileGetsEveryLine) {
  std::string tee = dir.File("tee.txt");
  SetLogTeeFileName(tee.c_str());
  errno = 3;
  Log(1, "a");
  Log(0, "b");
  SetLogTeeFileName(nullptr);
  Log(0, "c");
  EXPECT_EQ(ReadWholeFile(tee), "a : 3\nb\n");
}

TEST_F(RingLog, TicksSinceLastLogAndDebugLog) {
  ASSERT_EQ(CreateLogFile(0, 512), 0);
  struct Step {
    uint32_t tick;
    const char* line;
  } steps[] = {
      {1000, "open:ticks taken since last log time is 0\n"},  // the first call
      {1250, "read:ticks taken since last log time is 250\n"},
      {5, "wrap:ticks taken since last log time is 51\n"},  // across the 2^32 wrap from 0xFFFFFFD2
  };
  SetTickCountOverride(steps[0].tick);
  testing::internal::CaptureStderr();
  EXPECT_EQ(LogTicksSinceLastLog("open"), 1000u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), steps[0].line);
  SetTickCountOverride(steps[1].tick);
  testing::internal::CaptureStderr();
  EXPECT_EQ(LogTicksSinceLastLog("read"), 1250u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), steps[1].line);
  SetTickCountOverride(0xFFFFFFD2u);
  testing::internal::CaptureStderr();
  LogTicksSinceLastLog("pre");
  testing::internal::GetCapturedStderr();
  SetTickCountOverride(steps[2].tick);
  testing::internal::CaptureStderr();
  EXPECT_EQ(LogTicksSinceLastLog("wrap"), 5u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), steps[2].line);
  ClearTickCountOverride();
  EXPECT_STREQ(Slot(1).c_str() + 68, "open:ticks taken since last log time is 0");

  // A debug line goes nowhere: no console line, no record, the log line kept.
  const std::string before = ReadWholeFile(name);
  testing::internal::CaptureStderr();
  errno = 9;
  DebugLog(1, "debug %s", "text");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(errno, 9);
  EXPECT_EQ(ReadWholeFile(name), before);
  EXPECT_STREQ(GetLogLine(), "wrap:ticks taken since last log time is 51");
}

TEST_F(RingLog, NothingWrittenWithoutAName) {
  SetLogFileName(nullptr);
  EXPECT_EQ(CreateLogFile(0, 512), -1);
  EXPECT_EQ(GetLogSlotCount(), -1);
  EXPECT_EQ(Log(0, "console only"), "console only\n");
}

// Reading records back: the newest first, once each, before and after the
// file wrapped; the local time shows in ctime form.
TEST_F(RingLog, RecentRecordsNewestFirstBeforeAndAfterWrap) {
  PinnedTimeZone zone(kZoneAheadOfUtc);
  ASSERT_EQ(CreateLogFile(0, 5), 0);  // four record slots
  std::vector<std::string> lines;
  EXPECT_TRUE(ReadRecentLogRecords(3, lines));
  EXPECT_TRUE(lines.empty());
  Log(0, "one");
  Log(0, "two");
  ASSERT_TRUE(ReadRecentLogRecords(10, lines));
  EXPECT_EQ(lines, (std::vector<std::string>{"Sat Jul  4 17:05:20 2020   two",
                                             "Sat Jul  4 17:05:20 2020   one"}));
  for (const char* t : {"three", "four", "five", "six"}) Log(0, t);
  const std::string T = "Sat Jul  4 17:05:20 2020   ";
  struct Case {
    int n;
    std::vector<std::string> want;
  } cases[] = {
      {1, {T + "six"}},
      {3, {T + "six", T + "five", T + "four"}},
      {4, {T + "six", T + "five", T + "four", T + "three"}},
      {9, {T + "six", T + "five", T + "four", T + "three"}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(ReadRecentLogRecords(c.n, lines)) << c.n;
    EXPECT_EQ(lines, c.want) << c.n;
  }
  EXPECT_FALSE(ReadRecentLogRecords(0, lines));
  EXPECT_TRUE(lines.empty());
  SetLogFileName(nullptr);
  EXPECT_FALSE(ReadRecentLogRecords(2, lines));
}

// A file written on a host of the other byte order (every integer word
// reversed) reads back the same lines.
TEST_F(RingLog, ByteSwappedFileReadsTheSame) {
  ASSERT_EQ(CreateLogFile(0, 4), 0);
  for (const char* t : {"alpha", "beta", "gamma", "delta"}) Log(0, t);
  std::vector<std::string> plain;
  ASSERT_TRUE(ReadRecentLogRecords(5, plain));
  ASSERT_EQ(plain.size(), 3u);
  std::string file = ReadWholeFile(name);
  auto swapAt = [&](size_t off) { std::swap(file[off], file[off + 3]), std::swap(file[off + 1], file[off + 2]); };
  for (size_t off = 0; off < 24; off += 4) swapAt(off);
  for (size_t slot = 1; slot * 1024 < file.size(); ++slot) {
    for (size_t off : {0, 4, 8, 12, 48, 52, 56, 60, 64}) swapAt(slot * 1024 + off);
  }
  FILE* fp = std::fopen(name.c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  std::fwrite(file.data(), 1, file.size(), fp);
  std::fclose(fp);
  std::vector<std::string> swapped;
  ASSERT_TRUE(ReadRecentLogRecords(5, swapped));
  EXPECT_EQ(swapped, plain);

  LogFileHeader h;
  h.version = 0x01000000;
  h.slotCount = 0x00020000;
  SwapLogHeader(h);
  EXPECT_EQ(h.version, 1u);
  EXPECT_EQ(h.slotCount, 512u);
  LogRecord r;
  r.time = 0x04030201;
  r.spare[4] = 0x0000FF00;
  SwapLogRecord(r);
  EXPECT_EQ(r.time, 0x01020304u);
  EXPECT_EQ(r.spare[4], 0x00FF0000u);
}

// Headers no walk can trust are refused, not read past.
TEST_F(RingLog, RecentRecordsRefuseUnsoundHeaders) {
  for (const std::string& header : {HeaderBlock(2, 0, 512, 1, 1), HeaderBlock(1, 0, 512, 0, 1),
                                    HeaderBlock(1, 0, 512, 512, 1), HeaderBlock(1, 0, 1, 1, 1),
                                    std::string(100, '\0')}) {
    FILE* fp = std::fopen(name.c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    std::fwrite(header.data(), 1, header.size(), fp);
    std::fclose(fp);
    std::vector<std::string> lines{"stale"};
    EXPECT_FALSE(ReadRecentLogRecords(4, lines));
    EXPECT_TRUE(lines.empty());
  }
}

}  // namespace
