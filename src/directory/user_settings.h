// Per-user settings: each user's tree of named settings under the USERDATA
// child of its USER node in the users tree, addressed by section (an
// environment), subsection (an application) and a backslash-separated path;
// single values, whole sections, and whole subtrees as XML text for clients.
// Directory layer: calls the users tree and the save of one user
// (users_tree.h, users_files.h), the user records, the XML toolkit and the log.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

struct XMLNode;  // foundation/xml: an element of the users tree

// ---- Fixed names ----------------------------------------------------------------

constexpr const char kLoginSectionName[] = "Live";      // the server's own section
constexpr const char kLoginSubsectionName[] = "Torvane";  // ... and its subsection
constexpr const char kAllowConfigurationSetting[] = "AllowConfiguration";
constexpr char kSettingsPathSeparator = '\\';           // between the names of a path
constexpr size_t kSettingsPathBufferSize = 2048;        // the path buffer, with its NUL

// ---- Conventions ------------------------------------------------------------------
// `user` is the caller's user name: case-insensitive, and domain\user with the
// computer domain reaches that domain's Active Directory user. The USER node
// is reached through the record's settings link when it leads to the node of
// that record, else by walking the USER nodes (FindXMLUserNode). A null
// string is absent, "" is empty; the two are told apart where it matters.
// Names of sections, subsections and path elements are compared without regard
// to case and the first matching child wins; new nodes are appended last,
// without text.
// Every changing operation saves the user's per-user file and the user list
// at once (SaveUsers with the caller's name, which the save resolves to the
// record with the same domain rule), and returns the save's code when everything else worked;
// the change stays in memory when the save fails.
// Names that the setters would put into the tree (a new section or path
// node) must be XML names (IsAsciiXmlName) and values valid XML text
// (IsValidXmlText): anything else is refused with 2 before the tree changes,
// so a users file always reads back; so is a change that would nest nodes
// deeper than the users files hold (kMaxUserDataDepth levels below USERDATA).
// An empty path element (a leading backslash, two in a row) is refused by
// the setters with 2 and found by no lookup (19); one trailing backslash
// just ends a path. The setters also need the user's record (6 without one:
// the save would write no file for a node without a record).

// ---- A ceiling on one user's settings ----------------------------------------------
// What a user's settings hold is counted in bytes: the names, texts and
// attributes (names and values) of every node under its USERDATA node. While
// a SettingsCeiling is in force, a change by SetUserSetting(Create),
// SetUserAppBranchXML or AddUserEnvSection that would leave the user's
// settings holding more than the ceiling is refused with 1 before the tree
// changes (nothing is made, replaced or saved). A change that leaves them
// smaller, or no larger, is never refused, so a user over the ceiling can
// still shrink. Without a ceiling only each text's own bound applies.
//
// The ceiling belongs to the request that sets it (a fiber local): others
// that run while it waits have their own.
class SettingsCeiling {
 public:
  explicit SettingsCeiling(size_t bytes);  // 0: no ceiling
  ~SettingsCeiling();
  SettingsCeiling(const SettingsCeiling&) = delete;
  SettingsCeiling& operator=(const SettingsCeiling&) = delete;

 private:
  size_t previous_;
};

// What the user's settings hold now (0 without a USERDATA node or user).
size_t UserSettingsBytes(const char* user);

// ---- Nodes of a user's settings -------------------------------------------------------

// The user's USERDATA node: the first child of that name of the user's USER
// node, appended (and linked into the user's record) when the node has none.
// Null for a null or empty name, no users tree, no USER node, or no memory.
XMLNode* GetUserDataNode(const char* user);

// The section named `section` under a USERDATA node. Null for a null node, a
// node not named USERDATA, or a null or empty name.
XMLNode* FindUserDataSection(XMLNode* userData, const char* section);

// The first child of `node` named `name` (case-insensitive). Null for a null
// node or name; an empty name matches no child.
XMLNode* FindNamedChild(XMLNode* node, const char* name);

// The section node, or null with *failReason: 2 user or section null (or
// failReason null: then nothing is written), 6 no USERDATA node can be had,
// 17 no such section. *failReason is 0 on success.
XMLNode* GetUserSectionNode(const char* user, const char* section, int* failReason);

// The subsection node, or null with *failReason: 2 any argument null, the
// codes of GetUserSectionNode, 18 no such subsection. 0 on success.
XMLNode* GetUserSubsectionNode(const char* user, const char* section, const char* subsection,
                               int* failReason);

// ---- Single values ------------------------------------------------------------------

// A copy of the text of the setting at `path` under section\subsection, ""
// when the node has no text. Null with *failReason: 2 any string null or
// empty (with failReason null nothing is written and null comes back), 6 no
// settings node, 17 no section, 18 no subsection, 19 a path element missing
// (an empty element included, and a path of more elements than any tree is
// deep, which is not split beyond that); 1 no memory for the copy.
// *failReason 0 with a value.
std::optional<std::string> GetUserSetting(const char* user, const char* section, const char* subsection,
                                          const char* path, int* failReason);

// The text's integer value as the C library's atoi reads it (leading white
// space, an optional sign, the decimal digits that follow; 0 when the text
// does not begin so), held to the 32-bit range.
int SettingTextToInt(const std::string& text);

// SettingTextToInt of the setting AllowConfiguration under section\subsection;
// 0 for any null or empty argument and on any failure ("-1" counts, as -1).
int GetUserAllowConfiguration(const char* user, const char* section, const char* subsection);

// Sets the text of the setting at `path` (a null value: the node has no text),
// appending the path nodes that are missing, then saves. The section and
// subsection must exist; the USERDATA node is made when missing.
//   2 user, section, subsection or path null or empty; an empty path element;
//     a name to be created that is not an XML name; a value that is not
//     valid XML text; a path too deep (nothing changes in these cases)
//   6 no USER node or no record;  17 no section;  18 no subsection;
//   1 no memory (nodes made so far stay);  else the save's code.
int SetUserSetting(const char* user, const char* section, const char* subsection, const char* path,
                   const char* value);

// As SetUserSetting, but a missing section and subsection are appended first
// (their names must be XML names, else 2). Same codes.
int SetUserSettingCreate(const char* user, const char* section, const char* subsection, const char* path,
                         const char* value);

// 1 when the user's section `section` has a child named `subsection`; with an
// empty section name, when any section has one. 0 otherwise, and for a null
// or empty user or a null section or subsection. Makes the USERDATA node when
// the USER node has none.
int UserHasAppSetting(const char* user, const char* section, const char* subsection);

// ---- Sections ---------------------------------------------------------------------

// Appends the subsection "Torvane" (no text) to the section node. 0; 2 no
// node; 1 no memory.
int AddTorvaneNode(XMLNode* section);

// Adds the section `env` with an empty subsection "Torvane" and saves.
//   0 also when the section exists (nothing is added or saved);
//   2 user or env null or empty, or env not an XML name;  6 no USER node
//   or no record;
//   23 the settings node is not USERDATA;  1 no memory;  else the save's code.
int AddUserEnvSection(const char* user, const char* env);

// Deletes the section `env` with everything under it and saves.
//   2 user or env null or empty;  6 no USER node;  17 no such section;
//   45 it is the user's only section (nothing deleted);  else the save's code.
int DeleteUserEnvSection(const char* user, const char* env);

// ---- Subtrees as XML text -----------------------------------------------------------

// The subsection node with its subtree as XML text from the generic tree
// writer (no declaration, CR LF line ends, element texts escaped). Null with
// *failReason: 2 failReason, section or subsection null or the user null or
// empty, 6, 17, 18 as for the lookups, 1 no memory. 0 with the text.
std::optional<std::string> GetUserSettingsXML(const char* user, const char* section, const char* subsection,
                                              int* failReason);

// Replaces the subsection by the element of `text` (appended last to the
// section whatever its name), making the section when missing, and saves.
// The user's record is relinked to its USERDATA node; nothing else of the
// record changes (its password hashes and main fields stay as they are).
//   2 user, section or subsection null or empty, text null, a section to
//     be made that is not an XML name, or an element nested too deep (the
//     old subsection then stays);  6 no USER node or no record;  1 no memory;
//   20 the text does not parse ("XML error %s at line %d\n" logged): all
//     users are then reloaded from their files (ReloadUsers);
//   else the save's code.
int SetUserSettingsXML(const char* user, const char* section, const char* subsection, const char* text);

// Walks `branch` (names separated by backslashes; may be empty) under the
// subsection, appending missing nodes, and puts the element of `text` there:
//   clearExisting 0, branch given:  appended beside the branch's last node;
//   clearExisting 0, branch empty:  appended to the subsection;
//   clearExisting set, branch given: the branch's last node is deleted and
//                                    the element appended to its parent;
//   clearExisting set, branch empty: every child of the subsection is deleted
//                                    and the element appended to it.
// Section and subsection are made when missing. Then saves.
//   2 user, section, subsection, branch or text null; user, section or
//     subsection empty; an empty branch element; a name to be created that
//     is not an XML name; an element nested too deep (nothing changes in
//     these cases);
//   6 no USER node or no record;  1 no memory ("Unable to create child node" logged);
//   20 the text does not parse: all users are reloaded (ReloadUsers);
//   else the save's code.
int SetUserAppBranchXML(const char* user, const char* section, const char* subsection, const char* branch,
                        int clearExisting, const char* text);

// Parses `text` with the users-tree reader (so a skipped element name set by
// the users XML exchange applies) and appends its element as the last child
// of `parent`; with a null parent and an empty users tree the element becomes
// the root. 0; 20 for a null text, a parse error ("XML error %s at line
// %d\n" logged) or no memory during the parse; nothing of a failed parse is
// left under `parent` (nor as the root).
int ParseXMLStringIntoNode(const char* text, XMLNode* parent);

// ---- The settings path buffer -------------------------------------------------------------
// A process-wide path of at most 2047 bytes, for callers that build a path
// name by name.

// Empties the path; gives it.
const char* ResetSettingsPath();
// Appends a backslash and `name` when the result with its NUL fits 2048
// bytes and gives the path; null (path unchanged) when it would not fit or
// `name` is null.
const char* AppendSettingsPath(const char* name);
// Cuts the path at its last backslash, or empties it when it has none; gives it.
const char* StripSettingsPath();
