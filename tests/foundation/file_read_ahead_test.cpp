// Tests of the file read-ahead: every name taken in list order gives what
// the quiet reader gives for it (code, errno, read failure, bytes) and Take
// logs what ReadFileToBuffer logs, without workers, with one, and with
// several in a window smaller than the list; a directory that cannot be
// opened, names as paths, the end of the list, and an early stop.
#include "foundation/util/file_read_ahead.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <vector>

#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "support/temp_dir.h"

namespace {

// What a read gave, for comparing one reader with another.
struct Got {
  int code, error;
  bool readCallFailed;
  std::string bytes;
  bool operator==(const Got&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Got& g) {
  return os << "code " << g.code << " errno " << g.error << " read failed " << g.readCallFailed << " bytes "
            << g.bytes.size();
}

// Bounds that start workers even for a short list.
FileReadAheadOptions Workers(unsigned workers, size_t window) {
  FileReadAheadOptions o;
  o.minFilesForThreads = 1;
  o.maxWorkers = workers;
  o.window = window;
  return o;
}

class FileReadAheadTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::vector<std::string> names;  // every kind of entry, many times over

  void SetUp() override {
    WriteWholeFile(dir.File("small"), "<USER/>");
    WriteWholeFile(dir.File("big"), std::string(70000, 'b'));  // more than one page, more than the window's usual
    WriteWholeFile(dir.File("empty"), "");
    WriteWholeFile(dir.File("plain"), "x");
    ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    const std::vector<std::string> kinds = {"small", "missing", "big", "sub", "empty", "fifo", "plain/inside", "plain"};
    for (int round = 0; round < 40; ++round) {
      for (const std::string& k : kinds) names.push_back(k);
      names.push_back("n" + std::to_string(round));  // a name of its own, missing
      WriteWholeFile(dir.File("r" + std::to_string(round)), std::string(static_cast<size_t>(round) * 37, 'r'));
      names.push_back("r" + std::to_string(round));
    }
  }

  // What the quiet reader gives for each name, read by path one at a time.
  std::vector<Got> Expected(const std::string& base, const std::vector<std::string>& list) const {
    std::vector<Got> out;
    for (const std::string& n : list) {
      std::string bytes = "stale";
      const FileReadResult r = ReadFileQuietly(AT_FDCWD, (base + n).c_str(), bytes);
      out.push_back(Got{r.code, r.error, r.readCallFailed, bytes});
    }
    return out;
  }

  static std::vector<Got> TakeAll(FileReadAhead& files, size_t count) {
    std::vector<Got> out;
    std::string bytes = "stale";
    for (size_t i = 0; i < count; ++i) {
      errno = 0;
      const FileReadResult r = files.TakeQuietly(bytes);
      EXPECT_EQ(errno, r.error) << i;
      out.push_back(Got{r.code, r.error, r.readCallFailed, bytes});
    }
    return out;
  }
};

TEST_F(FileReadAheadTest, TakesWhatTheQuietReaderGivesInListOrder) {
  const std::vector<Got> expected = Expected(dir.path, names);
  // The kinds give their codes (checked once, by path).
  EXPECT_EQ(expected[0], (Got{FR_OK, 0, false, "<USER/>"}));
  EXPECT_EQ(expected[1].code, FR_FILE_NOT_FOUND);
  EXPECT_EQ(expected[2].bytes.size(), 70000u);
  EXPECT_EQ(expected[3].code, FR_CANNOT_OPEN_FILE);
  EXPECT_EQ(expected[4], (Got{FR_OK, 0, false, ""}));
  EXPECT_EQ(expected[5].code, FR_CANNOT_OPEN_FILE);
  EXPECT_EQ(expected[6], (Got{FR_FILE_NOT_FOUND, ENOTDIR, false, ""}));

  const struct {
    const char* what;
    FileReadAheadOptions options;
    unsigned workers;
  } cases[] = {
      {"defaults (a list this long has workers)", FileReadAheadOptions{}, 0},
      {"no workers", Workers(0, 256), 0},
      {"one worker, a window of one", Workers(1, 1), 1},
      {"four workers, a window of three", Workers(4, 3), 4},
      {"six workers, a window of the list", Workers(6, 100000), 6},
  };
  for (const auto& c : cases) {
    FileReadAhead files(dir.path, names, c.options);
    if (c.workers != 0) {  // fewer on a machine with fewer cores
      EXPECT_GE(files.Workers(), 1u) << c.what;
      EXPECT_LE(files.Workers(), c.workers) << c.what;
    }
    EXPECT_EQ(TakeAll(files, names.size()), expected) << c.what;
    std::string bytes = "stale";
    EXPECT_EQ(files.TakeQuietly(bytes).code, FR_FAILED) << c.what;  // past the end
    EXPECT_EQ(bytes, "") << c.what;
  }
  EXPECT_GT(FileReadAhead(dir.path, names).Workers(), 0u);
  // Below the threshold the taking thread reads.
  EXPECT_EQ(FileReadAhead(dir.path, std::vector<std::string>(63, "small")).Workers(), 0u);
}

// A directory that cannot be opened reads each name as a path under it, so
// each gets the code of that path; an empty directory takes names as paths.
TEST_F(FileReadAheadTest, NamesAsPathsWhenTheDirectoryDoesNotOpen) {
  for (const std::string& base : {dir.File("missing/"), dir.File("plain/")}) {
    const std::vector<Got> expected = Expected(base, names);
    FileReadAhead files(base, names, Workers(3, 8));
    EXPECT_EQ(TakeAll(files, names.size()), expected) << base;
    EXPECT_EQ(expected[0].code, FR_FILE_NOT_FOUND) << base;
  }
  const std::vector<std::string> paths = {dir.File("small"), "/proc/version", "/proc/self/mem", dir.File("sub")};
  const std::vector<Got> expected = Expected("", paths);
  EXPECT_EQ(expected[1].bytes, ReadWholeFile("/proc/version"));  // longer than its status says
  EXPECT_EQ(expected[2], (Got{FR_READ_FAILED, EIO, true, ""}));
  for (unsigned workers : {0u, 2u}) {
    FileReadAhead files("", paths, Workers(workers, 2));
    EXPECT_EQ(TakeAll(files, paths.size()), expected) << workers;
  }
}

// Take logs exactly what ReadFileToBuffer logs for each path, in order, and
// leaves its code and errno.
TEST_F(FileReadAheadTest, TakeLogsAsReadFileToBuffer) {
  const std::vector<std::string> paths = {"/proc/self/mem", dir.File("small"), dir.File("missing"),
                                          "/proc/self/mem", dir.File("sub")};
  struct Step {
    int code, error;
    std::string bytes;
  };
  testing::internal::CaptureStderr();
  std::vector<Step> direct;
  for (const std::string& p : paths) {
    std::string bytes;
    errno = 0;
    const int code = ReadFileToBuffer(p, bytes);
    direct.push_back(Step{code, errno, bytes});
  }
  const std::string directLog = testing::internal::GetCapturedStderr();
  EXPECT_NE(directLog.find("Error reading from file /proc/self/mem"), std::string::npos) << directLog;
  for (unsigned workers : {0u, 3u}) {
    FileReadAhead files("", paths, Workers(workers, 2));
    testing::internal::CaptureStderr();
    for (size_t i = 0; i < paths.size(); ++i) {
      std::string bytes;
      errno = 0;
      const int code = files.Take(paths[i], bytes);
      if (direct[i].code != FR_OK) {
        EXPECT_EQ(errno, direct[i].error) << i;
      }
      EXPECT_EQ(code, direct[i].code) << i;
      EXPECT_EQ(bytes, direct[i].bytes) << i;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), directLog) << workers;
  }
}

// Stopped with files read and not taken (and workers waiting for room),
// the read-ahead ends at once; buffers handed back are reused safely.
TEST_F(FileReadAheadTest, StopsEarly) {
  const std::vector<Got> expected = Expected(dir.path, names);
  for (size_t taken : {size_t{0}, size_t{1}, size_t{50}}) {
    FileReadAhead files(dir.path, names, Workers(4, 4));
    const std::vector<Got> got = TakeAll(files, taken);
    EXPECT_EQ(got, std::vector<Got>(expected.begin(), expected.begin() + static_cast<long>(taken)));
  }
  FileReadAhead none(dir.path, {}, Workers(4, 4));
  std::string bytes;
  EXPECT_EQ(none.TakeQuietly(bytes).code, FR_FAILED);
  EXPECT_EQ(none.Workers(), 0u);
}

}  // namespace
