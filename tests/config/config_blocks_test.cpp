// Tests of the configuration transport blocks against byte fixtures written by
// hand from the block tables: the node block (the 61-byte example, no value,
// no name, numeric and fixed-string values), tree blocks in pre-order with and
// without the first node's siblings, application blocks with both trees and
// with none, and the tree request's codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config_blocks.h"
#include "config/config_model.h"
#include "config/param_tree.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "model_fixture.h"
#include "support/temp_dir.h"

namespace {

using Bytes = std::vector<unsigned char>;

void ResetBlockState() {
  ResetConfigRoot();
  FreeAllParamTreeNodes();
  ResetNodeRegistry();
  ResetUIDAllocation();
}

class BlocksTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetBlockState(); }
  void TearDown() override { ResetBlockState(); }

  // A node with a fixed UID and links set by hand.
  static ParamTreeNode* Node(UID uid, const char* name, UID parent = 0) {
    ParamTreeNode* n = CreateParamTreeNode(uid);
    if (n != nullptr && name != nullptr) n->name = name;
    if (n != nullptr) n->parent = parent;
    return n;
  }
  static Bytes Block(const ParamTreeNode* n) {
    Bytes out;
    EXPECT_EQ(0, ConvertParamTreeNodeToTransportBlock(n, out));
    return out;
  }
  static Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  }
};

// ---- Node blocks -----------------------------------------------------------------

TEST_F(BlocksTest, TheSixtyOneByteNodeBlock) {
  ParamTreeNode* n = Node(7, "X", 3);
  ASSERT_NE(nullptr, n);
  ASSERT_EQ(0, SetParamStringValue(n, "ab"));  // type 0, count -1, capacity -1
  const Bytes expected = {
      0x07, 0x00, 0x00, 0x00,  // UID 7
      0x05, 0x00, 0x00, 0x00,  // kind 5
      0x00, 0x00, 0x00, 0x00,  // time
      0x00, 0x00, 0x00, 0x00,  // flags
      0x00, 0x00, 0x00, 0x00,  // spare
      0x03, 0x00, 0x00, 0x00,  // parent 3
      0x00, 0x00, 0x00, 0x00,  // sibling
      0x00, 0x00, 0x00, 0x00,  // child
      0x00, 0x00, 0x00, 0x00,  // type STRING
      0xFF, 0xFF, 0xFF, 0xFF,  // count -1
      0xFF, 0xFF, 0xFF, 0xFF,  // capacity -1
      0x02, 0x00, 0x00, 0x00, 0x58, 0x00,  // name "X"
      0x07, 0x00, 0x00, 0x00,              // dataSize 7
      0x03, 0x00, 0x00, 0x00, 0x61, 0x62, 0x00,  // "ab"
  };
  ASSERT_EQ(61u, expected.size());
  EXPECT_EQ(61, GetParamTreeSize(n));
  EXPECT_EQ(expected, Block(n));
}

TEST_F(BlocksTest, NodeBlockValueTable) {
  struct Case {
    const char* id;
    void (*make)(ParamTreeNode*);
    Bytes tail;  // from the type word on
  };
  const Case cases[] = {
      {"no value", [](ParamTreeNode*) {},
       {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 2, 0, 0, 0, 'X', 0, 0, 0, 0, 0}},
      {"integer -5", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_INTEGER, static_cast<uint32_t>(-5)); },
       {2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 'X', 0, 4, 0, 0, 0, 0xFB, 0xFF,
        0xFF, 0xFF}},
      {"float 1.0", [](ParamTreeNode* n) { SetParamFloatValue(n, 1.0); },
       {4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 'X', 0, 8, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0xF0, 0x3F}},
      {"dword array of two",
       [](ParamTreeNode* n) {
         const unsigned char v[] = {1, 0, 0, 0, 0x78, 0x56, 0x34, 0x12};
         SetParamValueBytes(n, PARAM_TYPE_DWORD, 2, v, sizeof v);
       },
       {3, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 'X', 0, 8, 0, 0, 0, 1, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}},
      {"fixed string", [](ParamTreeNode* n) { SetParamFixedStringValue(n, 8, "hi"); },
       {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 'X', 0, 11, 0, 0, 0, 8, 0, 0, 0, 3,
        0, 0, 0, 'h', 'i', 0}},
      {"count 0 counts as no value",
       [](ParamTreeNode* n) {
         SetParamWordValue(n, PARAM_TYPE_DATE, 9);
         n->count = 0;
         n->capacity = 0;
       },
       {5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 'X', 0, 0, 0, 0, 0}},
      {"unknown type carries nothing",
       [](ParamTreeNode* n) {
         n->type = 12;
         n->data.emplace();
       },
       {12, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 2, 0, 0, 0, 'X', 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ParamTreeNode* n = Node(9, "X");
    ASSERT_NE(nullptr, n);
    c.make(n);
    Bytes expected = {9, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(static_cast<int64_t>(expected.size()), GetParamTreeSize(n));
    EXPECT_EQ(expected, Block(n));
    DeleteParamTreeNode(n, true, false);
  }
}

TEST_F(BlocksTest, ANodeWithoutANameOrValueIsFiftyTwoBytes) {
  ParamTreeNode* n = CreateParamTreeNode(4);
  ASSERT_NE(nullptr, n);
  Bytes out = Block(n);
  ASSERT_EQ(52u, out.size());
  EXPECT_EQ(Bytes({0, 0, 0, 0, 0, 0, 0, 0}), Bytes(out.begin() + 44, out.end()));  // name L 0, dataSize 0
}

TEST_F(BlocksTest, RefusedNodes) {
  ParamTreeNode* complex = Node(5, "C");
  complex->type = PARAM_TYPE_COMPLEX;
  complex->data.emplace();
  Bytes out = {1};
  EXPECT_EQ(-1, GetParamTreeSize(complex));
  EXPECT_EQ(22, ConvertParamTreeNodeToTransportBlock(complex, out));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(-1, GetParamTreeSize(nullptr));
  EXPECT_EQ(2, ConvertParamTreeNodeToTransportBlock(nullptr, out));

  // Fewer elements than the count says: refused, never read past.
  ParamTreeNode* shortArray = Node(6, "S");
  SetParamWordValue(shortArray, PARAM_TYPE_INTEGER, 1);
  shortArray->count = 3;
  EXPECT_EQ(-1, GetParamTreeSize(shortArray));

  // Into a caller's buffer: the offset moves past the block; no room: 2.
  ParamTreeNode* n = Node(7, "X", 3);
  SetParamStringValue(n, "ab");
  unsigned char buffer[70] = {};
  size_t offset = 5;
  EXPECT_EQ(0, ConvertParamTreeNodeToTransportBlock(n, buffer, sizeof buffer, &offset));
  EXPECT_EQ(66u, offset);
  offset = 10;
  EXPECT_EQ(2, ConvertParamTreeNodeToTransportBlock(n, buffer, sizeof buffer, &offset));
  EXPECT_EQ(10u, offset);
}

// ---- Tree blocks ---------------------------------------------------------------------

// P (-> C1 (-> G), C2) followed by its sibling Q.
class TreeBlocksTest : public BlocksTest {
 protected:
  ParamTreeNode *p = nullptr, *c1 = nullptr, *g = nullptr, *c2 = nullptr, *q = nullptr;
  void SetUp() override {
    BlocksTest::SetUp();
    p = AddParamTreeNode(0, "P", 0);
    q = AddParamTreeNode(0, "Q", 0);
    p->sibling = q->header.uid;
    c1 = AddParamTreeNode(p->header.uid, "C1", 0);
    g = AddParamTreeNode(c1->header.uid, "G", 0);
    c2 = AddParamTreeNode(p->header.uid, "C2", 0);
    SetParamStringValue(g, "leaf");
    SetParamStringValue(q, "q");
  }
};

TEST_F(TreeBlocksTest, PreOrderWithAndWithoutTheFirstNodesSiblings) {
  Bytes without;
  ASSERT_EQ(0, ConvertParamTreeToTransportBlock(p, without, false));
  EXPECT_EQ(Concat({Block(p), Block(c1), Block(g), Block(c2)}), without);
  EXPECT_EQ(static_cast<int64_t>(without.size()), GetParamTreeBlockSize(p, false));

  Bytes with;
  ASSERT_EQ(0, ConvertParamTreeToTransportBlock(p, with, true));
  EXPECT_EQ(Concat({Block(p), Block(c1), Block(g), Block(c2), Block(q)}), with);
  EXPECT_EQ(static_cast<int64_t>(with.size()), GetParamTreeBlockSize(p, true));

  // An inner chain always carries its siblings.
  Bytes inner;
  ASSERT_EQ(0, ConvertParamTreeToTransportBlock(c1, inner, false));
  EXPECT_EQ(Concat({Block(c1), Block(g)}), inner);
}

TEST_F(TreeBlocksTest, ADanglingLinkOrAComplexNodeFailsTheWholeBlock) {
  c2->sibling = 99999;
  Bytes out = {1};
  EXPECT_EQ(-1, GetParamTreeBlockSize(p, false));
  EXPECT_EQ(19, ConvertParamTreeToTransportBlock(p, out, false));
  EXPECT_TRUE(out.empty());
  c2->sibling = 0;
  g->type = PARAM_TYPE_COMPLEX;
  EXPECT_EQ(22, ConvertParamTreeToTransportBlock(p, out, true));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(2, ConvertParamTreeToTransportBlock(nullptr, out, true));
}

TEST_F(TreeBlocksTest, LongChainsAndDeepNestingAreBuiltWithoutRecursion) {
  constexpr int kCount = 50000;
  UID at = g->header.uid;
  for (int i = 0; i < kCount; ++i) at = AddParamTreeNode(at, "d", 0)->header.uid;
  for (int i = 0; i < kCount; ++i) AddParamTreeNode(c2->header.uid, "w", 0);
  // Nodes named "d"/"w" without a value: 48 + 4 + 2 bytes each.
  int64_t base = static_cast<int64_t>(Concat({Block(p), Block(c1), Block(g), Block(c2), Block(q)}).size());
  ApplicationStruct app;
  app.name = "A";
  app.configRoot = p;
  RunOnSmallStack([&] {
    EXPECT_EQ(base + 2 * kCount * 54, GetParamTreeBlockSize(p, true));
    Bytes out;
    ASSERT_EQ(0, ConvertParamTreeToTransportBlock(p, out, true));
    EXPECT_EQ(base + 2 * kCount * 54, static_cast<int64_t>(out.size()));
    ASSERT_EQ(0, ConvertAppToTransportBlock(&app, out));
    EXPECT_EQ(28 + 6 + base + 2 * kCount * 54, static_cast<int64_t>(out.size()));
  });
  app.configRoot = nullptr;
}

// ---- Application blocks -----------------------------------------------------------------

TEST_F(BlocksTest, ApplicationBlockWithBothTrees) {
  ApplicationStruct app;
  app.name = "Ap";
  app.header.timeStamp = 0x01020304;
  ParamTreeNode* config = Node(10, "C");
  SetParamStringValue(config, "v");
  ParamTreeNode* perm = Node(11, "P");
  app.configRoot = config;
  app.permRoot = perm;
  const Bytes expected = {
      0, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0, 0,  // header
      3, 0, 0, 0, 'A', 'p', 0,                                                // name
      10, 0, 0, 0,                                                            // configUID
      11, 0, 0, 0,                                                            // permUID
      // configuration node C = "v"
      10, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,               // parent sibling child type
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,               // count capacity
      2, 0, 0, 0, 'C', 0, 6, 0, 0, 0, 2, 0, 0, 0, 'v', 0,           // name, dataSize, value
      // permission node P without a value (a new node's capacity is 0)
      11, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,               //
      0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0,                           //
      2, 0, 0, 0, 'P', 0, 0, 0, 0, 0,                               //
  };
  ASSERT_EQ(149u, expected.size());
  Bytes out;
  ASSERT_EQ(0, ConvertAppToTransportBlock(&app, out));
  EXPECT_EQ(expected, out);
  app.configRoot = app.permRoot = nullptr;
}

TEST_F(BlocksTest, ApplicationBlockWithNoTrees) {
  ApplicationStruct app;
  app.name = "Ap";
  const Bytes expected = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                          3, 0, 0, 0, 'A', 'p', 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Bytes out;
  ASSERT_EQ(0, ConvertAppToTransportBlock(&app, out));
  EXPECT_EQ(expected, out);
  EXPECT_EQ(20u + 4 + 2 + 1 + 8, out.size());
  EXPECT_EQ(2, ConvertAppToTransportBlock(nullptr, out));
  EXPECT_TRUE(out.empty());
}

TEST_F(BlocksTest, ApplicationBlockCarriesWholeTopLevelChains) {
  ApplicationStruct app;
  app.name = "A";
  ParamTreeNode* first = Node(20, "F");
  ParamTreeNode* second = Node(21, "S");
  first->sibling = 21;
  ParamTreeNode* child = AddParamTreeNode(21, "K", 22);
  app.configRoot = first;
  Bytes out;
  ASSERT_EQ(0, ConvertAppToTransportBlock(&app, out));
  Bytes head = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                2, 0, 0, 0, 'A', 0, 20, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Concat({head, Block(first), Block(second), Block(child)}), out);
  second->child = 777;  // a dangling link fails the block
  EXPECT_EQ(19, ConvertAppToTransportBlock(&app, out));
  EXPECT_TRUE(out.empty());
  app.configRoot = nullptr;
}

// ---- The tree request ------------------------------------------------------------------------

class TreeRequestTest : public BlocksTest {
 protected:
  TempDir home;
  UID authUID = 0, guestUID = 0;
  void SetUp() override {
    BlocksTest::SetUp();
    ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
    EnvironmentStruct* live = CreateEnvironment(GetConfigRoot(), "Live", 0);
    ASSERT_NE(nullptr, live);
    ASSERT_NE(nullptr, CreateEnvironment(GetConfigRoot(), "Test", 0));
    ASSERT_NE(nullptr, AddApplication(live, "Empty"));
    ApplicationStruct* app = AddApplication(live, "Torvane");
    ASSERT_NE(nullptr, app);
    ParamTreeNode* auth = AddParamTreeNode(0, "Authentication", 0);
    ParamTreeNode* guest = AddParamTreeNode(auth->header.uid, "AllowGuestLogin", 0);
    SetParamStringValue(guest, "0");
    authUID = auth->header.uid;
    guestUID = guest->header.uid;
    app->configRoot = auth;
    app->permRoot = AddParamTreeNode(0, "Perm", 0);
  }
  static int Request(const char* env, const char* app, const char* path, int perm, int32_t version, Bytes& out) {
    return GetParamTreeTransportBlock(env, app, path, perm, 0, version, 0, out);
  }
};

TEST_F(TreeRequestTest, CodeTable) {
  struct Case {
    const char* id;
    const char* env;
    const char* app;
    const char* path;
    int perm;
    int32_t version;
    int code;
  };
  const Case cases[] = {
      {"whole configuration tree", "Live", "Torvane", nullptr, 0, 1, 0},
      {"null environment is Live", nullptr, "torvane", "", 0, 1, 0},
      {"empty environment is Live", "", "Torvane", "authentication\\allowguestlogin", 0, 1, 0},
      {"permission tree", "Live", "Torvane", "Perm", 1, 1, 0},
      {"null application", "Live", nullptr, nullptr, 0, 1, 2},
      {"empty application", "Live", "", nullptr, 0, 1, 2},
      {"version 2", "Live", "Torvane", nullptr, 0, 2, 2},
      {"no such environment", "Nope", "Torvane", nullptr, 0, 1, 17},
      {"no such application", "Test", "Torvane", nullptr, 0, 1, 18},
      {"empty tree", "Live", "Empty", nullptr, 0, 1, 19},
      {"no such path", "Live", "Torvane", "Authentication\\Nope", 0, 1, 19},
      {"path in the other tree", "Live", "Torvane", "Perm", 0, 1, 19},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    Bytes out = {1};
    EXPECT_EQ(c.code, Request(c.env, c.app, c.path, c.perm, c.version, out));
    EXPECT_EQ(c.code == 0, !out.empty());
  }
}

TEST_F(TreeRequestTest, TheBlockIsTheTreeFromTheNodeFound) {
  Bytes out;
  ASSERT_EQ(0, Request("Live", "Torvane", "Authentication", 0, 1, out));
  EXPECT_EQ(Concat({Block(GetParamTreeNodeByUID(authUID)), Block(GetParamTreeNodeByUID(guestUID))}), out);
  ASSERT_EQ(0, Request("Live", "Torvane", "Authentication\\AllowGuestLogin", 0, 1, out));
  EXPECT_EQ(Block(GetParamTreeNodeByUID(guestUID)), out);
}

TEST_F(TreeRequestTest, ABlockThatCannotBeBuiltGivesOne) {
  GetParamTreeNodeByUID(guestUID)->sibling = 123456;  // dangling
  Bytes out = {1};
  EXPECT_EQ(1, Request("Live", "Torvane", nullptr, 0, 1, out));
  EXPECT_TRUE(out.empty());
}

}  // namespace
