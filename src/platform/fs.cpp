// Directory creation, temporary files, status, copy and delete.
// Platform layer: POSIX only.
#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/atomic_file.h"

bool MakeSureDirectoryPathExists(const std::string& path) {
  size_t last = path.rfind('/');
  if (last == std::string::npos) return true;
  for (size_t i = 1; i <= last; ++i) {
    if (path[i] != '/' || path[i - 1] == '/') continue;
    std::string dir = path.substr(0, i);
    if (::mkdir(dir.c_str(), 0777) == 0) continue;
    if (errno != EEXIST) return false;
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
  }
  return true;
}

std::string TempDirectory() {
  const char* t = std::getenv("TMPDIR");
  std::string dir = (t != nullptr && *t != '\0') ? t : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

bool CreateTempFile(const std::string& prefix, std::string& pathOut) {
  std::string tmpl = TempDirectory() + prefix + "XXXXXX.tmp";
  int fd = ::mkstemps(tmpl.data(), 4);
  if (fd < 0) return false;
  ::close(fd);
  pathOut = tmpl;
  return true;
}

PathState ProbePath(const std::string& path) {
  if (::access(path.c_str(), F_OK) == 0) return PATH_EXISTS;
  return (errno == ENOENT || errno == ENOTDIR) ? PATH_MISSING : PATH_EXISTS;
}

bool GetFileStatus(const std::string& path, FileStatus& out) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  out.isRegular = S_ISREG(st.st_mode);
  out.isDirectory = S_ISDIR(st.st_mode);
  out.size = static_cast<int64_t>(st.st_size);
  out.modTime = static_cast<int64_t>(st.st_mtime);
  return true;
}

bool CopyWholeFile(const std::string& from, const std::string& to) {
  int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<char> data;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      errno = err;
      return false;
    }
    if (n == 0) break;
    data.insert(data.end(), buf, buf + n);
  }
  ::close(fd);
  return ReplaceFileAtomically(to, data.data(), data.size()) == ATOMIC_OK;
}

bool ForEachDirectoryName(const std::string& directory, const std::function<void(const char* name)>& each) {
  DIR* d = ::opendir(directory.c_str());
  if (d == nullptr) return false;
  int err = 0;
  try {
    for (;;) {
      errno = 0;
      struct dirent* e = ::readdir(d);
      if (e == nullptr) break;
      const char* n = e->d_name;
      if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
      each(n);
    }
    err = errno;
  } catch (...) {
    ::closedir(d);
    throw;
  }
  ::closedir(d);
  if (err != 0) {
    errno = err;
    return false;
  }
  return true;
}

bool ListDirectory(const std::string& directory, std::vector<std::string>& names) {
  names.clear();
  if (!ForEachDirectoryName(directory, [&](const char* name) { names.emplace_back(name); })) {
    const int err = errno;
    names.clear();
    errno = err;
    return false;
  }
  return true;
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }
