// Transport blocks of parameter nodes, parameter trees and applications, and
// the tree request's worker. Every block is sized by one walk and written by a
// second into one allocation of exactly that size, each word little-endian.
// Configuration layer: calls the parameter trees and their walk, the model's
// lookups, the node header encoder, the wire's block helpers and the log.
#include "config/config_blocks.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/param_tree_walk.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_header.h"
#include "foundation/wire/transport_string.h"

namespace {

// The node's name as a transport-string argument (null for a nameless node).
WireText NameText(const ParamTreeNode& node) { return WireText(node.name); }

// Bytes of the node's value, or -1 (with the reason in *rc) when the node
// cannot be sent.
int64_t ValueBytes(const ParamTreeNode& node, int* rc) {
  if (node.type == PARAM_TYPE_COMPLEX) {
    WriteLog(0, "GetParamTreeSize:Cannot handle complex types yet");
    *rc = FR_TYPE_NOT_TEXT;
    return -1;
  }
  if (!node.data || node.count == 0) return 0;  // no value: dataSize 0
  if (!ParamNodeHasValue(&node)) {              // fewer elements than the count says
    *rc = FR_TYPE_NOT_TEXT;
    return -1;
  }
  const ParamValue& v = *node.data;
  size_t n = node.count < 0 ? 1 : static_cast<size_t>(node.count);
  int64_t bytes = 0;
  switch (node.type) {
    case PARAM_TYPE_STRING:
      for (size_t i = 0; i < n; ++i) bytes += static_cast<int64_t>(GetTransportStringSize(v.strings[i]));
      return bytes;
    case PARAM_TYPE_FIXED_STRING:
      for (size_t i = 0; i < n; ++i) {
        bytes += 4 + static_cast<int64_t>(GetTransportStringSize(v.fixedStrings[i].text));
      }
      return bytes;
    case PARAM_TYPE_INTEGER:
    case PARAM_TYPE_DWORD:
    case PARAM_TYPE_DATE:
    case PARAM_TYPE_TIME:
    case PARAM_TYPE_DATE_TIME: return 4 * static_cast<int64_t>(n);
    case PARAM_TYPE_FLOAT: return 8 * static_cast<int64_t>(n);
    default: return 0;  // an unknown type carries no value bytes
  }
}

// GetParamTreeSize with the reason of a failure.
int64_t NodeBlockSize(const ParamTreeNode* node, int* rc) {
  *rc = FR_OK;
  if (node == nullptr) {
    *rc = FR_INVALID_PARAMETER;
    return -1;
  }
  int64_t value = ValueBytes(*node, rc);
  if (value < 0) return -1;
  int64_t size = kNodeBlockFixedBytes + static_cast<int64_t>(GetTransportStringSize(NameText(*node))) + value;
  if (size > kMaxTransportBlockSize) {
    *rc = FR_NO_MEMORY;
    return -1;
  }
  return size;
}

// A bounded writer over the caller's buffer: nothing is written at or past
// `size`; a step that does not fit marks the writer failed.
struct BlockWriter {
  unsigned char* buffer;
  size_t size;
  size_t offset;
  bool ok = true;

  void Word(uint32_t value) {
    if (!ok || offset > size || size - offset < 4) {
      ok = false;
      return;
    }
    PutLE32(buffer + offset, value);
    offset += 4;
  }
  void Text(WireText text) {
    if (ok && !PutTransportString(buffer, size, &offset, text)) ok = false;
  }
  void Header(const NodeHeader& header) {
    if (!ok || offset > size || size - offset < kNodeHeaderSize) {
      ok = false;
      return;
    }
    EncodeNodeHeader(header, buffer + offset);
    offset += kNodeHeaderSize;
  }
};

// Writes one node block whose size has been checked to fit.
void WriteNodeBlock(const ParamTreeNode& node, BlockWriter& w) {
  w.Header(node.header);
  w.Word(node.parent);
  w.Word(node.sibling);
  w.Word(node.child);
  w.Word(node.type);
  w.Word(static_cast<uint32_t>(node.count));
  w.Word(static_cast<uint32_t>(node.capacity));
  w.Text(NameText(node));
  size_t dataSizeAt = w.offset;
  w.Word(0);  // dataSize, filled in below
  if (!w.ok) return;
  size_t valueStart = w.offset;
  if (node.data && node.count != 0 && node.type != PARAM_TYPE_COMPLEX) {
    const ParamValue& v = *node.data;
    size_t n = node.count < 0 ? 1 : static_cast<size_t>(node.count);
    switch (node.type) {
      case PARAM_TYPE_STRING:
        for (size_t i = 0; i < n; ++i) w.Text(v.strings[i]);
        break;
      case PARAM_TYPE_FIXED_STRING:
        for (size_t i = 0; i < n; ++i) {
          w.Word(v.fixedStrings[i].width);
          w.Text(v.fixedStrings[i].text);
        }
        break;
      case PARAM_TYPE_INTEGER:
      case PARAM_TYPE_DWORD:
      case PARAM_TYPE_DATE:
      case PARAM_TYPE_TIME:
      case PARAM_TYPE_DATE_TIME:
        for (size_t i = 0; i < n; ++i) w.Word(v.words[i]);
        break;
      case PARAM_TYPE_FLOAT:
        for (size_t i = 0; i < n; ++i) {
          uint64_t bits = 0;
          std::memcpy(&bits, &v.doubles[i], sizeof bits);
          w.Word(static_cast<uint32_t>(bits));        // low word first: little-endian
          w.Word(static_cast<uint32_t>(bits >> 32));
        }
        break;
      default: break;
    }
  }
  if (w.ok) PutLE32(w.buffer + dataSizeAt, static_cast<uint32_t>(w.offset - valueStart));
}

// Sizes the tree block of `node`; the reason of a failure goes to *rc.
struct TreeSizer {
  int64_t total = 0;
  int rc = FR_OK;
  ParamWalkAction Enter(const ParamTreeNode* n) {
    int64_t size = NodeBlockSize(n, &rc);
    if (size < 0) return ParamWalkAction::Abort;
    total += size;
    if (total > kMaxTransportBlockSize) {
      rc = FR_NO_MEMORY;
      return ParamWalkAction::Abort;
    }
    return ParamWalkAction::Descend;
  }
  void Leave(const ParamTreeNode*) {}
  bool Unresolved(UID) {
    rc = FR_NODE_NOT_FOUND;  // a dangling link makes the whole block fail
    return false;
  }
};

int64_t TreeBlockSize(const ParamTreeNode* node, bool withSiblings, int* rc) {
  *rc = FR_OK;
  if (node == nullptr) {
    *rc = FR_INVALID_PARAMETER;
    return -1;
  }
  TreeSizer sizer;
  bool complete = false;
  try {
    complete = WalkParamTree(node, withSiblings, sizer);
  } catch (const std::bad_alloc&) {
    *rc = FR_NO_MEMORY;
    return -1;
  }
  if (!complete) {
    *rc = sizer.rc != FR_OK ? sizer.rc : FR_NODE_NOT_FOUND;  // no reason given: a cycle
    return -1;
  }
  return sizer.total;
}

struct TreeWriter {
  BlockWriter& w;
  ParamWalkAction Enter(const ParamTreeNode* n) {
    WriteNodeBlock(*n, w);
    return w.ok ? ParamWalkAction::Descend : ParamWalkAction::Abort;
  }
  void Leave(const ParamTreeNode*) {}
  bool Unresolved(UID) { return false; }
};

// Writes the tree block into `w` after sizing it; nothing is written on failure.
int WriteTreeBlock(const ParamTreeNode* node, bool withSiblings, BlockWriter& w) {
  int rc = FR_OK;
  int64_t size = TreeBlockSize(node, withSiblings, &rc);
  if (size < 0) return rc;
  if (w.offset > w.size || static_cast<uint64_t>(size) > w.size - w.offset) return FR_INVALID_PARAMETER;
  size_t start = w.offset;
  TreeWriter writer{w};
  bool complete = false;
  try {
    complete = WalkParamTree(node, withSiblings, writer);
  } catch (const std::bad_alloc&) {
    complete = false;
  }
  // The same walk over the same nodes: it must give exactly the sized bytes.
  if (!complete || !w.ok || w.offset - start != static_cast<size_t>(size)) {
    w.ok = false;
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

// One zero-filled allocation of `size` bytes; false (logged with `who`) when
// the memory cannot be had.
bool AllocateBlock(std::vector<unsigned char>& out, int64_t size, const char* who) {
  try {
    std::vector<unsigned char> block(static_cast<size_t>(size));
    out.swap(block);
    return true;
  } catch (const std::bad_alloc&) {
    WriteLog(1, "%s:Unable to allocate %d bytes for buffer", who, static_cast<int>(size));
    return false;
  } catch (const std::length_error&) {
    WriteLog(1, "%s:Unable to allocate %d bytes for buffer", who, static_cast<int>(size));
    return false;
  }
}

// The tree of an application record that goes into its block, or null.
const ParamTreeNode* SentTree(const ParamTreeNode* root) {
  return root != nullptr && root->header.uid != 0 ? root : nullptr;
}

}  // namespace

// ---- Sizes ------------------------------------------------------------------------

int64_t GetParamTreeSize(const ParamTreeNode* node) {
  int rc = FR_OK;
  return NodeBlockSize(node, &rc);
}

int64_t GetParamTreeBlockSize(const ParamTreeNode* node, bool withSiblings) {
  int rc = FR_OK;
  return TreeBlockSize(node, withSiblings, &rc);
}

// ---- Building -----------------------------------------------------------------------

int ConvertParamTreeNodeToTransportBlock(const ParamTreeNode* node, unsigned char* buffer,
                                         size_t bufferSize, size_t* offset) {
  if (node == nullptr || buffer == nullptr || offset == nullptr) return FR_INVALID_PARAMETER;
  int rc = FR_OK;
  int64_t size = NodeBlockSize(node, &rc);
  if (size < 0) return rc;
  if (*offset > bufferSize || static_cast<uint64_t>(size) > bufferSize - *offset) {
    return FR_INVALID_PARAMETER;
  }
  BlockWriter w{buffer, bufferSize, *offset};
  WriteNodeBlock(*node, w);
  if (!w.ok || w.offset - *offset != static_cast<size_t>(size)) return FR_NO_MEMORY;
  *offset = w.offset;
  return FR_OK;
}

int ConvertParamTreeNodeToTransportBlock(const ParamTreeNode* node, std::vector<unsigned char>& out) {
  out.clear();
  int rc = FR_OK;
  int64_t size = NodeBlockSize(node, &rc);
  if (size < 0) return rc;
  std::vector<unsigned char> block;
  if (!AllocateBlock(block, size, "ConvertParamTreeNodeToTransportBlock")) return FR_NO_MEMORY;
  size_t offset = 0;
  rc = ConvertParamTreeNodeToTransportBlock(node, block.data(), block.size(), &offset);
  if (rc != FR_OK) return rc;
  out.swap(block);
  return FR_OK;
}

int ConvertParamTreeToTransportBlock(const ParamTreeNode* node, unsigned char* buffer,
                                     size_t bufferSize, size_t* offset, bool withSiblings) {
  if (node == nullptr || buffer == nullptr || offset == nullptr) return FR_INVALID_PARAMETER;
  BlockWriter w{buffer, bufferSize, *offset};
  int rc = WriteTreeBlock(node, withSiblings, w);
  if (rc != FR_OK) return rc;
  *offset = w.offset;
  return FR_OK;
}

int ConvertParamTreeToTransportBlock(const ParamTreeNode* node, std::vector<unsigned char>& out,
                                     bool withSiblings) {
  out.clear();
  int rc = FR_OK;
  int64_t size = TreeBlockSize(node, withSiblings, &rc);
  if (size < 0) return rc;
  std::vector<unsigned char> block;
  if (!AllocateBlock(block, size, "ConvertParamTreeToTransportBlock")) return FR_NO_MEMORY;
  size_t offset = 0;
  rc = ConvertParamTreeToTransportBlock(node, block.data(), block.size(), &offset, withSiblings);
  if (rc != FR_OK) return rc;
  out.swap(block);
  return FR_OK;
}

int ConvertAppToTransportBlock(const ApplicationStruct* app, std::vector<unsigned char>& out) {
  out.clear();
  if (app == nullptr) return FR_INVALID_PARAMETER;
  const ParamTreeNode* config = SentTree(app->configRoot);
  const ParamTreeNode* perm = SentTree(app->permRoot);

  int rc = FR_OK;
  int64_t size = kAppBlockFixedBytes + static_cast<int64_t>(GetTransportStringSize(app->name));
  for (const ParamTreeNode* tree : {config, perm}) {
    if (tree == nullptr) continue;
    int64_t treeSize = TreeBlockSize(tree, true, &rc);
    if (treeSize < 0) return rc;
    size += treeSize;
    if (size > kMaxTransportBlockSize) return FR_NO_MEMORY;
  }

  std::vector<unsigned char> block;
  if (!AllocateBlock(block, size, "ConvertAppToTransportBlock")) return FR_NO_MEMORY;
  BlockWriter w{block.data(), block.size(), 0};
  w.Header(app->header);
  w.Text(app->name);
  w.Word(config != nullptr ? config->header.uid : 0);
  w.Word(perm != nullptr ? perm->header.uid : 0);
  if (!w.ok) return FR_NO_MEMORY;
  for (const ParamTreeNode* tree : {config, perm}) {
    if (tree == nullptr) continue;
    rc = WriteTreeBlock(tree, true, w);
    if (rc != FR_OK) return rc;
  }
  if (w.offset != block.size()) return FR_NO_MEMORY;
  out.swap(block);
  return FR_OK;
}

// ---- The tree request ----------------------------------------------------------------

int GetParamTreeTransportBlock(const char* envName, const char* appName, const char* path,
                               int permFlag, int withSiblings, int32_t versionWanted,
                               uint32_t /*timeStamp: not used*/, std::vector<unsigned char>& out) {
  out.clear();
  if (appName == nullptr || *appName == '\0' || versionWanted != kTransportVersion) {
    return FR_INVALID_PARAMETER;
  }
  if (envName == nullptr || *envName == '\0') envName = kLiveEnvironmentName;
  EnvironmentStruct* env = FindEnvironment(envName);
  if (env == nullptr) return FR_ENV_NOT_FOUND;
  ApplicationStruct* app = FindApplication(env, appName);
  if (app == nullptr) return FR_APP_NOT_FOUND;

  ParamTreeNode* root = permFlag != 0 ? app->permRoot : app->configRoot;
  ParamTreeNode* start = (path == nullptr || *path == '\0') ? root : FindParamNode(root, path);
  if (start == nullptr) return FR_NODE_NOT_FOUND;

  if (ConvertParamTreeToTransportBlock(start, out, withSiblings != 0) != FR_OK) {
    out.clear();
    return FR_NO_MEMORY;
  }
  return FR_OK;
}
