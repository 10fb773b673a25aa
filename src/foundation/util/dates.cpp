// Calendar utilities: month lengths, carries, date texts, local conversions.
// Foundation layer: the C library's time conversions, the core string helpers.
#include "foundation/util/dates.h"

#include <cstring>
#include <string_view>

#include "foundation/util/util.h"

namespace {

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysIn(int64_t year, int month0) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month0 < 0 || month0 > 11) return 0;
  return month0 == 1 && IsLeapYear(year) ? 29 : kDays[month0];
}

// Days from 1970-01-01 to the first of the month (0..11) of the year, by the
// proleptic Gregorian calendar, for any year.
int64_t DaysFromCivil(int64_t year, int64_t month0) {
  int64_t y = year - (month0 < 2 ? 1 : 0);
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t m = month0 + 1;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int DigitsValue(std::string_view s) {
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

// Splits the text into day, month and year and gives the parsed record; the
// parts must be decimal digits (a sign, an exponent or blanks are not a date).
std::optional<struct tm> ParseDateParts(const char* text) {
  // No date is that long: refused before the copy would log its cut.
  if (text == nullptr || strnlen(text, 128) >= 128) return std::nullopt;
  char work[128];
  SafeStrCopy(work, text, sizeof work);
  std::string_view t(work);
  std::string_view day, month, year;
  const size_t s1 = t.find('/');
  if (s1 != std::string_view::npos) {
    const size_t s2 = t.find('/', s1 + 1);
    if (s2 == std::string_view::npos || t.find('/', s2 + 1) != std::string_view::npos) return std::nullopt;
    day = t.substr(0, s1);
    month = t.substr(s1 + 1, s2 - s1 - 1);
    year = t.substr(s2 + 1);
    if (day.size() > 2 || month.size() > 2 || year.size() > 4) return std::nullopt;
  } else {
    if (t.size() != 6 && t.size() != 8) return std::nullopt;
    day = t.substr(0, 2);
    month = t.substr(2, 2);
    year = t.substr(4);
  }
  if (!AllDigits(day) || !AllDigits(month) || !AllDigits(year)) return std::nullopt;
  int y = DigitsValue(year);
  if (y < 70) y += 2000;
  else if (y < 100) y += 1900;
  struct tm out = {};
  out.tm_mday = DigitsValue(day);
  out.tm_mon = DigitsValue(month) - 1;
  out.tm_year = y - 1900;
  return out;
}

}  // namespace

int GetDaysInMonth(int yearsSince1900, int month) {
  return DaysIn(static_cast<int64_t>(yearsSince1900) + 1900, month);
}

int ClampDayOfMonth(int day, int month, int year) {
  if (month < 1) month = 1;
  if (month > 12) month = 12;
  const int last = DaysIn(year, month - 1);
  return day < 1 ? 1 : (day > last ? last : day);
}

void NormaliseTmDay(struct tm* tm) {
  if (tm == nullptr) return;
  if (tm->tm_mon < 0) tm->tm_mon = 0;
  if (tm->tm_mon > 11) tm->tm_mon = 11;
  tm->tm_mday = ClampDayOfMonth(tm->tm_mday, tm->tm_mon + 1, tm->tm_year + 1900);
}

int64_t UtcTmToTime(struct tm* tm) {
  if (tm == nullptr) return -1;
  // 64-bit throughout: no field's carry can overflow.
  int64_t year = tm->tm_year, mon = tm->tm_mon, mday = tm->tm_mday;
  int64_t hour = tm->tm_hour, min = tm->tm_min, sec = tm->tm_sec;
  if (year < 70) year += 100;
  if (sec > 59) min += sec / 60, sec %= 60;
  if (min > 59) hour += min / 60, min %= 60;
  if (hour > 23) mday += hour / 24, hour %= 24;
  if (mon > 11) year += mon / 12, mon %= 12;
  // A negative month counts back whole years (no field is clamped).
  if (mon < 0) year += FloorDiv(mon, 12), mon -= 12 * FloorDiv(mon, 12);
  year += 1900;
  // Whole 400-year cycles first, so a huge day count costs no long loop.
  if (mday > 146097) {
    const int64_t cycles = (mday - 1) / 146097;
    year += 400 * cycles;
    mday -= 146097 * cycles;
  }
  while (mday > DaysIn(year, static_cast<int>(mon))) {
    mday -= DaysIn(year, static_cast<int>(mon));
    if (++mon > 11) mon = 0, ++year;
  }
  const int64_t days = DaysFromCivil(year, mon) + (mday - 1);
  const int64_t result = days * 86400 + hour * 3600 + min * 60 + sec;
  const time_t t = static_cast<time_t>(result);
  struct tm refilled = {};
  if (gmtime_r(&t, &refilled) == nullptr) return -1;
  *tm = refilled;
  return result;
}

std::optional<struct tm> ParseDateString(const char* text) {
  std::optional<struct tm> parsed = ParseDateParts(text);
  if (!parsed) return std::nullopt;
  struct tm normal = *parsed;
  if (UtcTmToTime(&normal) < 0) return std::nullopt;
  if (normal.tm_mday != parsed->tm_mday || normal.tm_mon != parsed->tm_mon ||
      normal.tm_year != parsed->tm_year) {
    return std::nullopt;
  }
  return normal;
}

std::optional<struct tm> ParseDateStringUnchecked(const char* text) { return ParseDateParts(text); }

int64_t GetDayRoundedTime(struct tm* local) {
  if (local == nullptr) return -1;
  const int64_t t = LocalTmToTime(local);
  if (t == -1) return -1;
  const int64_t over = ((t % 86400) + 86400) % 86400;
  return over == 0 ? t : t + (86400 - over);
}

int AddSecondsToTm(struct tm* local, int64_t seconds) {
  if (local == nullptr) return 0;
  struct tm copy = *local;
  const time_t t = mktime(&copy);
  if (t == static_cast<time_t>(-1)) return 0;
  const time_t moved = static_cast<time_t>(static_cast<int64_t>(t) + seconds);
  struct tm out = {};
  if (localtime_r(&moved, &out) == nullptr) return 0;
  *local = out;
  return 1;
}

int64_t LocalTmToTime(struct tm* local) {
  if (local == nullptr) return -1;
  return static_cast<int64_t>(mktime(local));
}

std::optional<struct tm> TimeToUtcTm(int64_t time) {
  const time_t t = static_cast<time_t>(time);
  struct tm out = {};
  if (gmtime_r(&t, &out) == nullptr) return std::nullopt;
  return out;
}

std::optional<struct tm> TimeToLocalTm(int64_t time) {
  const time_t t = static_cast<time_t>(time);
  struct tm out = {};
  if (localtime_r(&t, &out) == nullptr) return std::nullopt;
  return out;
}
