// Linking nodes into an application's trees, checking a path there, and the
// generic TreeNode.
// Configuration layer: the parameter trees, the model's lookups, the node
// registry, UID allocation and the log.
#include "config/param_tree_links.h"

#include <new>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"

namespace {

// The application's tree root pointer chosen by the flag.
ParamTreeNode** TreeRootOf(ApplicationStruct* app, int permFlag) {
  return permFlag != 0 ? &app->permRoot : &app->configRoot;
}

// True when `target` is `first` or one of the nodes behind it in its chain.
// A chain never holds more nodes than the registry, which bounds a corrupt one.
bool ChainHolds(ParamTreeNode* first, const ParamTreeNode* target) {
  size_t steps = GetNodeQACount() + 1;
  for (ParamTreeNode* n = first; n != nullptr && steps-- > 0; n = GetParamTreeNodeByUID(n->sibling)) {
    if (n == target) return true;
  }
  return false;
}

// The top-level node above `node` (following parent links), stopping with
// null on a loop or an unresolved parent; `through` is set when `avoid` is met.
ParamTreeNode* TopOf(ParamTreeNode* node, const ParamTreeNode* avoid, bool& through) {
  through = false;
  size_t steps = GetNodeQACount() + 1;
  while (node != nullptr && steps-- > 0) {
    if (node == avoid) through = true;
    if (node->parent == 0) return node;
    node = GetParamTreeNodeByUID(node->parent);
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<TreeNode> CreateTreeNode() {
  const UID uid = GetNewUID();
  if (uid == 0) {
    WriteLog(0, "Unable to create tree node as cannot get UID");
    return nullptr;
  }
  std::unique_ptr<TreeNode> node(new (std::nothrow) TreeNode);
  if (!node) {
    WriteLog(1, "Unable to allocate %d bytes for a new tree node", static_cast<int>(sizeof(TreeNode)));
    return nullptr;
  }
  node->uid = uid;
  return node;
}

std::unique_ptr<TreeNode> AddTreeNode(UID parentUID) {
  if (parentUID != 0) return nullptr;
  return CreateTreeNode();
}

int LinkParamTreeRoot(const char* envName, const char* appName, ParamTreeNode* node, int permFlag) {
  if (envName == nullptr || appName == nullptr || node == nullptr) return FR_INVALID_PARAMETER;
  if (GetParamTreeNodeByUID(node->header.uid) != node) return FR_INVALID_PARAMETER;
  EnvironmentStruct* env = FindEnvironment(envName);
  if (env == nullptr) return FR_ENV_NOT_FOUND;
  ApplicationStruct* app = FindApplication(env, appName);
  if (app == nullptr) return FR_APP_NOT_FOUND;
  ParamTreeNode** root = TreeRootOf(app, permFlag);

  if (node->parent == 0) {
    if (ChainHolds(*root, node)) return FR_OK;
    if (node->sibling != 0) return FR_INVALID_PARAMETER;
    node->sibling = *root != nullptr ? (*root)->header.uid : 0;
    *root = node;
    return FR_OK;
  }
  ParamTreeNode* parent = GetParamTreeNodeByUID(node->parent);
  if (parent == nullptr) return FR_NODE_NOT_FOUND;
  bool throughNode = false;
  ParamTreeNode* top = TopOf(parent, node, throughNode);
  if (throughNode) return FR_INVALID_PARAMETER;  // the parent is inside the node's subtree
  if (top == nullptr || !ChainHolds(*root, top)) return FR_NODE_NOT_FOUND;
  ParamTreeNode* first = GetParamTreeNodeByUID(parent->child);
  if (ChainHolds(first, node)) return FR_OK;
  if (node->sibling != 0) return FR_INVALID_PARAMETER;
  if (first == nullptr) {
    parent->child = node->header.uid;
    return FR_OK;
  }
  ParamTreeNode* last = first;
  size_t steps = GetNodeQACount() + 1;
  while (steps-- > 0) {
    ParamTreeNode* next = GetParamTreeNodeByUID(last->sibling);
    if (next == nullptr) break;
    last = next;
  }
  last->sibling = node->header.uid;
  return FR_OK;
}

const char* CheckParamPath(const char* envName, const char* appName, const char* path, int permFlag) {
  if (appName == nullptr || appName[0] == '\0' || path == nullptr || path[0] == '\0') return nullptr;
  EnvironmentStruct* env = FindEnvironment(envName != nullptr && envName[0] != '\0' ? envName : kLiveEnvironmentName);
  if (env == nullptr) return nullptr;
  ApplicationStruct* app = FindApplication(env, appName);
  if (app == nullptr) return nullptr;
  return FindParamNode(*TreeRootOf(app, permFlag), path) != nullptr ? path : nullptr;
}
