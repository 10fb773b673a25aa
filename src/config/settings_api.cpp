// The settings operations on single settings of the configuration store:
// create/set, delete, read with the "Live" fallback, integers, subtree XML,
// password rules and schema version.
// Configuration layer: calls the model, the parameter trees, the file
// writers, and the foundation (log, util, node registry).
#include "config/settings_api.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/settings_files_write.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/util.h"

namespace {

// A null environment name means "Live" (every operation but DeleteSetting).
inline const char* EnvOrLive(const char* envName) { return envName != nullptr ? envName : kLiveEnvironmentName; }

// The selected tree's top-level chain of `app`.
inline ParamTreeNode*& TreeRoot(ApplicationStruct* app, int permFlag) {
  return permFlag != 0 ? app->permRoot : app->configRoot;
}

// Environment and application by name: 0 with both set, 17 or 18.
int FindEnvApp(const char* envName, const char* appName, EnvironmentStruct** env, ApplicationStruct** app) {
  *env = FindEnvironment(envName);
  *app = nullptr;
  if (*env == nullptr) return FR_ENV_NOT_FOUND;
  *app = FindApplication(*env, appName);
  return *app != nullptr ? FR_OK : FR_APP_NOT_FOUND;
}

// Rewrites the settings file of env/app (looked up again by name).
int SaveApplication(const char* envName, const char* appName) {
  EnvironmentStruct* env = nullptr;
  ApplicationStruct* app = nullptr;
  int rc = FindEnvApp(envName, appName, &env, &app);
  if (rc != FR_OK) return rc;
  return WriteApplicationSettingsXML(nullptr, env, app);
}

// Whether the top-level chain that begins at `first` holds the node `uid`.
bool ChainHolds(const ParamTreeNode* first, UID uid, size_t bound) {
  for (const ParamTreeNode* n = first; n != nullptr && bound-- > 0;
       n = n->sibling != 0 ? GetParamTreeNodeByUID(n->sibling) : nullptr)
    if (n->header.uid == uid) return true;
  return false;
}

// The environment and application whose tree holds the top-level node `top`;
// false when none does.
bool FindOwnerOfTopNode(UID top, EnvironmentStruct** ownerEnv, ApplicationStruct** ownerApp) {
  TorvaneStructure* root = GetConfigRoot();
  if (root == nullptr) return false;
  size_t bound = GetNodeQACount() + 1;
  for (EnvironmentStruct& env : root->envs) {
    for (ApplicationStruct& app : env.apps) {
      if (ChainHolds(app.configRoot, top, bound) || ChainHolds(app.permRoot, top, bound)) {
        *ownerEnv = &env;
        *ownerApp = &app;
        return true;
      }
    }
  }
  return false;
}

// The top-level ancestor of `node` (itself when its parent is 0); null when a
// parent link does not resolve.
ParamTreeNode* TopLevelAncestor(ParamTreeNode* node) {
  size_t bound = GetNodeQACount() + 1;
  while (node != nullptr && node->parent != 0 && bound-- > 0) node = GetParamTreeNodeByUID(node->parent);
  return (node != nullptr && node->parent == 0) ? node : nullptr;
}

}  // namespace

// ---- Changing settings ------------------------------------------------------------------

int AddSetting(const char* envName, const char* appName, const char* path, int permFlag, uint32_t type,
               int32_t count, const void* value, size_t size) {
  if (appName == nullptr || path == nullptr || path[0] == '\0') return FR_INVALID_PARAMETER;
  if (envName == nullptr || envName[0] == '\0') envName = kLiveEnvironmentName;
  // Only values that can be stored and written, and only paths a settings
  // file can hold and read back.
  if (CheckParamValueBytes(type, count, value, size) != FR_OK) return FR_INVALID_PARAMETER;
  std::string_view elements[kMaxParamPathDepth];
  size_t depth = 0;
  for (std::string_view rest(path);;) {
    if (depth == kMaxParamPathDepth) return FR_INVALID_PARAMETER;
    const size_t cut = rest.find('\\');
    elements[depth++] = rest.substr(0, cut);
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }

  EnvironmentStruct* env = nullptr;
  ApplicationStruct* app = nullptr;
  int rc = FindEnvApp(envName, appName, &env, &app);
  if (rc != FR_OK) return rc;

  // The nodes that exist are followed whatever XML name a settings file gave
  // them; the name rule is for the nodes this call would create, and all of
  // those are checked before the first is made, so a refusal adds nothing.
  ParamTreeNode*& treeRoot = TreeRoot(app, permFlag);
  ParamTreeNode* parent = nullptr;
  ParamTreeNode* chain = treeRoot;  // first node of the chain being searched
  size_t found = 0;
  for (; found < depth; ++found) {
    ParamTreeNode* node = FindSiblingByName(chain, elements[found]);
    if (node == nullptr) break;
    parent = node;
    chain = node->child != 0 ? GetParamTreeNodeByUID(node->child) : nullptr;
  }
  for (size_t i = found; i < depth; ++i)
    if (!IsValidParamNodeName(elements[i])) return FR_INVALID_PARAMETER;

  for (size_t i = found; i < depth; ++i) {
    std::string name;
    try {
      name.assign(elements[i]);
    } catch (const std::exception&) {
      return FR_NO_MEMORY;
    }
    ParamTreeNode* node = AddParamTreeNode(parent != nullptr ? parent->header.uid : 0, name.c_str(), 0);
    if (node == nullptr) return FR_NO_MEMORY;
    if (parent == nullptr) {
      // New top-level nodes go to the head of the chain.
      node->sibling = treeRoot != nullptr ? treeRoot->header.uid : 0;
      treeRoot = node;
    }
    parent = node;
  }
  rc = SetParamValueBytes(parent, type, count, value, size);
  if (rc == FR_NO_MEMORY) WriteLog(1, "AddSetting:Unable to allocate %d bytes for new value", static_cast<int>(size));
  return rc;
}

int SetSettingString(const char* envName, const char* appName, const char* path, const char* text) {
  envName = EnvOrLive(envName);
  if (appName == nullptr || path == nullptr) return FR_INVALID_PARAMETER;
  size_t size = text != nullptr ? strlen(text) + 1 : 0;
  EnvironmentStruct* env = nullptr;
  ApplicationStruct* app = nullptr;
  // An empty environment name is looked up as it stands (17), unlike AddSetting.
  int rc = FindEnvApp(envName, appName, &env, &app);
  if (rc != FR_OK) return rc;
  rc = AddSetting(envName, appName, path, 0, PARAM_TYPE_STRING, kParamScalarCount, text, size);
  if (rc != FR_OK) return rc;
  return SaveApplication(envName, appName);
}

int DeleteSetting(UID uid, const char* envName, const char* appName, bool save) {
  if (uid == 0) return FR_INVALID_PARAMETER;
  NodeHeader* header = GetNodeByUID(uid);
  if (header == nullptr) return FR_NODE_NOT_FOUND;
  if (header->kind != NODE_KIND_PARAM_NODE) return FR_WRONG_NODE_KIND;
  ParamTreeNode* node = RecordFromHeader<ParamTreeNode>(header);

  EnvironmentStruct* env = nullptr;
  ApplicationStruct* app = nullptr;
  int rc = FindEnvApp(envName, appName, &env, &app);  // no "Live" default here
  if (rc != FR_OK) return rc;

  // The file to rewrite is that of the application holding the node, which
  // need not be the one named.
  EnvironmentStruct* ownerEnv = nullptr;
  ApplicationStruct* ownerApp = nullptr;
  ParamTreeNode* top = TopLevelAncestor(node);
  bool owned = top != nullptr && FindOwnerOfTopNode(top->header.uid, &ownerEnv, &ownerApp);

  if (node->parent == 0) {
    // Re-point every application root that refers to the node, first
    // checking that its successor resolves, so a failure changes nothing.
    ParamTreeNode* next = nullptr;
    if (node->sibling != 0) {
      next = GetParamTreeNodeByUID(node->sibling);
      if (next == nullptr) {
        WriteLog(0, "Cannot find sibling of node");
        return FR_NODE_NOT_FOUND;
      }
    }
    for (EnvironmentStruct& e : GetConfigRoot()->envs) {
      for (ApplicationStruct& a : e.apps) {
        if (a.configRoot == node) a.configRoot = next;
        if (a.permRoot == node) a.permRoot = next;
      }
    }
  }
  DeleteParamTreeNodeByUID(node, uid);
  if (!save) return FR_OK;
  if (owned) return WriteApplicationSettingsXML(nullptr, ownerEnv, ownerApp);
  // A node in no application's tree is in no file either.
  return WriteApplicationSettingsXML(nullptr, env, app);
}

int AddToSettingInt(const char* envName, const char* appName, const char* path, int32_t delta) {
  envName = EnvOrLive(envName);
  if (appName == nullptr || path == nullptr) return FR_INVALID_PARAMETER;
  EnvironmentStruct* env = nullptr;
  ApplicationStruct* app = nullptr;
  int rc = FindEnvApp(envName, appName, &env, &app);
  if (rc != FR_OK) return rc;
  // 32-bit wrapping addition, done unsigned so that it is defined.
  uint32_t sum = static_cast<uint32_t>(GetSettingInt(envName, appName, path, 0)) + static_cast<uint32_t>(delta);
  char text[kSettingIntTextSize];
  int n = snprintf(text, sizeof text, "%d", static_cast<int32_t>(sum));
  rc = AddSetting(envName, appName, path, 0, PARAM_TYPE_STRING, kParamScalarCount, text, static_cast<size_t>(n) + 1);
  if (rc != FR_OK) return rc;
  return SaveApplication(envName, appName);
}

int SetSchemaVersion(const char* envName, const char* appName, const char* version) {
  EnvironmentStruct* env = FindEnvironment(envName);
  if (env == nullptr) return FR_ENV_NOT_FOUND;
  // A version text that would be refused must not leave a new application
  // behind it (env.xml and an empty settings file already written).
  if (version != nullptr && !IsValidXmlText(version)) return FR_INVALID_PARAMETER;
  if (!ApplicationExists(env, appName)) {
    int rc = AddApplicationToEnvironment(envName, appName);
    if (rc != FR_OK) return rc;
  }
  return SetSettingString(envName, appName, kSchemaVersionPath, version);
}

// ---- Reading settings --------------------------------------------------------------------

int GetSettingString(const char* envName, const char* appName, const char* path, int fallback, int permFlag,
                     std::optional<std::string>& out) {
  out.reset();
  if (appName == nullptr) return FR_INVALID_PARAMETER;
  envName = EnvOrLive(envName);
  if (EqualsNoCase(envName, kLiveEnvironmentName)) fallback = 0;

  EnvironmentStruct* env = FindEnvironment(envName);
  if (env == nullptr) return FR_ENV_NOT_FOUND;  // even with the fallback
  ApplicationStruct* app = FindApplication(env, appName);
  if (app == nullptr && !fallback) return FR_APP_NOT_FOUND;
  if (app != nullptr) {
    ParamTreeNode* node = FindParamNode(TreeRoot(app, permFlag), path);
    // A node found without a value gives none, not the "Live" value.
    if (node != nullptr) return GetParamValueAsString(node, out);
    if (!fallback) return FR_NODE_NOT_FOUND;
  }
  env = FindEnvironment(kLiveEnvironmentName);
  if (env == nullptr) return FR_ENV_NOT_FOUND;
  app = FindApplication(env, appName);
  if (app == nullptr) return FR_APP_NOT_FOUND;
  ParamTreeNode* node = FindParamNode(TreeRoot(app, permFlag), path);
  if (node == nullptr) return FR_NODE_NOT_FOUND;
  return GetParamValueAsString(node, out);
}

int32_t ParseSettingInt(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  // The white space atoi skips.
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  // Accumulate the magnitude, stopping its growth just past the int32 range so
  // nothing overflows however many digits follow.
  constexpr uint64_t kLimit = static_cast<uint64_t>(INT32_MAX) + 1;
  uint64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (magnitude <= kLimit) magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
  }
  if (negative) return magnitude >= kLimit ? INT32_MIN : -static_cast<int32_t>(magnitude);
  return magnitude > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(magnitude);
}

int32_t GetSettingInt(const char* envName, const char* appName, const char* path, int32_t defaultValue) {
  std::optional<std::string> text;
  int rc = GetSettingString(envName, appName, path, 1, 0, text);
  if (rc != FR_OK || !text) return defaultValue;
  return ParseSettingInt(text->c_str());
}

int GetSettingSubtreeXML(const char* envName, const char* appName, const char* path, std::string& out) {
  out.clear();
  if (appName == nullptr) return FR_INVALID_PARAMETER;
  envName = EnvOrLive(envName);
  EnvironmentStruct* env = nullptr;
  ApplicationStruct* app = nullptr;
  int rc = FindEnvApp(envName, appName, &env, &app);
  if (rc != FR_OK) return rc;
  ParamTreeNode* node = FindParamNode(app->configRoot, path);
  if (node == nullptr) return FR_OK;  // the empty text
  rc = GetSubtreeXML(node, out);
  return rc == FR_NO_MEMORY ? FR_NO_MEMORY : FR_OK;
}

const char* GetPWRulesString() {
  static char rules[kPWRulesBufferSize];
  std::optional<std::string> text;
  int rc = GetSettingString(kLiveEnvironmentName, kServerApplicationName, kPWRulesPath, 0, 0, text);
  if (rc != FR_OK && rc != FR_NODE_NOT_FOUND) {
    WriteLog(1, "GetPWRulesString:Error %d getting rules string", rc);
    return nullptr;
  }
  if (!text) return nullptr;
  SafeStrCopy(rules, text->c_str(), sizeof rules);
  return rules;
}

// ---- Unused entry points ----------------------------------------------------------------------

int UpdateSetting() { return FR_OK; }
const char* GetSetting() { return nullptr; }
