// Tests of the group transport block against bytes written out by hand: the
// encoder's exact layout, the decoder's result, and its refusal of every
// block that does not hold what it announces.
#include "directory/group_blocks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/result_codes.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Group Staff, no description, members alice and bob; UID 0x11223344, kind 7,
// time stamp 0x01020304, flags 0x80000001, spare 0.
const Bytes kStaffBlock = {
    0x44, 0x33, 0x22, 0x11,  // UID
    0x07, 0x00, 0x00, 0x00,  // kind
    0x04, 0x03, 0x02, 0x01,  // time stamp
    0x01, 0x00, 0x00, 0x80,  // flags
    0x00, 0x00, 0x00, 0x00,  // spare
    0x02, 0x00, 0x00, 0x00,  // M
    0x06, 0x00, 0x00, 0x00, 'S', 't', 'a', 'f', 'f', 0x00,  // name
    0x00, 0x00, 0x00, 0x00,                                 // no description
    0x06, 0x00, 0x00, 0x00, 'a', 'l', 'i', 'c', 'e', 0x00,  // member
    0x04, 0x00, 0x00, 0x00, 'b', 'o', 'b', 0x00,            // member
};

// A header of UID 5, kind 7, followed by `rest`.
Bytes Block(const Bytes& rest) {
  Bytes b(20 + rest.size(), 0);
  b[0] = 5;
  b[4] = 7;
  for (size_t i = 0; i < rest.size(); ++i) b[20 + i] = rest[i];
  return b;
}

// A record with contents, to see whether a decoder left it untouched or cleared it.
GroupStruct Decoy() {
  GroupStruct g;
  g.header.uid = 999;
  g.name = "decoy";
  g.members = {"x"};
  return g;
}

bool IsClear(const GroupStruct& g) {
  return g.header.uid == 0 && g.header.kind == 0 && g.header.timeStamp == 0 && g.header.flags == 0 &&
         !g.name && !g.description && g.members.empty();
}

int Decode(const Bytes& b, GroupStruct* g, uint32_t version = 1) {
  return ConvertTransportBlockToGroup(b.data(), static_cast<int32_t>(b.size()), g, version);
}

TEST(GroupBlocks, EncodesTheHandWrittenLayout) {
  GroupStruct g;
  g.header = {0x11223344u, 7, 0x01020304u, 0x80000001u, 0};
  g.name = "Staff";
  g.members = {"alice", "bob"};
  Bytes block;
  ASSERT_TRUE(ConvertGroupToTransportBlock(&g, block));
  EXPECT_EQ(block.size(), 56u);
  EXPECT_EQ(block, kStaffBlock);

  g.description = "";  // present and empty: length 1 and a NUL
  ASSERT_TRUE(ConvertGroupToTransportBlock(&g, block));
  ASSERT_EQ(block.size(), 57u);
  EXPECT_EQ(Bytes(block.begin() + 34, block.begin() + 39), (Bytes{0x01, 0x00, 0x00, 0x00, 0x00}));

  EXPECT_FALSE(ConvertGroupToTransportBlock(nullptr, block));
  EXPECT_TRUE(block.empty());
}

TEST(GroupBlocks, DecodesTheHandWrittenBlock) {
  GroupStruct g = Decoy();
  ASSERT_EQ(Decode(kStaffBlock, &g), FR_OK);
  EXPECT_EQ(g.header.uid, 0x11223344u);
  EXPECT_EQ(g.header.kind, 7u);
  EXPECT_EQ(g.header.timeStamp, 0x01020304u);
  EXPECT_EQ(g.header.flags, 0x80000001u);
  EXPECT_EQ(g.name, "Staff");
  EXPECT_FALSE(g.description.has_value());
  EXPECT_EQ(g.members, (std::vector<std::string>{"alice", "bob"}));
  EXPECT_GE(g.members.capacity(), 2u);

  Bytes round;
  ASSERT_TRUE(ConvertGroupToTransportBlock(&g, round));
  EXPECT_EQ(round, kStaffBlock);
}

TEST(GroupBlocks, EveryTruncationIsRefused) {
  for (size_t n = 0; n < kStaffBlock.size(); ++n) {
    Bytes cut(kStaffBlock.begin(), kStaffBlock.begin() + static_cast<std::ptrdiff_t>(n));
    cut.reserve(n + 1);  // a valid data() even for n = 0
    GroupStruct g = Decoy();
    EXPECT_EQ(ConvertTransportBlockToGroup(cut.data(), static_cast<int32_t>(n), &g, 1), FR_INVALID_PARAMETER) << n;
    if (n < kGroupBlockMinSize) {
      EXPECT_EQ(g.name, "decoy") << n;  // refused before anything was touched
    } else {
      EXPECT_TRUE(IsClear(g)) << n;
    }
  }
}

TEST(GroupBlocks, RefusesBlocksThatDoNotHoldWhatTheyAnnounce) {
  struct Case {
    const char* id;
    Bytes block;
  } cases[] = {
      {"24 bytes with M 0: no room for two length words", Block({0, 0, 0, 0})},
      {"huge count", Block({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0})},
      {"count needs 4 bytes per member", Block({3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
      {"over-long name length", Block({0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 0, 0, 0, 0, 0})},
      {"description length past the end", Block({0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 'a', 0})},
      {"name without NUL", Block({0, 0, 0, 0, 2, 0, 0, 0, 'a', 'b', 0, 0, 0, 0})},
      {"member length word cut", Block({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0})},
      {"absent member", Block({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
      {"empty member", Block({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0})},
      {"duplicate member without regard to case",
       Block({2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 0, 3, 0, 0, 0, 'A', 'B', 0})},
      {"member not UTF-8", Block({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 'a', 0xFF, 0})},
      {"member with a line feed", Block({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 'a', '\n', 0})},
      {"description not UTF-8", Block({0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0xC3, 0x28, 0})},
      {"name with a control character", Block({0, 0, 0, 0, 3, 0, 0, 0, 'a', 0x01, 0, 0, 0, 0, 0})},
  };
  for (const Case& c : cases) {
    GroupStruct g = Decoy();
    EXPECT_EQ(Decode(c.block, &g), FR_INVALID_PARAMETER) << c.id;
    EXPECT_TRUE(IsClear(g)) << c.id;
  }
}

TEST(GroupBlocks, ArgumentsRefusedWithTheRecordUntouched) {
  GroupStruct g = Decoy();
  EXPECT_EQ(Decode(kStaffBlock, &g, 2), FR_INVALID_PARAMETER);
  EXPECT_EQ(g.name, "decoy");
  EXPECT_EQ(ConvertTransportBlockToGroup(nullptr, 56, &g, 1), FR_INVALID_PARAMETER);
  EXPECT_EQ(g.name, "decoy");
  EXPECT_EQ(ConvertTransportBlockToGroup(kStaffBlock.data(), 19, &g, 1), FR_INVALID_PARAMETER);
  EXPECT_EQ(g.name, "decoy");
  EXPECT_EQ(ConvertTransportBlockToGroup(kStaffBlock.data(), -1, &g, 1), FR_INVALID_PARAMETER);
  EXPECT_EQ(g.name, "decoy");
  EXPECT_EQ(ConvertTransportBlockToGroup(kStaffBlock.data(), 56, nullptr, 1), FR_INVALID_PARAMETER);
}

TEST(GroupBlocks, SmallestWholeBlockAndTrailingBytes) {
  GroupStruct g = Decoy();
  ASSERT_EQ(Decode(Block({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), &g), FR_OK);  // 32 bytes
  EXPECT_EQ(g.header.uid, 5u);
  EXPECT_FALSE(g.name.has_value());
  EXPECT_FALSE(g.description.has_value());
  EXPECT_TRUE(g.members.empty());

  // Bytes after the last member are not part of the group and are ignored.
  Bytes longer = kStaffBlock;
  longer.insert(longer.end(), {0xAA, 0xBB});
  ASSERT_EQ(Decode(longer, &g), FR_OK);
  EXPECT_EQ(g.members.size(), 2u);
}

}  // namespace
