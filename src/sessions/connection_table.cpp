// The connection table and the current logon slot.
// Sessions layer: calls the slot lookups only.
#include "sessions/connection_table.h"

#include <cstring>

#include "sessions/logon_slots.h"

namespace {

ConnectionRecord g_connections[MAX_CONNECTIONS];
int32_t g_connectionCount = 0;
uint32_t g_currentLogonUID = 0;

}  // namespace

// ---- The table -----------------------------------------------------------------------

int32_t GetConnectionCount() { return g_connectionCount; }

ConnectionRecord* GetConnectionByIndex(int index) {
  if (index < 0 || index >= g_connectionCount) return nullptr;
  return &g_connections[index];
}

int FindConnectionIndexBySocket(int socket) {
  for (int i = 0; i < g_connectionCount; ++i) {
    if (g_connections[i].socket == socket) return i;
  }
  return -1;
}

ConnectionRecord* FindConnectionBySocket(int socket) {
  int index = FindConnectionIndexBySocket(socket);
  return index < 0 ? nullptr : &g_connections[index];
}

int AppendConnection(int socket, const char* peerAddress) {
  if (g_connectionCount >= MAX_CONNECTIONS) return -1;
  ConnectionRecord& entry = g_connections[g_connectionCount];
  entry = ConnectionRecord{};
  entry.socket = socket;
  const char* address = (peerAddress && *peerAddress) ? peerAddress : kUnknownPeerAddress;
  size_t n = strnlen(address, kPeerAddressSize - 1);
  memcpy(entry.peerAddress, address, n);
  entry.peerAddress[n] = '\0';
  return g_connectionCount++;
}

int RemoveConnection(int index) {
  if (index < 0 || index >= g_connectionCount) return -2;
  --g_connectionCount;
  if (index < g_connectionCount) g_connections[index] = g_connections[g_connectionCount];
  g_connections[g_connectionCount] = ConnectionRecord{};
  return index - 1;
}

void ResetConnectionTable() {
  for (ConnectionRecord& entry : g_connections) entry = ConnectionRecord{};
  g_connectionCount = 0;
  g_currentLogonUID = 0;
}

// ---- The current logon slot ----------------------------------------------------------------

// Held as a logon UID rather than a slot pointer: a handler may free slots
// (and so move the last slot into a freed place) while the request is served,
// and a logon UID is never issued twice, so the lookup finds the caller's
// slot wherever it has moved, or none once it is gone.
void SetCurrentLogonSlot(uint32_t logonUID) {
  g_currentLogonUID = FindLUSByLogonUID(logonUID) ? logonUID : 0;
}

LUS* GetCurrentLogonSlot() { return FindLUSByLogonUID(g_currentLogonUID); }

uint32_t GetCurrentLogonUID() { return g_currentLogonUID; }
