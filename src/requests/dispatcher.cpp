// The request dispatcher: message table lookup, the call in the form the row
// names, the unknown-ID path and the duration line.
// Requests layer: calls the message table, the connection table and the
// connection logoff (sessions), the platform's socket close, the clock and the log.
#include "requests/dispatcher.h"

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "platform/clock.h"
#include "platform/socket_io.h"
#include "requests/handler_conventions.h"
#include "requests/message_table.h"
#include "sessions/connection_table.h"
#include "sessions/session_admin.h"

namespace {

// Seconds from which the duration line carries a prefix.
constexpr int32_t kSlowRequestSeconds = 10;
constexpr int32_t kVerySlowRequestSeconds = 60;

// Calls the row's handler with what it is given and gives its result, which
// matters only when it is FR_CLOSE_CONNECTION.
int RunHandler(const MessageTableEntry& row, int32_t messageID, int sock, int index) {
  ConnectionRecord* conn = GetConnectionByIndex(index);
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

// A handler left the stream out of step (an argument over its bound): the
// connection goes the way of a failed one. Its logon ends unless the logon
// asked to be kept, the socket is closed and the entry removed. Gives where
// the caller's walk goes on.
int CloseConnectionForHandler(int32_t messageID, int sock, int index) {
  int at = FindConnectionIndexBySocket(sock);
  WriteLog(1, "Closing connection on socket %d: request %d sent an argument over its bound", sock,
           messageID);
  if (at < 0) return index;  // not in the table: nothing to remove
  ConnectionRecord* conn = GetConnectionByIndex(at);
  if (conn != nullptr && conn->keepLogon == 0) LogoffConnection(conn);
  SocketClose(sock);
  RemoveConnection(at);
  return at <= index ? index - 1 : index;
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
  const MessageTableEntry* row = FindMessageEntry(messageID);
  if (row != nullptr) {
    if (RunHandler(*row, messageID, sock, index) == FR_CLOSE_CONNECTION) {
      index = CloseConnectionForHandler(messageID, sock, index);
    }
  } else {
    // No handler: the request's arguments are not read, the client gets
    // nothing beyond the word 0 already sent. The logon stays: its slot
    // lives until the sanity check frees it or a re-attach by SID finds it.
    WriteLog(0, "Unknown message ID %d", messageID);
    SocketClose(sock);
    RemoveConnection(index);
    index = index - 1;
  }
  LogMessageDuration(messageID, static_cast<int32_t>(NowTime32() - t0));
  return index;
}
