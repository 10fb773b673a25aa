// Tests of the server information requests over a socket pair: the handler
// is given the server's end, the test reads the reply on the client's end
// with the tests' own client.
#include "requests/server_info_handlers.h"

#include <gtest/gtest.h>

#include "config/settings_api.h"
#include "foundation/settings/server_settings.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/wire/wire.h"
#include "requests/request_fixture.h"
#include "support/test_client.h"

namespace {

class ServerInfoTest : public RequestFixture {
 protected:
  TestSocketPair pair;

  void SetUp() override {
    RequestFixture::SetUp();
    pair.client.SetTimeoutMs(2000);
  }

  // Everything the handler sent, read without waiting.
  TestBytes Sent() {
    TestBytes all;
    while (pair.client.NothingPending(0) == false) {
      TestBytes one;
      if (!pair.client.RecvBytes(1, &one)) break;
      all.push_back(one[0]);
    }
    return all;
  }
  // The stored rules, or "<none>".
  static std::string StoredRules() {
    std::optional<std::string> text;
    GetSettingString("Live", "Torvane", kPWRulesPath, 0, 0, text);
    return text.value_or("<none>");
  }
};

TEST_F(ServerInfoTest, VersionAndRulesAnswerWithoutAnyLogon) {
  SetCurrentLogonSlot(0);
  IPGetServerVer(pair.server);
  EXPECT_EQ(TestRequest().Int(10).Bytes(), Sent());
  IPGetPWRules(pair.server);  // no rules set: the null string
  EXPECT_EQ(TestRequest().String(std::nullopt).Bytes(), Sent());
}

TEST_F(ServerInfoTest, RulesAreSentCutTo31Characters) {
  const std::string forty(40, 'r');
  ASSERT_EQ(0, SetPWRulesString(forty.c_str()));
  EXPECT_EQ(forty, StoredRules());  // stored whole
  IPGetPWRules(pair.server);
  EXPECT_EQ(TestRequest().String(forty.substr(0, 31)).Bytes(), Sent());
}

TEST_F(ServerInfoTest, InformationTextCarriesVersionPortAndAnyLongHome) {
  GetServerSettings().listenerPort = 32123;
  // The longest home the settings hold: 1023 bytes.
  std::string longHome = home.path + std::string(1022 - home.path.size(), 'h') + "/";
  ASSERT_EQ(1023u, longHome.size());
  ASSERT_EQ(0, SetHomeDirectory(longHome.c_str()));
  const std::string expected = "TorvaneServer\r\nVersion=5.0 000.001\r\nPort=32123\r\nHome Directory=" +
                               longHome + "\r\n";
  ASSERT_GT(expected.size(), 1024u);
  EXPECT_EQ(expected, BuildServerInformationText());
  IPGetServerInformation(pair.server);
  EXPECT_EQ(TestRequest().String(expected).Bytes(), Sent());
}

TEST_F(ServerInfoTest, NewNodeIDsAreConsecutiveAndKeptInUidVal) {
  WriteWholeFile(home.File("uid.val"), std::string("\x63\0\0\0", 4));  // last issued: 99
  SetUIDDirectory(home.path.c_str());
  IPGetNewNodeID(pair.server);
  IPGetNewNodeID(pair.server);
  EXPECT_EQ(TestRequest().Int(100).Int(101).Bytes(), Sent());
  EXPECT_EQ(std::string("\x65\0\0\0", 4), ReadWholeFile(home.File("uid.val")));
  SetUIDDirectory(nullptr);
}

TEST_F(ServerInfoTest, FailedSendsAreLoggedWithTheHandlersLine) {
  struct Case {
    int (*handler)(int);
    const char* line;
  };
  const Case cases[] = {
      {IPGetNewNodeID, "Error sending new node ID to client"},
      {IPGetServerInformation, "IPGetServerInformation:Unable to send information to client"},
      {IPGetServerVer, "IPGetServerVer:Error sending internal version to client"},
      {IPGetPWRules, "IPGetPWRules:Error sending password rules to client"},
  };
  pair.client.Close();  // every send now fails
  for (const Case& c : cases) {
    ClearLog();
    c.handler(pair.server);
    std::vector<std::string> lines = LogLines();
    ASSERT_FALSE(lines.empty()) << c.line;
    EXPECT_EQ(0u, lines.back().rfind(std::string(c.line) + " : ", 0)) << lines.back();
  }
}

struct SetRulesCase {
  const char* name;
  const char* caller;  // null: no current logon slot
  std::optional<std::string> text;
  int32_t reply;
  const char* stored;  // the rules afterwards
};

TEST_F(ServerInfoTest, SetRulesNeedsAnAdministratorAndAText) {
  const SetRulesCase cases[] = {
      {"admin_sets", "boss", "8,1,1", 0, "8,1,1"},
      {"admin_empty_text", "boss", "", 0, ""},
      {"admin_null_text", "boss", std::nullopt, 2, "old"},
      {"admin_invalid_utf8", "boss", "\xff\xfe", 2, "old"},
      {"plain_user_refused", "alice", "a1", 49, "old"},
      {"guest_refused", "guest", "a1", 49, "old"},
      {"no_slot_refused", nullptr, "a1", 49, "old"},
  };
  for (const SetRulesCase& c : cases) {
    ASSERT_EQ(0, SetPWRulesString("old"));
    ResetLogonSlots();
    if (c.caller) {
      LogOn(c.caller);
    } else {
      SetCurrentLogonSlot(0);
    }
    ASSERT_TRUE(pair.client.Send(TestRequest().String(c.text).Int(0x5E5E)));
    IPSetPWRules(pair.server);
    EXPECT_EQ(c.reply, pair.client.RecvInt()) << c.name;
    EXPECT_EQ(c.stored, StoredRules()) << c.name;
    // The string was read whole and nothing beyond it: the sentinel is next.
    int32_t sentinel = 0;
    EXPECT_EQ(4, RecvInt(pair.server, &sentinel)) << c.name;
    EXPECT_EQ(0x5E5E, sentinel) << c.name;
  }
  // The settings file holds the last rules written.
  EXPECT_NE(std::string::npos, ReadWholeFile(home.File("envs/live_torvane.xml")).find("old"));
}

TEST_F(ServerInfoTest, SetRulesCutShortGetsNoReply) {
  LogOn("boss");
  ASSERT_EQ(0, SetPWRulesString("old"));
  ASSERT_TRUE(pair.client.Send(TestRequest().StringWithLength(10, {'a', 'b', 'c'})));
  pair.client.ShutdownWrite();
  IPSetPWRules(pair.server);
  EXPECT_TRUE(pair.client.NothingPending(50));
  EXPECT_EQ("old", StoredRules());
}

}  // namespace
