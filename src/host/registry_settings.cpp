// The start-up reads of the service's registry settings.
// Host layer: calls the service identity, the server settings and the
// platform's registry.
#include "host/registry_settings.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/settings/server_settings.h"
#include "host/run_server.h"
#include "host/service/service_frame.h"
#include "host/service/service_status.h"
#include "platform/registry.h"

namespace {
// One value into a buffer of `size` bytes as text; false when missing or longer.
bool ReadText(const std::string& key, const char* name, uint32_t size, std::string& out) {
  std::string buffer(size, '\0');
  uint32_t got = size;
  if (RegQueryValue(key, name, nullptr, buffer.data(), &got) != 0) return false;
  buffer.resize(got);
  size_t nul = buffer.find('\0');
  out = buffer.substr(0, nul);
  return true;
}
}  // namespace

int32_t ReadRegistrySettings(std::string* portText) {
  int32_t slots = kMinLogSlots;
  if (portText != nullptr) portText->clear();
  if (!g_serviceMode) return slots;
  char key[1024];
  std::snprintf(key, sizeof key, kSettingsKeyFormat, GetServiceIdentity().serviceName.c_str());
  if (RegOpenKey(key) != 0) return slots;
  std::string text;
  if (ReadText(key, "Listener Port", kRegPortBufferSize, text) && portText != nullptr) {
    // The port mode after an '@' is not used.
    size_t at = text.find('@');
    *portText = text.substr(0, at);
  }
  if (ReadText(key, "LogSlots", kRegLogSlotsBufferSize, text)) {
    long value = std::strtol(text.c_str(), nullptr, 10);
    slots = value < kMinLogSlots ? kMinLogSlots : value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
  }
  if (ReadText(key, "LogSlotOperations", kRegLogSlotOperationsBufferSize, text))
    GetServerSettings().logSlotOperations = static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10));
  if (ReadText(key, "HomeDir", kRegHomeDirBufferSize, text)) {
    // Too long for the names the server appends: the default stays.
    if (text.size() + 1 + kHomeNameReserve < kHomeDirectorySize) SetHomeDirectory(text.c_str());
  }
  return slots;
}
