// Tests of the interned node names (XMLName): sharing of one entry per text,
// reference counts through copies, moves and reassignment, entries leaving
// the table at their last reference (also when nodes hold the names), reuse
// of a name after that, and the table staying whole through growth and many
// removals.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/xml/xml_name.h"
#include "foundation/xml/xml_tree.h"

namespace {

TEST(XmlNameTest, EmptyNameHasNoEntry) {
  const size_t entries = XMLNameTableSize();
  XMLName none;
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.size(), 0u);
  EXPECT_STREQ(none.c_str(), "");
  EXPECT_EQ(none, "");
  XMLName fromEmpty("");
  EXPECT_TRUE(fromEmpty.empty());
  EXPECT_EQ(fromEmpty, none);
  fromEmpty = "NameTestEmptyThenSet";
  fromEmpty = std::string();
  EXPECT_TRUE(fromEmpty.empty());
  const char* null = nullptr;  // a null text is the empty name
  XMLName fromNull(null);
  EXPECT_TRUE(fromNull.empty());
  EXPECT_EQ(fromNull, null);
  fromEmpty = "NameTestEmptyThenSet";
  fromEmpty = null;
  EXPECT_TRUE(fromEmpty.empty());
  EXPECT_EQ(XMLNameReferenceCount(""), 0u);
  EXPECT_EQ(XMLNameReferenceCount("NameTestEmptyThenSet"), 0u);
  EXPECT_EQ(XMLNameTableSize(), entries);
}

TEST(XmlNameTest, EqualTextsShareOneEntry) {
  XMLName a("NameTestShared");
  XMLName b(std::string("NameTestShared"));
  XMLName c;
  c = std::string_view("NameTestSharedLonger").substr(0, 14);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
  EXPECT_EQ(a.c_str(), b.c_str());  // one text for all three
  EXPECT_EQ(XMLNameReferenceCount("NameTestShared"), 3u);

  // Case and every byte count: these are other names.
  XMLName upper("NAMETESTSHARED");
  XMLName withNul(std::string_view("NameTestShared\0x", 16));
  EXPECT_FALSE(a == upper);
  EXPECT_FALSE(a == withNul);
  EXPECT_EQ(withNul.size(), 16u);
  EXPECT_EQ(std::string_view(withNul), std::string_view("NameTestShared\0x", 16));
  EXPECT_EQ(XMLNameReferenceCount("NameTestShared"), 3u);
  EXPECT_EQ(XMLNameReferenceCount("NAMETESTSHARED"), 1u);

  // Comparisons with texts, both ways round.
  EXPECT_EQ(a, "NameTestShared");
  EXPECT_EQ(a, std::string("NameTestShared"));
  EXPECT_EQ(a, std::string_view("NameTestShared"));
  EXPECT_TRUE("NameTestShared" == a);
  EXPECT_FALSE(a == "NameTestSharedX");
  const std::string& text = a;
  EXPECT_EQ(text, "NameTestShared");
}

TEST(XmlNameTest, CountsFollowCopiesMovesAndReassignment) {
  const size_t entries = XMLNameTableSize();
  {
    XMLName a("NameTestCount");
    EXPECT_EQ(XMLNameReferenceCount("NameTestCount"), 1u);
    XMLName copy(a);
    EXPECT_EQ(XMLNameReferenceCount("NameTestCount"), 2u);
    XMLName moved(std::move(copy));
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(XMLNameReferenceCount("NameTestCount"), 2u);
    XMLName assigned("NameTestOther");
    assigned = a;  // drops its old entry, which had no other reference
    EXPECT_EQ(XMLNameReferenceCount("NameTestCount"), 3u);
    EXPECT_EQ(XMLNameReferenceCount("NameTestOther"), 0u);
    assigned = std::move(moved);
    EXPECT_EQ(XMLNameReferenceCount("NameTestCount"), 2u);

    // Self-assignment and a name's own text, with the only reference.
    XMLName alone("NameTestAlone");
    XMLName& same = alone;
    alone = same;
    alone = std::move(same);
    alone = alone.str();
    alone.assign(std::string_view(alone));
    EXPECT_EQ(alone, "NameTestAlone");
    EXPECT_EQ(XMLNameReferenceCount("NameTestAlone"), 1u);
    EXPECT_EQ(XMLNameTableSize(), entries + 2);
  }
  EXPECT_EQ(XMLNameReferenceCount("NameTestCount"), 0u);
  EXPECT_EQ(XMLNameReferenceCount("NameTestAlone"), 0u);
  EXPECT_EQ(XMLNameTableSize(), entries);
}

TEST(XmlNameTest, NodeNamesLeaveTheTableWithTheirLastNodeAndComeBack) {
  const size_t entries = XMLNameTableSize();
  XMLNodeListPtr tree(ParseXMLStringToNodeTree(
      "<NameTestRoot><NameTestItem>1</NameTestItem><NameTestItem>2</NameTestItem><NameTestOnce/></NameTestRoot>"));
  ASSERT_TRUE(tree);
  EXPECT_EQ(XMLNameReferenceCount("NameTestItem"), 2u);
  EXPECT_EQ(XMLNameReferenceCount("NameTestOnce"), 1u);
  XMLNode* copy = CopyXMLNodeTree(tree.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(XMLNameReferenceCount("NameTestItem"), 4u);
  FreeXMLNodeList(copy);
  EXPECT_EQ(XMLNameReferenceCount("NameTestItem"), 2u);

  ASSERT_EQ(DeleteXMLChildNode(tree.get(), "NameTestOnce"), 0);
  EXPECT_EQ(XMLNameReferenceCount("NameTestOnce"), 0u);  // its entry went with its only node
  XMLNode* again = AddXMLChildNode(tree.get());
  ASSERT_NE(again, nullptr);
  again->name = "NameTestOnce";
  EXPECT_EQ(XMLNameReferenceCount("NameTestOnce"), 1u);
  EXPECT_EQ(GetNodeTreeAsXMLString(tree.get()).value_or(""),
            "<NameTestRoot>\r\n<NameTestItem>1</NameTestItem>\r\n<NameTestItem>2</NameTestItem>\r\n"
            "<NameTestOnce></NameTestOnce>\r\n</NameTestRoot>\r\n");
  tree.reset();
  EXPECT_EQ(XMLNameReferenceCount("NameTestRoot"), 0u);
  EXPECT_EQ(XMLNameReferenceCount("NameTestItem"), 0u);
  EXPECT_EQ(XMLNameTableSize(), entries);
}

TEST(XmlNameTest, TableStaysWholeThroughGrowthAndRemovals) {
  // Enough names for several growths; every third one is dropped, then the
  // rest in another order, each remaining name checked after each round.
  const size_t entries = XMLNameTableSize();
  const int kNames = 5000;
  std::vector<std::unique_ptr<XMLName>> names;
  for (int i = 0; i < kNames; ++i) names.push_back(std::make_unique<XMLName>("NameTestMany" + std::to_string(i)));
  EXPECT_EQ(XMLNameTableSize(), entries + kNames);
  auto check = [&names](const char* round) {
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string text = "NameTestMany" + std::to_string(i);
      ASSERT_EQ(XMLNameReferenceCount(text), names[i] ? 1u : 0u) << round << " " << text;
      if (names[i]) {
        XMLName again(text);  // found, not made anew
        ASSERT_EQ(again, *names[i]) << round << " " << text;
      }
    }
  };
  for (int i = 0; i < kNames; i += 3) names[i].reset();
  check("every third dropped");
  for (int i = kNames - 1; i >= 0; i -= 2) names[i].reset();
  check("every second from the end dropped");
  for (auto& n : names) n.reset();
  check("all dropped");
  EXPECT_EQ(XMLNameTableSize(), entries);
}

}  // namespace
