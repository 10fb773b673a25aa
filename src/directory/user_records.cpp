// The user array and its operations: lookups with the domain\user rule, add
// (a copy of default_user), copy, replace, delete, fields, the users time.
// Directory layer: calls the node registry, the group lookups (one namespace
// for users and groups), the utilities and the log. Writes no file.
//
// Invariants kept by every operation here:
//   - the records lie in slots of blocks that never move (a growth adds a
//     block), and g_order lists the users' records sorted by USERNAME
//     (CompareNoCase), names unique; a slot no user holds is empty and on
//     the free list;
//   - every record of a user is registered under its UID, and its registry
//     entry holds the record's address, which stays from its add to its
//     delete: no operation here re-points an entry.
#include "directory/user_records.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "directory/groups.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/util.h"
#include "platform/large_blocks.h"

namespace {

// The records, held by value in slots of blocks that never move: an add or a
// delete shifts only the pointers of g_order, and no registry entry needs
// re-pointing, neither then nor at a growth (which adds a block). A large
// directory's block is many megabytes: it is offered as huge pages, which a
// load fills fast. A block's slots are made as they are first taken.
struct SlotBlock {
  UserStruct* slots = nullptr;
  size_t count = 0;  // slots allocated
  size_t made = 0;   // slots constructed, the first `made`
};
// The blocks, given back with their records when the process ends.
struct SlotBlockList : std::vector<SlotBlock> {
  SlotBlockList() = default;
  SlotBlockList(const SlotBlockList&) = delete;
  SlotBlockList& operator=(const SlotBlockList&) = delete;
  ~SlotBlockList() {
    for (SlotBlock& block : *this) {
      for (size_t i = 0; i < block.made; ++i) block.slots[i].~UserStruct();
      FreeLargeBlock(block.slots, block.count * sizeof(UserStruct));
    }
  }
};
SlotBlockList g_blocks;
size_t g_fillBlock = 0;               // the first block that may have slots not made yet
std::vector<UserStruct*> g_order;     // the users' records, sorted by name
std::vector<UserStruct*> g_freeSlots; // empty slots, reused by the next add
int g_capacity = 0;                   // slots allocated (grown geometrically, at least kUserArrayGrowStep)
std::optional<std::string> g_domain;  // the computer domain; none while not set
uint32_t g_usersTime = 0;             // last read or write of the users files
uint64_t g_generation = 1;            // see GetUserArrayGeneration
uint64_t g_recordsVersion = 1;        // see GetUserRecordsVersion
UserArrayEdit g_lastEdit;             // see GetUserArrayEditSince
std::vector<UID> g_deletedUIDs;       // see TakeDeletedUserUIDs

// A load (BeginUsersLoad .. EndUsersLoad) appends users in the order they
// come and sorts once at its end; meanwhile names are found through an index
// of folded names instead of bisection. Outside a load both are empty.
bool g_loading = false;
bool g_loadUnsorted = false;                          // an append broke the name order
std::unordered_map<std::string, size_t> g_loadIndex;  // folded name -> index

std::string_view NameOf(const UserStruct& user) {
  return user.USERNAME ? std::string_view(*user.USERNAME) : std::string_view();
}

std::string_view NameOf(const UserField& field) {
  return field.name ? std::string_view(*field.name) : std::string_view();
}

std::string_view View(const char* text) { return text ? std::string_view(text) : std::string_view(); }

// Bytes of `n` records, for the log lines (which print an int).
int BytesForLog(size_t n, size_t each) {
  const unsigned long long bytes = static_cast<unsigned long long>(n) * each;
  return bytes > static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<int>(bytes);
}

// The user at `i` of the sorted order.
UserStruct& At(size_t i) { return *g_order[i]; }

// True when `user` is a slot of one of the blocks.
bool IsSlot(const UserStruct* user) {
  for (const SlotBlock& block : g_blocks) {
    if (user >= block.slots && user < block.slots + block.made) return true;
  }
  return false;
}

// The place in the order where a user named `name` is or would go (bisection).
size_t LowerBoundUser(std::string_view name) {
  auto it = std::lower_bound(g_order.begin(), g_order.end(), name, [](const UserStruct* user, std::string_view n) {
    return CompareNoCase(NameOf(*user), n) < 0;
  });
  return static_cast<size_t>(it - g_order.begin());
}

// Indexes every user of the array (during a load, after anything that moved
// users in the order other than an append).
void RebuildLoadIndex() {
  g_loadIndex.clear();
  for (size_t i = 0; i < g_order.size(); ++i) g_loadIndex[FoldNoCase(NameOf(At(i)))] = i;
}

int FindExact(std::string_view name) {
  if (name.empty() || g_order.empty()) return -1;
  if (g_loading && g_loadUnsorted) {
    auto it = g_loadIndex.find(FoldNoCase(name));
    return it != g_loadIndex.end() ? static_cast<int>(it->second) : -1;
  }
  // A name past the last one is not there: one comparison, not a bisection
  // (a load, which appends in order, asks this of every user it adds).
  if (CompareNoCase(NameOf(At(g_order.size() - 1)), name) < 0) return -1;
  const size_t pos = LowerBoundUser(name);
  if (pos < g_order.size() && CompareNoCase(NameOf(At(pos)), name) == 0) return static_cast<int>(pos);
  return -1;
}

bool IsLocalDomainName(std::string_view name) {
  if (name.empty() || !g_domain) return false;
  const size_t slash = name.find('\\');
  if (slash == std::string_view::npos) return false;
  return EqualsNoCase(name.substr(0, slash), *g_domain);
}

// FindUserIndex on a view; *viaDomain tells whether only the domain rule found it.
int FindIndex(std::string_view name, bool* viaDomain) {
  if (viaDomain) *viaDomain = false;
  if (name.empty() || g_order.empty()) return -1;
  int index = FindExact(name);
  if (index >= 0) return index;
  if (!IsLocalDomainName(name)) return -1;
  index = FindExact(name.substr(name.find('\\') + 1));
  if (index < 0 || At(static_cast<size_t>(index)).ADUSER == 0) return -1;
  if (viaDomain) *viaDomain = true;
  return index;
}

size_t LowerBoundField(const std::vector<UserField>& fields, std::string_view name) {
  auto it = std::lower_bound(fields.begin(), fields.end(), name,
                             [](const UserField& f, std::string_view n) { return CompareNoCase(NameOf(f), n) < 0; });
  return static_cast<size_t>(it - fields.begin());
}

// A slot for a new record: an empty one off the free list, else the next
// one never used (the caller made room: the blocks never grow here, so no
// record moves). Null when there is none.
UserStruct* TakeSlot(UserStruct&& record) {
  if (!g_freeSlots.empty()) {
    UserStruct* slot = g_freeSlots.back();
    g_freeSlots.pop_back();
    *slot = std::move(record);
    return slot;
  }
  for (; g_fillBlock < g_blocks.size(); ++g_fillBlock) {
    SlotBlock& block = g_blocks[g_fillBlock];
    if (block.made < block.count) return new (block.slots + block.made++) UserStruct(std::move(record));
  }
  return nullptr;
}

// Slots made so far, in all blocks.
size_t SlotsMade() {
  size_t made = 0;
  for (const SlotBlock& block : g_blocks) made += block.made;
  return made;
}

// Destroys every slot made (the users freed first); with `release` the
// blocks go too, else they stay for the next users.
void DestroySlots(bool release) {
  for (SlotBlock& block : g_blocks) {
    for (size_t i = 0; i < block.made; ++i) block.slots[i].~UserStruct();
    block.made = 0;
    if (release) FreeLargeBlock(block.slots, block.count * sizeof(UserStruct));
  }
  if (release) {
    g_blocks.clear();
    g_blocks.shrink_to_fit();
  }
  g_fillBlock = 0;
}

// Empties the slot and puts it on the free list. Without memory for the
// list the slot simply stays unused (until the users are freed).
void GiveSlot(UserStruct* slot) {
  *slot = UserStruct{};
  try {
    g_freeSlots.push_back(slot);
  } catch (const std::bad_alloc&) {
  }
}

// Unregisters (when registered as itself) and frees the record at `index`,
// and takes it out of the order; no other record moves.
void EraseUserAt(size_t index) {
  const uint64_t before = g_generation;
  UserStruct* slot = g_order[index];
  FreeUserStruct(slot);
  ++g_generation;
  ++g_recordsVersion;
  g_order.erase(g_order.begin() + static_cast<std::ptrdiff_t>(index));
  GiveSlot(slot);
  g_lastEdit = UserArrayEdit{before, g_generation, false, static_cast<int>(index)};
  if (g_loading) RebuildLoadIndex();
}

}  // namespace

// ---- Names ---------------------------------------------------------------------

int IsValidUserName(const char* name) {
  if (name == nullptr || name[0] == '\0') return 0;
  const auto first = static_cast<unsigned char>(name[0]);
  // Control characters, the space and ! to / cannot begin a name; a first
  // byte of 0x80 or above (negative as a signed char) passes this test.
  if (first >= 0x01 && first <= 0x2F) return 0;
  const size_t length = std::strlen(name);
  if (length > kMaxUserNameLength) return 0;
  int backslashes = 0;
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (std::strchr("\"#+,;<>", c) != nullptr) return 0;
    if (c == '\\' && ++backslashes > 1) return 0;
    // A control byte anywhere would not read back from the users files as
    // written (line feeds are cut, the others are not XML characters).
    if (c < 0x20) return 0;
  }
  // Bytes of 0x80 and above must form UTF-8 of XML characters, or the users
  // file holding the name could not be read at the next start.
  return IsValidXmlText(std::string_view(name, length)) ? 1 : 0;
}

int CompareUserNames(const UserStruct& a, const UserStruct& b) { return CompareNoCase(NameOf(a), NameOf(b)); }

int CompareFieldNames(const UserField& a, const UserField& b) { return CompareNoCase(NameOf(a), NameOf(b)); }

// ---- The computer domain ---------------------------------------------------------

void SetComputerDomain(const char* domain) {
  if (domain == nullptr || domain[0] == '\0') {
    g_domain.reset();
  } else {
    g_domain = std::string(domain);
  }
}

const std::string* GetComputerDomain() { return g_domain ? &*g_domain : nullptr; }

bool IsLocalDomainUserName(const char* name) { return IsLocalDomainName(View(name)); }

// ---- Lookups -----------------------------------------------------------------------

int GetUserCount() { return static_cast<int>(g_order.size()); }

UserStruct* GetUserByIndex(int index) {
  if (index < 0 || static_cast<size_t>(index) >= g_order.size()) return nullptr;
  return &At(static_cast<size_t>(index));
}

int FindUserIndex(const char* name) { return FindIndex(View(name), nullptr); }

int FindUserIndexExact(const char* name) { return FindExact(View(name)); }

UserStruct* FindUser(const char* name) { return GetUserByIndex(FindUserIndex(name)); }

UserStruct* GetNamedUser(const char* name) { return FindUser(name); }

int UserExists(const char* name) { return FindUserIndex(name) >= 0 ? 1 : 0; }

// ---- Growth and order ------------------------------------------------------------------

int ResizeUserArray(int n) {
  if (n < g_capacity) return FR_INVALID_PARAMETER;
  const size_t more = static_cast<size_t>(n - g_capacity);
  void* storage = nullptr;
  try {
    // A block of the slots still missing; no record moves.
    g_order.reserve(static_cast<size_t>(n));
    g_blocks.reserve(g_blocks.size() + 1);
    if (more > 0) {
      storage = AllocateLargeBlock(more * sizeof(UserStruct));
      if (storage == nullptr) throw std::bad_alloc();
      g_blocks.push_back(SlotBlock{static_cast<UserStruct*>(storage), more, 0});
    }
  } catch (const std::exception&) {
    if (g_capacity == 0) {
      WriteLog(1, "Unable to allocate %d bytes for user array", BytesForLog(static_cast<size_t>(n), sizeof(UserStruct)));
    } else {
      WriteLog(1, "Unable to resize user array to %d bytes", BytesForLog(static_cast<size_t>(n), sizeof(UserStruct)));
    }
    return FR_NO_MEMORY;
  }
  g_capacity = n;
  ++g_generation;
  return FR_OK;
}

UserRef RefOfUser(const UserStruct* user) {
  UserRef ref;
  if (user == nullptr) return ref;
  ref.name = user->USERNAME.value_or(std::string());
  ref.uid = user->header.uid;
  return ref;
}

UserStruct* FindUserAgain(const UserRef& ref) {
  if (ref.name.empty()) return nullptr;
  UserStruct* user = FindUser(ref.name.c_str());
  return user != nullptr && user->header.uid == ref.uid ? user : nullptr;
}

int GetUserArrayCapacity() { return g_capacity; }

uint64_t GetUserArrayGeneration() { return g_generation; }

void NoteUserArrayChanged() {
  ++g_generation;
  ++g_recordsVersion;
}

uint64_t GetUserRecordsVersion() { return g_recordsVersion; }

void NoteUserRecordChanged() { ++g_recordsVersion; }

bool GetUserArrayEditSince(uint64_t from, UserArrayEdit* edit) {
  if (g_lastEdit.before != from || g_lastEdit.after != g_generation || g_lastEdit.index < 0) return false;
  *edit = g_lastEdit;
  return true;
}

void SortUsers() {
  // The order is sorted, not the records: none moves, so no entry needs
  // re-pointing.
  ++g_generation;
  ++g_recordsVersion;
  std::stable_sort(g_order.begin(), g_order.end(),
                   [](const UserStruct* a, const UserStruct* b) { return CompareUserNames(*a, *b) < 0; });
  if (g_loading) RebuildLoadIndex();
}

// ---- Copy ----------------------------------------------------------------------------

int CopyUserStruct(UserStruct* dest, const UserStruct* source) {
  if (dest == nullptr || source == nullptr) return FR_INVALID_PARAMETER;
  int rc = FR_OK;
  UserStruct copy;
  try {
    copy.header = source->header;
    copy.USERNAME = source->USERNAME;
    copy.FORENAME = source->FORENAME;
    copy.SURNAME = source->SURNAME;
    copy.EMAIL = source->EMAIL;
    copy.PASSWORD = source->PASSWORD;
    copy.GROUPLIST = source->GROUPLIST;
    copy.ADUSER = source->ADUSER;
    copy.USERDATA = source->USERDATA;  // shared: the users tree owns it
    copy.LEVEL = source->LEVEL;
    copy.PASSWORDV2 = source->PASSWORDV2;
    copy.fields.reserve(source->fields.size());
    for (const UserField& field : source->fields) {
      // A pair without a name cannot be stored: it fails the copy.
      if (!field.name) {
        rc = FR_NO_MEMORY;
        break;
      }
      copy.fields.push_back(field);
    }
  } catch (const std::exception&) {
    rc = FR_NO_MEMORY;
  }
  if (rc != FR_OK) {
    WriteLog(1, "CopyUserStruct:Error allocating space during copy");
    FreeUserStruct(dest);
    return rc;
  }
  if (dest != source) *dest = std::move(copy);
  return FR_OK;
}

// ---- Add, replace, delete -----------------------------------------------------------------

int AddUser(const char* name, UID uid, AddUserFailure* why) {
  auto refuse = [why](AddUserFailure reason) {
    if (why) *why = reason;
    return -1;
  };
  if (why) *why = ADD_USER_OK;
  if (name == nullptr || name[0] == '\0') {
    WriteLog(1, "Unable to add user to array as blank or NULL user name passed");
    return refuse(ADD_USER_NO_NAME);
  }
  if (g_freeSlots.empty() && static_cast<int>(SlotsMade()) >= g_capacity) {
    // Geometric growth (never less than the fixed step): few blocks however
    // many users a load without a reservation brings.
    const int step = g_capacity > kUserArrayGrowStep ? g_capacity : kUserArrayGrowStep;
    if (ResizeUserArray(g_capacity + step) != FR_OK) return refuse(ADD_USER_NO_MEMORY);
  }
  if (UserExists(name)) {
    WriteLog(1, "Unable to add new user >%s< as already exists", name);
    return refuse(ADD_USER_EXISTS);
  }
  if (GroupExists(name)) {
    WriteLog(1, "Unable to add new user >%s< as name already used by a group", name);
    return refuse(ADD_USER_GROUP_NAME);
  }
  // A record carrying another record's UID would share that user's file and
  // registry entry: refuse it rather than store a second holder of the UID.
  if (uid != kNoUID && IsUIDInNodeQA(uid)) {
    WriteLog(0, "Unable to add new user >%s< as UID %08X is already in use", name, uid);
    return refuse(ADD_USER_UID_IN_USE);
  }

  UserStruct record;
  const int defaults = FindExact(kDefaultUserName);
  if (defaults >= 0 && CopyUserStruct(&record, &At(static_cast<size_t>(defaults))) != FR_OK) {
    WriteLog(1, "Unable to add new user >%s< as unable to copy defaults to it", name);
    return refuse(ADD_USER_NO_MEMORY);
  }
  try {
    record.USERNAME = std::string(name);
  } catch (const std::exception&) {
    WriteLog(1, "Unable to add new user >%s< as could not allocate space for name", name);
    return refuse(ADD_USER_NO_MEMORY);
  }
  record.header.kind = NODE_KIND_USER;
  record.header.uid = uid;

  // The order is sorted, so inserting at the bisection point gives the order
  // a full sort would, without re-sorting every user; the record itself goes
  // into a free slot and no other record moves. During a load the user is
  // appended (users may come in any order; shifting the order at every
  // insertion would make the load quadratic) and the load sorts once at its end.
  const size_t pos = g_loading ? g_order.size() : LowerBoundUser(NameOf(record));
  UserStruct* slot = nullptr;
  try {
    if (g_loading) {
      if (!g_order.empty() && CompareNoCase(NameOf(At(g_order.size() - 1)), NameOf(record)) > 0) {
        if (!g_loadUnsorted) RebuildLoadIndex();
        g_loadUnsorted = true;
      }
      if (g_loadUnsorted) g_loadIndex[FoldNoCase(NameOf(record))] = pos;
    }
    const uint64_t before = g_generation;
    slot = TakeSlot(std::move(record));  // within the capacity: no record moves
    if (slot == nullptr) throw std::bad_alloc();
    g_order.insert(g_order.begin() + static_cast<std::ptrdiff_t>(pos), slot);
    ++g_generation;
    ++g_recordsVersion;
    g_lastEdit = UserArrayEdit{before, g_generation, true, static_cast<int>(pos)};
  } catch (const std::exception&) {
    if (slot != nullptr) GiveSlot(slot);
    if (g_loading && g_loadUnsorted) RebuildLoadIndex();
    WriteLog(1, "Unable to add new user >%s< as could not allocate space for name", name);
    return refuse(ADD_USER_NO_MEMORY);
  }
  if (AddNodeToQAArray(&At(pos).header) == kNoUID) {
    // The registry writes an issued UID into the record before it grows, so
    // a UID word still 0 means that none could be issued.
    const bool noUID = At(pos).header.uid == kNoUID;
    EraseUserAt(pos);
    if (noUID) {
      WriteLog(0, "Unable to add new user >%s< as no UID could be issued", name);
      return refuse(ADD_USER_NO_UID);
    }
    WriteLog(0, "Unable to add new user >%s< as it could not be registered", name);
    return refuse(ADD_USER_NO_MEMORY);
  }
  return static_cast<int>(pos);
}

int UpdateUser(UserStruct* record) {
  if (record == nullptr || !record->USERNAME || record->USERNAME->empty()) return FR_INVALID_PARAMETER;
  bool viaDomain = false;
  const int index = FindIndex(*record->USERNAME, &viaDomain);
  if (index < 0) return FR_USER_NOT_FOUND;
  UserStruct& stored = At(static_cast<size_t>(index));
  if (record->header.uid != kNoUID && record->header.uid != stored.header.uid) return FR_UID_MISMATCH;
  if (record->header.uid == kNoUID) record->header.uid = stored.header.uid;

  // Copy first, swap in only on success: a failed copy leaves the stored
  // user whole (and the next save complete).
  UserStruct fresh;
  const int rc = CopyUserStruct(&fresh, record);
  if (rc != FR_OK) return rc;
  if (fresh.USERDATA == nullptr) fresh.USERDATA = stored.USERDATA;
  // Whatever the caller's header says, the stored record stays a user with
  // its UID: the registry hands it out as kind 6.
  fresh.header.kind = NODE_KIND_USER;
  fresh.header.uid = stored.header.uid;
  // Found through domain\user: keep the stored name, which is the sort key
  // (the domain form would break the array's order). Otherwise the name is
  // the same but for letter case, which keeps the order.
  if (viaDomain) fresh.USERNAME = std::move(stored.USERNAME);
  if (NameOf(fresh) != NameOf(stored)) ++g_generation;  // a change of letter case
  // The swap keeps the record's address, so its registry entry stays right;
  // the old contents leave with `fresh`, which is not registered.
  std::swap(stored, fresh);
  ++g_recordsVersion;
  return FR_OK;
}

int DeleteUser(const char* name, bool force) {
  if (!IsValidUserName(name)) return FR_INVALID_PARAMETER;
  const int index = FindUserIndex(name);
  if (index < 0) {
    WriteLog(1, "Unable to find user >%s< in order to delete it", name);
    return FR_USER_NOT_FOUND;
  }
  const UserStruct& user = At(static_cast<size_t>(index));
  if (IsReservedUID(user.header.uid) && !force) {
    const std::string stored(NameOf(user));
    WriteLog(1, "Cannot delete the internal system user %s (%u)", stored.c_str(), user.header.uid);
    return FR_BUILT_IN;
  }
  const UID uid = user.header.uid;
  EraseUserAt(static_cast<size_t>(index));
  try {
    g_deletedUIDs.push_back(uid);
  } catch (const std::bad_alloc&) {
    WriteLog(1, "Unable to note the deleted user %08X: its users file stays", uid);
  }
  return FR_OK;
}

std::vector<UID> TakeDeletedUserUIDs() {
  std::vector<UID> taken;
  taken.swap(g_deletedUIDs);
  return taken;
}

// ---- Fields --------------------------------------------------------------------------------

int AddUserField(UserStruct* user, const char* name, const char* value) {
  if (user == nullptr || name == nullptr || name[0] == '\0') return FR_INVALID_PARAMETER;
  std::vector<UserField>& fields = user->fields;
  if (fields.size() >= fields.capacity()) {
    const size_t grown = fields.capacity() + kUserFieldGrowStep;
    try {
      fields.reserve(grown);
    } catch (const std::exception&) {
      WriteLog(1, "Unable to allocate %d bytes for field array", BytesForLog(grown, sizeof(UserField)));
      return FR_NO_MEMORY;
    }
  }
  const size_t pos = LowerBoundField(fields, name);
  if (pos < fields.size() && CompareNoCase(NameOf(fields[pos]), name) == 0) {
    WriteLog(0, "Cannot add field >%s< as already exists", name);
    return FR_ALREADY_EXISTS;
  }
  try {
    UserField field;
    field.name = std::string(name);
    if (value) field.value = std::string(value);
    fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(pos), std::move(field));
  } catch (const std::exception&) {
    WriteLog(1, "Unable to allocate %d bytes for field array", BytesForLog(fields.size() + 1, sizeof(UserField)));
    return FR_NO_MEMORY;
  }
  ++g_recordsVersion;  // a stored record's or a free-standing one's: moving on costs nothing
  return FR_OK;
}

UserField* FindUserField(UserStruct* user, const char* name) {
  if (user == nullptr || name == nullptr || name[0] == '\0') return nullptr;
  const size_t pos = LowerBoundField(user->fields, name);
  if (pos < user->fields.size() && CompareNoCase(NameOf(user->fields[pos]), name) == 0) return &user->fields[pos];
  return nullptr;
}

int DeleteUserField(UserStruct* user, const char* name) {
  if (user == nullptr || name == nullptr || name[0] == '\0') return FR_INVALID_PARAMETER;
  UserField* field = FindUserField(user, name);
  if (field == nullptr) return FR_NODE_NOT_FOUND;
  user->fields.erase(user->fields.begin() + (field - user->fields.data()));
  ++g_recordsVersion;
  return FR_OK;
}

// ---- Freeing ---------------------------------------------------------------------------------

void FreeUserStruct(UserStruct* user) {
  if (user == nullptr) return;
  if (IsSlot(user)) {
    ++g_generation;
    ++g_recordsVersion;
  }
  // Only the registered record itself gives up the entry: a copy or a
  // decoded block carrying the same UID leaves the registry alone.
  if (user->header.uid != kNoUID && GetNodeByUID(user->header.uid) == &user->header) {
    RemoveNodeFromQAArray(user->header.uid);
  }
  *user = UserStruct{};
}

void FreeStringPair(UserField* pair) {
  if (pair == nullptr) return;
  pair->name.reset();
  pair->value.reset();
}

void BeginUsersLoad() {
  g_loading = true;
  g_loadUnsorted = false;
  g_loadIndex.clear();
}

void EndUsersLoad() {
  if (!g_loading) return;
  const bool unsorted = g_loadUnsorted;
  g_loading = false;
  g_loadUnsorted = false;
  std::unordered_map<std::string, size_t>().swap(g_loadIndex);
  ++g_recordsVersion;  // the users of the load, whatever they changed in place
  if (unsorted) SortUsers();
}

bool InUsersLoad() { return g_loading; }

void FreeAllUsers() {
  // One pass over the registry for all of them: removing users one by one in
  // name order would shift the UID-sorted registry each time.
  // Without memory for the list, FreeUserStruct below unregisters each one.
  try {
    std::vector<const NodeHeader*> headers;
    headers.reserve(g_order.size());
    for (const UserStruct* user : g_order) headers.push_back(&user->header);
    RemoveNodesFromQAArray(headers);
  } catch (const std::exception&) {
  }
  for (UserStruct* user : g_order) FreeUserStruct(user);
  DestroySlots(false);  // keeps the blocks, and so the capacity
  g_order.clear();
  g_freeSlots.clear();
  ++g_generation;
  ++g_recordsVersion;
  g_loadUnsorted = false;
  g_loadIndex.clear();
}

// ---- Users time ----------------------------------------------------------------------------------

void SetUsersTime(uint32_t seconds) { g_usersTime = seconds; }

uint32_t GetUsersTime() { return g_usersTime; }

bool UsersChangedSince(int32_t t) { return t < static_cast<int32_t>(g_usersTime); }

// ---- Tests -----------------------------------------------------------------------------------------

void ResetUserStore() {
  g_loading = false;
  g_loadUnsorted = false;
  g_loadIndex.clear();
  FreeAllUsers();
  DestroySlots(true);
  std::vector<UserStruct*>().swap(g_order);
  std::vector<UserStruct*>().swap(g_freeSlots);
  g_capacity = 0;
  g_domain.reset();
  g_usersTime = 0;
  g_lastEdit = UserArrayEdit{};
  std::vector<UID>().swap(g_deletedUIDs);
}
