// Atomic whole-file replacement and directory creation.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

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

// Every way a replacement can fail keeps the old file and leaves no
// temporary file behind.
TEST(AtomicFile, EveryFailureRemovesItsTemporaryFile) {
  struct Case {
    const char* what;
    long failAfter;  // the write seam, -1 for none
    int modeError;   // the fchmod seam, 0 for none
    bool linkLoop;   // the path is a link to itself
    int expected;
  } cases[] = {
      {"disk full on the first byte", 0, 0, false, ATOMIC_WRITE_FAILED},
      {"disk full mid-write", 100, 0, false, ATOMIC_WRITE_FAILED},
      {"fchmod refused", -1, EPERM, false, ATOMIC_OPEN_FAILED},
      {"a link loop", -1, 0, true, ATOMIC_OPEN_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string path = dir.File("a.xml");
    if (c.linkLoop) {
      ASSERT_EQ(::symlink("a.xml", path.c_str()), 0);
    } else {
      WriteWholeFile(path, "old");
    }
    SetAtomicWriteFailAfter(c.failAfter);
    SetAtomicModeFailure(c.modeError);
    std::string big(50000, 'x');
    errno = 0;
    EXPECT_EQ(ReplaceFileAtomically(path, big.data(), big.size()), c.expected);
    EXPECT_NE(errno, 0);
    SetAtomicWriteFailAfter(-1);
    SetAtomicModeFailure(0);
    if (!c.linkLoop) {
      EXPECT_EQ(ReadWholeFile(path), "old");
    }
    EXPECT_EQ(EntriesIn(dir.path), 1u);
  }
}

// The replaced file keeps its owner and group where the process may give
// them; a process that may not still saves, as its own file.
TEST(AtomicFile, OwnerIsKeptWhereTheProcessMay) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a file owned by another user";
  TempDir dir;
  ::chmod(dir.path.c_str(), 0777);
  std::string path = dir.File("a.xml");
  WriteWholeFile(path, "old");
  ASSERT_EQ(::chown(path.c_str(), 12345, 23456), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0646), 0);
  ASSERT_EQ(ReplaceFileAtomically(path, "root", 4), ATOMIC_OK);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 12345u);
  EXPECT_EQ(st.st_gid, 23456u);
  EXPECT_EQ(st.st_mode & 07777, 0646u);

  // Not root: the fchown to another owner fails, the save does not.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(2);
    _exit(ReplaceFileAtomically(path, "user", 4) == ATOMIC_OK ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadWholeFile(path), "user");
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0646u);
  EXPECT_EQ(EntriesIn(dir.path), 1u);
}

// A store file that is a symbolic link stays one: the file it leads to is
// replaced, with its temporary file beside it.
TEST(AtomicFile, SymbolicLinksAreFollowed) {
  struct Case {
    const char* what;
    bool absolute;
    bool chain;        // link -> link -> file
    bool targetExists;
  } cases[] = {
      {"relative link", false, false, true},
      {"absolute link", true, false, true},
      {"chain of links", false, true, true},
      {"dangling link: the target is created", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir home, elsewhere;
    std::string target = elsewhere.File("real.xml");
    if (c.targetExists) {
      WriteWholeFile(target, "old");
      ::chmod(target.c_str(), 0600);
    }
    std::string first = c.absolute ? target : "../" + elsewhere.path.substr(elsewhere.path.rfind('/', elsewhere.path.size() - 2) + 1) + "real.xml";
    std::string link = home.File("a.xml");
    if (c.chain) {
      ASSERT_EQ(::symlink(first.c_str(), home.File("hop").c_str()), 0);
      ASSERT_EQ(::symlink("hop", link.c_str()), 0);
    } else {
      ASSERT_EQ(::symlink(first.c_str(), link.c_str()), 0);
    }
    ASSERT_EQ(ReplaceFileAtomically(link, "new", 3), ATOMIC_OK);
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadWholeFile(target), "new");
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    if (c.targetExists) {
      EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    EXPECT_EQ(EntriesIn(elsewhere.path), 1u);
    EXPECT_EQ(EntriesIn(home.path), c.chain ? 2u : 1u);
  }
}

TEST(AtomicFile, LeftoverNames) {
  struct Case {
    const char* name;
    bool leftover;
  } cases[] = {
      {"users.xml.tmpA1b2C3", true},
      {"00000012.xml.tmpzzzzzz", true},
      {"uid.val.tmp000000", true},
      {".tmpabcdef", false},  // no file name before it
      {"users.xml", false},
      {"users.xml.tmpA1b2C", false},    // five letters
      {"users.xml.tmpA1b2C3D", false},  // seven
      {"users.xml.tmpA1b_C3", false},
      {"users.xml.TMPA1b2C3", false},
      {"users.xml.bad", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsAtomicFileLeftoverName(c.name), c.leftover) << c.name;

  // The writer's own temporary names have the form.
  TempDir dir;
  AtomicFile af;
  ASSERT_EQ(AtomicFileBegin(af, dir.File("users.xml")), ATOMIC_OK);
  EXPECT_TRUE(IsAtomicFileLeftoverName(af.tempPath.substr(af.tempPath.rfind('/') + 1))) << af.tempPath;
}

// What a killed writer left in a folder is removed, and nothing else is.
TEST(AtomicFile, LeftoversOfAKilledWriterAreRemoved) {
  TempDir dir;
  std::string path = dir.File("users.xml");
  WriteWholeFile(path, "whole");
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    AtomicFile af;
    if (AtomicFileBegin(af, path) != ATOMIC_OK) _exit(1);
    fputs("half", af.fp);
    fflush(af.fp);
    _exit(0);  // ends without the commit or the destructor, as a kill would
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  ASSERT_EQ(EntriesIn(dir.path), 2u);
  WriteWholeFile(dir.File("notes.tmp"), "kept");
  WriteWholeFile(dir.File("b.xml.bad"), "kept");
  ASSERT_EQ(::mkdir(dir.File("sub.tmpABCDEF").c_str(), 0777), 0);  // not a file: kept
  ASSERT_EQ(::symlink("users.xml", dir.File("l.xml.tmpABCDEF").c_str()), 0);  // not the writer's: kept
  testing::internal::CaptureStderr();
  EXPECT_EQ(RemoveAtomicFileLeftovers(dir.path), 1);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("Removed leftover temporary file " + path + ".tmp"), std::string::npos) << said;
  EXPECT_EQ(ReadWholeFile(path), "whole");
  EXPECT_EQ(EntriesIn(dir.path), 5u);
  EXPECT_EQ(RemoveAtomicFileLeftovers(dir.path), 0);
  EXPECT_EQ(RemoveAtomicFileLeftovers(dir.File("missing/")), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(RemoveAtomicFileLeftovers(path), -1);  // not a folder
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Unable to list " + path), std::string::npos);
}

TEST(FileSystem, ListDirectory) {
  TempDir dir;
  std::vector<std::string> names{"stale"};
  ASSERT_TRUE(ListDirectory(dir.path, names));
  EXPECT_TRUE(names.empty());
  WriteWholeFile(dir.File("a"), "");
  WriteWholeFile(dir.File(".b"), "");
  ASSERT_TRUE(ListDirectory(dir.path, names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".b", "a"}));
  EXPECT_FALSE(ListDirectory(dir.File("none"), names));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(names.empty());
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
