// The connection table: a fixed array of MAX_CONNECTIONS records and a count.
// Host layer; calls nothing.
#include "host/connections.h"

namespace {
ConnectionRecord g_table[MAX_CONNECTIONS];
int g_count = 0;
}  // namespace

int GetConnectionCount() { return g_count; }

ConnectionRecord* GetConnection(int index) {
  if (index < 0 || index >= g_count) return nullptr;
  return &g_table[index];
}

void ClearConnections() { g_count = 0; }

bool AppendConnection(const ConnectionRecord& record) {
  if (g_count >= MAX_CONNECTIONS) return false;
  g_table[g_count++] = record;
  return true;
}

void RemoveConnection(int index) {
  if (index < 0 || index >= g_count) return;
  --g_count;
  if (index != g_count) g_table[index] = g_table[g_count];
  g_table[g_count] = ConnectionRecord{};
}

int FindConnectionBySocket(int socket) {
  for (int i = 0; i < g_count; ++i) {
    if (g_table[i].socket == socket) return i;
  }
  return -1;
}
