// The VozozUdade counters: per environment, running totals of the documents
// and pages clients mail, fax, store and route, all-time, for the current UTC
// calendar year and month, and ad hoc, kept as STRING settings of the
// application "VozozUdade", and the 140-byte block clients read them in.
// Configuration layer: calls the model, the settings API, the env.xml writer,
// the platform clock and the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// ---- Names ------------------------------------------------------------------------
//
// Settings of the application, configuration tree:
//   DataStore\<Period>\Pages<Kind>, DataStore\<Period>\Docs<Kind>   "%d"
//   DataStore\<Period>\Start                                         "%08X"
// Period: All, Year, Month, AdHoc; Kind: Mailed, Faxed, Stored, Routed.

constexpr const char kGreenDataAppName[] = "VozozUdade";

// Periods (timeGroup).
enum GreenTimeGroup : int32_t {
  GREEN_PERIOD_ALL = 0,
  GREEN_PERIOD_YEAR = 1,
  GREEN_PERIOD_MONTH = 2,
  GREEN_PERIOD_ADHOC = 3,
};
constexpr int32_t kGreenPeriodCount = 4;

// Document kinds (docType).
enum GreenDocType : int32_t {
  GREEN_DOC_MAILED = 0,
  GREEN_DOC_FAXED = 1,
  GREEN_DOC_STORED = 2,
  GREEN_DOC_ROUTED = 3,
};
constexpr int32_t kGreenDocTypeCount = 4;

// "DataStore\All\" and so on; null outside 0..3.
const char* GetGreenPeriodPrefix(int32_t timeGroup);

// "Mailed" and so on; null outside 0..3.
const char* GetGreenDocTypeName(int32_t docType);

// ---- The block --------------------------------------------------------------------
//
//   words 0..7    All:   DocsMailed, PagesMailed, DocsFaxed, PagesFaxed,
//                        DocsStored, PagesStored, DocsRouted, PagesRouted
//   words 8..15   Year   (0 unless the Year period is current)
//   word  16      0
//   words 17..24  Month  (0 unless the Month period is current)
//   word  25      0
//   words 26..33  AdHoc
//   word  34      0
// Kind k of a period starting at word w: Docs at w + 2k, Pages at w + 2k + 1.

constexpr size_t kGreenDataBlockWords = 35;
constexpr size_t kGreenDataBlockSize = kGreenDataBlockWords * 4;  // 140 bytes

// First word of each period in the block (indexed by timeGroup).
constexpr size_t kGreenBlockPeriodFirstWord[kGreenPeriodCount] = {0, 8, 17, 26};

struct GreenDataBlock {
  int32_t words[kGreenDataBlockWords] = {};
};

// The block's 140 bytes: each word little-endian, in word order.
void EncodeGreenDataBlock(const GreenDataBlock& block, unsigned char out[kGreenDataBlockSize]);

// ---- Periods ------------------------------------------------------------------------

// True when a period whose Start setting holds `startText` is current at
// `now`: All and AdHoc always; Year when the Start (read as hex, non-zero) is
// of the same UTC calendar year as now, or later; Month when it is of the same
// UTC year and month, or later. A Start that is missing, empty, not hex or 0
// is not current. A Start in the future counts as current (a clock set back
// must not wipe the counters). Null `startText` is a missing Start.
bool IsGreenPeriodCurrent(int32_t timeGroup, const char* startText, uint32_t now);

// The Start text read as hex: leading blanks allowed, an optional 0x, hex
// digits up to the end, at most 32 bits. False (value 0) for null, empty,
// any other byte or an overflow.
bool ParseGreenStart(const char* text, uint32_t& value);

// ---- Operations ---------------------------------------------------------------------------
//
// A null or empty environment name means "Live". Every change rewrites the
// application's settings file (SetSettingString, AddToSettingInt). Codes:
// 2 bad argument, 17 no environment, 18 no VozozUdade application, 19 a
// setting missing, 1 memory, 14/15 the file write (the change stays in memory).

// Adds pageInc and docInc (wrapping) to the kind's Pages and Docs of All,
// Year, Month and AdHoc. Both Start settings are read before anything
// changes: a missing one (19), or any other lookup failure, changes nothing.
// A Year or Month period that is not current is opened first: its Start
// becomes now and that period's counters of all four kinds are zeroed; then
// the increments are added. The All counters are based on the "Live"
// environment's values when this environment has none yet (the settings'
// "Live" fallback). 2 for docType outside 0..3 (nothing changes); else 0 or
// the first failing step's code (the steps before it stay done).
int IncrementGreenDataValues(const char* envName, int32_t docType, int32_t pageInc,
                             int32_t docInc);

// Sets the period's Start to now ("%08X", All too), then the kind's Pages to
// pageValue and Docs to docValue ("%d"). 2 for timeGroup or docType outside
// 0..3; else 0 or the settings operations' code.
int SetGreenDataValues(const char* envName, int32_t timeGroup, int32_t docType,
                       int32_t pageValue, int32_t docValue);

// Fills `block` (zeroed first): All, then Year and Month when current, then
// AdHoc, each period read PagesMailed, DocsMailed, ... DocsRouted. 0; 2 for a
// null block; else the first lookup's code (17, 18, 19, 1), with the words
// read so far left in the block.
int GetGreenDataValues(const char* envName, GreenDataBlock* block);

// Sets AdHoc\Start to now, then the eight AdHoc counters to "0" (PagesMailed,
// DocsMailed, ... DocsRouted). 0 or the settings operations' code.
int ResetGreenAdHocCounts(const char* envName);

// Initialises the counters of the environment named `envName` (taken as
// given; null or empty is 17): creates the VozozUdade application when it is
// missing (name rule and shared settings-file-name check first: 2, 7; 1 when
// it cannot be made), sets every period's Start to one time and its eight
// counters to "0" (All, Year, Month, AdHoc; 36 settings), then rewrites
// env.xml and returns that write's code (also when the application existed).
// 17 no such environment; a setting's code stops it.
int InitEnvironmentGreenData(const char* envName);

// InitEnvironmentGreenData for every environment in the root's order; the
// first failing code stops the walk and is returned. 17 without a root.
int InitGreenData();

// The setting's text as a decimal integer (as GetSettingInt parses it): 0
// when the lookup fails (its code in `code`) or the setting has no text;
// `code` 0 otherwise.
int32_t GetNumericParamValue(const char* envName, const char* appName, const char* path,
                             int fallback, int permFlag, int& code);
