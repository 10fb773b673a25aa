// The directory XML requests: users, one user, the users of an application,
// per-user settings subtrees, sections and single settings, and groups.xml,
// read and replaced as XML text. Each handler reads its arguments, checks
// the caller, calls the directory store and writes its reply words.
// Requests layer: calls the handler conventions, the self-service rule, the
// directory store, the wire primitives, the server settings and the log.
#pragma once

#include <cstdint>

struct ConnectionRecord;

// Rights in brief (a caller is the current logon slot):
//   - administrators (level bit 0x8000) may do everything here;
//   - 6639, 6640, 6641, 6655, 6661, 6682 are for administrators only (49);
//   - 6650-6652 and 6664 change another user only for an administrator; a
//     caller that is not a guest may change its own user (the record the
//     name resolves to has the slot's user UID), but never its LEVEL,
//     ADUSER, UID, PASSWORD, PASSWORDV2 or GROUPLIST, and its settings only
//     as the self-service rule allows;
//   - 6674 and 6686/6687 refuse a guest slot; 6674 and 6687 of a caller that
//     is not an administrator follow the self-service rule (no delete of the
//     section "Live");
//   - the getters 6637, 6648, 6649 and 6660 give a caller that may not see a
//     user's password hashes (CallerMaySeePasswordHashes) the documents
//     without that user's PASSWORD, PASSWORDV2 and password history.

int IPGetUserSettingsXML(int sock);                     // 6637
int IPGetUserSettingsXMLOld(int sock);                  // 6637 without its log lines (no message ID)
int IPSetUserSettingsXML(int sock);                     // 6639 (admin)
int IPAddUserEnv(int sock);                             // 6640 (admin)
int IPDeleteUserEnv(int sock);                          // 6641 (admin)
int IPGetUsersXML(int sock);                            // 6648
int IPGetUserXML(ConnectionRecord* conn);               // 6649
int IPSetUserXML(int sock, int32_t messageID);          // 6650 update, 6651 settings, 6652 replace
int IPSetUsersXML(int sock);                            // 6655 (admin)
int IPGetAppUsersXML(int sock);                         // 6660
int IPSetUserAppSetting(int sock);                      // 6661 (admin)
int IPSetUserAppBranchXML(int sock);                    // 6664
int IPSetCurUserAppBranchXML(ConnectionRecord* conn);   // 6674 (own user, not guest)
int IPGetGroupsXML(int sock);                           // 6681
int IPSetGroupsXML(int sock);                           // 6682 (admin)
int IPAddUserEnvNoAdminCheck(int sock);                 // 6686 (not guest)
int IPDeleteUserEnvNoAdminCheck(int sock);              // 6687 (not guest)

// The message IDs IPSetUserXML tells apart.
constexpr int32_t kMsgUpdateUserXML = 6650;
constexpr int32_t kMsgSetUserDataXML = 6651;
constexpr int32_t kMsgReplaceUserXML = 6652;

// The check IPSetUserXML makes before a caller without the administration
// bit changes its own record `self` with `text` for `messageID`: 0 when the
// change keeps LEVEL, ADUSER, UID (6650 may leave it out), PASSWORD,
// PASSWORDV2 and GROUPLIST as they are and its settings within the
// self-service rule; 49 otherwise; 20 when the text does not parse; 2 when
// its element is not the one the message takes (USER, or USERDATA for 6651).
struct UserStruct;
int CheckOwnUserXML(int32_t messageID, const UserStruct& self, const char* text);
