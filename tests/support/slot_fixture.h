// Slots and connections for the sessions and requests tests: a home in a
// temporary directory, the clock fixed, TZ pinned to UTC, and slots made the
// way a logon makes them (GetNewLogonSlot, then CC 1, ISAUTH 1 and the names).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "directory/user_records.h"
#include "foundation/settings/server_settings.h"
#include "platform/clock.h"
#include "platform/random_bytes.h"
#include "sessions/connection_table.h"
#include "sessions/logon_slots.h"
#include "sessions/lus_log.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"

constexpr int64_t kSlotTestNow = 1800000000;  // 2027-01-15T08:00:00Z

inline void ResetSessionState(const TempDir& home) {
  ResetDirectoryState();
  ResetLogonSlots();
  ResetConnectionTable();
  ResetLUSLog();
  SetRandomBytesFailStatus(0);
  SetHomeDirectory(home.path.c_str());
  setenv("TZ", "UTC", 1);
  tzset();
  SetClockOverride(kSlotTestNow);
}

// Adds a directory user (no default_user: an empty record) and gives it.
inline UserStruct* AddTestUser(const char* name, UID uid, uint32_t level = 0) {
  int index = AddUser(name, uid);
  EXPECT_GE(index, 0) << name;
  UserStruct* user = GetUserByIndex(index);
  if (user) user->LEVEL = level;
  return user;
}

// A slot for `name` with one client session, filled as a logon fills it.
// The user record must exist unless the client ID is a server's (>= 65536).
// Gives the slot's logon UID (0 when refused).
inline uint32_t MakeTestSlot(const char* name, int32_t clientID, const char* env = "Live") {
  const UserStruct* user = FindUser(name);
  int failReason = -1;
  LUS* slot = GetNewLogonSlot(clientID, name, user, &failReason);
  if (!slot) return 0;
  slot->CC = 1;
  slot->ISAUTH = 1;
  slot->AUTHTYPE = AUTHTYPE_INTERNAL;
  slot->USERNAME = name;
  slot->userUID = user ? user->header.uid : 0xFFFFFFFFu;
  if (user) {
    slot->FORENAME = user->FORENAME;
    slot->SURNAME = user->SURNAME;
  }
  if (env) slot->ENVNAME = env;
  return slot->logonUID;
}

inline std::string SessionCIDs(const LUS* slot) {
  std::string out;
  if (!slot) return "(none)";
  for (const SLS& s : slot->sessions) out += (out.empty() ? "" : ",") + std::to_string(s.CID);
  return out;
}

// Adds the client session `cid` to the slot of `uid` as a re-attach does.
inline void AddTestSession(uint32_t uid, int32_t cid) {
  int failReason = 0;
  ASSERT_EQ(GetAdditionalLogonSlot(FindLUSByLogonUID(uid), cid, &failReason), 1) << failReason;
}

// A fresh home, fixed clock, UTC, the user bob; slots and connections emptied after.
class SlotTest : public ::testing::Test {
 protected:
  TempDir home;
  void SetUp() override {
    ResetSessionState(home);
    AddTestUser("bob", 0x1001);
  }
  void TearDown() override {
    ResetConnectionTable();
    ResetLogonSlots();
    SetRandomBytesFailStatus(0);
  }
};
