// Atomic whole-file replacement and directory creation.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/atomic_file.h"
#include "platform/fs.h"
#include "support/temp_dir.h"

namespace {

size_t EntriesIn(const std::string& dir) {
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator(dir); it != std::filesystem::directory_iterator(); ++it) ++n;
  return n;
}

TEST(AtomicFile, CommitReplacesWholeFile) {
  TempDir dir;
  std::string path = dir.File("a.xml");
  WriteWholeFile(path, "old");
  chmod(path.c_str(), 0640);
  AtomicFile af;
  ASSERT_EQ(AtomicFileBegin(af, path), ATOMIC_OK);
  fprintf(af.fp, "new %d", 1);
  EXPECT_EQ(ReadWholeFile(path), "old");  // nothing visible before the commit
  ASSERT_EQ(AtomicFileCommit(af), ATOMIC_OK);
  EXPECT_EQ(ReadWholeFile(path), "new 1");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replaced file keeps its mode
  EXPECT_EQ(EntriesIn(dir.path), 1u);
}

TEST(AtomicFile, FailuresKeepTheOldFileAndLeaveNoTemporary) {
  TempDir dir;
  std::string path = dir.File("a.xml");
  WriteWholeFile(path, "old");

  SetAtomicWriteFailAfter(10);
  std::string big(50000, 'x');
  EXPECT_EQ(ReplaceFileAtomically(path, big.data(), big.size()), ATOMIC_WRITE_FAILED);
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(ReadWholeFile(path), "old");
  EXPECT_EQ(EntriesIn(dir.path), 1u);

  {
    AtomicFile abandoned;
    ASSERT_EQ(AtomicFileBegin(abandoned, path), ATOMIC_OK);
    fputs("never committed", abandoned.fp);
  }
  EXPECT_EQ(ReadWholeFile(path), "old");
  EXPECT_EQ(EntriesIn(dir.path), 1u);

  EXPECT_EQ(ReplaceFileAtomically(dir.File("missing/a.xml"), "x", 1), ATOMIC_OPEN_FAILED);
}

TEST(AtomicFile, SmallWriteUnderTheSeamSucceeds) {
  TempDir dir;
  std::string path = dir.File("b");
  SetAtomicWriteFailAfter(10);
  EXPECT_EQ(ReplaceFileAtomically(path, "0123456789", 10), ATOMIC_OK);
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(ReadWholeFile(path), "0123456789");
}

TEST(FileSystem, MakeSureDirectoryPathExists) {
  TempDir dir;
  EXPECT_TRUE(MakeSureDirectoryPathExists(dir.File("a/b/c/file.xml")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("a/b/c")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("a/b/c/file.xml")));
  EXPECT_TRUE(MakeSureDirectoryPathExists(dir.File("a/b/c/")));
  WriteWholeFile(dir.File("f"), "x");
  EXPECT_FALSE(MakeSureDirectoryPathExists(dir.File("f/sub/x")));
}

TEST(FileSystem, ProbePath) {
  TempDir dir;
  WriteWholeFile(dir.File("f"), "x");
  EXPECT_EQ(ProbePath(dir.File("f")), PATH_EXISTS);
  EXPECT_EQ(ProbePath(dir.File("g")), PATH_MISSING);
  EXPECT_EQ(ProbePath(dir.File("f/g")), PATH_MISSING);
}

}  // namespace
