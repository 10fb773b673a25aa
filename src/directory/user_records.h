// The directory store's user records: UserStruct with its UserField pairs, the
// one process-wide array of users sorted by name (registered by UID in the
// node registry), the computer domain of the domain\user rule, the users
// time and the version of the records. Directory layer: calls the node
// registry and UID allocation, the utilities, the log, the clock, and the
// group lookups (groups.h) for the namespace that users and groups share.
// Writes no file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "foundation/uid/node_header.h"

struct XMLNode;  // foundation/xml: an element of the users tree

// ---- Limits and fixed names ----------------------------------------------------

constexpr int kUserArrayGrowStep = 50;   // the user array grows by this many records
constexpr int kUserFieldGrowStep = 5;    // a user's field array grows by this many pairs
constexpr size_t kMaxUserNameLength = 31;  // bytes; 32 or more is refused

constexpr uint32_t kUserLevelAdministrator = 0x8000;  // LEVEL bit: administers the server
constexpr uint32_t kUserLevelLiveConfig = 0x200;      // LEVEL bit: configuration rights from "Live"

constexpr const char kDefaultUserName[] = "default_user";  // the template of every new user

// ---- Records -------------------------------------------------------------------

// A name/value pair of a user. Both strings are owned; absent is kept apart
// from empty. In a stored record the name is always present and non-empty,
// and the pairs are sorted by name (CompareNoCase) with unique names.
struct UserField {
  std::optional<std::string> name;
  std::optional<std::string> value;
};

// One user. `header` must stay the first member: the node registry holds the
// address of the header of every user in the array (kind NODE_KIND_USER).
// The USERDATA link designates the user's settings element in the users tree;
// the record does not own it and a copy carries the same link.
struct UserStruct {
  NodeHeader header;                      // UID, kind 6, time stamp, flags, spare
  std::optional<std::string> USERNAME;    // sort key; present in every stored record
  std::optional<std::string> FORENAME;
  std::optional<std::string> SURNAME;
  std::optional<std::string> EMAIL;
  uint32_t PASSWORD = 0;                  // legacy 32-bit hash; 0: none
  std::optional<std::string> GROUPLIST;   // group names separated by ';'
  std::vector<UID> groupUIDs;             // filled only by BuildGroupArrayForUser
  std::vector<UserField> fields;          // sorted by name, unique (stored records)
  int32_t ADUSER = 0;                     // non-zero: an Active Directory user
  XMLNode* USERDATA = nullptr;            // not owned: the users tree owns it
  uint32_t LEVEL = 0;                     // kUserLevel... bits
  std::optional<std::string> PASSWORDV2;  // bcrypt hash text, or "00000000"
};
static_assert(std::is_standard_layout_v<UserStruct> && offsetof(UserStruct, header) == 0,
              "the registry hands out &header as the record");

// ---- Names ---------------------------------------------------------------------

// 1 when `name` is acceptable as a user name, else 0: not null or empty; a first
// byte that is not a control character, the space or one of ! to /; at most
// 31 bytes; none of " # + , ; < >; at most one backslash; valid UTF-8 of
// XML characters with no control character anywhere (so the name always
// reads back from the users files as it was written).
int IsValidUserName(const char* name);

// The case-insensitive order of the array and of a user's fields
// (CompareNoCase of the names; an absent name orders as the empty one).
int CompareUserNames(const UserStruct& a, const UserStruct& b);
int CompareFieldNames(const UserField& a, const UserField& b);

// ---- The computer domain (domain\user rule) ------------------------------------

// Sets the domain of the account the server runs under (the logons find it
// at start-up); null or an empty text means none. While one is set, the lookups also
// accept domain\user for an Active Directory user.
void SetComputerDomain(const char* domain);
// The domain, or null while none is set. Valid until the next SetComputerDomain.
const std::string* GetComputerDomain();

// True when `name` has the form domain\user and the part before the first
// backslash equals the computer domain without regard to case; false for a
// null or empty name, a name without a backslash and while no domain is set.
bool IsLocalDomainUserName(const char* name);

// ---- Lookups ---------------------------------------------------------------------
// Records returned stay owned by the array and are valid only until the next
// add, delete, sort or reload: use them within the request.

// Number of users in the array.
int GetUserCount();

// The record at `index` of the sorted array; null when index < 0 or >= count.
UserStruct* GetUserByIndex(int index);

// The index of the user named `name` (bisection, case-insensitive), or -1.
// Not found directly and IsLocalDomainUserName(name): the part after the
// first backslash is looked up, and its index is returned only when that
// user's ADUSER is non-zero. A stored name that itself holds the backslash is
// found by the direct search first. -1 also for a null or empty name or no
// users.
int FindUserIndex(const char* name);

// The direct search alone, without the domain rule: the index of the user
// whose stored name equals `name` without regard to case, or -1.
int FindUserIndexExact(const char* name);

// The record FindUserIndex finds, or null. GetNamedUser is the same lookup.
UserStruct* FindUser(const char* name);
UserStruct* GetNamedUser(const char* name);

// 1 when FindUserIndex finds the name (domain rule included), else 0.
int UserExists(const char* name);

// ---- A user named across a wait ----------------------------------------------------
// A request that looked a user up and then waits (for a hash, for the rest of
// its arguments) keeps no pointer to the record: other requests may delete
// the user meanwhile, or delete it and add another of the same name. It keeps
// the name and the UID it found, and finds the record again after the wait.

struct UserRef {
  std::string name;  // the record's own name (empty: none)
  uint32_t uid = 0;  // the UID it had
};

// The name and UID of `user` (empty for null).
UserRef RefOfUser(const UserStruct* user);

// The user of that name when it still has that UID; null when it is gone, or
// when the user of that name now is another (a UID that changed is a user
// that went).
UserStruct* FindUserAgain(const UserRef& ref);

// ---- Adding, replacing, deleting ---------------------------------------------------

// Why AddUser refused a user (for loaders, which skip and log some refusals
// and fail on others).
enum AddUserFailure : int {
  ADD_USER_OK = 0,
  ADD_USER_NO_NAME,       // null or empty name
  ADD_USER_NO_MEMORY,     // the array, the copy of default_user or the name
  ADD_USER_EXISTS,        // a user of that name exists (domain rule included)
  ADD_USER_GROUP_NAME,    // a group bears that name
  ADD_USER_UID_IN_USE,    // the UID given is already registered (another user's or a node's)
  ADD_USER_NO_UID,        // UID 0 given and no new UID could be issued
};

// Adds a user named `name` with `uid` (0: a new UID is issued). The new
// record is a deep copy of default_user when that user exists (forename,
// surname, e-mail, both hashes, group list, fields, ADUSER, LEVEL, header
// flags and time stamp, and default_user's USERDATA link), else empty; then
// it takes the name, kind 6 and the UID, is inserted at its sorted place and
// registered. The name check (IsValidUserName) is the caller's.
// Gives the new user's index, or -1 (logged) with the reason in *why when
// given. A refusal leaves the users as they were (a growth of the array
// already made stays); a UID already registered is refused, never shared.
// Makes no node in the users tree.
int AddUser(const char* name, UID uid, AddUserFailure* why = nullptr);

// Deep copy of `source` into the empty record `dest`: the strings as private
// copies (absent stays absent), PASSWORD, ADUSER, LEVEL, the header and the
// USERDATA link unchanged, and the fields (capacity = count). The group UIDs
// are not copied. 0; 2 no destination or no source; 1 (logged "CopyUserStruct:
// Error allocating space during copy") when memory fails or a field has no
// name; `dest` is then left empty.
int CopyUserStruct(UserStruct* dest, const UserStruct* source);

// Replaces the stored user named by record->USERNAME (domain rule included)
// with a copy of `record`:
//   2 no record, or no name / an empty name;  6 no such user;
//   8 the record's UID is neither 0 nor the stored user's;
//   1 the copy failed (no memory, or a field without a name);  0 done.
// A record with UID 0 takes the stored UID (written into *record too). The
// copy is made first and swapped in only on success, so every failure leaves
// the stored user as it was. The stored record keeps kind 6 and its place in
// the array and the registry; it keeps its own USERDATA link unless the
// record brings one; it takes the name as sent (a change of letter case)
// unless the user was found only through the domain rule, where it keeps its
// stored name. The group UIDs are dropped (rebuilt by BuildGroupArrayForUser).
int UpdateUser(UserStruct* record);

// Deletes the user named `name` (domain rule included):
//   2 IsValidUserName fails;  6 not found (logged);
//   26 a UID of 4000000000 or above without `force` (logged);  0 done.
// The record is unregistered and removed; no other record moves (the
// records lie in slots of their own, and only the order of names shifts).
// The user's node in the users tree is the callers'; its UID is noted for
// the users files (TakeDeletedUserUIDs), whose next save removes its file.
int DeleteUser(const char* name, bool force);

// The UIDs of the users DeleteUser removed since the last call, in the
// order of deletion; the list is empty afterwards. (Without memory to note
// one, that user's file stays behind, unlisted.)
std::vector<UID> TakeDeletedUserUIDs();

// Sorts the array by name (the order of the records, not the records
// themselves: none moves). The array is kept sorted by every operation here;
// this is for callers that renamed records in place.
void SortUsers();

// A load of many users: between these two, AddUser appends in arrival order
// (names are still found, through an index) and EndUsersLoad sorts the array
// once, so users that do not arrive in name order do not make the load
// quadratic. Indexes returned by AddUser during the load are valid until the
// next add or EndUsersLoad. Loads do not nest.
void BeginUsersLoad();
void EndUsersLoad();
bool InUsersLoad();

// Makes room for `n` records. 0; 2 n below the current capacity; 1 (logged)
// no memory. The room is a block of its own: no record moves, so no entry
// is re-pointed. AddUser grows the array when it is full, by its capacity
// (at least kUserArrayGrowStep records); a loader that knows how many users
// it will add reserves them here first, so that their records lie in one
// block.
int ResizeUserArray(int n);

// Current capacity of the array (records allocated).
int GetUserArrayCapacity();

// A count that moves on at every change of the array's UIDs, names or order
// made here: an add, a delete, a sort, a growth, a load's end, the freeing
// of a stored record or of all of them, and an UpdateUser that changes the
// name's bytes. A caller that changes a stored record's UID or name in
// place calls NoteUserArrayChanged (SortUsers does it too). The users files
// compare it to tell that the list on disk still holds the array's lines.
uint64_t GetUserArrayGeneration();
void NoteUserArrayChanged();

// The version of what the users' blocks show (user_blocks.h): a count that
// moves on at every change of a stored record's UID, name, forename, surname,
// e-mail, hashes, group list, fields, ADUSER or LEVEL, and of the set and
// order of the users (add, delete, update, sort, a load, freeing them all).
// Every operation here that changes a stored record moves it, and so does
// NoteUserArrayChanged; code that changes a stored record in place (through
// a pointer a lookup gave it) calls NoteUserRecordChanged right there. The
// whole-list reply sends one encoded copy of the users per version
// (record_lists.h), so a change that left it would reach no later reader
// while an earlier one still reads.
uint64_t GetUserRecordsVersion();
void NoteUserRecordChanged();

// The last insertion (AddUser) or removal (DeleteUser, a refused add) of one
// record: the generation just before and just after it, and its index.
struct UserArrayEdit {
  uint64_t before = 0;
  uint64_t after = 0;
  bool inserted = false;
  int index = -1;
};
// True, with that edit, when the array went from generation `from` to the
// current one by one insertion or removal and nothing else; the users files
// then change the list on disk by that one line instead of writing it anew.
bool GetUserArrayEditSince(uint64_t from, UserArrayEdit* edit);

// ---- Fields ------------------------------------------------------------------------

// Adds the pair (private copies; a null value stays absent) at its sorted
// place in user->fields. 0; 2 no record, or a null or empty name; 7 the name exists (logged without the
// error flag); 1 no memory (logged).
int AddUserField(UserStruct* user, const char* name, const char* value);

// Removes the pair named `name` (case-insensitive). 0; 2 no record, or a null
// or empty name; 19 no such field.
int DeleteUserField(UserStruct* user, const char* name);

// The pair named `name` (case-insensitive, bisection), or null.
UserField* FindUserField(UserStruct* user, const char* name);

// ---- Freeing -------------------------------------------------------------------------

// Frees the record's contents and leaves it all zero; when it is the
// registered record of its UID, its registry entry is removed too (a copy
// carrying the same UID leaves the registry alone). Null: nothing happens.
// The caller owns the record itself (by value or smart pointer).
void FreeUserStruct(UserStruct* user);

// Frees both strings of the pair (leaves them absent). Null: nothing.
void FreeStringPair(UserField* pair);

// Frees every user (unregistering each); the count becomes 0, the capacity
// stays.
void FreeAllUsers();

// ---- Users time ------------------------------------------------------------------------

// The time of the last read or write of the users files (32-bit seconds);
// the users files set it. 0 at process start.
void SetUsersTime(uint32_t seconds);
uint32_t GetUsersTime();

// True exactly when `t` is earlier than the users time, compared as signed
// 32-bit seconds: a client's time stamp equal to it is current.
bool UsersChangedSince(int32_t t);

// ---- Tests -----------------------------------------------------------------------------

// Back to the process-start state: every user freed and unregistered, the
// array's storage released (capacity 0), no computer domain, users time 0.
// The node registry itself is reset separately (ResetNodeRegistry).
void ResetUserStore();
