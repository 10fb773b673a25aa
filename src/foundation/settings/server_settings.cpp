// The process-wide server settings and the version texts.
// Foundation layer.
#include "foundation/settings/server_settings.h"

#include <cstring>

#include "foundation/result_codes.h"

// Each text follows its marker in one array, so the marker finds it in the binary.
__attribute__((used)) const char kVersionString[] = "VeRsIoN_StRiNg:5.0";
__attribute__((used)) const char kBuildString[] = "BuIlDnO_StRiNg:000.001";

namespace {
constexpr size_t kMarkerLength = 15;
ServerSettings g_settings;
}  // namespace

ServerSettings& GetServerSettings() { return g_settings; }

void ResetServerSettings() { g_settings = ServerSettings(); }

int SetHomeDirectory(const char* dir) {
  std::string home = (dir == nullptr || *dir == '\0') ? "." : dir;
  if (home.back() != '/') home += '/';
  if (home.size() + 1 > kHomeDirectorySize) return FR_INVALID_PARAMETER;
  memcpy(g_settings.homeDirectory, home.c_str(), home.size() + 1);
  g_settings.usersFilePath = home + "users.xml";
  return FR_OK;
}

void SetLogSlotCount(int32_t slots) { g_settings.logSlotCount = slots < kMinLogSlots ? kMinLogSlots : slots; }

const char* GetVersionText() { return kVersionString + kMarkerLength; }
const char* GetBuildText() { return kBuildString + kMarkerLength; }
