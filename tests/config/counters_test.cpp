// Tests of the VozozUdade counters with the settable clock: initialisation
// and increments read back as the 140-byte block (bytes written by hand), the
// period table of the increment (a passed Year or Month opens a new period),
// the argument and missing-setting failures that must change nothing, the
// "Live" fallback of the increment, and the initialisation's name checks.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <ctime>
#include <string>
#include <vector>

#include "config/config_model.h"
#include "config/counters.h"
#include "config/param_tree.h"
#include "config/settings_api.h"
#include "config/store_file_state.h"
#include "foundation/result_codes.h"
#include "platform/clock.h"
#include "settings_reader_fixture.h"
#include "support/pinned_time_zone.h"

namespace {

// Seconds of a UTC calendar time.
int64_t Utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return static_cast<int64_t>(timegm(&t));
}

// The periods are UTC calendar periods: the tests run 13 hours ahead of UTC
// (the fixture's Start of the month below is already September there), so a
// local-time conversion would show.
class Counters : public SettingsReaderFixture {
 protected:
  // 2020-09-13 12:26:40 UTC, the fixture's clock.
  static constexpr uint32_t kNow = static_cast<uint32_t>(kFixedTime);
  PinnedTimeZone zone{kZoneAheadOfUtc};

  void SetUp() override {
    ASSERT_EQ(13 * 3600, PinnedTimeZone::OffsetAt(kFixedTime));
    SettingsReaderFixture::SetUp();
    Env("Live");
    ASSERT_EQ(0, InitEnvironmentGreenData("Live"));
  }
  static std::string Setting(const char* env, const char* path) {
    std::optional<std::string> text;
    int rc = GetSettingString(env, kGreenDataAppName, path, 0, 0, text);
    if (rc != 0) return "code " + std::to_string(rc);
    return text.value_or("<none>");
  }
  static GreenDataBlock Block(const char* env) {
    GreenDataBlock b;
    EXPECT_EQ(0, GetGreenDataValues(env, &b));
    return b;
  }
  std::string File() const { return SettingsFile("live_vozozudade"); }
};

TEST_F(Counters, InitWritesEverySettingAndEnvXml) {
  EXPECT_NE(nullptr, FindApplication(FindEnvironment("Live"), kGreenDataAppName));
  EXPECT_NE(std::string::npos, EnvXml().find("<VozozUdade/>"));
  for (const char* period : {"All", "Year", "Month", "AdHoc"}) {
    std::string prefix = std::string("DataStore\\") + period + "\\";
    EXPECT_EQ("5F5E1000", Setting("Live", (prefix + "Start").c_str()));
    for (const char* kind : {"Mailed", "Faxed", "Stored", "Routed"}) {
      EXPECT_EQ("0", Setting("Live", (prefix + "Pages" + kind).c_str()));
      EXPECT_EQ("0", Setting("Live", (prefix + "Docs" + kind).c_str()));
    }
  }
  EXPECT_EQ(FR_ENV_NOT_FOUND, InitEnvironmentGreenData("Nowhere"));
  EXPECT_EQ(FR_ENV_NOT_FOUND, InitEnvironmentGreenData(nullptr));
}

TEST_F(Counters, InitPlusTwoIncrementsInTheBlock) {
  ASSERT_EQ(0, IncrementGreenDataValues(nullptr, GREEN_DOC_MAILED, 2, 1));
  SetClockOverride(kFixedTime + 3600);
  ASSERT_EQ(0, IncrementGreenDataValues("", GREEN_DOC_MAILED, 2, 1));
  GreenDataBlock b = Block("live");
  for (size_t word : {1u, 9u, 18u, 27u}) EXPECT_EQ(4, b.words[word]) << word;
  for (size_t word : {0u, 8u, 17u, 26u}) EXPECT_EQ(2, b.words[word]) << word;
  for (size_t word : {16u, 25u, 34u}) EXPECT_EQ(0, b.words[word]) << word;

  unsigned char bytes[kGreenDataBlockSize];
  EncodeGreenDataBlock(b, bytes);
  std::vector<unsigned char> expected(kGreenDataBlockSize, 0);
  // Word w at bytes 4w..4w+3, little-endian: DocsMailed 2, PagesMailed 4 of
  // All (words 0, 1), Year (8, 9), Month (17, 18) and AdHoc (26, 27).
  expected[0] = 0x02;
  expected[4] = 0x04;
  expected[32] = 0x02;
  expected[36] = 0x04;
  expected[68] = 0x02;
  expected[72] = 0x04;
  expected[104] = 0x02;
  expected[108] = 0x04;
  EXPECT_EQ(expected, std::vector<unsigned char>(bytes, bytes + kGreenDataBlockSize));
}

TEST(GreenBlock, EncodesEachWordLittleEndian) {
  GreenDataBlock b;
  b.words[0] = 0x01020304;
  b.words[33] = -2;
  b.words[34] = 0x7F;
  unsigned char bytes[kGreenDataBlockSize];
  EncodeGreenDataBlock(b, bytes);
  const unsigned char head[4] = {0x04, 0x03, 0x02, 0x01};
  const unsigned char tail[8] = {0xFE, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00};
  EXPECT_EQ(0, memcmp(head, bytes, 4));
  EXPECT_EQ(0, memcmp(tail, bytes + 132, 8));
}

TEST_F(Counters, KindsSitDocsBeforePages) {
  ASSERT_EQ(0, SetGreenDataValues("Live", GREEN_PERIOD_ADHOC, GREEN_DOC_ROUTED, 70, 7));
  ASSERT_EQ(0, SetGreenDataValues("Live", GREEN_PERIOD_ALL, GREEN_DOC_FAXED, 30, 3));
  GreenDataBlock b = Block("Live");
  EXPECT_EQ(3, b.words[2]);    // All DocsFaxed
  EXPECT_EQ(30, b.words[3]);   // All PagesFaxed
  EXPECT_EQ(7, b.words[32]);   // AdHoc DocsRouted
  EXPECT_EQ(70, b.words[33]);  // AdHoc PagesRouted
}

// Year\Start and Month\Start set to the case's text, then one increment of
// Mailed (2 pages, 1 document) on top of Mailed 10/5 and Faxed 3/3 in both
// periods.
TEST_F(Counters, PeriodTable) {
  struct Case {
    const char* name;
    std::string start;  // "-" for the fixture's own Start (now)
    bool current;
  };
  auto hex = [](int64_t t) {
    char text[16];
    snprintf(text, sizeof text, "%08X", static_cast<uint32_t>(t));
    return std::string(text);
  };
  const std::vector<Case> cases = {
      {"now", "-", true},
      {"earlier this month", hex(Utc(2020, 9, 1)), true},
      {"previous year", hex(Utc(2019, 12, 31, 23, 59, 59)), false},
      {"same month last year", hex(Utc(2019, 9, 20)), false},
      {"zero", "00000000", false},
      {"empty", "", false},
      {"not hex", "XYZ", false},
      {"hex then junk", "5F5E1000Z", false},
      {"future", hex(Utc(2021, 3, 1)), true},
      {"lower case hex", "5f5e1000", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetClockOverride(kFixedTime);
    ASSERT_EQ(0, InitEnvironmentGreenData("Live"));
    for (int32_t period : {GREEN_PERIOD_YEAR, GREEN_PERIOD_MONTH}) {
      ASSERT_EQ(0, SetGreenDataValues("Live", period, GREEN_DOC_MAILED, 10, 5));
      ASSERT_EQ(0, SetGreenDataValues("Live", period, GREEN_DOC_FAXED, 3, 3));
    }
    if (c.start != "-") {
      ASSERT_EQ(0, SetSettingString("Live", kGreenDataAppName, "DataStore\\Year\\Start", c.start.c_str()));
      ASSERT_EQ(0, SetSettingString("Live", kGreenDataAppName, "DataStore\\Month\\Start", c.start.c_str()));
    }
    SetClockOverride(kFixedTime + 60);
    ASSERT_EQ(0, IncrementGreenDataValues("Live", GREEN_DOC_MAILED, 2, 1));
    for (const char* period : {"Year", "Month"}) {
      std::string prefix = std::string("DataStore\\") + period + "\\";
      EXPECT_EQ(c.current ? "12" : "2", Setting("Live", (prefix + "PagesMailed").c_str())) << period;
      EXPECT_EQ(c.current ? "6" : "1", Setting("Live", (prefix + "DocsMailed").c_str())) << period;
      // A new period zeroes every kind and starts now.
      EXPECT_EQ(c.current ? "3" : "0", Setting("Live", (prefix + "PagesFaxed").c_str())) << period;
      if (!c.current) {
        EXPECT_EQ(hex(kFixedTime + 60), Setting("Live", (prefix + "Start").c_str()));
      }
    }
    GreenDataBlock b = Block("Live");
    EXPECT_EQ(c.current ? 12 : 2, b.words[9]);
    EXPECT_EQ(c.current ? 12 : 2, b.words[18]);
    EXPECT_EQ(c.current ? 3 : 0, b.words[11]);
  }
}

TEST_F(Counters, MonthTestedInUtcAndOnlyMonthOpened) {
  // Start in the last half hour of August, UTC; now is September.
  const int64_t start = Utc(2020, 8, 31, 23, 30);
  char text[16];
  snprintf(text, sizeof text, "%08X", static_cast<uint32_t>(start));
  EXPECT_FALSE(IsGreenPeriodCurrent(GREEN_PERIOD_MONTH, text, kNow));
  EXPECT_TRUE(IsGreenPeriodCurrent(GREEN_PERIOD_YEAR, text, kNow));
  EXPECT_TRUE(IsGreenPeriodCurrent(GREEN_PERIOD_ADHOC, nullptr, kNow));
  EXPECT_FALSE(IsGreenPeriodCurrent(GREEN_PERIOD_YEAR, nullptr, kNow));

  ASSERT_EQ(0, SetGreenDataValues("Live", GREEN_PERIOD_YEAR, GREEN_DOC_STORED, 8, 4));
  ASSERT_EQ(0, SetGreenDataValues("Live", GREEN_PERIOD_MONTH, GREEN_DOC_STORED, 8, 4));
  ASSERT_EQ(0, SetSettingString("Live", kGreenDataAppName, "DataStore\\Month\\Start", text));
  GreenDataBlock before = Block("Live");
  EXPECT_EQ(8, before.words[13]);  // Year PagesStored
  EXPECT_EQ(0, before.words[22]);  // Month not current: reported 0
  ASSERT_EQ(0, IncrementGreenDataValues("Live", GREEN_DOC_STORED, 1, 1));
  GreenDataBlock after = Block("Live");
  EXPECT_EQ(9, after.words[13]);
  EXPECT_EQ(1, after.words[22]);
}

TEST_F(Counters, FailuresThatChangeNothing) {
  ASSERT_EQ(0, IncrementGreenDataValues("Live", GREEN_DOC_FAXED, 1, 1));
  const std::string before = File();
  for (int32_t docType : {-1, 4}) {
    EXPECT_EQ(FR_INVALID_PARAMETER, IncrementGreenDataValues("Live", docType, 1, 1));
    EXPECT_EQ(FR_INVALID_PARAMETER, SetGreenDataValues("Live", GREEN_PERIOD_ALL, docType, 1, 1));
    EXPECT_EQ(FR_INVALID_PARAMETER, SetGreenDataValues("Live", docType, GREEN_DOC_MAILED, 1, 1));
  }
  EXPECT_EQ(FR_INVALID_PARAMETER, GetGreenDataValues("Live", nullptr));
  EXPECT_EQ(before, File());

  // A missing Start: 19 before any counter moves (a retry must not count twice).
  for (const char* path : {"DataStore\\Year\\Start", "DataStore\\Month\\Start"}) {
    SCOPED_TRACE(path);
    ASSERT_EQ(0, InitEnvironmentGreenData("Live"));
    ParamTreeNode* start =
        FindParamNode(FindApplication(FindEnvironment("Live"), kGreenDataAppName)->configRoot, path);
    ASSERT_NE(nullptr, start);
    ASSERT_EQ(0, DeleteSetting(start->header.uid, "Live", kGreenDataAppName, true));
    const std::string saved = File();
    EXPECT_EQ(FR_NODE_NOT_FOUND, IncrementGreenDataValues("Live", GREEN_DOC_MAILED, 2, 1));
    EXPECT_EQ(saved, File());
    EXPECT_EQ("0", Setting("Live", "DataStore\\All\\PagesMailed"));
    GreenDataBlock b;
    EXPECT_EQ(FR_NODE_NOT_FOUND, GetGreenDataValues("Live", &b));
  }
}

TEST_F(Counters, MissingEnvironmentOrApplication) {
  Env("Test");
  GreenDataBlock b;
  EXPECT_EQ(FR_APP_NOT_FOUND, GetGreenDataValues("Test", &b));
  EXPECT_EQ(FR_APP_NOT_FOUND, IncrementGreenDataValues("Test", GREEN_DOC_MAILED, 1, 1));
  EXPECT_EQ(FR_APP_NOT_FOUND, SetGreenDataValues("Test", GREEN_PERIOD_ALL, GREEN_DOC_MAILED, 1, 1));
  EXPECT_EQ(FR_APP_NOT_FOUND, ResetGreenAdHocCounts("Test"));
  EXPECT_EQ(FR_ENV_NOT_FOUND, GetGreenDataValues("Nowhere", &b));
  EXPECT_EQ(FR_ENV_NOT_FOUND, IncrementGreenDataValues("Nowhere", GREEN_DOC_MAILED, 1, 1));
}

TEST_F(Counters, IncrementStartsFromLiveWhereTheEnvironmentHasNoCounter) {
  ASSERT_EQ(0, IncrementGreenDataValues("Live", GREEN_DOC_MAILED, 10, 1));
  Env("Test");
  App("Test", kGreenDataAppName);
  // Only the two Start settings the increment needs.
  ASSERT_EQ(0, SetGreenDataValues("Test", GREEN_PERIOD_YEAR, GREEN_DOC_FAXED, 0, 0));
  ASSERT_EQ(0, SetGreenDataValues("Test", GREEN_PERIOD_MONTH, GREEN_DOC_FAXED, 0, 0));
  ASSERT_EQ(0, IncrementGreenDataValues("Test", GREEN_DOC_MAILED, 1, 1));
  EXPECT_EQ("11", Setting("Test", "DataStore\\All\\PagesMailed"));
  EXPECT_EQ("10", Setting("Live", "DataStore\\All\\PagesMailed"));
}

TEST_F(Counters, AdHocResetAndWrapping) {
  ASSERT_EQ(0, SetGreenDataValues("Live", GREEN_PERIOD_ADHOC, GREEN_DOC_MAILED, INT32_MAX, 1));
  ASSERT_EQ(0, IncrementGreenDataValues("Live", GREEN_DOC_MAILED, 1, 0));
  EXPECT_EQ(std::to_string(INT32_MIN), Setting("Live", "DataStore\\AdHoc\\PagesMailed"));
  SetClockOverride(kFixedTime + 16);
  ASSERT_EQ(0, ResetGreenAdHocCounts(nullptr));
  EXPECT_EQ("5F5E1010", Setting("Live", "DataStore\\AdHoc\\Start"));
  GreenDataBlock b = Block("Live");
  for (size_t w = 26; w < 34; ++w) EXPECT_EQ(0, b.words[w]) << w;
  EXPECT_EQ(1, b.words[1]);  // All kept
}

TEST_F(Counters, InitCreatesApplicationWithTheSharedFileNameCheck) {
  // Environment x holds y_VozozUdade: envs/x_y_vozozudade.xml, the file that
  // VozozUdade of environment x_y would get.
  Env("x");
  App("x", "y_VozozUdade");
  Env("x_y");
  EXPECT_EQ(FR_ALREADY_EXISTS, InitEnvironmentGreenData("x_y"));
  EXPECT_EQ(nullptr, FindApplication(FindEnvironment("x_y"), kGreenDataAppName));

  Env("Other");
  ASSERT_EQ(0, InitEnvironmentGreenData("Other"));
  EXPECT_NE(std::string::npos, EnvXml().find("<Other>\n<APPLICATIONS>\n<VozozUdade/>"));
  EXPECT_EQ(FR_ALREADY_EXISTS, InitGreenData());  // stops at x_y, after Live, x and before
}

// A counters file that env.xml no longer names (lost at a failed load) is
// kept as <file>.bad before the new counters replace it; with no file there,
// nothing is kept.
TEST_F(Counters, InitKeepsACountersFileThatEnvXmlLost) {
  const std::string orphan =
      "<?xml version=\"1.0\"?>\n<VozozUdade>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n"
      "<DataStore><All><PagesMailed>777</PagesMailed></All></DataStore>\n</CONFIGURATION>\n</VozozUdade>";
  Env("Other");
  WriteWholeFile(home.File("envs/other_vozozudade.xml"), orphan);
  ASSERT_EQ(0, InitEnvironmentGreenData("Other"));
  EXPECT_EQ(orphan, ReadWholeFile(home.File("envs/other_vozozudade.xml.bad")));
  EXPECT_EQ("0", Setting("Other", "DataStore\\All\\PagesMailed"));
  EXPECT_EQ(0u, GetFailedStoreFileCount());
  EXPECT_NE(std::string::npos, EnvXml().find("<Other>\n<APPLICATIONS>\n<VozozUdade/>"));
  // The fixture's Live had no file before its counters: nothing kept.
  EXPECT_FALSE(std::ifstream(home.File("envs/live_vozozudade.xml.bad")).good());
}

TEST_F(Counters, InitGreenDataWalksEveryEnvironment) {
  Env("A");
  Env("B");
  ASSERT_EQ(0, InitGreenData());
  for (const char* env : {"Live", "A", "B"}) {
    EXPECT_EQ("5F5E1000", Setting(env, "DataStore\\Month\\Start")) << env;
  }
  ResetConfigRoot();
  EXPECT_EQ(FR_ENV_NOT_FOUND, InitGreenData());
}

TEST(GreenStart, ParseTable) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t value;
  } cases[] = {
      {"5F5E1000", true, 0x5F5E1000}, {"0x1F", true, 0x1F},    {" ab ", true, 0xAB},
      {"FFFFFFFF", true, 0xFFFFFFFF}, {"100000000", false, 0}, {"", false, 0},
      {"G1", false, 0},               {"1 2", false, 0},       {nullptr, false, 0},
      {"0x", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t v = 7;
    EXPECT_EQ(c.ok, ParseGreenStart(c.text, v)) << (c.text ? c.text : "null");
    EXPECT_EQ(c.value, v);
  }
}

}  // namespace
