// The configuration store's upper model: the one configuration root
// (TorvaneStructure), its environments in insertion order and each
// environment's applications sorted by name, with their name rule and the
// file names derived from the names.
// Configuration layer: calls the parameter trees (param_tree.h), the settings
// API and file writers of this subsystem, and the foundation (log, util, uid).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/uid/node_header.h"

struct ParamTreeNode;  // param_tree.h

// ---- Constants -------------------------------------------------------------

constexpr const char kLiveEnvironmentName[] = "Live";   // the default environment
constexpr const char kServerApplicationName[] = "Torvane";  // the server's own application
constexpr const char kEnvMasterFileName[] = "env.xml";  // under the home directory
constexpr const char kEnvsDirectoryName[] = "envs";     // application settings files
constexpr const char kSchemasDirectoryName[] = "schemas";

// Environment and application arrays grow by this many records.
constexpr size_t kEnvAppGrowStep = 5;

// The longest valid environment or application name (the rule allows < 32).
constexpr size_t kMaxEnvAppNameLength = 31;

// Every file name of the store (env.xml path, settings and schema files) fits
// this many bytes with its NUL; a longer one is refused (2).
constexpr size_t kConfigFileNameSize = 1024;

// ---- Records ----------------------------------------------------------------

// One application of an environment. Held by value in its environment's
// `apps` array (moved by every add, delete and sort there). Never registered
// (UID 0).
struct ApplicationStruct {
  NodeHeader header;  // UID 0, kind NODE_KIND_APPLICATION, timeStamp = last
                      // write or read of the settings file
  std::string name;
  // First node of each tree's top-level chain, or null for an empty tree. The
  // application owns both trees (released by FreeApplication); the nodes are
  // separate records whose addresses do not move, so these stay valid while
  // the application record itself moves.
  ParamTreeNode* configRoot = nullptr;
  ParamTreeNode* permRoot = nullptr;
};

// One environment. Held by value in the root's `envs` array.
struct EnvironmentStruct {
  NodeHeader header;  // UID 0 (4000000005 for the "Live" of a new home
                      // directory until the next start), kind NODE_KIND_ENVIRONMENT
  std::string name;
  // The applications, sorted by CompareAppNames. Its size is the record's
  // application count; its capacity grows in steps of kEnvAppGrowStep.
  std::vector<ApplicationStruct> apps;
  std::optional<std::string> description;  // none, or the text (maybe empty)
};

// The configuration root: one per process (GetConfigRoot).
struct TorvaneStructure {
  NodeHeader header;  // UID kUIDConfigurationRoot, kind NODE_KIND_CONFIG_ROOT,
                      // timeStamp = last write or read of env.xml
  std::string homeDir;  // prefix of every configuration file
  // The environments in the order they were added (the order of env.xml). Its
  // size is the environment count; capacity grows in steps of kEnvAppGrowStep.
  std::vector<EnvironmentStruct> envs;
};

// Pointers and references into `envs` and `apps` are valid only until the
// next add or delete in that array: use them at once, keep none.

// ---- The root -----------------------------------------------------------------

// The process-wide root, or null before the first CreateConfigRoot.
TorvaneStructure* GetConfigRoot();

// Frees the current root with everything under it, then makes a new empty root
// (UID 4000000004, kind 2) with a copy of `homeDir` (null taken as ""). 0, or
// 1 when memory fails (no root remains then).
int CreateConfigRoot(const char* homeDir);

// Frees every environment of `root` (their applications and trees), empties
// their cached server lists, and frees the home directory text. With
// freeRecord set and `root` the process root, the root itself goes too
// (GetConfigRoot then gives null). Null: nothing.
void FreeConfigRoot(TorvaneStructure* root, bool freeRecord);

// Tests: frees the process root (as FreeConfigRoot with freeRecord). The node
// registry is reset separately (ResetNodeRegistry).
void ResetConfigRoot();

// ---- Environments ---------------------------------------------------------------

// Appends an environment named `name` with UID `uid` to `root` and gives it;
// null when the root or name is null, the name exists (logged "Cannot create
// environment >%s< as it already exists") or memory fails. A root is needed:
// this system makes no environment outside a root.
EnvironmentStruct* CreateEnvironment(TorvaneStructure* root, const char* name, UID uid);

// The append behind CreateEnvironment (same results).
EnvironmentStruct* AddEnvironmentToRoot(TorvaneStructure* root, const char* name, UID uid);

// The environment of the process root named `name` (case-insensitive), or
// null when there is no root, the name is null or empty, or none has it.
EnvironmentStruct* FindEnvironment(const char* name);

// The add-environment request: 2 for a null, empty or invalid name
// (IsValidEnvAppName), 7 when it exists, 1 when it cannot be made, otherwise
// the code of rewriting env.xml (the environment stays when that fails).
int AddEnvironment(const char* name);

// Deletes the environment with its applications and trees (their settings
// files stay). 2 for a null or empty name or "Live" (any case), and with no
// root when saving (0 without); 17 when missing; with `save` the code of
// rewriting env.xml, else 0.
int DeleteEnvironment(const char* name, bool save);

// Releases the environment's applications (with their trees), its name and
// description; the record stays in its array, empty.
void FreeEnvironment(EnvironmentStruct* env);

// ---- Applications ----------------------------------------------------------------

// Adds an application named `name` to `env`, re-sorts, and gives the new
// record's current address; null for a null environment, a null or empty
// name, an existing name (logged "Cannot add application >%s< to environment
// >%s< as it already exists") or a memory failure. Writes no file and does
// not check the settings file name (callers that create applications on a
// client's behalf call CheckSettingsFileNameFree first).
ApplicationStruct* AddApplication(EnvironmentStruct* env, const char* name);

// Bisection of env's sorted applications; null for a null environment, a
// null or empty name or no match.
ApplicationStruct* FindApplication(EnvironmentStruct* env, const char* name);

// 1 when FindApplication finds it, else 0.
int ApplicationExists(EnvironmentStruct* env, const char* name);

// The add-application request: 2 when a name is null or invalid; 17 no such
// environment; 7 when the application exists or another existing pair has
// the same settings file name (CheckSettingsFileNameFree); 1 when it cannot
// be made; then env.xml is rewritten (its failing code is returned and no
// settings file is written; the application stays), and the new application's
// (empty) settings file is written and that code returned.
int AddApplicationToEnvironment(const char* envName, const char* appName);

// Removes the application and its trees; later records move down. 2 for a
// null environment or name, 18 when missing, else 0. Writes no file.
int DeleteApplication(EnvironmentStruct* env, const char* name);

// Deletes both trees of the application (whole top-level chains) and
// releases its name; the record stays, empty.
void FreeApplication(ApplicationStruct* app);

// The order of applications: CompareNoCase of their names (<0, 0, >0).
int CompareAppNames(const ApplicationStruct& a, const ApplicationStruct& b);

// 0 when no existing (environment, application) pair other than (envName,
// appName) itself (compared case-insensitively) has the settings file name
// that envName/appName would get; 7 (logged) when one does, since the two
// would overwrite each other's file; 2 for a null name. Every path that
// creates an application on request calls this before creating it.
int CheckSettingsFileNameFree(const char* envName, const char* appName);

// What every path that creates an application calls once the application is
// in the model and before its settings file is first written: a settings file
// already at its name belongs to no loaded application (env.xml lost it at a
// failed load, or the application was deleted earlier), so its first rewrite
// keeps it as "<file>.bad" (NoteUnloadedStoreFile). Nothing for a missing file
// or a pair without a file name.
void NoteSettingsFileOfNewApplication(const EnvironmentStruct* env, const char* appName);

// ---- Names and file names ------------------------------------------------------------

// 1 when `name` is a valid new environment or application name: an ASCII
// letter, then ASCII letters, digits, '-' or '_', at most 31 characters in
// all; else 0 (null and "" included). '.' is refused because the settings
// reader turns it into '_' in element names, so such a name would not come
// back after a restart.
int IsValidEnvAppName(const char* name);

// The file-name form of a name, in place: every byte other than an ASCII
// letter, digit, '.' or '-' becomes '_' (so '/' and '\' never reach a path),
// then 'A'..'Z' become lower case. Gives `text` (null for null).
char* MakeSafeFileNamePart(char* text);
void MakeSafeFileNamePart(std::string& text);

// Appends the path separator '/' to a non-empty path that does not end in one.
void AppendBackslash(std::string& path);

// The settings file name: home + ['/'] + "envs/" + safe(env) + "_" +
// safe(app) + ".xml". 0, or 2 (out cleared) for a null argument or a name of
// kConfigFileNameSize bytes or more.
int GetEnvAppFileName(std::string& out, const char* homeDir, const char* envName,
                      const char* appName);

// The schema file name: home + ['/'] + "schemas/" + safe(app) + "." +
// safe(version) + ".xsd". 0, or 2 as above.
int GetSchemaFileName(std::string& out, const char* homeDir, const char* appName,
                      const char* version);

// The env.xml path of the process root: homeDir + "env.xml". 0, or 2 with no
// root or a path too long.
int GetEnvMasterFileName(std::string& out);

// ---- env.xml as text, first start -----------------------------------------------------

// The whole env.xml of the process root's home directory into `out`. 0, or
// ReadFileToBuffer's codes (21 missing, 14 cannot open, 46 read error,
// 1 no memory), 2 with no root; `out` is cleared on failure.
int ReadEnvironmentMasterFile(std::string& out);

// The content of a new home directory's model (after CreateConfigRoot):
// environment "Live" (UID 4000000005) with application "Torvane" holding
// Authentication\AllowGuestLogin "0" and AllowADTokenLogin, AllowADUserLogin,
// AllowADUPLogin, AllowInternalLogin "1", each stored with SetSettingString
// (so envs/live_torvane.xml is rewritten each time). 0, 1, or the first
// failing setting's code. env.xml is written by the caller.
int CreateDefaultEnvironment();

// ---- Diagnostics ----------------------------------------------------------------------

// PrintTag, the indenting printer of these diagnostics: config/print_tag.h.

// The whole model between "Torvane" tags on standard output ("No torvane"
// without a root).
void PrintConfigRoot();

// Logs the model ("Torvane has %d envs", per environment and application),
// copying every log line also to `fileName` (deleted first) while it runs.
// Null or empty file name: nothing.
void LogConfigRoot(const char* fileName);
