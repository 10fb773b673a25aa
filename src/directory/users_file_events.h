// One per-user file parsed away from the users tree: a worker thread of the
// version-2 load's read-ahead parses the file's bytes into a compact record
// of its events, and the loading thread replays the record into the users
// tree through the handlers' parser-free core.
// Directory layer: calls Expat (worker side, its own parser per thread) and
// the users tree (loading thread only).
#pragma once

#include <string>

#include "foundation/util/util.h"

// The hash salt every per-user file's parser takes (0: the parser draws its
// own). Set by the loading thread before the workers start.
void SetUserFileHashSalt(unsigned long salt);
unsigned long GetUserFileHashSalt();

// Worker side (a FileReadAheadStep): parses a file read whole and not empty
// as ParseUserFileInto's parser would (the XML declaration, the document type
// and entity declarations refused) and records its events in `record`.
// Logs nothing and touches no shared state. Leaves `record` empty when the
// file was not read, is empty, or the record could not be made (no memory):
// the loading thread then parses the file itself.
void RecordUserFileEvents(const FileReadResult& result, const std::string& data, std::string& record);

// What a replay found, for the loading thread's log lines.
struct UserFileReplay {
  bool parsedWhole = false;    // the parser read the whole file and no event failed
  bool declarationRefused = false;
  bool doctypeRefused = false;
  int xmlError = 0;            // the parser's error code where it stopped
  unsigned long line = 0;      // the parser's current line where it stopped
};

// Loading thread: replays `record` into the users tree at its cursor, in
// order, through the parser-free handlers (UsersTreeStartElement and the
// others), stopping at the first event that fails the read. Whatever those
// log is logged here; the caller logs the refusals and the parse error.
UserFileReplay ReplayUserFileEvents(const std::string& record);
