// The configuration handlers (6614-6624) and the four setting handlers no
// message reaches: each reads its arguments in the message's order, checks
// the caller's rights, calls one configuration store operation and replies.
// Requests layer: calls the handler conventions, the configuration store
// (model, settings API, blocks, server lists, file writers), the node
// registry, the wire primitives and the log.
#include "requests/config_handlers.h"

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "config/config_blocks.h"
#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/server_lists.h"
#include "config/settings_api.h"
#include "config/settings_files_write.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/util.h"
#include "foundation/wire/wire.h"
#include "requests/handler_conventions.h"

namespace {

using OptText = std::optional<std::string>;

// The names of `items` (each a record with a `name`) joined with "\n" between
// two names and none after the last, as the two name lists send them. False
// when memory runs out.
template <class Records>
bool JoinNamesBetween(const Records& items, std::string& out) {
  try {
    size_t total = 0;
    for (const auto& r : items) total += r.name.size() + 1;
    out.clear();
    out.reserve(total);
    bool first = true;
    for (const auto& r : items) {
      if (!first) out += '\n';
      out += r.name;
      first = false;
    }
  } catch (const std::bad_alloc&) {
    out.clear();
    return false;
  }
  return true;
}

}  // namespace

void FreeThreeBuffers(OptText& a, OptText& b, OptText& c) {
  a.reset();
  b.reset();
  c.reset();
}

// ---- 6614 --------------------------------------------------------------------

// The root's environment names in their order, "\n" between them; 0 and the
// empty text without a root or environments; 1 when memory fails.
int IPGetEnvNameList(int sock) {
  const TorvaneStructure* root = GetConfigRoot();
  std::string text;
  if (root != nullptr && !JoinNamesBetween(root->envs, text)) {
    if (!SendReplyStatus(sock, FR_NO_MEMORY))
      WriteLog(1, "IPGetEnvNameList:Error sending error message to client");
    return FR_NO_MEMORY;
  }
  if (!SendReplyText(sock, text)) {
    WriteLog(1, "IPGetEnvNameList:Error sending environment name list to client");
    return FR_COMMS_ERROR;
  }
  return FR_OK;
}

// ---- 6615, 6616 ----------------------------------------------------------------

// Adds an environment (admins only). An absent name or a failed read ends
// the request without a reply.
int IPAddEnvironment(int sock) {
  WireStatus status = WIRE_OK;
  OptText name = RecvArgString(sock, &status);
  if (status != WIRE_OK || !name) {
    WriteLog(1, "IPAddEnvironment:Error getting new environment name from client");
    return FR_COMMS_ERROR;
  }
  const int rc = IsCurrentUserAdmin() ? AddEnvironment(name->c_str()) : FR_PERMISSION_DENIED;
  if (!SendReplyStatus(sock, rc))
    WriteLog(1, "IPAddEnvironment:Unable to send status of AddEnvironment to client");
  return rc;
}

// Adds an application to an environment (admins only). Both names are read,
// the second also when the first failed; either absent ends the request.
int IPAddApplicationToEnvironment(int sock) {
  WireStatus envStatus = WIRE_OK;
  WireStatus appStatus = WIRE_OK;
  OptText env = RecvArgString(sock, &envStatus);
  OptText app = RecvArgString(sock, &appStatus);
  if (!env || !app) {
    WriteLog(1,
             "IPAddApplicationToEnvironment:Unable to get environment or application name from "
             "client");
    return FR_COMMS_ERROR;
  }
  const int rc = IsCurrentUserAdmin() ? AddApplicationToEnvironment(env->c_str(), app->c_str())
                                      : FR_PERMISSION_DENIED;
  if (!SendReplyStatus(sock, rc))
    WriteLog(1, "IPAddApplicationToEnvironment:Unable to send result to client");
  return rc;
}

// ---- 6617 ------------------------------------------------------------------------

// Sends an application's transport block. The version test comes before the
// lookups; a non-zero time stamp not older than the application's time word
// (signed) gets 5; a stamp that could not be read counts as 0.
int IPGetApp(int sock) {
  int32_t versionWanted = 0;
  int32_t timeStamp = 0;
  if (!RecvArgInt(sock, &versionWanted)) {
    WriteLog(1, "IPGetApp:Failed to get version wanted from client");
    return FR_COMMS_ERROR;
  }
  if (!RecvArgInt(sock, &timeStamp)) {
    WriteLog(1, "IPGetApp:Failed to get time stamp from client");
    timeStamp = 0;
  }
  WireStatus status = WIRE_OK;
  OptText envName = RecvArgString(sock, &status);
  if (status != WIRE_OK || !envName) {
    WriteLog(1, "IPGetApp:Failed to get environment name from client (%d)", static_cast<int>(status));
    return FR_COMMS_ERROR;
  }
  OptText appName = RecvArgString(sock, &status);
  if (status != WIRE_OK || !appName) {
    WriteLog(1, "IPGetApp:Failed to get app name from client (%d)", static_cast<int>(status));
    return FR_COMMS_ERROR;
  }

  int rc = FR_OK;
  std::vector<unsigned char> block;
  if (versionWanted != kTransportVersion) {
    rc = FR_INVALID_VERSION;
  } else if (EnvironmentStruct* env = FindEnvironment(envName->c_str()); env == nullptr) {
    WriteLog(1, "IPGetApp:Cannot find environment >%s<", envName->c_str());
    rc = FR_ENV_NOT_FOUND;
  } else if (const ApplicationStruct* app = FindApplication(env, appName->c_str()); app == nullptr) {
    WriteLog(1, "IPGetApp:Cannot find app >%s< in environment >%s", appName->c_str(),
             envName->c_str());
    rc = FR_APP_NOT_FOUND;
  } else if (timeStamp != 0 && ClientCopyIsCurrent(timeStamp, app->header.timeStamp)) {
    rc = FR_CLIENT_CURRENT;
  } else if (ConvertAppToTransportBlock(app, block) != FR_OK) {
    WriteLog(1, "IPGetApp:Unable to create transport block for application");
    rc = FR_NO_MEMORY;
  }

  if (rc != FR_OK) {
    if (!SendReplyStatus(sock, rc)) WriteLog(1, "IPGetApp:Error sending app data to client");
    return rc;
  }
  if (!SendReplyVersionedBlock(sock, block)) WriteLog(1, "IPGetApp:Error sending app data to client");
  return FR_OK;
}

// ---- 6618 -------------------------------------------------------------------------

// The application names of one environment in its sorted order, "\n" between
// them. An absent name or a failed read is logged and answered as a name that
// is not found (17).
int IPGetAppNameListForEnv(int sock) {
  WireStatus status = WIRE_OK;
  OptText envName = RecvArgString(sock, &status);
  if (status != WIRE_OK || !envName)
    WriteLog(1, "IPGetAppNameListForEnv:Unable to get environment name from client");

  const EnvironmentStruct* env = envName ? FindEnvironment(envName->c_str()) : nullptr;
  if (env == nullptr) {
    if (!SendReplyStatus(sock, FR_ENV_NOT_FOUND))
      WriteLog(1, "IPGetAppNameListForEnv:Unable to send env not found message to client");
    return FR_ENV_NOT_FOUND;
  }
  std::string text;
  if (!JoinNamesBetween(env->apps, text)) {
    size_t size = 0;
    for (const ApplicationStruct& a : env->apps) size += a.name.size() + 1;
    WriteLog(1, "IPGetAppNameListForEnv:Unable to allocate %d bytes for buffer",
             static_cast<int>(size));
    if (!SendReplyStatus(sock, FR_NO_MEMORY))
      WriteLog(1, "IPGetAppNameListForEnv:Unable to send no memory error to client");
    return FR_NO_MEMORY;
  }
  if (!SendReplyText(sock, text)) {
    WriteLog(1, "IPGetAppNameListForEnv:Unable to send app name list to client");
    return FR_COMMS_ERROR;
  }
  return FR_OK;
}

// ---- 6619 --------------------------------------------------------------------------

// Sets a STRING setting from text (admins only). An absent environment name
// means "Live"; an empty one is looked up as it stands (17).
int IPSetParamValueFromString(int sock) {
  WireStatus status = WIRE_OK;
  OptText envName = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPSetParamValueFromString:Failed to get env name from client");
    return FR_COMMS_ERROR;
  }
  OptText appName = RecvArgString(sock, &status);
  if (status != WIRE_OK || !appName) {
    WriteLog(1, "IPSetParamValueFromString:Failed to get app name from client");
    return FR_COMMS_ERROR;
  }
  OptText path = RecvArgString(sock, &status);
  if (status != WIRE_OK || !path) {
    WriteLog(1, "IPSetParamValueFromString:Failed to get param name from client");
    return FR_COMMS_ERROR;
  }
  OptText value = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPSetParamValueFromString:Failed to get param value from client");
    return FR_COMMS_ERROR;
  }
  const int rc = IsCurrentUserAdmin()
                     ? SetSettingString(envName ? envName->c_str() : kLiveEnvironmentName,
                                        appName->c_str(), path->c_str(),
                                        value ? value->c_str() : nullptr)
                     : FR_PERMISSION_DENIED;
  if (!SendReplyStatus(sock, rc))
    WriteLog(1, "IPSetParamValueFromString:Failed to send status of set value to client");
  return rc;
}

// ---- 6620 ---------------------------------------------------------------------------

// One parameter node's own block, found by UID. The time stamp is read and
// not used; a wrong version is refused with 2, like UID 0.
int IPGetParamTreeNode(int sock) {
  uint32_t uid = 0;
  int32_t versionWanted = 0;
  int32_t timeStamp = 0;
  if (!RecvArgUInt(sock, &uid)) {
    WriteLog(1, "IPGetParamTreeNode:Unable to get node UID from client");
    return FR_COMMS_ERROR;
  }
  if (!RecvArgInt(sock, &versionWanted)) {
    WriteLog(1, "IPGetParamTreeNode:Unable to get version wanted from client");
    return FR_COMMS_ERROR;
  }
  if (!RecvArgInt(sock, &timeStamp)) {
    WriteLog(1, "IPGetParamTreeNode:Unable to get timestamp from client");
    return FR_COMMS_ERROR;
  }

  if (uid == 0 || versionWanted != kTransportVersion) {
    if (!SendReplyStatus(sock, FR_INVALID_PARAMETER))
      WriteLog(1, "IPGetParamTreeNode:Unable to send invalid param message to client");
    return FR_INVALID_PARAMETER;
  }
  NodeHeader* header = GetNodeByUID(uid);
  if (header == nullptr) {
    if (!SendReplyStatus(sock, FR_NODE_NOT_FOUND))
      WriteLog(1, "IPGetParamTreeNode:Error sending node not found message to client");
    return FR_NODE_NOT_FOUND;
  }
  if (header->kind != NODE_KIND_PARAM_NODE) {
    if (!SendReplyStatus(sock, FR_WRONG_NODE_KIND))
      WriteLog(1, "IPGetParamTreeNode:Error sending node not found message to client");
    return FR_WRONG_NODE_KIND;
  }
  std::vector<unsigned char> block;
  if (ConvertParamTreeNodeToTransportBlock(RecordFromHeader<ParamTreeNode>(header), block) !=
      FR_OK) {
    if (!SendReplyStatus(sock, FR_NO_MEMORY))
      WriteLog(1, "IPGetParamTreeNode:Error sending no memory message to client");
    return FR_NO_MEMORY;
  }
  if (!SendReplyVersionedBlock(sock, block))
    WriteLog(1, "IPGetParamTreeNode:Error sending node transport block to client");
  return FR_OK;
}

// ---- 6621 ----------------------------------------------------------------------------

// Deletes a setting by UID with its subtree and saves its application's file
// (admins only).
int IPDeleteSetting(int sock) {
  uint32_t uid = 0;
  if (!RecvArgUInt(sock, &uid)) {
    WriteLog(1, "IPDeleteSetting:Unable to get setting UID from client");
    return FR_COMMS_ERROR;
  }
  WireStatus status = WIRE_OK;
  OptText envName = RecvArgString(sock, &status);
  if (status != WIRE_OK || !envName) {
    WriteLog(1, "IPDeleteSetting:Unable to get environment name from client");
    return FR_COMMS_ERROR;
  }
  OptText appName = RecvArgString(sock, &status);
  if (status != WIRE_OK || !appName) {
    WriteLog(1, "IPDeleteSetting:Unable to get application name from client");
    return FR_COMMS_ERROR;
  }
  const int rc = IsCurrentUserAdmin() ? DeleteSetting(uid, envName->c_str(), appName->c_str(), true)
                                      : FR_PERMISSION_DENIED;
  if (!SendReplyStatus(sock, rc))
    WriteLog(1, "IPDeleteSetting:Unable to put result of delete setting to client");
  return rc;
}

// ---- 6622 ----------------------------------------------------------------------------

// A parameter tree's block. Absent names go to the store, which takes an
// absent or empty environment as "Live".
int IPGetParamTree(int sock) {
  WireStatus status = WIRE_OK;
  OptText envName;
  OptText appName;
  OptText path;
  int32_t isPerm = 0;
  int32_t getSiblings = 0;
  int32_t versionWanted = 0;
  int32_t timeStamp = 0;
  int rc = FR_OK;

  envName = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPGetParamTree:Error (%d) getting environment name", static_cast<int>(status));
    return FR_COMMS_ERROR;
  }
  appName = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPGetParamTree:Error (%d) getting application name", static_cast<int>(status));
    FreeThreeBuffers(envName, appName, path);
    return FR_COMMS_ERROR;
  }
  path = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPGetParamTree:Error (%d) getting param name", static_cast<int>(status));
    FreeThreeBuffers(envName, appName, path);
    return FR_COMMS_ERROR;
  }
  const char* failure = nullptr;
  if (!RecvArgInt(sock, &isPerm))
    failure = "IPGetParamTreeNode:Unable to get isPerm setting from client";
  else if (!RecvArgInt(sock, &getSiblings))
    failure = "IPGetParamTreeNode:Unable to get getSiblings setting from client";
  else if (!RecvArgInt(sock, &versionWanted))
    failure = "IPGetParamTreeNode:Unable to get version wanted from client";
  else if (!RecvArgInt(sock, &timeStamp))
    failure = "IPGetParamTreeNode:Unable to get timestamp from client";
  if (failure != nullptr) {
    WriteLog(1, "%s", failure);
    FreeThreeBuffers(envName, appName, path);
    return FR_COMMS_ERROR;
  }

  std::vector<unsigned char> block;
  rc = GetParamTreeTransportBlock(envName ? envName->c_str() : nullptr,
                                  appName ? appName->c_str() : nullptr,
                                  path ? path->c_str() : nullptr, isPerm, getSiblings,
                                  versionWanted, static_cast<uint32_t>(timeStamp), block);
  FreeThreeBuffers(envName, appName, path);
  if (rc == FR_OK) {
    if (!SendReplyVersionedBlock(sock, block))
      WriteLog(1, "IPGetParamTreeNode:Error sending node transport block to client");
  } else if (!SendReplyStatus(sock, rc)) {
    WriteLog(1, "IPGetParamTreeNode:Error sending no error code to client");
  }
  return rc;
}

// ---- 6623, 6624 ------------------------------------------------------------------------

// Deletes an application of an environment (admins only; the names' validity
// is tested first). On success its cached servers are emptied and env.xml is
// rewritten, whose code is the reply; the settings file stays on disk.
int IPDeleteApplication(int sock) {
  WireStatus status = WIRE_OK;
  OptText envName = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPDeleteApplication:Unable to get environment name from client");
    return FR_COMMS_ERROR;
  }
  OptText appName = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPDeleteApplication:Unable to get application name from client");
    return FR_COMMS_ERROR;
  }
  OptText unused;

  int rc = FR_OK;
  const char* sendFailure = "IPDeleteApplication:Unable to send result of delete application to client";
  if (!envName || envName->empty() || !appName || appName->empty() ||
      EqualsNoCase(*appName, kServerApplicationName)) {
    rc = FR_INVALID_PARAMETER;
    sendFailure = "IPDeleteApplication:Unable to send invalid param message to client";
  } else if (!IsCurrentUserAdmin()) {
    rc = FR_PERMISSION_DENIED;
  } else if (EnvironmentStruct* env = FindEnvironment(envName->c_str()); env == nullptr) {
    rc = FR_ENV_NOT_FOUND;
    sendFailure = "IPDeleteApplication:Unable to send environment not found message to client";
  } else {
    rc = DeleteApplication(env, appName->c_str());
    if (rc == FR_OK) {
      FreeServerListEntries(FindServerList(envName->c_str(), appName->c_str(), false));
      std::string envXml;
      rc = GetEnvMasterFileName(envXml);
      if (rc == FR_OK) rc = WriteEnvironmentMasterFile(envXml.c_str());
    }
  }
  FreeThreeBuffers(envName, appName, unused);
  if (!SendReplyStatus(sock, rc)) WriteLog(1, "%s", sendFailure);
  return rc;
}

// Deletes an environment with its applications and rewrites env.xml (admins
// only; "Live", absent and empty names are refused with 2 first).
int IPDeleteEnvironment(int sock) {
  WireStatus status = WIRE_OK;
  OptText name = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPDeleteEnvironment:Unable to get environment name from client");
    return FR_COMMS_ERROR;
  }
  if (!name || name->empty() || EqualsNoCase(*name, kLiveEnvironmentName)) {
    if (!SendReplyStatus(sock, FR_INVALID_PARAMETER))
      WriteLog(1, "IPDeleteEnvironment:Unable to send invalid param message to client");
    return FR_INVALID_PARAMETER;
  }
  const int rc = IsCurrentUserAdmin() ? DeleteEnvironment(name->c_str(), true) : FR_PERMISSION_DENIED;
  if (!SendReplyStatus(sock, rc))
    WriteLog(1, "IPDeleteEnvironment:Unable to send result of delete environment to client");
  return rc;
}

// ---- Handlers that no message reaches ------------------------------------------------

// Creates a setting with a typed value (admins only).
int IPAddSetting(int sock) {
  WireStatus status = WIRE_OK;
  OptText envName = RecvArgString(sock, &status);
  if (status != WIRE_OK || !envName) {
    WriteLog(1, "IPAddSetting:Failed to get env name from client");
    return FR_COMMS_ERROR;
  }
  OptText appName = RecvArgString(sock, &status);
  if (status != WIRE_OK || !appName) {
    WriteLog(1, "IPAddSetting:Failed to get app name from client");
    return FR_COMMS_ERROR;
  }
  OptText path = RecvArgString(sock, &status);
  if (status != WIRE_OK || !path) {
    WriteLog(1, "IPAddSetting:Failed to get param name from client");
    return FR_COMMS_ERROR;
  }
  int32_t isPerm = 0;
  int32_t paramType = 0;
  int32_t arrayCount = 0;
  int32_t valueSize = 0;
  if (!RecvArgInt(sock, &isPerm) || !RecvArgInt(sock, &paramType) ||
      !RecvArgInt(sock, &arrayCount) || !RecvArgInt(sock, &valueSize)) {
    WriteLog(1, "IPAddSetting:Failed getting parameter data from client");
    return FR_COMMS_ERROR;
  }
  // A value that cannot be held is read and dropped, so that its bytes are
  // not taken for the next request header; the request then ends unanswered.
  std::vector<unsigned char> value;
  if (valueSize > 0) {
    const int got = RecvRawBlock(sock, kTransportVersion, valueSize, "IPAddSetting", value);
    if (got == FR_NO_MEMORY) {
      WriteLog(1, "IPAddSetting:Unable to allocate %d bytes for value buffer", valueSize);
      return FR_NO_MEMORY;
    }
    if (got != FR_OK) {
      WriteLog(1, "IPAddSetting:Unable to get value data from the client");
      return FR_COMMS_ERROR;
    }
  }
  const int rc = IsCurrentUserAdmin()
                     ? AddSetting(envName->c_str(), appName->c_str(), path->c_str(), isPerm,
                                  static_cast<uint32_t>(paramType), arrayCount,
                                  value.empty() ? nullptr : value.data(), value.size())
                     : FR_PERMISSION_DENIED;
  if (!SendReplyStatus(sock, rc)) WriteLog(1, "IPAddSetting:Unable to send result to client");
  return rc;
}

// Reads an update of a setting by UID; the store takes none of the values
// and gives 0 (admins only).
int IPUpdateSetting(int sock) {
  uint32_t uid = 0;
  int32_t paramType = 0;
  int32_t arrayCount = 0;
  int32_t valueSize = 0;
  if (!RecvArgUInt(sock, &uid) || !RecvArgInt(sock, &paramType) ||
      !RecvArgInt(sock, &arrayCount) || !RecvArgInt(sock, &valueSize)) {
    WriteLog(1, "IPUpdateSetting:Unable to get parameter from client");
    return FR_COMMS_ERROR;
  }
  int rc = FR_OK;
  if (valueSize > 0) {
    std::vector<unsigned char> value;
    // RecvRawBlock logs "IPUpdateSetting:Unable to allocate %d bytes for
    // buffer" itself and drops the bytes.
    const int got = RecvRawBlock(sock, kTransportVersion, valueSize, "IPUpdateSetting", value);
    if (got == FR_NO_MEMORY) {
      rc = FR_NO_MEMORY;
    } else if (got != FR_OK) {
      WriteLog(1, "IPUpdateSetting:Unable to get value from client");
      return FR_COMMS_ERROR;
    }
  }
  if (rc == FR_OK) rc = IsCurrentUserAdmin() ? UpdateSetting() : FR_PERMISSION_DENIED;
  if (!SendReplyStatus(sock, rc))
    WriteLog(1, "IPUpdateSetting:Unable to send result of update setting to client");
  return rc;
}

// Reads a setting request; the store yields no value, so the reply is the
// status word 0 alone (3 for a version other than 1).
int IPGetSetting(int sock) {
  WireStatus status = WIRE_OK;
  OptText envName = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPGetSetting:Failed to get env name from client");
    return FR_COMMS_ERROR;
  }
  OptText appName = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPGetSetting:Failed to get app name from client");
    return FR_COMMS_ERROR;
  }
  int32_t isPerm = 0;
  int32_t versionWanted = 0;
  int32_t timeStamp = 0;
  int32_t getChildren = 0;
  if (!RecvArgInt(sock, &isPerm) || !RecvArgInt(sock, &versionWanted) ||
      !RecvArgInt(sock, &timeStamp) || !RecvArgInt(sock, &getChildren)) {
    WriteLog(1, "IPGetSetting:Failed getting parameter data from client");
    return FR_COMMS_ERROR;
  }
  int rc = FR_OK;
  if (versionWanted != kTransportVersion) {
    rc = FR_INVALID_VERSION;
  } else {
    (void)GetSetting();
  }
  if (!SendReplyStatus(sock, rc)) WriteLog(1, "IPGetSetting:Unable to send result to client");
  return rc;
}

// Adds a number to an integer setting (no rights check, but for the server's
// own application: admins only). An absent environment name means "Live".
int IPIncrementParamValue(int sock) {
  WireStatus status = WIRE_OK;
  OptText envName = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPIncrementParamValue:Failed to get env name from client");
    return FR_COMMS_ERROR;
  }
  OptText appName = RecvArgString(sock, &status);
  if (status != WIRE_OK || !appName) {
    WriteLog(1, "IPIncrementParamValue:Failed to get app name from client");
    return FR_COMMS_ERROR;
  }
  OptText path = RecvArgString(sock, &status);
  if (status != WIRE_OK || !path) {
    WriteLog(1, "IPIncrementParamValue:Failed to get param name from client");
    return FR_COMMS_ERROR;
  }
  int32_t paramValue = 0;
  if (!RecvArgInt(sock, &paramValue)) {
    WriteLog(1, "IPIncrementParamValue:Failed to get param value from client");
    return FR_COMMS_ERROR;
  }
  const char* env = envName ? envName->c_str() : kLiveEnvironmentName;
  const int rc = IsServerApplication(env, appName->c_str()) && !IsCurrentUserAdmin()
                     ? static_cast<int>(FR_PERMISSION_DENIED)
                     : AddToSettingInt(env, appName->c_str(), path->c_str(), paramValue);
  if (!SendReplyStatus(sock, rc))
    WriteLog(1, "IPIncrementParamValue:Failed to send status of increment value to client");
  return rc;
}
