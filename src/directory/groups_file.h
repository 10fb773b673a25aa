// groups.xml: the writer of the group and permission arrays, the Expat
// reader that rebuilds them at start-up, the start-up UIDs of the groups,
// and the replacement of the file by a client's text.
// Directory store; calls the groups model, the XML value stack, escapes and
// text-element writer, the atomic file helper, UID allocation, the server
// settings (home directory), the clock and the log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "directory/groups.h"

// ---- The file ------------------------------------------------------------------

constexpr const char kGroupsFileName[] = "groups.xml";
constexpr size_t kGroupsReadChunkBytes = 512;  // the reader hands Expat the file in pieces of this size
constexpr const char kGroupsBadFileSuffix[] = ".bad";  // groups.xml.bad: the file a partial load read

// ---- Load state ------------------------------------------------------------------
//
//   NONE --read whole--> OK      any --read failed--> FAILED
//     \--read in part--> PARTIAL --first save--> OK
//
// NONE (nothing read yet, or no file at all: a first start, tests) and OK
// save normally. FAILED (the file could not be opened, did not parse, or
// its content stopped the reading) refuses every WriteGroupsXML with 15
// until a read succeeds: the file then is the only whole copy of the groups
// and permissions after the damage, and memory must not overwrite it.
// PARTIAL (an unexpected child of GROUPS ended the reading, or a group was
// dropped): the first save copies the file to <file>.bad before replacing it.
enum GroupsLoadState : int {
  GROUPS_LOAD_NONE = 0,
  GROUPS_LOAD_OK = 1,
  GROUPS_LOAD_PARTIAL = 2,
  GROUPS_LOAD_FAILED = 3,
};
GroupsLoadState GetGroupsLoadState();

// Back to NONE (tests).
void ResetGroupsFileState();

// Names the file that SaveGroupsFile writes (the run function sets it to the
// home directory followed by "groups.xml"). An empty text goes back to the
// default: the current home directory followed by "groups.xml".
void SetGroupsFilePath(std::string_view path);
std::string GetGroupsFilePath();

// ---- Writing --------------------------------------------------------------------
// The file as written: LF line ends and no LF after the last line:
//   <?xml version="1.0"?>
//   <GROUPS>
//   <GROUP>  <NAME>n</NAME>  <UID>%08X</UID>  [<DESCRIPTION>d</DESCRIPTION>]
//            <USER>u</USER>...  </GROUP>          (each on a line of its own)
//   ...every group in array order, then every permission:
//   <PERM>   <UID>%08X</UID>  [<READ>%08X;%08X...</READ>]  [<WRITE>...</WRITE>]
//            </PERM>
//   </GROUPS>
// Texts are escaped with XMLEscapeString ('&' '<' '>' as "&#038;" etc.).

// Writes both arrays to `path`, replacing the file atomically: on any
// failure the previous file stays whole. 0; 2 no path or an empty one
// (logged); 14 the file cannot be created (logged); 15 a write failed
// (logged), the last read failed, or after a partial read the file could not
// be kept as <path>.bad (both logged; nothing written). Sets the groups time to now whenever a path was given, since the
// callers write after every change of the arrays.
int WriteGroupsXML(std::string_view path);

// One GROUP element (with its LF-ended lines) to an open stream.
// 0; 2 no group or no stream; 15 a write failed.
int WriteGroupXML(const GroupStruct* group, FILE* fp);

// One PERM element to an open stream. 0; 2 no permission or no stream; 15.
int WritePermXML(const PermissionStruct* perm, FILE* fp);

// ---- Reading --------------------------------------------------------------------

// Reads groups.xml at `path` into the arrays: every well-formed GROUP is
// added (AddGroup) and every PERM appended (AddNewPerm). Element names are
// compared without regard to case. 0 when the whole document was read or a
// VERSION element (or another unexpected child of GROUPS) ended the reading;
// -1 when the file cannot be opened (logged), the parser reports an error
// (logged with its line) or the content is wrong (a root other than GROUPS,
// an unexpected element inside GROUP or PERM, an element inside a leaf, a
// group with an invalid name or none, a failed allocation). Whatever was
// added before the reading stopped stays. A group the arrays already hold,
// or whose name a user has, is dropped and the reading goes on; so is a
// member without a name or named twice. UID texts are read by
// ParseHex32LikeStrtoul. Sets the groups time to now and the load state.
int ReadGroupsXML(std::string_view path);

// ---- Start-up ---------------------------------------------------------------------

// Gives every group whose UID is 0 a new UID and every group kind 7; *given
// (when not null) gets the number of groups that got one. Writes nothing
// itself: a caller that gave any writes groups.xml (the start-up does so
// at once, SaveStartUpGroupUIDs), so that a group keeps its UID from one
// start to the next. 0.
int AssignGroupUIDs(int32_t* given = nullptr);

// The start-up's UIDs of the groups: AssignGroupUIDs, and when any group got
// one, groups.xml written with them (WriteGroupsXML on GetGroupsFilePath(),
// atomically and under its load-state rules: refused after a failed read,
// the partly read file kept as .bad first). A group added at run time thus
// has UID 0 until the next start, and that start's UID for good. Logs the
// outcome. 0, or WriteGroupsXML's code (the UIDs then live until the stop:
// the next start gives others).
int SaveStartUpGroupUIDs();

// ---- A client's text ----------------------------------------------------------------

// Replaces groups.xml (GetGroupsFilePath) with `text` byte for byte,
// atomically. The arrays are not re-read and the groups time does not
// change: the text takes effect at the next start. 0; 2 no text or an empty
// one; 15 the text was not written whole (the old file stays).
int SaveGroupsFile(const char* text);

// Replaces the groups with a client's text: the text is read with the
// reader's rules into empty arrays while the store's own wait aside. When
// it reads whole (no parser error, no wrong element, no group left out),
// groups without a UID get one, the arrays are written to groups.xml
// atomically (the groups time is then now), its permissions take the place
// of the previous ones in the registry and uid.val is raised over them.
// 0; 2 no text or an empty one; 20 the text does not read whole or a
// permission's UID is another node's (logged); 1 no memory; a code of
// WriteGroupsXML. On any failure the groups and groups.xml stay as they were.
int ReplaceGroupsXML(const char* text);

