// Fuzz target: the env.xml reader (ReadEnvironmentsXML of a file holding the
// input, in a temporary home). Whatever model it builds, fully or up to a
// failure, the system may write back to env.xml: that file must read back to
// the same environments, descriptions and applications.
#include <cstdint>
#include <string>

#include "config/config_model.h"
#include "config/settings_exchange.h"
#include "config/settings_files_write.h"
#include "foundation/result_codes.h"
#include "fuzz_support.h"

namespace {

std::string DumpRoot() {
  const TorvaneStructure* root = GetConfigRoot();
  if (root == nullptr) return "(no root)";
  std::string out;
  for (const EnvironmentStruct& env : root->envs) {
    fuzz::AppendQuoted(out, env.name);
    out += " desc=";
    fuzz::AppendQuoted(out, fuzz::ReadBack(env.description, true));
    out += '\n';
    for (const ApplicationStruct& app : env.apps) {
      out += "  ";
      fuzz::AppendQuoted(out, app.name);
      out += '\n';
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ClearHome();
  fuzz::ResetStores();
  const std::string path = fuzz::Home() + kEnvMasterFileName;
  fuzz::WriteFileBytes(path, std::string_view(reinterpret_cast<const char*>(data), size));
  int rc = ReadEnvironmentsXML(path.c_str(), fuzz::Home().c_str());
  FUZZ_CHECK(rc == FR_OK || rc == FR_XML_ERROR || rc == FR_CANNOT_OPEN_FILE, "unexpected code %d", rc);
  if (GetConfigRoot() == nullptr) return 0;
  const std::string before = DumpRoot();

  rc = WriteEnvironmentMasterFile(path.c_str());
  FUZZ_CHECK(rc == FR_OK, "the model read does not write: %d", rc);
  const std::string written = fuzz::ReadFileBytes(path);
  fuzz::ResetStores();
  rc = ReadEnvironmentsXML(path.c_str(), fuzz::Home().c_str());
  // env.xml itself must parse; a settings file of an application may still
  // fail to open (14: a name too long for the file system), as on the first read.
  FUZZ_CHECK(rc == FR_OK || rc == FR_CANNOT_OPEN_FILE, "written env.xml does not read back: %d\n%s", rc,
             written.substr(0, 2000).c_str());
  const std::string after = DumpRoot();
  FUZZ_CHECK(before == after, "environments differ after writing\n  %s", fuzz::FirstDifference(before, after).c_str());
  return 0;
}
