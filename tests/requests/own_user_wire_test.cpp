// Wire-level tests of the own-user requests: the real server in a new home
// (with guest logons allowed, a password history of 3 and a user that has only
// a legacy hash, added to the first users file by hand), driven over loopback
// TCP: the product table, the self-service rule, a guest logon's refusals, the
// legacy password change and its refusal for a bcrypt user, and a session ID
// lookup.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

#include "foundation/crypto/password_hash.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace {

constexpr const char kAdministratorPassword[] = "quernstoneway";  // the new home's administrator

std::string Hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// Replaces the first `from` in the file by `to`; false when it is not there.
bool EditFile(const std::string& path, const std::string& from, const std::string& to) {
  std::string text = ReadWholeFile(path);
  size_t at = text.find(from);
  if (at == std::string::npos) return false;
  text.replace(at, from.size(), to);
  WriteWholeFile(path, text);
  return true;
}

// One logged-on client of the server.
struct Session {
  TestClient client;
  TestClient::LogonReply logon;
  bool ok = false;
  Session(const ServerProcess& server, const std::string& user, const std::string& password, int32_t clientID,
          int32_t tokType = kTokInternal) {
    client = TestClient::ConnectLoopback(server.Port());
    if (!client.Connected()) return;
    logon = client.Logon(user, password, clientID, tokType);
    ok = logon.received && logon.code == 0;
  }
  // The request reader's word, then the first reply word.
  std::optional<int32_t> Call(int32_t id, const TestRequest& args) {
    if (client.Request(id, args) != 0) return std::nullopt;
    return client.RecvInt();
  }
  // A request answered 0 and a text: the text, or "<code N>".
  std::string CallText(int32_t id, const TestRequest& args) {
    std::optional<int32_t> code = Call(id, args);
    if (code != 0) return "<code " + std::to_string(code.value_or(-99)) + ">";
    std::optional<std::string> text;
    if (!client.RecvString(&text)) return "<no text>";
    return text.value_or("<absent>");
  }
};

class OwnUserWire : public ::testing::Test {
 protected:
  ServerProcess server;

  void SetUp() override {
    ASSERT_EQ(server.Initialise(), 0) << server.LastRun();
    // leo: only a legacy hash, "leo-older" in his history, the Tessaly and
    // Invalid product subsections.
    const std::string leo =
        "<USER>\n<UID>00000100</UID>\n<USERNAME>leo</USERNAME>\n<PASSWORD>" + Hex8(GetPasswordCRC("leo-pw")) +
        "</PASSWORD>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n<USERDATA><Live><Torvane><Passwords><MustChange>0"
        "</MustChange><Old><PW1>" + Hex8(GetPasswordCRC("leo-older")) +
        "</PW1></Old></Passwords></Torvane><Tessaly></Tessaly><Invalid></Invalid></Live></USERDATA>\n</USER>\n";
    ASSERT_TRUE(EditFile(server.Home() + "users.xml", "</USERS>", leo + "</USERS>"));
    const std::string settings = server.Home() + "envs/live_torvane.xml";
    ASSERT_TRUE(EditFile(settings, "0\n</AllowGuestLogin>", "1\n</AllowGuestLogin>"));
    ASSERT_TRUE(EditFile(settings, "</CONFIGURATION>",
                         "<Settings uid=\"00000050\" type=\"STRING\"><PWRules uid=\"00000051\" type=\"STRING\">r3\n"
                         "</PWRules></Settings>\n</CONFIGURATION>"));
    // The guest logons below come through the trusted directory-user logon.
    ASSERT_EQ(0, setenv("TORVANE_TRUSTED_AD_USER_LOGON", "1", 1));
    ASSERT_TRUE(server.Start()) << server.Log();
  }
};

TEST_F(OwnUserWire, ProductTableAndSelfServiceRule) {
  struct Product {
    int32_t clientID;
    int32_t code;
  };
  for (const Product& p : {Product{0x0100, 0}, Product{0x0600, 0}, Product{0x0042, 0}, Product{0x0700, 18}}) {
    SCOPED_TRACE(p.clientID);
    Session leo(server, "leo", "leo-pw", p.clientID);
    ASSERT_TRUE(leo.ok);
    const std::string colour = "colour-" + std::to_string(p.clientID);
    EXPECT_EQ(leo.Call(6625, TestRequest().String("Colour").String(colour)), p.code);
    EXPECT_EQ(leo.CallText(6626, TestRequest().String("Colour")), p.code == 0 ? colour : "<code 18>");
  }
  // Each product kept its own value.
  Session tessaly(server, "leo", "leo-pw", 0x0600);
  ASSERT_TRUE(tessaly.ok);
  EXPECT_EQ(tessaly.CallText(6626, TestRequest().String("Colour")), "colour-1536");

  Session leo(server, "leo", "leo-pw", 0x0100);
  Session admin(server, "administrator", kAdministratorPassword, 0x0100);
  ASSERT_TRUE(leo.ok);
  ASSERT_TRUE(admin.ok);
  struct Refused {
    const char* field;
    const char* value;
  };
  for (const Refused& r : {Refused{"AllowConfiguration", "1"}, Refused{"aLLOWcONFIGURATION", "1"},
                           Refused{"Passwords\\MustChange", "1"}, Refused{"PASSWORDS\\Old\\PW1", "0"}}) {
    SCOPED_TRACE(r.field);
    EXPECT_EQ(leo.Call(6625, TestRequest().String(r.field).String(r.value)), 49);
    EXPECT_EQ(leo.CallText(6626, TestRequest().String(r.field)),
              std::string(r.field).find("PW1") != std::string::npos ? Hex8(GetPasswordCRC("leo-older"))
              : std::string(r.field).find("MustChange") != std::string::npos ? "0"
                                                                              : "<code 19>");
    EXPECT_EQ(admin.Call(6625, TestRequest().String(r.field).String(r.value)), 0);
  }
  // The refused request left leo's logon working, and his own old password.
  Session again(server, "leo", "leo-pw", 0x0100);
  EXPECT_TRUE(again.ok);
}

TEST_F(OwnUserWire, GuestLogonRules) {
  // An Active Directory name the directory does not hold logs on as guest.
  Session guest(server, "wanderer", "", 0x0100, kTokADUser);
  ASSERT_TRUE(guest.ok) << guest.logon.code;
  // Every guest logon shares the record of "guest": none of them changes it,
  // neither a product's field nor, through the field of product "Torvane",
  // the default environment and language of every later guest logon.
  struct Write {
    int32_t message;
    TestRequest args;
  };
  const Write writes[] = {
      {6625, TestRequest().String("Colour").String("grey")},
      {6625, TestRequest().String("DefaultEnvironment").String("Test")},
      {6625, TestRequest().String("DefaultLanguage").String("de")},
      {6667, TestRequest().String("Test")},
      {6669, TestRequest().String("Live").String("de")},
  };
  for (const Write& w : writes) EXPECT_EQ(guest.Call(w.message, w.args), 49) << w.message;
  EXPECT_EQ(guest.Call(6630, TestRequest().Int(0).Int(1)), 2);
  EXPECT_EQ(guest.CallText(6666, TestRequest()), "Live");
  // Nothing reached the record: another guest logon finds none of it.
  Session other(server, "someone-else", "", 0x0100, kTokADUser);
  ASSERT_TRUE(other.ok);
  EXPECT_EQ(other.CallText(6626, TestRequest().String("Colour")), "<code 19>");
  EXPECT_EQ(other.CallText(6626, TestRequest().String("DefaultEnvironment")), "<code 19>");
  EXPECT_EQ(other.CallText(6666, TestRequest()), "Live");
}

TEST_F(OwnUserWire, LegacyPasswordChange) {
  const int32_t oldPW = static_cast<int32_t>(GetPasswordCRC("leo-pw"));
  const int32_t newPW = static_cast<int32_t>(GetPasswordCRC("leo-new"));
  {
    Session leo(server, "leo", "leo-pw", 0x0100);
    ASSERT_TRUE(leo.ok);
    EXPECT_EQ(leo.Call(6630, TestRequest().Int(oldPW + 1).Int(newPW)), 32);
    EXPECT_EQ(leo.Call(6630, TestRequest().Int(oldPW).Int(static_cast<int32_t>(GetPasswordCRC("leo-older")))), 52);
    EXPECT_EQ(leo.Call(6630, TestRequest().Int(oldPW).Int(newPW)), 0);
  }
  EXPECT_FALSE(Session(server, "leo", "leo-pw", 0x0100).ok);
  EXPECT_TRUE(Session(server, "leo", "leo-new", 0x0100).ok);

  // A bcrypt user's legacy value is 0: an old value of 0 is no proof.
  Session admin(server, "administrator", kAdministratorPassword, 0x0100);
  ASSERT_TRUE(admin.ok);
  const std::string date = admin.CallText(6626, TestRequest().String("Passwords\\Date"));
  EXPECT_EQ(admin.Call(6630, TestRequest().Int(0).Int(newPW)), 32);
  EXPECT_TRUE(Session(server, "administrator", kAdministratorPassword, 0x0100).ok);
  EXPECT_EQ(admin.CallText(6626, TestRequest().String("Passwords\\Date")), date);
  EXPECT_EQ(admin.CallText(6626, TestRequest().String("Passwords\\Old\\PW1")), "<code 19>");
}

TEST_F(OwnUserWire, SessionIDLookups) {
  Session leo(server, "leo", "leo-pw", 0x0100);
  ASSERT_TRUE(leo.ok);
  std::string sid;
  for (unsigned char b : leo.logon.sid) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", b);
    sid += pair;
  }
  EXPECT_EQ(leo.Call(6673, TestRequest().String("Test")), 0);
  Session admin(server, "administrator", kAdministratorPassword, 0x0100);
  ASSERT_TRUE(admin.ok);
  EXPECT_EQ(admin.CallText(6636, TestRequest().String(sid)), "leo");
  EXPECT_EQ(admin.CallText(6671, TestRequest().String(sid)), "Test");
  EXPECT_EQ(admin.Call(6636, TestRequest().String(sid.substr(0, 7))), 2);
  EXPECT_EQ(admin.Call(6636, TestRequest().String(sid.substr(0, 7) + "G")), 2);
  EXPECT_EQ(admin.Call(6671, TestRequest().String(sid.substr(0, 7) + "G")), 6);
}

}  // namespace
