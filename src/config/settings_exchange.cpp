// The start-up load of env.xml and every settings file, and the whole-file
// operations of clients: settings files fetched and replaced (checked in a
// scratch copy first, so a bad text changes nothing), schema files.
// Configuration layer: calls the readers and writers of this subsystem, the
// model, the server lists, the store-file marks, UID allocation, the node
// registry, the file utilities, the log and the clock.
#include "config/settings_exchange.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "config/config_model.h"
#include "config/settings_files_read.h"
#include "config/settings_files_write.h"
#include "config/store_file_state.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/util/util.h"
#include "platform/clock.h"
#include "platform/fs.h"

#include "config/server_lists.h"

namespace {

constexpr size_t kSettingsFileSuffixLength = 4;  // ".xml"

bool IsMissingOrEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

// A schema file is named safe(application) "." safe(version), so a '.' in the
// application name would let two pairs share one file ("a.b" with version "c"
// and "a" with version "b.c"), one client overwriting another's schema. No
// application name holds a '.' (the name rule refuses it and the reader turns
// it into '_'), so such a name is refused; the version keeps its '.'s.
bool IsSchemaApplicationName(const char* appName) { return strchr(appName, '.') == nullptr; }

}  // namespace

// ---- Start-up load --------------------------------------------------------------------

int ReadEnvironmentsXML(const char* path, const char* homeDir) {
  ResetStoreFileMarks();
  if (CreateConfigRoot(homeDir) != FR_OK) return FR_NO_MEMORY;

  int result = ReadEnvironmentMasterXML(path);
  if (result != FR_OK && path != nullptr && FileExists(path)) {
    // env.xml is the only list of the environments: what memory lacks of it
    // would go at its first rewrite, so its copy is kept now. (The path is the
    // one the writer uses: home + "env.xml".)
    NoteStoreFileFailedToLoad(path);
  }
  // Nothing was read when env.xml could not be opened: then every settings
  // file there is one that nothing names.
  if (result == FR_CANNOT_OPEN_FILE || result == FR_INVALID_PARAMETER) {
    ReportUnlistedSettingsFiles(homeDir);
    return result;
  }

  const bool ownBulk = !InBulkRegistration();
  if (ownBulk) BeginBulkRegistration();
  TorvaneStructure* root = GetConfigRoot();
  for (size_t e = 0; root != nullptr && e < root->envs.size(); ++e) {
    for (size_t a = 0; a < root->envs[e].apps.size(); ++a) {
      // Fresh addresses each time: nothing here adds or removes records, but
      // no pointer is kept across a call all the same.
      int rc = ReadApplicationSettingsXML(homeDir, &root->envs[e], &root->envs[e].apps[a]);
      root->envs[e].apps[a].header.timeStamp = NowTime32();
      // No settings file yet is an application with no settings.
      if (rc != FR_OK && rc != FR_FILE_NOT_FOUND && result == FR_OK) result = rc;
    }
  }
  if (ownBulk) EndBulkRegistration();
  ReportUnlistedSettingsFiles(homeDir);
  return result;
}

int ReportUnlistedSettingsFiles(const char* homeDir) {
  TorvaneStructure* root = GetConfigRoot();
  if (homeDir == nullptr || root == nullptr) return 0;
  std::string folder = homeDir;
  AppendBackslash(folder);
  folder += "envs/";
  int reported = 0;
  try {
    std::vector<std::string> names;
    if (!ListDirectory(folder, names)) return 0;  // no envs/: nothing to report
    std::unordered_set<std::string> listed;
    std::string path;
    for (const EnvironmentStruct& env : root->envs)
      for (const ApplicationStruct& app : env.apps)
        if (GetEnvAppFileName(path, homeDir, env.name.c_str(), app.name.c_str()) == FR_OK)
          listed.insert(path.substr(path.rfind('/') + 1));
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      // Settings files end in ".xml"; the ".bad" copies and the writer's
      // temporary files do not.
      if (name.size() <= kSettingsFileSuffixLength ||
          name.compare(name.size() - kSettingsFileSuffixLength, kSettingsFileSuffixLength, ".xml") != 0 ||
          listed.count(name) != 0)
        continue;
      FileStatus st;
      if (!GetFileStatus(folder + name, st) || !st.isRegular) continue;
      WriteLog(1, "Settings file >%s< is not named in env.xml: it is kept and not loaded", (folder + name).c_str());
      ++reported;
    }
  } catch (const std::exception&) {
    WriteLog(1, "Unable to check %s for settings files that env.xml does not name", folder.c_str());
  }
  return reported;
}

// ---- Settings files for clients ---------------------------------------------------------

int GetApplicationXML(const char* envName, const char* appName, std::string& out) {
  out.clear();
  if (IsMissingOrEmpty(envName) || IsMissingOrEmpty(appName)) return FR_INVALID_PARAMETER;
  TorvaneStructure* root = GetConfigRoot();
  if (root == nullptr) return FR_INVALID_PARAMETER;
  std::string fileName;
  int rc = GetEnvAppFileName(fileName, root->homeDir.c_str(), envName, appName);
  if (rc != FR_OK) return rc;
  return ReadFileToBuffer(fileName, out);
}

int ReplaceApplicationSettingsText(EnvironmentStruct* env, const char* appName, const char* text,
                                   size_t length, const std::string& filePath, const char* logPrefix) {
  if (logPrefix == nullptr) logPrefix = "ReplaceApplicationSettingsText";
  if (env == nullptr || IsMissingOrEmpty(appName) || text == nullptr) return FR_INVALID_PARAMETER;
  TorvaneStructure* root = GetConfigRoot();
  if (root == nullptr) return FR_INVALID_PARAMETER;
  // The name is still needed after the old application is deleted, and the
  // caller may have passed that application's own name: work on a copy.
  std::string nameCopy;
  try {
    nameCopy = appName;
  } catch (const std::exception&) {
    return FR_NO_MEMORY;
  }
  appName = nameCopy.c_str();

  const ApplicationStruct* old = FindApplication(env, appName);
  const bool creating = old == nullptr;
  if (creating) {
    // A new application must come back after a restart: a name the reader
    // gives back unchanged, a settings file of its own, a line in env.xml.
    if (!IsValidEnvAppName(appName)) return FR_INVALID_PARAMETER;
    int rc = CheckSettingsFileNameFree(env->name.c_str(), appName);
    if (rc != FR_OK) return rc;
  }
  std::string fileName = filePath;
  if (fileName.empty()) {
    int rc = GetEnvAppFileName(fileName, root->homeDir.c_str(), env->name.c_str(), appName);
    if (rc != FR_OK) return rc;
  }

  // 1. The text must load as it would from the file, in place of the old
  //    application: until it does, nothing is touched.
  SettingsScratch scratch;
  SettingsParseOptions options;
  options.replacing = old;
  options.refuseReservedUIDs = true;
  options.envName = env->name.c_str();
  options.appName = appName;
  int rc = ParseApplicationSettingsText(text, length, fileName.c_str(), options, scratch);
  if (rc != FR_OK) {
    WriteLog(0, "%s:Settings for application >%s< of environment >%s< do not load (%d); nothing changed",
             logPrefix, appName, env->name.c_str(), rc);
    return rc;
  }
  rc = AssignScratchUIDs(scratch, old);
  if (rc != FR_OK) return rc;

  // 2. The file becomes the text as it stands (atomically: a failure keeps
  //    the old file, and the model is still untouched). The writer first
  //    keeps a copy of a file that failed to load and has none yet.
  try {
    rc = WriteConfigFileText(fileName, std::string(text, length));
  } catch (const std::exception&) {
    rc = FR_NO_MEMORY;
  }
  if (rc != FR_OK) {
    if (rc == FR_CANNOT_OPEN_FILE) {
      WriteLog(1, "%s:Unable to open xml file %s", logPrefix, fileName.c_str());
    } else {
      WriteLog(1, "%s:Error writing to xml file %s", logPrefix, fileName.c_str());
    }
    return rc;
  }

  // 3. Swap: the old application goes with its trees, the new one takes the
  //    checked nodes. The UIDs were checked free less the old application's,
  //    which are released by the delete.
  if (!creating) DeleteApplication(env, appName);
  old = nullptr;
  ApplicationStruct* app = AddApplication(env, appName);
  if (app == nullptr) {
    WriteLog(1, "%s:Unable to replace application %s", logPrefix, appName);
    return FR_APP_NOT_FOUND;
  }
  rc = InstallApplicationSettings(app, scratch);
  app->header.timeStamp = NowTime32();
  if (rc == FR_OK) {
    (void)BuildServerListForApp(env, app);
  } else {
    // A partial model must not leave the old servers answering.
    ClearServerList(env->name.c_str(), appName);
  }
  // The text may carry UIDs above uid.val: a later GetNewUID must not issue one.
  SyncUIDFileWithNodes();
  if (rc != FR_OK) return rc;

  if (creating) {
    std::string envPath;
    rc = GetEnvMasterFileName(envPath);
    if (rc == FR_OK) rc = WriteEnvironmentMasterFile(envPath.c_str());
    if (rc != FR_OK) return rc;
  }
  return FR_OK;
}

int SetApplicationXML(const char* envName, const char* appName, const char* text) {
  if (IsMissingOrEmpty(envName) || IsMissingOrEmpty(appName) || IsMissingOrEmpty(text))
    return FR_INVALID_PARAMETER;
  EnvironmentStruct* env = FindEnvironment(envName);
  if (env == nullptr) return FR_ENV_NOT_FOUND;
  return ReplaceApplicationSettingsText(env, appName, text, strlen(text), std::string(), "SetApplicationXML");
}

// ---- Schema files -------------------------------------------------------------------------

int SetApplicationSchema(const char* appName, const char* version, const char* text) {
  if (IsMissingOrEmpty(appName) || version == nullptr || text == nullptr) return FR_INVALID_PARAMETER;
  if (!IsSchemaApplicationName(appName)) return FR_INVALID_PARAMETER;
  TorvaneStructure* root = GetConfigRoot();
  if (root == nullptr) return FR_INVALID_PARAMETER;
  std::string fileName;
  int rc = GetSchemaFileName(fileName, root->homeDir.c_str(), appName, version);
  if (rc != FR_OK) return rc;
  try {
    rc = WriteConfigFileText(fileName, std::string(text));
  } catch (const std::exception&) {
    rc = FR_NO_MEMORY;
  }
  if (rc == FR_WRITE_FAILED) WriteLog(1, "Error writing to schema file %s", fileName.c_str());
  return rc;
}

int GetApplicationSchema(const char* appName, const char* version, std::string& out) {
  out.clear();
  if (IsMissingOrEmpty(appName) || version == nullptr) return FR_INVALID_PARAMETER;
  if (!IsSchemaApplicationName(appName)) return FR_INVALID_PARAMETER;
  TorvaneStructure* root = GetConfigRoot();
  if (root == nullptr) return FR_INVALID_PARAMETER;
  std::string fileName;
  int rc = GetSchemaFileName(fileName, root->homeDir.c_str(), appName, version);
  if (rc != FR_OK) return rc;
  return ReadFileToBuffer(fileName, out);
}
