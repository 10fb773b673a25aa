// String, text-validity and whole-file helpers.
// Foundation layer: the log, the platform files.
#include "foundation/util/util.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <bit>
#include <cstring>
#include <exception>
#include <functional>
#include <new>

#include <locale.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "platform/atomic_file.h"
#include "platform/fs.h"

namespace {
inline unsigned char FoldAscii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }
inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

char* UpperCaseString(char* text) {
  if (text == nullptr) return nullptr;
  for (char* p = text; *p; ++p)
    if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 32);
  return text;
}

void UpperCaseString(std::string& text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
}

char* TrimString(char* text) {
  if (text == nullptr) return nullptr;
  while (IsBlank(*text)) ++text;
  size_t len = strlen(text);
  while (len > 0 && IsBlank(text[len - 1])) text[--len] = '\0';
  return text;
}

std::string_view TrimBlanks(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return text.substr(b, e - b);
}

char* SafeStrCopy(char* dest, const char* source, size_t size) {
  if (dest == nullptr || size == 0) return dest;
  if (source == nullptr) {
    dest[0] = '\0';
    return dest;
  }
  size_t len = strnlen(source, size);
  if (len >= size) {
    memcpy(dest, source, size - 1);
    dest[size - 1] = '\0';
    WriteLog(0, "%s exceeds %d, truncating to >\n%s", source, static_cast<int>(size - 1), dest);
  } else {
    memcpy(dest, source, len + 1);
  }
  return dest;
}

int IsNumericString(const char* text) {
  if (text == nullptr) return 0;
  // The "C" locale whatever the process's: the decimal point is always '.'.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  char* end = nullptr;
  if (cLocale != static_cast<locale_t>(0)) {
    strtod_l(text, &end, cLocale);
  } else {
    strtod(text, &end);
  }
  return *end == '\0' ? 1 : 0;
}

namespace {

// FoldAscii on each of the 8 bytes of a word at once: 0x20 added to every
// byte from 'A' to 'Z', every other byte (those from 0x80 too) unchanged.
// No byte's sum carries into the next: each is at most 0x7F plus 0x3F.
uint64_t FoldAsciiWord(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  const uint64_t low = w & ~kHigh;
  const uint64_t atLeastA = (low + (0x80 - 'A') * kOnes) & kHigh;
  const uint64_t pastZ = (low + (0x80 - 'Z' - 1) * kOnes) & kHigh;
  const uint64_t upper = atLeastA & ~pastZ & ~w;
  return w + (upper >> 2);
}

uint64_t LoadWord(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

}  // namespace

// Eight bytes at a time while both texts have them (the names compared most
// often share long beginnings), the rest as the last eight bytes of the
// shorter length; byte by byte only below eight bytes.
int CompareNoCase(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  size_t i = 0;
  static_assert(std::endian::native == std::endian::little, "the first byte of a word is its lowest");
  for (; i + 8 <= n; i += 8) {
    const uint64_t wa = LoadWord(a.data() + i);
    const uint64_t wb = LoadWord(b.data() + i);
    if (wa == wb) continue;
    const uint64_t fa = FoldAsciiWord(wa);
    const uint64_t fb = FoldAsciiWord(wb);
    if (fa == fb) continue;
    const int shift = __builtin_ctzll(fa ^ fb) & ~7;  // the first byte that differs
    const unsigned ca = static_cast<unsigned>((fa >> shift) & 0xFF);
    const unsigned cb = static_cast<unsigned>((fb >> shift) & 0xFF);
    return ca < cb ? -1 : 1;
  }
  if (i < n && n >= 8) {
    // The last eight bytes of the shorter length, overlapping bytes already
    // found equal: the first that differs is one not yet compared.
    const uint64_t fa = FoldAsciiWord(LoadWord(a.data() + n - 8));
    const uint64_t fb = FoldAsciiWord(LoadWord(b.data() + n - 8));
    if (fa != fb) {
      const int shift = __builtin_ctzll(fa ^ fb) & ~7;
      const unsigned ca = static_cast<unsigned>((fa >> shift) & 0xFF);
      const unsigned cb = static_cast<unsigned>((fb >> shift) & 0xFF);
      return ca < cb ? -1 : 1;
    }
    i = n;
  }
  for (; i < n; ++i) {
    unsigned char ca = FoldAscii(static_cast<unsigned char>(a[i]));
    unsigned char cb = FoldAscii(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

int CompareStringValues(const char* a, const char* b) {
  return CompareNoCase(a ? std::string_view(a) : std::string_view(), b ? std::string_view(b) : std::string_view());
}

std::string FoldNoCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

namespace {
bool IsCSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
}  // namespace

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

uint32_t ParseHex32LikeStrtoul(std::string_view text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // "0x" is a prefix only when a hex digit follows; otherwise the "0" alone
  // is the number and the 'x' ends it.
  if (i + 2 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') && HexDigitValue(text[i + 2]) >= 0) {
    i += 2;
  }
  uint64_t value = 0;
  bool any = false;
  bool overflow = false;
  for (; i < n; ++i) {
    const int d = HexDigitValue(text[i]);
    if (d < 0) break;
    any = true;
    if (!overflow) {  // strtoul consumes every digit even past the range
      value = value * 16 + static_cast<uint64_t>(d);
      if (value > 0xFFFFFFFFull) overflow = true;
    }
  }
  if (!any) return 0;
  if (overflow) return 0xFFFFFFFFu;  // ULONG_MAX of a 32-bit unsigned long
  const uint32_t v = static_cast<uint32_t>(value);
  return negative ? static_cast<uint32_t>(0u - v) : v;
}

bool IsValidXmlText(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size(), i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
      ++i;
      continue;
    }
    uint32_t cp;
    size_t len;
    if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F;
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F;
      len = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07;
      len = 4;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    // Overlong forms, surrogates, beyond U+10FFFF, and the two non-characters.
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    if (cp == 0xFFFE || cp == 0xFFFF) return false;
    i += len;
  }
  return true;
}

bool IsAsciiXmlName(std::string_view text) {
  if (text.empty()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (i == 0 ? !letter : !(letter || other)) return false;
  }
  return true;
}

int FileExists(const std::string& path) { return ProbePath(path) == PATH_MISSING ? 0 : 1; }

int32_t GetSizeOfFile(const std::string& path) {
  FileStatus st;
  if (path.empty() || !GetFileStatus(path, st)) return -1;
  // A size the 32-bit result cannot hold is a failed stat, not a wrapped number.
  if (st.size < 0 || st.size > INT32_MAX) return -1;
  return static_cast<int32_t>(st.size);
}

namespace {

// Opens a regular file for a quiet read: the descriptor and the file's size,
// or -1 with `result` set (21 missing, 14 cannot be opened or not a regular
// file, 46 a failed fstat).
int OpenRegularFileQuietly(int dirFd, const char* name, FileReadResult& result, size_t& fileSize) {
  // One open says both whether the file is there and whether it can be read:
  // missing (ENOENT, or ENOTDIR for a path through a regular file) is 21,
  // any other refusal 14.
  // Without an access-time update where the process may ask for that (it
  // owns the file): a load reading every users file would otherwise dirty
  // each one's inode, and the first sync after it would write them all.
  // Without waiting either: an open of a FIFO in the file's place would wait
  // for a writer (a load would hang); non-blocking, it opens at once and is
  // refused below as not a regular file (the flag means nothing to the read
  // of a regular file).
  int flags = O_RDONLY | O_CLOEXEC | O_NOATIME | O_NONBLOCK;
  int fd;
  for (;;) {
    fd = ::openat(dirFd, name, flags);
    if (fd >= 0 || (errno != EINTR && !(errno == EPERM && (flags & O_NOATIME) != 0))) break;
    if (errno == EPERM) flags &= ~O_NOATIME;  // not the owner: an ordinary open
  }
  if (fd < 0) {
    result.error = errno;
    result.code = (errno == ENOENT || errno == ENOTDIR) ? FR_FILE_NOT_FOUND : FR_CANNOT_OPEN_FILE;
    return -1;
  }
  // The size comes from the open file: a directory or a special file has none
  // worth allocating.
  struct stat raw;
  if (fstat(fd, &raw) != 0) {
    result.error = errno;
    ::close(fd);
    result.code = FR_READ_FAILED;
    return -1;
  }
  if (!S_ISREG(raw.st_mode)) {
    ::close(fd);
    result.code = FR_CANNOT_OPEN_FILE;
    return -1;
  }
  fileSize = static_cast<size_t>(raw.st_size);
  return fd;
}

}  // namespace

FileReadResult ReadFileQuietly(int dirFd, const char* name, std::string& out) {
  out.clear();  // keeps its capacity: a caller reading many files reuses one buffer
  FileReadResult result;
  size_t fileSize = 0;
  const int fd = OpenRegularFileQuietly(dirFd, name, result, fileSize);
  if (fd < 0) return result;
  // One byte of room beyond the size fstat gave: a read of a regular file
  // that returns fewer bytes than asked has met the file's end, so one read
  // call takes a file whose size held. Only a read that fills the buffer
  // (the file grew) goes on, to the end.
  size_t size = 0;
  try {
    out.resize(fileSize + 1);
    for (;;) {
      if (size == out.size()) out.resize(out.size() * 2);
      const size_t asked = out.size() - size;
      const ssize_t n = ::read(fd, out.data() + size, asked);
      if (n < 0) {
        if (errno == EINTR) continue;
        result.error = errno;
        result.readCallFailed = true;
        ::close(fd);
        out.clear();
        errno = result.error;
        result.code = FR_READ_FAILED;
        return result;
      }
      size += static_cast<size_t>(n);
      if (static_cast<size_t>(n) < asked) break;
    }
  } catch (const std::exception&) {  // bad_alloc, or length_error past max_size
    ::close(fd);
    out.clear();
    result.code = FR_NO_MEMORY;
    return result;
  }
  ::close(fd);
  out.resize(size);
  return result;
}

int LogFileReadResult(const FileReadResult& result, const std::string& path) {
  if (result.readCallFailed) {
    errno = result.error;
    WriteLog(1, "Error reading from file %s", path.c_str());
  }
  return result.code;
}

int ReadFileToBuffer(const std::string& path, std::string& out) {
  return LogFileReadResult(ReadFileQuietly(AT_FDCWD, path.c_str(), out), path);
}

bool FileHoldsPieces(const std::string& path, const std::function<void(std::string&)>& next) {
  FileReadResult result;
  size_t fileSize = 0;
  const int fd = OpenRegularFileQuietly(AT_FDCWD, path.c_str(), result, fileSize);
  if (fd < 0) return false;
  bool same = true;
  try {
    std::string piece, onDisk;
    for (;;) {
      piece.clear();
      next(piece);
      // After the last piece, one more byte asked for must meet the end.
      const size_t want = piece.empty() ? 1 : piece.size();
      onDisk.resize(want);
      size_t got = 0;
      while (got < want) {
        const ssize_t n = ::read(fd, onDisk.data() + got, want - got);
        if (n < 0) {
          if (errno == EINTR) continue;
          result.error = errno;
          result.readCallFailed = true;
          break;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
      }
      if (result.readCallFailed) {
        same = false;
        break;
      }
      if (piece.empty()) {
        same = got == 0;
        break;
      }
      if (got != want || std::memcmp(onDisk.data(), piece.data(), want) != 0) {
        same = false;
        break;
      }
    }
  } catch (const std::bad_alloc&) {
    same = false;
  }
  ::close(fd);
  if (result.readCallFailed) LogFileReadResult(result, path);
  return same;
}

bool ReadFileIntoMemory(const std::string& path, std::vector<unsigned char>& out) {
  out.clear();
  std::string data;
  int rc = ReadFileToBuffer(path, data);
  if (rc == FR_FILE_NOT_FOUND || rc == FR_CANNOT_OPEN_FILE) {
    WriteLog(1, "Cannot open file %s", path.c_str());
    return false;
  }
  if (rc == FR_NO_MEMORY) {
    WriteLog(1, "Unable to create buffer for %s", path.c_str());
    return false;
  }
  if (rc != FR_OK) {
    WriteLog(1, "Unable to read %s into memory", path.c_str());
    return false;
  }
  out.assign(data.begin(), data.end());
  return true;
}

int64_t WriteMemoryToFile(const std::string& path, const void* data, size_t size) {
  AtomicFile af;
  if (AtomicFileBegin(af, path) != ATOMIC_OK) {
    WriteLog(0, "Cannot open '%s' to store file: WinErr %d", path.c_str(), errno);
    return -1;
  }
  if (size > 0 && fwrite(data, 1, size, af.fp) != size) {
    af.writeFailed = true;
    af.savedErrno = errno;
  }
  if (AtomicFileCommit(af) != ATOMIC_OK) {
    WriteLog(0, "Cannot write %d bytes of file to '%s': WinErr %d", static_cast<int>(size), path.c_str(), errno);
    return -1;
  }
  return static_cast<int64_t>(size);
}

bool MakeTempFileName(std::string& pathOut) {
  if (!CreateTempFile("QMX", pathOut)) {
    WriteLog(1, "Unable to get temporary file name");
    return false;
  }
  return true;
}

int StatFile(const std::string& path, FileStatus& out) {
  out = FileStatus();
  if (path.empty()) return -1;
  return GetFileStatus(path, out) ? 0 : -1;
}

int64_t GetFileModTime(const std::string& path) {
  FileStatus st;
  return StatFile(path, st) == 0 ? st.modTime : 0;
}

int HasFileChanged(const std::string& path, int64_t time) {
  FileStatus st;
  if (StatFile(path, st) != 0) return 0;
  return st.modTime != time ? 1 : 0;
}

char* ReadFileLine(FILE* fp, char* buffer, size_t size) {
  if (fp == nullptr || buffer == nullptr || size < 2) return nullptr;
  size_t n = 0;
  int c = EOF;
  bool any = false;
  while (n < size - 1 && (c = fgetc(fp)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (c == '\r') continue;
    buffer[n++] = static_cast<char>(c);
  }
  buffer[n] = '\0';
  return any ? buffer : nullptr;
}
