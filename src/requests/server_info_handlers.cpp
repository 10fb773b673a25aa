// The server information requests (6606, 6627, 6628, 6663, 6665): what each
// reads, the one rights check (6665), the store call and the reply words.
// Requests layer: calls the handler conventions (current caller), the
// configuration store's settings API, UID allocation, the server settings,
// the wire primitives and the log.
#include "requests/server_info_handlers.h"

#include <optional>
#include <string>

#include "config/config_model.h"
#include "config/settings_api.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/wire/wire.h"
#include "requests/handler_conventions.h"

std::string BuildServerInformationText() {
  const ServerSettings& s = GetServerSettings();
  // Grown piece by piece: the home directory alone may be 1023 bytes, so no
  // fixed buffer sized for the rest could hold every text.
  std::string text = "TorvaneServer\r\nVersion=";
  text += GetVersionText();
  text += ' ';
  text += GetBuildText();
  text += "\r\nPort=";
  text += std::to_string(s.listenerPort);
  text += "\r\nHome Directory=";
  text += s.homeDirectory;
  text += "\r\n";
  return text;
}

int SetPWRulesString(const char* text) {
  if (text == nullptr) return FR_INVALID_PARAMETER;
  return SetSettingString(kLiveEnvironmentName, kServerApplicationName, kPWRulesPath, text);
}

// The UID is used up whether or not the send succeeds; a failed allocation's
// 0 goes out as it is.
int IPGetNewNodeID(int sock) {
  UID uid = GetNewUID();
  if (SendInt(sock, uid) != 4) {
    WriteLog(1, "Error sending new node ID to client");
    return FR_COMMS_ERROR;
  }
  return FR_OK;
}

int IPGetServerInformation(int sock) {
  if (sock < 0) return FR_INVALID_PARAMETER;  // no connection: nothing to answer
  if (SendString(sock, BuildServerInformationText()) != WIRE_OK) {
    WriteLog(1, "IPGetServerInformation:Unable to send information to client");
    return FR_COMMS_ERROR;
  }
  return FR_OK;
}

int IPGetServerVer(int sock) {
  if (SendInt(sock, GetServerSettings().internalVersion) != 4) {
    WriteLog(1, "IPGetServerVer:Error sending internal version to client");
    return FR_COMMS_ERROR;
  }
  return FR_OK;
}

int IPGetPWRules(int sock) {
  if (SendString(sock, GetPWRulesString()) != WIRE_OK) {
    WriteLog(1, "IPGetPWRules:Error sending password rules to client");
    return FR_COMMS_ERROR;
  }
  return FR_OK;
}

// Reads the new rules (echo rule: status 1 is the whole reply, status 4 gets
// none), then checks the caller: the rules decide when every dated password
// expires, so only an administrator may replace them, as for the same
// setting written through 6619.
int IPSetPWRules(int sock) {
  WireStatus status = WIRE_OK;
  std::optional<std::string> text = RecvArgString(sock, &status);
  if (status == WIRE_COMMS_FAILURE) return FR_COMMS_ERROR;
  int32_t rc = status;
  if (status == WIRE_OK) {
    if (IsCurrentUserAdmin() == 0) {
      rc = FR_PERMISSION_DENIED;
    } else {
      rc = SetPWRulesString(text ? text->c_str() : nullptr);
    }
  }
  SendInt(sock, rc);
  return rc;
}
