// Puts every store the directory tests touch back to its start-up state: the
// users tree and files, users, groups and permissions, the configuration
// root and its nodes, the registry, UID allocation, the server settings, the
// clock and the write-failure seam.
#pragma once

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/store_file_state.h"
#include "directory/groups.h"
#include "directory/groups_file.h"
#include "directory/user_records.h"
#include "directory/users_files.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"

inline void ResetDirectoryState() {
  SetAtomicWriteFailAfter(-1);
  FreeUsersData();
  ResetUsersFiles();
  ResetUserStore();
  ResetGroupsAndPermissions();
  SetGroupsFilePath("");
  ResetGroupsFileState();
  ResetStoreFileMarks();
  ResetConfigRoot();
  FreeAllParamTreeNodes();
  ResetNodeRegistry();
  ResetUIDAllocation();
  ResetServerSettings();
  ClearClockOverride();
}
