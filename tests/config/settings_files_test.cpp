// Tests of the env.xml and settings-file writers: byte for byte against texts
// written out by hand, the failure codes (full disk, missing directory, a
// node type that cannot be written), and trees too deep or too long for a
// recursive writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/settings_files_write.h"
#include "config/store_file_state.h"
#include "foundation/result_codes.h"
#include "model_fixture.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"

namespace {

class Bytes : public ModelFixture {
 protected:
  // A node under `parent` (0: top level, linked by the caller) with a UID of
  // the test's choosing.
  static ParamTreeNode* Node(UID parent, const char* name, UID uid, const char* text = nullptr) {
    ParamTreeNode* n = AddParamTreeNode(parent, name, uid);
    EXPECT_NE(nullptr, n) << name;
    if (n != nullptr && text != nullptr) {
      EXPECT_EQ(0, SetParamStringValue(n, text));
    }
    return n;
  }
  int WriteApp(const char* env, const char* app) {
    return WriteApplicationSettingsXML(nullptr, FindEnvironment(env), FindApplication(FindEnvironment(env), app));
  }
  std::string EnvXmlPath() const { return home.File("env.xml"); }
};

TEST_F(Bytes, EnvXmlNineLines) {
  App("Live", "Torvane");
  App("Live", "alpha");
  ASSERT_EQ(0, WriteEnvironmentMasterFile(EnvXmlPath().c_str()));
  EXPECT_EQ(
      "<?xml version=\"1.0\"?>\n"
      "<ENVIRONMENTS>\n"
      "<Live>\n"
      "<APPLICATIONS>\n"
      "<alpha/>\n"
      "<Torvane/>\n"
      "</APPLICATIONS>\n"
      "</Live>\n"
      "</ENVIRONMENTS>",
      EnvXml());
  EXPECT_EQ(kFixedTime, GetConfigRoot()->header.timeStamp);
}

TEST_F(Bytes, EnvXmlDescriptionsAndOrder) {
  App("Live", "Torvane");
  App("Test", "AB");
  App("Test", "A_B");
  Env("Test")->description = "a<b & c>";
  Env("Dev")->description = "";
  ASSERT_EQ(0, WriteEnvironmentMasterFile(EnvXmlPath().c_str()));
  EXPECT_EQ(
      "<?xml version=\"1.0\"?>\n"
      "<ENVIRONMENTS>\n"
      "<Live>\n"
      "<APPLICATIONS>\n"
      "<Torvane/>\n"
      "</APPLICATIONS>\n"
      "</Live>\n"
      "<Test>\n"
      "<DESCRIPTION>a&#060;b &#038; c&#062;</DESCRIPTION>\n"
      "<APPLICATIONS>\n"
      "<A_B/>\n"
      "<AB/>\n"
      "</APPLICATIONS>\n"
      "</Test>\n"
      "<Dev>\n"
      "<DESCRIPTION></DESCRIPTION>\n"
      "<APPLICATIONS>\n"
      "</APPLICATIONS>\n"
      "</Dev>\n"
      "</ENVIRONMENTS>",
      EnvXml());
}

TEST_F(Bytes, SettingsFile) {
  ApplicationStruct* app = App("Live", "Torvane");
  app->permRoot = Node(0, "Admin", 0x10, "rw");

  ParamTreeNode* comms = Node(0, "Comms", 0x20);
  Node(0x20, "TimeOut", 0x21, "30");
  ParamTreeNode* auth = Node(0, "Authentication", 0x30);
  Node(0x30, "AllowGuestLogin", 0x31, "0");
  Node(0x30, "Nested", 0x32);
  ParamTreeNode* typed = Node(0, "Typed", 0xABCDEF01, "parent value");
  ASSERT_EQ(0, SetParamWordValue(Node(0xABCDEF01, "Int", 0x41), PARAM_TYPE_INTEGER, static_cast<uint32_t>(-5)));
  ASSERT_EQ(0, SetParamWordValue(Node(0xABCDEF01, "Dword", 0x42), PARAM_TYPE_DWORD, 255));
  ASSERT_EQ(0, SetParamFloatValue(Node(0xABCDEF01, "Float", 0x43), 0.1));
  ASSERT_EQ(0, SetParamWordValue(Node(0xABCDEF01, "Date", 0x44), PARAM_TYPE_DATE, 0x12345678));
  ASSERT_EQ(0, SetParamWordValue(Node(0xABCDEF01, "Time", 0x45), PARAM_TYPE_TIME, 3661));
  ASSERT_EQ(0, SetParamWordValue(Node(0xABCDEF01, "DateTime", 0x46), PARAM_TYPE_DATE_TIME, 86399));
  Node(0xABCDEF01, "Esc", 0x47, "a&b<c>%d\"'");
  app->configRoot = comms;
  comms->sibling = auth->header.uid;
  auth->sibling = typed->header.uid;

  ASSERT_EQ(0, WriteApp("Live", "Torvane"));
  EXPECT_EQ(
      "<?xml version=\"1.0\"?>\n"
      "<Torvane>\n"
      "<PERMISSIONS>\n"
      "<Admin uid=\"00000010\" type=\"STRING\">rw\n"
      "</Admin>\n"
      "</PERMISSIONS>\n"
      "<CONFIGURATION>\n"
      "<Comms uid=\"00000020\" type=\"STRING\"><TimeOut uid=\"00000021\" type=\"STRING\">30\n"
      "</TimeOut>\n"
      "</Comms>\n"
      "<Authentication uid=\"00000030\" type=\"STRING\"><AllowGuestLogin uid=\"00000031\" type=\"STRING\">0\n"
      "</AllowGuestLogin>\n"
      "<Nested uid=\"00000032\" type=\"STRING\"></Nested>\n"
      "</Authentication>\n"
      "<Typed uid=\"ABCDEF01\" type=\"STRING\">parent value\n"
      "<Int uid=\"00000041\" type=\"INTEGER\">-5\n"
      "</Int>\n"
      "<Dword uid=\"00000042\" type=\"DWORD\">000000FF\n"
      "</Dword>\n"
      "<Float uid=\"00000043\" type=\"FLOAT\">0.100000\n"
      "</Float>\n"
      "<Date uid=\"00000044\" type=\"DATE\">12345678\n"
      "</Date>\n"
      "<Time uid=\"00000045\" type=\"TIME\">00000E4D\n"
      "</Time>\n"
      "<DateTime uid=\"00000046\" type=\"DATE_TIME\">0001517F\n"
      "</DateTime>\n"
      "<Esc uid=\"00000047\" type=\"STRING\">a&#038;b&#060;c&#062;%d\"'\n"
      "</Esc>\n"
      "</Typed>\n"
      "</CONFIGURATION>\n"
      "</Torvane>",
      SettingsFile("live_torvane"));
  EXPECT_EQ(kFixedTime, FindApplication(FindEnvironment("Live"), "Torvane")->header.timeStamp);

  // An explicit path gets the same text.
  const std::string other = home.File("copy.xml");
  ASSERT_EQ(0, WriteApplicationSettingsXML(other.c_str(), FindEnvironment("Live"),
                                           FindApplication(FindEnvironment("Live"), "Torvane")));
  EXPECT_EQ(SettingsFile("live_torvane"), ReadWholeFile(other));
}

TEST_F(Bytes, EmptyApplication) {
  App("Live", "MyApp");
  ASSERT_EQ(0, WriteApp("Live", "MyApp"));
  EXPECT_EQ("<?xml version=\"1.0\"?>\n<MyApp>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n</CONFIGURATION>\n</MyApp>",
            SettingsFile("live_myapp"));
}

TEST_F(Bytes, NodeAndValueWritersOnAStream) {
  ParamTreeNode* top = Node(0, "A", 0x1, "x<y");
  Node(0x1, "B", 0x2);
  FILE* f = tmpfile();
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(0, WriteParamNodeXML(f, top));
  EXPECT_EQ(0, WriteParamValueXML(f, top));
  EXPECT_EQ(FR_INVALID_PARAMETER, WriteParamNodeXML(f, nullptr));
  EXPECT_EQ(FR_INVALID_PARAMETER, WriteParamNodeXML(nullptr, top));
  EXPECT_EQ(FR_INVALID_PARAMETER, WriteParamValueXML(f, nullptr));
  top->type = 99;
  EXPECT_EQ(FR_INVALID_PARAMETER, WriteParamValueXML(f, top));
  EXPECT_EQ(FR_INVALID_PARAMETER, WriteParamNodeXML(f, top));
  top->type = PARAM_TYPE_STRING;
  std::string text(256, '\0');
  rewind(f);
  text.resize(fread(text.data(), 1, text.size(), f));
  fclose(f);
  EXPECT_EQ("<A uid=\"00000001\" type=\"STRING\">x&#060;y\n<B uid=\"00000002\" type=\"STRING\"></B>\n</A>\nx&#060;y\n", text);
}

TEST_F(Bytes, UnwritableNodeKeepsTheOldFile) {
  ApplicationStruct* app = App("Live", "App");
  app->configRoot = Node(0, "A", 0x1, "v");
  ASSERT_EQ(0, WriteApp("Live", "App"));
  const std::string before = SettingsFile("live_app");
  Node(0x1, "C", 0x2)->type = PARAM_TYPE_COMPLEX;
  SetClockOverride(kFixedTime + 100);
  EXPECT_EQ(FR_INVALID_PARAMETER, WriteApp("Live", "App"));
  EXPECT_EQ(before, SettingsFile("live_app"));
  std::string text;
  EXPECT_EQ(FR_INVALID_PARAMETER, BuildApplicationSettingsText(FindApplication(FindEnvironment("Live"), "App"), text));
  EXPECT_EQ("", text);
  EXPECT_EQ(FR_INVALID_PARAMETER, WriteApplicationSettingsXML(nullptr, nullptr, nullptr));
}

TEST_F(Bytes, FailedWritesAreReportedAndKeepTheOldFile) {
  App("Live", "App");
  Env("Live")->description = std::string(200, 'd');
  ASSERT_EQ(0, WriteEnvironmentMasterFile(EnvXmlPath().c_str()));
  const std::string before = EnvXml();
  // Fail inside the description line and at the very last byte: both 15.
  for (long failAfter : {60L, static_cast<long>(before.size()) - 1}) {
    SetClockOverride(kFixedTime + failAfter);
    Env("Live")->description = std::string(200, 'e');
    SetAtomicWriteFailAfter(failAfter);
    EXPECT_EQ(FR_WRITE_FAILED, WriteEnvironmentMasterFile(EnvXmlPath().c_str())) << failAfter;
    SetAtomicWriteFailAfter(-1);
    EXPECT_EQ(before, EnvXml());
    EXPECT_EQ(kFixedTime + failAfter, GetConfigRoot()->header.timeStamp);  // the file was opened
  }
  SetAtomicWriteFailAfter(30);
  EXPECT_EQ(FR_WRITE_FAILED, WriteApp("Live", "App"));
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ("", SettingsFile("live_app"));

  EXPECT_EQ(FR_INVALID_PARAMETER, WriteEnvironmentMasterFile(nullptr));
  EXPECT_EQ(FR_INVALID_PARAMETER, WriteEnvironmentMasterFile(""));
  SetClockOverride(kFixedTime + 1000);
  EXPECT_EQ(FR_CANNOT_OPEN_FILE, WriteEnvironmentMasterFile(home.File("none/env.xml").c_str()));
  EXPECT_NE(kFixedTime + 1000, GetConfigRoot()->header.timeStamp);
  ::rmdir(home.File("envs").c_str());
  EXPECT_EQ(FR_CANNOT_OPEN_FILE, WriteApp("Live", "App"));
}

TEST_F(Bytes, FileThatFailedToLoadIsKeptBeforeItsFirstRewrite) {
  App("Live", "App");
  const std::string path = home.File("envs/live_app.xml");
  WriteWholeFile(path, "<App><CONFIGURATION><Unread");
  MarkStoreFileFailedToLoad(path);
  ASSERT_EQ(0, WriteApp("Live", "App"));
  EXPECT_EQ("<App><CONFIGURATION><Unread", ReadWholeFile(path + ".bad"));
  EXPECT_FALSE(IsStoreFileMarkedFailed(path));
  // Only the first rewrite keeps a copy.
  WriteWholeFile(path + ".bad", "kept");
  ASSERT_EQ(0, WriteApp("Live", "App"));
  EXPECT_EQ("kept", ReadWholeFile(path + ".bad"));
}

TEST_F(Bytes, DeepAndLongTreesNeedNoRecursion) {
  constexpr int kDepth = 10000;
  ApplicationStruct* app = App("Live", "App");
  ParamTreeNode* top = Node(0, "N", 0);
  app->configRoot = top;
  UID parent = top->header.uid;
  for (int i = 1; i < kDepth; ++i) parent = AddParamTreeNode(parent, "N", 0)->header.uid;
  ParamTreeNode* chain = Node(0, "S", 0);
  top->sibling = chain->header.uid;
  for (int i = 1; i < kDepth; ++i) AddParamTreeNode(chain->header.uid, "C", 0);
  int rc = -1;
  RunOnSmallStack([&] { rc = WriteApp("Live", "App"); });
  ASSERT_EQ(0, rc);
  const std::string file = SettingsFile("live_app");
  // One line feed per end tag, plus the six of the file's own lines.
  EXPECT_EQ(2u * kDepth + 6, static_cast<size_t>(std::count(file.begin(), file.end(), '\n')));
  EXPECT_NE(std::string::npos, file.find("</N>\n<S uid="));
  EXPECT_NE(std::string::npos, file.find("</C>\n</S>\n</CONFIGURATION>"));
}

TEST_F(Bytes, LinkCycleEndsTheWriteWithoutHanging) {
  ApplicationStruct* app = App("Live", "App");
  ParamTreeNode* a = Node(0, "A", 0x1);
  ParamTreeNode* b = Node(0, "B", 0x2);
  app->configRoot = a;
  a->sibling = b->header.uid;
  b->sibling = a->header.uid;  // corrupt: A, B, A, B, ...
  EXPECT_EQ(FR_INVALID_PARAMETER, WriteApp("Live", "App"));
  b->sibling = 0;
  // An unresolved link simply ends the chain.
  b->sibling = 0x999;
  EXPECT_EQ(0, WriteApp("Live", "App"));
  b->sibling = 0;
}

}  // namespace
