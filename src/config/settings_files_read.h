// The readers of the configuration store's files: env.xml into the root's
// environments and applications, and an application's settings file (or a
// settings text from a client) into its permission and configuration trees,
// through one Expat state machine fed in 512-byte chunks.
// Configuration layer: calls the model (config_model.h), the parameter trees,
// the server lists (rebuilt after each good read), the store-file marks, the
// XML value stack, the node registry and UID allocation of the foundation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/uid/node_header.h"

struct EnvironmentStruct;
struct ApplicationStruct;

// ---- The state machine ----------------------------------------------------------
//
// One read runs at a time. A start tag raises the depth, saves the enclosing
// element's text on the XML value stack and starts with no text; an end tag
// acts by the state, lowers the depth and restores the enclosing text. Every
// element name has each '.' turned into '_' before it is used. Names compare
// without regard to case.
//
//   env.xml                                  settings file (depth -1 at start)
//   1 --ENVIRONMENTS--> 2                    6 --any root--> 7
//   2 --<Env>--> 3  (env created)            7 --PERMISSIONS--> 8
//   3 --DESCRIPTION--> 10 --end--> 3         7 --CONFIGURATION--> 9
//   3 --APPLICATIONS--> 4                    8/9 --<Node>--> 8/9 (node added)
//   4 --<App>--> 5 --end--> 4                8/9 --end at depth 1--> 7
//   4 --end--> 3 --end--> 2 --end--> 1       7 --end (root)--> 4
//
// Any other element, a failed creation, a duplicate environment or
// application, a UID already in use, or a start tag in state 5 or 10 stops
// the reader (state 0). A read succeeds only when Expat parsed the final chunk
// without error and the reader never stopped; anything else is 20.
enum SettingsReaderState : int32_t {
  READER_STOPPED = 0,
  READER_ENV_ROOT = 1,           // expecting ENVIRONMENTS
  READER_IN_ENVIRONMENTS = 2,
  READER_IN_ENVIRONMENT = 3,
  READER_IN_APPLICATIONS = 4,
  READER_IN_APPLICATION = 5,     // inside an application element of env.xml
  READER_SETTINGS_ROOT = 6,      // expecting the settings file's root
  READER_IN_SETTINGS = 7,
  READER_IN_PERMISSIONS = 8,
  READER_IN_CONFIGURATION = 9,
  READER_IN_DESCRIPTION = 10,
};

// Files are handed to Expat in pieces of this size; the piece read when the
// end is met (short, or empty for a size that is a multiple of it) is final.
constexpr size_t kSettingsReadChunkSize = 512;

// ---- Reading files into the model ---------------------------------------------------

// Reads env.xml at `path` into the process root from state 1: each
// environment element becomes an environment (UID 0) with its description and
// applications, in file order. Without a root the ENVIRONMENTS element stops
// the reader (20). 0; 2 for a null or empty path; 14 when the file cannot be
// opened (logged "Unable to open environments file >%s<"); 20 for a parse
// error (logged "XML error %s at line %d of >%s<") or an element the reader
// does not accept. What was built before a failure stays. Once the file was
// opened, sets the root's time word. Reads no settings file
// (ReadEnvironmentsXML in settings_exchange.h does the whole start-up load).
int ReadEnvironmentMasterXML(const char* path);

// Reads env/app's settings file (home + "envs/" + the safe names) into the
// application's trees, which the caller gives empty, then rebuilds its server
// list (BuildServerListForApp; its result is not used). 0; 2 without env,
// app, their names or with a name too long for a file name; 14 when the file
// exists but cannot be opened; 21 when it does not exist; 20 on a parse error
// or a refused element (what was read before it stays in the trees). On 14
// and 20 the file is noted as failed to load (NoteStoreFileFailedToLoad): a
// copy <file>.bad is kept before anything can rewrite it. Does not set the
// time word.
int ReadApplicationSettingsXML(const char* homeDir, EnvironmentStruct* env, ApplicationStruct* app);

// ---- Settings text without touching the model ----------------------------------------
//
// A settings text can be parsed into a scratch copy first and installed only
// when it is good, so that a client's ill-formed text changes nothing.

// One node of a parsed settings text, in document (pre-)order.
struct SettingsScratchNode {
  UID uid = 0;          // from the uid attribute; 0 when none (see AssignScratchUIDs)
  int32_t parent = -1;  // index of the parent in the same section; -1 top level
  std::string name;     // element name with '.' turned into '_'
  std::optional<std::string> value;  // element text less trailing line feeds; none without text
};

struct SettingsScratch {
  std::vector<SettingsScratchNode> permissions;    // PERMISSIONS, document order
  std::vector<SettingsScratchNode> configuration;  // CONFIGURATION, document order
};

// Client texts may bring UIDs of their own, and uid.val is raised past them
// (it never comes down again): one just below the built-in range would leave
// no UID to issue, for good. Ordinary UIDs are issued from 1 upward and a store
// never comes near this many, so a client's UID at or above it that is not
// already the replaced application's is refused.
constexpr UID kClientUIDLimit = 0x80000000u;

// What a scratch parse checks a UID against.
struct SettingsParseOptions {
  // The application the text will replace (or null): the UIDs of its nodes
  // count as free, since they go when it is replaced.
  const ApplicationStruct* replacing = nullptr;
  // Refuse (20) uid attributes at or above 4000000000, the built-in objects'
  // range, and those at or above kClientUIDLimit other than UIDs of
  // `replacing`. Set for text from clients.
  bool refuseReservedUIDs = true;
  // The names the text belongs to, for log lines only (null: those of
  // `replacing`, or none).
  const char* envName = nullptr;
  const char* appName = nullptr;
};

// Parses `length` bytes of settings text with the reader's rules (chunks of
// 512 bytes, the same states, attribute scans and UID checks) into `out`.
// A UID that is registered (other than a node of options.replacing) or that
// appears twice in the text stops the reader. `sourceName` names the text in
// log lines. 0 with `out` holding the whole text; 20 with `out` holding what
// was accepted before the failure; 2 for a null text. Nothing is registered,
// no UID is issued, the model is not touched.
int ParseApplicationSettingsText(const char* text, size_t length, const char* sourceName,
                                 const SettingsParseOptions& options, SettingsScratch& out);

// ParseApplicationSettingsText and nothing kept: 0 when the text would load
// in place of `replacing` (null for a new application), else its code (20,
// 2). For callers that check a text before it replaces a settings file.
int CheckApplicationSettingsText(const char* text, size_t length, const ApplicationStruct* replacing);

// Gives every node of `scratch` whose UID is 0 a new UID (GetNewUID), in
// document order, permission section first, skipping any UID that is
// registered (other than a node of `replacing`) or carried by another node of
// the text; when the counter turns out to be behind, uid.val is first raised
// past every UID in use. 0, or 20 (logged) when no UID can be had.
int AssignScratchUIDs(SettingsScratch& scratch, const ApplicationStruct* replacing);

// Builds the parsed nodes into `app`'s trees (which the caller gives empty:
// the application replaced is gone by then). Every UID must be non-zero and
// free. Top-level nodes go to the front of their section's chain, so they
// come back in the reverse of the file's order; children keep their order.
// Every node is a STRING scalar (count -1) holding its text, or no value.
// 0; 2 for a null application; 20 (logged) when a node cannot be made (the
// nodes made before it stay).
int InstallApplicationSettings(ApplicationStruct* app, const SettingsScratch& scratch);

// ---- Element names -------------------------------------------------------------------

// The element path of the read in progress: each start tag's name (after '.'
// became '_') joined by '.'. Kept for diagnostics; nothing depends on it.
const std::string& GetSettingsPath();

// ---- Helpers (exposed for tests) -----------------------------------------------------

// The uid attribute's value read as a 32-bit strtoul in base 16 reads it:
// leading white space, an optional sign, an optional 0x or 0X, then hex digits
// up to the first other character; 0 without digits; 0xFFFFFFFF when the
// digits exceed 32 bits; a '-' sign negates modulo 2^32. Null gives 0.
UID ParseUIDAttribute(const char* text);
