// The settings-file, schema and server-list XML handlers (6642-6647, 6653,
// 6656, 6657, 6675, 6676): whole texts between clients and the configuration
// store's files, with the rights checks, the logon-method refresh and the
// schema directory listing.
// Requests layer: calls the handler conventions, the configuration store, the
// logon settings, the wire, the utilities, the log and the directory listing.
#include "requests/settings_xml_handlers.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/config_model.h"
#include "config/server_lists.h"
#include "config/settings_api.h"
#include "config/settings_exchange.h"
#include "config/settings_files_write.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "foundation/wire/wire.h"
#include "platform/fs.h"
#include "sessions/logon_settings.h"
#include "requests/handler_conventions.h"

namespace {

using OptText = std::optional<std::string>;

constexpr char kSchemaSuffix[] = ".xsd";
constexpr size_t kSchemaSuffixLength = sizeof(kSchemaSuffix) - 1;

// Reads one string under the echo rule (status 1 answered with the word 1,
// status 4 with nothing). False when the handler ends.
bool RecvStringEcho(int sock, OptText& out) {
  WireStatus status = WIRE_OK;
  out = RecvArgString(sock, &status);
  return !EchoRuleEnds(sock, status);
}

const char* OrNull(const OptText& text) { return text ? text->c_str() : nullptr; }

// Sends a store code alone, logging `failure` when the send falls short.
void SendCode(int sock, int code, const char* failure) {
  if (!SendReplyStatus(sock, code)) WriteLog(1, "%s", failure);
}

// The reply of the whole-file requests 6645 and 6646: the code alone when it
// is not 0, else 0 and the text, each failed send logged with its message.
void SendFileReply(int sock, int code, const std::string& text, const char* failReason,
                   const char* failOk, const char* failText) {
  if (code != FR_OK) {
    SendCode(sock, code, failReason);
    return;
  }
  if (!SendReplyStatus(sock, FR_OK)) {
    WriteLog(1, "%s", failOk);
    return;
  }
  const WireStatus sent = SendString(sock, text);
  if (sent != WIRE_OK) WriteLog(1, failText, static_cast<int>(sent));
}

// True for a schema file name the list may carry: more than the ".xsd"
// suffix, which it ends in exactly, and no control byte (the list is lines of
// text, so a line feed inside a name would split it).
bool IsListableSchemaName(const std::string& name) {
  if (name.size() <= kSchemaSuffixLength) return false;
  if (name.compare(name.size() - kSchemaSuffixLength, kSchemaSuffixLength, kSchemaSuffix) != 0)
    return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

// ---- The schema list ------------------------------------------------------------------

std::string BuildSchemaList(const std::string& schemasDir) {
  std::string text;
  std::vector<std::string> names;
  if (!ListDirectory(schemasDir, names)) return text;
  for (const std::string& name : names) {
    if (!IsListableSchemaName(name)) continue;
    // The file itself decides (a link is followed): directories and
    // whatever else is not a regular file are passed over.
    FileStatus status;
    if (!GetFileStatus(schemasDir + name, status) || !status.isRegular) continue;
    text.append(name, 0, name.size() - kSchemaSuffixLength);
    text += '\n';
    if (text.size() > kSchemaListLimit) break;
  }
  return text;
}

// ---- 6642, 6653, 6643 -----------------------------------------------------------------

// Records an application's schema version, adding the application when the
// environment lacks it (admins only).
int IPSetApplicationSchemaVersion(int sock) {
  OptText envName, appName, version;
  if (!RecvStringEcho(sock, envName) || !RecvStringEcho(sock, appName) ||
      !RecvStringEcho(sock, version))
    return FR_COMMS_ERROR;
  const int rc = IsCurrentUserAdmin()
                     ? SetSchemaVersion(OrNull(envName), OrNull(appName), OrNull(version))
                     : FR_PERMISSION_DENIED;
  SendCode(sock, rc, "IPSetApplicationSchema:Error sending result to client");
  return rc;
}

// Stores a schema file (admins only).
int IPSetApplicationSchema(int sock) {
  OptText appName, version, text;
  if (!RecvStringEcho(sock, appName) || !RecvStringEcho(sock, version) ||
      !RecvStringEcho(sock, text))
    return FR_COMMS_ERROR;
  const int rc = IsCurrentUserAdmin()
                     ? SetApplicationSchema(OrNull(appName), OrNull(version), OrNull(text))
                     : FR_PERMISSION_DENIED;
  SendCode(sock, rc, "IPSetApplicationSchema:Error sending result to client");
  return rc;
}

// Sends a schema file's text.
int IPGetApplicationSchema(int sock) {
  OptText appName, version;
  if (!RecvStringEcho(sock, appName) || !RecvStringEcho(sock, version)) return FR_COMMS_ERROR;
  std::string text;
  const int rc = GetApplicationSchema(OrNull(appName), OrNull(version), text);
  if (!SendReplyStatus(sock, rc) || rc != FR_OK) return rc;
  if (SendString(sock, text) != WIRE_OK)
    WriteLog(1, "IPGetApplicationSchema:Error sending schema to client");
  return rc;
}

// ---- 6644 ------------------------------------------------------------------------------

// Sends the names of the schema files, each followed by "\n".
int IPGetSchemaList(int sock) {
  const TorvaneStructure* root = GetConfigRoot();
  std::string text;
  if (root != nullptr) {
    std::string dir = root->homeDir;
    AppendBackslash(dir);
    dir += kSchemasDirectoryName;
    dir += '/';
    text = BuildSchemaList(dir);
  }
  if (!SendReplyText(sock, text)) {
    WriteLog(1, "IPGetSchemaList:Error sending result to client");
    return FR_COMMS_ERROR;
  }
  return FR_OK;
}

// ---- 6645, 6646, 6647 --------------------------------------------------------------------

// Sends env.xml whole.
int IPGetMasterEnvXML(int sock) {
  std::string text;
  const int rc = ReadEnvironmentMasterFile(text);
  SendFileReply(sock, rc, text, "IPGetMasterEnvXML:Unable to send fail reason to client",
                "IPGetMasterEnvXML:Unable to send ok message to client",
                "IPGetMasterEnvXML:Unable to send xml to client (%d)");
  return rc;
}

// Sends an application's settings file whole, found by name whether or not
// the store holds that application.
int IPGetEnvAppXML(int sock) {
  OptText envName, appName;
  if (!RecvStringEcho(sock, envName) || !RecvStringEcho(sock, appName)) return FR_COMMS_ERROR;
  std::string text;
  const int rc = GetApplicationXML(OrNull(envName), OrNull(appName), text);
  SendFileReply(sock, rc, text, "IPGetEnvAppXML:Unable to send fail reason to client",
                "IPGetEnvAppXML:Unable to send ok message to client",
                "IPGetEnvAppXML:Unable to send xml to client (%d)");
  return rc;
}

// Replaces an application's settings file and reloads it (callers who may
// configure that application). New settings of the server's own application
// in "Live" change the allowed logon methods at once.
int IPSetEnvAppXML(int sock) {
  OptText envName, appName, text;
  if (!RecvStringEcho(sock, envName) || !RecvStringEcho(sock, appName) ||
      !RecvStringEcho(sock, text))
    return FR_COMMS_ERROR;
  int rc = FR_PERMISSION_DENIED;
  if (CurrentUserMayConfigure(OrNull(envName), OrNull(appName))) {
    rc = SetApplicationXML(OrNull(envName), OrNull(appName), OrNull(text));
    if (rc == FR_OK && EqualsNoCase(*envName, kLiveEnvironmentName) &&
        EqualsNoCase(*appName, kServerApplicationName)) {
      ReadAuthenticationSettings();
    }
  }
  if (!SendReplyStatus(sock, rc))
    WriteLog(1, "IPSetEnvAppXML:Error sending result (%d) to client", rc);
  return rc;
}

// ---- 6656, 6657 ----------------------------------------------------------------------------

// Sends an environment's description (a null string when it has none).
int IPGetEnvDescription(int sock) {
  WireStatus status = WIRE_OK;
  OptText envName = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPGetEnvDescription:Unable to get environment name from client");
    EchoRuleEnds(sock, status);
    return FR_COMMS_ERROR;
  }
  const EnvironmentStruct* env = FindEnvironment(OrNull(envName));
  if (env == nullptr) {
    SendCode(sock, FR_ENV_NOT_FOUND,
             "IPGetEnvDescription:Error sending environment not found result to client");
    return FR_ENV_NOT_FOUND;
  }
  if (!SendReplyStatus(sock, FR_OK)) {
    WriteLog(1, "IPGetEnvDescription:Error sending OK message to client");
    return FR_COMMS_ERROR;
  }
  if (SendString(sock, env->description) != WIRE_OK)
    WriteLog(1, "IPGetEnvDescription:Error sending environment description to client");
  return FR_OK;
}

// Sets or clears an environment's description and rewrites env.xml (admins
// only). A description that env.xml could not carry as XML text (not UTF-8,
// or a control byte XML forbids) is refused with 2 before anything changes,
// so that env.xml stays readable at the next start.
int IPSetEnvDescription(int sock) {
  WireStatus status = WIRE_OK;
  OptText envName = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPSetEnvDescription:Error getting environment name from client");
    return FR_COMMS_ERROR;
  }
  OptText description = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    WriteLog(1, "IPSetEnvDescription:Error getting description from client");
    return FR_COMMS_ERROR;
  }
  if (!IsCurrentUserAdmin()) {
    SendCode(sock, FR_PERMISSION_DENIED, "IPSetEnvDescription:Error sending result to client");
    return FR_PERMISSION_DENIED;
  }
  if (description && !IsValidXmlText(*description)) {
    WriteLog(1, "IPSetEnvDescription:Description is not valid XML text");
    SendCode(sock, FR_INVALID_PARAMETER, "IPSetEnvDescription:Error sending result to client");
    return FR_INVALID_PARAMETER;
  }
  EnvironmentStruct* env = FindEnvironment(OrNull(envName));
  if (env == nullptr) {
    SendCode(sock, FR_ENV_NOT_FOUND,
             "IPSetEnvDescription:Error sending environment not found message to client");
    return FR_ENV_NOT_FOUND;
  }
  env->description = std::move(description);
  std::string path;
  int rc = GetEnvMasterFileName(path);
  if (rc == FR_OK) rc = WriteEnvironmentMasterFile(path.c_str());
  SendCode(sock, rc, "IPSetEnvDescription:Error sending result to client");
  return rc;
}

// ---- 6675, 6676 ----------------------------------------------------------------------------

// Sends an application's SERVERLIST subtree as XML text. The sends are not
// tested: the reply is the last thing the request does.
int IPGetAppServerListXML(int sock) {
  OptText envName, appName;
  if (!RecvStringEcho(sock, envName)) {
    WriteLog(1, "IPGetAppServerListXML:Error getting environment from client");
    return FR_COMMS_ERROR;
  }
  if (!RecvStringEcho(sock, appName)) return FR_COMMS_ERROR;
  int rc = FR_OK;
  const OptText text = GetServerListXML(OrNull(envName), OrNull(appName), rc);
  if (rc == FR_OK) {
    (void)SendReplyText(sock, text);
  } else {
    (void)SendReplyStatus(sock, rc);
  }
  return rc;
}

// Replaces an application's SERVERLIST with the client's and reloads the
// application (admins only).
int IPSetAppServerListXML(int sock) {
  OptText envName, appName, text;
  if (!RecvStringEcho(sock, envName)) {
    WriteLog(1, "IPSetAppServerListXML:Error getting environment from client");
    return FR_COMMS_ERROR;
  }
  if (!RecvStringEcho(sock, appName) || !RecvStringEcho(sock, text)) return FR_COMMS_ERROR;
  if (!IsCurrentUserAdmin()) {
    SendCode(sock, FR_PERMISSION_DENIED,
             "IPSetAppServerListXML:Error sending permission denied to client");
    return FR_PERMISSION_DENIED;
  }
  const int rc = SetAppServerListXML(nullptr, OrNull(envName), OrNull(appName), OrNull(text));
  SendCode(sock, rc, "IPSetAppServerListXML:Error sending result to client");
  return rc;
}
