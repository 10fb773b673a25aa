// The start-up synchronisation of uid.val with every UID the stores hold:
// the registered records (users, permissions, parameter nodes) and what the
// node registry does not hold, the groups and the UIDs named in permission
// lists. Directory layer: calls the groups and permissions and the UID
// allocation of the foundation.
#pragma once

// Raises uid.val (SyncUIDFileWithNodes) to the highest UID below the
// reserved range held by a registered node, a group, an entry of a
// permission's READ or WRITE list (which may name a group or user deleted
// since: a new record must not take over its rights), or a users file the
// last load kept without loading (GetHighestKeptUserFileUID). A higher value already
// in uid.val stays. The start-up calls it before and again after the UIDs of
// users and groups without one are given, so that a uid.val lost or lowered
// never hands out a UID that a store holds.
void SyncUIDFileWithStores();
