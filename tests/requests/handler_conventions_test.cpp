// Tests of the handler conventions: argument reads and the echo rule, the raw
// block reader keeping the stream in step, the reply shapes byte for byte,
// the rights checks of the current logon slot, the time-stamp rule and the
// formatted text reply.
#include "requests/handler_conventions.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "directory/users_files.h"
#include "requests/caller_fixture.h"
#include "support/slot_fixture.h"
#include "support/socket_pair.h"

namespace {

class HandlerConventionsTest : public ::testing::Test {
 protected:
  TempDir home;
  SocketPair pair;
  void SetUp() override {
    ResetSessionState(home);
    ASSERT_GE(pair.server, 0);
  }
  void TearDown() override {
    ResetConnectionTable();
    ResetLogonSlots();
    SetFormattedReplySocket(-1);
  }
};

// ---- Reading arguments -----------------------------------------------------------------

TEST_F(HandlerConventionsTest, AbsentStringIsNoFailureAndTheNextArgumentFollows) {
  for (uint32_t lengthWord : {0u, 0xFFFFFFFFu}) {
    pair.SendWord(lengthWord);
    pair.SendSentinel();
    WireStatus status = WIRE_COMMS_FAILURE;
    EXPECT_FALSE(RecvArgString(pair.server, &status).has_value());
    EXPECT_EQ(status, WIRE_OK);
    EXPECT_FALSE(EchoRuleEnds(pair.server, status));
    EXPECT_TRUE(pair.SentinelIsNext()) << "stream out of step";
  }
  EXPECT_EQ(pair.Pending(), "") << "an absent string is not answered";
}

TEST_F(HandlerConventionsTest, FailedStringReadUnderTheEchoRule) {
  EXPECT_TRUE(EchoRuleEnds(pair.server, WIRE_NO_MEMORY));
  EXPECT_EQ(pair.Pending(), Words({1}));
  EXPECT_TRUE(EchoRuleEnds(pair.server, WIRE_COMMS_FAILURE));
  EXPECT_EQ(pair.Pending(), "");

  pair.Send(SocketPair::Word(10) + "abc");  // 10 bytes announced, 3 sent
  pair.EndClientSends();
  WireStatus status = WIRE_OK;
  EXPECT_FALSE(RecvArgString(pair.server, &status).has_value());
  EXPECT_EQ(status, WIRE_COMMS_FAILURE);
}

TEST_F(HandlerConventionsTest, IntegerRuleNeedsAllFourBytes) {
  pair.Send(SocketPair::Word(0xFFFFFFFE) + std::string("\x01\x02", 2));
  pair.EndClientSends();
  int32_t value = 0;
  EXPECT_TRUE(RecvArgInt(pair.server, &value));
  EXPECT_EQ(value, -2);
  uint32_t unsignedValue = 7;
  EXPECT_FALSE(RecvArgUInt(pair.server, &unsignedValue));
  EXPECT_EQ(unsignedValue, 0u);
}

TEST_F(HandlerConventionsTest, RawBlockTable) {
  constexpr int32_t kPlain = kMaxPlainCallerArgumentLength;
  struct Case {
    const char* id;
    CallerKind caller;
    int32_t version;
    int32_t size;
    int rc;
    bool kept;  // the block holds the bytes sent
  } cases[] = {
      {"whole block", CALLER_PLAIN, 1, 5, FR_OK, true},
      {"empty block", CALLER_PLAIN, 1, 0, FR_OK, true},
      {"wrong version drains", CALLER_PLAIN, 2, 5, FR_INVALID_VERSION, false},
      {"wrong version, negative size", CALLER_PLAIN, 2, -4, FR_INVALID_VERSION, false},
      {"negative size reads nothing", CALLER_PLAIN, 1, -1, FR_NO_MEMORY, false},
      // A caller without the administration bit sends at most 1 MiB; one
      // byte more is drained and refused, and the stream stays in step.
      {"a plain caller's largest block", CALLER_PLAIN, 1, kPlain, FR_OK, true},
      {"a plain caller's block one byte over", CALLER_PLAIN, 1, kPlain + 1, FR_NO_MEMORY, false},
      {"a guest's block one byte over", CALLER_GUEST, 1, kPlain + 1, FR_NO_MEMORY, false},
      {"an administrator's large block in pieces", CALLER_ADMIN, 1, 3 * kPlain / 2, FR_OK, true},
  };
  ASSERT_NE(AddTestUser("bob", 0x20000001), nullptr);
  for (const Case& c : cases) {
    MakeCurrentCaller(c.caller, 0x20000001, "bob", c.caller == CALLER_ADMIN ? 0x8000 : 0);
    if (c.caller == CALLER_GUEST) GetCurrentLogonSlot()->userUID = kGuestSlotUserUID;
    const std::string bytes(c.size > 0 ? static_cast<size_t>(c.size) : 0, 'x');
    std::thread writer([&] {
      pair.Send(Words({static_cast<uint32_t>(c.version), static_cast<uint32_t>(c.size)}) + bytes);
      pair.SendSentinel();
    });
    std::vector<unsigned char> block = {'?'};
    EXPECT_EQ(RecvVersionedRawBlock(pair.server, "IPTest", block), c.rc) << c.id;
    EXPECT_TRUE(std::string(block.begin(), block.end()) == (c.kept ? bytes : std::string())) << c.id;
    writer.join();  // every byte is queued before the sentinel is looked for
    EXPECT_TRUE(pair.SentinelIsNext()) << "stream out of step: " << c.id;
  }
}

// The same bound on string arguments, and an argument's own lower bound.
TEST_F(HandlerConventionsTest, StringArgumentsAreBoundedByTheCaller) {
  constexpr int32_t kPlain = kMaxPlainCallerArgumentLength;
  struct Case {
    const char* id;
    CallerKind caller;
    int32_t lengthWord;  // the text and its NUL
    int32_t ownBound;    // RecvArgStringWithin's bound; 0: RecvArgString
    WireStatus status;
  } cases[] = {
      {"a plain caller's largest string", CALLER_PLAIN, kPlain, 0, WIRE_OK},
      {"a plain caller's string one byte over", CALLER_PLAIN, kPlain + 1, 0, WIRE_NO_MEMORY},
      {"an administrator's string beyond it", CALLER_ADMIN, 2 * kPlain, 0, WIRE_OK},
      {"an own bound, met", CALLER_ADMIN, 32, 32, WIRE_OK},
      {"an own bound, one byte over, for an administrator too", CALLER_ADMIN, 33, 32, WIRE_NO_MEMORY},
      {"an own bound above the caller's", CALLER_PLAIN, kPlain + 1, 2 * kPlain, WIRE_NO_MEMORY},
  };
  ASSERT_NE(AddTestUser("bob", 0x20000001), nullptr);
  for (const Case& c : cases) {
    MakeCurrentCaller(c.caller, 0x20000001, "bob", c.caller == CALLER_ADMIN ? 0x8000 : 0);
    const std::string text(static_cast<size_t>(c.lengthWord) - 1, 's');
    std::thread writer([&] {
      pair.Send(SocketPair::Word(static_cast<uint32_t>(c.lengthWord)) + text + std::string(1, '\0'));
      pair.SendSentinel();
    });
    WireStatus status = WIRE_COMMS_FAILURE;
    const std::optional<std::string> got = c.ownBound == 0 ? RecvArgString(pair.server, &status)
                                                           : RecvArgStringWithin(pair.server, c.ownBound, &status);
    EXPECT_EQ(status, c.status) << c.id;
    EXPECT_EQ(got.has_value(), c.status == WIRE_OK) << c.id;
    if (got) {
      EXPECT_TRUE(*got == text) << c.id;
    }
    writer.join();
    EXPECT_TRUE(pair.SentinelIsNext()) << "stream out of step: " << c.id;
  }
}

TEST_F(HandlerConventionsTest, RawBlockAboveTheCeilingIsDrainedAndRefused) {
  const int32_t size = kMaxWireStringLength + 1;
  std::thread writer([&] {
    pair.SendWord(1);
    pair.SendWord(static_cast<uint32_t>(size));
    std::string piece(1 << 20, 'z');
    int32_t left = size;
    while (left > 0) {
      size_t n = std::min<size_t>(piece.size(), static_cast<size_t>(left));
      pair.Send(piece.substr(0, n));
      left -= static_cast<int32_t>(n);
    }
    pair.SendSentinel();
  });
  std::vector<unsigned char> block;
  EXPECT_EQ(RecvVersionedRawBlock(pair.server, "IPTest", block), FR_NO_MEMORY);
  EXPECT_TRUE(block.empty());
  writer.join();
  EXPECT_TRUE(pair.SentinelIsNext()) << "stream out of step";
}

TEST_F(HandlerConventionsTest, ShortRawBlockIsACommunicationFailure) {
  pair.Send(Words({1, 8}) + "abc");
  pair.EndClientSends();
  std::vector<unsigned char> block;
  EXPECT_EQ(RecvVersionedRawBlock(pair.server, "IPTest", block), FR_COMMS_ERROR);
  EXPECT_TRUE(block.empty());
  EXPECT_EQ(pair.Pending(), "") << "no reply after a short read";
}

// ---- Reply shapes ------------------------------------------------------------------------

TEST_F(HandlerConventionsTest, ReplyShapesByteForByte) {
  const std::vector<unsigned char> block = {'A', 'B', 'C'};
  EXPECT_TRUE(SendReplyStatus(pair.server, 49));
  EXPECT_EQ(pair.Pending(), Words({49}));
  EXPECT_TRUE(SendReplyText(pair.server, "hi"));
  EXPECT_EQ(pair.Pending(), Words({0, 3}) + std::string("hi\0", 3));
  EXPECT_TRUE(SendReplyText(pair.server, nullptr));
  EXPECT_EQ(pair.Pending(), Words({0, 0}));
  EXPECT_TRUE(SendReplyBlock(pair.server, block));
  EXPECT_EQ(pair.Pending(), Words({0, 3}) + "ABC");
  EXPECT_TRUE(SendReplyVersionedBlock(pair.server, block));
  EXPECT_EQ(pair.Pending(), Words({0, 1, 3}) + "ABC");
  EXPECT_TRUE(SendReplyBlockList(pair.server, {block, {}, {'Z'}}));
  EXPECT_EQ(pair.Pending(),
            Words({0, static_cast<uint32_t>(kSlotTestNow), 1, 3, 3}) + "ABC" + Words({0, 1}) + "Z");
  EXPECT_TRUE(SendReplyCount(pair.server, 12));
  EXPECT_EQ(pair.Pending(), Words({12}));
}

TEST_F(HandlerConventionsTest, LargeBlockReplyArrivesWhole) {
  std::vector<unsigned char> block(200000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7);
  std::string got;
  std::thread reader([&] {
    const size_t want = 12 + block.size();
    char buf[65536];
    while (got.size() < want) {
      ssize_t n = recv(pair.client, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
  });
  EXPECT_TRUE(SendReplyVersionedBlock(pair.server, block));
  reader.join();
  EXPECT_EQ(got, Words({0, 1, 200000}) + std::string(block.begin(), block.end()));
}

TEST_F(HandlerConventionsTest, FailedSendIsReported) {
  close(pair.client);
  pair.client = -1;
  EXPECT_FALSE(SendReplyStatus(pair.server, 0));
  EXPECT_FALSE(SendReplyText(pair.server, "x"));
}

// ---- Time stamps and formatted text ---------------------------------------------------------

TEST_F(HandlerConventionsTest, ClientCopyIsCurrentWhenNotOlder) {
  struct Case {
    int32_t stamp;
    uint32_t dataTime;
    bool current;
  } cases[] = {
      {100, 100, true}, {101, 100, true}, {99, 100, false}, {0, 0, true},
      {-1, 0x80000000u, true},  // signed: the data time reads as a negative second
      {0x7FFFFFFF, 0xFFFFFFFFu, true}, {-5, 0, false},
  };
  for (const Case& c : cases) EXPECT_EQ(ClientCopyIsCurrent(c.stamp, c.dataTime), c.current) << c.stamp;
}

TEST_F(HandlerConventionsTest, FormattedTextGoesToTheSetSocket) {
  EXPECT_EQ(SendFormattedToClient("%s=%d", "n", 5), -1) << "no socket set";
  SetFormattedReplySocket(pair.server);
  EXPECT_EQ(SendFormattedToClient("%s=%d", "n", 5), 0);
  EXPECT_EQ(pair.Pending(), Words({4}) + std::string("n=5\0", 4));
  EXPECT_EQ(SendFormattedToClient("%s", std::string(20000, 'q').c_str()), 0);
  EXPECT_EQ(pair.Pending(), Words({16384}) + std::string(16383, 'q') + '\0');
}

// ---- Rights of the caller ------------------------------------------------------------------

// bob holds an AllowConfiguration value per application of section Test;
// carol (bit 0x200) holds hers under Live; the guest account grants App.
const char kUserList[] =
    "<?xml version=\"1.0\"?>\n<USERLIST>\n"
    "<USER uid=\"00001001\" name=\"bob\"/>\n"
    "<USER uid=\"00001002\" name=\"carol\"/>\n"
    "<USER uid=\"EE6B2806\" name=\"guest\"/>\n"
    "</USERLIST>";

std::string UserFile(const char* uid, const char* name, const std::string& data) {
  return std::string("<USER>\n<UID>") + uid + "</UID>\n<USERNAME>" + name +
         "</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n<USERDATA>\n"
         "<Live>\n<Torvane>\n</Torvane>\n" +
         data + "</USERDATA>\n</USER>\n";
}

class RightsTest : public HandlerConventionsTest {
 protected:
  void SetUp() override {
    HandlerConventionsTest::SetUp();
    std::filesystem::create_directories(home.File("users"));
    WriteWholeFile(home.File("userlist.xml"), kUserList);
    WriteWholeFile(home.File("users/00001001.xml"),
                   UserFile("00001001", "bob",
                            "</Live>\n<Test>\n"
                            "<One><AllowConfiguration>1</AllowConfiguration></One>\n"
                            "<MinusOne><AllowConfiguration>-1</AllowConfiguration></MinusOne>\n"
                            "<PlusTwo><AllowConfiguration> +2</AllowConfiguration></PlusTwo>\n"
                            "<Zero><AllowConfiguration>0</AllowConfiguration></Zero>\n"
                            "<Word><AllowConfiguration>abc</AllowConfiguration></Word>\n"
                            "<Empty><AllowConfiguration></AllowConfiguration></Empty>\n"
                            "<Unset></Unset>\n"
                            "</Test>\n"));
    WriteWholeFile(home.File("users/00001002.xml"),
                   UserFile("00001002", "carol",
                            "<App><AllowConfiguration>1</AllowConfiguration></App>\n</Live>\n"
                            "<Test>\n<App><AllowConfiguration>0</AllowConfiguration></App>\n</Test>\n"));
    WriteWholeFile(home.File("users/EE6B2806.xml"),
                   UserFile("EE6B2806", "guest",
                            "</Live>\n<Test>\n<App><AllowConfiguration>1</AllowConfiguration></App>\n</Test>\n"));
    ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
    ASSERT_EQ(GetUserCount(), 3);
  }
  // Makes the caller's slot for `name` with `level` and makes it current.
  LUS* Caller(const char* name, uint32_t level) {
    uint32_t uid = MakeTestSlot(name, 5);
    LUS* slot = FindLUSByLogonUID(uid);
    slot->USERLEVEL = level;
    SetCurrentLogonSlot(uid);
    return slot;
  }
};

TEST_F(RightsTest, AllowConfigurationValues) {
  Caller("bob", 0);
  struct Case {
    const char* env;
    const char* app;
    int granted;
  } cases[] = {
      {"Test", "One", 1},  {"Test", "MinusOne", 1}, {"Test", "PlusTwo", 1}, {"Test", "Zero", 0},
      {"Test", "Word", 0}, {"Test", "Empty", 0},    {"Test", "Unset", 0},   {"Test", "Missing", 0},
      {"Live", "One", 0},  {"Test", "", 0},         {"", "One", 0},         {nullptr, "One", 0},
      {"Test", nullptr, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CurrentUserMayConfigure(c.env, c.app), c.granted)
        << (c.env ? c.env : "(null)") << "\\" << (c.app ? c.app : "(null)");
  }
  EXPECT_EQ(IsCurrentUserAdmin(), 0);
}

TEST_F(RightsTest, LiveBitReadsLiveAndAdminNeedsNoSetting) {
  Caller("carol", kUserLevelLiveConfig);
  EXPECT_EQ(CurrentUserMayConfigure("Test", "App"), 1) << "Test\\App says 0 but is not consulted";
  EXPECT_EQ(CurrentUserMayConfigure("Other", "App"), 1);
  EXPECT_EQ(CurrentUserMayConfigure("Test", "Nope"), 0);
  EXPECT_EQ(IsCurrentUserAdmin(), 0);

  Caller("carol", kUserLevelAdministrator);
  EXPECT_EQ(IsCurrentUserAdmin(), 1);
  EXPECT_EQ(CurrentUserMayConfigure("Anything", "Nope"), 1);
}

TEST_F(RightsTest, GuestSlotReadsTheGuestAccount) {
  LUS* slot = Caller("bob", 0);
  slot->USERNAME = "CORP\\visitor";
  slot->GUEST = 1;
  slot->userUID = kUIDGuest;
  EXPECT_TRUE(IsGuestSlot(slot));
  EXPECT_EQ(CurrentUserMayConfigure("Test", "App"), 1);
  EXPECT_EQ(CurrentUserMayConfigure("Test", "One"), 0) << "bob's own settings are not the guest's";
  EXPECT_FALSE(IsGuestSlot(FindLUSByLogonUID(MakeTestSlot("carol", 6))));
  EXPECT_FALSE(IsGuestSlot(nullptr));
}

TEST_F(RightsTest, NoCurrentSlotRefusesEverything) {
  uint32_t uid = MakeTestSlot("bob", 5);
  FindLUSByLogonUID(uid)->USERLEVEL = kUserLevelAdministrator;
  SetCurrentLogonSlot(uid);
  EXPECT_EQ(IsCurrentUserAdmin(), 1);
  LogoffLUSSlot(0);  // the caller's slot is freed while the request runs
  EXPECT_EQ(IsCurrentUserAdmin(), 0);
  EXPECT_EQ(CurrentUserMayConfigure("Test", "One"), 0);
  SetCurrentLogonSlot(0);
  EXPECT_EQ(CurrentUserMayConfigure("Test", "One"), 0);
}

}  // namespace
