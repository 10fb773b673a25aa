// The guard of a request's logon across its waits and its refusal.
// Sessions layer: calls the connection table, the slots, the logon
// settings, the fiber locals and the socket's held output.
#include "sessions/request_guard.h"

#include "foundation/result_codes.h"
#include "foundation/util/byte_order.h"
#include "platform/fiber_tasks.h"
#include "platform/socket_io.h"
#include "sessions/connection_table.h"
#include "sessions/logon_settings.h"
#include "sessions/logon_slots.h"

namespace {

// The guarded connection (a record pinned by its request), and the logon UID
// it carried when the request began with the ended mark in the top bit (a
// logon UID is a counter that stays far below it). Both the request task's.
const int kGuardedConnectionLocal = RegisterFiberLocal(nullptr);
const int kGuardedLogonLocal = RegisterFiberLocal(nullptr);
constexpr uintptr_t kEndedMark = uintptr_t{1} << 63;
constexpr uintptr_t kLogonMask = 0xFFFFFFFFu;

}  // namespace

void BeginRequestGuard(ConnectionRecord* conn) {
  SetFiberTaskActed(false);  // nothing done yet: every wait is checked
  const bool guarded = conn != nullptr && conn->logonUID != 0;
  FiberLocal(kGuardedConnectionLocal) = guarded ? reinterpret_cast<uintptr_t>(conn) : 0;
  FiberLocal(kGuardedLogonLocal) = guarded ? conn->logonUID : 0;
}

void EndRequestGuard() {
  FiberLocal(kGuardedConnectionLocal) = 0;
  FiberLocal(kGuardedLogonLocal) = 0;
}

bool RequestLogonHolds() {
  uintptr_t& word = FiberLocal(kGuardedLogonLocal);
  const uint32_t logonUID = static_cast<uint32_t>(word & kLogonMask);
  if (logonUID == 0) return true;
  if ((word & kEndedMark) != 0) return false;
  const auto* conn = reinterpret_cast<const ConnectionRecord*>(FiberLocal(kGuardedConnectionLocal));
  // A logon UID is never given twice: a slot found by it is the same logon.
  if (GetConnectionIndex(conn) >= 0 && conn->logonUID == logonUID && FindLUSByLogonUID(logonUID) != nullptr)
    return true;
  word |= kEndedMark;
  return false;
}

bool RequestLogonEnded() { return (FiberLocal(kGuardedLogonLocal) & kEndedMark) != 0; }

void HoldLogonEndedRefusal() {
  unsigned char words[8];
  PutLE32(words, static_cast<uint32_t>(FR_NOT_AUTHENTICATED));
  PutLE32(words + 4, GetAuthenticationFlags());
  (void)ReplaceHeldOutput(words, sizeof words);
}
