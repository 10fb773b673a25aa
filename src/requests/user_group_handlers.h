// The user and group requests: counts, one record by index or by name, the
// whole list against the client's time stamp, adds, replacements, deletes and
// the administrators' password setting. Each handler reads its arguments from
// the connection, checks the caller through the handler conventions, calls the
// directory store, saves, and writes its reply words.
// Requests layer: calls the handler conventions, the directory store, the wire
// primitives, the password hashing, the server settings and the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct UserStruct;
struct GroupStruct;

// ---- Users (every handler is given the connection's socket) -------------------------------

int IPGetUserCount(int sock);            // 6500
int IPGetUserN(int sock);                // 6501
int IPGetAllUsers(int sock);             // 6502
int IPGetNamedUser(int sock);            // 6503
int IPAddUser(int sock);                 // 6504 (admin)
int IPUpdateUser(int sock);              // 6505 (admin)
int IPDeleteUser(int sock);              // 6506 (admin)
int IPAddUserNoAdminCheck(int sock);     // 6507 (not guest)
int IPDeleteUserNoAdminCheck(int sock);  // 6508 (not guest; an administrator only by one)
int IPSetUserPasswordV2(int sock);       // 6654 (admin)
// The legacy-hash password setter (admin): user name, then the 32-bit hash
// as a wire integer. No message ID leads here.
int IPSetUserPassword(int sock);

// ---- Groups ----------------------------------------------------------------------------

int IPGetGroupCount(int sock);   // 6607
int IPGetGroupN(int sock);       // 6608
int IPGetAllGroups(int sock);    // 6609
int IPGetNamedGroup(int sock);   // 6610
int IPAddGroup(int sock);        // 6611 (not guest)
int IPUpdateGroup(int sock);     // 6612 (not guest)
int IPDeleteGroup(int sock);     // 6613 (not guest)

// ---- Single blocks -----------------------------------------------------------------------

// Results of PutUser and PutGroup.
enum PutRecordResult : int {
  PUT_RECORD_SENT = 0,       // the reply went out whole
  PUT_RECORD_NO_BLOCK = 1,   // no block could be made (with status, 1 was sent)
  PUT_RECORD_NO_RECORD = 2,  // no record (with status, 2 was sent)
  PUT_RECORD_SEND_FAILED = 4,
};

// Sends one record's block: with status the words 0 and the size and then
// the block, without status the size and the block. The block is built
// before anything is sent, so a block that cannot be made is still answered
// with the single word 1. The words and the block go out in one send.
// PutUser hides the user's password hashes unless the caller may see them
// (CallerMaySeePasswordHashes).
int PutUser(int sock, UserStruct* user, bool withStatus);
int PutGroup(int sock, const GroupStruct* group, bool withStatus);

// ---- Password hashes in user blocks ----------------------------------------------------

// True when the current caller may receive `user`'s password hashes: an
// administrator, a server connection, or the user itself (same UID).
// Every other caller (guest included) gets PASSWORD 0 and no PASSWORDV2.
bool CallerMaySeePasswordHashes(const UserStruct& user);

// True when the current caller may receive every user's password hashes: an
// administrator or a server connection.
bool CallerMaySeeEveryPasswordHash();

// Rewrites a block made by ConvertUserToTransportBlock in place: PASSWORD
// becomes 0 and PASSWORDV2 an absent string. False (block unchanged) when
// the block does not hold the strings it announces.
bool HidePasswordHashesInUserBlock(std::vector<unsigned char>& block);

// Where the PASSWORDV2 string of a user block lies: its length word at `at`,
// its last byte just before `end`.
struct PasswordV2Place {
  size_t at = 0;
  size_t end = 0;
};
// True with the place; false when the block does not hold the strings
// before it and it.
bool FindPasswordV2(const unsigned char* block, size_t size, PasswordV2Place* place);
