// Stand-ins for the session administration's logoff and slot dump, which the
// logons and the request reader call, until that module is merged: the
// logoff removes the client sessions of one logon (freeing the slot when
// none is left) and the dump writes nothing.
// Host layer for now; calls the slot table.
#include "host/layer_links.h"
#include "sessions/connection_table.h"
#include "sessions/logon_slots.h"

int PendingDoLogoff(uint32_t logonUID, int, int32_t clientID) {
  LUS* slot = logonUID != 0 ? FindLUSByLogonUID(logonUID) : nullptr;
  if (slot == nullptr) return -1;
  RemoveClientsFromLUS(GetLUSIndex(slot), clientID);
  return 0;
}

void IPLogoff(ConnectionRecord* conn) {
  if (conn == nullptr || conn->logonUID == 0) return;
  PendingDoLogoff(conn->logonUID, 0, conn->clientID);
  conn->logonUID = 0;
}

void DumpMissingAuth(uint32_t) {}
