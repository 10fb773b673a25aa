// The decoders of the configuration transport blocks: one node, a tree and a
// whole application read back from bytes a client could have shaped. A block
// is parsed completely into plain records first and only then registered, so
// a refused block leaves the store exactly as it was.
// Configuration layer: calls the parameter trees, the model's records, the
// node registry, the wire's bounded readers, the text checks and the log.
#include "config/config_blocks.h"

#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/util.h"
#include "foundation/wire/transport_string.h"

namespace {

// A cursor over [0, end) of a block; no read goes at or past `end`.
struct BlockReader {
  const unsigned char* block;
  size_t end;
  size_t offset;

  bool Word(uint32_t& value) { return ReadLE32(block, end, &offset, &value); }
  // 0 with the text (nullopt: absent), or the reason (1, 2) of a failure.
  int Text(std::optional<std::string>& out) {
    int rc = FR_OK;
    out = GetTransportString(block, end, &offset, &rc);
    return rc;
  }
};

// A present text that may be stored: valid XML text.
int PresentText(BlockReader& r, std::string& out) {
  std::optional<std::string> text;
  int rc = r.Text(text);
  if (rc != FR_OK) return rc;
  if (!text || !IsValidXmlText(*text)) return FR_INVALID_PARAMETER;
  out = std::move(*text);
  return FR_OK;
}

// The value bytes [r.offset, r.end) of a node of `type` and `count` into `v`.
// They must be exactly the value's bytes.
int ParseValue(BlockReader& r, const ParamTreeNode& n, ParamValue& v) {
  const size_t bytes = r.end - r.offset;
  if (n.count == 0) return FR_INVALID_PARAMETER;  // no element, yet value bytes
  const size_t elements = n.count < 0 ? 1 : static_cast<size_t>(n.count);
  // Every element takes at least 4 bytes: a count beyond that is a lie, and
  // nothing is reserved for it.
  if (elements > bytes / 4) return FR_INVALID_PARAMETER;
  switch (n.type) {
    case PARAM_TYPE_STRING:
      if (n.count >= 0) WriteLog(0, "ConvertTransportBlockToParamTreeNode:Unexpected but got string array");
      v.strings.resize(elements);
      for (std::string& s : v.strings) {
        if (int rc = PresentText(r, s); rc != FR_OK) return rc;
      }
      if (n.count < 0) WriteLog(0, "ConvertTransportBlockToParamTreeNode:node->data=>%s<", v.strings[0].c_str());
      break;
    case PARAM_TYPE_FIXED_STRING:
      v.fixedStrings.resize(elements);
      for (FixedString& f : v.fixedStrings) {
        if (!r.Word(f.width)) return FR_INVALID_PARAMETER;
        if (int rc = PresentText(r, f.text); rc != FR_OK) return rc;
      }
      break;
    case PARAM_TYPE_FLOAT:
      if (bytes != 8 * elements) return FR_INVALID_PARAMETER;
      v.doubles.resize(elements);
      for (double& d : v.doubles) {
        uint32_t low = 0, high = 0;
        r.Word(low);
        r.Word(high);
        const uint64_t bits = (static_cast<uint64_t>(high) << 32) | low;
        std::memcpy(&d, &bits, sizeof d);
      }
      break;
    default:  // INTEGER, DWORD, DATE, TIME, DATE_TIME: the types above 8 were refused
      if (bytes != 4 * elements) return FR_INVALID_PARAMETER;
      v.words.resize(elements);
      for (uint32_t& w : v.words) r.Word(w);
      break;
  }
  return r.offset == r.end ? FR_OK : FR_INVALID_PARAMETER;
}

// One node block at r.offset into the plain record `n` (not registered).
int ParseNode(BlockReader& r, ParamTreeNode& n) {
  if (r.offset > r.end || r.end - r.offset < kNodeHeaderSize) return FR_INVALID_PARAMETER;
  n.header = DecodeNodeHeader(r.block + r.offset);
  r.offset += kNodeHeaderSize;
  ConvertNodeHeaderByteOrder(n.header);
  if (n.header.uid == 0 || n.header.kind != NODE_KIND_PARAM_NODE) return FR_INVALID_PARAMETER;
  uint32_t count = 0, capacity = 0;
  if (!r.Word(n.parent) || !r.Word(n.sibling) || !r.Word(n.child) || !r.Word(n.type) || !r.Word(count) ||
      !r.Word(capacity)) {
    return FR_INVALID_PARAMETER;
  }
  n.count = static_cast<int32_t>(count);
  n.capacity = static_cast<int32_t>(capacity);  // a word the store only carries
  if (int rc = r.Text(n.name); rc != FR_OK) return rc;
  if (n.name && (n.name->size() > kMaxParamNodeNameLength || !IsAsciiXmlName(*n.name))) {
    return FR_INVALID_PARAMETER;
  }
  WriteLog(0, "ConvertTransportBlockToParamTreeNode:node(%s)[%d][p=%d, s=%d, c=%d]",
           n.name ? n.name->c_str() : "", static_cast<int>(n.header.uid), static_cast<int>(n.parent),
           static_cast<int>(n.sibling), static_cast<int>(n.child));
  uint32_t dataSize = 0;
  if (!r.Word(dataSize) || dataSize > r.end - r.offset) return FR_INVALID_PARAMETER;
  WriteLog(0, "ConvertTransportBlockToParamTreeNode:DataSize = %d", static_cast<int>(dataSize));
  if (n.type == PARAM_TYPE_COMPLEX) {
    WriteLog(0, "GetParamTreeSize:Cannot handle complex types yet");
    return FR_TYPE_NOT_TEXT;
  }
  if (n.type > PARAM_TYPE_COMPLEX || n.count < kParamScalarCount) return FR_INVALID_PARAMETER;
  if (dataSize > 0) {
    BlockReader value{r.block, r.offset + dataSize, r.offset};
    ParamValue v;
    if (int rc = ParseValue(value, n, v); rc != FR_OK) return rc;
    n.data = std::move(v);
    r.offset = value.end;
  }
  return FR_OK;
}

// A UID the decoded tree may take: not registered, not taken twice.
int ClaimUID(UID uid, std::unordered_set<UID>& taken) {
  if (IsUIDInNodeQA(uid) || !taken.insert(uid).second) {
    WriteLog(0, "Unable to add node to node QA array");
    return FR_UID_MISMATCH;
  }
  return FR_OK;
}

// The tree block at r.offset into `nodes` in pre-order, checked against the
// links its nodes announce. With `withSiblings` the first node's chain is
// read too.
int ParseTree(BlockReader& r, bool withSiblings, std::vector<ParamTreeNode>& nodes,
              std::unordered_set<UID>& taken) {
  // A node whose subtree is being read; after it, its sibling (when its
  // chain is followed) is the next block.
  struct Open {
    UID parent;   // the parent word its siblings must carry
    UID sibling;  // the next node of its chain, 0 at the end
    bool follow;  // whether its chain continues behind it
  };
  std::vector<Open> open;
  bool first = true;
  UID expectUID = 0, expectParent = 0;
  bool follow = withSiblings;
  for (;;) {
    ParamTreeNode n;
    if (int rc = ParseNode(r, n); rc != FR_OK) return rc;
    if (!first && (n.header.uid != expectUID || n.parent != expectParent)) return FR_INVALID_PARAMETER;
    if (first) expectParent = n.parent;  // the parent word of the first chain
    first = false;
    if (int rc = ClaimUID(n.header.uid, taken); rc != FR_OK) return rc;
    const UID uid = n.header.uid, child = n.child;
    UID sibling = n.sibling;
    nodes.push_back(std::move(n));
    if (child != 0) {
      if (open.size() + 2 > kMaxParamPathDepth) return FR_INVALID_PARAMETER;
      open.push_back(Open{expectParent, sibling, follow});
      expectUID = child;
      expectParent = uid;
      follow = true;  // inner chains are always whole
      continue;
    }
    // No child: the next block is this chain's next node, or that of the
    // nearest open node whose chain goes on; none left: the tree is read.
    while (!(follow && sibling != 0)) {
      if (open.empty()) return FR_OK;
      expectParent = open.back().parent;
      sibling = open.back().sibling;
      follow = open.back().follow;
      open.pop_back();
    }
    expectUID = sibling;
  }
}

// Registers the parsed records as new nodes, in order, into `made`. 1 (with
// every node made here discarded) when one cannot be made.
int RegisterParsed(std::vector<ParamTreeNode>& parsed, std::vector<ParamTreeNode*>& made) {
  for (ParamTreeNode& p : parsed) {
    ParamTreeNode* n = CreateParamTreeNode(p.header.uid);
    if (n == nullptr) {
      DiscardParamTreeNodes(made);
      made.clear();
      return FR_NO_MEMORY;
    }
    n->header.timeStamp = p.header.timeStamp;
    n->header.flags = p.header.flags;
    n->header.spare = p.header.spare;
    n->parent = p.parent;
    n->sibling = p.sibling;
    n->child = p.child;
    n->type = p.type;
    n->count = p.count;
    n->capacity = p.capacity;
    n->name = std::move(p.name);
    n->data = std::move(p.data);
    made.push_back(n);
  }
  return FR_OK;
}

// ParseTree then RegisterParsed, with the memory failures of either as 1.
int DecodeTree(const unsigned char* block, size_t blockSize, size_t* offset, bool withSiblings,
               bool lone, ParamTreeNode** out) {
  if (out != nullptr) *out = nullptr;
  if (block == nullptr || offset == nullptr || out == nullptr || *offset > blockSize) return FR_INVALID_PARAMETER;
  BlockReader r{block, blockSize, *offset};
  std::vector<ParamTreeNode> parsed;
  std::vector<ParamTreeNode*> made;
  std::unordered_set<UID> taken;
  try {
    int rc = FR_OK;
    if (lone) {
      parsed.emplace_back();
      rc = ParseNode(r, parsed.back());
      if (rc == FR_OK) rc = ClaimUID(parsed.back().header.uid, taken);
    } else {
      rc = ParseTree(r, withSiblings, parsed, taken);
    }
    if (rc != FR_OK) return rc;
  } catch (const std::bad_alloc&) {
    return FR_NO_MEMORY;
  }
  // Links the block did not carry the nodes of name nothing decoded here.
  if (lone) parsed[0].sibling = parsed[0].child = 0;
  if (!withSiblings) parsed[0].sibling = 0;
  if (int rc = RegisterParsed(parsed, made); rc != FR_OK) return rc;
  *offset = r.offset;
  *out = made[0];
  return FR_OK;
}

}  // namespace

int ConvertTransportBlockToParamTreeNode(const unsigned char* block, size_t blockSize, size_t* offset,
                                         ParamTreeNode** out) {
  return DecodeTree(block, blockSize, offset, false, true, out);
}

int ConvertTransportBlockToParamTree(const unsigned char* block, size_t blockSize, size_t* offset,
                                     bool withSiblings, ParamTreeNode** out) {
  if (offset != nullptr) WriteLog(0, "ConvertTransportBlockToParamTree:**Entry *offset=%d", static_cast<int>(*offset));
  int rc = DecodeTree(block, blockSize, offset, withSiblings, false, out);
  if (rc == FR_OK) {
    const ParamTreeNode* n = *out;
    WriteLog(0, "ConvertTransportBlockToParamTree:nPtr=%u, uid=%d, p=%d, s=%d, c=%d", n->header.uid,
             static_cast<int>(n->header.uid), static_cast<int>(n->parent), static_cast<int>(n->sibling),
             static_cast<int>(n->child));
  } else {
    WriteLog(0, "ConvertTransportBlockToParamTree:nPtr=NULL");
  }
  return rc;
}

int ConvertTransportBlockToApp(const unsigned char* block, size_t blockSize, ApplicationStruct& out) {
  out = ApplicationStruct{};
  if (block == nullptr || blockSize < kNodeHeaderSize) return FR_INVALID_PARAMETER;
  ApplicationStruct app;
  app.header = DecodeNodeHeader(block);
  ConvertNodeHeaderByteOrder(app.header);
  if (app.header.uid != 0 || app.header.kind != NODE_KIND_APPLICATION) return FR_INVALID_PARAMETER;
  BlockReader r{block, blockSize, kNodeHeaderSize};
  std::vector<ParamTreeNode> parsed[2];
  std::unordered_set<UID> taken;
  uint32_t rootUIDs[2] = {0, 0};  // configuration, permission
  try {
    std::optional<std::string> name;
    if (int rc = r.Text(name); rc != FR_OK) return rc;
    if (!name || !IsAsciiXmlName(*name)) return FR_INVALID_PARAMETER;
    app.name = std::move(*name);
    if (!r.Word(rootUIDs[0]) || !r.Word(rootUIDs[1])) return FR_INVALID_PARAMETER;
    WriteLog(0, "ConvertTransportBlockToApp:Appname >%s< uid=%d, config=%d, perm=%d", app.name.c_str(),
             static_cast<int>(app.header.uid), static_cast<int>(rootUIDs[0]), static_cast<int>(rootUIDs[1]));
    for (int t = 0; t < 2; ++t) {
      if (rootUIDs[t] == 0) continue;
      if (int rc = ParseTree(r, true, parsed[t], taken); rc != FR_OK) return rc;
      // The word names the first node of a top-level chain (parent 0; its
      // siblings were checked to carry the same parent).
      if (parsed[t][0].header.uid != rootUIDs[t] || parsed[t][0].parent != 0) return FR_INVALID_PARAMETER;
    }
  } catch (const std::bad_alloc&) {
    return FR_NO_MEMORY;
  }
  if (r.offset != blockSize) return FR_INVALID_PARAMETER;  // bytes behind the last tree

  std::vector<ParamTreeNode*> made[2];
  for (int t = 0; t < 2; ++t) {
    if (int rc = RegisterParsed(parsed[t], made[t]); rc != FR_OK) {
      DiscardParamTreeNodes(made[0]);
      return rc;
    }
  }
  app.configRoot = made[0].empty() ? nullptr : made[0][0];
  app.permRoot = made[1].empty() ? nullptr : made[1][0];
  out = std::move(app);
  return FR_OK;
}
