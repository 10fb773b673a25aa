// Tests of the start-up UID synchronisation over every store: groups and
// permission lists, which the node registry does not hold, count as well as
// the registered users, so a lost or lowered uid.val issues none of their
// UIDs again.
#include "directory/store_uid_sync.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "directory/groups.h"
#include "directory/user_records.h"
#include "foundation/uid/uid_alloc.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

namespace {

class StoreUIDSyncTest : public ::testing::Test {
 protected:
  TempDir home;
  void SetUp() override {
    ResetDirectoryState();
    SetUIDDirectory(home.path.c_str());
  }
  void TearDown() override { ResetDirectoryState(); }
};

struct Group {
  const char* name;
  UID uid;
};

TEST_F(StoreUIDSyncTest, NextUIDIsAboveEveryUIDTheStoresHold) {
  struct Case {
    const char* id;
    long uidVal;  // uid.val before the sync; -1: lost
    std::vector<Group> groups;
    std::vector<UID> permissionRead;
    UID next;  // the UID the first allocation after the sync gives
  } cases[] = {
      {"uid.val lost, a group holds the highest UID", -1, {{"Sales", 0x90}}, {}, 0x91},
      {"uid.val lowered below a group", 0x20, {{"Sales", 0x90}, {"Support", 0x40}}, {}, 0x91},
      {"a permission names a deleted group", -1, {{"Sales", 0x30}}, {0x30, 0xA0}, 0xA1},
      {"a higher uid.val stays", 0x200, {{"Sales", 0x90}}, {0xA0}, 0x201},
      {"reserved UIDs do not count", -1, {{"Everyone", kUIDEveryoneGroup}}, {kUIDAdministratorsGroup}, 0x11},
      {"users alone", -1, {}, {}, 0x11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ResetDirectoryState();
    SetUIDDirectory(home.path.c_str());
    std::remove(home.File("uid.val").c_str());
    if (c.uidVal >= 0) {
      ASSERT_EQ(WriteUIDFile(static_cast<UID>(c.uidVal)), 0);
    }
    ASSERT_GE(AddUser("bob", 0x10), 0);  // registered
    for (const Group& g : c.groups) GetGroupByIndex(AddGroup(g.name))->header.uid = g.uid;
    PermissionStruct* perm = AddNewPerm(kUIDDefaultPermission);
    ASSERT_NE(perm, nullptr);
    perm->read = c.permissionRead;
    SyncUIDFileWithStores();
    EXPECT_EQ(GetNewUID(), c.next);
  }
}

}  // namespace
