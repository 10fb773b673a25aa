// The settings API: single settings by environment, application and path —
// create and set, delete by UID, read as text with the "Live" fallback, read
// and increment integers, the XML text of a subtree, the password rules and
// an application's schema version. Changes other than AddSetting rewrite the
// application's settings file themselves.
// Configuration layer: calls the model, the parameter trees, the file writers
// of this subsystem and the foundation (log, util, uid registry).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "foundation/uid/node_header.h"

// ---- Well-known settings ---------------------------------------------------------

constexpr const char kPWRulesPath[] = "Settings\\PWRules";  // in Live/Torvane
constexpr const char kSchemaVersionPath[] = "SchemaVersion";
constexpr size_t kPWRulesBufferSize = 32;  // GetPWRulesString's buffer (31 characters)

// Bound of an integer setting's text ("%d" of any int32 is at most 11).
constexpr size_t kSettingIntTextSize = 12;

// ---- Environment names ----------------------------------------------------------------
//
// Each operation has its own rule for the environment name, kept as the
// clients have always seen it:
//   null  -> "Live" everywhere except DeleteSetting (17);
//   ""    -> "Live" for AddSetting (and the tree block request), but looked
//            up as it stands (17) by SetSettingString, GetSettingString,
//            AddToSettingInt and GetSettingSubtreeXML.
// Lookups report 17 (environment), 18 (application), 19 (path), checked in
// that order.

// ---- Changing settings ------------------------------------------------------------------

// Creates the missing nodes of `path` (backslash-separated) in the selected
// tree of env/app (permission tree when `permFlag` is non-zero) and gives the
// last node a copy of the value: type `type`, count and capacity `count`,
// `size` bytes from `value`. A new top-level node goes to the head of the
// top-level chain (the application's root then refers to it); new children go
// to the tail of their parent's chain. A null `value` (or size 0) leaves the
// node without a value. Writes no file.
// Elements that name existing nodes are followed whatever XML name a settings
// file gave those nodes (non-ASCII letters, ':'); the elements that would be
// created must be names of the form [A-Za-z_][A-Za-z0-9_-]* of at most 255
// bytes (IsValidParamNodeName), all checked before the first is created.
// 2: null application; null or empty path; a path of more than
// kMaxParamPathDepth (254) elements, which no settings file could read back;
// a value CheckParamValueBytes refuses (a STRING scalar without NUL or not
// valid text — UTF-8, no control bytes but TAB, LF, CR; FIXED_STRING, COMPLEX
// and STRING arrays, which bytes cannot carry; short numeric values). These
// checks come before the lookups: 17, 18; then 2 for an element to be created
// that breaks the name rule (an empty one included: nothing is created); then
// 1 for memory (nodes already added stay, the last without a value). 0.
int AddSetting(const char* envName, const char* appName, const char* path, int permFlag,
               uint32_t type, int32_t count, const void* value, size_t size);

// Stores `text` as a STRING scalar at `path` in the configuration tree, then
// rewrites the settings file. A null text stores the node without a value.
// 2 (null application or path, or a path or text refused as by AddSetting),
// 17, 18, 1, or the write's code (the change stays in memory then).
int SetSettingString(const char* envName, const char* appName, const char* path,
                     const char* text);

// Deletes the parameter node `uid` with its subtree (not its siblings). The
// node is found by UID in any tree; the environment and application must
// exist (no "Live" default), but the file rewritten (with `save`) is that of
// the application whose tree holds the node (through its top-level
// ancestor); only a node in no application's tree saves the named one. A
// top-level node is first dropped from every application root that refers to
// it (the root moves on to its next sibling). 2 for UID 0; 19 not registered;
// 23 a record that is not a parameter node; 17, 18; 19 when a top-level
// node's sibling is not registered (nothing deleted); then with `save` the
// write's code, else 0.
int DeleteSetting(UID uid, const char* envName, const char* appName, bool save);

// Adds `delta` to the integer setting (read as GetSettingInt with default 0,
// so a setting missing here starts from the "Live" value) in 32-bit wrapping
// arithmetic and stores it "%d" as a STRING in the configuration tree, then
// rewrites the settings file. 2, 17, 18, 1, or the write's code.
int AddToSettingInt(const char* envName, const char* appName, const char* path, int32_t delta);

// Records `version` as "SchemaVersion" of env/app, creating the application
// (AddApplicationToEnvironment: name rule, env.xml and an empty settings file)
// when it is missing. 17 no such environment; 2 for a version text that is
// not valid XML text (checked before anything is created); that operation's
// codes; SetSettingString's codes.
int SetSchemaVersion(const char* envName, const char* appName, const char* version);

// ---- Reading settings --------------------------------------------------------------------

// The setting's value as text in `out` (none when the node has no value).
// With `fallback` a missing application or path in a non-"Live" environment
// is looked up in "Live" instead; a missing environment is 17 regardless, and
// a node that exists without a value gives none with 0 (no fallback).
// 0; 2 null application; 17; 18; 19 path missing; 1 memory; 22 a type that
// cannot be shown as text. `out` is none on failure.
int GetSettingString(const char* envName, const char* appName, const char* path, int fallback,
                     int permFlag, std::optional<std::string>& out);

// The integer value of a configuration setting, with the fallback: its leading
// decimal integer as atoi reads it (leading white space, one sign, digits up to
// the first other character; 0 without digits), saturating at INT32_MIN /
// INT32_MAX. `defaultValue` when there is no such setting, no value or any
// failure.
int32_t GetSettingInt(const char* envName, const char* appName, const char* path,
                      int32_t defaultValue);

// atoi of a text as above, saturating; 0 for null.
int32_t ParseSettingInt(const char* text);

// The plain XML text of the configuration subtree at `path` (GetSubtreeXML);
// the empty text when the path is null or not found. 0; 2 null application;
// 17; 18; 1 memory.
int GetSettingSubtreeXML(const char* envName, const char* appName, const char* path,
                         std::string& out);

// The password rules (Live/Torvane "Settings\PWRules", at most 31 characters,
// a longer text cut and logged) in a shared buffer that the next call
// overwrites; null when the setting is missing, has no value or cannot be
// read (logged "GetPWRulesString:Error %d getting rules string").
const char* GetPWRulesString();

// ---- Unused entry points ----------------------------------------------------------------------

// Kept for the handlers that no message reaches: UpdateSetting always gives 0,
// GetSetting always null.
int UpdateSetting();
const char* GetSetting();
