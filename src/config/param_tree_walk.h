// Private to the parameter-tree modules (param_tree.cpp, config_blocks.cpp):
// the one depth-first walk over a node, its subtree and its chain, with an
// explicit stack, so that neither deep nesting nor long sibling chains use the
// call stack. Nobody else includes this header.
// Configuration layer: calls the node registry through param_tree.h.
#pragma once

#include <vector>

#include "config/param_tree.h"
#include "foundation/uid/node_registry.h"

// What a visitor's Enter says about the node it was shown.
enum class ParamWalkAction {
  Descend,   // the node is taken: its children follow, then Leave(node)
  EndChain,  // the node is not taken, nor its subtree, nor the nodes behind it in its chain
  Abort,     // the walk stops at once and gives false
};

// Walks `start` in pre-order: the node, the chain of its first child (each of
// those with its own subtree and chain), then, when `withSiblings` is set, the
// chain behind `start`. Inner chains are always followed. For every node the
// visitor's Enter is called; for every taken node Leave is called after its
// subtree. A child or sibling link that is not a registered parameter node
// calls Unresolved(uid): true ends that chain there, false aborts. More steps
// than there are registered nodes (a cycle in malformed links) aborts.
// A walk that aborts still calls Leave for every taken node (innermost
// first). Gives true when the walk ran to its end. May throw std::bad_alloc.
//
//   Visitor: ParamWalkAction Enter(const ParamTreeNode*);
//            void Leave(const ParamTreeNode*);
//            bool Unresolved(UID);
template <class Visitor>
bool WalkParamTree(const ParamTreeNode* start, bool withSiblings, Visitor& visitor) {
  struct Frame {
    const ParamTreeNode* node;
    bool followSiblings;
  };
  std::vector<Frame> open;  // taken nodes whose subtree is in progress
  const ParamTreeNode* current = start;
  bool follow = withSiblings;  // whether current's chain continues behind it
  const size_t limit = GetNodeQACount() + 1;
  size_t steps = 0;

  // A walk that stops early still leaves every taken node, innermost first,
  // so that a visitor writing open and close marks keeps them balanced.
  auto unwind = [&](const ParamTreeNode* taken) {
    if (taken != nullptr) visitor.Leave(taken);
    while (!open.empty()) {
      visitor.Leave(open.back().node);
      open.pop_back();
    }
    return false;
  };

  while (current != nullptr) {
    if (++steps > limit) return unwind(nullptr);
    ParamWalkAction action = visitor.Enter(current);
    if (action == ParamWalkAction::Abort) return unwind(nullptr);
    if (action == ParamWalkAction::Descend) {
      if (current->child != 0) {
        const ParamTreeNode* first = GetParamTreeNodeByUID(current->child);
        if (first != nullptr) {
          open.push_back({current, follow});
          current = first;
          follow = true;
          continue;
        }
        if (!visitor.Unresolved(current->child)) return unwind(current);
      }
      visitor.Leave(current);
    } else {
      follow = false;  // EndChain: nothing behind this node in its chain
    }

    // Move on: the next sibling, or climb to the nearest open node whose
    // chain goes on.
    for (;;) {
      if (follow && current->sibling != 0) {
        const ParamTreeNode* next = GetParamTreeNodeByUID(current->sibling);
        if (next != nullptr) {
          current = next;
          break;
        }
        if (!visitor.Unresolved(current->sibling)) return unwind(nullptr);
      }
      if (open.empty()) {
        current = nullptr;
        break;
      }
      Frame frame = open.back();
      open.pop_back();
      current = frame.node;
      follow = frame.followSiblings;
      visitor.Leave(current);
    }
  }
  return true;
}
