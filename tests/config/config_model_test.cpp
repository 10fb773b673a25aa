// Tests of the configuration model: the name rule, environments and
// applications (order, lookups, growth, deletion), file names, the
// shared-settings-file refusal and the first-start content.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/settings_api.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/util/util.h"
#include "model_fixture.h"
#include "platform/atomic_file.h"

namespace {

class Model : public ModelFixture {};

TEST(ModelNames, NameRuleTable) {
  const std::string s31 = "a" + std::string(30, 'b');
  const std::string s32 = "a" + std::string(31, 'b');
  struct Case {
    const char* name;
    int valid;
  } cases[] = {
      {"Live", 1},       {"a", 1},          {s31.c_str(), 1},   {s32.c_str(), 0},  {"1abc", 0},
      {"_abc", 0},       {"-abc", 0},       {"a.b", 0},         {"a-b", 1},        {"a_b9", 1},
      {"", 0},           {nullptr, 0},      {"a b", 0},         {"a/b", 0},        {"a\\b", 0},
      {"caf\xC3\xA9", 0}, {"a<b", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.valid, IsValidEnvAppName(c.name)) << (c.name ? c.name : "(null)");
}

TEST(ModelNames, SafeFileNamePart) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"Live", "live"},       {"My App", "my_app"},    {"a/b\\c", "a_b_c"},  {"../..", ".._.."},
      {"v1.0-RC", "v1.0-rc"}, {"x\xC3\xA9", "x__"},    {"A_B", "a_b"},       {"", ""},
  };
  for (const Case& c : cases) {
    std::string s = c.in;
    MakeSafeFileNamePart(s);
    EXPECT_EQ(c.out, s) << c.in;
    std::string buf = c.in;
    EXPECT_STREQ(c.out, MakeSafeFileNamePart(buf.data()));
  }
  EXPECT_EQ(nullptr, MakeSafeFileNamePart(static_cast<char*>(nullptr)));
}

TEST(ModelNames, FileNameTable) {
  struct Case {
    const char* home;
    const char* a;
    const char* b;
    const char* settings;
    const char* schema;
  } cases[] = {
      {"/h/", "Live", "Torvane", "/h/envs/live_torvane.xml", "/h/schemas/live.torvane.xsd"},
      {"/h", "Live", "MyApp", "/h/envs/live_myapp.xml", "/h/schemas/live.myapp.xsd"},
      {"", "Live", "Torvane", "envs/live_torvane.xml", "schemas/live.torvane.xsd"},
      {"/h/", "a/b", "..\\x", "/h/envs/a_b_.._x.xml", "/h/schemas/a_b..._x.xsd"},
      {"/h/", "MyApp", "../../etc", "/h/envs/myapp_.._.._etc.xml", "/h/schemas/myapp..._.._etc.xsd"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(0, GetEnvAppFileName(out, c.home, c.a, c.b));
    EXPECT_EQ(c.settings, out);
    EXPECT_EQ(0, GetSchemaFileName(out, c.home, c.a, c.b));
    EXPECT_EQ(c.schema, out);
  }
  std::string out = "x";
  EXPECT_EQ(FR_INVALID_PARAMETER, GetEnvAppFileName(out, "/h/", nullptr, "a"));
  EXPECT_EQ("", out);
  const std::string longName(1020, 'a');
  EXPECT_EQ(FR_INVALID_PARAMETER, GetEnvAppFileName(out, "/h/", longName.c_str(), "a"));
  EXPECT_EQ(FR_INVALID_PARAMETER, GetSchemaFileName(out, "/h/", "a", longName.c_str()));
}

TEST_F(Model, EnvironmentNamesAndCodes) {
  const std::string s31 = "E" + std::string(30, 'x');
  const std::string s32 = "E" + std::string(31, 'x');
  EXPECT_EQ(0, AddEnvironment("Live"));
  EXPECT_EQ(FR_ALREADY_EXISTS, AddEnvironment("live"));
  EXPECT_EQ(0, AddEnvironment(s31.c_str()));
  EXPECT_EQ(FR_INVALID_PARAMETER, AddEnvironment(s32.c_str()));
  EXPECT_EQ(FR_INVALID_PARAMETER, AddEnvironment("a.b"));
  EXPECT_EQ(FR_INVALID_PARAMETER, AddEnvironment(""));
  EXPECT_EQ(FR_INVALID_PARAMETER, AddEnvironment(nullptr));
  ASSERT_EQ(2u, GetConfigRoot()->envs.size());
  EXPECT_EQ(NODE_KIND_ENVIRONMENT, GetConfigRoot()->envs[0].header.kind);
  EXPECT_EQ(FR_INVALID_PARAMETER, DeleteEnvironment("LIVE", true));
  EXPECT_EQ(FR_ENV_NOT_FOUND, DeleteEnvironment("Missing", true));
  EXPECT_EQ(0, DeleteEnvironment(s31.c_str(), true));
  EXPECT_EQ("<?xml version=\"1.0\"?>\n<ENVIRONMENTS>\n<Live>\n<APPLICATIONS>\n</APPLICATIONS>\n</Live>\n</ENVIRONMENTS>",
            EnvXml());
  EXPECT_EQ(kFixedTime, GetConfigRoot()->header.timeStamp);
  EXPECT_EQ(nullptr, FindEnvironment(""));
  EXPECT_EQ(nullptr, FindEnvironment(nullptr));
  EXPECT_NE(nullptr, FindEnvironment("LIVE"));
}

TEST_F(Model, NoRoot) {
  ResetConfigRoot();
  EXPECT_EQ(nullptr, GetConfigRoot());
  EXPECT_EQ(nullptr, FindEnvironment("Live"));
  EXPECT_EQ(FR_NO_MEMORY, AddEnvironment("Live"));
  EXPECT_EQ(0, DeleteEnvironment("Test", false));
  EXPECT_EQ(FR_INVALID_PARAMETER, DeleteEnvironment("Test", true));
  std::string text;
  EXPECT_EQ(FR_INVALID_PARAMETER, ReadEnvironmentMasterFile(text));
}

TEST_F(Model, EnvironmentsKeepInsertionOrderAndGrowInFives) {
  const char* names[] = {"Zeta", "Alpha", "Mid", "Beta", "Omega", "Six", "Seven"};
  for (const char* n : names) ASSERT_NE(nullptr, CreateEnvironment(GetConfigRoot(), n, 0));
  const auto& envs = GetConfigRoot()->envs;
  ASSERT_EQ(7u, envs.size());
  EXPECT_EQ(10u, envs.capacity());
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(names[i], envs[i].name);
  EXPECT_EQ(nullptr, CreateEnvironment(GetConfigRoot(), "ALPHA", 0));
  EXPECT_EQ(nullptr, CreateEnvironment(nullptr, "New", 0));
}

TEST_F(Model, ApplicationsSortedAndFoundCaseInsensitively) {
  EnvironmentStruct* env = Env("Live");
  const char* names[] = {"AB", "A_B", "zeta", "Alpha", "b", "B2", "a-b", "Torvane", "m", "N", "x_", "X"};
  for (const char* n : names) ASSERT_NE(nullptr, AddApplication(env, n)) << n;
  EXPECT_EQ("a-b,A_B,AB,Alpha,b,B2,m,N,Torvane,X,x_,zeta", Names(env));
  EXPECT_EQ(15u, env->apps.capacity());
  for (const char* n : names) {
    std::string upper = n;
    UpperCaseString(upper);
    ApplicationStruct* a = FindApplication(env, upper.c_str());
    ASSERT_NE(nullptr, a) << n;
    EXPECT_EQ(n, a->name);
    EXPECT_EQ(1, ApplicationExists(env, n));
  }
  EXPECT_EQ(nullptr, AddApplication(env, "torvane"));
  EXPECT_EQ(nullptr, AddApplication(env, ""));
  EXPECT_EQ(nullptr, AddApplication(nullptr, "x"));
  EXPECT_EQ(nullptr, FindApplication(env, "A"));
  EXPECT_EQ(nullptr, FindApplication(env, ""));
  EXPECT_EQ(0, ApplicationExists(env, "zz"));
}

TEST_F(Model, AddApplicationToEnvironmentWritesBothFiles) {
  ASSERT_EQ(0, AddEnvironment("Live"));
  EXPECT_EQ(0, AddApplicationToEnvironment("live", "MyApp"));
  EXPECT_EQ(FR_ALREADY_EXISTS, AddApplicationToEnvironment("Live", "MYAPP"));
  EXPECT_EQ(FR_ENV_NOT_FOUND, AddApplicationToEnvironment("Test", "MyApp"));
  EXPECT_EQ(FR_INVALID_PARAMETER, AddApplicationToEnvironment("Live", "my.app"));
  EXPECT_EQ(FR_INVALID_PARAMETER, AddApplicationToEnvironment(nullptr, "MyApp"));
  EXPECT_EQ(FR_INVALID_PARAMETER, AddApplicationToEnvironment("Live", nullptr));
  EXPECT_EQ(
      "<?xml version=\"1.0\"?>\n<ENVIRONMENTS>\n<Live>\n<APPLICATIONS>\n<MyApp/>\n</APPLICATIONS>\n</Live>\n</ENVIRONMENTS>",
      EnvXml());
  EXPECT_EQ("<?xml version=\"1.0\"?>\n<MyApp>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n</CONFIGURATION>\n</MyApp>",
            SettingsFile("live_myapp"));
  EXPECT_EQ(kFixedTime, FindApplication(FindEnvironment("Live"), "MyApp")->header.timeStamp);
}

// A settings file that no loaded application holds (env.xml lost it at a
// failed load) is kept beside the new application's empty file.
TEST_F(Model, ANewApplicationKeepsAnUnloadedSettingsFile) {
  ASSERT_EQ(0, AddEnvironment("Live"));
  const std::string orphan =
      "<?xml version=\"1.0\"?>\n<MyApp>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n<Key>v</Key>\n</CONFIGURATION>\n</MyApp>";
  WriteWholeFile(home.File("envs/live_myapp.xml"), orphan);
  ASSERT_EQ(0, AddApplicationToEnvironment("Live", "MyApp"));
  EXPECT_EQ("<?xml version=\"1.0\"?>\n<MyApp>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n</CONFIGURATION>\n</MyApp>",
            SettingsFile("live_myapp"));
  EXPECT_EQ(orphan, ReadWholeFile(home.File("envs/live_myapp.xml.bad")));
  EXPECT_EQ(0u, GetFailedStoreFileCount());

  // Without a file there, nothing is kept.
  ASSERT_EQ(0, AddApplicationToEnvironment("Live", "Other"));
  EXPECT_FALSE(std::ifstream(home.File("envs/live_other.xml.bad")).good());
}

TEST_F(Model, TwoApplicationsNeverShareASettingsFile) {
  ASSERT_EQ(0, AddEnvironment("a_b"));
  ASSERT_EQ(0, AddEnvironment("a"));
  ASSERT_EQ(0, AddEnvironment("Other"));
  ASSERT_EQ(0, AddApplicationToEnvironment("a_b", "c"));
  // envs/a_b_c.xml is taken by a_b/c.
  EXPECT_EQ(FR_ALREADY_EXISTS, AddApplicationToEnvironment("a", "b_c"));
  EXPECT_EQ(FR_ALREADY_EXISTS, AddApplicationToEnvironment("A", "B_C"));
  EXPECT_EQ(nullptr, FindApplication(FindEnvironment("a"), "b_c"));
  EXPECT_EQ(0, AddApplicationToEnvironment("a", "b-c"));  // '-' is kept: a_b-c.xml
  EXPECT_EQ(0, AddApplicationToEnvironment("Other", "c"));
  // The check itself, for the other creation paths.
  EXPECT_EQ(FR_ALREADY_EXISTS, CheckSettingsFileNameFree("a", "b_c"));
  EXPECT_EQ(FR_ALREADY_EXISTS, CheckSettingsFileNameFree("a b", "c"));  // a blank against '_'
  EXPECT_EQ(0, CheckSettingsFileNameFree("A_B", "C"));  // the pair itself (a replacement)
  EXPECT_EQ(0, CheckSettingsFileNameFree("a", "d"));
  EXPECT_EQ(FR_INVALID_PARAMETER, CheckSettingsFileNameFree(nullptr, "d"));
}

TEST_F(Model, DeleteApplicationMovesLaterRecordsDownAndKeepsItsFile) {
  ASSERT_EQ(0, AddEnvironment("Live"));
  for (const char* n : {"Alpha", "Beta", "Gamma"}) ASSERT_EQ(0, AddApplicationToEnvironment("Live", n));
  ASSERT_EQ(0, SetSettingString("Live", "Beta", "A\\B", "v"));
  const size_t nodesBefore = GetNodeQACount();
  ASSERT_EQ(2u, nodesBefore);
  EnvironmentStruct* env = FindEnvironment("Live");
  EXPECT_EQ(0, DeleteApplication(env, "BETA"));
  EXPECT_EQ("Alpha,Gamma", Names(env));
  EXPECT_EQ(0u, GetNodeQACount());  // its tree left the registry
  EXPECT_EQ(0u, GetLiveParamTreeNodeCount());
  EXPECT_NE("", SettingsFile("live_beta"));
  EXPECT_EQ(FR_APP_NOT_FOUND, DeleteApplication(env, "Beta"));
  EXPECT_EQ(FR_INVALID_PARAMETER, DeleteApplication(nullptr, "Beta"));
  EXPECT_EQ(FR_INVALID_PARAMETER, DeleteApplication(env, nullptr));
  ASSERT_NE(nullptr, FindApplication(env, "Gamma"));
}

// Environments and applications are held by value: growth, re-sorting and
// deletes move the records, and every tree must move with its application.
TEST_F(Model, TreesFollowTheirApplicationsThroughGrowthSortAndErase) {
  for (const char* e : {"Live", "First", "Second"}) ASSERT_EQ(0, AddEnvironment(e));
  const char* names[] = {"M", "A", "Z", "B", "Y", "C", "X", "D", "W", "E", "V", "F"};
  for (const char* n : names) {
    ASSERT_EQ(0, AddApplicationToEnvironment("Second", n)) << n;
    ASSERT_EQ(0, SetSettingString("Second", n, "K\\V", n)) << n;
  }
  ASSERT_EQ(0, AddApplicationToEnvironment("First", "Gone"));
  ASSERT_EQ(0, SetSettingString("First", "Gone", "K", "g"));
  // A middle application and the environment before "Second" go.
  ASSERT_EQ(0, DeleteApplication(FindEnvironment("Second"), "B"));
  ASSERT_EQ(0, DeleteEnvironment("First", true));
  EXPECT_EQ("A,C,D,E,F,M,V,W,X,Y,Z", Names(FindEnvironment("Second")));
  EXPECT_EQ(2u * 11, GetNodeQACount());
  for (const char* n : names) {
    std::optional<std::string> text;
    int rc = GetSettingString("Second", n, "K\\V", 0, 0, text);
    if (std::string(n) == "B") {
      EXPECT_EQ(FR_APP_NOT_FOUND, rc);
      continue;
    }
    ASSERT_EQ(0, rc) << n;
    EXPECT_EQ(n, text.value_or("")) << n;
  }
  // The moved records still own their trees: a delete through one saves it.
  ApplicationStruct* m = FindApplication(FindEnvironment("Second"), "M");
  ASSERT_NE(nullptr, m);
  ASSERT_EQ(0, DeleteSetting(m->configRoot->header.uid, "Second", "M", true));
  EXPECT_EQ(nullptr, FindApplication(FindEnvironment("Second"), "M")->configRoot);
  EXPECT_EQ("<?xml version=\"1.0\"?>\n<M>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n</CONFIGURATION>\n</M>",
            SettingsFile("second_m"));
  EXPECT_EQ(2u * 10, GetNodeQACount());
}

TEST_F(Model, DeleteEnvironmentFreesItsTreesAndKeepsTheOthers) {
  ASSERT_EQ(0, AddEnvironment("Live"));
  ASSERT_EQ(0, AddEnvironment("Test"));
  ASSERT_EQ(0, AddEnvironment("Third"));
  ASSERT_EQ(0, AddApplicationToEnvironment("Test", "App"));
  ASSERT_EQ(0, SetSettingString("Test", "App", "X", "1"));
  EXPECT_EQ(0, DeleteEnvironment("test", false));
  EXPECT_EQ(0u, GetLiveParamTreeNodeCount());
  ASSERT_EQ(2u, GetConfigRoot()->envs.size());
  EXPECT_EQ("Third", GetConfigRoot()->envs[1].name);
  // Without the save flag env.xml still lists it.
  EXPECT_NE(std::string::npos, EnvXml().find("<Test>"));
}

TEST_F(Model, FailedEnvXmlWriteKeepsTheChangeInMemory) {
  ASSERT_EQ(0, AddEnvironment("Live"));
  const std::string before = EnvXml();
  SetAtomicWriteFailAfter(10);
  EXPECT_EQ(FR_WRITE_FAILED, AddEnvironment("Test"));
  SetAtomicWriteFailAfter(-1);
  EXPECT_NE(nullptr, FindEnvironment("Test"));
  EXPECT_EQ(before, EnvXml());  // the old file is kept whole

  // A home directory that does not exist: the file cannot be created.
  ASSERT_EQ(0, CreateConfigRoot(home.File("missing/").c_str()));
  EXPECT_EQ(FR_CANNOT_OPEN_FILE, AddEnvironment("Live"));
  EXPECT_NE(nullptr, FindEnvironment("Live"));
  // env.xml written, then the settings file cannot be.
  ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
  ASSERT_EQ(0, AddEnvironment("Live"));
  ::rmdir(home.File("envs").c_str());
  EXPECT_EQ(FR_CANNOT_OPEN_FILE, AddApplicationToEnvironment("Live", "App"));
  EXPECT_NE(nullptr, FindApplication(FindEnvironment("Live"), "App"));
}

TEST_F(Model, CreateConfigRootReplacesEverything) {
  ASSERT_EQ(0, AddEnvironment("Live"));
  ASSERT_EQ(0, AddApplicationToEnvironment("Live", "App"));
  ASSERT_EQ(0, SetSettingString("Live", "App", "A\\B\\C", "1"));
  ASSERT_EQ(3u, GetLiveParamTreeNodeCount());
  ASSERT_EQ(0, CreateConfigRoot("/other/"));
  TorvaneStructure* root = GetConfigRoot();
  EXPECT_EQ("/other/", root->homeDir);
  EXPECT_EQ(kUIDConfigurationRoot, root->header.uid);
  EXPECT_EQ(NODE_KIND_CONFIG_ROOT, root->header.kind);
  EXPECT_TRUE(root->envs.empty());
  EXPECT_EQ(0u, GetLiveParamTreeNodeCount());
  EXPECT_EQ(0u, GetNodeQACount());
}

TEST_F(Model, DefaultEnvironment) {
  ASSERT_EQ(0, CreateDefaultEnvironment());
  EnvironmentStruct* live = FindEnvironment("Live");
  ASSERT_NE(nullptr, live);
  EXPECT_EQ(kUIDLiveEnvironment, live->header.uid);
  ApplicationStruct* app = FindApplication(live, "Torvane");
  ASSERT_NE(nullptr, app);
  EXPECT_EQ("Authentication", Chain(app->configRoot));
  EXPECT_EQ("AllowGuestLogin,AllowADTokenLogin,AllowADUserLogin,AllowADUPLogin,AllowInternalLogin",
            Chain(GetParamTreeNodeByUID(app->configRoot->child)));
  EXPECT_EQ(nullptr, app->permRoot);
  EXPECT_EQ(0, GetSettingInt("Live", "Torvane", "Authentication\\AllowGuestLogin", 7));
  EXPECT_EQ(1, GetSettingInt("Live", "Torvane", "authentication\\allowinternallogin", 7));
  EXPECT_NE(std::string::npos, SettingsFile("live_torvane").find("<AllowInternalLogin uid="));
  // No root: nothing to fill.
  ResetConfigRoot();
  EXPECT_EQ(FR_NO_MEMORY, CreateDefaultEnvironment());
}

TEST_F(Model, ReadEnvironmentMasterFile) {
  std::string text = "x";
  EXPECT_EQ(FR_FILE_NOT_FOUND, ReadEnvironmentMasterFile(text));
  EXPECT_EQ("", text);
  ASSERT_EQ(0, AddEnvironment("Live"));
  EXPECT_EQ(0, ReadEnvironmentMasterFile(text));
  EXPECT_EQ(EnvXml(), text);
}

// The diagnostic dumps of the model, golden: the log copy of LogConfigRoot
// and the tagged print of PrintConfigRoot, two spaces per open level.
TEST_F(Model, DiagnosticDumps) {
  ApplicationStruct* app = App("Live", "App");
  ParamTreeNode* a = AddParamTreeNode(0, "A", 0x10);
  ASSERT_EQ(0, SetParamStringValue(a, "v"));
  ASSERT_NE(nullptr, AddParamTreeNode(0x10, "B", 0x11));
  app->configRoot = a;
  app->permRoot = AddParamTreeNode(0, "P", 0x20);

  const std::string tee = home.File("model.log");
  WriteWholeFile(tee, "old text that goes\n");
  LogConfigRoot(tee.c_str());
  WriteLog(0, "after the dump");  // no longer copied
  EXPECT_EQ(
      "Torvane has 1 envs\n"
      "Env 0 is >Live< with 1 apps\n"
      "*** APPLICATION App ***\n"
      "Config=16\n"
      "   Node uid=16, name=A, parent=0, sibling=0, child=17\n"
      "   Node data=>v<\n"
      "      Node uid=17, name=B, parent=16, sibling=0, child=0\n"
      "      Node data ptr=0, type=0\n"
      "perm=32\n"
      "   Node uid=32, name=P, parent=0, sibling=0, child=0\n"
      "   Node data ptr=0, type=0\n",
      ReadWholeFile(tee));

  ::testing::internal::CaptureStdout();
  PrintConfigRoot();
  EXPECT_EQ(
      "<Torvane>\n"
      "  <Live>\n"
      "    <App>\n"
      "      <CONFIGURATION>\n"
      "        <A>\n"
      "          v\n"
      "          <B>\n"
      "          </B>\n"
      "        </A>\n"
      "      </CONFIGURATION>\n"
      "      <PERMISSION>\n"
      "        <P>\n"
      "        </P>\n"
      "      </PERMISSION>\n"
      "    </App>\n"
      "  </Live>\n"
      "</Torvane>\n",
      ::testing::internal::GetCapturedStdout());

  // The parts on their own: empty trees leave out their sections; null prints nothing.
  ApplicationStruct bare;
  bare.name = "Bare";
  ::testing::internal::CaptureStdout();
  PrintApplication(&bare);
  PrintApplication(nullptr);
  PrintEnvironment(nullptr);
  PrintEnvironments(nullptr);
  EXPECT_EQ("<Bare>\n</Bare>\n", ::testing::internal::GetCapturedStdout());

  ResetConfigRoot();
  LogConfigRoot(tee.c_str());
  EXPECT_EQ("Torvane is NULL\n", ReadWholeFile(tee));
  ::testing::internal::CaptureStdout();
  PrintConfigRoot();
  EXPECT_EQ("No torvane\n", ::testing::internal::GetCapturedStdout());
}

}  // namespace
