// File-system services the stores need beyond stdio: directory creation,
// temporary files, file status, copy and delete.
// Platform layer: POSIX only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Creates every directory of `path` up to its last '/' (what follows the last
// '/' is a file name and is not created), like `mkdir -p`. True when they all
// exist afterwards.
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
