// Tests of the parameter trees: linking, deletion (links, registry, other
// records untouched), duplicate UIDs, lookups by path, value texts, the
// bytes-to-value rules, the subtree XML text, and walks over very long chains
// and very deep nesting.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "foundation/log/ring_log.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "model_fixture.h"
#include "support/pinned_time_zone.h"

namespace {

void ResetTreeState() {
  ResetConfigRoot();
  FreeAllParamTreeNodes();
  ResetNodeRegistry();
  ResetUIDAllocation();
  ClearLogLine();
}

// A tree under Root:  Root -> One, Two (-> A, B), Three
// and a registered record of another kind (a user) beside it.
class ParamTreeFixture : public ::testing::Test {
 public:  // the delete table names the UID members
  ParamTreeNode* root = nullptr;
  UID rootUID = 0, one = 0, two = 0, three = 0, a = 0, b = 0;
  // A user record: kind 6, shaped like a node so that a wrong cast would be
  // seen through its link words.
  ParamTreeNode user;

  void SetUp() override {
    ResetTreeState();
    root = AddParamTreeNode(0, "Root", 0);
    ASSERT_NE(nullptr, root);
    rootUID = root->header.uid;
    one = AddParamTreeNode(rootUID, "One", 0)->header.uid;
    two = AddParamTreeNode(rootUID, "Two", 0)->header.uid;
    three = AddParamTreeNode(rootUID, "Three", 0)->header.uid;
    a = AddParamTreeNode(two, "A", 0)->header.uid;
    b = AddParamTreeNode(two, "B", 0)->header.uid;
    user.header.uid = 5000;
    user.header.kind = NODE_KIND_USER;
    ASSERT_EQ(5000u, AddNodeToQAArray(&user.header));
  }
  void TearDown() override { ResetTreeState(); }

  static ParamTreeNode* N(UID uid) { return GetParamTreeNodeByUID(uid); }

  // The names along the chain that begins at `uid`.
  static std::string Chain(UID uid) {
    std::string s;
    for (const ParamTreeNode* n = N(uid); n != nullptr; n = N(n->sibling)) {
      s += (s.empty() ? "" : ",") + n->name.value_or("?");
    }
    return s;
  }
};

// ---- Linking -------------------------------------------------------------------

TEST_F(ParamTreeFixture, ChildrenAreAppendedInOrderWithParentLinks) {
  EXPECT_EQ("One,Two,Three", Chain(root->child));
  EXPECT_EQ("A,B", Chain(N(two)->child));
  EXPECT_EQ(rootUID, N(three)->parent);
  EXPECT_EQ(two, N(b)->parent);
  EXPECT_EQ(0u, root->parent);
  EXPECT_EQ(NODE_KIND_PARAM_NODE, root->header.kind);
  EXPECT_EQ(kParamScalarCount, root->count);
  EXPECT_FALSE(root->data.has_value());
}

TEST_F(ParamTreeFixture, DuplicateUIDLeavesTheTreeUnchanged) {
  size_t registered = GetNodeQACount();
  size_t live = GetLiveParamTreeNodeCount();
  EXPECT_EQ(nullptr, AddParamTreeNode(rootUID, "Dup", one));
  EXPECT_STREQ("Unable to create param tree node as cannot get UID or add to QA array", GetLogLine());
  EXPECT_EQ("One,Two,Three", Chain(root->child));
  EXPECT_EQ(0u, N(three)->sibling);
  EXPECT_EQ(registered, GetNodeQACount());
  EXPECT_EQ(live, GetLiveParamTreeNodeCount());
  EXPECT_EQ("One", *N(one)->name);
}

TEST_F(ParamTreeFixture, AddRefusesAMissingParentANullNameOrAUserAsParent) {
  EXPECT_EQ(nullptr, AddParamTreeNode(99999, "X", 0));
  EXPECT_EQ(nullptr, AddParamTreeNode(rootUID, nullptr, 0));
  EXPECT_EQ(nullptr, AddParamTreeNode(user.header.uid, "X", 0));
  EXPECT_EQ(0u, user.child);
  EXPECT_EQ("One,Two,Three", Chain(root->child));
}

TEST_F(ParamTreeFixture, AppendAfterDeletingTheLastChildGoesBehindTheNewLast) {
  DeleteParamTreeNode(N(three), true, false);
  ASSERT_NE(nullptr, AddParamTreeNode(rootUID, "Four", 0));
  EXPECT_EQ("One,Two,Four", Chain(root->child));
}

// ---- Deleting ------------------------------------------------------------------

TEST_F(ParamTreeFixture, DeleteTable) {
  struct Case {
    const char* id;
    UID ParamTreeFixture::*target;
    const char* rootChain;  // Root's child chain after
    std::vector<UID ParamTreeFixture::*> gone;
  };
  const Case cases[] = {
      {"first child", &ParamTreeFixture::one, "Two,Three", {&ParamTreeFixture::one}},
      {"middle child with subtree", &ParamTreeFixture::two, "One,Three",
       {&ParamTreeFixture::two, &ParamTreeFixture::a, &ParamTreeFixture::b}},
      {"last child", &ParamTreeFixture::three, "One,Two", {&ParamTreeFixture::three}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    TearDown();
    SetUp();
    size_t registered = GetNodeQACount();
    UID target = this->*c.target;
    DeleteParamTreeNode(N(target), true, false);
    EXPECT_EQ(c.rootChain, Chain(root->child));
    for (auto member : c.gone) EXPECT_EQ(0, IsUIDInNodeQA(this->*member));
    EXPECT_EQ(registered - c.gone.size(), GetNodeQACount());
    EXPECT_EQ(&user.header, GetNodeByUID(user.header.uid));  // the user stays
    EXPECT_EQ(6u - c.gone.size(), GetLiveParamTreeNodeCount());
  }
}

TEST_F(ParamTreeFixture, DeletingAWholeTreeUnregistersEveryNodeAndKeepsTheUser) {
  DeleteParamTreeNode(root, true, true);
  for (UID uid : {rootUID, one, two, three, a, b}) EXPECT_EQ(0, IsUIDInNodeQA(uid));
  EXPECT_EQ(1u, GetNodeQACount());
  EXPECT_EQ(&user.header, GetNodeByUID(5000));
  EXPECT_EQ(0u, GetLiveParamTreeNodeCount());
}

TEST_F(ParamTreeFixture, DeleteWithSiblingsTakesTheRestOfTheChain) {
  DeleteParamTreeNode(N(two), true, true);
  EXPECT_EQ("One", Chain(root->child));
  EXPECT_EQ(0u, N(one)->sibling);
  for (UID uid : {two, three, a, b}) EXPECT_EQ(0, IsUIDInNodeQA(uid));
  DeleteParamTreeNode(N(one), true, true);
  EXPECT_EQ(0u, root->child);
}

TEST_F(ParamTreeFixture, DeleteWithoutFreeingClearsTheRecord) {
  ParamTreeNode* node = N(two);
  DeleteParamTreeNode(node, false, false);
  EXPECT_EQ(0u, node->header.uid);  // the memory stays valid, cleared
  EXPECT_FALSE(node->name.has_value());
  EXPECT_EQ(0, IsUIDInNodeQA(two));
  EXPECT_EQ(0, IsUIDInNodeQA(a));
  EXPECT_EQ("One,Three", Chain(root->child));
  // Its children were freed; the kept record is still the store's and goes
  // with the test aid's final release.
  EXPECT_EQ(4u, GetLiveParamTreeNodeCount());
}

// Only the records the store made are freed: a record the caller declared
// and linked into a tree, or a copy of a store record, is cleared when its
// tree is deleted and its memory stays the caller's.
TEST_F(ParamTreeFixture, RecordsTheStoreDidNotMakeAreClearedNotFreed) {
  ParamTreeNode declared;
  declared.header = NodeHeader{6000, NODE_KIND_PARAM_NODE, 0, 0, 0};
  declared.name = "Declared";
  ASSERT_EQ(6000u, AddNodeToQAArray(&declared.header));
  declared.parent = rootUID;
  N(three)->sibling = 6000;

  ParamTreeNode copy = *N(one);  // a copy of a store record, re-registered
  copy.header.uid = 6001;
  copy.parent = rootUID;
  copy.sibling = 0;
  ASSERT_EQ(6001u, AddNodeToQAArray(&copy.header));
  declared.sibling = 6001;
  ASSERT_EQ("One,Two,Three,Declared,One", Chain(root->child));

  DeleteParamTreeNode(root, true, true);
  EXPECT_EQ(0u, GetLiveParamTreeNodeCount());
  for (const ParamTreeNode* kept : {&declared, &copy}) {
    EXPECT_EQ(0u, kept->header.uid);  // cleared, not freed
    EXPECT_FALSE(kept->name.has_value());
  }
  EXPECT_EQ(1u, GetNodeQACount());  // the user alone
}

TEST_F(ParamTreeFixture, DeleteByUIDTable) {
  EXPECT_EQ(-1, DeleteParamTreeNodeByUID(root, 0));
  EXPECT_EQ(-1, DeleteParamTreeNodeByUID(nullptr, two));
  EXPECT_EQ(-1, DeleteParamTreeNodeByUID(root, 99999));
  EXPECT_EQ(-1, DeleteParamTreeNodeByUID(root, user.header.uid));  // not a parameter node
  EXPECT_EQ(&user.header, GetNodeByUID(user.header.uid));
  EXPECT_EQ(0, DeleteParamTreeNodeByUID(root, one));
  EXPECT_EQ("Two,Three", Chain(root->child));  // siblings kept
}

TEST_F(ParamTreeFixture, ReplaceNodeLinksSkipsRecordsOfOtherKinds) {
  user.sibling = three;
  user.child = three;
  EXPECT_EQ(1u, ReplaceNodeLinks(three, 4242));
  EXPECT_EQ(4242u, N(two)->sibling);
  EXPECT_EQ(three, user.sibling);
  EXPECT_EQ(three, user.child);
}

// ---- Paths ---------------------------------------------------------------------

TEST_F(ParamTreeFixture, PathTable) {
  ParamTreeNode* empty = AddParamTreeNode(three, "", 0);  // an empty name
  ASSERT_NE(nullptr, empty);
  struct Case {
    const char* path;
    const char* found;  // name of the node found, null for none
  };
  const Case cases[] = {
      {"Root", "Root"},          {"root\\one", "One"},    {"ROOT\\TWO\\b", "B"},
      {"Root\\Two\\A\\X", nullptr},  // one level deeper than the tree
      {"Root\\One\\X", nullptr},     // a node without children
      {"Root\\\\Two", nullptr},      // doubled backslash: an empty element
      {"\\Root", nullptr},           {"Root\\Nope", nullptr},
      {"Root\\Three\\", ""},         // a trailing backslash names the empty-named node
      {"", nullptr},                 {"Roo", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ParamTreeNode* n = FindParamNode(root, c.path);
    if (c.found == nullptr) {
      EXPECT_EQ(nullptr, n);
    } else {
      ASSERT_NE(nullptr, n);
      EXPECT_EQ(c.found, *n->name);
    }
  }
  EXPECT_EQ(nullptr, FindParamNode(nullptr, "Root"));
  EXPECT_EQ(nullptr, FindParamNode(root, nullptr));
  EXPECT_EQ(b, GetParamNodeUIDByPath(rootUID, "Root\\Two\\B"));
  EXPECT_EQ(0u, GetParamNodeUIDByPath(rootUID, "Root\\Two\\C"));
}

TEST_F(ParamTreeFixture, UnresolvedLinksEndTheWalk) {
  // A child link to nowhere, a sibling link to nowhere, and a link to a user.
  N(three)->child = 77777;
  EXPECT_EQ(nullptr, FindParamNode(root, "Root\\Three\\X"));
  N(one)->sibling = 88888;
  EXPECT_EQ(nullptr, FindParamNode(root, "Root\\Two"));
  EXPECT_EQ(nullptr, FindSiblingByName(N(one), "Three"));
  N(one)->sibling = user.header.uid;
  EXPECT_EQ(nullptr, FindParamNode(root, "Root\\Two"));
  std::string xml;
  EXPECT_EQ(0, GetSubtreeXML(root, xml));
  EXPECT_EQ("<Root>\r\n<One>\r\n</One>\r\n</Root>\r\n", xml);
}

TEST_F(ParamTreeFixture, ACycleInMalformedLinksEndsEveryWalk) {
  N(three)->sibling = one;  // One, Two, Three, One, ...
  EXPECT_EQ(nullptr, FindSiblingByName(N(one), "Nope"));
  std::string xml;
  EXPECT_EQ(0, GetSubtreeXML(root, xml));
  EXPECT_EQ(xml.size(), GetSubtreeXMLSize(root, false));
  DeleteParamTreeNode(root, true, true);
  EXPECT_EQ(0u, GetLiveParamTreeNodeCount());
  EXPECT_EQ(1u, GetNodeQACount());
}

TEST_F(ParamTreeFixture, LogParamTreeEndsWithTheLastNodeAndNamesMissingOnes) {
  SetParamStringValue(N(three), "v3");
  LogParamTree(rootUID, 0);
  EXPECT_STREQ("   Node data=>v3<", GetLogLine());  // Three, one level below Root, comes last
  LogParamTree(99999, 1);
  EXPECT_STREQ("   Node uid=99999, ptr=NULL", GetLogLine());
}

TEST(ParamNames, NameAndPathRuleTable) {
  struct Case {
    std::string name;
    bool valid;
  };
  const Case cases[] = {
      {"A", true},   {"_x", true},       {"a-b_1", true},    {"Z9", true},
      {"", false},   {"1a", false},      {"-a", false},      {"a.b", false},
      {"a b", false}, {"a\\b", false},   {"\xC3\xA9", false}, {std::string(255, 'n'), true},
      {std::string(256, 'n'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 20));
    EXPECT_EQ(c.valid, IsValidParamNodeName(c.name));
  }
  EXPECT_TRUE(IsValidParamPath("Authentication\\AllowGuestLogin"));
  EXPECT_TRUE(IsValidParamPath("SchemaVersion"));
  for (const char* bad : {"", "\\A", "A\\", "A\\\\B", "A\\1B", "A.B"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(IsValidParamPath(bad));
  }
  EXPECT_FALSE(IsValidParamPath(nullptr));
  // At most 254 elements: a settings file nests its nodes two levels down and
  // its readers stop at 256.
  std::string deep = "a";
  for (size_t i = 1; i < kMaxParamPathDepth; ++i) deep += "\\a";
  EXPECT_TRUE(IsValidParamPath(deep.c_str()));
  deep += "\\a";
  EXPECT_FALSE(IsValidParamPath(deep.c_str()));
}

// ---- Values --------------------------------------------------------------------

// The time value texts are UTC: the tests run 13 hours ahead of it, so a
// local-time conversion would show.
class ParamValueTest : public ::testing::Test {
 protected:
  PinnedTimeZone zone{kZoneAheadOfUtc};
  void SetUp() override {
    ResetTreeState();
    ASSERT_EQ(13 * 3600, PinnedTimeZone::OffsetAt(0));
  }
  void TearDown() override { ResetTreeState(); }
};

TEST_F(ParamValueTest, ValueTextTable) {
  struct Case {
    const char* id;
    void (*make)(ParamTreeNode*);
    int code;
    const char* text;  // null: no text
  };
  const Case cases[] = {
      {"string", [](ParamTreeNode* n) { SetParamStringValue(n, "abc"); }, 0, "abc"},
      {"empty string", [](ParamTreeNode* n) { SetParamStringValue(n, ""); }, 0, ""},
      {"no value", [](ParamTreeNode* n) { SetParamStringValue(n, nullptr); }, 0, nullptr},
      {"block with count 0",
       [](ParamTreeNode* n) {
         SetParamStringValue(n, "x");
         n->count = 0;
       },
       0, nullptr},
      {"fixed string", [](ParamTreeNode* n) { SetParamFixedStringValue(n, 8, "fx"); }, 0, "fx"},
      {"integer -5", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_INTEGER, static_cast<uint32_t>(-5)); }, 0, "-5"},
      {"dword 255", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_DWORD, 255); }, 0, "000000FF"},
      {"float 0.1", [](ParamTreeNode* n) { SetParamFloatValue(n, 0.1); }, 0, "0.1"},
      {"float 1e20", [](ParamTreeNode* n) { SetParamFloatValue(n, 1e20); }, 0, "1E+20"},
      {"date 0", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_DATE, 0); }, 0, "01/01/1970"},
      {"time 3661", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_TIME, 3661); }, 0, "01:01:01"},
      {"date_time 86399", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_DATE_TIME, 86399); }, 0,
       "01/01/1970 23:59:59"},
      {"date_time 0x7FFFFFFF", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_DATE_TIME, 0x7FFFFFFF); },
       0, "19/01/2038 03:14:07"},
      {"date 0x80000000", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_DATE, 0x80000000u); }, 22,
       nullptr},
      {"time 0xFFFFFFFF", [](ParamTreeNode* n) { SetParamWordValue(n, PARAM_TYPE_TIME, 0xFFFFFFFFu); }, 22,
       nullptr},
      {"integer array shows first",
       [](ParamTreeNode* n) {
         const unsigned char bytes[] = {7, 0, 0, 0, 8, 0, 0, 0};
         SetParamValueBytes(n, PARAM_TYPE_INTEGER, 2, bytes, sizeof bytes);
       },
       0, "7"},
      {"complex",
       [](ParamTreeNode* n) {
         n->type = PARAM_TYPE_COMPLEX;
         n->data.emplace();
       },
       22, nullptr},
      {"unknown type 9",
       [](ParamTreeNode* n) {
         n->type = 9;
         n->data.emplace();
       },
       22, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ParamTreeNode* n = AddParamTreeNode(0, "V", 0);
    ASSERT_NE(nullptr, n);
    c.make(n);
    std::optional<std::string> out = "stale";
    EXPECT_EQ(c.code, GetParamValueAsString(n, out));
    if (c.text == nullptr) {
      EXPECT_FALSE(out.has_value());
    } else {
      ASSERT_TRUE(out.has_value());
      EXPECT_EQ(c.text, *out);
    }
    DeleteParamTreeNode(n, true, false);
  }
  std::optional<std::string> out;
  EXPECT_EQ(2, GetParamValueAsString(nullptr, out));
}

TEST_F(ParamValueTest, TypeNames) {
  const char* names[] = {"STRING", "FIXED_STRING", "INTEGER", "DWORD", "FLOAT",
                         "DATE",   "TIME",         "DATE_TIME", "COMPLEX", "UNKNOWN"};
  for (uint32_t code = 0; code < 10; ++code) EXPECT_STREQ(names[code], GetParamTypeNameOfCode(code));
  EXPECT_STREQ("UNKNOWN", GetParamTypeNameOfCode(0xFFFFFFFFu));
  EXPECT_STREQ("UNKNOWN", GetParamTypeName(nullptr));
}

TEST_F(ParamValueTest, ANullTextStoresNoValueNotAnEmptyOne) {
  ParamTreeNode* n = AddParamTreeNode(0, "V", 0);
  ASSERT_EQ(0, SetParamStringValue(n, "old"));
  ASSERT_EQ(0, SetParamStringValue(n, nullptr));
  EXPECT_FALSE(n->data.has_value());
  EXPECT_EQ(kParamScalarCount, n->count);
  ASSERT_EQ(0, SetParamStringValue(n, ""));
  ASSERT_TRUE(n->data.has_value());
  EXPECT_EQ("", n->data->strings.at(0));
}

TEST_F(ParamValueTest, ValueBytesTable) {
  struct Case {
    const char* id;
    uint32_t type;
    int32_t count;
    std::string bytes;  // "<null>" for no bytes
    int code;
    const char* text;  // the value as text afterwards (code 0), null for none
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {"string scalar", PARAM_TYPE_STRING, -1, "ab\0"s, 0, "ab"},
      {"string with bytes after the NUL", PARAM_TYPE_STRING, -1, "ab\0zz"s, 0, "ab"},
      {"string with tab, LF, CR", PARAM_TYPE_STRING, -1, "a\tb\nc\r\0"s, 0, "a\tb\nc\r"},
      {"string without NUL", PARAM_TYPE_STRING, -1, "ab"s, 2, nullptr},
      {"string not UTF-8", PARAM_TYPE_STRING, -1, "\xFF\0"s, 2, nullptr},
      {"string with a control byte", PARAM_TYPE_STRING, -1, "a\x01\0"s, 2, nullptr},
      {"string array", PARAM_TYPE_STRING, 2, "a\0b\0"s, 2, nullptr},
      {"fixed string", PARAM_TYPE_FIXED_STRING, -1, "\x08\0\0\0"s, 2, nullptr},
      {"complex", PARAM_TYPE_COMPLEX, -1, "\0\0\0\0"s, 2, nullptr},
      {"type 9", 9, -1, "\0\0\0\0"s, 2, nullptr},
      {"count -2", PARAM_TYPE_INTEGER, -2, "\0\0\0\0"s, 2, nullptr},
      {"integer", PARAM_TYPE_INTEGER, -1, "\xFB\xFF\xFF\xFF"s, 0, "-5"},
      {"integer short", PARAM_TYPE_INTEGER, -1, "\xFB\xFF\xFF"s, 2, nullptr},
      {"integer array short", PARAM_TYPE_INTEGER, 2, "\1\0\0\0"s, 2, nullptr},
      {"float", PARAM_TYPE_FLOAT, -1, "\0\0\0\0\0\0\xF0\x3F"s, 0, "1"},
      {"float short", PARAM_TYPE_FLOAT, -1, "\0\0\0\0"s, 2, nullptr},
      {"no bytes", PARAM_TYPE_STRING, -1, "<null>", 0, nullptr},
      {"count 0", PARAM_TYPE_DWORD, 0, "\1\0\0\0"s, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ParamTreeNode* n = AddParamTreeNode(0, "V", 0);
    ASSERT_EQ(0, SetParamStringValue(n, "before"));
    bool none = c.bytes == "<null>";
    const void* bytes = none ? nullptr : c.bytes.data();
    size_t size = none ? 0 : c.bytes.size();
    EXPECT_EQ(c.code, CheckParamValueBytes(c.type, c.count, bytes, size));
    EXPECT_EQ(c.code, SetParamValueBytes(n, c.type, c.count, bytes, size));
    std::optional<std::string> out;
    EXPECT_EQ(0, GetParamValueAsString(n, out));
    if (c.code != 0) {
      EXPECT_EQ("before", out.value_or("<none>"));  // a refused value leaves the node as it was
    } else {
      EXPECT_EQ(c.type, n->type);
      EXPECT_EQ(c.count, n->count);
      EXPECT_EQ(c.count, n->capacity);
      EXPECT_EQ(c.text == nullptr, !out.has_value());
      if (c.text != nullptr && out) {
        EXPECT_EQ(c.text, *out);
      }
    }
    DeleteParamTreeNode(n, true, false);
  }
}

// ---- Subtree XML -----------------------------------------------------------------

TEST_F(ParamValueTest, SubtreeXMLOfTheServerListExample) {
  ParamTreeNode* list = AddParamTreeNode(0, "SERVERLIST", 0);
  UID server = AddParamTreeNode(list->header.uid, "SERVER", 0)->header.uid;
  SetParamStringValue(AddParamTreeNode(server, "HOST", 0), "h");
  SetParamStringValue(AddParamTreeNode(server, "PORT", 0), "1");
  std::string xml;
  ASSERT_EQ(0, GetSubtreeXML(list, xml));
  EXPECT_EQ(
      "<SERVERLIST>\r\n<SERVER>\r\n<HOST>h\r\n</HOST>\r\n<PORT>1\r\n</PORT>\r\n</SERVER>\r\n"
      "</SERVERLIST>\r\n",
      xml);
  EXPECT_EQ(xml.size(), GetSubtreeXMLSize(list, false));
}

TEST_F(ParamValueTest, SubtreeXMLTable) {
  ParamTreeNode* top = AddParamTreeNode(0, "T", 0);
  ParamTreeNode* sibling = AddParamTreeNode(0, "S", 0);
  top->sibling = sibling->header.uid;  // the subtree text never includes the node's own siblings
  struct Case {
    const char* id;
    void (*make)(ParamTreeNode* top);
    const char* xml;
  };
  const Case cases[] = {
      {"no value, no children", [](ParamTreeNode*) {}, "<T>\r\n</T>\r\n"},
      {"value escaped", [](ParamTreeNode* t) { SetParamStringValue(t, "a&b<c>d%s\"'"); },
       "<T>a&#038;b&#060;c&#062;d%s\"'\r\n</T>\r\n"},
      {"non-STRING node", [](ParamTreeNode* t) { SetParamWordValue(t, PARAM_TYPE_INTEGER, 1); }, ""},
      {"non-STRING child ends its chain",
       [](ParamTreeNode* t) {
         UID id = t->header.uid;
         SetParamStringValue(AddParamTreeNode(id, "C1", 0), "1");
         SetParamWordValue(AddParamTreeNode(id, "C2", 0), PARAM_TYPE_DWORD, 2);
         SetParamStringValue(AddParamTreeNode(id, "C3", 0), "3");
       },
       "<T>\r\n<C1>1\r\n</C1>\r\n</T>\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    c.make(top);
    std::string xml = "stale";
    ASSERT_EQ(0, GetSubtreeXML(top, xml));
    EXPECT_EQ(c.xml, xml);
    EXPECT_EQ(xml.size(), GetSubtreeXMLSize(top, false));
    // Reset the node for the next row.
    if (top->child != 0) DeleteParamTreeNode(GetParamTreeNodeByUID(top->child), true, true);
    SetParamStringValue(top, nullptr);
  }
  std::string xml;
  EXPECT_EQ(2, GetSubtreeXML(nullptr, xml));
  std::string both;
  WriteSubtreeXML(both, top, true);
  EXPECT_EQ("<T>\r\n</T>\r\n<S>\r\n</S>\r\n", both);
  EXPECT_EQ(both.size(), GetSubtreeXMLSize(top, true));
}

// ---- Size of trees ---------------------------------------------------------------------

// Tens of thousands of siblings and deep nesting: every walk loops instead of
// recursing, and appending stays linear.
TEST_F(ParamValueTest, LongChainsAndDeepNestingDoNotUseTheCallStack) {
  constexpr int kCount = 100000;
  ParamTreeNode* wide = AddParamTreeNode(0, "Wide", 0);
  UID wideUID = wide->header.uid;
  for (int i = 0; i < kCount; ++i) ASSERT_NE(nullptr, AddParamTreeNode(wideUID, "n", 0));
  ParamTreeNode* deep = AddParamTreeNode(0, "Deep", 0);
  UID at = deep->header.uid;
  for (int i = 0; i < kCount; ++i) at = AddParamTreeNode(at, "d", 0)->header.uid;

  ParamTreeNode* last = GetParamTreeNodeByUID(at);
  ASSERT_NE(nullptr, last);
  std::string path = "Deep";
  for (int i = 0; i < kCount; ++i) path += "\\d";

  // Every walk runs on a small stack, so that recursion fails in every build.
  RunOnSmallStack([&] {
    std::string xml;
    ASSERT_EQ(0, GetSubtreeXML(wide, xml));
    EXPECT_EQ(static_cast<size_t>(2 * 4 + 9 + kCount * (2 + 9)), xml.size());
    ASSERT_EQ(0, GetSubtreeXML(deep, xml));
    EXPECT_EQ(static_cast<size_t>(2 * 4 + 9 + kCount * (2 + 9)), xml.size());
    EXPECT_EQ(0, xml.compare(xml.size() - 9, 9, "</Deep>\r\n"));
    EXPECT_EQ(last, FindParamNode(deep, path.c_str()));
    // The whole top-level chain Wide, Deep at once, as an application's tree goes.
    wide->sibling = deep->header.uid;
    DeleteParamTreeNode(wide, true, true);
  });
  EXPECT_EQ(0u, GetLiveParamTreeNodeCount());
  EXPECT_EQ(0u, GetNodeQACount());
}

}  // namespace
