// Tests of the start-up load and the whole-file exchange: a client's settings
// text replacing an application (or refused, changing nothing), the new
// application it may create, uid.val after client UIDs, the start-up read
// past failing files with their .bad copies, and schema files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/settings_api.h"
#include "config/settings_exchange.h"
#include "config/settings_files_read.h"
#include "config/store_file_state.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/util/util.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "settings_reader_fixture.h"

namespace {

constexpr char kDecl[] = "<?xml version=\"1.0\"?>\n";

std::string SettingsText(const char* app, const std::string& perm, const std::string& config) {
  return std::string(kDecl) + "<" + app + ">\n<PERMISSIONS>\n" + perm + "</PERMISSIONS>\n<CONFIGURATION>\n" +
         config + "</CONFIGURATION>\n</" + app + ">";
}

// env.xml listing environments with their applications, as the writer makes it.
std::string EnvXmlText(const std::vector<std::pair<std::string, std::vector<std::string>>>& envs) {
  std::string s = std::string(kDecl) + "<ENVIRONMENTS>\n";
  for (const auto& [env, apps] : envs) {
    s += "<" + env + ">\n<APPLICATIONS>\n";
    for (const std::string& a : apps) s += "<" + a + "/>\n";
    s += "</APPLICATIONS>\n</" + env + ">\n";
  }
  return s + "</ENVIRONMENTS>";
}

class Exchange : public SettingsReaderFixture {
 protected:
  static FakeUserRecord user;
  const std::string alphaText =
      SettingsText("Alpha", "<P uid=\"00000020\" type=\"STRING\">p\n</P>\n",
                   "<A uid=\"00000010\" type=\"STRING\">1\n<B uid=\"00000011\" type=\"STRING\">2\n</B>\n</A>\n");

  void SetUp() override {
    SettingsReaderFixture::SetUp();
    user.header = NodeHeader{};
    user.header.uid = 0x777;
    user.header.kind = NODE_KIND_USER;
    ASSERT_EQ(0x777u, AddNodeToQAArray(&user.header));
    // Live with Alpha (loaded from its file) and Beta (node 0x40, in memory).
    App("Live", "Alpha");
    App("Live", "Beta")->configRoot = AddParamTreeNode(0, "Other", 0x40);
    WriteSettings("live_alpha", alphaText);
    ASSERT_EQ(0, ReadApplicationSettingsXML(home.path.c_str(), Env("Live"), Alpha()));
    WriteWholeFile(home.File("env.xml"), EnvXmlText({{"Live", {"Alpha", "Beta"}}}));
  }
  ApplicationStruct* Alpha() { return FindApplication(FindEnvironment("Live"), "Alpha"); }
};
FakeUserRecord Exchange::user;

// ---- SetApplicationXML ------------------------------------------------------------------

TEST_F(Exchange, TextThatDoesNotLoadChangesNothing) {
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"not well-formed", SettingsText("Alpha", "", "<A uid=\"00000010\">1</B>\n")},
      {"only a declaration", kDecl},
      {"a root child other than PERMISSIONS or CONFIGURATION", std::string(kDecl) + "<Alpha><X/></Alpha>"},
      {"a UID of another application", SettingsText("Alpha", "", "<A uid=\"00000040\">1</A>\n")},
      {"a UID of a user", SettingsText("Alpha", "<A uid=\"00000777\">1</A>\n", "")},
      {"a UID twice", SettingsText("Alpha", "<A uid=\"00000050\">1</A>\n", "<B uid=\"50\">1</B>\n")},
      {"a UID of the built-in range", SettingsText("Alpha", "", "<A uid=\"EE6B2800\">1</A>\n")},
      {"a UID read as 0xFFFFFFFF", SettingsText("Alpha", "", "<A uid=\"-1\">1</A>\n")},
      {"a new UID just below the built-in range", SettingsText("Alpha", "", "<A uid=\"EE6B27FF\">1</A>\n")},
      {"a new UID at the client limit", SettingsText("Alpha", "", "<A uid=\"80000000\">1</A>\n")},
      {"an error in the last chunk", SettingsText("Alpha", "", "<A>" + std::string(700, 'x') + "</A>\n") + "<"},
      {"its own entities", std::string(kDecl) + "<!DOCTYPE Alpha [<!ENTITY a \"x\"><!ENTITY b \"&a;&a;\">]>" +
                               "<Alpha><CONFIGURATION><A>&b;</A></CONFIGURATION></Alpha>"},
  };
  const std::string before = DumpApp(Alpha());
  const size_t registered = GetNodeQACount();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FR_XML_ERROR, SetApplicationXML("Live", "Alpha", c.text.c_str()));
    EXPECT_EQ(alphaText, SettingsFile("live_alpha"));
    EXPECT_EQ(before, DumpApp(Alpha()));
    EXPECT_EQ(registered, GetNodeQACount());
    EXPECT_EQ(&user.header, GetNodeByUID(0x777));
    // A new application with the same text is not created either.
    EXPECT_EQ(FR_XML_ERROR, SetApplicationXML("Live", "Gamma", c.text.c_str()));
    EXPECT_EQ(nullptr, FindApplication(FindEnvironment("Live"), "Gamma"));
    EXPECT_FALSE(FileExists(SettingsPath("live_gamma")));
  }
  EXPECT_EQ(EnvXmlText({{"Live", {"Alpha", "Beta"}}}), EnvXml());
  // uid.val was not raised to a refused UID: UIDs can still be issued.
  EXPECT_NE(0u, GetNewUID());
}

TEST_F(Exchange, HighUIDsTheApplicationAlreadyHoldsStayAccepted) {
  // Read from its file (start-up reads refuse no range), Alpha holds a UID
  // past the client limit; a client sending the file back keeps it, but may
  // not bring another one of that range.
  const std::string file = SettingsText("Alpha", "", "<H uid=\"90000000\">h</H>\n");
  ASSERT_EQ(0, DeleteApplication(Env("Live"), "Alpha"));
  App("Live", "Alpha");
  WriteSettings("live_alpha", file);
  ASSERT_EQ(0, ReadApplicationSettingsXML(home.path.c_str(), Env("Live"), Alpha()));
  EXPECT_EQ(0, SetApplicationXML("Live", "Alpha", file.c_str()));
  EXPECT_EQ(0x90000000u, Alpha()->configRoot->header.uid);
  EXPECT_EQ(FR_XML_ERROR,
            SetApplicationXML("Live", "Alpha", SettingsText("Alpha", "", "<H uid=\"90000001\">h</H>\n").c_str()));
  EXPECT_EQ(0x90000000u, Alpha()->configRoot->header.uid);
}

TEST_F(Exchange, GoodTextBecomesTheFileAndTheTrees) {
  // Reuses the old application's UID 0x10, brings 0x900 and a node without a
  // uid; CR LF line ends stay in the file as sent.
  const std::string text = std::string(kDecl) +
                           "<alpha>\r\n<CONFIGURATION>\r\n<A uid=\"00000010\">new\r\n</A>\r\n"
                           "<C uid=\"00000900\"><D>d</D></C>\r\n</CONFIGURATION>\r\n</alpha>";
  SetClockOverride(kFixedTime + 60);
  ASSERT_EQ(0, SetApplicationXML("LIVE", "alpha", text.c_str()));
  EXPECT_EQ(text, SettingsFile("live_alpha"));
  std::string fetched;
  ASSERT_EQ(0, GetApplicationXML("Live", "Alpha", fetched));
  EXPECT_EQ(text, fetched);

  ApplicationStruct* app = FindApplication(FindEnvironment("Live"), "Alpha");
  ASSERT_NE(nullptr, app);
  EXPECT_EQ("alpha", app->name);  // the caller's spelling
  EXPECT_EQ("|C{D=d},A=new", DumpApp(app));  // C had no character data: no value
  EXPECT_EQ(kFixedTime + 60, app->header.timeStamp);
  EXPECT_EQ(nullptr, GetParamTreeNodeByUID(0x11));  // the old nodes are gone
  EXPECT_EQ(nullptr, GetParamTreeNodeByUID(0x20));
  EXPECT_EQ(app->configRoot->sibling, 0x10u);
  // uid.val was raised past the client's UIDs: nothing issued later clashes.
  UID next = GetNewUID();
  EXPECT_GT(next, 0x900u);
  EXPECT_FALSE(IsUIDInNodeQA(next));
  // The application was not new: env.xml is not rewritten.
  EXPECT_EQ(EnvXmlText({{"Live", {"Alpha", "Beta"}}}), EnvXml());
}

TEST_F(Exchange, CreatingAnApplication) {
  CreateEnvironment(GetConfigRoot(), "a_b", 0);
  App("a_b", "c");  // envs/a_b_c.xml
  CreateEnvironment(GetConfigRoot(), "a", 0);
  const std::string text = SettingsText("X", "", "<K>v</K>\n");
  const struct {
    const char* env;
    const char* app;
    int rc;
  } cases[] = {
      {"Live", "1abc", FR_INVALID_PARAMETER},  // name rule
      {"Live", "a.b", FR_INVALID_PARAMETER},
      {"Live", "_x", FR_INVALID_PARAMETER},
      {"Live", "abcdefghijklmnopqrstuvwxyz012345", FR_INVALID_PARAMETER},  // 32 characters
      {"a", "b_c", FR_ALREADY_EXISTS},                                     // a_b/c's file
      {"Nowhere", "Gamma", FR_ENV_NOT_FOUND},
      {"Live", "Gamma", FR_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.env) + "/" + c.app);
    EXPECT_EQ(c.rc, SetApplicationXML(c.env, c.app, text.c_str()));
    EXPECT_EQ(c.rc == FR_OK, FindEnvironment(c.env) != nullptr &&
                                 FindApplication(FindEnvironment(c.env), c.app) != nullptr);
  }
  EXPECT_EQ(text, SettingsFile("live_gamma"));
  EXPECT_EQ("|K=v", DumpApp(FindApplication(FindEnvironment("Live"), "Gamma")));
  // The new application is listed in env.xml, so it comes back after a restart.
  EXPECT_NE(std::string::npos, EnvXml().find("<Gamma/>"));
  ASSERT_EQ(0, ReadEnvironmentsXML(home.File("env.xml").c_str(), home.path.c_str()));
  EXPECT_EQ("|K=v", DumpApp(FindApplication(FindEnvironment("Live"), "Gamma")));
}

TEST_F(Exchange, AnExistingApplicationIsReplaceableWhateverItsName) {
  App("Live", "_odd");  // came from env.xml, where names are not checked
  EXPECT_EQ(0, SetApplicationXML("Live", "_odd", SettingsText("_odd", "", "<K>v</K>\n").c_str()));
  EXPECT_EQ("|K=v", DumpApp(FindApplication(FindEnvironment("Live"), "_odd")));
}

TEST_F(Exchange, ArgumentsAndWriteFailures) {
  EXPECT_EQ(FR_INVALID_PARAMETER, SetApplicationXML(nullptr, "Alpha", alphaText.c_str()));
  EXPECT_EQ(FR_INVALID_PARAMETER, SetApplicationXML("Live", "", alphaText.c_str()));
  EXPECT_EQ(FR_INVALID_PARAMETER, SetApplicationXML("Live", "Alpha", nullptr));
  EXPECT_EQ(FR_INVALID_PARAMETER, SetApplicationXML("Live", "Alpha", ""));
  EXPECT_EQ(FR_ENV_NOT_FOUND, SetApplicationXML("Test", "Alpha", alphaText.c_str()));

  const std::string before = DumpApp(Alpha());
  const std::string text = SettingsText("Alpha", "", "<A uid=\"00000010\">changed</A>\n");
  SetAtomicWriteFailAfter(10);
  EXPECT_EQ(FR_WRITE_FAILED, SetApplicationXML("Live", "Alpha", text.c_str()));
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(alphaText, SettingsFile("live_alpha"));
  EXPECT_EQ(before, DumpApp(Alpha()));

  // Without the envs directory the file cannot be created.
  std::filesystem::remove_all(home.File("envs"));
  EXPECT_EQ(FR_CANNOT_OPEN_FILE, SetApplicationXML("Live", "Alpha", text.c_str()));
  EXPECT_EQ(before, DumpApp(Alpha()));
}

TEST_F(Exchange, ReplacementUnderTheApplicationsOwnName) {
  // The name passed is the record's own, which goes with the old record.
  const std::string text = SettingsText("Alpha", "", "<K uid=\"00000060\">v</K>\n");
  ASSERT_EQ(0, ReplaceApplicationSettingsText(Env("Live"), Alpha()->name.c_str(), text.data(), text.size(),
                                              std::string(), "SetApplicationXML"));
  EXPECT_EQ("Alpha,Beta", Names(Env("Live")));
  EXPECT_EQ("|K=v", DumpApp(Alpha()));
  EXPECT_EQ(text, SettingsFile("live_alpha"));
}

// ---- GetApplicationXML ----------------------------------------------------------------------

TEST_F(Exchange, GetApplicationXMLReadsTheFileWhateverTheModelKnows) {
  WriteSettings("nowhere_nothing", "any bytes");
  std::string out = "stale";
  EXPECT_EQ(0, GetApplicationXML("Nowhere", "Nothing", out));
  EXPECT_EQ("any bytes", out);
  EXPECT_EQ(FR_FILE_NOT_FOUND, GetApplicationXML("Live", "Beta", out));
  EXPECT_EQ("", out);
  EXPECT_EQ(FR_INVALID_PARAMETER, GetApplicationXML("", "Beta", out));
  EXPECT_EQ(FR_INVALID_PARAMETER, GetApplicationXML("Live", nullptr, out));
}

// ---- Start-up load ----------------------------------------------------------------------------

TEST_F(Exchange, StartUpReadsPastFailingFilesAndKeepsTheirCopies) {
  // Live: Alpha good, Beta broken half-way, Gamma without a file; Test: Delta
  // good, after the failure.
  WriteWholeFile(home.File("env.xml"), EnvXmlText({{"Live", {"Alpha", "Beta", "Gamma"}}, {"Test", {"Delta"}}}));
  const std::string betaText =
      SettingsText("Beta", "", "<X uid=\"00000030\">x</X>\n<Y uid=\"00000031\">y</Y>\n<Z uid=\"00000030\">z</Z>\n");
  WriteSettings("live_beta", betaText);
  WriteSettings("test_delta", SettingsText("Delta", "", "<D uid=\"00000040\">d</D>\n"));
  SetClockOverride(kFixedTime + 5);
  ResetNodeRegistry();

  EXPECT_EQ(FR_XML_ERROR, ReadEnvironmentsXML(home.File("env.xml").c_str(), home.path.c_str()));
  EXPECT_EQ("P=p|A=1{B=2}", DumpApp(FindApplication(FindEnvironment("Live"), "Alpha")));
  EXPECT_EQ("|Y=y,X=x", DumpApp(FindApplication(FindEnvironment("Live"), "Beta")));  // up to the failure
  EXPECT_EQ("|", DumpApp(FindApplication(FindEnvironment("Live"), "Gamma")));
  EXPECT_EQ("|D=d", DumpApp(FindApplication(FindEnvironment("Test"), "Delta")));
  EXPECT_EQ(kFixedTime + 5, FindApplication(FindEnvironment("Test"), "Delta")->header.timeStamp);
  EXPECT_FALSE(FileExists(SettingsPath("live_alpha") + ".bad"));

  // The first change of Beta rewrites its file from memory; the whole old
  // file is beside it.
  ASSERT_EQ(0, SetSettingString("Live", "Beta", "New", "n"));
  EXPECT_EQ(betaText, ReadWholeFile(SettingsPath("live_beta") + ".bad"));
  EXPECT_NE(betaText, SettingsFile("live_beta"));
  ASSERT_EQ(0, SetSettingString("Live", "Beta", "New", "m"));
  EXPECT_EQ(betaText, ReadWholeFile(SettingsPath("live_beta") + ".bad"));  // kept, not replaced
}

TEST_F(Exchange, AFailedEnvXmlIsKeptBesideTheFirstNewOne) {
  // Live and its Alpha come before an error in env.xml's last chunk.
  std::string envXml = EnvXmlText({{"Live", {"Alpha"}}, {"Test", {"Delta"}}});
  envXml.insert(envXml.find("<Test>"), "<Pad>\n<DESCRIPTION>" + std::string(900, 'd') + "</DESCRIPTION>\n</Pad>\n");
  envXml.replace(envXml.find("</Test>"), 7, "</Tset>");
  WriteWholeFile(home.File("env.xml"), envXml);
  ResetNodeRegistry();

  EXPECT_EQ(FR_XML_ERROR, ReadEnvironmentsXML(home.File("env.xml").c_str(), home.path.c_str()));
  // Alpha's settings were read even though env.xml failed.
  EXPECT_EQ("P=p|A=1{B=2}", DumpApp(FindApplication(FindEnvironment("Live"), "Alpha")));
  ASSERT_EQ(0, AddEnvironment("Dev"));
  EXPECT_EQ(envXml, ReadWholeFile(home.File("env.xml.bad")));
  EXPECT_NE(std::string::npos, EnvXml().find("<Dev>"));
}

TEST_F(Exchange, StartUpWithoutEnvXml) {
  ResetNodeRegistry();
  std::filesystem::remove(home.File("env.xml"));
  EXPECT_EQ(FR_CANNOT_OPEN_FILE, ReadEnvironmentsXML(home.File("env.xml").c_str(), home.path.c_str()));
  ASSERT_NE(nullptr, GetConfigRoot());
  EXPECT_TRUE(GetConfigRoot()->envs.empty());
  EXPECT_EQ(0u, GetFailedStoreFileCount());
}

// Every start names each settings file in envs/ that env.xml does not name,
// with the error flag, and leaves it where it is.
TEST_F(Exchange, StartUpLogsSettingsFilesThatEnvXmlDoesNotName) {
  WriteSettings("old_app", SettingsText("App", "", ""));
  WriteSettings("Live_Alpha", SettingsText("Alpha", "", ""));  // not the name the writer uses
  WriteWholeFile(SettingsPath("live_alpha") + ".bad", "copy");
  WriteWholeFile(SettingsPath("live_beta") + ".tmpAb12Cd", "leftover");
  WriteWholeFile(home.File("envs/notes.txt"), "text");
  std::filesystem::create_directory(home.File("envs/folder.xml"));
  struct Case {
    const char* what;
    bool withEnvXml;
    std::vector<std::string> reported;
  } cases[] = {
      {"env.xml names live_alpha and live_beta", true, {"Live_Alpha.xml", "old_app.xml"}},
      {"no env.xml: every settings file", false, {"Live_Alpha.xml", "live_alpha.xml", "old_app.xml"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.withEnvXml) std::filesystem::remove(home.File("env.xml"));
    ResetNodeRegistry();
    testing::internal::CaptureStderr();
    ReadEnvironmentsXML(home.File("env.xml").c_str(), home.path.c_str());
    const std::string said = testing::internal::GetCapturedStderr();
    std::vector<std::string> reported;
    const std::string head = "Settings file >" + home.File("envs/");
    for (size_t at = said.find(head); at != std::string::npos; at = said.find(head, at + 1)) {
      const size_t end = said.find('<', at);
      reported.push_back(said.substr(at + head.size(), end - at - head.size()));
      const std::string tail = "< is not named in env.xml: it is kept and not loaded : ";
      EXPECT_EQ(0, said.compare(end, tail.size(), tail))
          << "logged with the error flag: " << said.substr(at, 120);
    }
    EXPECT_EQ(c.reported, reported) << said;
    EXPECT_EQ(SettingsText("App", "", ""), SettingsFile("old_app"));  // never deleted
    EXPECT_EQ(c.reported.size(), static_cast<size_t>(ReportUnlistedSettingsFiles(home.path.c_str())));
  }
}

TEST_F(Exchange, AUIDOfAnEarlierApplicationFailsTheLaterOne) {
  WriteSettings("live_beta", SettingsText("Beta", "", "<Q uid=\"00000010\">q</Q>\n"));
  ResetNodeRegistry();
  EXPECT_EQ(FR_XML_ERROR, ReadEnvironmentsXML(home.File("env.xml").c_str(), home.path.c_str()));
  EXPECT_EQ("P=p|A=1{B=2}", DumpApp(FindApplication(FindEnvironment("Live"), "Alpha")));
  EXPECT_EQ("|", DumpApp(FindApplication(FindEnvironment("Live"), "Beta")));
}

TEST_F(Exchange, AFileWhoseCopyCannotBeMadeIsNotRewritten) {
  const std::string path = SettingsPath("live_alpha");
  EXPECT_EQ(0, KeepFailedStoreFileCopy(path));  // not marked: nothing to do
  EXPECT_FALSE(FileExists(path + ".bad"));

  // A directory where the copy should go: the copy fails, the mark stays, and
  // the writers leave the file alone.
  std::filesystem::create_directory(path + ".bad");
  NoteStoreFileFailedToLoad(path);
  EXPECT_TRUE(IsStoreFileMarkedFailed(path));
  EXPECT_EQ(FR_WRITE_FAILED, SetSettingString("Live", "Alpha", "New", "n"));  // in memory only
  EXPECT_EQ(FR_WRITE_FAILED, SetApplicationXML("Live", "Alpha", SettingsText("Alpha", "", "").c_str()));
  EXPECT_EQ(alphaText, SettingsFile("live_alpha"));
  EXPECT_EQ("P=p|New=n,A=1{B=2}", DumpApp(Alpha()));

  // Once the copy can be made the next write goes through, once.
  std::filesystem::remove(path + ".bad");
  ASSERT_EQ(0, SetApplicationXML("Live", "Alpha", SettingsText("Alpha", "", "").c_str()));
  EXPECT_EQ(alphaText, ReadWholeFile(path + ".bad"));
  EXPECT_FALSE(IsStoreFileMarkedFailed(path));

  // A marked file that has gone is simply forgotten.
  NoteStoreFileFailedToLoad(home.File("envs/gone.xml"));
  EXPECT_EQ(0u, GetFailedStoreFileCount());
}

// ---- Schema files -------------------------------------------------------------------------------

TEST_F(Exchange, SchemaFiles) {
  const char* schema = "<xs:schema>not parsed & not checked";
  ASSERT_EQ(0, SetApplicationSchema("My App", "1.0", schema));
  EXPECT_EQ(schema, ReadWholeFile(home.File("schemas/my_app.1.0.xsd")));
  std::string out;
  ASSERT_EQ(0, GetApplicationSchema("MY APP", "1.0", out));
  EXPECT_EQ(schema, out);
  EXPECT_EQ(0, SetApplicationSchema("App", "", ""));  // an empty version and text are stored
  EXPECT_EQ("", ReadWholeFile(home.File("schemas/app..xsd")));

  EXPECT_EQ(FR_FILE_NOT_FOUND, GetApplicationSchema("App", "2", out));
  EXPECT_EQ(FR_INVALID_PARAMETER, GetApplicationSchema("", "1", out));
  EXPECT_EQ(FR_INVALID_PARAMETER, GetApplicationSchema("App", nullptr, out));
  EXPECT_EQ(FR_INVALID_PARAMETER, SetApplicationSchema(nullptr, "1", schema));
  EXPECT_EQ(FR_INVALID_PARAMETER, SetApplicationSchema("App", nullptr, schema));
  EXPECT_EQ(FR_INVALID_PARAMETER, SetApplicationSchema("App", "1", nullptr));

  // Application "a.b" with version "c" and "a" with "b.c" would share
  // schemas/a.b.c.xsd: a '.' in the application name is refused, and the
  // version keeps its own.
  ASSERT_EQ(0, SetApplicationSchema("a", "b.c", "of a"));
  EXPECT_EQ(FR_INVALID_PARAMETER, SetApplicationSchema("a.b", "c", "of a.b"));
  EXPECT_EQ("of a", ReadWholeFile(home.File("schemas/a.b.c.xsd")));
  EXPECT_EQ(FR_INVALID_PARAMETER, GetApplicationSchema("a.b", "c", out));
  EXPECT_EQ("", out);

  SetAtomicWriteFailAfter(5);
  EXPECT_EQ(FR_WRITE_FAILED, SetApplicationSchema("My App", "1.0", "a longer replacement"));
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(schema, ReadWholeFile(home.File("schemas/my_app.1.0.xsd")));
  std::filesystem::remove_all(home.File("schemas"));
  EXPECT_EQ(FR_CANNOT_OPEN_FILE, SetApplicationSchema("App", "1", schema));
}

}  // namespace
