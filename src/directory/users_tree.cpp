// The users tree: its process-wide root, parse cursor, skipped element name and
// read failure flag; the removal operations that clear records' links first;
// the Expat handlers that build it; the lookups of a user's USER node; the
// settings template; and the operations that add or delete a user together
// with its node. Directory layer: calls the XML toolkit, the user records,
// the names of the login section and password state, and the log.
#include "directory/users_tree.h"

#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "directory/passwords.h"
#include "directory/user_settings.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_tree.h"
#include "foundation/xml/xml_guard.h"
#include "foundation/xml/xml_value_stack.h"
#include "platform/random_bytes.h"

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

// ---- The USER nodes by name ----------------------------------------------------------
// Every USER child of the root is found by the texts of its USERNAME
// children: a table of (hash of the folded text, node) pairs, one per name a
// node bears. It is kept where those change: a USERNAME element parsed into
// a USER child of the root (the loads, and text parsed into a node),
// NoteUserNodeNames for a node or names put into the root whole (a new
// user's node, a client's), and the removal operations, which take every
// node they free out of it first (ForgetNodeNames). A pair is a hint: a
// lookup checks that the node still bears the name, so two names of one
// hash cost a comparison, never a wrong answer. Without memory for the table
// it is given up and the lookups walk the root's children, as they would
// without it, until the tree is freed.

// The 64-bit hash of the text folded as CompareNoCase folds it, with a seed
// drawn once per process so that the table's probes cannot be aimed at.
uint64_t NameHash(std::string_view name) {
  static const uint64_t seed = [] {
    uint64_t value = 0;
    if (GetRandomBytes(&value, sizeof value) != 0) value = 0x9E3779B97F4A7C15ull;
    return value;
  }();
  uint64_t h = 0xCBF29CE484222325ull ^ seed;
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    h ^= b >= 'A' && b <= 'Z' ? static_cast<unsigned char>(b - 'A' + 'a') : b;
    h *= 0x100000001B3ull;
  }
  h ^= h >> 32;  // the table takes the low bits
  return h;
}

// Open addressing with linear probes; an empty slot has no node. A removal
// moves the pairs after it back (no tombstones), so a probe ends at the
// first empty slot.
class UserNodeNameTable {
 public:
  // Adds the pair unless it is there. Throws std::bad_alloc when the table
  // must grow and cannot (the table is then as it was).
  void Add(uint64_t hash, XMLNode* node) {
    if ((used_ + 1) * 8 > slots_.size() * 7) Grow(slots_.empty() ? 64 : slots_.size() * 2);
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    for (; slots_[i].node != nullptr; i = (i + 1) & mask) {
      if (slots_[i].node == node && slots_[i].hash == hash) return;
    }
    slots_[i] = Slot{hash, node};
    ++used_;
  }
  void Remove(uint64_t hash, const XMLNode* node) {
    if (slots_.empty()) return;
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    for (; slots_[i].node != nullptr; i = (i + 1) & mask) {
      if (slots_[i].node == node && slots_[i].hash == hash) break;
    }
    if (slots_[i].node == nullptr) return;
    // Back-shift: each later pair of the run that may sit in the hole moves in.
    for (size_t j = (i + 1) & mask; slots_[j].node != nullptr; j = (j + 1) & mask) {
      const size_t home = static_cast<size_t>(slots_[j].hash) & mask;
      if (((j - home) & mask) >= ((j - i) & mask)) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = Slot{};
    --used_;
  }
  // The nodes paired with `hash`, appended to `out`.
  void Find(uint64_t hash, std::vector<XMLNode*>& out) const {
    if (slots_.empty()) return;
    const size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask; slots_[i].node != nullptr; i = (i + 1) & mask) {
      if (slots_[i].hash == hash) out.push_back(slots_[i].node);
    }
  }
  // Empties the table; its room stays for the next tree (a load reserves
  // before it sets the new root) unless `release`.
  void Clear(bool release = false) {
    if (release) {
      std::vector<Slot>().swap(slots_);
    } else if (used_ != 0) {
      std::fill(slots_.begin(), slots_.end(), Slot{});
    }
    used_ = 0;
  }
  // Room for `count` pairs in all, so that a load does not grow the table
  // step by step. Throws std::bad_alloc as Add.
  void Reserve(size_t count) {
    size_t size = slots_.empty() ? 64 : slots_.size();
    while (count * 8 > size * 7) size *= 2;
    if (size > slots_.size()) Grow(size);
  }
  // Calls f(hash, node) for every pair (for the check of the tests).
  template <class F>
  void ForEach(F&& f) const {
    for (const Slot& slot : slots_) {
      if (slot.node != nullptr) f(slot.hash, slot.node);
    }
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    XMLNode* node = nullptr;
  };
  void Grow(size_t size) {
    std::vector<Slot> bigger(size);
    const size_t mask = bigger.size() - 1;
    for (const Slot& slot : slots_) {
      if (slot.node == nullptr) continue;
      size_t i = static_cast<size_t>(slot.hash) & mask;
      while (bigger[i].node != nullptr) i = (i + 1) & mask;
      bigger[i] = slot;
    }
    slots_.swap(bigger);
  }
  std::vector<Slot> slots_;  // a power of two in size, at most 7/8 used
  size_t used_ = 0;
};

UserNodeNameTable g_names;
bool g_namesComplete = true;  // false: the table was given up (no memory); the lookups walk

bool IsUserNameChild(const XMLNode* c) { return c->value && EqualsNoCase(c->name, kUserNameNodeName); }

// True when `node` is a USER child of the root, the nodes the table holds.
bool IsRootUserNode(const XMLNode* node) {
  return g_root != nullptr && node != nullptr && node->parent == g_root && IsUserNode(node);
}

void AddNodeName(const XMLNode* nameChild, XMLNode* userNode) {
  if (!g_namesComplete) return;
  try {
    g_names.Add(NameHash(*nameChild->value), userNode);
  } catch (const std::bad_alloc&) {
    g_names.Clear(true);
    g_namesComplete = false;
  }
}

// Takes what the table holds of `top` and its subtree out of it, before the
// removal frees them: the node's names when it is a USER child of the root,
// the one name when it is a USERNAME child of one.
void ForgetNodeNames(const XMLNode* top) {
  if (!g_namesComplete || top == nullptr) return;
  if (top == g_root) {
    g_names.Clear();
  } else if (IsRootUserNode(top)) {
    for (const XMLNode* c = top->firstChild; c != nullptr; c = c->nextSibling) {
      if (IsUserNameChild(c)) g_names.Remove(NameHash(*c->value), top);
    }
  } else if (IsUserNameChild(top) && IsRootUserNode(top->parent)) {
    g_names.Remove(NameHash(*top->value), top->parent);
  }
}

}  // namespace

void ReserveUserNodeNames(size_t count) {
  if (!g_namesComplete) return;
  try {
    g_names.Reserve(count);
  } catch (const std::bad_alloc&) {
    // It grows as the names come, or is given up then.
  }
}

namespace {

// The tree is going whole: the table starts afresh (and is no longer given up).
void ForgetAllNodeNames() {
  g_names.Clear();
  g_namesComplete = true;
}

// The USER children of the root that bear the name (a USERNAME text equal to
// it without regard to case), each once, in no set order. False when they
// are not known so (the table given up, or no memory for the answer): the
// caller then walks the root's children.
bool UserNodesNamed(std::string_view name, std::vector<XMLNode*>& out) {
  out.clear();
  if (g_root == nullptr || name.empty()) return true;
  if (!g_namesComplete) return false;
  try {
    g_names.Find(NameHash(name), out);
  } catch (const std::bad_alloc&) {
    return false;
  }
  size_t kept = 0;
  for (XMLNode* node : out) {
    if (IsRootUserNode(node) && NodeNamed(node, name)) out[kept++] = node;
  }
  out.resize(kept);
  return true;
}

// The one list the lookups below fill (server thread only): no allocation
// once it has room for the few nodes a name has.
std::vector<XMLNode*> g_named;

// True when a removal of `top` with its subtree would take the node `link`
// along. A link designates a USERDATA node, the child of a USER node (a child
// of the root, or of a detached holder of client text), so only the top, its
// children and its grandchildren can be one.
bool LinkUnder(const XMLNode* link, const XMLNode* top) {
  for (int up = 0; up < 3 && link != nullptr; ++up, link = link->parent) {
    if (link == top) return true;
  }
  return false;
}

// True when `top`, a child or a grandchild is a USERDATA node: only then can
// a record link into what a removal of `top` frees.
bool MayHoldLinks(const XMLNode* top) {
  if (EqualsNoCase(top->name, kUserDataName)) return true;
  for (const XMLNode* c = top->firstChild; c != nullptr; c = c->nextSibling) {
    if (EqualsNoCase(c->name, kUserDataName)) return true;
    for (const XMLNode* g = c->firstChild; g != nullptr; g = g->nextSibling) {
      if (EqualsNoCase(g->name, kUserDataName)) return true;
    }
  }
  return false;
}

// The node whose names name every record that can link into what a removal
// of `top` (which MayHoldLinks) frees; null when any record can. A link
// designates the USERDATA child of its record's own node, which bears the
// record's name (every link is set so), so the holders are the records named
// by the node of the top's USERDATA: the top's parent when the top is a
// USERDATA node, else the top itself when a child is one. Any record may
// link below a top whose grandchild is one (the root, a holder of client
// text), and below default_user's node, whose link plain AddUser records copy.
const XMLNode* LinkOwnersNode(const XMLNode* top) {
  const XMLNode* owner = EqualsNoCase(top->name, kUserDataName) ? top->parent : top;
  if (owner == nullptr) return nullptr;
  bool childData = owner != top;
  for (const XMLNode* c = owner->firstChild; c != nullptr; c = c->nextSibling) {
    if (IsUserNameChild(c) && EqualsNoCase(*c->value, kDefaultUserName)) return nullptr;
    if (owner == top && EqualsNoCase(c->name, kUserDataName)) childData = true;
  }
  return childData ? owner : nullptr;
}

// Clears every record's settings link that a removal of the nodes `tops`
// (each with its subtree) would leave dangling. A top with a node of the
// link's owners (LinkOwnersNode) costs a lookup of each of its names; the
// others are looked for in one pass over the records for all of them, each
// link against a set of those tops.
void ClearLinksInto(XMLNode* const* tops, size_t topCount) {
  std::vector<const XMLNode*> holding;
  std::unordered_set<const XMLNode*> set;
  const int count = GetUserCount();
  try {
    for (size_t t = 0; t < topCount; ++t) {
      const XMLNode* top = tops[t];
      if (top == nullptr || !MayHoldLinks(top)) continue;
      if (const XMLNode* owners = LinkOwnersNode(top)) {
        for (const XMLNode* c = owners->firstChild; c != nullptr; c = c->nextSibling) {
          if (!IsUserNameChild(c)) continue;
          UserStruct* user = GetUserByIndex(FindUserIndexExact(c->value->c_str()));
          if (user != nullptr && LinkUnder(user->USERDATA, top)) user->USERDATA = nullptr;
        }
      } else {
        holding.push_back(top);
      }
    }
    if (holding.empty()) return;
    set.insert(holding.begin(), holding.end());
  } catch (const std::bad_alloc&) {
    // No memory for the set: every link against every top instead.
    for (int i = 0; i < count; ++i) {
      UserStruct* user = GetUserByIndex(i);
      for (size_t t = 0; t < topCount; ++t) {
        if (tops[t] != nullptr && LinkUnder(user->USERDATA, tops[t])) user->USERDATA = nullptr;
      }
    }
    return;
  }
  for (int i = 0; i < count; ++i) {
    UserStruct* user = GetUserByIndex(i);
    const XMLNode* n = user->USERDATA;
    for (int up = 0; up < 3 && n != nullptr; ++up, n = n->parent) {
      if (set.count(n) != 0) {
        user->USERDATA = nullptr;
        break;
      }
    }
  }
}
void ClearLinksInto(const std::vector<XMLNode*>& tops) { ClearLinksInto(tops.data(), tops.size()); }
void ClearLinksInto(XMLNode* top) { ClearLinksInto(&top, 1); }

// True when a record other than `except` has `userNode` as its USER node.
bool HeldByRecordOtherThan(const XMLNode* userNode, const UserStruct* except) {
  for (const XMLNode* c = userNode->firstChild; c != nullptr; c = c->nextSibling) {
    if (!IsUserNameChild(c)) continue;
    const UserStruct* user = GetUserByIndex(FindUserIndexExact(c->value->c_str()));
    if (user != nullptr && user != except && UserNodeOfRecord(user) == userNode) return true;
  }
  return false;
}

// Removes every USER child of the root named `name` that no record holds,
// `except` not counted (a new user that has no node yet): a node left by a
// user deleted without it. Found through the table of names; walks the
// root's children only when the table was given up.
void RemoveUserNodesNamed(std::string_view name, const UserStruct* except) {
  if (g_root == nullptr) return;
  auto leftover = [name, except](const XMLNode* node) {
    if (HeldByRecordOtherThan(node, except)) return false;
    WriteLog(0, "Removing the leftover XML node of user >%.*s<", static_cast<int>(name.size()), name.data());
    return true;
  };
  std::vector<XMLNode*> named;
  bool known = false;
  try {
    known = UserNodesNamed(name, named);
    if (known) {
      // Decided for all before any goes (the holders' lookups do not see
      // the list), then removed.
      named.erase(std::remove_if(named.begin(), named.end(), [&](const XMLNode* node) { return !leftover(node); }),
                  named.end());
    }
  } catch (const std::bad_alloc&) {
    known = false;
  }
  if (!known) {
    RemoveUsersTreeNodesIf(g_root, [&](const XMLNode* node) {
      return IsUserNode(node) && NodeNamed(node, name) && leftover(node);
    });
    return;
  }
  for (XMLNode* node : named) RemoveUsersTreeNode(node);
}

// Removes from a copy of default_user's settings what belongs to
// default_user alone: the date of its password and its password history
// (Live\Torvane\Passwords\Date and ...\Old, every node of those names).
void StripPasswordState(XMLNode* data) {
  for (XMLNode* live = data->firstChild; live != nullptr; live = live->nextSibling) {
    if (!EqualsNoCase(live->name, kLoginSectionName)) continue;
    for (XMLNode* sub = live->firstChild; sub != nullptr; sub = sub->nextSibling) {
      if (!EqualsNoCase(sub->name, kLoginSubsectionName)) continue;
      for (XMLNode* pw = sub->firstChild; pw != nullptr; pw = pw->nextSibling) {
        if (!EqualsNoCase(pw->name, kPasswordsNodeName)) continue;
        RemoveUsersTreeNodesIf(pw, [](const XMLNode* c) {
          return EqualsNoCase(c->name, kPasswordDateNodeName) || EqualsNoCase(c->name, kPasswordHistoryNodeName);
        });
      }
    }
  }
}

}  // namespace

// ---- The tree ----------------------------------------------------------------------

XMLNode* GetUsersTreeRoot() { return g_root; }

void NoteUserNodeNames(XMLNode* node) {
  if (!IsRootUserNode(node)) return;
  for (const XMLNode* c = node->firstChild; c != nullptr; c = c->nextSibling) {
    if (IsUserNameChild(c)) AddNodeName(c, node);
  }
}

void SetUsersTreeRoot(XMLNode* root) {
  FreeUsersXMLTree();
  g_root = root;
  if (root == nullptr) return;
  for (XMLNode* child = root->firstChild; child != nullptr; child = child->nextSibling) NoteUserNodeNames(child);
}

XMLNode* GetUsersTreeCursor() { return g_cursor; }
void SetUsersTreeCursor(XMLNode* node) { g_cursor = node; }

int FreeUsersXMLTree() {
  // Every link designates a node of this tree: clear them before they dangle.
  const int count = GetUserCount();
  for (int i = 0; i < count; ++i) GetUserByIndex(i)->USERDATA = nullptr;
  ForgetAllNodeNames();
  FreeXMLNodeList(g_root);
  g_root = nullptr;
  for (XMLNode* node : g_extraTop) FreeXMLNodeList(node);
  g_extraTop.clear();
  g_cursor = nullptr;
  return FR_OK;
}

void RemoveUsersTreeNode(XMLNode* node) {
  if (node == nullptr) return;
  ClearLinksInto(node);
  ForgetNodeNames(node);
  DeleteXMLNode(node);
}

void RemoveUsersTreeChildren(const std::vector<XMLNode*>& nodes) {
  if (g_root == nullptr || nodes.empty()) return;
  ClearLinksInto(nodes);
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
      if (node != nullptr && node->parent == g_root) {
        ForgetNodeNames(node);
        DeleteXMLNode(node);
      }
    }
    return;
  }
  // The kept children move (always the first child: no walk), so every link
  // into them stays right; the root is replaced by its copy.
  while (XMLNode* child = g_root->firstChild) {
    const bool goes = gone.count(child) != 0;
    if (goes) ForgetNodeNames(child);
    UnlinkXMLNode(child);
    if (goes) {
      FreeXMLNodeList(child);
    } else {
      AppendXMLNodeList(fresh, child);
    }
  }
  FreeXMLNodeList(g_root);
  g_root = fresh;
  g_cursor = nullptr;
}

void RemoveUsersTreeNodesIf(XMLNode* parent, const std::function<bool(const XMLNode*)>& drop) {
  if (parent == nullptr) return;
  // `drop` is asked once per child; nothing moves when no child goes. A
  // node of a user has a few children: their marks stay on the stack, and
  // only a longer list (the root's) takes heap storage for them.
  constexpr size_t kOnStack = 64;
  bool goesOnStack[kOnStack];
  XMLNode* goingOnStack[kOnStack];
  size_t children = 0;
  for (const XMLNode* c = parent->firstChild; c != nullptr && children <= kOnStack; c = c->nextSibling) ++children;
  std::vector<bool> goesOnHeap;
  std::vector<XMLNode*> goingOnHeap;
  size_t goesCount = 0, goingCount = 0;
  try {
    for (XMLNode* c = parent->firstChild; c != nullptr; c = c->nextSibling) {
      const bool gone = drop(c);
      if (children <= kOnStack) {
        goesOnStack[goesCount] = gone;
        if (gone) goingOnStack[goingCount] = c;
      } else {
        goesOnHeap.push_back(gone);
        if (gone) goingOnHeap.push_back(c);
      }
      ++goesCount;
      if (gone) ++goingCount;
    }
  } catch (const std::bad_alloc&) {
    // One at a time instead (each unlink walks the list).
    for (XMLNode* c = parent->firstChild; c != nullptr;) {
      XMLNode* next = c->nextSibling;
      if (drop(c)) RemoveUsersTreeNode(c);
      c = next;
    }
    return;
  }
  if (goingCount == 0) return;
  const bool onStack = children <= kOnStack;
  ClearLinksInto(onStack ? goingOnStack : goingOnHeap.data(), goingCount);
  // Each child is taken off the front (no walk) and, when it stays, put back
  // at the end (the last-child shortcut): after one turn per child the kept
  // children are in their old order.
  for (size_t k = 0; k < goesCount; ++k) {
    XMLNode* child = parent->firstChild;
    const bool goes = onStack ? goesOnStack[k] : static_cast<bool>(goesOnHeap[k]);
    if (goes) ForgetNodeNames(child);
    UnlinkXMLNode(child);
    if (goes) {
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

bool UsersTreeStartElement(const char* name, const char** attributes) {
  if (g_readFailure || IsSkipped(name)) return true;
  if (PushXMLValue() != 0) {  // logged there (no memory, or nested too deeply)
    g_readFailure = true;
    return false;
  }
  XMLNode* node = AddXMLChildNode(g_cursor);
  if (node == nullptr) {
    PopXMLValue();
    g_readFailure = true;
    return false;
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
        g_readFailure = true;
        return false;
      }
    }
  }
  g_cursor = node;
  try {
    node->name = name;
  } catch (const std::bad_alloc&) {
    g_readFailure = true;
    return false;
  }
  if (attributes != nullptr && attributes[0] != nullptr) {
    try {
      for (int i = 0; attributes[i] != nullptr && attributes[i + 1] != nullptr; i += 2) {
        node->attributes.push_back(XMLAttribute{attributes[i], attributes[i + 1]});
      }
    } catch (const std::bad_alloc&) {
      node->attributes.clear();
      WriteLog(1, "Unable to allocate space for attribute array");
      g_readFailure = true;
      return false;
    }
  }
  return true;
}

void UsersTreeEndElement(const char* name) {
  if (g_readFailure || g_cursor == nullptr || IsSkipped(name)) return;
  // The gathered text is moved, not copied, and loses its trailing line feeds.
  g_cursor->value = TakeXMLValue();
  // A USERNAME child of a USER child of the root is named in the table (the
  // links are compared first: most elements are deeper).
  if (XMLNode* up = g_cursor->parent; up != nullptr && g_root != nullptr && up->parent == g_root &&
                                      IsUserNameChild(g_cursor) && IsUserNode(up)) {
    AddNodeName(g_cursor, up);
  }
  g_cursor = g_cursor->parent;
  PopXMLValue();
}

bool UsersTreeCharData(const char* text, int length) {
  if (g_readFailure) return true;
  if (AppendXMLValue(text, length) == 0) return true;
  g_readFailure = true;  // logged there
  return false;
}

void UsersXMLStartElement(void* userData, const char* name, const char** attributes) {
  if (!UsersTreeStartElement(name, attributes)) FailParse(userData);
}

void UsersXMLEndElement(void* /*userData*/, const char* name) { UsersTreeEndElement(name); }

void UsersXMLCharData(void* userData, const char* text, int length) {
  if (!UsersTreeCharData(text, length)) FailParse(userData);
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
  XMLNode* tailBefore = LastXMLChild(parent);
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
      RemoveUsersTreeNode(made);
    }
  }
  while (g_extraTop.size() > extraBefore) {
    ClearLinksInto(g_extraTop.back());
    FreeXMLNodeList(g_extraTop.back());
    g_extraTop.pop_back();
  }
  if (!hadRoot && g_root != nullptr) {
    ClearLinksInto(g_root);
    ForgetAllNodeNames();
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

XMLNode* LinkedUserNodeOfRecord(const UserStruct* user) {
  if (user == nullptr || !user->USERNAME || user->USERNAME->empty() || g_root == nullptr) return nullptr;
  // The link leads there at once when it is the record's own.
  if (user->USERDATA != nullptr) {
    XMLNode* node = user->USERDATA->parent;
    if (node != nullptr && node->parent == g_root && IsUserNode(node) && NodeNamed(node, *user->USERNAME)) return node;
  }
  return nullptr;
}

XMLNode* UserNodeOfRecord(const UserStruct* user, const UserNodeIndex* index) {
  if (user == nullptr || !user->USERNAME || user->USERNAME->empty() || g_root == nullptr) return nullptr;
  if (XMLNode* node = LinkedUserNodeOfRecord(user)) return node;
  if (index != nullptr) {
    auto it = index->byName.find(FoldNoCase(*user->USERNAME));
    return it != index->byName.end() ? it->second : nullptr;
  }
  // Through the table of names: the node when one bears the name; of two or
  // more (a node left over beside the user's), the first in the root's order.
  if (UserNodesNamed(*user->USERNAME, g_named) && g_named.size() <= 1) {
    return g_named.empty() ? nullptr : g_named.front();
  }
  for (XMLNode* node = g_root->firstChild; node != nullptr; node = node->nextSibling) {
    if (IsUserNode(node) && NodeNamed(node, *user->USERNAME)) return node;
  }
  return nullptr;
}

int BuildUserNodeIndex(UserNodeIndex& index) {
  index.byName.clear();
  if (g_root == nullptr) return FR_OK;
  try {
    for (XMLNode* n = g_root->firstChild; n != nullptr; n = n->nextSibling) {
      if (!IsUserNode(n)) continue;
      for (const XMLNode* c = n->firstChild; c != nullptr; c = c->nextSibling) {
        if (c->value && EqualsNoCase(c->name, kUserNameNodeName)) index.byName.emplace(FoldNoCase(*c->value), n);
      }
    }
  } catch (const std::bad_alloc&) {
    index.byName.clear();
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

UserStruct* RecordOfUserNode(const XMLNode* userNode) {
  if (userNode == nullptr) return nullptr;
  for (const XMLNode* c = userNode->firstChild; c != nullptr; c = c->nextSibling) {
    if (!c->value || !EqualsNoCase(c->name, kUserNameNodeName)) continue;
    UserStruct* user = GetUserByIndex(FindUserIndexExact(c->value->c_str()));
    if (user != nullptr && UserNodeOfRecord(user) == userNode) return user;
  }
  return nullptr;
}

XMLNode* AppendNamedUsersChild(XMLNode* parent, std::string_view name, const char* value) {
  // Named before it is linked: a nameless node in the tree would make every
  // later save of its user fail.
  XMLNodeListPtr node(AddXMLChildNode(nullptr));
  if (!node) return nullptr;
  try {
    node->name.assign(name);
    if (value != nullptr) node->value = std::string(value);
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate the name of a new XML node");
    return nullptr;
  }
  if (parent != nullptr) AppendXMLNodeList(parent, node.get());
  return node.release();
}

XMLNode* CopyUserDataTemplate(const XMLNode* defaults) {
  if (defaults == nullptr) return AppendNamedUsersChild(nullptr, kUserDataName, nullptr);
  XMLNode* data = CopyXMLNodeTree(defaults);
  if (data == nullptr) return nullptr;
  StripPasswordState(data);
  return data;
}

// ---- Records and nodes -------------------------------------------------------------------------

int MakeUserNodeForRecord(UserStruct* user) {
  if (user == nullptr || !user->USERNAME || user->USERNAME->empty()) return FR_INVALID_PARAMETER;
  bool madeRoot = false;
  if (g_root == nullptr) {
    g_root = AppendNamedUsersChild(nullptr, kUsersRootName, nullptr);
    if (g_root == nullptr) return FR_NO_MEMORY;
    madeRoot = true;
  }
  // default_user's settings are every new user's template.
  const XMLNode* defaults = nullptr;
  const UserStruct* defaultUser = GetUserByIndex(FindUserIndexExact(kDefaultUserName));
  if (defaultUser != nullptr && defaultUser != user) {
    defaults = FindXMLChildNode(UserNodeOfRecord(defaultUser), kUserDataName);
  }
  XMLNodeListPtr node(AppendNamedUsersChild(nullptr, kUserNodeName, nullptr));
  XMLNode* data = nullptr;
  if (node && AppendNamedUsersChild(node.get(), kUserNameNodeName, user->USERNAME->c_str()) != nullptr) {
    data = CopyUserDataTemplate(defaults);
    if (data != nullptr) {
      try {
        data->name = kUserDataName;
      } catch (const std::bad_alloc&) {
        FreeXMLNodeList(data);
        data = nullptr;
      }
    }
    if (data != nullptr) AppendXMLNodeList(node.get(), data);
  }
  if (data == nullptr) {
    WriteLog(1, "Unable to create the XML node of user >%s<", user->USERNAME->c_str());
    if (madeRoot) {
      FreeXMLNodeList(g_root);
      g_root = nullptr;
    }
    return FR_NO_MEMORY;
  }
  XMLNode* made = node.release();
  AppendXMLNodeList(g_root, made);
  NoteUserNodeNames(made);
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
  RemoveUserNodesNamed(*user->USERNAME, user);
  if (MakeUserNodeForRecord(user) != FR_OK) {
    DeleteUser(name, true);
    if (why) *why = ADD_USER_NO_MEMORY;
    return -1;
  }
  return index;
}

void RemoveLeftoverUserNodes(const char* name) {
  if (name != nullptr && name[0] != '\0') RemoveUserNodesNamed(name, nullptr);
}

int DeleteUserAndNode(const char* name, bool force) {
  const int index = IsValidUserName(name) ? FindUserIndex(name) : -1;
  if (index < 0) return DeleteUser(name, force);  // its codes and log lines
  const UserStruct* user = GetUserByIndex(index);
  const std::string stored = user->USERNAME ? *user->USERNAME : std::string();
  XMLNode* node = UserNodeOfRecord(user);
  const int rc = DeleteUser(name, force);
  if (rc != FR_OK) return rc;
  RemoveUsersTreeNode(node);
  // No record has this name any more: no other node of it may stay either.
  RemoveUserNodesNamed(stored, nullptr);
  return FR_OK;
}

size_t CountUserNodeNameFaults() {
  if (!g_namesComplete) return 0;  // given up: the lookups walk
  // The pairs the tree calls for, against the pairs the table holds; the
  // table's nodes are compared as addresses, never followed (a pair left
  // behind may name a freed node).
  auto key = [](uint64_t hash, const XMLNode* node) {
    return hash ^ (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(node)) * 0x9E3779B97F4A7C15ull);
  };
  std::unordered_set<uint64_t> wanted;
  for (XMLNode* node = g_root != nullptr ? g_root->firstChild : nullptr; node != nullptr; node = node->nextSibling) {
    if (!IsUserNode(node)) continue;
    for (const XMLNode* c = node->firstChild; c != nullptr; c = c->nextSibling) {
      if (IsUserNameChild(c)) wanted.insert(key(NameHash(*c->value), node));
    }
  }
  size_t stale = 0, matched = 0;
  g_names.ForEach([&](uint64_t hash, const XMLNode* node) {
    if (wanted.count(key(hash, node)) != 0) {
      ++matched;
    } else {
      ++stale;  // a pair the tree does not call for
    }
  });
  return stale + (wanted.size() - matched);  // and the pairs missing
}

void ResetUsersTree() {
  FreeUsersXMLTree();
  g_names.Clear(true);
  g_skippedName.reset();
  g_readFailure = false;
}
