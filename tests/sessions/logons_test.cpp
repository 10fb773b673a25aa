// The internal logon methods against a real directory store: results in the
// order of their tests, the server logon and server connections, where each
// method ends the previous logon, the password rules and the integration
// password switch, and the session-ID replies.
#include "sessions/logons.h"

#include <gtest/gtest.h>

#include "config/settings_api.h"
#include "directory/passwords.h"
#include "directory/user_accessors.h"
#include "directory/user_settings.h"
#include "foundation/result_codes.h"
#include "platform/account.h"
#include "sessions/connection_table.h"
#include "sessions/logon_fixture.h"
#include "sessions/logon_slots.h"
#include "sessions/session_admin.h"
#include "support/socket_pair.h"

namespace {

using logon_test::kMidnight;
using logon_test::ConnectedLogonStore;

constexpr int32_t kClient = 17;
constexpr const char kPeerSecret[] = "peer-secret";  // the server logon's secret where a test sets one

class LogonsTest : public ConnectedLogonStore {
 protected:
  void TearDown() override {
    SetIntegrationPasswordEnabled(false);
    SetServerLogonSecret("");
    ConnectedLogonStore::TearDown();
  }

  // A logon of the connection's own, made first so that its ending shows.
  uint32_t LogOnBob() {
    LUS* other = nullptr;
    EXPECT_EQ(InternalLogin(&conn, "bob", "bobpw", kClient, &other), FR_OK);
    return conn.logonUID;
  }
};

using Method = int (*)(ConnectionRecord*, const char*, const char*, int32_t, LUS**);

struct ResultCase {
  const char* id;
  Method method;
  const char* name;
  const char* password;
  int32_t clientID;
  int expected;
};

TEST_F(LogonsTest, InternalResultsInTheirOrder) {
  const ResultCase cases[] = {
      {"type 1 right password", InternalLogin, "bob", "bobpw", kClient, FR_OK},
      {"type 1 name case", InternalLogin, "BOB", "bobpw", kClient, FR_OK},
      {"type 1 wrong password", InternalLogin, "bob", "nope", kClient, FR_AUTH_FAILED},
      {"type 1 no password", InternalLogin, "bob", nullptr, kClient, FR_AUTH_FAILED},
      {"type 1 not in the directory", InternalLogin, "nobody", "x", kClient, FR_AUTH_FAILED},
      {"type 1 AD user", InternalLogin, "alice", "x", kClient, FR_AUTH_FAILED},
      {"type 1 legacy hash", InternalLogin, "carol", "carolpw", kClient, FR_OK},
      {"type 1 legacy hash wrong", InternalLogin, "carol", "carolpx", kClient, FR_AUTH_FAILED},
      {"type 1 must change", InternalLogin, "mustbob", "mustpw", kClient, FR_MUST_CHANGE_PASSWORD},
      {"type 1 must change, wrong password", InternalLogin, "mustbob", "x", kClient, FR_AUTH_FAILED},
      {"type 1 must and cannot", InternalLogin, "mcbob", "mcpw", kClient, FR_CANNOT_CHANGE_PASSWORD},
      {"type 1 administrator with both", InternalLogin, "admboth", "admpw", kClient, FR_MUST_CHANGE_PASSWORD},
      {"type 1 guest", InternalLogin, "guest", "guestpw", kClient, FR_BUILT_IN},
      {"type 1 default_user", InternalLogin, "Default_User", "defpw", kClient, FR_BUILT_IN},
      {"type 1 no name", InternalLogin, nullptr, "x", kClient, FR_INVALID_PARAMETER},
      {"type 1 '#' as a client program", InternalLogin, "#", "", 5, FR_AUTH_FAILED},
      {"type 6 right password", InternalOtherLogin, "bob", "bobpw", kClient, FR_OK},
      {"type 6 guest", InternalOtherLogin, "guest", "guestpw", kClient, FR_PERMISSION_DENIED},
      {"type 6 must change alone", InternalOtherLogin, "mustbob", "mustpw", kClient, FR_OK},
      {"type 6 must and cannot", InternalOtherLogin, "mcbob", "mcpw", kClient, FR_CANNOT_CHANGE_PASSWORD},
      {"type 6 administrator with both", InternalOtherLogin, "admboth", "admpw", kClient, FR_OK},
      {"type 6 wrong password", InternalOtherLogin, "bob", "x", kClient, FR_AUTH_FAILED},
      {"type 6 AD user", InternalOtherLogin, "alice", "x", kClient, FR_AUTH_FAILED},
      {"type 6 '#' is no server logon", InternalOtherLogin, "#", "", 70000, FR_AUTH_FAILED},
  };
  for (const ResultCase& c : cases) {
    LUS* other = nullptr;
    EXPECT_EQ(c.method(&conn, c.name, c.password, c.clientID, &other), c.expected) << c.id;
  }
}

TEST_F(LogonsTest, ASuccessfulLogonFillsItsSlot) {
  ASSERT_EQ(SetUserSettingCreate("bob", "Live", "Torvane", "DefaultEnvironment", "Test"), 0);
  LUS* other = nullptr;
  ASSERT_EQ(InternalLogin(&conn, "BOB", "bobpw", kClient, &other), FR_OK);
  EXPECT_EQ(other, nullptr);
  LUS* slot = FindLUSByLogonUID(conn.logonUID);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->ISAUTH, 1);
  EXPECT_EQ(slot->AUTHTYPE, AUTHTYPE_INTERNAL);
  EXPECT_EQ(slot->CC, 1);
  EXPECT_EQ(slot->userUID, 0x1001u);
  EXPECT_EQ(slot->USERNAME.value_or("?"), "BOB");  // the name as the client sent it
  EXPECT_EQ(slot->ENVNAME.value_or("?"), "Test");
  EXPECT_EQ(slot->GUEST, 0);
  ASSERT_EQ(slot->sessions.size(), 1u);
  EXPECT_EQ(slot->sessions[0].CID, kClient);
}

TEST_F(LogonsTest, InternalLoginsNotAllowedButTheServerLogonStillWorks) {
  SetAuthenticationFlags(0, 0);
  LUS* other = nullptr;
  EXPECT_EQ(InternalLogin(&conn, "bob", "bobpw", kClient, &other), FR_METHOD_NOT_ALLOWED);
  EXPECT_EQ(InternalLogin(&conn, "#", "", 5, &other), FR_METHOD_NOT_ALLOWED);
  EXPECT_EQ(InternalOtherLogin(&conn, "bob", "bobpw", kClient, &other), FR_METHOD_NOT_ALLOWED);
  EXPECT_EQ(conn.serverConnection, 0);

  SetServerLogonSecret(kPeerSecret);
  ASSERT_EQ(InternalLogin(&conn, "#", kPeerSecret, 70000, &other), FR_OK);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(conn.serverConnection, 1);
  LUS* slot = FindLUSByLogonUID(conn.logonUID);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->userUID, kServerLogonUID);
  EXPECT_EQ(slot->USERLEVEL, 0x8000u);
  EXPECT_EQ(slot->USERNAME.value_or("?"), "#");
  EXPECT_FALSE(slot->FORENAME.has_value());
}

// "#" is the server logon only with the operator's secret as its password;
// without a secret, or with any other password, it is a name the directory
// does not hold: 32, or 28 where internal logons are not allowed.
TEST_F(LogonsTest, TheServerLogonNeedsItsSecret) {
  struct Case {
    const char* id;
    const char* secret;
    const char* password;
    uint32_t flags;
    int expected;
  };
  const Case cases[] = {
      {"no secret, empty password", "", "", kAuthAllowInternal, FR_AUTH_FAILED},
      {"no secret, no password", "", nullptr, kAuthAllowInternal, FR_AUTH_FAILED},
      {"no secret, internal logons off", "", "", 0, FR_METHOD_NOT_ALLOWED},
      {"secret, empty password", kPeerSecret, "", kAuthAllowInternal, FR_AUTH_FAILED},
      {"secret, wrong last byte", kPeerSecret, "peer-secreT", kAuthAllowInternal, FR_AUTH_FAILED},
      {"secret, a prefix of it", kPeerSecret, "peer-secre", kAuthAllowInternal, FR_AUTH_FAILED},
      {"secret, one byte more", kPeerSecret, "peer-secrett", kAuthAllowInternal, FR_AUTH_FAILED},
      {"secret, twice over", kPeerSecret, "peer-secretpeer-secret", kAuthAllowInternal, FR_AUTH_FAILED},
      {"secret, wrong and internal logons off", kPeerSecret, "x", 0, FR_METHOD_NOT_ALLOWED},
      {"secret, right", kPeerSecret, kPeerSecret, kAuthAllowInternal, FR_OK},
      {"secret, right and internal logons off", kPeerSecret, kPeerSecret, 0, FR_OK},
  };
  for (const Case& c : cases) {
    SetServerLogonSecret(c.secret);
    SetAuthenticationFlags(c.flags, 0);
    ConnectionRecord fresh;
    fresh.socket = conn.socket;
    LUS* other = nullptr;
    EXPECT_EQ(InternalLogin(&fresh, "#", c.password, 70000, &other), c.expected) << c.id;
    EXPECT_EQ(fresh.serverConnection, c.expected == FR_OK ? 1 : 0) << c.id;
    LogoffConnection(&fresh);
  }
}

TEST_F(LogonsTest, OnAServerConnectionLogonsGoToOtherUser) {
  LUS* other = nullptr;
  SetServerLogonSecret(kPeerSecret);
  ASSERT_EQ(InternalLogin(&conn, "#", kPeerSecret, 70000, &other), FR_OK);
  const uint32_t server = conn.logonUID;
  ASSERT_EQ(InternalLogin(&conn, "bob", "bobpw", kClient, &other), FR_OK);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->USERNAME.value_or("?"), "bob");
  EXPECT_EQ(conn.logonUID, server);
  // A failed logon on it does not end the server's own logon either.
  EXPECT_EQ(InternalLogin(&conn, "bob", "nope", kClient, &other), FR_AUTH_FAILED);
  EXPECT_EQ(conn.logonUID, server);
  EXPECT_NE(FindLUSByLogonUID(server), nullptr);
  EXPECT_EQ(GetLUSCount(), 2);
}

TEST_F(LogonsTest, WhereEachMethodEndsThePreviousLogon) {
  struct Case {
    const char* id;
    uint32_t flags;
    Method method;
    const char* name;
    const char* password;
    int expected;
    bool ended;
  };
  const Case cases[] = {
      {"type 1 before the 28", 0, InternalLogin, "bob", "bobpw", FR_METHOD_NOT_ALLOWED, true},
      {"type 1 with a wrong password", kAuthAllowInternal, InternalLogin, "bob", "x", FR_AUTH_FAILED, true},
      {"type 6 never", kAuthAllowInternal, InternalOtherLogin, "bob", "x", FR_AUTH_FAILED, false},
      {"type 2 not before its 28", kAuthAllowInternal, ADUPLogin, "alice", "x", FR_METHOD_NOT_ALLOWED, false},
      {"type 2 after its 28, before its 26", kAuthAllowInternal | kAuthAllowADUP, ADUPLogin, "guest", "x",
       FR_BUILT_IN, true},
  };
  for (const Case& c : cases) {
    SetAuthenticationFlags(kAuthAllowInternal, 0);
    const uint32_t previous = LogOnBob();
    ASSERT_NE(previous, 0u) << c.id;
    SetAuthenticationFlags(c.flags, 0);
    LUS* other = nullptr;
    EXPECT_EQ(c.method(&conn, c.name, c.password, kClient, &other), c.expected) << c.id;
    EXPECT_EQ(conn.logonUID == 0, c.ended) << c.id;
    EXPECT_EQ(FindLUSByLogonUID(previous) == nullptr, c.ended) << c.id;
    ResetLogonSlots();
    conn.logonUID = 0;
  }
}

TEST_F(LogonsTest, ExpiredPasswordsAnswerFiftyOrFiftyOne) {
  SetLiveSetting(kPWRulesPath, "a30");
  const std::string old = FormatPasswordDate(static_cast<uint32_t>(kMidnight - 40 * 86400));
  for (const char* user : {"expbob", "cannotbob"})
    ASSERT_EQ(SetUserSettingCreate(user, "Live", "Torvane", "Passwords\\Date", old.c_str()), 0);
  LUS* other = nullptr;
  EXPECT_EQ(InternalLogin(&conn, "expbob", "exppw", kClient, &other), FR_MUST_CHANGE_PASSWORD);
  EXPECT_EQ(InternalLogin(&conn, "cannotbob", "cannotpw", kClient, &other), FR_CANNOT_CHANGE_PASSWORD);
  EXPECT_EQ(InternalOtherLogin(&conn, "expbob", "exppw", kClient, &other), FR_MUST_CHANGE_PASSWORD);
  ASSERT_EQ(SetUserSettingCreate("expbob", "Live", "Torvane", "Passwords\\NeverExpires", "1"), 0);
  EXPECT_EQ(InternalLogin(&conn, "expbob", "exppw", kClient, &other), FR_OK);
}

TEST_F(LogonsTest, IntegrationPasswordOnlyWithTheSwitchAndOnlyOnTypeOne) {
  struct Case {
    const char* id;
    bool enabled;
    Method method;
    const char* name;
    int expected;
  };
  const Case cases[] = {
      {"switch off", false, InternalLogin, "bob", FR_AUTH_FAILED},
      {"type 1", true, InternalLogin, "bob", FR_OK},
      {"type 1 despite must change", true, InternalLogin, "mustbob", FR_OK},
      {"type 1 built-in account", true, InternalLogin, "ZentakUser", FR_OK},
      {"never guest", true, InternalLogin, "guest", FR_BUILT_IN},
      {"never default_user", true, InternalLogin, "default_user", FR_BUILT_IN},
      {"never an AD user", true, InternalLogin, "alice", FR_AUTH_FAILED},
      {"not type 6", true, InternalOtherLogin, "bob", FR_AUTH_FAILED},
      {"not case-blind", true, InternalLogin, "bob", FR_AUTH_FAILED},
  };
  for (const Case& c : cases) {
    SetIntegrationPasswordEnabled(c.enabled);
    const char* password = std::string(c.id) == "not case-blind" ? "q4bellwethers@862" : kIntegrationPassword;
    LUS* other = nullptr;
    EXPECT_EQ(c.method(&conn, c.name, password, kClient, &other), c.expected) << c.id;
  }
}

// ---- Type 7: the new password follows the token ---------------------------------------------

TEST_F(LogonsTest, PasswordChangeLogon) {
  struct Case {
    const char* id;
    const char* name;
    const char* oldPassword;
    std::string wire;  // what follows the token
    int expected;
    bool ended;        // the previous logon was ended
  };
  const Case cases[] = {
      {"absent new password", "mustbob", "mustpw", SocketPair::Word(0), FR_INVALID_PARAMETER, false},
      {"wrong old password", "mustbob", "x", SocketPair::Word(4) + std::string("new", 4), FR_AUTH_FAILED, true},
      {"cannot change", "cannotbob", "cannotpw", SocketPair::Word(4) + std::string("new", 4),
       FR_PERMISSION_DENIED, true},
      {"must and cannot", "mcbob", "mcpw", SocketPair::Word(4) + std::string("new", 4),
       FR_CANNOT_CHANGE_PASSWORD, true},
      {"guest", "guest", "guestpw", SocketPair::Word(4) + std::string("new", 4), FR_BUILT_IN, true},
      {"changed", "mustbob", "mustpw", SocketPair::Word(6) + std::string("fresh", 6), FR_OK, true},
      // Last: the client stops sending for good.
      {"new password not sent", "mustbob", "fresh", "", FR_COMMS_ERROR, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const uint32_t previous = LogOnBob();
    if (!c.wire.empty()) pair.Send(c.wire);
    else pair.EndClientSends();
    LUS* other = nullptr;
    EXPECT_EQ(InternalLoginWithPasswordChange(&conn, c.name, c.oldPassword, kClient, &other), c.expected);
    EXPECT_EQ(FindLUSByLogonUID(previous) == nullptr, c.ended);
    if (c.expected == FR_OK) {
      EXPECT_NE(conn.logonUID, 0u);
      EXPECT_EQ(UserMustChangePassword("mustbob"), 0);
      EXPECT_EQ(InternalLogin(&conn, "mustbob", "fresh", kClient, &other), FR_OK);
    }
    conn.logonUID = 0;
  }
}

TEST_F(LogonsTest, PasswordChangeToAPasswordInTheHistoryIsRefused) {
  SetLiveSetting(kPWRulesPath, "r3");
  pair.Send(SocketPair::Word(6) + std::string("fresh", 6));
  LUS* other = nullptr;
  ASSERT_EQ(InternalLoginWithPasswordChange(&conn, "bob", "bobpw", kClient, &other), FR_OK);
  pair.Send(SocketPair::Word(6) + std::string("fresh", 6));
  EXPECT_EQ(InternalLoginWithPasswordChange(&conn, "bob", "fresh", kClient, &other), FR_PASSWORD_REUSED);
}

// ---- Session-ID replies --------------------------------------------------------------------

TEST_F(LogonsTest, PutSIDSendsVersionLengthAndTheWireBytes) {
  EXPECT_EQ(PutSID(nullptr), FR_INVALID_PARAMETER);
  EXPECT_EQ(PutSID(&conn), FR_NOT_LOGGED_ON);
  conn.logonUID = 999;
  EXPECT_EQ(PutSID(&conn), FR_NOT_LOGGED_ON);
  LogOnBob();
  LUS* slot = FindLUSByLogonUID(conn.logonUID);
  ASSERT_NE(slot, nullptr);
  slot->SID = 0x0D0C0B0A;
  pair.Pending();
  EXPECT_EQ(PutSID(&conn), FR_OK);
  EXPECT_EQ(pair.Pending(), Words({1, 4}) + std::string("\x0A\x0B\x0C\x0D", 4));
  EXPECT_EQ(PutSIDForLUS(&conn, slot), FR_OK);
  EXPECT_EQ(pair.Pending(), Words({1, 4}) + std::string("\x0A\x0B\x0C\x0D", 4));
  close(pair.client);
  pair.client = -1;
  EXPECT_EQ(PutSIDForLUS(&conn, slot), FR_COMMS_ERROR);
}

}  // namespace
