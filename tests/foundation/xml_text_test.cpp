// Tests of the compact optional node text (XMLText): absent against empty,
// the boundary between text held in place and text on the heap, embedded NUL
// bytes, copies, moves, self-assignment and assignment from its own text.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "foundation/xml/xml_text.h"

namespace {

// The text of `size` bytes "0123456789abcdef0123..." (no NUL).
std::string Digits(size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) text.push_back("0123456789abcdef"[i % 16]);
  return text;
}

// Checks that `v` holds exactly `text`, NUL-terminated, in place or on the heap.
void ExpectHolds(const XMLText& v, const std::string& text) {
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(std::string(*v), text);
  EXPECT_EQ(v->size(), text.size());
  EXPECT_EQ(v->c_str()[text.size()], '\0');
  EXPECT_EQ(v.OnHeap(), text.size() > XMLText::kInlineCapacity);
}

TEST(XmlTextTest, AbsentAndEmptyAreTwoValues) {
  XMLText absent;
  EXPECT_FALSE(absent.has_value());
  EXPECT_FALSE(absent);
  EXPECT_EQ(absent, std::nullopt);
  EXPECT_EQ(std::string(*absent), "");  // reading an absent text is safe
  EXPECT_STREQ(absent->c_str(), "");
  EXPECT_EQ(absent.value_or("none"), "none");
  EXPECT_EQ(absent.ToOptional(), std::nullopt);

  XMLText empty;
  empty = "";
  EXPECT_TRUE(empty.has_value());
  EXPECT_TRUE(empty);
  EXPECT_EQ(empty, "");
  EXPECT_FALSE(empty == std::nullopt);
  EXPECT_FALSE(empty == absent);
  EXPECT_FALSE(absent == "");
  EXPECT_EQ(empty.value_or("none"), "");
  EXPECT_EQ(empty.ToOptional(), std::optional<std::string>(""));

  // Every way of assigning keeps the two apart.
  XMLText v;
  v = std::optional<std::string>("");
  EXPECT_EQ(v, empty);
  v = std::optional<std::string>();
  EXPECT_EQ(v, absent);
  v = std::string();
  EXPECT_EQ(v, empty);
  v = std::nullopt;
  EXPECT_FALSE(v.has_value());
  v = std::string_view();
  EXPECT_EQ(v, empty);
  v = static_cast<const char*>(nullptr);  // a null text is no text
  EXPECT_FALSE(v.has_value());
  v = "x";
  v.reset();
  EXPECT_FALSE(v.has_value());
  EXPECT_EQ(XMLText(std::optional<std::string>("")), empty);
  EXPECT_EQ(XMLText(std::optional<std::string>()), absent);
  EXPECT_EQ(XMLText(std::nullopt), absent);

  // Comparisons follow std::optional's.
  EXPECT_EQ(empty, std::optional<std::string>(""));
  EXPECT_FALSE(empty == std::optional<std::string>());
  EXPECT_EQ(absent, std::optional<std::string>());
  EXPECT_FALSE(absent == std::optional<std::string>(""));
  EXPECT_EQ(absent, XMLText());
}

TEST(XmlTextTest, EveryLengthAroundTheInlineLimitHoldsItsText) {
  for (size_t size : {0, 1, 13, 14, 15, 16, 17, 31, 32, 200}) {
    SCOPED_TRACE(size);
    const std::string text = Digits(size);
    XMLText v;
    v = text;
    ExpectHolds(v, text);
    EXPECT_EQ(v, text);
    EXPECT_EQ(v, text.c_str());
    EXPECT_EQ(v, std::string_view(text));
    EXPECT_EQ(v.ToOptional(), std::optional<std::string>(text));
    EXPECT_FALSE(v == Digits(size + 1));
    if (size > 0) {
      EXPECT_FALSE(v == Digits(size - 1));
    }
    ExpectHolds(XMLText(std::string_view(text)), text);
  }
}

TEST(XmlTextTest, EmbeddedNulBytesAreKept) {
  for (size_t size : {3, 14, 15, 16, 40}) {
    SCOPED_TRACE(size);
    std::string text = Digits(size);
    text[1] = '\0';
    text[size - 1] = '\0';
    XMLText v;
    v = text;
    ExpectHolds(v, text);
    EXPECT_FALSE(v == text.c_str());  // the C text stops at the first NUL
    XMLText copy(v);
    ExpectHolds(copy, text);
    EXPECT_EQ(copy, v);
  }
}

TEST(XmlTextTest, ChangingLengthMovesBetweenInlineAndHeap) {
  // Each step from the text before: short to long, long to longer, long to
  // short, short to shorter, and back.
  XMLText v;
  for (size_t size : {5, 15, 16, 100, 15, 0, 16, 14, 200, 1}) {
    SCOPED_TRACE(size);
    const std::string text = Digits(size);
    v = text;
    ExpectHolds(v, text);
  }
}

TEST(XmlTextTest, CopiesAreDeepAndMovesEmptyTheSource) {
  for (size_t size : {0, 15, 16, 64}) {
    SCOPED_TRACE(size);
    const std::string text = Digits(size);
    XMLText original;
    original = text;

    XMLText copy(original);
    ExpectHolds(copy, text);
    if (size > 0) {
      EXPECT_NE(copy->data(), original->data());  // storage of its own
    }
    copy = "changed";
    ExpectHolds(original, text);

    XMLText assigned;
    assigned = "old text that lives on the heap";
    assigned = original;
    ExpectHolds(assigned, text);
    original = "other";
    ExpectHolds(assigned, text);
    original = text;

    const char* storage = original->data();
    XMLText moved(std::move(original));
    ExpectHolds(moved, text);
    if (size > XMLText::kInlineCapacity) {
      EXPECT_EQ(moved->data(), storage);  // the heap block moved along
    }
    EXPECT_FALSE(original.has_value());

    XMLText target;
    target = "a long text to be replaced by the move";
    target = std::move(moved);
    ExpectHolds(target, text);
    EXPECT_FALSE(moved.has_value());

    // An absent value copies and moves as absent.
    XMLText absent;
    target = absent;
    EXPECT_FALSE(target.has_value());
    target = text;
    target = std::move(absent);
    EXPECT_FALSE(target.has_value());
  }
}

TEST(XmlTextTest, SelfAssignmentAndOwnTextKeepTheValue) {
  for (size_t size : {0, 7, 15, 16, 50}) {
    SCOPED_TRACE(size);
    const std::string text = Digits(size);
    XMLText v;
    v = text;
    XMLText& same = v;
    v = same;
    ExpectHolds(v, text);
    v = std::move(same);
    ExpectHolds(v, text);
    v = *v;  // its own bytes
    ExpectHolds(v, text);
    if (size > 0) {
      v = v->substr(1);  // a part of its own bytes
      ExpectHolds(v, text.substr(1));
    }
  }
  XMLText absent;
  XMLText& alias = absent;
  absent = alias;
  EXPECT_FALSE(absent.has_value());
}

TEST(XmlTextTest, WipeZerosTheBytesAndKeepsTheLength) {
  for (size_t size : {4, 15, 16, 60}) {
    SCOPED_TRACE(size);
    XMLText v;
    v = Digits(size);
    v.Wipe();
    ExpectHolds(v, std::string(size, '\0'));
  }
  XMLText absent;
  absent.Wipe();
  EXPECT_FALSE(absent.has_value());
}

}  // namespace
