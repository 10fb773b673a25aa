// The account name, the computer-domain setting, the integration switch, the
// server logon's secret, the trusted directory-user logon switch and the
// environment's texts.
// Platform layer: calls getpwuid_r and getenv only.
#include "platform/account.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

std::mutex g_lock;

std::optional<std::string>& DomainSetting() {
  static std::optional<std::string> domain = []() -> std::optional<std::string> {
    if (const char* v = std::getenv("TORVANE_COMPUTER_DOMAIN")) return std::string(v);
    return std::nullopt;
  }();
  return domain;
}

std::optional<std::string> g_accountOverride;

// True when the environment variable `name` is exactly "1".
bool EnvironmentSwitchOn(const char* name) {
  const char* v = std::getenv(name);
  return v && std::strcmp(v, "1") == 0;
}

std::atomic<bool>& IntegrationSwitch() {
  static std::atomic<bool> on{EnvironmentSwitchOn("TORVANE_INTEGRATION_PASSWORD")};
  return on;
}

std::atomic<bool>& TrustedADUserSwitch() {
  static std::atomic<bool> on{EnvironmentSwitchOn("TORVANE_TRUSTED_AD_USER_LOGON")};
  return on;
}

std::string& ServerLogonSecret() {
  static std::string secret = [] {
    const char* v = std::getenv("TORVANE_SERVER_LOGON_SECRET");
    return std::string(v ? v : "");
  }();
  return secret;
}

}  // namespace

bool GetAccountNameSamCompatible(std::string& out) {
  out.clear();
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_accountOverride) {
      out = *g_accountOverride;
      return true;
    }
  }
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name)
    return false;
  out = found->pw_name;
  return true;
}

void SetAccountNameOverride(const std::optional<std::string>& name) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_accountOverride = name;
}

void SetComputerDomainSetting(const std::optional<std::string>& domain) {
  std::lock_guard<std::mutex> hold(g_lock);
  DomainSetting() = domain;
}

std::optional<std::string> GetComputerDomainSetting() {
  std::lock_guard<std::mutex> hold(g_lock);
  return DomainSetting();
}

void SetIntegrationPasswordEnabled(bool enabled) { IntegrationSwitch().store(enabled); }

bool IntegrationPasswordEnabled() { return IntegrationSwitch().load(); }

void SetServerLogonSecret(const std::string& secret) {
  std::lock_guard<std::mutex> hold(g_lock);
  ServerLogonSecret() = secret;
}

std::string GetServerLogonSecret() {
  std::lock_guard<std::mutex> hold(g_lock);
  return ServerLogonSecret();
}

void SetTrustedADUserLogonEnabled(bool enabled) { TrustedADUserSwitch().store(enabled); }

bool TrustedADUserLogonEnabled() { return TrustedADUserSwitch().load(); }

std::optional<std::string> GetEnvironmentText(const char* name) {
  const char* value = name != nullptr ? std::getenv(name) : nullptr;
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}
