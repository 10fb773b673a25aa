// UID allocation through uid.val under uid.lck, the in-process counter, and
// the start-up synchronisation of uid.val with the node registry.
// Foundation layer: calls the log, FileExists, the atomic file helper, the
// platform lock file and sleep, and the node registry (its highest ordinary UID).
#include "foundation/uid/uid_alloc.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/byte_order.h"
#include "foundation/util/util.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/file_lock.h"

namespace {

// Module state (the server's working thread only; no locks).
bool g_hasDirectory = false;
std::string g_directory;   // the UID directory while g_hasDirectory
UID g_counter = 0;         // in-process counter, used while no directory is set

// The highest UID issued from, or written to, uid.val of g_markDirectory by
// this process. Allocation never goes below it, so that a uid.val deleted or
// rolled back under a running server cannot make it hand out a UID twice.
std::string g_markDirectory;
UID g_highWater = 0;

int g_lockAttempts = kLockFileAttempts;
uint32_t g_lockSleepMs = kLockFileRetryMs;
LockSleepFunction g_lockSleep = nullptr;

std::string ValuePath(const char* directory) { return std::string(directory) + "uid.val"; }
std::string LockPath(const char* directory) { return std::string(directory) + "uid.lck"; }

UID MarkFor(const char* directory) { return g_markDirectory == directory ? g_highWater : 0; }

void RaiseMark(const char* directory, UID value) {
  if (g_markDirectory != directory) {
    g_markDirectory = directory;
    g_highWater = 0;
  }
  if (value > g_highWater) g_highWater = value;
}

// The first 4 bytes of uid.val, little-endian. False when the file cannot be
// opened or holds fewer than 4 bytes.
bool ReadUIDValue(const std::string& path, UID& value) {
  value = 0;
  FILE* fp = fopen(path.c_str(), "rb");
  if (fp == nullptr) return false;
  unsigned char b[kUIDValueFileSize];
  size_t got = fread(b, 1, sizeof b, fp);
  fclose(fp);
  if (got != sizeof b) return false;
  value = GetLE32(b);
  return true;
}

// Replaces uid.val with the 4 bytes of `value`: temporary file, sync, rename.
// On failure the old uid.val (or its absence) stays as it was.
bool WriteUIDValue(const std::string& path, UID value) {
  unsigned char b[kUIDValueFileSize];
  PutLE32(b, value);
  return ReplaceFileAtomically(path, b, sizeof b) == ATOMIC_OK;
}

}  // namespace

void SetUIDDirectory(const char* directory) {
  if (directory == nullptr) {
    g_hasDirectory = false;
    g_directory.clear();
    return;
  }
  g_hasDirectory = true;
  g_directory = directory;
}

const char* GetUIDDirectory() { return g_hasDirectory ? g_directory.c_str() : nullptr; }

UID GetNewUID() {
  if (g_hasDirectory) return GetNextUIDFromFile(g_directory.c_str());
  // Same ceiling as the file: the counter never enters the reserved range.
  if (g_counter >= kFirstReservedUID - 1) {
    WriteLog(0, "Unable to issue a new UID as the next one (%08X) is reserved", g_counter + 1);
    return 0;
  }
  return ++g_counter;
}

int CreateLockFile(const char* lockPath, int& lockFd) {
  lockFd = -1;
  if (lockPath == nullptr) return -1;
  for (int attempt = 0; attempt < g_lockAttempts; ++attempt) {
    const int got = TryLockFile(lockPath, lockFd);
    if (got == FILE_LOCK_TAKEN) return 0;
    if (got == FILE_LOCK_FAILED) {
      const int err = errno;
      WriteLog(1, "Error (%d) during attempt to create lock file", err);
      return -1;
    }
    // A live holder: wait and try again.
    if (attempt + 1 < g_lockAttempts) {
      if (g_lockSleep != nullptr) {
        g_lockSleep(g_lockSleepMs);
      } else {
        SleepMilliseconds(g_lockSleepMs);
      }
    }
  }
  return -1;
}

void RemoveLockFile(const char* lockPath, int lockFd) {
  if (!ReleaseFileLock(lockPath, lockFd)) WriteLog(1, "Unable to remove lock file %s", lockPath);
}

namespace {

// The lock on uid.val while it is held; released (and uid.lck removed) when
// it goes out of scope.
struct UIDLock {
  std::string path;
  int fd = -1;
  explicit UIDLock(std::string lockPath) : path(std::move(lockPath)) {}
  UIDLock(const UIDLock&) = delete;
  UIDLock& operator=(const UIDLock&) = delete;
  ~UIDLock() {
    if (fd >= 0) RemoveLockFile(path.c_str(), fd);
  }
  // Takes it; false (logged) when it stays held by another process.
  bool Take() {
    if (CreateLockFile(path.c_str(), fd) == 0) return true;
    WriteLog(0, "Unable to get lock file %s for entry", path.c_str());
    return false;
  }
};

// States of one allocation of `count` consecutive UIDs:
//   start --lock taken--> locked --uid.val read (or missing)--> computed
//   computed --the range ends below the reserved range, written--> unlock,
//            return its first UID (uid.val holds its last)
//   any failure after the lock: unlock, return 0 (uid.val as it was)
UID TakeUIDRangeFromFile(const char* directory, uint32_t count) {
  if (directory == nullptr || count == 0) return 0;
  const std::string valPath = ValuePath(directory);
  UIDLock lock(LockPath(directory));
  if (!lock.Take()) return 0;

  UID last = 0;
  const bool exists = FileExists(valPath) != 0;
  if (exists && !ReadUIDValue(valPath, last)) {
    WriteLog(1, "Unable to read uid.val (%s)", valPath.c_str());
    return 0;
  }

  UID base = last;
  UID mark = MarkFor(directory);
  if (mark > base) base = mark;
  if (base >= kFirstReservedUID - 1 || count > kFirstReservedUID - 1 - base) {
    WriteLog(0, "Unable to issue a new UID as uid.val (%s) has reached the reserved range", valPath.c_str());
    return 0;
  }
  const UID first = base + 1;
  const UID end = base + count;

  if (!WriteUIDValue(valPath, end)) {
    if (exists) {
      WriteLog(1, "Unable to update uid.val (%s)", valPath.c_str());
    } else {
      WriteLog(1, "Unable to create uid.val (%s)", valPath.c_str());
    }
    return 0;
  }

  // The lock is dropped on return; a failure to remove uid.lck is logged and
  // does not undo the UIDs.
  RaiseMark(directory, end);
  return first;
}

}  // namespace

UID GetNextUIDFromFile(const char* directory) { return TakeUIDRangeFromFile(directory, 1); }

UID GetNewUIDRange(uint32_t count) {
  if (count == 0) return 0;
  if (g_hasDirectory) return TakeUIDRangeFromFile(g_directory.c_str(), count);
  if (g_counter >= kFirstReservedUID - 1 || count > kFirstReservedUID - 1 - g_counter) {
    WriteLog(0, "Unable to issue %u new UIDs as the range after %08X is reserved", count, g_counter);
    return 0;
  }
  const UID first = g_counter + 1;
  g_counter += count;
  return first;
}

int WriteUIDFile(UID value) {
  if (!g_hasDirectory) return FR_INVALID_PARAMETER;
  const char* directory = g_directory.c_str();
  const std::string valPath = ValuePath(directory);
  UIDLock lock(LockPath(directory));
  if (!lock.Take()) return FR_CANNOT_OPEN_FILE;
  if (!WriteUIDValue(valPath, value)) {
    WriteLog(1, "Unable to create uid.val (%s)", valPath.c_str());
    return FR_CANNOT_OPEN_FILE;
  }
  RaiseMark(directory, value);
  return FR_OK;
}

void SyncUIDFileWithNodes(UID atLeast) {
  UID target = GetHighestOrdinaryRegisteredUID();
  if (g_counter > target) target = g_counter;
  if (atLeast > target && atLeast < kFirstReservedUID) target = atLeast;
  if (g_hasDirectory) {
    UID mark = MarkFor(g_directory.c_str());
    if (mark > target && mark < kFirstReservedUID) target = mark;
    UID current = 0;
    const std::string valPath = ValuePath(g_directory.c_str());
    if (ReadUIDValue(valPath, current)) {
      // Nothing lowers uid.val, so a value at the ceiling (a damaged file)
      // would refuse every allocation from now on without a word.
      if (current >= kFirstReservedUID - 1) {
        WriteLog(1, "uid.val (%s) holds %u, at or above the last UID that can be issued (%u): no new UID can be issued",
                 valPath.c_str(), current, kFirstReservedUID - 1);
      }
      // Only ever raise: UIDs handed to clients and deleted records may
      // hold UIDs above every UID the stores hold.
      if (current >= target) return;
    }
  }
  (void)WriteUIDFile(target);
}

UID GetInProcessUIDCounter() { return g_counter; }

UID GetUIDHighWaterMark() { return g_hasDirectory ? MarkFor(g_directory.c_str()) : 0; }

void SetLockFileRetryPolicy(int attempts, uint32_t sleepMs, LockSleepFunction sleep) {
  g_lockAttempts = attempts < 1 ? 1 : attempts;
  g_lockSleepMs = sleepMs;
  g_lockSleep = sleep;
}

void ResetUIDAllocation() {
  g_hasDirectory = false;
  g_directory.clear();
  g_counter = 0;
  g_markDirectory.clear();
  g_highWater = 0;
  g_lockAttempts = kLockFileAttempts;
  g_lockSleepMs = kLockFileRetryMs;
  g_lockSleep = nullptr;
}
