// The start-up synchronisation of uid.val with the UIDs of every store: the
// highest UID of the groups, of the permission lists and of the users files a
// load kept without loading, which the node registry does not hold, handed
// to the foundation's sync of the registry.
// Directory layer: calls the groups and permissions, the users files and the
// UID allocation.
#include "directory/store_uid_sync.h"

#include <vector>

#include "directory/groups.h"
#include "directory/users_files.h"
#include "foundation/uid/node_header.h"
#include "foundation/uid/uid_alloc.h"

namespace {

// `uid` when it is an ordinary UID above `highest`, else `highest`.
UID Higher(UID highest, UID uid) { return uid > highest && !IsReservedUID(uid) ? uid : highest; }

}  // namespace

void SyncUIDFileWithStores() {
  UID highest = kNoUID;
  for (int32_t i = 0; i < GetGroupCount(); ++i) highest = Higher(highest, GetGroupByIndex(i)->header.uid);
  for (int32_t i = 0; i < GetPermissionCount(); ++i) {
    const PermissionStruct* perm = GetPermissionByIndex(i);
    highest = Higher(highest, perm->header.uid);
    for (const UID uid : perm->read) highest = Higher(highest, uid);
    for (const UID uid : perm->write) highest = Higher(highest, uid);
  }
  // The users files a load kept without loading them (a user a cut list
  // lost, say) hold UIDs no record has: a new user must not be given one.
  highest = Higher(highest, GetHighestKeptUserFileUID());
  SyncUIDFileWithNodes(highest);
}
