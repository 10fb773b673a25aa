// Linking parameter nodes into an application's trees where their own links
// say they belong (LinkParamTreeRoot), checking a path against an
// application's tree (CheckParamPath), and the generic TreeNode, a bare UID
// record with sibling and child links.
// Configuration layer: calls the parameter trees, the model's lookups, the
// node registry, UID allocation and the log.
#pragma once

#include <memory>

#include "foundation/uid/node_header.h"

struct ParamTreeNode;

// ---- Generic tree nodes -----------------------------------------------------------

// A UID and the sibling and child links, resolved like a parameter node's.
// A TreeNode is never registered itself; its owner is the caller.
struct TreeNode {
  UID uid = 0;
  UID sibling = 0;
  UID child = 0;
};

// A new TreeNode with a new UID (GetNewUID) and no links. Null when no UID can
// be had (logged "Unable to create tree node as cannot get UID") or memory
// fails (logged "Unable to allocate %d bytes for a new tree node").
std::unique_ptr<TreeNode> CreateTreeNode();

// With parent UID 0: CreateTreeNode, linked nowhere; the caller links it.
// With a parent UID: null, and nothing is linked. The node is not registered,
// so a parameter node whose chain pointed at it would end every walk of that
// tree there (saves, transport blocks and lookups would lose what follows):
// a generic node is never appended into a parameter tree.
std::unique_ptr<TreeNode> AddTreeNode(UID parentUID);

// ---- Linking into an application's tree ------------------------------------------------

// Makes the registered parameter `node` reachable where its links say it
// belongs in envName/appName's configuration tree (the permission tree with
// `permFlag` non-zero): a node with a parent is appended to the end of the
// parent's child chain, a node without one is put at the head of the tree's
// top-level chain, in each case unless it is already in that chain. 2 for a
// null argument, a node that is not a registered parameter node, a node that
// already leads a chain of its own (its `sibling` is set: linking it would
// splice two chains) or a parent that lies inside the node's own subtree (a
// cycle); 17 no such environment; 18 no such application; 19 a parent that is
// not a registered parameter node, or one that is not in that tree; 0.
int LinkParamTreeRoot(const char* envName, const char* appName, ParamTreeNode* node, int permFlag);

// Walks the backslash-separated path along envName/appName's configuration
// tree (permission tree with `permFlag` non-zero), null or empty environment
// meaning "Live". Gives `path` itself (the text as given, unchanged) when a
// node is there; null for a null or empty application or path, a missing
// environment, application or node.
const char* CheckParamPath(const char* envName, const char* appName, const char* path, int permFlag);
