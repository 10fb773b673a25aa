// Private files: every way the platform layer creates a file or a folder
// gives a new one the private mode (less the umask) and leaves the mode of
// one that exists; the umask is read without being changed, so a thread that
// creates files while another replaces one never sees it cleared.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "platform/process_control.h"
#include "support/temp_dir.h"

namespace {

unsigned ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<unsigned>(st.st_mode & 07777) : 07777u;
}

// The umask as the kernel holds it now, read as a person would (the
// "Umask:" line), without setting it.
unsigned UmaskNow() {
  FILE* fp = std::fopen("/proc/self/status", "r");
  if (fp == nullptr) return 07777;
  char line[256];
  unsigned mask = 07777;
  while (std::fgets(line, sizeof line, fp) != nullptr) {
    if (std::strncmp(line, "Umask:", 6) == 0) mask = static_cast<unsigned>(std::strtoul(line + 6, nullptr, 8));
  }
  std::fclose(fp);
  return mask;
}

// Each way of creating a file, run on `path`; true when it made or opened it.
struct FileMaker {
  const char* what;
  std::function<bool(const std::string& path)> make;
};

const FileMaker kFileMakers[] = {
    {"ReplaceFileAtomically", [](const std::string& p) { return ReplaceFileAtomically(p, "x", 1) == ATOMIC_OK; }},
    {"OpenPrivateFile", [](const std::string& p) {
       int fd = OpenPrivateFile(p, O_WRONLY | O_CREAT);
       if (fd >= 0) ::close(fd);
       return fd >= 0;
     }},
    {"OpenPrivateStream wb", [](const std::string& p) {
       FILE* fp = OpenPrivateStream(p, "wb");
       if (fp != nullptr) std::fclose(fp);
       return fp != nullptr;
     }},
    {"OpenPrivateStream at", [](const std::string& p) {
       FILE* fp = OpenPrivateStream(p, "at");
       if (fp != nullptr) std::fclose(fp);
       return fp != nullptr;
     }},
    {"TryLockFile", [](const std::string& p) {
       int fd = -1;
       if (TryLockFile(p, fd) != FILE_LOCK_TAKEN) return false;
       ::close(fd);  // the file stays, as a holder that died leaves it
       return true;
     }},
    {"HeldFileLock", [](const std::string& p) { return HeldFileLock(p, true).Held(); }},
    {"LockFileExclusive", [](const std::string& p) {
       int fd = LockFileExclusive(p);
       if (fd >= 0) ::close(fd);
       return fd >= 0;
     }},
};

TEST(PrivateFiles, NewFilesArePrivateAndExistingOnesKeepTheirMode) {
  const unsigned mask = ProcessUmask();
  ASSERT_EQ(UmaskNow(), mask) << "the umask is read as it is";
  for (const FileMaker& m : kFileMakers) {
    SCOPED_TRACE(m.what);
    TempDir dir;
    const std::string fresh = dir.File("new");
    ASSERT_TRUE(m.make(fresh));
    EXPECT_EQ(ModeOf(fresh), 0600u & ~mask);

    const std::string old = dir.File("old");
    WriteWholeFile(old, "o");
    ASSERT_EQ(::chmod(old.c_str(), 0644), 0);
    ASSERT_TRUE(m.make(old));
    EXPECT_EQ(ModeOf(old), 0644u);
  }
  EXPECT_EQ(OpenPrivateStream(TempDir().File("x"), "w+"), nullptr) << "a mode it does not know";
}

TEST(PrivateFiles, NewFoldersArePrivateAndExistingOnesKeepTheirMode) {
  const unsigned mask = ProcessUmask();
  TempDir dir;
  ASSERT_TRUE(MakeSureDirectoryPathExists(dir.File("a/b/c/file.xml")));
  for (const char* d : {"a", "a/b", "a/b/c"}) EXPECT_EQ(ModeOf(dir.File(d)), 0700u & ~mask) << d;
  ASSERT_TRUE(MakePrivateDirectory(dir.File("one")));
  EXPECT_EQ(ModeOf(dir.File("one")), 0700u & ~mask);

  ASSERT_EQ(::mkdir(dir.File("open").c_str(), 0755), 0);
  ASSERT_EQ(::chmod(dir.File("open").c_str(), 0755), 0);
  EXPECT_TRUE(MakePrivateDirectory(dir.File("open")));
  EXPECT_TRUE(MakeSureDirectoryPathExists(dir.File("open/x")));
  EXPECT_EQ(ModeOf(dir.File("open")), 0755u);

  WriteWholeFile(dir.File("file"), "x");
  errno = 0;
  EXPECT_FALSE(MakePrivateDirectory(dir.File("file")));
  EXPECT_EQ(errno, ENOTDIR);
}

// The writer learns the umask without setting it: a thread that looks at the
// umask throughout many replacements of new files always sees it as it is.
TEST(PrivateFiles, ReplacingFilesNeverClearsTheUmask) {
  const mode_t before = ::umask(022);
  TempDir dir;
  std::atomic<bool> done{false};
  std::atomic<int> cleared{0}, looks{0};
  std::thread watcher([&] {
    while (!done.load()) {
      if (UmaskNow() != 022) ++cleared;
      ++looks;
    }
  });
  for (int i = 0; i < 400; ++i) {
    const std::string path = dir.File("f" + std::to_string(i));
    ASSERT_EQ(ReplaceFileAtomically(path, "x", 1), ATOMIC_OK);
  }
  done = true;
  watcher.join();
  ::umask(before);
  EXPECT_GT(looks.load(), 0);
  EXPECT_EQ(cleared.load(), 0) << "of " << looks.load() << " looks";
}

}  // namespace
