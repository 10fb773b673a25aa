// Tests of the logoff and session administration handlers driven over a
// socketpair: what each reads, what it replies (or that it replies nothing),
// the administration bit, and what is left of the slots and connections.
#include "requests/session_handlers.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "foundation/result_codes.h"
#include "requests/handler_conventions.h"
#include "support/slot_fixture.h"
#include "support/socket_pair.h"

namespace {

class SessionHandlersTest : public SlotTest {
 protected:
  SocketPair pair;
  ConnectionRecord* conn = nullptr;  // the caller's entry; re-found after removals
  std::vector<SocketPair*> others;

  void SetUp() override {
    SlotTest::SetUp();
    AddTestUser("admin", 0x1002, kUserLevelAdministrator);
    ASSERT_EQ(AppendConnection(pair.server, "::1"), 0);
    conn = GetConnectionByIndex(0);
  }
  void TearDown() override {
    SlotTest::TearDown();
    for (SocketPair* p : others) delete p;
  }
  // Logs the caller on as `name` with client ID `cid` and makes its slot current.
  uint32_t LogOnCaller(const char* name, int32_t cid) {
    uint32_t uid = MakeTestSlot(name, cid);
    conn->logonUID = uid;
    conn->clientID = cid;
    conn->lastUsed = static_cast<uint32_t>(kSlotTestNow);
    SetCurrentLogonSlot(uid);
    return uid;
  }
  // After a handler closed connections: their server ends are no longer ours
  // to close (the numbers may be handed out again at once).
  void ForgetClosedConnections() {
    for (SocketPair* p : others) {
      if (p->server >= 0 && !FindConnectionBySocket(p->server)) p->server = -1;
    }
  }
  // Another open connection in the table with `lastUsed`.
  SocketPair* OtherConnection(uint32_t lastUsed, uint32_t logonUID = 0) {
    SocketPair* p = new SocketPair();
    others.push_back(p);
    int index = AppendConnection(p->server, "::1");
    GetConnectionByIndex(index)->lastUsed = lastUsed;
    GetConnectionByIndex(index)->logonUID = logonUID;
    return p;
  }
};

// ---- Logoffs ----------------------------------------------------------------------------------

TEST_F(SessionHandlersTest, LogoffEndsTheCallersClientSession) {
  uint32_t uid = LogOnCaller("bob", 5);
  AddTestSession(uid, 7);
  EXPECT_EQ(IPLogoff(conn), FR_OK);
  EXPECT_EQ(SessionCIDs(FindLUSByLogonUID(uid)), "7");
  EXPECT_EQ(conn->logonUID, 0u);
  EXPECT_EQ(pair.Pending(), "");
  EXPECT_EQ(IPLogoff(conn), FR_OK) << "no logon: nothing to do";
  EXPECT_EQ(SessionCIDs(FindLUSByLogonUID(uid)), "7");
}

TEST_F(SessionHandlersTest, LogoffClientByMatchValue) {
  struct Case {
    int32_t match;
    const char* left;
  } cases[] = {{-5, "5"}, {7, "9,5"}, {0, "(none)"}};
  for (const Case& c : cases) {
    ResetLogonSlots();
    uint32_t uid = LogOnCaller("bob", 5);
    AddTestSession(uid, 7);
    AddTestSession(uid, 9);
    pair.SendWord(static_cast<uint32_t>(c.match));
    IPLogoffClient(conn);
    EXPECT_EQ(SessionCIDs(FindLUSByLogonUID(uid)), c.left) << c.match;
    EXPECT_EQ(conn->logonUID, uid) << "the connection keeps its logon UID";
  }
  pair.EndClientSends();
  IPLogoffClient(conn);  // a failed read: logged, nothing done
  EXPECT_EQ(pair.Pending(), "");
}

TEST_F(SessionHandlersTest, LogoffOtherBySessionIDNeedsNoLogon) {
  uint32_t victim = MakeTestSlot("bob", 5);
  AddTestSession(victim, 6);
  const std::string sidText = FormatHexID(FindLUSByLogonUID(victim)->SID);
  struct Case {
    std::string text;
    bool freed;
  } cases[] = {
      {sidText.substr(0, 7), false},
      {"00000000", false},
      {"ZZZZZZZZ", false},
      {sidText, true},
  };
  for (const Case& c : cases) {
    pair.SendText(c.text);
    IPLogoffOther(conn);  // conn never logged on: client ID 0 ends the whole slot
    EXPECT_EQ(FindLUSByLogonUID(victim) == nullptr, c.freed) << c.text;
  }
  pair.SendWord(0);  // an absent text
  IPLogoffOther(conn);
  EXPECT_EQ(pair.Pending(), "") << "6662 never replies";
}

TEST_F(SessionHandlersTest, LogoffOtherRemovesOnlyTheCallersClientSessions) {
  uint32_t caller = LogOnCaller("bob", 6);
  uint32_t other = MakeTestSlot("bob", 5);
  AddTestSession(other, 6);
  pair.SendText(FormatHexID(FindLUSByLogonUID(other)->SID));
  IPLogoffOther(conn);
  EXPECT_EQ(SessionCIDs(FindLUSByLogonUID(other)), "5");
  EXPECT_EQ(SessionCIDs(FindLUSByLogonUID(caller)), "6") << "the caller's own logon is not touched";
}

// ---- Kicks -------------------------------------------------------------------------------------

TEST_F(SessionHandlersTest, KickUsersNeedsTheAdministrationBit) {
  uint32_t caller = LogOnCaller("bob", 1);
  uint32_t other = MakeTestSlot("admin", 2);
  pair.SendText("0:0");
  pair.SendSentinel();
  EXPECT_EQ(IPKickUsers(conn), FR_PERMISSION_DENIED);
  EXPECT_EQ(pair.Pending(), Words({49}));
  EXPECT_NE(FindLUSByLogonUID(other), nullptr);
  EXPECT_TRUE(pair.SentinelIsNext()) << "the list was read before the refusal";

  FindLUSByLogonUID(caller)->USERLEVEL = kUserLevelAdministrator;
  struct Case {
    std::string request;  // the wire string as sent
    uint32_t reply;
  } cases[] = {
      {Words({0}), 2},                                  // absent list
      {Words({1}) + std::string(1, '\0'), 0},           // empty list
      {Words({4}) + std::string("0:0\0", 4), 0},
  };
  for (const Case& c : cases) {
    pair.Send(c.request);
    IPKickUsers(conn);
    EXPECT_EQ(pair.Pending(), Words({c.reply}));
  }
  EXPECT_EQ(FindLUSByLogonUID(other), nullptr);
  EXPECT_NE(FindLUSByLogonUID(caller), nullptr);
  EXPECT_EQ(GetLUSCount(), 1);
}

TEST_F(SessionHandlersTest, FailedKickListReadEndsWithoutReply) {
  LogOnCaller("admin", 1);
  pair.Send(Words({20}) + "0:0");
  pair.EndClientSends();
  EXPECT_EQ(IPKickUsers(conn), WIRE_COMMS_FAILURE);
  EXPECT_EQ(pair.Pending(), "");
  EXPECT_EQ(GetLUSCount(), 1);
}

// ---- Sanity check --------------------------------------------------------------------------------

TEST_F(SessionHandlersTest, SanityCheckByAdminsOnly) {
  uint32_t caller = LogOnCaller("bob", 1);
  uint32_t orphan = MakeTestSlot("bob", 2);
  EXPECT_EQ(IPSanityCheckTokens(pair.server), FR_PERMISSION_DENIED);
  EXPECT_EQ(pair.Pending(), Words({49}));
  EXPECT_NE(FindLUSByLogonUID(orphan), nullptr);
  FindLUSByLogonUID(caller)->USERLEVEL = kUserLevelAdministrator;
  EXPECT_EQ(IPSanityCheckTokens(pair.server), FR_OK);
  EXPECT_EQ(pair.Pending(), Words({0}));
  EXPECT_EQ(FindLUSByLogonUID(orphan), nullptr);
  EXPECT_NE(FindLUSByLogonUID(caller), nullptr);
}

// ---- Idle connections ------------------------------------------------------------------------------

TEST_F(SessionHandlersTest, CloseIdleConnectionsByAge) {
  const uint32_t now = static_cast<uint32_t>(kSlotTestNow);
  uint32_t caller = LogOnCaller("bob", 1);
  OtherConnection(now - 301);
  SocketPair* atCutoff = OtherConnection(now - 300);
  OtherConnection(now - 5000);
  conn->lastUsed = now - 100000;  // the requester is never closed, however old

  pair.SendText("M5");
  EXPECT_EQ(IPCloseIdleConnections(pair.server), FR_PERMISSION_DENIED);
  EXPECT_EQ(pair.Pending(), Words({49}));
  EXPECT_EQ(GetConnectionCount(), 4) << "nothing closed for a refused caller";

  FindLUSByLogonUID(caller)->USERLEVEL = kUserLevelAdministrator;
  pair.SendText("M5");
  pair.SendSentinel();
  EXPECT_EQ(IPCloseIdleConnections(pair.server), FR_OK);
  ForgetClosedConnections();
  EXPECT_EQ(pair.Pending(), Words({0}));
  EXPECT_EQ(GetConnectionCount(), 2);
  EXPECT_NE(FindConnectionBySocket(pair.server), nullptr);
  EXPECT_NE(FindConnectionBySocket(atCutoff->server), nullptr);
  EXPECT_TRUE(pair.SentinelIsNext());

  // X1 and an absent text both mean one day.
  OtherConnection(now - 86401);
  OtherConnection(now - 86399);
  pair.SendText("X1");
  IPCloseIdleConnections(pair.server);
  ForgetClosedConnections();
  EXPECT_EQ(GetConnectionCount(), 3);
  OtherConnection(now - 86401);
  pair.SendWord(0);
  IPCloseIdleConnections(pair.server);
  ForgetClosedConnections();
  EXPECT_EQ(pair.Pending(), Words({0, 0}));
  EXPECT_EQ(GetConnectionCount(), 3);
}

// ---- TOKENINFO -----------------------------------------------------------------------------------------

TEST_F(SessionHandlersTest, TokenInfoOfTheCallersSlotAlone) {
  uint32_t uid = LogOnCaller("bob", 5);
  FindLUSByLogonUID(uid)->USERNAME = "bob&co";
  EXPECT_EQ(IPGetLUSArrayXML(conn), FR_OK);
  const std::string doc =
      "<TOKENINFO>\n<MAXCON>500</MAXCON>\n<LUSCOUNT>1</LUSCOUNT>\n"
      "<LUS><UID>00000001</UID><CC>1</CC><ISAUTH>1</ISAUTH><AUTHTYPE>1</AUTHTYPE>"
      "<USERNAME>bob&#038;co</USERNAME><USERLEVEL>0</USERLEVEL><GUEST>0</GUEST><ENVNAME>Live</ENVNAME>"
      "<SLOTS><SLS>5</SLS></SLOTS><FOUND>1</FOUND><LASTUSED>2027-01-15T08:00:00</LASTUSED></LUS>\n"
      "</TOKENINFO>";
  EXPECT_EQ(pair.Pending(), Words({0, static_cast<uint32_t>(doc.size() + 1)}) + doc + '\0');
}

}  // namespace
