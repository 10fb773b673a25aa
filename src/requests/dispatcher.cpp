// The request dispatcher: message table lookup, the call in the form the row
// names, the unknown-ID path and the duration line.
// Requests layer: calls the message table, the connection table (sessions),
// the platform's socket close, the clock and the log.
#include "requests/dispatcher.h"

#include "foundation/log/ring_log.h"
#include "platform/clock.h"
#include "platform/socket_io.h"
#include "requests/message_table.h"
#include "sessions/connection_table.h"

namespace {

// Seconds from which the duration line carries a prefix.
constexpr int32_t kSlowRequestSeconds = 10;
constexpr int32_t kVerySlowRequestSeconds = 60;

// Calls the row's handler with what it is given. The handler's result is not used.
void RunHandler(const MessageTableEntry& row, int32_t messageID, int sock, int index) {
  ConnectionRecord* conn = GetConnectionByIndex(index);
  switch (row.given) {
    case HandlerGiven::kNothing:
      break;
    case HandlerGiven::kSocket:
      row.bySocket(sock);
      break;
    case HandlerGiven::kConnection:
      if (conn != nullptr) row.byConnection(conn);
      break;
    case HandlerGiven::kSocketAndMessageID:
      row.bySocketAndMessageID(sock, messageID);
      break;
    case HandlerGiven::kSocketAndConnection:
      if (conn != nullptr) row.bySocketAndConnection(sock, conn);
      break;
  }
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
  const MessageTableEntry* row = FindMessageEntry(messageID);
  if (row != nullptr) {
    RunHandler(*row, messageID, sock, index);
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
