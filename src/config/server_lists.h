// The cached server lists: a flat copy of each application's SERVERLIST
// configuration subtree, rebuilt after each good read of its settings file,
// the tag matching and server selection the locator requests answer from, and
// the SERVERLIST subtree handed to clients as XML and replaced from their XML.
// Configuration layer: calls the model, the parameter trees, the settings API,
// the settings-file reader and exchange, the XML toolkit and the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct EnvironmentStruct;
struct ApplicationStruct;
struct ParamTreeNode;

// ---- Configuration names ---------------------------------------------------------
//
//   SERVERLIST                 top-level configuration node
//     MODE                     "1" round robin, "2" random, else first match
//     SERVER                   any number, in order
//       DESCRIPTION, HOST, PORT, TAGS (comma-separated), ACTIVE (decimal)

constexpr const char kServerListNodeName[] = "SERVERLIST";
constexpr const char kServerNodeName[] = "SERVER";
constexpr const char kServerModeNodeName[] = "MODE";
constexpr const char kServerDescriptionNodeName[] = "DESCRIPTION";
constexpr const char kServerHostNodeName[] = "HOST";
constexpr const char kServerPortNodeName[] = "PORT";
constexpr const char kServerTagsNodeName[] = "TAGS";
constexpr const char kServerActiveNodeName[] = "ACTIVE";

// The tags asked for when a request carries none (or only blanks).
constexpr const char kDefaultServerTag[] = "DEFAULT";

// A requested tag item longer than this (from its first non-blank byte) fits
// no server.
constexpr size_t kMaxServerTagLength = 511;

// The list array grows by this many records.
constexpr size_t kServerListGrowStep = 5;

// How one server is picked among several that fit.
enum ServerSelectionMode : int32_t {
  SERVER_MODE_FIRST_MATCH = 0,
  SERVER_MODE_ROUND_ROBIN = 1,  // MODE "1"
  SERVER_MODE_RANDOM = 2,       // MODE "2"
};

// ---- Records ------------------------------------------------------------------------

// One cached server. Texts are copies of the SERVER children's values; none
// when the child is absent or has no value.
struct ServerListEntry {
  std::optional<std::string> description;
  std::optional<std::string> host;
  std::optional<std::string> port;  // kept as text
  std::optional<std::string> tags;  // ASCII letters upper-cased
  int32_t matched = 0;  // 1 when the server fitted the latest selection on its list
  int32_t active = 0;   // decimal value of ACTIVE's text; 0 when absent
};

// The cached servers of one (environment, application) pair. The records live
// in one process-wide array and are never removed, only emptied; each record
// is a separate heap object, so its address stays valid for the process.
struct ServerList {
  std::string environmentName;  // as first given when the list was created
  std::string applicationName;  // as first given when the list was created
  // Round-robin position or last random draw; starts at 0. Unsigned, so that
  // it wraps at 2^32 to 0 instead of going negative (the remainder taken from
  // it always indexes inside the fitting servers).
  uint32_t selectionCounter = 0;
  int32_t mode = SERVER_MODE_FIRST_MATCH;  // ServerSelectionMode; starts at 0
  // The servers in the order of the SERVER nodes; its size is the server
  // count. Mode and counter survive every rebuild.
  std::vector<ServerListEntry> servers;
};

// ---- Building and emptying the cache ---------------------------------------------------

// Rebuilds the cached list of (env, app) from the application's first
// top-level configuration node named SERVERLIST: the list is found (or
// created) by the two names, emptied (mode and counter kept), and refilled
// with one entry per SERVER child in order; the last MODE child sets the mode
// ("1", "2", else 0), and is not looked at when there is no SERVER child; a
// SERVERLIST without MODE keeps the mode the list had. 0 (also when there is
// no SERVERLIST or no SERVER: the list stays empty); 2 when an argument is
// missing; 1 when memory fails (logged; the list stays empty).
int BuildServerListForApp(const EnvironmentStruct* env, const ApplicationStruct* app);

// The list of (envName, appName), both compared without regard to case; with
// `create` a new empty list is appended when there is none. Null for a null
// or empty application name, a null environment name, no list (without
// `create`) or no memory.
ServerList* FindServerList(const char* envName, const char* appName, bool create);

// A new empty list (mode 0, counter 0) appended to the array; null when the
// array cannot grow (logged "CreateNewServerList:Unable to allocate %d bytes
// for array").
ServerList* CreateNewServerList(const char* envName, const char* appName);

// Frees every entry of the list: server count 0, mode and counter kept.
// Null: nothing.
void FreeServerListEntries(ServerList* list);

// Frees the entry's four texts (the record itself belongs to its list's array,
// so only the texts can go; kept for the callers that name it).
void FreeServer(ServerListEntry* entry);

// Empties the list of (envName, appName) if there is one (no creation): the
// application delete and the replacements call this so that the locator no
// longer answers with servers of an application that is gone.
void ClearServerList(const char* envName, const char* appName);

// Empties every list whose environment name equals `envName` (case-insensitive):
// DeleteEnvironment calls this for the environment it removed. Null: nothing.
void ClearServerListsForEnvironment(const char* envName);

// The number of lists in the process-wide array (diagnostics, tests).
size_t GetServerListCount();

// Tests: forgets every list and reseeds the random generator (seed 1).
void ResetServerLists();

// ---- Tag matching ------------------------------------------------------------------------

// 1 when every comma-separated item of `requested` is one of the server's
// tags, else 0. No request or an empty one fits (1); a server without tags or
// with empty tags does not (0). The requested text is upper-cased in place
// (ASCII letters). Each item is taken from its first non-blank byte and
// trimmed of blanks and tabs at both ends; one of more than 511 bytes from
// that byte gives 0 (logged "ServerTagMatch:Tag too large, max of 511 bytes
// per tag").
int ServerTagMatch(const char* serverTags, char* requested);

// 1 when `tag` equals, byte for byte, an item of the comma-separated `list`
// with the blanks and tabs around the item ignored; else 0. An empty tag is in
// the list only when the list has an empty item. Null: 0.
int TagInList(const char* tag, const char* list);

// ---- Selecting servers ----------------------------------------------------------------------
//
// Both selections take "Live" for a null environment name, trim the requested
// tags of blanks and tabs at both ends and ask for "DEFAULT" when nothing is
// left; they find the list without creating it and answer none when it is
// missing or empty or nothing fits. Each marks every server's matched flag.
// A single-server selection by mode:
//   0  the first fitting server;
//   1  the selection counter rises by one;
//   2  the selection counter becomes the next draw of the list generator;
//   then the fitting server at (counter mod number fitting), in list order.
// Every single-server selection in which something fits advances the counter.

// One fitting server's GetSLXML text or, with `all`, "<SERVERLIST>", every
// fitting server's text in list order, "</SERVERLIST>" (mode and counter not
// touched). The ACTIVE value is not looked at. None when nothing fits.
std::optional<std::string> FindServersXML(const char* envName, const char* appName,
                                          const char* tags, int all);

// A copy of the host of one fitting server whose ACTIVE is non-zero (none
// when nothing fits or it has no host), its port text's decimal value in
// `port` (0 without one, or when nothing fits).
std::optional<std::string> FindServer(const char* envName, const char* appName, const char* tags,
                                      int32_t& port);

// One line, no line end: "<SERVER><DESCRIPTION>d</DESCRIPTION><HOST>h</HOST>
// <PORT>p</PORT><ACTIVE>%d</ACTIVE><TAGS>t</TAGS></SERVER>" (no blank between
// the elements), texts escaped with the shared element-text escaping, a
// missing text written empty. None when memory fails (logged "GetSLXML:Unable
// to allocate %d bytes for results").
std::optional<std::string> GetSLXML(const ServerListEntry& entry);

// A copy of the entry's host (none without one) and the decimal value of its
// port text in `port` (leading blanks and a sign allowed, digits up to the
// first other byte, 0 without one).
std::optional<std::string> GetServerHostPort(const ServerListEntry& entry, int32_t& port);

// ---- The random generator of the lists ---------------------------------------------------
//
// The sequence clients have always seen in random mode, independent of the C
// library: x = x * 214013 + 2531011 (mod 2^32), result (x >> 16) & 0x7FFF,
// starting from seed 1 at every start of the server.

// The next draw, 0 to 32767.
int32_t ServerListRandom();

// Restarts the sequence from `seed` (tests; the server never reseeds).
void SeedServerListRandom(uint32_t seed);

// ---- The SERVERLIST subtree as XML ------------------------------------------------------------

// The first top-level configuration node of `app` named SERVERLIST (without
// regard to case), or null (also for a null application).
ParamTreeNode* FindServerListNode(const ApplicationStruct* app);

// The plain XML text of the configuration tree's SERVERLIST subtree as it
// stands (not the cache), "<SERVERLIST></SERVERLIST>" when there is none or it
// gives no text. A null environment name is "Live". None with `code` 2 (no
// application name), 17 (no such environment), 18 (no such application) or
// 1 (memory); `code` 0 with a text.
std::optional<std::string> GetServerListXML(const char* envName, const char* appName, int& code);

// Makes `xmlText` (one SERVERLIST element) the SERVERLIST of env/app's
// settings file and reloads the application from the result, or changes
// nothing. 2 no application name; 17 no such environment (null: "Live");
// 18 no such application; then the merge's codes (the file's 21, 14, 46, 1;
// 20 when the file has no CONFIGURATION, the text is not well-formed, or the
// merged file would not load in place of the application), logged
// "SetAppServerListXML:Failed merge of xml"; 14, 15 when the file cannot be
// written. On any failure the file, the model and the cached list are as
// they were. On 0 the file holds the merged text, the application holds its
// trees, its server list is rebuilt and its time word set, and uid.val is
// past every UID the text carried.
int SetAppServerListXML(const char* homeDir, const char* envName, const char* appName,
                        const char* xmlText);

// The merged text behind SetAppServerListXML, without writing anything: the
// settings file at `path` loaded as an XML node tree, the first SERVERLIST
// child of its root's first CONFIGURATION child removed, `xmlText`'s element
// appended as CONFIGURATION's last child, the whole written in the generic
// tree layout with the XML declaration. 0 with `out`; the load's codes (21,
// 14, 46, 1; 20 for a parse error or an empty file); 20 without CONFIGURATION
// or when `xmlText` is missing, empty or not well-formed; 1 memory. `out` is
// cleared on failure.
int BuildMergedServerListText(const char* path, const char* xmlText, std::string& out);

// Rewrites the settings file at `path` with `xmlText` as its SERVERLIST: the
// merged text (BuildMergedServerListText) is first read with the settings
// reader's rules in place of env/app (its UIDs checked against the registry
// less that application's nodes; with names that find no application, against
// the whole registry), and only then replaces the file atomically. 0; the
// merge's codes; 20 when the merged text would not load; 14, 15 from the
// write. On failure the file is unchanged. The model is not touched.
int MergeServerListXML(const char* path, const char* envName, const char* appName,
                       const char* xmlText);

// ---- Helpers ------------------------------------------------------------------------------------

// A new text: a followed by b; b when a is none, a when b is none.
std::optional<std::string> ConcatStrings(const std::optional<std::string>& a,
                                         const std::optional<std::string>& b);

// Kept empty: no part of the system calls it.
void ServerListStub();
