// Calendar utilities: month lengths, the carries of UtcTmToTime, the date
// texts, and the local-time conversions under a pinned zone.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "foundation/util/dates.h"
#include "support/pinned_time_zone.h"

namespace {

struct tm Tm(int year, int mon, int mday, int hour = 0, int min = 0, int sec = 0) {
  struct tm t = {};
  t.tm_year = year;
  t.tm_mon = mon;
  t.tm_mday = mday;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  return t;
}

TEST(Dates, MonthLengthsAndClamps) {
  EXPECT_EQ(GetDaysInMonth(124, 1), 29);  // 2024
  EXPECT_EQ(GetDaysInMonth(123, 1), 28);
  EXPECT_EQ(GetDaysInMonth(0, 1), 28);    // 1900: divisible by 100
  EXPECT_EQ(GetDaysInMonth(100, 1), 29);  // 2000: divisible by 400
  EXPECT_EQ(GetDaysInMonth(124, 11), 31);
  EXPECT_EQ(GetDaysInMonth(124, 12), 0);
  EXPECT_EQ(ClampDayOfMonth(31, 2, 2023), 28);
  EXPECT_EQ(ClampDayOfMonth(30, 2, 2024), 29);
  EXPECT_EQ(ClampDayOfMonth(0, 4, 2024), 1);
  EXPECT_EQ(ClampDayOfMonth(31, 4, 2024), 30);
  struct tm t = Tm(123, 14, 31);
  NormaliseTmDay(&t);
  EXPECT_EQ(t.tm_mon, 11);
  EXPECT_EQ(t.tm_mday, 31);
  t = Tm(123, 1, 30);
  NormaliseTmDay(&t);
  EXPECT_EQ(t.tm_mday, 28);
}

// Under a zone far from UTC, so a local conversion in place of UTC shows.
TEST(Dates, UtcTmToTimeCarries) {
  PinnedTimeZone zone(kZoneAheadOfUtc);
  struct Case {
    const char* id;
    struct tm in;
    int64_t seconds;
    int year, mon, mday, hour, min, sec;
  } cases[] = {
      {"epoch", Tm(70, 0, 1), 0, 70, 0, 1, 0, 0, 0},
      {"two-digit year", Tm(24, 1, 29), 1709164800, 124, 1, 29, 0, 0, 0},
      {"seconds carry", Tm(100, 0, 1, 23, 59, 60), 946771200, 100, 0, 2, 0, 0, 0},
      {"minutes carry", Tm(100, 0, 1, 0, 125, 0), 946692300, 100, 0, 1, 2, 5, 0},
      {"hours carry", Tm(100, 0, 31, 48, 0, 0), 949449600, 100, 1, 2, 0, 0, 0},
      {"months carry", Tm(100, 13, 1), 980985600, 101, 1, 1, 0, 0, 0},
      {"day past February", Tm(123, 1, 29), 1677628800, 123, 2, 1, 0, 0, 0},
      {"day past several months", Tm(124, 0, 100), 1712620800, 124, 3, 9, 0, 0, 0},
      {"after 2038", Tm(169, 11, 31, 23, 59, 59), 3155759999, 169, 11, 31, 23, 59, 59},
      {"day zero counts back", Tm(124, 2, 0), 1709164800, 124, 1, 29, 0, 0, 0},
  };
  for (Case& c : cases) {
    EXPECT_EQ(UtcTmToTime(&c.in), c.seconds) << c.id;
    EXPECT_EQ(c.in.tm_year, c.year) << c.id;
    EXPECT_EQ(c.in.tm_mon, c.mon) << c.id;
    EXPECT_EQ(c.in.tm_mday, c.mday) << c.id;
    EXPECT_EQ(c.in.tm_hour, c.hour) << c.id;
    EXPECT_EQ(c.in.tm_min, c.min) << c.id;
    EXPECT_EQ(c.in.tm_sec, c.sec) << c.id;
  }
  struct tm huge = Tm(INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX);
  EXPECT_EQ(UtcTmToTime(&huge), -1);  // no overflow, just no such time
  EXPECT_EQ(UtcTmToTime(nullptr), -1);
}

TEST(Dates, ParseDateString) {
  struct Case {
    const char* text;
    bool ok;
    int mday, mon, year;  // year as tm_year
  } cases[] = {
      {"29/02/2023", false, 0, 0, 0}, {"29/02/2024", true, 29, 1, 124}, {"1/1/99", true, 1, 0, 99},
      {"31/12/69", true, 31, 11, 169}, {"31/02/2024", false, 0, 0, 0},  {"010203", true, 1, 1, 103},
      {"15081999", true, 15, 7, 99},   {"15082099", true, 15, 7, 199},  {"0103", false, 0, 0, 0},
      {"1/2/3/4", false, 0, 0, 0},     {"1/2", false, 0, 0, 0},         {"001/1/2000", false, 0, 0, 0},
      {"1/1/20000", false, 0, 0, 0},   {"1e/1/2000", false, 0, 0, 0},   {"-1/1/2000", false, 0, 0, 0},
      {"//", false, 0, 0, 0},          {"0/1/2000", false, 0, 0, 0},    {"1/13/2000", false, 0, 0, 0},
      {"12 4 99", false, 0, 0, 0},     {"", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    std::optional<struct tm> got = ParseDateString(c.text);
    ASSERT_EQ(got.has_value(), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(got->tm_mday, c.mday) << c.text;
    EXPECT_EQ(got->tm_mon, c.mon) << c.text;
    EXPECT_EQ(got->tm_year, c.year) << c.text;
    EXPECT_EQ(got->tm_hour, 0) << c.text;
  }
  EXPECT_EQ(ParseDateString(nullptr), std::nullopt);
  EXPECT_EQ(ParseDateString(std::string(200, '1').c_str()), std::nullopt);

  // Unchecked: the parsed fields as they are, impossible dates included.
  std::optional<struct tm> raw = ParseDateStringUnchecked("31/02/2023");
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->tm_mday, 31);
  EXPECT_EQ(raw->tm_mon, 1);
  EXPECT_EQ(raw->tm_year, 123);
  EXPECT_EQ(raw->tm_wday, 0);
  EXPECT_EQ(ParseDateStringUnchecked("3102202"), std::nullopt);
}

TEST(Dates, LocalConversions) {
  PinnedTimeZone zone(kZoneAheadOfUtc);  // UTC+13, no daylight saving
  struct tm local = Tm(124, 0, 1, 13, 0, 0);  // 2024-01-01 13:00 local = 00:00 UTC
  EXPECT_EQ(LocalTmToTime(&local), 1704067200);
  local = Tm(124, 0, 1, 13, 0, 0);
  EXPECT_EQ(GetDayRoundedTime(&local), 1704067200);  // already on a day
  local = Tm(124, 0, 1, 13, 0, 1);
  EXPECT_EQ(GetDayRoundedTime(&local), 1704067200 + 86400);
  local = Tm(124, 0, 1, 23, 30, 0);
  ASSERT_EQ(AddSecondsToTm(&local, 3600), 1);
  EXPECT_EQ(local.tm_mday, 2);
  EXPECT_EQ(local.tm_hour, 0);
  EXPECT_EQ(local.tm_min, 30);
  std::optional<struct tm> utc = TimeToUtcTm(1704067200), loc = TimeToLocalTm(1704067200);
  ASSERT_TRUE(utc && loc);
  EXPECT_EQ(utc->tm_hour, 0);
  EXPECT_EQ(loc->tm_hour, 13);
  EXPECT_EQ(AddSecondsToTm(nullptr, 1), 0);
  EXPECT_EQ(GetDayRoundedTime(nullptr), -1);
}

}  // namespace
