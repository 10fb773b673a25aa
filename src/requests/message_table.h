// The message table: for every message ID that has a handler, the handler,
// what it is given (the socket, the connection record, the socket and the
// message ID, or the socket and the connection record), whether the request
// needs a logon, and the handler's name. IDs it does not list have no handler.
// Requests layer: names the handlers of every family; calls nothing itself.
#pragma once

#include <cstdint>
#include <span>

struct ConnectionRecord;

// ---- Rows -------------------------------------------------------------------------------

// What a handler is given.
enum class HandlerGiven : uint8_t {
  kNothing,               // 6003: the request reader performed the logon and replied
  kSocket,                // int IPx(int sock)
  kConnection,            // int IPx(ConnectionRecord* conn)
  kSocketAndMessageID,    // int IPx(int sock, int messageID): one handler, several IDs
  kSocketAndConnection,   // int IPx(int sock, ConnectionRecord* conn)
};

using SocketHandler = int (*)(int sock);
using ConnectionHandler = int (*)(ConnectionRecord* conn);
using SocketAndMessageIDHandler = int (*)(int sock, int messageID);
using SocketAndConnectionHandler = int (*)(int sock, ConnectionRecord* conn);

// One row. Exactly the pointer that `given` names is set; the others are null.
struct MessageTableEntry {
  int32_t messageID;
  HandlerGiven given;
  bool logonNeeded;          // type-0 requests need the connection's authenticated logon
  const char* handlerName;   // for log lines and tests
  SocketHandler bySocket;
  ConnectionHandler byConnection;
  SocketAndMessageIDHandler bySocketAndMessageID;
  SocketAndConnectionHandler bySocketAndConnection;
};

// ---- Lookup -----------------------------------------------------------------------------

// The row of `messageID` (bisection over the rows sorted by ID), or null when
// the ID has no handler. IDs compare as signed 32-bit numbers.
const MessageTableEntry* FindMessageEntry(int32_t messageID);

// Every row, sorted by message ID, each ID once.
std::span<const MessageTableEntry> MessageTableRows();
