// Fuzz target: the users XML exchange and per-user settings from client text,
// on the first-start users of a temporary home. The first byte chooses the
// operation; the rest is NUL-separated: user name, section, subsection,
// branch, text.
//   0 SetUserXML   1 UpdateUserXML   2 SetUserSettingsXML   3 SetUserDataXML
//   4 SetUserAppBranchXML (clear when bit 7 of the first byte is set)
//   5 SetUsersXML
// A refused text must leave the users as they were (a failure after a change
// reloads them from the files), and whatever the answer, the users in memory
// must be the users the version-2 files give when read afresh.
// PASSWORDV2 is renamed in the texts of operations 0 and 1, which would hash
// a plain password with bcrypt at cost 12 (see StripPlainPasswords).
#include <cstdint>
#include <string>

#include "directory/user_settings.h"
#include "directory/users_xml_exchange.h"
#include "foundation/result_codes.h"
#include "fuzz_support.h"
#include "users_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int op = (data[0] & 0x7F) % 6;
  const bool clear = (data[0] & 0x80) != 0;
  std::vector<std::string> f = fuzz::SplitFields(data + 1, size - 1, 5);
  const char* name = f[0].c_str();
  const char* section = f[1].c_str();
  const char* subsection = f[2].c_str();
  const char* branch = f[3].c_str();
  std::string& text = f[4];
  if (op <= 1) fuzz::StripPlainPasswords(text);

  fuzz::MakeFirstStartUsers();
  const std::string before = fuzz::DumpAllUsers();
  int rc = 0;
  const char* what = "";
  switch (op) {
    case 0: rc = SetUserXML(name, text.c_str()); what = "SetUserXML"; break;
    case 1: rc = UpdateUserXML(name, text.c_str()); what = "UpdateUserXML"; break;
    case 2: rc = SetUserSettingsXML(name, section, subsection, text.c_str()); what = "SetUserSettingsXML"; break;
    case 3: rc = SetUserDataXML(name, text.c_str()); what = "SetUserDataXML"; break;
    case 4:
      rc = SetUserAppBranchXML(name, section, subsection, branch, clear ? 1 : 0, text.c_str());
      what = "SetUserAppBranchXML";
      break;
    default: rc = SetUsersXML(text.c_str()); what = "SetUsersXML"; break;
  }
  FUZZ_CHECK(rc != FR_CANNOT_OPEN_FILE && rc != FR_WRITE_FAILED, "%s: a save failed: %d", what, rc);
  if (rc != FR_OK) {
    // A refused text changes nothing; a failure after the users changed
    // reloads them from the files, which still hold the users as they were.
    const std::string after = fuzz::DumpAllUsers();
    FUZZ_CHECK(after == before, "%s: refused with %d but the users changed\n  %s", what, rc,
               fuzz::FirstDifference(before, after).c_str());
  }
  fuzz::CheckUsersReadBack(what);
  return 0;
}
