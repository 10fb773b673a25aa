// Exclusive locks between processes on a lock file: flock on the open file,
// so the kernel drops the lock when its holder ends, however it ends. The
// file exists while it is held and is removed by the holder on release; a
// file left behind by a holder that died is locked and removed by the next.
// Platform layer: POSIX files only.
#pragma once

#include <string>

enum FileLockResult : int {
  FILE_LOCK_TAKEN = 0,   // held: release with ReleaseFileLock
  FILE_LOCK_BUSY = 1,    // held by another open file (or access denied): try again later
  FILE_LOCK_FAILED = 2,  // the file cannot be opened or locked (errno set)
};

// One attempt to take the lock on `path`: opens it (creating it when missing,
// empty, mode 0600 less the umask), locks it without waiting, and checks that
// the locked file is still the one at `path` (a holder that removed it on
// release leaves a lock on a file nobody else sees: BUSY, to try again).
// `lockFd` is the descriptor that holds the lock while TAKEN, -1 otherwise.
int TryLockFile(const std::string& path, int& lockFd);

// Removes the file at `path` while still holding the lock, then closes
// `lockFd` (which drops the lock). False (errno set) when the removal failed;
// the lock is dropped in every case.
bool ReleaseFileLock(const std::string& path, int lockFd);

// A lock on `path` (created when missing) held for the life of the object,
// waiting for it: exclusive for writers, shared for readers. Not removed at
// release. Held() is false when the file could not be opened.
class HeldFileLock {
 public:
  HeldFileLock(const std::string& path, bool exclusive);
  ~HeldFileLock();
  HeldFileLock(const HeldFileLock&) = delete;
  HeldFileLock& operator=(const HeldFileLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};
