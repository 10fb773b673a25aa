// What only the users-files parts share (the writer, the two readers, the
// conversion, the login sections and the load state): the state a load
// leaves for the saves, and the helpers more than one part calls. Nothing
// outside those files includes it; their public contract is users_files.h.
// Directory layer.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "directory/user_records.h"
#include "directory/users_files.h"
#include "foundation/util/file_read_ahead.h"

struct XMLNode;           // foundation/xml/xml_tree.h
struct XML_ParserStruct;  // <expat.h>

namespace users_files_detail {

// ---- Load state (users_load_state.cpp) -----------------------------------------------------

extern UsersLoadState g_loadState;
// The UIDs of the last list read, in file order.
extern std::vector<UID> g_listUIDs;
// Per-user files of users the last load skipped: not rewritten until the next load.
extern std::unordered_set<UID> g_protectedUIDs;
// The highest UID of a users file the last version-2 load found unlisted.
extern UID g_highestUnlistedUID;
// The version-2 read passed over a file or part of the list: the load is partial.
extern bool g_readSkipped;
// The text of each per-user file as the last version-2 read found it, kept
// only for the rewrite of a reload that follows it (ReloadUsers): a file
// whose new text is the same is not written again.
extern bool g_keepReadTexts;
extern std::unordered_map<UID, std::string> g_readTexts;
// The bounds of the version-2 load's read-ahead (SetUsersFileReadAhead).
extern FileReadAheadOptions g_readAheadOptions;

// ---- Writer (users_file_writer.cpp) -------------------------------------------------------------

// Appends the name of a per-user file within users/: "%08X.xml".
void AppendUserFileName(std::string& out, UID uid);

// The record's name for a log line ("" without one).
const char* NameForLog(const UserStruct* user);

// The list on disk is no longer known: the next save writes userlist.xml.
void ForgetListOnDisk();

// The UIDs of deleted users whose per-user files a save is still to remove:
// each goes once a list without the user is on disk.
extern std::vector<UID> g_filesOfDeletedUsers;

// After a load that made every listed user: the list on disk is known when
// its bytes are exactly what the writer would write for the array.
void NoteListAfterLoad(const std::string& path);

// ---- Readers (users_v2_reader.cpp) --------------------------------------------------------------

// The parse error of a users read: its error code and line where it stopped.
void LogParseErrorAt(int error, unsigned long line);
void LogParseError(XML_ParserStruct* parser);

// Ends a read: the parser freed, the gathered texts released, no cursor.
void EndParse(XML_ParserStruct* parser);

// Starts a load: an old tree is dropped; the array and the registry get
// room for `expected` more users at once.
void PrepareLoad(size_t expected);

// ---- Conversion runs (users_conversion.cpp) -------------------------------------------------------
//
// Every conversion of many USER nodes is a run: BeginConversionRun, one
// ConvertRunNode per node in document order, EndConversionRun. The
// whole-tree conversion (a version-1 file, client text) runs over the
// root's children; the version-2 load converts each file's node as soon as
// that file is parsed, so that what the records take over is freed before
// the next file is read.
void BeginConversionRun(UsersConvertMode mode);
int ConvertRunNode(XMLNode* node, UID source);
int EndConversionRun();

// No run in progress and the scratch record released (ResetUsersFiles).
void ResetConversionRun();

// ---- Login sections (users_login_sections.cpp) ----------------------------------------------------

// Gives one record the login section through its own node (`node` when the
// caller found it already, else through the link or a walk). 0 or 1.
int EnsureLoginSectionOf(UserStruct* user, XMLNode* node);

}  // namespace users_files_detail
