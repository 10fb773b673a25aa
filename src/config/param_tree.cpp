// Parameter trees: node records, their links by UID through the node
// registry, creation, lookup by path, deletion, values and their text forms,
// the plain subtree XML text and the tree diagnostics.
// Configuration layer: calls the node registry and UID allocation, the XML
// escaping, the utilities and the log; PrintTag for printing.
#include "config/param_tree.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "config/param_tree_walk.h"
#include "config/print_tag.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/util.h"
#include "foundation/util/byte_order.h"
#include "foundation/xml/xml_escape.h"
#include "foundation/xml/xml_value_stack.h"

namespace {

// Every node record made and not yet freed, so that a record is only ever
// deleted by the module that made it and tests can free what is left.
// The records this module made (ParamNodeOwnership), for the test aids.
ParamTreeNode* g_ownedHead = nullptr;
size_t g_ownedCount = 0;

void MarkOwned(ParamTreeNode* node) {
  node->ownership.owned = true;
  node->ownership.prev = nullptr;
  node->ownership.next = g_ownedHead;
  if (g_ownedHead != nullptr) g_ownedHead->ownership.prev = node;
  g_ownedHead = node;
  ++g_ownedCount;
}

// Deletes a record this module made.
void DeleteOwned(ParamTreeNode* node) {
  ParamNodeOwnership& own = node->ownership;
  if (own.prev != nullptr) {
    own.prev->ownership.next = own.next;
  } else {
    g_ownedHead = own.next;
  }
  if (own.next != nullptr) own.next->ownership.prev = own.prev;
  --g_ownedCount;
  delete node;
}

constexpr char kPathSeparator = '\\';

// The settings file's root and section elements take two of the readers' levels.
static_assert(kMaxParamPathDepth + 2 == kXMLMaxDepth, "a node created on request must read back");

// The number of elements an array value of `node` must hold.
size_t NeededElements(const ParamTreeNode& node) {
  return node.count < 0 ? 1 : static_cast<size_t>(node.count);
}

// The name as a view ("" for a nameless node).
std::string_view NameOf(const ParamTreeNode& node) {
  return node.name ? std::string_view(*node.name) : std::string_view();
}

// The first text of a STRING node that has a value, else null.
const std::string* StringValueOf(const ParamTreeNode& node) {
  if (node.type != PARAM_TYPE_STRING || !ParamNodeHasValue(&node)) return nullptr;
  return &node.data->strings.front();
}

// Walks one chain from `node` for the first node named `name`.
ParamTreeNode* FindInChain(ParamTreeNode* node, std::string_view name) {
  size_t limit = GetNodeQACount() + 1;  // more steps than nodes: a cycle
  for (size_t steps = 0; node != nullptr && steps <= limit; ++steps) {
    if (node->name && EqualsNoCase(*node->name, name)) return node;
    if (node->sibling == 0) return nullptr;
    node = GetParamTreeNodeByUID(node->sibling);
  }
  return nullptr;
}

// Releases a record: deleted when this module made it, else cleared (the
// cleared record keeps its ownership mark, so it can still be deleted later).
void ReleaseRecord(ParamTreeNode* node, bool freeRecord) {
  if (freeRecord && node->ownership.owned) {
    DeleteOwned(node);
    return;
  }
  *node = ParamTreeNode{};
}

// Removes the registry entry of the node when it is the node's own entry.
void Unregister(ParamTreeNode* node) {
  UID uid = node->header.uid;
  if (uid != 0 && GetNodeByUID(uid) == &node->header) RemoveNodeFromQAArray(uid);
}

// Removes the registry entries of many nodes (each only where it is the
// node's own entry) in one pass.
void UnregisterAll(const std::vector<ParamTreeNode*>& nodes) {
  std::vector<const NodeHeader*> headers;
  headers.reserve(nodes.size());
  for (const ParamTreeNode* n : nodes) headers.push_back(&n->header);
  RemoveNodesFromQAArray(headers);
}

}  // namespace

// ---- Names and paths --------------------------------------------------------------

bool IsValidParamNodeName(std::string_view name) {
  if (name.empty() || name.size() > kMaxParamNodeNameLength) return false;
  auto isAlpha = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  unsigned char first = static_cast<unsigned char>(name[0]);
  if (!isAlpha(first) && first != '_') return false;
  for (size_t i = 1; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '_' && c != '-') return false;
  }
  return true;
}

bool IsValidParamPath(const char* path) {
  if (path == nullptr || *path == '\0') return false;
  std::string_view rest(path);
  for (size_t elements = 1;; ++elements) {
    if (elements > kMaxParamPathDepth) return false;
    size_t cut = rest.find(kPathSeparator);
    if (!IsValidParamNodeName(rest.substr(0, cut))) return false;
    if (cut == std::string_view::npos) return true;
    rest.remove_prefix(cut + 1);
  }
}

// ---- Creating and linking ------------------------------------------------------------

ParamTreeNode* CreateParamTreeNode(UID uid) {
  ParamTreeNode* node = new (std::nothrow) ParamTreeNode();
  if (node == nullptr) {
    WriteLog(1, "Unable to allocate %d bytes for a new param tree node",
             static_cast<int>(sizeof(ParamTreeNode)));
    return nullptr;
  }
  node->header.uid = uid;
  node->header.kind = NODE_KIND_PARAM_NODE;
  node->count = kParamScalarCount;
  if (AddNodeToQAArray(&node->header) == 0) {
    WriteLog(0, "Unable to create param tree node as cannot get UID or add to QA array");
    delete node;
    return nullptr;
  }
  MarkOwned(node);
  return node;
}

ParamTreeNode* AddParamTreeNode(UID parentUID, const char* name, UID uid) {
  if (name == nullptr) return nullptr;
  ParamTreeNode* parent = nullptr;
  ParamTreeNode* last = nullptr;  // the current last child, where the new one goes behind
  if (parentUID != 0) {
    parent = GetParamTreeNodeByUID(parentUID);
    if (parent == nullptr) return nullptr;
    if (parent->child != 0) {
      // Start at the child appended last when it is still one of this
      // parent's (a registered node with this parent is always in its chain),
      // so that building a chain of n children costs n steps, not n^2/2.
      ParamTreeNode* from = GetParamTreeNodeByUID(parent->lastChildHint);
      if (from == nullptr || from->parent != parentUID) from = GetParamTreeNodeByUID(parent->child);
      size_t limit = GetNodeQACount() + 1;
      size_t steps = 0;
      while (from != nullptr && from->sibling != 0) {
        ParamTreeNode* next = GetParamTreeNodeByUID(from->sibling);
        if (next == nullptr) break;  // a dangling link ends the chain: append there
        if (++steps > limit) return nullptr;  // a cycle: refuse rather than loop
        from = next;
      }
      last = from;
    }
  }

  ParamTreeNode* node = CreateParamTreeNode(uid);
  if (node == nullptr) return nullptr;
  try {
    node->name = name;
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate %d bytes for a new param tree node",
             static_cast<int>(std::strlen(name) + 1));
    Unregister(node);
    ReleaseRecord(node, true);
    return nullptr;
  }
  if (parent != nullptr) {
    node->parent = parentUID;
    if (last != nullptr) {
      last->sibling = node->header.uid;
    } else {
      parent->child = node->header.uid;
    }
    parent->lastChildHint = node->header.uid;
  }
  return node;
}

// ---- Lookups --------------------------------------------------------------------------

ParamTreeNode* GetParamTreeNodeByUID(UID uid) {
  if (uid == 0) return nullptr;
  return GetRecordByUID<ParamTreeNode>(uid, NODE_KIND_PARAM_NODE);
}

ParamTreeNode* FindSiblingByName(ParamTreeNode* node, const char* name) {
  if (node == nullptr || name == nullptr) return nullptr;
  return FindInChain(node, name);
}

ParamTreeNode* FindSiblingByName(ParamTreeNode* node, std::string_view name) {
  return node != nullptr ? FindInChain(node, name) : nullptr;
}

ParamTreeNode* FindParamNodeByPath(ParamTreeNode* chain, const char* path) {
  if (chain == nullptr || path == nullptr) return nullptr;
  std::string_view rest(path);
  ParamTreeNode* level = chain;
  for (;;) {
    size_t cut = rest.find(kPathSeparator);
    ParamTreeNode* found = FindInChain(level, rest.substr(0, cut));
    if (found == nullptr) return nullptr;
    if (cut == std::string_view::npos) return found;
    rest.remove_prefix(cut + 1);
    level = GetParamTreeNodeByUID(found->child);  // null (no child, dangling): not found
    if (level == nullptr) return nullptr;
  }
}

ParamTreeNode* FindParamNode(ParamTreeNode* chain, const char* path) {
  if (chain == nullptr || path == nullptr) return nullptr;
  return FindParamNodeByPath(chain, path);
}

UID GetParamNodeUIDByPath(UID chainUID, const char* path) {
  ParamTreeNode* node = FindParamNode(GetParamTreeNodeByUID(chainUID), path);
  return node != nullptr ? node->header.uid : 0;
}

// ---- Deleting ---------------------------------------------------------------------------

void DeleteParamTreeNode(ParamTreeNode* node, bool freeRecord, bool withSiblings) {
  if (node == nullptr) return;

  // 1. Everything that goes: the node, its subtree and (when asked) its
  //    chain behind it with their subtrees. Each node is taken once, so a
  //    malformed link that leads back into the set cannot loop.
  std::vector<ParamTreeNode*> doomed;
  std::unordered_map<UID, ParamTreeNode*> doomedByUID;
  std::unordered_set<const ParamTreeNode*> seen;
  struct Collector {
    std::vector<ParamTreeNode*>& doomed;
    std::unordered_map<UID, ParamTreeNode*>& byUID;
    std::unordered_set<const ParamTreeNode*>& seen;
    ParamWalkAction Enter(const ParamTreeNode* n) {
      if (!seen.insert(n).second) return ParamWalkAction::EndChain;
      ParamTreeNode* m = const_cast<ParamTreeNode*>(n);
      doomed.push_back(m);
      if (m->header.uid != 0) byUID.emplace(m->header.uid, m);
      return ParamWalkAction::Descend;
    }
    void Leave(const ParamTreeNode*) {}
    bool Unresolved(UID) { return true; }
  } collector{doomed, doomedByUID, seen};
  try {
    WalkParamTree(node, withSiblings, collector);
  } catch (const std::bad_alloc&) {
    // Too little memory to list the subtree: delete what was listed; the
    // links below stay consistent for the remaining nodes.
    WriteLog(1, "DeleteParamTreeNode:Unable to allocate memory for the walk");
  }

  // 2. The first node after a deleted one along its chain that stays (0 at
  //    the end of the chain).
  auto successor = [&](UID uid) -> UID {
    size_t steps = 0;
    while (uid != 0 && steps++ <= doomed.size()) {
      auto it = doomedByUID.find(uid);
      if (it == doomedByUID.end()) return uid;
      uid = it->second->sibling;
    }
    return uid != 0 && doomedByUID.count(uid) != 0 ? 0 : uid;
  };

  // 3. One pass over the registry: every remaining parameter node whose
  //    sibling or child link names a deleted node now names its successor.
  //    This unhooks the deleted range from its predecessor and its parent.
  for (size_t i = 0, n = GetNodeQACount(); i < n; ++i) {
    const NodeQAEntry* entry = GetNodeQAEntryAt(i);
    if (entry == nullptr || entry->node == nullptr) continue;
    if (entry->node->kind != NODE_KIND_PARAM_NODE) continue;
    ParamTreeNode* other = RecordFromHeader<ParamTreeNode>(entry->node);
    if (seen.count(other) != 0) continue;
    if (other->sibling != 0 && doomedByUID.count(other->sibling) != 0) {
      other->sibling = successor(other->sibling);
    }
    if (other->child != 0 && doomedByUID.count(other->child) != 0) {
      other->child = successor(other->child);
    }
  }

  // 4. Unregister them all in one pass over the registry, then release.
  //    Only the first node may be kept (cleared) when the caller owns its
  //    memory.
  UnregisterAll(doomed);
  for (ParamTreeNode* d : doomed) ReleaseRecord(d, d == node ? freeRecord : true);
}

int DeleteParamTreeNodeByUID(ParamTreeNode* node, UID uid) {
  if (uid == 0 || node == nullptr) return -1;
  ParamTreeNode* target = GetParamTreeNodeByUID(uid);
  if (target == nullptr) return -1;
  DeleteParamTreeNode(target, true, false);
  return 0;
}

size_t ReplaceNodeLinks(UID oldUID, UID newUID) {
  size_t changed = 0;
  for (size_t i = 0, n = GetNodeQACount(); i < n; ++i) {
    const NodeQAEntry* entry = GetNodeQAEntryAt(i);
    if (entry == nullptr || entry->node == nullptr) continue;
    if (entry->node->kind != NODE_KIND_PARAM_NODE) continue;  // users, permissions
    ParamTreeNode* node = RecordFromHeader<ParamTreeNode>(entry->node);
    if (node->sibling == oldUID) {
      node->sibling = newUID;
      ++changed;
    }
    if (node->child == oldUID) {
      node->child = newUID;
      ++changed;
    }
  }
  return changed;
}

// ---- Values -------------------------------------------------------------------------------

void FreeParamValue(ParamTreeNode* node) {
  if (node == nullptr) return;
  node->data.reset();
}

bool ParamNodeHasValue(const ParamTreeNode* node) {
  if (node == nullptr || !node->data || node->count == 0) return false;
  size_t n = NeededElements(*node);
  const ParamValue& v = *node->data;
  switch (node->type) {
    case PARAM_TYPE_STRING: return v.strings.size() >= n;
    case PARAM_TYPE_FIXED_STRING: return v.fixedStrings.size() >= n;
    case PARAM_TYPE_INTEGER:
    case PARAM_TYPE_DWORD:
    case PARAM_TYPE_DATE:
    case PARAM_TYPE_TIME:
    case PARAM_TYPE_DATE_TIME: return v.words.size() >= n;
    case PARAM_TYPE_FLOAT: return v.doubles.size() >= n;
    default: return true;  // COMPLEX and unknown types: the value is opaque here
  }
}

int SetParamStringValue(ParamTreeNode* node, const char* text) {
  if (node == nullptr) return FR_INVALID_PARAMETER;
  FreeParamValue(node);
  node->type = PARAM_TYPE_STRING;
  node->count = kParamScalarCount;
  node->capacity = kParamScalarCount;
  if (text == nullptr) return FR_OK;  // no value: a null text is not an empty one
  try {
    ParamValue value;
    value.strings.emplace_back(text);
    node->data = std::move(value);
  } catch (const std::bad_alloc&) {
    node->data.reset();
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

int SetParamWordValue(ParamTreeNode* node, uint32_t type, uint32_t word) {
  if (node == nullptr) return FR_INVALID_PARAMETER;
  switch (type) {
    case PARAM_TYPE_INTEGER:
    case PARAM_TYPE_DWORD:
    case PARAM_TYPE_DATE:
    case PARAM_TYPE_TIME:
    case PARAM_TYPE_DATE_TIME: break;
    default: return FR_INVALID_PARAMETER;
  }
  try {
    ParamValue value;
    value.words.push_back(word);
    node->data = std::move(value);
  } catch (const std::bad_alloc&) {
    node->data.reset();
    return FR_NO_MEMORY;
  }
  node->type = type;
  node->count = kParamScalarCount;
  node->capacity = kParamScalarCount;
  return FR_OK;
}

int SetParamFloatValue(ParamTreeNode* node, double number) {
  if (node == nullptr) return FR_INVALID_PARAMETER;
  try {
    ParamValue value;
    value.doubles.push_back(number);
    node->data = std::move(value);
  } catch (const std::bad_alloc&) {
    node->data.reset();
    return FR_NO_MEMORY;
  }
  node->type = PARAM_TYPE_FLOAT;
  node->count = kParamScalarCount;
  node->capacity = kParamScalarCount;
  return FR_OK;
}

int SetParamFixedStringValue(ParamTreeNode* node, uint32_t width, const char* text) {
  if (node == nullptr || text == nullptr) return FR_INVALID_PARAMETER;
  FreeParamValue(node);
  node->type = PARAM_TYPE_FIXED_STRING;
  node->count = kParamScalarCount;
  node->capacity = kParamScalarCount;
  try {
    ParamValue value;
    value.fixedStrings.push_back(FixedString{width, text});
    node->data = std::move(value);
  } catch (const std::bad_alloc&) {
    node->data.reset();
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

int CheckParamValueBytes(uint32_t type, int32_t count, const void* bytes, size_t size) {
  if (count < kParamScalarCount || type > PARAM_TYPE_COMPLEX) return FR_INVALID_PARAMETER;
  bool noValue = bytes == nullptr || size == 0 || count == 0;
  if (type == PARAM_TYPE_COMPLEX) return FR_INVALID_PARAMETER;
  if (noValue) return FR_OK;
  size_t elements = count < 0 ? 1 : static_cast<size_t>(count);
  const char* text = static_cast<const char*>(bytes);
  switch (type) {
    case PARAM_TYPE_STRING: {
      if (count != kParamScalarCount) return FR_INVALID_PARAMETER;  // references, not bytes
      const void* nul = std::memchr(text, '\0', size);
      if (nul == nullptr) return FR_INVALID_PARAMETER;
      size_t length = static_cast<size_t>(static_cast<const char*>(nul) - text);
      return IsValidXmlText(std::string_view(text, length)) ? FR_OK : FR_INVALID_PARAMETER;
    }
    case PARAM_TYPE_FIXED_STRING: return FR_INVALID_PARAMETER;  // a width and a reference
    case PARAM_TYPE_FLOAT: return size / 8 >= elements ? FR_OK : FR_INVALID_PARAMETER;
    default: return size / 4 >= elements ? FR_OK : FR_INVALID_PARAMETER;
  }
}

int SetParamValueBytes(ParamTreeNode* node, uint32_t type, int32_t count, const void* bytes,
                       size_t size) {
  if (node == nullptr) return FR_INVALID_PARAMETER;
  int rc = CheckParamValueBytes(type, count, bytes, size);
  if (rc != FR_OK) return rc;
  FreeParamValue(node);
  node->type = type;
  node->count = count;
  node->capacity = count;
  if (bytes == nullptr || size == 0 || count == 0) return FR_OK;

  const unsigned char* in = static_cast<const unsigned char*>(bytes);
  size_t elements = count < 0 ? 1 : static_cast<size_t>(count);
  try {
    ParamValue value;
    switch (type) {
      case PARAM_TYPE_STRING:
        value.strings.emplace_back(reinterpret_cast<const char*>(in));  // NUL checked above
        break;
      case PARAM_TYPE_FLOAT:
        value.doubles.reserve(elements);
        for (size_t i = 0; i < elements; ++i) {
          uint64_t bits = static_cast<uint64_t>(GetLE32(in + 8 * i)) |
                          (static_cast<uint64_t>(GetLE32(in + 8 * i + 4)) << 32);
          double d = 0;
          std::memcpy(&d, &bits, sizeof d);
          value.doubles.push_back(d);
        }
        break;
      default:
        value.words.reserve(elements);
        for (size_t i = 0; i < elements; ++i) value.words.push_back(GetLE32(in + 4 * i));
        break;
    }
    node->data = std::move(value);
  } catch (const std::bad_alloc&) {
    node->data.reset();
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

// ---- Value as text ------------------------------------------------------------------------

const char* GetParamTypeNameOfCode(uint32_t type) {
  switch (type) {
    case PARAM_TYPE_STRING: return "STRING";
    case PARAM_TYPE_FIXED_STRING: return "FIXED_STRING";
    case PARAM_TYPE_INTEGER: return "INTEGER";
    case PARAM_TYPE_DWORD: return "DWORD";
    case PARAM_TYPE_FLOAT: return "FLOAT";
    case PARAM_TYPE_DATE: return "DATE";
    case PARAM_TYPE_TIME: return "TIME";
    case PARAM_TYPE_DATE_TIME: return "DATE_TIME";
    case PARAM_TYPE_COMPLEX: return "COMPLEX";
    default: return "UNKNOWN";
  }
}

const char* GetParamTypeName(const ParamTreeNode* node) {
  return node == nullptr ? "UNKNOWN" : GetParamTypeNameOfCode(node->type);
}

int FormatTimeValue(uint32_t type, uint32_t time, std::string& out) {
  out.clear();
  const char* format = nullptr;
  switch (type) {
    case PARAM_TYPE_DATE: format = "%d/%m/%Y"; break;
    case PARAM_TYPE_TIME: format = "%H:%M:%S"; break;
    case PARAM_TYPE_DATE_TIME: format = "%d/%m/%Y %H:%M:%S"; break;
    default: return FR_TYPE_NOT_TEXT;
  }
  // A 32-bit time is signed seconds since 1970: a negative one is refused
  // even though this platform's gmtime would convert it.
  int32_t seconds = static_cast<int32_t>(time);
  if (seconds < 0) return FR_TYPE_NOT_TEXT;
  time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  if (gmtime_r(&t, &parts) == nullptr) return FR_TYPE_NOT_TEXT;
  char text[kParamValueTextSize] = {};
  if (strftime(text, sizeof text, format, &parts) == 0) return FR_TYPE_NOT_TEXT;
  out = text;
  return FR_OK;
}

int FormatNumericValue(const ParamTreeNode* node, std::string& out) {
  out.clear();
  if (node == nullptr || !ParamNodeHasValue(node)) return FR_INVALID_PARAMETER;
  char text[kParamValueTextSize] = {};
  switch (node->type) {
    case PARAM_TYPE_INTEGER:
      std::snprintf(text, sizeof text, "%d", static_cast<int32_t>(node->data->words.front()));
      break;
    case PARAM_TYPE_DWORD:
      std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(node->data->words.front()));
      break;
    case PARAM_TYPE_FLOAT:
      std::snprintf(text, sizeof text, "%.12G", node->data->doubles.front());
      break;
    case PARAM_TYPE_DATE:
    case PARAM_TYPE_TIME:
    case PARAM_TYPE_DATE_TIME: return FormatTimeValue(node->type, node->data->words.front(), out);
    default: return FR_TYPE_NOT_TEXT;
  }
  out = text;
  return FR_OK;
}

int FailUnsupportedType(std::optional<std::string>& out) {
  out.reset();
  return FR_TYPE_NOT_TEXT;
}

int GetParamValueAsString(const ParamTreeNode* node, std::optional<std::string>& out) {
  out.reset();
  if (node == nullptr) return FR_INVALID_PARAMETER;
  if (!ParamNodeHasValue(node)) return FR_OK;  // no value, count 0: none, and no error
  try {
    switch (node->type) {
      case PARAM_TYPE_STRING: out = node->data->strings.front(); return FR_OK;
      case PARAM_TYPE_FIXED_STRING: out = node->data->fixedStrings.front().text; return FR_OK;
      case PARAM_TYPE_INTEGER:
      case PARAM_TYPE_DWORD:
      case PARAM_TYPE_FLOAT:
      case PARAM_TYPE_DATE:
      case PARAM_TYPE_TIME:
      case PARAM_TYPE_DATE_TIME: {
        std::string text;
        int rc = FormatNumericValue(node, text);
        if (rc != FR_OK) return FailUnsupportedType(out);
        out = std::move(text);
        return FR_OK;
      }
      default: return FailUnsupportedType(out);
    }
  } catch (const std::bad_alloc&) {
    out.reset();
    return FR_NO_MEMORY;
  }
}

// ---- Subtree XML ----------------------------------------------------------------------------

namespace {

// Writes (or, with a null `out`, only measures) the subtree text. A node that
// is not STRING ends its chain: neither it, its subtree nor the nodes behind
// it are written.
struct SubtreeXMLVisitor {
  std::string* out = nullptr;
  size_t size = 0;

  ParamWalkAction Enter(const ParamTreeNode* n) {
    if (n->type != PARAM_TYPE_STRING) return ParamWalkAction::EndChain;
    std::string_view name = NameOf(*n);
    const std::string* value = StringValueOf(*n);
    if (out == nullptr) {
      size += 2 * name.size() + 9 + (value != nullptr ? XMLEscapedLength(*value) : 0);
    } else {
      out->push_back('<');
      out->append(name);
      out->push_back('>');
      if (value != nullptr) AppendXMLEscaped(*out, *value);
      out->append("\r\n");
    }
    return ParamWalkAction::Descend;
  }
  void Leave(const ParamTreeNode* n) {
    if (out == nullptr) return;
    out->append("</");
    out->append(NameOf(*n));
    out->append(">\r\n");
  }
  bool Unresolved(UID) { return true; }  // a dangling link ends that chain
};

}  // namespace

size_t GetSubtreeXMLSize(const ParamTreeNode* node, bool withSiblings) {
  if (node == nullptr) return 0;
  SubtreeXMLVisitor v;
  WalkParamTree(node, withSiblings, v);
  return v.size;
}

void WriteSubtreeXML(std::string& out, const ParamTreeNode* node, bool withSiblings) {
  if (node == nullptr) return;
  SubtreeXMLVisitor v;
  v.out = &out;
  WalkParamTree(node, withSiblings, v);
}

int GetSubtreeXML(const ParamTreeNode* node, std::string& out) {
  out.clear();
  if (node == nullptr) return FR_INVALID_PARAMETER;
  try {
    size_t size = GetSubtreeXMLSize(node, false);
    if (size == 0) return FR_OK;
    out.reserve(size);
    WriteSubtreeXML(out, node, false);
  } catch (const std::bad_alloc&) {
    std::string().swap(out);
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

// ---- Diagnostics -------------------------------------------------------------------------------

const char* GetIndentString(int level) {
  constexpr int kMaxLevel = 64;
  static char indent[kMaxLevel * 3 + 1];
  if (level < 0) level = 0;
  if (level > kMaxLevel) level = kMaxLevel;
  std::memset(indent, ' ', static_cast<size_t>(level) * 3);
  indent[level * 3] = '\0';
  return indent;
}

void LogParamTree(UID uid, int indentLevel) {
  // Pre-order through an explicit stack of (UID, level): a node's sibling is
  // pushed under its child, so the whole subtree is logged before it.
  struct Item {
    UID uid;
    int level;
  };
  std::vector<Item> pending{{uid, indentLevel}};
  size_t limit = GetNodeQACount() + 1;
  for (size_t steps = 0; !pending.empty() && steps <= limit; ++steps) {
    Item item = pending.back();
    pending.pop_back();
    const char* indent = GetIndentString(item.level);
    const ParamTreeNode* n = GetParamTreeNodeByUID(item.uid);
    if (n == nullptr) {
      WriteLog(0, "%sNode uid=%d, ptr=NULL", indent, static_cast<int>(item.uid));
      continue;
    }
    std::string name(NameOf(*n));
    WriteLog(0, "%sNode uid=%d, name=%s, parent=%d, sibling=%d, child=%d", indent,
             static_cast<int>(n->header.uid), name.c_str(), static_cast<int>(n->parent),
             static_cast<int>(n->sibling), static_cast<int>(n->child));
    if (const std::string* value = StringValueOf(*n)) {
      WriteLog(0, "%sNode data=>%s<", GetIndentString(item.level), value->c_str());
    } else {
      unsigned ptr = n->data ? static_cast<unsigned>(reinterpret_cast<uintptr_t>(&*n->data)) : 0u;
      WriteLog(0, "%sNode data ptr=%u, type=%d", GetIndentString(item.level), ptr,
               static_cast<int>(n->type));
    }
    if (n->sibling != 0) pending.push_back({n->sibling, item.level});
    if (n->child != 0) pending.push_back({n->child, item.level + 1});
  }
}

void PrintParamTree(const ParamTreeNode* node) {
  struct Printer {
    ParamWalkAction Enter(const ParamTreeNode* n) {
      std::string name(NameOf(*n));
      PrintTag(name.c_str(), 1);
      std::optional<std::string> text;
      if (GetParamValueAsString(n, text) == FR_OK && text) PrintTag(text->c_str(), 0);
      return ParamWalkAction::Descend;
    }
    void Leave(const ParamTreeNode* n) {
      std::string name(NameOf(*n));
      PrintTag(name.c_str(), -1);
    }
    bool Unresolved(UID) { return true; }
  } printer;
  if (node == nullptr) return;
  try {
    WalkParamTree(node, true, printer);
  } catch (const std::bad_alloc&) {
  }
}

// ---- Test aids -------------------------------------------------------------------------------------

size_t GetLiveParamTreeNodeCount() { return g_ownedCount; }

void FreeAllParamTreeNodes() {
  std::vector<ParamTreeNode*> all;
  try {
    all.reserve(g_ownedCount);
  } catch (const std::bad_alloc&) {
  }
  for (ParamTreeNode* n = g_ownedHead; n != nullptr; n = n->ownership.next) all.push_back(n);
  UnregisterAll(all);
  for (ParamTreeNode* node : all) DeleteOwned(node);
}
