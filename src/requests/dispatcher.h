// The request dispatcher: runs the handler that the message table gives for
// an accepted request's message ID, or closes and removes the connection when
// the ID has none, refuses a request whose logon ended while it waited, and
// logs how long the request took. It reads nothing from the connection.
// Requests layer: calls the message table, the connection table, the guard
// of a request's logon and the log.
#pragma once

#include <cstdint>

// Dispatches `messageID` for the connection at `index` of the connection
// table, whose socket is `sock`; the server loop has set the current logon
// slot. Gives the index of the last entry served: index - 1 when the entry
// was removed (an ID without a handler: "Unknown message ID %d", the socket
// closed, the entry removed, the logon kept), otherwise index. A handler
// that returns FR_CLOSE_CONNECTION (an argument over its bound, the stream
// out of step) has its connection closed and removed the way a failed one is:
// the logon ended unless keepLogon, index - 1. A request that needs a logon
// is guarded across its waits (sessions/request_guard.h): when its logon ended
// while it waited, it did nothing more, and it is refused 27 with the flags
// word in place of what it still held, and its connection closed, index - 1.
// 6003 only logs its duration line, as every message does.
int ProcessMessage(int32_t messageID, int sock, int index);

// Logs the duration line of a request that took `elapsed` seconds: prefix
// "<-<- " from 60 seconds, "<< " from 10 to 59, none below 10 (negative
// included): "Finished processing message %d, took approx %d seconds".
void LogMessageDuration(int32_t messageID, int32_t elapsed);
