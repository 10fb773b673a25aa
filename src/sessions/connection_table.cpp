// The connection table and the current logon slot.
// Sessions layer: calls the slot lookups, the fiber locals and the clock only.
#include "sessions/connection_table.h"

#include <cstring>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/fiber_tasks.h"
#include "sessions/logon_slots.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

// A record given back is poisoned until it is handed out again, so that a
// read through a pointer kept past its connection's end is reported. All but
// its reply buffer: the record keeps that buffer's room for its next use, and
// the leak checker, which does not read poisoned memory, must still find the
// buffer held.
void PoisonSpareRecord([[maybe_unused]] ConnectionRecord* r) {
#if defined(__SANITIZE_ADDRESS__)
  char* from = reinterpret_cast<char*>(r);
  char* kept = reinterpret_cast<char*>(&r->outputCarry);
  char* after = kept + sizeof r->outputCarry;
  ASAN_POISON_MEMORY_REGION(from, static_cast<size_t>(kept - from));
  ASAN_POISON_MEMORY_REGION(after, static_cast<size_t>(from + sizeof *r - after));
#endif
}

void UnpoisonSpareRecord([[maybe_unused]] ConnectionRecord* r) {
#if defined(__SANITIZE_ADDRESS__)
  ASAN_UNPOISON_MEMORY_REGION(r, sizeof *r);
#endif
}

// Entries in table order; each record is a heap object of its own, so that
// a move in the table never moves a record. (Records still in the table at
// the process's end stay reachable from it to the last.)
ConnectionRecord* g_table[MAX_CONNECTIONS] = {};
int32_t g_count = 0;
// Records kept for reuse: a connection's record is 4 KiB and more.
ConnectionRecord* g_spare[64] = {};
size_t g_spareCount = 0;

// The current logon slot's logon UID, per request.
const int kCurrentLogonLocal = RegisterFiberLocal(nullptr);

ConnectionRecord* NewRecord() {
  if (g_spareCount == 0) return new ConnectionRecord;
  ConnectionRecord* r = g_spare[--g_spareCount];
  UnpoisonSpareRecord(r);
  // A new connection's record is all zero; the room of its reply buffer is
  // kept from the record's last use.
  std::vector<unsigned char> room = std::move(r->outputCarry.bytes);
  room.clear();
  *r = ConnectionRecord{};
  r->outputCarry.bytes = std::move(room);
  return r;
}

void FreeRecord(ConnectionRecord* r) {
  if (g_spareCount < sizeof g_spare / sizeof g_spare[0]) {
    g_spare[g_spareCount++] = r;
    PoisonSpareRecord(r);
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

int32_t GetConnectionCount() { return g_count; }

ConnectionRecord* GetConnectionByIndex(int index) {
  if (index < 0 || index >= g_count) return nullptr;
  return g_table[index];
}

int FindConnectionIndexBySocket(int socket) {
  for (int i = 0; i < g_count; ++i) {
    if (g_table[i]->socket == socket) return i;
  }
  return -1;
}

ConnectionRecord* FindConnectionBySocket(int socket) {
  int index = FindConnectionIndexBySocket(socket);
  return index < 0 ? nullptr : g_table[index];
}

int AppendConnection(int socket, const char* peerAddress) {
  if (g_count >= MAX_CONNECTIONS) return -1;
  ConnectionRecord* entry = NewRecord();
  entry->socket = socket;
  entry->lastUsed = NowTime32();
  const char* address = (peerAddress && *peerAddress) ? peerAddress : kUnknownPeerAddress;
  size_t n = strnlen(address, kPeerAddressSize - 1);
  memcpy(entry->peerAddress, address, n);
  entry->peerAddress[n] = '\0';
  entry->tableIndex = g_count;
  g_table[g_count++] = entry;
  return entry->tableIndex;
}

int RemoveConnection(int index) {
  if (index < 0 || index >= g_count) return -2;
  ConnectionRecord* removed = g_table[index];
  ConnectionRecord* last = g_table[--g_count];
  g_table[g_count] = nullptr;
  if (last != removed) {
    g_table[index] = last;
    last->tableIndex = index;
  }
  Detach(removed);
  return index - 1;
}

void RemoveConnectionRecord(ConnectionRecord* conn) {
  const int index = GetConnectionIndex(conn);
  if (index >= 0) RemoveConnection(index);
}

void ResetConnectionTable() {
  for (int i = 0; i < g_count; ++i) {
    Detach(g_table[i]);
    g_table[i] = nullptr;
  }
  g_count = 0;
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
