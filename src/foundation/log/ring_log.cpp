// The log call and the ring log file: a header block and N-1 record slots of
// 1024 bytes reused in turn. The file is kept open and mapped once its slots
// exist, so a record is two copies into the page cache and no system call; it
// can still be read, copied or removed between records (a removed or
// replaced file is let go at the next FlushLogOutput and the path opened
// again, as a record written after that would have found it).
// Foundation layer: the platform's block file and standard-error writes,
// stdio for the start-up checks and the tee file (created private through
// platform/fs.h), the byte-order helpers, the platform clock; receives the
// platform layer's reports.
#include "foundation/log/ring_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

#include "foundation/log/log_format.h"
#include "foundation/util/byte_order.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/log_sinks.h"
#include "platform/report.h"

namespace {

// The six words of a header block (its other bytes are left as they are).
void EncodeLogFileHeaderWords(const LogFileHeader& h, unsigned char out[kLogBlockSize]);

std::optional<std::string> g_logFileName;
std::optional<std::string> g_teeFileName;
LogFileHeader g_header;
bool g_headerRead = false;
// The ring log file, open from the first record after it was named (or made)
// until it is named again, recreated, or found removed.
BlockFile g_ringFile;
// The last console line: a fixed buffer, so the log call never allocates and
// can be used on every path, out-of-memory paths included.
char g_logLine[kLogTextMax + 32];
uint32_t g_lastTick = 0;         // tick count of the previous LogTicksSinceLastLog
bool g_lastTickLogged = false;   // false until its first call

// Console lines held while deferral is on, written by FlushLogOutput.
char g_console[kLogConsoleHoldBytes];
size_t g_consoleHeld = 0;
bool g_consoleDeferred = false;
bool g_flushAtExitInstalled = false;
// Tick count of the last look at whether the ring log file is still in place;
// the first flush after the file was let go looks at once.
uint32_t g_lastFileCheck = 0;
bool g_fileCheckDue = true;
// The header block was written whole since the file was opened: its bytes
// past the words are the zeros of the format.
bool g_headerWrittenWhole = false;
constexpr size_t kLogHeaderWordBytes = 24;  // the six words of the header

// A header that records may be written under: anything else (another version,
// a next slot outside 1..N-1) would never wrap or would write over block 0.
bool HeaderIsSound(const LogFileHeader& h) {
  return h.version == kLogVersion && h.nextSlot >= 1 && h.nextSlot < h.slotCount;
}

bool ReadHeaderBlock(FILE* fp, LogFileHeader& out) {
  unsigned char block[kLogBlockSize];
  if (fseek(fp, 0, SEEK_SET) != 0) return false;
  if (fread(block, 1, kLogBlockSize, fp) != kLogBlockSize) return false;
  out = DecodeLogFileHeader(block);
  return true;
}

// Formats into `buf` (kLogTextMax bytes); a longer text is cut, a failed
// format leaves it empty. Allocates nothing.
void FormatText(char (&buf)[kLogTextMax], const char* format, va_list ap) {
  if (FormatLogText(buf, sizeof buf, format, ap) < 0) buf[0] = 0;
}

// g_logLine = the text, with " : <code>" after it when the flag is set. The
// length of the line.
size_t MakeLine(const char* text, int errorFlag, int errorCode) {
  size_t len = strnlen(text, kLogTextMax - 1);
  memcpy(g_logLine, text, len);
  g_logLine[len] = 0;
  if (errorFlag) {
    int more = snprintf(g_logLine + len, sizeof g_logLine - len, " : %d", errorCode);
    if (more > 0) len += static_cast<size_t>(more);
  }
  return len;
}

void CloseRingFile() {
  CloseBlockFile(g_ringFile);
  g_fileCheckDue = true;
  g_headerWrittenWhole = false;
}

// Writes the record of `text` (errno field `errnoValue`) to the next slot, and
// the header behind it. Every failure loses the record and nothing else: a
// file that cannot be opened is tried again at the next record, a header that
// cannot be read or is unsound is read again at the next record.
void WriteRecord(uint32_t type, const char* text, int errnoValue) {
  if (text == nullptr || !g_logFileName) return;

  if (g_ringFile.fd < 0 && !OpenBlockFile(g_logFileName->c_str(), g_ringFile)) return;
  if (!g_headerRead) {
    unsigned char hb[kLogBlockSize];
    if (!ReadBlockFile(g_ringFile, 0, hb, kLogBlockSize)) {
      CloseRingFile();
      return;
    }
    LogFileHeader h = DecodeLogFileHeader(hb);
    if (!HeaderIsSound(h)) {
      CloseRingFile();
      return;
    }
    g_header = h;
    g_headerRead = true;
  }
  // The whole ring: the slots that exist go through the mapping, the first
  // use of each further slot through pwrite, which grows the file.
  MapBlockFile(g_ringFile, static_cast<uint64_t>(g_header.slotCount) * kLogBlockSize);

  // Built apart and copied whole, so a reader of the file never sees a slot
  // or the header half cleared. The record is the bytes EncodeLogRecord
  // gives a record of this text, made without the record in between: the
  // text once, and zeros only where no field or text goes.
  unsigned char block[kLogBlockSize];
  const size_t len = strnlen(text, kLogMessageMax);
  PutLE32(block + 0, g_header.nextSequence++);
  PutLE32(block + 4, type);
  PutLE32(block + 8, static_cast<uint32_t>(errnoValue));
  PutLE32(block + 12, NowTime32());
  memset(block + 16, 0, kLogMessageOffset - 16);  // the name and the spare words
  memcpy(block + kLogMessageOffset, text, len);
  memset(block + kLogMessageOffset + len, 0, kLogBlockSize - kLogMessageOffset - len);
  const uint64_t offset = static_cast<uint64_t>(g_header.nextSlot) * kLogBlockSize;
  if (!WriteBlockFile(g_ringFile, offset, block, kLogBlockSize)) return;
  if (++g_header.nextSlot >= g_header.slotCount) g_header.nextSlot = 1;
  // The header block is its six words and zeros. The first record after the
  // file was opened writes it whole; from then on only the words change, and
  // only they are written.
  static unsigned char header[kLogBlockSize] = {};
  EncodeLogFileHeaderWords(g_header, header);
  const size_t headerBytes = g_headerWrittenWhole ? kLogHeaderWordBytes : kLogBlockSize;
  if (WriteBlockFile(g_ringFile, 0, header, headerBytes)) g_headerWrittenWhole = true;
}

void WriteHeldConsole() {
  if (g_consoleHeld == 0) return;
  WriteStandardErrorBytes(g_console, g_consoleHeld);
  g_consoleHeld = 0;
}

// One console line: written at once, or held while deferral is on (an
// error-flagged line goes out at once with what was held before it, in order).
void WriteConsoleLine(size_t len, int errorFlag) {
  g_logLine[len] = '\n';  // the line's NUL, given back below
  if (!g_consoleDeferred) {
    WriteStandardErrorBytes(g_logLine, len + 1);
  } else {
    if (g_consoleHeld + len + 1 > sizeof g_console) WriteHeldConsole();
    if (len + 1 > sizeof g_console) {
      WriteStandardErrorBytes(g_logLine, len + 1);
    } else {
      memcpy(g_console + g_consoleHeld, g_logLine, len + 1);
      g_consoleHeld += len + 1;
    }
    if (errorFlag) WriteHeldConsole();
  }
  g_logLine[len] = 0;
}

void FlushAtExit() { WriteHeldConsole(); }

// The platform layer's own reports go through the log call from the start of
// the process (the platform cannot call up to the log itself).
void ReportThroughLog(int errorFlag, const char* text) { WriteLog(errorFlag, "%s", text); }
const bool g_reportInstalled = (SetPlatformReportFunction(ReportThroughLog), true);

}  // namespace

void EncodeLogFileHeader(const LogFileHeader& h, unsigned char out[kLogBlockSize]) {
  memset(out, 0, kLogBlockSize);
  EncodeLogFileHeaderWords(h, out);
}

namespace {
void EncodeLogFileHeaderWords(const LogFileHeader& h, unsigned char out[kLogBlockSize]) {
  PutLE32(out + 0, h.version);
  PutLE32(out + 4, h.creationArg);
  PutLE32(out + 8, h.spare);
  PutLE32(out + 12, h.slotCount);
  PutLE32(out + 16, h.nextSlot);
  PutLE32(out + 20, h.nextSequence);
}
}  // namespace

LogFileHeader DecodeLogFileHeader(const unsigned char in[kLogBlockSize]) {
  LogFileHeader h;
  h.version = GetLE32(in + 0);
  h.creationArg = GetLE32(in + 4);
  h.spare = GetLE32(in + 8);
  h.slotCount = GetLE32(in + 12);
  h.nextSlot = GetLE32(in + 16);
  h.nextSequence = GetLE32(in + 20);
  return h;
}

void EncodeLogRecord(const LogRecord& r, unsigned char out[kLogBlockSize]) {
  memset(out, 0, kLogBlockSize);
  PutLE32(out + 0, r.sequence);
  PutLE32(out + 4, r.type);
  PutLE32(out + 8, r.errnoValue);
  PutLE32(out + 12, r.time);
  memcpy(out + 16, r.name, sizeof r.name);
  for (int i = 0; i < 5; ++i) PutLE32(out + 48 + 4 * i, r.spare[i]);
  memcpy(out + kLogMessageOffset, r.message, sizeof r.message);
  out[kLogBlockSize - 1] = 0;
}

LogRecord DecodeLogRecord(const unsigned char in[kLogBlockSize]) {
  LogRecord r;
  r.sequence = GetLE32(in + 0);
  r.type = GetLE32(in + 4);
  r.errnoValue = GetLE32(in + 8);
  r.time = GetLE32(in + 12);
  memcpy(r.name, in + 16, sizeof r.name);
  for (int i = 0; i < 5; ++i) r.spare[i] = GetLE32(in + 48 + 4 * i);
  memcpy(r.message, in + kLogMessageOffset, sizeof r.message);
  r.message[sizeof r.message - 1] = 0;
  return r;
}

void WriteLog(int errorFlag, const char* format, ...) {
  // The error code first: formatting may change errno.
  int errorCode = errno;
  va_list ap;
  va_start(ap, format);
  char text[kLogTextMax];
  FormatText(text, format, ap);
  va_end(ap);

  WriteRecord(0, text, errorCode);
  size_t len = MakeLine(text, errorFlag, errorCode);

  if (g_teeFileName) {
    if (FILE* tee = OpenPrivateStream(*g_teeFileName, "at")) {
      fprintf(tee, "%s\n", g_logLine);
      fclose(tee);
    }
  }
  WriteConsoleLine(len, errorFlag);
  errno = errorCode;
}

void WriteLogRecord(uint32_t type, const char* text) { WriteRecord(type, text, errno); }

void SetLogFileName(const char* name) {
  if (name) g_logFileName = name;
  else g_logFileName.reset();
  CloseRingFile();
  g_headerRead = false;
}

const std::string* GetLogFileName() { return g_logFileName ? &*g_logFileName : nullptr; }

void SetLogTeeFileName(const char* name) {
  if (name) g_teeFileName = name;
  else g_teeFileName.reset();
}

int CreateLogFile(uint32_t creationArg, uint32_t slotCount) {
  if (!g_logFileName) return -1;
  CloseRingFile();  // the file is cut to its header: the old mapping must go first
  FILE* fp = OpenPrivateStream(*g_logFileName, "wb");  // its records hold session IDs
  if (fp == nullptr) return -1;
  LogFileHeader h;
  h.version = kLogVersion;
  h.creationArg = creationArg;
  h.slotCount = slotCount;
  h.nextSlot = 1;
  h.nextSequence = 1;
  unsigned char block[kLogBlockSize];
  EncodeLogFileHeader(h, block);
  bool ok = fwrite(block, 1, kLogBlockSize, fp) == kLogBlockSize;
  if (fclose(fp) != 0) ok = false;
  g_headerRead = false;
  if (!ok) {
    remove(g_logFileName->c_str());
    return -1;
  }
  return 0;
}

int GetLogSlotCount() {
  if (!g_logFileName) return -1;
  FILE* fp = fopen(g_logFileName->c_str(), "rb");
  if (fp == nullptr) return -1;
  LogFileHeader h;
  bool ok = ReadHeaderBlock(fp, h);
  fclose(fp);
  return ok ? static_cast<int>(h.slotCount) : -1;
}

int PrepareLogFile(uint32_t slotCount) {
  if (!g_logFileName) return -1;
  CloseRingFile();
  g_headerRead = false;  // the next record reads the header of the file kept or made here
  if (GetLogSlotCount() == static_cast<int>(slotCount)) {
    FILE* fp = fopen(g_logFileName->c_str(), "rb");
    LogFileHeader h;
    bool sound = fp != nullptr && ReadHeaderBlock(fp, h) && HeaderIsSound(h);
    if (fp) fclose(fp);
    if (sound) return 0;
  }
  return CreateLogFile(0, slotCount);
}

void SwapLogHeader(LogFileHeader& h) {
  for (uint32_t* w : {&h.version, &h.creationArg, &h.spare, &h.slotCount, &h.nextSlot, &h.nextSequence})
    *w = __builtin_bswap32(*w);
}

void SwapLogRecord(LogRecord& r) {
  for (uint32_t* w : {&r.sequence, &r.type, &r.errnoValue, &r.time}) *w = __builtin_bswap32(*w);
  for (uint32_t& w : r.spare) w = __builtin_bswap32(w);
}

bool ReadRecentLogRecords(int n, std::vector<std::string>& lines) {
  lines.clear();
  if (n < 1 || !g_logFileName) return false;
  FILE* fp = fopen(g_logFileName->c_str(), "rb");
  if (fp == nullptr) return false;
  LogFileHeader h;
  bool swapped = false;
  if (!ReadHeaderBlock(fp, h)) {
    fclose(fp);
    return false;
  }
  if (h.version != kLogVersion && __builtin_bswap32(h.version) == kLogVersion) {
    SwapLogHeader(h);
    swapped = true;
  }
  // The walk below relies on a next slot inside 1..N-1; anything else is not a
  // ring log file this code can read back.
  if (!HeaderIsSound(h)) {
    fclose(fp);
    return false;
  }
  uint32_t slot = h.nextSlot;
  for (uint32_t walked = 0; walked < h.slotCount - 1 && lines.size() < static_cast<size_t>(n); ++walked) {
    slot = slot == 1 ? h.slotCount - 1 : slot - 1;
    unsigned char block[kLogBlockSize];
    long offset = static_cast<long>(slot) * static_cast<long>(kLogBlockSize);
    if (fseek(fp, offset, SEEK_SET) != 0 || fread(block, 1, kLogBlockSize, fp) != kLogBlockSize) {
      // The file grows one slot at a time: a slot past its end means it has
      // not wrapped yet, and every record there is has been read.
      break;
    }
    LogRecord r = DecodeLogRecord(block);
    if (swapped) SwapLogRecord(r);
    time_t t = static_cast<time_t>(r.time);
    struct tm local = {};
    char when[32] = "";
    if (localtime_r(&t, &local) != nullptr) strftime(when, sizeof when, "%a %b %e %H:%M:%S %Y", &local);
    std::string line = when;
    line += "   ";
    line += r.message;
    if (line.size() > kLogRecentLineMax) line.resize(kLogRecentLineMax);
    lines.push_back(std::move(line));
  }
  fclose(fp);
  return true;
}

const char* GetLogLine() { return g_logLine; }

void SetLogLine(int errorFlag, const char* format, ...) {
  int errorCode = errno;
  va_list ap;
  va_start(ap, format);
  char text[kLogTextMax];
  FormatText(text, format, ap);
  va_end(ap);
  MakeLine(text, errorFlag, errorCode);
  errno = errorCode;
}

void ClearLogLine() { g_logLine[0] = 0; }

void SetLogConsoleDeferred(bool on) {
  if (on && !g_flushAtExitInstalled) {
    // A process that ends through exit() still writes what it held.
    g_flushAtExitInstalled = std::atexit(FlushAtExit) == 0;
  }
  if (!on) WriteHeldConsole();
  g_consoleDeferred = on;
}

void FlushLogOutput() {
  WriteHeldConsole();
  // A file removed, replaced or cut short under the open descriptor is let
  // go, so its space is freed and a file made again at the path is found.
  // Looked at once a second at most: a busy loop flushes thousands of times.
  if (g_ringFile.fd < 0) return;
  const uint32_t now = GetTickCount();
  if (!g_fileCheckDue && now - g_lastFileCheck < kLogFileCheckMs) return;
  g_fileCheckDue = false;
  g_lastFileCheck = now;
  if (!BlockFileStillInPlace(g_ringFile)) CloseRingFile();
}

void DebugLog(int /*errorFlag*/, const char* format, ...) {
  int errorCode = errno;
  va_list ap;
  va_start(ap, format);
  char text[kLogTextMax];
  FormatText(text, format, ap);  // formatted and dropped: debug lines go nowhere
  va_end(ap);
  errno = errorCode;
}

uint32_t LogTicksSinceLastLog(const char* name) {
  const uint32_t now = GetTickCount();
  // Unsigned subtraction: right across the wrap of the 32-bit tick count.
  const uint32_t elapsed = g_lastTickLogged ? now - g_lastTick : 0;
  WriteLog(0, "%s:ticks taken since last log time is %u", name ? name : "", elapsed);
  g_lastTick = now;
  g_lastTickLogged = true;
  return now;
}
