// Implementation of groups.xml: the line-by-line writer through the atomic
// file helper, the Expat reader with its state machine, the start-up UIDs of
// the groups (written at once) and the replacement of the file by a client's
// text.
// Directory store; calls the groups model, the XML value stack, escapes and
// text-element writer, the atomic file helper, UID allocation, the settings,
// the clock and the log.
#include "directory/groups_file.h"

#include <expat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "directory/store_uid_sync.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_value_stack.h"
#include "foundation/xml/xml_guard.h"
#include "foundation/xml/xml_writer.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/fs.h"

namespace {

std::string g_groupsFilePath;  // empty: the home directory's groups.xml
GroupsLoadState g_groupsLoadState = GROUPS_LOAD_NONE;

// ---- Writing helpers ----------------------------------------------------------

// fputs that answers 0 or 15.
int PutText(const char* text, FILE* fp) { return std::fputs(text, fp) < 0 ? FR_WRITE_FAILED : FR_OK; }

int PutUIDLine(UID uid, FILE* fp) { return std::fprintf(fp, "<UID>%08X</UID>\n", uid) < 0 ? FR_WRITE_FAILED : FR_OK; }

// "<TAG>" the UIDs joined by ';' "</TAG>\n"; nothing for an empty list.
int PutUIDList(const char* tag, const std::vector<UID>& list, FILE* fp) {
  if (list.empty()) return FR_OK;
  if (std::fprintf(fp, "<%s>", tag) < 0) return FR_WRITE_FAILED;
  for (size_t i = 0; i < list.size(); ++i) {
    std::fprintf(fp, i == 0 ? "%08X" : ";%08X", list[i]);
  }
  return std::fprintf(fp, "</%s>\n", tag) < 0 ? FR_WRITE_FAILED : FR_OK;
}

// ---- The reader ------------------------------------------------------------------
//
// State machine of ReadGroupsXML (GroupsXMLStartElement moves down on a start
// tag, GroupsXMLEndElement moves back up on the end tag and then runs the
// action; a wrong element goes to 0, an unexpected child of GROUPS or a
// VERSION element to 12; 0 and 12 stop the parser at once):
//
//   1 --GROUPS--> 2 --GROUP--> 3 --USER--------> 4  (end: add member)
//   ^             |            |  --DESCRIPTION-> 5  (end: set description)
//   |             |            |  --NAME-------> 6  (end: set name)
//   |             |            |  --UID--------> 7  (end: set group UID)
//   |             |            +--end GROUP--> 2   (add the parsed group)
//   |             +--PERM---> 8 --UID--> 9 (end: set perm UID)
//   |             |            |  --READ--> 10 (end: set READ list)
//   |             |            |  --WRITE-> 11 (end: set WRITE list)
//   |             |            +--end PERM--> 2    (add the parsed permission)
//   |             +--VERSION or other--> 12 (stop, complete)
//   +--end GROUPS-- 2
//   1 --other root--> 0;  3/8 --other--> 0;  4-7, 9-11 --any--> 0 (stop, error)

enum GroupsReaderState : int {
  GRS_ERROR = 0,
  GRS_ROOT = 1,
  GRS_GROUPS = 2,
  GRS_GROUP = 3,
  GRS_GROUP_USER = 4,
  GRS_GROUP_DESCRIPTION = 5,
  GRS_GROUP_NAME = 6,
  GRS_GROUP_UID = 7,
  GRS_PERM = 8,
  GRS_PERM_UID = 9,
  GRS_PERM_READ = 10,
  GRS_PERM_WRITE = 11,
  GRS_STOP = 12,
};

// Everything one read owns: the state, the group and permission being parsed.
struct GroupsReader {
  XML_Parser parser = nullptr;
  int state = GRS_ROOT;
  bool stopped = false;  // XML_StopParser called (states 0 and 12)
  bool cut = false;      // an unexpected child of GROUPS ended the reading (state 12)
  bool skipped = false;  // a group was dropped and the reading went on
  GroupStruct group;
  std::vector<std::string> members;  // the USER texts of the group being parsed, in file order
  PermissionStruct perm;
};

void SetReaderState(GroupsReader& r, int state) {
  r.state = state;
  if ((state == GRS_ERROR || state == GRS_STOP) && !r.stopped) {
    // Nothing after this point is looked at, so nothing after it (not even
    // a malformed tail) may change the outcome.
    r.stopped = true;
    XML_StopParser(r.parser, XML_FALSE);
  }
}

// The current element's text with its trailing line feeds removed; none when
// the element had no character data.
std::optional<std::string> TakeElementText() { return XMLCharToChar(CurrentXMLValue()); }

void ClearXMLGroup(GroupsReader& r) {
  FreeGroupStruct(&r.group);
  r.members.clear();
}

void ClearXMLPerm(GroupsReader& r) {
  r.perm = PermissionStruct{};
  r.perm.header.kind = NODE_KIND_PERMISSION;
}

void SetXMLGroupName(GroupsReader& r) { r.group.name = TakeElementText(); }

void SetXMLGroupDescription(GroupsReader& r) { r.group.description = TakeElementText(); }

void SetXMLGroupUID(GroupsReader& r) {
  std::optional<std::string> text = TakeElementText();
  r.group.header.uid = text ? ParseHex32LikeStrtoul(*text) : 0;
}

void SetXMLPermUID(GroupsReader& r) {
  std::optional<std::string> text = TakeElementText();
  r.perm.header.uid = text ? ParseHex32LikeStrtoul(*text) : 0;
}

// A member that cannot be stored (no name, or a name already listed) is
// logged and skipped: stopping there would lose every later group and
// permission. Only a failed allocation ends the reading. The names are
// gathered and made the group's list at the end of the GROUP element in one
// sort (SetGroupMemberList), which drops and logs the repeated ones: adding
// them one by one would scan the list for every member.
void AddXMLGroupUser(GroupsReader& r) {
  std::optional<std::string> name = TakeElementText();
  if (!name || name->empty()) {
    WriteLog(0, "Unable to add XML field as no name");
    return;
  }
  try {
    r.members.push_back(std::move(*name));
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate %d bytes for user array",
             static_cast<int>((r.members.size() + 1) * sizeof(std::string)));
    SetReaderState(r, GRS_ERROR);
  }
}

// The list in the text's order, one UID per ';'-separated piece (duplicates
// and zeros kept); an empty text gives an empty list.
void SetXMLPermList(GroupsReader& r, std::vector<UID>& list, const char* missingMessage) {
  std::optional<std::string> text = TakeElementText();
  if (!text) {
    WriteLog(1, "%s", missingMessage);
    return;
  }
  std::vector<UID> uids;
  if (!text->empty()) {
    size_t pieces = 1;
    for (char c : *text) pieces += c == ';' ? 1 : 0;
    try {
      uids.reserve(pieces);
    } catch (const std::bad_alloc&) {
      WriteLog(1, "Unable to allocate %d bytes for permission array", static_cast<int>(pieces * sizeof(UID)));
      SetReaderState(r, GRS_ERROR);
      return;
    }
    std::string_view rest(*text);
    for (;;) {
      size_t cut = rest.find(';');
      uids.push_back(ParseHex32LikeStrtoul(rest.substr(0, cut)));
      if (cut == std::string_view::npos) break;
      rest.remove_prefix(cut + 1);
    }
  }
  list.swap(uids);
}

void AddXMLGroup(GroupsReader& r) {
  if (!r.group.name) {
    WriteLog(0, "Cannot add group as it has no name");
    ClearXMLGroup(r);
    SetReaderState(r, GRS_ERROR);
    return;
  }
  if (!IsValidGroupName(r.group.name->c_str())) {
    WriteLog(0, "Cannot add group >%s< as this is not a valid group name", r.group.name->c_str());
    ClearXMLGroup(r);
    SetReaderState(r, GRS_ERROR);
    return;
  }
  r.group.header.kind = NODE_KIND_GROUP;
  SetGroupMemberList(&r.group, std::move(r.members));
  r.members.clear();
  int32_t index = AddGroup(r.group.name->c_str());
  // A refusal (the group exists, a user has the name, no memory) drops this
  // group only; AddGroup logged why.
  if (index >= 0) {
    *GetGroupByIndex(index) = std::move(r.group);
    NoteGroupRecordChanged();
  } else {
    r.skipped = true;
  }
  ClearXMLGroup(r);
}

void AddXMLPerm(GroupsReader& r) {
  PermissionStruct* p = AddNewPerm(r.perm.header.uid);
  if (p == nullptr) {
    WriteLog(1, "AddXMLPerm:Error adding permission");
    SetReaderState(r, GRS_ERROR);
    return;
  }
  p->read = std::move(r.perm.read);
  p->write = std::move(r.perm.write);
  ClearXMLPerm(r);
}

void XMLCALL GroupsXMLStartElement(void* userData, const XML_Char* name, const XML_Char** /*atts*/) {
  GroupsReader& r = *static_cast<GroupsReader*>(userData);
  // The enclosing element's text is saved; this element gathers its own.
  if (PushXMLValue() != 0) {
    SetReaderState(r, GRS_ERROR);
    return;
  }
  std::string_view tag(name);
  switch (r.state) {
    case GRS_ROOT:
      if (EqualsNoCase(tag, "GROUPS")) {
        SetReaderState(r, GRS_GROUPS);
      } else {
        WriteLog(0, "Root node is >%s< rather than GROUPS as required", name);
        SetReaderState(r, GRS_ERROR);
      }
      break;
    case GRS_GROUPS:
      if (EqualsNoCase(tag, "PERM")) {
        ClearXMLPerm(r);
        SetReaderState(r, GRS_PERM);
      } else if (EqualsNoCase(tag, "GROUP")) {
        ClearXMLGroup(r);
        SetReaderState(r, GRS_GROUP);
      } else if (EqualsNoCase(tag, "VERSION")) {
        SetReaderState(r, GRS_STOP);
      } else {
        WriteLog(0, "Got node >%s< expecting GROUP", name);
        r.cut = true;
        SetReaderState(r, GRS_STOP);
      }
      break;
    case GRS_GROUP:
      if (EqualsNoCase(tag, "USER")) {
        SetReaderState(r, GRS_GROUP_USER);
      } else if (EqualsNoCase(tag, "DESCRIPTION")) {
        SetReaderState(r, GRS_GROUP_DESCRIPTION);
      } else if (EqualsNoCase(tag, "NAME")) {
        SetReaderState(r, GRS_GROUP_NAME);
      } else if (EqualsNoCase(tag, "UID")) {
        SetReaderState(r, GRS_GROUP_UID);
      } else {
        WriteLog(0, "Node >%s< was unexpected within group node", name);
        SetReaderState(r, GRS_ERROR);
      }
      break;
    case GRS_PERM:
      if (EqualsNoCase(tag, "UID")) {
        SetReaderState(r, GRS_PERM_UID);
      } else if (EqualsNoCase(tag, "READ")) {
        SetReaderState(r, GRS_PERM_READ);
      } else if (EqualsNoCase(tag, "WRITE")) {
        SetReaderState(r, GRS_PERM_WRITE);
      } else {
        WriteLog(0, "Node >%s< was unexpected within permission node", name);
        SetReaderState(r, GRS_ERROR);
      }
      break;
    case GRS_STOP:
      break;
    default:  // 0, and an element nested in a leaf (4-7, 9-11)
      SetReaderState(r, GRS_ERROR);
      break;
  }
}

void XMLCALL GroupsXMLEndElement(void* userData, const XML_Char* /*name*/) {
  GroupsReader& r = *static_cast<GroupsReader*>(userData);
  // The new state is set first, then the action runs: an action may still
  // end the reading with state 0.
  switch (r.state) {
    case GRS_GROUPS:
      SetReaderState(r, GRS_ROOT);
      break;
    case GRS_GROUP:
      SetReaderState(r, GRS_GROUPS);
      AddXMLGroup(r);
      break;
    case GRS_GROUP_USER:
      SetReaderState(r, GRS_GROUP);
      AddXMLGroupUser(r);
      break;
    case GRS_GROUP_DESCRIPTION:
      SetReaderState(r, GRS_GROUP);
      SetXMLGroupDescription(r);
      break;
    case GRS_GROUP_NAME:
      SetReaderState(r, GRS_GROUP);
      SetXMLGroupName(r);
      break;
    case GRS_GROUP_UID:
      SetReaderState(r, GRS_GROUP);
      SetXMLGroupUID(r);
      break;
    case GRS_PERM:
      SetReaderState(r, GRS_GROUPS);
      AddXMLPerm(r);
      break;
    case GRS_PERM_UID:
      SetReaderState(r, GRS_PERM);
      SetXMLPermUID(r);
      break;
    case GRS_PERM_READ:
      SetReaderState(r, GRS_PERM);
      SetXMLPermList(r, r.perm.read, "Unable to convert XML string for permission read array");
      break;
    case GRS_PERM_WRITE:
      SetReaderState(r, GRS_PERM);
      SetXMLPermList(r, r.perm.write, "Unable to convert XML string for permission write array");
      break;
    default:  // 0, 1, 12: unchanged
      break;
  }
  PopXMLValue();  // releases this element's text, brings back the parent's
}

void XMLCALL GroupsXMLCharData(void* userData, const XML_Char* text, int length) {
  GroupsReader& r = *static_cast<GroupsReader*>(userData);
  if (AppendXMLValue(text, length) != 0) SetReaderState(r, GRS_ERROR);  // logged by AppendXMLValue
}

// Before the first save after a partial load: the file as it was read (it
// holds groups or permissions that memory lacks) is copied to <file>.bad.
// False (logged) when the copy fails: the save must not go on.
bool KeepPartlyReadFile(const std::string& file) {
  const std::string bad = file + kGroupsBadFileSuffix;
  if (ProbePath(file) != PATH_EXISTS) return true;
  if (!CopyWholeFile(file, bad)) {
    WriteLog(1, "Unable to keep the previous groups file as %s; the groups file is not written", bad.c_str());
    return false;
  }
  WriteLog(0, "The previous groups file is kept as %s", bad.c_str());
  return true;
}

// Owns the parser for one read.
struct ParserHolder {
  XML_Parser parser;
  ~ParserHolder() {
    if (parser) XML_ParserFree(parser);
  }
};

struct FileHolder {
  FILE* fp;
  ~FileHolder() {
    if (fp) std::fclose(fp);
  }
};

// One groups load for the length of a read: the groups are appended as they
// come and sorted once when the read ends, however it ends.
struct GroupsLoadHolder {
  GroupsLoadHolder() { BeginGroupsLoad(); }
  ~GroupsLoadHolder() { EndGroupsLoad(); }
  GroupsLoadHolder(const GroupsLoadHolder&) = delete;
  GroupsLoadHolder& operator=(const GroupsLoadHolder&) = delete;
};

// Parses a groups document into the arrays with `parser`, taking the text
// from `next` (which fills at most the size given and returns the count; a
// short count ends the document). False when the parser reported an error
// (logged with its line); the reader's state tells the rest.
bool RunGroupsReader(XML_Parser parser, GroupsReader& reader, const std::function<size_t(char*, size_t)>& next) {
  GroupsLoadHolder load;
  reader.parser = parser;
  ClearXMLPerm(reader);
  XML_SetUserData(parser, &reader);
  XML_SetElementHandler(parser, GroupsXMLStartElement, GroupsXMLEndElement);
  // Documents that declare their own entities are refused: a chain of them
  // would make the parser recurse once per link.
  RefuseXMLEntityDeclarations(parser);
  XML_SetCharacterDataHandler(parser, GroupsXMLCharData);
  char chunk[kGroupsReadChunkBytes];
  for (;;) {
    size_t got = next(chunk, sizeof chunk);
    const bool last = got < sizeof chunk;  // a short chunk is the last one
    if (XML_Parse(parser, chunk, static_cast<int>(got), last ? XML_TRUE : XML_FALSE) == XML_STATUS_ERROR) {
      // A stop asked for by the handlers (states 0 and 12) is not a parser error.
      if (XML_GetErrorCode(parser) != XML_ERROR_ABORTED) {
        WriteLog(0, "XML error %s at line %d\n", XML_ErrorString(XML_GetErrorCode(parser)),
                 static_cast<int>(XML_GetCurrentLineNumber(parser)));
        return false;
      }
      return true;
    }
    if (last || reader.state == GRS_ERROR || reader.state == GRS_STOP) return true;
  }
}

}  // namespace

// ---- The file ----------------------------------------------------------------------

void SetGroupsFilePath(std::string_view path) { g_groupsFilePath.assign(path); }

std::string GetGroupsFilePath() {
  if (!g_groupsFilePath.empty()) return g_groupsFilePath;
  return std::string(GetServerSettings().homeDirectory) + kGroupsFileName;
}

// ---- Writing ---------------------------------------------------------------------------

int WriteGroupXML(const GroupStruct* group, FILE* fp) {
  if (group == nullptr || fp == nullptr) return FR_INVALID_PARAMETER;
  int rc = PutText("<GROUP>\n", fp);
  // A stored group's name is a valid group name, which escaping leaves as it is.
  if (rc == FR_OK) rc = WriteXMLTextElement("NAME", group->name, fp);
  if (rc == FR_OK) rc = PutUIDLine(group->header.uid, fp);
  if (rc == FR_OK) rc = WriteXMLTextElement("DESCRIPTION", group->description, fp);
  for (size_t i = 0; rc == FR_OK && i < group->members.size(); ++i) {
    rc = WriteXMLTextElement("USER", group->members[i].c_str(), fp);
  }
  if (rc == FR_OK) rc = PutText("</GROUP>\n", fp);
  return rc == FR_OK ? FR_OK : FR_WRITE_FAILED;
}

int WritePermXML(const PermissionStruct* perm, FILE* fp) {
  if (perm == nullptr || fp == nullptr) return FR_INVALID_PARAMETER;
  int rc = PutText("<PERM>\n", fp);
  if (rc == FR_OK) rc = PutUIDLine(perm->header.uid, fp);
  if (rc == FR_OK) rc = PutUIDList("READ", perm->read, fp);
  if (rc == FR_OK) rc = PutUIDList("WRITE", perm->write, fp);
  if (rc == FR_OK) rc = PutText("</PERM>\n", fp);
  return rc;
}

int WriteGroupsXML(std::string_view path) {
  if (path.empty()) {
    WriteLog(0, "Unable to write groups file as no file name was given");
    return FR_INVALID_PARAMETER;
  }
  const std::string file(path);
  // The arrays have already changed when this is called: clients comparing
  // their time stamp must see that whatever becomes of the write.
  SetGroupsTime(NowTime32());
  if (g_groupsLoadState == GROUPS_LOAD_FAILED) {
    WriteLog(0, "Not writing the groups file >%s< as the last load of it failed: it is kept as it is", file.c_str());
    return FR_WRITE_FAILED;
  }
  if (g_groupsLoadState == GROUPS_LOAD_PARTIAL && !KeepPartlyReadFile(file)) return FR_WRITE_FAILED;
  AtomicFile af;
  if (AtomicFileBegin(af, file) != ATOMIC_OK) {
    WriteLog(1, "Unable to open groups file >%s<", file.c_str());
    return FR_CANNOT_OPEN_FILE;
  }
  int rc = PutText("<?xml version=\"1.0\"?>\n<GROUPS>\n", af.fp);
  for (int32_t i = 0; rc == FR_OK && i < GetGroupCount(); ++i) rc = WriteGroupXML(GetGroupByIndex(i), af.fp);
  for (int32_t i = 0; rc == FR_OK && i < GetPermissionCount(); ++i) {
    rc = WritePermXML(GetPermissionByIndex(i), af.fp);
  }
  if (rc == FR_OK) rc = PutText("</GROUPS>", af.fp);
  if (rc == FR_OK && AtomicFileCommit(af) != ATOMIC_OK) rc = FR_WRITE_FAILED;
  if (rc != FR_OK) {
    // The AtomicFile drops its temporary file: the previous groups.xml stays.
    WriteLog(1, "Unable to write groups file >%s<", file.c_str());
    return FR_WRITE_FAILED;
  }
  if (g_groupsLoadState == GROUPS_LOAD_PARTIAL) g_groupsLoadState = GROUPS_LOAD_OK;
  return FR_OK;
}

// ---- Reading --------------------------------------------------------------------------

int ReadGroupsXML(std::string_view path) {
  ParserHolder holder{XML_ParserCreate(nullptr)};
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  const std::string file(path);
  FileHolder in{file.empty() ? nullptr : std::fopen(file.c_str(), "rb")};
  if (in.fp == nullptr) {
    const bool missing = errno == ENOENT;
    WriteLog(1, "Unable to open groups file >%s<", file.c_str());
    SetGroupsTime(NowTime32());
    // A file that is not there holds nothing a save could destroy.
    g_groupsLoadState = missing ? GROUPS_LOAD_NONE : GROUPS_LOAD_FAILED;
    return -1;
  }
  if (holder.parser == nullptr) {
    WriteLog(1, "Unable to create XML parser for groups file >%s<", file.c_str());
    SetGroupsTime(NowTime32());
    g_groupsLoadState = GROUPS_LOAD_FAILED;
    return -1;
  }
  GroupsReader reader;
  const bool parseError = !RunGroupsReader(holder.parser, reader, [&](char* chunk, size_t size) {
    return std::fread(chunk, 1, size, in.fp);
  });
  SetGroupsTime(NowTime32());
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  const bool failed = parseError || reader.state == GRS_ERROR;
  if (failed) {
    WriteLog(0, "The groups file >%s< did not read: group changes are not saved until it loads", file.c_str());
    g_groupsLoadState = GROUPS_LOAD_FAILED;
  } else if (reader.cut || reader.skipped) {
    WriteLog(0, "The groups file >%s< was read in part (%s): its first save keeps it as %s%s", file.c_str(),
             reader.cut ? "the reading stopped early" : "groups were left out", file.c_str(), kGroupsBadFileSuffix);
    g_groupsLoadState = GROUPS_LOAD_PARTIAL;
  } else {
    g_groupsLoadState = GROUPS_LOAD_OK;
  }
  return failed ? -1 : 0;
}

GroupsLoadState GetGroupsLoadState() { return g_groupsLoadState; }

void ResetGroupsFileState() { g_groupsLoadState = GROUPS_LOAD_NONE; }

// ---- Start-up ----------------------------------------------------------------------------

int AssignGroupUIDs(int32_t* given) {
  int32_t count = 0;
  for (int32_t i = 0; i < GetGroupCount(); ++i) {
    GroupStruct* g = GetGroupByIndex(i);
    if (g->header.uid == 0) {
      g->header.uid = GetNewUID();
      if (g->header.uid != 0) ++count;
    }
    g->header.kind = NODE_KIND_GROUP;
  }
  NoteGroupRecordChanged();
  if (given != nullptr) *given = count;
  return FR_OK;
}

int SaveStartUpGroupUIDs() {
  int32_t given = 0;
  AssignGroupUIDs(&given);
  if (given == 0) return FR_OK;
  const std::string path = GetGroupsFilePath();
  const int rc = WriteGroupsXML(path);
  if (rc == FR_OK) {
    WriteLog(0, "Gave %d groups their UIDs and wrote them to %s", given, path.c_str());
  } else {
    WriteLog(0, "Gave %d groups their UIDs but could not write them to %s (%d): the next start gives them others",
             given, path.c_str(), rc);
  }
  return rc;
}

// ---- A client's text ----------------------------------------------------------------------

int SaveGroupsFile(const char* text) {
  if (text == nullptr || text[0] == '\0') return FR_INVALID_PARAMETER;
  const size_t length = std::strlen(text);
  int64_t written = WriteMemoryToFile(GetGroupsFilePath(), text, length);
  return written == static_cast<int64_t>(length) ? FR_OK : FR_WRITE_FAILED;
}

int ReplaceGroupsXML(const char* text) {
  if (text == nullptr || text[0] == '\0') return FR_INVALID_PARAMETER;
  ParserHolder holder{XML_ParserCreate(nullptr)};
  if (holder.parser == nullptr) {
    WriteLog(1, "ReplaceGroupsXML:Unable to create XML parser");
    return FR_NO_MEMORY;
  }
  // The store's arrays wait aside; the text is read into empty ones.
  GroupArrays previous;
  if (SwapGroupArrays(previous) != FR_OK) return FR_NO_MEMORY;
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  GroupsReader reader;
  std::string_view rest(text);
  const bool parsed = RunGroupsReader(holder.parser, reader, [&](char* chunk, size_t size) {
    const size_t n = std::min(size, rest.size());
    std::memcpy(chunk, rest.data(), n);
    rest.remove_prefix(n);
    return n;
  });
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  if (!parsed || reader.state == GRS_ERROR || reader.cut || reader.skipped) {
    WriteLog(0, "The groups text did not read whole: the groups and %s stay as they were",
             GetGroupsFilePath().c_str());
    SwapGroupArrays(previous);  // the text's arrays are freed with `previous`
    return FR_XML_ERROR;
  }
  AssignGroupUIDs();
  // The text now is the whole copy of the groups, whatever the last load was.
  const GroupsLoadState was = g_groupsLoadState;
  g_groupsLoadState = GROUPS_LOAD_OK;
  const int rc = WriteGroupsXML(GetGroupsFilePath());
  if (rc != FR_OK) {
    g_groupsLoadState = was;
    SwapGroupArrays(previous);
    return rc;
  }
  SyncUIDFileWithStores();
  return FR_OK;
}

