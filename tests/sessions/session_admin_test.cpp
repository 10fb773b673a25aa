// Tests of the session administration: logoff selection, kicks (the caller
// kept wherever its slot moves, exact client IDs, the kick-list lines), the
// sanity check, closing idle connections, the TOKENINFO text against a
// fixture written by hand, and the missing-logon dump.
#include "sessions/session_admin.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "support/slot_fixture.h"

namespace {

class SessionAdminTest : public SlotTest {
 protected:
  std::vector<int> fds;
  void TearDown() override {
    SlotTest::TearDown();
    for (int fd : fds) close(fd);
  }
  // Advances the logon UID counter so the next slot gets `uid`.
  static void NextSlotGets(uint32_t uid) {
    while (GetNextLogonUID() + 1 < uid) {
    }
  }
  // The table as "<uid>(<sessions>)" in logon-UID order.
  static std::string Table() {
    std::vector<std::pair<uint32_t, std::string>> rows;
    for (int i = 0; i < GetLUSCount(); ++i) {
      const LUS* s = GetLUSByIndex(i);
      rows.emplace_back(s->logonUID, std::to_string(s->logonUID) + "(" + SessionCIDs(s) + ")");
    }
    std::sort(rows.begin(), rows.end());
    std::string out;
    for (const auto& r : rows) out += (out.empty() ? "" : " ") + r.second;
    return out;
  }
  // A connected socket of our own in the table, with `lastUsed`; gives the peer end.
  int AddConnection(uint32_t lastUsed, uint32_t logonUID = 0) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    fds.push_back(sv[1]);
    int index = AppendConnection(sv[0], "::1");
    GetConnectionByIndex(index)->lastUsed = lastUsed;
    GetConnectionByIndex(index)->logonUID = logonUID;
    return sv[1];
  }
};

// ---- Logoff ----------------------------------------------------------------------------

TEST_F(SessionAdminTest, LogoffSelectsBySessionIDFirst) {
  uint32_t a = MakeTestSlot("bob", 5);
  uint32_t b = MakeTestSlot("bob", 6);
  const uint32_t sidOfB = FindLUSByLogonUID(b)->SID;
  EXPECT_TRUE(LUSMatches(a, sidOfB, FindLUSByLogonUID(b)));
  EXPECT_FALSE(LUSMatches(a, sidOfB, FindLUSByLogonUID(a))) << "a non-zero SID wins";
  EXPECT_TRUE(LUSMatches(a, 0, FindLUSByLogonUID(a)));
  EXPECT_FALSE(LUSMatches(0, 0, FindLUSByLogonUID(a)));

  EXPECT_EQ(DoLogoff(a, sidOfB, 0), FR_OK);
  EXPECT_EQ(Table(), "1(5)");
  EXPECT_EQ(DoLogoff(0, 0, 0), FR_FAILED);
  EXPECT_EQ(DoLogoff(99, 0, 0), FR_FAILED);
  EXPECT_EQ(DoLogoff(0, 0x1234, 0), FR_FAILED);
  EXPECT_EQ(Table(), "1(5)");
}

// ---- Kicks -------------------------------------------------------------------------------

TEST_F(SessionAdminTest, KickAllKeepsTheCallerWhenItsSlotMoves) {
  MakeTestSlot("bob", 1);
  MakeTestSlot("bob", 2);
  uint32_t caller = MakeTestSlot("bob", 3);  // last in the table: moved by the first free
  SetCurrentLogonSlot(caller);
  KickUser(0, 0);
  EXPECT_EQ(Table(), "3(3)");
  EXPECT_EQ(GetCurrentLogonSlot(), GetLUSByIndex(0));
}

TEST_F(SessionAdminTest, KickOfAClientIDIsAnExactMatch) {
  uint32_t caller = MakeTestSlot("bob", 1);
  SetCurrentLogonSlot(caller);
  uint32_t slot = MakeTestSlot("bob", 5);
  AddTestSession(slot, -5);
  AddTestSession(slot, 7);
  KickUser(slot, -5);
  EXPECT_EQ(Table(), "1(1) 2(7,5)") << "-5 is no 'all but 5' here";
  KickUser(slot, 9);
  EXPECT_EQ(Table(), "1(1) 2(7,5)");
  KickUser(slot, 7);
  KickUser(slot, 5);
  EXPECT_EQ(Table(), "1(1)") << "the emptied slot is freed";
  KickUser(caller, 0);
  EXPECT_EQ(Table(), "1(1)") << "never the caller's own";
}

TEST_F(SessionAdminTest, KickLineTable) {
  struct Case {
    const char* line;
    bool accepted;
    uint32_t uid;
    int32_t cid;
  } cases[] = {
      {"12:0", true, 12, 0},          {"15:3", true, 15, 3},       {"0:0", true, 0, 0},
      {" \t+12:-3\r", true, 12, -3},  {"12: 3", true, 12, 3},      {"-1:2", true, 0xFFFFFFFFu, 2},
      {"", false, 0, 0},              {"12", false, 0, 0},         {"abc:0", false, 0, 0},
      {":3", false, 0, 0},            {"12:", false, 0, 0},        {"12:x", false, 0, 0},
      {"12 :3", false, 0, 0},         {"12:3x", false, 0, 0},      {"12:3\r\r", false, 0, 0},
      {"4294967308:0", false, 0, 0},  {"12:2147483648", false, 0, 0},
      {"4294967295:-2147483648", true, 0xFFFFFFFFu, INT32_MIN},
      {"99999999999999999999999:1", false, 0, 0},
  };
  for (const Case& c : cases) {
    uint32_t uid = 77;
    int32_t cid = 77;
    EXPECT_EQ(ParseKickLine(c.line, &uid, &cid), c.accepted) << '"' << c.line << '"';
    if (c.accepted) {
      EXPECT_EQ(uid, c.uid) << c.line;
      EXPECT_EQ(cid, c.cid) << c.line;
    }
  }
}

TEST_F(SessionAdminTest, KickListTable) {
  struct Case {
    const char* list;
    const char* left;
  } cases[] = {
      {"12:0\n15:3", "1(1) 15(4) 16(3)"},
      {"12:0\n\n15:0", "1(1) 16(3)"},
      {"\n15:0", "1(1) 12(4,3) 16(3)"},
      {"12\n15:3", "1(1) 12(4,3) 15(4) 16(3)"},
      {"0:0", "1(1)"},
      {"0:3\n", "1(1) 12(4) 15(4)"},
      {"abc\n12:x\n4294967308:0", "1(1) 12(4,3) 15(4,3) 16(3)"},
      {"", "1(1) 12(4,3) 15(4,3) 16(3)"},
  };
  for (const Case& c : cases) {
    ResetLogonSlots();
    uint32_t caller = MakeTestSlot("bob", 1);
    SetCurrentLogonSlot(caller);
    NextSlotGets(12);
    AddTestSession(MakeTestSlot("bob", 3), 4);
    NextSlotGets(15);
    AddTestSession(MakeTestSlot("bob", 3), 4);
    MakeTestSlot("bob", 3);
    EXPECT_EQ(KickUsersFromList(c.list), FR_OK) << c.list;
    EXPECT_EQ(Table(), c.left) << '"' << c.list << '"';
  }
  EXPECT_EQ(KickUsersFromList(nullptr), FR_INVALID_PARAMETER);
}

// ---- Sanity check and idle connections ---------------------------------------------------------

TEST_F(SessionAdminTest, SanityCheckFreesOnlySlotsNoConnectionCarries) {
  uint32_t carried = MakeTestSlot("bob", 1);
  MakeTestSlot("bob", 2);
  MakeTestSlot("bob", 3);
  uint32_t alsoCarried = MakeTestSlot("bob", 4);
  GetLUSByIndex(3)->LASTUSED = 1;  // idle for ages, but carried
  AddConnection(0, alsoCarried);
  AddConnection(0, carried);
  AddConnection(0, 999);  // a connection whose slot is long gone
  SanityCheckTokens();
  EXPECT_EQ(Table(), "1(1) 4(4)");
  EXPECT_EQ(FindLUSByLogonUID(carried)->FOUND, 1);
}

TEST_F(SessionAdminTest, IdleAgeTable) {
  struct Case {
    const char* text;
    uint32_t seconds;
  } cases[] = {
      {"M5", 300},      {"H2", 7200},          {"D3", 259200},   {"m5", 86400},  {"X1", 86400},
      {"", 86400},      {"M", 0},              {"M 7x", 420},    {"M-1", 0xFFFFFFC4u},
      {"D99999", 99999u * 86400u},
  };
  for (const Case& c : cases) EXPECT_EQ(IdleAgeSeconds(c.text), c.seconds) << c.text;
  EXPECT_EQ(IdleAgeSeconds(nullptr), 86400u);
}

TEST_F(SessionAdminTest, CloseIdleConnectionsKeepsTheCutOffAndTheRequester) {
  const uint32_t now = static_cast<uint32_t>(kSlotTestNow);
  const uint32_t cutoff = now - 300;
  int idlePeer = AddConnection(cutoff - 1, 0);
  AddConnection(cutoff, 0);  // exactly at the cut-off: stays
  int idlePeer2 = AddConnection(cutoff - 1000, 0);
  AddConnection(now, 0);
  AddConnection(cutoff - 5, 0);  // the requester, last in the table and idle itself
  const int requester = GetConnectionByIndex(4)->socket;
  EXPECT_EQ(CloseIdleConnections(cutoff, requester), FR_OK);
  ASSERT_EQ(GetConnectionCount(), 3);
  ASSERT_NE(FindConnectionBySocket(requester), nullptr);
  EXPECT_LT(FindConnectionIndexBySocket(requester), 3) << "the requester's entry moved down";
  for (int i = 0; i < GetConnectionCount(); ++i) {
    EXPECT_GE(static_cast<int32_t>(GetConnectionByIndex(i)->lastUsed), static_cast<int32_t>(cutoff - 5));
  }
  char byte;
  EXPECT_EQ(recv(idlePeer, &byte, 1, MSG_DONTWAIT), 0) << "closed: the peer sees the end";
  EXPECT_EQ(recv(idlePeer2, &byte, 1, MSG_DONTWAIT), 0);
  // The sockets of the closed entries were ours; the table no longer holds them.
  for (int i = 0; i < GetConnectionCount(); ++i) close(GetConnectionByIndex(i)->socket);
}

// ---- TOKENINFO ----------------------------------------------------------------------------------

TEST_F(SessionAdminTest, TokenInfoOfOneSlotByteForByte) {
  uint32_t uid = MakeTestSlot("bob", 5, "Te&st");
  LUS* slot = FindLUSByLogonUID(uid);
  AddTestSession(uid, -7);
  slot->USERNAME = "b<o>b&co";
  slot->USERLEVEL = 0x8000;
  slot->AUTHTYPE = AUTHTYPE_AD_PASSWORD;
  slot->LASTUSED = 1700000000;  // 2023-11-14T22:13:20Z
  AddConnection(0, uid);
  int failReason = -1;
  std::optional<std::string> doc = GetLUSArrayXML(slot, &failReason);
  ASSERT_TRUE(doc.has_value());
  EXPECT_EQ(failReason, FR_OK);
  EXPECT_EQ(*doc,
            "<TOKENINFO>\n<MAXCON>500</MAXCON>\n<LUSCOUNT>1</LUSCOUNT>\n"
            "<LUS><UID>00000001</UID><CC>2</CC><ISAUTH>1</ISAUTH><AUTHTYPE>2</AUTHTYPE>"
            "<USERNAME>b&#060;o&#062;b&#038;co</USERNAME><USERLEVEL>32768</USERLEVEL><GUEST>0</GUEST>"
            "<ENVNAME>Te&#038;st</ENVNAME><SLOTS><SLS>-7</SLS><SLS>5</SLS></SLOTS>"
            "<FOUND>1</FOUND><LASTUSED>2023-11-14T22:13:20</LASTUSED></LUS>\n"
            "</TOKENINFO>");

  std::string element;
  EXPECT_EQ(GetLUSXML(nullptr, element), FR_INVALID_PARAMETER);
  EXPECT_TRUE(element.empty());
}

TEST_F(SessionAdminTest, TokenInfoOfAnEmptyTableAndOfMissingTexts) {
  int failReason = -1;
  EXPECT_EQ(GetLUSArrayXML(nullptr, &failReason).value_or(""),
            "<TOKENINFO>\n<MAXCON>500</MAXCON>\n<LUSCOUNT>0</LUSCOUNT>\n</TOKENINFO>");
  MakeTestSlot("bob", 5, nullptr);
  GetLUSByIndex(0)->USERNAME.reset();
  std::string element;
  ASSERT_EQ(GetLUSXML(GetLUSByIndex(0), element), FR_OK);
  EXPECT_NE(element.find("<USERNAME></USERNAME>"), std::string::npos);
  EXPECT_NE(element.find("<ENVNAME></ENVNAME>"), std::string::npos);
  EXPECT_NE(element.find("<FOUND>0</FOUND>"), std::string::npos);
}

// ---- Missing logon --------------------------------------------------------------------------------

TEST_F(SessionAdminTest, MissingAuthDumpEndsWithTheLastSlot) {
  MakeTestSlot("bob", 5);
  AddTestSession(1, 9);
  DumpMissingAuth(0xAB);
  EXPECT_STREQ(GetLogLine(), "END LUS[0]");
}

}  // namespace
