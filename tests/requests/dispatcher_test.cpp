// Tests of the message table (sorted, each ID once, rows well formed, the
// IDs that need no logon) and of the dispatcher over socket pairs entered in
// the connection table: routing, the unknown-ID path and the duration line.
#include "requests/dispatcher.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <set>

#include "requests/message_table.h"
#include "requests/request_fixture.h"
#include "support/test_client.h"

namespace {

// ---- The table ----------------------------------------------------------------------------

TEST(MessageTable, RowsAreSortedEachIDOnceAndFoundByBisection) {
  std::span<const MessageTableEntry> rows = MessageTableRows();
  ASSERT_FALSE(rows.empty());
  for (size_t i = 1; i < rows.size(); ++i) {
    EXPECT_LT(rows[i - 1].messageID, rows[i].messageID) << "row " << i;
  }
  for (const MessageTableEntry& row : rows) {
    EXPECT_EQ(&row, FindMessageEntry(row.messageID)) << row.messageID;
    EXPECT_EQ(nullptr, FindMessageEntry(-row.messageID));  // signed: a negative ID has no row
  }
  for (int32_t id : {INT32_MIN, -6003, -1, 0, 6002, 6005, 6499, 6509, 6638, 6658, 6659, 6672,
                     6688, INT32_MAX}) {
    EXPECT_EQ(nullptr, FindMessageEntry(id)) << id;
  }
}

TEST(MessageTable, EveryRowIsWellFormed) {
  for (const MessageTableEntry& row : MessageTableRows()) {
    SCOPED_TRACE(row.messageID);
    // Only the logon, the logoff, 6500 and 6501-6687 can have handlers.
    EXPECT_TRUE(row.messageID == 6003 || row.messageID == 6004 ||
                (row.messageID >= 6500 && row.messageID <= 6687));
    ASSERT_NE(nullptr, row.handlerName);
    int set = (row.bySocket != nullptr) + (row.byConnection != nullptr) +
              (row.bySocketAndMessageID != nullptr) + (row.bySocketAndConnection != nullptr);
    switch (row.given) {
      case HandlerGiven::kNothing:
        EXPECT_EQ(0, set);
        EXPECT_EQ(6003, row.messageID);
        break;
      case HandlerGiven::kSocket:
        EXPECT_TRUE(set == 1 && row.bySocket != nullptr);
        break;
      case HandlerGiven::kConnection:
        EXPECT_TRUE(set == 1 && row.byConnection != nullptr);
        break;
      case HandlerGiven::kSocketAndMessageID:
        EXPECT_TRUE(set == 1 && row.bySocketAndMessageID != nullptr);
        break;
      case HandlerGiven::kSocketAndConnection:
        EXPECT_TRUE(set == 1 && row.bySocketAndConnection != nullptr);
        break;
    }
    if (row.given != HandlerGiven::kNothing) {
      EXPECT_EQ(0, std::string(row.handlerName).rfind("IP", 0)) << row.handlerName;
    }
  }
}

// The request reader accepts these IDs without a logon; the table must agree
// for every one of them that has a row, and need a logon for every other.
TEST(MessageTable, OnlyTheReadersFourIDsAndTheLogonNeedNoLogon) {
  const std::set<int32_t> noLogon = {6003, 6628, 6662, 6663, 6683};
  for (const MessageTableEntry& row : MessageTableRows()) {
    EXPECT_EQ(noLogon.count(row.messageID) == 0, row.logonNeeded) << row.messageID;
  }
}

// ---- The dispatcher -------------------------------------------------------------------------

// Three connections in the table, each a socket pair; the test plays the clients.
class DispatcherTest : public RequestFixture {
 protected:
  std::unique_ptr<TestSocketPair> pairs[3];
  int socks[3] = {-1, -1, -1};

  void SetUp() override {
    RequestFixture::SetUp();
    for (int i = 0; i < 3; ++i) {
      pairs[i] = std::make_unique<TestSocketPair>();
      pairs[i]->client.SetTimeoutMs(2000);
      socks[i] = pairs[i]->server;
      ASSERT_EQ(i, AppendConnection(socks[i], "::1"));
    }
  }

};

TEST_F(DispatcherTest, HandlersWithoutLogonRunForAConnectionThatNeverLoggedOn) {
  SetCurrentLogonSlot(0);
  EXPECT_EQ(1, ProcessMessage(6628, socks[1], 1));
  EXPECT_EQ(10, pairs[1]->client.RecvInt());
  EXPECT_EQ(1, ProcessMessage(6663, socks[1], 1));
  std::optional<std::string> rules;
  int32_t length = -1;
  ASSERT_TRUE(pairs[1]->client.RecvString(&rules, &length));
  EXPECT_EQ(0, length);
  // 6662 is given the record of a connection without a logon: it ends the
  // logon named by the session ID it reads and sends nothing.
  uint32_t other = MakeTestSlot("boss", 8);
  SetCurrentLogonSlot(0);
  ASSERT_TRUE(pairs[1]->client.Send(TestRequest().String(FormatHexID(FindLUSByLogonUID(other)->SID))));
  EXPECT_EQ(1, ProcessMessage(6662, socks[1], 1));
  EXPECT_EQ(nullptr, FindLUSByLogonUID(other));
  EXPECT_TRUE(pairs[1]->client.NothingPending(0));
  EXPECT_EQ(3, GetConnectionCount());
}

TEST_F(DispatcherTest, HandlersGivenTheSocketReadTheirArgumentsFromIt) {
  LogOn("boss");
  ASSERT_TRUE(pairs[2]->client.Send(TestRequest().String("9,1,0")));
  EXPECT_EQ(2, ProcessMessage(6665, socks[2], 2));
  EXPECT_EQ(0, pairs[2]->client.RecvInt());
  EXPECT_TRUE(pairs[0]->client.NothingPending(0));
  EXPECT_TRUE(pairs[1]->client.NothingPending(0));
}

TEST_F(DispatcherTest, HandlersGivenTheRecordActOnTheEntryAtTheIndex) {
  uint32_t mine = LogOn("alice", 7);
  uint32_t other = MakeTestSlot("boss", 8);
  for (int i = 0; i < 3; ++i) {
    GetConnectionByIndex(i)->logonUID = i == 1 ? mine : other;
    GetConnectionByIndex(i)->clientID = i == 1 ? 7 : 8;
  }
  EXPECT_EQ(1, ProcessMessage(6004, socks[1], 1));
  EXPECT_EQ(0u, GetConnectionByIndex(1)->logonUID);
  EXPECT_EQ(nullptr, FindLUSByLogonUID(mine));
  EXPECT_EQ(other, GetConnectionByIndex(0)->logonUID);
  EXPECT_EQ(other, GetConnectionByIndex(2)->logonUID);
  EXPECT_NE(nullptr, FindLUSByLogonUID(other));
  EXPECT_EQ(3, GetConnectionCount());
}

TEST_F(DispatcherTest, LogonMessageOnlyLogsItsDuration) {
  ClearLog();
  EXPECT_EQ(0, ProcessMessage(6003, socks[0], 0));
  EXPECT_EQ((std::vector<std::string>{"Finished processing message 6003, took approx 0 seconds"}),
            LogLines());
  EXPECT_TRUE(pairs[0]->client.NothingPending(0));
  EXPECT_EQ(3, GetConnectionCount());
}

struct UnknownCase {
  const char* name;
  int32_t messageID;
  int index;          // entry served
  int movedFrom;      // the entry that ends up at `index` (-1: none, it was the last)
};

TEST_F(DispatcherTest, UnknownIDClosesAndRemovesTheConnectionAndKeepsItsLogon) {
  const UnknownCase cases[] = {
      {"gap_in_range", 6509, 1, 2},
      {"below_range", 6002, 0, 2},
      {"above_range", 6688, 1, 2},
      {"negative", -6628, 0, 2},
      {"last_entry", 6638, 2, -1},
  };
  for (const UnknownCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    uint32_t logonUID = LogOn("alice");
    ConnectionRecord* served = GetConnectionByIndex(c.index);
    served->logonUID = logonUID;
    // Arguments the client sent are not read: the connection just closes.
    ASSERT_TRUE(pairs[c.index]->client.Send(TestRequest().Int(1).String("x")));
    ClearLog();

    EXPECT_EQ(c.index - 1, ProcessMessage(c.messageID, socks[c.index], c.index));
    pairs[c.index]->server = -1;  // closed by the dispatcher

    EXPECT_TRUE(pairs[c.index]->client.PeerClosed());
    EXPECT_EQ(2, GetConnectionCount());
    if (c.movedFrom >= 0) {
      EXPECT_EQ(socks[c.movedFrom], GetConnectionByIndex(c.index)->socket);
    }
    EXPECT_NE(nullptr, FindLUSByLogonUID(logonUID));  // no logoff
    EXPECT_EQ(-1, FindConnectionIndexBySocket(socks[c.index]));
    const std::string id = std::to_string(c.messageID);
    EXPECT_EQ((std::vector<std::string>{"Unknown message ID " + id,
                                        "Finished processing message " + id + ", took approx 0 seconds"}),
              LogLines());
  }
}

TEST(DispatcherDuration, PrefixesFollowTheSecondsTaken) {
  struct Case {
    int32_t elapsed;
    const char* line;
  };
  const Case cases[] = {
      {-5, "Finished processing message 6627, took approx -5 seconds"},
      {0, "Finished processing message 6627, took approx 0 seconds"},
      {9, "Finished processing message 6627, took approx 9 seconds"},
      {10, "<< Finished processing message 6627, took approx 10 seconds"},
      {59, "<< Finished processing message 6627, took approx 59 seconds"},
      {60, "<-<- Finished processing message 6627, took approx 60 seconds"},
      {3600, "<-<- Finished processing message 6627, took approx 3600 seconds"},
  };
  for (const Case& c : cases) {
    LogMessageDuration(6627, c.elapsed);
    EXPECT_STREQ(c.line, GetLogLine()) << c.elapsed;
  }
}

}  // namespace
