// Stand-ins for the two operations of the session administration that the
// logons and the request reader call, until that module is merged: the
// logoff of a connection's own logon and the slot dump before a refusal.
#include "sessions/connection_table.h"
#include "sessions/logon_slots.h"

void IPLogoff(ConnectionRecord* conn) {
  if (!conn || conn->logonUID == 0) return;
  if (LUS* slot = FindLUSByLogonUID(conn->logonUID)) RemoveClientsFromLUS(GetLUSIndex(slot), conn->clientID);
  conn->logonUID = 0;
}

void DumpMissingAuth(uint32_t) {}
