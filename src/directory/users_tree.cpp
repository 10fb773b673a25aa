// The users tree: its process-wide root, parse cursor, skipped element name and
// read failure flag; the Expat handlers that build it; the lookups of a user's
// USER node; and the operations that add or delete a user together with its
// node. Directory layer: calls the XML toolkit, the user records and the log.
#include "directory/users_tree.h"

#include <expat.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_tree.h"
#include "foundation/xml/xml_guard.h"
#include "foundation/xml/xml_value_stack.h"

namespace {

XMLNode* g_root = nullptr;                 // USERS, owned
std::vector<XMLNode*> g_extraTop;          // top-level nodes parsed beside the root, owned
XMLNode* g_cursor = nullptr;               // where the next parsed element goes
std::optional<std::string> g_skippedName;  // element name the handlers pass over
bool g_readFailure = false;


// Sets the failure flag and stops the parse (the parser is the user data).
void FailParse(void* userData) {
  g_readFailure = true;
  if (userData != nullptr) XML_StopParser(static_cast<XML_Parser>(userData), XML_FALSE);
}

bool IsSkipped(const char* name) { return g_skippedName && name != nullptr && EqualsNoCase(name, *g_skippedName); }

// True when one of the node's USERNAME children has a text equal to `name`
// without regard to case.
bool NodeNamed(const XMLNode* userNode, std::string_view name) {
  for (const XMLNode* c = userNode->firstChild; c != nullptr; c = c->nextSibling) {
    if (c->value && EqualsNoCase(c->name, kUserNameNodeName) && EqualsNoCase(*c->value, name)) return true;
  }
  return false;
}

bool IsUserNode(const XMLNode* node) { return node != nullptr && EqualsNoCase(node->name, kUserNodeName); }

// Among the USER children of the root named `name`, the one whose child is
// `link` (compared by address only), else the first. Null when none.
XMLNode* FindNodeByNameAndLink(std::string_view name, const XMLNode* link) {
  if (g_root == nullptr || name.empty()) return nullptr;
  XMLNode* first = nullptr;
  for (XMLNode* node = g_root->firstChild; node != nullptr; node = node->nextSibling) {
    if (!IsUserNode(node) || !NodeNamed(node, name)) continue;
    if (link == nullptr) return node;
    if (first == nullptr) first = node;
    for (const XMLNode* c = node->firstChild; c != nullptr; c = c->nextSibling) {
      if (c == link) return node;
    }
  }
  return first;
}

// True when a record's link designates a child of the node (the record whose
// stored name is on the node: links never lead into another user's node).
bool NodeHeldByRecord(const XMLNode* userNode) {
  for (const XMLNode* c = userNode->firstChild; c != nullptr; c = c->nextSibling) {
    if (!c->value || !EqualsNoCase(c->name, kUserNameNodeName)) continue;
    const UserStruct* user = GetUserByIndex(FindUserIndexExact(c->value->c_str()));
    if (user != nullptr && user->USERDATA != nullptr && user->USERDATA->parent == userNode) return true;
  }
  return false;
}

// Clears the settings link of every record that designates a USERDATA child
// of `userNode`, which is about to go. Links are compared by address only.
// Such a record is one that AddUser made as a copy of the user whose node
// this is (default_user) and that has not been saved since: it gets a node
// of its own at its next save instead of a link into freed memory.
void ClearLinksInto(const XMLNode* userNode) {
  const int count = GetUserCount();
  for (const XMLNode* c = userNode->firstChild; c != nullptr; c = c->nextSibling) {
    if (!EqualsNoCase(c->name, kUserDataName)) continue;
    for (int i = 0; i < count; ++i) {
      UserStruct* user = GetUserByIndex(i);
      if (user->USERDATA == c) user->USERDATA = nullptr;
    }
  }
}

// Removes every USER child of the root named `name` that no record holds
// (a node left by a user deleted without it).
void RemoveUserNodesNamed(std::string_view name) {
  if (g_root == nullptr) return;
  RemoveChildNodesIf(g_root, [name](const XMLNode* node) {
    if (!IsUserNode(node) || !NodeNamed(node, name) || NodeHeldByRecord(node)) return false;
    WriteLog(0, "Removing the leftover XML node of user >%.*s<", static_cast<int>(name.size()), name.data());
    ClearLinksInto(node);
    return true;
  });
}

// A new child of `parent` named `name` with an optional text; null when it
// cannot be made (nothing left behind).
XMLNode* AddNamedChild(XMLNode* parent, const char* name, const char* value) {
  XMLNode* node = AddXMLChildNode(parent);
  if (node == nullptr) return nullptr;
  try {
    node->name = name;
    if (value != nullptr) node->value = std::string(value);
  } catch (const std::bad_alloc&) {
    DeleteXMLNode(node);
    return nullptr;
  }
  return node;
}

// The last child of `node` (the shortcut, repaired by walking when unset).
XMLNode* LastChildOf(XMLNode* node) {
  XMLNode* tail = node->lastChild ? node->lastChild : node->firstChild;
  if (tail == nullptr) return nullptr;
  while (tail->nextSibling != nullptr) tail = tail->nextSibling;
  return tail;
}

}  // namespace

// ---- The tree ----------------------------------------------------------------------

XMLNode* GetUsersTreeRoot() { return g_root; }

void SetUsersTreeRoot(XMLNode* root) {
  FreeUsersXMLTree();
  g_root = root;
}

XMLNode* GetUsersTreeCursor() { return g_cursor; }
void SetUsersTreeCursor(XMLNode* node) { g_cursor = node; }

int FreeUsersXMLTree() {
  // Every link designates a node of this tree: clear them before they dangle.
  const int count = GetUserCount();
  for (int i = 0; i < count; ++i) GetUserByIndex(i)->USERDATA = nullptr;
  FreeXMLNodeList(g_root);
  g_root = nullptr;
  for (XMLNode* node : g_extraTop) FreeXMLNodeList(node);
  g_extraTop.clear();
  g_cursor = nullptr;
  return FR_OK;
}

void RemoveUsersTreeChildren(const std::vector<XMLNode*>& nodes) {
  if (g_root == nullptr || nodes.empty()) return;
  std::unordered_set<const XMLNode*> gone;
  XMLNode* fresh = nullptr;
  try {
    gone.insert(nodes.begin(), nodes.end());
    fresh = AddXMLChildNode(nullptr);
    if (fresh == nullptr) throw std::bad_alloc();
    fresh->name = g_root->name;
    fresh->value = g_root->value;
    fresh->attributes = g_root->attributes;
  } catch (const std::bad_alloc&) {
    // One by one instead (each unlink walks the list).
    FreeXMLNodeList(fresh);
    for (XMLNode* node : nodes) {
      if (node != nullptr && node->parent == g_root) DeleteXMLNode(node);
    }
    return;
  }
  // The kept children move (always the first child: no walk), so every link
  // into them stays right; the root is replaced by its copy.
  while (XMLNode* child = g_root->firstChild) {
    UnlinkXMLNode(child);
    if (gone.count(child) != 0) {
      FreeXMLNodeList(child);
    } else {
      AppendXMLNodeList(fresh, child);
    }
  }
  FreeXMLNodeList(g_root);
  g_root = fresh;
  g_cursor = nullptr;
}

void RemoveChildNodesIf(XMLNode* parent, const std::function<bool(const XMLNode*)>& drop) {
  if (parent == nullptr) return;
  // `drop` is asked once per child; nothing moves when no child goes.
  std::vector<bool> goes;
  bool any = false;
  try {
    for (const XMLNode* c = parent->firstChild; c != nullptr; c = c->nextSibling) {
      goes.push_back(drop(c));
      any = any || goes.back();
    }
  } catch (const std::bad_alloc&) {
    // One at a time instead (each unlink walks the list).
    for (XMLNode* c = parent->firstChild; c != nullptr;) {
      XMLNode* next = c->nextSibling;
      if (drop(c)) DeleteXMLNode(c);
      c = next;
    }
    return;
  }
  if (!any) return;
  // Each child is taken off the front (no walk) and, when it stays, put back
  // at the end (the last-child shortcut): after one turn per child the kept
  // children are in their old order.
  for (const bool gone : goes) {
    XMLNode* child = parent->firstChild;
    UnlinkXMLNode(child);
    if (gone) {
      FreeXMLNodeList(child);
    } else {
      AppendXMLNodeList(parent, child);
    }
  }
}

// ---- Parsing -----------------------------------------------------------------------------

void SetUsersSkippedElementName(const char* name) {
  if (name == nullptr) {
    g_skippedName.reset();
  } else {
    g_skippedName = std::string(name);
  }
}

const char* GetUsersSkippedElementName() { return g_skippedName ? g_skippedName->c_str() : nullptr; }

void ClearUsersReadFailure() { g_readFailure = false; }
void SetUsersReadFailure() { g_readFailure = true; }
bool UsersReadFailed() { return g_readFailure; }

void UsersXMLStartElement(void* userData, const char* name, const char** attributes) {
  if (g_readFailure || IsSkipped(name)) return;
  if (PushXMLValue() != 0) {  // logged there (no memory, or nested too deeply)
    FailParse(userData);
    return;
  }
  XMLNode* node = AddXMLChildNode(g_cursor);
  if (node == nullptr) {
    PopXMLValue();
    FailParse(userData);
    return;
  }
  if (g_cursor == nullptr) {
    // A top-level element: the root of an empty tree, otherwise kept beside
    // it so that it is freed with the tree.
    if (g_root == nullptr) {
      g_root = node;
    } else {
      try {
        g_extraTop.push_back(node);
      } catch (const std::bad_alloc&) {
        FreeXMLNodeList(node);
        PopXMLValue();
        FailParse(userData);
        return;
      }
    }
  }
  g_cursor = node;
  try {
    node->name = name;
  } catch (const std::bad_alloc&) {
    FailParse(userData);
    return;
  }
  if (attributes != nullptr && attributes[0] != nullptr) {
    try {
      for (int i = 0; attributes[i] != nullptr && attributes[i + 1] != nullptr; i += 2) {
        node->attributes.push_back(XMLAttribute{attributes[i], attributes[i + 1]});
      }
    } catch (const std::bad_alloc&) {
      std::vector<XMLAttribute>().swap(node->attributes);
      WriteLog(1, "Unable to allocate space for attribute array");
      FailParse(userData);
    }
  }
}

void UsersXMLEndElement(void* /*userData*/, const char* name) {
  if (g_readFailure || g_cursor == nullptr || IsSkipped(name)) return;
  // The gathered text is moved, not copied, and loses its trailing line feeds.
  g_cursor->value = TakeXMLValue();
  g_cursor = g_cursor->parent;
  PopXMLValue();
}

void UsersXMLCharData(void* userData, const char* text, int length) {
  if (g_readFailure) return;
  if (AppendXMLValue(text, length) != 0) FailParse(userData);  // logged there
}

void InstallUsersTreeHandlers(XML_ParserStruct* parser) {
  if (parser == nullptr) return;
  XML_SetUserData(parser, parser);
  XML_SetElementHandler(parser, UsersXMLStartElement, UsersXMLEndElement);
  XML_SetCharacterDataHandler(parser, UsersXMLCharData);
  // Documents that declare their own entities are refused: a chain of them
  // would make the parser recurse once per link.
  RefuseXMLEntityDeclarations(parser);
}

int ParseTextIntoUsersTree(const char* text, size_t length, XMLNode* parent) {
  if (text == nullptr) {
    WriteLog(0, "XML error %s at line %d\n", "no text", 0);
    return FR_XML_ERROR;
  }
  XML_Parser parser = XML_ParserCreate("UTF-8");
  if (parser == nullptr) {
    WriteLog(1, "XML error %s at line %d\n", "out of memory", 0);
    return FR_XML_ERROR;
  }
  // What the tree looked like, so that a failed parse can be undone.
  const bool hadRoot = g_root != nullptr;
  XMLNode* tailBefore = parent != nullptr ? LastChildOf(parent) : nullptr;
  const size_t extraBefore = g_extraTop.size();

  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  ClearUsersReadFailure();
  g_cursor = parent;
  InstallUsersTreeHandlers(parser);

  bool ok = true;
  size_t done = 0;
  do {
    const size_t piece = length - done > static_cast<size_t>(INT_MAX / 2) ? static_cast<size_t>(INT_MAX / 2) : length - done;
    const bool last = done + piece == length;
    if (XML_Parse(parser, text + done, static_cast<int>(piece), last ? 1 : 0) != XML_STATUS_OK || g_readFailure) {
      ok = false;
      WriteLog(0, "XML error %s at line %d\n",
               g_readFailure ? "out of memory or nested too deeply" : XML_ErrorString(XML_GetErrorCode(parser)),
               static_cast<int>(XML_GetCurrentLineNumber(parser)));
      break;
    }
    done += piece;
  } while (done < length);
  XML_ParserFree(parser);
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  g_cursor = nullptr;
  if (ok) return FR_OK;

  // Undo: the nodes the parse appended under the parent, a root it made, and
  // top-level nodes it kept beside the root.
  if (parent != nullptr) {
    for (;;) {
      XMLNode* made = tailBefore != nullptr ? tailBefore->nextSibling : parent->firstChild;
      if (made == nullptr) break;
      DeleteXMLNode(made);
    }
  }
  while (g_extraTop.size() > extraBefore) {
    FreeXMLNodeList(g_extraTop.back());
    g_extraTop.pop_back();
  }
  if (!hadRoot && g_root != nullptr) {
    FreeXMLNodeList(g_root);
    g_root = nullptr;
  }
  return FR_XML_ERROR;
}

// ---- Lookups ---------------------------------------------------------------------------------

XMLNode* FindXMLChildNode(const XMLNode* node, const char* name) {
  if (node == nullptr || name == nullptr || name[0] == '\0') return nullptr;
  for (XMLNode* c = node->firstChild; c != nullptr; c = c->nextSibling) {
    if (!c->name.empty() && EqualsNoCase(c->name, name)) return c;
  }
  return nullptr;
}

int IsXMLUserADUser(const XMLNode* userNode) {
  if (userNode == nullptr) return 0;
  for (const XMLNode* c = userNode->firstChild; c != nullptr; c = c->nextSibling) {
    if (!c->value || !EqualsNoCase(c->name, kADUserNodeName)) continue;
    // Read as the conversion reads ADUSER (atoi's digits, held to the 32-bit
    // range), so that node and record agree on an over-long number too.
    const long long value = std::strtoll(c->value->c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
  }
  return 0;
}

const char* StripLocalDomain(const char* name) {
  if (name == nullptr) return nullptr;
  if (!IsLocalDomainUserName(name)) return name;
  const char* slash = strchr(name, '\\');
  return slash != nullptr ? slash + 1 : name;
}

XMLNode* FindXMLUserNode(const char* name) {
  if (name == nullptr || name[0] == '\0' || g_root == nullptr) return nullptr;
  const char* stripped = StripLocalDomain(name);
  const bool domainForm = stripped != name;
  for (XMLNode* node = g_root->firstChild; node != nullptr; node = node->nextSibling) {
    if (!IsUserNode(node)) continue;
    for (const XMLNode* c = node->firstChild; c != nullptr; c = c->nextSibling) {
      if (!c->value || !EqualsNoCase(c->name, kUserNameNodeName)) continue;
      if (EqualsNoCase(*c->value, name)) return node;
      if (domainForm && EqualsNoCase(*c->value, stripped) && IsXMLUserADUser(node) != 0) return node;
    }
  }
  return nullptr;
}

XMLNode* FindUserNodeOfRecord(const UserStruct* user, bool trustLink) {
  if (user == nullptr || !user->USERNAME || user->USERNAME->empty() || g_root == nullptr) return nullptr;
  if (trustLink && user->USERDATA != nullptr) {
    XMLNode* node = user->USERDATA->parent;
    if (node != nullptr && node->parent == g_root && IsUserNode(node) && NodeNamed(node, *user->USERNAME)) return node;
  }
  return FindNodeByNameAndLink(*user->USERNAME, user->USERDATA);
}

// ---- Records and nodes -------------------------------------------------------------------------

int MakeUserNodeForRecord(UserStruct* user) {
  if (user == nullptr || !user->USERNAME || user->USERNAME->empty()) return FR_INVALID_PARAMETER;
  bool madeRoot = false;
  if (g_root == nullptr) {
    g_root = AddNamedChild(nullptr, kUsersRootName, nullptr);
    if (g_root == nullptr) return FR_NO_MEMORY;
    madeRoot = true;
  }
  // default_user's settings are every new user's settings.
  const XMLNode* defaults = nullptr;
  const int defaultIndex = FindUserIndexExact(kDefaultUserName);
  UserStruct* defaultUser = defaultIndex >= 0 ? GetUserByIndex(defaultIndex) : nullptr;
  if (defaultUser != nullptr && defaultUser != user) {
    if (XMLNode* defaultNode = FindUserNodeOfRecord(defaultUser, true)) {
      defaults = (defaultUser->USERDATA != nullptr && defaultUser->USERDATA->parent == defaultNode)
                     ? defaultUser->USERDATA
                     : FindXMLChildNode(defaultNode, kUserDataName);
    }
  }

  XMLNode* node = AddNamedChild(g_root, kUserNodeName, nullptr);
  XMLNode* data = nullptr;
  if (node != nullptr && AddNamedChild(node, kUserNameNodeName, user->USERNAME->c_str()) != nullptr) {
    if (defaults != nullptr) {
      data = CopyXMLNodeTree(defaults);
      if (data != nullptr) {
        data->name = kUserDataName;
        AppendXMLNodeList(node, data);
      }
    } else {
      data = AddNamedChild(node, kUserDataName, nullptr);
    }
  }
  if (data == nullptr) {
    WriteLog(1, "Unable to create the XML node of user >%s<", user->USERNAME->c_str());
    DeleteXMLNode(node);
    if (madeRoot) {
      FreeXMLNodeList(g_root);
      g_root = nullptr;
    }
    return FR_NO_MEMORY;
  }
  user->USERDATA = data;
  return FR_OK;
}

bool IsUIDAllowedForClientUser(const char* name, UID uid) {
  if (!IsReservedUID(uid)) return true;
  static const struct {
    const char* name;
    UID uid;
  } kBuiltInAccounts[] = {{"administrator", kUIDAdministrator},
                          {"guest", kUIDGuest},
                          {kDefaultUserName, kUIDDefaultUser},
                          {"ZentakUser", kUIDZentakUser}};
  for (const auto& account : kBuiltInAccounts) {
    if (uid == account.uid) return name != nullptr && EqualsNoCase(name, account.name);
  }
  return false;
}

int AddUserFromClient(const char* name, UID uid, AddUserFailure* why) {
  if (why) *why = ADD_USER_OK;
  if (!IsValidUserName(name)) {
    WriteLog(0, "Cannot add user >%s< as this is not a valid user name", name ? name : "");
    if (why) *why = ADD_USER_NO_NAME;
    return -1;
  }
  if (!IsUIDAllowedForClientUser(name, uid)) {
    WriteLog(0, "Cannot add user >%s< with UID %08X as that UID belongs to a built-in object", name, uid);
    if (why) *why = ADD_USER_UID_IN_USE;
    return -1;
  }
  AddUserFailure reason = ADD_USER_OK;
  const int index = AddUser(name, uid, &reason);
  if (index < 0) {
    if (why) *why = reason;
    return -1;
  }
  UserStruct* user = GetUserByIndex(index);
  // A node left by a user of this name deleted without its node must not
  // hand its settings, rights or password history to the new user.
  RemoveUserNodesNamed(*user->USERNAME);
  if (MakeUserNodeForRecord(user) != FR_OK) {
    DeleteUser(name, true);
    if (why) *why = ADD_USER_NO_MEMORY;
    return -1;
  }
  return index;
}

int DeleteUserAndNode(const char* name, bool force) {
  const int index = IsValidUserName(name) ? FindUserIndex(name) : -1;
  if (index < 0) return DeleteUser(name, force);  // its codes and log lines
  const UserStruct* user = GetUserByIndex(index);
  const std::string stored = user->USERNAME ? *user->USERNAME : std::string();
  const XMLNode* link = user->USERDATA;  // compared by address only: it may dangle
  const int rc = DeleteUser(name, force);
  if (rc != FR_OK) return rc;
  XMLNode* node = FindNodeByNameAndLink(stored, link);
  if (node != nullptr && !NodeHeldByRecord(node)) {
    ClearLinksInto(node);
    DeleteXMLNode(node);
  }
  // No record has this name any more: no other node of it may stay either.
  RemoveUserNodesNamed(stored);
  return FR_OK;
}

void ResetUsersTree() {
  FreeUsersXMLTree();
  g_skippedName.reset();
  g_readFailure = false;
}
