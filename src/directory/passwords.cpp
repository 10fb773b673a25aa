// Password state of the users: history depth, dates, the two password
// setters and the start of the password clock.
// Directory layer: calls the per-user settings and accessors, the user
// records, the users save, the users tree, the
// password rules of the configuration store, bcrypt checks, the XML tree,
// the clock, the server settings and the utilities.
#include "directory/passwords.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <string_view>
#include <vector>

#include "config/settings_api.h"
#include "directory/user_accessors.h"
#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "directory/users_files.h"
#include "directory/users_tree.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"
#include "foundation/util/util.h"
#include "foundation/xml/xml_tree.h"
#include "platform/clock.h"

namespace {

bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

// 8 upper-case hexadecimal digits ("%08X"): dates and legacy hashes.
std::string Hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// Reads a date or a legacy hash text as strtoul(text, 0, 16) would on a
// 32-bit unsigned long (the one hexadecimal reading of the directory store).
uint32_t ReadHexText(std::string_view text) { return ParseHex32LikeStrtoul(text); }

// The history place a child of Passwords\Old stands for: its name is "PW"
// (letters in any case, as the lookups compare them) followed by the decimal
// number exactly as "%d" writes it (no sign, no leading zero). 0 for any
// other name, and for a number above `depth` (which also bounds the reading,
// so no name can overflow it).
int32_t HistoryPlaceOfName(const std::string& name, int32_t depth) {
  const size_t prefix = sizeof kPasswordHistoryPlacePrefix - 1;
  if (name.size() <= prefix) return 0;
  if (!EqualsNoCase(std::string_view(name).substr(0, prefix), kPasswordHistoryPlacePrefix)) return 0;
  if (name[prefix] < '1' || name[prefix] > '9') return 0;
  int64_t place = 0;
  for (size_t i = prefix; i < name.size(); ++i) {
    const char c = name[i];
    if (c < '0' || c > '9') return 0;
    place = place * 10 + (c - '0');
    if (place > depth) return 0;
  }
  return static_cast<int32_t>(place);
}

// One history place that exists: its number and its text ("" for a node
// without text, as a settings read gives it).
struct HistoryEntry {
  int32_t place = 0;
  std::string value;
};

// The history places 1..depth that the user's settings hold, sorted from the
// deepest place to place 1. For a number written
// twice the first child counts, as for the lookups by path. The values are
// copies, so the settings may change while the caller works through them.
// Linear in the children of Passwords\Old, whatever the depth.
std::vector<HistoryEntry> ExistingHistory(const char* user, int32_t depth) {
  std::vector<HistoryEntry> out;
  if (depth <= 0) return out;
  int rc = FR_OK;
  XMLNode* sub = GetUserSubsectionNode(user, kLoginSectionName, kLoginSubsectionName, &rc);
  XMLNode* old = FindNamedChild(FindNamedChild(sub, kPasswordsNodeName), kPasswordHistoryNodeName);
  if (old == nullptr) return out;
  std::map<int32_t, std::string> places;
  for (const XMLNode* child = old->firstChild; child != nullptr; child = child->nextSibling) {
    const int32_t place = HistoryPlaceOfName(child->name, depth);
    if (place == 0 || places.count(place) != 0) continue;
    places.emplace(place, child->value.value_or(std::string()));
  }
  out.reserve(places.size());
  for (auto it = places.rbegin(); it != places.rend(); ++it) out.push_back({it->first, it->second});
  return out;
}

int32_t CurrentHistoryDepth() { return GetPWHistoryCount(GetPWRulesString()); }

// A login-section write whose outcome is not examined: a write that fails
// (a missing login section, 17 or 18, for one) is passed over and the next
// step runs; the final save gives the answer.
void WriteLoginSetting(const std::string& user, const std::string& path, const std::string& value) {
  (void)SetUserSetting(user.c_str(), kLoginSectionName, kLoginSubsectionName, path.c_str(), value.c_str());
}

// Steps 1 of both setters: the user named `name`, with its stored name in
// *stored. 0; 2; 6; 36.
int FindPasswordUser(const char* name, std::string* stored) {
  if (IsEmpty(name)) return FR_INVALID_PARAMETER;
  const UserStruct* user = FindUser(name);
  if (user == nullptr || !user->USERNAME) return FR_USER_NOT_FOUND;
  if (user->ADUSER != 0) return FR_AD_USER;
  // Not an Active Directory user, so the name found it directly: the stored
  // name reaches the same user in every later lookup and save.
  *stored = *user->USERNAME;
  return FR_OK;
}

// Steps 4 to 6 of both setters, after the history check has passed: the
// date, the shift of the existing places below the depth, the new entry at
// place 1, and MustChange cleared.
void WritePasswordState(const std::string& user, int32_t depth, const std::vector<HistoryEntry>& history,
                        const std::string& newEntry) {
  WriteLoginSetting(user, kPasswordDateSetting, FormatPasswordDate(NowTime32()));
  if (depth > 0) {
    // Deepest first, so that every place moves before it is overwritten: the
    // same result as walking k = depth .. 2 and copying place k-1, but only
    // over the places that exist.
    for (const HistoryEntry& entry : history) {
      if (entry.place < depth) WriteLoginSetting(user, PasswordHistoryPath(entry.place + 1), entry.value);
    }
    WriteLoginSetting(user, PasswordHistoryPath(1), newEntry);
  }
  if (UserMustChangePassword(user.c_str()) != 0) WriteLoginSetting(user, kMustChangePasswordSetting, "0");
}

int SaveUser(const std::string& user) { return SaveUsers(GetServerSettings().homeDirectory, user.c_str()); }

// The child of `parent` named `name`, appended (without text) when there is
// none; null when it cannot be allocated.
XMLNode* ChildMade(XMLNode* parent, const char* name) {
  XMLNode* child = FindNamedChild(parent, name);
  if (child != nullptr) return child;
  return AppendNamedUsersChild(parent, name);
}

}  // namespace

// ---- History depth ----------------------------------------------------------------------

int32_t GetPWHistoryCount(const char* rules) {
  if (rules == nullptr) return 0;
  const char* r = std::strchr(rules, 'r');
  if (r == nullptr) return 0;
  const int depth = SettingTextToInt(std::string(r + 1));
  return depth > 0 ? depth : 0;
}

std::string PasswordHistoryPath(int32_t place) {
  char path[sizeof kPasswordHistoryPathFormat + 16];
  std::snprintf(path, sizeof path, kPasswordHistoryPathFormat, place);
  return path;
}

// ---- Dates ------------------------------------------------------------------------------

std::string FormatPasswordDate(uint32_t seconds) { return Hex8(seconds); }

uint32_t NextDayBoundary(int64_t now) {
  return static_cast<uint32_t>((now + kSecondsPerDay - 1) / kSecondsPerDay * kSecondsPerDay);
}

uint32_t GetUserPasswordDate(const char* user) {
  int rc = FR_OK;
  const std::optional<std::string> text =
      GetUserSetting(user, kLoginSectionName, kLoginSubsectionName, kPasswordDateSetting, &rc);
  if (rc != FR_OK || !text) return 0;
  return ReadHexText(*text);
}

// ---- Setting a password --------------------------------------------------------------------

namespace {

// The history of `user` for the check and the shift (ExistingHistory), or 1
// when memory runs out reading it.
int ReadHistory(const std::string& user, int32_t depth, std::vector<HistoryEntry>* history) {
  try {
    *history = ExistingHistory(user.c_str(), depth);
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to allocate the password history of user >%s<", user.c_str());
    return FR_NO_MEMORY;
  }
  return FR_OK;
}

int SetPasswordV2(const char* name, const char* newHash, int skipHistory, const char* clearPassword) {
  if (newHash == nullptr || !IsValidXmlText(newHash)) return FR_INVALID_PARAMETER;
  std::string user;
  int rc = FindPasswordUser(name, &user);
  if (rc != FR_OK) return rc;

  const int32_t depth = CurrentHistoryDepth();
  std::vector<HistoryEntry> history;
  if ((rc = ReadHistory(user, depth, &history)) != FR_OK) return rc;
  if (!skipHistory && clearPassword != nullptr) {
    // Each check is a full bcrypt computation at the entry's cost; only
    // entries that are bcrypt texts can match (a legacy entry never does).
    for (const HistoryEntry& entry : history) {
      if (IsBcryptHash(entry.value.c_str()) && CheckPasswordHash(clearPassword, entry.value.c_str()) == 0) {
        return FR_PASSWORD_REUSED;
      }
    }
  }

  WritePasswordState(user, depth, history, newHash);
  UserStruct* record = FindUser(user.c_str());
  if (record == nullptr) return FR_USER_NOT_FOUND;
  record->PASSWORD = 0;
  record->PASSWORDV2 = std::string(newHash);
  NoteUserRecordChanged();
  return SaveUser(user);
}

int SetPasswordV1(const char* name, uint32_t newHash, int skipHistory) {
  std::string user;
  int rc = FindPasswordUser(name, &user);
  if (rc != FR_OK) return rc;

  const int32_t depth = CurrentHistoryDepth();
  std::vector<HistoryEntry> history;
  if ((rc = ReadHistory(user, depth, &history)) != FR_OK) return rc;
  if (!skipHistory) {
    for (const HistoryEntry& entry : history) {
      // An empty place holds no hash, and a bcrypt text is not a legacy one
      // (it would read as 0 and refuse the empty password's hash).
      if (entry.value.empty() || IsBcryptHash(entry.value.c_str())) continue;
      if (ReadHexText(entry.value) == newHash) return FR_PASSWORD_REUSED;
    }
  }

  WritePasswordState(user, depth, history, Hex8(newHash));
  UserStruct* record = FindUser(user.c_str());
  if (record == nullptr) return FR_USER_NOT_FOUND;
  record->PASSWORD = newHash;
  NoteUserRecordChanged();
  return SaveUser(user);
}

}  // namespace

std::vector<std::string> PasswordHistoryHashes(const char* name) {
  std::vector<std::string> out;
  try {
    std::string user;
    if (FindPasswordUser(name, &user) != FR_OK) return out;
    for (HistoryEntry& entry : ExistingHistory(user.c_str(), CurrentHistoryDepth())) {
      if (IsBcryptHash(entry.value.c_str())) out.push_back(std::move(entry.value));
    }
  } catch (const std::bad_alloc&) {
    out.clear();
  }
  return out;
}

// Memory running out anywhere in a change (a path, a history entry, the
// record's hash text) answers 1; the steps done before it stay, as for any
// failed step.
int SetUserPasswordV2(const char* name, const char* newHash, int skipHistory, const char* clearPassword) {
  try {
    return SetPasswordV2(name, newHash, skipHistory, clearPassword);
  } catch (const std::bad_alloc&) {
    return FR_NO_MEMORY;
  }
}

int SetUserPasswordV2OfUID(const char* name, uint32_t uid, const char* newHash, int skipHistory,
                           const char* clearPassword) {
  if (name == nullptr || FindUserAgain(UserRef{name, uid}) == nullptr) return FR_USER_NOT_FOUND;
  return SetUserPasswordV2(name, newHash, skipHistory, clearPassword);
}

int SetUserPassword(const char* name, uint32_t newHash, int skipHistory) {
  try {
    return SetPasswordV1(name, newHash, skipHistory);
  } catch (const std::bad_alloc&) {
    return FR_NO_MEMORY;
  }
}

// ---- Starting the password clock -------------------------------------------------------------

int StartPasswordClocks(int* dated) {
  int count = 0;
  int rc = FR_OK;
  const std::string date = FormatPasswordDate(NextDayBoundary(NowSeconds()));
  const int users = GetUserCount();
  for (int i = 0; i < users && rc == FR_OK; ++i) {
    UserStruct* user = GetUserByIndex(i);
    if (user == nullptr || user->ADUSER != 0 || !user->USERNAME) continue;
    // The record's own node (its link reaches it at once); a record without
    // one (a plain AddUser copy of default_user) gets its node first, as its
    // save would give it, so that the date is its own and not default_user's.
    XMLNode* node = UserNodeOfRecord(user);
    if (node == nullptr) {
      if (MakeUserNodeForRecord(user) != FR_OK) {
        rc = FR_NO_MEMORY;
        break;
      }
      node = UserNodeOfRecord(user);
    }
    XMLNode* data = FindXMLChildNode(node, kUserDataName);
    XMLNode* sub = FindNamedChild(FindUserDataSection(data, kLoginSectionName), kLoginSubsectionName);
    if (sub == nullptr) continue;  // no login section: the write would be refused (17, 18)
    XMLNode* passwords = FindNamedChild(sub, kPasswordsNodeName);
    const XMLNode* current = FindNamedChild(passwords, kPasswordDateNodeName);
    if (current != nullptr && current->value && ReadHexText(*current->value) != 0) continue;

    if (passwords == nullptr) passwords = ChildMade(sub, kPasswordsNodeName);
    XMLNode* dateNode = passwords != nullptr ? ChildMade(passwords, kPasswordDateNodeName) : nullptr;
    if (dateNode == nullptr) {
      rc = FR_NO_MEMORY;
      break;
    }
    try {
      dateNode->value = date;
    } catch (const std::bad_alloc&) {
      rc = FR_NO_MEMORY;
      break;
    }
    ++count;
  }
  if (dated != nullptr) *dated = count;
  return rc;
}

int InitPasswordDates() {
  int dated = 0;
  int rc = FR_OK;
  try {
    rc = StartPasswordClocks(&dated);
  } catch (const std::bad_alloc&) {  // the date text: the dates given so far stay
    rc = FR_NO_MEMORY;
  }
  if (dated == 0) return rc;
  // One save of every user, whatever the number of dates given.
  const int saved = SaveUsers(GetServerSettings().homeDirectory, nullptr);
  return saved != FR_OK ? saved : rc;
}
