// Fuzz target: the event-driven version-1 users reader (ReadUsersXMLEvents)
// over a users.xml holding the input. Every record it makes must be a sound
// stored user (a valid name, its UID registered to it, the array sorted by
// name), and what it loaded must save in version 2.
#include <cstdint>
#include <string>

#include "directory/user_records.h"
#include "directory/users_files.h"
#include "directory/users_v1_event_reader.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/util.h"
#include "fuzz_support.h"
#include "users_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ClearHome();
  fuzz::ResetStores();
  const std::string path = fuzz::Home() + kUsersFileName;
  fuzz::WriteFileBytes(path, std::string_view(reinterpret_cast<const char*>(data), size));
  const int rc = ReadUsersXMLEvents(path.c_str());
  FUZZ_CHECK(rc == -1 || rc == FR_OK || rc == FR_INVALID_PARAMETER, "reader gave %d", rc);
  for (int i = 0; i < GetUserCount(); ++i) {
    const UserStruct* u = GetUserByIndex(i);
    FUZZ_CHECK(u->USERNAME && IsValidUserName(u->USERNAME->c_str()), "record %d has no valid name", i);
    FUZZ_CHECK(u->header.uid != 0 && GetNodeByUID(u->header.uid) == &u->header, "record %d is not registered", i);
    FUZZ_CHECK(u->USERDATA == nullptr, "record %d links settings", i);
    if (i > 0) {
      FUZZ_CHECK(CompareNoCase(*GetUserByIndex(i - 1)->USERNAME, *u->USERNAME) < 0, "array not sorted at %d", i);
    }
  }
  if (GetUserCount() == 0) return 0;
  const int saved = WriteUserList(fuzz::Home().c_str(), nullptr);
  FUZZ_CHECK(saved == FR_OK, "loaded users do not save in version 2: %d", saved);
  return 0;
}
