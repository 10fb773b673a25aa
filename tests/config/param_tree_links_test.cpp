// Linking nodes into an application's trees, checking paths there, sibling
// replacement and the generic tree node.
#include <gtest/gtest.h>

#include "config/param_tree_links.h"
#include "foundation/result_codes.h"
#include "model_fixture.h"

namespace {

class TreeLinks : public ModelFixture {
 protected:
  ApplicationStruct* app = nullptr;
  void SetUp() override {
    ModelFixture::SetUp();
    app = App("Live", "App");
    ParamTreeNode* a = AddParamTreeNode(0, "A", 0x10);
    ASSERT_NE(nullptr, AddParamTreeNode(0x10, "B", 0x11));
    app->configRoot = a;
  }
  // The names along a chain, from its first node.
  static std::string Chain(ParamTreeNode* n) {
    std::string out;
    for (; n != nullptr; n = GetParamTreeNodeByUID(n->sibling)) out += n->name.value_or("?");
    return out;
  }
};

TEST_F(TreeLinks, LinkPutsNodesWhereTheirLinksSay) {
  ParamTreeNode* top = AddParamTreeNode(0, "T", 0x20);
  ASSERT_EQ(FR_OK, LinkParamTreeRoot("Live", "App", top, 0));
  EXPECT_EQ(app->configRoot, top);
  EXPECT_EQ("TA", Chain(app->configRoot));
  ASSERT_EQ(FR_OK, LinkParamTreeRoot("Live", "App", top, 0));  // already there: unchanged
  EXPECT_EQ("TA", Chain(app->configRoot));

  ParamTreeNode* c = AddParamTreeNode(0, "C", 0x21);
  c->parent = 0x10;
  ASSERT_EQ(FR_OK, LinkParamTreeRoot("Live", "App", c, 0));
  EXPECT_EQ("BC", Chain(GetParamTreeNodeByUID(GetParamTreeNodeByUID(0x10)->child)));
  ASSERT_EQ(FR_OK, LinkParamTreeRoot("Live", "App", c, 0));
  EXPECT_EQ("BC", Chain(GetParamTreeNodeByUID(0x11)));

  ParamTreeNode* d = AddParamTreeNode(0, "D", 0x22);
  d->parent = 0x20;  // T has no child yet
  ASSERT_EQ(FR_OK, LinkParamTreeRoot("Live", "App", d, 0));
  EXPECT_EQ(top->child, 0x22u);

  ParamTreeNode* p = AddParamTreeNode(0, "P", 0x30);
  ASSERT_EQ(FR_OK, LinkParamTreeRoot("Live", "App", p, 1));
  EXPECT_EQ(app->permRoot, p);
  EXPECT_EQ("TA", Chain(app->configRoot));
}

TEST_F(TreeLinks, LinkRefusals) {
  ParamTreeNode* loose = AddParamTreeNode(0, "L", 0x40);
  ParamTreeNode* orphan = AddParamTreeNode(0, "O", 0x41);
  orphan->parent = 0x999;
  ParamTreeNode* elsewhere = AddParamTreeNode(0, "E", 0x42);
  elsewhere->parent = 0x40;  // parent not in the application's tree
  ParamTreeNode* spliced = AddParamTreeNode(0, "S", 0x43);
  spliced->sibling = 0x40;  // leads a chain of its own
  ParamTreeNode* a = GetParamTreeNodeByUID(0x10);
  a->parent = 0x11;  // A's parent is its own child: a cycle
  ParamTreeNode unregistered;
  struct Case {
    const char* id;
    const char* env;
    const char* app;
    ParamTreeNode* node;
    int rc;
  } cases[] = {
      {"null env", nullptr, "App", loose, FR_INVALID_PARAMETER},
      {"null app", "Live", nullptr, loose, FR_INVALID_PARAMETER},
      {"null node", "Live", "App", nullptr, FR_INVALID_PARAMETER},
      {"unregistered node", "Live", "App", &unregistered, FR_INVALID_PARAMETER},
      {"no environment", "Test", "App", loose, FR_ENV_NOT_FOUND},
      {"no application", "Live", "Other", loose, FR_APP_NOT_FOUND},
      {"parent missing", "Live", "App", orphan, FR_NODE_NOT_FOUND},
      {"parent outside the tree", "Live", "App", elsewhere, FR_NODE_NOT_FOUND},
      {"would splice chains", "Live", "App", spliced, FR_INVALID_PARAMETER},
      {"cycle", "Live", "App", a, FR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) EXPECT_EQ(c.rc, LinkParamTreeRoot(c.env, c.app, c.node, 0)) << c.id;
  a->parent = 0;
  EXPECT_EQ("A", Chain(app->configRoot));
  EXPECT_EQ(0x11u, a->child);
  EXPECT_EQ(0u, GetParamTreeNodeByUID(0x11)->sibling);
}

TEST_F(TreeLinks, CheckPathGivesThePathAsGiven) {
  const char* path = "a\\b";
  EXPECT_EQ(path, CheckParamPath(nullptr, "App", path, 0));
  EXPECT_EQ(path, CheckParamPath("", "app", path, 0));
  EXPECT_STREQ(path, "a\\b");
  EXPECT_EQ(nullptr, CheckParamPath("Live", "App", "A\\C", 0));
  EXPECT_EQ(nullptr, CheckParamPath("Live", "App", path, 1));  // empty permission tree
  EXPECT_EQ(nullptr, CheckParamPath("Test", "App", path, 0));
  EXPECT_EQ(nullptr, CheckParamPath("Live", "Nope", path, 0));
  EXPECT_EQ(nullptr, CheckParamPath("Live", "App", "", 0));
  EXPECT_EQ(nullptr, CheckParamPath("Live", nullptr, path, 0));
}

TEST_F(TreeLinks, ReplaceSiblingTouchesSiblingLinksOnly) {
  ParamTreeNode* x = AddParamTreeNode(0, "X", 0x50);
  x->sibling = 0x11;
  x->child = 0x11;
  const size_t entries = GetNodeQACount();
  EXPECT_EQ(entries, ReplaceSiblingUID(0x11, 0x77));
  EXPECT_EQ(0x77u, x->sibling);
  EXPECT_EQ(0x11u, x->child);
  EXPECT_EQ(0x11u, GetParamTreeNodeByUID(0x10)->child);
  EXPECT_EQ(entries, ReplaceSiblingUID2(0x77, 0));
  EXPECT_EQ(0u, x->sibling);
}

TEST_F(TreeLinks, GenericTreeNodes) {
  std::unique_ptr<TreeNode> a = CreateTreeNode(), b = AddTreeNode(0);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->uid, 0u);
  EXPECT_NE(a->uid, b->uid);
  EXPECT_EQ(0u, a->sibling + a->child + b->sibling + b->child);
  EXPECT_EQ(0, IsUIDInNodeQA(a->uid));  // never registered
  // Never appended into a parameter tree: its chain would end at it.
  EXPECT_EQ(nullptr, AddTreeNode(0x10));
  EXPECT_EQ(0u, GetParamTreeNodeByUID(0x11)->sibling);
}

}  // namespace
