// Tests of the settings-file, schema and server-list XML handlers over a
// socket pair with the real store in a temporary home: the schema directory
// listing, schema files, env.xml and settings files whole, the configure
// right of 6647 and its refresh of the logon methods, environment
// descriptions (kept readable in env.xml), and server lists as XML.
#include "requests/settings_xml_handlers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_model.h"
#include "config/server_lists.h"
#include "config/settings_api.h"
#include "config/settings_exchange.h"
#include "foundation/result_codes.h"
#include "platform/atomic_file.h"
#include "requests/config_handlers.h"
#include "requests/config_request_fixture.h"
#include "sessions/logon_settings.h"

namespace {

constexpr uint32_t kInternalLogonBit = 16;

// A settings text as a client sends it: one STRING setting Colour.
std::string SettingsText(const std::string& colour) {
  return "<?xml version=\"1.0\"?>\n<App>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n"
         "<Colour type=\"STRING\">" + colour + "\n</Colour>\n</CONFIGURATION>\n</App>";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class SettingsXmlHandlersTest : public ConfigRequestFixture {
 protected:
  std::string SchemaDir() const { return home.File("schemas/"); }
  void Touch(const std::string& name) const { WriteWholeFile(SchemaDir() + name, "<xs/>"); }

  // The text of a "0 and text" reply (fails the test for any other shape).
  static std::string ReplyText(const TestBytes& reply) {
    if (reply.size() < 8 || reply[0] != 0 || reply[1] != 0 || reply[2] != 0 || reply[3] != 0) {
      ADD_FAILURE() << "not a text reply";
      return {};
    }
    return std::string(reply.begin() + 8, reply.end() - 1);
  }
};

// ---- 6644 ---------------------------------------------------------------------------

TEST_F(SettingsXmlHandlersTest, SchemaListHoldsRegularFilesEndingInXsdOnly) {
  EXPECT_EQ(CodeText(""), Run(IPGetSchemaList));  // no schema file yet
  Touch("a.1.xsd");
  Touch("b.2.xsd");
  Touch("C.3.XSD");                      // not ".xsd" exactly: 6643 could not open it
  Touch("a.1.xsd.tmpQ7zR2k");            // an atomic writer's temporary file
  Touch("ctl\x01name.xsd");              // a control byte would corrupt the list
  Touch("line\nfeed.xsd");
  Touch("notes.txt");
  std::filesystem::create_directory(SchemaDir() + "x.xsd");
  ASSERT_EQ(0, ::symlink((SchemaDir() + "b.2.xsd").c_str(), (SchemaDir() + "link.4.xsd").c_str()));
  ASSERT_EQ(0, ::symlink((SchemaDir() + "nowhere").c_str(), (SchemaDir() + "dangling.5.xsd").c_str()));

  const std::string text = ReplyText(Run(IPGetSchemaList));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ('\n', text.back());  // every name is followed by a line feed, the last too
  std::vector<std::string> names = Lines(text);
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"a.1", "b.2", "link.4"}), names);
}

TEST_F(SettingsXmlHandlersTest, SchemaListStopsAfterTheNamePassingTheLimit) {
  const std::string stem(196, 'n');  // each line: 196 bytes and "\n"
  std::set<std::string> made;
  for (int i = 0; i < 200; ++i) {
    std::string name = stem.substr(0, 193) + std::to_string(100 + i);
    made.insert(name);
    Touch(name + ".xsd");
  }
  const std::string text = BuildSchemaList(SchemaDir());
  const size_t line = stem.size() + 1;
  EXPECT_EQ((kSchemaListLimit / line + 1) * line, text.size());
  std::set<std::string> listed;
  for (const std::string& n : Lines(text)) {
    EXPECT_TRUE(made.count(n)) << n;
    listed.insert(n);
  }
  EXPECT_EQ(kSchemaListLimit / line + 1, listed.size());
}

// ---- 6653, 6643, 6642 ----------------------------------------------------------------

TEST_F(SettingsXmlHandlersTest, SchemaFilesStoredByAdminsAndFetchedByAnyone) {
  CallAs("bob");
  EXPECT_EQ(Code(49), Run(IPSetApplicationSchema, TestRequest().String("App").String("1").String("<s/>")));
  EXPECT_FALSE(std::filesystem::exists(SchemaDir() + "app.1.xsd"));
  CallAs("alice");
  EXPECT_EQ(Code(0), Run(IPSetApplicationSchema, TestRequest().String("App").String("1").String("<s/>")));
  EXPECT_EQ(Code(2), Run(IPSetApplicationSchema, TestRequest().String("").String("1").String("<s/>")));
  EXPECT_EQ(Code(2), Run(IPSetApplicationSchema, TestRequest().String("App").String("1").String(nullptr)));
  CallAs("dave");
  EXPECT_EQ(CodeText("<s/>"), Run(IPGetApplicationSchema, TestRequest().String("APP").String("1")));
  EXPECT_EQ(Code(21), Run(IPGetApplicationSchema, TestRequest().String("App").String("2")));
  EXPECT_EQ(Code(2), Run(IPGetApplicationSchema, TestRequest().String("App").String(nullptr)));
  EXPECT_EQ(CodeText("app.1\n"), Run(IPGetSchemaList));
}

TEST_F(SettingsXmlHandlersTest, SchemaVersionAddsAMissingApplication) {
  CallAs("bob");
  EXPECT_EQ(Code(49), Run(IPSetApplicationSchemaVersion, TestRequest().String("Live").String("New").String("3")));
  EXPECT_EQ(nullptr, FindApplication(FindEnvironment("Live"), "New"));
  CallAs("alice");
  EXPECT_EQ(Code(17), Run(IPSetApplicationSchemaVersion, TestRequest().String("Nowhere").String("New").String("3")));
  EXPECT_EQ(Code(0), Run(IPSetApplicationSchemaVersion, TestRequest().String("Live").String("New").String("3")));
  std::optional<std::string> version;
  EXPECT_EQ(0, GetSettingString("Live", "New", "SchemaVersion", 0, 0, version));
  EXPECT_EQ(std::optional<std::string>("3"), version);
  EXPECT_NE(std::string::npos, EnvXml().find("<New/>"));
}

// ---- 6645, 6646 ------------------------------------------------------------------------

TEST_F(SettingsXmlHandlersTest, WholeFilesByName) {
  CallAs("dave");
  EXPECT_EQ(CodeText(EnvXml()), Run(IPGetMasterEnvXML));
  // A settings file the store does not hold is served by its name.
  WriteWholeFile(home.File("envs/other_loose.xml"), "<Loose/>");
  EXPECT_EQ(CodeText("<Loose/>"), Run(IPGetEnvAppXML, TestRequest().String("Other").String("Loose")));
  EXPECT_EQ(CodeText(ReadWholeFile(home.File("envs/live_torvane.xml"))),
            Run(IPGetEnvAppXML, TestRequest().String("LIVE").String("Torvane")));
  EXPECT_EQ(Code(21), Run(IPGetEnvAppXML, TestRequest().String("Live").String("None")));
  EXPECT_EQ(Code(2), Run(IPGetEnvAppXML, TestRequest().String(nullptr).String("Torvane")));
  std::filesystem::remove(home.File("env.xml"));
  EXPECT_EQ(Code(21), Run(IPGetMasterEnvXML));
}

// ---- 6647 --------------------------------------------------------------------------------

TEST_F(SettingsXmlHandlersTest, SetEnvAppXmlNeedsTheConfigureRight) {
  ASSERT_EQ(0, AddEnvironment("Test"));
  struct Case {
    const char* what;
    const char* caller;
    const char* app;
    int32_t code;
  } cases[] = {
      {"admin", "alice", "Any", 0},
      {"AllowConfiguration 1", "bob", "Plus", 0},
      {"AllowConfiguration -1", "bob", "Minus", 0},
      {"AllowConfiguration 0", "bob", "Zero", 49},
      {"a value that is not a number", "bob", "Word", 49},
      {"no AllowConfiguration", "bob", "Bare", 49},
      {"no subsection at all", "bob", "Other", 49},
      {"level 0x200 reads Live, which grants", "carol", "Plus", 0},
      {"level 0x200 reads Live only, which lacks it", "carol", "Zero", 49},
      {"no settings of its own", "dave", "Plus", 49},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConfigRequestFixture::CallAs(c.caller);
    EXPECT_EQ(Code(c.code), Run(IPSetEnvAppXML, TestRequest().String("Test").String(c.app).String(SettingsText(c.what))));
    std::optional<std::string> colour;
    GetSettingString("Test", c.app, "Colour", 0, 0, colour);
    EXPECT_EQ(c.code == 0, colour == std::optional<std::string>(c.what));
  }
  CallAs(nullptr);
  EXPECT_EQ(Code(49), Run(IPSetEnvAppXML, TestRequest().String("Test").String("Plus").String(SettingsText("x"))));
}

TEST_F(SettingsXmlHandlersTest, IllFormedSettingsLeaveTheOldOnes) {
  ASSERT_EQ(0, SetSettingString("Live", "Torvane", "Colour", "red"));
  const TestBytes before = Run(IPGetApp, TestRequest().Int(1).Int(0).String("Live").String("Torvane"));
  const std::string file = ReadWholeFile(home.File("envs/live_torvane.xml"));
  EXPECT_EQ(Code(20), Run(IPSetEnvAppXML, TestRequest().String("Live").String("Torvane").String("<App><CONFIGURATION>")));
  EXPECT_EQ(before, Run(IPGetApp, TestRequest().Int(1).Int(0).String("Live").String("Torvane")));
  EXPECT_EQ(file, ReadWholeFile(home.File("envs/live_torvane.xml")));
  EXPECT_EQ(Code(2), Run(IPSetEnvAppXML, TestRequest().String("Live").String("Torvane").String(nullptr)));
  EXPECT_EQ(Code(17), Run(IPSetEnvAppXML, TestRequest().String("Nowhere").String("Torvane").String(SettingsText("x"))));
}

TEST_F(SettingsXmlHandlersTest, NewServerSettingsChangeTheLogonMethodsAtOnce) {
  ReadAuthenticationSettings();
  ASSERT_NE(0u, GetAuthenticationFlags() & kInternalLogonBit);
  // A single setting changed through 6619 takes effect at the next start.
  EXPECT_EQ(Code(0), Run(IPSetParamValueFromString, TestRequest().String("Live").String("Torvane")
                                                        .String("Authentication\\AllowInternalLogin").String("0")));
  EXPECT_NE(0u, GetAuthenticationFlags() & kInternalLogonBit);
  // The whole file through 6647, names in any case, takes effect now.
  const std::string text = ReadWholeFile(home.File("envs/live_torvane.xml"));
  ASSERT_NE(std::string::npos, text.find("AllowInternalLogin"));
  EXPECT_EQ(Code(0), Run(IPSetEnvAppXML, TestRequest().String("lIVE").String("torVANE").String(text)));
  EXPECT_EQ(0u, GetAuthenticationFlags() & kInternalLogonBit);
}

// ---- 6656, 6657 ----------------------------------------------------------------------------

TEST_F(SettingsXmlHandlersTest, DescriptionSurvivesARestartAndBadBytesAreRefused) {
  CallAs("bob");
  EXPECT_EQ(Code(49), Run(IPSetEnvDescription, TestRequest().String("Live").String("x")));
  EXPECT_EQ(Code(49), Run(IPSetEnvDescription, TestRequest().String("Nowhere").String("x")));
  CallAs("alice");
  EXPECT_EQ(Code(17), Run(IPSetEnvDescription, TestRequest().String("Nowhere").String("x")));

  EXPECT_EQ(Code(0), Run(IPSetEnvDescription, TestRequest().String("live").String("Main <&> site")));
  const std::string envXml = EnvXml();
  EXPECT_EQ(Code(2), Run(IPSetEnvDescription, TestRequest().String("Live").String("bad \xFF byte")));
  EXPECT_EQ(Code(2), Run(IPSetEnvDescription, TestRequest().String("Live").String("bell \x07")));
  EXPECT_EQ(envXml, EnvXml());

  ASSERT_EQ(0, ReadEnvironmentsXML(home.File("env.xml").c_str(), home.path.c_str()));
  EXPECT_EQ(std::optional<std::string>("Main <&> site"), FindEnvironment("Live")->description);
  CallAs("dave");
  EXPECT_EQ(CodeText("Main <&> site"), Run(IPGetEnvDescription, TestRequest().String("LIVE")));
}

TEST_F(SettingsXmlHandlersTest, DescriptionWriteFailureIsReported) {
  const std::string envXml = EnvXml();
  SetAtomicWriteFailAfter(0);  // as a full disk would
  EXPECT_EQ(Code(15), Run(IPSetEnvDescription, TestRequest().String("Live").String("new")));
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(envXml, EnvXml());
}

// A string argument cut short is a communication failure: under the echo
// rule, the log-and-end rule and 6656's log-then-echo alike, nothing is sent.
TEST_F(SettingsXmlHandlersTest, StringCutShortGetsNoReply) {
  const TestRequest cut = TestRequest().StringWithLength(10, {'L', 'i', 'v'});
  const struct {
    const char* what;
    int (*handler)(int);
    TestRequest request;
  } cases[] = {
      {"6643", IPGetApplicationSchema, TestRequest().String("App").Raw(cut.Bytes())},
      {"6646", IPGetEnvAppXML, cut},
      {"6647", IPSetEnvAppXML, TestRequest().String("Live").String("Torvane").Raw(cut.Bytes())},
      {"6656", IPGetEnvDescription, cut},
      {"6657", IPSetEnvDescription, TestRequest().String("Live").Raw(cut.Bytes())},
      {"6675", IPGetAppServerListXML, cut},
      {"6676", IPSetAppServerListXML, TestRequest().String("Live").Raw(cut.Bytes())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(TestBytes{}, Run(c.handler, c.request));
  }
}

TEST_F(SettingsXmlHandlersTest, DescriptionNoneAndEmptyDiffer) {
  EXPECT_EQ(CodeText(std::nullopt), Run(IPGetEnvDescription, TestRequest().String("Live")));
  EXPECT_EQ(Code(0), Run(IPSetEnvDescription, TestRequest().String("Live").String("")));
  EXPECT_EQ(CodeText(""), Run(IPGetEnvDescription, TestRequest().String("Live")));
  EXPECT_EQ(Code(0), Run(IPSetEnvDescription, TestRequest().String("Live").String(nullptr)));
  EXPECT_EQ(std::nullopt, FindEnvironment("Live")->description);
  EXPECT_EQ(std::string::npos, EnvXml().find("DESCRIPTION"));
  EXPECT_EQ(Code(17), Run(IPGetEnvDescription, TestRequest().String(nullptr)));
  EXPECT_EQ(Code(17), Run(IPGetEnvDescription, TestRequest().String("Nowhere")));
}

// ---- 6675, 6676 -----------------------------------------------------------------------------

TEST_F(SettingsXmlHandlersTest, ServerListAsXml) {
  EXPECT_EQ(CodeText("<SERVERLIST></SERVERLIST>"),
            Run(IPGetAppServerListXML, TestRequest().String(nullptr).String("Torvane")));
  const std::string list =
      "<SERVERLIST><SERVER><HOST>h1</HOST><PORT>99</PORT><ACTIVE>1</ACTIVE><TAGS>DEFAULT</TAGS>"
      "</SERVER></SERVERLIST>";
  CallAs("bob");
  EXPECT_EQ(Code(49), Run(IPSetAppServerListXML, TestRequest().String("Live").String("Torvane").String(list)));
  CallAs("alice");
  EXPECT_EQ(Code(18), Run(IPSetAppServerListXML, TestRequest().String("Live").String("None").String(list)));
  EXPECT_EQ(Code(20), Run(IPSetAppServerListXML, TestRequest().String("Live").String("Torvane").String("<SERVERLIST>")));
  EXPECT_EQ(Code(0), Run(IPSetAppServerListXML, TestRequest().String(nullptr).String("Torvane").String(list)));
  int32_t port = 0;
  EXPECT_EQ(std::optional<std::string>("h1"), FindServer("Live", "Torvane", nullptr, port));
  EXPECT_EQ(99, port);
  const std::string text = ReplyText(Run(IPGetAppServerListXML, TestRequest().String("Live").String("Torvane")));
  EXPECT_NE(std::string::npos, text.find("h1"));
  EXPECT_EQ(Code(17), Run(IPGetAppServerListXML, TestRequest().String("Nowhere").String("Torvane")));
  EXPECT_EQ(Code(2), Run(IPGetAppServerListXML, TestRequest().String("Live").String(nullptr)));
}

}  // namespace
