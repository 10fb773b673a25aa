// Per-user settings: lookups and changes of the settings tree under each
// user's USERDATA node, and the XML replacements of whole subtrees.
// Directory layer: calls the users tree and the save of one user, the user
// records, the XML toolkit, the utilities, the server settings, the fiber
// locals (the settings ceiling is the request's) and the log.
#include "directory/user_settings.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "directory/user_records.h"
#include "directory/users_files.h"
#include "directory/users_tree.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_tree.h"
#include "foundation/xml/xml_value_stack.h"
#include "platform/fiber_tasks.h"

namespace {

bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

// Depths below the USERDATA node: its sections are at 1, their subsections
// at 2, the first element of a setting path at 3. The users files hold at
// most kMaxUserDataDepth levels and still read back.
constexpr size_t kSectionDepth = 1;
constexpr size_t kSubsectionDepth = 2;

// Levels of the node's subtree (1 for a node without children). Loops over
// the links, so any depth is safe.
size_t SubtreeHeight(const XMLNode* top) {
  size_t best = 0;
  size_t depth = 1;
  const XMLNode* node = top;
  for (;;) {
    if (depth > best) best = depth;
    if (node->firstChild != nullptr) {
      node = node->firstChild;
      ++depth;
      continue;
    }
    while (node != top && node->nextSibling == nullptr) {
      node = node->parent;
      --depth;
    }
    if (node == top) return best;
    node = node->nextSibling;
  }
}

// What one node holds, by itself: its name, its text, its attributes.
size_t NodeBytes(const XMLNode* node) {
  size_t bytes = node->name.size() + (node->value ? node->value->size() : 0);
  for (const XMLAttribute& attribute : node->attributes) bytes += attribute.name.size() + attribute.value.size();
  return bytes;
}

// What the node and its subtree hold (a null node: 0).
size_t SubtreeBytes(const XMLNode* top) {
  size_t bytes = 0;
  for (const XMLNode* node = top; node != nullptr; node = NextInXMLSubtree(top, node)) bytes += NodeBytes(node);
  return bytes;
}

// The children of `node` and their subtrees (its own name and text not counted).
size_t ChildrenBytes(const XMLNode* node) {
  size_t bytes = 0;
  for (const XMLNode* c = node != nullptr ? node->firstChild : nullptr; c != nullptr; c = c->nextSibling) {
    bytes += SubtreeBytes(c);
  }
  return bytes;
}

// The ceiling in force for the running request (0: none); see SettingsCeiling.
const int kSettingsCeilingLocal = RegisterFiberLocal(nullptr);
size_t SettingsCeilingInForce() { return static_cast<size_t>(FiberLocal(kSettingsCeilingLocal)); }

// A path of more elements than any settings tree can be deep is cut after
// kMaxPathElements (`tooLong`): it reaches no node, and a client's path of
// millions of backslashes makes no more than that many pieces.
constexpr size_t kMaxPathElements = static_cast<size_t>(kXMLMaxDepth) + 1;

// A setting path cut at its backslashes. One trailing backslash only ends the
// path ("A\B\" is A, B); every other empty piece (a leading backslash, two in
// a row) stays as an empty element, which no node matches and the setters
// refuse.
struct SettingsPath {
  std::vector<std::string> elements;
  bool hasEmptyElement = false;
  bool tooLong = false;  // more than kMaxPathElements elements: only those were kept
};

SettingsPath SplitSettingsPath(std::string_view path) {
  SettingsPath out;
  size_t start = 0;
  for (;;) {
    if (out.elements.size() == kMaxPathElements) {
      out.tooLong = true;
      break;
    }
    const size_t cut = path.find(kSettingsPathSeparator, start);
    if (cut == std::string_view::npos) {
      // The piece after the last backslash; empty only for a trailing one,
      // which ends the path (or for the empty path itself).
      if (start < path.size() || out.elements.empty()) out.elements.emplace_back(path.substr(start));
      break;
    }
    out.elements.emplace_back(path.substr(start, cut - start));
    start = cut + 1;
  }
  for (const std::string& e : out.elements) {
    if (e.empty()) out.hasEmptyElement = true;
  }
  return out;
}

// Follows the elements from `from` as far as nodes exist. Gives the last node
// reached and, in *matched, how many elements were found.
XMLNode* WalkExisting(XMLNode* from, const SettingsPath& path, size_t* matched) {
  XMLNode* node = from;
  size_t i = 0;
  for (; i < path.elements.size(); ++i) {
    XMLNode* child = FindNamedChild(node, path.elements[i].c_str());
    if (child == nullptr) break;
    node = child;
  }
  *matched = i;
  return node;
}

// True when every element from `first` on may become a node's name.
bool NamesCanBeCreated(const SettingsPath& path, size_t first) {
  for (size_t i = first; i < path.elements.size(); ++i) {
    if (!IsAsciiXmlName(path.elements[i])) return false;
  }
  return true;
}

// Walks `path` from `from`, appending the missing nodes. Gives the last node,
// or null when a node cannot be allocated (the nodes made so far stay).
XMLNode* WalkCreating(XMLNode* from, const SettingsPath& path) {
  size_t matched = 0;
  XMLNode* node = WalkExisting(from, path, &matched);
  for (size_t i = matched; i < path.elements.size(); ++i) {
    node = AppendNamedUsersChild(node, path.elements[i]);
    if (node == nullptr) return nullptr;
  }
  return node;
}

// The save after a change of the user's settings: the user list and the
// user's own file. The save finds the record by the caller's name with the
// domain rule, so domain\user saves the Active Directory user's file.
int SaveUserSettings(const char* user) { return SaveUsers(GetServerSettings().homeDirectory, user); }

// The USER node of `user`: the node of the record the name finds (domain
// rule included); for a name without a record, the node a lookup by name
// finds (a node left without a record).
XMLNode* FindUserNodeByName(const char* user) {
  const UserStruct* record = FindUser(user);
  return record != nullptr ? UserNodeOfRecord(record) : FindXMLUserNode(user);
}

// The levels a change works on, found before anything is made: a null
// section or subsection is one that the change makes.
struct ChangeTarget {
  XMLNode* section = nullptr;
  XMLNode* subsection = nullptr;
};

// The user's USERDATA node when it has one (none is made).
const XMLNode* ExistingUserData(const char* user) {
  const XMLNode* userNode = IsEmpty(user) ? nullptr : FindUserNodeByName(user);
  return userNode != nullptr ? FindXMLChildNode(userNode, kUserDataName) : nullptr;
}

// True when a change that takes `removed` bytes out of the user's settings
// and puts `added` in stays within the ceiling in force (always without
// one, and for a change that does not grow the settings).
bool WithinSettingsCeiling(const char* user, size_t removed, size_t added) {
  const size_t ceiling = SettingsCeilingInForce();
  if (ceiling == 0 || added <= removed) return true;
  const size_t now = SubtreeBytes(ExistingUserData(user));
  const size_t after = now - std::min(now, removed) + added;
  if (after <= ceiling) return true;
  WriteLog(1, "The settings of user >%s< would hold %zu bytes, more than the %zu allowed", user, after, ceiling);
  return false;
}

// The bytes of the nodes a change makes on its way: a missing section or
// subsection (`needSubsection`), and the elements of `path` from `made` on.
size_t NamesMadeBytes(const char* section, const char* subsection, bool needSubsection, const ChangeTarget& target,
                      const SettingsPath& path, size_t made) {
  size_t bytes = 0;
  if (target.section == nullptr) bytes += std::strlen(section);
  if (needSubsection && target.subsection == nullptr) bytes += std::strlen(subsection);
  for (size_t i = made; i < path.elements.size(); ++i) bytes += path.elements[i].size();
  return bytes;
}

// After an XML replacement the record is linked to its user's USERDATA node
// again; nothing else of the record is taken from the tree (the record, not
// the node, holds the current password hashes and main fields).
void RelinkUserData(XMLNode* userData) {
  if (userData == nullptr) return;
  if (UserStruct* record = RecordOfUserNode(userData->parent)) record->USERDATA = userData;
}

// Looks up section\subsection for a change and checks, before the tree
// changes, everything that would refuse it: with `makeLevels` a missing
// section or subsection is to be made (its name must be an XML name), else
// 17 and 18 are returned; `needSubsection` false: a missing subsection is not
// made (its name is not checked); the names of `path` that do not exist yet
// must be XML names and the path must not reach below kMaxUserDataDepth
// (2); the user must have a record (6). 0, or the code.
int PrepareChange(const char* user, const char* section, const char* subsection, bool makeLevels,
                  bool needSubsection, const SettingsPath& path, ChangeTarget* target) {
  int code = FR_OK;
  XMLNode* sub = GetUserSubsectionNode(user, section, subsection, &code);
  if (sub != nullptr) {
    target->section = sub->parent;
    target->subsection = sub;
  } else {
    if (!makeLevels || (code != FR_ENV_NOT_FOUND && code != FR_APP_NOT_FOUND)) return code;
    if (code == FR_APP_NOT_FOUND) target->section = GetUserSectionNode(user, section, &code);
    if (target->section == nullptr && !IsAsciiXmlName(section)) return FR_INVALID_PARAMETER;
    if (needSubsection && !IsAsciiXmlName(subsection)) return FR_INVALID_PARAMETER;
  }
  if (kSubsectionDepth + path.elements.size() > static_cast<size_t>(kMaxUserDataDepth)) {
    return FR_INVALID_PARAMETER;
  }
  size_t matched = 0;
  if (target->subsection != nullptr) WalkExisting(target->subsection, path, &matched);
  if (!NamesCanBeCreated(path, matched)) return FR_INVALID_PARAMETER;
  // Without a record the save would write no file for the user and the
  // change would be lost at the next start while 0 came back.
  return FindUser(user) != nullptr ? FR_OK : FR_USER_NOT_FOUND;
}

// Makes the levels that PrepareChange found missing (the subsection only when
// `needSubsection`). 0; 6 no settings node; 1 no memory.
int MakeLevels(const char* user, const char* section, const char* subsection, bool needSubsection,
               ChangeTarget* target) {
  if (target->section == nullptr) {
    XMLNode* data = GetUserDataNode(user);
    if (data == nullptr) return FR_USER_NOT_FOUND;
    target->section = AppendNamedUsersChild(data, section);
    if (target->section == nullptr) return FR_NO_MEMORY;
  }
  if (needSubsection && target->subsection == nullptr) {
    target->subsection = AppendNamedUsersChild(target->section, subsection);
    if (target->subsection == nullptr) return FR_NO_MEMORY;
  }
  return FR_OK;
}

// The common body of SetUserSetting and SetUserSettingCreate.
int SetSettingSteps(const char* user, const char* section, const char* subsection, const char* path, const char* value,
               bool createLevels) {
  if (IsEmpty(user) || IsEmpty(section) || IsEmpty(subsection) || IsEmpty(path)) return FR_INVALID_PARAMETER;
  if (value != nullptr && !IsValidXmlText(value)) return FR_INVALID_PARAMETER;
  const SettingsPath elements = SplitSettingsPath(path);
  if (elements.hasEmptyElement) return FR_INVALID_PARAMETER;

  ChangeTarget target;
  int rc = PrepareChange(user, section, subsection, createLevels, true, elements, &target);
  if (rc != FR_OK) return rc;
  if (SettingsCeilingInForce() != 0) {
    size_t matched = 0;
    const XMLNode* existing =
        target.subsection != nullptr ? WalkExisting(target.subsection, elements, &matched) : nullptr;
    const bool whole = existing != nullptr && matched == elements.elements.size();
    const size_t removed = whole && existing->value ? existing->value->size() : 0;
    const size_t added = (value != nullptr ? std::strlen(value) : 0) +
                         NamesMadeBytes(section, subsection, true, target, elements, matched);
    if (!WithinSettingsCeiling(user, removed, added)) return FR_NO_MEMORY;
  }
  rc = MakeLevels(user, section, subsection, true, &target);
  if (rc != FR_OK) return rc;
  XMLNode* node = WalkCreating(target.subsection, elements);
  if (node == nullptr) return FR_NO_MEMORY;
  if (value != nullptr) {
    try {
      node->value = std::string(value);
    } catch (const std::bad_alloc&) {
      return FR_NO_MEMORY;
    }
  } else {
    node->value.reset();
  }
  return SaveUserSettings(user);
}

// SetSettingSteps, answering 1 when memory runs out at any step (the path's
// pieces, a new node, the value, the save); every node made before stays
// named and in place.
int SetSetting(const char* user, const char* section, const char* subsection, const char* path, const char* value,
               bool createLevels) {
  try {
    return SetSettingSteps(user, section, subsection, path, value, createLevels);
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate memory for the setting >%s< of user >%s<", path, user);
    return FR_NO_MEMORY;
  }
}

std::string g_settingsPath;  // the settings path buffer's text (below 2048 bytes)

}  // namespace

// ---- A ceiling on one user's settings ----------------------------------------------

SettingsCeiling::SettingsCeiling(size_t bytes) : previous_(SettingsCeilingInForce()) {
  FiberLocal(kSettingsCeilingLocal) = static_cast<uintptr_t>(bytes);
}
SettingsCeiling::~SettingsCeiling() { FiberLocal(kSettingsCeilingLocal) = static_cast<uintptr_t>(previous_); }

size_t UserSettingsBytes(const char* user) { return SubtreeBytes(ExistingUserData(user)); }

// ---- Nodes of a user's settings -------------------------------------------------------

XMLNode* GetUserDataNode(const char* user) {
  if (IsEmpty(user)) return nullptr;
  XMLNode* root = GetUsersTreeRoot();
  if (root == nullptr || root->firstChild == nullptr) return nullptr;
  XMLNode* userNode = FindUserNodeByName(user);
  if (userNode == nullptr) return nullptr;
  XMLNode* data = FindXMLChildNode(userNode, kUserDataName);
  if (data != nullptr) return data;
  data = AppendNamedUsersChild(userNode, kUserDataName);
  if (data == nullptr) return nullptr;
  if (UserStruct* record = RecordOfUserNode(userNode)) record->USERDATA = data;
  return data;
}

XMLNode* FindUserDataSection(XMLNode* userData, const char* section) {
  if (userData == nullptr || IsEmpty(section)) return nullptr;
  if (!EqualsNoCase(userData->name, kUserDataName)) return nullptr;
  return FindXMLChildNode(userData, section);
}

XMLNode* FindNamedChild(XMLNode* node, const char* name) {
  if (node == nullptr || name == nullptr) return nullptr;
  return FindXMLChildNode(node, name);  // nameless children and the empty name match nothing
}

XMLNode* GetUserSectionNode(const char* user, const char* section, int* failReason) {
  if (failReason == nullptr) return nullptr;
  if (user == nullptr || section == nullptr) {
    *failReason = FR_INVALID_PARAMETER;
    return nullptr;
  }
  XMLNode* data = GetUserDataNode(user);
  if (data == nullptr) {
    *failReason = FR_USER_NOT_FOUND;
    return nullptr;
  }
  XMLNode* sect = FindUserDataSection(data, section);
  *failReason = sect != nullptr ? FR_OK : FR_ENV_NOT_FOUND;
  return sect;
}

XMLNode* GetUserSubsectionNode(const char* user, const char* section, const char* subsection, int* failReason) {
  if (failReason == nullptr) return nullptr;
  if (user == nullptr || section == nullptr || subsection == nullptr) {
    *failReason = FR_INVALID_PARAMETER;
    return nullptr;
  }
  XMLNode* sect = GetUserSectionNode(user, section, failReason);
  if (sect == nullptr) return nullptr;
  XMLNode* sub = FindXMLChildNode(sect, subsection);
  *failReason = sub != nullptr ? FR_OK : FR_APP_NOT_FOUND;
  return sub;
}

// ---- Single values ------------------------------------------------------------------

std::optional<std::string> GetUserSetting(const char* user, const char* section, const char* subsection,
                                          const char* path, int* failReason) {
  if (failReason == nullptr) return std::nullopt;
  if (IsEmpty(user) || IsEmpty(section) || IsEmpty(subsection) || IsEmpty(path)) {
    *failReason = FR_INVALID_PARAMETER;
    return std::nullopt;
  }
  XMLNode* node = GetUserSubsectionNode(user, section, subsection, failReason);
  if (node == nullptr) return std::nullopt;
  const SettingsPath elements = SplitSettingsPath(path);
  size_t matched = 0;
  node = WalkExisting(node, elements, &matched);
  if (matched < elements.elements.size() || elements.tooLong) {
    *failReason = FR_NODE_NOT_FOUND;
    return std::nullopt;
  }
  try {
    std::optional<std::string> copy(node->value.value_or(""));
    *failReason = FR_OK;
    return copy;
  } catch (const std::bad_alloc&) {  // a value may be as long as a client sent it
    *failReason = FR_NO_MEMORY;
    return std::nullopt;
  }
}

int SettingTextToInt(const std::string& text) {
  const char* p = text.c_str();
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    // Held to the 32-bit range: an over-long number reads as the nearest end.
    if (value <= static_cast<long long>(INT_MAX) + 1) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

int GetUserAllowConfiguration(const char* user, const char* section, const char* subsection) {
  int rc = FR_OK;
  const std::optional<std::string> value = GetUserSetting(user, section, subsection, kAllowConfigurationSetting, &rc);
  if (rc != FR_OK || !value) return 0;
  return SettingTextToInt(*value);
}

int SetUserSetting(const char* user, const char* section, const char* subsection, const char* path,
                   const char* value) {
  return SetSetting(user, section, subsection, path, value, false);
}

int SetUserSettingCreate(const char* user, const char* section, const char* subsection, const char* path,
                         const char* value) {
  return SetSetting(user, section, subsection, path, value, true);
}

int UserHasAppSetting(const char* user, const char* section, const char* subsection) {
  if (IsEmpty(user) || section == nullptr || subsection == nullptr) return 0;
  XMLNode* data = GetUserDataNode(user);
  if (data == nullptr) return 0;
  if (section[0] != '\0') {
    XMLNode* sect = FindUserDataSection(data, section);
    return (sect != nullptr && FindXMLChildNode(sect, subsection) != nullptr) ? 1 : 0;
  }
  for (XMLNode* sect = data->firstChild; sect != nullptr; sect = sect->nextSibling) {
    if (FindXMLChildNode(sect, subsection) != nullptr) return 1;
  }
  return 0;
}

// ---- Sections ---------------------------------------------------------------------

int AddTorvaneNode(XMLNode* section) {
  if (section == nullptr) return FR_INVALID_PARAMETER;
  return AppendNamedUsersChild(section, kLoginSubsectionName) != nullptr ? FR_OK : FR_NO_MEMORY;
}

int AddUserEnvSection(const char* user, const char* env) {
  if (IsEmpty(user) || IsEmpty(env)) return FR_INVALID_PARAMETER;
  int rc = FR_OK;
  if (GetUserSectionNode(user, env, &rc) != nullptr || rc != FR_ENV_NOT_FOUND) return rc;
  if (!IsAsciiXmlName(env)) return FR_INVALID_PARAMETER;
  if (FindUser(user) == nullptr) return FR_USER_NOT_FOUND;  // as PrepareChange
  XMLNode* data = GetUserDataNode(user);
  if (data == nullptr) return FR_USER_NOT_FOUND;
  if (!EqualsNoCase(data->name, kUserDataName)) return FR_WRONG_NODE_KIND;
  if (!WithinSettingsCeiling(user, 0, std::strlen(env) + std::strlen(kLoginSubsectionName))) return FR_NO_MEMORY;
  XMLNode* sect = AppendNamedUsersChild(data, env);
  if (sect == nullptr) return FR_NO_MEMORY;
  AddTorvaneNode(sect);  // a section without its subsection is still a section
  return SaveUserSettings(user);
}

int DeleteUserEnvSection(const char* user, const char* env) {
  if (IsEmpty(user) || IsEmpty(env)) return FR_INVALID_PARAMETER;
  int rc = FR_OK;
  XMLNode* sect = GetUserSectionNode(user, env, &rc);
  if (sect == nullptr) return rc;
  if (sect->parent->firstChild == sect && sect->nextSibling == nullptr) return FR_LAST_SECTION;
  if (FindUser(user) == nullptr) return FR_USER_NOT_FOUND;  // as PrepareChange
  RemoveUsersTreeNode(sect);
  return SaveUserSettings(user);
}

// ---- Subtrees as XML text -----------------------------------------------------------

std::optional<std::string> GetUserSettingsXML(const char* user, const char* section, const char* subsection,
                                              int* failReason) {
  if (failReason == nullptr) return std::nullopt;
  if (IsEmpty(user) || section == nullptr || subsection == nullptr) {
    *failReason = FR_INVALID_PARAMETER;
    return std::nullopt;
  }
  XMLNode* sub = GetUserSubsectionNode(user, section, subsection, failReason);
  if (sub == nullptr) return std::nullopt;
  std::optional<std::string> text = GetNodeTreeAsXMLString(sub);
  *failReason = text ? FR_OK : FR_NO_MEMORY;
  return text;
}

int SetUserSettingsXML(const char* user, const char* section, const char* subsection, const char* text) {
  if (IsEmpty(user) || IsEmpty(section) || IsEmpty(subsection) || text == nullptr) return FR_INVALID_PARAMETER;
  // The old subsection goes, so a missing one is not made.
  ChangeTarget target;
  int rc = PrepareChange(user, section, subsection, true, false, SettingsPath(), &target);
  if (rc != FR_OK) return rc;
  const bool madeSection = target.section == nullptr;
  if ((rc = MakeLevels(user, section, subsection, false, &target)) != FR_OK) return rc;

  // The text is parsed beside the old subsection, which goes only once the
  // new element is in: the section's children end as if the old one had been
  // deleted first, and a refusal leaves the user's settings whole.
  XMLNode* old = target.subsection;
  XMLNode* lastBefore = LastXMLChild(target.section);
  rc = ParseXMLStringIntoNode(text, target.section);
  if (rc != FR_OK) {
    // A failed replacement reloads every user from the files, so that memory
    // and disk agree again.
    ReloadUsers();
    return rc;
  }
  // Every node the parse appended (more than one only under a skipped
  // element name) must fit the depth the users files can read back.
  XMLNode* first = lastBefore != nullptr ? lastBefore->nextSibling : target.section->firstChild;
  bool tooDeep = false;
  for (XMLNode* n = first; n != nullptr; n = n->nextSibling) {
    if (kSectionDepth + SubtreeHeight(n) > static_cast<size_t>(kMaxUserDataDepth)) tooDeep = true;
  }
  if (tooDeep) {
    while (first != nullptr) {
      XMLNode* next = first->nextSibling;
      RemoveUsersTreeNode(first);
      first = next;
    }
    if (madeSection) RemoveUsersTreeNode(target.section);
    return FR_INVALID_PARAMETER;
  }
  if (old != nullptr) RemoveUsersTreeNode(old);
  RelinkUserData(target.section->parent);
  return SaveUserSettings(user);
}

int SetUserAppBranchXML(const char* user, const char* section, const char* subsection, const char* branch,
                        int clearExisting, const char* text) {
  if (user == nullptr || section == nullptr || subsection == nullptr || branch == nullptr || text == nullptr) {
    return FR_INVALID_PARAMETER;
  }
  if (user[0] == '\0' || section[0] == '\0' || subsection[0] == '\0') return FR_INVALID_PARAMETER;
  SettingsPath elements;  // an empty branch: the subsection itself
  if (branch[0] != '\0') {
    elements = SplitSettingsPath(branch);
    if (elements.hasEmptyElement) return FR_INVALID_PARAMETER;
  }
  ChangeTarget target;
  int rc = PrepareChange(user, section, subsection, true, true, elements, &target);
  if (rc != FR_OK) return rc;

  // Parsed before the tree changes, so a text the users files could not hold
  // is refused with nothing changed.
  XMLNodeListPtr parsed(ParseXMLStringToNodeTree(text));
  if (!parsed) {
    ReloadUsers();
    return FR_XML_ERROR;
  }
  // The element goes under the subsection, or under the parent of the
  // branch's last node.
  const size_t parentDepth = elements.elements.empty() ? kSubsectionDepth
                                                       : kSubsectionDepth + elements.elements.size() - 1;
  if (parentDepth + SubtreeHeight(parsed.get()) > static_cast<size_t>(kMaxUserDataDepth)) {
    return FR_INVALID_PARAMETER;
  }
  if (SettingsCeilingInForce() != 0) {
    // What goes: the branch's last node (clearExisting), or every child of
    // the subsection (an empty branch). What comes: the branch's missing
    // nodes and levels, and the text's elements.
    size_t matched = 0;
    const XMLNode* last = target.subsection != nullptr && !elements.elements.empty()
                              ? WalkExisting(target.subsection, elements, &matched)
                              : nullptr;
    const bool whole = last != nullptr && matched == elements.elements.size();
    size_t removed = 0;
    if (clearExisting != 0) {
      if (elements.elements.empty()) {
        removed = ChildrenBytes(target.subsection);
      } else if (whole) {
        removed = SubtreeBytes(last);
      }
    }
    size_t added = NamesMadeBytes(section, subsection, true, target, elements, matched);
    // A last node the walk makes is the one the clear deletes.
    if (clearExisting != 0 && !whole && !elements.elements.empty()) added -= elements.elements.back().size();
    for (const XMLNode* element = parsed.get(); element != nullptr; element = element->nextSibling) {
      added += SubtreeBytes(element);
    }
    if (!WithinSettingsCeiling(user, removed, added)) return FR_NO_MEMORY;
  }

  if ((rc = MakeLevels(user, section, subsection, true, &target)) != FR_OK) return rc;
  XMLNode* parent = target.subsection;
  if (!elements.elements.empty()) {
    XMLNode* last = WalkCreating(target.subsection, elements);
    if (last == nullptr) {
      WriteLog(1, "Unable to create child node");
      return FR_NO_MEMORY;
    }
    parent = last->parent;
    if (clearExisting != 0) RemoveUsersTreeNode(last);
  } else if (clearExisting != 0) {
    RemoveUsersTreeNodesIf(target.subsection, [](const XMLNode*) { return true; });
  }
  AppendXMLNodeList(parent, parsed.release());
  RelinkUserData(target.section->parent);
  return SaveUserSettings(user);
}

int ParseXMLStringIntoNode(const char* text, XMLNode* parent) {
  // A null text parses as the empty one: no element, logged as a parse error.
  const char* source = text != nullptr ? text : "";
  return ParseTextIntoUsersTree(source, std::strlen(source), parent) == FR_OK ? FR_OK : FR_XML_ERROR;
}

// ---- The settings path buffer -------------------------------------------------------------

const char* ResetSettingsPath() {
  g_settingsPath.clear();
  return g_settingsPath.c_str();
}

const char* AppendSettingsPath(const char* name) {
  if (name == nullptr) return nullptr;
  const size_t length = std::strlen(name);
  if (g_settingsPath.size() + 1 + length + 1 > kSettingsPathBufferSize) return nullptr;
  g_settingsPath.push_back(kSettingsPathSeparator);
  g_settingsPath.append(name, length);
  return g_settingsPath.c_str();
}

const char* StripSettingsPath() {
  const size_t cut = g_settingsPath.rfind(kSettingsPathSeparator);
  g_settingsPath.resize(cut == std::string::npos ? 0 : cut);
  return g_settingsPath.c_str();
}
