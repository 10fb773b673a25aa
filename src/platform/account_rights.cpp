// Account rights recorded in the registry layer.
// Platform layer: calls platform/registry.h and getpwnam_r.
#include "platform/account_rights.h"

#include <pwd.h>
#include <unistd.h>

#include "platform/registry.h"

namespace {
constexpr char kAccountsKey[] = "SECURITY\\Policy\\Accounts";
}  // namespace

int LookupAccountName(const std::string& account, std::string& sid) {
  sid.clear();
  std::string user = account;
  size_t slash = user.find('\\');
  if (slash != std::string::npos) user.erase(0, slash + 1);
  if (user.empty()) return ENOENT;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  int rc = getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (rc != 0) return rc;
  if (found == nullptr) return ENOENT;
  sid = std::to_string(found->pw_uid);
  return 0;
}

int LsaOpenPolicy() { return RegCreateKey(kAccountsKey); }

int LsaEnumerateAccountRights(const std::string& sid, std::vector<std::string>& rights) {
  rights.clear();
  int rc = RegListValues(std::string(kAccountsKey) + "\\" + sid, rights);
  if (rc == kRegNotFound || (rc == 0 && rights.empty())) return kRightsNoneYet;
  return rc;
}

int LsaAddAccountRights(const std::string& sid, const std::string& right) {
  const std::string key = std::string(kAccountsKey) + "\\" + sid;
  int rc = RegCreateKey(key);
  if (rc == 0) rc = RegSetDword(key, right, 1);
  return rc;
}
