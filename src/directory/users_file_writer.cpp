// The users files' writer and saves: the USER element and its settings
// block, the per-user files, userlist.xml (its text, and what the list on
// disk holds, so a save that changes no line leaves it alone), the version-1
// file, and the save every change of a user calls, with the refusals of the
// load state (no save after a failed load, userlist.xml.bad after a partial
// one) and the removal of deleted users' files once the list leaves them out.
// A user's own file is written by the writer thread in the order of its
// saves; a save that may wait (SaveMayWaitForFile) steps aside meanwhile.
// Directory layer: calls the users tree, the user records, the node
// registry, the login sections, the XML toolkit, atomic files, the
// file-system helpers, the workers' ordered writes and fiber locals, the
// clock and the log.
#include "directory/users_files.h"
#include "directory/users_files_private.h"

#include <fcntl.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "directory/users_tree.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_escape.h"
#include "foundation/xml/xml_tree.h"
#include "foundation/xml/xml_writer.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/file_range_copy.h"
#include "platform/fiber_tasks.h"
#include "platform/fs.h"
#include "platform/worker_pool.h"

using namespace users_files_detail;

namespace {

// Non-zero while the running task holds a SaveMayWaitForFile.
const int kSaveMayWaitLocal = RegisterFiberLocal(nullptr);

constexpr const char kDeclarationLine[] = "<?xml version=\"1.0\"?>\n";
constexpr size_t kStreamFlushSize = 64 * 1024;  // the list and version-1 writers hand text on in pieces of this size

// What userlist.xml on disk holds, as the UID and name of each of its lines in
// order: the list's bytes are a function of these alone, so a save whose
// array gives the same pairs leaves the file alone. A save compares them
// with the array; while the array's change count (GetUserArrayGeneration:
// adds, deletes, sorts, loads, client XML, new UIDs, a change of letter
// case) stands where it stood when they were last seen equal, a one-user
// save compares only the saved user's pair, which its caller may have
// changed in place. Known only after this process wrote the list or a load
// found it byte for byte as the writer would write it. With the file
// offset of each line, a save after one add or delete (GetUserArrayEditSince)
// makes the new list of the old file's bytes and that one line.
struct ListOnDisk {
  bool known = false;
  uint64_t generation = 0;   // the array's generation when the pairs were last seen equal
  std::vector<UID> uids;
  std::string names;         // every name, one after another (a missing name is empty, as written)
  std::vector<uint32_t> ends;  // the end of each name in `names`
  std::vector<uint32_t> lineEnds;  // the offset in the file just past each line
};
ListOnDisk g_listOnDisk;

std::string UserFileName(UID uid) {
  std::string name;
  AppendUserFileName(name, uid);
  return name;
}

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
// 0, 14 (cannot create), 15. Logs nothing (the writer thread uses it too).
int WriteAtomicQuietly(AtomicFile& af, const std::string& path, const std::string& text, bool commit) {
  if (AtomicFileBegin(af, path) != ATOMIC_OK) return FR_CANNOT_OPEN_FILE;
  if (!text.empty() && fwrite(text.data(), 1, text.size(), af.fp) != text.size()) {
    af.writeFailed = true;
    af.savedErrno = errno;
  }
  const int rc = commit ? AtomicFileCommit(af) : AtomicFileCloseUnsynced(af);
  return rc == ATOMIC_OK ? FR_OK : FR_WRITE_FAILED;
}

// The log line of a failed WriteAtomicQuietly: `openMessage` (a format of
// the path) when the file could not be made, else the write's.
void LogAtomicWriteFailure(int rc, const std::string& path, const char* openMessage) {
  if (rc == FR_CANNOT_OPEN_FILE) WriteLog(1, openMessage, path.c_str());
  if (rc == FR_WRITE_FAILED) WriteLog(1, "Unable to write file %s", path.c_str());
}

// WriteAtomicQuietly, its failure logged.
int WriteAtomic(AtomicFile& af, const std::string& path, const std::string& text, bool commit, const char* openMessage) {
  const int rc = WriteAtomicQuietly(af, path, text, commit);
  LogAtomicWriteFailure(rc, path, openMessage);
  return rc;
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

// The byte counts of those pieces (the line's for a record of that name).
size_t UserListHeadSize() { return sizeof kDeclarationLine - 1 + sizeof kUserListRootName - 1 + 3; }
size_t UserListTailSize() { return sizeof kUserListRootName - 1 + 3; }
size_t UserListLineSize(std::string_view name) {
  return sizeof "<USER uid=\"" - 1 + 8 + sizeof "\" name=\"" - 1 + XMLAttributeEscapedLength(name) + sizeof "\"/>\n" - 1;
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
    g_listOnDisk.lineEnds.reserve(static_cast<size_t>(count));
    uint64_t offset = UserListHeadSize();
    for (int i = 0; i < count; ++i) {
      const UserStruct* user = GetUserByIndex(i);
      g_listOnDisk.uids.push_back(user->header.uid);
      g_listOnDisk.names.append(NameOfRecord(user));
      g_listOnDisk.ends.push_back(static_cast<uint32_t>(g_listOnDisk.names.size()));
      offset += UserListLineSize(NameOfRecord(user));
      if (offset + UserListTailSize() > UINT32_MAX) {  // the offsets would not fit: not known
        ForgetListOnDisk();
        return;
      }
      g_listOnDisk.lineEnds.push_back(static_cast<uint32_t>(offset));
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
  // The walk reads one cache line of each record, fetched a few records ahead.
  constexpr size_t kAhead = 8;
  const char* names = g_listOnDisk.names.data();
  size_t begin = 0;
  for (size_t i = 0; i < count; ++i) {
    if (i + kAhead < count) __builtin_prefetch(GetUserByIndex(static_cast<int>(i + kAhead)));
    const UserStruct& user = *GetUserByIndex(static_cast<int>(i));
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

// The answer of EditUserListFile when the list is to be written whole.
constexpr int kListWrittenWhole = -1;

// Where the line of the record at `i` begins in the list on disk; with the
// number of lines, where its tail begins.
uint64_t ListLineStart(size_t i) { return i == 0 ? UserListHeadSize() : g_listOnDisk.lineEnds[i - 1]; }

// The list on disk with the array's one edit made to it as well: the pair
// and the line offsets inserted or removed at `at`, the later ones moved by
// the line's size. Without memory for that the list is not known.
void ApplyEditToListOnDisk(const UserArrayEdit& edit, const UserStruct* added, size_t lineSize) {
  ListOnDisk& list = g_listOnDisk;
  const size_t at = static_cast<size_t>(edit.index);
  const uint32_t nameStart = at == 0 ? 0 : list.ends[at - 1];
  const uint32_t lineStart = static_cast<uint32_t>(ListLineStart(at));
  try {
    if (edit.inserted) {
      const std::string_view name = NameOfRecord(added);
      const uint32_t nameSize = static_cast<uint32_t>(name.size());
      const uint32_t size = static_cast<uint32_t>(lineSize);
      list.uids.insert(list.uids.begin() + static_cast<std::ptrdiff_t>(at), added->header.uid);
      list.names.insert(nameStart, name);
      list.ends.insert(list.ends.begin() + static_cast<std::ptrdiff_t>(at), nameStart + nameSize);
      list.lineEnds.insert(list.lineEnds.begin() + static_cast<std::ptrdiff_t>(at), lineStart + size);
      for (size_t j = at + 1; j < list.ends.size(); ++j) {
        list.ends[j] += nameSize;
        list.lineEnds[j] += size;
      }
    } else {
      const uint32_t nameSize = list.ends[at] - nameStart;
      const uint32_t size = list.lineEnds[at] - lineStart;
      list.uids.erase(list.uids.begin() + static_cast<std::ptrdiff_t>(at));
      list.names.erase(nameStart, nameSize);
      list.ends.erase(list.ends.begin() + static_cast<std::ptrdiff_t>(at));
      list.lineEnds.erase(list.lineEnds.begin() + static_cast<std::ptrdiff_t>(at));
      for (size_t j = at; j < list.ends.size(); ++j) {
        list.ends[j] -= nameSize;
        list.lineEnds[j] -= size;
      }
    }
    list.generation = GetUserArrayGeneration();
  } catch (const std::exception&) {
    ForgetListOnDisk();
  }
  assert(!list.known || ListOnDiskMatchesWhole());
}

// Replaces userlist.xml after one add or delete since the list on disk was
// last seen equal to the array: the new file is the old one's bytes before
// and after that user's line, copied inside the kernel, with the new line
// between them (or without the old one), so no step goes over every user.
// The bytes are exactly those WriteUserListFile would write. 0, 14, 15 as
// that; kListWrittenWhole when the list on disk is not known, the array
// changed otherwise, or the file is not the size the list on disk gives
// (then nothing was written).
int EditUserListFile(const std::string& path) {
  UserArrayEdit edit;
  if (!g_listOnDisk.known || !GetUserArrayEditSince(g_listOnDisk.generation, &edit)) return kListWrittenWhole;
  const size_t lines = g_listOnDisk.uids.size();
  const size_t count = static_cast<size_t>(GetUserCount());
  const size_t at = static_cast<size_t>(edit.index);
  if (edit.inserted ? (count != lines + 1 || at > lines) : (count + 1 != lines || at >= lines)) return kListWrittenWhole;
  const UserStruct* added = edit.inserted ? GetUserByIndex(edit.index) : nullptr;
  std::string line;
  if (added != nullptr) AppendUserListLine(line, added);
  const uint64_t start = ListLineStart(at);
  const uint64_t removed = added != nullptr ? 0 : g_listOnDisk.lineEnds[at] - start;
  const uint64_t oldSize = ListLineStart(lines) + UserListTailSize();
  if (oldSize - removed + line.size() > UINT32_MAX) return kListWrittenWhole;
  uint64_t size = 0;
  const int old = OpenFileForCopy(path, &size);
  if (old < 0 || size != oldSize) {  // not the file the list on disk describes
    CloseFileForCopy(old);
    return kListWrittenWhole;
  }
  AtomicFile af;
  if (AtomicFileBegin(af, path) != ATOMIC_OK) {
    CloseFileForCopy(old);
    WriteLog(1, "Unable to open user list file >%s<", path.c_str());
    return FR_CANNOT_OPEN_FILE;
  }
  const bool copied = CopyFileRange(old, 0, start, af.fd) && WriteAllToFd(af.fd, line.data(), line.size()) &&
                      CopyFileRange(old, start + removed, oldSize - start - removed, af.fd);
  if (!copied) {
    af.writeFailed = true;
    af.savedErrno = errno;
  }
  CloseFileForCopy(old);
  if (AtomicFileCommit(af) != ATOMIC_OK) {
    ForgetListOnDisk();
    WriteLog(1, "Unable to write file %s", path.c_str());
    return FR_WRITE_FAILED;
  }
  ApplyEditToListOnDisk(edit, added, line.size());
  return FR_OK;
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
  WaitForWritesInOrder();  // no older text of a file lands after these
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

// Moves the users deleted since the last save onto the files to remove.
void NoteFilesOfDeletedUsers() { RemoveUserFilesAtNextSave(TakeDeletedUserUIDs()); }

// Once the list on disk names exactly the users in memory: removes the file
// of each deleted user, list first and file second, so that a crash between
// the two leaves at worst a file no list names (which the next start keeps
// and logs). A file is left alone when a record holds its UID again (the
// user was replaced under the same UID, or came back with a reload) or it
// belongs to a user the last load skipped. One that is already gone is no
// fault; any other failure is logged and the file stays.
void RemoveFilesOfDeletedUsers(const std::string& home) {
  // A write of one of them still queued would bring its file back after
  // the removal: the removals come after every write handed over before.
  if (!g_filesOfDeletedUsers.empty()) WaitForWritesInOrder();
  for (const UID uid : g_filesOfDeletedUsers) {
    if (uid == kNoUID || IsUIDInNodeQA(uid) != 0 || g_protectedUIDs.count(uid) != 0) continue;
    const std::string path = UserFilePath(home, uid);
    if (DeleteFile(path)) {
      WriteLog(0, "Removed the users file >%s< of a deleted user", path.c_str());
    } else if (errno != ENOENT) {
      WriteLog(1, "Unable to remove the users file >%s< of a deleted user: it stays, named by no list", path.c_str());
    }
  }
  g_filesOfDeletedUsers.clear();
}

// True (logged) while the last load failed: the files on disk are then the
// only whole copy of the users, and memory must not overwrite them.
bool SavesRefusedAfterFailedLoad() {
  if (g_loadState != USERS_LOAD_FAILED) return false;
  WriteLog(0, "Not writing the users files as the last load of them failed: they are kept as they are");
  return true;
}

}  // namespace

namespace users_files_detail {

// The name of a per-user file within users/: "%08X.xml".
void AppendUserFileName(std::string& out, UID uid) {
  char name[16];
  snprintf(name, sizeof name, "%08X.xml", uid);
  out.append(name);
}

const char* NameForLog(const UserStruct* user) { return user && user->USERNAME ? user->USERNAME->c_str() : ""; }

std::vector<UID> g_filesOfDeletedUsers;

void ForgetListOnDisk() {
  g_listOnDisk.known = false;
  g_listOnDisk.uids.clear();
  g_listOnDisk.names.clear();
  g_listOnDisk.ends.clear();
  g_listOnDisk.lineEnds.clear();
}

// After a load that made every listed user: the list on disk is known when
// its bytes are exactly what the writer would write for the array, so the
// first save after a start can leave it alone too.
void NoteListAfterLoad(const std::string& path) {
  if (g_loadState != USERS_LOAD_OK) return;
  if (FileHoldsUserListText(path)) RememberListOnDisk();
}

}  // namespace users_files_detail

std::string UserFilePath(const std::string& home, UID uid) { return home + kUsersDirectoryName + UserFileName(uid); }

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
  WaitForWritesInOrder();
  AtomicFile af;
  return WriteAtomic(af, UserFilePath(home, user->header.uid), text, true, "WriteV2UserToFile:Unable to open file %s");
}

int SaveUsers(const char* home, const char* name) { return WriteUserList(home, name); }

void RemoveUserFilesAtNextSave(const std::vector<UID>& uids) {
  try {
    g_filesOfDeletedUsers.insert(g_filesOfDeletedUsers.end(), uids.begin(), uids.end());
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to note the users files of %zu deleted users: they stay", uids.size());
  }
}

namespace {

// One user's file to write, made on the server thread and written on the
// writer thread: its own copies of the path and the text, and what came of it.
struct UserFileWrite {
  std::string directory;
  std::string path;
  std::string text;
  int rc = FR_OK;
  bool replaced = false;
};

// The room of the last text written, kept for the next: a file of megabytes
// is built without a fresh allocation (and its page faults) each time.
std::string g_spareFileText;

// The write itself (on the writer thread: no store, no log): nothing when
// the file holds the text already, else an atomic replacement.
void RunUserFileWrite(void* data) {
  auto* w = static_cast<UserFileWrite*>(data);
  std::string onDisk;
  if (ReadFileQuietly(AT_FDCWD, w->path.c_str(), onDisk).code == FR_OK && onDisk == w->text) return;
  MakeSureDirectoryPathExists(w->directory);
  AtomicFile af;
  w->rc = WriteAtomicQuietly(af, w->path, w->text, true);
  w->replaced = w->rc == FR_OK;
}

// The named user's own file (index from FindUserIndex; none: nothing to
// write, the list alone changes), written in the order of the saves; with
// `mayWait` the request steps aside while it is written, and `index` is not
// to be used after. 0, 2, 14, 15.
int WriteOneUserFile(const std::string& home, int index, bool mayWait, bool* replaced) {
  if (index < 0) return FR_OK;
  const UserStruct* user = GetUserByIndex(index);
  UserFileWrite write;
  write.text.swap(g_spareFileText);
  int rc = BuildUserFile(user, write.text);
  if (rc != FR_OK) return rc;
  write.path = UserFilePath(home, user->header.uid);
  write.directory = home + kUsersDirectoryName;
  user = nullptr;  // not held across the write
  RunInWriteOrder(RunUserFileWrite, &write, mayWait);
  LogAtomicWriteFailure(write.rc, write.path, "WriteV2UserToFile:Unable to open file %s");
  *replaced = write.replaced;
  write.text.clear();
  if (write.text.capacity() > g_spareFileText.capacity()) write.text.swap(g_spareFileText);
  return write.rc;
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
  NoteFilesOfDeletedUsers();
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
  // The list is written only when its bytes change (most saves change no
  // UID and no name). After a partial load it is always written, the old one
  // kept beside it first. A save whose list stays may wait for its user's
  // file: the request steps aside while it is written (the last step).
  const bool listStays = g_loadState != USERS_LOAD_PARTIAL && ListOnDiskMatches(index);
  const bool mayWait = listStays && FiberLocal(kSaveMayWaitLocal) != 0;
  // The user's own record is found as every lookup finds it (domain\user
  // included), so that its file is rewritten whatever form the caller used.
  rc = name == nullptr ? WriteAllUserFiles(h, &replaced) : WriteOneUserFile(h, index, mayWait, &replaced);
  if (rc == FR_OK && !listStays) {
    const std::string listPath = h + kUserListFileName;
    rc = g_loadState == USERS_LOAD_PARTIAL ? kListWrittenWhole : EditUserListFile(listPath);
    if (rc == kListWrittenWhole) {
      rc = KeepListOfPartialLoad(h);
      if (rc == FR_OK) rc = WriteUserListFile(listPath);
    }
    if (rc == FR_OK && g_loadState == USERS_LOAD_PARTIAL) g_loadState = USERS_LOAD_OK;
  }
  // The list on disk now names exactly the users in memory; after a write
  // that waited, only when it still does (others ran meanwhile, and a save
  // of theirs may have failed to write the list).
  if (rc == FR_OK && (!mayWait || g_filesOfDeletedUsers.empty() || ListOnDiskMatches(-1)))
    RemoveFilesOfDeletedUsers(h);
  // A save that succeeded sets the users time, whatever it had to write.
  if (rc == FR_OK) replaced = true;
  if (replaced) SetUsersTime(NowTime32());
  return rc;
}

}  // namespace

SaveMayWaitForFile::SaveMayWaitForFile() : previous_(FiberLocal(kSaveMayWaitLocal)) { FiberLocal(kSaveMayWaitLocal) = 1; }
SaveMayWaitForFile::~SaveMayWaitForFile() { FiberLocal(kSaveMayWaitLocal) = previous_; }

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
