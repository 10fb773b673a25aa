// The directory's groups and permissions in memory: the group array (sorted by
// name without regard to case, not registered) and the permission array (in
// order of addition, every record registered in the node registry by UID).
// Directory store; calls the node registry and UID allocation, the user
// records (users and groups share one namespace), the utilities and the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/uid/node_header.h"

struct UserStruct;  // directory/user_records.h

// ---- Sizes ---------------------------------------------------------------------

constexpr int32_t kGroupArrayGrowStep = 10;       // least group records added per growth (geometric beyond)
constexpr int32_t kPermissionArrayGrowStep = 10;  // least permission records added per growth (geometric beyond)
constexpr int32_t kGroupMemberGrowStep = 5;       // member slots added per growth
constexpr size_t kMaxGroupNameLength = 31;        // bytes of the longest valid group name

// ---- Records ---------------------------------------------------------------------

// One group. The header carries UID, kind 7 (NODE_KIND_GROUP), time stamp,
// flags and spare word; a group added at run time has UID 0 and kind 0 until
// the next start gives it both and writes them (SaveStartUpGroupUIDs,
// groups_file.h), so that it keeps that UID from then on.
// The member count is members.size(); the member capacity members.capacity(),
// grown 5 slots at a time. Members are user names; AddUserToGroup keeps them
// sorted without regard to case and unique, and UpdateGroup and the block
// decoder accept only lists of present, non-empty, distinct names.
struct GroupStruct {
  NodeHeader header;
  std::optional<std::string> name;         // the sort key; none only in a record not yet stored
  std::optional<std::string> description;  // none and empty are different
  std::vector<std::string> members;
};

// One permission: two UID lists (users or groups). The READ and WRITE counts
// are read.size() and write.size(). Lists built by AddToPermission are
// ascending (unsigned) and unique; lists read from groups.xml keep the file's
// order, duplicates and zero entries until AddToPermission next changes them.
struct PermissionStruct {
  NodeHeader header;  // kind 9 (NODE_KIND_PERMISSION)
  std::vector<UID> read;
  std::vector<UID> write;
};

// ---- Names -------------------------------------------------------------------------

// 1 when `name` is acceptable as a group name, else 0: a letter A-Z/a-z first,
// then letters, digits, '.', '-' or '_', 31 bytes at most. Null and empty give 0.
int IsValidGroupName(const char* name);

// The order of the group array: names without regard to case (ASCII folding,
// bytes unsigned); a record without a name sorts before every named one.
int CompareGroupNames(const GroupStruct& a, const GroupStruct& b);

// The order of a member list: the names without regard to case.
int CompareMemberNames(const std::string& a, const std::string& b);

// The order of a UID list: unsigned; -1, 0 or 1.
int CompareIDs(UID a, UID b);

// ---- The group array -----------------------------------------------------------------
// Records are held by value: a pointer or index obtained here is valid only
// until the group array next changes (add, delete, sort, growth).

int32_t GetGroupCount();
int32_t GetGroupArrayCapacity();

// The group at `index` of the sorted array, or null when out of range.
GroupStruct* GetGroupByIndex(int32_t index);

// Bisection by name without regard to case. The index, or -1 (also for no
// name, an empty one and while there are no groups).
int32_t FindGroupIndex(const char* name);

// 1 when FindGroupIndex finds the name, else 0.
int GroupExists(const char* name);

// The group, or null.
GroupStruct* FindGroupByName(const char* name);

// Adds a group that has only its name (UID 0, kind 0, no description, no
// members) at its sorted place. The index of the new group, or -1 (logged):
// no name or an empty one, the array cannot grow, a group of that name exists, a
// user of that name exists (UserExists, with its domain rule), no memory.
// Does not apply IsValidGroupName: callers do. A growth made before a refusal
// stays.
int32_t AddGroup(const char* name);

// Removes the group and closes the gap. 0, or -1 (logged) when there is no
// such group. Users whose GROUPLIST names the group are left as they are.
int DeleteGroup(const char* name);

// Replaces the stored group of `group->name` by a deep copy of `group`
// (name with its letters as sent, header, description and member list as
// given, the member list in its order). A given UID of 0 takes the stored
// UID. The stored group is changed only when the whole copy has succeeded.
// 0; 1 no memory; 2 no record, no or empty name, a description that is not
// valid UTF-8 XML text, or a member list with an absent, empty, duplicate
// (without regard to case) or not valid UTF-8 XML text name; 16 no such
// group; 8 the given UID is not the stored group's.
int UpdateGroup(const GroupStruct* group);

// Deep copy of `source` into `dest` (cleared first): name, description,
// members (with the source's member capacity) and the header unchanged.
// 0; 1 no memory (logged; dest left clear); 2 no destination or no source.
int CopyGroupStruct(GroupStruct* dest, const GroupStruct* source);

// Frees the group's contents and clears it to all zero. The record's own
// storage belongs to whoever holds it (array, stack, smart pointer). Null: nothing.
void FreeGroupStruct(GroupStruct* group);

// Sorts the group array by name.
void SortGroupArray();

// A load of many groups (groups.xml): between these two, AddGroup appends in
// arrival order (names are still found, through an index) and EndGroupsLoad
// sorts the array once, so a file whose groups are not in the array's order
// does not make the load quadratic. An index AddGroup gives during the load
// is valid until the next add or EndGroupsLoad. Loads do not nest.
void BeginGroupsLoad();
void EndGroupsLoad();

// Makes room for `n` records. 0; 1 no memory (logged); 2 n below the capacity.
int SetGroupArrayCapacity(int32_t n);

// Frees every group and the array's storage: count and capacity 0.
void FreeGroupArray();

// ---- Members -----------------------------------------------------------------------

// Adds a private copy of `userName` to the group's member list and re-sorts it
// (without regard to case). 0, or -1: no group, no name or an empty one, the name
// is already a member (logged, without the error flag), no memory (logged).
int AddUserToGroup(GroupStruct* group, const char* userName);

// Makes `names` the group's member list, with the result that adding them one
// by one with AddUserToGroup to an empty list would give: sorted without
// regard to case, every name once (the first of a repeated name is kept and
// each repeat logged as AddUserToGroup logs it), empty names left out. One
// sort for the whole list, where adding name by name costs a scan of the
// list per name (quadratic for a large group). 0, or -1 for no group.
int SetGroupMemberList(GroupStruct* group, std::vector<std::string> names);

// The index of `userName` (without regard to case) in the member list, or -1
// (also for no group, no name or an empty one). A linear search, so a list kept in a
// client's order is searched correctly too.
int32_t FindUserInGroup(const GroupStruct* group, const char* userName);

// Removes the member. 0; 2 no group, no name or an empty one; 6 not a member.
int RemoveUserFromGroup(GroupStruct* group, const char* userName);

// 0 when every member name is present, non-empty, valid UTF-8 XML text
// without control characters (a line feed or carriage return would not read
// back from groups.xml as written, and no user name holds one) and distinct
// from the others without regard to case; else 2. The test that UpdateGroup
// and the group block decoder apply to a client's member list.
int CheckGroupMemberList(const std::vector<std::string>& members);

// ---- The groups time -------------------------------------------------------------------

// Time (32-bit seconds) of the last read or write of groups.xml; 0 at
// process start. groups_file.h sets it.
uint32_t GetGroupsTime();
void SetGroupsTime(uint32_t seconds);

// True exactly when `t` is earlier than the groups time, compared as signed
// 32-bit seconds (equal is current).
bool HaveGroupsChangedSince(int32_t t);

// ---- The version of the groups' blocks ------------------------------------------------

// A count that moves on at every change of what the groups' blocks show
// (group_blocks.h): the set and order of the groups, and a stored group's
// header, name, description or members. Every operation here that changes
// the group array or a group moves it (also for a record outside the array:
// a needless move costs only a new list); code that changes a stored group in
// place calls NoteGroupRecordChanged right there. The whole-list reply sends
// one encoded copy of the groups per version (record_lists.h).
uint64_t GetGroupRecordsVersion();
void NoteGroupRecordChanged();

// ---- The permission array ----------------------------------------------------------------
// Every record of the array is registered under its UID. The array re-points
// every registry entry itself after each growth or removal, so a lookup by
// UID always finds the record at its current address. A pointer obtained here
// is valid only until the permission array next changes.

int32_t GetPermissionCount();
int32_t GetPermissionArrayCapacity();

// The permission at `index` (order of addition), or null when out of range.
PermissionStruct* GetPermissionByIndex(int32_t index);

// The registered permission of `uid` (a record of kind 9), or null.
PermissionStruct* FindPermission(UID uid);

// Appends a permission with `uid` (0: a new UID from the UID allocation),
// kind 9, registered. The new record, or null (logged): the array cannot
// grow, no UID can be had, or the UID is already registered.
PermissionStruct* AddNewPerm(UID uid);

// Unregisters every permission and frees the array: count and capacity 0.
void FreePermissionArray();

// Adds `member` to the READ list (read set) and/or the WRITE list (write set)
// when it is not there yet, keeping the changed list ascending and unique
// (a list kept in a file's order is sorted and its duplicates dropped when it
// changes). 0; 1 no memory; 2 a UID is 0; 24 no node with that UID; 25 the
// node is not a permission.
int AddToPermission(UID permission, UID member, bool read, bool write);

// Removes every occurrence of `member` from READ and/or WRITE; an absent
// member is not an error. 0; 2 a UID is 0; 24; 25 as AddToPermission.
int RemoveFromPermission(UID permission, UID member, bool read, bool write);

// 1 when any of the `count` UIDs is in the permission's READ (WRITE) list;
// 0 for no array, a count below 1, a UID without a node or a node of another kind.
int IsAnyInReadList(UID permission, const UID* uids, int32_t count);
int IsAnyInWriteList(UID permission, const UID* uids, int32_t count);

// ---- Single permission records -------------------------------------------------------------

// Releases a permission made by CreatePermissionStruct: unregisters it and
// frees it.
struct PermissionRecordDeleter {
  void operator()(PermissionStruct* perm) const;
};
using PermissionRecordPtr = std::unique_ptr<PermissionStruct, PermissionRecordDeleter>;

// One permission outside the array with `uid` (0: a new one), kind 9,
// registered. Null (logged) when no UID can be had or it cannot be registered.
PermissionRecordPtr CreatePermissionStruct(UID uid);

// Removes the permission's registry entry when the registry holds this very
// record under its UID (a copy with the same UID leaves the entry alone),
// frees both lists and clears it to an empty kind-9 record. The record's own
// storage belongs to its holder. Null: nothing.
void FreePermissionStruct(PermissionStruct* perm);

// ---- Users and groups ------------------------------------------------------------------------

// Appends to the user's group UID list the UID of every group named in its
// GROUPLIST (';'-separated, empty names skipped) that has a non-zero UID and
// is not yet in the list; an empty or absent GROUPLIST empties the list.
// 0; 1 no memory; 2 no user; 16 a named group does not exist (logged, the
// walk goes on).
int BuildGroupArrayForUser(UserStruct* user);

// ---- Exchanging the arrays whole --------------------------------------------------------------

// The group and permission arrays of a store, held outside it: a text is
// read into empty arrays while the previous ones wait here, and whichever
// set is not kept is freed with its holder.
struct GroupArrays {
  std::vector<GroupStruct> groups;
  std::vector<PermissionStruct> perms;
};

// Exchanges the store's arrays with `other`. The permissions that leave the
// store are unregistered first; those that come in are registered under their
// UIDs. Not during a groups load. 0; 1 (logged) when a permission coming in
// cannot be registered (its UID is held by another node): the exchange is
// then undone, and both sides are as they were.
int SwapGroupArrays(GroupArrays& other);

// ---- Reset ----------------------------------------------------------------------------------

// Back to the process-start state: both arrays freed (permissions
// unregistered), the groups time 0 (tests).
void ResetGroupsAndPermissions();
