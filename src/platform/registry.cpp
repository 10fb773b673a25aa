// The file-backed registry: key directories, one atomically replaced values
// file per key, a lock file serialising writers of every process.
// Platform layer: calls platform/state_root.h, platform/atomic_file.h,
// platform/fs.h (private folders), POSIX files.
#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/atomic_file.h"
#include "platform/file_lock.h"
#include "platform/fs.h"
#include "platform/state_root.h"

namespace {

constexpr char kKeysFolder[] = "keys/";
constexpr char kValuesFile[] = "values";

// The registry's folders; the path of its lock file.
std::string MakeRegistryFolders() {
  std::string dir = GetStateRoot() + "registry/";
  MakePrivateDirectory(GetStateRoot());
  MakePrivateDirectory(dir);
  MakePrivateDirectory(dir + kKeysFolder);
  return dir + ".lock";
}

struct RegValue {
  std::string name;
  uint32_t type = 0;
  std::string data;
};

// Holds the registry's lock file: exclusive for changes, shared for reads.
struct RegLock {
  explicit RegLock(bool exclusive) : held(MakeRegistryFolders(), exclusive) {}
  HeldFileLock held;
};

bool EqualFold(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

bool SplitPath(const std::string& path, std::vector<std::string>& parts) {
  parts.clear();
  if (path.empty()) return true;  // the root key
  size_t from = 0;
  for (;;) {
    size_t at = path.find('\\', from);
    std::string part = path.substr(from, at == std::string::npos ? std::string::npos : at - from);
    if (!IsValidRegName(part)) return false;
    parts.push_back(part);
    if (at == std::string::npos) return true;
    from = at + 1;
  }
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The subkey folders of a key's directory, in name order (enumeration is stable).
int ListSubkeys(const std::string& keyDir, std::vector<std::string>& names) {
  names.clear();
  DIR* d = ::opendir((keyDir + kKeysFolder).c_str());
  if (d == nullptr) return errno == ENOENT ? 0 : errno;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == ".." || !IsValidRegName(n)) continue;
    if (IsDirectory(keyDir + kKeysFolder + n)) names.push_back(n);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return 0;
}

// The directory of an existing key; with `create`, missing keys are made.
int ResolveKey(const std::string& path, bool create, std::string& dir) {
  std::vector<std::string> parts;
  if (!SplitPath(path, parts)) return kRegBadName;
  dir = GetStateRoot() + "registry/";
  for (const std::string& part : parts) {
    std::vector<std::string> names;
    int rc = ListSubkeys(dir, names);
    if (rc != 0) return rc;
    const std::string* found = nullptr;
    for (const std::string& n : names) {
      if (EqualFold(n, part)) {
        found = &n;
        break;
      }
    }
    if (found != nullptr) {
      dir += kKeysFolder + *found + "/";
      continue;
    }
    if (!create) return kRegNotFound;
    MakePrivateDirectory(dir + kKeysFolder);
    dir += kKeysFolder + part + "/";
    if (!MakePrivateDirectory(dir)) return errno;
  }
  return 0;
}

void PutU32(std::string& out, uint32_t v) {
  unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  out.append(reinterpret_cast<const char*>(b), 4);
}

bool GetU32(const std::string& in, size_t& at, uint32_t& v) {
  if (in.size() - at < 4) return false;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(in.data() + at);
  v = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
  at += 4;
  return true;
}

int ReadValues(const std::string& dir, std::vector<RegValue>& values) {
  values.clear();
  int fd = ::open((dir + kValuesFile).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : errno;
  std::string bytes;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      return err;
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  size_t at = 0;
  while (at < bytes.size()) {
    RegValue v;
    uint32_t nameLen = 0, dataLen = 0;
    if (!GetU32(bytes, at, nameLen) || nameLen > kRegMaxNameBytes || bytes.size() - at < nameLen) return kRegCorrupt;
    v.name.assign(bytes, at, nameLen);
    at += nameLen;
    if (!GetU32(bytes, at, v.type) || !GetU32(bytes, at, dataLen) || dataLen > kRegMaxValueBytes ||
        bytes.size() - at < dataLen)
      return kRegCorrupt;
    v.data.assign(bytes, at, dataLen);
    at += dataLen;
    values.push_back(std::move(v));
  }
  return 0;
}

int WriteValues(const std::string& dir, const std::vector<RegValue>& values) {
  std::string bytes;
  for (const RegValue& v : values) {
    PutU32(bytes, static_cast<uint32_t>(v.name.size()));
    bytes += v.name;
    PutU32(bytes, v.type);
    PutU32(bytes, static_cast<uint32_t>(v.data.size()));
    bytes += v.data;
  }
  if (ReplaceFileAtomically(dir + kValuesFile, bytes.data(), bytes.size()) != ATOMIC_OK) return errno ? errno : EIO;
  return 0;
}

// The directory and the values of an existing key.
int LoadKeyValues(const std::string& path, std::string& dir, std::vector<RegValue>& values) {
  int rc = ResolveKey(path, false, dir);
  if (rc == 0) rc = ReadValues(dir, values);
  return rc;
}

// The index of the value of that name, or -1.
long FindValue(const std::vector<RegValue>& values, const std::string& name) {
  for (size_t i = 0; i < values.size(); ++i) {
    if (EqualFold(values[i].name, name)) return static_cast<long>(i);
  }
  return -1;
}

}  // namespace

bool IsValidRegName(const std::string& name) {
  if (name.empty() || name.size() > kRegMaxNameBytes || name == "." || name == "..") return false;
  return name.find('/') == std::string::npos && name.find('\0') == std::string::npos &&
         name.find('\\') == std::string::npos;
}

int RegCreateKey(const std::string& path) {
  RegLock hold(true);
  std::string dir;
  return ResolveKey(path, true, dir);
}

int RegOpenKey(const std::string& path) {
  RegLock hold(false);
  std::string dir;
  return ResolveKey(path, false, dir);
}

int RegFlushKey(const std::string& path) { return RegOpenKey(path); }

int RegEnumKey(const std::string& path, uint32_t index, std::string& name) {
  name.clear();
  RegLock hold(false);
  std::string dir;
  int rc = ResolveKey(path, false, dir);
  if (rc != 0) return rc;
  std::vector<std::string> names;
  rc = ListSubkeys(dir, names);
  if (rc != 0) return rc;
  if (index >= names.size()) return kRegNoMoreItems;
  name = names[index];
  return 0;
}

int RegDeleteKey(const std::string& path) {
  RegLock hold(true);
  std::string dir;
  int rc = ResolveKey(path, false, dir);
  if (rc != 0) return rc;
  if (path.empty()) return kRegBadName;  // the root stays
  std::vector<std::string> names;
  rc = ListSubkeys(dir, names);
  if (rc != 0) return rc;
  if (!names.empty()) return kRegHasSubkeys;
  if (::unlink((dir + kValuesFile).c_str()) != 0 && errno != ENOENT) return errno;
  ::rmdir((dir + kKeysFolder).c_str());
  // What a killed writer left beside the values file goes with the key.
  RemoveAtomicFileLeftovers(dir);
  if (::rmdir(dir.c_str()) != 0) return errno;
  return 0;
}

int RegSetValue(const std::string& path, const std::string& name, uint32_t type, const void* data, size_t size) {
  if (!IsValidRegName(name)) return kRegBadName;
  if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_DWORD) return kRegBadType;
  if (size > kRegMaxValueBytes || (type == REG_DWORD && size != 4)) return EINVAL;
  RegLock hold(true);
  std::string dir;
  std::vector<RegValue> values;
  int rc = LoadKeyValues(path, dir, values);
  if (rc != 0) return rc;
  std::string bytes(static_cast<const char*>(data), size);
  long at = FindValue(values, name);
  if (at < 0) values.push_back(RegValue{name, type, bytes});
  else values[static_cast<size_t>(at)] = RegValue{values[static_cast<size_t>(at)].name, type, bytes};
  return WriteValues(dir, values);
}

int RegSetString(const std::string& path, const std::string& name, uint32_t type, const std::string& text) {
  return RegSetValue(path, name, type, text.c_str(), text.size() + 1);
}

int RegSetDword(const std::string& path, const std::string& name, uint32_t value) {
  std::string bytes;
  PutU32(bytes, value);
  return RegSetValue(path, name, REG_DWORD, bytes.data(), bytes.size());
}

int RegQueryValue(const std::string& path, const std::string& name, uint32_t* type, void* buffer, uint32_t* size) {
  RegLock hold(false);
  std::string dir;
  std::vector<RegValue> values;
  int rc = LoadKeyValues(path, dir, values);
  if (rc != 0) return rc;
  long at = FindValue(values, name);
  if (at < 0) return kRegNotFound;
  const RegValue& v = values[static_cast<size_t>(at)];
  if (type != nullptr) *type = v.type;
  uint32_t room = *size;
  *size = static_cast<uint32_t>(v.data.size());
  if (v.data.size() > room || (buffer == nullptr && !v.data.empty())) return kRegMoreData;
  if (!v.data.empty()) std::memcpy(buffer, v.data.data(), v.data.size());
  return 0;
}

int RegDeleteValue(const std::string& path, const std::string& name) {
  RegLock hold(true);
  std::string dir;
  std::vector<RegValue> values;
  int rc = LoadKeyValues(path, dir, values);
  if (rc != 0) return rc;
  long at = FindValue(values, name);
  if (at < 0) return kRegNotFound;
  values.erase(values.begin() + at);
  return WriteValues(dir, values);
}

int RegListValues(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  RegLock hold(false);
  std::string dir;
  std::vector<RegValue> values;
  int rc = LoadKeyValues(path, dir, values);
  for (const RegValue& v : values) names.push_back(v.name);
  return rc;
}

int RegDeleteTree(const std::string& parent, const std::string& name) {
  const std::string path = parent.empty() ? name : parent + "\\" + name;
  int rc = RegOpenKey(path);
  if (rc != 0) return rc;
  for (;;) {
    std::string sub;
    rc = RegEnumKey(path, 0, sub);
    if (rc == kRegNoMoreItems) break;
    if (rc != 0) return rc;
    rc = RegDeleteTree(path, sub);
    if (rc != 0) return rc;
  }
  return RegDeleteKey(path);
}
