// The shared lists of the user and group records: one per version, found
// again through a weak reference while any reader holds it, made anew at the
// first reader of a later version. A list is made in one pass on the server
// thread with no wait in it, so no other request changes the records while
// it is made.
// Directory layer: calls the user records, the groups, their block encoders
// and the log.
#include "directory/record_lists.h"

#include <new>

#include "directory/group_blocks.h"
#include "directory/groups.h"
#include "directory/user_blocks.h"
#include "directory/user_records.h"
#include "foundation/log/ring_log.h"
#include "foundation/wire/transport_string.h"

namespace {

// The list last made of each kind: a weak reference, so that the list goes
// with its last reader and a store that nobody reads holds no copy of itself.
std::weak_ptr<const RecordList> g_users;
std::weak_ptr<const RecordList> g_groups;
size_t g_alive = 0;  // lists made and not yet freed, of both kinds

// A new, empty list, counted in g_alive until it is freed.
std::shared_ptr<RecordList> NewCountedList() {
  RecordList* raw = new RecordList;
  ++g_alive;
  // Should the holder itself fail, it frees the list through the deleter.
  return std::shared_ptr<RecordList>(raw, [](RecordList* list) {
    --g_alive;
    delete list;
  });
}

// The list of `version` made of `count` records, record i being `at(i)`:
// `sizeOf` gives the size of a record's block, `append` appends it to a
// buffer. Null when the memory cannot be had or a block cannot be made.
template <typename At, typename SizeOf, typename Append>
SharedRecordList MakeList(uint64_t version, size_t count, At at, SizeOf sizeOf, Append append) {
  try {
    std::shared_ptr<RecordList> list = NewCountedList();
    list->version = version;
    // The bytes of every entry first, so that the list is one block of
    // exactly its size: growing it as it fills would hold up to twice that.
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) total += 4 + sizeOf(*at(i));
    list->entries.reserve(total);
    list->starts.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      const size_t start = list->entries.size();
      list->starts.push_back(start);
      AppendLE32(list->entries, 0);
      if (!append(at(i), list->entries)) return nullptr;
      PutLE32(list->entries.data() + start, static_cast<uint32_t>(list->entries.size() - start - 4));
    }
    return list;
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate the list of %d records", static_cast<int>(count));
    return nullptr;
  }
}

// The list `cache` refers to when it is of `version`, else a new one of
// `count` records (MakeList), which `cache` then refers to.
template <typename At, typename SizeOf, typename Append>
SharedRecordList TakeList(std::weak_ptr<const RecordList>& cache, uint64_t version, size_t count, At at,
                          SizeOf sizeOf, Append append) {
  if (SharedRecordList held = cache.lock(); held && held->version == version) return held;
  SharedRecordList made = MakeList(version, count, at, sizeOf, append);
  if (made) cache = made;
  return made;
}

}  // namespace

SharedRecordList TakeUserList() {
  return TakeList(
      g_users, GetUserRecordsVersion(), static_cast<size_t>(GetUserCount()),
      [](size_t i) { return GetUserByIndex(static_cast<int>(i)); }, UserTransportBlockSize, AppendUserTransportBlock);
}

SharedRecordList TakeGroupList() {
  return TakeList(
      g_groups, GetGroupRecordsVersion(), static_cast<size_t>(GetGroupCount()),
      [](size_t i) { return GetGroupByIndex(static_cast<int32_t>(i)); }, GroupTransportBlockSize,
      AppendGroupTransportBlock);
}

size_t RecordListsAlive() { return g_alive; }
