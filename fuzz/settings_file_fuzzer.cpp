// Fuzz target: the settings-file reader through SetApplicationXML (a client's
// settings text for application "Fuzz" of "Live", on a configuration root in
// a temporary home). A text that is taken must be the file byte for byte, and
// the application the system then writes with its own writer must read back
// to the same trees.
#include <cstdint>
#include <string>

#include "config/config_model.h"
#include "config/settings_exchange.h"
#include "config/settings_files_read.h"
#include "config/settings_files_write.h"
#include "foundation/result_codes.h"
#include "fuzz_support.h"

namespace {

constexpr const char kApp[] = "Fuzz";

// A fresh root in the home directory with "Live" and, when asked, the
// application already there with a small settings file of its own.
void FreshRoot(bool withApp) {
  fuzz::ResetStores();
  FUZZ_CHECK(CreateConfigRoot(fuzz::Home().c_str()) == 0, "no root");
  FUZZ_CHECK(CreateEnvironment(GetConfigRoot(), kLiveEnvironmentName, 0) != nullptr, "no Live");
  if (withApp) FUZZ_CHECK(AddApplication(FindEnvironment(kLiveEnvironmentName), kApp) != nullptr, "no app");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ClearHome();
  const bool existing = size > 0 && (data[0] & 1) != 0;
  FreshRoot(existing);
  std::string path;
  FUZZ_CHECK(GetEnvAppFileName(path, fuzz::Home().c_str(), kLiveEnvironmentName, kApp) == 0, "no file name");

  const std::string text(reinterpret_cast<const char*>(data), size);
  int rc = SetApplicationXML(kLiveEnvironmentName, kApp, text.c_str());
  if (rc != FR_OK) {
    FUZZ_CHECK(rc == FR_XML_ERROR || rc == FR_INVALID_PARAMETER, "unexpected code %d", rc);
    FUZZ_CHECK(!fuzz::ReadFileBytes(path).size(), "a refused text reached the file");
    // The model is unchanged too: no application, or the existing one empty.
    ApplicationStruct* app = FindApplication(FindEnvironment(kLiveEnvironmentName), kApp);
    FUZZ_CHECK(existing ? app != nullptr && app->configRoot == nullptr && app->permRoot == nullptr : app == nullptr,
               "a refused text changed the model");
    return 0;
  }
  FUZZ_CHECK(fuzz::ReadFileBytes(path) == std::string(text.c_str()), "the file is not the text");

  EnvironmentStruct* env = FindEnvironment(kLiveEnvironmentName);
  ApplicationStruct* app = FindApplication(env, kApp);
  FUZZ_CHECK(app != nullptr, "application missing after a good text");
  const std::string before = fuzz::DumpApplication(app);

  // The system's own writer, then a fresh read of what it wrote.
  rc = WriteApplicationSettingsXML(path.c_str(), env, app);
  FUZZ_CHECK(rc == FR_OK, "the application does not write: %d", rc);
  const std::string written = fuzz::ReadFileBytes(path);
  FreshRoot(true);
  env = FindEnvironment(kLiveEnvironmentName);
  rc = ReadApplicationSettingsXML(fuzz::Home().c_str(), env, FindApplication(env, kApp));
  FUZZ_CHECK(rc == FR_OK, "written settings file does not read back: %d\n%s", rc, written.substr(0, 2000).c_str());
  const std::string after = fuzz::DumpApplication(FindApplication(FindEnvironment(kLiveEnvironmentName), kApp));
  FUZZ_CHECK(before == after, "settings differ after writing\n  %s", fuzz::FirstDifference(before, after).c_str());
  return 0;
}
