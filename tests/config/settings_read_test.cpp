// Tests of the env.xml and settings-file reader: files written by hand read
// into the model and written back through the writers, the texts the reader
// refuses, 512-byte chunk edges, the uid and type attribute scans, and the
// scratch parse that leaves the model alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/settings_files_read.h"
#include "config/settings_files_write.h"
#include "config/store_file_state.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "settings_reader_fixture.h"

namespace {

constexpr char kDecl[] = "<?xml version=\"1.0\"?>\n";

// A settings file of application Alpha around the two sections' node texts.
std::string SettingsText(const std::string& perm, const std::string& config) {
  return std::string(kDecl) + "<Alpha>\n<PERMISSIONS>\n" + perm + "</PERMISSIONS>\n<CONFIGURATION>\n" + config +
         "</CONFIGURATION>\n</Alpha>";
}

class Reader : public SettingsReaderFixture {
 protected:
  // Writes `text` as Live/Alpha's settings file and reads it into a new,
  // empty application.
  int ReadAlpha(const std::string& text) {
    WriteSettings("live_alpha", text);
    App("Live", "Alpha");
    return ReadApplicationSettingsXML(home.path.c_str(), Env("Live"), App("Live", "Alpha"));
  }
  ApplicationStruct* Alpha() { return FindApplication(FindEnvironment("Live"), "Alpha"); }
  int ReadEnvXml(const std::string& text) {
    WriteWholeFile(home.File("env.xml"), text);
    return ReadEnvironmentMasterXML(home.File("env.xml").c_str());
  }
};

// ---- Round trips: a file read, then written back by the writers -----------------------

struct RoundTripCase {
  const char* name;
  std::string file;       // as read
  const char* model;      // DumpApp after reading
  std::string rewritten;  // the file the writer makes from that model
};

TEST_F(Reader, RoundTripTable) {
  const RoundTripCase cases[] = {
      {"top-level nodes come back reversed",
       SettingsText("", "<A uid=\"00000010\" type=\"STRING\">1\n</A>\n<B uid=\"00000011\" type=\"STRING\">2\n</B>\n"),
       "|B=2,A=1",
       SettingsText("", "<B uid=\"00000011\" type=\"STRING\">2\n</B>\n<A uid=\"00000010\" type=\"STRING\">1\n</A>\n")},
      {"children keep their order, permissions reversed too",
       SettingsText("<P uid=\"00000020\" type=\"STRING\">p\n</P>\n<Q uid=\"00000021\" type=\"STRING\">q\n</Q>\n",
                    "<S uid=\"00000010\" type=\"STRING\"><C1 uid=\"00000011\" type=\"STRING\">1\n</C1>\n"
                    "<C2 uid=\"00000012\" type=\"STRING\">2\n</C2>\n</S>\n"),
       "Q=q,P=p|S={C1=1,C2=2}",
       SettingsText("<Q uid=\"00000021\" type=\"STRING\">q\n</Q>\n<P uid=\"00000020\" type=\"STRING\">p\n</P>\n",
                    "<S uid=\"00000010\" type=\"STRING\">\n<C1 uid=\"00000011\" type=\"STRING\">1\n</C1>\n"
                    "<C2 uid=\"00000012\" type=\"STRING\">2\n</C2>\n</S>\n")},
      {"trailing line feeds are cut, leading blanks kept",
       SettingsText("", "<T uid=\"00000010\" type=\"STRING\">  x\n\n\n</T>\n"), "|T=  x",
       SettingsText("", "<T uid=\"00000010\" type=\"STRING\">  x\n</T>\n")},
      {"CR LF becomes LF",
       std::string(kDecl) + "<Alpha>\r\n<PERMISSIONS>\r\n</PERMISSIONS>\r\n<CONFIGURATION>\r\n"
                            "<T uid=\"00000010\" type=\"STRING\">a\r\nb\r\n</T>\r\n</CONFIGURATION>\r\n</Alpha>",
       "|T=a\nb", SettingsText("", "<T uid=\"00000010\" type=\"STRING\">a\nb\n</T>\n")},
      {"INTEGER reads back as STRING",
       SettingsText("", "<N uid=\"00000010\" type=\"INTEGER\">5\n</N>\n"), "|N=5",
       SettingsText("", "<N uid=\"00000010\" type=\"STRING\">5\n</N>\n")},
      {"a parent without a value reads back with an empty one",
       SettingsText("", "<P uid=\"00000010\" type=\"STRING\"><C uid=\"00000011\" type=\"STRING\">v\n</C>\n</P>\n"),
       "|P={C=v}",
       SettingsText("", "<P uid=\"00000010\" type=\"STRING\">\n<C uid=\"00000011\" type=\"STRING\">v\n</C>\n</P>\n")},
      {"a node without text has no value",
       SettingsText("", "<E uid=\"00000010\" type=\"STRING\"></E>\n"), "|E",
       SettingsText("", "<E uid=\"00000010\" type=\"STRING\"></E>\n")},
      {"escaped text reads back as the bytes",
       SettingsText("", "<V uid=\"00000010\" type=\"STRING\">a&#060;b&#038;c&gt;\n</V>\n"), "|V=a<b&c>",
       SettingsText("", "<V uid=\"00000010\" type=\"STRING\">a&#060;b&#038;c&#062;\n</V>\n")},
      {"'.' in an element name reads as '_'",
       SettingsText("", "<a.b uid=\"00000010\" type=\"STRING\">1\n</a.b>\n"), "|a_b=1",
       SettingsText("", "<a_b uid=\"00000010\" type=\"STRING\">1\n</a_b>\n")},
  };
  for (const RoundTripCase& c : cases) {
    SCOPED_TRACE(c.name);
    ResetConfigStoreState();
    SetClockOverride(kFixedTime);
    SetUIDDirectory(home.path.c_str());
    ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
    ASSERT_EQ(0, ReadAlpha(c.file));
    EXPECT_EQ(c.model, DumpApp(Alpha()));
    ASSERT_EQ(0, WriteApplicationSettingsXML(nullptr, Env("Live"), Alpha()));
    EXPECT_EQ(c.rewritten, SettingsFile("live_alpha"));
  }
}

TEST_F(Reader, WrittenByTheWritersReadsBack) {
  // An INTEGER and a DATE made in memory are written with their types, and
  // come back as STRING texts with the same UIDs.
  ApplicationStruct* app = App("Live", "Alpha");
  ParamTreeNode* n = AddParamTreeNode(0, "Count", 0x30);
  ASSERT_NE(nullptr, n);
  ASSERT_EQ(0, SetParamWordValue(n, PARAM_TYPE_INTEGER, static_cast<uint32_t>(-5)));
  ParamTreeNode* d = AddParamTreeNode(0x30, "When", 0x31);
  ASSERT_NE(nullptr, d);
  ASSERT_EQ(0, SetParamWordValue(d, PARAM_TYPE_DATE, 0x5F5E1000));
  app->configRoot = n;
  ASSERT_EQ(0, WriteApplicationSettingsXML(nullptr, Env("Live"), app));
  const std::string written = SettingsFile("live_alpha");
  EXPECT_EQ(SettingsText("", "<Count uid=\"00000030\" type=\"INTEGER\">-5\n"
                             "<When uid=\"00000031\" type=\"DATE\">5F5E1000\n</When>\n</Count>\n"),
            written);

  ResetConfigRoot();
  ResetNodeRegistry();
  ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
  ASSERT_EQ(0, ReadAlpha(written));
  EXPECT_EQ("|Count=-5{When=5F5E1000}", DumpApp(Alpha()));
  std::vector<UID> uids;
  CollectUIDs(Alpha()->configRoot, uids);
  EXPECT_EQ((std::vector<UID>{0x30, 0x31}), uids);
}

// ---- What the reader refuses -----------------------------------------------------------

struct RejectCase {
  const char* name;
  bool envXml;  // env.xml (else Live/Alpha's settings file)
  std::string text;
};

TEST_F(Reader, RejectionTable) {
  const RejectCase cases[] = {
      {"wrong root in env.xml", true, std::string(kDecl) + "<ENVS>\n</ENVS>"},
      {"element other than DESCRIPTION or APPLICATIONS", true,
       std::string(kDecl) + "<ENVIRONMENTS>\n<Live>\n<APPS>\n</APPS>\n</Live>\n</ENVIRONMENTS>"},
      {"element inside DESCRIPTION", true,
       std::string(kDecl) + "<ENVIRONMENTS>\n<Live>\n<DESCRIPTION>a<b/></DESCRIPTION>\n</Live>\n</ENVIRONMENTS>"},
      {"element inside an application element", true,
       std::string(kDecl) + "<ENVIRONMENTS>\n<Live>\n<APPLICATIONS>\n<A><x/></A>\n</APPLICATIONS>\n</Live>\n"
                            "</ENVIRONMENTS>"},
      {"duplicate environment names", true,
       std::string(kDecl) + "<ENVIRONMENTS>\n<Live>\n</Live>\n<LIVE>\n</LIVE>\n</ENVIRONMENTS>"},
      {"duplicate application names", true,
       std::string(kDecl) + "<ENVIRONMENTS>\n<Live>\n<APPLICATIONS>\n<A/>\n<a/>\n</APPLICATIONS>\n</Live>\n"
                            "</ENVIRONMENTS>"},
      {"not well-formed env.xml", true, std::string(kDecl) + "<ENVIRONMENTS>\n<Live>\n</ENVIRONMENTS>"},
      {"empty env.xml", true, ""},
      {"settings root child other than PERMISSIONS or CONFIGURATION", false,
       std::string(kDecl) + "<Alpha>\n<SETTINGS>\n</SETTINGS>\n</Alpha>"},
      {"a UID already registered (by a user)", false,
       SettingsText("", "<A uid=\"00000777\" type=\"STRING\">1\n</A>\n")},
      {"a UID twice in the file", false,
       SettingsText("", "<A uid=\"00000010\" type=\"STRING\">1\n</A>\n<B uid=\"10\" type=\"STRING\">2\n</B>\n")},
      {"not well-formed settings", false, SettingsText("", "<A uid=\"00000010\" type=\"STRING\">1\n</B>\n")},
      {"text after the root", false, SettingsText("", "") + "\n<Beta/>"},
  };
  static FakeUserRecord user;
  for (const RejectCase& c : cases) {
    SCOPED_TRACE(c.name);
    ResetConfigStoreState();
    SetUIDDirectory(home.path.c_str());
    ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
    user.header = NodeHeader{};
    user.header.uid = 0x777;
    user.header.kind = NODE_KIND_USER;
    ASSERT_EQ(0x777u, AddNodeToQAArray(&user.header));
    if (c.envXml) {
      EXPECT_EQ(FR_XML_ERROR, ReadEnvXml(c.text));
    } else {
      EXPECT_EQ(FR_XML_ERROR, ReadAlpha(c.text));
      EXPECT_EQ(c.text, ReadWholeFile(SettingsPath("live_alpha") + ".bad"));  // kept at once
    }
    EXPECT_EQ(&user.header, GetNodeByUID(0x777));  // the user keeps its UID
  }
}

TEST_F(Reader, WhatWasReadBeforeAFailureStays) {
  // B comes before the error, so it is kept; nothing after it is.
  EXPECT_EQ(FR_XML_ERROR,
            ReadAlpha(SettingsText("", "<A uid=\"00000010\" type=\"STRING\">1\n</A>\n"
                                       "<B uid=\"00000011\" type=\"STRING\">2\n</B>\n<C uid=\"00000010\">3</C>\n")));
  EXPECT_EQ("|B=2,A=1", DumpApp(Alpha()));

  EXPECT_EQ(FR_XML_ERROR,
            ReadEnvXml(std::string(kDecl) + "<ENVIRONMENTS>\n<One>\n<APPLICATIONS>\n<X/>\n</APPLICATIONS>\n</One>\n"
                                            "<Two>\n<BAD/>\n</Two>\n<Three>\n</Three>\n</ENVIRONMENTS>"));
  EXPECT_NE(nullptr, FindApplication(FindEnvironment("One"), "X"));
  EXPECT_NE(nullptr, FindEnvironment("Two"));
  EXPECT_EQ(nullptr, FindEnvironment("Three"));
}

TEST_F(Reader, MissingAndUnreadableFiles) {
  App("Live", "Alpha");
  EXPECT_EQ(FR_FILE_NOT_FOUND, ReadApplicationSettingsXML(home.path.c_str(), Env("Live"), Alpha()));
  EXPECT_EQ(0u, GetFailedStoreFileCount());  // a missing file is not a failed one
  EXPECT_EQ(FR_INVALID_PARAMETER, ReadApplicationSettingsXML(home.path.c_str(), nullptr, Alpha()));
  EXPECT_EQ(FR_INVALID_PARAMETER, ReadApplicationSettingsXML(home.path.c_str(), Env("Live"), nullptr));
  EXPECT_EQ(FR_CANNOT_OPEN_FILE, ReadEnvironmentMasterXML(home.File("env.xml").c_str()));
}

// ---- env.xml -------------------------------------------------------------------------

TEST_F(Reader, EnvXmlDescriptionsAndOrder) {
  ASSERT_EQ(0, ReadEnvXml(std::string(kDecl) +
                          "<ENVIRONMENTS>\n"
                          "<Live>\n<APPLICATIONS>\n<Torvane/>\n<alpha/>\n</APPLICATIONS>\n</Live>\n"
                          "<Test>\n<DESCRIPTION>first</DESCRIPTION>\n<APPLICATIONS>\n<B/>\n</APPLICATIONS>\n"
                          "<DESCRIPTION>a&#060;b</DESCRIPTION>\n<APPLICATIONS>\n<A/>\n</APPLICATIONS>\n</Test>\n"
                          "<Dev.1>\n<DESCRIPTION></DESCRIPTION>\n</Dev.1>\n"
                          "</ENVIRONMENTS>"));
  const TorvaneStructure* root = GetConfigRoot();
  ASSERT_EQ(3u, root->envs.size());
  EXPECT_EQ("Live", root->envs[0].name);
  EXPECT_EQ("alpha,Torvane", Names(&root->envs[0]));
  EXPECT_FALSE(root->envs[0].description.has_value());
  EXPECT_EQ("Test", root->envs[1].name);
  EXPECT_EQ("A,B", Names(&root->envs[1]));  // APPLICATIONS may come twice
  EXPECT_EQ(std::optional<std::string>("a<b"), root->envs[1].description);  // the later one counts
  EXPECT_EQ("Dev_1", root->envs[2].name);
  EXPECT_FALSE(root->envs[2].description.has_value());  // empty element: no description
  EXPECT_EQ(kFixedTime, root->header.timeStamp);
  EXPECT_EQ(0u, GetNodeQACount());  // env.xml registers nothing
}

// ---- Chunk edges ---------------------------------------------------------------------

// A settings file of exactly `size` bytes: one node whose value pads it.
const std::string kPadHead = "<A uid=\"00000010\" type=\"STRING\">";
const std::string kPadTail = "\n</A>\n";
size_t PadOverhead() { return SettingsText("", kPadHead + kPadTail).size(); }
std::string SettingsOfSize(size_t size) {
  return SettingsText("", kPadHead + std::string(size - PadOverhead(), 'v') + kPadTail);
}

TEST_F(Reader, FilesOfWholeChunksEndWithAnEmptyFinalParse) {
  for (size_t size : {kSettingsReadChunkSize, 2 * kSettingsReadChunkSize, 3 * kSettingsReadChunkSize,
                      2 * kSettingsReadChunkSize - 1, 2 * kSettingsReadChunkSize + 1}) {
    SCOPED_TRACE(size);
    ResetConfigStoreState();
    SetUIDDirectory(home.path.c_str());
    ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
    std::string text = SettingsOfSize(size);
    ASSERT_EQ(size, text.size());
    ASSERT_EQ(0, ReadAlpha(text));
    ASSERT_NE(nullptr, Alpha()->configRoot);
    EXPECT_EQ(size - PadOverhead(), Alpha()->configRoot->data->strings[0].size());
  }
}

TEST_F(Reader, AnErrorInTheLastChunkFails) {
  // Good for 1024 bytes, then a broken end tag in the third chunk; and a file
  // of exactly two chunks whose last byte breaks it.
  std::string good = SettingsOfSize(2 * kSettingsReadChunkSize);
  std::string late = good.substr(0, good.size() - 2) + "X>";  // </Alpha> becomes </AlphX>
  ASSERT_EQ(2 * kSettingsReadChunkSize, late.size());
  EXPECT_EQ(FR_XML_ERROR, ReadAlpha(late));
  EXPECT_NE(nullptr, Alpha()->configRoot);  // the node before the error stays

  ResetConfigStoreState();
  SetUIDDirectory(home.path.c_str());
  ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
  std::string unclosed = SettingsOfSize(2 * kSettingsReadChunkSize + 100);
  unclosed.resize(unclosed.size() - 1);  // "</Alpha" never closes
  EXPECT_EQ(FR_XML_ERROR, ReadAlpha(unclosed));
}

// ---- Attribute scans ------------------------------------------------------------------

TEST_F(Reader, UIDAttributeReadsLikeA32BitStrtoul) {
  const struct {
    const char* text;
    UID uid;
  } cases[] = {
      {"0000001A", 0x1A}, {"  0x1f", 0x1F},       {"1a2bZZ", 0x1A2B},       {"", 0},
      {"zz", 0},          {"0x", 0},              {"0xg", 0},               {"FFFFFFFF", 0xFFFFFFFF},
      {"100000000", 0xFFFFFFFF},                  {"123456789ABCDEF", 0xFFFFFFFF},
      {"-1", 0xFFFFFFFF}, {"-2", 0xFFFFFFFE},     {"+10", 0x10},            {"\t\n 7", 7},
      {"- 1", 0},         {"-100000000", 0xFFFFFFFF},
  };
  for (const auto& c : cases) EXPECT_EQ(c.uid, ParseUIDAttribute(c.text)) << '"' << c.text << '"';
  EXPECT_EQ(0u, ParseUIDAttribute(nullptr));
}

TEST_F(Reader, PermissionScanEndsAtTheTypeAttribute) {
  ASSERT_EQ(0, ReadAlpha(SettingsText("<P type=\"STRING\" uid=\"00000020\">p\n</P>\n",
                                      "<C type=\"STRING\" uid=\"00000021\">c\n</C>\n"
                                      "<D UID=\"00000022\" TYPE=\"DWORD\">d\n</D>\n")));
  ApplicationStruct* app = Alpha();
  ASSERT_NE(nullptr, app->permRoot);
  EXPECT_NE(0x20u, app->permRoot->header.uid);  // the uid after type is not seen: a new UID
  EXPECT_NE(0u, app->permRoot->header.uid);
  std::vector<UID> uids;
  CollectUIDs(app->configRoot, uids);
  EXPECT_EQ((std::vector<UID>{0x22, 0x21}), uids);  // configuration scans every attribute
}

// ---- Scratch parse ----------------------------------------------------------------------

TEST_F(Reader, ScratchParseTouchesNothing) {
  // Live/Alpha holds node 0x10; Live/Beta holds 0x40.
  ASSERT_EQ(0, ReadAlpha(SettingsText("", "<A uid=\"00000010\" type=\"STRING\">1\n</A>\n")));
  ApplicationStruct* beta = App("Live", "Beta");
  beta->configRoot = AddParamTreeNode(0, "B", 0x40);
  const size_t registered = GetNodeQACount();

  const std::string reuse = SettingsText("", "<A uid=\"00000010\" type=\"STRING\">2\n</A>\n<N>x</N>\n");
  EXPECT_EQ(FR_XML_ERROR, CheckApplicationSettingsText(reuse.data(), reuse.size(), nullptr));
  EXPECT_EQ(0, CheckApplicationSettingsText(reuse.data(), reuse.size(), Alpha()));  // its own UIDs are free
  const std::string other = SettingsText("", "<A uid=\"00000040\" type=\"STRING\">2\n</A>\n");
  EXPECT_EQ(FR_XML_ERROR, CheckApplicationSettingsText(other.data(), other.size(), Alpha()));
  const std::string reserved = SettingsText("", "<A uid=\"EE6B2800\" type=\"STRING\">2\n</A>\n");
  EXPECT_EQ(FR_XML_ERROR, CheckApplicationSettingsText(reserved.data(), reserved.size(), Alpha()));
  EXPECT_EQ(FR_INVALID_PARAMETER, CheckApplicationSettingsText(nullptr, 0, Alpha()));

  SettingsScratch scratch;
  SettingsParseOptions options;
  options.replacing = Alpha();
  ASSERT_EQ(0, ParseApplicationSettingsText(reuse.data(), reuse.size(), "text", options, scratch));
  ASSERT_EQ(2u, scratch.configuration.size());
  EXPECT_EQ(0x10u, scratch.configuration[0].uid);
  EXPECT_EQ(0u, scratch.configuration[1].uid);  // no UID issued by a parse
  EXPECT_EQ(std::optional<std::string>("x"), scratch.configuration[1].value);

  EXPECT_EQ(registered, GetNodeQACount());
  EXPECT_EQ("|A=1", DumpApp(Alpha()));
  EXPECT_EQ(0u, GetInProcessUIDCounter());
}

TEST_F(Reader, NewUIDsSkipUIDsTheTextCarries) {
  // uid.val says 5 issued; the text carries 6 after a node without a uid:
  // that node must not be given 6.
  ASSERT_EQ(0, WriteUIDFile(5));
  ASSERT_EQ(0, ReadAlpha(SettingsText("", "<N type=\"STRING\">n\n</N>\n<M uid=\"00000006\" type=\"STRING\">m\n</M>\n")));
  std::vector<UID> uids;
  CollectUIDs(Alpha()->configRoot, uids);
  ASSERT_EQ(2u, uids.size());
  EXPECT_EQ(6u, uids[0]);  // M, first after the reversal
  EXPECT_GT(uids[1], 6u);  // N
  EXPECT_GT(GetNewUID(), uids[1]);
}

TEST_F(Reader, DeepNestingStopsTheReaderInsteadOfTheStack) {
  // The nodes carry UIDs: the ones read before the stop are kept, and each
  // node without one would cost a locked write of uid.val.
  std::string open, close;
  char uid[16];
  for (int i = 0; i < 2000; ++i) {
    snprintf(uid, sizeof uid, "%08X", 0x100 + i);
    open += std::string("<N uid=\"") + uid + "\">";
    close += "</N>";
  }
  EXPECT_EQ(FR_XML_ERROR, ReadAlpha(SettingsText("", open + close)));
  EXPECT_GT(GetNodeQACount(), 0u);
  EXPECT_LT(GetNodeQACount(), 2000u);
}

TEST_F(Reader, ManySiblingsRead) {
  std::string nodes;
  char uid[16];
  for (int i = 0; i < 20000; ++i) {
    snprintf(uid, sizeof uid, "%08X", 0x100 + i);
    nodes += "<S" + std::to_string(i) + " uid=\"" + uid + "\">v</S" + std::to_string(i) + ">\n";
  }
  ASSERT_EQ(0, ReadAlpha(SettingsText("", "<L uid=\"00000001\">" + nodes + "</L>\n")));
  EXPECT_EQ(20001u, GetNodeQACount());
}

}  // namespace
