// Implementation of the groups and permissions in memory: the sorted group
// array with its member lists, the registered permission array with its READ
// and WRITE lists, and the groups time.
// Directory store; calls the node registry, UID allocation, the user lookups
// (one namespace for users and groups), the utilities and the log.
#include "directory/groups.h"

#include <algorithm>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "directory/user_records.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/util/util.h"

namespace {

std::string_view View(const char* text) { return text ? std::string_view(text) : std::string_view(); }

int32_t FindGroupIndexOf(std::string_view name);
int32_t FindMemberIndex(const GroupStruct* group, std::string_view userName);

// The group array: sorted by name (CompareGroupNames); its capacity is the
// vector's, first kGroupArrayGrowStep records, then grown by its own size.
// Not registered.
std::vector<GroupStruct> g_groups;

// The permission array: in order of addition, every record registered. Any
// change that may move records ends with RepointPermissionArray().
std::vector<PermissionStruct> g_perms;

uint32_t g_groupsTime = 0;
uint64_t g_groupRecordsVersion = 1;  // see GetGroupRecordsVersion

// A load of many groups (BeginGroupsLoad .. EndGroupsLoad) appends groups in
// the order they come and sorts once at its end; while an append has broken
// the name order, names are found through an index of folded names instead
// of bisection. Outside a load both are empty.
bool g_groupsLoading = false;
bool g_groupsLoadUnsorted = false;
std::unordered_map<std::string, size_t> g_groupLoadIndex;  // folded name -> index

// Indexes every group of the array (during an unsorted load, after anything
// other than an append).
void RebuildGroupLoadIndex() {
  g_groupLoadIndex.clear();
  for (size_t i = 0; i < g_groups.size(); ++i) {
    g_groupLoadIndex[FoldNoCase(g_groups[i].name ? std::string_view(*g_groups[i].name) : std::string_view())] = i;
  }
}

// Leaves the unsorted state: the index is dropped (the array is sorted).
void DropGroupLoadIndex() {
  g_groupsLoadUnsorted = false;
  std::unordered_map<std::string, size_t>().swap(g_groupLoadIndex);
}

std::string_view NameOf(const GroupStruct& g) {
  return g.name ? std::string_view(*g.name) : std::string_view();
}

// Keeps the registry in step with the permission array: every permission's
// entry is pointed at the record's current address. The one place that does
// it; called after every change that may move records (growth, removal).
void RepointPermissionArray() { RepointRegistry(g_perms); }

// Makes room for one more permission: when the array is full it grows by
// its own size, never by less than 10 records (the first allocation holds
// 10), and the registry is re-pointed. Each growth moves every record, so
// fixed steps of 10 made a large load quadratic. False (logged) when memory
// fails; the array is then as it was.
bool MakeRoomForPermission() {
  if (g_perms.size() < g_perms.capacity()) return true;
  const size_t step = std::max(g_perms.capacity(), static_cast<size_t>(kPermissionArrayGrowStep));
  size_t want = g_perms.capacity() + step;
  try {
    g_perms.reserve(want);
  } catch (const std::bad_alloc&) {
    WriteLog(1, "AddNewPerm:Unable to allocate %d bytes for new array",
             static_cast<int>(want * sizeof(PermissionStruct)));
    return false;
  }
  RepointPermissionArray();
  return true;
}

// True when the list is ascending (unsigned) without duplicates, the form
// that bisection may search.
bool IsStrictlyAscending(const std::vector<UID>& list) {
  for (size_t i = 1; i < list.size(); ++i) {
    if (list[i - 1] >= list[i]) return false;
  }
  return true;
}

// Adds `member` to a UID list when absent. A sorted, unique list is searched
// by bisection and the member inserted at its place. A list in some other
// order (one read from groups.xml keeps the file's order, duplicates and
// zeros) is searched linearly; adding to it sorts it and drops duplicates, so
// bisection never misses a member that is there. 0, or 1 for no memory (the
// list then unchanged).
int AddUIDToList(std::vector<UID>& list, UID member) {
  try {
    if (IsStrictlyAscending(list)) {
      auto at = std::lower_bound(list.begin(), list.end(), member);
      if (at != list.end() && *at == member) return FR_OK;
      list.insert(at, member);
      return FR_OK;
    }
    if (std::find(list.begin(), list.end(), member) != list.end()) return FR_OK;
    std::vector<UID> merged(list);
    merged.push_back(member);
    std::sort(merged.begin(), merged.end());
    merged.erase(std::unique(merged.begin(), merged.end()), merged.end());
    list.swap(merged);
  } catch (const std::bad_alloc&) {
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

bool ListHas(const std::vector<UID>& list, UID uid) {
  return std::find(list.begin(), list.end(), uid) != list.end();
}

// Looks the permission up for the list operations: 0 with *out set, 2 for a
// zero UID, 24 no node, 25 a node of another kind.
int LookUpPermission(UID permission, UID member, PermissionStruct** out) {
  *out = nullptr;
  if (permission == 0 || member == 0) return FR_INVALID_PARAMETER;
  NodeHeader* h = nullptr;
  int rc = GetNodeOfKind(permission, NODE_KIND_PERMISSION, &h);
  if (rc == FR_NO_SUCH_NODE) return FR_NO_SUCH_NODE;
  if (rc != 0) return FR_NOT_A_PERMISSION;
  *out = RecordFromHeader<PermissionStruct>(h);
  return FR_OK;
}

// The shared body of IsAnyInReadList and IsAnyInWriteList.
int IsAnyInList(UID permission, const UID* uids, int32_t count, bool readList) {
  if (uids == nullptr || count < 1) return 0;
  PermissionStruct* p = FindPermission(permission);
  if (p == nullptr) return 0;
  const std::vector<UID>& list = readList ? p->read : p->write;
  for (int32_t i = 0; i < count; ++i) {
    if (ListHas(list, uids[i])) return 1;
  }
  return 0;
}

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// The place where a name belongs in a sorted member list.
std::vector<std::string>::iterator MemberLowerBound(std::vector<std::string>& members,
                                                    std::string_view name) {
  return std::lower_bound(members.begin(), members.end(), name,
                          [](const std::string& m, std::string_view n) { return CompareNoCase(m, n) < 0; });
}

bool MembersSorted(const std::vector<std::string>& members) {
  for (size_t i = 1; i < members.size(); ++i) {
    if (CompareNoCase(members[i - 1], members[i]) > 0) return false;
  }
  return true;
}

}  // namespace

// ---- Names ----------------------------------------------------------------------

int IsValidGroupName(const char* text) {
  std::string_view name = View(text);
  if (name.empty() || !IsAsciiLetter(name[0])) return 0;
  if (name.size() > kMaxGroupNameLength) return 0;
  for (size_t i = 1; i < name.size(); ++i) {
    char c = name[i];
    if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '.' && c != '-' && c != '_') return 0;
  }
  return 1;
}

int CompareGroupNames(const GroupStruct& a, const GroupStruct& b) {
  if (!a.name || !b.name) return a.name ? 1 : (b.name ? -1 : 0);
  return CompareNoCase(*a.name, *b.name);
}

int CompareMemberNames(const std::string& a, const std::string& b) { return CompareNoCase(a, b); }

int CompareIDs(UID a, UID b) { return a < b ? -1 : (a > b ? 1 : 0); }

// ---- The group array ----------------------------------------------------------------

int32_t GetGroupCount() { return static_cast<int32_t>(g_groups.size()); }

int32_t GetGroupArrayCapacity() { return static_cast<int32_t>(g_groups.capacity()); }

GroupStruct* GetGroupByIndex(int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= g_groups.size()) return nullptr;
  return &g_groups[static_cast<size_t>(index)];
}

int32_t FindGroupIndex(const char* text) { return FindGroupIndexOf(View(text)); }

namespace {
int32_t FindGroupIndexOf(std::string_view name) {
  if (name.empty() || g_groups.empty()) return -1;
  if (g_groupsLoadUnsorted) {
    auto it = g_groupLoadIndex.find(FoldNoCase(name));
    return it != g_groupLoadIndex.end() ? static_cast<int32_t>(it->second) : -1;
  }
  size_t lo = 0, hi = g_groups.size();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = CompareNoCase(NameOf(g_groups[mid]), name);
    if (c == 0) return static_cast<int32_t>(mid);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return -1;
}
}  // namespace

int GroupExists(const char* name) { return FindGroupIndex(name) >= 0 ? 1 : 0; }

GroupStruct* FindGroupByName(const char* name) { return GetGroupByIndex(FindGroupIndex(name)); }

int32_t AddGroup(const char* text) {
  std::string_view name = View(text);
  if (name.empty()) {
    WriteLog(1, "Unable to add group to array as blank or NULL group name passed");
    return -1;
  }
  if (g_groups.size() >= g_groups.capacity()) {
    // Each growth moves every group, so growing by its own size (never less
    // than 10 records) keeps a load of many groups linear; fixed steps of 10
    // made it quadratic. SetGroupArrayCapacity logs the first-allocation or
    // the resize message.
    const size_t step = std::max(g_groups.capacity(), static_cast<size_t>(kGroupArrayGrowStep));
    const size_t want = g_groups.capacity() + step;
    if (want > static_cast<size_t>(INT32_MAX)) return -1;
    if (SetGroupArrayCapacity(static_cast<int32_t>(want)) != FR_OK) return -1;
  }
  const int len = static_cast<int>(name.size());
  if (FindGroupIndexOf(name) >= 0) {
    WriteLog(1, "Unable to add new group >%.*s< as already exists", len, name.data());
    return -1;
  }
  if (UserExists(text)) {
    WriteLog(1, "Unable to add new group >%.*s< as name already used by a user", len, name.data());
    return -1;
  }
  // Inserting at the bisection point keeps the order a full sort would give
  // without re-sorting the array at every add. During a load the group is
  // appended instead (a file in some other order would otherwise move every
  // later group at each add) and the load sorts once at its end.
  auto at = g_groups.end();
  if (!g_groupsLoading) {
    at = std::lower_bound(g_groups.begin(), g_groups.end(), name,
                          [](const GroupStruct& g, std::string_view n) { return CompareNoCase(NameOf(g), n) < 0; });
  }
  try {
    if (g_groupsLoading && !g_groups.empty() && CompareNoCase(NameOf(g_groups.back()), name) > 0) {
      if (!g_groupsLoadUnsorted) RebuildGroupLoadIndex();
      g_groupsLoadUnsorted = true;
    }
    if (g_groupsLoadUnsorted) g_groupLoadIndex[FoldNoCase(name)] = g_groups.size();
    GroupStruct g;
    g.name.emplace(name);
    at = g_groups.insert(at, std::move(g));  // room was made above: no reallocation
    ++g_groupRecordsVersion;
  } catch (const std::bad_alloc&) {
    if (g_groupsLoadUnsorted) g_groupLoadIndex.erase(FoldNoCase(name));
    WriteLog(1, "Unable to add new group >%.*s< as could not allocate space for name", len, name.data());
    return -1;
  }
  return static_cast<int32_t>(at - g_groups.begin());
}

int DeleteGroup(const char* text) {
  std::string_view name = View(text);
  int32_t index = FindGroupIndexOf(name);
  if (index < 0) {
    WriteLog(1, "Unable to find group >%.*s< in order to delete it", static_cast<int>(name.size()), name.data());
    return -1;
  }
  g_groups.erase(g_groups.begin() + index);
  ++g_groupRecordsVersion;
  if (g_groupsLoadUnsorted) RebuildGroupLoadIndex();
  return FR_OK;
}

int CheckGroupMemberList(const std::vector<std::string>& members) {
  if (members.empty()) return FR_OK;
  std::vector<std::string_view> sorted;
  try {
    sorted.reserve(members.size());
  } catch (const std::bad_alloc&) {
    return FR_NO_MEMORY;
  }
  for (const std::string& m : members) {
    if (m.empty() || !IsValidXmlText(m)) return FR_INVALID_PARAMETER;
    for (char c : m) {
      if (static_cast<unsigned char>(c) < 0x20) return FR_INVALID_PARAMETER;
    }
    sorted.push_back(m);
  }
  std::sort(sorted.begin(), sorted.end(),
            [](std::string_view a, std::string_view b) { return CompareNoCase(a, b) < 0; });
  for (size_t i = 1; i < sorted.size(); ++i) {
    if (CompareNoCase(sorted[i - 1], sorted[i]) == 0) return FR_INVALID_PARAMETER;
  }
  return FR_OK;
}

int UpdateGroup(const GroupStruct* group) {
  if (group == nullptr || !group->name || group->name->empty()) return FR_INVALID_PARAMETER;
  int32_t index = FindGroupIndexOf(*group->name);
  if (index < 0) return FR_GROUP_NOT_FOUND;
  GroupStruct& stored = g_groups[static_cast<size_t>(index)];
  if (group->header.uid != 0 && group->header.uid != stored.header.uid) return FR_UID_MISMATCH;
  // A member list that groups.xml could not read back (an absent, empty or
  // repeated name) or a text that is not XML is refused before anything changes.
  int rc = CheckGroupMemberList(group->members);
  if (rc != FR_OK) return rc == FR_NO_MEMORY ? FR_NO_MEMORY : FR_INVALID_PARAMETER;
  if (group->description && !IsValidXmlText(*group->description)) return FR_INVALID_PARAMETER;

  // Copy first, swap in only on success: a failed copy leaves the stored group.
  GroupStruct copy;
  rc = CopyGroupStruct(&copy, group);
  if (rc != FR_OK) return rc;
  // The header is the caller's but for a UID of 0, which keeps the stored
  // one. Groups are not registered, so no lookup by UID depends on its kind.
  if (copy.header.uid == 0) copy.header.uid = stored.header.uid;
  stored = std::move(copy);
  ++g_groupRecordsVersion;
  return FR_OK;
}

int CopyGroupStruct(GroupStruct* dest, const GroupStruct* source) {
  if (dest == nullptr || source == nullptr) return FR_INVALID_PARAMETER;
  if (dest == source) return FR_OK;
  *dest = GroupStruct{};
  try {
    GroupStruct copy;
    copy.header = source->header;
    copy.name = source->name;
    copy.description = source->description;
    copy.members.reserve(source->members.capacity());
    copy.members = source->members;
    *dest = std::move(copy);
  } catch (const std::bad_alloc&) {
    WriteLog(1, "CopyGroupStruct:Error allocating space during copy");
    *dest = GroupStruct{};
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

void FreeGroupStruct(GroupStruct* group) {
  if (group == nullptr) return;
  *group = GroupStruct{};
  ++g_groupRecordsVersion;
}

void SortGroupArray() {
  std::stable_sort(g_groups.begin(), g_groups.end(),
                   [](const GroupStruct& a, const GroupStruct& b) { return CompareGroupNames(a, b) < 0; });
  ++g_groupRecordsVersion;
  DropGroupLoadIndex();
}

void BeginGroupsLoad() {
  g_groupsLoading = true;
  DropGroupLoadIndex();
}

void EndGroupsLoad() {
  if (!g_groupsLoading) return;
  g_groupsLoading = false;
  ++g_groupRecordsVersion;  // the groups of the load, whatever they changed in place
  if (g_groupsLoadUnsorted) SortGroupArray();
}

int SetGroupArrayCapacity(int32_t n) {
  if (n < 0 || static_cast<size_t>(n) < g_groups.capacity()) return FR_INVALID_PARAMETER;
  bool first = g_groups.capacity() == 0;
  try {
    g_groups.reserve(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    int bytes = static_cast<int>(static_cast<size_t>(n) * sizeof(GroupStruct));
    if (first) {
      WriteLog(1, "Unable to allocate %d bytes for group array", bytes);
    } else {
      WriteLog(1, "Unable to resize group array to %d bytes", bytes);
    }
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

void FreeGroupArray() {
  std::vector<GroupStruct>().swap(g_groups);
  ++g_groupRecordsVersion;
  DropGroupLoadIndex();
}

// ---- Members ---------------------------------------------------------------------

int AddUserToGroup(GroupStruct* group, const char* text) {
  std::string_view userName = View(text);
  if (group == nullptr || userName.empty()) return -1;
  std::vector<std::string>& members = group->members;
  if (members.size() >= members.capacity()) {
    size_t want = members.capacity() + kGroupMemberGrowStep;
    try {
      members.reserve(want);
    } catch (const std::bad_alloc&) {
      WriteLog(1, "Unable to allocate %d bytes for user array", static_cast<int>(want * sizeof(std::string)));
      return -1;
    }
  }
  if (FindMemberIndex(group, userName) >= 0) {
    WriteLog(0, "Cannot add user >%.*s< as already exists", static_cast<int>(userName.size()), userName.data());
    return -1;
  }
  try {
    if (MembersSorted(members)) {
      members.insert(MemberLowerBound(members, userName), std::string(userName));
    } else {
      // A list kept in a client's order is sorted when it next grows here.
      members.emplace_back(userName);
      std::stable_sort(members.begin(), members.end(),
                       [](const std::string& a, const std::string& b) { return CompareNoCase(a, b) < 0; });
    }
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate %d bytes for user array",
             static_cast<int>((members.size() + 1) * sizeof(std::string)));
    return -1;
  }
  ++g_groupRecordsVersion;
  return 0;
}

int SetGroupMemberList(GroupStruct* group, std::vector<std::string> names) {
  if (group == nullptr) return -1;
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return n.empty(); }),
              names.end());
  // Stable, so that of names equal without regard to case the first stays.
  std::stable_sort(names.begin(), names.end(),
                   [](const std::string& a, const std::string& b) { return CompareNoCase(a, b) < 0; });
  size_t kept = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (kept > 0 && EqualsNoCase(names[kept - 1], names[i])) {
      WriteLog(0, "Cannot add user >%s< as already exists", names[i].c_str());
      continue;
    }
    if (kept != i) names[kept] = std::move(names[i]);
    ++kept;
  }
  names.resize(kept);
  group->members = std::move(names);
  ++g_groupRecordsVersion;
  return 0;
}

int32_t FindUserInGroup(const GroupStruct* group, const char* userName) {
  return FindMemberIndex(group, View(userName));
}

namespace {
int32_t FindMemberIndex(const GroupStruct* group, std::string_view userName) {
  if (group == nullptr || userName.empty()) return -1;
  // A linear search: a list stored by UpdateGroup keeps the client's order,
  // where a bisection could miss a name, and adding costs linear time anyway.
  const std::vector<std::string>& members = group->members;
  for (size_t i = 0; i < members.size(); ++i) {
    if (EqualsNoCase(members[i], userName)) return static_cast<int32_t>(i);
  }
  return -1;
}
}  // namespace

int RemoveUserFromGroup(GroupStruct* group, const char* text) {
  std::string_view userName = View(text);
  if (group == nullptr || userName.empty()) return FR_INVALID_PARAMETER;
  int32_t index = FindMemberIndex(group, userName);
  if (index < 0) return FR_USER_NOT_FOUND;
  group->members.erase(group->members.begin() + index);
  ++g_groupRecordsVersion;
  return FR_OK;
}

// ---- The groups time ---------------------------------------------------------------

uint32_t GetGroupsTime() { return g_groupsTime; }

void SetGroupsTime(uint32_t seconds) { g_groupsTime = seconds; }

bool HaveGroupsChangedSince(int32_t t) { return t < static_cast<int32_t>(g_groupsTime); }

uint64_t GetGroupRecordsVersion() { return g_groupRecordsVersion; }

void NoteGroupRecordChanged() { ++g_groupRecordsVersion; }

// ---- The permission array ---------------------------------------------------------------

int32_t GetPermissionCount() { return static_cast<int32_t>(g_perms.size()); }

int32_t GetPermissionArrayCapacity() { return static_cast<int32_t>(g_perms.capacity()); }

PermissionStruct* GetPermissionByIndex(int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= g_perms.size()) return nullptr;
  return &g_perms[static_cast<size_t>(index)];
}

PermissionStruct* FindPermission(UID uid) {
  return GetRecordByUID<PermissionStruct>(uid, NODE_KIND_PERMISSION);
}

PermissionStruct* AddNewPerm(UID uid) {
  if (!MakeRoomForPermission()) return nullptr;
  if (uid == 0) {
    uid = GetNewUID();
    if (uid == 0) {
      WriteLog(1, "AddNewPerm:Unable to get new UID for permission");
      return nullptr;
    }
  }
  PermissionStruct perm;
  perm.header.uid = uid;
  perm.header.kind = NODE_KIND_PERMISSION;
  // Room was made (and the array re-pointed if it moved): appending and
  // dropping the last record move nothing, so no entry needs re-pointing;
  // re-pointing every permission at every add made a large load quadratic.
  g_perms.push_back(std::move(perm));
  if (AddNodeToQAArray(&g_perms.back().header) == 0) {
    // The UID is already registered (another permission, a user or a node):
    // a second record under it would never be found, so it is not kept.
    WriteLog(0, "AddNewPerm:Unable to register permission %08X", uid);
    g_perms.pop_back();
    return nullptr;
  }
  return &g_perms.back();
}

void FreePermissionArray() {
  for (PermissionStruct& p : g_perms) {
    if (p.header.uid != 0 && GetNodeByUID(p.header.uid) == &p.header) RemoveNodeFromQAArray(p.header.uid);
  }
  std::vector<PermissionStruct>().swap(g_perms);
}

int AddToPermission(UID permission, UID member, bool read, bool write) {
  PermissionStruct* p = nullptr;
  int rc = LookUpPermission(permission, member, &p);
  if (rc != FR_OK) return rc;
  if (read && AddUIDToList(p->read, member) != FR_OK) return FR_NO_MEMORY;
  if (write && AddUIDToList(p->write, member) != FR_OK) return FR_NO_MEMORY;
  return FR_OK;
}

int RemoveFromPermission(UID permission, UID member, bool read, bool write) {
  PermissionStruct* p = nullptr;
  int rc = LookUpPermission(permission, member, &p);
  if (rc != FR_OK) return rc;
  // Every occurrence goes: a list read from a file may hold one twice.
  if (read) p->read.erase(std::remove(p->read.begin(), p->read.end(), member), p->read.end());
  if (write) p->write.erase(std::remove(p->write.begin(), p->write.end(), member), p->write.end());
  return FR_OK;
}

int IsAnyInReadList(UID permission, const UID* uids, int32_t count) {
  return IsAnyInList(permission, uids, count, true);
}

int IsAnyInWriteList(UID permission, const UID* uids, int32_t count) {
  return IsAnyInList(permission, uids, count, false);
}

// ---- Single permission records -------------------------------------------------------

void PermissionRecordDeleter::operator()(PermissionStruct* perm) const {
  FreePermissionStruct(perm);
  delete perm;
}

PermissionRecordPtr CreatePermissionStruct(UID uid) {
  PermissionRecordPtr perm(new (std::nothrow) PermissionStruct);
  if (!perm) {
    WriteLog(1, "CreatePermissionStruct:Unable to allocate %d bytes for permission struct",
             static_cast<int>(sizeof(PermissionStruct)));
    return nullptr;
  }
  perm->header.kind = NODE_KIND_PERMISSION;
  perm->header.uid = uid != 0 ? uid : GetNewUID();
  if (perm->header.uid == 0) {
    WriteLog(0, "CreatePermissionStruct:Unable to get node UID");
    return nullptr;
  }
  if (AddNodeToQAArray(&perm->header) == 0) {
    WriteLog(0, "CreatePermissionStruct:Unable to register permission %08X", perm->header.uid);
    perm->header.uid = 0;  // not registered: the deleter must not unregister anything
    return nullptr;
  }
  return perm;
}

void FreePermissionStruct(PermissionStruct* perm) {
  if (perm == nullptr) return;
  if (perm->header.uid != 0 && GetNodeByUID(perm->header.uid) == &perm->header) {
    RemoveNodeFromQAArray(perm->header.uid);
  }
  *perm = PermissionStruct{};
  perm->header.kind = NODE_KIND_PERMISSION;
}

// ---- Users and groups ----------------------------------------------------------------

int BuildGroupArrayForUser(UserStruct* user) {
  if (user == nullptr) return FR_INVALID_PARAMETER;
  if (!user->GROUPLIST || user->GROUPLIST->empty()) {
    std::vector<UID>().swap(user->groupUIDs);
    return FR_OK;
  }
  int rc = FR_OK;
  std::string_view list(*user->GROUPLIST);
  while (!list.empty()) {
    size_t cut = list.find(';');
    std::string_view name = list.substr(0, cut);
    list = cut == std::string_view::npos ? std::string_view() : list.substr(cut + 1);
    if (name.empty()) continue;
    const GroupStruct* g = GetGroupByIndex(FindGroupIndexOf(name));
    if (g == nullptr) {
      WriteLog(0, "BuildGroupArrayForUser:Unable to find group >%.*s<", static_cast<int>(name.size()), name.data());
      rc = FR_GROUP_NOT_FOUND;
      continue;
    }
    if (g->header.uid == 0 || ListHas(user->groupUIDs, g->header.uid)) continue;
    try {
      user->groupUIDs.push_back(g->header.uid);
    } catch (const std::bad_alloc&) {
      return FR_NO_MEMORY;
    }
  }
  return rc;
}

// ---- Reset -------------------------------------------------------------------------

void ResetGroupsAndPermissions() {
  g_groupsLoading = false;
  FreePermissionArray();
  FreeGroupArray();
  g_groupsTime = 0;
}

// ---- Exchanging the arrays whole ----------------------------------------------------------------

namespace {

void UnregisterPermissions(std::vector<PermissionStruct>& perms) {
  for (PermissionStruct& p : perms) {
    if (p.header.uid != 0 && GetNodeByUID(p.header.uid) == &p.header) RemoveNodeFromQAArray(p.header.uid);
  }
}

// Registers every permission where it lies; false, with none of them left
// registered, when one cannot be.
bool RegisterPermissions(std::vector<PermissionStruct>& perms) {
  for (size_t i = 0; i < perms.size(); ++i) {
    if (AddNodeToQAArray(&perms[i].header) != 0) continue;
    WriteLog(0, "Unable to register permission %08X", perms[i].header.uid);
    for (size_t j = 0; j < i; ++j) RemoveNodeFromQAArray(perms[j].header.uid);
    return false;
  }
  return true;
}

}  // namespace

int SwapGroupArrays(GroupArrays& other) {
  ++g_groupRecordsVersion;
  UnregisterPermissions(g_perms);
  g_groups.swap(other.groups);
  g_perms.swap(other.perms);
  if (RegisterPermissions(g_perms)) return FR_OK;
  g_groups.swap(other.groups);
  g_perms.swap(other.perms);
  RegisterPermissions(g_perms);  // the same records under the UIDs they held
  return FR_NO_MEMORY;
}
