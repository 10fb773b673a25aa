// Calendar utilities: month lengths, clamping a day, broken-down UTC time to
// seconds with carries, date texts (dd/mm/yyyy, ddmmyy, ddmmyyyy), local-time
// conversions and a day-rounded time.
// Foundation layer: calls the C library's time conversions and the core
// string helpers (util.h).
//
// Results come back by value (a broken-down time in a std::optional, a
// 64-bit time), never in module-level buffers, so no call overwrites the
// result of another.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

// Days of the month (0..11) of the year given as years since 1900: 29 for
// February of a Gregorian leap year. 0 for a month outside 0..11.
int GetDaysInMonth(int yearsSince1900, int month);

// The day clamped to 1..days of `month` (1..12) of the full `year` (2024),
// 29 February only in a leap year. A month outside 1..12 is clamped first.
int ClampDayOfMonth(int day, int month, int year);

// Clamps tm_mon to 0..11 and tm_mday to that month of tm_year.
void NormaliseTmDay(struct tm* tm);

// Seconds since 1970-01-01 00:00 UTC of a broken-down UTC time. A tm_year
// below 70 first gets 100 added (two-digit years 00..69 are 2000..2069);
// seconds, minutes and hours above their range and months above 11 carry
// into the next field, and a day beyond its month's length carries into the
// following months; negative fields are not normalised first (they count
// back arithmetically). The record is then refilled from the result as UTC
// (gmtime), wday and yday included. Not limited to 32-bit times. -1 (record
// unchanged) for a null record or a result gmtime cannot express.
int64_t UtcTmToTime(struct tm* tm);

// The date of "d/m/y" (at most 2, 2 and 4 decimal digits; exactly two '/')
// or of "ddmmyy" / "ddmmyyyy" (6 or 8 decimal digits), years below 70 taken
// as 2000 + year and 70..99 as 1900 + year, as a broken-down UTC time at
// midnight. nullopt for null, another form, or a date that does not exist
// (the normalised day, month and year must equal the parsed ones, so
// "31/02/2024" is refused).
std::optional<struct tm> ParseDateString(const char* text);

// The same parse without normalising or checking the date: tm_mday, tm_mon
// and tm_year as parsed, every other field 0.
std::optional<struct tm> ParseDateStringUnchecked(const char* text);

// mktime of the broken-down local time, taken up to the next multiple of
// 86400 seconds (a time already on one stays); -1 when mktime fails.
int64_t GetDayRoundedTime(struct tm* local);

// Adds the seconds to the broken-down local time (through mktime and
// localtime) and stores the result back. 1, or 0 (record unchanged) when
// mktime or localtime fails.
int AddSecondsToTm(struct tm* local, int64_t seconds);

// mktime, gmtime and localtime of their argument; -1 / nullopt on failure.
int64_t LocalTmToTime(struct tm* local);
std::optional<struct tm> TimeToUtcTm(int64_t time);
std::optional<struct tm> TimeToLocalTm(int64_t time);
