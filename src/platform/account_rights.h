// Account rights of our own: accounts looked up in the user database after
// any "DOMAIN\" or ".\" prefix, rights recorded as values of the registry key
// "SECURITY\Policy\Accounts\<uid>". Nothing here changes how processes run:
// a service runs as the account that starts it.
// Platform layer: calls platform/registry.h and getpwnam_r.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

constexpr int kRightsNoneYet = ENOENT;  // the account has no rights recorded (2)

// The account's identifier (its numeric user ID as text). 0, or ENOENT when
// the database has no such user.
int LookupAccountName(const std::string& account, std::string& sid);
// Opens the policy store: 0, or the errno that keeps it closed.
int LsaOpenPolicy();
// The account's rights; kRightsNoneYet when there are none.
int LsaEnumerateAccountRights(const std::string& sid, std::vector<std::string>& rights);
int LsaAddAccountRights(const std::string& sid, const std::string& right);
