// Fuzz target: the settings API's path operations with fuzzed paths and
// values (SetSettingString, GetSettingString, DeleteSetting) on application
// "Fuzz" of "Live" and "Test" in a temporary home. The input is a list of
// steps: one operation byte, then a path and a value, each ended by a NUL.
//   bits 0-1: 0 set the value, 1 set without a value, 2 get (with the "Live"
//             fallback), 3 delete the node at the path
//   bit 2:    the environment "Test" instead of "Live"
// A value that was set reads back at once; at the end each settings file the
// steps wrote must read back to the trees in memory.
#include <cstdint>
#include <string>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/settings_api.h"
#include "config/settings_files_read.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "fuzz_support.h"

namespace {

constexpr const char kApp[] = "Fuzz";
constexpr const char* kEnvs[] = {"Live", "Test"};
constexpr int kMaxSteps = 64;

void FreshRoot() {
  fuzz::ResetStores();
  FUZZ_CHECK(CreateConfigRoot(fuzz::Home().c_str()) == 0, "no root");
  for (const char* env : kEnvs) {
    FUZZ_CHECK(CreateEnvironment(GetConfigRoot(), env, 0) != nullptr, "no environment");
    FUZZ_CHECK(AddApplication(FindEnvironment(env), kApp) != nullptr, "no application");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ClearHome();
  FreshRoot();
  size_t pos = 0;
  for (int step = 0; step < kMaxSteps && pos < size; ++step) {
    const uint8_t op = data[pos++];
    const std::string path = fuzz::TakeField(data, size, pos);
    const std::string value = fuzz::TakeField(data, size, pos);
    const char* env = kEnvs[(op >> 2) & 1];
    std::optional<std::string> got;
    switch (op & 3) {
      case 0:
      case 1: {
        const char* text = (op & 3) == 0 ? value.c_str() : nullptr;
        const std::string before = fuzz::DumpApplication(FindApplication(FindEnvironment(env), kApp));
        int rc = SetSettingString(env, kApp, path.c_str(), text);
        FUZZ_CHECK(rc == FR_OK || rc == FR_INVALID_PARAMETER, "SetSettingString gave %d", rc);
        if (rc != FR_OK) {
          FUZZ_CHECK(fuzz::DumpApplication(FindApplication(FindEnvironment(env), kApp)) == before,
                     "a refused setting changed the tree");
          break;
        }
        rc = GetSettingString(env, kApp, path.c_str(), 0, 0, got);
        FUZZ_CHECK(rc == FR_OK, "a value set does not read: %d", rc);
        FUZZ_CHECK(got == (text ? std::optional<std::string>(text) : std::nullopt), "a value set reads otherwise");
        break;
      }
      case 2: {
        int rc = GetSettingString(env, kApp, path.c_str(), 1, 0, got);
        FUZZ_CHECK(rc == FR_OK || rc == FR_NODE_NOT_FOUND || rc == FR_INVALID_PARAMETER, "GetSettingString gave %d",
                   rc);
        break;
      }
      default: {
        ApplicationStruct* app = FindApplication(FindEnvironment(env), kApp);
        ParamTreeNode* node = FindParamNode(app->configRoot, path.c_str());
        int rc = DeleteSetting(node ? node->header.uid : 0, env, kApp, true);
        FUZZ_CHECK(node ? rc == FR_OK : rc == FR_INVALID_PARAMETER, "DeleteSetting gave %d", rc);
        if (node != nullptr) {
          FUZZ_CHECK(GetSettingString(env, kApp, path.c_str(), 0, 0, got) != FR_OK ||
                         FindParamNode(FindApplication(FindEnvironment(env), kApp)->configRoot, path.c_str()) !=
                             nullptr,
                     "a deleted setting still reads");
        }
        break;
      }
    }
  }

  // Each application whose file the steps wrote reads back to its trees.
  std::string before[2];
  bool written[2];
  for (int i = 0; i < 2; ++i) {
    std::string path;
    GetEnvAppFileName(path, fuzz::Home().c_str(), kEnvs[i], kApp);
    written[i] = FileExists(path) == 1;
    before[i] = fuzz::DumpApplication(FindApplication(FindEnvironment(kEnvs[i]), kApp));
  }
  FreshRoot();
  for (int i = 0; i < 2; ++i) {
    if (!written[i]) continue;
    EnvironmentStruct* env = FindEnvironment(kEnvs[i]);
    int rc = ReadApplicationSettingsXML(fuzz::Home().c_str(), env, FindApplication(env, kApp));
    FUZZ_CHECK(rc == FR_OK, "settings file of %s does not read back: %d", kEnvs[i], rc);
    const std::string after = fuzz::DumpApplication(FindApplication(FindEnvironment(kEnvs[i]), kApp));
    FUZZ_CHECK(before[i] == after, "settings of %s differ after reading back\n  %s", kEnvs[i],
               fuzz::FirstDifference(before[i], after).c_str());
  }
  return 0;
}
