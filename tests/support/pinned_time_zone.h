// Pins the process's time zone for one test (TZ, then tzset) and puts the
// old setting back afterwards. Tests of UTC paths run under a zone far from
// UTC, so a local-time conversion in their place shows on a machine in UTC.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

// 13 hours ahead of UTC, no daylight saving (a POSIX zone: needs no tzdata).
// Local dates differ from UTC dates 13 hours of every day.
constexpr char kZoneAheadOfUtc[] = "XST-13";

class PinnedTimeZone {
 public:
  explicit PinnedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~PinnedTimeZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  // The zone's offset from UTC in seconds at `t` (east positive).
  static long OffsetAt(time_t t) {
    struct tm local = {};
    localtime_r(&t, &local);
    return local.tm_gmtoff;
  }
  PinnedTimeZone(const PinnedTimeZone&) = delete;
  PinnedTimeZone& operator=(const PinnedTimeZone&) = delete;

 private:
  std::optional<std::string> saved_;
};
