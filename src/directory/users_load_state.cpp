// The users files' load state (none, loaded, partial, failed) and what a
// load leaves for the saves after it (the list's UIDs, the files of skipped
// users, the texts a reload read), the reload, and the reset to the
// process-start state.
// Directory layer: calls the users tree, the user records, the server
// settings and the other users-files parts.
#include "directory/users_files.h"
#include "directory/users_files_private.h"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "directory/users_tree.h"
#include "foundation/result_codes.h"
#include "foundation/settings/server_settings.h"

namespace users_files_detail {

UsersLoadState g_loadState = USERS_LOAD_NONE;
std::vector<UID> g_listUIDs;
// Per-user files of users the last load skipped: not rewritten until the next load.
std::unordered_set<UID> g_protectedUIDs;
UID g_highestUnlistedUID = kNoUID;
// The version-2 read passed over a file or part of the list: the load is partial.
bool g_readSkipped = false;

// The text of each per-user file as the last version-2 read found it, kept
// only for the rewrite of a reload that follows it (ReloadUsers): a file
// whose new text is the same is not written again.
bool g_keepReadTexts = false;
std::unordered_map<UID, std::string> g_readTexts;

FileReadAheadOptions g_readAheadOptions;

}  // namespace users_files_detail

using namespace users_files_detail;

UsersLoadState GetUsersLoadState() { return g_loadState; }

UID GetHighestKeptUserFileUID() {
  UID highest = g_highestUnlistedUID;
  for (const UID uid : g_protectedUIDs) {
    if (uid > highest && !IsReservedUID(uid)) highest = uid;
  }
  return highest;
}

int FreeUsersData() {
  FreeUsersXMLTree();
  FreeAllUsers();
  return FR_OK;
}

int ReloadUsers() {
  const char* home = GetServerSettings().homeDirectory;
  FreeUsersData();
  // The rewrite that follows leaves alone every file that already holds its
  // new text: the texts read are kept for it, and dropped after it.
  g_keepReadTexts = true;
  int rc = ReadUsersV2(home);
  g_keepReadTexts = false;
  if (rc == FR_OK) rc = SaveUsers(home, nullptr);
  std::unordered_map<UID, std::string>().swap(g_readTexts);
  return rc;
}

void ResetUsersFiles() {
  g_loadState = USERS_LOAD_NONE;
  std::vector<UID>().swap(g_listUIDs);
  g_protectedUIDs.clear();
  g_highestUnlistedUID = kNoUID;
  g_readSkipped = false;
  ResetConversionRun();
  ForgetListOnDisk();
  std::vector<UID>().swap(g_filesOfDeletedUsers);
  g_keepReadTexts = false;
  std::unordered_map<UID, std::string>().swap(g_readTexts);
  g_readAheadOptions = FileReadAheadOptions{};
  ResetUsersTree();
}
