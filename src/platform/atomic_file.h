// Atomic replacement of a whole file: the new content goes to a temporary file
// in the same directory, is flushed and synced, and is renamed over the old
// file, whose directory is then synced. A failure at any step leaves the old
// file as it was, removes the temporary file and is reported to the caller.
// Every store file is written through here; the start-up removes what a killed
// process left. Platform layer: POSIX files; reports through platform/report.h.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// A temporary file is named after the file it replaces: "<name>.tmp" and six
// letters or digits chosen by mkostemp.
constexpr char kAtomicTempInfix[] = ".tmp";
constexpr size_t kAtomicTempSuffixLength = 6;

enum AtomicFileResult : int {
  ATOMIC_OK = 0,
  ATOMIC_OPEN_FAILED = 1,   // the temporary file could not be created
  ATOMIC_WRITE_FAILED = 2,  // a write, flush, sync, close or rename failed
};

// One replacement in progress. Write through `fp`; then AtomicFileCommit.
// Destroying an uncommitted AtomicFile removes the temporary file.
struct AtomicFile {
  FILE* fp = nullptr;
  std::string path;      // the file being replaced (a link's target, see AtomicFileBegin)
  std::string tempPath;  // the temporary file beside it
  int fd = -1;           // the temporary file's descriptor, owned by `fp`
  bool writeFailed = false;
  int savedErrno = 0;

  AtomicFile() = default;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();
};

// Creates the temporary file for `path`, with the mode of the file it replaces
// (0600 less the umask for a new one: see kPrivateFileMode) and, where the process may, its owner
// and group (as root a failed fchown fails; otherwise the new file belongs to
// the process, with the old group where the process is a member of it).
// A `path` that is a symbolic link is followed: the link stays, and the file
// it leads to (created when missing) is the one replaced, with the temporary
// file beside it. ATOMIC_OK, or ATOMIC_OPEN_FAILED (errno set: also a failed
// fchmod, a chain of more than 40 links, or no memory) with nothing left behind.
// Never throws.
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

// Test seam: every AtomicFileBegin fails its fchmod with `err` until cleared
// with 0.
void SetAtomicModeFailure(int err);

// Test seam for crash tests: the steps of a replacement after which the
// process can be made to stop dead (SIGKILL), as a crash there would.
enum AtomicStep : int {
  ATOMIC_STEP_NONE = 0,
  ATOMIC_STEP_WRITTEN = 1,     // the temporary file's bytes handed to the kernel, not yet synced
  ATOMIC_STEP_SYNCED = 2,      // the temporary file synced and closed (or a batch's file system synced)
  ATOMIC_STEP_RENAMED = 3,     // renamed over the old file, the directory not yet synced
  ATOMIC_STEP_DIR_SYNCED = 4,  // the directory synced: the replacement is complete
};
// The process stops the `nth` time (from 1) it passes `step`; ATOMIC_STEP_NONE
// clears the seam.
void SetAtomicStopAfterStep(AtomicStep step, int nth);

// ---- Leftovers of a killed process ---------------------------------------------

// Whether a file name has the form of this writer's temporary files. Loaders
// that list a folder pass over such names.
bool IsAtomicFileLeftoverName(const std::string& name);

// Removes the regular files named as this writer's temporary files from one
// folder (not its subfolders), reporting each removal and each failure. For
// the start-up, before any writer runs: a writer at work in the folder would
// lose its temporary file. The number removed; 0 for a missing folder; -1
// (reported, errno set) when the folder cannot be listed.
int RemoveAtomicFileLeftovers(const std::string& directory);
