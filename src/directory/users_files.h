// The users files: version 1 users.xml, version 2 userlist.xml with one file
// per user under users/, the USER element they and the client documents are
// made of, the readers that turn them into the users tree and the user
// records, and the save every change of a user calls.
// Directory layer: calls the users tree, the user records, the XML toolkit,
// the UID allocation and node registry, the platform's atomic files and
// directories, the utilities, the clock and the log.
// Its parts, one file each: users_file_writer.cpp (the USER writer and the
// saves), users_v2_reader.cpp (userlist.xml and the per-user files, with the
// read-ahead and its replay), users_v1_reader.cpp (users.xml),
// users_conversion.cpp (USER nodes into records), users_login_sections.cpp
// (the login sections and UID assignment) and users_load_state.cpp (the load
// state, the reload and the reset); what only they share is in
// users_files_private.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "directory/user_records.h"
#include "foundation/uid/node_header.h"
#include "foundation/util/file_read_ahead.h"

struct XMLNode;           // foundation/xml/xml_tree.h
struct XML_ParserStruct;  // <expat.h>

// ---- Files -------------------------------------------------------------------------------
//
//   users.xml (version 1):   <?xml version="1.0"?>\n<USERS>\n USER... </USERS>
//   userlist.xml:            <?xml version="1.0"?>\n<USERLIST>\n
//                            <USER uid="%08X" name="%s"/>\n ...  </USERLIST>
//   users/%08X.xml:          exactly the user's USER element (no declaration)
// Lines end in LF only; no final line end after the closing root tag.
//
// The USER element (WriteUserXML), line by line:
//   <USER>\n  <UID>%08X</UID>\n  <USERNAME>%s</USERNAME>\n
//   <PASSWORD>%08X</PASSWORD>\n          (only when the legacy hash is not 0)
//   <PASSWORDV2>%s</PASSWORDV2>\n        (only when there is a bcrypt text)
//   <ADUSER>%d</ADUSER>\n  <LEVEL>%d</LEVEL>\n
//   <FORENAME>, <SURNAME>, <EMAIL>, <GROUPLIST>   (each only when present)
//   <FIELD NAME="%s">%s</FIELD>\n        (one per field, in the record's order)
//   <USERDATA>\n ...settings... </USERDATA>\n   (only with a settings link)
//   </USER>\n
// Element texts are escaped with XMLEscapeString, attribute values (the
// FIELD NAME, the list's name, settings attributes) with XMLEscapeAttribute.
// A settings node is "<name>" or "<name a="v"...>", its escaped text and LF
// (only the LF without text), its children, "</name>\n".

constexpr const char kUsersFileName[] = "users.xml";
constexpr const char kUserListFileName[] = "userlist.xml";
constexpr const char kUserListBadFileName[] = "userlist.xml.bad";  // the list kept after a partial load
constexpr const char kUsersDirectoryName[] = "users/";
constexpr const char kUserListRootName[] = "USERLIST";
constexpr size_t kUsersReadPieceSize = 512;     // the readers feed the parser this many bytes at a time
constexpr size_t kUserListUIDGrowStep = 1000;   // the list UIDs grow by this many entries

// "%susers/%08X.xml" for the home directory and the UID.
std::string UserFilePath(const std::string& home, UID uid);

// ---- Load state -----------------------------------------------------------------------------
//
//   NONE --load ok--> OK       NONE/any --load read no user--> FAILED
//     \--load skipped users--> PARTIAL --first save--> OK
//   FAILED --load ok/partial--> OK/PARTIAL
//
// NONE (nothing loaded yet: a first start, tests) and OK save normally.
// FAILED refuses every save with 15 (logged) until a load succeeds, so a
// failed load never overwrites the files with an empty or partial array.
// PARTIAL: the first save copies the old userlist.xml to userlist.xml.bad
// before replacing it; the per-user files of the users the load skipped are
// never rewritten until the next load.
enum UsersLoadState : int {
  USERS_LOAD_NONE = 0,
  USERS_LOAD_OK = 1,
  USERS_LOAD_PARTIAL = 2,
  USERS_LOAD_FAILED = 3,
};
UsersLoadState GetUsersLoadState();

// The highest UID below the reserved range of the per-user files the last
// load kept without loading them (unreadable, skipped, or not named in the
// list); 0 when there is none. The start-up's UID sync stays above them, so
// that no new user is given the UID of a user the list lost (and overwrites
// its file). A skipped user's file is also never rewritten until the next
// load; an unlisted one may be.
UID GetHighestKeptUserFileUID();

// The bounds of the version-2 load's read-ahead of the per-user files (by
// default up to 6 workers, none for fewer than 64 files); a maxWorkers of 0
// reads each file on the loading thread. Tests compare loads with and
// without it.
void SetUsersFileReadAhead(const FileReadAheadOptions& options);

// How a conversion treats a bad USER node.
enum UsersConvertMode : int {
  USERS_CONVERT_LOAD = 0,    // the users files: a bad node, a duplicate UID, a
                             // bad FIELD is logged and skipped; the load is partial
  USERS_CONVERT_CLIENT = 1,  // client text: the first bad user fails the whole text
};

// ---- Writers ---------------------------------------------------------------------------------

// The save every change of users calls: WriteUserList (home, name).
int SaveUsers(const char* home, const char* name);

// While the running request holds one, a save of one user whose list stays
// as it is lets the request step aside while the user's file is written (a
// file of megabytes and its sync then hold up no other client). The file is
// written in the order of the saves: no older text of it ever lands after a
// newer one. For a request whose save is its last use of the store: other
// requests run during the wait, so the caller holds no record, node or index
// across it.
class SaveMayWaitForFile {
 public:
  SaveMayWaitForFile();
  ~SaveMayWaitForFile();
  SaveMayWaitForFile(const SaveMayWaitForFile&) = delete;
  SaveMayWaitForFile& operator=(const SaveMayWaitForFile&) = delete;

 private:
  uintptr_t previous_;
};

// Rewrites the per-user file of the user `name` (found with FindUserIndex, the
// domain rule included; every user's file for a null name), then
// userlist.xml, each replaced atomically: a failure keeps the old list (and
// every file not yet replaced). A full rewrite writes all per-user files,
// makes them durable with one sync, renames them, then replaces the list.
// A name that matches no record (a user just deleted) rewrites the list alone.
// Once the list on disk names exactly the users in memory, the files of the
// users deleted since (TakeDeletedUserUIDs) are removed, list first and file
// second: a stop between the two leaves a file no list names, which the
// next load keeps and logs. A file whose UID a record holds again, or that
// belongs to a user the last load skipped, stays.
// First gives the users whose files are written the login section (all of
// them for a null name: EnsureUserLoginSections; its non-zero code is
// returned, nothing written). 0; 2 no or empty home ("Asked to write users to file but no
// homeDir provided") or a record that cannot be written (no UID, a nameless
// or too deeply nested settings node, a text that is not valid XML text);
// 14 a file cannot be created (logged with the error flag); 15 a write
// failed, or the last load failed (refused, logged). Sets the users time
// when a file was replaced.
int WriteUserList(const char* home, const char* name);

// Notes per-user files for the next save to remove, as it removes those of
// deleted users (see WriteUserList): the store that replaces every user
// names the users it held. Without memory for them they stay (logged).
void RemoveUserFilesAtNextSave(const std::vector<UID>& uids);

// Writes the record's per-user file (atomically). 0; 2 no record, no or
// empty home, UID 0, or the element cannot be written; 14 cannot be created
// ("WriteV2UserToFile:Unable to open file %s", error flag); 15 write failure.
// The directory users/ is made when missing.
int WriteV2UserToFile(const UserStruct* user, const char* home);

// Appends the record's USER element (the line table above) to `out`. 0; 2 no
// record, no name, or a settings node without a name, with a name that is
// not an XML name, nested deeper than kMaxUserDataDepth, or a text that is
// not valid XML text (`out` is then as before).
int AppendUserXML(const UserStruct* user, std::string& out);

// Writes the record's USER element to an open stream. 0; 2 no record or no
// stream or AppendUserXML's 2 (nothing written); 15 the write failed.
int WriteUserXML(const UserStruct* user, FILE* fp);

// The settings block of a USERDATA node ("<USERDATA>\n", every child with its
// subtree, "</USERDATA>\n"; the node's own text and attributes are not
// written). Append form: 0 or 2 (as AppendUserXML, `out` unchanged). Stream
// form: 0, 2, 15.
int AppendUserDataXML(const XMLNode* userData, std::string& out);
int WriteUserDataXML(FILE* fp, const XMLNode* userData);

// The node with its subtree and then its following siblings, each node as in
// the settings block. Append form: 0 (also for null), 2 (`out` unchanged).
// `depth` is the nesting of `node` below USERDATA (1 for a section).
// Stream form: 0 for no node, 2, 15.
int AppendXMLNodeTree(const XMLNode* node, int depth, std::string& out);
int WriteXMLNodeTree(FILE* fp, const XMLNode* node);

// Writes a version-1 file of all users at `path` (atomically) after
// EnsureUserLoginSections. 0; 2 no or empty path ("Asked to write users to
// file but no filename provided") or a record that cannot be written; 14; 15
// (also refused after a failed load). Sets the users time.
int WriteUsersXML(const char* path);

// Replaces the users file at `path` with a whole text, atomically (a failed
// write keeps the old file). 0; 14 when it cannot be created ("Unable to open
// users file >%s<"); 15 when the write fails ("Unable to write users file >%s<").
int ReplaceUsersFileText(const std::string& path, const char* text, size_t length);

// ---- Readers --------------------------------------------------------------------------------
// Both readers expect an empty users tree and user array (FreeUsersData).

// Reads a version-1 file into the users tree and converts it. -1 when the file
// cannot be opened ("Unable to open users file >%s<") or read whole, the XML
// is not well-formed ("XML error %s at line %d\n") or memory ran out: no
// record is made and, in load mode, the store is not loaded (FAILED). Else the
// code of ConvertXMLTreeToUsers (the users time is set first). In load mode
// the load state follows the conversion (FAILED when no user was made).
int ReadUsersXML(const char* path, UsersConvertMode mode = USERS_CONVERT_LOAD);

// Reads userlist.xml (home) and the listed per-user files into the users
// tree, each file a document of its own under the one USERS root (one
// parser, reset between files), and converts it (load mode). -1 (FAILED)
// when the list cannot be opened or names no user ("Unable to find any users
// in user list file >%s<"). A per-user file that cannot be read, is empty,
// or does not read as one USER element (malformed, cut, or holding an XML
// declaration or a document type, which the all-users document could not
// hold) is logged with the error flag, kept as it is and never rewritten
// until the next load, and passed over: the load is partial and the other
// users are served. So is the rest of a list read in part. Every file in
// users/ the list does not name is logged, with the list entry that would
// load it (never deleted; leftovers "*.tmpXXXXXX" of the atomic writer are
// passed over).
// Each file's USER node is converted (load mode) as soon as that file is
// parsed, so what its record takes over is freed before the next file is
// read, and each file's logs come before the next file's. The records, the
// tree, the skipped users and the load state are those of
// ConvertXMLTreeToUsers over the whole tree, whose code this returns.
int ReadUsersV2(const char* home);

// Reads the UIDs of userlist.xml (home) into the list UIDs, 512-byte pieces
// as the users readers do: an entry without a usable UID ("Missing a UID on
// a user list user tag") or a parse error ends the reading after that piece,
// the UIDs gathered so far count (*stoppedEarly set when given); an element
// other than USERLIST and USER is logged and passed over, and also sets
// *stoppedEarly (the list is read in part). 0, or 14
// ("Unable to open user list file >%s<", error flag). Shared with the
// all-users document of the XML exchange.
int ReadUserListUIDs(const char* home, bool* stoppedEarly = nullptr);

// The list UIDs of the last list read, in file order.
const std::vector<UID>& GetUserListUIDs();

// The list reader's handlers (USER entries' last "UID" attribute, any case,
// read as hexadecimal; other elements but the root noted as unknown). The
// end handler does nothing.
void UserListStartElement(void* userData, const char* name, const char** attributes);
void UserListEndElement(void* userData, const char* name);

// Converts every child of the root. 2 without a root named USERS or without
// children. In client mode the first failing conversion's code ends it (the
// records made before stay, the later nodes stay without records); 0 when
// all succeed. In load mode every child is converted, a failing one logged
// ("Skipping user ... ") and removed from the tree; the first failing code is
// returned (0 when none failed) and the load state is set: OK, PARTIAL, or
// FAILED when no user was made.
int ConvertXMLTreeToUsers(UsersConvertMode mode = USERS_CONVERT_LOAD);

// Adds or replaces the user's record from its USER node (UID, USERNAME,
// PASSWORD, PASSWORDV2, FORENAME, SURNAME, EMAIL, GROUPLIST, LEVEL, ADUSER,
// FIELD elements and the USERDATA link; names without regard to case; a
// later element wins; an element without text changes nothing). A new
// record keeps nothing of default_user. Once converted, the node keeps only
// what its record does not hold: the USERNAME and ADUSER the record took
// (the lookups by name read them), its last USERDATA, and every child the
// conversion does not read; the other main-field children, every FIELD and
// the earlier USERDATA are removed (a failed conversion leaves the node as
// it was). A replaced user keeps its node: a
// second node of the same user (a name twice in one document) is merged
// into the newer one. Of several USERDATA children only the last stays.
//   0; 2 no node, an invalid name ("Cannot create user >%s< as it is not a
//   valid username"), refused by AddUser (a duplicate UID among them), or in
//   client mode a FIELD without NAME, a duplicate field name (in load
//   mode those fields are logged and skipped) or, for a new user, a UID
//   that IsUIDAllowedForClientUser refuses; UpdateUser's codes (8 ...).
int ConvertXMLNodeToUser(XMLNode* node, UsersConvertMode mode = USERS_CONVERT_CLIENT);

// Removes from a USER node what no conversion reads: every child named as
// one of the main fields (UID, USERNAME, PASSWORD, PASSWORDV2, FORENAME,
// SURNAME, EMAIL, GROUPLIST, LEVEL, ADUSER; without regard to case) other
// than the last of that name that has text, and every USERDATA child but
// the last. So the node answers to one name only, and a client text that
// repeats an element costs nothing more (a plain password in particular is
// hashed once). One pass over the children. Null: nothing. No record's link
// may designate a USERDATA child that goes.
void RemoveSupersededUserElements(XMLNode* userNode);

// The main fields of a USER node as the conversion of a client text reads
// them into a record (a later element wins; an element without text leaves
// its field as it is in `fields`, which is cleared first), and the node's last
// USERDATA child (null when it has none). For checks made before a change.
void ReadUserMainFields(XMLNode* node, UserStruct& fields, XMLNode** userData);

// Releases the conversion scratch record and clears it.
void FreeXMLUser();

// ---- Start-up and reload -------------------------------------------------------------------

// Gives every user the login section Live\Torvane in its settings, through
// the record's own node (a record without one gets a node as
// MakeUserNodeForRecord makes it, logged). 0; 1 no memory (nodes made stay).
int EnsureUserLoginSections();

// Gives each record with UID 0 a new UID (registered) and every record kind 6. 0.
int AssignUserUIDs();

// FreeUsersXMLTree, then FreeAllUsers. 0.
int FreeUsersData();

// FreeUsersData, ReadUsersV2 (home directory of the server settings); its
// code when non-zero, else SaveUsers (home, none).
int ReloadUsers();

// ---- Tests ----------------------------------------------------------------------------------

// Back to the process-start state: load state NONE, list UIDs and scratch
// empty, no protected files, and ResetUsersTree. Records are left alone
// (ResetUserStore).
void ResetUsersFiles();
