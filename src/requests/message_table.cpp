// The message table as data: one section per handler family, each a comment
// line and the family's rows in ID order. The rows are sorted by ID once, at
// compile time, for the bisection of FindMessageEntry; a duplicated ID does
// not compile. A family whose handlers are not built has no rows yet: its IDs
// take the dispatcher's unknown-ID path.
// Requests layer: names the handlers of every family; calls nothing itself.
#include "requests/message_table.h"

#include <algorithm>
#include <array>

#include "requests/server_info_handlers.h"
#include "requests/session_handlers.h"

namespace {

constexpr bool kLogon = true;     // type-0 requests need the connection's own authenticated logon
constexpr bool kNoLogon = false;  // accepted on any connection

constexpr MessageTableEntry Row(int32_t id, std::nullptr_t, bool logon, const char* name) {
  return {id, HandlerGiven::kNothing, logon, name, nullptr, nullptr, nullptr, nullptr};
}
constexpr MessageTableEntry Row(int32_t id, SocketHandler fn, bool logon, const char* name) {
  return {id, HandlerGiven::kSocket, logon, name, fn, nullptr, nullptr, nullptr};
}
constexpr MessageTableEntry Row(int32_t id, ConnectionHandler fn, bool logon, const char* name) {
  return {id, HandlerGiven::kConnection, logon, name, nullptr, fn, nullptr, nullptr};
}
constexpr MessageTableEntry Row(int32_t id, SocketAndMessageIDHandler fn, bool logon,
                                const char* name) {
  return {id, HandlerGiven::kSocketAndMessageID, logon, name, nullptr, nullptr, fn, nullptr};
}
constexpr MessageTableEntry Row(int32_t id, SocketAndConnectionHandler fn, bool logon,
                                const char* name) {
  return {id, HandlerGiven::kSocketAndConnection, logon, name, nullptr, nullptr, nullptr, fn};
}

constexpr MessageTableEntry kFamilyRows[] = {
    // The logon: the request reader performed it and replied; the dispatcher only logs its duration.
    Row(6003, nullptr, kNoLogon, "LogonCommand"),

    // Session administration
    Row(6004, IPLogoff, kLogon, "IPLogoff"),
    Row(6662, IPLogoffOther, kNoLogon, "IPLogoffOther"),
    Row(6677, IPGetLUSArrayXML, kLogon, "IPGetLUSArrayXML"),
    Row(6678, IPSanityCheckTokens, kLogon, "IPSanityCheckTokens"),
    Row(6679, IPCloseIdleConnections, kLogon, "IPCloseIdleConnections"),
    Row(6680, IPKickUsers, kLogon, "IPKickUsers"),
    Row(6685, IPLogoffClient, kLogon, "IPLogoffClient"),

    // User and group handlers

    // Configuration handlers

    // Settings-file, schema and server-list XML handlers

    // Own-user handlers

    // Directory XML handlers

    // Server locator

    // VozozUdade counters

    // Server information
    Row(6606, IPGetNewNodeID, kLogon, "IPGetNewNodeID"),
    Row(6627, IPGetServerInformation, kLogon, "IPGetServerInformation"),
    Row(6628, IPGetServerVer, kNoLogon, "IPGetServerVer"),
    Row(6663, IPGetPWRules, kNoLogon, "IPGetPWRules"),
    Row(6665, IPSetPWRules, kLogon, "IPSetPWRules"),
};

constexpr size_t kRowCount = std::size(kFamilyRows);

constexpr std::array<MessageTableEntry, kRowCount> SortedByID() {
  std::array<MessageTableEntry, kRowCount> rows{};
  std::copy(std::begin(kFamilyRows), std::end(kFamilyRows), rows.begin());
  std::sort(rows.begin(), rows.end(),
            [](const MessageTableEntry& a, const MessageTableEntry& b) { return a.messageID < b.messageID; });
  return rows;
}

constexpr std::array<MessageTableEntry, kRowCount> kSortedRows = SortedByID();

constexpr bool EachIDOnce() {
  for (size_t i = 1; i < kRowCount; ++i) {
    if (kSortedRows[i - 1].messageID == kSortedRows[i].messageID) return false;
  }
  return true;
}
static_assert(EachIDOnce(), "a message ID has two rows in the message table");

}  // namespace

const MessageTableEntry* FindMessageEntry(int32_t messageID) {
  size_t lo = 0;
  size_t hi = kRowCount;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int32_t id = kSortedRows[mid].messageID;
    if (id == messageID) return &kSortedRows[mid];
    if (id < messageID) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return nullptr;
}

std::span<const MessageTableEntry> MessageTableRows() { return kSortedRows; }
