// The login sections every user's settings hold (Live\Torvane, made
// through the record's own node) and the UIDs given to records that have none.
// Directory layer: calls the users tree, the user records, the UID
// allocation and registry, the XML toolkit and the log.
#include "directory/users_files.h"
#include "directory/users_files_private.h"

#include "directory/user_settings.h"
#include "directory/users_tree.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/xml/xml_tree.h"

using namespace users_files_detail;

namespace {

// Above this many records, the login-section pass finds the nodes of records
// without a usable link through one index of the tree instead of a walk each.
constexpr int kNodeIndexThreshold = 8;

}  // namespace

namespace users_files_detail {

// Gives one record the login section through its own node (`node` when the
// caller found it already, else through the link or a walk). 0 or 1.
int EnsureLoginSectionOf(UserStruct* user, XMLNode* node) {
  if (!user->USERNAME) return FR_OK;
  if (node == nullptr) node = UserNodeOfRecord(user);
  if (node == nullptr) {
    // A record without a node of its own (added without one): it gets
    // default_user's settings, as a user added by a client does.
    WriteLog(0, "User >%s< has no node of its own in the users tree: one is made", user->USERNAME->c_str());
    if (MakeUserNodeForRecord(user) != FR_OK) return FR_NO_MEMORY;
    node = user->USERDATA->parent;
  }
  XMLNode* data = (user->USERDATA != nullptr && user->USERDATA->parent == node) ? user->USERDATA
                                                                                : FindXMLChildNode(node, kUserDataName);
  if (data == nullptr && (data = AppendNamedUsersChild(node, kUserDataName)) == nullptr) return FR_NO_MEMORY;
  user->USERDATA = data;
  XMLNode* live = FindXMLChildNode(data, kLoginSectionName);
  if (live == nullptr && (live = AppendNamedUsersChild(data, kLoginSectionName)) == nullptr) return FR_NO_MEMORY;
  if (FindXMLChildNode(live, kLoginSubsectionName) == nullptr && AppendNamedUsersChild(live, kLoginSubsectionName) == nullptr) {
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

}  // namespace users_files_detail

int EnsureUserLoginSections() {
  const int count = GetUserCount();
  // Records whose link does not lead to their node (a load of files without
  // settings) are found in one index of the tree rather than a walk each.
  // It is built at the first of them (until then nothing has changed the
  // USER nodes or their names), so a load whose links all hold makes none.
  UserNodeIndex index;
  bool indexTried = false, indexed = false;
  for (int i = 0; i < count; ++i) {
    UserStruct* user = GetUserByIndex(i);
    if (!user->USERNAME) continue;
    XMLNode* node = LinkedUserNodeOfRecord(user);
    if (node == nullptr) {
      if (!indexTried) {
        indexTried = true;
        indexed = count > kNodeIndexThreshold && BuildUserNodeIndex(index) == FR_OK;
      }
      node = UserNodeOfRecord(user, indexed ? &index : nullptr);
    }
    const int rc = EnsureLoginSectionOf(user, node);
    if (rc != FR_OK) return rc;
  }
  return FR_OK;
}

int AssignUserUIDs() {
  const int count = GetUserCount();
  for (int i = 0; i < count; ++i) {
    UserStruct* user = GetUserByIndex(i);
    if (user->header.uid == kNoUID) {
      user->header.uid = GetNewUID();
      NoteUserArrayChanged();
      if (user->header.uid != kNoUID) AddNodeToQAArray(&user->header);
    }
    user->header.kind = NODE_KIND_USER;
  }
  return FR_OK;
}
