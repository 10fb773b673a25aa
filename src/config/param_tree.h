// Parameter trees: the named, typed setting nodes of every application's
// configuration and permission trees, linked to one another by UID through
// the node registry; creating, linking, finding by path and deleting them,
// their value as text and the plain XML text of a subtree.
// Configuration layer (lowest module of it): calls the node registry and UID
// allocation, the XML escaping, the utilities and the log of the foundation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/uid/node_header.h"

// ---- Value types -------------------------------------------------------------

// The type code of a node's value. The codes are fixed: they are sent in the
// transport blocks and named by GetParamTypeName in the settings files.
enum ParamType : uint32_t {
  PARAM_TYPE_STRING = 0,        // "STRING": a text
  PARAM_TYPE_FIXED_STRING = 1,  // "FIXED_STRING": a width and a text
  PARAM_TYPE_INTEGER = 2,       // "INTEGER": int32
  PARAM_TYPE_DWORD = 3,         // "DWORD": uint32
  PARAM_TYPE_FLOAT = 4,         // "FLOAT": IEEE double
  PARAM_TYPE_DATE = 5,          // "DATE": 32-bit seconds since 1970, UTC
  PARAM_TYPE_TIME = 6,          // "TIME": the same
  PARAM_TYPE_DATE_TIME = 7,     // "DATE_TIME": the same
  PARAM_TYPE_COMPLEX = 8,       // "COMPLEX": nested nodes; nothing builds one
};
// Every other code is "UNKNOWN".

// `count` of a scalar value; 0 or more is the element count of an array value.
constexpr int32_t kParamScalarCount = -1;

// A node's XML-safe name (see IsValidParamNodeName) has at most this many bytes.
constexpr size_t kMaxParamNodeNameLength = 255;

// The most elements a path of a node created on request may have. A settings
// file holds its nodes inside the root and section elements, and the readers
// accept at most kXMLMaxDepth (256) open elements, so a node any deeper would
// make a file that does not read back.
constexpr size_t kMaxParamPathDepth = 254;

// The size of the text buffer of the numeric value texts (with its NUL).
constexpr size_t kParamValueTextSize = 50;

// One FIXED_STRING element: a width and an owned text.
struct FixedString {
  uint32_t width = 0;
  std::string text;
};

// The owned value of a node. Only the element array that belongs to the
// node's type is used: `strings` for STRING, `fixedStrings` for FIXED_STRING,
// `words` for INTEGER (two's-complement bits), DWORD, DATE, TIME and
// DATE_TIME, `doubles` for FLOAT. A scalar holds exactly one element there,
// an array value `count` elements. A COMPLEX value holds nothing here (no
// operation of the system builds one). A value whose array is shorter than
// the node's count says is treated as no value by the text form and refused
// by the transport blocks; the setters below never make one.
struct ParamValue {
  std::vector<std::string> strings;
  std::vector<FixedString> fixedStrings;
  std::vector<uint32_t> words;
  std::vector<double> doubles;
};

// ---- The node record -----------------------------------------------------------

// One parameter node. Every node is a separate heap record made by
// CreateParamTreeNode, so its address never moves: the node registry entry of
// its UID points at `header` for the node's whole life. Links are UIDs,
// resolved through the registry (GetParamTreeNodeByUID); a link that does not
// resolve to a registered parameter node ends a walk.
struct ParamTreeNode;

// The ownership mark of a node record: set on the records CreateParamTreeNode
// makes, which are the only ones the store deletes; any other record (one a
// caller declared) is only cleared when it is deleted from a tree. It also
// carries the links of the list of owned records that the test aids walk
// (O(1) to join and leave, no allocation). Never copied: a copy of a record
// is not owned, and assigning to a record keeps its own mark and links.
struct ParamNodeOwnership {
  bool owned = false;
  ParamTreeNode* prev = nullptr;
  ParamTreeNode* next = nullptr;
  ParamNodeOwnership() = default;
  ParamNodeOwnership(const ParamNodeOwnership&) {}
  ParamNodeOwnership& operator=(const ParamNodeOwnership&) { return *this; }
};

struct ParamTreeNode {
  NodeHeader header;      // UID (registered), kind NODE_KIND_PARAM_NODE, time/flags/spare 0
  UID parent = 0;         // parent node; 0 for a node of the top-level chain
  UID sibling = 0;        // next node of the same chain; 0 ends the chain
  UID child = 0;          // first child; 0 without children
  uint32_t type = PARAM_TYPE_STRING;  // ParamType code of the value
  int32_t count = kParamScalarCount;  // -1 scalar, else element count
  int32_t capacity = 0;               // elements allocated (the setters make it equal to count)
  std::optional<std::string> name;    // none only for a bare CreateParamTreeNode record
  std::optional<ParamValue> data;     // none: the node has no value
  // Cache of AddParamTreeNode: the UID of the child it appended last, where
  // the next append starts looking for the end of the child chain (checked
  // before use; never needed for correctness).
  UID lastChildHint = 0;
  ParamNodeOwnership ownership;  // see above; kept by the module
};

// ---- Names and paths --------------------------------------------------------------

// True for a name that a node created on request may carry, one that a
// settings file can hold as an element name and read back unchanged:
// [A-Za-z_][A-Za-z0-9_-]*, 1 to kMaxParamNodeNameLength bytes.
bool IsValidParamNodeName(std::string_view name);

// True when `path` is non-empty, has at most kMaxParamPathDepth elements and
// every backslash-separated element of it is a valid node name (so no empty
// element: no leading, doubled or trailing backslash). False for null.
bool IsValidParamPath(const char* path);

// ---- Creating and linking ------------------------------------------------------------

// A new node with no name, no links and no value, count -1, kind 5,
// registered under `uid` (0: a new UID from the UID counter). Null when memory
// fails (logged "Unable to allocate %d bytes for a new param tree node") or
// the UID cannot be had or is already registered (logged "Unable to create
// param tree node as cannot get UID or add to QA array"); nothing is
// registered then.
ParamTreeNode* CreateParamTreeNode(UID uid);

// A new node named `name` (copied) registered under `uid` (0: new UID).
// With a parent UID the node is appended as the parent's last child (its
// `parent` set, the last child's `sibling` or the parent's `child` pointing at
// it). With parent UID 0 it is linked nowhere and the caller links it. Null,
// with every tree unchanged, when the name is null, the parent UID is not a
// registered parameter node (not logged), or the node cannot be made.
ParamTreeNode* AddParamTreeNode(UID parentUID, const char* name, UID uid);

// ---- Lookups --------------------------------------------------------------------------

// The registered parameter node of `uid`; null for 0, an unregistered UID or
// a registered record of another kind (a user, a permission).
ParamTreeNode* GetParamTreeNodeByUID(UID uid);

// The first node, from `node` along its sibling chain, whose name equals
// `name` without regard to case; null when none, or when either is null. A
// nameless node matches nothing.
ParamTreeNode* FindSiblingByName(ParamTreeNode* node, const char* name);
ParamTreeNode* FindSiblingByName(ParamTreeNode* node, std::string_view name);

// The node that the backslash-separated `path` names, starting with its first
// element along the chain that begins at `chain` and going one level down per
// element (through `child`). Null when either is null, an element is not
// found, or a node to descend from has no (resolvable) child. An empty element
// matches only a node whose name is empty. `path` is not changed.
ParamTreeNode* FindParamNodeByPath(ParamTreeNode* chain, const char* path);

// FindParamNodeByPath; null when either argument is null.
ParamTreeNode* FindParamNode(ParamTreeNode* chain, const char* path);

// The UID of the node at `path` under the chain that begins at `chainUID`; 0
// when there is none.
UID GetParamNodeUIDByPath(UID chainUID, const char* path);

// ---- Deleting ---------------------------------------------------------------------------

// Deletes `node` and its whole subtree and, with `withSiblings`, every node of
// its chain behind it with their subtrees; nothing for null. Every link held
// by a remaining registered parameter node to a deleted node is replaced by
// the deleted node's first remaining successor in its chain (so the
// predecessor of a deleted node skips it, and a parent whose first child went
// points at the next one, or 0). Every deleted node leaves the registry and
// has its value and name released; each record is freed, except `node` itself
// when `freeRecord` is false: it is cleared to an empty record instead (its
// memory stays valid). Walks with explicit stacks and scans the registry once,
// however many nodes go. The application's configRoot/permRoot are not
// touched: callers re-point them first.
void DeleteParamTreeNode(ParamTreeNode* node, bool freeRecord, bool withSiblings);

// Looks `uid` up (GetParamTreeNodeByUID) and deletes that node with its
// subtree but not its siblings. 0, or -1 for UID 0, a null `node` (the tree
// the caller holds) or a UID that is not a registered parameter node.
int DeleteParamTreeNodeByUID(ParamTreeNode* node, UID uid);

// Every registered parameter node (records of other kinds are skipped) whose
// `sibling` or `child` holds `oldUID` gets `newUID` there. Gives the number
// of links changed.
size_t ReplaceNodeLinks(UID oldUID, UID newUID);

// ---- Values -------------------------------------------------------------------------------

// Releases the node's value; the node is left without one (type and count
// unchanged). Null: nothing.
void FreeParamValue(ParamTreeNode* node);

// True when the node has a value that counts: data present, count not 0 and
// the type's element array holding every element the count says.
bool ParamNodeHasValue(const ParamTreeNode* node);

// Makes the node's value the STRING scalar `text` (type 0, count and capacity
// -1); a null text leaves the node STRING scalar without a value (a null text
// is not an empty one). 0, 2 for a null node, 1 when memory fails (the node is
// then without a value).
int SetParamStringValue(ParamTreeNode* node, const char* text);

// Makes the node's value one 4-byte word of `type` (INTEGER, DWORD, DATE,
// TIME or DATE_TIME), scalar. 0, or 2 for a null node or another type.
int SetParamWordValue(ParamTreeNode* node, uint32_t type, uint32_t word);

// Makes the node's value the FLOAT scalar `value`. 0, or 2 for a null node.
int SetParamFloatValue(ParamTreeNode* node, double value);

// Makes the node's value the FIXED_STRING scalar (width, text). 0, 2 for a
// null node or text, 1 memory.
int SetParamFixedStringValue(ParamTreeNode* node, uint32_t width, const char* text);

// Checks a value given as bytes for SetParamValueBytes; 0 when it would be
// stored, else 2. Refused: a count below -1; a type above 8; COMPLEX and
// FIXED_STRING values and STRING arrays (their elements hold references that
// bytes cannot carry); a STRING scalar whose bytes hold no NUL or whose text
// before the NUL is not valid XML text (IsValidXmlText: UTF-8, no control
// bytes other than TAB, LF, CR); numeric values with fewer than 4 bytes (8
// for FLOAT) per element. No bytes (null or size 0) and count 0 are accepted
// for every type 0..7: the node is then left without a value.
int CheckParamValueBytes(uint32_t type, int32_t count, const void* bytes, size_t size);

// Releases the node's old value, sets `type` and both `count` and `capacity`
// to `count`, and stores a copy of the value given as bytes: a STRING scalar
// is the text before the first NUL; numeric elements are little-endian words
// (8-byte doubles for FLOAT), `count` of them (1 for a scalar); bytes beyond
// them are ignored. No bytes or count 0: no value. 0; 2 (CheckParamValueBytes
// refused it, or a null node: the node is unchanged); 1 memory (the node is
// left without a value).
int SetParamValueBytes(ParamTreeNode* node, uint32_t type, int32_t count, const void* bytes,
                       size_t size);

// ---- Value as text ------------------------------------------------------------------------

// The name of a type code: "STRING", "FIXED_STRING", "INTEGER", "DWORD",
// "FLOAT", "DATE", "TIME", "DATE_TIME", "COMPLEX", else "UNKNOWN".
const char* GetParamTypeNameOfCode(uint32_t type);

// The name of the node's type ("UNKNOWN" for a null node).
const char* GetParamTypeName(const ParamTreeNode* node);

// The node's value as text in `out` (the first element of an array value):
//   STRING, FIXED_STRING  the text as it stands;
//   INTEGER "%d", DWORD "%08X", FLOAT "%.12G";
//   DATE "%d/%m/%Y", TIME "%H:%M:%S", DATE_TIME "%d/%m/%Y %H:%M:%S" (UTC).
// 0 with the text; 0 with none for a node without a value (count 0 included);
// 2 for a null node; 1 when memory fails; 22 for COMPLEX, an unknown type, or
// a time that is negative as a signed 32-bit value. `out` is none unless a
// text is given.
int GetParamValueAsString(const ParamTreeNode* node, std::optional<std::string>& out);

// The text of a numeric or time value (types 2..7) of the node, as above.
// 0; 2 null node or no value; 22 another type or an unshowable time.
int FormatNumericValue(const ParamTreeNode* node, std::string& out);

// The text of a 32-bit time for DATE, TIME or DATE_TIME (UTC). 0; 22 when
// the time is negative as int32 or the type is another.
int FormatTimeValue(uint32_t type, uint32_t time, std::string& out);

// Clears `out` and gives 22 (a type that cannot be shown as text).
int FailUnsupportedType(std::optional<std::string>& out);

// ---- Subtree XML ----------------------------------------------------------------------------

// The plain XML text of the node and its subtree (not its siblings):
// "<Name>" value "\r\n" children "</Name>\r\n" for each STRING node, the
// value escaped with the shared element-text escaping, names as they stand.
// A node whose type is not STRING writes nothing, nor its subtree, nor the
// nodes behind it in its chain. A link that does not resolve ends that chain.
// 0 with the text (empty for a non-STRING node); 2 for a null node (out
// empty); 1 when memory fails (out empty). One allocation of the exact size.
int GetSubtreeXML(const ParamTreeNode* node, std::string& out);

// The byte length of the text above for `node` (with `withSiblings`, also the
// nodes behind it in its chain): 2 x name + 9 + escaped value per written
// node. 0 for a null or non-STRING node.
size_t GetSubtreeXMLSize(const ParamTreeNode* node, bool withSiblings);

// Appends that text to `out`.
void WriteSubtreeXML(std::string& out, const ParamTreeNode* node, bool withSiblings);

// ---- Diagnostics -------------------------------------------------------------------------------

// Three spaces per level in one shared static text (valid until the next
// call); levels are capped at 64.
const char* GetIndentString(int level);

// Logs the node of `uid`, its subtree one level deeper per generation and its
// following siblings at the same level: "%sNode uid=%d, name=%s, parent=%d,
// sibling=%d, child=%d", then "%sNode data=>%s<" for a STRING value or
// "%sNode data ptr=%u, type=%d"; an unresolved UID logs "%sNode uid=%d,
// ptr=NULL".
void LogParamTree(UID uid, int indentLevel);

// Prints the node with PrintTag: its name tags around its value line and its
// children, then its following siblings. Null: nothing.
void PrintParamTree(const ParamTreeNode* node);

// ---- Test aids -------------------------------------------------------------------------------------

// The number of node records alive (made by CreateParamTreeNode and not yet freed).
size_t GetLiveParamTreeNodeCount();

// Frees every node record still alive, removing from the registry each entry
// that still points at one of them. Any configRoot/permRoot still referring
// to them dangles: reset the model first (tests).
void FreeAllParamTreeNodes();
