// Directory creation, private files, the umask, temporary files, status,
// copy and delete.
// Platform layer: POSIX only.
#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/atomic_file.h"

namespace {
// The "Umask:" line of /proc/self/status (octal); false when there is none.
bool ReadUmaskFromProc(unsigned& mask) {
  FILE* fp = std::fopen("/proc/self/status", "r");
  if (fp == nullptr) return false;
  char line[256];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, fp) != nullptr) {
    if (std::strncmp(line, "Umask:", 6) == 0) {
      char* end = nullptr;
      unsigned long value = std::strtoul(line + 6, &end, 8);
      found = end != line + 6 && value <= 0777;
      mask = static_cast<unsigned>(value);
    }
  }
  std::fclose(fp);
  return found;
}

unsigned ReadUmaskOnce() {
  unsigned mask = 0;
  if (ReadUmaskFromProc(mask)) return mask;
  const mode_t old = ::umask(0);
  ::umask(old);
  return static_cast<unsigned>(old) & 0777;
}
}  // namespace

unsigned ProcessUmask() {
  static const unsigned mask = ReadUmaskOnce();
  return mask;
}

int OpenPrivateFile(const std::string& path, int flags) {
  return ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(kPrivateFileMode));
}

FILE* OpenPrivateStream(const std::string& path, const char* mode) {
  std::string m;
  for (const char* c = mode != nullptr ? mode : ""; *c != '\0'; ++c) {
    if (*c != 'b' && *c != 't') m += *c;
  }
  int flags;
  if (m == "r") flags = O_RDONLY;
  else if (m == "w") flags = O_WRONLY | O_CREAT | O_TRUNC;
  else if (m == "a") flags = O_WRONLY | O_CREAT | O_APPEND;
  else if (m == "r+") flags = O_RDWR;
  else {
    errno = EINVAL;
    return nullptr;
  }
  int fd = OpenPrivateFile(path, flags);
  if (fd < 0) return nullptr;
  FILE* fp = ::fdopen(fd, m.c_str());
  if (fp == nullptr) {
    const int err = errno;
    ::close(fd);
    errno = err;
  }
  return fp;
}

bool MakePrivateDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), static_cast<mode_t>(kPrivateDirectoryMode)) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

bool MakeSureDirectoryPathExists(const std::string& path) {
  size_t last = path.rfind('/');
  if (last == std::string::npos) return true;
  for (size_t i = 1; i <= last; ++i) {
    if (path[i] != '/' || path[i - 1] == '/') continue;
    if (!MakePrivateDirectory(path.substr(0, i))) return false;
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
