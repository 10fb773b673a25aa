// The users XML exchange: the users documents that clients read (all users
// from the files on disk, one user, the users of one application) and the
// four ways client XML text changes users (one user whole, a user's main
// fields, a user's settings, the whole store), with the hashing of plain-text
// passwords in client text. Directory layer: calls the users tree and users
// files, the per-user settings, the user records, bcrypt hashing, the XML
// toolkit, the platform files, the server settings and the log.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "foundation/uid/node_header.h"

struct XMLNode;  // foundation/xml: an element of the users tree

// ---- Fixed names and sizes --------------------------------------------------------

// A client PASSWORDV2 text shorter than this is a plain password and is hashed;
// a longer one is taken as a hash and kept verbatim.
constexpr size_t kPlainPasswordLimit = 33;
// The PASSWORDV2 text of an account without a usable password: kept verbatim.
constexpr const char kNoPasswordMarker[] = "00000000";
// Bytes of margin the all-users document reserves beyond its files.
constexpr size_t kAllUsersDocumentMargin = 1024;
// The backup SetUsersXML makes of the users file: its path with this appended.
constexpr const char kUsersFileBackupSuffix[] = ".old";

// ---- Conventions -------------------------------------------------------------------
// Documents come back as new strings (std::nullopt on failure). The getters
// report their code through `failReason`; without one they do nothing and
// give nothing.
// The setters take the user's name as clients give it (case-insensitive;
// domain\user reaches an Active Directory user of the computer domain).
// Client text is checked before the users change wherever the text alone
// decides: a text that does not parse (20), that names another user or is
// not the expected element (2), whose settings the users files could not
// hold (2), or whose password cannot be hashed (56) leaves records, tree and
// files as they were. A failure after the users changed reloads all users
// from the version-2 files (ReloadUsers), so that memory again matches the
// disk; the answer is then the reload's code when that is non-zero, else the
// operation's own. A failed save is answered with its code and the change
// stays in memory (as for every save).

// ---- Documents for clients ------------------------------------------------------------

// GetAllUsersXMLV2 of the home directory of the server settings.
std::optional<std::string> GetUsersXML(int* failReason);

// The all-users document, built from the files on disk: `<?xml
// version="1.0"?>` directly followed by "<USERS>", the bytes of every
// per-user file listed in "userlist.xml" of `home`, in list order (a listed
// file that is missing, unreadable or empty is left out), then "</USERS>".
// The list is read as the version-2 reader reads it (an entry without a
// usable UID ends it; the UIDs before count).
//   0 the document;  14 the list cannot be opened ("Unable to open user list
//   file >%s<");  6 the list names no user ("Unable to find any users in user
//   list file >%s<");  1 no memory ("Unable to allocate combined user buffer
//   of %d bytes").
std::optional<std::string> GetAllUsersXMLV2(const char* home, int* failReason);

// GetAllUsersXMLV2 with each file's text handed to `filter` (the file's UID,
// its text, the document to append to) in place of being appended as it is;
// an empty filter appends every text. The filter may throw std::bad_alloc.
using UserFileFilter = std::function<void(UID uid, const std::string& text, std::string& out)>;
std::optional<std::string> BuildAllUsersXMLV2(const char* home, const UserFileFilter& filter, int* failReason);

// The one-user document: the user's USER element exactly as the users files
// hold it (WriteUserXML). 0; 2 a null or empty name, or a record the writer
// refuses; 6 no such user (FindUser, domain rule included); 1 no memory.
std::optional<std::string> GetUserXML(const char* name, int* failReason);

// The application users document: "<USERS>\n", the USER element of every user
// whose settings section `section` (any section when it is empty) holds a
// child named `subsection`, in the order of the user array, then
// "</USERS>\n"; no declaration. 0; 6 no users, or none with those settings
// (also for a null section or subsection); a writer code (2, 1). Makes the
// USERDATA node of a user whose USER node has none (UserHasAppSetting).
std::optional<std::string> GetUsersXMLForApp(const char* section, const char* subsection, int* failReason);

// ---- Client text -----------------------------------------------------------------------

// Hashes every plain-text PASSWORDV2 child of the USER node (name compared
// without regard to case; children only, in order): a text shorter than
// kPlainPasswordLimit bytes is replaced by its new cost-12 bcrypt hash text.
// The no-password marker "00000000" and a PASSWORDV2 without text (or with
// the empty text) are left as they are, and so is every longer text.
// 0; 56 at the first hashing failure (the children hashed before stay
// hashed); 0 for a null node.
int HashPlainTextPasswords(XMLNode* userNode);

// Replaces the user (node and record) by the one USER element of `text`,
// whose USERNAME must name the user: equal to `name` without regard to case,
// or, for domain\user of the computer domain, the user part with a non-zero
// ADUSER; when the user exists, its stored name. Plain-text passwords are
// hashed. The old record is deleted whatever its UID (built-in accounts are
// replaced too) with its node; the new record takes the text's UID, or a new
// one when the text has none, and keeps the text's settings as its own node
// (no other node is made). Then the user is saved.
//   2 name or text null or empty, the text's element is not USER or names
//     another user, its settings cannot be written, its UID is held by
//     another user or node or is a built-in object's other than this
//     account's own (IsUIDAllowedForClientUser), a new user's name is a
//     group's; 20 the text does not parse; 56 hashing failed (in these
//     cases nothing changed);
//   after the old user is gone: the conversion's code (1 no memory ...)
//     with a reload; else the save's code.
// Of an element the text repeats only the last counts (the others are
// dropped before the hashing, RemoveSupersededUserElements).
int SetUserXML(const char* name, const char* text);

// Replaces the user's main fields (UID, USERNAME, PASSWORD, PASSWORDV2,
// FORENAME, SURNAME, LEVEL, EMAIL, GROUPLIST, ADUSER) by those that the USER
// element of `text` holds: a main field the text does not give is cleared.
// The text's USERNAME must be the user's own name (letter case may change).
// The user's settings stay, unless the text brings its own USERDATA, which
// then replaces them; its fields stay, unless the text brings FIELD elements,
// which then replace them. Plain-text passwords are hashed; then the user is
// saved.
//   2 name or text null or empty, the text names no user or another one, or
//     its settings cannot be written; 6 no such user or no node of it;
//   8 a UID in the text that is not the user's; 20 the text does not parse;
//   56 hashing failed (nothing changed in these cases);
//   after the node changed: the conversion's code with a reload; else the
//     save's code.
int UpdateUserXML(const char* name, const char* text);

// Replaces the user's settings by the USERDATA element of `text` and links
// the record to it; nothing else of the record changes (its hashes, level and
// main fields stay). Saves nothing.
//   0; 2 name or text null or empty, the element is not USERDATA, or the
//   users files could not hold it; 6 no such user or no node of it; 20 the
//   text does not parse. Every failure leaves the user as it was.
int ReplaceUserDataXML(const char* name, const char* text);

// ReplaceUserDataXML, then the save of the user: its non-zero code, or the
// save's code.
int SetUserDataXML(const char* name, const char* text);

// Replaces the whole store by the version-1 users document `text`: the users
// file (the users file path of the server settings) is first copied to that
// path with ".old" appended, then replaced by the text, read with
// ReadUsersXML (a bad user fails the whole text), given UIDs where it has
// none, and every version-2 file is rewritten; the files of the users the
// store held and the text does not (under their UIDs) are removed once the
// new list is written. PASSWORDV2 texts are taken verbatim.
//   2 text null or empty;  14 no backup could be made ("Unable to make backup
//   of old xml data"), or the users file cannot be created;  15 writing it
//   failed (the old users file stays);  after the users were freed: the
//   read's code (-1 not well-formed, 2 ...) with a reload (users.xml then
//   holds the rejected text, users.xml.old the previous one); else the code
//   of the save of every user.
int SetUsersXML(const char* text);
