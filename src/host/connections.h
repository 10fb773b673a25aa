// The connection table as the server loop uses it: one ConnectionRecord per
// client connection, appended at the end and removed by moving the last
// entry into the freed place. Host layer; calls nothing.
// This copy stands in for the sessions layer's table until that layer is
// merged; the loop reaches the table only through the functions below.
#pragma once

#include <cstdint>

constexpr int MAX_CONNECTIONS = 500;
constexpr int INVALID_SOCKET = -1;
constexpr int kPeerAddressSize = 64;  // 63 characters and a NUL

struct ConnectionRecord {
  int socket = INVALID_SOCKET;
  uint32_t lastUsed = 0;       // when the latest request began; 0 before the first
  uint32_t logonUID = 0;       // the connection's own logon; 0 for none
  int32_t serverConnection = 0;
  int32_t clientID = 0;
  int32_t keepLogon = 0;
  char peerAddress[kPeerAddressSize] = {};
};

// Entries 0 .. GetConnectionCount()-1 are in use.
int GetConnectionCount();
ConnectionRecord* GetConnection(int index);  // null outside 0 .. count-1
// Empties the table.
void ClearConnections();
// Appends a copy of `record` at index count; false when the table is full.
bool AppendConnection(const ConnectionRecord& record);
// Removes entry `index`: the last entry moves into its place. The socket is
// not closed here.
void RemoveConnection(int index);
// The index of the entry holding `socket`, or -1.
int FindConnectionBySocket(int socket);
