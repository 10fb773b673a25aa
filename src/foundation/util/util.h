// String, text-validity and whole-file helpers shared by every subsystem.
// Foundation layer: calls the log, the result codes and the platform files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs.h"

// ---- Strings ----------------------------------------------------------------

// Changes 'a'..'z' to 'A'..'Z' in place (no other byte); gives the pointer, null for null.
char* UpperCaseString(char* text);
void UpperCaseString(std::string& text);

// Skips leading blanks and tabs and cuts trailing ones in place (writing NULs);
// a text of blanks gives a pointer to its end; null for null.
char* TrimString(char* text);
// The same trim as a view.
std::string_view TrimBlanks(std::string_view text);

// Copies at most size-1 bytes and always ends dest with a NUL; logs when the
// source is cut. Gives dest.
char* SafeStrCopy(char* dest, const char* source, size_t size);

// 1 when strtod (in the "C" locale, whatever the process's) consumes the whole
// text (the empty text counts), 0 otherwise or for null.
int IsNumericString(const char* text);

// The one case-insensitive order of the system: bytes compared unsigned after
// folding 'A'..'Z' to 'a'..'z' (so '_' sorts before the letters); no locale.
int CompareNoCase(std::string_view a, std::string_view b);
bool EqualsNoCase(std::string_view a, std::string_view b);

// The text with ASCII A-Z folded to a-z (the key of a case-insensitive index).
std::string FoldNoCase(std::string_view text);
// _stricmp of two texts: the same order.
int CompareStringValues(const char* a, const char* b);

// The value of one hexadecimal digit (either case), or -1.
int HexDigitValue(char c);

// strtoul(text, nullptr, 16) as it behaves where unsigned long has 32 bits
// (the form UIDs, dates and legacy hashes are stored in): leading white
// space, an optional sign, an optional "0x" when a hex digit follows, then
// hex digits up to the first other byte; out of range gives 0xFFFFFFFF
// whatever the sign, '-' negates in unsigned arithmetic, no digits give 0.
// No locale, and not this host's 64-bit unsigned long.
uint32_t ParseHex32LikeStrtoul(std::string_view text);

// ---- Text validity ------------------------------------------------------------

// True when the bytes are valid UTF-8 and every character may stand in XML text:
// TAB, LF, CR, and U+0020 and above except the surrogates, U+FFFE and U+FFFF.
bool IsValidXmlText(std::string_view text);

// True when the text is an XML name of ASCII letters, digits, '_', '-' and '.'
// not beginning with a digit, '-' or '.' (no ':' and no non-ASCII bytes).
bool IsAsciiXmlName(std::string_view text);

// ---- Files -------------------------------------------------------------------

// 1 unless the file is known not to exist (ENOENT, or ENOTDIR for a path
// through a regular file); 0 only then.
int FileExists(const std::string& path);

// The file's 32-bit size; -1 for an empty path, a failed stat or a size
// above INT32_MAX.
int32_t GetSizeOfFile(const std::string& path);

// The whole regular file into `out`, read with one open until its end (a
// file that grew since its size was taken is read whole). `out` keeps its
// capacity, so a caller reading many files into one string allocates once.
// 0; 21 missing; 14 cannot be opened or is not a regular file; 46 read
// error; 1 no memory. `out` is cleared on failure.
int ReadFileToBuffer(const std::string& path, std::string& out);

// True when the regular file at `path` holds exactly the bytes `next` gives,
// piece after piece into the cleared string it is handed, until it gives an
// empty piece: the file is read a piece at a time alongside, so neither its
// bytes nor the expected ones are ever held whole. Opened as ReadFileToBuffer
// opens; a file that cannot be opened, is not a regular file or whose read
// fails (logged as ReadFileToBuffer logs it) does not hold them. The
// comparison stops at the first piece that differs.
bool FileHoldsPieces(const std::string& path, const std::function<void(std::string&)>& next);

// What a quiet whole-file read found: ReadFileToBuffer's code, the errno of
// the system call that failed (0 when none did), and whether a failed read
// call ended it (the one failure ReadFileToBuffer logs).
struct FileReadResult {
  int code = 0;
  int error = 0;
  bool readCallFailed = false;
};

// ReadFileToBuffer without its log line: the file `name`, relative to the
// open directory `dirFd` (AT_FDCWD: relative to the working directory, or
// an absolute path). It touches nothing shared (no log, no globals; errno
// is the calling thread's own), so any thread may call it.
FileReadResult ReadFileQuietly(int dirFd, const char* name, std::string& out);

// The log line ReadFileToBuffer writes for `result` of reading `path` (only
// a failed read call has one), written with errno as the read left it.
// Gives the result's code.
int LogFileReadResult(const FileReadResult& result, const std::string& path);

// The whole file's bytes; false (logged) when it cannot be opened or read. An
// empty file gives true with no bytes.
bool ReadFileIntoMemory(const std::string& path, std::vector<unsigned char>& out);

// Replaces the file with the bytes (atomically: a failure keeps the old file).
// The size, or -1 (logged) on failure.
int64_t WriteMemoryToFile(const std::string& path, const void* data, size_t size);

// A new, empty, uniquely named file "QMX…" in the temporary directory; false
// (logged) when none can be made.
bool MakeTempFileName(std::string& pathOut);

// stat of the path into `out` (the common step of the size and time
// utilities): 0, or -1 (errno set) for an empty path or a failed stat.
int StatFile(const std::string& path, FileStatus& out);

// The file's modification time (seconds since 1970); 0 for an empty path or a
// failed stat.
int64_t GetFileModTime(const std::string& path);

// 1 when the file's modification time differs from `time`; 0 when it equals
// it, for an empty path or a failed stat.
int HasFileChanged(const std::string& path, int64_t time);

// One line of the open file into `buffer`: the bytes up to a line feed or the
// end of the file, carriage returns dropped, at most size-1 bytes (the rest of
// a longer line stays for the next call), NUL-terminated. Gives the buffer,
// or null for a null file or buffer, a size below 2, or a file already at its
// end (so a loop of calls ends).
char* ReadFileLine(FILE* fp, char* buffer, size_t size);
