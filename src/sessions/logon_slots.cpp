// The logged-on-user slot table: issuing logon UIDs and session IDs, making
// slots, adding and removing client sessions, freeing slots, the lookups and
// the session-ID text form.
// Sessions layer: calls the directory store's user lookups, the log, the
// clock, the platform random source and the slot-operations log.
#include "sessions/logon_slots.h"

#include <cstdio>
#include <cstring>
#include <functional>

#include "directory/user_records.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/util/byte_order.h"
#include "foundation/util/util.h"
#include "platform/clock.h"
#include "platform/random_bytes.h"
#include "sessions/lus_log.h"

namespace {

LUS g_slots[MAXCON];
int32_t g_slotCount = 0;
uint32_t g_logonUIDCounter = 0;

// Draws of the random source before GenerateUniqueSID gives up. With at most
// 500 of 2^31 values taken, a second draw is already all but never needed.
constexpr int kSIDDrawAttempts = 64;

const char* NameOrEmpty(const std::optional<std::string>& text) { return text ? text->c_str() : ""; }
const char* NameOrEmpty(const char* text) { return text ? text : ""; }

bool SIDInUse(uint32_t sid) {
  for (int i = 0; i < g_slotCount; ++i) {
    if (g_slots[i].SID == sid) return true;
  }
  return false;
}

// Earlier than `cutoff` as signed 32-bit seconds.
bool EarlierThan(uint32_t t, uint32_t cutoff) { return static_cast<int32_t>(t) < static_cast<int32_t>(cutoff); }

}  // namespace

// ---- The table ---------------------------------------------------------------------

int32_t GetLUSCount() { return g_slotCount; }

LUS* GetLUSByIndex(int index) {
  if (index < 0 || index >= g_slotCount) return nullptr;
  return &g_slots[index];
}

int GetLUSIndex(const LUS* slot) {
  // std::less orders any two pointers, also one from outside the table.
  std::less<const LUS*> before;
  if (!slot || before(slot, g_slots) || !before(slot, g_slots + g_slotCount)) return -1;
  return static_cast<int>(slot - g_slots);
}

// ---- Logon UIDs and session IDs ------------------------------------------------------

// After 2^32 logons the counter wraps: 0 and values still held are passed over.
uint32_t GetNextLogonUID() {
  do {
    ++g_logonUIDCounter;
  } while (g_logonUIDCounter == 0 || FindLUSByLogonUID(g_logonUIDCounter));
  return g_logonUIDCounter;
}

// Session IDs let a second client program attach to a logon (token type 5)
// and let message 6662 end a logon without one, so they must not be
// predictable from another SID or from the time: they come from the kernel's
// generator, never from the tick count.
uint32_t GenerateUniqueSID() {
  for (int attempt = 0; attempt < kSIDDrawAttempts; ++attempt) {
    uint32_t candidate = 0;
    if (GetRandomBytes(&candidate, sizeof candidate) != 0) return 0;
    candidate &= kSIDMask;
    if (candidate != 0 && !SIDInUse(candidate)) return candidate;
  }
  return 0;
}

// ---- Making slots ----------------------------------------------------------------------

LUS* IGetNewLogonSlot(int32_t clientID, const char* userName, const UserStruct* user, int* failReason) {
  int ignored = 0;
  if (!failReason) failReason = &ignored;
  uint32_t now = NowTime32();
  if (clientID == 0 || (clientID < kServerClientIDFloor && (!userName || !user))) {
    WriteLog(0, "GetNewLogonSlot:Invalid parameter passed");
    *failReason = FR_INVALID_PARAMETER;
    return nullptr;
  }
  *failReason = FR_OK;
  if (g_slotCount >= MAXCON) PurgeIdleLogonSlots();
  if (g_slotCount >= MAXCON) {
    DumpLoggedOnUsers();
    return nullptr;
  }
  uint32_t sid = GenerateUniqueSID();
  if (sid == 0) {
    WriteLog(1, "GetNewLogonSlot:Unable to draw a session ID");
    *failReason = FR_NO_MEMORY;
    return nullptr;
  }
  LUS& slot = g_slots[g_slotCount];
  slot = LUS{};
  slot.sessions.push_back(SLS{clientID});
  slot.sidVersion = kSIDVersion;
  slot.SID = sid;
  slot.logonUID = GetNextLogonUID();
  slot.USERLEVEL = user ? user->LEVEL : 0;
  slot.LASTUSED = now;
  WriteLog(0, "GetNewLogonSlot:Returned slot %d, uid is %d, sid=%08x", g_slotCount,
           static_cast<int>(slot.logonUID), slot.SID);
  ++g_slotCount;
  return &slot;
}

LUS* GetNewLogonSlot(int32_t clientID, const char* userName, const UserStruct* user, int* failReason) {
  int reason = 0;
  LUS* slot = IGetNewLogonSlot(clientID, userName, user, &reason);
  if (failReason) *failReason = reason;
  if (slot) {
    WriteLUSLogF(1, "GetNewLogonSlot:Success (%08x) for user >%s< on client %d - logonUID=%08x", slot->SID,
                 NameOrEmpty(userName), clientID, slot->logonUID);
  } else {
    WriteLUSLogF(1, "GetNewLogonSlot:Fail (%d) for user >%s< on client %d", reason, NameOrEmpty(userName),
                 clientID);
  }
  return slot;
}

// ---- Adding client sessions ---------------------------------------------------------------

const char* SlotDirectoryUserName(const LUS* slot) {
  if (!slot) return nullptr;
  if (slot->GUEST) return "guest";
  return slot->USERNAME ? slot->USERNAME->c_str() : nullptr;
}

UserStruct* FindUserAndValidateClientID(const LUS* slot, int32_t clientID, int* failReason) {
  int ignored = 0;
  if (!failReason) failReason = &ignored;
  if (clientID == 0 || !slot) {
    WriteLog(0, "FindUserAndValidateClientID:Invalid parameter passed");
    *failReason = FR_INVALID_PARAMETER;
    return nullptr;
  }
  UserStruct* user = FindUser(SlotDirectoryUserName(slot));
  if (!user) {
    *failReason = FR_USER_NOT_FOUND;
    WriteLog(0, "FindUserAndValidateClientID:Unable to find user >%s<", NameOrEmpty(slot->USERNAME));
    return nullptr;
  }
  *failReason = FR_OK;
  return user;
}

int IGetAdditionalLogonSlot(LUS* slot, int32_t clientID, int* failReason) {
  int ignored = 0;
  if (!failReason) failReason = &ignored;
  if (!FindUserAndValidateClientID(slot, clientID, failReason)) return 0;
  *failReason = FR_OK;
  slot->sessions.insert(slot->sessions.begin(), SLS{clientID});
  slot->LASTUSED = NowTime32();
  slot->CC += 1;
  return 1;
}

int GetAdditionalLogonSlot(LUS* slot, int32_t clientID, int* failReason) {
  int reason = 0;
  int added = IGetAdditionalLogonSlot(slot, clientID, &reason);
  if (failReason) *failReason = reason;
  const char* name = slot ? NameOrEmpty(slot->USERNAME) : "";
  if (added) {
    WriteLUSLogF(1, "GetAdditionalLogonSlot:Success (%08x) for user >%s< on client %d : ", slot->SID, name,
                 clientID);
  } else {
    WriteLUSLogF(1, "GetAdditionalLogonSlot:Fail (%d) for user >%s< on client %d : ", reason, name, clientID);
  }
  return added;
}

// Frees idle slots of a full table. The same index is examined again after a
// logoff, since the last slot has moved into it.
void PurgeIdleLogonSlots() {
  if (g_slotCount < MAXCON) return;
  uint32_t cutoff = NowTime32() - static_cast<uint32_t>(kIdlePurgeSeconds);
  int i = 0;
  while (i < g_slotCount) {
    const LUS& slot = g_slots[i];
    bool serverLogon = slot.USERNAME && !slot.USERNAME->empty() && (*slot.USERNAME)[0] == kServerLogonPrefix;
    if (!serverLogon && EarlierThan(slot.LASTUSED, cutoff)) {
      LogoffLUSSlot(i);
      continue;
    }
    ++i;
  }
}

// ---- Lookups ---------------------------------------------------------------------------

LUS* FindLUSByLogonUID(uint32_t logonUID) {
  if (logonUID == 0) return nullptr;
  for (int i = 0; i < g_slotCount; ++i) {
    if (g_slots[i].logonUID == logonUID) return &g_slots[i];
  }
  return nullptr;
}

LUS* FindLUS(uint32_t version, const unsigned char* sidBytes) {
  if (!sidBytes || version != kSIDVersion) return nullptr;
  uint32_t sid = GetLE32(sidBytes);
  for (int i = 0; i < g_slotCount; ++i) {
    if (g_slots[i].SID == sid) return &g_slots[i];
  }
  return nullptr;
}

// ---- Removing client sessions and freeing slots ------------------------------------------

bool ClientIDMatches(int32_t sessionCID, int32_t match) {
  if (match == 0 || match == sessionCID) return true;
  // -match in 64 bits: INT32_MIN has no 32-bit negation.
  if (match < 0) return static_cast<int64_t>(sessionCID) != -static_cast<int64_t>(match);
  return false;
}

void RemoveMatchingSessions(LUS* slot, int32_t match, bool exact) {
  if (!slot) return;
  std::vector<SLS> kept;
  kept.reserve(slot->sessions.size());
  for (const SLS& session : slot->sessions) {
    if (exact ? session.CID == match : ClientIDMatches(session.CID, match)) {
      slot->CC -= 1;
    } else {
      kept.push_back(session);
    }
  }
  slot->sessions.swap(kept);
}

int RemoveClientsFromLUS(int index, int32_t match) {
  if (index < 0 || index >= g_slotCount) return FR_INVALID_PARAMETER;
  LUS& slot = g_slots[index];
  RemoveMatchingSessions(&slot, match, false);
  if (slot.CC < 1 || slot.sessions.empty()) FreeLUSSlot(index);
  return FR_OK;
}

int LogoffLUSSlot(int index) { return RemoveClientsFromLUS(index, 0); }

void FreeLUSSlot(int index) {
  if (index < 0 || index >= g_slotCount) return;
  FreeLoggedOnUser(&g_slots[index]);
  --g_slotCount;
  if (index < g_slotCount) {
    g_slots[index] = std::move(g_slots[g_slotCount]);
    // The old last place must not keep a second copy of the moved slot.
    g_slots[g_slotCount] = LUS{};
  }
}

void FreeLoggedOnUser(LUS* slot) {
  if (!slot) return;
  WriteLUSLogF(1, "FreeLoggedOnUser(%s, %d) cc=%d", NameOrEmpty(slot->USERNAME), 0, slot->CC);
  *slot = LUS{};
}

// ---- Session IDs as text -------------------------------------------------------------------

bool IsHexDigit(char c) { return HexDigitValue(c) >= 0; }

uint32_t ParseHexID(const char* text) {
  if (!text || strnlen(text, 9) != 8) return 0;
  unsigned char bytes[4];
  for (int i = 0; i < 4; ++i) {
    int high = HexDigitValue(text[2 * i]);
    int low = HexDigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return 0;
    bytes[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return GetLE32(bytes);
}

std::string FormatHexID(uint32_t sid) {
  unsigned char bytes[4];
  PutLE32(bytes, sid);
  char text[9];
  snprintf(text, sizeof text, "%02X%02X%02X%02X", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

// ---- Unused by the system ------------------------------------------------------------------

uint32_t GetUserLevelByName(const char* userName) {
  if (!userName || !*userName) return 0;
  const UserStruct* user = FindUser(userName);
  return user ? user->LEVEL : 0;
}

// ---- Tests ---------------------------------------------------------------------------------

void ResetLogonSlots() {
  for (LUS& slot : g_slots) slot = LUS{};
  g_slotCount = 0;
  g_logonUIDCounter = 0;
}
