// Tests of the settings API: the "Live" fallback, the environment-name rule of
// each operation, AddSetting's head and tail placement, DeleteSetting, the
// refusals of bad path elements and value texts, integers and the password
// rules.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/settings_api.h"
#include "config/settings_files_read.h"
#include "config/settings_files_write.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "model_fixture.h"
#include "platform/atomic_file.h"

namespace {

class Settings : public ModelFixture {
 protected:
  // The value of a setting as GetSettingString gives it, with its code.
  struct Read {
    int code;
    std::optional<std::string> text;
  };
  static Read Get(const char* env, const char* app, const char* path, int fallback, int perm = 0) {
    Read r;
    r.code = GetSettingString(env, app, path, fallback, perm, r.text);
    return r;
  }
  // Adds a STRING setting in memory only.
  static void Put(const char* env, const char* app, const char* path, const char* text, int perm = 0) {
    size_t size = text != nullptr ? strlen(text) + 1 : 0;
    ASSERT_EQ(0, AddSetting(env, app, path, perm, PARAM_TYPE_STRING, -1, text, size)) << path;
  }
};

TEST_F(Settings, FallbackTable) {
  App("Live", "App");
  App("Live", "OnlyLive");
  App("Test", "App");
  Env("Empty");
  Put("Live", "App", "P", "live-p");
  Put("Live", "App", "N", "live-n");
  Put("Live", "OnlyLive", "X", "live-x");
  Put("Test", "App", "Q", "test-q");
  Put("Test", "App", "N", nullptr);  // present in Test without a value
  Put("Live", "App", "Perm", "live-perm", 1);

  const std::optional<std::string> none;
  struct Case {
    const char* env;
    const char* app;
    const char* path;
    int fallback;
    int code;
    std::optional<std::string> text;
  } cases[] = {
      {nullptr, "App", "P", 1, 0, "live-p"},
      {"", "App", "P", 1, FR_ENV_NOT_FOUND, none},     // "" is looked up as it stands
      {"Live", "App", "Q", 1, FR_NODE_NOT_FOUND, none}, // no fallback from Live itself
      {"LIVE", "App", "Q", 1, FR_NODE_NOT_FOUND, none},
      {"Test", "App", "P", 1, 0, "live-p"},             // path missing in Test
      {"Test", "App", "P", 0, FR_NODE_NOT_FOUND, none},
      {"test", "APP", "q", 1, 0, "test-q"},
      {"Test", "OnlyLive", "X", 1, 0, "live-x"},        // application missing in Test
      {"Test", "OnlyLive", "X", 0, FR_APP_NOT_FOUND, none},
      {"Test", "Missing", "P", 1, FR_APP_NOT_FOUND, none},
      {"Test", "App", "N", 1, 0, none},                 // a node without value does not fall back
      {"Nope", "App", "P", 1, FR_ENV_NOT_FOUND, none},  // 17 even with the fallback
      {"Test", "App", "Nowhere", 1, FR_NODE_NOT_FOUND, none},
      {"Test", "App", nullptr, 1, FR_NODE_NOT_FOUND, none},
      {"Test", "App", "a.b", 0, FR_NODE_NOT_FOUND, none},  // lookups keep their codes
      {"Test", nullptr, "P", 1, FR_INVALID_PARAMETER, none},
      {"Empty", "App", "P", 1, 0, "live-p"},
  };
  for (const Case& c : cases) {
    Read r = Get(c.env, c.app, c.path, c.fallback);
    EXPECT_EQ(c.code, r.code) << (c.env ? c.env : "(null)") << "/" << (c.app ? c.app : "(null)") << "/"
                              << (c.path ? c.path : "(null)") << " fallback " << c.fallback;
    EXPECT_EQ(c.text, r.text) << (c.path ? c.path : "(null)");
  }
  // The permission tree is a tree of its own, with the same fallback.
  EXPECT_EQ("live-perm", Get("Test", "App", "Perm", 1, 1).text);
  EXPECT_EQ(FR_NODE_NOT_FOUND, Get("Test", "App", "Perm", 1, 0).code);
  // Live missing altogether: the fallback cannot reach it.
  ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
  App("Test", "App");
  EXPECT_EQ(FR_ENV_NOT_FOUND, Get("Test", "App", "P", 1).code);
}

TEST_F(Settings, EnvironmentNameRuleOfEachOperation) {
  App("Live", "App");
  // AddSetting: null and "" both mean Live.
  EXPECT_EQ(0, AddSetting(nullptr, "App", "A", 0, PARAM_TYPE_STRING, -1, "1", 2));
  EXPECT_EQ(0, AddSetting("", "App", "B", 0, PARAM_TYPE_STRING, -1, "2", 2));
  EXPECT_EQ("2", Get(nullptr, "App", "B", 0).text);
  // The others: null means Live, "" is not found.
  EXPECT_EQ(0, SetSettingString(nullptr, "App", "C", "3"));
  EXPECT_EQ(FR_ENV_NOT_FOUND, SetSettingString("", "App", "C", "3"));
  EXPECT_EQ(0, AddToSettingInt(nullptr, "App", "D", 4));
  EXPECT_EQ(FR_ENV_NOT_FOUND, AddToSettingInt("", "App", "D", 4));
  std::string xml;
  EXPECT_EQ(0, GetSettingSubtreeXML(nullptr, "App", "C", xml));
  EXPECT_EQ("<C>3\r\n</C>\r\n", xml);
  EXPECT_EQ(FR_ENV_NOT_FOUND, GetSettingSubtreeXML("", "App", "C", xml));
  // DeleteSetting has no default.
  UID c = GetParamNodeUIDByPath(FindApplication(FindEnvironment("Live"), "App")->configRoot->header.uid, "C");
  ASSERT_NE(0u, c);
  EXPECT_EQ(FR_ENV_NOT_FOUND, DeleteSetting(c, nullptr, "App", true));
  EXPECT_EQ(FR_ENV_NOT_FOUND, DeleteSetting(c, "", "App", true));
  // Lookup order 17, 18, 19.
  EXPECT_EQ(FR_ENV_NOT_FOUND, AddSetting("Nope", "Nope", "A", 0, PARAM_TYPE_STRING, -1, "1", 2));
  EXPECT_EQ(FR_APP_NOT_FOUND, AddSetting("Live", "Nope", "A", 0, PARAM_TYPE_STRING, -1, "1", 2));
  EXPECT_EQ(FR_APP_NOT_FOUND, SetSettingString("Live", "Nope", "A", "1"));
  EXPECT_EQ(FR_APP_NOT_FOUND, AddToSettingInt("Live", "Nope", "A", 1));
  EXPECT_EQ(FR_APP_NOT_FOUND, GetSettingSubtreeXML("Live", "Nope", "A", xml));
  EXPECT_EQ(FR_INVALID_PARAMETER, GetSettingSubtreeXML("Live", nullptr, "A", xml));
  EXPECT_EQ(0, GetSettingSubtreeXML("Live", "App", "Missing", xml));
  EXPECT_EQ("", xml);
  EXPECT_EQ(0, GetSettingSubtreeXML("Live", "App", nullptr, xml));
  EXPECT_EQ("", xml);
}

TEST_F(Settings, NewTopLevelNodesGoFirstAndChildrenLast) {
  ApplicationStruct* app = App("Live", "Torvane");
  Put("Live", "Torvane", "Authentication\\AllowGuestLogin", "0");
  ASSERT_EQ(0, SetSettingString("Live", "Torvane", "Settings\\PWRules", "rules"));
  app = FindApplication(FindEnvironment("Live"), "Torvane");
  EXPECT_EQ("Settings,Authentication", Chain(app->configRoot));
  for (const char* n : {"One", "Two", "Three"})
    Put("Live", "Torvane", (std::string("Parent\\") + n).c_str(), n);
  ParamTreeNode* parent = FindParamNode(app->configRoot, "Parent");
  ASSERT_NE(nullptr, parent);
  EXPECT_EQ("Parent,Settings,Authentication", Chain(app->configRoot));
  EXPECT_EQ("One,Two,Three", Chain(GetParamTreeNodeByUID(parent->child)));
  EXPECT_EQ(nullptr, app->permRoot);
  // Setting again replaces the value and keeps the node, its UID and its children.
  UID uid = parent->header.uid;
  Put("Live", "Torvane", "PARENT", "p");
  EXPECT_EQ(uid, FindParamNode(app->configRoot, "Parent")->header.uid);
  EXPECT_EQ("p", Get("Live", "Torvane", "Parent", 0).text);
  EXPECT_EQ("One,Two,Three", Chain(GetParamTreeNodeByUID(parent->child)));
  // Both survive in the rewritten file and the rules read back.
  EXPECT_STREQ("rules", GetPWRulesString());
  const std::string file = SettingsFile("live_torvane");
  EXPECT_LT(file.find("<Settings uid="), file.find("<Authentication uid="));
}

TEST_F(Settings, PathElementsAndValueTextsAreRefused) {
  App("Live", "App");
  const std::string name255(255, 'n');
  const std::string name256(256, 'n');
  struct Case {
    std::string path;
    int code;
  } paths[] = {
      {"", FR_INVALID_PARAMETER},        {"\\a", FR_INVALID_PARAMETER},    {"a\\\\b", FR_INVALID_PARAMETER},
      {"a\\", FR_INVALID_PARAMETER},     {"1a", FR_INVALID_PARAMETER},     {"a.b", FR_INVALID_PARAMETER},
      {"a b", FR_INVALID_PARAMETER},     {"a<b", FR_INVALID_PARAMETER},    {"-a", FR_INVALID_PARAMETER},
      {name256, FR_INVALID_PARAMETER},   {"x\xC3\xA9", FR_INVALID_PARAMETER},
      {name255, 0},                      {"_a\\b-1\\C_2", 0},
  };
  for (const Case& c : paths) {
    EXPECT_EQ(c.code, SetSettingString("Live", "App", c.path.c_str(), "v")) << c.path;
    EXPECT_EQ(c.code, AddToSettingInt("Live", "App", c.path.c_str(), 1)) << c.path;
    EXPECT_EQ(c.code, AddSetting("Live", "App", c.path.c_str(), 1, PARAM_TYPE_STRING, -1, "v", 2)) << c.path;
  }
  EXPECT_EQ(FR_INVALID_PARAMETER, SetSettingString("Live", "App", nullptr, "v"));
  EXPECT_EQ(FR_INVALID_PARAMETER, SetSettingString("Live", nullptr, "a", "v"));
  const size_t nodes = GetNodeQACount();
  struct Text {
    const char* text;
    int code;
  } texts[] = {
      {"tab\tlf\ncr\r", 0}, {"caf\xC3\xA9 & <x>", 0}, {"", 0},
      {"\x01", FR_INVALID_PARAMETER}, {"bad\xFF", FR_INVALID_PARAMETER}, {"\xC3", FR_INVALID_PARAMETER},
      {"esc\x1B", FR_INVALID_PARAMETER},
  };
  for (const Text& t : texts) EXPECT_EQ(t.code, SetSettingString("Live", "App", "New\\Value", t.text)) << t.text;
  EXPECT_EQ(nodes + 2, GetNodeQACount());
  EXPECT_EQ("", Get("Live", "App", "New\\Value", 0).text);
  // A value block that is not one NUL-terminated text.
  EXPECT_EQ(FR_INVALID_PARAMETER, AddSetting("Live", "App", "Raw", 0, PARAM_TYPE_STRING, -1, "ab", 2));
  // Nothing was created by a refused call.
  EXPECT_EQ(nullptr, FindParamNode(FindApplication(FindEnvironment("Live"), "App")->configRoot, "Raw"));
  EXPECT_EQ(FR_INVALID_PARAMETER, SetSchemaVersion("Live", "App", "\x02"));
}

// Nodes a settings file made with other legal XML names (non-ASCII letters,
// a ':') can be changed like any other: the name rule is for the nodes a call
// creates, and a path with one refused new element adds none of them.
TEST_F(Settings, TheNameRuleIsForNewNodesOnly) {
  App("Live", "App");
  WriteWholeFile(home.File("envs/live_app.xml"),
                 "<?xml version=\"1.0\"?>\n<App>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n"
                 "<ns:key>1</ns:key>\n<\xC3\x9C" "ber><Gr\xC3\xB6\xC3\x9F" "e>a</Gr\xC3\xB6\xC3\x9F" "e></\xC3\x9C" "ber>\n"
                 "</CONFIGURATION>\n</App>");
  ASSERT_EQ(0, ReadApplicationSettingsXML(home.path.c_str(), FindEnvironment("Live"), FindApplication(FindEnvironment("Live"), "App")));
  ASSERT_EQ("1", Get("Live", "App", "ns:key", 0).text);
  struct Case {
    const char* what;
    const char* path;
    int code;
    size_t newNodes;
  } cases[] = {
      {"existing ':' name", "ns:key", 0, 0},
      {"existing non-ASCII names", "\xC3\x9C" "ber\\Gr\xC3\xB6\xC3\x9F" "e", 0, 0},
      {"existing names in another case", "NS:KEY", 0, 0},
      {"a new child of an existing ':' name", "ns:key\\Sub", 0, 1},
      {"new ':' name", "ns:other", FR_INVALID_PARAMETER, 0},
      {"new non-ASCII child", "\xC3\x9C" "ber\\\xC3\xA9t\xC3\xA9", FR_INVALID_PARAMETER, 0},
      {"a good then a refused new element", "ns:key\\Good\\1bad", FR_INVALID_PARAMETER, 0},
      {"a refused element below new ones", "Fresh\\Deeper\\a.b", FR_INVALID_PARAMETER, 0},
      {"empty element after an existing one", "ns:key\\\\x", FR_INVALID_PARAMETER, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int op = 0; op < 3; ++op) {
      const size_t nodes = GetNodeQACount();
      const std::string file = SettingsFile("live_app");
      int rc = op == 0   ? SetSettingString("Live", "App", c.path, "v")
               : op == 1 ? AddToSettingInt("Live", "App", c.path, 1)
                         : AddSetting("Live", "App", c.path, 0, PARAM_TYPE_STRING, -1, "w", 2);
      EXPECT_EQ(c.code, rc) << "operation " << op;
      EXPECT_EQ(nodes + (op == 0 ? c.newNodes : 0), GetNodeQACount()) << "operation " << op;
      if (c.code != 0) {
        EXPECT_EQ(file, SettingsFile("live_app")) << "operation " << op;
      } else if (op == 1) {
        EXPECT_EQ("1", Get("Live", "App", c.path, 0).text);  // "v" counts as 0, plus 1
      }
    }
  }
  EXPECT_EQ("w", Get("Live", "App", "ns:key", 0).text);
  // What was changed reads back from the file.
  const std::string file = SettingsFile("live_app");
  EXPECT_EQ(0, CheckApplicationSettingsText(file.data(), file.size(), FindApplication(FindEnvironment("Live"), "App")));
  EXPECT_NE(std::string::npos, file.find("<ns:key")) << file;
}

// A node created on request must come back from the settings file: the
// deepest path the reader can hold is taken, one element more is refused.
TEST_F(Settings, PathDepthStaysWithinWhatTheFileReadsBack) {
  App("Live", "App");
  std::string path = "N";
  for (size_t i = 1; i < kMaxParamPathDepth; ++i) path += "\\N";
  ASSERT_EQ(0, SetSettingString("Live", "App", path.c_str(), "deep"));
  const std::string file = SettingsFile("live_app");
  ApplicationStruct* app = FindApplication(FindEnvironment("Live"), "App");
  EXPECT_EQ(0, CheckApplicationSettingsText(file.data(), file.size(), app));
  EXPECT_EQ("deep", Get("Live", "App", path.c_str(), 0).text);

  const size_t nodes = GetNodeQACount();
  const std::string deeper = path + "\\N";
  EXPECT_EQ(FR_INVALID_PARAMETER, SetSettingString("Live", "App", deeper.c_str(), "x"));
  EXPECT_EQ(FR_INVALID_PARAMETER, AddToSettingInt("Live", "App", deeper.c_str(), 1));
  EXPECT_EQ(FR_INVALID_PARAMETER, AddSetting("Live", "App", deeper.c_str(), 1, PARAM_TYPE_STRING, -1, "x", 2));
  EXPECT_EQ(nodes, GetNodeQACount());
  EXPECT_EQ(file, SettingsFile("live_app"));
}

TEST_F(Settings, NullTextStoresTheNodeWithoutValue) {
  App("Live", "App");
  ASSERT_EQ(0, SetSettingString("Live", "App", "Empty", "x"));
  ASSERT_EQ(0, SetSettingString("Live", "App", "Empty", nullptr));
  ParamTreeNode* node = FindParamNode(FindApplication(FindEnvironment("Live"), "App")->configRoot, "Empty");
  ASSERT_NE(nullptr, node);
  EXPECT_FALSE(node->data.has_value());
  Read r = Get("Live", "App", "Empty", 0);
  EXPECT_EQ(0, r.code);
  EXPECT_FALSE(r.text.has_value());
  EXPECT_NE(std::string::npos, SettingsFile("live_app").find("type=\"STRING\"></Empty>\n"));
}

TEST_F(Settings, DeleteSettingTable) {
  enum Target { kFirstTop, kOnlyTop, kMiddleChild, kUserUID, kZero, kMissing, kOtherAppsNode };
  struct Case {
    const char* id;
    Target target;
    int code;
  } cases[] = {
      {"first top-level node", kFirstTop, 0},
      {"only top-level node", kOnlyTop, 0},
      {"middle child", kMiddleChild, 0},
      {"a user's UID", kUserUID, FR_WRONG_NODE_KIND},
      {"UID 0", kZero, FR_INVALID_PARAMETER},
      {"unregistered UID", kMissing, FR_NODE_NOT_FOUND},
      {"node of another application", kOtherAppsNode, 0},
  };
  struct UserRecord {
    NodeHeader header;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ResetConfigStoreState();
    SetClockOverride(kFixedTime);
    ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
    App("Live", "App");
    App("Live", "Other");
    App("Single", "App");
    Put("Live", "App", "A\\X", "x");
    Put("Live", "App", "A\\Y", "y");
    Put("Live", "App", "A\\Z", "z");
    Put("Live", "App", "B", "b");  // top-level chain: B, A
    Put("Single", "App", "Only\\Sub", "s");
    Put("Live", "Other", "O", "o");
    UserRecord user{};
    user.header.kind = NODE_KIND_USER;
    ASSERT_NE(0u, AddNodeToQAArray(&user.header));
    ASSERT_EQ(0, WriteApplicationSettingsXML(nullptr, FindEnvironment("Live"), FindApplication(FindEnvironment("Live"), "App")));
    const std::string appFileBefore = SettingsFile("live_app");

    auto app = [](const char* env, const char* name) { return FindApplication(FindEnvironment(env), name); };
    UID uid = 0;
    const char* env = "Live";
    switch (c.target) {
      case kFirstTop: uid = app("Live", "App")->configRoot->header.uid; break;
      case kOnlyTop: uid = app("Single", "App")->configRoot->header.uid; env = "Single"; break;
      case kMiddleChild: uid = FindParamNode(app("Live", "App")->configRoot, "A\\Y")->header.uid; break;
      case kUserUID: uid = user.header.uid; break;
      case kZero: uid = 0; break;
      case kMissing: uid = 999999; break;
      case kOtherAppsNode: uid = app("Live", "Other")->configRoot->header.uid; break;
    }
    const size_t registered = GetNodeQACount();
    EXPECT_EQ(c.code, DeleteSetting(uid, env, "App", true));
    if (c.code != 0) {
      EXPECT_EQ(registered, GetNodeQACount());
      EXPECT_EQ(appFileBefore, SettingsFile("live_app"));
      RemoveNodeFromQAArray(user.header.uid);
      continue;
    }
    EXPECT_EQ(nullptr, GetNodeByUID(uid));
    EXPECT_NE(nullptr, GetNodeByUID(user.header.uid));  // users untouched
    switch (c.target) {
      case kFirstTop:
        EXPECT_EQ("A", Chain(app("Live", "App")->configRoot));
        EXPECT_EQ(std::string::npos, SettingsFile("live_app").find("<B "));
        break;
      case kOnlyTop:
        EXPECT_EQ(nullptr, app("Single", "App")->configRoot);
        EXPECT_EQ(registered - 2, GetNodeQACount());  // with its child
        EXPECT_EQ("<?xml version=\"1.0\"?>\n<App>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n</CONFIGURATION>\n</App>",
                  SettingsFile("single_app"));
        break;
      case kMiddleChild:
        EXPECT_EQ("X,Z", Chain(GetParamTreeNodeByUID(FindParamNode(app("Live", "App")->configRoot, "A")->child)));
        break;
      case kOtherAppsNode:
        // Named Live/App, but the node was Other's: Other's file is the one saved.
        EXPECT_EQ(nullptr, app("Live", "Other")->configRoot);
        EXPECT_EQ(appFileBefore, SettingsFile("live_app"));
        EXPECT_EQ("<?xml version=\"1.0\"?>\n<Other>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n</CONFIGURATION>\n</Other>",
                  SettingsFile("live_other"));
        break;
      default:
        break;
    }
    RemoveNodeFromQAArray(user.header.uid);
  }
}

TEST_F(Settings, DeleteSettingLookupsAndUnregisteredSibling) {
  App("Live", "App");
  Put("Live", "App", "A", "a");
  Put("Live", "App", "B", "b");  // chain B, A
  ApplicationStruct* app = FindApplication(FindEnvironment("Live"), "App");
  UID b = app->configRoot->header.uid;
  EXPECT_EQ(FR_APP_NOT_FOUND, DeleteSetting(b, "Live", "Nope", true));
  EXPECT_EQ(FR_ENV_NOT_FOUND, DeleteSetting(b, "Nope", "App", true));
  // B's sibling link points at a UID nobody holds: nothing is deleted.
  UID a = app->configRoot->sibling;
  app->configRoot->sibling = 999999;
  EXPECT_EQ(FR_NODE_NOT_FOUND, DeleteSetting(b, "Live", "App", false));
  EXPECT_EQ(b, app->configRoot->header.uid);
  EXPECT_NE(nullptr, GetNodeByUID(b));
  app->configRoot->sibling = a;
  // Without the save flag nothing is written.
  EXPECT_EQ(0, DeleteSetting(b, "Live", "App", false));
  EXPECT_EQ("A", Chain(app->configRoot));
  EXPECT_EQ("", SettingsFile("live_app"));
}

TEST_F(Settings, ParseSettingIntLikeAtoiSaturating) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {
      {"12abc", 12},          {"abc", 0},          {"", 0},
      {"  -42", -42},         {"\t\n+7x", 7},      {"-", 0},
      {"2147483647", INT32_MAX}, {"2147483648", INT32_MAX}, {"99999999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN}, {"-99999999999999999999", INT32_MIN},
      {"0007", 7},            {"+-1", 0},          {"1 2", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(c.value, ParseSettingInt(c.text)) << c.text;
  EXPECT_EQ(0, ParseSettingInt(nullptr));
}

TEST_F(Settings, IntegersWithFallbackAndWrap) {
  App("Live", "App");
  App("Test", "App");
  Put("Live", "App", "Text", "12abc");
  EXPECT_EQ(12, GetSettingInt("Live", "App", "Text", -1));
  EXPECT_EQ(-1, GetSettingInt("Live", "App", "Missing", -1));
  EXPECT_EQ(-1, GetSettingInt("Nope", "App", "Text", -1));
  Put("Live", "App", "NoValue", nullptr);
  EXPECT_EQ(-1, GetSettingInt("Live", "App", "NoValue", -1));

  EXPECT_EQ(0, AddToSettingInt("Live", "App", "New", 5));
  EXPECT_EQ("5", Get("Live", "App", "New", 0).text);
  // Missing in Test, 10 in Live: Test starts from the Live value.
  Put("Live", "App", "Count", "10");
  EXPECT_EQ(0, AddToSettingInt("Test", "App", "Count", 1));
  EXPECT_EQ("11", Get("Test", "App", "Count", 0).text);
  EXPECT_EQ("10", Get("Live", "App", "Count", 0).text);
  EXPECT_NE(std::string::npos, SettingsFile("test_app").find("<Count uid="));
  // 32-bit wrapping.
  Put("Live", "App", "Max", "2147483647");
  EXPECT_EQ(0, AddToSettingInt("Live", "App", "Max", 1));
  EXPECT_EQ("-2147483648", Get("Live", "App", "Max", 0).text);
  EXPECT_EQ(0, AddToSettingInt("Live", "App", "Max", -1));
  EXPECT_EQ("2147483647", Get("Live", "App", "Max", 0).text);
  EXPECT_EQ(FR_INVALID_PARAMETER, AddToSettingInt("Live", nullptr, "Max", 1));
  EXPECT_EQ(FR_INVALID_PARAMETER, AddToSettingInt("Live", "App", nullptr, 1));
}

TEST_F(Settings, PasswordRules) {
  App("Live", "Torvane");
  EXPECT_EQ(nullptr, GetPWRulesString());  // missing
  Put("Live", "Torvane", "Settings\\PWRules", nullptr);
  EXPECT_EQ(nullptr, GetPWRulesString());  // no value
  const std::string forty = "0123456789012345678901234567890123456789";
  Put("Live", "Torvane", "Settings\\PWRules", forty.c_str());
  ClearLogLine();
  const char* rules = GetPWRulesString();
  ASSERT_NE(nullptr, rules);
  EXPECT_EQ(forty.substr(0, 31), rules);
  EXPECT_EQ(forty + " exceeds 31, truncating to >\n" + forty.substr(0, 31), std::string(GetLogLine()));
  Put("Live", "Torvane", "Settings\\PWRules", "8,1,1");
  EXPECT_STREQ("8,1,1", GetPWRulesString());
  // A type that cannot be shown as text is an error, not "no rules".
  FindParamNode(FindApplication(FindEnvironment("Live"), "Torvane")->configRoot, "Settings\\PWRules")->type =
      PARAM_TYPE_COMPLEX;
  EXPECT_EQ(nullptr, GetPWRulesString());
}

TEST_F(Settings, SchemaVersionCreatesTheApplication) {
  ASSERT_EQ(0, AddEnvironment("Live"));
  EXPECT_EQ(FR_ENV_NOT_FOUND, SetSchemaVersion("Test", "App", "1.0"));
  EXPECT_EQ(FR_ENV_NOT_FOUND, SetSchemaVersion(nullptr, "App", "1.0"));
  EXPECT_EQ(0, SetSchemaVersion("Live", "NewApp", "2.1"));
  EXPECT_NE(std::string::npos, EnvXml().find("<NewApp/>"));
  EXPECT_EQ("2.1", Get("Live", "NewApp", "SchemaVersion", 0).text);
  EXPECT_NE(std::string::npos, SettingsFile("live_newapp").find(">2.1\n</SchemaVersion>\n"));
  EXPECT_EQ(0, SetSchemaVersion("Live", "NEWAPP", "2.2"));
  EXPECT_EQ("2.2", Get("Live", "NewApp", "SchemaVersion", 0).text);
  EXPECT_EQ(FR_INVALID_PARAMETER, SetSchemaVersion("Live", "bad.name", "1"));
  EXPECT_EQ(nullptr, FindApplication(FindEnvironment("Live"), "bad.name"));
  // A refused version text creates nothing.
  const std::string envXml = EnvXml();
  EXPECT_EQ(FR_INVALID_PARAMETER, SetSchemaVersion("Live", "Other", "bad\x01"));
  EXPECT_EQ(nullptr, FindApplication(FindEnvironment("Live"), "Other"));
  EXPECT_EQ(envXml, EnvXml());
  EXPECT_EQ("", SettingsFile("live_other"));
}

TEST_F(Settings, FailedSaveKeepsTheChangeInMemory) {
  App("Live", "App");
  ASSERT_EQ(0, SetSettingString("Live", "App", "A", "old"));
  const std::string before = SettingsFile("live_app");
  SetAtomicWriteFailAfter(20);
  EXPECT_EQ(FR_WRITE_FAILED, SetSettingString("Live", "App", "A", "new"));
  EXPECT_EQ(FR_WRITE_FAILED, AddToSettingInt("Live", "App", "N", 1));
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ("new", Get("Live", "App", "A", 0).text);
  EXPECT_EQ("1", Get("Live", "App", "N", 0).text);
  EXPECT_EQ(before, SettingsFile("live_app"));
}

TEST_F(Settings, TypedValuesThroughAddSetting) {
  App("Live", "App");
  const unsigned char word[4] = {0xFB, 0xFF, 0xFF, 0xFF};  // -5 little-endian
  EXPECT_EQ(0, AddSetting("Live", "App", "Int", 0, PARAM_TYPE_INTEGER, -1, word, 4));
  EXPECT_EQ("-5", Get("Live", "App", "Int", 0).text);
  EXPECT_EQ(FR_INVALID_PARAMETER, AddSetting("Live", "App", "Short", 0, PARAM_TYPE_INTEGER, -1, word, 3));
  EXPECT_EQ(FR_INVALID_PARAMETER, AddSetting("Live", "App", "Cx", 0, PARAM_TYPE_COMPLEX, -1, word, 4));
  EXPECT_EQ(FR_INVALID_PARAMETER, AddSetting("Live", "App", "Fs", 0, PARAM_TYPE_FIXED_STRING, -1, word, 4));
  EXPECT_EQ(1u, GetNodeQACount());  // only Int was made
}

TEST(SettingsUnused, EntryPoints) {
  EXPECT_EQ(0, UpdateSetting());
  EXPECT_EQ(nullptr, GetSetting());
}

}  // namespace
