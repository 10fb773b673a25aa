// Tests of the cached server lists: the rebuild from a SERVERLIST subtree,
// tag matching, the selections (first match, round robin with its unsigned
// counter, random with the list generator's own sequence), the one-line
// server XML against literal texts, and the checked replacement of the
// SERVERLIST in a settings file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/config_model.h"
#include "config/param_tree.h"
#include "config/server_lists.h"
#include "config/settings_api.h"
#include "config/settings_exchange.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "settings_reader_fixture.h"

namespace {

// One SERVER of a test list; a null field is a missing child.
struct ServerSpec {
  const char* description;
  const char* host;
  const char* port;
  const char* tags;
  const char* active;
};

class ServerLists : public SettingsReaderFixture {
 protected:
  // A new top-level configuration node of `app` (head of the chain, as the
  // settings operations put one).
  static ParamTreeNode* Top(ApplicationStruct* app, const char* name) {
    ParamTreeNode* n = AddParamTreeNode(0, name, 0);
    EXPECT_NE(nullptr, n);
    n->sibling = app->configRoot != nullptr ? app->configRoot->header.uid : 0;
    app->configRoot = n;
    return n;
  }
  static ParamTreeNode* Child(ParamTreeNode* parent, const char* name, const char* value) {
    ParamTreeNode* n = AddParamTreeNode(parent->header.uid, name, 0);
    EXPECT_NE(nullptr, n);
    if (value != nullptr) {
      EXPECT_EQ(0, SetParamStringValue(n, value));
    }
    return n;
  }
  static void AddServer(ParamTreeNode* list, const ServerSpec& s) {
    ParamTreeNode* server = Child(list, "SERVER", nullptr);
    if (s.description) Child(server, "DESCRIPTION", s.description);
    if (s.host) Child(server, "HOST", s.host);
    if (s.port) Child(server, "PORT", s.port);
    if (s.tags) Child(server, "TAGS", s.tags);
    if (s.active) Child(server, "ACTIVE", s.active);
  }
  // Gives env/app a SERVERLIST with `mode` (null: no MODE child) and the
  // servers, and builds its cached list.
  ApplicationStruct* MakeList(const char* env, const char* appName, const char* mode,
                              const std::vector<ServerSpec>& servers) {
    ApplicationStruct* app = App(env, appName);
    ParamTreeNode* list = Top(app, "SERVERLIST");
    if (mode != nullptr) Child(list, "MODE", mode);
    for (const ServerSpec& s : servers) AddServer(list, s);
    EXPECT_EQ(0, BuildServerListForApp(FindEnvironment(env), app));
    return app;
  }
  static std::string Host(const char* env, const char* app, const char* tags) {
    int32_t port = -1;
    std::optional<std::string> host = FindServer(env, app, tags, port);
    return host ? *host + ":" + std::to_string(port) : "none";
  }
  static std::string Desc(const std::optional<std::string>& xml) {
    if (!xml) return "none";
    size_t b = xml->find("<DESCRIPTION>"), e = xml->find("</DESCRIPTION>");
    return xml->substr(b + 13, e - b - 13);
  }
};

// ---- Tag matching ------------------------------------------------------------------

TEST(ServerTags, MatchTable) {
  struct Case {
    const char* serverTags;
    const char* requested;
    int expected;
  } cases[] = {
      {"B,A", " a , b ", 1},           // blanks around the comma, either order
      {"PRINTER2,PRINTER", "printer", 1},
      {"PRINTER2", "PRINTER", 0},      // a prefix is not the tag
      {"PRINTER", "PRINTER2", 0},
      {"DEFAULT, OTHER", "DEFAULT", 1},
      {"A,B", "A,C", 0},               // every item must be there
      {"A,\tB\t", "b", 1},             // tabs around the server's item
      {nullptr, "DEFAULT", 0},         // a server without tags never fits
      {"", "DEFAULT", 0},
      {"A", "", 1},                    // an empty request fits
      {"A,,B", "A,,B", 1},             // an empty item needs an empty item
      {"A,B", "A,,B", 0},
  };
  for (const Case& c : cases) {
    std::string req = c.requested;
    EXPECT_EQ(c.expected, ServerTagMatch(c.serverTags, req.data())) << c.serverTags << " / " << c.requested;
  }
  EXPECT_EQ(1, ServerTagMatch(nullptr, nullptr));
  std::string lower = "a,b";
  ServerTagMatch("A", lower.data());
  EXPECT_EQ("A,B", lower);  // upper-cased in place
}

TEST(ServerTags, ItemOver511BytesFitsNothing) {
  std::string ok(511, 'X');
  std::string req = "  " + ok;  // leading blanks are not counted
  EXPECT_EQ(1, ServerTagMatch(ok.c_str(), req.data()));
  ClearLogLine();
  std::string big(512, 'X');
  req = big;
  EXPECT_EQ(0, ServerTagMatch(big.c_str(), req.data()));
  EXPECT_NE(nullptr, strstr(GetLogLine(), "ServerTagMatch:Tag too large, max of 511 bytes per tag"));
}

TEST(ServerTags, TagInList) {
  EXPECT_EQ(1, TagInList("B", " A , B "));
  EXPECT_EQ(0, TagInList("B", "AB,BA"));
  EXPECT_EQ(1, TagInList("", "A,"));
  EXPECT_EQ(0, TagInList("", "A"));
  EXPECT_EQ(0, TagInList(nullptr, "A"));
}

// ---- Building -------------------------------------------------------------------------

TEST_F(ServerLists, BuildCopiesFieldsInOrder) {
  ApplicationStruct* app = App("Live", "Loc");
  ParamTreeNode* list = Top(app, "serverlist");  // names without regard to case
  ParamTreeNode* s1 = Child(list, "SERVER", nullptr);
  Child(s1, "HOST", "h1");
  Child(s1, "host", nullptr);          // no value: the earlier copy stays
  Child(s1, "TAGS", "Print,fax");      // upper-cased when cached
  Child(s1, "ACTIVE", "  -3xyz");      // atoi-like
  Child(s1, "OTHER", "ignored");
  Child(list, "NOTASERVER", "x");
  ParamTreeNode* s2 = Child(list, "SERVER", nullptr);
  Child(s2, "PORT", "80");
  Child(s2, "PORT", "81");             // a repeated child replaces the copy
  ASSERT_EQ(0, BuildServerListForApp(FindEnvironment("Live"), app));

  ServerList* l = FindServerList("live", "LOC", false);
  ASSERT_NE(nullptr, l);
  ASSERT_EQ(2u, l->servers.size());
  EXPECT_EQ("h1", l->servers[0].host.value_or("?"));
  EXPECT_EQ("PRINT,FAX", l->servers[0].tags.value_or("?"));
  EXPECT_EQ(-3, l->servers[0].active);
  EXPECT_FALSE(l->servers[0].port.has_value());
  EXPECT_EQ("81", l->servers[1].port.value_or("?"));
  EXPECT_EQ(0, l->servers[1].active);
  EXPECT_EQ(SERVER_MODE_FIRST_MATCH, l->mode);
}

TEST_F(ServerLists, BuildArguments) {
  EXPECT_EQ(FR_INVALID_PARAMETER, BuildServerListForApp(nullptr, App("Live", "A")));
  EXPECT_EQ(FR_INVALID_PARAMETER, BuildServerListForApp(FindEnvironment("Live"), nullptr));
  // No SERVERLIST: an empty list exists, selections answer none.
  ASSERT_EQ(0, BuildServerListForApp(FindEnvironment("Live"), App("Live", "A")));
  ASSERT_NE(nullptr, FindServerList("Live", "A", false));
  EXPECT_EQ("none", Host("Live", "A", ""));
  EXPECT_EQ(nullptr, FindServerList("Live", "", true));
}

TEST_F(ServerLists, ModeKeptAcrossRebuildUntilAModeChildSaysOtherwise) {
  ApplicationStruct* app = MakeList("Live", "Loc", "1", {{"a", "h1", "1", "DEFAULT", "1"}});
  EXPECT_EQ(SERVER_MODE_ROUND_ROBIN, FindServerList("Live", "Loc", false)->mode);
  EXPECT_EQ("h1:1", Host(nullptr, "Loc", ""));
  EXPECT_EQ(1u, FindServerList("Live", "Loc", false)->selectionCounter);

  // The SERVERLIST loses its MODE child: the rebuild keeps mode and counter.
  ParamTreeNode* list = FindServerListNode(app);
  DeleteParamTreeNode(GetParamTreeNodeByUID(list->child), true, false);
  ASSERT_EQ(0, BuildServerListForApp(FindEnvironment("Live"), app));
  EXPECT_EQ(SERVER_MODE_ROUND_ROBIN, FindServerList("Live", "Loc", false)->mode);
  EXPECT_EQ(1u, FindServerList("Live", "Loc", false)->selectionCounter);

  // A MODE with another value is first match; the last MODE counts.
  Child(list, "MODE", "2");
  Child(list, "MODE", "x");
  ASSERT_EQ(0, BuildServerListForApp(FindEnvironment("Live"), app));
  EXPECT_EQ(SERVER_MODE_FIRST_MATCH, FindServerList("Live", "Loc", false)->mode);
}

TEST_F(ServerLists, ModeThroughSettingsFileReadAndReplacement) {
  Env("Live");
  const std::string head = "<?xml version=\"1.0\"?>\n<Loc>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n";
  const std::string tail = "</CONFIGURATION>\n</Loc>";
  const std::string servers =
      "<SERVER>\n<HOST>h1</HOST>\n<TAGS>default</TAGS>\n<ACTIVE>1</ACTIVE>\n</SERVER>\n"
      "<SERVER>\n<HOST>h2</HOST>\n<TAGS>default</TAGS>\n<ACTIVE>1</ACTIVE>\n</SERVER>\n";
  ASSERT_EQ(0, SetApplicationXML("Live", "Loc", (head + "<SERVERLIST>\n<MODE>1</MODE>\n" + servers +
                                                 "</SERVERLIST>\n" + tail).c_str()));
  EXPECT_EQ("h2:0", Host("Live", "Loc", nullptr));
  // The text without MODE replaces the application: the mode stays round robin.
  ASSERT_EQ(0, SetApplicationXML("Live", "Loc", (head + "<SERVERLIST>\n" + servers + "</SERVERLIST>\n" + tail).c_str()));
  EXPECT_EQ(SERVER_MODE_ROUND_ROBIN, FindServerList("Live", "Loc", false)->mode);
  EXPECT_EQ("h1:0", Host("Live", "Loc", nullptr));
}

// ---- Selecting ------------------------------------------------------------------------

TEST_F(ServerLists, BlankRequestIsDefaultAndTaglessNeverFits) {
  MakeList("Live", "Loc", nullptr,
           {{"none", "h0", "1", nullptr, "1"}, {"def", "h1", "2", "default, Other", "1"}});
  for (const char* request : {static_cast<const char*>(nullptr), "", "  \t "}) {
    EXPECT_EQ("h1:2", Host("Live", "Loc", request));
    EXPECT_EQ("def", Desc(FindServersXML("Live", "Loc", request, 0)));
  }
  EXPECT_EQ("h1:2", Host("Live", "Loc", " other "));
  ServerList* l = FindServerList("Live", "Loc", false);
  EXPECT_EQ(0, l->servers[0].matched);
  EXPECT_EQ(1, l->servers[1].matched);
  EXPECT_EQ("none", Host("Live", "Loc", "PRINTER"));
  EXPECT_EQ("none", Host("Live", "Missing", ""));
  EXPECT_EQ("none", Host("Other", "Loc", ""));
}

TEST_F(ServerLists, ActiveOnlyForFindServerAllForFindServersXML) {
  MakeList("Live", "Loc", nullptr,
           {{"off", "h0", "1", "A", "0"}, {"absent", "h1", "2", "A", nullptr}, {"on", "h2", "3", "A", "7"}});
  EXPECT_EQ("h2:3", Host("Live", "Loc", "a"));
  EXPECT_EQ("off", Desc(FindServersXML("Live", "Loc", "a", 0)));
  std::optional<std::string> all = FindServersXML("Live", "Loc", "a", 1);
  ASSERT_TRUE(all);
  EXPECT_EQ(
      "<SERVERLIST>"
      "<SERVER><DESCRIPTION>off</DESCRIPTION><HOST>h0</HOST><PORT>1</PORT><ACTIVE>0</ACTIVE><TAGS>A</TAGS></SERVER>"
      "<SERVER><DESCRIPTION>absent</DESCRIPTION><HOST>h1</HOST><PORT>2</PORT><ACTIVE>0</ACTIVE><TAGS>A</TAGS></SERVER>"
      "<SERVER><DESCRIPTION>on</DESCRIPTION><HOST>h2</HOST><PORT>3</PORT><ACTIVE>7</ACTIVE><TAGS>A</TAGS></SERVER>"
      "</SERVERLIST>",
      *all);
  EXPECT_FALSE(FindServersXML("Live", "Loc", "B", 1));
}

TEST_F(ServerLists, RoundRobinGivesSecondThirdFirstSecond) {
  MakeList("Live", "Loc", "1",
           {{"1st", "h1", "1", "A", "1"}, {"skip", "hx", "9", "B", "1"}, {"2nd", "h2", "2", "A", "1"},
            {"3rd", "h3", "3", "A", "1"}});
  std::vector<std::string> got;
  for (int i = 0; i < 2; ++i) got.push_back(Host("Live", "Loc", "A"));
  got.push_back(Desc(FindServersXML("Live", "Loc", "A", 0)));  // both selections share the counter
  got.push_back(Host("Live", "Loc", "A"));
  EXPECT_EQ((std::vector<std::string>{"h2:2", "h3:3", "1st", "h2:2"}), got);
  // A request that fits nothing does not advance it; one with other tags does.
  EXPECT_EQ("none", Host("Live", "Loc", "C"));
  EXPECT_EQ(4u, FindServerList("Live", "Loc", false)->selectionCounter);
  EXPECT_EQ("hx:9", Host("Live", "Loc", "B"));
  EXPECT_EQ(5u, FindServerList("Live", "Loc", false)->selectionCounter);
  // The all flag leaves the counter alone.
  FindServersXML("Live", "Loc", "A", 1);
  EXPECT_EQ(5u, FindServerList("Live", "Loc", false)->selectionCounter);
}

TEST_F(ServerLists, RoundRobinCounterIsUnsigned) {
  MakeList("Live", "Loc", "1", {{"1st", "h1", "1", "A", "1"}, {"2nd", "h2", "2", "A", "1"}, {"3rd", "h3", "3", "A", "1"}});
  ServerList* l = FindServerList("Live", "Loc", false);
  l->selectionCounter = 0x7FFFFFFFu;  // next: 2^31, remainder 2 by 3
  EXPECT_EQ("h3:3", Host("Live", "Loc", "A"));
  l->selectionCounter = 0xFFFFFFFFu;  // next wraps to 0
  EXPECT_EQ("h1:1", Host("Live", "Loc", "A"));
  EXPECT_EQ(0u, l->selectionCounter);
}

TEST_F(ServerLists, RandomUsesTheListGenerator) {
  // The first draws from seed 1: 41, 18467, 6334, 26500, 19169 (by hand from
  // x = x * 214013 + 2531011, (x >> 16) & 0x7FFF).
  SeedServerListRandom(1);
  std::vector<int32_t> draws;
  for (int i = 0; i < 5; ++i) draws.push_back(ServerListRandom());
  EXPECT_EQ((std::vector<int32_t>{41, 18467, 6334, 26500, 19169}), draws);

  SeedServerListRandom(1);
  MakeList("Live", "Loc", "2", {{"1st", "h1", "1", "A", "1"}, {"2nd", "h2", "2", "A", "1"}, {"3rd", "h3", "3", "A", "1"}});
  // 41 % 3 = 2, 18467 % 3 = 2, 6334 % 3 = 1, 26500 % 3 = 1, 19169 % 3 = 2.
  std::vector<std::string> got;
  for (int i = 0; i < 5; ++i) got.push_back(Host("Live", "Loc", "A"));
  EXPECT_EQ((std::vector<std::string>{"h3:3", "h3:3", "h2:2", "h2:2", "h3:3"}), got);
  EXPECT_EQ(19169u, FindServerList("Live", "Loc", false)->selectionCounter);
}

TEST_F(ServerLists, ServerXmlFieldOrderAndEscapes) {
  ServerListEntry e;
  e.description = "R&D <main>";
  e.host = "h%s";
  e.tags = "A,B";
  e.active = -1;
  std::optional<std::string> xml = GetSLXML(e);
  ASSERT_TRUE(xml);
  EXPECT_EQ(
      "<SERVER><DESCRIPTION>R&#038;D &#060;main&#062;</DESCRIPTION><HOST>h%s</HOST><PORT></PORT>"
      "<ACTIVE>-1</ACTIVE><TAGS>A,B</TAGS></SERVER>",
      *xml);
  int32_t port = -1;
  e.port = " 8080x";
  EXPECT_EQ("h%s", GetServerHostPort(e, port).value_or("?"));
  EXPECT_EQ(8080, port);
  ServerListEntry bare;
  EXPECT_FALSE(GetServerHostPort(bare, port));
  EXPECT_EQ(0, port);
}

TEST_F(ServerLists, HostChangedThroughSettingsWaitsForARead) {
  MakeList("Live", "Loc", nullptr, {{"a", "old", "1", "DEFAULT", "1"}});
  ApplicationStruct* app = FindApplication(FindEnvironment("Live"), "Loc");
  ParamTreeNode* host = FindParamNode(app->configRoot, "SERVERLIST\\SERVER\\HOST");
  ASSERT_NE(nullptr, host);
  ASSERT_EQ(0, SetParamStringValue(host, "new"));
  EXPECT_EQ("old:1", Host("Live", "Loc", ""));
}

TEST_F(ServerLists, EmptyingListsOfAnEnvironment) {
  MakeList("Test", "Loc", nullptr, {{"a", "t", "1", "DEFAULT", "1"}});
  MakeList("Test", "Other", nullptr, {{"a", "o", "1", "DEFAULT", "1"}});
  MakeList("Live", "Loc", "1", {{"a", "l", "1", "DEFAULT", "1"}});
  ServerList* kept = FindServerList("Test", "Loc", false);
  kept->mode = SERVER_MODE_ROUND_ROBIN;
  ClearServerListsForEnvironment("TEST");
  EXPECT_EQ("none", Host("Test", "Loc", ""));
  EXPECT_EQ("none", Host("Test", "Other", ""));
  EXPECT_EQ("l:1", Host("Live", "Loc", ""));
  EXPECT_EQ(kept, FindServerList("test", "loc", false));  // emptied, not removed
  EXPECT_EQ(SERVER_MODE_ROUND_ROBIN, kept->mode);
  ClearServerList("Live", "Loc");
  EXPECT_EQ("none", Host("Live", "Loc", ""));
}

TEST_F(ServerLists, DeletingAnEnvironmentOrApplicationEmptiesItsLists) {
  MakeList("Test", "Loc", nullptr, {{"a", "t", "1", "DEFAULT", "1"}});
  MakeList("Live", "Loc", nullptr, {{"a", "l", "1", "DEFAULT", "1"}});
  MakeList("Live", "Gone", nullptr, {{"a", "g", "1", "DEFAULT", "1"}});
  ASSERT_EQ(0, DeleteEnvironment("test", false));
  EXPECT_EQ("none", Host("Test", "Loc", ""));
  ASSERT_EQ(0, DeleteApplication(FindEnvironment("Live"), "GONE"));
  EXPECT_EQ("none", Host("Live", "Gone", ""));
  EXPECT_EQ("l:1", Host("Live", "Loc", ""));
}

TEST_F(ServerLists, ReplacingTheRootEmptiesEveryList) {
  MakeList("Live", "Loc", "1", {{"a", "l", "1", "DEFAULT", "1"}});
  ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
  EXPECT_EQ("none", Host("Live", "Loc", ""));
  EXPECT_EQ(SERVER_MODE_ROUND_ROBIN, FindServerList("Live", "Loc", false)->mode);  // emptied, mode kept
}

TEST_F(ServerLists, ListAddressesSurviveGrowth) {
  ServerList* first = FindServerList("Live", "A0", true);
  for (int i = 1; i < 23; ++i) ASSERT_NE(nullptr, FindServerList("Live", ("A" + std::to_string(i)).c_str(), true));
  EXPECT_EQ(23u, GetServerListCount());
  EXPECT_EQ(first, FindServerList("LIVE", "a0", false));
}

// ---- The SERVERLIST subtree as XML ------------------------------------------------------

TEST_F(ServerLists, GetServerListXml) {
  int code = -1;
  App("Live", "Loc");
  EXPECT_EQ("<SERVERLIST></SERVERLIST>", GetServerListXML(nullptr, "Loc", code).value_or("none"));
  EXPECT_EQ(0, code);
  EXPECT_FALSE(GetServerListXML("Nowhere", "Loc", code));
  EXPECT_EQ(FR_ENV_NOT_FOUND, code);
  EXPECT_FALSE(GetServerListXML("Live", "Missing", code));
  EXPECT_EQ(FR_APP_NOT_FOUND, code);
  EXPECT_FALSE(GetServerListXML("Live", nullptr, code));
  EXPECT_EQ(FR_INVALID_PARAMETER, code);

  MakeList("Live", "Loc", "1", {{"a&b", "h", nullptr, nullptr, nullptr}});
  EXPECT_EQ(
      "<SERVERLIST>\r\n<MODE>1\r\n</MODE>\r\n<SERVER>\r\n<DESCRIPTION>a&#038;b\r\n</DESCRIPTION>\r\n"
      "<HOST>h\r\n</HOST>\r\n</SERVER>\r\n</SERVERLIST>\r\n",
      GetServerListXML("Live", "Loc", code).value_or("none"));
  EXPECT_EQ(0, code);
}

// ---- Replacing the SERVERLIST -------------------------------------------------------------

class ServerListMerge : public ServerLists {
 protected:
  // The application's settings file, loaded through the client path.
  static constexpr const char* kFile =
      "<?xml version=\"1.0\"?>\n<Loc>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n"
      "<Keep uid=\"00000100\" type=\"STRING\">k\n</Keep>\n"
      "<SERVERLIST uid=\"00000101\" type=\"STRING\"><SERVER uid=\"00000102\" type=\"STRING\">"
      "<HOST uid=\"00000103\" type=\"STRING\">old\n</HOST>\n<TAGS uid=\"00000104\" type=\"STRING\">DEFAULT\n</TAGS>\n"
      "<ACTIVE uid=\"00000105\" type=\"STRING\">1\n</ACTIVE>\n</SERVER>\n</SERVERLIST>\n"
      "</CONFIGURATION>\n</Loc>";
  void SetUp() override {
    ServerLists::SetUp();
    Env("Live");
    ASSERT_EQ(0, SetApplicationXML("Live", "Loc", kFile));
    ASSERT_EQ("old:0", Host("Live", "Loc", ""));
  }
  std::string FilePath() const { return SettingsPath("live_loc"); }
};

TEST_F(ServerListMerge, MergedFileInGenericLayout) {
  std::string merged;
  ASSERT_EQ(0, BuildMergedServerListText(FilePath().c_str(),
                                         "<SERVERLIST><SERVER><HOST>new</HOST><PORT>9</PORT></SERVER></SERVERLIST>",
                                         merged));
  EXPECT_EQ(
      "<?xml version=\"1.0\"?><Loc>\r\n<PERMISSIONS></PERMISSIONS>\r\n<CONFIGURATION>\r\n"
      "<Keep uid=\"00000100\" type=\"STRING\">k</Keep>\r\n"
      "<SERVERLIST>\r\n<SERVER>\r\n<HOST>new</HOST>\r\n<PORT>9</PORT>\r\n</SERVER>\r\n</SERVERLIST>\r\n"
      "</CONFIGURATION>\r\n</Loc>\r\n",
      merged);
}

TEST_F(ServerListMerge, ReplaceAndReload) {
  ASSERT_EQ(0, SetAppServerListXML(home.path.c_str(), nullptr, "loc",
                                   "<SERVERLIST><MODE>1</MODE><SERVER><HOST>n1</HOST><PORT>1</PORT><ACTIVE>1</ACTIVE></SERVER>"
                                   "<SERVER><HOST>n2</HOST><PORT>2</PORT><ACTIVE>1</ACTIVE><TAGS>x</TAGS></SERVER>"
                                   "</SERVERLIST>"));
  EXPECT_EQ("n2:2", Host("Live", "Loc", "X"));
  EXPECT_EQ("none", Host("Live", "Loc", ""));  // no DEFAULT any more
  const ApplicationStruct* app = FindApplication(FindEnvironment("Live"), "Loc");
  ASSERT_NE(nullptr, app);
  EXPECT_EQ("loc", app->name);  // under the name as the caller gave it
  EXPECT_EQ(kFixedTime, app->header.timeStamp);
  ParamTreeNode* keep = FindParamNode(app->configRoot, "Keep");
  ASSERT_NE(nullptr, keep);
  EXPECT_EQ(0x100u, keep->header.uid);  // the file's UIDs are kept
  EXPECT_EQ(nullptr, GetParamTreeNodeByUID(0x103));
  std::string file = ReadWholeFile(FilePath());
  EXPECT_NE(std::string::npos, file.find("<HOST>n2</HOST>"));
  EXPECT_EQ(std::string::npos, file.find("old"));
}

TEST_F(ServerListMerge, ClientUIDsRaiseTheUIDCounter) {
  // The client's list carries UIDs far above uid.val: nothing issued later
  // may be one of them.
  ASSERT_EQ(0, SetAppServerListXML(home.path.c_str(), "Live", "Loc",
                                   "<SERVERLIST uid=\"00004000\"><SERVER uid=\"00004001\"/></SERVERLIST>"));
  ASSERT_NE(nullptr, GetParamTreeNodeByUID(0x4001));
  const UID next = GetNewUID();
  EXPECT_GT(next, 0x4001u);
  EXPECT_FALSE(IsUIDInNodeQA(next));
}

TEST_F(ServerListMerge, RefusedTextChangesNothing) {
  // Another application holds UID 0x200.
  ASSERT_EQ(0, SetApplicationXML("Live", "Other",
                                 "<Other><PERMISSIONS></PERMISSIONS><CONFIGURATION>"
                                 "<X uid=\"00000200\" type=\"STRING\">x</X></CONFIGURATION></Other>"));
  const std::string before = ReadWholeFile(FilePath());
  const std::string modelBefore = DumpApp(FindApplication(FindEnvironment("Live"), "Loc"));
  struct Case {
    const char* text;
    int expected;
  } cases[] = {
      {"<SERVERLIST><SERVER>", FR_XML_ERROR},                                       // not well-formed
      {"", FR_XML_ERROR},
      {nullptr, FR_XML_ERROR},
      {"<SERVERLIST uid=\"00000200\"></SERVERLIST>", FR_XML_ERROR},                 // UID of another application
      {"<SERVERLIST><A uid=\"00000300\"/><B uid=\"00000300\"/></SERVERLIST>", FR_XML_ERROR},  // twice
      {"<SERVERLIST uid=\"EE6B2800\"></SERVERLIST>", FR_XML_ERROR},                 // reserved range
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, SetAppServerListXML(home.path.c_str(), "Live", "Loc", c.text)) << (c.text ? c.text : "null");
    EXPECT_EQ(before, ReadWholeFile(FilePath()));
    EXPECT_EQ(modelBefore, DumpApp(FindApplication(FindEnvironment("Live"), "Loc")));
    EXPECT_EQ("old:0", Host("Live", "Loc", ""));
    EXPECT_EQ(FR_XML_ERROR, MergeServerListXML(FilePath().c_str(), "Live", "Loc", c.text));
    EXPECT_EQ(before, ReadWholeFile(FilePath()));
  }
  EXPECT_EQ(FR_INVALID_PARAMETER, SetAppServerListXML(home.path.c_str(), "Live", nullptr, "<SERVERLIST/>"));
  EXPECT_EQ(FR_ENV_NOT_FOUND, SetAppServerListXML(home.path.c_str(), "Nowhere", "Loc", "<SERVERLIST/>"));
  EXPECT_EQ(FR_APP_NOT_FOUND, SetAppServerListXML(home.path.c_str(), "Live", "Missing", "<SERVERLIST/>"));
}

TEST_F(ServerListMerge, FileWithoutConfigurationOrMissing) {
  WriteSettings("live_loc", "<?xml version=\"1.0\"?><Loc><PERMISSIONS/></Loc>");
  EXPECT_EQ(FR_XML_ERROR, SetAppServerListXML(home.path.c_str(), "Live", "Loc", "<SERVERLIST/>"));
  EXPECT_EQ("old:0", Host("Live", "Loc", ""));
  ASSERT_EQ(0, remove(FilePath().c_str()));
  EXPECT_EQ(FR_FILE_NOT_FOUND, SetAppServerListXML(home.path.c_str(), "Live", "Loc", "<SERVERLIST/>"));
}

TEST_F(ServerListMerge, MergeOnItsOwnChecksThenWrites) {
  // Merge checks against the registry less Loc's nodes: the file's own UIDs
  // (0x100..0x105) are not a clash, and the file is rewritten.
  ASSERT_EQ(0, MergeServerListXML(FilePath().c_str(), "Live", "Loc", "<SERVERLIST><SERVER/></SERVERLIST>"));
  std::string file = ReadWholeFile(FilePath());
  EXPECT_NE(std::string::npos, file.find("<SERVERLIST>\r\n<SERVER></SERVER>\r\n</SERVERLIST>"));
  // With names that find no application, the file's UIDs are in use (Loc's).
  const std::string before = file;
  EXPECT_EQ(FR_XML_ERROR, MergeServerListXML(FilePath().c_str(), "Live", "Nobody", "<SERVERLIST/>"));
  EXPECT_EQ(before, ReadWholeFile(FilePath()));
  // A failing disk keeps the old file.
  SetAtomicWriteFailAfter(10);
  EXPECT_EQ(FR_WRITE_FAILED, SetAppServerListXML(home.path.c_str(), "Live", "Loc", "<SERVERLIST/>"));
  SetAtomicWriteFailAfter(-1);
  EXPECT_EQ(before, ReadWholeFile(FilePath()));
}

}  // namespace
