// Fuzz target: the version-2 users reader (ReadUsersV2) of a userlist.xml and
// one per-user file, both from the input: the text before the first NUL is
// userlist.xml, the rest is users/00000300.xml. What loads, fully or in part,
// is saved again and must reload to the same users; the all-users document
// built from the files (GetAllUsersXMLV2) must be a document the users reader
// takes or a refusal, never a crash.
#include <cstdint>
#include <string>

#include "directory/users_files.h"
#include "directory/users_xml_exchange.h"
#include "foundation/result_codes.h"
#include "fuzz_support.h"
#include "users_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ClearHome();
  fuzz::ResetStores();
  std::vector<std::string> f = fuzz::SplitFields(data, size, 2);
  fuzz::WriteFileBytes(fuzz::Home() + kUserListFileName, f[0]);
  fuzz::WriteFileBytes(UserFilePath(fuzz::Home(), 0x300), f[1]);

  int code = -1;
  std::optional<std::string> all = GetAllUsersXMLV2(fuzz::Home().c_str(), &code);
  FUZZ_CHECK(all.has_value() == (code == FR_OK), "document and code disagree: %d", code);

  ReadUsersV2(fuzz::Home().c_str());
  if (GetUserCount() == 0) return 0;
  FUZZ_CHECK(GetUsersLoadState() == USERS_LOAD_OK || GetUsersLoadState() == USERS_LOAD_PARTIAL,
             "users loaded but the load state is %d", GetUsersLoadState());
  const bool partial = GetUsersLoadState() == USERS_LOAD_PARTIAL;
  int rc = WriteUserList(fuzz::Home().c_str(), nullptr);
  // After a partial load the files of the users left out are kept: a loaded
  // user that carries the UID of such a file is refused every save (15), by
  // design, until the files are mended by hand.
  if (rc == FR_WRITE_FAILED && partial) return 0;
  FUZZ_CHECK(rc == FR_OK, "loaded users do not save: %d", rc);
  fuzz::CheckUsersReadBack("userlist.xml");
  return 0;
}
