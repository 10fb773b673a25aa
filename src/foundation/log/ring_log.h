// The one log call of the server and the ring log file behind it: every line
// goes to standard error, to the ring log file as a fixed 1024-byte record, and
// to the tee file while one is named.
// Foundation layer: calls the platform clock and log sinks (the ring file kept
// open and mapped, raw standard-error writes); receives the platform layer's
// own reports (platform/report.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Sizes of the ring log file's blocks.
constexpr uint32_t kLogBlockSize = 1024;
constexpr uint32_t kLogVersion = 1;
constexpr uint32_t kLogMessageOffset = 68;
constexpr uint32_t kLogMessageMax = kLogBlockSize - kLogMessageOffset - 1;  // 955 characters
constexpr size_t kLogTextMax = 16384;  // formatted text of one call
// Console lines held while deferral is on; a line that does not fit flushes
// what is held first.
constexpr size_t kLogConsoleHoldBytes = 64 * 1024;
// FlushLogOutput looks at whether the ring log file is still in place at most
// this often (tick-count milliseconds).
constexpr uint32_t kLogFileCheckMs = 1000;

// Block 0 of the ring log file. Serialised field by field, little-endian.
struct LogFileHeader {
  uint32_t version = 0;
  uint32_t creationArg = 0;
  uint32_t spare = 0;
  uint32_t slotCount = 0;     // blocks in the file, header included
  uint32_t nextSlot = 0;      // 1 .. slotCount-1
  uint32_t nextSequence = 0;
};

// One record slot. Serialised field by field, little-endian.
struct LogRecord {
  uint32_t sequence = 0;
  uint32_t type = 0;
  uint32_t errnoValue = 0;
  uint32_t time = 0;
  char name[32] = {};
  uint32_t spare[5] = {};
  char message[956] = {};
};

// The log call: formats the text, stores it as a record, and writes the line
// (with " : <error code>" appended when errorFlag is set) to standard error and
// the tee file. Never fails towards the caller.
void WriteLog(int errorFlag, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes one record of the text to the ring log file; the errno field is errno
// at this call. Loses the record silently on any failure.
void WriteLogRecord(uint32_t type, const char* text);

// Names the ring log file (null: none; records are then not written). Forgets
// the in-memory header, so the next record reads it again.
void SetLogFileName(const char* name);
const std::string* GetLogFileName();

// ---- Console deferral (the server loop) ------------------------------------------------
//
// Off (the default), every console line is written at once with one write(2).
// On, the lines are held and written together by FlushLogOutput, which the
// server loop calls before every wait, so nothing is held while the server is
// idle; an error-flagged line, a full hold buffer, turning deferral off and
// exit() write what is held at once. The ring log file is never deferred.

void SetLogConsoleDeferred(bool on);
// Writes the held console lines; lets go of a ring log file that was removed,
// replaced or cut short since it was opened (looked at once per
// kLogFileCheckMs; the next record opens the path again, and is lost while
// nothing is there).
void FlushLogOutput();

// Names the tee file (null: none).
void SetLogTeeFileName(const char* name);

// Creates or truncates the named file to a single new header. 0 or -1.
int CreateLogFile(uint32_t creationArg, uint32_t slotCount);

// The slot-count word of the existing file's header, whatever its version; -1
// when no file is named or its first block cannot be read.
int GetLogSlotCount();

// Start-up: keeps the named file when its header is sound for `slotCount`
// slots (version 1, that slot count, 1 <= next slot < slotCount), otherwise
// recreates it. 0, or -1 when it had to be recreated and could not be.
int PrepareLogFile(uint32_t slotCount);

// Header and record images, little-endian on any host.
void EncodeLogFileHeader(const LogFileHeader& h, unsigned char out[kLogBlockSize]);
LogFileHeader DecodeLogFileHeader(const unsigned char in[kLogBlockSize]);
void EncodeLogRecord(const LogRecord& r, unsigned char out[kLogBlockSize]);
LogRecord DecodeLogRecord(const unsigned char in[kLogBlockSize]);

// ---- Reading the file back ------------------------------------------------------

// The longest line ReadRecentLogRecords gives (the 991-byte line slot less its NUL).
constexpr size_t kLogRecentLineMax = 990;

// Reads back the newest `n` records of the named ring log file, NEWEST FIRST,
// into `lines` (cleared first): each line is the record's time in ctime form
// (local time, without ctime's line feed), three spaces and the message, at
// most kLogRecentLineMax bytes. The walk goes back from the slot before the
// header's next slot, wrapping from 1 to N-1, and stops after n records,
// after N-1 slots, or at a slot not yet written (past the file's end), so
// every record is given once. A file whose version word reads 1 only when
// byte-swapped is read through SwapLogHeader and SwapLogRecord. False (lines
// empty) when n is below 1, no file is named, or the header cannot be read or
// is unsound (version, slot count below 2, next slot outside 1..N-1).
bool ReadRecentLogRecords(int n, std::vector<std::string>& lines);

// Reverse the byte order of the header's six words, and of the record's
// integer words (the four at offsets 0..12 and the five at 48..64).
void SwapLogHeader(LogFileHeader& header);
void SwapLogRecord(LogRecord& record);

// The last line made by WriteLog or SetLogLine (with its error suffix).
const char* GetLogLine();
// Fills the log line as WriteLog would and writes it nowhere.
void SetLogLine(int errorFlag, const char* format, ...) __attribute__((format(printf, 2, 3)));
void ClearLogLine();

// Formats the message (at most kLogTextMax bytes) and discards it.
void DebugLog(int errorFlag, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Logs "%s:ticks taken since last log time is %u" with `name` and the
// milliseconds of the tick count since its previous call (0 on the first),
// and gives the current tick count.
uint32_t LogTicksSinceLastLog(const char* name);
