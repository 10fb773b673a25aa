// AuthenticationFlags, password expiry, the computer's domain and the text
// conversions of the logons. Sessions layer: calls the settings API, the
// directory's password dates and user settings, the platform account layer
// and the log.
#include "sessions/logon_settings.h"

#include <cstring>

#include "config/settings_api.h"
#include "directory/passwords.h"
#include "directory/user_accessors.h"
#include "directory/user_records.h"
#include "foundation/log/ring_log.h"
#include "foundation/util/util.h"
#include "platform/account.h"
#include "platform/clock.h"

namespace {

constexpr const char kLiveEnvName[] = "Live";
constexpr const char kServerAppName[] = "Torvane";

uint32_t g_authenticationFlags = 0;
int g_insecureAD = 0;
std::string g_computerDomain;

}  // namespace

void ReadAuthenticationSettings() {
  struct AllowSetting {
    const char* path;
    int32_t defaultValue;
    uint32_t bit;
  };
  static const AllowSetting kAllow[] = {
      {kAllowGuestLoginSetting, 0, kAuthAllowGuest},     {kAllowADTokenLoginSetting, 0, kAuthAllowADToken},
      {kAllowADUserLoginSetting, 0, kAuthAllowADUser},   {kAllowADUPLoginSetting, 0, kAuthAllowADUP},
      {kAllowInternalLoginSetting, 1, kAuthAllowInternal},
  };
  g_authenticationFlags = 0;
  g_insecureAD = GetSettingInt(kLiveEnvName, kServerAppName, kInsecureADAuthenticationSetting, 0);
  for (const AllowSetting& s : kAllow)
    if (GetSettingInt(kLiveEnvName, kServerAppName, s.path, s.defaultValue) != 0) g_authenticationFlags |= s.bit;
}

uint32_t GetAuthenticationFlags() { return g_authenticationFlags; }

int GetInsecureADAuthentication() { return g_insecureAD; }

void SetAuthenticationFlags(uint32_t flags, int insecureAD) {
  g_authenticationFlags = flags;
  g_insecureAD = insecureAD;
}

int32_t GetPasswordMaxAge() {
  const char* rules = GetPWRulesString();
  if (!rules) return 0;
  const char* a = std::strchr(rules, 'a');
  return a ? ParseSettingInt(a + 1) : 0;
}

bool PasswordHasExpired(const char* user) {
  int64_t maxAge = GetPasswordMaxAge();
  if (maxAge <= 0) return false;
  if (GetUserSettingInt(user, kLiveEnvName, kServerAppName, kNeverExpiresPasswordSetting, nullptr) != 0)
    return false;
  // A Date of 0x80000000 or more reads as a time before 1970: long expired.
  int64_t date = static_cast<int32_t>(GetUserPasswordDate(user));
  if (date == 0) return false;
  int64_t now = NowSeconds();
  int64_t today = (now + kSecondsPerDay - 1) / kSecondsPerDay * kSecondsPerDay;
  return date < today - maxAge * kSecondsPerDay;
}

const std::string& GetComputerDomainName() {
  if (!g_computerDomain.empty()) return g_computerDomain;
  std::optional<std::string> setting = GetComputerDomainSetting();
  std::string domain;
  if (setting) {
    domain = *setting;
  } else {
    std::string account;
    if (!GetAccountNameSamCompatible(account)) return g_computerDomain;
    size_t slash = account.find('\\');
    if (slash != std::string::npos) domain = account.substr(0, slash);
  }
  if (domain.size() >= kComputerDomainBufferSize) domain.resize(kComputerDomainBufferSize - 1);
  g_computerDomain = domain;
  return g_computerDomain;
}

void InitComputerDomain() {
  const std::string& domain = GetComputerDomainName();
  SetComputerDomain(domain.empty() ? nullptr : domain.c_str());
}

void ResetComputerDomainName() { g_computerDomain.clear(); }

std::optional<std::u16string> ConvertUTF8ToUTF16(const char* text, size_t byteLength, size_t* unitCount) {
  if (unitCount) *unitCount = 0;
  if (!text) return std::nullopt;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  std::u16string out;
  out.reserve(byteLength);
  size_t i = 0;
  // Bytes a sequence still needs, within the length and before the NUL.
  auto has = [&](size_t n) {
    for (size_t k = 1; k <= n; ++k)
      if (i + k >= byteLength || p[i + k] == 0) return false;
    return true;
  };
  while (i < byteLength && p[i] != 0) {
    unsigned char b = p[i];
    if (b < 0x80) {
      out.push_back(b);
      i += 1;
    } else if ((b & 0xE0) == 0xC0 && has(1)) {
      out.push_back(static_cast<char16_t>(((b & 0x1F) << 6) | (p[i + 1] & 0x3F)));
      i += 2;
    } else if ((b & 0xF0) == 0xE0 && has(2)) {
      out.push_back(static_cast<char16_t>(((b & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F)));
      i += 3;
    } else {
      WriteLog(0, "Unhandled UTF8 encountered");
      return std::nullopt;
    }
  }
  if (unitCount) *unitCount = out.size();
  return out;
}

std::string ConvertLatin1ToUTF8(const char* text) {
  std::string out;
  if (!text) return out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p >= 0x80) {
      out.push_back(static_cast<char>(0xC0 | (*p >> 6)));
      out.push_back(static_cast<char>(0x80 | (*p & 0x3F)));
    } else {
      out.push_back(static_cast<char>(*p));
    }
  }
  return out;
}

bool IsStorableLogonName(const char* name) {
  if (!name || !IsValidXmlText(name)) return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p)
    if (*p < 0x20 || *p == 0x7F) return false;
  return true;
}
