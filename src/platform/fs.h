// File-system services the stores need beyond stdio: directory creation,
// private files, the process's umask, temporary files, file status, copy and
// delete.
// Platform layer: POSIX only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// ---- Private files ------------------------------------------------------------------------
//
// Whatever the server creates (the home, its store files with their password
// hashes, the ring log with its session IDs, the lock and counter files, the
// service layers' state) is the account's own: directories 0700, files 0600,
// each less the umask. A file or directory that already exists keeps its mode.

constexpr unsigned kPrivateDirectoryMode = 0700;
constexpr unsigned kPrivateFileMode = 0600;

// The process's umask, read once (from /proc/self/status, which reads it
// without changing it; where that is missing, by setting it and back, the
// first call being made at start-up before any other thread runs) and then
// kept: nothing in the server sets the umask.
unsigned ProcessUmask();

// Opens `path` as open(2) does with `flags`, O_CLOEXEC added, creating a
// missing file with kPrivateFileMode (less the umask). The descriptor, or -1
// (errno set).
int OpenPrivateFile(const std::string& path, int flags);

// fopen with the modes "r", "w", "a" and "r+" (a 'b' or 't' anywhere is
// ignored), creating a missing file with kPrivateFileMode. Null (errno set)
// when it cannot be opened or the mode is none of these.
FILE* OpenPrivateStream(const std::string& path, const char* mode);

// Creates one directory with kPrivateDirectoryMode. True when a directory is
// there afterwards (made now or already there); false (errno set, ENOTDIR
// for something else at the path) otherwise.
bool MakePrivateDirectory(const std::string& path);

// Creates every directory of `path` up to its last '/' (what follows the last
// '/' is a file name and is not created), like `mkdir -p`, each new one with
// kPrivateDirectoryMode. True when they all exist afterwards (errno set when
// not).
bool MakeSureDirectoryPathExists(const std::string& path);

// The temporary directory: $TMPDIR when set and non-empty, else "/tmp"; always
// ending in '/'.
std::string TempDirectory();

// Creates a new, empty, uniquely named file "<temp dir><prefix>XXXXXX.tmp" and
// gives its path. False (errno set) when none can be made.
bool CreateTempFile(const std::string& prefix, std::string& pathOut);

enum PathState : int {
  PATH_MISSING = 0,   // no such file (or a path through a regular file)
  PATH_EXISTS = 1,    // exists, or cannot be examined for another reason
};
// Whether anything exists at `path`, as access(path, F_OK) tells it.
PathState ProbePath(const std::string& path);

struct FileStatus {
  bool isRegular = false;
  bool isDirectory = false;
  int64_t size = 0;
  int64_t modTime = 0;
};
// stat of the path; false (errno set) when it fails.
bool GetFileStatus(const std::string& path, FileStatus& out);

// Copies a whole file (the destination replaced atomically); false on failure.
bool CopyWholeFile(const std::string& from, const std::string& to);

// The names in a directory, "." and ".." left out, in no particular order.
// False (errno set, `names` empty) when it cannot be read.
bool ListDirectory(const std::string& directory, std::vector<std::string>& names);

// Calls `each` with every name in a directory ("." and ".." left out), in
// no particular order, keeping none of them: a directory of a great many
// files costs no list. False (errno set) when it cannot be read; `each` may
// have seen some names by then.
bool ForEachDirectoryName(const std::string& directory, const std::function<void(const char* name)>& each);

// Removes a file; false (errno set) when it fails.
bool DeleteFile(const std::string& path);
