// The connection table and the current logon slot.
// Sessions layer: calls the slot lookups and the fiber locals only.
#include "sessions/connection_table.h"

#include <cstring>
#include <vector>

#include "platform/fiber_tasks.h"
#include "sessions/logon_slots.h"

namespace {

// Entries in table order; each record is a heap object of its own, so that
// a move in the table never moves a record. The lists are never destroyed:
// connections still open at the process's end stay reachable to the last.
std::vector<ConnectionRecord*>& Table() {
  static auto* table = new std::vector<ConnectionRecord*>;
  return *table;
}
// Records kept for reuse: a connection's record is 4 KiB and more.
std::vector<ConnectionRecord*>& Spare() {
  static auto* spare = new std::vector<ConnectionRecord*>;
  return *spare;
}
constexpr size_t kMaxSpareRecords = 64;

// The current logon slot's logon UID, per request.
const int kCurrentLogonLocal = RegisterFiberLocal(nullptr);

ConnectionRecord* NewRecord() {
  if (Spare().empty()) return new ConnectionRecord;
  ConnectionRecord* r = Spare().back();
  Spare().pop_back();
  *r = ConnectionRecord{};
  return r;
}

void FreeRecord(ConnectionRecord* r) {
  if (Spare().size() < kMaxSpareRecords) {
    Spare().push_back(r);
  } else {
    delete r;
  }
}

// Takes `r` out of the table's care: freed now, or by its last unpin.
void Detach(ConnectionRecord* r) {
  r->tableIndex = -1;
  if (r->pins == 0) FreeRecord(r);
}

}  // namespace

// ---- The table -----------------------------------------------------------------------

int32_t GetConnectionCount() { return static_cast<int32_t>(Table().size()); }

ConnectionRecord* GetConnectionByIndex(int index) {
  if (index < 0 || index >= GetConnectionCount()) return nullptr;
  return Table()[static_cast<size_t>(index)];
}

int FindConnectionIndexBySocket(int socket) {
  for (size_t i = 0; i < Table().size(); ++i) {
    if (Table()[i]->socket == socket) return static_cast<int>(i);
  }
  return -1;
}

ConnectionRecord* FindConnectionBySocket(int socket) {
  int index = FindConnectionIndexBySocket(socket);
  return index < 0 ? nullptr : Table()[static_cast<size_t>(index)];
}

int AppendConnection(int socket, const char* peerAddress) {
  if (GetConnectionCount() >= MAX_CONNECTIONS) return -1;
  if (Table().capacity() < MAX_CONNECTIONS) Table().reserve(MAX_CONNECTIONS);
  ConnectionRecord* entry = NewRecord();
  entry->socket = socket;
  const char* address = (peerAddress && *peerAddress) ? peerAddress : kUnknownPeerAddress;
  size_t n = strnlen(address, kPeerAddressSize - 1);
  memcpy(entry->peerAddress, address, n);
  entry->peerAddress[n] = '\0';
  entry->tableIndex = GetConnectionCount();
  Table().push_back(entry);
  return entry->tableIndex;
}

int RemoveConnection(int index) {
  if (index < 0 || index >= GetConnectionCount()) return -2;
  ConnectionRecord* removed = Table()[static_cast<size_t>(index)];
  ConnectionRecord* last = Table().back();
  Table().pop_back();
  if (last != removed) {
    Table()[static_cast<size_t>(index)] = last;
    last->tableIndex = index;
  }
  Detach(removed);
  return index - 1;
}

void ResetConnectionTable() {
  for (ConnectionRecord* r : Table()) Detach(r);
  Table().clear();
  FiberLocal(kCurrentLogonLocal) = 0;
}

int GetConnectionIndex(const ConnectionRecord* conn) { return conn != nullptr ? conn->tableIndex : -1; }

void PinConnection(ConnectionRecord* conn) {
  if (conn != nullptr) ++conn->pins;
}

void UnpinConnection(ConnectionRecord* conn) {
  if (conn == nullptr || conn->pins <= 0) return;
  if (--conn->pins == 0 && conn->tableIndex < 0) FreeRecord(conn);
}

// ---- The current logon slot ----------------------------------------------------------------

// Held as a logon UID rather than a slot pointer: a handler may free slots
// (and so move the last slot into a freed place) while the request is served,
// and a logon UID is never issued twice, so the lookup finds the caller's
// slot wherever it has moved, or none once it is gone.
void SetCurrentLogonSlot(uint32_t logonUID) {
  FiberLocal(kCurrentLogonLocal) = FindLUSByLogonUID(logonUID) ? logonUID : 0;
}

LUS* GetCurrentLogonSlot() { return FindLUSByLogonUID(GetCurrentLogonUID()); }

uint32_t GetCurrentLogonUID() { return static_cast<uint32_t>(FiberLocal(kCurrentLogonLocal)); }
