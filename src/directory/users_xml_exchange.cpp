// The users XML exchange: the users documents for clients (built in memory,
// byte for byte as the users files hold the elements) and the client texts
// that replace a user, its main fields, its settings or the whole store.
// Directory layer: calls the users tree and users files, the per-user
// settings, the user records, bcrypt hashing, the XML toolkit, the
// platform's files, the utilities, the server settings and the log.
#include "directory/users_xml_exchange.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "directory/groups.h"
#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "directory/users_files.h"
#include "directory/users_tree.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_tree.h"
#include "platform/atomic_file.h"
#include "platform/fs.h"

namespace {

constexpr const char kPasswordV2Name[] = "PASSWORDV2";
constexpr const char kFieldName[] = "FIELD";
constexpr const char kFieldNameAttribute[] = "NAME";
constexpr const char kAllUsersDocumentStart[] = "<?xml version=\"1.0\"?><USERS>";
constexpr const char kAllUsersDocumentEnd[] = "</USERS>";
constexpr const char kAppUsersDocumentStart[] = "<USERS>\n";
constexpr const char kAppUsersDocumentEnd[] = "</USERS>\n";

// The children of a USER node that UpdateUserXML replaces by the text's:
// they go before the text's children are added.
constexpr const char* kMainFieldNames[] = {"PASSWORD", "PASSWORDV2", "FORENAME", "SURNAME", "LEVEL",
                                           "EMAIL",    "GROUPLIST",  "ADUSER",   "USERNAME", "UID"};

bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

bool IsMainField(const XMLNode* child) {
  for (const char* name : kMainFieldNames) {
    if (EqualsNoCase(child->name, name)) return true;
  }
  return false;
}

const char* HomeDirectory() { return GetServerSettings().homeDirectory; }

// After a failure that changed the users: every user read again from the
// version-2 files. The reload's code when it fails, else `rc`.
int ReloadAfterFailure(int rc) {
  const int reload = ReloadUsers();
  return reload != FR_OK ? reload : rc;
}

// A detached node under which client text is parsed, so that nothing of the
// users tree changes before the text has been checked. Null without memory.
XMLNodeListPtr MakeHolder() {
  XMLNodeListPtr holder(AddXMLChildNode(nullptr));
  if (holder) {
    try {
      holder->name = kUsersRootName;
    } catch (const std::bad_alloc&) {
      holder.reset();
    }
  }
  return holder;
}

// Parses client text under a new holder (with `skipUser`, the USER element
// itself makes no node: its children land under the holder). 0; 1 no memory;
// 20 the text does not parse (logged by the parser).
int ParseClientText(const char* text, bool skipUser, XMLNodeListPtr& holder) {
  holder = MakeHolder();
  if (!holder) return FR_NO_MEMORY;
  if (skipUser) SetUsersSkippedElementName(kUserNodeName);
  const int rc = ParseXMLStringIntoNode(text, holder.get());
  if (skipUser) SetUsersSkippedElementName(nullptr);
  return rc == FR_OK ? FR_OK : FR_XML_ERROR;
}

// The text of the last of `children` named `name` that has text: the value
// the conversion of a USER node takes (a later element wins). Null when none.
std::optional<XMLTextView> LastText(const std::vector<const XMLNode*>& children, const char* name) {
  std::optional<XMLTextView> found;
  for (const XMLNode* c : children) {
    if (c->value && EqualsNoCase(c->name, name)) found = *c->value;
  }
  return found;
}

std::vector<const XMLNode*> ChildrenOf(const XMLNode* node) {
  std::vector<const XMLNode*> out;
  for (const XMLNode* c = node->firstChild; c != nullptr; c = c->nextSibling) out.push_back(c);
  return out;
}

// The last child of `node` named `name` (without regard to case), or null.
XMLNode* LastChildNamed(XMLNode* node, const char* name) {
  XMLNode* found = nullptr;
  for (XMLNode* c = node->firstChild; c != nullptr; c = c->nextSibling) {
    if (EqualsNoCase(c->name, name)) found = c;
  }
  return found;
}

bool HasChildNamed(const XMLNode* node, const char* name) {
  for (const XMLNode* c = node->firstChild; c != nullptr; c = c->nextSibling) {
    if (EqualsNoCase(c->name, name)) return true;
  }
  return false;
}

// Deletes every child of `node` named `name` except `keep` (one pass,
// however many there are).
void DeleteChildrenNamed(XMLNode* node, const char* name, const XMLNode* keep) {
  RemoveUsersTreeNodesIf(node, [name, keep](const XMLNode* c) { return c != keep && EqualsNoCase(c->name, name); });
}

// Moves every child of `from` to the end of `to`'s children, in order.
void MoveChildren(XMLNode* from, XMLNode* to) {
  while (XMLNode* c = from->firstChild) {
    UnlinkXMLNode(c);
    AppendXMLNodeList(to, c);
  }
}

// True when a USER element whose USERNAME and ADUSER texts are `userName`
// and `adText` (as the conversion takes them) answers to the name a client
// gave: the same name without regard to case, or domain\user of the computer
// domain for the Active Directory user `user` (FindXMLUserNode's rule).
bool TextNamesUser(const char* name, std::optional<XMLTextView> userName, std::optional<XMLTextView> adText) {
  if (!userName) return false;
  if (EqualsNoCase(*userName, name)) return true;
  const char* stripped = StripLocalDomain(name);
  return stripped != name && EqualsNoCase(*userName, stripped) && adText &&
         strtol(adText->c_str(), nullptr, 10) != 0;
}

// 0 when the users files can hold the settings element (names, texts,
// depth), else the writer's code (2, or 1 without memory).
int CheckSettingsWritable(const XMLNode* userData) {
  if (userData == nullptr) return FR_OK;
  std::string scratch;
  return AppendUserDataXML(userData, scratch);
}

// The root of the users tree, made (empty USERS) when there is none. Null
// without memory.
XMLNode* EnsureUsersRoot() {
  if (XMLNode* root = GetUsersTreeRoot()) return root;
  XMLNodeListPtr root = MakeHolder();
  if (!root) return nullptr;
  SetUsersTreeRoot(root.get());
  return root.release();
}

// Gives the node FIELD children that hold exactly the record's fields (the
// old FIELD children go), so that converting the node keeps the fields the
// record has. 0, or 1 without memory.
int ResetFieldChildren(XMLNode* node, const UserStruct* user) {
  DeleteChildrenNamed(node, kFieldName, nullptr);
  for (const UserField& field : user->fields) {
    if (!field.name) continue;
    XMLNode* child = AppendNamedUsersChild(node, kFieldName, field.value ? field.value->c_str() : nullptr);
    if (child == nullptr) return FR_NO_MEMORY;
    if (AddXMLAttribute(child, kFieldNameAttribute, *field.name) != FR_OK) return FR_NO_MEMORY;
  }
  return FR_OK;
}

}  // namespace

// ---- Documents for clients ------------------------------------------------------------

std::optional<std::string> GetUsersXML(int* failReason) { return GetAllUsersXMLV2(HomeDirectory(), failReason); }

std::optional<std::string> GetAllUsersXMLV2(const char* home, int* failReason) {
  return BuildAllUsersXMLV2(home, nullptr, failReason);
}

std::optional<std::string> BuildAllUsersXMLV2(const char* home, const UserFileFilter& filter, int* failReason) {
  if (failReason == nullptr) return std::nullopt;
  const int rc = ReadUserListUIDs(home);  // logs a list it cannot open
  if (rc != FR_OK) {
    *failReason = FR_CANNOT_OPEN_FILE;
    return std::nullopt;
  }
  const std::string h(home);
  // A copy: the list UIDs are shared with the version-2 reader.
  const std::vector<UID> uids = GetUserListUIDs();
  if (uids.empty()) {
    WriteLog(0, "Unable to find any users in user list file >%s<", (h + kUserListFileName).c_str());
    *failReason = FR_USER_NOT_FOUND;
    return std::nullopt;
  }
  // One allocation for the whole document: the margin and every file's size.
  uint64_t total = kAllUsersDocumentMargin;
  for (const UID uid : uids) {
    const int32_t size = GetSizeOfFile(UserFilePath(h, uid));
    if (size > 0) total += static_cast<uint64_t>(size);
  }
  std::string out;
  try {
    if (total > out.max_size()) throw std::bad_alloc();
    out.reserve(static_cast<size_t>(total));
    out.append(kAllUsersDocumentStart);
    std::string content;
    for (const UID uid : uids) {
      const std::string path = UserFilePath(h, uid);
      const int read = ReadFileToBuffer(path, content);
      if (read == FR_NO_MEMORY) throw std::bad_alloc();
      if (read != FR_OK) {
        // A listed user whose file is gone or unreadable is left out.
        WriteLog(1, "Unable to read users file >%s< (code %d): it is left out of the users document", path.c_str(),
                 read);
        continue;
      }
      if (filter) {
        filter(uid, content, out);
      } else {
        out.append(content);
      }
    }
    out.append(kAllUsersDocumentEnd);
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate combined user buffer of %d bytes",
             total > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(total));
    *failReason = FR_NO_MEMORY;
    return std::nullopt;
  }
  *failReason = FR_OK;
  return out;
}

std::optional<std::string> GetUserXML(const char* name, int* failReason) {
  if (failReason == nullptr) return std::nullopt;
  if (IsEmpty(name)) {
    *failReason = FR_INVALID_PARAMETER;
    return std::nullopt;
  }
  const UserStruct* user = FindUser(name);
  if (user == nullptr) {
    *failReason = FR_USER_NOT_FOUND;
    return std::nullopt;
  }
  std::string out;
  const int rc = AppendUserXML(user, out);
  if (rc != FR_OK) {
    *failReason = rc;
    return std::nullopt;
  }
  *failReason = FR_OK;
  return out;
}

std::optional<std::string> GetUsersXMLForApp(const char* section, const char* subsection, int* failReason) {
  if (failReason == nullptr) return std::nullopt;
  const int count = GetUserCount();
  std::string out;
  bool any = false;
  try {
    for (int i = 0; i < count; ++i) {
      const UserStruct* user = GetUserByIndex(i);
      // The stored name finds this record at once (bisection, then its link).
      if (!user->USERNAME || UserHasAppSetting(user->USERNAME->c_str(), section, subsection) == 0) continue;
      if (!any) {
        out.append(kAppUsersDocumentStart);
        any = true;
      }
      const int rc = AppendUserXML(user, out);
      if (rc != FR_OK) {
        *failReason = rc;
        return std::nullopt;
      }
    }
    if (any) out.append(kAppUsersDocumentEnd);
  } catch (const std::bad_alloc&) {
    *failReason = FR_NO_MEMORY;
    return std::nullopt;
  }
  if (!any) {
    *failReason = FR_USER_NOT_FOUND;
    return std::nullopt;
  }
  *failReason = FR_OK;
  return out;
}

// ---- Client text -----------------------------------------------------------------------

int HashPlainTextPasswords(XMLNode* userNode) {
  if (userNode == nullptr) return FR_OK;
  for (XMLNode* c = userNode->firstChild; c != nullptr; c = c->nextSibling) {
    if (!c->value || !EqualsNoCase(c->name, kPasswordV2Name)) continue;
    const XMLTextView text = *c->value;
    // A hash (long text), no password at all, or the no-password marker
    // (default_user's, which every new user copies) stays as it is.
    if (text.empty() || text.size() >= kPlainPasswordLimit || text == kNoPasswordMarker) continue;
    char setting[kPasswordFieldSize];
    char hash[kPasswordFieldSize];
    const int rc = GeneratePasswordHash(text.c_str(), setting, hash);
    if (rc != FR_OK) {
      WriteLog(0, "Unable to hash the password given in XML for a user (code %d)", rc);
      return FR_HASH_FAILED;
    }
    c->value.Wipe();  // the plain password does not stay in memory
    c->value = hash;
  }
  return FR_OK;
}

namespace {

// SetUserXML's checks of the parsed text's USER element, before anything
// changes: it must hold this user (named as the client names it, and by its
// stored name when the user exists), with a UID a client may give and that
// no other record holds, and for a new user a name no group has; its
// settings must be writable and its plain passwords are hashed. 0 with the
// user's name in *newName, or the refusal's code.
int CheckUserText(const char* name, XMLNode* fresh, std::string* newName) {
  if (fresh == nullptr || !EqualsNoCase(fresh->name, kUserNodeName)) {
    WriteLog(0, "SetUserXML:The XML for user >%s< is not a USER element", name);
    return FR_INVALID_PARAMETER;
  }
  const std::vector<const XMLNode*> children = ChildrenOf(fresh);
  const std::optional<XMLTextView> given = LastText(children, kUserNameNodeName);
  const UserStruct* old = FindUser(name);
  // A text naming another existing user that `name` does not reach would
  // replace that user instead.
  bool names = TextNamesUser(name, given, LastText(children, kADUserNodeName)) && IsValidUserName(given->c_str());
  if (names) {
    names = old != nullptr ? EqualsNoCase(*given, *old->USERNAME) : UserExists(given->c_str()) == 0;
  }
  if (!names) {
    WriteLog(0, "SetUserXML:The XML for user >%s< does not hold that user", name);
    return FR_INVALID_PARAMETER;
  }
  *newName = *given;
  const std::optional<XMLTextView> uidText = LastText(children, "UID");
  const UID uid = uidText ? ParseHex32LikeStrtoul(*uidText) : kNoUID;
  if (!IsUIDAllowedForClientUser(newName->c_str(), uid)) {
    WriteLog(0, "SetUserXML:The XML for user >%s< gives it the UID of a built-in object", name);
    return FR_INVALID_PARAMETER;
  }
  // What the conversion would refuse once the old user is gone is refused
  // now, while nothing has changed (the reload after a failure rewrites
  // every users file): a UID that another user or node holds, a group's name.
  if (uid != kNoUID && (old == nullptr || uid != old->header.uid) && IsUIDInNodeQA(uid) != 0) {
    WriteLog(0, "SetUserXML:The XML for user >%s< gives it UID %08X, which is in use", name, uid);
    return FR_INVALID_PARAMETER;
  }
  if (old == nullptr && GroupExists(newName->c_str()) != 0) {
    WriteLog(0, "SetUserXML:Cannot add user >%s< as name already used by a group", newName->c_str());
    return FR_INVALID_PARAMETER;
  }
  // What the conversion will not read goes first: a repeated PASSWORDV2
  // would otherwise cost a bcrypt hash each.
  RemoveSupersededUserElements(fresh);
  const int rc = CheckSettingsWritable(LastChildNamed(fresh, kUserDataName));
  return rc != FR_OK ? rc : HashPlainTextPasswords(fresh);
}

// SetUserXML's change, once the text is checked: the old user goes with its
// node (the record deleted by its stored name; a node without a record of
// that name goes too, so that it hands nothing to the new user), the text's
// node becomes the user's one node and is converted into a new record. A
// failure after the old user went reloads every user.
int ReplaceUserByNode(const char* name, XMLNodeListPtr holder, const std::string& newName) {
  XMLNode* fresh = holder->firstChild;
  if (const UserStruct* old = FindUser(name)) {
    const std::string stored = *old->USERNAME;
    const int rc = DeleteUserAndNode(stored.c_str(), true);  // forced: built-in accounts are replaced too
    if (rc != FR_OK) return rc;                              // refused before anything changed
  } else if (XMLNode* leftover = FindXMLUserNode(name)) {
    if (RecordOfUserNode(leftover) == nullptr) RemoveUsersTreeNode(leftover);
  }
  RemoveLeftoverUserNodes(newName.c_str());  // every other node of the new user's name
  XMLNode* root = EnsureUsersRoot();
  if (root == nullptr) return ReloadAfterFailure(FR_NO_MEMORY);
  UnlinkXMLNode(fresh);
  AppendXMLNodeList(root, fresh);
  NoteUserNodeNames(fresh);
  holder.reset();

  // A new record (AddUser makes no node) whose settings link is the text's
  // USERDATA: this node is the user's one node.
  const int rc = ConvertXMLNodeToUser(fresh, USERS_CONVERT_CLIENT);
  if (rc != FR_OK) return ReloadAfterFailure(rc);
  UserStruct* user = GetUserByIndex(FindUserIndexExact(newName.c_str()));
  if (user != nullptr && user->USERDATA == nullptr) {
    // A text without settings: the user's (empty) settings go on this node,
    // not on whichever node of that name a lookup would find first.
    if (XMLNode* data = AppendNamedUsersChild(fresh, kUserDataName)) user->USERDATA = data;
  }
  return FR_OK;
}

}  // namespace

int SetUserXML(const char* name, const char* text) {
  if (IsEmpty(name) || IsEmpty(text)) return FR_INVALID_PARAMETER;
  // The text is parsed and checked on its own first: a text that cannot be
  // applied changes nothing.
  XMLNodeListPtr holder;
  int rc = ParseClientText(text, false, holder);
  if (rc != FR_OK) return rc;
  std::string newName;
  if ((rc = CheckUserText(name, holder->firstChild, &newName)) != FR_OK) return rc;
  if ((rc = ReplaceUserByNode(name, std::move(holder), newName)) != FR_OK) return rc;
  return SaveUsers(HomeDirectory(), newName.c_str());
}

int UpdateUserXML(const char* name, const char* text) {
  if (IsEmpty(name) || IsEmpty(text)) return FR_INVALID_PARAMETER;
  // The user must exist, with its node, before anything of it changes.
  UserStruct* user = FindUser(name);
  XMLNode* node = user != nullptr ? UserNodeOfRecord(user) : nullptr;
  if (node == nullptr) return FR_USER_NOT_FOUND;

  // The children of the text's USER element, parsed on their own.
  XMLNodeListPtr holder;
  int rc = ParseClientText(text, true, holder);
  if (rc != FR_OK) return rc;

  // The node as it will be: its children without its main fields (a node
  // holds one of each), then the text's. Its USERNAME must stay the user's
  // own name.
  RemoveSupersededUserElements(holder.get());  // a repeated PASSWORDV2 is hashed once
  std::vector<const XMLNode*> merged;
  for (const XMLNode* c = node->firstChild; c != nullptr; c = c->nextSibling) {
    if (!IsMainField(c)) merged.push_back(c);
  }
  for (const XMLNode* c = holder->firstChild; c != nullptr; c = c->nextSibling) merged.push_back(c);
  const std::optional<XMLTextView> given = LastText(merged, kUserNameNodeName);
  if (!TextNamesUser(name, given, LastText(merged, kADUserNodeName)) || !EqualsNoCase(*given, *user->USERNAME)) {
    WriteLog(0, "UpdateUserXML:The XML for user >%s< does not hold that user", name);
    return FR_INVALID_PARAMETER;
  }
  const std::string newName(*given);
  // A UID other than the user's is refused before the node changes, so the
  // refusal needs no reload of every user.
  const std::optional<XMLTextView> uidText = LastText(merged, "UID");
  if (uidText) {
    const UID uid = ParseHex32LikeStrtoul(*uidText);
    if (uid != kNoUID && uid != user->header.uid) {
      WriteLog(0, "UpdateUserXML:The XML for user >%s< gives another UID (%08X)", name, uid);
      return FR_UID_MISMATCH;
    }
  }
  const bool ownSettings = HasChildNamed(holder.get(), kUserDataName);
  const bool ownFields = HasChildNamed(holder.get(), kFieldName);
  if (ownSettings && (rc = CheckSettingsWritable(LastChildNamed(holder.get(), kUserDataName))) != FR_OK) return rc;
  if ((rc = HashPlainTextPasswords(holder.get())) != FR_OK) return rc;

  // ---- The node changes from here on; a failure reloads the users.
  RemoveUsersTreeNodesIf(node, IsMainField);
  // The fields: the text's when it gives any, else those the record has now
  // (the node's FIELD children may be older than the record's fields).
  if (ownFields) {
    DeleteChildrenNamed(node, kFieldName, nullptr);
  } else if ((rc = ResetFieldChildren(node, user)) != FR_OK) {
    return ReloadAfterFailure(rc);
  }
  MoveChildren(holder.get(), node);
  NoteUserNodeNames(node);  // the text's USERNAME, now the node's
  if (ownSettings) {
    // The text's settings replace the user's: one USERDATA stays, the one
    // that the record links and every settings lookup finds.
    XMLNode* data = LastChildNamed(node, kUserDataName);
    user->USERDATA = data;
    DeleteChildrenNamed(node, kUserDataName, data);
  }
  rc = ConvertXMLNodeToUser(node, USERS_CONVERT_CLIENT);  // UpdateUser: 8 for another UID
  if (rc != FR_OK) return ReloadAfterFailure(rc);
  return SaveUsers(HomeDirectory(), newName.c_str());
}

int ReplaceUserDataXML(const char* name, const char* text) {
  if (IsEmpty(name) || IsEmpty(text)) return FR_INVALID_PARAMETER;
  UserStruct* user = FindUser(name);
  XMLNode* node = user != nullptr ? UserNodeOfRecord(user) : nullptr;
  if (node == nullptr) return FR_USER_NOT_FOUND;

  XMLNodeListPtr holder;
  int rc = ParseClientText(text, false, holder);
  if (rc != FR_OK) return rc;
  XMLNode* data = holder->firstChild;
  if (data == nullptr || !EqualsNoCase(data->name, kUserDataName)) {
    WriteLog(0, "ReplaceUserDataXML:The XML for user >%s< is not a USERDATA element", name);
    return FR_INVALID_PARAMETER;
  }
  if ((rc = CheckSettingsWritable(data)) != FR_OK) return rc;

  // Only the settings change: the record is relinked, not converted again
  // from the node (whose main-field children may be older than the record).
  UnlinkXMLNode(data);
  AppendXMLNodeList(node, data);
  user->USERDATA = data;
  DeleteChildrenNamed(node, kUserDataName, data);
  return FR_OK;
}

int SetUserDataXML(const char* name, const char* text) {
  const int rc = ReplaceUserDataXML(name, text);
  if (rc != FR_OK) return rc;
  return SaveUsers(HomeDirectory(), name);
}

int SetUsersXML(const char* text) {
  if (IsEmpty(text)) return FR_INVALID_PARAMETER;
  const std::string path = GetServerSettings().usersFilePath;
  if (!CopyWholeFile(path, path + kUsersFileBackupSuffix)) {
    WriteLog(1, "Unable to make backup of old xml data");
    return FR_CANNOT_OPEN_FILE;
  }
  // Replaced atomically: when the write fails the old users file stays whole
  // (as users.xml.old holds it too).
  const int written = ReplaceUsersFileText(path, text, std::strlen(text));
  if (written != FR_OK) return written;
  // Every user of the store goes: the files of those that the text does not
  // bring back (under the same UID) go too, once the new list is on disk.
  std::vector<UID> previous;
  try {
    previous.reserve(static_cast<size_t>(GetUserCount()));
    for (int i = 0; i < GetUserCount(); ++i) previous.push_back(GetUserByIndex(i)->header.uid);
  } catch (const std::bad_alloc&) {
    previous.clear();  // their files stay behind, unlisted
  }
  RemoveUserFilesAtNextSave(previous);
  FreeUsersData();
  const int rc = ReadUsersXML(path.c_str(), USERS_CONVERT_CLIENT);
  if (rc == FR_OK) {
    AssignUserUIDs();
    return WriteUserList(HomeDirectory(), nullptr);
  }
  ReloadUsers();  // memory as the version-2 files hold it; the read's code is the answer
  return rc;
}
