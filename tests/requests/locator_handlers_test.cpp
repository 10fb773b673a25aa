// Tests of the server locator handlers (6683, 6684) over a socket pair with
// a real configuration store in a temporary home, and of the adjustment of
// requested tags by a ServerTagList.
#include "requests/locator_handlers.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "config/server_lists.h"
#include "directory/user_settings.h"
#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "requests/config_request_fixture.h"

namespace {

// ---- ModifyTags and GetNextTag ------------------------------------------------------------

class ModifyTagsTest : public ::testing::Test {
 protected:
  TempDir dir;
  void SetUp() override { SetLogTeeFileName(dir.File("tee.log").c_str()); }
  void TearDown() override { SetLogTeeFileName(nullptr); }
  std::string Log() const { return ReadWholeFile(dir.File("tee.log")); }
};

struct ModifyCase {
  const char* name;
  std::optional<std::string> tags;
  std::optional<std::string> list;
  std::optional<std::string> expected;
  const char* logged;  // a line the adjustment logs, or null for none
};

TEST_F(ModifyTagsTest, EntriesApplyInOrderToTheResultAsItStands) {
  const std::optional<std::string> none;
  const ModifyCase cases[] = {
      {"no_list_keeps_tags", "a, c", none, "a, c", nullptr},
      {"no_list_keeps_absent_tags", none, none, none, nullptr},
      {"empty_list_keeps_tags", " a ", "", " a ", nullptr},
      {"replace_ignores_case_and_trims", "a, c", "/A/B/", "B,c", nullptr},
      {"replace_to_empty_drops_the_tag", "A", "/A//", "", nullptr},
      {"empty_tags_dropped_on_rebuild", "a,,c,", "/x/y/", "a,c", nullptr},
      {"no_end_slash_leaves_tags", "a, c", "/A/B", "a, c", "ModifyTags:Failed to find end slash"},
      {"no_replace_slash_leaves_tags", "a", "/A", "a", "ModifyTags:Failed to find replace slash"},
      {"stop_keeps_what_was_built", "a", "/a/B/, /C, EXTRA", "B", "ModifyTags:Failed to find replace slash"},
      {"plain_entry_not_added_to_empty", "", "EXTRA", "", nullptr},
      {"plain_entry_absent_tags_count_as_empty", none, "EXTRA", "", nullptr},
      {"plain_entry_appended", "A", "  EXTRA\t,,", "A,EXTRA", nullptr},
      {"plain_then_replacement", "A", "EXTRA,/extra/X/", "A,X", nullptr},
      {"replacements_do_not_chain_backwards", "a", "/a/B/,/A/C/", "B", nullptr},
      {"blanks_vanish_with_first_replacement", " a , c ", "x,/c/d/", "a,d,x", nullptr},
      {"new_kept_as_written", "a", "/A/ B /", " B ", nullptr},
      {"old_with_blank_matches_nothing", "a", "/ A/B/", "a", nullptr},
      {"text_after_third_slash_ignored", "a,b", "/A/C/rest", "C,b", nullptr},
      {"empty_old_replaces_empty_tags", "a,,b", "//Z/", "a,Z,b", nullptr},
  };
  for (const ModifyCase& c : cases) {
    SCOPED_TRACE(c.name);
    WriteWholeFile(dir.File("tee.log"), "");
    EXPECT_EQ(c.expected, ModifyTags(c.tags, c.list));
    if (c.logged != nullptr) {
      EXPECT_NE(std::string::npos, Log().find(c.logged)) << Log();
    } else {
      EXPECT_EQ("", Log());
    }
  }
}

TEST_F(ModifyTagsTest, HostileListsNeverGrowTheResultPastItsBound) {
  // 100 KB of plain entries: the result grows entry by entry up to the bound
  // and stops with whole entries only.
  std::string plain;
  while (plain.size() < 100 * 1024) plain += "EXTRA,";
  std::optional<std::string> grown = ModifyTags(std::string("A"), plain);
  ASSERT_TRUE(grown);
  EXPECT_LE(grown->size(), kMaxAdjustedTagsLength);
  EXPECT_GT(grown->size(), kMaxAdjustedTagsLength - 6);
  EXPECT_EQ(0u, grown->rfind("A,EXTRA,EXTRA", 0));
  EXPECT_EQ(std::string::npos, grown->find(",,"));
  EXPECT_NE(std::string::npos, Log().find("ModifyTags:Adjusted tags would pass"));

  // A 100 KB replacement applied to many requested tags would make megabytes:
  // the entry is refused whole and the tags stay as requested.
  std::string many = "A";
  for (int i = 0; i < 999; ++i) many += ",A";
  std::string lengthen = "/A/" + std::string(100 * 1024, 'L') + "/";
  EXPECT_EQ(many, ModifyTags(many, lengthen));
  // A replacement that fits still applies after a refused one is not reached.
  EXPECT_EQ("B", ModifyTags(std::string("A"), "/A/B/," + lengthen));
}

TEST(GetNextTag, FirstItemTrimmedAndTheRestAfterItsComma) {
  std::optional<std::string_view> rest = std::string_view("unchanged");
  EXPECT_EQ(std::nullopt, GetNextTag(std::nullopt, &rest));
  EXPECT_EQ(std::optional<std::string_view>("unchanged"), rest);

  EXPECT_EQ(std::optional<std::string_view>("a b"), GetNextTag(std::string_view(" \ta b\t ,c, d"), &rest));
  EXPECT_EQ(std::optional<std::string_view>("c, d"), rest);
  EXPECT_EQ(std::optional<std::string_view>("d"), GetNextTag(std::string_view(" d"), &rest));
  EXPECT_EQ(std::nullopt, rest);
  EXPECT_EQ(std::optional<std::string_view>(""), GetNextTag(std::string_view(","), &rest));
  EXPECT_EQ(std::optional<std::string_view>(""), rest);
}

// ---- The handlers -------------------------------------------------------------------------

// Three servers of Live\Torvane: s1 and s3 active, s2 not; s1 also tagged
// EXTRA, s3 tagged B; PORT texts with trailing letters and none.
const char kServerList[] =
    "<SERVERLIST><MODE>1</MODE>"
    "<SERVER><DESCRIPTION>one</DESCRIPTION><HOST>s1</HOST><PORT>80abc</PORT><ACTIVE>1</ACTIVE><TAGS>A,EXTRA</TAGS></SERVER>"
    "<SERVER><HOST>s2</HOST><PORT>81</PORT><ACTIVE>0</ACTIVE><TAGS>A</TAGS></SERVER>"
    "<SERVER><HOST>s3</HOST><ACTIVE>1</ACTIVE><TAGS>A,B,DEFAULT</TAGS></SERVER>"
    "</SERVERLIST>";

class LocatorHandlersTest : public ConfigRequestFixture {
 protected:
  ConnectionRecord conn;

  void SetUp() override {
    ConfigRequestFixture::SetUp();
    SetLogTeeFileName(home.File("tee.log").c_str());
    ASSERT_EQ(0, SetAppServerListXML(home.path.c_str(), "Live", "Torvane", kServerList));
    conn.socket = pair.server;
  }
  void TearDown() override {
    SetLogTeeFileName(nullptr);
    ConfigRequestFixture::TearDown();
  }

  // The connection belongs to `user`'s logon (null: it never logged on).
  void ConnectAs(const char* user) {
    CallAs(user);
    conn.logonUID = user != nullptr ? GetCurrentLogonUID() : 0;
  }

  TestBytes FindServer(const TestRequest& args) {
    return Run([this](int sock) { return IPFindServer(sock, &conn); }, args);
  }
  static TestRequest Args(const char* env, const char* app, const char* tags) {
    return TestRequest().String(env).String(app).String(tags);
  }
  static TestBytes Found(int32_t port, const char* host) {
    return TestRequest().Int(0).Int(port).String(host).Bytes();
  }
  static TestBytes XML(const std::optional<std::string>& text) { return TestRequest().String(text).Bytes(); }
  static std::string ServerXML(const char* d, const char* h, const char* p, int active, const char* t) {
    return std::string("<SERVER><DESCRIPTION>") + d + "</DESCRIPTION><HOST>" + h + "</HOST><PORT>" + p +
           "</PORT><ACTIVE>" + std::to_string(active) + "</ACTIVE><TAGS>" + t + "</TAGS></SERVER>";
  }
  std::string Log() const { return ReadWholeFile(home.File("tee.log")); }
  void SendRaw(const TestRequest& r) { pair.Send(std::string(r.Bytes().begin(), r.Bytes().end())); }
};

TEST_F(LocatorHandlersTest, FindServerPicksActiveFitsAndFindServersListsEveryFit) {
  ConnectAs(nullptr);
  // Only s1 among the A servers is active and tagged EXTRA; s2 is skipped by
  // 6683 but listed by 6684.
  EXPECT_EQ(Found(80, "s1"), FindServer(Args("Live", "Torvane", "a, extra")));
  EXPECT_EQ(XML("<SERVERLIST>" + ServerXML("one", "s1", "80abc", 1, "A,EXTRA") +
                ServerXML("", "s2", "81", 0, "A") + ServerXML("", "s3", "", 1, "A,B,DEFAULT") + "</SERVERLIST>"),
            Run(IPFindServers, Args("live", "TORVANE", "A").Int(1)));
  // No tags: DEFAULT, which only s3 has; no PORT answers 0. An absent
  // environment is Live.
  EXPECT_EQ(Found(0, "s3"), FindServer(Args(nullptr, "Torvane", nullptr)));
  // Nothing fits: 19 alone, and an absent string.
  EXPECT_EQ(Code(19), FindServer(Args("Live", "Torvane", "NOPE")));
  EXPECT_EQ(XML(std::nullopt), Run(IPFindServers, Args("Live", "Torvane", "NOPE").Int(1)));
  EXPECT_EQ(XML(std::nullopt), Run(IPFindServers, Args("Live", "Torvane", "NOPE").Int(0)));
  EXPECT_EQ(Code(19), FindServer(Args("Live", nullptr, "A")));
  EXPECT_EQ(Code(19), FindServer(Args("Other", "Torvane", "A")));
  // Only the active s2 candidate is missing from 6683: tag set that fits s2 alone.
  ASSERT_EQ(0, SetAppServerListXML(home.path.c_str(), "Live", "Torvane",
                                   "<SERVERLIST><SERVER><HOST>s2</HOST><ACTIVE>0</ACTIVE><TAGS>A</TAGS></SERVER></SERVERLIST>"));
  EXPECT_EQ(Code(19), FindServer(Args("Live", "Torvane", "A")));
  EXPECT_EQ(XML(ServerXML("", "s2", "", 0, "A")), Run(IPFindServers, Args("Live", "Torvane", "A").Int(0)));
  EXPECT_NE(std::string::npos, Log().find("IPFindServer:E=Live A=Torvane, T=A\n")) << Log();
  EXPECT_NE(std::string::npos, Log().find("IPFindServer:E= A=Torvane, T=\n")) << Log();
  EXPECT_NE(std::string::npos, Log().find("IPFindServer:Found server s1 (80)")) << Log();
}

TEST_F(LocatorHandlersTest, RoundRobinCountsSingleSelectionsAcrossBothMessages) {
  // Three active servers on a fresh list: 2nd, 3rd, 1st, 2nd; 6684 with
  // returnMultiple in between leaves the counter alone; a selection that
  // finds nothing does not move it either.
  ResetServerLists();
  ASSERT_EQ(0, SetAppServerListXML(home.path.c_str(), "Live", "Torvane",
                                   "<SERVERLIST><MODE>1</MODE>"
                                   "<SERVER><HOST>r1</HOST><ACTIVE>1</ACTIVE><TAGS>DEFAULT</TAGS></SERVER>"
                                   "<SERVER><HOST>r2</HOST><ACTIVE>1</ACTIVE><TAGS>DEFAULT</TAGS></SERVER>"
                                   "<SERVER><HOST>r3</HOST><ACTIVE>1</ACTIVE><TAGS>DEFAULT</TAGS></SERVER>"
                                   "</SERVERLIST>"));
  ConnectAs(nullptr);
  EXPECT_EQ(Found(0, "r2"), FindServer(Args("Live", "Torvane", nullptr)));
  Run(IPFindServers, Args("Live", "Torvane", nullptr).Int(1));
  EXPECT_EQ(Code(19), FindServer(Args("Live", "Torvane", "NOPE")));
  EXPECT_EQ(XML(ServerXML("", "r3", "", 1, "DEFAULT")), Run(IPFindServers, Args("Live", "Torvane", nullptr).Int(0)));
  EXPECT_EQ(Found(0, "r1"), FindServer(Args("Live", "Torvane", nullptr)));
  EXPECT_EQ(XML(ServerXML("", "r2", "", 1, "DEFAULT")), Run(IPFindServers, Args("Live", "Torvane", nullptr).Int(0)));
}

TEST_F(LocatorHandlersTest, ServerTagListAdjustsOnlyItsOwnUsersFindServer) {
  // bob's list adds EXTRA in Live\Torvane: with A he gets s1 (A and EXTRA)
  // where others get either; with no tags the request stays empty and asks
  // for DEFAULT (s3).
  ASSERT_EQ(0, SetUserSetting("bob", "Live", "Torvane", kServerTagListSetting, "EXTRA"));
  struct {
    const char* name;
    const char* user;
    const char* env;
    const char* tags;
    TestBytes reply;
  } cases[] = {
      {"bob_tags_a", "bob", "Live", "A", Found(80, "s1")},
      {"bob_tags_b", "bob", "Live", "B", Code(19)},  // B,EXTRA fits nothing
      {"bob_no_tags", "bob", "Live", nullptr, Found(0, "s3")},
      {"alice_tags_b", "alice", "Live", "B", Found(0, "s3")},
      {"no_logon_tags_b", nullptr, "Live", "B", Found(0, "s3")},
      // The list is looked up by the environment as received: without one
      // there is no list, though the selection itself uses Live.
      {"bob_no_env", "bob", nullptr, "B", Found(0, "s3")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ConnectAs(c.user);
    EXPECT_EQ(c.reply, FindServer(Args(c.env, "Torvane", c.tags)));
  }
  // 6684 never applies the list.
  ConnectAs("bob");
  EXPECT_EQ(XML(ServerXML("", "s3", "", 1, "A,B,DEFAULT")), Run(IPFindServers, Args("Live", "Torvane", "B").Int(0)));
  // A replacement: bob's B becomes EXTRA, which s1 has.
  ASSERT_EQ(0, SetUserSetting("bob", "Live", "Torvane", kServerTagListSetting, "/b/EXTRA/"));
  EXPECT_EQ(Found(80, "s1"), FindServer(Args("Live", "Torvane", "B")));
  EXPECT_NE(std::string::npos, Log().find("IPFindServer:After modify tags T=EXTRA\n")) << Log();
}

TEST_F(LocatorHandlersTest, AGuestSlotUsesTheGuestRecordsList) {
  // A guest logon carries the guest's UID whatever name it came with: the
  // list of the user named "guest" applies, not that of the name.
  std::string list = ReadWholeFile(home.File("userlist.xml"));
  list.insert(list.find("</USERLIST>"), "<USER uid=\"EE6B2806\" name=\"guest\"/>\n");
  WriteWholeFile(home.File("userlist.xml"), list);
  WriteWholeFile(UserFilePath(home.path, kUIDGuest),
                 "<USER>\n<UID>EE6B2806</UID>\n<USERNAME>guest</USERNAME>\n<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n"
                 "<USERDATA>\n<Live>\n<Torvane>\n<ServerTagList>/B/EXTRA/</ServerTagList>\n</Torvane>\n</Live>\n"
                 "</USERDATA>\n</USER>\n");
  FreeUsersData();
  ResetUsersFiles();
  ResetUserStore();
  ASSERT_EQ(0, ReadUsersV2(home.path.c_str()));
  ConnectAs("dave");
  LUS* slot = FindLUSByLogonUID(conn.logonUID);
  ASSERT_NE(nullptr, slot);
  EXPECT_EQ(Found(0, "s3"), FindServer(Args("Live", "Torvane", "B")));
  slot->userUID = kUIDGuest;
  EXPECT_EQ(Found(80, "s1"), FindServer(Args("Live", "Torvane", "B")));
}

TEST_F(LocatorHandlersTest, FailedReadsGetNoReplyAndLongStringsAskForTheClose) {
  ConnectAs(nullptr);
  // A string of more than 4096 bytes before any logon: the handler asks the
  // dispatcher to close, reading nothing past the length word.
  const std::string big(5000, 'x');
  SendRaw(TestRequest().String("Live").String(big));
  EXPECT_EQ(FR_CLOSE_CONNECTION, IPFindServer(pair.server, &conn));
  EXPECT_EQ(big.size() + 1, Unread().size());  // the text and its NUL
  // 4096 (the text and its NUL) is still read.
  SendRaw(Args("Live", "Torvane", std::string(4095, 'A').c_str()));
  EXPECT_EQ(FR_NODE_NOT_FOUND, IPFindServer(pair.server, &conn));
  EXPECT_EQ(Code(19), Text(pair.Pending()));

  // Cut short: no reply, no log line for the string reads.
  WriteWholeFile(home.File("tee.log"), "");
  pair.Send(std::string("\x05\x00\x00\x00Li", 6));
  pair.EndClientSends();
  EXPECT_EQ(TestBytes(), FindServer(TestRequest()));
  EXPECT_EQ(TestBytes(), Run(IPFindServers));
  EXPECT_EQ("", Log());
}

TEST_F(LocatorHandlersTest, FindServersWithoutItsFlagLogsAndAnswersNothing) {
  SendRaw(Args("Live", "Torvane", "A"));
  pair.EndClientSends();
  EXPECT_EQ(TestBytes(), Run(IPFindServers));
  EXPECT_NE(std::string::npos, Log().find("IPFindServers:Error getting return multiple flag from client"));
}

}  // namespace
