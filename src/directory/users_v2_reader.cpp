// The version-2 reader: userlist.xml's UIDs, then each listed per-user file
// read ahead on worker threads, parsed into its event record there and
// replayed here into the users tree (or read and parsed here), each file a
// document of its own and converted as soon as it is read; the unlisted
// files are logged. Also the parse helpers both readers share.
// Directory layer: calls the users tree and the users-file event records, the
// conversion runs, the user records, the XML toolkit, the registry, the file
// read-ahead, the random source, the file-system helpers and the log.
#include "directory/users_files.h"
#include "directory/users_files_private.h"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "directory/users_file_events.h"
#include "directory/users_tree.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/file_read_ahead.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_guard.h"
#include "foundation/xml/xml_tree.h"
#include "foundation/xml/xml_value_stack.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/random_bytes.h"

using namespace users_files_detail;

namespace {

// The last list read met an element other than USERLIST and USER.
bool g_listUnknownElement = false;

// The hash salt of every per-user file's parse in one load, drawn once for
// the load: a parser reset otherwise draws a new one from the kernel, a
// system call per file. 0 (the draw failed) leaves the parser to draw.
unsigned long DrawLoadHashSalt() {
  unsigned long salt = 0;
  if (GetRandomBytes(&salt, sizeof salt) != 0) return 0;
  return salt != 0 ? salt : 1;
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

// Logs every file in users/ that the list just read does not name: the
// users they may hold are not loaded, so a start must not be silent about
// them (a cut list, for one). Nothing is deleted. Leftovers
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
      // The way back for a user the list lost (a cut list, say): its UID's
      // entry in the list, which the next start reads. A deleted user's file
      // may stay too (a stop between the list and the file's removal), so
      // the line says when not to. No system error goes with it.
      UID uid = 0;
      if (UIDOfUserFileName(name, &uid)) {
        if (uid > g_highestUnlistedUID && !IsReservedUID(uid)) g_highestUnlistedUID = uid;
        WriteLog(0, "The users file >%s%s< is not named in the user list: it is kept, and the user it may hold "
                 "is not loaded. Unless that user was deleted, stop the server and add <USER uid=\"%08X\"/> "
                 "to %s%s before its last line to load the user again", dir.c_str(), name.c_str(), uid,
                 home.c_str(), kUserListFileName);
      } else {
        WriteLog(0, "The users file >%s%s< is not named in the user list: it is kept, and the user it may hold "
                 "is not loaded. To load that user, stop the server, name the file by the user's UID "
                 "(%%08X.xml) and add <USER uid=\"%%08X\"/> with that UID to %s%s before its last line",
                 dir.c_str(), name.c_str(), home.c_str(), kUserListFileName);
      }
    }
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate the names of the users files");
  }
}


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
  XMLNode* tail = LastXMLChild(root);
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

namespace users_files_detail {

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
  ReserveUserNodeNames(static_cast<size_t>(want > 0 ? want : 0));  // and the table of their nodes' names
}

}  // namespace users_files_detail

void SetUsersFileReadAhead(const FileReadAheadOptions& options) { g_readAheadOptions = options; }

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
  g_highestUnlistedUID = kNoUID;
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
    ConvertRunNode(LastXMLChild(root), uid);  // a file read whole made one top element
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
