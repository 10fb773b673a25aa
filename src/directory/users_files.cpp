// The users files: the USER element writer, the save of userlist.xml and the
// per-user files (atomic, per-user files first), the version-1 and version-2
// readers, the conversion of USER nodes into records, the login sections,
// UID assignment and the reload; plus the load state that keeps a failed or
// partial load from overwriting the files.
// Directory layer: calls the users tree and the users-file event records, the
// user records, the XML toolkit, the registry and UID allocation, atomic
// files, the utilities (the file read-ahead among them) and the log.
#include "directory/users_files.h"

#include <expat.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "directory/user_main_fields.h"
#include "directory/user_settings.h"
#include "directory/users_file_events.h"
#include "directory/users_tree.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/util/file_read_ahead.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_escape.h"
#include "foundation/xml/xml_tree.h"
#include "foundation/xml/xml_guard.h"
#include "foundation/xml/xml_value_stack.h"
#include "platform/random_bytes.h"
#include "foundation/xml/xml_writer.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/fs.h"

namespace {

constexpr const char kDeclarationLine[] = "<?xml version=\"1.0\"?>\n";
constexpr size_t kStreamFlushSize = 64 * 1024;  // the list and version-1 writers hand text on in pieces of this size
// Above this many records, the login-section pass finds the nodes of records
// without a usable link through one index of the tree instead of a walk each.
constexpr int kNodeIndexThreshold = 8;

UsersLoadState g_loadState = USERS_LOAD_NONE;
std::vector<UID> g_listUIDs;
UserStruct g_scratch;  // the conversion's scratch record; never registered
// Per-user files of users the last load skipped: not rewritten until the next load.
std::unordered_set<UID> g_protectedUIDs;
// The version-2 read passed over a file or part of the list: the load is partial.
bool g_readSkipped = false;
// The last list read met an element other than USERLIST and USER.
bool g_listUnknownElement = false;

// What userlist.xml on disk holds, as the UID and name of each of its lines in
// order: the list's bytes are a function of these alone, so a save whose
// array gives the same pairs leaves the file alone. A save compares them
// with the array; while the array's change count (GetUserArrayGeneration:
// adds, deletes, sorts, loads, client XML, new UIDs, a change of letter
// case) stands where it stood when they were last seen equal, a one-user
// save compares only the saved user's pair, which its caller may have
// changed in place. Known only after this process wrote the list or a load
// found it byte for byte as the writer would write it.
struct ListOnDisk {
  bool known = false;
  uint64_t generation = 0;   // the array's generation when the pairs were last seen equal
  std::vector<UID> uids;
  std::string names;         // every name, one after another (a missing name is empty, as written)
  std::vector<uint32_t> ends;  // the end of each name in `names`
};
ListOnDisk g_listOnDisk;

// The text of each per-user file as the last version-2 read found it, kept
// only for the rewrite of a reload that follows it (ReloadUsers): a file
// whose new text is the same is not written again.
bool g_keepReadTexts = false;
std::unordered_map<UID, std::string> g_readTexts;

// The name of a per-user file within users/: "%08X.xml".
void AppendUserFileName(std::string& out, UID uid) {
  char name[16];
  snprintf(name, sizeof name, "%08X.xml", uid);
  out.append(name);
}

std::string UserFileName(UID uid) {
  std::string name;
  AppendUserFileName(name, uid);
  return name;
}

// The hash salt of every per-user file's parse in one load, drawn once for
// the load: a parser reset otherwise draws a new one from the kernel, a
// system call per file. 0 (the draw failed) leaves the parser to draw.
unsigned long DrawLoadHashSalt() {
  unsigned long salt = 0;
  if (GetRandomBytes(&salt, sizeof salt) != 0) return 0;
  return salt != 0 ? salt : 1;
}

// The children of a USER node that the conversion reads as main fields.
constexpr const char* kMainFieldElements[] = {"UID",     "USERNAME", "PASSWORD", "PASSWORDV2", "FORENAME",
                                              "SURNAME", "EMAIL",    "GROUPLIST", "LEVEL",     kADUserNodeName};

// The element of one of a user's fields: <FIELD NAME="name">value</FIELD>.
constexpr const char kFieldElementName[] = "FIELD";

int MainFieldIndex(const std::string& name) {
  for (size_t i = 0; i < sizeof kMainFieldElements / sizeof kMainFieldElements[0]; ++i) {
    if (EqualsNoCase(name, kMainFieldElements[i])) return static_cast<int>(i);
  }
  return -1;
}

const char* NameForLog(const UserStruct* user) { return user && user->USERNAME ? user->USERNAME->c_str() : ""; }

// ---- Writing ---------------------------------------------------------------------

// "%08X" of the value.
void AppendHex8(std::string& out, uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  char buf[8];
  for (int i = 7; i >= 0; --i, value >>= 4) buf[i] = kDigits[value & 0xF];
  out.append(buf, 8);
}

void AppendDecimal(std::string& out, int32_t value) {
  char buf[16];
  int n = snprintf(buf, sizeof buf, "%d", value);
  out.append(buf, static_cast<size_t>(n));
}

// True for a name the users reader reads back as an element or attribute
// name: exact for ASCII (letters, '_' or ':' first; then also digits, '-',
// '.'), bytes of 0x80 and above allowed when the whole is valid UTF-8.
bool IsWritableXMLName(std::string_view name) {
  if (name.empty() || !IsValidXmlText(name)) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c >= 0x80) continue;
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
    const bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!letter && !(i > 0 && other)) return false;
  }
  return true;
}

// Appends one text element "<name>escaped</name>\n". False when the text is
// not valid XML text.
bool AppendTextElement(std::string& out, const char* name, std::string_view text) {
  if (!IsValidXmlText(text)) return false;
  AppendXMLTextElement(out, name, text);
  return true;
}

// The node list (with following siblings) as the settings block writes it.
// Loops over siblings and keeps its own stack of open nodes: no recursion.
int AppendNodeList(const XMLNode* node, int depth, std::string& out) {
  std::vector<const XMLNode*> open;
  const XMLNode* n = node;
  while (n != nullptr) {
    if (!IsWritableXMLName(n->name)) {
      WriteLog(0, "Cannot write settings node >%s< as its name is not an XML name", n->name.c_str());
      return FR_INVALID_PARAMETER;
    }
    if (depth + static_cast<int>(open.size()) > kMaxUserDataDepth) {
      WriteLog(0, "Cannot write settings node >%s< as it is nested too deeply", n->name.c_str());
      return FR_INVALID_PARAMETER;
    }
    out.push_back('<');
    out.append(n->name);
    for (const XMLAttribute& a : n->attributes) {
      if (!IsWritableXMLName(a.name) || !IsValidXmlText(a.value)) {
        WriteLog(0, "Cannot write an attribute of settings node >%s<", n->name.c_str());
        return FR_INVALID_PARAMETER;
      }
      out.push_back(' ');
      out.append(a.name);
      out.append("=\"");
      AppendXMLAttributeEscaped(out, a.value);
      out.push_back('"');
    }
    out.push_back('>');
    if (n->value) {
      if (!IsValidXmlText(*n->value)) {
        WriteLog(0, "Cannot write settings node >%s< as its text is not valid XML text", n->name.c_str());
        return FR_INVALID_PARAMETER;
      }
      AppendXMLEscaped(out, *n->value);
    }
    out.push_back('\n');
    if (n->firstChild != nullptr) {
      open.push_back(n);
      n = n->firstChild;
      continue;
    }
    for (;;) {
      out.append("</");
      out.append(n->name);
      out.append(">\n");
      if (n->nextSibling != nullptr) {
        n = n->nextSibling;
        break;
      }
      if (open.empty()) {
        n = nullptr;
        break;
      }
      n = open.back();
      open.pop_back();
    }
  }
  return FR_OK;
}

int WriteBuffer(FILE* fp, const std::string& text) {
  if (text.empty()) return FR_OK;
  return fwrite(text.data(), 1, text.size(), fp) == text.size() ? FR_OK : FR_WRITE_FAILED;
}

// Writes `text` into a new atomic replacement of `path` and finishes it:
// synced and renamed (commit) or only closed for a later batch rename.
// 0, 14 (cannot create), 15.
int WriteAtomic(AtomicFile& af, const std::string& path, const std::string& text, bool commit, const char* openMessage) {
  if (AtomicFileBegin(af, path) != ATOMIC_OK) {
    WriteLog(1, openMessage, path.c_str());
    return FR_CANNOT_OPEN_FILE;
  }
  if (!text.empty() && fwrite(text.data(), 1, text.size(), af.fp) != text.size()) {
    af.writeFailed = true;
    af.savedErrno = errno;
  }
  const int rc = commit ? AtomicFileCommit(af) : AtomicFileCloseUnsynced(af);
  if (rc != ATOMIC_OK) {
    WriteLog(1, "Unable to write file %s", path.c_str());
    return FR_WRITE_FAILED;
  }
  return FR_OK;
}

std::string_view NameOfRecord(const UserStruct* user) {
  return user->USERNAME ? std::string_view(*user->USERNAME) : std::string_view();
}

// The pieces of userlist.xml's text: its head, the line of one record, its
// tail. The list's bytes are a function of the array's UID/name pairs alone.
void AppendUserListHead(std::string& out) {
  out.append(kDeclarationLine);
  out.append("<");
  out.append(kUserListRootName);
  out.append(">\n");
}

void AppendUserListLine(std::string& out, const UserStruct* user) {
  out.append("<USER uid=\"");
  AppendHex8(out, user->header.uid);
  out.append("\" name=\"");
  AppendXMLAttributeEscaped(out, NameOfRecord(user));
  out.append("\"/>\n");
}

void AppendUserListTail(std::string& out) {
  out.append("</");
  out.append(kUserListRootName);
  out.append(">");
}

// The whole text of userlist.xml for the array.
void BuildUserListText(std::string& out) {
  const int count = GetUserCount();
  out.clear();
  out.reserve(static_cast<size_t>(count) * 48 + 64);
  AppendUserListHead(out);
  for (int i = 0; i < count; ++i) AppendUserListLine(out, GetUserByIndex(i));
  AppendUserListTail(out);
}

// True when the file at `path` holds exactly the list the writer would write
// for the array. The text is made and compared a piece of some tens of kB at
// a time: at a start with many users neither it nor the file is held whole.
bool FileHoldsUserListText(const std::string& path) {
  constexpr size_t kPieceBytes = 64 * 1024;
  const int count = GetUserCount();
  int next = -1;  // -1: the head is next; count: the tail; above: the end
  return FileHoldsPieces(path, [&](std::string& piece) {
    if (next < 0) {
      AppendUserListHead(piece);
      next = 0;
    }
    while (next < count && piece.size() < kPieceBytes) AppendUserListLine(piece, GetUserByIndex(next++));
    if (next == count && piece.size() < kPieceBytes) {
      AppendUserListTail(piece);
      ++next;
    }
  });
}

void ForgetListOnDisk() {
  g_listOnDisk.known = false;
  g_listOnDisk.uids.clear();
  g_listOnDisk.names.clear();
  g_listOnDisk.ends.clear();
}

// Notes the array's pairs as what the list on disk holds. Without memory for
// them the list is simply not known (the next save writes it).
void RememberListOnDisk() {
  ForgetListOnDisk();
  try {
    const int count = GetUserCount();
    size_t nameBytes = 0;  // the names' room taken once, not grown
    for (int i = 0; i < count; ++i) nameBytes += NameOfRecord(GetUserByIndex(i)).size();
    if (nameBytes > UINT32_MAX) return;  // the ends would not fit: not known
    g_listOnDisk.names.reserve(nameBytes);  // the largest first: it may fit a hole the load just left
    g_listOnDisk.uids.reserve(static_cast<size_t>(count));
    g_listOnDisk.ends.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
      const UserStruct* user = GetUserByIndex(i);
      g_listOnDisk.uids.push_back(user->header.uid);
      g_listOnDisk.names.append(NameOfRecord(user));
      g_listOnDisk.ends.push_back(static_cast<uint32_t>(g_listOnDisk.names.size()));
    }
    g_listOnDisk.generation = GetUserArrayGeneration();
    g_listOnDisk.known = true;
  } catch (const std::bad_alloc&) {
    ForgetListOnDisk();
  }
}

// True when the list on disk is known and holds exactly the array's lines
// (every pair compared).
bool ListOnDiskMatchesWhole() {
  const size_t count = static_cast<size_t>(GetUserCount());
  if (count != g_listOnDisk.uids.size()) return false;
  if (count == 0) return true;
  // The records lie one after another in the array: the walk reads one
  // cache line of each, fetched a few records ahead.
  const UserStruct* users = GetUserByIndex(0);
  constexpr size_t kAhead = 8;
  const char* names = g_listOnDisk.names.data();
  size_t begin = 0;
  for (size_t i = 0; i < count; ++i) {
    if (i + kAhead < count) __builtin_prefetch(users + i + kAhead);
    const UserStruct& user = users[i];
    const size_t end = g_listOnDisk.ends[i];
    const std::string_view name = NameOfRecord(&user);
    if (user.header.uid != g_listOnDisk.uids[i] || name != std::string_view(names + begin, end - begin)) return false;
    begin = end;
  }
  return true;
}

// True when the list on disk is known and holds exactly the array's lines.
// While the array has not changed since the pairs were last seen equal, only
// the pair of the user at `saved` (the one a one-user save writes, whose
// record its caller may have changed in place) can differ; otherwise, or for
// a save of all, every pair is compared.
bool ListOnDiskMatches(int saved) {
  if (!g_listOnDisk.known) return false;
  const size_t count = static_cast<size_t>(GetUserCount());
  if (count != g_listOnDisk.uids.size()) return false;
  const uint64_t generation = GetUserArrayGeneration();
  if (saved >= 0 && static_cast<size_t>(saved) < count && generation == g_listOnDisk.generation) {
    const size_t i = static_cast<size_t>(saved);
    const size_t begin = i == 0 ? 0 : g_listOnDisk.ends[i - 1];
    const UserStruct* user = GetUserByIndex(saved);
    const bool same = user->header.uid == g_listOnDisk.uids[i] &&
                      NameOfRecord(user) == std::string_view(g_listOnDisk.names).substr(begin, g_listOnDisk.ends[i] - begin);
    assert(!same || ListOnDiskMatchesWhole());  // every other change moves the generation on
    return same;
  }
  if (!ListOnDiskMatchesWhole()) return false;
  g_listOnDisk.generation = generation;
  return true;
}

// True when the file at `path` holds exactly `text` (read into one buffer
// reused from call to call). A file that cannot be read does not.
bool FileHoldsText(const std::string& path, const std::string& text) {
  static std::string onDisk;
  return ReadFileToBuffer(path, onDisk) == FR_OK && onDisk == text;
}

// Replaces userlist.xml with the list of the whole array, built whole and
// handed to the file in one write. 0, 14, 15.
int WriteUserListFile(const std::string& path) {
  ForgetListOnDisk();  // until the new list is in place
  std::string out;
  BuildUserListText(out);
  AtomicFile af;
  const int rc = WriteAtomic(af, path, out, true, "Unable to open user list file >%s<");
  if (rc == FR_OK) RememberListOnDisk();
  return rc;
}

// After a load that made every listed user: the list on disk is known when
// its bytes are exactly what the writer would write for the array, so the
// first save after a start can leave it alone too.
void NoteListAfterLoad(const std::string& path) {
  if (g_loadState != USERS_LOAD_OK) return;
  if (FileHoldsUserListText(path)) RememberListOnDisk();
}

// The record's per-user file text, refusing a record the save must not
// write. 0, 2, 15 (a file of a skipped user).
int BuildUserFile(const UserStruct* user, std::string& text) {
  if (user == nullptr) return FR_INVALID_PARAMETER;
  if (user->header.uid == kNoUID) {
    WriteLog(0, "Cannot write the users file of >%s< as it has no UID", NameForLog(user));
    return FR_INVALID_PARAMETER;
  }
  if (g_protectedUIDs.count(user->header.uid) != 0) {
    WriteLog(0, "Not rewriting the users file %08X.xml of >%s< as it holds a user skipped at the last load",
             user->header.uid, NameForLog(user));
    return FR_WRITE_FAILED;
  }
  text.clear();
  return AppendUserXML(user, text);
}

// Every user's file: all written unsynced, made durable with one sync, then
// renamed into place. 0, 2, 14, 15; a failure leaves every old file.
int WriteAllUserFiles(const std::string& home, bool* replacedAny) {
  const std::string dir = home + kUsersDirectoryName;
  // Without the directory there is no file to compare with (the upgrade of
  // a version-1 store): none is read.
  const bool compare = ProbePath(dir) == PATH_EXISTS;
  MakeSureDirectoryPathExists(dir);
  const int count = GetUserCount();
  std::vector<std::unique_ptr<AtomicFile>> files;
  std::string text;
  for (int i = 0; i < count; ++i) {
    const UserStruct* user = GetUserByIndex(i);
    int rc = BuildUserFile(user, text);
    if (rc != FR_OK) return rc;
    // A file that already holds the new text is left alone: the text the
    // reload just read, else the file itself.
    const std::string path = UserFilePath(home, user->header.uid);
    if (!g_readTexts.empty()) {
      auto known = g_readTexts.find(user->header.uid);
      if (known != g_readTexts.end() && known->second == text) continue;
    } else if (compare && FileHoldsText(path, text)) {
      continue;
    }
    files.push_back(std::make_unique<AtomicFile>());
    rc = WriteAtomic(*files.back(), path, text, false, "WriteV2UserToFile:Unable to open file %s");
    if (rc != FR_OK) return rc;
  }
  if (files.empty()) return FR_OK;
  if (!SyncFileSystemOf(dir)) {  // nothing renamed yet: every old file stays
    WriteLog(1, "Unable to write file %s", dir.c_str());
    return FR_WRITE_FAILED;
  }
  for (auto& af : files) {
    if (AtomicFileRename(*af) != ATOMIC_OK) {
      WriteLog(1, "Unable to write file %s", af->path.c_str());
      SyncFileSystemOf(dir);
      return FR_WRITE_FAILED;
    }
    *replacedAny = true;
  }
  SyncFileSystemOf(dir);
  return FR_OK;
}

// True (logged) while the last load failed: the files on disk are then the
// only whole copy of the users, and memory must not overwrite them.
bool SavesRefusedAfterFailedLoad() {
  if (g_loadState != USERS_LOAD_FAILED) return false;
  WriteLog(0, "Not writing the users files as the last load of them failed: they are kept as they are");
  return true;
}

// ---- Login sections ----------------------------------------------------------------

// Defined with the login sections below.
int EnsureLoginSectionOf(UserStruct* user, XMLNode* node);

// ---- Conversion runs (defined with the conversion below) -------------------------------
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

// ---- Reading --------------------------------------------------------------------------

// The parse error of a users read: its error code and line where it stopped.
void LogParseErrorAt(int error, unsigned long line) {
  const char* text = XML_ErrorString(static_cast<XML_Error>(error));
  WriteLog(0, "XML error %s at line %d\n", UsersReadFailed() ? "parsing stopped" : text != nullptr ? text : "unknown",
           static_cast<int>(line));
}

void LogParseError(XML_Parser parser) {
  LogParseErrorAt(static_cast<int>(XML_GetErrorCode(parser)), XML_GetCurrentLineNumber(parser));
}

// Ends a read: the parser freed, the gathered texts released, no cursor.
void EndParse(XML_Parser parser) {
  if (parser != nullptr) XML_ParserFree(parser);
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  SetUsersTreeCursor(nullptr);
}

// Starts a load: an old tree is dropped; the array gets room for `expected`
// more users at once, so that a load does not move the array every 50 users.
void PrepareLoad(size_t expected) {
  if (GetUsersTreeRoot() != nullptr) FreeUsersXMLTree();
  const long long want = static_cast<long long>(GetUserCount()) + static_cast<long long>(expected);
  if (want > GetUserArrayCapacity() && want < INT32_MAX) ResizeUserArray(static_cast<int>(want));
  ReserveNodeQAArray(expected);  // and the registry's room for them
}

// The UID of a per-user file name written exactly as UserFileName writes it
// ("%08X.xml"); false for any other name.
bool UIDOfUserFileName(const std::string& name, UID* uid) {
  if (name.size() != 12 || name.compare(8, 4, ".xml") != 0) return false;
  UID value = 0;
  for (size_t i = 0; i < 8; ++i) {
    const int digit = HexDigitValue(name[i]);
    if (digit < 0 || (name[i] >= 'a' && name[i] <= 'f')) return false;  // the writer's digits are upper case
    value = (value << 4) | static_cast<UID>(digit);
  }
  *uid = value;
  return true;
}

// Logs (with the error flag) every file in users/ that the list just read
// does not name: the users they may hold are not loaded, so a start must not
// be silent about them (a cut list, for one). Nothing is deleted. Leftovers
// of the atomic writer (its start-up removal is the host's) and directories
// are passed over.
void LogUnlistedUserFiles(const std::string& home) {
  try {
    std::vector<UID> listed(g_listUIDs);
    std::sort(listed.begin(), listed.end());
    const std::string dir = home + kUsersDirectoryName;
    // Only the names the list does not give are kept, in the same order at
    // every start.
    std::vector<std::string> names;
    const bool read = ForEachDirectoryName(dir, [&](const char* entry) {
      const std::string name(entry);
      UID uid = 0;
      if (UIDOfUserFileName(name, &uid) && std::binary_search(listed.begin(), listed.end(), uid)) return;
      if (!IsAtomicFileLeftoverName(name)) names.push_back(name);
    });
    if (!read) return;  // no users/ at all: nothing unlisted
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      FileStatus status;
      if (GetFileStatus(dir + name, status) && status.isDirectory) continue;
      errno = 0;
      WriteLog(1, "The users file >%s%s< is not named in the user list: it is kept, and the user it may hold "
               "is not loaded", dir.c_str(), name.c_str());
    }
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate the names of the users files");
  }
}

FileReadAheadOptions g_readAheadOptions;

// The listed per-user files, read ahead of the parse in list order; null
// when there is no memory for the list of their names (each is then read
// by the parsing thread itself).
std::unique_ptr<FileReadAhead> ReadUserFilesAhead(const std::string& home, const std::vector<UID>& uids) {
  try {
    FileReadAheadOptions options = g_readAheadOptions;
    options.step = RecordUserFileEvents;  // each worker parses what it reads
    // Each name made from its UID when it is read: the list of UIDs stays
    // as it is for the whole loop.
    return std::make_unique<FileReadAhead>(
        home + kUsersDirectoryName, uids.size(),
        [&uids](size_t i, std::string& name) { AppendUserFileName(name, uids[i]); }, options);
  } catch (const std::exception&) {
    return nullptr;
  }
}

// A per-user file holds one USER element and nothing a document of many
// would refuse: an XML declaration or a document type inside it (which the
// all-users document, the files one after another, could not hold) fails
// it as a parse error would.
void RefuseDeclaration() {
  WriteLog(0, "A users file begins with an XML declaration");
  SetUsersReadFailure();
}

void RefuseDoctype() {
  WriteLog(0, "A users file holds a document type");
  SetUsersReadFailure();
}

void XMLCALL RefuseDeclarationInUserFile(void* userData, const XML_Char*, const XML_Char*, int) {
  RefuseDeclaration();
  XML_StopParser(static_cast<XML_Parser>(userData), XML_FALSE);
}

void XMLCALL RefuseDoctypeInUserFile(void* userData, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  RefuseDoctype();
  XML_StopParser(static_cast<XML_Parser>(userData), XML_FALSE);
}

// Parses one per-user file's text as a document of its own (the parser is
// reset, not made anew) whose elements go under `root`; with `events` (the
// file's event record, made by a read-ahead worker) the record is replayed
// in place of the parse, to the same tree and log lines. True when it read
// whole; otherwise the error is logged and every node it made is removed
// again, so that the other users are read as if the file were not there.
bool ParseUserFileInto(XML_Parser parser, const std::string& content, XMLNode* root, const std::string& events) {
  XMLNode* tail = root->lastChild;
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  ClearUsersReadFailure();
  SetUsersTreeCursor(root);
  bool ok = false;
  if (!events.empty()) {
    const UserFileReplay replay = ReplayUserFileEvents(events);
    if (replay.declarationRefused) RefuseDeclaration();
    if (replay.doctypeRefused) RefuseDoctype();
    ok = replay.parsedWhole && !UsersReadFailed();
    if (!ok) LogParseErrorAt(replay.xmlError, replay.line);
  } else {
    XML_ParserReset(parser, "UTF-8");
    if (const unsigned long salt = GetUserFileHashSalt(); salt != 0) XML_SetHashSalt(parser, salt);
    InstallUsersTreeHandlers(parser);
    XML_SetXmlDeclHandler(parser, RefuseDeclarationInUserFile);
    XML_SetStartDoctypeDeclHandler(parser, RefuseDoctypeInUserFile);
    ok = content.size() <= static_cast<size_t>(INT32_MAX) &&
         XML_Parse(parser, content.data(), static_cast<int>(content.size()), 1) == XML_STATUS_OK && !UsersReadFailed();
    if (!ok) LogParseError(parser);
  }
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  SetUsersTreeCursor(nullptr);
  if (ok) return true;
  while (XMLNode* made = tail != nullptr ? tail->nextSibling : root->firstChild) RemoveUsersTreeNode(made);
  return false;
}

}  // namespace

// ---- Paths and state ----------------------------------------------------------------------

std::string UserFilePath(const std::string& home, UID uid) { return home + kUsersDirectoryName + UserFileName(uid); }

UsersLoadState GetUsersLoadState() { return g_loadState; }

void SetUsersFileReadAhead(const FileReadAheadOptions& options) { g_readAheadOptions = options; }

// ---- Writers ---------------------------------------------------------------------------------

int AppendXMLNodeTree(const XMLNode* node, int depth, std::string& out) {
  if (node == nullptr) return FR_OK;
  const size_t mark = out.size();
  int rc = FR_OK;
  try {
    rc = AppendNodeList(node, depth, out);
  } catch (const std::bad_alloc&) {
    rc = FR_NO_MEMORY;
  }
  if (rc != FR_OK) out.resize(mark);
  return rc;
}

int WriteXMLNodeTree(FILE* fp, const XMLNode* node) {
  if (node == nullptr) return FR_OK;
  if (fp == nullptr) return FR_INVALID_PARAMETER;
  std::string text;
  const int rc = AppendXMLNodeTree(node, 1, text);
  if (rc != FR_OK) return rc;
  return WriteBuffer(fp, text);
}

int AppendUserDataXML(const XMLNode* userData, std::string& out) {
  if (userData == nullptr) return FR_INVALID_PARAMETER;
  const size_t mark = out.size();
  out.append("<USERDATA>\n");
  const int rc = AppendXMLNodeTree(userData->firstChild, 1, out);
  if (rc != FR_OK) {
    out.resize(mark);
    return rc;
  }
  out.append("</USERDATA>\n");
  return FR_OK;
}

int WriteUserDataXML(FILE* fp, const XMLNode* userData) {
  if (fp == nullptr || userData == nullptr) return FR_INVALID_PARAMETER;
  std::string text;
  const int rc = AppendUserDataXML(userData, text);
  if (rc != FR_OK) return rc;
  return WriteBuffer(fp, text);
}

int AppendUserXML(const UserStruct* user, std::string& out) {
  if (user == nullptr || !user->USERNAME) return FR_INVALID_PARAMETER;
  const size_t mark = out.size();
  int rc = FR_OK;
  try {
    bool ok = true;
    out.append("<USER>\n<UID>");
    AppendHex8(out, user->header.uid);
    out.append("</UID>\n");
    ok = ok && AppendTextElement(out, "USERNAME", *user->USERNAME);
    if (user->PASSWORD != 0) {
      out.append("<PASSWORD>");
      AppendHex8(out, user->PASSWORD);
      out.append("</PASSWORD>\n");
    }
    if (user->PASSWORDV2) ok = ok && AppendTextElement(out, "PASSWORDV2", *user->PASSWORDV2);
    out.append("<ADUSER>");
    AppendDecimal(out, user->ADUSER);
    out.append("</ADUSER>\n<LEVEL>");
    AppendDecimal(out, static_cast<int32_t>(user->LEVEL));
    out.append("</LEVEL>\n");
    if (user->FORENAME) ok = ok && AppendTextElement(out, "FORENAME", *user->FORENAME);
    if (user->SURNAME) ok = ok && AppendTextElement(out, "SURNAME", *user->SURNAME);
    if (user->EMAIL) ok = ok && AppendTextElement(out, "EMAIL", *user->EMAIL);
    if (user->GROUPLIST) ok = ok && AppendTextElement(out, "GROUPLIST", *user->GROUPLIST);
    for (const UserField& field : user->fields) {
      if (!ok) break;
      const std::string_view value = field.value ? std::string_view(*field.value) : std::string_view();
      if (!field.name || field.name->empty() || !IsValidXmlText(*field.name) || !IsValidXmlText(value)) {
        ok = false;
        break;
      }
      out.append("<FIELD NAME=\"");
      AppendXMLAttributeEscaped(out, *field.name);
      out.append("\">");
      AppendXMLEscaped(out, value);
      out.append("</FIELD>\n");
    }
    if (!ok) {
      WriteLog(0, "Cannot write user >%s< as a text of it is not valid XML text", NameForLog(user));
      rc = FR_INVALID_PARAMETER;
    } else if (user->USERDATA != nullptr) {
      rc = AppendUserDataXML(user->USERDATA, out);
    }
    if (rc == FR_OK) out.append("</USER>\n");
  } catch (const std::bad_alloc&) {
    rc = FR_NO_MEMORY;
  }
  if (rc != FR_OK) out.resize(mark);
  return rc;
}

int WriteUserXML(const UserStruct* user, FILE* fp) {
  if (user == nullptr || fp == nullptr) return FR_INVALID_PARAMETER;
  std::string text;
  const int rc = AppendUserXML(user, text);
  if (rc != FR_OK) return rc;
  return WriteBuffer(fp, text);
}

int WriteV2UserToFile(const UserStruct* user, const char* home) {
  if (user == nullptr || home == nullptr || home[0] == '\0' || user->header.uid == kNoUID) return FR_INVALID_PARAMETER;
  std::string text;
  int rc = AppendUserXML(user, text);
  if (rc != FR_OK) return rc;
  MakeSureDirectoryPathExists(std::string(home) + kUsersDirectoryName);
  AtomicFile af;
  return WriteAtomic(af, UserFilePath(home, user->header.uid), text, true, "WriteV2UserToFile:Unable to open file %s");
}

int SaveUsers(const char* home, const char* name) { return WriteUserList(home, name); }

namespace {

// The named user's own file (index from FindUserIndex; none: nothing to
// write, the list alone changes). 0, 2, 14, 15.
int WriteOneUserFile(const std::string& home, int index, bool* replaced) {
  if (index < 0) return FR_OK;
  const UserStruct* user = GetUserByIndex(index);
  std::string text;
  int rc = BuildUserFile(user, text);
  if (rc != FR_OK) return rc;
  const std::string path = UserFilePath(home, user->header.uid);
  if (FileHoldsText(path, text)) return FR_OK;  // the same bytes are there already
  MakeSureDirectoryPathExists(home + kUsersDirectoryName);
  AtomicFile af;
  rc = WriteAtomic(af, path, text, true, "WriteV2UserToFile:Unable to open file %s");
  *replaced = rc == FR_OK;
  return rc;
}

// Before the first list written after a partial load: the list that load
// read names users that are not in memory, so it is kept beside the new one
// as userlist.xml.bad. 0, or 15 (logged) when it cannot be kept.
int KeepListOfPartialLoad(const std::string& home) {
  const std::string listPath = home + kUserListFileName;
  if (g_loadState != USERS_LOAD_PARTIAL || ProbePath(listPath) != PATH_EXISTS) return FR_OK;
  if (!CopyWholeFile(listPath, home + kUserListBadFileName)) {
    WriteLog(1, "Unable to keep the previous user list as %s%s; the users files are not written", home.c_str(),
             kUserListBadFileName);
    return FR_WRITE_FAILED;
  }
  WriteLog(0, "The previous user list is kept as %s%s", home.c_str(), kUserListBadFileName);
  return FR_OK;
}

// The steps of WriteUserList, which answers 1 for memory running out in any.
int WriteUserListSteps(const char* home, const char* name) {
  // The login sections of the users whose files are written: every user's
  // for a full rewrite, the named user's alone otherwise (the other users'
  // files are not written, so their sections are seen to at their own saves;
  // this keeps a one-user save from walking every user's settings).
  const int index = name != nullptr ? FindUserIndex(name) : -1;
  int rc = FR_OK;
  if (name == nullptr) {
    rc = EnsureUserLoginSections();
  } else if (index >= 0) {
    rc = EnsureLoginSectionOf(GetUserByIndex(index), nullptr);
  }
  if (rc != FR_OK) return rc;
  if (home == nullptr || home[0] == '\0') {
    WriteLog(0, "Asked to write users to file but no homeDir provided");
    return FR_INVALID_PARAMETER;
  }
  if (SavesRefusedAfterFailedLoad()) return FR_WRITE_FAILED;
  const std::string h(home);
  bool replaced = false;
  // The user's own record is found as every lookup finds it (domain\user
  // included), so that its file is rewritten whatever form the caller used.
  rc = name == nullptr ? WriteAllUserFiles(h, &replaced) : WriteOneUserFile(h, index, &replaced);
  // The list is written only when its bytes change (most saves change no
  // UID and no name). After a partial load it is always written, the old one
  // kept beside it first.
  if (rc == FR_OK && (g_loadState == USERS_LOAD_PARTIAL || !ListOnDiskMatches(index))) {
    rc = KeepListOfPartialLoad(h);
    if (rc == FR_OK) rc = WriteUserListFile(h + kUserListFileName);
    if (rc == FR_OK && g_loadState == USERS_LOAD_PARTIAL) g_loadState = USERS_LOAD_OK;
  }
  // A save that succeeded sets the users time, whatever it had to write.
  if (rc == FR_OK) replaced = true;
  if (replaced) SetUsersTime(NowTime32());
  return rc;
}

}  // namespace

int WriteUserList(const char* home, const char* name) {
  try {
    return WriteUserListSteps(home, name);
  } catch (const std::bad_alloc&) {
    // Every file is replaced atomically: those not replaced yet stay whole.
    return FR_NO_MEMORY;
  }
}

int ReplaceUsersFileText(const std::string& path, const char* text, size_t length) {
  const int written = ReplaceFileAtomically(path, text, length);
  if (written == ATOMIC_OPEN_FAILED) {
    WriteLog(1, "Unable to open users file >%s<", path.c_str());
    return FR_CANNOT_OPEN_FILE;
  }
  if (written != ATOMIC_OK) {
    WriteLog(1, "Unable to write users file >%s<", path.c_str());
    return FR_WRITE_FAILED;
  }
  return FR_OK;
}

int WriteUsersXML(const char* path) {
  int rc = EnsureUserLoginSections();
  if (rc != FR_OK) return rc;
  if (path == nullptr || path[0] == '\0') {
    WriteLog(0, "Asked to write users to file but no filename provided");
    return FR_INVALID_PARAMETER;
  }
  if (SavesRefusedAfterFailedLoad()) return FR_WRITE_FAILED;
  AtomicFile af;
  if (AtomicFileBegin(af, path) != ATOMIC_OK) {
    WriteLog(1, "Unable to open users file >%s<", path);
    return FR_CANNOT_OPEN_FILE;
  }
  std::string text = kDeclarationLine;
  text.append("<USERS>\n");
  const int count = GetUserCount();
  for (int i = 0; i < count && rc == FR_OK; ++i) {
    rc = AppendUserXML(GetUserByIndex(i), text);
    if (rc == FR_OK && text.size() >= kStreamFlushSize) {
      rc = WriteBuffer(af.fp, text);
      text.clear();
    }
  }
  if (rc != FR_OK) return rc;  // the old file stays
  text.append("</USERS>");
  if (WriteBuffer(af.fp, text) != FR_OK) {
    af.writeFailed = true;
    af.savedErrno = errno;
  }
  if (AtomicFileCommit(af) != ATOMIC_OK) {
    WriteLog(1, "Unable to write file %s", path);
    return FR_WRITE_FAILED;
  }
  SetUsersTime(NowTime32());
  return FR_OK;
}

// ---- The user list -----------------------------------------------------------------------------

void UserListStartElement(void* /*userData*/, const char* name, const char** attributes) {
  if (name == nullptr) return;
  if (!EqualsNoCase(name, kUserNodeName)) {
    // An entry under another name may still stand for a user whose file the
    // next save would leave unlisted: the list counts as read in part.
    if (!EqualsNoCase(name, kUserListRootName)) {
      WriteLog(0, "Unknown element >%s< in the user list: the list counts as read in part", name);
      g_listUnknownElement = true;
    }
    return;
  }
  UID uid = kNoUID;
  for (int i = 0; attributes != nullptr && attributes[i] != nullptr && attributes[i + 1] != nullptr; i += 2) {
    if (EqualsNoCase(attributes[i], "UID")) uid = ParseHex32LikeStrtoul(attributes[i + 1]);
  }
  if (uid == kNoUID) {
    WriteLog(0, "Missing a UID on a user list user tag");
    SetUsersReadFailure();
    return;
  }
  // Geometric growth, never by less than the fixed step: growing by the step
  // alone would copy the whole array every few entries of a long list.
  const size_t grown = g_listUIDs.size() + std::max<size_t>(kUserListUIDGrowStep, g_listUIDs.size());
  try {
    if (g_listUIDs.size() == g_listUIDs.capacity()) g_listUIDs.reserve(grown);
    g_listUIDs.push_back(uid);
  } catch (const std::exception&) {  // bad_alloc, or length_error past max_size
    WriteLog(1, "Unable to resize user uid array to %d bytes",
             static_cast<int>(std::min<size_t>(grown * 4, static_cast<size_t>(INT32_MAX))));
    SetUsersReadFailure();
  }
}

void UserListEndElement(void* /*userData*/, const char* /*name*/) {}

const std::vector<UID>& GetUserListUIDs() { return g_listUIDs; }

int ReadUserListUIDs(const char* home, bool* stoppedEarly) {
  g_listUIDs.clear();
  g_listUnknownElement = false;
  if (stoppedEarly) *stoppedEarly = false;
  const std::string path = std::string(home ? home : "") + kUserListFileName;
  FILE* fp = home != nullptr ? fopen(path.c_str(), "rb") : nullptr;
  if (fp == nullptr) {
    WriteLog(1, "Unable to open user list file >%s<", path.c_str());
    return FR_CANNOT_OPEN_FILE;
  }
  XML_Parser parser = XML_ParserCreate("UTF-8");
  ClearXMLValueStack(1);
  ClearUsersReadFailure();
  bool stopped = parser == nullptr;
  if (parser != nullptr) {
    XML_SetUserData(parser, parser);
    XML_SetElementHandler(parser, UserListStartElement, UserListEndElement);
    RefuseXMLEntityDeclarations(parser);  // see InstallUsersTreeHandlers
    char piece[kUsersReadPieceSize];
    for (;;) {
      const size_t n = fread(piece, 1, sizeof piece, fp);
      const bool last = n < sizeof piece;
      if (XML_Parse(parser, piece, static_cast<int>(n), last ? 1 : 0) != XML_STATUS_OK) {
        LogParseError(parser);
        stopped = true;
        break;
      }
      // An entry without a usable UID ends the list after its piece.
      if (UsersReadFailed()) {
        stopped = true;
        break;
      }
      if (last) break;
    }
  }
  EndParse(parser);
  fclose(fp);
  if (stoppedEarly) *stoppedEarly = stopped || g_listUnknownElement;
  return FR_OK;
}

// ---- Readers -----------------------------------------------------------------------------------

int ReadUsersXML(const char* path, UsersConvertMode mode) {
  const bool load = mode == USERS_CONVERT_LOAD;
  if (load) ForgetListOnDisk();
  FILE* fp = path != nullptr && path[0] != '\0' ? fopen(path, "rb") : nullptr;
  if (fp == nullptr) {
    WriteLog(1, "Unable to open users file >%s<", path ? path : "");
    if (load) g_loadState = USERS_LOAD_FAILED;
    return FR_FAILED;
  }
  FileStatus status;
  PrepareLoad(GetFileStatus(path, status) ? static_cast<size_t>(status.size / 256) : 0);
  g_readSkipped = false;

  XML_Parser parser = XML_ParserCreate("UTF-8");
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  ClearUsersReadFailure();
  SetUsersTreeCursor(nullptr);
  bool ok = parser != nullptr;
  if (ok) {
    InstallUsersTreeHandlers(parser);
    char piece[kUsersReadPieceSize];
    for (;;) {
      const size_t n = fread(piece, 1, sizeof piece, fp);
      if (ferror(fp)) {
        WriteLog(1, "Error reading from file %s", path);
        ok = false;
        break;
      }
      const bool last = n < sizeof piece;
      if (XML_Parse(parser, piece, static_cast<int>(n), last ? 1 : 0) != XML_STATUS_OK || UsersReadFailed()) {
        LogParseError(parser);
        ok = false;
        break;
      }
      if (last) break;
    }
  }
  EndParse(parser);
  fclose(fp);
  if (!ok) {
    if (load) g_loadState = USERS_LOAD_FAILED;
    return FR_FAILED;
  }
  // A new store, now that its text is good: the files kept from an earlier
  // partial load are its to write. (A client's text that does not parse
  // leaves them kept for the reload that follows.)
  g_protectedUIDs.clear();
  SetUsersTime(NowTime32());
  return ConvertXMLTreeToUsers(mode);
}

int ReadUsersV2(const char* home) {
  bool inPart = false;
  ForgetListOnDisk();  // the files may have changed behind the store: the load looks again
  g_readTexts.clear();
  if (home == nullptr || ReadUserListUIDs(home, &inPart) != FR_OK) {
    g_loadState = USERS_LOAD_FAILED;
    return FR_FAILED;
  }
  const std::string h(home);
  if (g_listUIDs.empty()) {
    WriteLog(0, "Unable to find any users in user list file >%s<", (h + kUserListFileName).c_str());
    g_loadState = USERS_LOAD_FAILED;
    return FR_FAILED;
  }
  PrepareLoad(g_listUIDs.size());
  g_protectedUIDs.clear();
  g_readSkipped = inPart;
  if (inPart) WriteLog(0, "The user list %s%s was read in part: users it does not name are not loaded", home, kUserListFileName);
  LogUnlistedUserFiles(h);

  // One parser for every file, reset between them; each file is a document
  // of its own under the one root, so a damaged file costs its user only.
  XMLNode* root = AppendNamedUsersChild(nullptr, kUsersRootName);
  XML_Parser parser = root != nullptr ? XML_ParserCreate("UTF-8") : nullptr;
  if (parser == nullptr) {
    WriteLog(1, "Unable to start reading the users files");
    FreeXMLNodeList(root);
    g_loadState = USERS_LOAD_FAILED;
    return FR_FAILED;
  }
  SetUsersTreeRoot(root);
  BeginConversionRun(USERS_CONVERT_LOAD);
  SetUserFileHashSalt(DrawLoadHashSalt());
  std::string content, events;
  const std::unique_ptr<FileReadAhead> files = ReadUserFilesAhead(h, g_listUIDs);
  std::string path;  // one buffer for every file's path: no allocation per file
  for (const UID uid : g_listUIDs) {
    path.assign(h).append(kUsersDirectoryName);
    AppendUserFileName(path, uid);
    const int rc = files != nullptr ? files->Take(path, content, &events) : ReadFileToBuffer(path, content);
    bool read = rc == FR_OK && !content.empty();
    if (rc != FR_OK) {
      WriteLog(1, "Unable to read users file >%s< (code %d): the user it holds is not loaded", path.c_str(), rc);
    } else if (content.empty()) {
      WriteLog(0, "The users file >%s< is empty: no user is loaded from it", path.c_str());
    } else if (!ParseUserFileInto(parser, content, root, events)) {
      WriteLog(1, "The users file >%s< does not read: it is kept as it is, never rewritten, and the user it holds "
               "is not loaded", path.c_str());
      read = false;
    }
    if (!read) {
      // That user is not loaded; its file is kept as it is.
      g_readSkipped = true;
      g_protectedUIDs.insert(uid);
      continue;
    }
    ConvertRunNode(root->lastChild, uid);  // a file read whole made one top element
    if (g_keepReadTexts) {
      try {
        g_readTexts.emplace(uid, content);
      } catch (const std::bad_alloc&) {
        // Without room for them the rewrite compares with the files themselves.
        g_keepReadTexts = false;
        std::unordered_map<UID, std::string>().swap(g_readTexts);
      }
    }
  }
  XML_ParserFree(parser);
  SetUsersTime(NowTime32());
  const int converted = EndConversionRun();
  NoteListAfterLoad(h + kUserListFileName);
  return converted;
}

// ---- Conversion ------------------------------------------------------------------------------

void FreeXMLUser() { g_scratch = UserStruct{}; }

namespace {

// The run in progress. The bulk registration and the users load open at
// its first node, so a run that converts nothing changes neither.
struct ConversionRun {
  UsersConvertMode mode = USERS_CONVERT_LOAD;
  bool started = false;
  int first = FR_OK;              // the first failing code
  std::vector<XMLNode*> skipped;  // load: the nodes left out, removed at the end in one pass
};
ConversionRun g_run;

void BeginConversionRun(UsersConvertMode mode) {
  g_run.mode = mode;
  g_run.started = false;
  g_run.first = FR_OK;
  g_run.skipped.clear();
}

// Converts one node of the run. `source` is the UID of the per-user file
// the node came from (kNoUID when it did not come from one). In load mode a
// failing node is logged, its file kept, and the node left in the tree
// until the end of the run. The conversion's code.
int ConvertRunNode(XMLNode* node, UID source) {
  const bool load = g_run.mode == USERS_CONVERT_LOAD;
  if (!g_run.started) {
    if (load) BeginBulkRegistration();
    BeginUsersLoad();  // users may come in any order: sorted once at the end
    g_run.started = true;
  }
  const int rc = ConvertXMLNodeToUser(node, g_run.mode);
  if (rc == FR_OK) return rc;
  if (g_run.first == FR_OK) g_run.first = rc;
  if (!load) return rc;
  // A bad user of the files is left out, not the users after it.
  const XMLNode* nameNode = FindXMLChildNode(node, kUserNameNodeName);
  const char* name = nameNode && nameNode->value ? nameNode->value->c_str() : "";
  if (source != kNoUID) {
    WriteLog(0, "Skipping user >%s< of users file %08X.xml (code %d): it is not loaded and its file is kept", name,
             source, rc);
    g_protectedUIDs.insert(source);
  } else {
    WriteLog(0, "Skipping user >%s< of the users file (code %d): it is not loaded", name, rc);
  }
  g_run.skipped.push_back(node);
  return rc;
}

// Ends the run: the array sorted, the registrations merged, the skipped
// nodes removed, and the load state set (load: OK, PARTIAL, or FAILED when
// no user was made; client text: OK or FAILED by its first code). 2 when
// the run had no node ("No users found in the users document" in load
// mode, the load FAILED); else the first failing code, 0 when none failed.
int EndConversionRun() {
  const bool load = g_run.mode == USERS_CONVERT_LOAD;
  int first = g_run.first;
  if (!g_run.started) {
    if (load) {
      WriteLog(0, "No users found in the users document");
      g_loadState = USERS_LOAD_FAILED;
    }
    first = FR_INVALID_PARAMETER;
  } else {
    EndUsersLoad();
    if (load) {
      EndBulkRegistration();
      RemoveUsersTreeChildren(g_run.skipped);
      if (GetUserCount() == 0) {
        WriteLog(0, "No user could be loaded from the users files: they are kept as they are and not rewritten");
        g_loadState = USERS_LOAD_FAILED;
      } else if (!g_run.skipped.empty() || g_readSkipped) {
        g_loadState = USERS_LOAD_PARTIAL;
      } else {
        g_loadState = USERS_LOAD_OK;
      }
    } else {
      g_loadState = first == FR_OK ? USERS_LOAD_OK : USERS_LOAD_FAILED;
    }
  }
  std::vector<XMLNode*>().swap(g_run.skipped);
  g_run.started = false;
  g_readSkipped = false;
  return first;
}

}  // namespace

int ConvertXMLTreeToUsers(UsersConvertMode mode) {
  BeginConversionRun(mode);
  XMLNode* root = GetUsersTreeRoot();
  if (root != nullptr && !root->name.empty() && EqualsNoCase(root->name, kUsersRootName)) {
    // A conversion removes only children already passed (an earlier node
    // of a name given twice), so `next` stays in the tree.
    for (XMLNode* node = root->firstChild; node != nullptr;) {
      XMLNode* next = node->nextSibling;
      if (ConvertRunNode(node, kNoUID) != FR_OK && mode != USERS_CONVERT_LOAD) break;
      node = next;
    }
  }
  return EndConversionRun();
}

namespace {

// The children of a converted USER node that the lookups by name read, as
// the conversion took them: the last USERNAME and the last ADUSER that have
// text (null when there is none).
struct NameChildren {
  const XMLNode* userName = nullptr;
  const XMLNode* adUser = nullptr;
};

// A vector reused from one conversion to the next: emptied when the
// conversion ends (it holds no node across a removal), and its storage given
// back when a text with very many elements made it large.
template <class T>
struct ScratchVector {
  explicit ScratchVector(std::vector<T>& v) : vector(v) { vector.clear(); }
  ~ScratchVector() {
    if (vector.capacity() > 1024) {
      std::vector<T>().swap(vector);
    } else {
      vector.clear();
    }
  }
  ScratchVector(const ScratchVector&) = delete;
  ScratchVector& operator=(const ScratchVector&) = delete;
  std::vector<T>& vector;
};

// Conversion step 1: the main fields of the node's children into the scratch
// record (a later element wins; an element without text changes nothing),
// with the last USERDATA child, the FIELD children in document order and,
// when asked, the name children the record takes.
void ReadMainFieldElements(XMLNode* node, UserStruct& s, XMLNode** userData, std::vector<const XMLNode*>& fieldNodes,
                           NameChildren* names = nullptr) {
  for (XMLNode* c = node->firstChild; c != nullptr; c = c->nextSibling) {
    const std::string& n = c->name;
    if (EqualsNoCase(n, kUserDataName)) {
      *userData = c;
      continue;
    }
    if (EqualsNoCase(n, kFieldElementName)) {
      fieldNodes.push_back(c);
      continue;
    }
    if (!c->value || !SetUserMainFieldFromText(s, n, *c->value) || names == nullptr) continue;
    if (EqualsNoCase(n, kUserNameNodeName)) {
      names->userName = c;
    } else if (EqualsNoCase(n, kADUserNodeName)) {
      names->adUser = c;
    }
  }
}

// Conversion step 5: the node keeps only what its record does not hold. The
// record is the authority for the main fields and the fields (every file
// and reply is written from it), so they go: every main-field child and
// every FIELD, except the USERNAME and ADUSER that the lookups by name read
// (the ones converted; the others would make the node answer to a name that
// is not its record's), and every USERDATA but `userData`, the last (the
// earlier ones would hide it from every settings lookup, which takes the
// first). USERDATA and the children the conversion does not read stay. One
// pass over the children, through the tree's removal operation.
void PruneConvertedUserNode(XMLNode* node, const NameChildren& names, const XMLNode* userData) {
  RemoveUsersTreeNodesIf(node, [&names, userData](const XMLNode* c) {
    if (c == names.userName || c == names.adUser) return false;
    if (EqualsNoCase(c->name, kUserDataName)) return userData != nullptr && c != userData;
    return MainFieldIndex(c->name) >= 0 || EqualsNoCase(c->name, kFieldElementName);
  });
}

// Conversion step 2: the FIELD elements, as the writer writes them
// (<FIELD NAME="n">value</FIELD>), into the scratch record's sorted fields.
// They are sorted once: added one at a time, each would move the field
// array, and a client text may hold a great many. Of two fields whose names
// differ only in letter case the first in the document counts, as when they
// are added one by one. A field without a name or with a repeated one fails
// client text (2) and is logged and left out of a load. 0 or 2.
int SortFieldElements(const std::vector<const XMLNode*>& fieldNodes, const char* name, bool load, UserStruct& s) {
  struct Given {
    const std::string* name;
    const XMLNode* node;
  };
  static std::vector<Given> reused;  // a load converts a great many users
  const ScratchVector<Given> scratch(reused);
  std::vector<Given>& given = scratch.vector;
  given.reserve(fieldNodes.size());
  for (const XMLNode* f : fieldNodes) {
    const std::string* fieldName = nullptr;
    for (const XMLAttribute& a : f->attributes) {
      if (EqualsNoCase(a.name, "NAME")) {
        fieldName = &a.value;
        break;
      }
    }
    if (fieldName == nullptr || fieldName->empty()) {
      WriteLog(0, "Field of user >%s< given without a name", name);
      if (!load) return FR_INVALID_PARAMETER;
      WriteLog(0, "A field of user >%s< is left out", name);
      continue;
    }
    given.push_back(Given{fieldName, f});
  }
  std::stable_sort(given.begin(), given.end(),
                   [](const Given& a, const Given& b) { return CompareNoCase(*a.name, *b.name) < 0; });
  s.fields.reserve(given.size());
  for (const Given& g : given) {
    if (!s.fields.empty() && CompareNoCase(*s.fields.back().name, *g.name) == 0) {
      WriteLog(0, "Cannot add field >%s< as already exists", g.name->c_str());
      if (!load) return FR_INVALID_PARAMETER;
      WriteLog(0, "A field of user >%s< is left out", name);
      continue;
    }
    s.fields.push_back(UserField{*g.name, g.node->value.ToOptional()});
  }
  return FR_OK;
}

// Conversion step 3 for a new user: AddUser, then the record becomes the
// scratch whole (nothing of default_user survives; its address, and so its
// registry entry, stays). 0, 1, 2.
int AddConvertedUser(const char* name, bool load) {
  UserStruct& s = g_scratch;
  if (!load && !IsUIDAllowedForClientUser(name, s.header.uid)) {
    WriteLog(0, "Cannot create user >%s< with UID %08X as that UID belongs to a built-in object", name, s.header.uid);
    return FR_INVALID_PARAMETER;
  }
  AddUserFailure why = ADD_USER_OK;
  const int index = AddUser(name, s.header.uid, &why);  // logs its refusals
  if (index < 0) return why == ADD_USER_NO_MEMORY ? FR_NO_MEMORY : FR_INVALID_PARAMETER;
  UserStruct* user = GetUserByIndex(index);
  const UID uid = user->header.uid;
  UserStruct old = std::exchange(*user, std::move(g_scratch));
  user->header.uid = uid;
  user->header.kind = NODE_KIND_USER;
  NoteUserArrayChanged();  // the record was replaced in place
  FreeXMLUser();
  return FR_OK;
}

// Conversion step 4 when a user of that name was already converted from
// `earlier` (a name twice in one document): the later element `node`
// replaces it, keeping the settings the user had when `node` brings none,
// and the earlier node goes.
void MergeEarlierNode(UserStruct* stored, XMLNode* earlier, XMLNode* node, bool nodeHasSettings) {
  WriteLog(0, "User >%s< is given twice: the later element replaces the earlier", NameForLog(stored));
  if (!nodeHasSettings) {
    XMLNode* kept = (stored->USERDATA != nullptr && stored->USERDATA->parent == earlier)
                        ? stored->USERDATA
                        : FindXMLChildNode(earlier, kUserDataName);
    if (kept != nullptr) {
      UnlinkXMLNode(kept);
      AppendXMLNodeList(node, kept);
    }
    stored->USERDATA = kept;
  }
  RemoveUsersTreeNode(earlier);
}

// Conversion step 3 for a user that exists: UpdateUser from the scratch (a
// non-zero UID must be the stored one, 8), then step 4 when the stored user
// had another node. UpdateUser's codes.
int UpdateConvertedUser(const char* name, XMLNode* node, XMLNode* userData) {
  UserStruct* stored = FindUser(name);
  XMLNode* earlier = UserNodeOfRecord(stored);
  if (earlier == node) earlier = nullptr;
  const int rc = UpdateUser(&g_scratch);
  if (rc != FR_OK) return rc;
  if (earlier != nullptr) MergeEarlierNode(FindUser(name), earlier, node, userData != nullptr);
  return FR_OK;
}

// The steps of ConvertXMLNodeToUser (the scratch released first and, on a
// refusal, again); a bad_alloc is answered by the caller.
int ConvertUserSteps(XMLNode* node, bool load) {
  FreeXMLUser();
  UserStruct& s = g_scratch;
  XMLNode* userData = nullptr;
  static std::vector<const XMLNode*> reused;  // a load converts a great many users
  const ScratchVector<const XMLNode*> scratch(reused);
  std::vector<const XMLNode*>& fieldNodes = scratch.vector;
  NameChildren names;
  ReadMainFieldElements(node, s, &userData, fieldNodes, &names);
  const std::string name = s.USERNAME.value_or(std::string());
  if (!IsValidUserName(s.USERNAME ? name.c_str() : nullptr)) {
    WriteLog(0, "Cannot create user >%s< as it is not a valid username", name.c_str());
    return FR_INVALID_PARAMETER;
  }
  int rc = SortFieldElements(fieldNodes, name.c_str(), load, s);
  if (rc != FR_OK) return rc;
  s.header.kind = NODE_KIND_USER;
  s.USERDATA = userData;
  rc = UserExists(name.c_str()) ? UpdateConvertedUser(name.c_str(), node, userData)
                                : AddConvertedUser(name.c_str(), load);
  if (rc != FR_OK) return rc;
  PruneConvertedUserNode(node, names, userData);
  return FR_OK;
}

}  // namespace

int ConvertXMLNodeToUser(XMLNode* node, UsersConvertMode mode) {
  if (node == nullptr) return FR_INVALID_PARAMETER;
  int rc = FR_OK;
  try {
    rc = ConvertUserSteps(node, mode == USERS_CONVERT_LOAD);
  } catch (const std::bad_alloc&) {
    rc = FR_NO_MEMORY;
  }
  if (rc != FR_OK) FreeXMLUser();
  return rc;
}

void RemoveSupersededUserElements(XMLNode* userNode) {
  if (userNode == nullptr) return;
  constexpr size_t kCount = sizeof kMainFieldElements / sizeof kMainFieldElements[0];
  const XMLNode* winner[kCount] = {};
  size_t seen[kCount] = {};
  const XMLNode* lastData = nullptr;
  size_t dataSeen = 0;
  for (const XMLNode* c = userNode->firstChild; c != nullptr; c = c->nextSibling) {
    const int index = MainFieldIndex(c->name);
    if (index >= 0) {
      ++seen[index];
      if (c->value) winner[index] = c;
    } else if (EqualsNoCase(c->name, kUserDataName)) {
      ++dataSeen;
      lastData = c;
    }
  }
  bool removeAny = dataSeen > 1;
  for (size_t i = 0; i < kCount && !removeAny; ++i) removeAny = seen[i] > (winner[i] != nullptr ? 1u : 0u);
  if (!removeAny) return;  // the usual case: nothing to remove, no second pass
  RemoveUsersTreeNodesIf(userNode, [&](const XMLNode* c) {
    const int index = MainFieldIndex(c->name);
    if (index >= 0) return c != winner[index];
    return c != lastData && EqualsNoCase(c->name, kUserDataName);
  });
}

// ---- Login sections, UIDs, reload --------------------------------------------------------------

namespace {

// Gives one record the login section through its own node (`node` when the
// caller found it already, else through the link or a walk). 0 or 1.
int EnsureLoginSectionOf(UserStruct* user, XMLNode* node) {
  if (!user->USERNAME) return FR_OK;
  if (node == nullptr) node = UserNodeOfRecord(user);
  if (node == nullptr) {
    // A record without a node of its own (added without one): it gets
    // default_user's settings, as a user added by a client does.
    WriteLog(0, "User >%s< has no node of its own in the users tree: one is made", user->USERNAME->c_str());
    if (MakeUserNodeForRecord(user) != FR_OK) return FR_NO_MEMORY;
    node = user->USERDATA->parent;
  }
  XMLNode* data = (user->USERDATA != nullptr && user->USERDATA->parent == node) ? user->USERDATA
                                                                                : FindXMLChildNode(node, kUserDataName);
  if (data == nullptr && (data = AppendNamedUsersChild(node, kUserDataName)) == nullptr) return FR_NO_MEMORY;
  user->USERDATA = data;
  XMLNode* live = FindXMLChildNode(data, kLoginSectionName);
  if (live == nullptr && (live = AppendNamedUsersChild(data, kLoginSectionName)) == nullptr) return FR_NO_MEMORY;
  if (FindXMLChildNode(live, kLoginSubsectionName) == nullptr && AppendNamedUsersChild(live, kLoginSubsectionName) == nullptr) {
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

}  // namespace

int EnsureUserLoginSections() {
  const int count = GetUserCount();
  // Records whose link does not lead to their node (a load of files without
  // settings) are found in one index of the tree rather than a walk each.
  // It is built at the first of them (until then nothing has changed the
  // USER nodes or their names), so a load whose links all hold makes none.
  UserNodeIndex index;
  bool indexTried = false, indexed = false;
  for (int i = 0; i < count; ++i) {
    UserStruct* user = GetUserByIndex(i);
    if (!user->USERNAME) continue;
    XMLNode* node = LinkedUserNodeOfRecord(user);
    if (node == nullptr) {
      if (!indexTried) {
        indexTried = true;
        indexed = count > kNodeIndexThreshold && BuildUserNodeIndex(index) == FR_OK;
      }
      node = UserNodeOfRecord(user, indexed ? &index : nullptr);
    }
    const int rc = EnsureLoginSectionOf(user, node);
    if (rc != FR_OK) return rc;
  }
  return FR_OK;
}

int AssignUserUIDs() {
  const int count = GetUserCount();
  for (int i = 0; i < count; ++i) {
    UserStruct* user = GetUserByIndex(i);
    if (user->header.uid == kNoUID) {
      user->header.uid = GetNewUID();
      NoteUserArrayChanged();
      if (user->header.uid != kNoUID) AddNodeToQAArray(&user->header);
    }
    user->header.kind = NODE_KIND_USER;
  }
  return FR_OK;
}

int FreeUsersData() {
  FreeUsersXMLTree();
  FreeAllUsers();
  return FR_OK;
}

int ReloadUsers() {
  const char* home = GetServerSettings().homeDirectory;
  FreeUsersData();
  // The rewrite that follows leaves alone every file that already holds its
  // new text: the texts read are kept for it, and dropped after it.
  g_keepReadTexts = true;
  int rc = ReadUsersV2(home);
  g_keepReadTexts = false;
  if (rc == FR_OK) rc = SaveUsers(home, nullptr);
  std::unordered_map<UID, std::string>().swap(g_readTexts);
  return rc;
}

void ResetUsersFiles() {
  g_loadState = USERS_LOAD_NONE;
  std::vector<UID>().swap(g_listUIDs);
  FreeXMLUser();
  g_protectedUIDs.clear();
  g_readSkipped = false;
  g_run = ConversionRun{};
  ForgetListOnDisk();
  g_keepReadTexts = false;
  std::unordered_map<UID, std::string>().swap(g_readTexts);
  g_readAheadOptions = FileReadAheadOptions{};
  ResetUsersTree();
}

void ReadUserMainFields(XMLNode* node, UserStruct& fields, XMLNode** userData) {
  fields = UserStruct();
  *userData = nullptr;
  if (node == nullptr) return;
  std::vector<const XMLNode*> fieldNodes;
  ReadMainFieldElements(node, fields, userData, fieldNodes);
}

