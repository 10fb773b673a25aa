// Fuzz target: the per-user settings path operations with fuzzed names, paths
// and values, on the first-start users of a temporary home. The input is a
// list of steps: one operation byte, then section, subsection, path and
// value, each ended by a NUL.
//   bits 0-2: 0 SetUserSetting, 1 SetUserSetting without a value,
//             2 SetUserSettingCreate, 3 GetUserSetting, 4 AddUserEnvSection,
//             5 DeleteUserEnvSection, 6-7 GetUserSetting of Live\Torvane
//   bits 4-5: the user (administrator, guest, default_user, ZentakUser)
// A value set reads back at once; at the end the users in memory must be the
// users the version-2 files give when read afresh.
#include <cstdint>
#include <string>

#include "directory/user_settings.h"
#include "foundation/result_codes.h"
#include "fuzz_support.h"
#include "users_store.h"

namespace {

constexpr const char* kUsers[] = {"administrator", "guest", "default_user", "ZentakUser"};
constexpr int kMaxSteps = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::MakeFirstStartUsers();
  size_t pos = 0;
  for (int step = 0; step < kMaxSteps && pos < size; ++step) {
    const uint8_t op = data[pos++];
    const char* user = kUsers[(op >> 4) & 3];
    const std::string section = fuzz::TakeField(data, size, pos);
    const std::string subsection = fuzz::TakeField(data, size, pos);
    const std::string path = fuzz::TakeField(data, size, pos);
    const std::string value = fuzz::TakeField(data, size, pos);
    const std::string before = fuzz::DumpAllUsers();
    int rc = 0;
    int reason = 0;
    // A refused change leaves the users as they were.
    auto unchangedOnRefusal = [&](const char* what) {
      if (rc == FR_OK) return;
      const std::string after = fuzz::DumpAllUsers();
      FUZZ_CHECK(after == before, "%s refused with %d but the users changed\n  %s", what, rc,
                 fuzz::FirstDifference(before, after).c_str());
    };
    switch (op & 7) {
      case 0:
      case 1:
      case 2: {
        const char* text = (op & 7) == 1 ? nullptr : value.c_str();
        rc = (op & 7) == 2 ? SetUserSettingCreate(user, section.c_str(), subsection.c_str(), path.c_str(), text)
                           : SetUserSetting(user, section.c_str(), subsection.c_str(), path.c_str(), text);
        FUZZ_CHECK(rc != FR_CANNOT_OPEN_FILE && rc != FR_WRITE_FAILED && rc != FR_USER_NOT_FOUND,
                   "setting gave %d", rc);
        unchangedOnRefusal("setting");
        if (rc != FR_OK) break;
        std::optional<std::string> got =
            GetUserSetting(user, section.c_str(), subsection.c_str(), path.c_str(), &reason);
        FUZZ_CHECK(reason == FR_OK && got == std::string(text ? text : ""), "a value set reads otherwise (%d)",
                   reason);
        break;
      }
      case 3:
        GetUserSetting(user, section.c_str(), subsection.c_str(), path.c_str(), &reason);
        break;
      case 4:
        rc = AddUserEnvSection(user, section.c_str());
        FUZZ_CHECK(rc == FR_OK || rc == FR_INVALID_PARAMETER, "AddUserEnvSection gave %d", rc);
        unchangedOnRefusal("AddUserEnvSection");
        break;
      case 5:
        rc = DeleteUserEnvSection(user, section.c_str());
        FUZZ_CHECK(rc != FR_CANNOT_OPEN_FILE && rc != FR_WRITE_FAILED, "DeleteUserEnvSection gave %d", rc);
        unchangedOnRefusal("DeleteUserEnvSection");
        break;
      default:
        GetUserSetting(user, "Live", "Torvane", path.c_str(), &reason);
        break;
    }
  }
  fuzz::CheckUsersReadBack("user settings");
  return 0;
}
