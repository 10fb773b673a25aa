// The Active Directory logons: type 2 against a real slapd over ldaps:// and
// ldap:// (own password, the domain retry, a down-level name of another
// domain, the guest fallback, wrong, empty and unconvertible passwords, a
// stopped server, a certificate from another CA), and type 3 without a bind.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "foundation/result_codes.h"
#include "platform/account.h"
#include "platform/ldap_bind.h"
#include "sessions/connection_table.h"
#include "sessions/logon_fixture.h"
#include "sessions/logon_settings.h"
#include "sessions/logon_slots.h"
#include "sessions/logons.h"
#include "support/slapd_fixture.h"

namespace {

using logon_test::LogonStore;

constexpr int32_t kClient = 33;
const char kUtf8Password[] = "p\xC3\xA9\xE2\x82\xAC";  // p, e acute, euro sign

class ADLogonTest : public LogonStore, public ::testing::WithParamInterface<bool> {
 protected:
  static std::unique_ptr<SlapdFixture> slapd;

  static void SetUpTestSuite() {
    slapd = std::make_unique<SlapdFixture>();
    bool started = slapd->Start({
        {"CORP", "alice", "alicepw"},
        {"CORP", "dave", "davepw"},
        {"CORP", "erin", "erinpw"},
        {"CORP", "gus", "guspw"},
        {"CORP", "uma", kUtf8Password},
        {"OTHERDOM", "bob", "otherpw"},
    });
    if (!started) ADD_FAILURE() << slapd->error;
  }
  static void TearDownTestSuite() { slapd.reset(); }

  ConnectionRecord conn;

  void SetUp() override {
    ASSERT_TRUE(slapd && slapd->pid > 0) << (slapd ? slapd->error : "no slapd");
    LogonStore::SetUp();
    conn = ConnectionRecord{};
    SetAuthenticationFlags(kAuthAllowInternal | kAuthAllowADUP | kAuthAllowADUser, Insecure() ? 1 : 0);
    Point();
    ResetComputerDomainName();
    SetComputerDomainSetting(std::string("CORP"));
    InitComputerDomain();
  }
  void TearDown() override {
    SetLdapURIs("", "");
    SetLdapCACertFile("");
    SetLdapBindNameTemplate("");
    SetComputerDomainSetting(std::nullopt);
    ResetComputerDomainName();
    LogonStore::TearDown();
  }

  static bool Insecure() { return GetParam(); }
  static void Point() {
    SetLdapURIs(slapd->SecureURI(), slapd->PlainURI());
    SetLdapCACertFile(slapd->CAFile());
    SetLdapBindNameTemplate(SlapdFixture::kBindTemplate);
  }

  int Logon(const char* name, const char* password, LUS** slot = nullptr) {
    LUS* other = nullptr;
    int rc = ADUPLogin(&conn, name, password, kClient, &other);
    if (slot) *slot = FindLUSByLogonUID(conn.logonUID);
    return rc;
  }

  // Waits (bounded) until slapd has logged a bind of `account` after byte
  // `from` of its log.
  static bool LoggedBindOf(const std::string& account, size_t from) {
    const std::string needle = "BIND dn=\"uid=" + account + ",";
    for (int i = 0; i < 200; ++i) {
      if (slapd->Log().find(needle, from) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};
std::unique_ptr<SlapdFixture> ADLogonTest::slapd;

TEST_P(ADLogonTest, AUsersOwnPasswordLogsOn) {
  LUS* slot = nullptr;
  ASSERT_EQ(Logon("alice", "alicepw", &slot), FR_OK);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->AUTHTYPE, AUTHTYPE_AD_PASSWORD);
  EXPECT_EQ(slot->USERNAME.value_or("?"), "alice");
  EXPECT_EQ(slot->userUID, 0x1007u);
  EXPECT_EQ(slot->GUEST, 0);
  ASSERT_EQ(Logon("uma", kUtf8Password, &slot), FR_OK);
  EXPECT_EQ(slot->USERNAME.value_or("?"), "uma");
}

TEST_P(ADLogonTest, TheComputersDomainIsTriedForABareName) {
  LUS* slot = nullptr;
  ASSERT_EQ(Logon("dave", "davepw", &slot), FR_OK);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->USERNAME.value_or("?"), "CORP\\dave");
  EXPECT_EQ(slot->userUID, 0x1008u);
}

TEST_P(ADLogonTest, GuestFallback) {
  LUS* slot = nullptr;
  EXPECT_EQ(Logon("erin", "erinpw"), FR_AUTH_FAILED);  // no guest logons allowed
  SetAuthenticationFlags(GetAuthenticationFlags() | kAuthAllowGuest, Insecure() ? 1 : 0);
  ASSERT_EQ(Logon("erin", "erinpw", &slot), FR_OK);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->GUEST, 1);
  EXPECT_EQ(slot->USERNAME.value_or("?"), "CORP\\erin");
  EXPECT_EQ(slot->userUID, 0xEE6B2806u);
  // A down-level name binds in its own domain.
  ASSERT_EQ(Logon("OTHERDOM\\bob", "otherpw", &slot), FR_OK);
  EXPECT_EQ(slot->USERNAME.value_or("?"), "OTHERDOM\\bob");
  EXPECT_EQ(Logon("OTHERDOM\\bob", "bobpw"), FR_AUTH_FAILED);
  // A name the slot could not carry in its documents is refused.
  EXPECT_EQ(Logon("CORP\\er\x01in", "erinpw"), FR_AUTH_FAILED);
}

TEST_P(ADLogonTest, RefusalsWithAndWithoutABind) {
  struct Case {
    const char* id;
    const char* name;
    const char* password;
    int expected;
  };
  const Case cases[] = {
      {"wrong password", "alice", "nope", FR_AUTH_FAILED},
      {"four-byte character", "alice", "x\xF0\x9F\x98\x80", FR_AUTH_FAILED},
      {"internal user", "bob", "bobpw", FR_AUTH_FAILED},
      {"guest", "guest", "x", FR_BUILT_IN},
      {"empty password", "gus", "", FR_AUTH_FAILED},
      {"no password", "gus", nullptr, FR_AUTH_FAILED},
      {"empty account", "CORP\\", "guspw", FR_AUTH_FAILED},
  };
  const size_t from = slapd->Log().size();
  for (const Case& c : cases) EXPECT_EQ(Logon(c.name, c.password), c.expected) << c.id;
  // The empty ones never reached the server: a later bind of gus shows, and
  // it is the only one.
  EXPECT_EQ(Logon("gus", "wrong"), FR_AUTH_FAILED);
  ASSERT_TRUE(LoggedBindOf("gus", from));
  const std::string log = slapd->Log().substr(from);
  const std::string needle = "BIND dn=\"uid=gus,";
  EXPECT_EQ(log.find(needle), log.rfind(needle));
}

TEST_P(ADLogonTest, ASessionThatCannotBeMadeGivesOne) {
  SetLdapURIs("no scheme at all", "no scheme at all");
  EXPECT_EQ(Logon("alice", "alicepw"), FR_NO_MEMORY);
  EXPECT_EQ(conn.logonUID, 0u);
}

TEST_P(ADLogonTest, AStoppedServerGivesTwo) {
  slapd->Stop();
  EXPECT_EQ(Logon("alice", "alicepw"), FR_INVALID_PARAMETER);
  ASSERT_TRUE(slapd->Launch()) << slapd->error;
  Point();
  EXPECT_EQ(Logon("alice", "alicepw"), FR_OK);
}

TEST_P(ADLogonTest, ACertificateFromAnotherCAGivesTwo) {
  SetLdapCACertFile(slapd->OtherCAFile());
  // Plain LDAP has no certificate to check.
  EXPECT_EQ(Logon("alice", "alicepw"), Insecure() ? FR_OK : FR_INVALID_PARAMETER);
}

INSTANTIATE_TEST_SUITE_P(Transports, ADLogonTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "PlainLdap" : "Ldaps";
                         });

// ---- Type 3: the client vouches for the user ----------------------------------------------

class ADUserLogonTest : public LogonStore {
 protected:
  void SetUp() override {
    LogonStore::SetUp();
    SetTrustedADUserLogonEnabled(true);
  }
  void TearDown() override {
    SetTrustedADUserLogonEnabled(false);
    LogonStore::TearDown();
  }
  ConnectionRecord conn;
  int Logon(const char* name, LUS** slot = nullptr) {
    LUS* other = nullptr;
    int rc = ADUserLogin(&conn, name, kClient, &other);
    if (slot) *slot = FindLUSByLogonUID(conn.logonUID);
    return rc;
  }
};

// The logon without a password needs both the operator's switch and the
// setting's bit.
TEST_F(ADUserLogonTest, RefusedUnlessTheSwitchAndTheBitAllowIt) {
  struct Case {
    bool trusted;
    uint32_t flags;
    int expected;
  };
  for (const Case& c : {Case{false, 0, FR_METHOD_NOT_ALLOWED}, Case{false, kAuthAllowADUser, FR_METHOD_NOT_ALLOWED},
                        Case{true, 0, FR_METHOD_NOT_ALLOWED}, Case{true, kAuthAllowADUser, FR_OK}}) {
    SetTrustedADUserLogonEnabled(c.trusted);
    SetAuthenticationFlags(c.flags, 0);
    EXPECT_EQ(Logon("alice"), c.expected) << c.trusted << " " << c.flags;
  }
}

TEST_F(ADUserLogonTest, ResultsAndTheGuestFallback) {
  EXPECT_EQ(Logon("alice"), FR_METHOD_NOT_ALLOWED);
  SetAuthenticationFlags(kAuthAllowADUser, 0);
  LUS* slot = nullptr;
  ASSERT_EQ(Logon("alice", &slot), FR_OK);
  EXPECT_EQ(slot->AUTHTYPE, AUTHTYPE_AD_USER);
  EXPECT_EQ(slot->USERNAME.value_or("?"), "alice");
  EXPECT_EQ(Logon("bob"), FR_AUTH_FAILED);
  EXPECT_EQ(Logon("guest"), FR_BUILT_IN);
  EXPECT_EQ(Logon("caf\xE9"), FR_AUTH_FAILED);
  SetAuthenticationFlags(kAuthAllowADUser | kAuthAllowGuest, 0);
  ASSERT_EQ(Logon("caf\xE9", &slot), FR_OK);
  EXPECT_EQ(slot->GUEST, 1);
  EXPECT_EQ(slot->USERNAME.value_or("?"), "caf\xC3\xA9");
  ASSERT_EQ(Logon("\xE9\xFF", &slot), FR_OK);
  EXPECT_EQ(slot->USERNAME.value_or("?"), "\xC3\xA9\xC3\xBF");
  EXPECT_EQ(Logon("a\tb"), FR_AUTH_FAILED);  // not storable in the session documents
}

}  // namespace
