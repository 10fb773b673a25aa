// The logoff and session administration handlers (6004, 6662, 6677, 6678,
// 6679, 6680, 6685).
// Requests layer: calls the handler conventions, the session administration,
// the logon back-off, the slots, the connection table, the slot-operations
// log and the log.
#include "requests/session_handlers.h"

#include "foundation/log/ring_log.h"
#include "platform/clock.h"
#include "requests/handler_conventions.h"
#include "sessions/connection_table.h"
#include "sessions/logon_backoff.h"
#include "sessions/logon_slots.h"
#include "sessions/lus_log.h"
#include "sessions/session_admin.h"

int IPLogoff(ConnectionRecord* conn) {
  LogoffConnection(conn);
  return FR_OK;
}

int IPLogoffOther(ConnectionRecord* conn) {
  if (!conn) return FR_INVALID_PARAMETER;
  // Needs no logon: a longer SID text than any client sends closes the
  // connection (the dispatcher's path) instead of being received.
  WireStatus status = WIRE_OK;
  bool tooLong = false;
  std::optional<std::string> sidText =
      RecvBoundedString(conn->socket, kMaxNoLogonStringLength, &status, &tooLong);
  if (status != WIRE_OK || !sidText) {
    WriteLUSLog("IPLogoffOther:Unable to get sidstr", 1);
    WriteLog(1, "IPLogoffOther:Unable to get sidStr (%d)", status);
    if (tooLong) return FR_CLOSE_CONNECTION;
    return status != WIRE_OK ? static_cast<int>(status) : static_cast<int>(FR_INVALID_PARAMETER);
  }
  uint32_t sid = ParseHexID(sidText->c_str());
  if (sid == 0) {
    WriteLUSLog("IPLogoffOther:Invalid SID passed", 1);
    WriteLog(1, "IPLogoffOther:Invalid SID passed");
    return FR_INVALID_PARAMETER;
  }
  // An address in back-off is not let guess: the text is not looked up.
  if (LogonBackoffRefuses(conn->peerAddress)) return FR_NOT_LOGGED_ON;  // as no slot matched
  // The caller's own logon is not touched; a connection that never logged on
  // has client ID 0 and so ends the whole slot.
  const int rc = DoLogoff(0, sid, conn->clientID);
  if (rc != 0) NoteLogonFailure(conn->peerAddress);
  return rc;
}

int IPLogoffClient(ConnectionRecord* conn) {
  if (!conn) return FR_INVALID_PARAMETER;
  int32_t match = 0;
  if (!RecvArgInt(conn->socket, &match)) {
    WriteLog(1, "IPLogoffClient: Unable to get client ID to log off");
    return FR_COMMS_ERROR;
  }
  return DoLogoff(conn->logonUID, 0, match);
}

int IPKickUsers(ConnectionRecord* conn) {
  if (!conn) return FR_INVALID_PARAMETER;
  WireStatus status = WIRE_OK;
  std::optional<std::string> list = RecvArgString(conn->socket, &status);
  if (EchoRuleEnds(conn->socket, status)) {
    WriteLog(1, "IPKickUsers:Failed to get users from client (%d)", status);
    return status;
  }
  // Kicking ends other users' logons: administrators only, as for the sanity
  // check and the closing of idle connections.
  int result = IsCurrentUserAdmin() ? KickUsersFromList(list ? list->c_str() : nullptr) : FR_PERMISSION_DENIED;
  if (!SendReplyStatus(conn->socket, result)) WriteLog(1, "IPKickUsers:Failed to send result to client");
  return result;
}

int IPSanityCheckTokens(int sock) {
  int result = FR_PERMISSION_DENIED;
  if (IsCurrentUserAdmin()) {
    SanityCheckTokens();
    result = FR_OK;
  }
  if (!SendReplyStatus(sock, result)) WriteLog(1, "IPSanityCheckTokens:Failed to send result to client");
  return result;
}

int IPCloseIdleConnections(int sock) {
  WireStatus status = WIRE_OK;
  std::optional<std::string> ageText = RecvArgString(sock, &status);
  if (EchoRuleEnds(sock, status)) {
    WriteLog(1, "IPCloseIdleConnections:Unable to get age from client (%d)", status);
    return status;
  }
  int result = FR_PERMISSION_DENIED;
  if (IsCurrentUserAdmin()) {
    uint32_t age = IdleAgeSeconds(ageText ? ageText->c_str() : nullptr);
    result = CloseIdleConnections(NowTime32() - age, sock);
  }
  if (!SendReplyStatus(sock, result)) WriteLog(1, "IPCloseIdleConnections:Failed to send result to client");
  return result;
}

int IPGetLUSArrayXML(ConnectionRecord* conn) {
  if (!conn) return FR_INVALID_PARAMETER;
  int failReason = FR_OK;
  std::optional<std::string> doc = GetLUSArrayXML(FindLUSByLogonUID(conn->logonUID), &failReason);
  if (!doc) {
    WriteLog(1, "IPGetLUSArrayXML:Unable to get lusXML (%d)", failReason);
    if (!SendReplyStatus(conn->socket, failReason)) {
      WriteLog(1, "IPGetLUSArrayXML:Error sending fail reason to client");
    }
    return failReason;
  }
  if (!SendReplyText(conn->socket, *doc)) WriteLog(1, "IPGetLUSArrayXML:Error sending xml to client");
  return FR_OK;
}
