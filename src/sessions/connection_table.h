// The connection table: one ConnectionRecord per client connection, the rule
// by which entries are appended and removed, and the current logon slot (the
// slot of the connection whose request is being served), held as its logon
// UID and looked up where it is used.
// Sessions layer: calls the slot lookups (logon_slots.h), the fiber locals
// (the current logon slot belongs to the request's task) and the clock.
#pragma once

#include <cstdint>

#include "platform/socket_io.h"

struct FiberTask;
struct LUS;

constexpr int MAX_CONNECTIONS = 500;
constexpr int kPeerAddressSize = 64;  // text and NUL
constexpr const char kUnknownPeerAddress[] = "<<unknown>>";

// One client connection. A new entry is all zero but `socket`, `peerAddress`
// and `lastUsed`.
struct ConnectionRecord {
  int socket = 0;                     // the connected socket
  uint32_t lastUsed = 0;              // when its latest request began to be read; its accept before the first
  uint32_t logonUID = 0;              // logon UID of its own slot; 0: none
  int32_t serverConnection = 0;       // 1: logged on as a server ("#", client ID above 65535)
  int32_t clientID = 0;               // client ID of its latest logon request
  int32_t keepLogon = 0;              // 1: a failed connection keeps its logon
  char peerAddress[kPeerAddressSize] = {};  // numeric peer address, or "<<unknown>>"
  SocketInputCarry inputCarry;        // bytes it sent past its last request, read by its next one
  // Not part of the connection's own state: kept by the table and the loop.
  SocketOutputCarry outputCarry;      // the end of its last reply, not yet sent
  int32_t outputMessageID = 0;        // the request of that reply
  int64_t outputDeadlineMs = -1;      // when its sending must be done (-1: none, or none set yet)
  FiberTask* task = nullptr;          // its request's task while that task is suspended
  int32_t tableIndex = -1;            // where it is in the table; -1 once removed (or never added)
  int32_t pins = 0;                   // holders that outlive a removal (a request in progress)
  uint64_t shareKey = 0;              // the workers' share of its address, once known
  bool shareKeyKnown = false;
};

// ---- The table -----------------------------------------------------------------------
// Entries 0 to GetConnectionCount()-1 are in use. Removing entry i moves the
// last entry into i, so an index is valid only until the next removal. The
// records themselves stay where they are: a record pointer names its
// connection until the connection is removed, and a pinned record (the
// connection of a request in progress, whose task may be suspended) lives
// on after its removal, out of the table, until it is unpinned.

int32_t GetConnectionCount();

// The entry at `index`, or null outside 0 .. count-1.
ConnectionRecord* GetConnectionByIndex(int index);

// The entry of `socket` and its index, or null / -1.
ConnectionRecord* FindConnectionBySocket(int socket);
int FindConnectionIndexBySocket(int socket);

// Appends an all-zero entry with `socket` and `peerAddress` (cut to 63 bytes;
// null or empty: "<<unknown>>"), last used now: a connection's idle time
// counts from its accept until its first request, so that closing the idle
// ones (6679) and making room for a new one take a connection that has just
// come in for one that has been in use all along. The new index, or -1 when
// the table holds MAX_CONNECTIONS entries (nothing changes).
int AppendConnection(int socket, const char* peerAddress);

// Removes entry `index`: the count goes down by one and the last entry is
// copied into `index` (nothing moves when it was the last); the vacated last
// place is cleared. The socket is not closed (that is the remover's). Gives
// index - 1, where the caller's walk goes on, or -2 for an index outside the
// table (nothing changes).
int RemoveConnection(int index);

// Removes the entry of `conn` as RemoveConnection removes its index; nothing
// when it has been removed already. Whoever closes a socket before removing
// its entry removes it this way: a close may wait (it sends what the request
// holds), and others may remove entries meanwhile, which moves the indices.
void RemoveConnectionRecord(ConnectionRecord* conn);

// Empties the table (the listener's start and tests); sockets are not closed.
void ResetConnectionTable();

// The index of `conn` in the table, or -1 when it has been removed.
int GetConnectionIndex(const ConnectionRecord* conn);

// Keeps `conn` alive across its removal until the matching unpin; the last
// unpin of a removed record frees it (the pointer is then gone).
void PinConnection(ConnectionRecord* conn);
void UnpinConnection(ConnectionRecord* conn);

// ---- The current logon slot ----------------------------------------------------------------

// Before every dispatch: the current logon slot becomes the slot that carries
// `logonUID`, or none when it is 0 or no slot carries it. The value belongs
// to the request's task (outside tasks, to the thread) and stays until the
// next call there.
void SetCurrentLogonSlot(uint32_t logonUID);

// The current logon slot, looked up now; null when there is none or it has
// been freed since it was set. Valid until the next removal of a slot.
LUS* GetCurrentLogonSlot();

// The logon UID of the current logon slot as set (0: none).
uint32_t GetCurrentLogonUID();
