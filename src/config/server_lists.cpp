// The cached server lists: the process-wide list array, the rebuild from an
// application's SERVERLIST subtree, tag matching, the selections of the
// locator requests with their own random generator, and the SERVERLIST
// subtree as client XML, replaced through a checked merge of the settings file.
// Configuration layer: calls the model, the parameter trees, the settings API,
// the settings-file reader and exchange, the store-file marks, the XML
// toolkit, the utilities and the log.
#include "config/server_lists.h"

#include <cstring>
#include <new>
#include <string_view>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/settings_api.h"
#include "config/settings_exchange.h"
#include "config/settings_files_read.h"
#include "config/settings_files_write.h"
#include "config/store_file_state.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_escape.h"
#include "foundation/xml/xml_tree.h"

namespace {

// The list array. Each list is a heap record of its own, so the addresses
// handed out by FindServerList stay valid when the array grows.
std::vector<std::unique_ptr<ServerList>>& Lists() {
  static std::vector<std::unique_ptr<ServerList>> lists;
  return lists;
}

// State of the list generator (see ServerListRandom).
constexpr uint32_t kRandomSeed = 1;
constexpr uint32_t kRandomMultiplier = 214013u;
constexpr uint32_t kRandomIncrement = 2531011u;
uint32_t g_randomState = kRandomSeed;

// The text of a node's value, or none (no value, or a type without a text).
std::optional<std::string> NodeText(const ParamTreeNode* node) {
  std::optional<std::string> text;
  if (GetParamValueAsString(node, text) != FR_OK) text.reset();
  return text;
}

// The next node of a chain; null at its end or for a link that does not resolve.
inline const ParamTreeNode* NextSibling(const ParamTreeNode* node) {
  return node->sibling != 0 ? GetParamTreeNodeByUID(node->sibling) : nullptr;
}
inline const ParamTreeNode* FirstChild(const ParamTreeNode* node) {
  return node->child != 0 ? GetParamTreeNodeByUID(node->child) : nullptr;
}

inline bool NodeNamed(const ParamTreeNode* node, const char* name) {
  return node->name && EqualsNoCase(*node->name, name);
}

// Fills `entry` from the children of one SERVER node. A child without a value
// leaves its field as it is; a repeated child replaces the earlier copy.
void FillServerEntry(const ParamTreeNode* server, ServerListEntry& entry, size_t bound) {
  for (const ParamTreeNode* c = FirstChild(server); c != nullptr && bound-- > 0; c = NextSibling(c)) {
    std::optional<std::string>* field = nullptr;
    if (NodeNamed(c, kServerDescriptionNodeName)) {
      field = &entry.description;
    } else if (NodeNamed(c, kServerHostNodeName)) {
      field = &entry.host;
    } else if (NodeNamed(c, kServerPortNodeName)) {
      field = &entry.port;
    } else if (NodeNamed(c, kServerTagsNodeName)) {
      field = &entry.tags;
    } else if (NodeNamed(c, kServerActiveNodeName)) {
      std::optional<std::string> text = NodeText(c);
      if (text) entry.active = ParseSettingInt(text->c_str());
      continue;
    } else {
      continue;  // other children are not part of a server
    }
    std::optional<std::string> text = NodeText(c);
    if (!text) continue;
    if (field == &entry.tags) UpperCaseString(*text);
    *field = std::move(text);
  }
}

// The request's tags as the selections use them: trimmed of blanks and tabs,
// "DEFAULT" when nothing is left.
std::string RequestedTags(const char* tags) {
  std::string_view view = TrimBlanks(tags != nullptr ? std::string_view(tags) : std::string_view());
  if (view.empty()) return kDefaultServerTag;
  return std::string(view);
}

// Marks the servers of `list` that fit `tags` (and are active, when asked)
// and gives their number. The request text is upper-cased by the first match
// and stays so, which makes every later match see the same text.
size_t MarkFittingServers(ServerList& list, std::string& tags, bool activeOnly) {
  size_t fitting = 0;
  for (ServerListEntry& entry : list.servers) {
    bool fits = (!activeOnly || entry.active != 0) &&
                ServerTagMatch(entry.tags ? entry.tags->c_str() : nullptr, tags.data()) == 1;
    entry.matched = fits ? 1 : 0;
    if (fits) ++fitting;
  }
  return fitting;
}

// The one server a single-server selection picks, by the list's mode, among
// the `fitting` marked servers (at least one). Advances the counter in modes
// 1 and 2; the counter is unsigned, so its remainder always indexes inside.
ServerListEntry* PickServer(ServerList& list, size_t fitting) {
  size_t index = 0;
  if (list.mode == SERVER_MODE_ROUND_ROBIN) {
    ++list.selectionCounter;
    index = list.selectionCounter % fitting;
  } else if (list.mode == SERVER_MODE_RANDOM) {
    list.selectionCounter = static_cast<uint32_t>(ServerListRandom());
    index = list.selectionCounter % fitting;
  }
  for (ServerListEntry& entry : list.servers) {
    if (entry.matched == 0) continue;
    if (index == 0) return &entry;
    --index;
  }
  return nullptr;
}

// The list that a selection answers from: found without creating it, and
// holding servers; null otherwise.
ServerList* SelectionList(const char* envName, const char* appName) {
  ServerList* list = FindServerList(envName != nullptr ? envName : kLiveEnvironmentName, appName, false);
  return (list != nullptr && !list->servers.empty()) ? list : nullptr;
}

}  // namespace

// ---- Building and emptying the cache ---------------------------------------------------

ServerList* CreateNewServerList(const char* envName, const char* appName) {
  auto& lists = Lists();
  size_t newCapacity = lists.capacity();
  try {
    if (lists.size() == lists.capacity()) {
      newCapacity = lists.capacity() + kServerListGrowStep;
      lists.reserve(newCapacity);
    }
    auto list = std::make_unique<ServerList>();
    list->environmentName = envName != nullptr ? envName : "";
    list->applicationName = appName != nullptr ? appName : "";
    lists.push_back(std::move(list));
  } catch (const std::bad_alloc&) {
    WriteLog(1, "CreateNewServerList:Unable to allocate %d bytes for array",
             static_cast<int>(newCapacity * sizeof(ServerList)));
    return nullptr;
  }
  return lists.back().get();
}

ServerList* FindServerList(const char* envName, const char* appName, bool create) {
  if (envName == nullptr || appName == nullptr || appName[0] == '\0') return nullptr;
  for (auto& list : Lists()) {
    if (EqualsNoCase(list->environmentName, envName) && EqualsNoCase(list->applicationName, appName))
      return list.get();
  }
  return create ? CreateNewServerList(envName, appName) : nullptr;
}

void FreeServer(ServerListEntry* entry) {
  if (entry == nullptr) return;
  entry->description.reset();
  entry->host.reset();
  entry->port.reset();
  entry->tags.reset();
}

void FreeServerListEntries(ServerList* list) {
  if (list == nullptr) return;
  std::vector<ServerListEntry>().swap(list->servers);
}

void ClearServerList(const char* envName, const char* appName) {
  FreeServerListEntries(FindServerList(envName, appName, false));
}

void ClearServerListsForEnvironment(const char* envName) {
  if (envName == nullptr) return;
  for (auto& list : Lists()) {
    if (EqualsNoCase(list->environmentName, envName)) FreeServerListEntries(list.get());
  }
}

size_t GetServerListCount() { return Lists().size(); }

void ResetServerLists() {
  std::vector<std::unique_ptr<ServerList>>().swap(Lists());
  SeedServerListRandom(kRandomSeed);
}

ParamTreeNode* FindServerListNode(const ApplicationStruct* app) {
  if (app == nullptr) return nullptr;
  return FindSiblingByName(app->configRoot, kServerListNodeName);
}

int BuildServerListForApp(const EnvironmentStruct* env, const ApplicationStruct* app) {
  if (env == nullptr || app == nullptr) return FR_INVALID_PARAMETER;
  ServerList* list = FindServerList(env->name.c_str(), app->name.c_str(), true);
  if (list == nullptr) return FR_NO_MEMORY;
  FreeServerListEntries(list);

  const ParamTreeNode* serverList = FindServerListNode(app);
  if (serverList == nullptr) return FR_OK;

  // A chain longer than the registry holds nodes can only be a cycle of
  // malformed links: every walk below stops there.
  const size_t bound = GetNodeQACount() + 1;
  size_t count = 0;
  size_t steps = bound;
  for (const ParamTreeNode* c = FirstChild(serverList); c != nullptr && steps-- > 0; c = NextSibling(c))
    if (NodeNamed(c, kServerNodeName)) ++count;
  if (count == 0) return FR_OK;  // MODE is not looked at either

  try {
    std::vector<ServerListEntry> servers(count);
    size_t next = 0;
    int32_t mode = list->mode;
    bool modeSeen = false;
    steps = bound;
    for (const ParamTreeNode* c = FirstChild(serverList); c != nullptr && steps-- > 0; c = NextSibling(c)) {
      if (NodeNamed(c, kServerNodeName)) {
        if (next < count) FillServerEntry(c, servers[next++], bound);
      } else if (NodeNamed(c, kServerModeNodeName)) {
        // The last MODE child counts.
        std::optional<std::string> text = NodeText(c);
        modeSeen = true;
        if (text && *text == "1") {
          mode = SERVER_MODE_ROUND_ROBIN;
        } else if (text && *text == "2") {
          mode = SERVER_MODE_RANDOM;
        } else {
          mode = SERVER_MODE_FIRST_MATCH;
        }
      }
    }
    servers.resize(next);
    list->servers = std::move(servers);
    // Without a MODE child the list keeps the mode it had.
    if (modeSeen) list->mode = mode;
  } catch (const std::bad_alloc&) {
    FreeServerListEntries(list);
    WriteLog(1, "BuildServerListForApp:Unable to allocate %d bytes for server list for %s:%s",
             static_cast<int>(count * sizeof(ServerListEntry)), env->name.c_str(), app->name.c_str());
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

// ---- Tag matching ------------------------------------------------------------------------

int TagInList(const char* tag, const char* list) {
  if (tag == nullptr || list == nullptr) return 0;
  const std::string_view wanted(tag);
  const char* item = list;
  for (;;) {
    const char* end = strchr(item, ',');
    size_t length = end != nullptr ? static_cast<size_t>(end - item) : strlen(item);
    if (TrimBlanks(std::string_view(item, length)) == wanted) return 1;
    if (end == nullptr) return 0;
    item = end + 1;
  }
}

int ServerTagMatch(const char* serverTags, char* requested) {
  if (requested == nullptr || requested[0] == '\0') return 1;
  if (serverTags == nullptr || serverTags[0] == '\0') return 0;
  UpperCaseString(requested);

  const char* item = requested;
  for (;;) {
    const char* end = strchr(item, ',');
    const char* stop = end != nullptr ? end : item + strlen(item);
    const char* first = item;
    while (first < stop && *first == ' ') ++first;
    if (static_cast<size_t>(stop - first) > kMaxServerTagLength) {
      WriteLog(0, "ServerTagMatch:Tag too large, max of %d bytes per tag", static_cast<int>(kMaxServerTagLength));
      return 0;
    }
    const std::string tag(TrimBlanks(std::string_view(first, static_cast<size_t>(stop - first))));
    if (TagInList(tag.c_str(), serverTags) == 0) return 0;
    if (end == nullptr) return 1;
    item = end + 1;
  }
}

// ---- The random generator of the lists ---------------------------------------------------

int32_t ServerListRandom() {
  g_randomState = g_randomState * kRandomMultiplier + kRandomIncrement;
  return static_cast<int32_t>((g_randomState >> 16) & 0x7FFFu);
}

void SeedServerListRandom(uint32_t seed) { g_randomState = seed; }

// ---- Selecting servers ----------------------------------------------------------------------

std::optional<std::string> GetSLXML(const ServerListEntry& entry) {
  static constexpr std::string_view kPieces[] = {
      "<SERVER><DESCRIPTION>", "</DESCRIPTION><HOST>", "</HOST><PORT>", "</PORT><ACTIVE>",
      "</ACTIVE><TAGS>", "</TAGS></SERVER>"};
  const std::string_view description = entry.description ? std::string_view(*entry.description) : "";
  const std::string_view host = entry.host ? std::string_view(*entry.host) : "";
  const std::string_view port = entry.port ? std::string_view(*entry.port) : "";
  const std::string_view tags = entry.tags ? std::string_view(*entry.tags) : "";
  const std::string active = std::to_string(entry.active);

  size_t size = active.size() + XMLEscapedLength(description) + XMLEscapedLength(host) +
                XMLEscapedLength(port) + XMLEscapedLength(tags);
  for (std::string_view piece : kPieces) size += piece.size();
  try {
    std::string out;
    out.reserve(size);
    out += kPieces[0];
    AppendXMLEscaped(out, description);
    out += kPieces[1];
    AppendXMLEscaped(out, host);
    out += kPieces[2];
    AppendXMLEscaped(out, port);
    out += kPieces[3];
    out += active;
    out += kPieces[4];
    AppendXMLEscaped(out, tags);
    out += kPieces[5];
    return out;
  } catch (const std::bad_alloc&) {
    WriteLog(1, "GetSLXML:Unable to allocate %d bytes for results", static_cast<int>(size + 1));
    return std::nullopt;
  }
}

std::optional<std::string> GetServerHostPort(const ServerListEntry& entry, int32_t& port) {
  port = entry.port ? ParseSettingInt(entry.port->c_str()) : 0;
  return entry.host;
}

std::optional<std::string> FindServersXML(const char* envName, const char* appName, const char* tags,
                                          int all) {
  ServerList* list = SelectionList(envName, appName);
  if (list == nullptr) return std::nullopt;
  try {
    std::string wanted = RequestedTags(tags);
    size_t fitting = MarkFittingServers(*list, wanted, false);
    if (fitting == 0) return std::nullopt;
    if (all != 0) {
      std::string out = "<SERVERLIST>";
      for (const ServerListEntry& entry : list->servers) {
        if (entry.matched == 0) continue;
        std::optional<std::string> one = GetSLXML(entry);
        if (!one) return std::nullopt;
        out += *one;
      }
      out += "</SERVERLIST>";
      return out;
    }
    ServerListEntry* chosen = PickServer(*list, fitting);
    return chosen != nullptr ? GetSLXML(*chosen) : std::nullopt;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<std::string> FindServer(const char* envName, const char* appName, const char* tags,
                                      int32_t& port) {
  port = 0;
  ServerList* list = SelectionList(envName, appName);
  if (list == nullptr) return std::nullopt;
  try {
    std::string wanted = RequestedTags(tags);
    size_t fitting = MarkFittingServers(*list, wanted, true);
    if (fitting == 0) return std::nullopt;
    ServerListEntry* chosen = PickServer(*list, fitting);
    if (chosen == nullptr) return std::nullopt;
    return GetServerHostPort(*chosen, port);
  } catch (const std::bad_alloc&) {
    port = 0;
    return std::nullopt;
  }
}

// ---- The SERVERLIST subtree as XML ------------------------------------------------------------

std::optional<std::string> GetServerListXML(const char* envName, const char* appName, int& code) {
  if (appName == nullptr || appName[0] == '\0') {
    code = FR_INVALID_PARAMETER;
    return std::nullopt;
  }
  try {
    std::string text;
    code = GetSettingSubtreeXML(envName != nullptr ? envName : kLiveEnvironmentName, appName,
                                kServerListNodeName, text);
    if (code != FR_OK) return std::nullopt;
    if (text.empty()) return std::string("<SERVERLIST></SERVERLIST>");
    return text;
  } catch (const std::bad_alloc&) {
    code = FR_NO_MEMORY;
    return std::nullopt;
  }
}

int BuildMergedServerListText(const char* path, const char* xmlText, std::string& out) {
  out.clear();
  if (path == nullptr || path[0] == '\0') return FR_INVALID_PARAMETER;
  int rc = FR_OK;
  XMLNodeListPtr tree(LoadXMLFileAsNodeTree(path, &rc));
  if (!tree) return rc != FR_OK ? rc : FR_XML_ERROR;

  XMLNode* configuration = nullptr;
  for (XMLNode* c = tree->firstChild; c != nullptr; c = c->nextSibling) {
    if (EqualsNoCase(c->name, "CONFIGURATION")) {
      configuration = c;
      break;
    }
  }
  if (configuration == nullptr) return FR_XML_ERROR;

  // The client's list replaces every SERVERLIST of the file: with several,
  // the one the cache and GetServerListXML use (the last in the file, first
  // in the chain after a read) would otherwise stay hidden behind the new one
  // and come back should that one be deleted.
  for (XMLNode* c = configuration->firstChild; c != nullptr;) {
    XMLNode* next = c->nextSibling;
    if (EqualsNoCase(c->name, kServerListNodeName)) DeleteXMLNode(c);
    c = next;
  }
  if (xmlText == nullptr || xmlText[0] == '\0') return FR_XML_ERROR;
  rc = AddXMLToNode(configuration, xmlText);
  if (rc != FR_OK) return FR_XML_ERROR;

  try {
    std::string text = kXMLDeclaration;
    rc = WriteNodeTreeToBuffer(tree.get(), false, text);
    if (rc != FR_OK) return rc;
    out = std::move(text);
  } catch (const std::bad_alloc&) {
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

int MergeServerListXML(const char* path, const char* envName, const char* appName, const char* xmlText) {
  std::string merged;
  int rc = BuildMergedServerListText(path, xmlText, merged);
  if (rc != FR_OK) return rc;

  // The merged text must load as the file would, in place of the application
  // it belongs to, before it replaces the only good copy of the settings.
  const ApplicationStruct* replacing = nullptr;
  if (appName != nullptr) {
    EnvironmentStruct* env = FindEnvironment(envName != nullptr ? envName : kLiveEnvironmentName);
    replacing = FindApplication(env, appName);
  }
  rc = CheckApplicationSettingsText(merged.data(), merged.size(), replacing);
  if (rc != FR_OK) return rc;

  const std::string filePath(path);
  rc = KeepFailedStoreFileCopy(filePath);
  if (rc != FR_OK) return rc;
  return WriteConfigFileText(filePath, merged);
}

int SetAppServerListXML(const char* homeDir, const char* envName, const char* appName, const char* xmlText) {
  if (appName == nullptr || appName[0] == '\0') return FR_INVALID_PARAMETER;
  EnvironmentStruct* env = FindEnvironment(envName != nullptr ? envName : kLiveEnvironmentName);
  if (env == nullptr) return FR_ENV_NOT_FOUND;
  const ApplicationStruct* app = FindApplication(env, appName);
  if (app == nullptr) return FR_APP_NOT_FOUND;

  if (homeDir == nullptr) {
    const TorvaneStructure* root = GetConfigRoot();
    homeDir = root != nullptr ? root->homeDir.c_str() : nullptr;
  }
  std::string path;
  int rc = GetEnvAppFileName(path, homeDir, env->name.c_str(), app->name.c_str());
  if (rc != FR_OK) return rc;

  std::string merged;
  rc = BuildMergedServerListText(path.c_str(), xmlText, merged);
  if (rc != FR_OK) {
    WriteLog(0, "SetAppServerListXML:Failed merge of xml");
    return rc;
  }
  // Checks the merged text against the registry less the application's own
  // nodes, then writes it atomically and swaps the parsed trees in (under the
  // name as the caller gave it), rebuilding the server list; on any failure
  // the file, the model and the cached list are as they were.
  app = nullptr;
  rc = ReplaceApplicationSettingsText(env, appName, merged.data(), merged.size(), path, "SetAppServerListXML");
  if (rc == FR_XML_ERROR) WriteLog(0, "SetAppServerListXML:Failed merge of xml");
  return rc;
}

// ---- Helpers ------------------------------------------------------------------------------------

std::optional<std::string> ConcatStrings(const std::optional<std::string>& a,
                                         const std::optional<std::string>& b) {
  if (!a) return b;
  if (!b) return a;
  try {
    return *a + *b;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

void ServerListStub() {}
