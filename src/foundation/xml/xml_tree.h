// Generic XML element trees (XMLNode): building and freeing them, parsing XML
// text and files into them with Expat, and writing them back as text, to a
// stream or to a file (CR LF line ends, element text escaped, attribute values
// escaped so that every written document reads back).
// Foundation layer: calls the interned names, the compact texts, the XML value
// stack and escapes, the log, the file utilities and the atomic file replacement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/xml/xml_name.h"
#include "foundation/xml/xml_text.h"

// ---- Records ---------------------------------------------------------------------

// The declaration that WriteNodeTreeToFile puts before the document element
// when asked (no line end follows it).
constexpr const char kXMLDeclaration[] = "<?xml version=\"1.0\"?>";

// One attribute: name and value, both owned. An absent value is written and
// read as the empty text.
struct XMLAttribute {
  std::string name;
  std::string value;
};

// A node's attributes, in document order. Most elements have none, so the
// list is one pointer, null while empty, to storage made at the first
// attribute: a node costs a pointer for them, not a vector. Copies are deep.
class XMLAttributeList {
 public:
  XMLAttributeList() = default;
  XMLAttributeList(const XMLAttributeList& other)
      : items_(other.empty() ? nullptr : std::make_unique<std::vector<XMLAttribute>>(*other.items_)) {}
  XMLAttributeList(XMLAttributeList&&) noexcept = default;
  XMLAttributeList& operator=(const XMLAttributeList& other) {
    if (this != &other) {
      XMLAttributeList copy(other);
      items_ = std::move(copy.items_);
    }
    return *this;
  }
  XMLAttributeList& operator=(XMLAttributeList&&) noexcept = default;

  bool empty() const { return items_ == nullptr || items_->empty(); }
  size_t size() const { return items_ == nullptr ? 0 : items_->size(); }
  const XMLAttribute& operator[](size_t i) const { return (*items_)[i]; }
  XMLAttribute& operator[](size_t i) { return (*items_)[i]; }
  const XMLAttribute* begin() const { return items_ == nullptr ? nullptr : items_->data(); }
  const XMLAttribute* end() const { return items_ == nullptr ? nullptr : items_->data() + items_->size(); }
  XMLAttribute* begin() { return items_ == nullptr ? nullptr : items_->data(); }
  XMLAttribute* end() { return items_ == nullptr ? nullptr : items_->data() + items_->size(); }

  // Both throw std::bad_alloc when memory runs out (the list stays as it was).
  void reserve(size_t n) { Items().reserve(n); }
  void push_back(XMLAttribute attribute) { Items().push_back(std::move(attribute)); }
  // Empties the list and gives its storage back.
  void clear() noexcept { items_.reset(); }

 private:
  std::vector<XMLAttribute>& Items() {
    if (items_ == nullptr) items_ = std::make_unique<std::vector<XMLAttribute>>();
    return *items_;
  }
  std::unique_ptr<std::vector<XMLAttribute>> items_;
};

// One element. The node owns its texts, its attributes and its child list;
// the list of following siblings is owned by the parent (or, for a top-level
// list, by whoever holds its first node).
//
// Links may be read freely but are changed only through the functions of this
// module (AddXMLChildNode, AppendXMLNodeList, UnlinkXMLNode, DeleteXMLNode,
// DeleteXMLChildNode, FreeXMLChildNodes): they keep `parent` and
// `prevSibling` in step. The back links make appending (LastXMLChild) and
// taking any child out O(1), for a root with 100,000 children too.
//
// Every node comes from one pool of fixed-size slots (the class's own
// operator new and delete), so a tree of a great many nodes costs no heap
// header per node and lies close together; all nodes are of that one kind,
// whichever path made them (a parse, AddXMLChildNode, a copy, a plain `new`)
// and whichever frees them. A freed slot is reused by the next node; the
// pool's memory stays with the process.
//
// A node is 64 bytes: its name is a handle to an interned text (XMLName) and
// its value a compact optional text (XMLText). Nodes, like names, are made
// and freed on the server thread only.
struct XMLNode {
  XMLName name;                        // empty: a node without a name (writers refuse it with 2)
  XMLText value;                       // absent: the element had no character data
  XMLNode* parent = nullptr;           // enclosing element; not owned
  XMLNode* firstChild = nullptr;       // owned child list
  XMLNode* nextSibling = nullptr;      // next element of the same parent
  XMLNode* prevSibling = nullptr;      // previous element of the same parent; the first child's is the
                                       // last child; not owned, and null while the node has no parent
  XMLAttributeList attributes;

  static void* operator new(std::size_t size);
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* p, std::size_t size) noexcept;
};
static_assert(sizeof(XMLNode) == 64, "an XMLNode is one 64-byte pool slot");

// The last child of the node (the first child's back link), or null when it
// has none or for null.
inline XMLNode* LastXMLChild(const XMLNode* node) {
  return node != nullptr && node->firstChild != nullptr ? node->firstChild->prevSibling : nullptr;
}

// The node after `node` in a walk of `top`'s subtree in document order (top
// first, each node before its children, children before the next sibling);
// null once the subtree is done. The walk follows the links, so any depth is
// safe: for (const XMLNode* n = top; n; n = NextInXMLSubtree(top, n)).
inline const XMLNode* NextInXMLSubtree(const XMLNode* top, const XMLNode* node) {
  if (node->firstChild != nullptr) return node->firstChild;
  while (node != top && node->nextSibling == nullptr) node = node->parent;
  return node == top ? nullptr : node->nextSibling;
}

// Slots of the node pool in use and held (in use or free), for measurements.
struct XMLNodePoolCounts {
  size_t inUse = 0;
  size_t held = 0;
};
XMLNodePoolCounts GetXMLNodePoolCounts();

// Frees a node list with FreeXMLNodeList: the owner of a detached tree (a
// top node without siblings) or of a whole top-level list.
struct XMLNodeListDeleter {
  void operator()(XMLNode* node) const;
};
using XMLNodeListPtr = std::unique_ptr<XMLNode, XMLNodeListDeleter>;

// ---- Building and freeing ------------------------------------------------------------

// A new empty node appended as the last child of `parent` (a node without a
// parent for null). Null, with "AddXMLChildNode:Unable to create new node"
// logged (error flag set), when it cannot be allocated. The caller sets the name.
XMLNode* AddXMLChildNode(XMLNode* parent);

// Links a detached list (`list` and its following siblings) after the last
// child of `parent`, making `parent` the parent of each. 0, or 2 when either is
// null or `list` still has a parent.
int AppendXMLNodeList(XMLNode* parent, XMLNode* list);

// Takes the node out of its parent's child list (the siblings stay linked to
// one another) and leaves it detached with no next sibling, through its back
// link: no walk of the list. A node without a parent only loses its
// next-sibling link. Nothing is freed.
void UnlinkXMLNode(XMLNode* node);

// Frees the node, its whole subtree and every following sibling with their
// subtrees. Unlinks nothing: a caller freeing part of a tree unlinks first (or
// uses DeleteXMLNode / FreeXMLChildNodes). Loops, never recurses: any width or
// depth is safe. Null does nothing.
void FreeXMLNodeList(XMLNode* node);

// Unlinks the node from its parent's child list (when it has a parent) and
// frees it with its subtree; its following siblings stay in the list.
void DeleteXMLNode(XMLNode* node);

// Deletes the first child whose name equals `name` without regard to case, if
// there is one. 2 when either argument is null, else 0.
int DeleteXMLChildNode(XMLNode* parent, const char* name);

// Frees every child of the node (with their subtrees) and leaves it childless.
void FreeXMLChildNodes(XMLNode* parent);

// A deep copy of the node with its subtree (not its siblings), detached. Null
// for a null node or when memory runs out (nothing of the copy is left then).
XMLNode* CopyXMLNodeTree(const XMLNode* node);

// ---- Attributes ------------------------------------------------------------------

// Appends an attribute pair to the node. 0; 2 for a null node or an empty name;
// 1 when it cannot be allocated.
int AddXMLAttribute(XMLNode* node, std::string_view name, std::string_view value);

// The node's number of attributes (0 for null).
int32_t GetXMLAttributeCount(const XMLNode* node);

// The value of attribute `index`; the empty text (never a dangling reference)
// for a null node or an index outside 0 .. count-1.
const std::string& GetXMLAttributeValue(const XMLNode* node, int index);

// ---- Parsing -----------------------------------------------------------------------

// Parses the NUL-terminated text (one Expat parse of its strlen bytes; the
// document's declaration or UTF-8 gives the encoding) and appends its document
// element as the last child of `node`. 0; 20 on a parse error, a null text,
// nesting deeper than kXMLMaxDepth or a document type that declares entities
// (RefuseXMLEntityDeclarations; "XML error %s at line %d\n" logged) with
// `node` unchanged and nothing of the partial tree left; 2 for a null node.
//
// An element's value is all of its own character data in document order, the
// white space between its children included, with every trailing line feed
// removed; null when it had none. Uses (and empties) the XML value stack and
// the current XML value.
int AddXMLToNode(XMLNode* node, const char* text);

// Parses the text as above and gives the document element of a new detached
// tree, which the caller frees; null on any parse error.
XMLNode* ParseXMLStringToNodeTree(const char* text);

// Reads the whole file and parses it. Gives the detached document element, or
// null; *code (when not null) is 0, the file reader's code (21 no file, 14
// cannot open, 46 read error, 1 no memory; logged "Error converting file >%s<
// to string") or 20 for a parse error (an empty file included).
XMLNode* LoadXMLFileAsNodeTree(const std::string& path, int* code);

// ---- Writing -----------------------------------------------------------------------
//
// A node is written as its start tag ("<%s>", or "<%s" then ` %s="%s"` per
// attribute with the value escaped by XMLEscapeAttribute, then ">"), its value
// escaped by XMLEscapeString, then, when it has children, CR LF and each child
// in turn, and its end tag "</%s>" with CR LF. So A with value "x" and a child
// B with value "y" is "<A>x\r\n<B>y</B>\r\n</A>\r\n". Names are written as
// they stand. Every walk loops over siblings and keeps its own stack for
// nesting: no recursion.

// Bytes the node's text needs (with its following siblings when asked): an
// upper bound the writers never exceed. 0 for a null or nameless node.
size_t GetNodeTreeXMLSize(const XMLNode* node, bool withSiblings);

// Appends the node's text (with its following siblings when asked) to
// `buffer`. 0 (also for a null node); 2 when the node or one below it has no
// name, 1 when memory runs out; on failure `buffer` is left as it was.
int WriteNodeTreeToBuffer(const XMLNode* node, bool withSiblings, std::string& buffer);

// The node with its subtree (not its siblings, no declaration) as text; null
// for a null or nameless node, a nameless node below it, or no memory
// ("GetNodeTreeAsXMLString:Unable to allocate %d bytes for xml buffer").
std::optional<std::string> GetNodeTreeAsXMLString(const XMLNode* node);

// Writes the node's text (with its following siblings when asked) to an open
// stream. 0; 2 for a nameless node or a null stream (part of the text may
// have been written); 15 when a write to the stream fails; 1 when memory runs
// out.
int WriteNodeTreeToStream(FILE* fp, const XMLNode* node, bool withSiblings);

// Replaces the file with the node's tree (not its siblings), after
// kXMLDeclaration when asked, through the atomic file replacement: a failure
// keeps the old file. 0; 2 for an empty path, a null node or a nameless node;
// 14 when the file cannot be created; 15 when a write, flush, sync, close or
// rename fails.
int WriteNodeTreeToFile(const std::string& path, const XMLNode* node, bool withDeclaration);

// ---- Branch replacement ------------------------------------------------------------

// Loads the file, walks `branchPath` (names separated by '\') from the
// document element taking at each level the first child of that name (without
// regard to case) or appending a new one; with `replace` deletes the node
// reached (for an empty path: every child of the document element); appends
// the element parsed from `xmlText` to the parent of the node reached (for an
// empty path: to the document element); rewrites the file (no declaration).
// 0; 2 for a null argument or an empty or invalid name in the path; the
// loader's code; 20 parse error; 1 when a node or the text cannot be made; 15
// when the file cannot be written back. The file is unchanged on any failure.
int SetBranchXML(const char* filePath, const char* branchPath, int replace, const char* xmlText);
