// Fuzz target: the configuration transport-block decoders over the input as a
// client's block (the first byte picks node, tree, tree with its chain, or
// application). Beside them lives a small registered tree whose UIDs a block
// may name: it must come through every input unchanged. A refused block must
// register nothing; whatever decodes must encode again, and that block must
// decode to the same bytes.
#include <cstdint>
#include <vector>

#include "config/config_blocks.h"
#include "config/config_model.h"
#include "config/param_tree.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "fuzz_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The live tree: 1 with children 2 and 3.
ParamTreeNode* BuildLiveTree() {
  ParamTreeNode* top = AddParamTreeNode(0, "Live1", 1);
  FUZZ_CHECK(top != nullptr && AddParamTreeNode(1, "Live2", 2) != nullptr &&
                 AddParamTreeNode(1, "Live3", 3) != nullptr,
             "no live tree");
  SetParamStringValue(top, "kept");
  return top;
}

Bytes TreeBytes(const ParamTreeNode* n, bool withSiblings) {
  Bytes out;
  FUZZ_CHECK(ConvertParamTreeToTransportBlock(n, out, withSiblings) == FR_OK, "tree does not encode");
  return out;
}

// Decodes `block` in `mode` into the tree (or application) and re-encodes it.
int DecodeAndEncode(int mode, const unsigned char* block, size_t size, Bytes& encoded, size_t& used,
                    ApplicationStruct& app, ParamTreeNode*& tree) {
  used = 0;
  tree = nullptr;
  int rc = FR_OK;
  switch (mode) {
    case 0:
      rc = ConvertTransportBlockToParamTreeNode(block, size, &used, &tree);
      if (rc == FR_OK) FUZZ_CHECK(ConvertParamTreeNodeToTransportBlock(tree, encoded) == FR_OK, "node does not encode");
      break;
    case 1:
    case 2:
      rc = ConvertTransportBlockToParamTree(block, size, &used, mode == 2, &tree);
      if (rc == FR_OK) encoded = TreeBytes(tree, mode == 2);
      break;
    default:
      rc = ConvertTransportBlockToApp(block, size, app);
      if (rc == FR_OK) used = size;
      if (rc == FR_OK) FUZZ_CHECK(ConvertAppToTransportBlock(&app, encoded) == FR_OK, "application does not encode");
      break;
  }
  return rc;
}

void Release(int mode, ApplicationStruct& app, ParamTreeNode* tree) {
  if (mode == 3) {
    FreeApplication(&app);
  } else if (tree != nullptr) {
    DeleteParamTreeNode(tree, true, mode == 2);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::ResetStores();
  ResetConfigRoot();
  FreeAllParamTreeNodes();
  ParamTreeNode* live = BuildLiveTree();
  const Bytes liveBefore = TreeBytes(live, true);
  const size_t registered = GetNodeQACount();
  const int mode = data[0] % 4;

  Bytes encoded;
  size_t used = 0;
  ApplicationStruct app;
  ParamTreeNode* tree = nullptr;
  int rc = DecodeAndEncode(mode, data + 1, size - 1, encoded, used, app, tree);
  FUZZ_CHECK(TreeBytes(live, true) == liveBefore, "the live tree changed (rc %d)", rc);
  if (rc != FR_OK) {
    FUZZ_CHECK(rc == FR_INVALID_PARAMETER || rc == FR_UID_MISMATCH || rc == FR_TYPE_NOT_TEXT,
               "refused block gave %d", rc);
    FUZZ_CHECK(GetNodeQACount() == registered, "a refused block registered nodes");
    FUZZ_CHECK(used == 0 && tree == nullptr && app.configRoot == nullptr && app.permRoot == nullptr,
               "a refused block gave results");
    FreeAllParamTreeNodes();
    return 0;
  }
  FUZZ_CHECK(used <= size - 1, "read past the block");
  FUZZ_CHECK(encoded.size() <= used, "block grew: %zu from %zu", encoded.size(), used);
  Release(mode, app, tree);
  FUZZ_CHECK(GetNodeQACount() == registered, "releasing the decoded nodes left %zu entries", GetNodeQACount());

  // The block the store made decodes to a tree that encodes to it again.
  Bytes again;
  ApplicationStruct app2;
  rc = DecodeAndEncode(mode, encoded.data(), encoded.size(), again, used, app2, tree);
  FUZZ_CHECK(rc == FR_OK, "re-encoded block refused with %d", rc);
  FUZZ_CHECK(used == encoded.size(), "re-encoded block not read whole");
  FUZZ_CHECK(again == encoded, "round trip of the re-encoded block differs");
  Release(mode, app2, tree);
  FreeAllParamTreeNodes();
  return 0;
}
