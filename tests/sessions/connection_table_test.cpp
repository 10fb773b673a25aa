// Tests of the connection table's append and removal rule and of the current
// logon slot, which follows its slot when the slot moves and is none once the
// slot is freed.
#include "sessions/connection_table.h"

#include <gtest/gtest.h>

#include <string>

#include "support/slot_fixture.h"

namespace {

class ConnectionTableTest : public SlotTest {
 protected:
  std::string Sockets() {
    std::string out;
    for (int i = 0; i < GetConnectionCount(); ++i) {
      out += (out.empty() ? "" : ",") + std::to_string(GetConnectionByIndex(i)->socket);
    }
    return out;
  }
};

// A new entry is last used at its accept: its idle time counts from there.
TEST_F(ConnectionTableTest, AppendFillsOnlySocketAddressAndTheTimeOfTheAccept) {
  EXPECT_EQ(AppendConnection(10, "::1"), 0);
  EXPECT_EQ(AppendConnection(11, nullptr), 1);
  EXPECT_EQ(AppendConnection(12, std::string(100, '7').c_str()), 2);
  const ConnectionRecord* c = GetConnectionByIndex(0);
  EXPECT_STREQ(c->peerAddress, "::1");
  EXPECT_EQ(c->logonUID, 0u);
  EXPECT_EQ(c->lastUsed, static_cast<uint32_t>(kSlotTestNow));
  EXPECT_EQ(c->clientID, 0);
  EXPECT_STREQ(GetConnectionByIndex(1)->peerAddress, "<<unknown>>");
  EXPECT_EQ(std::string(GetConnectionByIndex(2)->peerAddress), std::string(63, '7'));
  EXPECT_EQ(FindConnectionIndexBySocket(12), 2);
  EXPECT_EQ(FindConnectionBySocket(99), nullptr);
}

TEST_F(ConnectionTableTest, TableHoldsAtMostMaxConnections) {
  for (int i = 0; i < MAX_CONNECTIONS; ++i) ASSERT_EQ(AppendConnection(100 + i, "::1"), i);
  EXPECT_EQ(AppendConnection(9999, "::1"), -1);
  EXPECT_EQ(GetConnectionCount(), MAX_CONNECTIONS);
}

TEST_F(ConnectionTableTest, RemovalMovesTheLastEntryIntoTheHole) {
  for (int s = 10; s < 15; ++s) AppendConnection(s, "::1");
  GetConnectionByIndex(4)->logonUID = 44;
  EXPECT_EQ(RemoveConnection(1), 0) << "the walk goes on at the moved entry";
  EXPECT_EQ(Sockets(), "10,14,12,13");
  EXPECT_EQ(GetConnectionByIndex(1)->logonUID, 44u);
  EXPECT_EQ(RemoveConnection(3), 2) << "removing the last moves nothing";
  EXPECT_EQ(Sockets(), "10,14,12");
  EXPECT_EQ(RemoveConnection(3), -2);
  EXPECT_EQ(RemoveConnection(-1), -2);
  EXPECT_EQ(Sockets(), "10,14,12");
  // The vacated places hold nothing: a new entry starts all zero.
  EXPECT_EQ(AppendConnection(20, "::1"), 3);
  EXPECT_EQ(GetConnectionByIndex(3)->logonUID, 0u);
}

// A record given back keeps the room of its reply buffer for the next
// connection, which starts with none of its bytes; while it waits among the
// spare records that room is still held, not lost (the sanitized build's
// leak check at the program's end finds every block it holds).
TEST_F(ConnectionTableTest, ARecordGivenBackKeepsTheRoomOfItsReplyBuffer) {
  ASSERT_EQ(AppendConnection(10, "::1"), 0);
  GetConnectionByIndex(0)->outputCarry.bytes.assign(5000, 'r');
  GetConnectionByIndex(0)->logonUID = 7;
  ASSERT_EQ(RemoveConnection(0), -1);
  ASSERT_EQ(AppendConnection(11, "::1"), 0);
  const ConnectionRecord* c = GetConnectionByIndex(0);
  EXPECT_TRUE(c->outputCarry.bytes.empty());
  EXPECT_GE(c->outputCarry.bytes.capacity(), 5000u) << "the room is kept";
  EXPECT_EQ(c->logonUID, 0u);
  // Given back once more, it stays among the spare records to the end.
  GetConnectionByIndex(0)->outputCarry.bytes.assign(3000, 's');
  ASSERT_EQ(RemoveConnection(0), -1);
}

TEST_F(ConnectionTableTest, CurrentLogonSlotFollowsItsSlotAndEndsWithIt) {
  uint32_t first = MakeTestSlot("bob", 5);
  uint32_t caller = MakeTestSlot("bob", 6);
  SetCurrentLogonSlot(caller);
  EXPECT_EQ(GetCurrentLogonSlot(), FindLUSByLogonUID(caller));
  LogoffLUSSlot(GetLUSIndex(FindLUSByLogonUID(first)));
  ASSERT_NE(GetCurrentLogonSlot(), nullptr) << "the caller's slot moved into index 0";
  EXPECT_EQ(GetCurrentLogonSlot()->logonUID, caller);
  EXPECT_EQ(GetLUSIndex(GetCurrentLogonSlot()), 0);
  LogoffLUSSlot(0);
  EXPECT_EQ(GetCurrentLogonSlot(), nullptr);

  SetCurrentLogonSlot(0);
  EXPECT_EQ(GetCurrentLogonSlot(), nullptr);
  SetCurrentLogonSlot(12345);
  EXPECT_EQ(GetCurrentLogonSlot(), nullptr);
  EXPECT_EQ(GetCurrentLogonUID(), 0u);
}

}  // namespace
