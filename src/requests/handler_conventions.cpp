// The shared argument readers, reply shapes, rights checks and time-stamp
// rule of the request handlers.
// Requests layer: calls the wire primitives, the log, the clock, the current
// logon slot, the per-user settings and the configuration store's names.
#include "requests/handler_conventions.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <new>

#include "config/config_model.h"
#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "foundation/log/ring_log.h"
#include "foundation/util/util.h"
#include "platform/clock.h"
#include "platform/fiber_tasks.h"
#include "sessions/connection_table.h"
#include "sessions/logon_slots.h"

namespace {

// The socket of SendFormattedToClient, per request (stored plus one, so the
// word's 0 of a new request reads as none).
const int kFormattedReplyLocal = RegisterFiberLocal(nullptr);

constexpr size_t kFormattedReplyBytes = 16384;
// Replies up to this size go out as one buffer (header words and data
// together); larger data is sent after its header words without a copy.
constexpr size_t kCombinedReplyBytes = 64 * 1024;

// Sends the header words and then `size` bytes of data as one reply.
bool SendShape(int sock, std::initializer_list<uint32_t> words, const void* data, size_t size) {
  size_t total = words.size() * 4 + size;
  if (total > static_cast<size_t>(std::numeric_limits<int>::max())) return false;
  std::vector<unsigned char> out;
  out.reserve(size <= kCombinedReplyBytes ? total : words.size() * 4);
  for (uint32_t w : words) AppendLE32(out, w);
  if (size <= kCombinedReplyBytes) {
    if (size) out.insert(out.end(), static_cast<const unsigned char*>(data),
                         static_cast<const unsigned char*>(data) + size);
    return SendAll(sock, out.data(), static_cast<int>(out.size()), 0) == static_cast<int>(out.size());
  }
  if (SendAll(sock, out.data(), static_cast<int>(out.size()), 0) != static_cast<int>(out.size())) return false;
  return SendBuffer(sock, data, static_cast<int>(size), 0) == static_cast<int>(size);
}

bool FitsSizeWord(size_t size) { return size <= static_cast<size_t>(std::numeric_limits<int32_t>::max()); }

}  // namespace

// ---- Reading arguments -----------------------------------------------------------------

bool RecvArgInt(int sock, int32_t* value) { return RecvInt(sock, value) == 4; }
bool RecvArgUInt(int sock, uint32_t* value) { return RecvInt(sock, value) == 4; }

int32_t CallerArgumentCeiling() {
  return IsCurrentUserAdmin() != 0 ? kMaxWireStringLength : kMaxPlainCallerArgumentLength;
}

CallerSettingsStore::CallerSettingsStore() : ceiling_(IsCurrentUserAdmin() != 0 ? 0 : kMaxPlainCallerSettingsBytes) {}

std::optional<std::string> RecvArgString(int sock, WireStatus* status) {
  return RecvStringWithin(sock, CallerArgumentCeiling(), status);
}

std::optional<std::string> RecvArgStringWithin(int sock, int32_t bound, WireStatus* status) {
  return RecvStringWithin(sock, std::min(bound, CallerArgumentCeiling()), status);
}

bool EchoRuleEnds(int sock, WireStatus status) {
  if (status == WIRE_OK) return false;
  if (status == WIRE_NO_MEMORY) SendReplyStatus(sock, FR_NO_MEMORY);
  return true;
}

int RecvRawBlock(int sock, int32_t version, int32_t size, const char* handler, std::vector<unsigned char>& block) {
  block.clear();
  if (!handler) handler = "RecvRawBlock";
  if (version != 1) {
    if (size > 0 && DiscardBytes(sock, size) != 0) {
      WriteLog(1, "%s:Unable to read block of %d bytes from client", handler, size);
      return FR_COMMS_ERROR;
    }
    WriteLog(1, "%s:Invalid block version %d", handler, version);
    return FR_INVALID_VERSION;
  }
  if (size < 0) {
    // Nothing to drain: a negative size says nothing about what follows.
    WriteLog(1, "%s:Invalid block size %d", handler, size);
    return FR_NO_MEMORY;
  }
  bool refused = size > CallerArgumentCeiling();
  // The buffer grows as the bytes arrive, so a size announced but not sent
  // costs no memory.
  int32_t received = 0;
  while (!refused && received < size) {
    int32_t piece = std::min(size - received, kWireStringPieceBytes);
    try {
      block.resize(static_cast<size_t>(received) + piece);
    } catch (const std::bad_alloc&) {
      refused = true;
      break;
    }
    if (RecvAll(sock, block.data() + received, piece, 0) != piece) {
      WriteLog(1, "%s:Unable to read block of %d bytes from client", handler, size);
      block.clear();
      return FR_COMMS_ERROR;
    }
    received += piece;
  }
  if (refused) {
    block.clear();
    block.shrink_to_fit();
    WriteLog(1, "%s:Unable to allocate %d bytes for buffer", handler, size);
    if (DiscardBytes(sock, size - received) != 0) return FR_COMMS_ERROR;
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

int RecvVersionedRawBlock(int sock, const char* handler, std::vector<unsigned char>& block) {
  block.clear();
  if (!handler) handler = "RecvVersionedRawBlock";
  int32_t version = 0;
  int32_t size = 0;
  if (!RecvArgInt(sock, &version)) {
    WriteLog(1, "%s:Unable to get block version from client", handler);
    return FR_COMMS_ERROR;
  }
  if (!RecvArgInt(sock, &size)) {
    WriteLog(1, "%s:Unable to get block size from client", handler);
    return FR_COMMS_ERROR;
  }
  return RecvRawBlock(sock, version, size, handler, block);
}

// ---- Reply shapes ------------------------------------------------------------------------

bool SendReplyStatus(int sock, int32_t code) { return SendInt(sock, code) == 4; }

bool SendReplyText(int sock, WireText text) {
  if (text.IsNull()) return SendShape(sock, {0u, 0u}, nullptr, 0);
  if (text.length >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) return false;
  return SendShape(sock, {0u, static_cast<uint32_t>(text.length + 1)}, text.data, text.length + 1);
}

bool SendReplyBlock(int sock, const std::vector<unsigned char>& block) {
  if (!FitsSizeWord(block.size())) return false;
  return SendShape(sock, {0u, static_cast<uint32_t>(block.size())}, block.data(), block.size());
}

bool SendReplyVersionedBlock(int sock, const std::vector<unsigned char>& block) {
  if (!FitsSizeWord(block.size())) return false;
  return SendShape(sock, {0u, 1u, static_cast<uint32_t>(block.size())}, block.data(), block.size());
}

bool SendReplyBlockList(int sock, const std::vector<std::vector<unsigned char>>& blocks) {
  if (!FitsSizeWord(blocks.size())) return false;
  std::vector<unsigned char> out;
  size_t total = 16;
  for (const auto& b : blocks) total += 4 + b.size();
  if (total > static_cast<size_t>(std::numeric_limits<int>::max())) return false;
  try {
    out.reserve(total);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (uint32_t w : {0u, NowTime32(), 1u, static_cast<uint32_t>(blocks.size())}) AppendLE32(out, w);
  for (const auto& b : blocks) {
    AppendLE32(out, static_cast<uint32_t>(b.size()));
    out.insert(out.end(), b.begin(), b.end());
  }
  return SendAll(sock, out.data(), static_cast<int>(out.size()), 0) == static_cast<int>(out.size());
}

bool SendReplyCount(int sock, int32_t count) { return SendInt(sock, count) == 4; }

// ---- Rights of the caller ------------------------------------------------------------------

int IsCurrentUserAdmin() {
  const LUS* slot = GetCurrentLogonSlot();
  return slot && (slot->USERLEVEL & kUserLevelAdministrator) ? 1 : 0;
}

int CurrentUserMayConfigure(const char* env, const char* app) {
  if (IsCurrentUserAdmin()) return 1;
  if (IsServerApplication(env, app)) return 0;
  const LUS* slot = GetCurrentLogonSlot();
  if (!slot) return 0;
  const char* section = (slot->USERLEVEL & kUserLevelLiveConfig) ? "Live" : env;
  return GetUserAllowConfiguration(SlotDirectoryUserName(slot), section, app) != 0 ? 1 : 0;
}

bool IsServerApplication(const char* env, const char* app) {
  return env != nullptr && app != nullptr && EqualsNoCase(env, kLiveEnvironmentName) &&
         EqualsNoCase(app, kServerApplicationName);
}

bool IsGuestSlot(const LUS* slot) { return slot && slot->userUID == kGuestSlotUserUID; }

// ---- Time stamps -----------------------------------------------------------------------------

bool ClientCopyIsCurrent(int32_t clientStamp, uint32_t dataTime) {
  return clientStamp >= static_cast<int32_t>(dataTime);
}

// ---- Formatted text to a client --------------------------------------------------------------

void SetFormattedReplySocket(int sock) {
  FiberLocal(kFormattedReplyLocal) = sock < 0 ? 0 : static_cast<uintptr_t>(sock) + 1;
}

int SendFormattedToClient(const char* format, ...) {
  char text[kFormattedReplyBytes];
  va_list ap;
  va_start(ap, format);
  int n = format != nullptr ? vsnprintf(text, sizeof text, format, ap) : -1;  // no format: the empty text
  va_end(ap);
  if (n < 0) text[0] = '\0';
  const uintptr_t word = FiberLocal(kFormattedReplyLocal);
  const int sock = word == 0 ? -1 : static_cast<int>(word - 1);
  return SendString(sock, WireText(static_cast<const char*>(text))) == WIRE_OK ? 0 : -1;
}
