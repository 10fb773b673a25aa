// The message table as data: one section per handler family, each a comment
// line and the family's rows in ID order. The rows are sorted by ID once, at
// compile time, for the bisection of FindMessageEntry; a duplicated ID does
// not compile. A family whose handlers are not built has no rows yet: its IDs
// take the dispatcher's unknown-ID path.
// Requests layer: names the handlers of every family; calls nothing itself.
#include "requests/message_table.h"

#include <algorithm>
#include <array>

#include "requests/config_handlers.h"
#include "requests/counter_handlers.h"
#include "requests/directory_xml_handlers.h"
#include "requests/locator_handlers.h"
#include "requests/own_user_handlers.h"
#include "requests/server_info_handlers.h"
#include "requests/session_handlers.h"
#include "requests/settings_xml_handlers.h"
#include "requests/user_group_handlers.h"

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
    Row(6500, IPGetUserCount, kLogon, "IPGetUserCount"),
    Row(6501, IPGetUserN, kLogon, "IPGetUserN"),
    Row(6502, IPGetAllUsers, kLogon, "IPGetAllUsers"),
    Row(6503, IPGetNamedUser, kLogon, "IPGetNamedUser"),
    Row(6504, IPAddUser, kLogon, "IPAddUser"),
    Row(6505, IPUpdateUser, kLogon, "IPUpdateUser"),
    Row(6506, IPDeleteUser, kLogon, "IPDeleteUser"),
    Row(6507, IPAddUserNoAdminCheck, kLogon, "IPAddUserNoAdminCheck"),
    Row(6508, IPDeleteUserNoAdminCheck, kLogon, "IPDeleteUserNoAdminCheck"),
    Row(6607, IPGetGroupCount, kLogon, "IPGetGroupCount"),
    Row(6608, IPGetGroupN, kLogon, "IPGetGroupN"),
    Row(6609, IPGetAllGroups, kLogon, "IPGetAllGroups"),
    Row(6610, IPGetNamedGroup, kLogon, "IPGetNamedGroup"),
    Row(6611, IPAddGroup, kLogon, "IPAddGroup"),
    Row(6612, IPUpdateGroup, kLogon, "IPUpdateGroup"),
    Row(6613, IPDeleteGroup, kLogon, "IPDeleteGroup"),
    Row(6654, IPSetUserPasswordV2, kLogon, "IPSetUserPasswordV2"),

    // Configuration handlers
    Row(6614, IPGetEnvNameList, kLogon, "IPGetEnvNameList"),
    Row(6615, IPAddEnvironment, kLogon, "IPAddEnvironment"),
    Row(6616, IPAddApplicationToEnvironment, kLogon, "IPAddApplicationToEnvironment"),
    Row(6617, IPGetApp, kLogon, "IPGetApp"),
    Row(6618, IPGetAppNameListForEnv, kLogon, "IPGetAppNameListForEnv"),
    Row(6619, IPSetParamValueFromString, kLogon, "IPSetParamValueFromString"),
    Row(6620, IPGetParamTreeNode, kLogon, "IPGetParamTreeNode"),
    Row(6621, IPDeleteSetting, kLogon, "IPDeleteSetting"),
    Row(6622, IPGetParamTree, kLogon, "IPGetParamTree"),
    Row(6623, IPDeleteApplication, kLogon, "IPDeleteApplication"),
    Row(6624, IPDeleteEnvironment, kLogon, "IPDeleteEnvironment"),

    // Settings-file, schema and server-list XML handlers
    Row(6642, IPSetApplicationSchemaVersion, kLogon, "IPSetApplicationSchemaVersion"),
    Row(6643, IPGetApplicationSchema, kLogon, "IPGetApplicationSchema"),
    Row(6644, IPGetSchemaList, kLogon, "IPGetSchemaList"),
    Row(6645, IPGetMasterEnvXML, kLogon, "IPGetMasterEnvXML"),
    Row(6646, IPGetEnvAppXML, kLogon, "IPGetEnvAppXML"),
    Row(6647, IPSetEnvAppXML, kLogon, "IPSetEnvAppXML"),
    Row(6653, IPSetApplicationSchema, kLogon, "IPSetApplicationSchema"),
    Row(6656, IPGetEnvDescription, kLogon, "IPGetEnvDescription"),
    Row(6657, IPSetEnvDescription, kLogon, "IPSetEnvDescription"),
    Row(6675, IPGetAppServerListXML, kLogon, "IPGetAppServerListXML"),
    Row(6676, IPSetAppServerListXML, kLogon, "IPSetAppServerListXML"),

    // Own-user handlers
    Row(6625, IPSetCurUserField, kLogon, "IPSetCurUserField"),
    Row(6626, IPGetCurUserField, kLogon, "IPGetCurUserField"),
    Row(6629, IPGetCurUserDetails, kLogon, "IPGetCurUserDetails"),
    Row(6630, IPSetCurUserPassword, kLogon, "IPSetCurUserPassword"),
    Row(6636, IPGetUserNameForSID, kLogon, "IPGetUserNameForSID"),
    Row(6666, IPGetCurUserDefaultEnv, kLogon, "IPGetCurUserDefaultEnv"),
    Row(6667, IPSetCurUserDefaultEnv, kLogon, "IPSetCurUserDefaultEnv"),
    Row(6668, IPGetCurUserDefaultLang, kLogon, "IPGetCurUserDefaultLang"),
    Row(6669, IPSetCurUserDefaultLang, kLogon, "IPSetCurUserDefaultLang"),
    Row(6670, IPGetCurUserFieldEx, kLogon, "IPGetCurUserFieldEx"),
    Row(6671, IPGetSIDEnv, kLogon, "IPGetSIDEnv"),
    Row(6673, IPSetCurEnv, kLogon, "IPSetCurEnv"),

    // Directory XML handlers
    Row(6637, IPGetUserSettingsXML, kLogon, "IPGetUserSettingsXML"),
    Row(6639, IPSetUserSettingsXML, kLogon, "IPSetUserSettingsXML"),
    Row(6640, IPAddUserEnv, kLogon, "IPAddUserEnv"),
    Row(6641, IPDeleteUserEnv, kLogon, "IPDeleteUserEnv"),
    Row(6648, IPGetUsersXML, kLogon, "IPGetUsersXML"),
    Row(6649, IPGetUserXML, kLogon, "IPGetUserXML"),
    Row(6650, IPSetUserXML, kLogon, "IPSetUserXML"),
    Row(6651, IPSetUserXML, kLogon, "IPSetUserXML"),
    Row(6652, IPSetUserXML, kLogon, "IPSetUserXML"),
    Row(6655, IPSetUsersXML, kLogon, "IPSetUsersXML"),
    Row(6660, IPGetAppUsersXML, kLogon, "IPGetAppUsersXML"),
    Row(6661, IPSetUserAppSetting, kLogon, "IPSetUserAppSetting"),
    Row(6664, IPSetUserAppBranchXML, kLogon, "IPSetUserAppBranchXML"),
    Row(6674, IPSetCurUserAppBranchXML, kLogon, "IPSetCurUserAppBranchXML"),
    Row(6681, IPGetGroupsXML, kLogon, "IPGetGroupsXML"),
    Row(6682, IPSetGroupsXML, kLogon, "IPSetGroupsXML"),
    Row(6686, IPAddUserEnvNoAdminCheck, kLogon, "IPAddUserEnvNoAdminCheck"),
    Row(6687, IPDeleteUserEnvNoAdminCheck, kLogon, "IPDeleteUserEnvNoAdminCheck"),

    // Server locator
    Row(6683, IPFindServer, kNoLogon, "IPFindServer"),
    Row(6684, IPFindServers, kLogon, "IPFindServers"),

    // VozozUdade counters
    Row(6631, IPIncrementGreenDataValues, kLogon, "IPIncrementGreenDataValues"),
    Row(6632, IPSetGreenDataValues, kLogon, "IPSetGreenDataValues"),
    Row(6633, IPGetGreenDataValues, kLogon, "IPGetGreenDataValues"),
    Row(6634, IPInitGreenData, kLogon, "IPInitGreenData"),
    Row(6635, IPResetGreenAdHocCounts, kLogon, "IPResetGreenAdHocCounts"),

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
