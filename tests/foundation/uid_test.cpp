// UID allocation: uid.val and uid.lck in the UID directory, the in-process
// counter, the reserved ceiling, failed writes that must keep uid.val, and the
// start-up synchronisation that only ever raises uid.val.
#include <gtest/gtest.h>

#include <string>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "platform/atomic_file.h"
#include "platform/file_lock.h"
#include "support/temp_dir.h"

namespace {

int g_sleeps = 0;
void CountSleep(uint32_t) { ++g_sleeps; }

// uid.val's bytes for a value, written out by hand rather than by the module.
std::string Le(uint32_t v) {
  std::string b(4, '\0');
  b[0] = static_cast<char>(v & 0xFF);
  b[1] = static_cast<char>((v >> 8) & 0xFF);
  b[2] = static_cast<char>((v >> 16) & 0xFF);
  b[3] = static_cast<char>((v >> 24) & 0xFF);
  return b;
}

bool LogHas(const std::string& text) { return std::string(GetLogLine()).find(text) != std::string::npos; }

class UidAlloc : public ::testing::Test {
 protected:
  TempDir dir;
  std::string val = dir.File("uid.val");
  std::string lck = dir.File("uid.lck");

  void SetUp() override {
    ResetUIDAllocation();
    ResetNodeRegistry();
    SetLogFileName(nullptr);
    ClearLogLine();
    // A stale lock fails after 5 attempts instead of 10 seconds.
    g_sleeps = 0;
    SetLockFileRetryPolicy(5, 10, CountSleep);
    SetUIDDirectory(dir.path.c_str());
    testing::internal::CaptureStderr();
  }
  void TearDown() override {
    testing::internal::GetCapturedStderr();
    SetAtomicWriteFailAfter(-1);
    ResetUIDAllocation();
    ResetNodeRegistry();
  }
  bool Exists(const std::string& p) { return ::access(p.c_str(), F_OK) == 0; }
};

TEST_F(UidAlloc, FirstAllocationsCreateAndAdvanceUidVal) {
  ASSERT_FALSE(Exists(val));
  EXPECT_EQ(GetNewUID(), 1u);
  EXPECT_EQ(ReadWholeFile(val), std::string("\x01\x00\x00\x00", 4));
  EXPECT_EQ(GetNewUID(), 2u);
  EXPECT_EQ(ReadWholeFile(val), std::string("\x02\x00\x00\x00", 4));
  EXPECT_FALSE(Exists(lck));  // the lock is dropped after each allocation
}

TEST_F(UidAlloc, RangesTakeOneWriteAndStopShortOfTheReservedRange) {
  WriteWholeFile(val, Le(41));
  EXPECT_EQ(GetNewUIDRange(10), 42u);
  EXPECT_EQ(ReadWholeFile(val), Le(51));  // the last UID of the range
  EXPECT_EQ(GetNewUID(), 52u);
  EXPECT_EQ(GetNewUIDRange(0), 0u);
  EXPECT_FALSE(Exists(lck));

  WriteWholeFile(val, Le(4000000000u - 11));
  ResetUIDAllocation();
  SetLockFileRetryPolicy(5, 10, CountSleep);
  SetUIDDirectory(dir.path.c_str());
  EXPECT_EQ(GetNewUIDRange(11), 0u);  // would end on 4000000000
  EXPECT_EQ(ReadWholeFile(val), Le(4000000000u - 11));
  EXPECT_EQ(GetNewUIDRange(10), 4000000000u - 10);
  EXPECT_EQ(ReadWholeFile(val), Le(4000000000u - 1));

  // Without a directory the in-process counter gives ranges the same way.
  SetUIDDirectory(nullptr);
  EXPECT_EQ(GetNewUIDRange(3), 1u);
  EXPECT_EQ(GetNewUID(), 4u);
}

TEST_F(UidAlloc, ExistingValueIsReadLittleEndian) {
  WriteWholeFile(val, std::string("\xFF\x00\x00\x01", 4));  // 0x010000FF
  EXPECT_EQ(GetNewUID(), 0x01000100u);
  EXPECT_EQ(ReadWholeFile(val), std::string("\x00\x01\x00\x01", 4));
}

// A live holder of uid.lck (another open file holding the flock) makes the
// allocation retry and give up; the holder's file and uid.val stay.
TEST_F(UidAlloc, LiveLockHolderFailsAfterTheRetries) {
  WriteWholeFile(val, Le(41));
  int holder = -1;
  ASSERT_EQ(TryLockFile(lck, holder), FILE_LOCK_TAKEN);
  EXPECT_EQ(GetNewUID(), 0u);
  EXPECT_EQ(g_sleeps, 4);  // 5 attempts, a sleep between each
  EXPECT_TRUE(LogHas("Unable to get lock file " + lck + " for entry"));
  EXPECT_TRUE(Exists(lck));
  EXPECT_EQ(ReadWholeFile(val), Le(41));
  EXPECT_EQ(WriteUIDFile(60), FR_CANNOT_OPEN_FILE);
  EXPECT_EQ(ReadWholeFile(val), Le(41));
  ASSERT_TRUE(ReleaseFileLock(lck, holder));
  EXPECT_EQ(GetNewUID(), 42u);
}

// A uid.lck whose holder is gone, however it went, stops nobody: the next
// allocation takes it at once and removes it.
TEST_F(UidAlloc, LockFileOfAGoneHolderIsTakenAtOnce) {
  enum Leftover { EMPTY_FILE, KILLED_HOLDER, CLOSED_HOLDER };
  struct Case {
    const char* what;
    Leftover leftover;
  } cases[] = {
      {"an empty uid.lck", EMPTY_FILE},
      {"a holder killed while it held the lock", KILLED_HOLDER},
      {"a descriptor closed without removing the file", CLOSED_HOLDER},
  };
  uint32_t next = 42;
  WriteWholeFile(val, Le(next - 1));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_sleeps = 0;
    if (c.leftover == EMPTY_FILE) {
      WriteWholeFile(lck, "");
    } else if (c.leftover == CLOSED_HOLDER) {
      int fd = -1;
      ASSERT_EQ(TryLockFile(lck, fd), FILE_LOCK_TAKEN);
      ::close(fd);
    } else {
      int ready[2];
      ASSERT_EQ(::pipe(ready), 0);
      pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        int fd = -1;
        char ok = TryLockFile(lck, fd) == FILE_LOCK_TAKEN ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        for (;;) ::pause();
      }
      ::close(ready[1]);
      char ok = 0;
      ASSERT_EQ(::read(ready[0], &ok, 1), 1);
      ::close(ready[0]);
      ASSERT_EQ(ok, 'y');
      // While the child lives its lock holds.
      EXPECT_EQ(GetNewUID(), 0u);
      ASSERT_EQ(::kill(child, SIGKILL), 0);
      int status = 0;
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      g_sleeps = 0;
    }
    ASSERT_TRUE(Exists(lck));
    EXPECT_EQ(GetNewUID(), next);
    EXPECT_EQ(g_sleeps, 0);
    EXPECT_FALSE(Exists(lck));
    EXPECT_EQ(ReadWholeFile(val), Le(next));
    ++next;
  }
}

TEST_F(UidAlloc, ShortUidValFailsEveryAllocationAndIsKept) {
  WriteWholeFile(val, std::string("\x07\x00", 2));
  EXPECT_EQ(GetNewUID(), 0u);
  EXPECT_TRUE(LogHas("Unable to read uid.val (" + val + ")"));
  EXPECT_EQ(GetNewUID(), 0u);
  EXPECT_EQ(ReadWholeFile(val), std::string("\x07\x00", 2));
  EXPECT_FALSE(Exists(lck));
}

// The mended fault: a failed rewrite must never delete uid.val, or the next
// allocation would restart at 1 and reissue UIDs in use.
TEST_F(UidAlloc, FailedUpdateKeepsUidVal) {
  WriteWholeFile(val, Le(5));
  SetAtomicWriteFailAfter(0);
  EXPECT_EQ(GetNewUID(), 0u);
  EXPECT_TRUE(LogHas("Unable to update uid.val (" + val + ")"));
  EXPECT_EQ(ReadWholeFile(val), Le(5));
  EXPECT_FALSE(Exists(lck));
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(GetNewUID(), 6u);
}

TEST_F(UidAlloc, FailedCreateLeavesNoFileAndNoLock) {
  SetAtomicWriteFailAfter(2);  // a partial write, as on a full disk
  EXPECT_EQ(GetNewUID(), 0u);
  EXPECT_TRUE(LogHas("Unable to create uid.val (" + val + ")"));
  EXPECT_FALSE(Exists(val));
  EXPECT_FALSE(Exists(lck));
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(GetNewUID(), 1u);
}

TEST_F(UidAlloc, FailedWriteUIDFileKeepsOldValue) {
  WriteWholeFile(val, Le(300));
  SetAtomicWriteFailAfter(1);
  EXPECT_EQ(WriteUIDFile(400), FR_CANNOT_OPEN_FILE);
  EXPECT_TRUE(LogHas("Unable to create uid.val (" + val + ")"));
  EXPECT_EQ(ReadWholeFile(val), Le(300));
  EXPECT_FALSE(Exists(lck));
}

// The high-water mark: a uid.val lost or rolled back under a running process
// does not make it hand out a UID it has issued already.
TEST_F(UidAlloc, HighWaterMarkSurvivesLostOrRolledBackFile) {
  struct Case {
    const char* what;
    bool deleteFile;
    uint32_t rollBackTo;
  } cases[] = {{"deleted", true, 0}, {"rolled back", false, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ::unlink(val.c_str());
    ResetUIDAllocation();
    SetLockFileRetryPolicy(5, 10, CountSleep);
    SetUIDDirectory(dir.path.c_str());
    ASSERT_EQ(GetNewUID(), 1u);
    ASSERT_EQ(GetNewUID(), 2u);
    ASSERT_EQ(GetNewUID(), 3u);
    EXPECT_EQ(GetUIDHighWaterMark(), 3u);
    if (c.deleteFile) {
      ::unlink(val.c_str());
    } else {
      WriteWholeFile(val, Le(c.rollBackTo));
    }
    EXPECT_EQ(GetNewUID(), 4u);
    EXPECT_EQ(ReadWholeFile(val), Le(4));
  }
}

TEST_F(UidAlloc, NeverIssuesReservedUIDs) {
  struct Case {
    uint32_t inFile;
    uint32_t expected;  // 0: refused, file unchanged
  } cases[] = {
      {3999999998u, 3999999999u},
      {3999999999u, 0},
      {4000000000u, 0},
      {0xFFFFFFFFu, 0},  // would wrap to 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inFile);
    ResetUIDAllocation();
    SetLockFileRetryPolicy(5, 10, CountSleep);
    SetUIDDirectory(dir.path.c_str());
    WriteWholeFile(val, Le(c.inFile));
    EXPECT_EQ(GetNewUID(), c.expected);
    EXPECT_EQ(ReadWholeFile(val), Le(c.expected ? c.expected : c.inFile));
    EXPECT_FALSE(Exists(lck));
  }
}

TEST_F(UidAlloc, InProcessCounterWithoutDirectory) {
  SetUIDDirectory(nullptr);
  EXPECT_EQ(GetUIDDirectory(), nullptr);
  EXPECT_EQ(GetNewUID(), 1u);
  EXPECT_EQ(GetNewUID(), 2u);
  EXPECT_EQ(GetInProcessUIDCounter(), 2u);
  EXPECT_FALSE(Exists(val));
  EXPECT_EQ(WriteUIDFile(9), FR_INVALID_PARAMETER);
  EXPECT_EQ(GetNextUIDFromFile(nullptr), 0u);
}

TEST_F(UidAlloc, WriteUIDFileWritesFourBytes) {
  EXPECT_EQ(WriteUIDFile(0xEE6B27FFu), FR_OK);
  EXPECT_EQ(ReadWholeFile(val), std::string("\xFF\x27\x6B\xEE", 4));
  EXPECT_FALSE(Exists(lck));
}

TEST_F(UidAlloc, CreateLockFile) {
  int fd = -1;
  EXPECT_EQ(CreateLockFile(lck.c_str(), fd), 0);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(ReadWholeFile(lck), "");
  EXPECT_TRUE(Exists(lck));
  int second = 7;
  EXPECT_EQ(CreateLockFile(lck.c_str(), second), -1);  // held: retries, then gives up
  EXPECT_EQ(second, -1);
  EXPECT_EQ(g_sleeps, 4);
  RemoveLockFile(lck.c_str(), fd);
  EXPECT_FALSE(Exists(lck));
  EXPECT_EQ(CreateLockFile(lck.c_str(), second), 0);  // free again
  RemoveLockFile(lck.c_str(), second);

  ClearLogLine();
  std::string missing = dir.File("no/such/uid.lck");
  EXPECT_EQ(CreateLockFile(missing.c_str(), fd), -1);  // ENOENT: not retried
  EXPECT_EQ(g_sleeps, 4);
  EXPECT_TRUE(LogHas("Error (2) during attempt to create lock file"));
  EXPECT_EQ(CreateLockFile(nullptr, fd), -1);
  ClearLogLine();
  RemoveLockFile(missing.c_str(), -1);
  EXPECT_TRUE(LogHas("Unable to remove lock file " + missing));
}

// Start-up synchronisation: uid.val is raised to the highest ordinary
// registered UID (or the in-process counter), never lowered.
TEST_F(UidAlloc, SyncOnlyRaises) {
  struct Case {
    const char* what;
    const char* fileBytes;  // null: no uid.val
    size_t fileSize;
    uint32_t counterBefore;  // UIDs issued before the directory was set
    uint32_t atLeast;        // the highest UID of unregistered records (groups)
    std::string expected;
  } cases[] = {
      {"file 120 stays", "\x78\x00\x00\x00", 4, 0, 0, Le(120)},
      {"file 50 becomes 97", "\x32\x00\x00\x00", 4, 0, 0, Le(97)},
      {"missing becomes 97", nullptr, 0, 0, 0, Le(97)},
      {"short file becomes 97", "\x01", 1, 0, 0, Le(97)},
      {"file 97 stays", "\x61\x00\x00\x00", 4, 0, 0, Le(97)},
      {"counter above registry", "\x32\x00\x00\x00", 4, 150, 0, Le(150)},
      {"group UID above registry", "\x32\x00\x00\x00", 4, 0, 300, Le(300)},
      {"group UID above registry, no file", nullptr, 0, 0, 300, Le(300)},
      {"group UID below registry", "\x32\x00\x00\x00", 4, 0, 60, Le(97)},
      {"group UID below file", "\x78\x00\x00\x00", 4, 0, 110, Le(120)},
      {"reserved group UID ignored", "\x32\x00\x00\x00", 4, 0, kUIDEveryoneGroup, Le(97)},
      {"last ordinary UID counts", nullptr, 0, 0, 3999999999u, Le(3999999999u)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetUIDAllocation();
    ResetNodeRegistry();
    SetLockFileRetryPolicy(5, 10, CountSleep);
    for (uint32_t i = 0; i < c.counterBefore; ++i) GetNewUID();
    SetUIDDirectory(dir.path.c_str());
    ::unlink(val.c_str());
    if (c.fileBytes) WriteWholeFile(val, std::string(c.fileBytes, c.fileSize));
    // The reserved UIDs in the registry do not count.
    NodeHeader a{97, 6, 0, 0, 0}, b{12, 9, 0, 0, 0}, r{kUIDDefaultPermission, 9, 0, 0, 0};
    ASSERT_EQ(AddNodeToQAArray(&a), 97u);
    ASSERT_EQ(AddNodeToQAArray(&b), 12u);
    ASSERT_EQ(AddNodeToQAArray(&r), kUIDDefaultPermission);
    SyncUIDFileWithNodes(c.atLeast);
    EXPECT_EQ(ReadWholeFile(val), c.expected);
    EXPECT_FALSE(Exists(lck));
  }
}

// A uid.val at the ceiling refuses every allocation and the sync never lowers
// it: the start-up says so, naming the file and the value.
TEST_F(UidAlloc, SyncReportsAUidValAtTheCeiling) {
  struct Case {
    uint32_t value;
    bool reported;
  } cases[] = {{3999999998u, false}, {3999999999u, true}, {4000000000u, true}, {0xFFFFFFFFu, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    WriteWholeFile(val, Le(c.value));
    ClearLogLine();
    SyncUIDFileWithNodes();
    EXPECT_EQ(ReadWholeFile(val), Le(c.value));  // left as it is
    EXPECT_EQ(LogHas(val + ") holds " + std::to_string(c.value)), c.reported) << GetLogLine();
  }
}

TEST_F(UidAlloc, SyncWithEmptyRegistryAndNoFileWritesZero) {
  SyncUIDFileWithNodes();
  EXPECT_EQ(ReadWholeFile(val), Le(0));
  EXPECT_EQ(GetNewUID(), 1u);
}

}  // namespace
