// The slot-operations log (one text file per process under <home>luslogs/,
// written only while the setting LogSlotOperations is on), the dump of a full
// slot table to lusdump.txt, and the local-time texts both use.
// Sessions layer: calls the server settings, the clock, the XML escape and the
// platform files; reads the slot table (logon_slots.h).
#pragma once

#include <cstdint>
#include <string>

// ---- Slot-operations log ---------------------------------------------------------------

// Appends one line: "<text> : <local time %Y-%m-%dT%H:%M:%S>\n" with
// `withTime`, else "<text>\n". Writes nothing, and makes no directory, while
// LogSlotOperations is 0. The first line of the process names the file once:
// <home>luslogs/ (made when missing) and the local time of that moment as
// "%Y%m%d%H%M%S" with ".txt". A line that cannot be written is lost silently.
// A null text is written as an empty one.
void WriteLUSLog(const char* text, int withTime);

// WriteLUSLog of a formatted text (at most 16383 bytes are kept).
void WriteLUSLogF(int withTime, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The file the log writes to; empty until the first line has been written.
const std::string& GetLUSLogFileName();

// ---- lusdump.txt -------------------------------------------------------------------------

// Writes <home>lusdump.txt with the slot table when no such file exists yet
// (a later dump leaves the first in place). Names are escaped. A file that
// cannot be written is skipped silently.
void DumpLoggedOnUsers();

// The text DumpLoggedOnUsers writes.
std::string BuildLoggedOnUsersDump();

// ---- Local time --------------------------------------------------------------------------

// `seconds` since 1970 as local time in strftime `format` (empty when it
// cannot be converted or is longer than 63 bytes).
std::string FormatLocalTime(int64_t seconds, const char* format);

// "%Y-%m-%dT%H:%M:%S", the form of the log lines and TOKENINFO.
constexpr const char kLocalTimeStampFormat[] = "%Y-%m-%dT%H:%M:%S";

// ---- Tests ---------------------------------------------------------------------------------

// Forgets the file name, so the next line names a new file.
void ResetLUSLog();
