// The configuration root, its environments and their applications: creation,
// lookup, deletion, the name rule and the file names built from names.
// Configuration layer: calls the parameter trees (to free them), the settings
// API (first-start settings), the file writers, and the foundation.
#include "config/config_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "config/param_tree.h"
#include "config/print_tag.h"
#include "config/server_lists.h"
#include "config/settings_api.h"
#include "config/settings_files_write.h"
#include "config/store_file_state.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "platform/fs.h"

namespace {

// The process-wide root; null until the first CreateConfigRoot.
std::unique_ptr<TorvaneStructure> g_root;

inline bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// Makes room for one more record in an array that grows kEnvAppGrowStep
// records at a time. False (logged with the error flag) when memory fails;
// the array is then unchanged.
template <class T>
bool GrowArrayForOneMore(std::vector<T>& records, const char* firstMessage, const char* resizeMessage) {
  if (records.size() < records.capacity()) return true;
  size_t wanted = records.capacity() + kEnvAppGrowStep;
  try {
    records.reserve(wanted);
  } catch (const std::exception&) {
    WriteLog(1, records.capacity() == 0 ? firstMessage : resizeMessage,
             static_cast<int>(wanted * sizeof(T)));
    return false;
  }
  return true;
}

// The settings-file part of a pair's file name: safe(env) "_" safe(app).
std::string SettingsFileStem(std::string_view envName, std::string_view appName) {
  std::string e(envName), a(appName);
  MakeSafeFileNamePart(e);
  MakeSafeFileNamePart(a);
  e += '_';
  e += a;
  return e;
}

}  // namespace

// ---- The root -----------------------------------------------------------------

TorvaneStructure* GetConfigRoot() { return g_root.get(); }

int CreateConfigRoot(const char* homeDir) {
  FreeConfigRoot(g_root.get(), true);
  try {
    auto root = std::make_unique<TorvaneStructure>();
    root->header.uid = kUIDConfigurationRoot;
    root->header.kind = NODE_KIND_CONFIG_ROOT;
    root->homeDir = homeDir != nullptr ? homeDir : "";
    g_root = std::move(root);
  } catch (const std::exception&) {
    WriteLog(1, "Unable to allocate %d bytes for torvane structure", static_cast<int>(sizeof(TorvaneStructure)));
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

void FreeConfigRoot(TorvaneStructure* root, bool freeRecord) {
  if (root == nullptr) return;
  for (EnvironmentStruct& env : root->envs) {
    // As for a deleted environment: the locator must not go on answering
    // with servers of applications that are gone.
    ClearServerListsForEnvironment(env.name.c_str());
    FreeEnvironment(&env);
  }
  std::vector<EnvironmentStruct>().swap(root->envs);
  std::string().swap(root->homeDir);
  if (freeRecord && root == g_root.get()) g_root.reset();
}

void ResetConfigRoot() { FreeConfigRoot(g_root.get(), true); }

// ---- Environments ---------------------------------------------------------------

EnvironmentStruct* AddEnvironmentToRoot(TorvaneStructure* root, const char* name, UID uid) {
  if (root == nullptr || name == nullptr) return nullptr;
  for (const EnvironmentStruct& env : root->envs) {
    if (EqualsNoCase(env.name, name)) {
      WriteLog(0, "Cannot create environment >%s< as it already exists", name);
      return nullptr;
    }
  }
  if (!GrowArrayForOneMore(root->envs, "Unable to create environment array of %d bytes",
                           "Unable to resize environment array to %d bytes"))
    return nullptr;
  EnvironmentStruct record;
  try {
    record.name = name;
  } catch (const std::exception&) {
    WriteLog(0, "Unable to assign name to environment");
    return nullptr;
  }
  record.header.uid = uid;
  record.header.kind = NODE_KIND_ENVIRONMENT;
  root->envs.push_back(std::move(record));  // capacity was made: cannot throw
  return &root->envs.back();
}

EnvironmentStruct* CreateEnvironment(TorvaneStructure* root, const char* name, UID uid) {
  return AddEnvironmentToRoot(root, name, uid);
}

EnvironmentStruct* FindEnvironment(const char* name) {
  if (g_root == nullptr || name == nullptr || name[0] == '\0') return nullptr;
  for (EnvironmentStruct& env : g_root->envs)
    if (EqualsNoCase(env.name, name)) return &env;
  return nullptr;
}

int AddEnvironment(const char* name) {
  if (name == nullptr || name[0] == '\0' || !IsValidEnvAppName(name)) return FR_INVALID_PARAMETER;
  if (FindEnvironment(name) != nullptr) return FR_ALREADY_EXISTS;
  if (CreateEnvironment(g_root.get(), name, 0) == nullptr) return FR_NO_MEMORY;
  std::string path;
  int rc = GetEnvMasterFileName(path);
  if (rc != FR_OK) return rc;
  return WriteEnvironmentMasterFile(path.c_str());
}

int DeleteEnvironment(const char* name, bool save) {
  if (name == nullptr || name[0] == '\0' || EqualsNoCase(name, kLiveEnvironmentName)) return FR_INVALID_PARAMETER;
  if (g_root == nullptr) return save ? FR_INVALID_PARAMETER : FR_OK;
  auto& envs = g_root->envs;
  auto it = std::find_if(envs.begin(), envs.end(),
                         [name](const EnvironmentStruct& e) { return EqualsNoCase(e.name, name); });
  if (it == envs.end()) return FR_ENV_NOT_FOUND;
  // The locator must not go on answering with servers of a deleted
  // environment. The name is copied first: it may be the record's own.
  const std::string envName = it->name;
  FreeEnvironment(&*it);
  envs.erase(it);
  ClearServerListsForEnvironment(envName.c_str());
  if (!save) return FR_OK;
  std::string path;
  int rc = GetEnvMasterFileName(path);
  if (rc != FR_OK) return rc;
  return WriteEnvironmentMasterFile(path.c_str());
}

void FreeEnvironment(EnvironmentStruct* env) {
  if (env == nullptr) return;
  for (ApplicationStruct& app : env->apps) FreeApplication(&app);
  std::vector<ApplicationStruct>().swap(env->apps);
  std::string().swap(env->name);
  env->description.reset();
}

// ---- Applications ----------------------------------------------------------------

int CompareAppNames(const ApplicationStruct& a, const ApplicationStruct& b) {
  return CompareNoCase(a.name, b.name);
}

ApplicationStruct* FindApplication(EnvironmentStruct* env, const char* name) {
  if (env == nullptr || name == nullptr || name[0] == '\0' || env->apps.empty()) return nullptr;
  std::string_view key(name);
  auto it = std::lower_bound(env->apps.begin(), env->apps.end(), key,
                             [](const ApplicationStruct& a, std::string_view k) { return CompareNoCase(a.name, k) < 0; });
  if (it == env->apps.end() || CompareNoCase(it->name, key) != 0) return nullptr;
  return &*it;
}

int ApplicationExists(EnvironmentStruct* env, const char* name) {
  return FindApplication(env, name) != nullptr ? 1 : 0;
}

ApplicationStruct* AddApplication(EnvironmentStruct* env, const char* name) {
  if (env == nullptr || name == nullptr || name[0] == '\0') return nullptr;
  if (FindApplication(env, name) != nullptr) {
    WriteLog(0, "Cannot add application >%s< to environment >%s< as it already exists", name, env->name.c_str());
    return nullptr;
  }
  if (!GrowArrayForOneMore(env->apps, "Unable to create application array of %d bytes",
                           "Unable to resize application array to %d bytes"))
    return nullptr;
  ApplicationStruct record;
  try {
    record.name = name;
  } catch (const std::exception&) {
    return nullptr;
  }
  record.header.kind = NODE_KIND_APPLICATION;
  // Inserting at the sorted place leaves the array exactly as appending and
  // re-sorting would (names are unique under the comparison).
  auto pos = std::upper_bound(env->apps.begin(), env->apps.end(), record,
                              [](const ApplicationStruct& a, const ApplicationStruct& b) { return CompareAppNames(a, b) < 0; });
  env->apps.insert(pos, std::move(record));  // capacity was made: cannot throw
  return FindApplication(env, name);
}

int CheckSettingsFileNameFree(const char* envName, const char* appName) {
  if (envName == nullptr || appName == nullptr) return FR_INVALID_PARAMETER;
  if (g_root == nullptr) return FR_OK;
  const std::string stem = SettingsFileStem(envName, appName);
  for (const EnvironmentStruct& env : g_root->envs) {
    bool sameEnv = EqualsNoCase(env.name, envName);
    for (const ApplicationStruct& app : env.apps) {
      if (sameEnv && EqualsNoCase(app.name, appName)) continue;  // the pair itself
      if (SettingsFileStem(env.name, app.name) == stem) {
        WriteLog(0, "Cannot add application >%s< to environment >%s< as its settings file is that of application >%s< of environment >%s<",
                 appName, envName, app.name.c_str(), env.name.c_str());
        return FR_ALREADY_EXISTS;
      }
    }
  }
  return FR_OK;
}

int AddApplicationToEnvironment(const char* envName, const char* appName) {
  if (envName == nullptr || appName == nullptr || !IsValidEnvAppName(envName) || !IsValidEnvAppName(appName))
    return FR_INVALID_PARAMETER;
  EnvironmentStruct* env = FindEnvironment(envName);
  if (env == nullptr) return FR_ENV_NOT_FOUND;
  if (FindApplication(env, appName) != nullptr) return FR_ALREADY_EXISTS;
  int rc = CheckSettingsFileNameFree(env->name.c_str(), appName);
  if (rc != FR_OK) return rc;
  if (AddApplication(env, appName) == nullptr) return FR_NO_MEMORY;

  std::string path;
  rc = GetEnvMasterFileName(path);
  if (rc == FR_OK) rc = WriteEnvironmentMasterFile(path.c_str());
  if (rc != FR_OK) return rc;
  // Look both up again: nothing should have moved, but no pointer is kept
  // across another operation.
  env = FindEnvironment(envName);
  ApplicationStruct* app = FindApplication(env, appName);
  // A settings file already there is no loaded application's: the new empty
  // one must not destroy the only copy of its settings.
  NoteSettingsFileOfNewApplication(env, app->name.c_str());
  return WriteApplicationSettingsXML(nullptr, env, app);
}

void NoteSettingsFileOfNewApplication(const EnvironmentStruct* env, const char* appName) {
  if (g_root == nullptr || env == nullptr || appName == nullptr) return;
  std::string path;
  if (GetEnvAppFileName(path, g_root->homeDir.c_str(), env->name.c_str(), appName) == FR_OK)
    NoteUnloadedStoreFile(path);
}

int DeleteApplication(EnvironmentStruct* env, const char* name) {
  if (env == nullptr || name == nullptr) return FR_INVALID_PARAMETER;
  auto it = std::find_if(env->apps.begin(), env->apps.end(),
                         [name](const ApplicationStruct& a) { return EqualsNoCase(a.name, name); });
  if (it == env->apps.end()) return FR_APP_NOT_FOUND;
  const std::string appName = it->name;
  FreeApplication(&*it);
  env->apps.erase(it);
  ClearServerList(env->name.c_str(), appName.c_str());  // its cached servers go with it
  return FR_OK;
}

void FreeApplication(ApplicationStruct* app) {
  if (app == nullptr) return;
  // Each root is detached before its chain goes, so nothing ever refers to a
  // freed node.
  ParamTreeNode* config = app->configRoot;
  ParamTreeNode* perm = app->permRoot;
  app->configRoot = nullptr;
  app->permRoot = nullptr;
  DeleteParamTreeNode(config, true, true);
  DeleteParamTreeNode(perm, true, true);
  std::string().swap(app->name);
}

// ---- Names and file names ------------------------------------------------------------

int IsValidEnvAppName(const char* name) {
  if (name == nullptr || !IsAsciiLetter(name[0])) return 0;
  size_t i = 1;
  for (; name[i] != '\0'; ++i) {
    if (i >= kMaxEnvAppNameLength) return 0;
    char c = name[i];
    if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '-' && c != '_') return 0;
  }
  return 1;
}

char* MakeSafeFileNamePart(char* text) {
  if (text == nullptr) return nullptr;
  for (char* p = text; *p != '\0'; ++p) {
    char c = *p;
    if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '.' && c != '-') *p = '_';
    else if (c >= 'A' && c <= 'Z') *p = static_cast<char>(c + ('a' - 'A'));
  }
  return text;
}

void MakeSafeFileNamePart(std::string& text) {
  for (char& c : text) {
    if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '.' && c != '-') c = '_';
    else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
}

void AppendBackslash(std::string& path) {
  if (!path.empty() && path.back() != '/') path += '/';
}

namespace {

// home ['/'] dir '/' safe(a) sep safe(b) ext, refused (2) when it would not
// fit the file-name buffer.
int BuildStoreFileName(std::string& out, const char* homeDir, const char* dir, const char* a, char sep,
                       const char* b, const char* ext) {
  out.clear();
  if (homeDir == nullptr || a == nullptr || b == nullptr) return FR_INVALID_PARAMETER;
  size_t total = strlen(homeDir) + 1 + strlen(dir) + 1 + strlen(a) + 1 + strlen(b) + strlen(ext);
  if (total >= kConfigFileNameSize) {
    WriteLog(0, "File name for >%.64s< and >%.64s< exceeds %d characters", a, b, static_cast<int>(kConfigFileNameSize - 1));
    return FR_INVALID_PARAMETER;
  }
  std::string sa(a), sb(b);
  MakeSafeFileNamePart(sa);
  MakeSafeFileNamePart(sb);
  out = homeDir;
  AppendBackslash(out);
  out += dir;
  out += '/';
  out += sa;
  out += sep;
  out += sb;
  out += ext;
  return FR_OK;
}

}  // namespace

int GetEnvAppFileName(std::string& out, const char* homeDir, const char* envName, const char* appName) {
  return BuildStoreFileName(out, homeDir, kEnvsDirectoryName, envName, '_', appName, ".xml");
}

int GetSchemaFileName(std::string& out, const char* homeDir, const char* appName, const char* version) {
  return BuildStoreFileName(out, homeDir, kSchemasDirectoryName, appName, '.', version, ".xsd");
}

int GetEnvMasterFileName(std::string& out) {
  out.clear();
  if (g_root == nullptr) return FR_INVALID_PARAMETER;
  if (g_root->homeDir.size() + strlen(kEnvMasterFileName) >= kConfigFileNameSize) return FR_INVALID_PARAMETER;
  out = g_root->homeDir + kEnvMasterFileName;
  return FR_OK;
}

// ---- env.xml as text, first start -----------------------------------------------------

int ReadEnvironmentMasterFile(std::string& out) {
  out.clear();
  std::string path;
  int rc = GetEnvMasterFileName(path);
  if (rc != FR_OK) return rc;
  return ReadFileToBuffer(path, out);
}

int CreateDefaultEnvironment() {
  EnvironmentStruct* live = CreateEnvironment(g_root.get(), kLiveEnvironmentName, kUIDLiveEnvironment);
  if (live == nullptr) return FR_NO_MEMORY;
  if (AddApplication(live, kServerApplicationName) == nullptr) return FR_NO_MEMORY;
  static const struct {
    const char* path;
    const char* value;
  } kFirstSettings[] = {
      {"Authentication\\AllowGuestLogin", "0"},
      {"Authentication\\AllowADTokenLogin", "1"},
      {"Authentication\\AllowADUserLogin", "1"},
      {"Authentication\\AllowADUPLogin", "1"},
      {"Authentication\\AllowInternalLogin", "1"},
  };
  for (const auto& s : kFirstSettings) {
    int rc = SetSettingString(kLiveEnvironmentName, kServerApplicationName, s.path, s.value);
    if (rc != FR_OK) return rc;
  }
  return FR_OK;
}

// ---- Diagnostics ----------------------------------------------------------------------

void PrintConfigRoot() {
  if (g_root == nullptr) {
    PrintTag("No torvane", 0);
    return;
  }
  PrintTag("Torvane", 1);
  for (const EnvironmentStruct& env : g_root->envs) {
    PrintTag(env.name.c_str(), 1);
    for (const ApplicationStruct& app : env.apps) {
      PrintTag(app.name.c_str(), 1);
      if (app.configRoot != nullptr) {
        PrintTag("CONFIGURATION", 1);
        PrintParamTree(app.configRoot);
        PrintTag("CONFIGURATION", -1);
      }
      if (app.permRoot != nullptr) {
        PrintTag("PERMISSION", 1);
        PrintParamTree(app.permRoot);
        PrintTag("PERMISSION", -1);
      }
      PrintTag(app.name.c_str(), -1);
    }
    PrintTag(env.name.c_str(), -1);
  }
  PrintTag("Torvane", -1);
}

void LogConfigRoot(const char* fileName) {
  if (fileName == nullptr || fileName[0] == '\0') return;
  DeleteFile(fileName);
  SetLogTeeFileName(fileName);
  if (g_root == nullptr) {
    WriteLog(0, "Torvane is NULL");
    SetLogTeeFileName(nullptr);
    return;
  }
  WriteLog(0, "Torvane has %d envs", static_cast<int>(g_root->envs.size()));
  int i = 0;
  for (const EnvironmentStruct& env : g_root->envs) {
    WriteLog(0, "Env %d is >%s< with %d apps", i++, env.name.c_str(), static_cast<int>(env.apps.size()));
    for (const ApplicationStruct& app : env.apps) {
      WriteLog(0, "*** APPLICATION %s ***", app.name.c_str());
      WriteLog(0, "Config=%u", app.configRoot != nullptr ? app.configRoot->header.uid : 0u);
      if (app.configRoot != nullptr) LogParamTree(app.configRoot->header.uid, 1);
      WriteLog(0, "perm=%u", app.permRoot != nullptr ? app.permRoot->header.uid : 0u);
      if (app.permRoot != nullptr) LogParamTree(app.permRoot->header.uid, 1);
    }
  }
  SetLogTeeFileName(nullptr);
}
