// The logons' settings and helpers: the AuthenticationFlags word, the maximum
// password age and the expiry rule, the computer's domain, and the text
// conversions of the directory logons.
#include "sessions/logon_settings.h"

#include <gtest/gtest.h>

#include <climits>

#include "config/settings_api.h"
#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "platform/account.h"
#include "platform/clock.h"
#include "sessions/logon_fixture.h"

namespace {

using logon_test::kMidnight;
using logon_test::kTenOClock;
using logon_test::LogonStore;

// ---- Text conversions ---------------------------------------------------------------

struct Utf16Case {
  const char* id;
  std::string bytes;
  size_t length;          // the byte length given
  bool converts;
  std::u16string units;
};

TEST(ConvertUTF8ToUTF16, TwoAndThreeByteFormsConvertLongerOnesFail) {
  const Utf16Case cases[] = {
      {"ascii", "abc", 3, true, u"abc"},
      {"empty", "", 0, true, u""},
      {"two bytes", "p\xC3\xA9", 3, true, u"p\u00E9"},
      {"three bytes", "\xE2\x82\xAC!", 4, true, u"\u20AC!"},
      {"stops at the nul", std::string("ab\0cd", 5), 5, true, u"ab"},
      {"stops at the length", "abcd", 2, true, u"ab"},
      {"four bytes", "x\xF0\x9F\x98\x80", 5, false, u""},
      {"stray continuation", "a\x80", 2, false, u""},
      {"two bytes cut by nul", std::string("a\xC3\0z", 4), 4, false, u""},
      {"three bytes cut by nul", std::string("\xE2\x82\0", 3), 3, false, u""},
      {"three bytes cut by length", "\xE2\x82\xAC", 2, false, u""},
      {"five-byte lead", "\xF8\x88\x80\x80\x80", 5, false, u""},
  };
  for (const Utf16Case& c : cases) {
    size_t units = 99;
    std::optional<std::u16string> out = ConvertUTF8ToUTF16(c.bytes.data(), c.length, &units);
    ASSERT_EQ(out.has_value(), c.converts) << c.id;
    if (!c.converts) {
      EXPECT_EQ(units, 0u) << c.id;
      continue;
    }
    EXPECT_EQ(*out, c.units) << c.id;
    EXPECT_EQ(units, c.units.size()) << c.id;
    EXPECT_EQ(out->c_str()[units], u'\0') << c.id;
  }
  EXPECT_FALSE(ConvertUTF8ToUTF16(nullptr, 0, nullptr).has_value());
}

TEST(ConvertLatin1ToUTF8, HighBytesBecomeTwoBytes) {
  EXPECT_EQ(ConvertLatin1ToUTF8("caf\xE9"), "caf\xC3\xA9");
  EXPECT_EQ(ConvertLatin1ToUTF8("\xFF\x80\xC0"), "\xC3\xBF\xC2\x80\xC3\x80");
  EXPECT_EQ(ConvertLatin1ToUTF8("plain"), "plain");
  EXPECT_EQ(ConvertLatin1ToUTF8(""), "");
}

TEST(IsStorableLogonName, RefusesBadUTF8AndControlBytes) {
  EXPECT_TRUE(IsStorableLogonName("CORP\\erin"));
  EXPECT_TRUE(IsStorableLogonName("caf\xC3\xA9"));
  EXPECT_FALSE(IsStorableLogonName("caf\xE9"));
  EXPECT_FALSE(IsStorableLogonName("a\tb"));
  EXPECT_FALSE(IsStorableLogonName("a\x01" "b"));
  EXPECT_FALSE(IsStorableLogonName("a\x7F"));
  EXPECT_FALSE(IsStorableLogonName(nullptr));
}

// ---- The computer's domain ------------------------------------------------------------

TEST(ComputerDomain, SettingFirstThenTheAccountsDomainPart) {
  struct Case {
    const char* id;
    std::optional<std::string> setting;
    std::optional<std::string> account;
    const char* expected;
  };
  const Case cases[] = {
      {"account with domain", std::nullopt, std::string("CORP\\svc"), "CORP"},
      {"account without domain", std::nullopt, std::string("svc"), ""},
      {"explicit setting wins", std::string("EXPL"), std::string("CORP\\svc"), "EXPL"},
      {"long domain cut", std::nullopt, std::string(300, 'D') + "\\svc", nullptr},
  };
  for (const Case& c : cases) {
    ResetComputerDomainName();
    SetComputerDomainSetting(c.setting);
    SetAccountNameOverride(c.account);
    if (c.expected)
      EXPECT_EQ(GetComputerDomainName(), c.expected) << c.id;
    else
      EXPECT_EQ(GetComputerDomainName(), std::string(255, 'D')) << c.id;
  }
  // Once found, the domain stays for the process.
  ResetComputerDomainName();
  SetComputerDomainSetting(std::nullopt);
  SetAccountNameOverride(std::string("CORP\\svc"));
  EXPECT_EQ(GetComputerDomainName(), "CORP");
  SetAccountNameOverride(std::string("OTHER\\svc"));
  EXPECT_EQ(GetComputerDomainName(), "CORP");
  InitComputerDomain();
  ASSERT_NE(GetComputerDomain(), nullptr);
  EXPECT_EQ(*GetComputerDomain(), "CORP");
  SetComputerDomain(nullptr);
  SetAccountNameOverride(std::nullopt);
  ResetComputerDomainName();
}

// ---- Settings and expiry ----------------------------------------------------------------

class LogonSettingsTest : public LogonStore {};

TEST_F(LogonSettingsTest, AuthenticationFlagsFromTheServersSettings) {
  ReadAuthenticationSettings();
  EXPECT_EQ(GetAuthenticationFlags(), kAuthAllowInternal);  // AllowInternalLogin defaults to 1
  EXPECT_EQ(GetInsecureADAuthentication(), 0);
  SetLiveSetting(kAllowGuestLoginSetting, "1");
  SetLiveSetting(kAllowADTokenLoginSetting, "1");
  SetLiveSetting(kAllowADUserLoginSetting, "0");
  SetLiveSetting(kAllowADUPLoginSetting, "7");
  SetLiveSetting(kAllowInternalLoginSetting, "0");
  SetLiveSetting(kInsecureADAuthenticationSetting, "1");
  ReadAuthenticationSettings();
  EXPECT_EQ(GetAuthenticationFlags(), 1u | 2u | 8u);
  EXPECT_EQ(GetInsecureADAuthentication(), 1);
}

TEST_F(LogonSettingsTest, MaxAgeIsTheNumberAfterTheFirstLowerCaseA) {
  struct Case {
    const char* rules;  // null: no rules setting
    int32_t age;
  };
  const Case cases[] = {
      {nullptr, 0}, {"r3", 0}, {"a30", 30}, {"r2a7a9", 7}, {"A30", 0}, {"a-4", -4},
      {"a99999999999", INT32_MAX}, {"ax", 0},
  };
  for (const Case& c : cases) {
    if (c.rules) SetLiveSetting(kPWRulesPath, c.rules);
    EXPECT_EQ(GetPasswordMaxAge(), c.age) << (c.rules ? c.rules : "(none)");
  }
}

TEST_F(LogonSettingsTest, ExpiryInSixtyFourBitsWithTheSignedDate) {
  const int64_t today = kMidnight + 86400;  // the boundary at or after 10:00
  struct Case {
    const char* id;
    const char* rules;
    int64_t date;        // Passwords\Date; -1: missing
    int neverExpires;
    bool expired;
  };
  const Case cases[] = {
      {"no age in the rules", "r3", today - 400 * 86400, 0, false},
      {"age 0", "a0", today - 400 * 86400, 0, false},
      {"one day, two days old", "a1", today - 2 * 86400, 0, true},
      {"one day, exactly at the limit", "a1", today - 86400, 0, false},
      {"a30, 31 days before the boundary", "a30", today - 31 * 86400, 0, true},
      {"a30, but never expires", "a30", today - 31 * 86400, 1, false},
      {"date 0 never expires", "a1", 0, 0, false},
      {"date missing", "a1", -1, 0, false},
      {"24856 days does not wrap", "a24856", 1, 0, false},
      {"date 0x80000000 lies before 1970", "a30", 0x80000000LL, 0, true},
  };
  for (const Case& c : cases) {
    SetLiveSetting(kPWRulesPath, c.rules);
    char date[16];
    std::snprintf(date, sizeof date, "%08X", static_cast<uint32_t>(c.date));
    ASSERT_EQ(SetUserSettingCreate("expbob", "Live", "Torvane", "Passwords\\Date", c.date < 0 ? "" : date), 0);
    ASSERT_EQ(SetUserSettingCreate("expbob", "Live", "Torvane", "Passwords\\NeverExpires",
                                   c.neverExpires ? "1" : "0"),
              0);
    EXPECT_EQ(PasswordHasExpired("expbob"), c.expired) << c.id;
  }
}

}  // namespace
