// Atomic replacement of a whole file: the new content goes to a temporary file
// in the same directory, is flushed and synced, and is renamed over the old
// file, whose directory is then synced. A failure at any step leaves the old
// file as it was and is reported to the caller. Every store file is written
// through here. Platform layer: POSIX files only.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

enum AtomicFileResult : int {
  ATOMIC_OK = 0,
  ATOMIC_OPEN_FAILED = 1,   // the temporary file could not be created
  ATOMIC_WRITE_FAILED = 2,  // a write, flush, sync, close or rename failed
};

// One replacement in progress. Write through `fp`; then AtomicFileCommit.
// Destroying an uncommitted AtomicFile removes the temporary file.
struct AtomicFile {
  FILE* fp = nullptr;
  std::string path;      // the file being replaced
  std::string tempPath;  // the temporary file beside it
  int fd = -1;           // the temporary file's descriptor, owned by `fp`
  bool writeFailed = false;
  int savedErrno = 0;

  AtomicFile() = default;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();
};

// Creates the temporary file for `path`. ATOMIC_OK or ATOMIC_OPEN_FAILED
// (errno set).
int AtomicFileBegin(AtomicFile& af, const std::string& path);

// Flushes, syncs, closes and renames the temporary file over `path`, then
// syncs the directory. ATOMIC_OK, or ATOMIC_WRITE_FAILED with the temporary
// file removed and `path` untouched (errno set).
int AtomicFileCommit(AtomicFile& af);

// Like AtomicFileCommit but without either sync: for batches that are made
// durable together by SyncFileSystemOf before their renames.
int AtomicFileCloseUnsynced(AtomicFile& af);
int AtomicFileRename(AtomicFile& af);
// Syncs the file system that holds `path` (a directory or a file in it):
// false (errno set) when it cannot be opened or the sync fails.
bool SyncFileSystemOf(const std::string& path);

// Drops the temporary file; `path` stays as it was.
void AtomicFileAbort(AtomicFile& af);

// The whole replacement in one call.
int ReplaceFileAtomically(const std::string& path, const void* data, size_t size);

// Test seam: the next atomic files fail once more than `bytes` bytes have been
// written to them (as a full disk would), until the seam is cleared with -1.
void SetAtomicWriteFailAfter(long bytes);
