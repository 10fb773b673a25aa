// The user and group requests (6500-6508, 6607-6613, 6654 and the legacy
// password setter): argument reads, the rights of the caller, the directory
// store's operation, the save and the reply words of each.
// The whole lists go out from the shared list of the records of one moment
// (directory/record_lists.h).
// Requests layer: calls the handler conventions (current caller), the
// directory store and its record lists, the wire primitives, the password
// hashing, the server settings, the clock and the log.
#include "requests/user_group_handlers.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "directory/group_blocks.h"
#include "directory/groups.h"
#include "directory/groups_file.h"
#include "directory/passwords.h"
#include "directory/record_lists.h"
#include "directory/user_blocks.h"
#include "directory/user_records.h"
#include "directory/users_files.h"
#include "directory/users_tree.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/node_header.h"
#include "foundation/wire/wire.h"
#include "platform/clock.h"
#include "requests/handler_conventions.h"
#include "sessions/connection_table.h"
#include "sessions/logon_slots.h"
#include "sessions/logons.h"

namespace {

// ---- The caller ---------------------------------------------------------------------

// The requests that change the directory for any logged-on caller refuse a
// guest slot: an unauthenticated guest logon must not add, delete or edit
// users and groups.
bool CallerIsGuest() { return IsGuestSlot(GetCurrentLogonSlot()); }

bool CallerIsAdmin() { return IsCurrentUserAdmin() != 0; }

const char* Home() { return GetServerSettings().homeDirectory; }

// ---- Reads ------------------------------------------------------------------------------

// Reads one wire integer; a failed read is logged with `failure` and gives false.
bool ReadWord(int sock, int32_t* value, const char* failure) {
  if (RecvArgInt(sock, value)) return true;
  WriteLog(1, "%s", failure);
  return false;
}

// Sends one status word; a failed send is logged with `failure` when given.
void Reply(int sock, int32_t code, const char* failure = nullptr) {
  if (!SendReplyStatus(sock, code) && failure != nullptr) WriteLog(1, "%s", failure);
}

// A string argument under the echo rule: the text (or none) when the read
// succeeded; false after answering 1 for a string the server refused, or
// after logging `commsFailure` (when given) for a broken read.
bool ReadStringEcho(int sock, std::optional<std::string>* text, const char* commsFailure) {
  WireStatus status = WIRE_OK;
  *text = RecvArgString(sock, &status);
  if (!EchoRuleEnds(sock, status)) return true;
  if (status == WIRE_COMMS_FAILURE && commsFailure != nullptr) WriteLog(1, "%s", commsFailure);
  return false;
}

const char* TextOrNull(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

// The version word, size word and bytes of a client's record block (6505,
// 6612). Gives true with the block read whole; false when the request is
// over: after the reply 3 (a version other than 1, the bytes dropped), the
// reply 1 (a size that is negative or cannot be had, the bytes dropped), or
// without a reply after a failed read.
struct BlockMessages {
  const char* handler;    // names the handler in the block reader's lines
  const char* header;     // version or size not read
  const char* shortRead;  // the block did not arrive whole
};
bool ReadClientBlock(int sock, const BlockMessages& messages, std::vector<unsigned char>* block) {
  int32_t version = 0;
  int32_t size = 0;
  if (!RecvArgInt(sock, &version) || !RecvArgInt(sock, &size)) {
    WriteLog(1, "%s", messages.header);
    return false;
  }
  int code = RecvRawBlock(sock, version, size, messages.handler, *block);
  if (code == FR_OK) return true;
  if (code == FR_COMMS_ERROR) {
    WriteLog(1, "%s", messages.shortRead);
  } else {
    Reply(sock, code);
  }
  return false;
}

// ---- Password hashes -------------------------------------------------------------------

// Whose password hashes the caller may receive, read from its logon slot.
struct HashRights {
  bool every = false;    // an administrator or a server connection
  bool hasOwn = false;   // a logon of a user: its own
  uint32_t ownUID = 0;
  bool Sees(uint32_t uid) const { return every || (hasOwn && uid == ownUID); }
};

HashRights CallerHashRights() {
  HashRights rights;
  const LUS* slot = GetCurrentLogonSlot();
  rights.every = CallerIsAdmin() || (slot != nullptr && slot->userUID == kServerLogonUID);
  rights.hasOwn = slot != nullptr;
  rights.ownUID = slot != nullptr ? slot->userUID : 0;
  return rights;
}

// ---- Sending blocks -------------------------------------------------------------------

// Appends a list entry, the block's size and bytes, to `out`.
bool AppendListEntry(std::vector<unsigned char>& out, const std::vector<unsigned char>& block) {
  try {
    out.reserve(out.size() + 4 + block.size());
    AppendLE32(out, static_cast<uint32_t>(block.size()));
    out.insert(out.end(), block.begin(), block.end());
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// One block out on the socket: 0, the size and the bytes (with status) in
// one run, or the size and the bytes. A failure is logged with the first
// word it may have cut short.
struct PutMessages {
  const char* status;
  const char* size;
};
int SendRecordReply(int sock, const std::vector<unsigned char>& block, bool withStatus, const PutMessages& messages) {
  if (withStatus) {
    if (SendReplyBlock(sock, block)) return PUT_RECORD_SENT;
    WriteLog(1, "%s", messages.status);
    return PUT_RECORD_SEND_FAILED;
  }
  std::vector<unsigned char> entry;
  if (!AppendListEntry(entry, block)) return PUT_RECORD_NO_BLOCK;
  int length = static_cast<int>(entry.size());
  if (SendAll(sock, entry.data(), length, 0) == length) return PUT_RECORD_SENT;
  WriteLog(1, "%s", messages.size);
  return PUT_RECORD_SEND_FAILED;
}

const PutMessages kPutUserMessages = {"PutUser:Error sending ok status to client",
                                      "PutUser:Error sending space needed to client"};
const PutMessages kPutGroupMessages = {"PutGroup:Error sending ok status to client",
                                       "PutGroup:Error sending space needed to client"};

// The block of a user as this caller may see it.
bool MakeUserBlock(UserStruct* user, std::vector<unsigned char>& block) {
  if (!ConvertUserToTransportBlock(user, block)) return false;
  if (!CallerMaySeePasswordHashes(*user) && !HidePasswordHashesInUserBlock(block)) {
    block.clear();
    return false;
  }
  return true;
}

// ---- Lists (6502, 6609) -----------------------------------------------------------------

// The list shape: 0, the server time, 1, the count, then each record's size
// and block, all of one list of the records at one moment (record_lists.h)
// that the request holds while it sends: other requests run at every wait
// of the sends and may add, change or delete records, and the reply still
// holds exactly the records its count announces, each once, as they were
// when it began. The first failed send ends the list (logged); the client
// then holds part of it and must ask again.
//
// The entries the caller may see whole go out straight from the list, run
// after run; a user's entry whose hashes it may not see goes out without
// them, in pieces around them. So a reader holds no copy of its own: many
// slow readers of one version hold that one list between them.
constexpr size_t kListRunBytes = 1024 * 1024;  // the most one send of a run is given

// Sends bytes of the held list (or of the caller's stack), a run at a time.
bool SendListBytes(int sock, const unsigned char* bytes, size_t length) {
  while (length > 0) {
    const int piece = static_cast<int>(std::min(length, kListRunBytes));
    if (SendOwnedBytes(sock, bytes, piece, 0) != piece) return false;
    bytes += piece;
    length -= static_cast<size_t>(piece);
  }
  return true;
}

// A user's entry (size word and block) as a caller without the right to its
// hashes receives it: PASSWORD 0 and PASSWORDV2 absent, HidePasswordHashesInUserBlock's
// block and its size. False when a send failed or the block does not hold
// its strings.
bool SendEntryWithoutHashes(int sock, const unsigned char* entry, size_t length) {
  const unsigned char* block = entry + 4;
  const size_t size = length - 4;
  PasswordV2Place place;
  if (!FindPasswordV2(block, size, &place)) return false;
  unsigned char word[4];
  PutLE32(word, static_cast<uint32_t>(size - (place.end - place.at) + 4));
  const unsigned char zero[4] = {};
  return SendListBytes(sock, word, 4) && SendListBytes(sock, block, kUserBlockPasswordOffset) &&
         SendListBytes(sock, zero, 4) &&
         SendListBytes(sock, block + kUserBlockPasswordOffset + 4, place.at - kUserBlockPasswordOffset - 4) &&
         SendListBytes(sock, zero, 4) && SendListBytes(sock, block + place.end, size - place.end);
}

// `seesWhole(block)`: true when the caller may have that block as it is.
template <typename SeesWhole>
void SendRecordList(int sock, const RecordList& list, SeesWhole seesWhole) {
  unsigned char header[16];
  PutLE32(header, 0);
  PutLE32(header + 4, NowTime32());
  PutLE32(header + 8, 1);
  PutLE32(header + 12, static_cast<uint32_t>(list.Count()));
  bool ok = SendListBytes(sock, header, sizeof header);
  const unsigned char* run = nullptr;  // entries seen whole, not sent yet
  size_t runLength = 0;
  for (size_t i = 0; ok && i < list.Count(); ++i) {
    const unsigned char* entry = list.EntryAt(i);
    const size_t length = list.EntryLength(i);
    if (seesWhole(entry + 4)) {
      if (runLength == 0) run = entry;
      runLength += length;  // the entries lie back to back
      continue;
    }
    ok = SendListBytes(sock, run, runLength) && SendEntryWithoutHashes(sock, entry, length);
    runLength = 0;
  }
  ok = ok && SendListBytes(sock, run, runLength);
  if (!ok) WriteLog(1, "Error during communication with client");
}

// ---- Index and name requests shared by both families ----------------------------------

struct ByIndexMessages {
  const char* n;
  const char* version;
  const char* stamp;
  const char* badVersionSend;
  const char* badNSend;
  const char* putFailed;
};

// 6501 / 6608: n, version, stamp; 3 for a version other than 1 (tested
// first), 2 for n outside 0..count-1 (signed), else the record with status.
template <typename Count, typename Put>
void ServeByIndex(int sock, const ByIndexMessages& m, Count count, Put put) {
  int32_t n = 0, version = 0, stamp = 0;
  if (!ReadWord(sock, &n, m.n) || !ReadWord(sock, &version, m.version) || !ReadWord(sock, &stamp, m.stamp)) return;
  if (version != 1) {
    Reply(sock, FR_INVALID_VERSION, m.badVersionSend);
    return;
  }
  if (n < 0 || n >= count()) {
    Reply(sock, FR_INVALID_PARAMETER, m.badNSend);
    return;
  }
  if (put(n) != PUT_RECORD_SENT) WriteLog(1, "%s", m.putFailed);
}

// 6503 / 6610 up to the lookup: the name, version and stamp. An absent name
// (or one too long for the server to take, its bytes dropped) is answered 2
// once version and stamp have been read; a version other than 1 is 2 as
// well. Gives true with the name when the lookup is to be made; the stamp is
// read and not used.
// 6503 is the request the server's speed is measured on, so a short name is
// received together with the two words after it: one receive instead of
// three. The text is what the wire's string rule gives (the bytes before the
// first NUL, or all of them without one). Of a name longer than
// kShortNameBytes only that many bytes are kept and the rest dropped; without
// a NUL among them it is longer than any user or group name and is looked
// up as the empty name, which matches nothing.
constexpr int32_t kShortNameBytes = 1024;

bool ReadNamedRequest(int sock, const char* versionFailure, const char* stampFailure, std::string* name) {
  int32_t length = 0;
  if (!RecvArgInt(sock, &length)) return false;
  unsigned char bytes[kShortNameBytes + 8];
  if (length < 1 || length > kMaxWireStringLength) {
    if (length > 0 && DiscardBytes(sock, length) != 0) return false;
    if (RecvAll(sock, bytes, 8, 0) == 8) Reply(sock, FR_INVALID_PARAMETER);
    return false;
  }
  const int32_t kept = std::min(length, kShortNameBytes);
  const bool whole = kept == length;
  int32_t version = 0, stamp = 0;
  if (whole) {
    if (RecvAll(sock, bytes, kept + 8, 0) != kept + 8) {
      WriteLog(1, "%s", versionFailure);
      return false;
    }
    version = static_cast<int32_t>(GetLE32(bytes + kept));
  } else {
    if (RecvAll(sock, bytes, kept, 0) != kept || DiscardBytes(sock, length - kept) != 0) return false;
    if (!ReadWord(sock, &version, versionFailure)) return false;
    if (!RecvArgInt(sock, &stamp)) {
      WriteLog(1, stampFailure, errno);
      return false;
    }
  }
  if (version != 1) {
    Reply(sock, FR_INVALID_PARAMETER);
    return false;
  }
  const void* nul = std::memchr(bytes, 0, static_cast<size_t>(kept));
  const char* text = reinterpret_cast<const char*>(bytes);
  if (nul != nullptr) {
    name->assign(text, static_cast<const unsigned char*>(nul) - bytes);
  } else if (whole) {
    name->assign(text, static_cast<size_t>(kept));
  } else {
    name->clear();
  }
  return true;
}

// 6502 / 6609 up to the list: 5 when the stamp is not older than the data
// (tested before the version), 3 for a version other than 1. True when the
// list is to be sent.
template <typename ChangedSince>
bool ReadListRequest(int sock, const char* versionFailure, const char* stampFailure, ChangedSince changedSince) {
  int32_t version = 0, stamp = 0;
  if (!ReadWord(sock, &version, versionFailure) || !ReadWord(sock, &stamp, stampFailure)) return false;
  if (!changedSince(stamp)) {
    Reply(sock, FR_CLIENT_CURRENT);
    return false;
  }
  if (version != 1) {
    Reply(sock, FR_INVALID_VERSION);
    return false;
  }
  return true;
}

// ---- Users: add and delete --------------------------------------------------------------

// 6504 / 6507 after the name and the rights.
int32_t AddNamedUser(const std::optional<std::string>& name) {
  const char* text = TextOrNull(name);
  if (!IsValidUserName(text)) return FR_INVALID_PARAMETER;
  if (UserExists(text)) return FR_ALREADY_EXISTS;
  if (AddUserFromClient(text, 0) < 0) return FR_NO_MEMORY;
  return SaveUsers(Home(), text);
}

// 6506 / 6508 after the name and the rights.
int32_t DeleteNamedUser(const std::optional<std::string>& name) {
  const char* text = TextOrNull(name);
  int32_t code = DeleteUserAndNode(text, false);
  if (code == FR_OK) code = SaveUsers(Home(), text);
  return code;
}

constexpr const char kAddUserNameFailure[] = "IPAddUser:Error getting user name from client";
constexpr const char kDeleteUserNameFailure[] = "IPDeleteUser:Error getting user name from client";

const BlockMessages kUpdateUserMessages = {"IPUpdateUser", "IPUpdateUser:Error getting version or buffer length from client",
                                           "IPUpdateUser:Failed to get user buffer from client"};
const BlockMessages kUpdateGroupMessages = {"IPUpdateGroup",
                                            "IPUpdateGroup:Error getting version or buffer length from client",
                                            "IPUpdateGroup:Failed to get user buffer from client"};

int32_t WriteGroups() { return WriteGroupsXML(GetGroupsFilePath()); }

}  // namespace

// ---- Password hashes in user blocks -----------------------------------------------------

bool CallerMaySeeEveryPasswordHash() { return CallerHashRights().every; }

bool CallerMaySeePasswordHashes(const UserStruct& user) { return CallerHashRights().Sees(user.header.uid); }

bool FindPasswordV2(const unsigned char* block, size_t size, PasswordV2Place* place) {
  size_t offset = kUserBlockFixedBytes;
  // USERNAME, FORENAME, SURNAME, EMAIL, GROUPLIST come before PASSWORDV2.
  for (size_t i = 0; i + 1 < kUserBlockStringCount; ++i) {
    uint32_t length = 0;
    if (!ReadLE32(block, size, &offset, &length) || length > size - offset) return false;
    offset += length;
  }
  const size_t at = offset;
  uint32_t length = 0;
  if (!ReadLE32(block, size, &offset, &length) || length > size - offset) return false;
  place->at = at;
  place->end = offset + length;
  return true;
}

bool HidePasswordHashesInUserBlock(std::vector<unsigned char>& block) {
  PasswordV2Place place;
  if (!FindPasswordV2(block.data(), block.size(), &place)) return false;
  PutLE32(block.data() + kUserBlockPasswordOffset, 0);
  PutLE32(block.data() + place.at, 0);
  block.erase(block.begin() + static_cast<std::ptrdiff_t>(place.at + 4),
              block.begin() + static_cast<std::ptrdiff_t>(place.end));
  return true;
}

// ---- Single blocks ----------------------------------------------------------------------

int PutUser(int sock, UserStruct* user, bool withStatus) {
  if (user == nullptr) {
    if (withStatus) SendReplyStatus(sock, FR_INVALID_PARAMETER);
    return PUT_RECORD_NO_RECORD;
  }
  std::vector<unsigned char> block;
  if (!MakeUserBlock(user, block)) {
    if (withStatus) SendReplyStatus(sock, FR_NO_MEMORY);
    return PUT_RECORD_NO_BLOCK;
  }
  return SendRecordReply(sock, block, withStatus, kPutUserMessages);
}

int PutGroup(int sock, const GroupStruct* group, bool withStatus) {
  if (group == nullptr) {
    if (withStatus) SendReplyStatus(sock, FR_INVALID_PARAMETER);
    return PUT_RECORD_NO_RECORD;
  }
  std::vector<unsigned char> block;
  if (!ConvertGroupToTransportBlock(group, block)) {
    if (withStatus) SendReplyStatus(sock, FR_NO_MEMORY);
    return PUT_RECORD_NO_BLOCK;
  }
  return SendRecordReply(sock, block, withStatus, kPutGroupMessages);
}

// ---- Users -------------------------------------------------------------------------------

int IPGetUserCount(int sock) {
  Reply(sock, GetUserCount(), "IPGetUserCount:Error sending client user count");
  return 0;
}

int IPGetUserN(int sock) {
  static const ByIndexMessages messages = {
      "IPGetUserN:Unable to get n from client",
      "IPGetUserN:Unable to get version wanted from client",
      "IPGetUserN:Unable to get timestamp from client",
      "IPGetUserN:Error sending invalid version requested reply to client",
      "IPGetUserN:Error sending invalid value of n reply to client",
      "IPGetUserN:Error sending user to client",
  };
  ServeByIndex(sock, messages, [] { return GetUserCount(); },
               [sock](int32_t n) { return PutUser(sock, GetUserByIndex(n), true); });
  return 0;
}

int IPGetAllUsers(int sock) {
  if (!ReadListRequest(sock, "IPGetAllUsers:Unable to get version client wants",
                       "IPGetALLUsers:Unable to get client time stamp",
                       [](int32_t stamp) { return UsersChangedSince(stamp); })) {
    return 0;
  }
  // The users and the caller's rights as they are now: the whole reply is
  // of this moment, whatever changes while it goes out.
  const SharedRecordList list = TakeUserList();
  if (!list) {
    Reply(sock, FR_NO_MEMORY);  // no list to be had: refused whole, in step
    return 0;
  }
  const HashRights rights = CallerHashRights();
  SendRecordList(sock, *list, [rights](const unsigned char* block) { return rights.Sees(GetLE32(block)); });
  return 0;
}

int IPGetNamedUser(int sock) {
  std::string name;
  if (!ReadNamedRequest(sock, "IPGetNamedUser:Unable to get version wanted from client",
                        "IPGetNamedUser:Unable to get timestamp from client (inet=%d)", &name)) {
    return 0;
  }
  UserStruct* user = GetNamedUser(name.c_str());
  if (user == nullptr) {
    Reply(sock, FR_USER_NOT_FOUND);
    return 0;
  }
  PutUser(sock, user, true);
  return 0;
}

int IPAddUser(int sock) {
  std::optional<std::string> name;
  if (!ReadStringEcho(sock, &name, kAddUserNameFailure)) return 0;
  Reply(sock, CallerIsAdmin() ? AddNamedUser(name) : FR_PERMISSION_DENIED);
  return 0;
}

int IPAddUserNoAdminCheck(int sock) {
  std::optional<std::string> name;
  if (!ReadStringEcho(sock, &name, kAddUserNameFailure)) return 0;
  Reply(sock, CallerIsGuest() ? FR_PERMISSION_DENIED : AddNamedUser(name));
  return 0;
}

int IPDeleteUser(int sock) {
  std::optional<std::string> name;
  if (!ReadStringEcho(sock, &name, kDeleteUserNameFailure)) return 0;
  Reply(sock, CallerIsAdmin() ? DeleteNamedUser(name) : FR_PERMISSION_DENIED);
  return 0;
}

int IPDeleteUserNoAdminCheck(int sock) {
  std::optional<std::string> name;
  if (!ReadStringEcho(sock, &name, kDeleteUserNameFailure)) return 0;
  int32_t code = FR_OK;
  if (CallerIsGuest()) {
    code = FR_PERMISSION_DENIED;
  } else {
    // Only an administrator may delete an administrator.
    const UserStruct* target = FindUser(TextOrNull(name));
    if (target != nullptr && (target->LEVEL & kUserLevelAdministrator) != 0 && !CallerIsAdmin()) {
      code = FR_PERMISSION_DENIED;
    } else {
      code = DeleteNamedUser(name);
    }
  }
  Reply(sock, code);
  return 0;
}

int IPUpdateUser(int sock) {
  std::vector<unsigned char> block;
  if (!ReadClientBlock(sock, kUpdateUserMessages, &block)) return 0;
  if (!CallerIsAdmin()) {
    Reply(sock, FR_PERMISSION_DENIED);
    return 0;
  }
  UserStruct record;
  int32_t code = ConvertTransportBlockToUser(block.data(), static_cast<int32_t>(block.size()), &record,
                                             kUserTransportVersion);
  if (code != FR_OK) {
    WriteLog(0, "IPUpdateUser:ConvertTransportBlockToUser failed with code %d", code);
  } else {
    code = UpdateUser(&record);
    if (code == FR_OK) code = SaveUsers(Home(), TextOrNull(record.USERNAME));
  }
  FreeUserStruct(&record);
  if (code == FR_OK) InitPasswordDates();
  Reply(sock, code);
  return 0;
}

int IPSetUserPasswordV2(int sock) {
  std::optional<std::string> name;
  if (!ReadStringEcho(sock, &name, nullptr)) return 0;
  WireStatus status = WIRE_OK;
  std::optional<std::string> password = RecvArgString(sock, &status);
  if (status != WIRE_OK) {
    if (status == WIRE_NO_MEMORY) Reply(sock, FR_NO_MEMORY);
    WriteLog(1, "IPSetUserPasswordV2:Unable to get password from client");
    return 0;
  }
  int32_t code = FR_OK;
  // The user whose password is set is the one of that name now: the hash
  // runs on a worker, and the change lands on that same user (name and UID)
  // or on nobody.
  const UserRef target = RefOfUser(FindUser(TextOrNull(name)));
  if (!CallerIsAdmin()) {
    code = FR_PERMISSION_DENIED;
  } else if (!password) {
    // No text to hash: refused before the hashing.
    code = FR_INVALID_PARAMETER;
  } else if (target.name.empty()) {
    code = name && !name->empty() ? FR_USER_NOT_FOUND : FR_INVALID_PARAMETER;  // nothing to hash for
  } else {
    char setting[kPasswordFieldSize] = {};
    char hash[kPasswordFieldSize] = {};
    if (GeneratePasswordHashOffThread(password->c_str(), setting, hash) != 0) {
      WriteLog(1, "IPSetUserPasswordV2:Failed to generate new password hash");
      code = FR_HASH_FAILED;
    } else if (!CallerIsAdmin()) {
      code = FR_PERMISSION_DENIED;  // read again: others ran while it hashed
    } else {
      // 6 when the user was deleted meanwhile, or another took its name.
      code = SetUserPasswordV2OfUID(target.name.c_str(), target.uid, hash, 1, password->c_str());
      if (code == FR_OK) code = SaveUsers(Home(), target.name.c_str());
    }
    explicit_bzero(setting, sizeof setting);
    explicit_bzero(hash, sizeof hash);
  }
  if (password) explicit_bzero(password->data(), password->size());
  Reply(sock, code, "IPSetUserPasswordV2:Unable to send result to client");
  return 0;
}

int IPSetUserPassword(int sock) {
  std::optional<std::string> name;
  if (!ReadStringEcho(sock, &name, nullptr)) return 0;
  int32_t hash = 0;
  if (!ReadWord(sock, &hash, "IPSetUserPassword:Unable to get password from client")) return 0;
  int32_t code = FR_PERMISSION_DENIED;
  if (CallerIsAdmin()) {
    code = SetUserPassword(TextOrNull(name), static_cast<uint32_t>(hash), 1);
    if (code == FR_OK) code = SaveUsers(Home(), TextOrNull(name));
  }
  Reply(sock, code, "IPSetUserPassword:Unable to send result to client");
  return 0;
}

// ---- Groups ------------------------------------------------------------------------------

int IPGetGroupCount(int sock) {
  Reply(sock, GetGroupCount(), "IPGetGroupCount:Error sending client group count");
  return 0;
}

int IPGetGroupN(int sock) {
  static const ByIndexMessages messages = {
      "IPGetGroupN:Unable to get n from client",
      "IPGetGroupN:Unable to get version wanted from client",
      "IPGetGroupN:Unable to get timestamp from client",
      "IPGetGroupN:Error sending invalid version requested reply to client",
      "IPGetGroupN:Error sending invalid value of n reply to client",
      "IPGetGroupN:Error sending user to client",
  };
  ServeByIndex(sock, messages, [] { return GetGroupCount(); },
               [sock](int32_t n) { return PutGroup(sock, GetGroupByIndex(n), true); });
  return 0;
}

int IPGetAllGroups(int sock) {
  if (!ReadListRequest(sock, "IPGetAllGroups:Unable to get version client wants",
                       "IPGetAllGroups:Unable to get client time stamp",
                       [](int32_t stamp) { return HaveGroupsChangedSince(stamp); })) {
    return 0;
  }
  const SharedRecordList list = TakeGroupList();  // the groups of this moment
  if (!list) {
    Reply(sock, FR_NO_MEMORY);
    return 0;
  }
  SendRecordList(sock, *list, [](const unsigned char*) { return true; });
  return 0;
}

int IPGetNamedGroup(int sock) {
  std::string name;
  if (!ReadNamedRequest(sock, "IPGetNamedGroup:Unable to get version wanted from client",
                        "IPGetNamedGroup:Unable to get timestamp from client (inet=%d)", &name)) {
    return 0;
  }
  const GroupStruct* group = FindGroupByName(name.c_str());
  if (group == nullptr) {
    Reply(sock, FR_GROUP_NOT_FOUND);
    return 0;
  }
  PutGroup(sock, group, true);
  return 0;
}

int IPAddGroup(int sock) {
  std::optional<std::string> name;
  if (!ReadStringEcho(sock, &name, "IPAddGroup:Error getting user name from client")) return 0;
  const char* text = TextOrNull(name);
  int32_t code = FR_OK;
  if (CallerIsGuest()) {
    code = FR_PERMISSION_DENIED;
  } else if (!IsValidGroupName(text)) {
    code = FR_INVALID_PARAMETER;
  } else if (GroupExists(text)) {
    code = FR_ALREADY_EXISTS;
  } else if (AddGroup(text) < 0) {
    code = FR_NO_MEMORY;
  } else {
    code = WriteGroups();
  }
  Reply(sock, code);
  return 0;
}

int IPUpdateGroup(int sock) {
  std::vector<unsigned char> block;
  if (!ReadClientBlock(sock, kUpdateGroupMessages, &block)) return 0;
  if (CallerIsGuest()) {
    Reply(sock, FR_PERMISSION_DENIED);
    return 0;
  }
  GroupStruct record;
  int32_t code = ConvertTransportBlockToGroup(block.data(), static_cast<int32_t>(block.size()), &record,
                                              kGroupTransportVersion);
  if (code != FR_OK) {
    WriteLog(0, "IPUpdateGroup:ConvertTransportBlockToGroup failed with code %d", code);
  } else {
    code = UpdateGroup(&record);
    if (code == FR_OK) code = WriteGroups();
  }
  FreeGroupStruct(&record);
  Reply(sock, code);
  return 0;
}

int IPDeleteGroup(int sock) {
  std::optional<std::string> name;
  if (!ReadStringEcho(sock, &name, "IPDeleteGroup:Error getting user name from client")) return 0;
  int32_t code = FR_PERMISSION_DENIED;
  if (!CallerIsGuest()) {
    code = DeleteGroup(TextOrNull(name));
    if (code == FR_OK) code = WriteGroups();
  }
  Reply(sock, code);
  return 0;
}
