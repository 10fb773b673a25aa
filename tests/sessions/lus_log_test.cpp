// Tests of the slot-operations log (off by default, one file per process,
// the line forms) and of the lusdump.txt text against a fixture written by
// hand.
#include "sessions/lus_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/slot_fixture.h"

namespace {

class LUSLogTest : public SlotTest {};

TEST_F(LUSLogTest, NothingIsWrittenWhileSlotOperationsAreOff) {
  MakeTestSlot("bob", 5);
  LogoffLUSSlot(0);
  WriteLUSLog("Server starting", 1);
  EXPECT_FALSE(std::filesystem::exists(home.File("luslogs")));
  EXPECT_TRUE(GetLUSLogFileName().empty());
}

TEST_F(LUSLogTest, LinesOfALogonAndItsLogoff) {
  GetServerSettings().logSlotOperations = 1;
  uint32_t uid = MakeTestSlot("bob", 5);
  LUS* slot = FindLUSByLogonUID(uid);
  char sid[9];
  snprintf(sid, sizeof sid, "%08x", slot->SID);
  LogoffLUSSlot(0);
  SetClockOverride(kSlotTestNow + 61);
  WriteLUSLog("Server stopping", 0);
  WriteLUSLog(nullptr, 0);

  EXPECT_EQ(GetLUSLogFileName(), home.File("luslogs/20270115080000.txt"));
  EXPECT_EQ(ReadWholeFile(GetLUSLogFileName()),
            "GetNewLogonSlot:Success (" + std::string(sid) +
                ") for user >bob< on client 5 - logonUID=00000001 : 2027-01-15T08:00:00\n"
                "FreeLoggedOnUser(bob, 0) cc=0 : 2027-01-15T08:00:00\n"
                "Server stopping\n"
                "\n");
}

TEST_F(LUSLogTest, DumpTextNamesEscaped) {
  MakeTestSlot("bob", 5);
  AddTestSession(1, -2);
  GetLUSByIndex(0)->USERLEVEL = 0x8000;
  MakeTestSlot("#a&b<c>", 70000);
  GetLUSByIndex(1)->LASTUSED = 0x12345678;
  EXPECT_EQ(BuildLoggedOnUsersDump(),
            "<LoggedOnUsers>\n<DateTime>6B49D200</DateTime>\n<Count>2</Count>"
            "<ENTRY><POS>1</POS><NAME>bob</NAME><LEVEL>32768</LEVEL><LU>6B49D200</LU>"
            "<SLS><CID>FFFFFFFE</CID></SLS><SLS><CID>00000005</CID></SLS></ENTRY>\n"
            "<ENTRY><POS>2</POS><NAME>#a&#038;b&#060;c&#062;</NAME><LEVEL>0</LEVEL><LU>12345678</LU>"
            "<SLS><CID>00011170</CID></SLS></ENTRY>\n"
            "</LoggedOnUsers>");
}

TEST_F(LUSLogTest, LocalTimeFollowsTheZone) {
  setenv("TZ", "EST5", 1);
  tzset();
  EXPECT_EQ(FormatLocalTime(kSlotTestNow, kLocalTimeStampFormat), "2027-01-15T03:00:00");
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FormatLocalTime(kSlotTestNow, kLocalTimeStampFormat), "2027-01-15T08:00:00");
}

}  // namespace
