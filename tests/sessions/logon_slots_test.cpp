// Tests of the logged-on-user slots: issuing logon UIDs and session IDs, the
// refusals of a new slot, freeing with the last slot moved into the hole, the
// idle purge of a full table and the dump it leaves, adding and removing
// client sessions, and the session-ID text.
#include "sessions/logon_slots.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "foundation/result_codes.h"
#include "foundation/util/byte_order.h"
#include "support/slot_fixture.h"

namespace {

class LogonSlotsTest : public SlotTest {
 protected:
  void SetUp() override {
    SlotTest::SetUp();
    AddTestUser("carol", 0x1002);
    AddTestUser("guest", kUIDGuest);
  }
  // Fills the table with `n` slots of bob, one client session each (client 1000+i).
  void FillTable(int n) {
    for (int i = 0; i < n; ++i) ASSERT_NE(MakeTestSlot("bob", 1000 + i), 0u) << i;
  }
};

TEST_F(LogonSlotsTest, LogonUIDsCountUpAndSIDsAreUniqueBelowTwoToThe31) {
  uint32_t first = MakeTestSlot("bob", 5);
  uint32_t second = MakeTestSlot("carol", 6);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 2u);
  LogoffLUSSlot(0);
  EXPECT_EQ(MakeTestSlot("bob", 5), 3u) << "a freed slot's logon UID is not issued again";

  FillTable(MAXCON - GetLUSCount());
  std::set<uint32_t> sids;
  for (int i = 0; i < GetLUSCount(); ++i) {
    const LUS* slot = GetLUSByIndex(i);
    EXPECT_NE(slot->SID, 0u);
    EXPECT_LT(slot->SID, 0x80000000u);
    EXPECT_EQ(slot->sidVersion, kSIDVersion);
    sids.insert(slot->SID);
  }
  EXPECT_EQ(static_cast<int>(sids.size()), GetLUSCount());
}

TEST_F(LogonSlotsTest, NewSlotRefusals) {
  const UserStruct* bob = FindUser("bob");
  struct Case {
    const char* id;
    int32_t clientID;
    const char* name;
    const UserStruct* user;
    bool made;
    int failReason;
  } cases[] = {
      {"client 0", 0, "bob", bob, false, FR_INVALID_PARAMETER},
      {"no name", 5, nullptr, bob, false, FR_INVALID_PARAMETER},
      {"no record", 5, "bob", nullptr, false, FR_INVALID_PARAMETER},
      {"negative client without record", -70000, "bob", nullptr, false, FR_INVALID_PARAMETER},
      {"server client without record", 70000, "#", nullptr, true, FR_OK},
      {"ordinary", 5, "bob", bob, true, FR_OK},
  };
  for (const Case& c : cases) {
    int failReason = -1;
    LUS* slot = IGetNewLogonSlot(c.clientID, c.name, c.user, &failReason);
    EXPECT_EQ(slot != nullptr, c.made) << c.id;
    EXPECT_EQ(failReason, c.failReason) << c.id;
  }
  EXPECT_EQ(GetLUSCount(), 2);
}

TEST_F(LogonSlotsTest, NewSlotStartsWithOneSessionAndTheUsersLevel) {
  FindUser("bob")->LEVEL = 0x8000;
  int failReason = -1;
  LUS* slot = GetNewLogonSlot(5, "bob", FindUser("bob"), &failReason);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(SessionCIDs(slot), "5");
  EXPECT_EQ(slot->USERLEVEL, 0x8000u);
  EXPECT_EQ(slot->LASTUSED, static_cast<uint32_t>(kSlotTestNow));
  EXPECT_EQ(slot->CC, 0) << "CC is the logon's to set";
  EXPECT_FALSE(slot->USERNAME.has_value());
}

TEST_F(LogonSlotsTest, FailingRandomSourceFailsTheLogon) {
  SetRandomBytesFailStatus(-5);
  int failReason = -1;
  EXPECT_EQ(GetNewLogonSlot(5, "bob", FindUser("bob"), &failReason), nullptr);
  EXPECT_EQ(failReason, FR_NO_MEMORY);
  EXPECT_EQ(GetLUSCount(), 0);
}

TEST_F(LogonSlotsTest, FreeingMovesTheLastSlotIntoTheHoleWithoutAStaleCopy) {
  FillTable(10);
  const uint32_t lastUID = GetLUSByIndex(9)->logonUID;
  const uint32_t lastSID = GetLUSByIndex(9)->SID;
  ASSERT_EQ(LogoffLUSSlot(3), FR_OK);
  EXPECT_EQ(GetLUSCount(), 9);
  LUS* moved = GetLUSByIndex(3);
  EXPECT_EQ(moved->logonUID, lastUID);
  EXPECT_EQ(FindLUSByLogonUID(lastUID), moved);
  EXPECT_EQ(SessionCIDs(moved), "1009");
  EXPECT_EQ(GetLUSByIndex(9), nullptr);

  // The moved slot keeps working: sessions are added and removed in its new place.
  unsigned char wire[4];
  PutLE32(wire, lastSID);
  EXPECT_EQ(FindLUS(1, wire), moved);
  int failReason = -1;
  ASSERT_EQ(GetAdditionalLogonSlot(moved, 77, &failReason), 1);
  EXPECT_EQ(SessionCIDs(FindLUSByLogonUID(lastUID)), "77,1009");

  // A new slot takes the old last place and holds only its own session.
  uint32_t fresh = MakeTestSlot("carol", 8);
  EXPECT_EQ(GetLUSIndex(FindLUSByLogonUID(fresh)), 9);
  EXPECT_EQ(SessionCIDs(FindLUSByLogonUID(fresh)), "8");
  EXPECT_EQ(SessionCIDs(FindLUSByLogonUID(lastUID)), "77,1009");

  // Freeing the last slot moves nothing.
  FreeLUSSlot(9);
  EXPECT_EQ(FindLUSByLogonUID(fresh), nullptr);
  EXPECT_EQ(GetLUSIndex(FindLUSByLogonUID(lastUID)), 3);
}

TEST_F(LogonSlotsTest, RemovingClientSessionsByMatchValue) {
  struct Case {
    int32_t match;
    const char* left;  // "(none)": the slot was freed
  } cases[] = {{-5, "5"}, {5, "7"}, {0, "(none)"}, {9, "7,5"}, {-9, "(none)"}};
  for (const Case& c : cases) {
    ResetLogonSlots();
    uint32_t uid = MakeTestSlot("bob", 5);
    int failReason = -1;
    ASSERT_EQ(GetAdditionalLogonSlot(FindLUSByLogonUID(uid), 7, &failReason), 1);
    ASSERT_EQ(RemoveClientsFromLUS(0, c.match), FR_OK);
    LUS* slot = FindLUSByLogonUID(uid);
    EXPECT_EQ(SessionCIDs(slot), c.left) << c.match;
    if (slot) {
      EXPECT_EQ(slot->CC, static_cast<int>(slot->sessions.size())) << c.match;
    }
  }
  EXPECT_EQ(RemoveClientsFromLUS(1, 0), FR_INVALID_PARAMETER);
  EXPECT_EQ(RemoveClientsFromLUS(-1, 0), FR_INVALID_PARAMETER);
  EXPECT_EQ(LogoffLUSSlot(5), FR_INVALID_PARAMETER);
}

TEST_F(LogonSlotsTest, ClientIDMatchRule) {
  struct Case {
    int32_t session, match;
    bool matches;
  } cases[] = {
      {5, 0, true},       {5, 5, true},   {7, 5, false},   {5, -5, false},  {7, -5, true},
      {-5, -5, true},     {5, 9, false},  {0, 0, true},    {INT32_MIN, INT32_MIN, true},
      {5, INT32_MIN, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClientIDMatches(c.session, c.match), c.matches) << c.session << " / " << c.match;
  }
}

TEST_F(LogonSlotsTest, AdditionalSessionRefusals) {
  uint32_t bob = MakeTestSlot("bob", 5);
  uint32_t server = MakeTestSlot("#", 70000);
  int failReason = -1;
  EXPECT_EQ(GetAdditionalLogonSlot(FindLUSByLogonUID(bob), 0, &failReason), 0);
  EXPECT_EQ(failReason, FR_INVALID_PARAMETER);
  EXPECT_EQ(GetAdditionalLogonSlot(FindLUSByLogonUID(server), 9, &failReason), 0);
  EXPECT_EQ(failReason, FR_USER_NOT_FOUND) << "no user \"#\" in the directory";
  EXPECT_EQ(GetAdditionalLogonSlot(nullptr, 9, &failReason), 0);
  EXPECT_EQ(failReason, FR_INVALID_PARAMETER);

  // A guest slot is found through the user "guest", whatever its USERNAME.
  FindLUSByLogonUID(bob)->USERNAME = "CORP\\nobody";
  FindLUSByLogonUID(bob)->GUEST = 1;
  EXPECT_EQ(GetAdditionalLogonSlot(FindLUSByLogonUID(bob), 9, &failReason), 1);
  FindLUSByLogonUID(bob)->GUEST = 0;

  ASSERT_EQ(DeleteUser("bob", false), FR_OK);
  FindLUSByLogonUID(bob)->USERNAME = "bob";
  EXPECT_EQ(GetAdditionalLogonSlot(FindLUSByLogonUID(bob), 11, &failReason), 0);
  EXPECT_EQ(failReason, FR_USER_NOT_FOUND);
  EXPECT_EQ(SessionCIDs(FindLUSByLogonUID(bob)), "9,5") << "a refusal changes nothing";
  EXPECT_EQ(FindLUSByLogonUID(bob)->CC, 2);
}

TEST_F(LogonSlotsTest, FullTablePurgesOnlySlotsIdleLongerThanFiveMinutes) {
  FillTable(MAXCON);
  // Three idle slots in a row, one exactly at the limit, and an idle server logon.
  const uint32_t now = static_cast<uint32_t>(kSlotTestNow);
  uint32_t purged[3];
  for (int i = 0; i < 3; ++i) {
    GetLUSByIndex(10 + i)->LASTUSED = now - 301;
    purged[i] = GetLUSByIndex(10 + i)->logonUID;
  }
  GetLUSByIndex(20)->LASTUSED = now - 300;
  const uint32_t atLimit = GetLUSByIndex(20)->logonUID;
  GetLUSByIndex(30)->LASTUSED = now - 100000;
  GetLUSByIndex(30)->USERNAME = "#server";
  const uint32_t serverSlot = GetLUSByIndex(30)->logonUID;
  // The last slots are idle too, so they are moved into the holes and purged there.
  GetLUSByIndex(MAXCON - 1)->LASTUSED = now - 1000;
  const uint32_t lastIdle = GetLUSByIndex(MAXCON - 1)->logonUID;

  uint32_t fresh = MakeTestSlot("carol", 9);
  ASSERT_NE(fresh, 0u);
  EXPECT_EQ(GetLUSCount(), MAXCON - 4 + 1);
  for (uint32_t uid : purged) EXPECT_EQ(FindLUSByLogonUID(uid), nullptr);
  EXPECT_EQ(FindLUSByLogonUID(lastIdle), nullptr);
  EXPECT_NE(FindLUSByLogonUID(atLimit), nullptr);
  EXPECT_NE(FindLUSByLogonUID(serverSlot), nullptr);
  EXPECT_FALSE(std::filesystem::exists(home.File("lusdump.txt")));
}

TEST_F(LogonSlotsTest, FullTableWithNothingIdleRefusesAndDumpsOnce) {
  FillTable(MAXCON);
  int failReason = -1;
  EXPECT_EQ(GetNewLogonSlot(9, "carol", FindUser("carol"), &failReason), nullptr);
  EXPECT_EQ(failReason, FR_OK) << "the logon answers 34";
  std::string dump = ReadWholeFile(home.File("lusdump.txt"));
  EXPECT_EQ(dump.rfind("<LoggedOnUsers>\n<DateTime>6B49D200</DateTime>\n<Count>500</Count><ENTRY>", 0), 0u);

  WriteWholeFile(home.File("lusdump.txt"), "earlier dump");
  EXPECT_EQ(GetNewLogonSlot(9, "carol", FindUser("carol"), &failReason), nullptr);
  EXPECT_EQ(ReadWholeFile(home.File("lusdump.txt")), "earlier dump");
  EXPECT_EQ(GetLUSCount(), MAXCON);
}

TEST_F(LogonSlotsTest, PurgeDoesNothingBelowAFullTable) {
  MakeTestSlot("bob", 5);
  GetLUSByIndex(0)->LASTUSED = 1;
  PurgeIdleLogonSlots();
  EXPECT_EQ(GetLUSCount(), 1);
}

TEST_F(LogonSlotsTest, SessionIDTextIsTheWireBytesInOrder) {
  const unsigned char wire[4] = {0x0A, 0x0B, 0x0C, 0x0D};
  const uint32_t sid = GetLE32(wire);
  struct Case {
    const char* text;
    uint32_t sid;
  } cases[] = {
      {"0A0B0C0D", sid}, {"0a0b0c0d", sid}, {"0A0B0C0", 0},   {"0A0B0C0D0", 0},
      {"0A0B0G0D", 0},   {"00000000", 0},   {"", 0},          {" A0B0C0D", 0},
      {"7FFFFFFF", 0xFFFFFF7Fu},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseHexID(c.text), c.sid) << c.text;
  EXPECT_EQ(ParseHexID(nullptr), 0u);
  EXPECT_EQ(FormatHexID(sid), "0A0B0C0D");

  // The text of a real slot's SID finds that slot by the bytes a client is sent.
  uint32_t uid = MakeTestSlot("bob", 5);
  LUS* slot = FindLUSByLogonUID(uid);
  unsigned char sent[4];
  PutLE32(sent, slot->SID);
  char text[9];
  snprintf(text, sizeof text, "%02X%02X%02X%02X", sent[0], sent[1], sent[2], sent[3]);
  EXPECT_EQ(ParseHexID(text), slot->SID);
  EXPECT_EQ(FindLUS(1, sent), slot);
  EXPECT_EQ(FindLUS(2, sent), nullptr);
  EXPECT_EQ(FindLUS(1, nullptr), nullptr);
  EXPECT_EQ(FindLUSByLogonUID(0), nullptr);
}

TEST_F(LogonSlotsTest, UserLevelByName) {
  FindUser("carol")->LEVEL = 0x8200;
  EXPECT_EQ(GetUserLevelByName("carol"), 0x8200u);
  EXPECT_EQ(GetUserLevelByName("nobody"), 0u);
  EXPECT_EQ(GetUserLevelByName(""), 0u);
  EXPECT_EQ(GetUserLevelByName(nullptr), 0u);
}

}  // namespace
