// The decoders of the transport blocks: every block the encoders make of a
// table of tree shapes decodes back to a tree that encodes to the same bytes;
// truncated, oversized and malformed blocks, and blocks whose UIDs are taken,
// are refused with nothing registered and the live tree untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "config/config_blocks.h"
#include "config/config_model.h"
#include "config/param_tree.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"

namespace {

using Bytes = std::vector<unsigned char>;

void ResetDecodeState() {
  ResetConfigRoot();
  FreeAllParamTreeNodes();
  ResetNodeRegistry();
  ResetUIDAllocation();
}

// The node appended under `parent` (0: loose) with a UID and a STRING value.
ParamTreeNode* Add(UID parent, const char* name, UID uid, const char* value = nullptr) {
  ParamTreeNode* n = AddParamTreeNode(parent, name, uid);
  if (n != nullptr && value != nullptr) {
    EXPECT_EQ(0, SetParamStringValue(n, value));
  }
  return n;
}

// Links `next` behind `n` in a top-level chain.
void Chain(ParamTreeNode* n, ParamTreeNode* next) { n->sibling = next->header.uid; }

class Decode : public ::testing::Test {
 protected:
  void SetUp() override { ResetDecodeState(); }
  void TearDown() override { ResetDecodeState(); }

  static Bytes TreeBlock(const ParamTreeNode* n, bool withSiblings) {
    Bytes out;
    EXPECT_EQ(0, ConvertParamTreeToTransportBlock(n, out, withSiblings));
    return out;
  }
};

// Shapes of trees, each built from its first top-level node.
struct Shape {
  const char* id;
  std::function<ParamTreeNode*()> build;
};

std::vector<Shape> Shapes() {
  return {
      {"single node without value", [] { return Add(0, "Lone", 0x10); }},
      {"nameless node", [] { return CreateParamTreeNode(0x10); }},
      {"siblings and children",
       [] {
         ParamTreeNode* a = Add(0, "A", 0x10, "a");
         ParamTreeNode* b = Add(0, "B", 0x11, "b");
         ParamTreeNode* c = Add(0, "C", 0x12);
         Chain(a, b);
         Chain(b, c);
         Add(0x10, "A1", 0x20, "x");
         Add(0x10, "A2", 0x21);
         Add(0x21, "A21", 0x30, "deep");
         Add(0x12, "C1", 0x22, "");
         return a;
       }},
      {"deep chain",
       [] {
         ParamTreeNode* top = Add(0, "L0", 0x100, "v");
         for (UID i = 1; i < 200; ++i) Add(0x100 + i - 1, ("L" + std::to_string(i)).c_str(), 0x100 + i, "v");
         return top;
       }},
      {"long sibling chain",
       [] {
         ParamTreeNode* first = Add(0, "S0", 0x100);
         ParamTreeNode* prev = first;
         for (UID i = 1; i < 300; ++i) {
           ParamTreeNode* n = Add(0, "S", 0x100 + i, "s");
           Chain(prev, n);
           prev = n;
         }
         return first;
       }},
      {"value shapes",
       [] {
         ParamTreeNode* root = Add(0, "Values", 0x10);
         ParamTreeNode* arr = Add(0x10, "StringArray", 0x11);
         arr->count = arr->capacity = 3;
         arr->data = ParamValue{{"one", "", "thr\xc3\xa9\x65"}, {}, {}, {}};
         ParamTreeNode* fixed = Add(0x10, "Fixed", 0x12);
         fixed->type = PARAM_TYPE_FIXED_STRING;
         fixed->count = fixed->capacity = 2;
         fixed->data = ParamValue{{}, {{8, "pad"}, {0, ""}}, {}, {}};
         EXPECT_EQ(0, SetParamFixedStringValue(Add(0x10, "FixedOne", 0x13), 12, "twelve"));
         EXPECT_EQ(0, SetParamWordValue(Add(0x10, "Int", 0x14), PARAM_TYPE_INTEGER, static_cast<uint32_t>(-5)));
         EXPECT_EQ(0, SetParamWordValue(Add(0x10, "When", 0x15), PARAM_TYPE_DATE_TIME, 86399));
         EXPECT_EQ(0, SetParamFloatValue(Add(0x10, "Float", 0x16), 0.1));
         ParamTreeNode* words = Add(0x10, "Words", 0x17);
         const uint32_t w[] = {1, 0xFFFFFFFFu, 3};
         EXPECT_EQ(0, SetParamValueBytes(words, PARAM_TYPE_DWORD, 3, w, sizeof w));
         ParamTreeNode* empty = Add(0x10, "EmptyArray", 0x18);
         empty->count = empty->capacity = 0;
         empty->data = ParamValue{};
         return root;
       }},
  };
}

TEST_F(Decode, EveryShapeRoundTrips) {
  for (const Shape& shape : Shapes()) {
    for (bool withSiblings : {true, false}) {
      ResetDecodeState();
      ParamTreeNode* root = shape.build();
      ASSERT_NE(nullptr, root) << shape.id;
      const Bytes block = TreeBlock(root, withSiblings);
      const size_t registered = GetNodeQACount();
      DeleteParamTreeNode(root, true, true);  // frees every UID of the block
      ASSERT_EQ(0u, GetNodeQACount()) << shape.id;

      size_t offset = 0;
      ParamTreeNode* back = nullptr;
      ASSERT_EQ(FR_OK, ConvertTransportBlockToParamTree(block.data(), block.size(), &offset, withSiblings, &back))
          << shape.id;
      EXPECT_EQ(block.size(), offset) << shape.id;
      // Without its chain, the first node keeps none of it.
      if (!withSiblings) {
        EXPECT_EQ(0u, back->sibling) << shape.id;
      }
      Bytes expected = block;
      if (!withSiblings) std::fill(expected.begin() + 24, expected.begin() + 28, 0);  // the cleared sibling word
      EXPECT_EQ(expected, TreeBlock(back, withSiblings)) << shape.id;
      if (withSiblings) {
        EXPECT_EQ(registered, GetNodeQACount()) << shape.id;
      }
    }
  }
}

TEST_F(Decode, ApplicationsRoundTrip) {
  for (int trees = 0; trees < 4; ++trees) {
    ResetDecodeState();
    ApplicationStruct app;
    app.name = "App.One";
    app.header.timeStamp = 0x5F000000;
    if (trees & 1) app.configRoot = Shapes()[2].build();
    if (trees & 2) {
      app.permRoot = Add(0, "P", 0x900, "perm");
      Add(0x900, "Q", 0x901, "q");
    }
    Bytes block;
    ASSERT_EQ(FR_OK, ConvertAppToTransportBlock(&app, block));
    if (trees == 0) {
      EXPECT_EQ(20u + 4 + 8 + 8, block.size());
    }
    FreeApplication(&app);
    ASSERT_EQ(0u, GetNodeQACount());

    ApplicationStruct back;
    ASSERT_EQ(FR_OK, ConvertTransportBlockToApp(block.data(), block.size(), back)) << trees;
    EXPECT_EQ("App.One", back.name);
    EXPECT_EQ(0x5F000000u, back.header.timeStamp);
    EXPECT_EQ((trees & 1) != 0, back.configRoot != nullptr);
    EXPECT_EQ((trees & 2) != 0, back.permRoot != nullptr);
    Bytes again;
    ASSERT_EQ(FR_OK, ConvertAppToTransportBlock(&back, again));
    EXPECT_EQ(block, again) << trees;
    FreeApplication(&back);
  }
}

// The 61-byte example, decoded from bytes written out by hand.
TEST_F(Decode, HandWrittenNodeBlock) {
  const Bytes block = {7, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,          // header
                       3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                      // p, s, c, type
                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,                      // count, capacity
                       2, 0, 0, 0, 'X', 0,                                                  // name
                       7, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 0};                                // value
  ASSERT_EQ(61u, block.size());
  size_t offset = 0;
  ParamTreeNode* n = nullptr;
  ASSERT_EQ(FR_OK, ConvertTransportBlockToParamTreeNode(block.data(), block.size(), &offset, &n));
  EXPECT_EQ(61u, offset);
  EXPECT_EQ(n, GetParamTreeNodeByUID(7));
  EXPECT_EQ(3u, n->parent);
  EXPECT_EQ("X", n->name.value_or(""));
  std::optional<std::string> text;
  ASSERT_EQ(0, GetParamValueAsString(n, text));
  EXPECT_EQ("ab", text.value_or("?"));
  Bytes again;
  ASSERT_EQ(0, ConvertParamTreeNodeToTransportBlock(n, again));
  EXPECT_EQ(block, again);
}

// Every cut of a block, and blocks whose sizes and counts point past the end,
// are refused and register nothing.
TEST_F(Decode, TruncatedAndOversizedBlocksRegisterNothing) {
  ApplicationStruct app;
  app.name = "App";
  app.configRoot = Shapes()[5].build();
  app.permRoot = Add(0, "P", 0x900, "perm");
  Bytes appBlock, treeBlock;
  ASSERT_EQ(FR_OK, ConvertAppToTransportBlock(&app, appBlock));
  ASSERT_EQ(FR_OK, ConvertParamTreeToTransportBlock(app.configRoot, treeBlock, true));
  FreeApplication(&app);
  ASSERT_EQ(0u, GetNodeQACount());

  for (size_t cut = 0; cut < treeBlock.size(); ++cut) {
    size_t offset = 0;
    ParamTreeNode* n = reinterpret_cast<ParamTreeNode*>(1);
    ASSERT_NE(FR_OK, ConvertTransportBlockToParamTree(treeBlock.data(), cut, &offset, true, &n)) << cut;
    ASSERT_EQ(nullptr, n);
    ASSERT_EQ(0u, offset);
    ASSERT_EQ(0u, GetNodeQACount()) << cut;
  }
  for (size_t cut = 0; cut < appBlock.size(); ++cut) {
    ApplicationStruct back;
    ASSERT_NE(FR_OK, ConvertTransportBlockToApp(appBlock.data(), cut, back)) << cut;
    ASSERT_EQ(nullptr, back.configRoot);
    ASSERT_EQ(0u, GetNodeQACount()) << cut;
  }
  Bytes longer = appBlock;
  longer.push_back(0);
  ApplicationStruct back;
  EXPECT_EQ(FR_INVALID_PARAMETER, ConvertTransportBlockToApp(longer.data(), longer.size(), back));
  EXPECT_EQ(0u, GetNodeQACount());
}

// Hand-shaped single node blocks: each field that lies is refused.
TEST_F(Decode, MalformedNodeBlocks) {
  auto word = [](Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  ParamTreeNode* n = Add(0, "N", 0x10, "value");
  Bytes good;
  ASSERT_EQ(0, ConvertParamTreeNodeToTransportBlock(n, good));
  ParamTreeNode* w = Add(0, "W", 0x11);
  ASSERT_EQ(0, SetParamWordValue(w, PARAM_TYPE_INTEGER, 9));
  Bytes words;
  ASSERT_EQ(0, ConvertParamTreeNodeToTransportBlock(w, words));
  DeleteParamTreeNode(n, true, false);
  DeleteParamTreeNode(w, true, false);
  // good: header 0..19, p s c type count cap 20..43, name len 44 "N\0" 48..49, dataSize 50, value 54..
  struct Case {
    const char* id;
    Bytes block;
    int rc;
  } cases[] = {
      {"uid 0", good, FR_INVALID_PARAMETER},
      {"kind 6", good, FR_INVALID_PARAMETER},
      {"type 9", good, FR_INVALID_PARAMETER},
      {"complex", good, FR_TYPE_NOT_TEXT},
      {"count -2", good, FR_INVALID_PARAMETER},
      {"huge count", good, FR_INVALID_PARAMETER},
      {"name past end", good, FR_INVALID_PARAMETER},
      {"name not XML", good, FR_INVALID_PARAMETER},
      {"dataSize past end", good, FR_INVALID_PARAMETER},
      {"dataSize short of value", good, FR_INVALID_PARAMETER},
      {"string not UTF-8", good, FR_INVALID_PARAMETER},
      {"word value too long", words, FR_INVALID_PARAMETER},
      {"value bytes with count 0", good, FR_INVALID_PARAMETER},
  };
  word(cases[0].block, 0, 0);
  word(cases[1].block, 4, 6);
  word(cases[2].block, 32, 9);
  word(cases[3].block, 32, PARAM_TYPE_COMPLEX);
  word(cases[4].block, 36, static_cast<uint32_t>(-2));
  word(cases[5].block, 36, 0x7FFFFFFF);
  word(cases[6].block, 44, 0xFFFFFFF0u);
  cases[7].block[48] = '1';
  word(cases[8].block, 50, 1000);
  word(cases[9].block, 50, 5);
  cases[10].block[58] = 0xFF;
  word(cases[11].block, 50, 8);
  cases[11].block.insert(cases[11].block.end(), {0, 0, 0, 0});
  word(cases[12].block, 36, 0);
  for (const Case& c : cases) {
    size_t offset = 0;
    ParamTreeNode* out = nullptr;
    EXPECT_EQ(c.rc, ConvertTransportBlockToParamTreeNode(c.block.data(), c.block.size(), &offset, &out)) << c.id;
    EXPECT_EQ(nullptr, out) << c.id;
    EXPECT_EQ(0u, GetNodeQACount()) << c.id;
  }
  size_t offset = 0;
  ParamTreeNode* out = nullptr;
  ASSERT_EQ(FR_OK, ConvertTransportBlockToParamTreeNode(good.data(), good.size(), &offset, &out));
  EXPECT_EQ(FR_INVALID_PARAMETER, ConvertTransportBlockToParamTreeNode(nullptr, 5, &offset, &out));
}

// A block naming a UID that is registered is refused with 8: nothing of the
// live tree is replaced, freed or relinked.
TEST_F(Decode, RegisteredUIDIsRefusedAndLiveTreeKept) {
  ParamTreeNode* live = Shapes()[2].build();
  const Bytes block = TreeBlock(live, true);
  const size_t registered = GetNodeQACount();
  size_t offset = 0;
  ParamTreeNode* out = nullptr;
  testing::internal::CaptureStderr();
  EXPECT_EQ(FR_UID_MISMATCH, ConvertTransportBlockToParamTree(block.data(), block.size(), &offset, true, &out));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("Unable to add node to node QA array"));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0u, offset);
  EXPECT_EQ(registered, GetNodeQACount());
  EXPECT_EQ(live, GetParamTreeNodeByUID(0x10));
  EXPECT_EQ(block, TreeBlock(live, true));
  EXPECT_EQ(FR_UID_MISMATCH, ConvertTransportBlockToParamTreeNode(block.data(), block.size(), &offset, &out));
  ApplicationStruct app;
  app.name = "App";
  app.configRoot = live;
  Bytes appBlock;
  ASSERT_EQ(FR_OK, ConvertAppToTransportBlock(&app, appBlock));
  ApplicationStruct back;
  EXPECT_EQ(FR_UID_MISMATCH, ConvertTransportBlockToApp(appBlock.data(), appBlock.size(), back));
  EXPECT_EQ(block, TreeBlock(live, true));

  // Only the last node is taken: everything before it stays unregistered too.
  ResetDecodeState();
  ParamTreeNode* again = Shapes()[2].build();
  const Bytes whole = TreeBlock(again, true);
  DeleteParamTreeNode(again, true, true);
  Add(0, "Other", 0x22);  // the UID of the last node of the block
  EXPECT_EQ(FR_UID_MISMATCH, ConvertTransportBlockToParamTree(whole.data(), whole.size(), &offset, true, &out));
  EXPECT_EQ(1u, GetNodeQACount());
}

// Links that the block does not follow, and a UID given twice, are refused.
TEST_F(Decode, BlocksMustFollowTheirLinks) {
  auto word = [](Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  ParamTreeNode* a = Add(0, "A", 0x10);
  Add(0x10, "B", 0x11);
  const Bytes block = TreeBlock(a, true);  // A, then B
  DeleteParamTreeNode(a, true, true);
  const size_t b = 54;  // B's block starts after A's 48 bytes and its name's 4 + 2
  struct Case {
    const char* id;
    size_t at;
    uint32_t value;
    int rc;
  } cases[] = {
      {"child is another node", b + 0, 0x12, FR_INVALID_PARAMETER},
      {"child names another parent", b + 20, 0x99, FR_INVALID_PARAMETER},
      {"announced sibling missing", b + 24, 0x13, FR_INVALID_PARAMETER},
      {"announced child missing", b + 28, 0x14, FR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    Bytes bad = block;
    word(bad, c.at, c.value);
    size_t offset = 0;
    ParamTreeNode* out = nullptr;
    EXPECT_EQ(c.rc, ConvertTransportBlockToParamTree(bad.data(), bad.size(), &offset, true, &out)) << c.id;
    EXPECT_EQ(0u, GetNodeQACount()) << c.id;
  }
  Bytes twice = block;
  word(twice, 28, 0x10);     // A's child is "0x10"
  word(twice, b + 0, 0x10);  // and B says it is 0x10 with parent 0x10
  word(twice, b + 20, 0x10);
  size_t offset = 0;
  ParamTreeNode* out = nullptr;
  EXPECT_EQ(FR_UID_MISMATCH, ConvertTransportBlockToParamTree(twice.data(), twice.size(), &offset, true, &out));
  EXPECT_EQ(0u, GetNodeQACount());
}

TEST_F(Decode, NestingIsBounded) {
  ParamTreeNode* top = Add(0, "L", 0x1000);
  for (UID i = 1; i < kMaxParamPathDepth + 1; ++i) Add(0x1000 + i - 1, "L", 0x1000 + i);
  const Bytes tooDeep = TreeBlock(top, false);
  DeleteParamTreeNode(GetParamTreeNodeByUID(0x1000 + kMaxParamPathDepth), true, false);
  const Bytes deepest = TreeBlock(top, false);
  DeleteParamTreeNode(top, true, true);
  size_t offset = 0;
  ParamTreeNode* out = nullptr;
  EXPECT_EQ(FR_INVALID_PARAMETER, ConvertTransportBlockToParamTree(tooDeep.data(), tooDeep.size(), &offset, false, &out));
  EXPECT_EQ(0u, GetNodeQACount());
  EXPECT_EQ(FR_OK, ConvertTransportBlockToParamTree(deepest.data(), deepest.size(), &offset, false, &out));
  EXPECT_EQ(kMaxParamPathDepth, GetNodeQACount());
}

TEST(DecodeHooks, ByteOrderHooksChangeNothing) {
  NodeHeader h{1, 2, 3, 4, 5};
  ConvertNodeHeaderByteOrder(h);
  EXPECT_EQ(1u, h.uid);
  EXPECT_EQ(5u, h.spare);
  EXPECT_EQ(0x01020304u, ConvertLongByteOrder(0x01020304u));
}

}  // namespace
