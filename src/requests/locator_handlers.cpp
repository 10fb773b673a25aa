// The server locator handlers (6683, 6684) and the adjustment of requested
// tags by a user's ServerTagList.
// Requests layer: calls the handler conventions, the server lists (config),
// the per-user settings (directory), the slot lookup (sessions) and the log.
#include "requests/locator_handlers.h"

#include <new>
#include <vector>

#include "config/server_lists.h"
#include "directory/user_settings.h"
#include "foundation/log/ring_log.h"
#include "foundation/util/util.h"
#include "requests/handler_conventions.h"
#include "sessions/connection_table.h"
#include "sessions/logon_slots.h"

namespace {

constexpr const char kGuestUserName[] = "guest";

// A received text for a log line: never a null for %s.
const char* LogText(const std::optional<std::string>& text) { return text ? text->c_str() : ""; }

// A received text for the store calls: null for an absent string.
const char* ArgText(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

// Appends `piece` to `out` (after a ',' unless `out` is empty), or gives
// false, changing nothing, when the text would pass kMaxAdjustedTagsLength.
bool AppendTag(std::string& out, std::string_view piece) {
  size_t needed = out.size() + (out.empty() ? 0 : 1) + piece.size();
  if (needed > kMaxAdjustedTagsLength) {
    WriteLog(1, "ModifyTags:Adjusted tags would pass %d bytes, stopping",
             static_cast<int>(kMaxAdjustedTagsLength));
    return false;
  }
  if (!out.empty()) out += ',';
  out += piece;
  return true;
}

// One replacement entry: every tag of `result` equal to `from` (without
// regard to case) becomes `to`, empty tags are dropped, the rest joined by
// ','. False (result unchanged) when the rebuilt text would be too long.
bool ReplaceTags(std::string& result, std::string_view from, std::string_view to) {
  std::string rebuilt;
  std::optional<std::string_view> remaining = std::string_view(result);
  while (remaining) {
    std::optional<std::string_view> after;
    std::optional<std::string_view> tag = GetNextTag(remaining, &after);
    remaining = after;
    std::string_view kept = EqualsNoCase(*tag, from) ? to : *tag;
    if (kept.empty()) continue;
    if (!AppendTag(rebuilt, kept)) return false;
  }
  result = std::move(rebuilt);
  return true;
}

// Reads one string argument of 6683 under the bound of requests that need no
// logon. False when the handler ends: *code is then its result.
bool RecvFindServerArg(int sock, std::optional<std::string>& text, int* code) {
  WireStatus status = WIRE_OK;
  bool tooLong = false;
  text = RecvBoundedString(sock, kMaxNoLogonStringLength, &status, &tooLong);
  if (status == WIRE_OK) return true;
  *code = tooLong ? static_cast<int>(FR_CLOSE_CONNECTION) : static_cast<int>(status);
  return false;
}

// The caller's ServerTagList for env/app: the user named "guest" for a guest
// slot, else the slot's USERNAME. None without a slot or on any failed lookup.
std::optional<std::string> CallerServerTagList(const ConnectionRecord* conn,
                                               const std::optional<std::string>& env,
                                               const std::optional<std::string>& app) {
  if (conn == nullptr) return std::nullopt;
  const LUS* slot = FindLUSByLogonUID(conn->logonUID);
  if (slot == nullptr) return std::nullopt;
  const char* user = IsGuestSlot(slot) ? kGuestUserName : (slot->USERNAME ? slot->USERNAME->c_str() : nullptr);
  if (user == nullptr) return std::nullopt;
  int failReason = 0;
  std::optional<std::string> list = GetUserSetting(user, ArgText(env), ArgText(app), kServerTagListSetting, &failReason);
  if (failReason != FR_OK) return std::nullopt;
  return list;
}

// The found server's reply in one run: 0, the port, the host as a wire string.
std::vector<unsigned char> FoundServerReply(int32_t port, const std::string& host) {
  std::vector<unsigned char> reply;
  reply.reserve(12 + host.size() + 1);
  AppendLE32(reply, 0);
  AppendLE32(reply, static_cast<uint32_t>(port));
  AppendLE32(reply, static_cast<uint32_t>(host.size() + 1));
  reply.insert(reply.end(), host.begin(), host.end());
  reply.push_back('\0');
  return reply;
}

}  // namespace

// ---- Adjusting the requested tags ------------------------------------------------------

std::optional<std::string_view> GetNextTag(std::optional<std::string_view> text,
                                           std::optional<std::string_view>* rest) {
  if (!text) return std::nullopt;
  size_t comma = text->find(',');
  std::string_view item = text->substr(0, comma);
  if (rest != nullptr) {
    if (comma == std::string_view::npos) {
      rest->reset();
    } else {
      *rest = text->substr(comma + 1);
    }
  }
  return TrimBlanks(item);
}

std::optional<std::string> ModifyTags(std::optional<std::string> tags,
                                      std::optional<std::string> userList) {
  if (!userList || userList->empty()) return tags;
  std::string result;
  try {
    if (tags) result = std::move(*tags);
    std::optional<std::string_view> remaining = std::string_view(*userList);
    while (remaining) {
      std::optional<std::string_view> after;
      std::string_view entry = *GetNextTag(remaining, &after);
      remaining = after;
      if (entry.empty()) continue;  // "A,,B" or a trailing comma: nothing to do
      if (entry.front() != '/') {
        // A plain tag joins only a result that asks for something already.
        if (!result.empty() && !AppendTag(result, entry)) break;
        continue;
      }
      size_t second = entry.find('/', 1);
      if (second == std::string_view::npos) {
        WriteLog(1, "ModifyTags:Failed to find replace slash");
        break;
      }
      size_t third = entry.find('/', second + 1);
      if (third == std::string_view::npos) {
        WriteLog(1, "ModifyTags:Failed to find end slash");
        break;
      }
      std::string_view from = entry.substr(1, second - 1);
      std::string_view to = entry.substr(second + 1, third - second - 1);
      if (!ReplaceTags(result, from, to)) break;
    }
  } catch (const std::bad_alloc&) {
    WriteLog(1, "ModifyTags:Failed to create copy of results");
  }
  return result;
}

// ---- Handlers ---------------------------------------------------------------------------

int IPFindServer(int sock, ConnectionRecord* conn) {
  std::optional<std::string> env;
  std::optional<std::string> app;
  std::optional<std::string> tags;
  int code = FR_OK;
  if (!RecvFindServerArg(sock, env, &code) || !RecvFindServerArg(sock, app, &code) ||
      !RecvFindServerArg(sock, tags, &code)) {
    return code;
  }
  WriteLog(0, "IPFindServer:E=%s A=%s, T=%s", LogText(env), LogText(app), LogText(tags));

  tags = ModifyTags(std::move(tags), CallerServerTagList(conn, env, app));
  WriteLog(0, "IPFindServer:After modify tags T=%s", LogText(tags));

  int32_t port = 0;
  std::optional<std::string> host = FindServer(ArgText(env), ArgText(app), ArgText(tags), port);
  if (!host) {
    WriteLog(0, "IPFindServer:No server found");
    if (!SendReplyStatus(sock, FR_NODE_NOT_FOUND)) {
      WriteLog(1, "IPFindServer:Error sending server not found result to client");
    }
    return FR_NODE_NOT_FOUND;
  }
  WriteLog(0, "IPFindServer:Found server %s (%d)", host->c_str(), port);
  std::vector<unsigned char> reply = FoundServerReply(port, *host);
  int sent = SendAll(sock, reply.data(), static_cast<int>(reply.size()), 0);
  if (sent != static_cast<int>(reply.size())) {
    // Whether the status word itself went out decides which failure it was.
    WriteLog(1, sent < 4 ? "IPFindServer:Error sending ok result to client"
                         : "IPFindServer:Error sending results to client");
    return FR_COMMS_ERROR;
  }
  return FR_OK;
}

int IPFindServers(int sock) {
  WireStatus status = WIRE_OK;
  std::optional<std::string> env = RecvArgString(sock, &status);
  if (status != WIRE_OK) return status;
  std::optional<std::string> app = RecvArgString(sock, &status);
  if (status != WIRE_OK) return status;
  std::optional<std::string> tags = RecvArgString(sock, &status);
  if (status != WIRE_OK) return status;
  int32_t returnMultiple = 0;
  if (!RecvArgInt(sock, &returnMultiple)) {
    WriteLog(1, "IPFindServers:Error getting return multiple flag from client");
    return FR_COMMS_ERROR;
  }
  std::optional<std::string> xml = FindServersXML(ArgText(env), ArgText(app), ArgText(tags), returnMultiple != 0);
  if (SendString(sock, xml) != WIRE_OK) {
    WriteLog(1, "IPFindServers:Error sending results to client");
    return FR_COMMS_ERROR;
  }
  return FR_OK;
}
