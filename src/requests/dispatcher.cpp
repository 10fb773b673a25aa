// The request dispatcher: message table lookup, the call in the form the row
// names, the unknown-ID path and the duration line.
// Requests layer: calls the message table, the connection table, the
// connection logoff and the guard of a request's logon (sessions), the
// platform's socket close, the clock and the log.
#include "requests/dispatcher.h"

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "platform/clock.h"
#include "platform/socket_io.h"
#include "requests/handler_conventions.h"
#include "requests/message_table.h"
#include "sessions/connection_table.h"
#include "sessions/request_guard.h"
#include "sessions/session_admin.h"

namespace {

// Seconds from which the duration line carries a prefix.
constexpr int32_t kSlowRequestSeconds = 10;
constexpr int32_t kVerySlowRequestSeconds = 60;

// Calls the row's handler with what it is given and gives its result, which
// matters only when it is FR_CLOSE_CONNECTION.
int RunHandler(const MessageTableEntry& row, int32_t messageID, int sock, ConnectionRecord* conn) {
  switch (row.given) {
    case HandlerGiven::kNothing:
      break;
    case HandlerGiven::kSocket:
      return row.bySocket(sock);
    case HandlerGiven::kConnection:
      if (conn != nullptr) return row.byConnection(conn);
      break;
    case HandlerGiven::kSocketAndMessageID:
      return row.bySocketAndMessageID(sock, messageID);
    case HandlerGiven::kSocketAndConnection:
      if (conn != nullptr) return row.bySocketAndConnection(sock, conn);
      break;
  }
  return FR_OK;
}

// Closes the socket and then removes the entry of `conn`, by its record: the
// close may wait to send what the request holds, and entries move meanwhile.
void CloseAndRemove(int sock, ConnectionRecord* conn) {
  SocketClose(sock);
  RemoveConnectionRecord(conn);
}

// A handler left the stream out of step (an argument over its bound): the
// connection goes the way of a failed one. Its logon ends unless the logon
// asked to be kept, the socket is closed and the entry removed.
void CloseConnectionForHandler(int32_t messageID, int sock, ConnectionRecord* conn) {
  WriteLog(1, "Closing connection on socket %d: request %d sent an argument over its bound", sock,
           messageID);
  if (GetConnectionIndex(conn) < 0) return;  // removed meanwhile: its remover closed it
  if (conn->keepLogon == 0) LogoffConnection(conn);
  CloseAndRemove(sock, conn);
}

// The logon the request stood on ended while it waited: it did no more, and
// is refused as a request without a logon is (27 and the flags), in place of
// whatever it still held; the connection is closed, since the request may
// have left its arguments or its reply half-way.
void RefuseRequestWithoutLogon(int32_t messageID, int sock, ConnectionRecord* conn) {
  WriteLog(1, "Request %d on socket %d refused: its logon ended while it waited", messageID, sock);
  if (GetConnectionIndex(conn) < 0) return;
  HoldLogonEndedRefusal();
  CloseAndRemove(sock, conn);
}

}  // namespace

void LogMessageDuration(int32_t messageID, int32_t elapsed) {
  const char* prefix = "";
  if (elapsed >= kVerySlowRequestSeconds) {
    prefix = "<-<- ";
  } else if (elapsed >= kSlowRequestSeconds) {
    prefix = "<< ";
  }
  WriteLog(0, "%sFinished processing message %d, took approx %d seconds", prefix, messageID,
           elapsed);
}

int ProcessMessage(int32_t messageID, int sock, int index) {
  uint32_t t0 = NowTime32();
  // Nothing of an earlier request on the same task reaches this one.
  SetFormattedReplySocket(-1);
  // The record, not the index: entries move while a request waits. It is
  // pinned for the request's length, so that it outlives a removal of its
  // connection meanwhile (by the handler, or by another request), whoever
  // called this.
  ConnectionRecord* conn = GetConnectionByIndex(index);
  PinConnection(conn);
  const MessageTableEntry* row = FindMessageEntry(messageID);
  if (row != nullptr) {
    BeginRequestGuard(row->logonNeeded ? conn : nullptr);
    const int result = RunHandler(*row, messageID, sock, conn);
    if (RequestLogonEnded()) {
      RefuseRequestWithoutLogon(messageID, sock, conn);
    } else if (result == FR_CLOSE_CONNECTION) {
      CloseConnectionForHandler(messageID, sock, conn);
    }
    EndRequestGuard();
  } else {
    // No handler: the request's arguments are not read, the client gets
    // nothing beyond the word 0 already sent. The logon stays: its slot
    // lives until the sanity check frees it or a re-attach by SID finds it.
    WriteLog(0, "Unknown message ID %d", messageID);
    CloseAndRemove(sock, conn);
  }
  LogMessageDuration(messageID, static_cast<int32_t>(NowTime32() - t0));
  const int next = GetConnectionIndex(conn) >= 0 ? index : index - 1;
  UnpinConnection(conn);
  return next;
}
