// Logoff, kicks, the sanity check, closing idle connections, the TOKENINFO
// document and the missing-logon dump.
// Sessions layer: calls the slots, the connection table, the slot-operations
// log, the log, the XML escape and the platform socket close.
#include "sessions/session_admin.h"

#include <cstdio>
#include <new>

#include "directory/user_settings.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/xml/xml_escape.h"
#include "platform/socket_io.h"
#include "sessions/connection_table.h"
#include "sessions/logon_slots.h"
#include "sessions/lus_log.h"

namespace {

const char* NameOrEmpty(const std::optional<std::string>& text) { return text ? text->c_str() : ""; }

constexpr uint32_t kSecondsPerMinute = 60;
constexpr uint32_t kSecondsPerHour = 3600;
constexpr uint32_t kSecondsPerDay = 86400;

constexpr size_t kTokenInfoInitialBytes = 50000;

bool IsAtoiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads [white space][sign]digits from `text` at *pos as atoi would, without
// overflow (a value past 2^40 in size stops growing). False when no digit
// follows; *pos then is unspecified.
bool ReadDecimal(std::string_view text, size_t* pos, int64_t* value) {
  size_t p = *pos;
  while (p < text.size() && IsAtoiSpace(text[p])) ++p;
  bool negative = false;
  if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
  size_t digitsStart = p;
  int64_t v = 0;
  for (; p < text.size() && text[p] >= '0' && text[p] <= '9'; ++p) {
    if (v < (int64_t{1} << 40)) v = v * 10 + (text[p] - '0');
  }
  if (p == digitsStart) return false;
  *value = negative ? -v : v;
  *pos = p;
  return true;
}

}  // namespace

// ---- Logoff ----------------------------------------------------------------------------

bool LUSMatches(uint32_t logonUID, uint32_t sid, const LUS* slot) {
  if (!slot) return false;
  if (sid != 0) return slot->SID == sid;
  if (logonUID != 0) return slot->logonUID == logonUID;
  return false;
}

int DoLogoff(uint32_t logonUID, uint32_t sid, int32_t match) {
  for (int i = 0; i < GetLUSCount(); ++i) {
    if (LUSMatches(logonUID, sid, GetLUSByIndex(i))) {
      RemoveClientsFromLUS(i, match);
      return FR_OK;
    }
  }
  WriteLUSLogF(1, "DoLogoff:Unable to find slot for logonUID=%08x, sid=%08x, cid=%d", logonUID, sid, match);
  WriteLog(0, "DoLogoff:Warning - Unable to find logon token specified");
  return FR_FAILED;
}

void LogoffConnection(ConnectionRecord* conn) {
  if (!conn || conn->logonUID == 0) return;
  DoLogoff(conn->logonUID, 0, conn->clientID);
  conn->logonUID = 0;
}

// ---- Kicks -------------------------------------------------------------------------------

void KickUser(uint32_t logonUID, int32_t clientID) {
  // Taken once: freeing slots moves them, the caller's too.
  const LUS* caller = GetCurrentLogonSlot();
  const uint32_t callerUID = caller ? caller->logonUID : 0;
  int i = 0;
  while (i < GetLUSCount()) {
    LUS* slot = GetLUSByIndex(i);
    if ((callerUID != 0 && slot->logonUID == callerUID) || (logonUID != 0 && slot->logonUID != logonUID)) {
      ++i;
      continue;
    }
    if (clientID != 0) {
      WriteLUSLogF(1, "KickUser:KickCID(%d)", clientID);
      RemoveMatchingSessions(slot, clientID, true);
      if (!slot->sessions.empty()) {
        ++i;
        continue;
      }
    }
    FreeLUSSlot(i);  // the last slot moved into i: examine i again
  }
}

bool ParseKickLine(std::string_view line, uint32_t* logonUID, int32_t* clientID) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view uidPart = line.substr(0, colon);
  std::string_view cidPart = line.substr(colon + 1);
  if (!cidPart.empty() && cidPart.back() == '\r') cidPart.remove_suffix(1);
  size_t pos = 0;
  int64_t uid = 0;
  if (!ReadDecimal(uidPart, &pos, &uid) || pos != uidPart.size()) return false;
  pos = 0;
  int64_t cid = 0;
  if (!ReadDecimal(cidPart, &pos, &cid) || pos != cidPart.size()) return false;
  // Negative logon UIDs wrap as atoi's int would; anything beyond 32 bits is no logon UID.
  if (uid < INT32_MIN || uid > static_cast<int64_t>(UINT32_MAX)) return false;
  if (cid < INT32_MIN || cid > INT32_MAX) return false;
  *logonUID = static_cast<uint32_t>(uid);
  *clientID = static_cast<int32_t>(cid);
  return true;
}

int KickUsersFromList(const char* text) {
  if (!text) return FR_INVALID_PARAMETER;
  std::string_view rest(text);
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    uint32_t logonUID = 0;
    int32_t clientID = 0;
    if (ParseKickLine(line, &logonUID, &clientID)) KickUser(logonUID, clientID);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return FR_OK;
}

// ---- Sanity check and idle connections ---------------------------------------------------------

void MarkSlotsCarriedByConnections() {
  for (int i = 0; i < GetLUSCount(); ++i) GetLUSByIndex(i)->FOUND = 0;
  for (int c = 0; c < GetConnectionCount(); ++c) {
    LUS* slot = FindLUSByLogonUID(GetConnectionByIndex(c)->logonUID);
    if (slot) slot->FOUND = 1;
  }
}

void SanityCheckTokens() {
  WriteLog(0, "SanityCheckTokens");
  MarkSlotsCarriedByConnections();
  int i = 0;
  while (i < GetLUSCount()) {
    const LUS* slot = GetLUSByIndex(i);
    if (slot->FOUND) {
      ++i;
      continue;
    }
    char line[512];
    snprintf(line, sizeof line, "SanityCheckTokens:About to kill %d, %s, %d, cc=%d", i, NameOrEmpty(slot->USERNAME),
             static_cast<int>(slot->logonUID), slot->CC);
    WriteLog(0, "%s", line);
    WriteLUSLog(line, 1);
    FreeLUSSlot(i);  // the last slot moved into i: examine i again
  }
}

uint32_t IdleAgeSeconds(const char* text) {
  if (!text) return kSecondsPerDay;
  uint32_t unit = 0;
  switch (text[0]) {
    case 'M': unit = kSecondsPerMinute; break;
    case 'H': unit = kSecondsPerHour; break;
    case 'D': unit = kSecondsPerDay; break;
    default: return kSecondsPerDay;
  }
  return static_cast<uint32_t>(SettingTextToInt(text + 1)) * unit;
}

int CloseIdleConnections(uint32_t cutoff, int requestingSocket) {
  int i = 0;
  while (i < GetConnectionCount()) {
    const ConnectionRecord* entry = GetConnectionByIndex(i);
    if (static_cast<int32_t>(entry->lastUsed) < static_cast<int32_t>(cutoff) && entry->socket != requestingSocket) {
      SocketClose(entry->socket);
      RemoveConnection(i);  // the last entry moved into i: examine i again
      continue;
    }
    ++i;
  }
  return FR_OK;
}

// ---- TOKENINFO ----------------------------------------------------------------------------------

int GetLUSXML(const LUS* slot, std::string& out) {
  if (!slot) return FR_INVALID_PARAMETER;
  char words[256];
  snprintf(words, sizeof words, "<LUS><UID>%08X</UID><CC>%d</CC><ISAUTH>%d</ISAUTH><AUTHTYPE>%d</AUTHTYPE><USERNAME>",
           slot->logonUID, slot->CC, slot->ISAUTH, slot->AUTHTYPE);
  out += words;
  if (slot->USERNAME) AppendXMLEscaped(out, *slot->USERNAME);
  snprintf(words, sizeof words, "</USERNAME><USERLEVEL>%d</USERLEVEL><GUEST>%d</GUEST><ENVNAME>",
           static_cast<int>(slot->USERLEVEL), slot->GUEST);
  out += words;
  if (slot->ENVNAME) AppendXMLEscaped(out, *slot->ENVNAME);
  out += "</ENVNAME><SLOTS>";
  for (const SLS& session : slot->sessions) {
    snprintf(words, sizeof words, "<SLS>%d</SLS>", session.CID);
    out += words;
  }
  snprintf(words, sizeof words, "</SLOTS><FOUND>%d</FOUND><LASTUSED>", slot->FOUND);
  out += words;
  out += FormatLocalTime(slot->LASTUSED, kLocalTimeStampFormat);
  out += "</LASTUSED></LUS>\n";
  return FR_OK;
}

std::optional<std::string> GetLUSArrayXML(const LUS* /*callerSlot*/, int* failReason) {
  int ignored = 0;
  if (!failReason) failReason = &ignored;
  *failReason = FR_OK;
  MarkSlotsCarriedByConnections();
  std::string doc;
  try {
    doc.reserve(kTokenInfoInitialBytes);
    char head[128];
    snprintf(head, sizeof head, "<TOKENINFO>\n<MAXCON>%d</MAXCON>\n<LUSCOUNT>%d</LUSCOUNT>\n", MAXCON, GetLUSCount());
    doc += head;
    for (int i = 0; i < GetLUSCount(); ++i) GetLUSXML(GetLUSByIndex(i), doc);
    doc += "</TOKENINFO>";
  } catch (const std::bad_alloc&) {
    WriteLog(1, "GetLUSArrayXML:Could not allocate %d bytes for buffer", static_cast<int>(doc.capacity() * 2));
    *failReason = FR_NO_MEMORY;
    return std::nullopt;
  }
  return doc;
}

// ---- Missing logon --------------------------------------------------------------------------------

void DumpMissingAuth(uint32_t logonUID) {
  WriteLog(0, "DumpMissingAuth:LogonUID to find was %08x", logonUID);
  WriteLog(0, "LUSCount=%d", GetLUSCount());
  for (int i = 0; i < GetLUSCount(); ++i) {
    const LUS* slot = GetLUSByIndex(i);
    WriteLog(0, "LUS[%d] = %s, uid=%08x", i, NameOrEmpty(slot->USERNAME), slot->logonUID);
    for (const SLS& session : slot->sessions) WriteLog(0, "\t\tSLS - CID=%d", session.CID);
    WriteLog(0, "END LUS[%d]", i);
  }
}
