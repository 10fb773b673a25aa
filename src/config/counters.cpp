// The VozozUdade counters: their setting names, the period tests in UTC, the
// increment (which opens a new Year or Month period when the old one has
// passed), set, reset, read into the 140-byte block, and initialisation.
// Configuration layer: calls the model, the settings API, the env.xml writer,
// the platform clock and the log.
#include "config/counters.h"

#include <cstdio>
#include <ctime>
#include <optional>

#include "config/config_model.h"
#include "config/settings_api.h"
#include "config/settings_files_write.h"
#include "foundation/result_codes.h"
#include "foundation/util/byte_order.h"
#include "foundation/util/util.h"
#include "platform/clock.h"

namespace {

constexpr const char* kPeriodPrefixes[kGreenPeriodCount] = {
    "DataStore\\All\\", "DataStore\\Year\\", "DataStore\\Month\\", "DataStore\\AdHoc\\"};
constexpr const char* kDocTypeNames[kGreenDocTypeCount] = {"Mailed", "Faxed", "Stored", "Routed"};

// Room for the longest setting path ("DataStore\Month\PagesStored") and more.
constexpr size_t kCounterPathSize = 64;
// "%08X" of a 32-bit time, "%d" of an int32, with the NUL.
constexpr size_t kCounterTextSize = 16;

inline bool ValidIndex(int32_t value, int32_t count) { return value >= 0 && value < count; }

// A null or empty environment name means "Live" for every counter operation.
inline const char* EnvOrLive(const char* envName) {
  return (envName != nullptr && envName[0] != '\0') ? envName : kLiveEnvironmentName;
}

struct CounterPath {
  char text[kCounterPathSize];
};

CounterPath PagesPath(int32_t period, int32_t kind) {
  CounterPath p;
  snprintf(p.text, sizeof p.text, "%sPages%s", kPeriodPrefixes[period], kDocTypeNames[kind]);
  return p;
}
CounterPath DocsPath(int32_t period, int32_t kind) {
  CounterPath p;
  snprintf(p.text, sizeof p.text, "%sDocs%s", kPeriodPrefixes[period], kDocTypeNames[kind]);
  return p;
}
CounterPath StartPath(int32_t period) {
  CounterPath p;
  snprintf(p.text, sizeof p.text, "%sStart", kPeriodPrefixes[period]);
  return p;
}

int SetCounterText(const char* env, const char* path, const char* text) {
  return SetSettingString(env, kGreenDataAppName, path, text);
}

int SetCounterValue(const char* env, const char* path, int32_t value) {
  char text[kCounterTextSize];
  snprintf(text, sizeof text, "%d", value);
  return SetCounterText(env, path, text);
}

int SetStartTime(const char* env, int32_t period, uint32_t time) {
  char text[kCounterTextSize];
  snprintf(text, sizeof text, "%08X", time);
  return SetCounterText(env, StartPath(period).text, text);
}

// The period's eight counters to "0", in the order PagesMailed, DocsMailed,
// PagesFaxed, ... DocsRouted.
int ZeroPeriodCounters(const char* env, int32_t period) {
  for (int32_t kind = 0; kind < kGreenDocTypeCount; ++kind) {
    int rc = SetCounterText(env, PagesPath(period, kind).text, "0");
    if (rc != FR_OK) return rc;
    rc = SetCounterText(env, DocsPath(period, kind).text, "0");
    if (rc != FR_OK) return rc;
  }
  return FR_OK;
}

// Start = time, then the eight counters "0".
int RestartPeriod(const char* env, int32_t period, uint32_t time) {
  int rc = SetStartTime(env, period, time);
  if (rc != FR_OK) return rc;
  return ZeroPeriodCounters(env, period);
}

// Adds the increments to the kind's Pages and Docs of the period.
int AddToPeriod(const char* env, int32_t period, int32_t kind, int32_t pageInc, int32_t docInc) {
  int rc = AddToSettingInt(env, kGreenDataAppName, PagesPath(period, kind).text, pageInc);
  if (rc != FR_OK) return rc;
  return AddToSettingInt(env, kGreenDataAppName, DocsPath(period, kind).text, docInc);
}

// The period's Start setting as text (none when it has no value). 0 or the
// lookup's code.
int ReadStart(const char* env, int32_t period, std::optional<std::string>& out) {
  return GetSettingString(env, kGreenDataAppName, StartPath(period).text, 0, 0, out);
}

// The UTC calendar year and month (0..11) of a 32-bit time.
bool UtcYearMonth(uint32_t time, int& year, int& month) {
  time_t t = static_cast<time_t>(time);
  struct tm parts;
  if (gmtime_r(&t, &parts) == nullptr) return false;
  year = parts.tm_year;
  month = parts.tm_mon;
  return true;
}

}  // namespace

// ---- Names ------------------------------------------------------------------------

const char* GetGreenPeriodPrefix(int32_t timeGroup) {
  return ValidIndex(timeGroup, kGreenPeriodCount) ? kPeriodPrefixes[timeGroup] : nullptr;
}

const char* GetGreenDocTypeName(int32_t docType) {
  return ValidIndex(docType, kGreenDocTypeCount) ? kDocTypeNames[docType] : nullptr;
}

// ---- The block --------------------------------------------------------------------

void EncodeGreenDataBlock(const GreenDataBlock& block, unsigned char out[kGreenDataBlockSize]) {
  for (size_t i = 0; i < kGreenDataBlockWords; ++i) {
    PutLE32(out + 4 * i, static_cast<uint32_t>(block.words[i]));
  }
}

// ---- Periods ------------------------------------------------------------------------

bool ParseGreenStart(const char* text, uint32_t& value) {
  value = 0;
  if (text == nullptr) return false;
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && HexDigitValue(p[2]) >= 0) p += 2;
  uint64_t v = 0;
  size_t digits = 0;
  for (; HexDigitValue(*p) >= 0; ++p, ++digits) {
    v = v * 16 + static_cast<uint64_t>(HexDigitValue(*p));
    if (v > 0xFFFFFFFFu) return false;
  }
  while (*p == ' ' || *p == '\t') ++p;
  if (digits == 0 || *p != '\0') return false;
  value = static_cast<uint32_t>(v);
  return true;
}

bool IsGreenPeriodCurrent(int32_t timeGroup, const char* startText, uint32_t now) {
  if (timeGroup == GREEN_PERIOD_ALL || timeGroup == GREEN_PERIOD_ADHOC) return true;
  if (timeGroup != GREEN_PERIOD_YEAR && timeGroup != GREEN_PERIOD_MONTH) return false;
  uint32_t start = 0;
  if (!ParseGreenStart(startText, start) || start == 0) return false;
  // A Start ahead of the clock (a clock set back) keeps the period: opening a
  // new one would wipe counts that belong to the current period.
  if (start > now) return true;
  int startYear = 0, startMonth = 0, nowYear = 0, nowMonth = 0;
  if (!UtcYearMonth(start, startYear, startMonth) || !UtcYearMonth(now, nowYear, nowMonth)) return false;
  if (startYear != nowYear) return false;
  return timeGroup == GREEN_PERIOD_YEAR || startMonth == nowMonth;
}

// ---- Operations ---------------------------------------------------------------------------

int32_t GetNumericParamValue(const char* envName, const char* appName, const char* path, int fallback,
                             int permFlag, int& code) {
  std::optional<std::string> text;
  code = GetSettingString(envName, appName, path, fallback, permFlag, text);
  if (code != FR_OK || !text) return 0;
  return ParseSettingInt(text->c_str());
}

int IncrementGreenDataValues(const char* envName, int32_t docType, int32_t pageInc, int32_t docInc) {
  if (!ValidIndex(docType, kGreenDocTypeCount)) return FR_INVALID_PARAMETER;
  const char* env = EnvOrLive(envName);

  // Both Start settings are read before anything changes, so that a missing
  // one (19) leaves every counter as it was and a retry does not count twice.
  std::optional<std::string> yearStart;
  std::optional<std::string> monthStart;
  int rc = ReadStart(env, GREEN_PERIOD_YEAR, yearStart);
  if (rc != FR_OK) return rc;
  rc = ReadStart(env, GREEN_PERIOD_MONTH, monthStart);
  if (rc != FR_OK) return rc;

  const uint32_t now = NowTime32();
  const bool yearCurrent = IsGreenPeriodCurrent(GREEN_PERIOD_YEAR, yearStart ? yearStart->c_str() : nullptr, now);
  const bool monthCurrent =
      IsGreenPeriodCurrent(GREEN_PERIOD_MONTH, monthStart ? monthStart->c_str() : nullptr, now);

  rc = AddToPeriod(env, GREEN_PERIOD_ALL, docType, pageInc, docInc);
  if (rc != FR_OK) return rc;

  // A period that has passed is opened anew (Start now, all four kinds
  // zeroed), as the AdHoc reset does for AdHoc: otherwise the period's other
  // kinds would keep the old period's counts, and the block would report the
  // whole period as 0 until a client set it.
  if (!yearCurrent) {
    rc = RestartPeriod(env, GREEN_PERIOD_YEAR, now);
    if (rc != FR_OK) return rc;
  }
  rc = AddToPeriod(env, GREEN_PERIOD_YEAR, docType, pageInc, docInc);
  if (rc != FR_OK) return rc;

  if (!monthCurrent) {
    rc = RestartPeriod(env, GREEN_PERIOD_MONTH, now);
    if (rc != FR_OK) return rc;
  }
  rc = AddToPeriod(env, GREEN_PERIOD_MONTH, docType, pageInc, docInc);
  if (rc != FR_OK) return rc;

  return AddToPeriod(env, GREEN_PERIOD_ADHOC, docType, pageInc, docInc);
}

int SetGreenDataValues(const char* envName, int32_t timeGroup, int32_t docType, int32_t pageValue,
                       int32_t docValue) {
  if (!ValidIndex(timeGroup, kGreenPeriodCount) || !ValidIndex(docType, kGreenDocTypeCount))
    return FR_INVALID_PARAMETER;
  const char* env = EnvOrLive(envName);
  int rc = SetStartTime(env, timeGroup, NowTime32());
  if (rc != FR_OK) return rc;
  rc = SetCounterValue(env, PagesPath(timeGroup, docType).text, pageValue);
  if (rc != FR_OK) return rc;
  return SetCounterValue(env, DocsPath(timeGroup, docType).text, docValue);
}

int GetGreenDataValues(const char* envName, GreenDataBlock* block) {
  if (block == nullptr) return FR_INVALID_PARAMETER;
  *block = GreenDataBlock{};
  const char* env = EnvOrLive(envName);

  // Reads the period's counters in the order PagesMailed, DocsMailed, ...
  // into its words (Docs of kind k at first + 2k, Pages right after).
  auto readPeriod = [&](int32_t period) -> int {
    const size_t first = kGreenBlockPeriodFirstWord[period];
    for (int32_t kind = 0; kind < kGreenDocTypeCount; ++kind) {
      int code = FR_OK;
      int32_t pages = GetNumericParamValue(env, kGreenDataAppName, PagesPath(period, kind).text, 0, 0, code);
      if (code != FR_OK) return code;
      block->words[first + 2 * kind + 1] = pages;
      int32_t docs = GetNumericParamValue(env, kGreenDataAppName, DocsPath(period, kind).text, 0, 0, code);
      if (code != FR_OK) return code;
      block->words[first + 2 * kind] = docs;
    }
    return FR_OK;
  };

  int rc = readPeriod(GREEN_PERIOD_ALL);
  if (rc != FR_OK) return rc;
  const uint32_t now = NowTime32();
  for (int32_t period : {GREEN_PERIOD_YEAR, GREEN_PERIOD_MONTH}) {
    std::optional<std::string> start;
    rc = ReadStart(env, period, start);
    if (rc != FR_OK) return rc;
    if (IsGreenPeriodCurrent(period, start ? start->c_str() : nullptr, now)) {
      rc = readPeriod(period);
      if (rc != FR_OK) return rc;
    }
  }
  return readPeriod(GREEN_PERIOD_ADHOC);
}

int ResetGreenAdHocCounts(const char* envName) {
  return RestartPeriod(EnvOrLive(envName), GREEN_PERIOD_ADHOC, NowTime32());
}

int InitEnvironmentGreenData(const char* envName) {
  const uint32_t now = NowTime32();
  EnvironmentStruct* env = FindEnvironment(envName);
  if (env == nullptr) return FR_ENV_NOT_FOUND;
  // The name is copied: the settings operations look the environment up again.
  const std::string name = env->name;

  bool created = false;
  if (FindApplication(env, kGreenDataAppName) == nullptr) {
    // The application is created as any other on request: a name that reads
    // back, and a settings file no other pair shares.
    if (!IsValidEnvAppName(kGreenDataAppName)) return FR_INVALID_PARAMETER;
    int rc = CheckSettingsFileNameFree(name.c_str(), kGreenDataAppName);
    if (rc != FR_OK) return rc;
    if (AddApplication(env, kGreenDataAppName) == nullptr) return FR_NO_MEMORY;
    // The counters' first setting rewrites the settings file: one left there
    // by an application env.xml lost is kept as <file>.bad first.
    NoteSettingsFileOfNewApplication(env, kGreenDataAppName);
    created = true;
  }
  env = nullptr;

  int rc = FR_OK;
  for (int32_t period = 0; period < kGreenPeriodCount && rc == FR_OK; ++period)
    rc = RestartPeriod(name.c_str(), period, now);
  // A failed setting ends the initialisation, but an application made here
  // must still be listed in env.xml, or it is gone after a restart.
  if (rc != FR_OK && !created) return rc;

  std::string envPath;
  int writeRc = GetEnvMasterFileName(envPath);
  if (writeRc == FR_OK) writeRc = WriteEnvironmentMasterFile(envPath.c_str());
  return rc != FR_OK ? rc : writeRc;
}

int InitGreenData() {
  TorvaneStructure* root = GetConfigRoot();
  if (root == nullptr) return FR_ENV_NOT_FOUND;
  for (size_t i = 0; i < root->envs.size(); ++i) {
    // By index and with a copy of the name: nothing here adds or removes
    // environments, but no reference is kept across the calls all the same.
    const std::string name = root->envs[i].name;
    int rc = InitEnvironmentGreenData(name.c_str());
    if (rc != FR_OK) return rc;
    root = GetConfigRoot();
    if (root == nullptr) return FR_ENV_NOT_FOUND;
  }
  return FR_OK;
}
