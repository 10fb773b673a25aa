// Fuzz target: the users readers. ReadUsersXML of a users.xml holding the
// input (in a temporary home); what it loads, fully or in part, is then saved
// in version 2 (userlist.xml and users/<UID>.xml) and must reload from those
// files to the same users.
#include <cstdint>
#include <string>

#include "directory/users_files.h"
#include "foundation/result_codes.h"
#include "fuzz_support.h"
#include "users_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ClearHome();
  fuzz::ResetStores();
  const std::string path = fuzz::Home() + kUsersFileName;
  fuzz::WriteFileBytes(path, std::string_view(reinterpret_cast<const char*>(data), size));
  ReadUsersXML(path.c_str());
  if (GetUserCount() == 0) return 0;
  FUZZ_CHECK(GetUsersLoadState() == USERS_LOAD_OK || GetUsersLoadState() == USERS_LOAD_PARTIAL,
             "users loaded but the load state is %d", GetUsersLoadState());
  int rc = WriteUserList(fuzz::Home().c_str(), nullptr);
  FUZZ_CHECK(rc == FR_OK, "loaded users do not save in version 2: %d", rc);
  fuzz::CheckUsersReadBack("users.xml");
  return 0;
}
