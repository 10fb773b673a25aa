// The node registry: registered records by UID, sorted ascending (unsigned)
// and searched by bisection, with a bulk path for start-up loads.
// Foundation layer: calls the log and GetNewUID.
#include "foundation/uid/node_registry.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <cstdint>
#include <unordered_set>

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/uid_alloc.h"

namespace {

// The appended entries of a bulk registration by UID: an open-addressing
// table (linear probing) of entry indices plus one, 0 marking a free slot,
// at most half full. Four bytes a slot and no allocation per entry: the
// index of a load's 100,000 users takes 1 MB.
struct TailIndex {
  std::vector<uint32_t> slots;  // a power of two of them, or none
  unsigned shift = 64;          // 64 - log2(slots.size())
  size_t used = 0;
};

// entries.size() is the capacity; [0, count) are in use and the rest are
// zero-filled. Outside a bulk registration all of [0, count) is sorted.
// During one, [0, sortedCount) is sorted and [sortedCount, count) holds the
// appended entries in arrival order, indexed by tailIndex.
struct Registry {
  std::vector<NodeQAEntry> entries;
  size_t count = 0;
  bool bulk = false;
  size_t sortedCount = 0;
  TailIndex tailIndex;
  std::vector<UID> refused;
  bool failGrowth = false;  // test seam
};

Registry g_reg;

bool LessByUID(const NodeQAEntry& a, const NodeQAEntry& b) { return CompareUID(a.uid, b.uid) < 0; }

size_t SortedCount() { return g_reg.bulk ? g_reg.sortedCount : g_reg.count; }

size_t TailSlotOf(UID uid) {
  return static_cast<size_t>((static_cast<uint64_t>(uid) * 0x9E3779B97F4A7C15ull) >> g_reg.tailIndex.shift);
}

void ClearTailIndex() { g_reg.tailIndex = TailIndex{}; }

// The index of the appended entry of `uid`, or npos.
size_t FindInTail(UID uid) {
  const TailIndex& t = g_reg.tailIndex;
  if (t.used == 0) return static_cast<size_t>(-1);
  const size_t mask = t.slots.size() - 1;
  for (size_t i = TailSlotOf(uid);; i = (i + 1) & mask) {
    const uint32_t slot = t.slots[i];
    if (slot == 0) return static_cast<size_t>(-1);
    if (g_reg.entries[slot - 1].uid == uid) return slot - 1;
  }
}

void PlaceInTail(size_t index) {
  TailIndex& t = g_reg.tailIndex;
  const size_t mask = t.slots.size() - 1;
  size_t i = TailSlotOf(g_reg.entries[index].uid);
  while (t.slots[i] != 0) i = (i + 1) & mask;
  t.slots[i] = static_cast<uint32_t>(index + 1);
}

// Indexes the appended entry at `index` (its UID already in place); the
// table doubles, rebuilt from the entries, before it would be more than
// half full. Throws bad_alloc, the registry unchanged.
void AddToTail(size_t index) {
  TailIndex& t = g_reg.tailIndex;
  if (index >= UINT32_MAX) throw std::bad_alloc();
  if ((t.used + 1) * 2 > t.slots.size()) {
    const size_t size = std::max<size_t>(t.slots.size() * 2, 1024);
    std::vector<uint32_t> slots(size, 0);
    unsigned shift = 64;
    for (size_t n = size; n > 1; n >>= 1) --shift;
    std::vector<uint32_t> old;
    old.swap(t.slots);
    t.slots.swap(slots);
    t.shift = shift;
    for (const uint32_t slot : old)
      if (slot != 0) PlaceInTail(slot - 1);
  }
  PlaceInTail(index);
  ++t.used;
}

// Bisection over the sorted part: the index of `uid`, or npos.
size_t BisectSorted(UID uid) {
  size_t lo = 0;
  size_t hi = SortedCount();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = CompareUID(g_reg.entries[mid].uid, uid);
    if (c == 0) return mid;
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return static_cast<size_t>(-1);
}

// Sorts the appended entries into the sorted part (the bulk registration, if
// any, goes on with an empty tail). Duplicates cannot be among them: every
// add checked the whole registry.
void MergeTail() {
  if (!g_reg.bulk || g_reg.sortedCount == g_reg.count) return;
  auto first = g_reg.entries.begin();
  auto mid = first + static_cast<std::ptrdiff_t>(g_reg.sortedCount);
  auto last = first + static_cast<std::ptrdiff_t>(g_reg.count);
  std::sort(mid, last, LessByUID);
  std::inplace_merge(first, mid, last, LessByUID);
  g_reg.sortedCount = g_reg.count;
  ClearTailIndex();
}

}  // namespace

int CompareUID(UID a, UID b) {
  if (a < b) return -1;
  if (a > b) return 1;
  return 0;
}

int GrowNodeQAArray() {
  if (g_reg.count < g_reg.entries.size()) return 0;
  const size_t oldCap = g_reg.entries.size();
  const size_t newCap = oldCap + kNodeQAGrowStep;
  const int bytes = static_cast<int>(newCap * sizeof(NodeQAEntry));
  bool ok = !g_reg.failGrowth;
  if (ok) {
    try {
      g_reg.entries.resize(newCap);  // value-initialised: zero-filled entries
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  if (!ok) {
    errno = ENOMEM;
    if (oldCap == 0) {
      WriteLog(1, "Unable to allocate %d bytes for node qa array", bytes);
    } else {
      WriteLog(1, "Unable to resize node qa array to %d bytes", bytes);
    }
    return -1;
  }
  return 0;
}

void ReserveNodeQAArray(size_t more) {
  try {
    g_reg.entries.reserve(g_reg.count + more);
  } catch (const std::exception&) {  // bad_alloc, or length_error past max_size
  }
}

void OpenNodeQAGap(size_t index) {
  MergeTail();  // the gap is opened in the sorted order
  if (index > g_reg.count) index = g_reg.count;
  auto first = g_reg.entries.begin();
  std::move_backward(first + static_cast<std::ptrdiff_t>(index), first + static_cast<std::ptrdiff_t>(g_reg.count),
                     first + static_cast<std::ptrdiff_t>(g_reg.count + 1));
  g_reg.entries[index] = NodeQAEntry{};
  ++g_reg.count;
  if (g_reg.bulk) g_reg.sortedCount = g_reg.count;
}

NodeQAEntry* FindNodeQAEntry(UID uid) {
  if (uid == 0 || g_reg.count == 0) return nullptr;
  size_t i = BisectSorted(uid);
  if (i != static_cast<size_t>(-1)) return &g_reg.entries[i];
  if (g_reg.bulk) {
    i = FindInTail(uid);
    if (i != static_cast<size_t>(-1)) return &g_reg.entries[i];
  }
  return nullptr;
}

UID AddNodeToQAArray(NodeHeader* record) {
  if (record == nullptr) return 0;
  if (record->uid == 0) {
    UID fresh = GetNewUID();
    if (fresh == 0) return 0;
    record->uid = fresh;
  }
  const UID uid = record->uid;
  if (FindNodeQAEntry(uid) != nullptr) {
    if (g_reg.bulk) {
      try {
        g_reg.refused.push_back(uid);
      } catch (const std::bad_alloc&) {
        // The refusal itself is reported by the 0 result.
      }
    }
    return 0;
  }
  if (GrowNodeQAArray() != 0) return 0;

  if (g_reg.bulk) {
    // Still in order: extend the sorted part. Otherwise append to the tail.
    if (g_reg.sortedCount == g_reg.count &&
        (g_reg.count == 0 || CompareUID(g_reg.entries[g_reg.count - 1].uid, uid) < 0)) {
      g_reg.entries[g_reg.count++] = NodeQAEntry{uid, record};
      g_reg.sortedCount = g_reg.count;
      return uid;
    }
    g_reg.entries[g_reg.count] = NodeQAEntry{uid, record};
    try {
      AddToTail(g_reg.count);
    } catch (const std::bad_alloc&) {
      g_reg.entries[g_reg.count] = NodeQAEntry{};  // zero-filled beyond the count
      errno = ENOMEM;
      WriteLog(1, "Unable to allocate %d bytes for node qa array", static_cast<int>(sizeof(NodeQAEntry)));
      return 0;
    }
    ++g_reg.count;
    return uid;
  }

  // From the end towards the start: the common case of increasing UIDs costs
  // one comparison and no shifting.
  size_t i = g_reg.count;
  while (i > 0 && CompareUID(g_reg.entries[i - 1].uid, uid) > 0) --i;
  OpenNodeQAGap(i);
  g_reg.entries[i] = NodeQAEntry{uid, record};
  return uid;
}

NodeHeader* GetNodeByUID(UID uid) {
  NodeQAEntry* e = FindNodeQAEntry(uid);
  return e != nullptr ? e->node : nullptr;
}

int IsUIDInNodeQA(UID uid) { return FindNodeQAEntry(uid) != nullptr ? 1 : 0; }

int UpdateNodeQAPointer(NodeHeader* record) {
  if (record == nullptr || record->uid == 0) return -1;
  NodeQAEntry* e = FindNodeQAEntry(record->uid);
  if (e == nullptr) return -1;
  e->node = record;
  return 0;
}

int RemoveNodeFromQAArray(UID uid) {
  if (FindNodeQAEntry(uid) == nullptr) return -1;
  MergeTail();  // indices of the tail would shift: put everything in order first
  size_t i = BisectSorted(uid);
  auto first = g_reg.entries.begin();
  std::move(first + static_cast<std::ptrdiff_t>(i + 1), first + static_cast<std::ptrdiff_t>(g_reg.count),
            first + static_cast<std::ptrdiff_t>(i));
  --g_reg.count;
  g_reg.entries[g_reg.count] = NodeQAEntry{};  // zero-filled beyond the count
  if (g_reg.bulk) g_reg.sortedCount = g_reg.count;
  return 0;
}

size_t RemoveNodesFromQAArray(const std::vector<const NodeHeader*>& records) {
  if (records.empty() || g_reg.count == 0) return 0;
  // The records themselves, not their UIDs: an entry goes when it points at
  // one of them, whatever else in the list carries the same UID.
  std::unordered_set<const NodeHeader*> doomed;
  try {
    doomed.reserve(records.size());
    for (const NodeHeader* r : records)
      if (r != nullptr && r->uid != 0) doomed.insert(r);
  } catch (const std::bad_alloc&) {
    // No room for the index: one removal at a time still works.
    size_t n = 0;
    for (const NodeHeader* r : records)
      if (r != nullptr && r->uid != 0 && GetNodeByUID(r->uid) == r && RemoveNodeFromQAArray(r->uid) == 0) ++n;
    return n;
  }
  MergeTail();
  size_t kept = 0;
  for (size_t i = 0; i < g_reg.count; ++i) {
    const NodeQAEntry& e = g_reg.entries[i];
    if (doomed.count(e.node) != 0) continue;
    g_reg.entries[kept++] = e;
  }
  size_t removed = g_reg.count - kept;
  for (size_t i = kept; i < g_reg.count; ++i) g_reg.entries[i] = NodeQAEntry{};  // zero-filled beyond the count
  g_reg.count = kept;
  if (g_reg.bulk) g_reg.sortedCount = g_reg.count;
  return removed;
}

UID EnsureNodeInQAArray(NodeHeader* record) {
  if (record == nullptr) return 0;
  if (record->uid != 0 && IsUIDInNodeQA(record->uid)) return record->uid;
  return AddNodeToQAArray(record);
}

int GetNodeOfKind(UID uid, uint32_t kind, NodeHeader** out) {
  if (out != nullptr) *out = nullptr;
  NodeHeader* h = GetNodeByUID(uid);
  if (h == nullptr) return FR_NO_SUCH_NODE;
  if (h->kind != kind) return FR_WRONG_NODE_KIND;
  if (out != nullptr) *out = h;
  return FR_OK;
}

void BeginBulkRegistration() {
  if (g_reg.bulk) return;
  g_reg.bulk = true;
  g_reg.sortedCount = g_reg.count;
  ClearTailIndex();
  g_reg.refused.clear();
}

size_t EndBulkRegistration(std::vector<UID>* refusedUIDs) {
  if (!g_reg.bulk) {
    if (refusedUIDs != nullptr) refusedUIDs->clear();
    return 0;
  }
  MergeTail();
  g_reg.bulk = false;
  ClearTailIndex();
  size_t n = g_reg.refused.size();
  if (refusedUIDs != nullptr) {
    *refusedUIDs = std::move(g_reg.refused);
  }
  g_reg.refused = {};
  return n;
}

bool InBulkRegistration() { return g_reg.bulk; }

size_t GetNodeQACount() { return g_reg.count; }

size_t GetNodeQACapacity() { return g_reg.entries.size(); }

const NodeQAEntry* GetNodeQAEntryAt(size_t i) {
  MergeTail();
  return i < g_reg.count ? &g_reg.entries[i] : nullptr;
}

UID GetHighestOrdinaryRegisteredUID() {
  UID best = 0;
  for (size_t i = 0; i < g_reg.count; ++i) {
    UID u = g_reg.entries[i].uid;
    if (u < kFirstReservedUID && u > best) best = u;
  }
  return best;
}

void SetNodeQAGrowthFailure(bool fail) { g_reg.failGrowth = fail; }

void ResetNodeRegistry() { g_reg = Registry{}; }
