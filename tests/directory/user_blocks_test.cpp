// Tests of the UserTransportBlock against blocks written out byte by byte,
// and of the reader's refusals: truncations, over-long lengths, huge counts,
// missing NULs, bad texts and bad fields.
#include "directory/user_blocks.h"

#include <gtest/gtest.h>

#include <vector>

#include "directory/groups.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "support/directory_reset.h"

namespace {

using Bytes = std::vector<unsigned char>;

// bob: UID 0x10, no other strings, no fields, PASSWORD 0, ADUSER 0, LEVEL 0.
const Bytes kBobBlock = {
    0x10, 0x00, 0x00, 0x00,  //  0 UID
    0x06, 0x00, 0x00, 0x00,  //  4 kind 6
    0x00, 0x00, 0x00, 0x00,  //  8 time stamp
    0x02, 0x00, 0x00, 0x00,  // 12 flags: ADUSER and LEVEL follow
    0x00, 0x00, 0x00, 0x00,  // 16 spare
    0x00, 0x00, 0x00, 0x00,  // 20 PASSWORD
    0x00, 0x00, 0x00, 0x00,  // 24 N = 0
    0x04, 0x00, 0x00, 0x00, 'b', 'o', 'b', 0x00,  // 28 USERNAME
    0x00, 0x00, 0x00, 0x00,  // 36 FORENAME absent
    0x00, 0x00, 0x00, 0x00,  // 40 SURNAME absent
    0x00, 0x00, 0x00, 0x00,  // 44 EMAIL absent
    0x00, 0x00, 0x00, 0x00,  // 48 GROUPLIST absent
    0x00, 0x00, 0x00, 0x00,  // 52 PASSWORDV2 absent
    0x00, 0x00, 0x00, 0x00,  // 56 ADUSER
    0x00, 0x00, 0x00, 0x00,  // 60 LEVEL
};

// al: every kind of string, two fields (one value absent), ADUSER 1, LEVEL 0x8000.
const Bytes kAlBlock = {
    0x0D, 0x0C, 0x0B, 0x0A,  //   0 UID 0x0A0B0C0D
    0x06, 0x00, 0x00, 0x00,  //   4 kind 6
    0x00, 0x00, 0x00, 0x5F,  //   8 time stamp 0x5F000000
    0x03, 0x00, 0x00, 0x00,  //  12 flags 0x1 as stored, with 0x2 added
    0x00, 0x00, 0x00, 0x00,  //  16 spare
    0x78, 0x56, 0x34, 0x12,  //  20 PASSWORD 0x12345678
    0x02, 0x00, 0x00, 0x00,  //  24 N = 2
    0x03, 0x00, 0x00, 0x00, 'a', 'l', 0x00,                                      //  28 USERNAME
    0x03, 0x00, 0x00, 0x00, 'A', 'l', 0x00,                                      //  35 FORENAME
    0x00, 0x00, 0x00, 0x00,                                                      //  42 SURNAME absent
    0x04, 0x00, 0x00, 0x00, 'a', '@', 'x', 0x00,                                 //  46 EMAIL
    0x0A, 0x00, 0x00, 0x00, 'S', 't', 'a', 'f', 'f', ';', 'O', 'p', 's', 0x00,   //  54 GROUPLIST
    0x00, 0x00, 0x00, 0x00,                                                      //  68 PASSWORDV2 absent
    0x05, 0x00, 0x00, 0x00, 'D', 'e', 'p', 't', 0x00,                            //  72 field name
    0x03, 0x00, 0x00, 0x00, 'I', 'T', 0x00,                                      //  81 its value
    0x06, 0x00, 0x00, 0x00, 'P', 'h', 'o', 'n', 'e', 0x00,                       //  88 field name
    0x00, 0x00, 0x00, 0x00,                                                      //  98 value absent
    0x01, 0x00, 0x00, 0x00,                                                      // 102 ADUSER 1
    0x00, 0x80, 0x00, 0x00,                                                      // 106 LEVEL 0x8000
};

UserStruct AlRecord() {
  UserStruct al;
  al.header.uid = 0x0A0B0C0D;
  al.header.kind = NODE_KIND_USER;
  al.header.timeStamp = 0x5F000000;
  al.header.flags = 0x1;
  al.PASSWORD = 0x12345678;
  al.USERNAME = "al";
  al.FORENAME = "Al";
  al.EMAIL = "a@x";
  al.GROUPLIST = "Staff;Ops";
  al.fields.push_back(UserField{"Dept", "IT"});
  al.fields.push_back(UserField{"Phone", std::nullopt});
  al.ADUSER = 1;
  al.LEVEL = 0x8000;
  return al;
}

// A record with something in it, to see the reader clear it (or not).
UserStruct Prefilled() {
  UserStruct u;
  u.USERNAME = "stale";
  u.FORENAME = "stale";
  u.LEVEL = 7;
  u.fields.push_back(UserField{"f", "v"});
  return u;
}

bool IsEmpty(const UserStruct& u) {
  return u.header.uid == 0 && u.header.kind == 0 && u.header.flags == 0 && !u.USERNAME && !u.FORENAME &&
         !u.SURNAME && !u.EMAIL && !u.GROUPLIST && !u.PASSWORDV2 && u.PASSWORD == 0 && u.fields.empty() &&
         u.ADUSER == 0 && u.LEVEL == 0 && u.USERDATA == nullptr;
}

void SetWord(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

int Decode(const Bytes& b, UserStruct* u, size_t size, uint32_t version = 1) {
  return ConvertTransportBlockToUser(b.data(), static_cast<int32_t>(size), u, version);
}

class UserBlocksTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetAll(); }
  void TearDown() override { ResetAll(); }
  static void ResetAll() {
    ResetDirectoryState();
  }
};

// ---- Packing -------------------------------------------------------------------

TEST_F(UserBlocksTest, PacksBobByteForByteAndMarksTheStoredUser) {
  ASSERT_GE(AddUser("bob", 0x10), 0);
  UserStruct* bob = FindUser("bob");
  EXPECT_EQ(bob->header.flags & kUserBlockHasAdUserLevel, 0u);
  Bytes block;
  ASSERT_TRUE(ConvertUserToTransportBlock(bob, block));
  EXPECT_EQ(block, kBobBlock);
  EXPECT_EQ(bob->header.flags & kUserBlockHasAdUserLevel, kUserBlockHasAdUserLevel);
}

TEST_F(UserBlocksTest, PacksEveryStringFieldAndTail) {
  UserStruct al = AlRecord();
  Bytes block = {0xAA};  // replaced, not appended to
  ASSERT_TRUE(ConvertUserToTransportBlock(&al, block));
  EXPECT_EQ(block, kAlBlock);
  EXPECT_EQ(block.size(), 110u);
  EXPECT_EQ(al.header.flags, 0x3u);
}

TEST_F(UserBlocksTest, PackingNothingGivesNothing) {
  Bytes block = {1, 2};
  EXPECT_FALSE(ConvertUserToTransportBlock(nullptr, block));
  EXPECT_TRUE(block.empty());
}

// ---- Unpacking -------------------------------------------------------------------

TEST_F(UserBlocksTest, UnpacksTheHandWrittenBlocks) {
  UserStruct bob = Prefilled();
  ASSERT_EQ(Decode(kBobBlock, &bob, kBobBlock.size()), FR_OK);
  EXPECT_EQ(bob.header.uid, 0x10u);
  EXPECT_EQ(bob.header.kind, 6u);
  EXPECT_EQ(bob.header.flags, 0x2u);
  EXPECT_EQ(bob.USERNAME, "bob");
  EXPECT_FALSE(bob.FORENAME.has_value());
  EXPECT_TRUE(bob.fields.empty());
  EXPECT_EQ(bob.LEVEL, 0u);

  UserStruct al;
  ASSERT_EQ(Decode(kAlBlock, &al, kAlBlock.size()), FR_OK);
  const UserStruct want = AlRecord();
  EXPECT_EQ(al.header.uid, want.header.uid);
  EXPECT_EQ(al.header.timeStamp, want.header.timeStamp);
  EXPECT_EQ(al.header.flags, 0x3u);
  EXPECT_EQ(al.PASSWORD, want.PASSWORD);
  EXPECT_EQ(al.USERNAME, want.USERNAME);
  EXPECT_EQ(al.FORENAME, want.FORENAME);
  EXPECT_FALSE(al.SURNAME.has_value());
  EXPECT_EQ(al.EMAIL, want.EMAIL);
  EXPECT_EQ(al.GROUPLIST, want.GROUPLIST);
  EXPECT_FALSE(al.PASSWORDV2.has_value());
  ASSERT_EQ(al.fields.size(), 2u);
  EXPECT_EQ(al.fields[0].name, "Dept");
  EXPECT_EQ(al.fields[0].value, "IT");
  EXPECT_EQ(al.fields[1].name, "Phone");
  EXPECT_FALSE(al.fields[1].value.has_value());
  EXPECT_EQ(al.ADUSER, 1);
  EXPECT_EQ(al.LEVEL, 0x8000u);
  EXPECT_EQ(al.USERDATA, nullptr);
}

TEST_F(UserBlocksTest, RefusedBeforeReadingLeavesTheRecordUntouched) {
  struct Case {
    const char* id;
    const unsigned char* block;
    int32_t size;
    uint32_t version;
  };
  const Case cases[] = {
      {"version 2", kBobBlock.data(), 64, 2},
      {"version 0", kBobBlock.data(), 64, 0},
      {"size 0", kBobBlock.data(), 0, 1},
      {"negative size", kBobBlock.data(), -1, 1},
      {"no block", nullptr, 64, 1},
  };
  for (const Case& c : cases) {
    UserStruct u = Prefilled();
    EXPECT_EQ(ConvertTransportBlockToUser(c.block, c.size, &u, c.version), FR_INVALID_PARAMETER) << c.id;
    EXPECT_EQ(u.USERNAME, "stale") << c.id;
    EXPECT_EQ(u.LEVEL, 7u) << c.id;
    EXPECT_EQ(u.fields.size(), 1u) << c.id;
  }
  EXPECT_EQ(ConvertTransportBlockToUser(kBobBlock.data(), 64, nullptr, 1), FR_INVALID_PARAMETER);
}

TEST_F(UserBlocksTest, TruncationTable) {
  struct Case {
    const char* id;
    size_t size;
    int rc;
  };
  const Case cases[] = {
      {"one byte", 1, FR_INVALID_PARAMETER},
      {"inside the header", 19, FR_INVALID_PARAMETER},
      {"inside the count", 26, FR_INVALID_PARAMETER},
      {"inside a length word", 30, FR_INVALID_PARAMETER},
      {"inside a string", 33, FR_INVALID_PARAMETER},
      {"inside GROUPLIST", 60, FR_INVALID_PARAMETER},
      {"before the pairs", 72, FR_INVALID_PARAMETER},
      {"inside a field value", 85, FR_INVALID_PARAMETER},
      {"inside the last length word", 100, FR_INVALID_PARAMETER},
      {"right after the last pair", 102, FR_OK},  // the tail is optional
      {"ADUSER without LEVEL", 106, FR_INVALID_PARAMETER},
      {"inside LEVEL", 108, FR_INVALID_PARAMETER},
      {"whole", 110, FR_OK},
  };
  for (const Case& c : cases) {
    UserStruct u = Prefilled();
    EXPECT_EQ(Decode(kAlBlock, &u, c.size), c.rc) << c.id;
    if (c.rc != FR_OK) {
      EXPECT_TRUE(IsEmpty(u)) << c.id;
    } else {
      EXPECT_EQ(u.USERNAME, "al") << c.id;
      EXPECT_EQ(u.fields.size(), 2u) << c.id;
    }
  }
  // Cut right after the pairs, the flag still set: ADUSER and LEVEL stay 0.
  UserStruct u;
  ASSERT_EQ(Decode(kAlBlock, &u, 102), FR_OK);
  EXPECT_EQ(u.ADUSER, 0);
  EXPECT_EQ(u.LEVEL, 0u);
}

TEST_F(UserBlocksTest, WithoutTheFlagTheTailIsNotRead) {
  Bytes b = kAlBlock;
  SetWord(b, 12, 0x1);  // bit 0x2 clear
  UserStruct u;
  ASSERT_EQ(Decode(b, &u, 102), FR_OK);
  EXPECT_EQ(u.ADUSER, 0);
  EXPECT_EQ(u.LEVEL, 0u);
  ASSERT_EQ(Decode(b, &u, b.size()), FR_OK);  // bytes there but not announced
  EXPECT_EQ(u.ADUSER, 0);
  EXPECT_EQ(u.LEVEL, 0u);
}

TEST_F(UserBlocksTest, BadContentTable) {
  struct Case {
    const char* id;
    size_t at;       // offset of the word or byte to change
    bool word;       // a 32-bit word, else one byte
    uint32_t value;
  };
  const Case cases[] = {
      {"length past the end", 28, true, 1000},
      {"length 0xFFFFFFFF", 28, true, 0xFFFFFFFFu},
      {"length one past the end", 98, true, 13},
      {"huge count", 24, true, 0xFFFFFFFFu},
      {"count a pair too many", 24, true, 3},
      {"count that fits 8 bytes per pair but not the strings", 24, true, 10},
      {"no NUL in a string's bytes", 34, false, 'x'},
      {"latin-1 byte in a name", 32, false, 0xE9},
      {"control byte in a value", 85, false, 0x01},
      {"field with an empty name", 72, true, 1},
      {"field with an absent name", 88, true, 0},
  };
  for (const Case& c : cases) {
    Bytes b = kAlBlock;
    if (c.word) {
      SetWord(b, c.at, c.value);
    } else {
      b[c.at] = static_cast<unsigned char>(c.value);
    }
    if (std::string(c.id) == "field with an empty name") b[76] = 0;  // "\0ept\0": an empty text
    UserStruct u = Prefilled();
    EXPECT_EQ(Decode(b, &u, b.size()), FR_INVALID_PARAMETER) << c.id;
    EXPECT_TRUE(IsEmpty(u)) << c.id;
  }
}

TEST_F(UserBlocksTest, FieldsComeBackSortedAndUnique) {
  UserStruct sent;
  sent.USERNAME = "al";
  sent.fields.push_back(UserField{"zeta", "1"});
  sent.fields.push_back(UserField{"Alpha", "2"});
  Bytes block;
  ASSERT_TRUE(ConvertUserToTransportBlock(&sent, block));  // packed in the order given
  UserStruct u;
  ASSERT_EQ(Decode(block, &u, block.size()), FR_OK);
  ASSERT_EQ(u.fields.size(), 2u);
  EXPECT_EQ(u.fields[0].name, "Alpha");
  EXPECT_EQ(u.fields[1].name, "zeta");

  sent.fields[0].name = "ALPHA";  // one name twice, without regard to case
  ASSERT_TRUE(ConvertUserToTransportBlock(&sent, block));
  EXPECT_EQ(Decode(block, &u, block.size()), FR_INVALID_PARAMETER);
  EXPECT_TRUE(IsEmpty(u));
}

TEST_F(UserBlocksTest, ClientBlockUpdateKeepsTheSettingsLink) {
  ASSERT_GE(AddUser("al", 0x0A0B0C0D), 0);
  int settings = 0;
  FindUser("al")->USERDATA = reinterpret_cast<XMLNode*>(&settings);
  UserStruct fromClient;
  ASSERT_EQ(Decode(kAlBlock, &fromClient, kAlBlock.size()), FR_OK);
  ASSERT_EQ(UpdateUser(&fromClient), FR_OK);
  const UserStruct* al = FindUser("al");
  EXPECT_EQ(al->USERDATA, reinterpret_cast<XMLNode*>(&settings));
  EXPECT_EQ(al->LEVEL, 0x8000u);
  EXPECT_EQ(al->fields.size(), 2u);
  EXPECT_EQ(GetNodeByUID(0x0A0B0C0D), &al->header);
  // Freeing the client's record, which carries the same UID, keeps al registered.
  FreeUserStruct(&fromClient);
  EXPECT_EQ(GetNodeByUID(0x0A0B0C0D), &al->header);
}

}  // namespace
