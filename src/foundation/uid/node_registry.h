// The node registry ("node QA array"): every registered user, permission and
// parameter-tree node by UID, sorted ascending (unsigned), searched by
// bisection, each UID at most once, never UID 0. An entry holds the address
// of the record's NodeHeader inside its store's array.
// Foundation layer: calls the log and UID allocation (uid_alloc.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "foundation/uid/node_header.h"

// ---- Entries -----------------------------------------------------------------

struct NodeQAEntry {
  UID uid = 0;
  NodeHeader* node = nullptr;  // the record's current address (its header)
};

// The registry grows in steps of this many zero-filled entries; never shrinks.
constexpr size_t kNodeQAGrowStep = 500;

// ============================================================================
// THE RULE FOR STORES (read before holding records in a std::vector)
//
// The registry stores &record.header. Every operation that moves records in
// an array (push_back/emplace_back/insert that may reallocate, insert or
// erase in the middle, sort, swap, compaction) leaves those addresses stale.
// After any such change, before the next registry lookup:
//   - a record removed from the array: RemoveNodeFromQAArray(its uid) FIRST
//     (while the UID is still known), then erase it;
//   - then RepointRegistry(array) for the whole array.
// The helpers InsertRegisteredRecord, AppendRegisteredRecord and
// EraseRegisteredRecord below do all of this in one call; prefer them.
// Never keep a NodeHeader* or an index across a change of the array.
// Call RepointRegistry only for the array that owns the records, never for
// copies (a copy with the same UID would capture the registry entry).
// ============================================================================

// ---- Registry operations -------------------------------------------------------

// Registers the record. A record whose UID word is 0 first gets a new UID
// (GetNewUID) written into its UID word. The record's UID, or 0 when the
// record is null, no UID could be issued, the UID is already registered (the
// registry and the record are then unchanged) or the array could not grow.
// During a bulk registration the entry is appended and sorted in at
// EndBulkRegistration; the results are the same (a duplicate still gives 0 at
// once).
UID AddNodeToQAArray(NodeHeader* record);

// The registered record's header, or null (also for UID 0).
NodeHeader* GetNodeByUID(UID uid);

// The registry entry, or null for UID 0, an empty registry or an absent UID.
// Valid only until the registry next changes.
NodeQAEntry* FindNodeQAEntry(UID uid);

// 1 when the UID is registered, else 0.
int IsUIDInNodeQA(UID uid);

// Points the entry of the record's UID at the record. 0, or -1 when the
// record is null, its UID is 0 or it is not registered.
int UpdateNodeQAPointer(NodeHeader* record);

// Removes the entry. 0, or -1 when it is absent.
int RemoveNodeFromQAArray(UID uid);

// Removes the entries of many records in one pass over the registry: each
// record's entry goes when it points at that very record (a copy carrying the
// same UID leaves the stored record's entry alone). Gives the number removed.
size_t RemoveNodesFromQAArray(const std::vector<const NodeHeader*>& records);

// The record's UID when it is registered, otherwise AddNodeToQAArray of it;
// 0 for a null record.
UID EnsureNodeInQAArray(NodeHeader* record);

// Room for `more` entries beyond the registered ones, taken at once, for a
// load that knows how many records it brings: the registry then does not
// move (old and new array at once) while they come. Capacity and the grow
// steps seen through GetNodeQACapacity are unchanged; without memory for
// the room it grows as it would.
void ReserveNodeQAArray(size_t more);

// ---- Lookup with a kind check ---------------------------------------------------

// Finds the registered record of `uid` and checks its kind word.
// 0 with *out set; FR_NO_SUCH_NODE (24) when the UID is 0 or not registered;
// FR_WRONG_NODE_KIND (23) when the record's kind differs. *out is null on
// failure. (A permission caller reports 25 for 23 itself.)
int GetNodeOfKind(UID uid, uint32_t kind, NodeHeader** out);

// The registered record of `uid` as T (first member `NodeHeader header`), or
// null when it is absent or its kind word is not `kind`.
template <class T>
T* GetRecordByUID(UID uid, uint32_t kind) {
  NodeHeader* h = nullptr;
  if (GetNodeOfKind(uid, kind, &h) != 0) return nullptr;
  return RecordFromHeader<T>(h);
}

// ---- Re-pointing after an array changed ----------------------------------------

// Re-points the entry of every record of the array that has a non-zero UID
// and is registered (records that are not registered, such as groups, are
// passed over). Gives the number of entries re-pointed.
template <class T>
size_t RepointRegistry(std::vector<T>& records) {
  size_t n = 0;
  for (T& r : records) {
    if (r.header.uid != 0 && UpdateNodeQAPointer(&r.header) == 0) ++n;
  }
  return n;
}

// Test aid: the number of records of the array whose UID is registered but
// whose entry points elsewhere (0 when the registry is in step with it).
template <class T>
size_t CountStaleRegistryEntries(const std::vector<T>& records) {
  size_t n = 0;
  for (const T& r : records) {
    if (r.header.uid == 0) continue;
    NodeHeader* h = GetNodeByUID(r.header.uid);
    if (h != nullptr && h != &r.header) ++n;
  }
  return n;
}

// Inserts the record at `index` (clamped to the size) and registers it
// (issuing a UID when its UID word is 0), then re-points the array. The UID,
// or 0 when registration failed: the record is then taken out again and the
// array is as before.
template <class T>
UID InsertRegisteredRecord(std::vector<T>& records, size_t index, T record) {
  if (index > records.size()) index = records.size();
  records.insert(records.begin() + static_cast<std::ptrdiff_t>(index), std::move(record));
  UID uid = AddNodeToQAArray(&records[index].header);
  if (uid == 0) records.erase(records.begin() + static_cast<std::ptrdiff_t>(index));
  RepointRegistry(records);
  return uid;
}

// InsertRegisteredRecord at the end.
template <class T>
UID AppendRegisteredRecord(std::vector<T>& records, T record) {
  return InsertRegisteredRecord(records, records.size(), std::move(record));
}

// Unregisters the record at `index` (when its UID is registered), erases it
// and re-points the array. 0, or -1 for an index out of range.
template <class T>
int EraseRegisteredRecord(std::vector<T>& records, size_t index) {
  if (index >= records.size()) return -1;
  if (records[index].header.uid != 0) RemoveNodeFromQAArray(records[index].header.uid);
  records.erase(records.begin() + static_cast<std::ptrdiff_t>(index));
  RepointRegistry(records);
  return 0;
}

// Re-points the array when the scope ends, whichever way it is left: for a
// block that changes an array in several steps (sort, compaction).
//     { ScopedRepoint<UserStruct> rp(users); std::sort(...); }
template <class T>
struct ScopedRepoint {
  std::vector<T>& records;
  explicit ScopedRepoint(std::vector<T>& r) : records(r) {}
  ~ScopedRepoint() { RepointRegistry(records); }
  ScopedRepoint(const ScopedRepoint&) = delete;
  ScopedRepoint& operator=(const ScopedRepoint&) = delete;
};

// ---- Bulk registration (start-up loads) ------------------------------------------

// For loads of many records that do not arrive in UID order (users arrive in
// name order). Between Begin and End, AddNodeToQAArray appends without
// shifting and checks duplicates through a hash index, so it gives exactly
// the results of one-by-one adds; lookups, re-pointing and removals keep
// working. End sorts once.
//
//   idle --BeginBulkRegistration--> bulk --EndBulkRegistration--> idle
//   (Begin while bulk: nothing; End while idle: nothing, gives 0)
//
// A loader typically: reserve the array, Begin, push each record and
// AddNodeToQAArray it (dropping the record at once when that gives 0 for a
// duplicate), End, then RepointRegistry(array) if the array moved.
void BeginBulkRegistration();

// Sorts the appended entries into the registry. Gives the number of records
// refused as duplicates since Begin; their UIDs (in the order refused) go to
// *refusedUIDs when it is not null.
size_t EndBulkRegistration(std::vector<UID>* refusedUIDs = nullptr);

// True between BeginBulkRegistration and EndBulkRegistration.
bool InBulkRegistration();

// ---- Internal steps (exposed for tests) -------------------------------------------

// Makes room for one more entry: nothing while count < capacity; otherwise
// allocates 500 entries or enlarges the array by 500 zero-filled ones.
// 0, or -1 (logged) when the memory cannot be had.
int GrowNodeQAArray();

// Shifts the entries from `index` up by one and counts one more (room must
// have been made). The entry at `index` is then free to fill.
void OpenNodeQAGap(size_t index);

// Unsigned three-way comparison: -1, 0 or 1.
int CompareUID(UID a, UID b);

// Test seam: while set, every growth of the array fails as when memory is
// exhausted (logged, AddNodeToQAArray gives 0).
void SetNodeQAGrowthFailure(bool fail);

// ---- Inspection and reset -----------------------------------------------------------

size_t GetNodeQACount();
size_t GetNodeQACapacity();

// The entry at position `i` (0 .. count-1) in UID order, or null. Ends a bulk
// registration first, so that the order is the sorted one.
const NodeQAEntry* GetNodeQAEntryAt(size_t i);

// The largest registered UID below kFirstReservedUID, or 0.
UID GetHighestOrdinaryRegisteredUID();

// Back to the process-start state: empty and unallocated, no bulk
// registration (tests).
void ResetNodeRegistry();
