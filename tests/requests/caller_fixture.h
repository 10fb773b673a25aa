// The caller of a request in the handler tests: a logged-on-user slot made as
// a logon makes it, set as the current logon slot.
#pragma once

#include <cstdint>

#include "foundation/uid/node_header.h"
#include "sessions/connection_table.h"
#include "sessions/logon_slots.h"
#include "support/slot_fixture.h"

enum CallerKind : int {
  CALLER_PLAIN = 0,   // a user without the administration bit
  CALLER_ADMIN = 1,   // a user whose level has the administration bit
  CALLER_GUEST = 2,   // a guest slot (the guest's UID)
  CALLER_SERVER = 3,  // a server logon ("#" with a server's client ID)
};

constexpr int32_t kCallerTestClientID = 5;
constexpr int32_t kCallerTestServerClientID = 70000;

inline void ResetCallerSlots() {
  ResetLogonSlots();
  SetCurrentLogonSlot(0);
}

// Makes the slot of `name` (the directory user of `uid` and `level`), or of a
// server logon, and makes it the current logon slot.
inline void MakeCurrentCaller(CallerKind kind, UID uid, const char* name, uint32_t level) {
  ResetCallerSlots();
  uint32_t logonUID = kind == CALLER_SERVER ? MakeTestSlot("#bench-server", kCallerTestServerClientID)
                                            : MakeTestSlot(name, kCallerTestClientID);
  ASSERT_NE(logonUID, 0u);
  LUS* slot = FindLUSByLogonUID(logonUID);
  ASSERT_NE(slot, nullptr);
  if (kind != CALLER_SERVER) {
    slot->userUID = uid;
    slot->USERLEVEL = level;
  }
  SetCurrentLogonSlot(logonUID);
}
