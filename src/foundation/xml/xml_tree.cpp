// Generic XML element trees: the pool their nodes come from, building,
// freeing, copying, parsing with Expat and writing back. Foundation layer: calls the XML value stack and escapes,
// the log, the file utilities and the platform's atomic file replacement.
// Every walk loops over siblings and keeps an explicit stack (or splices
// lists) for nesting, so neither a flat list of 100,000 elements nor a deep
// tree can exhaust the call stack.
#include "foundation/xml/xml_tree.h"

#include <expat.h>


#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_escape.h"
#include "foundation/xml/xml_guard.h"
#include "foundation/xml/xml_value_stack.h"
#include "platform/atomic_file.h"
#include "platform/large_blocks.h"

namespace {

const std::string kEmptyText;

// The stream writer hands its text to the stream in pieces of about this size.
constexpr size_t kStreamChunk = 64 * 1024;

// Links the detached list `list` .. `last` (siblings of one another) after
// the last child of `parent`, which becomes the parent of each already.
void LinkAtEnd(XMLNode* parent, XMLNode* list, XMLNode* last) {
  if (XMLNode* first = parent->firstChild) {
    XMLNode* tail = first->prevSibling;
    tail->nextSibling = list;
    list->prevSibling = tail;
    first->prevSibling = last;
  } else {
    parent->firstChild = list;
    list->prevSibling = last;
  }
}

// ---- Writing core ----------------------------------------------------------------

void AppendStartTag(std::string& out, const XMLNode* node) {
  out.push_back('<');
  out.append(node->name);
  for (const XMLAttribute& attribute : node->attributes) {
    out.push_back(' ');
    out.append(attribute.name);
    out.append("=\"");
    AppendXMLAttributeEscaped(out, attribute.value);
    out.push_back('"');
  }
  out.push_back('>');
  if (node->value) AppendXMLEscaped(out, *node->value);
}

void AppendEndTag(std::string& out, const XMLNode* node) {
  out.append("</");
  out.append(node->name);
  out.append(">\r\n");
}

// Writes the node (and its following siblings when asked) into `out`, calling
// `drain(out)` after each element so that a stream writer can pass the text on.
// 0, 2 for a nameless node, or drain's non-zero code. May throw bad_alloc.
//
// Walk: write a start tag; descend to the first child (remembering the node
// on `open`), else write the end tag and move to the next sibling, climbing
// (and closing) ancestors while there is none.
template <typename Drain>
int WriteTree(const XMLNode* node, bool withSiblings, std::string& out, Drain drain) {
  if (node == nullptr) return FR_OK;
  std::vector<const XMLNode*> open;
  const XMLNode* cur = node;
  for (;;) {
    if (cur->name.empty()) return FR_INVALID_PARAMETER;
    AppendStartTag(out, cur);
    if (cur->firstChild != nullptr) {
      out.append("\r\n");
      open.push_back(cur);
      cur = cur->firstChild;
      continue;
    }
    AppendEndTag(out, cur);
    for (;;) {
      if (int rc = drain(out); rc != FR_OK) return rc;
      if (open.empty()) {
        if (withSiblings && cur->nextSibling != nullptr) {
          cur = cur->nextSibling;
          break;
        }
        return FR_OK;
      }
      if (cur->nextSibling != nullptr) {
        cur = cur->nextSibling;
        break;
      }
      cur = open.back();
      open.pop_back();
      AppendEndTag(out, cur);
    }
  }
}

// ---- Parsing -------------------------------------------------------------------

struct ParseContext {
  XML_Parser parser = nullptr;
  XMLNode* current = nullptr;     // the node the next element is added under
  const char* abortReason = nullptr;
};

void AbortParse(ParseContext* ctx, const char* reason) {
  if (ctx->abortReason == nullptr) ctx->abortReason = reason;
  XML_StopParser(ctx->parser, XML_FALSE);
}

void XMLCALL NodeTreeXMLStartElement(void* userData, const XML_Char* name, const XML_Char** atts) {
  auto* ctx = static_cast<ParseContext*>(userData);
  if (ctx->abortReason != nullptr) return;
  // The new element gathers only its own text; its parent's is saved.
  if (PushXMLValue() != 0) {
    AbortParse(ctx, XMLValueStackDepth() >= kXMLMaxDepth ? "elements nested too deeply" : "out of memory");
    return;
  }
  XMLNode* node = AddXMLChildNode(ctx->current);
  if (node == nullptr) {
    PopXMLValue();
    AbortParse(ctx, "out of memory");
    return;
  }
  ctx->current = node;
  try {
    node->name = name;
  } catch (...) {
    AbortParse(ctx, "out of memory");
    return;
  }
  int count = 0;
  while (atts[2 * count] != nullptr) ++count;
  if (count > 0) {
    try {
      node->attributes.reserve(static_cast<size_t>(count));
      for (int i = 0; i < count; ++i) node->attributes.push_back({atts[2 * i], atts[2 * i + 1]});
    } catch (...) {
      node->attributes.clear();
      WriteLog(1, "Unable to allocate space for attribute array");
    }
  }
}

void XMLCALL NodeTreeXMLCharData(void* userData, const XML_Char* piece, int length) {
  auto* ctx = static_cast<ParseContext*>(userData);
  if (ctx->abortReason != nullptr) return;
  AppendXMLValue(piece, length);  // a lost piece is logged there; the parse goes on
}

void XMLCALL NodeTreeXMLEndElement(void* userData, const XML_Char* /*name*/) {
  auto* ctx = static_cast<ParseContext*>(userData);
  if (ctx->abortReason != nullptr) return;
  if (ctx->current != nullptr) {
    ctx->current->value = TakeXMLValue();
    ctx->current = ctx->current->parent;
  }
  PopXMLValue();
}

// Parses the text into a temporary root. Gives the detached document element
// or null (logged).
XMLNode* ParseDocument(const char* text) {
  if (text == nullptr) {
    WriteLog(0, "XML error %s at line %d\n", "no text", 0);
    return nullptr;
  }
  size_t length = std::strlen(text);
  if (length > static_cast<size_t>(INT_MAX)) {
    WriteLog(0, "XML error %s at line %d\n", "document too large", 0);
    return nullptr;
  }
  XML_Parser parser = XML_ParserCreate(nullptr);
  if (parser == nullptr) {
    WriteLog(1, "XML error %s at line %d\n", "cannot create parser", 0);
    return nullptr;
  }
  XMLNode root;
  ParseContext ctx;
  ctx.parser = parser;
  ctx.current = &root;
  ClearXMLValueStack(1);
  ClearCurrentXMLValue();
  XML_SetUserData(parser, &ctx);
  XML_SetElementHandler(parser, NodeTreeXMLStartElement, NodeTreeXMLEndElement);
  XML_SetCharacterDataHandler(parser, NodeTreeXMLCharData);
  // A document of our own files or of a client never declares entities; one
  // that does could make Expat's entity expansion exhaust the stack.
  RefuseXMLEntityDeclarations(parser);

  XML_Status status = XML_Parse(parser, text, static_cast<int>(length), XML_TRUE);
  XMLNode* document = root.firstChild;
  if (status != XML_STATUS_OK || ctx.abortReason != nullptr || document == nullptr) {
    const char* reason = ctx.abortReason               ? ctx.abortReason
                         : XMLEntityDeclarationRefused() ? "entity declarations are not accepted"
                                                         : XML_ErrorString(XML_GetErrorCode(parser));
    WriteLog(0, "XML error %s at line %d\n", reason ? reason : "unknown",
             static_cast<int>(XML_GetCurrentLineNumber(parser)));
    XML_ParserFree(parser);
    FreeXMLNodeList(root.firstChild);
    ClearXMLValueStack(1);
    ClearCurrentXMLValue();
    return nullptr;
  }
  XML_ParserFree(parser);
  // A well-formed document has exactly one element at the top.
  document->parent = nullptr;
  document->nextSibling = nullptr;
  document->prevSibling = nullptr;
  root.firstChild = nullptr;
  return document;
}

// Splits a branch path at '\'; a single trailing separator ends the path.
bool SplitBranchPath(const char* path, std::vector<std::string>& parts) {
  std::string_view rest(path);
  if (rest.empty()) return true;
  if (rest.back() == '\\') rest.remove_suffix(1);
  for (;;) {
    size_t sep = rest.find('\\');
    std::string_view part = rest.substr(0, sep);
    if (part.empty()) return false;
    parts.emplace_back(part);
    if (sep == std::string_view::npos) return true;
    rest.remove_prefix(sep + 1);
  }
}

}  // namespace

// ---- The node pool ----------------------------------------------------------------
//
// Slots of sizeof(XMLNode) carved from blocks; a freed slot goes on a
// free list and is handed out again first. A spin lock keeps the pool whole
// should a node ever be made off the server thread (it is never contended).
// Under AddressSanitizer every node is a heap block of its own, so that the
// sanitizer sees each node's bounds and every use after a free.

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPoolNodes = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPoolNodes = false;
#else
constexpr bool kPoolNodes = true;
#endif
#else
constexpr bool kPoolNodes = true;
#endif

union NodeSlot {
  NodeSlot* nextFree;
  alignas(XMLNode) unsigned char bytes[sizeof(XMLNode)];
};
// The first block is small (a process with a few trees stays small); later
// blocks are 2 MB, aligned and offered to the kernel as one huge page, so a
// tree of a million nodes costs a few hundred page faults, not tens of
// thousands. Every block is aligned to the slot size, so that a node (64
// bytes) lies on one cache line.
constexpr size_t kFirstBlockBytes = 64 * 1024;
constexpr size_t kBlockBytes = 2 * 1024 * 1024;

struct NodePool {
  std::atomic_flag lock = ATOMIC_FLAG_INIT;
  NodeSlot* freeList = nullptr;
  NodeSlot* bump = nullptr;  // the next never-used slot of the newest block
  NodeSlot* bumpEnd = nullptr;
  std::vector<NodeSlot*>* blocks = nullptr;  // never freed: the pool lives as long as the process
  size_t inUse = 0;
  size_t held = 0;
};
NodePool g_pool;

struct PoolLock {
  PoolLock() {
    while (g_pool.lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~PoolLock() { g_pool.lock.clear(std::memory_order_release); }
};

void* TakeSlot() noexcept {
  PoolLock hold;
  NodeSlot* slot = g_pool.freeList;
  if (slot != nullptr) {
    g_pool.freeList = slot->nextFree;
  } else {
    if (g_pool.bump == g_pool.bumpEnd) {
      try {
        if (g_pool.blocks == nullptr) g_pool.blocks = new std::vector<NodeSlot*>();
        g_pool.blocks->reserve(g_pool.blocks->size() + 1);
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
      const bool first = g_pool.blocks->empty();
      const size_t bytes = first ? kFirstBlockBytes : kBlockBytes;
      auto* block = static_cast<NodeSlot*>(first ? std::aligned_alloc(sizeof(NodeSlot), bytes) : AllocateLargeBlock(bytes));
      if (block == nullptr) return nullptr;
      const size_t slots = bytes / sizeof(NodeSlot);
      g_pool.blocks->push_back(block);
      g_pool.bump = block;
      g_pool.bumpEnd = block + slots;
      g_pool.held += slots;
    }
    slot = g_pool.bump++;
  }
  ++g_pool.inUse;
  return slot;
}

void GiveSlot(void* p) noexcept {
  PoolLock hold;
  auto* slot = static_cast<NodeSlot*>(p);
  slot->nextFree = g_pool.freeList;
  g_pool.freeList = slot;
  --g_pool.inUse;
}

}  // namespace

void* XMLNode::operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (!kPoolNodes || size != sizeof(XMLNode)) return ::operator new(size, std::nothrow);
  return TakeSlot();
}

void* XMLNode::operator new(std::size_t size) {
  void* p = XMLNode::operator new(size, std::nothrow);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void XMLNode::operator delete(void* p, std::size_t size) noexcept {
  if (p == nullptr) return;
  if (!kPoolNodes || size != sizeof(XMLNode)) {
    ::operator delete(p);
    return;
  }
  GiveSlot(p);
}

XMLNodePoolCounts GetXMLNodePoolCounts() {
  PoolLock hold;
  return XMLNodePoolCounts{g_pool.inUse, g_pool.held};
}

// ---- Building and freeing ------------------------------------------------------------

void XMLNodeListDeleter::operator()(XMLNode* node) const { FreeXMLNodeList(node); }

XMLNode* AddXMLChildNode(XMLNode* parent) {
  XMLNode* node = new (std::nothrow) XMLNode();
  if (node == nullptr) {
    WriteLog(1, "AddXMLChildNode:Unable to create new node");
    return nullptr;
  }
  if (parent != nullptr) {
    node->parent = parent;
    LinkAtEnd(parent, node, node);
  }
  return node;
}

int AppendXMLNodeList(XMLNode* parent, XMLNode* list) {
  if (parent == nullptr || list == nullptr || list->parent != nullptr) return FR_INVALID_PARAMETER;
  // The list may have been built by hand: its back links are set here.
  XMLNode* last = list;
  for (XMLNode* n = list; n != nullptr; n = n->nextSibling) {
    n->parent = parent;
    if (n != list) n->prevSibling = last;
    last = n;
  }
  LinkAtEnd(parent, list, last);
  return FR_OK;
}

void UnlinkXMLNode(XMLNode* node) {
  if (node == nullptr) return;
  if (XMLNode* parent = node->parent) {
    XMLNode* first = parent->firstChild;
    XMLNode* next = node->nextSibling;
    if (node == first) {
      parent->firstChild = next;
      if (next != nullptr) next->prevSibling = node->prevSibling;  // the last child
    } else if (XMLNode* prev = node->prevSibling; prev != nullptr && prev->nextSibling == node) {
      prev->nextSibling = next;
      if (next != nullptr) {
        next->prevSibling = prev;
      } else {
        first->prevSibling = prev;  // the node was the last child
      }
    }
  }
  node->parent = nullptr;
  node->nextSibling = nullptr;
  node->prevSibling = nullptr;
}

void FreeXMLNodeList(XMLNode* node) {
  // Splice each node's children in front of its following siblings, then free
  // the node: the list only ever gets longer, never deeper, and each child
  // list is walked once to find its end.
  while (node != nullptr) {
    if (XMLNode* child = node->firstChild) {
      XMLNode* tail = child->prevSibling;  // the last child
      if (tail == nullptr || tail->nextSibling != nullptr) {
        for (tail = child; tail->nextSibling != nullptr;) tail = tail->nextSibling;
      }
      tail->nextSibling = node->nextSibling;
      node->nextSibling = child;
    }
    XMLNode* next = node->nextSibling;
    delete node;
    node = next;
  }
}

void DeleteXMLNode(XMLNode* node) {
  if (node == nullptr) return;
  UnlinkXMLNode(node);
  FreeXMLNodeList(node);
}

int DeleteXMLChildNode(XMLNode* parent, const char* name) {
  if (parent == nullptr || name == nullptr) return FR_INVALID_PARAMETER;
  for (XMLNode* child = parent->firstChild; child != nullptr; child = child->nextSibling) {
    if (EqualsNoCase(child->name, name)) {
      DeleteXMLNode(child);
      break;
    }
  }
  return FR_OK;
}

void FreeXMLChildNodes(XMLNode* parent) {
  if (parent == nullptr) return;
  FreeXMLNodeList(parent->firstChild);
  parent->firstChild = nullptr;
}

XMLNode* CopyXMLNodeTree(const XMLNode* node) {
  if (node == nullptr) return nullptr;
  XMLNode* top = AddXMLChildNode(nullptr);
  if (top == nullptr) return nullptr;
  try {
    top->name = node->name;
    top->value = node->value;
    top->attributes = node->attributes;
    // Pairs of (source whose children are still to copy, its copy).
    std::vector<std::pair<const XMLNode*, XMLNode*>> work;
    work.emplace_back(node, top);
    while (!work.empty()) {
      auto [source, copy] = work.back();
      work.pop_back();
      for (const XMLNode* child = source->firstChild; child != nullptr; child = child->nextSibling) {
        XMLNode* made = AddXMLChildNode(copy);
        if (made == nullptr) throw std::bad_alloc();
        made->name = child->name;
        made->value = child->value;
        made->attributes = child->attributes;
        if (child->firstChild != nullptr) work.emplace_back(child, made);
      }
    }
  } catch (const std::bad_alloc&) {
    WriteLog(1, "CopyXMLNodeTree:Unable to copy node tree");
    FreeXMLNodeList(top);
    return nullptr;
  }
  return top;
}

// ---- Attributes ------------------------------------------------------------------

int AddXMLAttribute(XMLNode* node, std::string_view name, std::string_view value) {
  if (node == nullptr || name.empty()) return FR_INVALID_PARAMETER;
  try {
    node->attributes.push_back({std::string(name), std::string(value)});
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate space for attribute array");
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

int32_t GetXMLAttributeCount(const XMLNode* node) {
  return node ? static_cast<int32_t>(node->attributes.size()) : 0;
}

const std::string& GetXMLAttributeValue(const XMLNode* node, int index) {
  if (node == nullptr || index < 0 || static_cast<size_t>(index) >= node->attributes.size()) return kEmptyText;
  return node->attributes[static_cast<size_t>(index)].value;
}

// ---- Parsing -----------------------------------------------------------------------

int AddXMLToNode(XMLNode* node, const char* text) {
  if (node == nullptr) return FR_INVALID_PARAMETER;
  XMLNode* document = ParseDocument(text);
  if (document == nullptr) return FR_XML_ERROR;
  AppendXMLNodeList(node, document);
  return FR_OK;
}

XMLNode* ParseXMLStringToNodeTree(const char* text) { return ParseDocument(text); }

XMLNode* LoadXMLFileAsNodeTree(const std::string& path, int* code) {
  int ignored = 0;
  int& rc = code ? *code : ignored;
  std::string text;
  rc = ReadFileToBuffer(path, text);
  if (rc != FR_OK) {
    WriteLog(1, "Error converting file >%s< to string", path.c_str());
    return nullptr;
  }
  XMLNode* document = ParseDocument(text.c_str());
  rc = document ? FR_OK : FR_XML_ERROR;
  return document;
}

// ---- Writing -----------------------------------------------------------------------

size_t GetNodeTreeXMLSize(const XMLNode* node, bool withSiblings) {
  if (node == nullptr || node->name.empty()) return 0;
  size_t total = 0;
  // Nodes still to count; a nameless node counts nothing (its write fails).
  std::vector<const XMLNode*> work;
  try {
    for (const XMLNode* n = node; n != nullptr; n = withSiblings ? n->nextSibling : nullptr) {
      work.push_back(n);
      while (!work.empty()) {
        const XMLNode* cur = work.back();
        work.pop_back();
        if (cur->name.empty()) continue;
        total += 2 * cur->name.size() + 9;
        for (const XMLAttribute& attribute : cur->attributes) {
          total += attribute.name.size() + XMLAttributeEscapedLength(attribute.value) + 4;
        }
        if (cur->value) total += XMLEscapedLength(*cur->value);
        for (const XMLNode* child = cur->firstChild; child != nullptr; child = child->nextSibling) {
          work.push_back(child);
        }
      }
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return total;
}

int WriteNodeTreeToBuffer(const XMLNode* node, bool withSiblings, std::string& buffer) {
  size_t start = buffer.size();
  int rc = FR_OK;
  try {
    rc = WriteTree(node, withSiblings, buffer, [](std::string&) { return FR_OK; });
  } catch (const std::bad_alloc&) {
    rc = FR_NO_MEMORY;
  }
  if (rc != FR_OK) buffer.resize(start);
  return rc;
}

std::optional<std::string> GetNodeTreeAsXMLString(const XMLNode* node) {
  size_t size = GetNodeTreeXMLSize(node, false);
  if (size == 0) return std::nullopt;
  std::string text;
  try {
    text.reserve(size);
  } catch (const std::exception&) {
    WriteLog(1, "GetNodeTreeAsXMLString:Unable to allocate %d bytes for xml buffer",
             size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size));
    return std::nullopt;
  }
  if (WriteNodeTreeToBuffer(node, false, text) != FR_OK) return std::nullopt;
  return text;
}

int WriteNodeTreeToStream(FILE* fp, const XMLNode* node, bool withSiblings) {
  if (fp == nullptr) return FR_INVALID_PARAMETER;
  auto put = [fp](std::string& out) {
    if (out.empty()) return FR_OK;
    size_t written = std::fwrite(out.data(), 1, out.size(), fp);
    bool ok = written == out.size();
    out.clear();
    return ok ? FR_OK : FR_WRITE_FAILED;
  };
  std::string pending;
  int rc = FR_OK;
  try {
    rc = WriteTree(node, withSiblings, pending,
                   [&put](std::string& out) { return out.size() >= kStreamChunk ? put(out) : FR_OK; });
  } catch (const std::bad_alloc&) {
    return FR_NO_MEMORY;
  }
  if (rc != FR_OK) return rc;
  return put(pending);
}

int WriteNodeTreeToFile(const std::string& path, const XMLNode* node, bool withDeclaration) {
  if (path.empty() || node == nullptr || node->name.empty()) return FR_INVALID_PARAMETER;
  AtomicFile file;
  if (AtomicFileBegin(file, path) != ATOMIC_OK) {
    WriteLog(1, "Unable to create file >%s<", path.c_str());
    return FR_CANNOT_OPEN_FILE;
  }
  int rc = FR_OK;
  if (withDeclaration && std::fputs(kXMLDeclaration, file.fp) == EOF) rc = FR_WRITE_FAILED;
  if (rc == FR_OK) rc = WriteNodeTreeToStream(file.fp, node, false);
  if (rc != FR_OK) {
    AtomicFileAbort(file);
    return rc;
  }
  if (AtomicFileCommit(file) != ATOMIC_OK) {
    WriteLog(1, "Unable to write file >%s<", path.c_str());
    return FR_WRITE_FAILED;
  }
  return FR_OK;
}

// ---- Branch replacement ------------------------------------------------------------

int SetBranchXML(const char* filePath, const char* branchPath, int replace, const char* xmlText) {
  if (filePath == nullptr || branchPath == nullptr || xmlText == nullptr) return FR_INVALID_PARAMETER;
  std::vector<std::string> parts;
  try {
    if (!SplitBranchPath(branchPath, parts)) return FR_INVALID_PARAMETER;
  } catch (const std::bad_alloc&) {
    return FR_NO_MEMORY;
  }
  int rc = FR_OK;
  XMLNodeListPtr document(LoadXMLFileAsNodeTree(filePath, &rc));
  if (!document) return rc;

  XMLNode* reached = nullptr;
  XMLNode* level = document.get();
  for (const std::string& part : parts) {
    XMLNode* found = nullptr;
    for (XMLNode* child = level->firstChild; child != nullptr; child = child->nextSibling) {
      if (EqualsNoCase(child->name, part)) {
        found = child;
        break;
      }
    }
    if (found == nullptr) {
      // Only names that read back may enter the file.
      if (!IsAsciiXmlName(part)) return FR_INVALID_PARAMETER;
      found = AddXMLChildNode(level);
      if (found == nullptr) {
        WriteLog(1, "Unable to create child node");
        return FR_NO_MEMORY;
      }
      try {
        found->name = part;
      } catch (const std::bad_alloc&) {
        WriteLog(1, "Unable to create child node");
        return FR_NO_MEMORY;
      }
    }
    reached = found;
    level = found;
  }

  XMLNode* parsed = ParseXMLStringToNodeTree(xmlText);
  if (parsed == nullptr) return FR_XML_ERROR;

  XMLNode* target = reached ? reached->parent : document.get();
  if (replace) {
    if (reached) {
      DeleteXMLNode(reached);
    } else {
      FreeXMLChildNodes(document.get());
    }
  }
  AppendXMLNodeList(target, parsed);

  std::optional<std::string> text = GetNodeTreeAsXMLString(document.get());
  if (!text) {
    WriteLog(0, "SetBranchXML:Error converting node tree to string");
    return FR_NO_MEMORY;
  }
  if (ReplaceFileAtomically(filePath, text->data(), text->size()) != ATOMIC_OK) {
    WriteLog(1, "SetBranchXML:Error writing file back >%s<", filePath);
    return FR_WRITE_FAILED;
  }
  return FR_OK;
}
