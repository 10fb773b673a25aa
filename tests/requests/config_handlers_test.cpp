// Tests of the configuration handlers over a socket pair with the real store
// in a temporary home: the name lists and their joins, the application and
// node blocks with their version and time-stamp rules, setting and deleting
// settings, adding and deleting environments and applications with their
// refusals and what they leave on disk, and the four handlers no message
// reaches.
#include "requests/config_handlers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/server_lists.h"
#include "config/settings_api.h"
#include "foundation/result_codes.h"
#include "foundation/util/byte_order.h"
#include "platform/atomic_file.h"
#include "requests/config_request_fixture.h"
#include "requests/settings_xml_handlers.h"

namespace {

uint32_t WordAt(const TestBytes& b, size_t at) {
  return at + 4 <= b.size() ? GetLE32(b.data() + at) : 0xDEADBEEFu;
}

// The reply shape "status, version and block": 0, 1, the size, then exactly
// that many bytes. Gives the block (empty when the shape does not hold).
TestBytes VersionedBlock(const TestBytes& reply) {
  if (reply.size() < 12 || WordAt(reply, 0) != 0 || WordAt(reply, 4) != 1 ||
      WordAt(reply, 8) != reply.size() - 12) {
    ADD_FAILURE() << "not a versioned block reply of " << reply.size() << " bytes";
    return {};
  }
  return TestBytes(reply.begin() + 12, reply.end());
}

std::optional<std::string> Setting(const char* env, const char* app, const char* path) {
  std::optional<std::string> out;
  if (GetSettingString(env, app, path, 0, 0, out) != 0) return std::nullopt;
  return out;
}

class ConfigHandlersTest : public ConfigRequestFixture {
 protected:
  // Environment Test with application App, whose server list holds one
  // active server h1 with the default tag, cached for the locator.
  void AddTestAppWithServer() {
    ASSERT_EQ(0, AddEnvironment("Test"));
    ASSERT_EQ(0, AddApplicationToEnvironment("Test", "App"));
    for (const char* kv : {"HOST=h1", "ACTIVE=1", "TAGS=DEFAULT"}) {
      std::string path = std::string("SERVERLIST\\SERVER\\") + std::string(kv, std::strchr(kv, '='));
      ASSERT_EQ(0, SetSettingString("Test", "App", path.c_str(), std::strchr(kv, '=') + 1));
    }
    ASSERT_EQ(0, BuildServerListForApp(FindEnvironment("Test"), FindApplication(FindEnvironment("Test"), "App")));
    int32_t port = 0;
    ASSERT_EQ(std::optional<std::string>("h1"), FindServer("Test", "App", nullptr, port));
  }
};

// ---- Name lists --------------------------------------------------------------------

TEST_F(ConfigHandlersTest, NameListsJoinWithLineFeedsBetweenNamesOnly) {
  CallAs("dave");  // no rights needed
  EXPECT_EQ(CodeText("Live"), Run(IPGetEnvNameList));
  EXPECT_EQ(CodeText("Torvane"), Run(IPGetAppNameListForEnv, TestRequest().String("LIVE")));

  ASSERT_EQ(0, AddEnvironment("Test"));
  EXPECT_EQ(CodeText("Live\nTest"), Run(IPGetEnvNameList));
  // An environment without applications: 0 and the empty string (not null).
  EXPECT_EQ(CodeText(""), Run(IPGetAppNameListForEnv, TestRequest().String("Test")));

  ASSERT_EQ(0, AddApplicationToEnvironment("Test", "beta"));
  ASSERT_EQ(0, AddApplicationToEnvironment("Test", "Alpha"));
  EXPECT_EQ(CodeText("Alpha\nbeta"), Run(IPGetAppNameListForEnv, TestRequest().String("Test")));
}

TEST_F(ConfigHandlersTest, AppNameListOfMissingOrAbsentEnvironmentIs17) {
  EXPECT_EQ(Code(17), Run(IPGetAppNameListForEnv, TestRequest().String("Nowhere")));
  EXPECT_EQ(Code(17), Run(IPGetAppNameListForEnv, TestRequest().String(nullptr)));
  EXPECT_EQ(Code(17), Run(IPGetAppNameListForEnv, TestRequest().String("")));
}

TEST_F(ConfigHandlersTest, EnvNameListWithoutRootIsEmptyText) {
  ResetConfigRoot();
  EXPECT_EQ(CodeText(""), Run(IPGetEnvNameList));
}

// ---- Adding environments and applications -------------------------------------------

TEST_F(ConfigHandlersTest, AddEnvironmentAndApplicationNeedAdmin) {
  CallAs("bob");
  EXPECT_EQ(Code(49), Run(IPAddEnvironment, TestRequest().String("Test")));
  EXPECT_EQ(nullptr, FindEnvironment("Test"));
  CallAs("alice");
  EXPECT_EQ(Code(0), Run(IPAddEnvironment, TestRequest().String("Test")));
  EXPECT_EQ(Code(7), Run(IPAddEnvironment, TestRequest().String("test")));
  EXPECT_EQ(Code(2), Run(IPAddEnvironment, TestRequest().String("bad name")));
  EXPECT_NE(std::string::npos, EnvXml().find("<Test>"));

  CallAs("bob");
  EXPECT_EQ(Code(49), Run(IPAddApplicationToEnvironment, TestRequest().String("Test").String("App")));
  CallAs("alice");
  EXPECT_EQ(Code(0), Run(IPAddApplicationToEnvironment, TestRequest().String("Test").String("App")));
  EXPECT_EQ(Code(17), Run(IPAddApplicationToEnvironment, TestRequest().String("None").String("App")));
  EXPECT_TRUE(std::filesystem::exists(home.File("envs/test_app.xml")));
}

TEST_F(ConfigHandlersTest, AbsentNamesEndAddsWithoutReply) {
  EXPECT_EQ(TestBytes{}, Run(IPAddEnvironment, TestRequest().String(nullptr)));
  // The second name is read even when the first is absent: nothing is left
  // over for the next request header.
  EXPECT_EQ(TestBytes{}, Run(IPAddApplicationToEnvironment, TestRequest().String(nullptr).String("App")));
  EXPECT_EQ(TestBytes{}, Unread());
  EXPECT_EQ(TestBytes{}, Run(IPAddApplicationToEnvironment, TestRequest().String("Live").String(nullptr)));
  EXPECT_EQ(1u, FindEnvironment("Live")->apps.size());
}

// ---- 6617 -----------------------------------------------------------------------------

TEST_F(ConfigHandlersTest, GetAppVersionStampAndLookupRules) {
  const uint32_t appTime = FindApplication(FindEnvironment("Live"), "Torvane")->header.timeStamp;
  ASSERT_NE(0u, appTime);
  struct Case {
    const char* what;
    int32_t version;
    int32_t stamp;
    const char* env;
    const char* app;
    int32_t code;  // 0: the block
  } cases[] = {
      {"version 2 before the lookups", 2, 0, "Nowhere", "None", 3},
      {"no environment", 1, 0, "Nowhere", "Torvane", 17},
      {"no application", 1, 0, "Live", "None", 18},
      {"stamp 0 always gets the block", 1, 0, "Live", "Torvane", 0},
      {"stamp equal to the application's time", 1, static_cast<int32_t>(appTime), "live", "TORVANE", 5},
      {"stamp later than it", 1, static_cast<int32_t>(appTime) + 100, "Live", "Torvane", 5},
      {"stamp one second older", 1, static_cast<int32_t>(appTime) - 1, "Live", "Torvane", 0},
      {"negative stamp is older (signed)", 1, -5, "Live", "Torvane", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestBytes reply = Run(IPGetApp, TestRequest().Int(c.version).Int(c.stamp).String(c.env).String(c.app));
    if (c.code != 0) {
      EXPECT_EQ(Code(c.code), reply);
      continue;
    }
    TestBytes block = VersionedBlock(reply);
    ASSERT_GE(block.size(), 33u);
    EXPECT_EQ(0u, WordAt(block, 0));        // uid
    EXPECT_EQ(0u, WordAt(block, 4));        // kind: application
    EXPECT_EQ(appTime, WordAt(block, 8));   // the application's time word
    EXPECT_EQ(8u, WordAt(block, 20));       // "Torvane" and its NUL
    EXPECT_EQ("Torvane", std::string(block.begin() + 24, block.begin() + 31));
  }
  // Stamp 0 gets the block even from an application whose time word is 0
  // (0 is not older than 0, so only the stamp's own test sends it).
  FindApplication(FindEnvironment("Live"), "Torvane")->header.timeStamp = 0;
  EXPECT_EQ(0u, WordAt(VersionedBlock(Run(IPGetApp, TestRequest().Int(1).Int(0).String("Live").String("Torvane"))), 8));
}

TEST_F(ConfigHandlersTest, GetAppStampIsStaleAfterSettingChangesTheFile) {
  const int32_t before = static_cast<int32_t>(FindApplication(FindEnvironment("Live"), "Torvane")->header.timeStamp);
  TestRequest get = TestRequest().Int(1).Int(before).String("Live").String("Torvane");
  EXPECT_EQ(Code(5), Run(IPGetApp, get));
  SetClockOverride(kStartTime + 60);
  EXPECT_EQ(Code(0), Run(IPSetParamValueFromString,
                         TestRequest().String("Live").String("Torvane").String("Comms\\TimeOut").String("30")));
  TestBytes block = VersionedBlock(Run(IPGetApp, get));
  EXPECT_EQ(static_cast<uint32_t>(kStartTime + 60), WordAt(block, 8));
}

TEST_F(ConfigHandlersTest, GetAppReadFailures) {
  // A time stamp that does not arrive counts as 0 and the names are still
  // read: here they do not arrive either, so nothing is sent.
  EXPECT_EQ(TestBytes{}, Run(IPGetApp, TestRequest().Int(1)));
  // An absent name ends the request without a reply.
  EXPECT_EQ(TestBytes{}, Run(IPGetApp, TestRequest().Int(1).Int(0).String(nullptr)));
  EXPECT_EQ(TestBytes{}, Run(IPGetApp, TestRequest().Int(1).Int(0).String("Live").String(nullptr)));
}

// ---- 6619 -------------------------------------------------------------------------------

TEST_F(ConfigHandlersTest, SetParamValueEnvironmentRulesAndRights) {
  struct Case {
    const char* what;
    const char* caller;
    std::optional<std::string> env;
    int32_t code;
  } cases[] = {
      {"absent environment works on Live", "alice", std::nullopt, 0},
      {"empty environment is not found", "alice", std::string(), 17},
      {"named environment", "alice", std::string("live"), 0},
      {"not an admin", "bob", std::string("Live"), 49},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConfigRequestFixture::CallAs(c.caller);
    EXPECT_EQ(Code(c.code), Run(IPSetParamValueFromString,
                                TestRequest().String(c.env).String("Torvane").String("A\\B").String(c.what)));
    if (c.code == 0) {
      EXPECT_EQ(std::optional<std::string>(c.what), Setting("Live", "Torvane", "A\\B"));
    }
  }
  CallAs("alice");
  // A value that is not valid text is refused by the store; an absent value
  // leaves the node without one.
  EXPECT_EQ(Code(2), Run(IPSetParamValueFromString,
                         TestRequest().String("Live").String("Torvane").String("A\\B").String("\xFF")));
  EXPECT_EQ(Code(0), Run(IPSetParamValueFromString,
                         TestRequest().String("Live").String("Torvane").String("A\\B").String(nullptr)));
  EXPECT_EQ(std::nullopt, Setting("Live", "Torvane", "A\\B"));
  EXPECT_NE(std::string::npos, ReadWholeFile(home.File("envs/live_torvane.xml")).find("<B uid="));
  // An absent application or path ends the request without a reply.
  EXPECT_EQ(TestBytes{}, Run(IPSetParamValueFromString, TestRequest().String("Live").String(nullptr)));
  EXPECT_EQ(TestBytes{}, Run(IPSetParamValueFromString, TestRequest().String("Live").String("Torvane").String(nullptr)));
}

// ---- 6620, 6621 ----------------------------------------------------------------------------

TEST_F(ConfigHandlersTest, GetParamTreeNodeRules) {
  ASSERT_EQ(0, SetSettingString("Live", "Torvane", "Node", "v"));
  const UID node = FindApplication(FindEnvironment("Live"), "Torvane")->configRoot->header.uid;
  const UID user = FindUser("bob")->header.uid;
  struct Case {
    const char* what;
    uint32_t uid;
    int32_t version;
    int32_t code;
  } cases[] = {
      {"a user's UID", user, 1, 23},
      {"UID 0", 0, 1, 2},
      {"version 2 is refused with 2", node, 2, 2},
      {"unknown UID", 0x7FFF0000u, 1, 19},
      {"a parameter node", node, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestBytes reply = Run(IPGetParamTreeNode, TestRequest().UInt(c.uid).Int(c.version).Int(0));
    if (c.code != 0) {
      EXPECT_EQ(Code(c.code), reply);
      continue;
    }
    TestBytes block = VersionedBlock(reply);
    EXPECT_EQ(node, WordAt(block, 0));
    EXPECT_EQ(5u, WordAt(block, 4));
  }
}

TEST_F(ConfigHandlersTest, DeleteSettingSavesTheFileAndNeedsAdmin) {
  ASSERT_EQ(0, SetSettingString("Live", "Torvane", "Gone\\Leaf", "x"));
  const ParamTreeNode* top = FindApplication(FindEnvironment("Live"), "Torvane")->configRoot;
  ASSERT_EQ(std::optional<std::string>("Gone"), top->name);
  const UID uid = top->header.uid;
  CallAs("bob");
  EXPECT_EQ(Code(49), Run(IPDeleteSetting, TestRequest().UInt(uid).String("Live").String("Torvane")));
  CallAs("alice");
  EXPECT_EQ(Code(2), Run(IPDeleteSetting, TestRequest().UInt(0).String("Live").String("Torvane")));
  EXPECT_EQ(Code(0), Run(IPDeleteSetting, TestRequest().UInt(uid).String("Live").String("Torvane")));
  EXPECT_EQ(std::string::npos, ReadWholeFile(home.File("envs/live_torvane.xml")).find("Gone"));
  EXPECT_EQ(Code(19), Run(IPDeleteSetting, TestRequest().UInt(uid).String("Live").String("Torvane")));
  // An absent name ends the request.
  EXPECT_EQ(TestBytes{}, Run(IPDeleteSetting, TestRequest().UInt(uid).String(nullptr)));
}

// ---- 6622 ------------------------------------------------------------------------------------

TEST_F(ConfigHandlersTest, GetParamTreeEmptyEnvironmentIsLive) {
  struct Case {
    const char* what;
    std::optional<std::string> env;
    const char* app;
    int32_t version;
    int32_t code;
  } cases[] = {
      {"empty environment", std::string(), "Torvane", 1, 0},
      {"absent environment", std::nullopt, "Torvane", 1, 0},
      {"unknown application", std::string("Live"), "None", 1, 18},
      {"version 2", std::string("Live"), "Torvane", 2, 2},
      {"unknown environment", std::string("Nowhere"), "Torvane", 1, 17},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestBytes reply = Run(IPGetParamTree, TestRequest().String(c.env).String(c.app).String("Authentication")
                                              .Int(0).Int(0).Int(c.version).Int(0));
    if (c.code != 0) {
      EXPECT_EQ(Code(c.code), reply);
      continue;
    }
    TestBytes block = VersionedBlock(reply);
    EXPECT_EQ(5u, WordAt(block, 4));
    EXPECT_EQ(15u, WordAt(block, 44));  // "Authentication" and its NUL
  }
  EXPECT_EQ(Code(19), Run(IPGetParamTree, TestRequest().String("Live").String("Torvane").String("No\\Such")
                                              .Int(0).Int(0).Int(1).Int(0)));
  // A word that does not arrive ends the request without a reply.
  EXPECT_EQ(TestBytes{}, Run(IPGetParamTree, TestRequest().String("Live").String("Torvane").String(nullptr).Int(0)));
}

// ---- 6623, 6624 --------------------------------------------------------------------------------

TEST_F(ConfigHandlersTest, DeleteApplicationRefusalsInOrder) {
  ASSERT_EQ(0, AddEnvironment("Test"));
  ASSERT_EQ(0, AddApplicationToEnvironment("Test", "App"));
  struct Case {
    const char* what;
    const char* caller;
    std::optional<std::string> env;
    std::optional<std::string> app;
    int32_t code;
  } cases[] = {
      {"the server's own application in any case, even for an admin", "alice", std::string("Live"),
       std::string("tORVANE"), 2},
      {"empty application name before the rights test", "bob", std::string("Test"), std::string(), 2},
      {"absent environment name", "bob", std::nullopt, std::string("App"), 2},
      {"not an admin", "bob", std::string("Test"), std::string("App"), 49},
      {"no such environment", "alice", std::string("Nowhere"), std::string("App"), 17},
      {"no such application", "alice", std::string("Test"), std::string("None"), 18},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConfigRequestFixture::CallAs(c.caller);
    EXPECT_EQ(Code(c.code), Run(IPDeleteApplication, TestRequest().String(c.env).String(c.app)));
  }
  EXPECT_NE(nullptr, FindApplication(FindEnvironment("Live"), "Torvane"));
  EXPECT_NE(nullptr, FindApplication(FindEnvironment("Test"), "App"));
}

TEST_F(ConfigHandlersTest, DeleteApplicationRewritesEnvXmlKeepsFileAndEmptiesServerList) {
  ASSERT_NO_FATAL_FAILURE(AddTestAppWithServer());
  int32_t port = 0;
  const std::string fileBefore = ReadWholeFile(home.File("envs/test_app.xml"));

  EXPECT_EQ(Code(0), Run(IPDeleteApplication, TestRequest().String("test").String("APP")));
  EXPECT_EQ(nullptr, FindApplication(FindEnvironment("Test"), "App"));
  EXPECT_EQ(std::string::npos, EnvXml().find("<App/>"));
  EXPECT_EQ(std::nullopt, FindServer("Test", "App", nullptr, port));
  // The settings file stays and is still served by name.
  EXPECT_EQ(fileBefore, ReadWholeFile(home.File("envs/test_app.xml")));
  EXPECT_EQ(CodeText(fileBefore), Run(IPGetEnvAppXML, TestRequest().String("Test").String("App")));
}

TEST_F(ConfigHandlersTest, DeleteApplicationReportsAFailedEnvXmlWrite) {
  ASSERT_EQ(0, AddEnvironment("Test"));
  ASSERT_EQ(0, AddApplicationToEnvironment("Test", "App"));
  const std::string envXml = EnvXml();
  SetAtomicWriteFailAfter(0);  // as a full disk would
  EXPECT_EQ(Code(15), Run(IPDeleteApplication, TestRequest().String("Test").String("App")));
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(envXml, EnvXml());
}

TEST_F(ConfigHandlersTest, DeleteEnvironmentRefusalsAndEffect) {
  ASSERT_NO_FATAL_FAILURE(AddTestAppWithServer());
  struct Case {
    const char* what;
    const char* caller;
    std::optional<std::string> name;
    int32_t code;
  } cases[] = {
      {"Live in capitals, even for an admin", "alice", std::string("LIVE"), 2},
      {"absent name before the rights test", "bob", std::nullopt, 2},
      {"empty name", "bob", std::string(), 2},
      {"not an admin", "bob", std::string("Test"), 49},
      {"no such environment", "alice", std::string("Nowhere"), 17},
      {"deleted", "alice", std::string("test"), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConfigRequestFixture::CallAs(c.caller);
    EXPECT_EQ(Code(c.code), Run(IPDeleteEnvironment, TestRequest().String(c.name)));
  }
  EXPECT_EQ(nullptr, FindEnvironment("Test"));
  EXPECT_EQ(std::string::npos, EnvXml().find("<Test>"));
  int32_t port = 0;
  EXPECT_EQ(std::nullopt, FindServer("Test", "App", nullptr, port));
  EXPECT_EQ(std::nullopt, FindServersXML("Test", "App", nullptr, 1));
}

// ---- Handlers that no message reaches -------------------------------------------------------

TEST_F(ConfigHandlersTest, AddSettingReadsTypedValue) {
  TestRequest add = TestRequest().String("Live").String("Torvane").String("Typed\\Count")
                        .Int(0).Int(2 /* INTEGER */).Int(-1).Int(4).Raw(std::string("\x2A\0\0\0", 4));
  CallAs("bob");
  EXPECT_EQ(Code(49), Run(IPAddSetting, add));
  EXPECT_EQ(TestBytes{}, Unread());
  CallAs("alice");
  EXPECT_EQ(Code(0), Run(IPAddSetting, add));
  EXPECT_EQ(std::optional<std::string>("42"), Setting("Live", "Torvane", "Typed\\Count"));
  // A value that falls short ends the request without a reply.
  EXPECT_EQ(TestBytes{}, Run(IPAddSetting, TestRequest().String("Live").String("Torvane").String("X")
                                               .Int(0).Int(0).Int(-1).Int(10).Raw(std::string("abc"))));
}

TEST_F(ConfigHandlersTest, UpdateGetAndIncrementSetting) {
  // The update reads its value and changes nothing.
  EXPECT_EQ(Code(0), Run(IPUpdateSetting, TestRequest().UInt(1).Int(0).Int(-1).Int(3).Raw(std::string("ab\0", 3))));
  EXPECT_EQ(TestBytes{}, Unread());
  CallAs("bob");
  EXPECT_EQ(Code(49), Run(IPUpdateSetting, TestRequest().UInt(1).Int(0).Int(-1).Int(0)));
  // The get yields no value: version 2 gives 3, else the status word alone.
  EXPECT_EQ(Code(3), Run(IPGetSetting, TestRequest().String("Live").String("Torvane").Int(0).Int(2).Int(0).Int(0)));
  EXPECT_EQ(Code(0), Run(IPGetSetting, TestRequest().String("Live").String("Torvane").Int(0).Int(1).Int(0).Int(0)));
  // The increment has no rights check but for the server's own settings,
  // which are an administrator's; an absent environment is "Live".
  EXPECT_EQ(Code(49), Run(IPIncrementParamValue, TestRequest().String(nullptr).String("Torvane").String("Hits").Int(5)));
  EXPECT_EQ(Code(49), Run(IPIncrementParamValue, TestRequest().String("lIVE").String("tORVANE").String("Hits").Int(5)));
  EXPECT_EQ(std::nullopt, Setting("Live", "Torvane", "Hits"));
  EXPECT_EQ(Code(17), Run(IPIncrementParamValue, TestRequest().String("").String("Torvane").String("Hits").Int(1)));
  CallAs("alice");
  EXPECT_EQ(Code(0), Run(IPIncrementParamValue, TestRequest().String(nullptr).String("Torvane").String("Hits").Int(5)));
  EXPECT_EQ(Code(0), Run(IPIncrementParamValue, TestRequest().String("Live").String("Torvane").String("Hits").Int(-7)));
  EXPECT_EQ(std::optional<std::string>("-2"), Setting("Live", "Torvane", "Hits"));
}

}  // namespace
