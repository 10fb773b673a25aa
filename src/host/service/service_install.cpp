// The service commands: install (the service record, its event source, its
// Settings values, the account right, the manifest entry), remove, start,
// stop and check, with the rights' counted strings.
// Host layer: calls the service status and the platform's registry, service
// manager, account rights, clock and errors.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/settings/server_settings.h"
#include "host/service/service_frame.h"
#include "host/service/service_status.h"
#include "platform/account_rights.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/registry.h"
#include "platform/service_manager.h"

namespace {

constexpr size_t kErrorTextSize = 256;
constexpr size_t kProgramPathSize = 512;
constexpr size_t kCurrentDirSize = 1024;

std::string KeyPath(const char* format, const std::string& a, const std::string& b = std::string()) {
  char path[1024];
  std::snprintf(path, sizeof path, format, a.c_str(), b.c_str());
  return path;
}

std::string SettingsKey() { return KeyPath(kSettingsKeyFormat, GetServiceIdentity().serviceName); }

std::string LastErrorText(int code) {
  SetLastError(code);
  char text[kErrorTextSize];
  return FormatLastErrorText(text, sizeof text);
}

std::string Narrow(const char16_t* text, size_t chars) {
  std::string out;
  for (size_t i = 0; i < chars; ++i) out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  return out;
}

std::u16string Widen(const std::string& text) {
  std::u16string out;
  for (unsigned char c : text) out += static_cast<char16_t>(c);
  return out;
}

// Waits, a second at a time and printing a dot each, while the service is in
// `pending`; gives up when the checkpoint has not advanced within the wait
// hint (at least kMinPendingWaitMs), with ETIMEDOUT as the last error. The
// state reached; the last error is the service's exit code when it stopped
// with one.
uint32_t WaitWhilePending(const std::string& name, uint32_t pending) {
  SleepMilliseconds(1000);
  ServiceStatus s;
  if (ScmQueryStatus(name, s) != 0) return SERVICE_STOPPED;
  uint32_t lastCheckPoint = s.checkPoint;
  uint32_t since = GetTickCount();
  while (s.currentState == pending) {
    uint32_t limit = s.waitHint > kMinPendingWaitMs ? s.waitHint : kMinPendingWaitMs;
    if (GetTickCount() - since > limit) {
      SetLastError(ETIMEDOUT);
      return s.currentState;
    }
    std::printf(".");
    std::fflush(stdout);
    SleepMilliseconds(1000);
    if (ScmQueryStatus(name, s) != 0) break;
    if (s.checkPoint != lastCheckPoint) {
      lastCheckPoint = s.checkPoint;
      since = GetTickCount();
    }
  }
  if (s.currentState == SERVICE_STOPPED && s.win32ExitCode != 0) SetLastError(static_cast<int>(s.win32ExitCode));
  return s.currentState;
}

// Opens the manager and the service, printing the failure. True when both opened.
bool OpenManagerAndService(const std::string& name) {
  int rc = ScmOpenManager();
  if (rc != 0) {
    std::printf("OpenSCManager failed - %s\n", LastErrorText(rc).c_str());
    return false;
  }
  rc = ScmOpenService(name);
  if (rc != 0) {
    std::printf("OpenService failed - %s\n", LastErrorText(rc).c_str());
    return false;
  }
  return true;
}

// Sends STOP and follows the service to its end, with the lines of -stop.
// True when it stopped.
bool StopAndWait(const std::string& name, const std::string& display) {
  ServiceStatus s;
  int rc = ScmControlService(name, SERVICE_CONTROL_STOP, s);
  if (rc != 0) {
    std::printf("%s failed to %s - %s.\n", display.c_str(), "stop", LastErrorText(rc).c_str());
    return false;
  }
  std::printf("%s %s.", "Stopping", display.c_str());
  std::fflush(stdout);
  SetLastError(0);
  if (WaitWhilePending(name, SERVICE_STOP_PENDING) == SERVICE_STOPPED) {
    std::printf("\n%s %s.\n", display.c_str(), "stopped");
    return true;
  }
  char text[kErrorTextSize];
  std::printf("\n%s failed to %s - %s.\n", display.c_str(), "stop", FormatLastErrorText(text, sizeof text));
  return false;
}

}  // namespace

int MakeLsaString(LsaUnicodeString* string, const char16_t* text) {
  if (string == nullptr) return 0;
  size_t chars = 0;
  if (text != nullptr) {
    while (text[chars] != 0) ++chars;
  }
  if (chars > 32766) return 0;
  string->Buffer = text;
  string->Length = static_cast<uint16_t>(chars * 2);
  string->MaximumLength = text != nullptr ? static_cast<uint16_t>(chars * 2 + 2) : 0;
  return 1;
}

bool LsaStringsEqual(const LsaUnicodeString* a, const LsaUnicodeString* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->Length != b->Length) return false;
  if (a->Length == 0) return true;
  if (a->Buffer == nullptr || b->Buffer == nullptr) return a->Buffer == b->Buffer;
  return std::memcmp(a->Buffer, b->Buffer, a->Length) == 0;
}

void DumpLsaString(const LsaUnicodeString* string, const char* label) {
  if (string == nullptr) return;
  std::string text = string->Buffer != nullptr ? Narrow(string->Buffer, string->Length / 2) : std::string();
  std::printf("%s: [%.*s] (len=%d) size=%d max=%d\n", label != nullptr ? label : "", static_cast<int>(text.size()),
              text.c_str(), string->Length / 2, string->Length, string->MaximumLength);
}

int InstallEventSource(const char* logName, const char* sourceName, const char* messageFile, uint32_t categoryCount) {
  const std::string key = KeyPath(kEventSourceKeyFormat, logName, sourceName);
  if (RegCreateKey(key) != 0) {
    std::printf("Could not create the registry key.");
    return 0;
  }
  if (RegSetString(key, "EventMessageFile", REG_EXPAND_SZ, messageFile) != 0) {
    std::printf("Could not set the event message file.");
    return 0;
  }
  if (RegSetDword(key, "TypesSupported", 7) != 0) {
    std::printf("Could not set the supported types.");
    return 0;
  }
  if (RegSetString(key, "CategoryMessageFile", REG_EXPAND_SZ, messageFile) != 0) {
    std::printf("Could not set the category message file.");
    return 0;
  }
  if (RegSetDword(key, "CategoryCount", categoryCount) != 0) {
    std::printf("Could not set the category count.");
    return 0;
  }
  return 1;
}

int WriteServiceSettings(int argc, char** argv) {
  std::string port = argc >= 2 ? argv[1] : "32000";
  // The service's working directory is the state root: the home is kept as
  // an absolute path, a relative word resolved against the current directory.
  char cwd[kCurrentDirSize];
  std::string current = getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
  std::string home = argc >= 3 ? argv[2] : current;
  if (home.empty() || home[0] != '/') home = current + (home.empty() ? "" : "/" + home);
  const std::string key = SettingsKey();
  if (RegCreateKey(key) != 0) {
    std::printf("Failed to open/create registry: %s\n", key.c_str());
    return 1;
  }
  int rc = 0;
  if (RegSetString(key, "Listener Port", REG_SZ, port) != 0) {
    std::printf("Failed to set/create 'Listener Port' value.\n");
    rc = 1;
  }
  if (home.size() >= kHomeDirectorySize || RegSetString(key, "HomeDir", REG_SZ, home) != 0) {
    std::printf("Failed to set/create 'home directory' value.\n");
    rc = 1;
  }
  RegFlushKey(key);
  return rc;
}

int GrantAccountRight(const char* account, const char16_t* right) {
  std::string name = account != nullptr ? account : "";
  if (name.compare(0, 2, ".\\") == 0) name.erase(0, 2);
  std::string sid;
  int rc = LookupAccountName(name, sid);
  if (rc != 0) {
    std::printf("LookupAccountName() failed, error %d\n", rc);
    return 1;
  }
  rc = LsaOpenPolicy();
  if (rc != 0) {
    std::printf("LsaOpenPolicy() failed, error %d\n", rc);
    return 1;
  }
  LsaUnicodeString wanted;
  MakeLsaString(&wanted, right);
  const std::string rightText = Narrow(wanted.Buffer != nullptr ? wanted.Buffer : u"", wanted.Length / 2);
  std::vector<std::string> rights;
  rc = LsaEnumerateAccountRights(sid, rights);
  if (rc != 0 && rc != kRightsNoneYet) {
    std::printf("LsaEnumerateAccountRights() failed, error %d\n", rc);
    return 1;
  }
  for (const std::string& held : rights) {
    std::u16string wide = Widen(held);
    LsaUnicodeString has;
    if (MakeLsaString(&has, wide.c_str()) && LsaStringsEqual(&has, &wanted)) {
      std::printf("User '%s' already has '%s'\n", name.c_str(), rightText.c_str());
      return 0;
    }
  }
  rc = LsaAddAccountRights(sid, rightText);
  if (rc != 0) {
    std::printf("LsaAddAccountRights() failed, error %d\n", rc);
    return 1;
  }
  std::printf("Granted '%s' to '%s'\n", rightText.c_str(), name.c_str());
  return 0;
}

int CreateManifestEntry() {
  const ServiceIdentity& id = GetServiceIdentity();
  std::string key = kManifestServicesKey;
  int rc = RegCreateKey(key);
  if (rc == 0) rc = RegCreateKey(key += std::string("\\") + kManifestAppKey);
  if (rc == 0) rc = RegCreateKey(key += "\\" + id.serviceName);
  if (rc == 0 && !id.account.empty()) rc = RegSetString(key, "User", REG_SZ, id.account);
  return rc;
}

int DeleteRegKeyTree(const std::string& parent, const std::string& name) { return RegDeleteTree(parent, name); }

int RemoveManifestEntry() {
  return DeleteRegKeyTree(std::string(kManifestServicesKey) + "\\" + kManifestAppKey,
                          GetServiceIdentity().serviceName);
}

int InstallService(int argc, char** argv) {
  const ServiceIdentity& id = GetServiceIdentity();
  char path[kProgramPathSize];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof path - 1) {
    if (n > 0) SetLastError(ENAMETOOLONG);
    char text[kErrorTextSize];
    std::printf("Unable to install %s - %s\n", id.displayName.c_str(), FormatLastErrorText(text, sizeof text));
    return 1;
  }
  path[n] = '\0';
  int failed = InstallEventSource("Application", id.serviceName.c_str(), path, 0) == 1 ? 0 : 1;
  int rc = ScmOpenManager();
  if (rc != 0) {
    std::printf("OpenSCManager failed - %s\n", LastErrorText(rc).c_str());
    return 1;
  }
  ServiceConfig config;
  config.name = id.serviceName;
  config.displayName = id.displayName;
  config.imagePath = path;
  config.account = id.account;  // the password is never stored
  rc = ScmCreateService(config);
  if (rc != 0) {
    std::printf("CreateService failed - %s\n", LastErrorText(rc).c_str());
    return 1;
  }
  std::printf("%s installed.\n", id.displayName.c_str());
  if (!id.description.empty()) ScmSetDescription(id.serviceName, id.description);
  failed |= WriteServiceSettings(argc, argv);
  if (!id.account.empty()) failed |= GrantAccountRight(id.account.c_str(), kServiceLogonRight);
  rc = CreateManifestEntry();
  if (rc == 0) {
    std::printf("Created Manifest entry '%s\\%s'\n", kManifestAppKey, id.serviceName.c_str());
  } else {
    std::printf("CreateManifestEntry failed - %s\n", FormatErrorText(rc));
    failed = 1;
  }
  return failed;
}

int RemoveService() {
  const ServiceIdentity& id = GetServiceIdentity();
  if (!OpenManagerAndService(id.serviceName)) return 1;
  int failed = 0;
  ServiceStatus s;
  if (ScmControlService(id.serviceName, SERVICE_CONTROL_STOP, s) == 0) {
    std::printf("Stopping %s.", id.displayName.c_str());
    std::fflush(stdout);
    if (WaitWhilePending(id.serviceName, SERVICE_STOP_PENDING) == SERVICE_STOPPED) {
      std::printf("\n%s stopped.\n", id.displayName.c_str());
    } else {
      std::printf("\n%s failed to stop.\n", id.displayName.c_str());
      failed = 1;
    }
  }
  int rc = ScmDeleteService(id.serviceName);
  if (rc != 0) {
    std::printf("DeleteService failed - %s\n", LastErrorText(rc).c_str());
    failed = 1;
  } else if (ScmOpenService(id.serviceName) == 0) {
    // Still running: the record goes when it stops.
    std::printf("%s marked for deletion: it is removed when it stops.\n", id.displayName.c_str());
  } else {
    std::printf("%s removed.\n", id.displayName.c_str());
  }
  rc = RemoveManifestEntry();
  if (rc == 0) {
    std::printf("Removed Manifest entry '%s\\%s'\n", kManifestAppKey, id.serviceName.c_str());
  } else {
    std::printf("RemoveManifestEntry failed - %s\n", FormatErrorText(rc));
    failed = 1;
  }
  return failed;
}

int ControlServiceCommand(uint32_t control, int check) {
  const char *first, *done, *verb;
  uint32_t wanted, pending;
  if (control == kControlStart) {
    wanted = SERVICE_RUNNING, pending = SERVICE_START_PENDING, first = "Starting", done = "started", verb = "start";
  } else if (control == kControlStop) {
    wanted = SERVICE_STOPPED, pending = SERVICE_STOP_PENDING, first = "Stopping", done = "stopped", verb = "stop";
  } else {
    return 160;
  }
  const ServiceIdentity& id = GetServiceIdentity();
  const std::string& display = id.displayName;
  if (!OpenManagerAndService(id.serviceName)) return 1;
  int rc;
  ServiceStatus s;
  if (control == kControlStop) rc = ScmControlService(id.serviceName, SERVICE_CONTROL_STOP, s);
  else rc = ScmStartService(id.serviceName, check ? std::vector<std::string>{kStartCheckArg} : std::vector<std::string>{});
  if (rc != 0) {
    std::printf("%s failed to %s - %s.\n", display.c_str(), verb, LastErrorText(rc).c_str());
    return 1;
  }
  std::printf("%s %s.", first, display.c_str());
  std::fflush(stdout);
  SetLastError(0);
  int failed = 0;
  if (WaitWhilePending(id.serviceName, pending) == wanted) {
    std::printf("\n%s %s.\n", display.c_str(), done);
    // A check leaves nothing running: the service, seen RUNNING, is stopped.
    if (check && !StopAndWait(id.serviceName, display)) failed = 1;
  } else {
    char text[kErrorTextSize];
    std::printf("\n%s failed to %s - %s.\n", display.c_str(), verb, FormatLastErrorText(text, sizeof text));
    failed = 1;
  }
  std::fflush(stdout);
  return failed;
}
