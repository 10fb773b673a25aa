// Tests of the directory XML requests over a socketpair with a real
// directory store in a temporary home: the rights of every setter, the
// caller's own record and settings within the self-service rule, the
// documents without other users' hashes, the groups text swapped in whole,
// and the reads that end a request without a reply.
#include "requests/directory_xml_handlers.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "directory/first_start.h"
#include "directory/groups.h"
#include "directory/groups_file.h"
#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "directory/users_files.h"
#include "directory/users_tree.h"
#include "directory/users_xml_exchange.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/result_codes.h"
#include "foundation/uid/node_registry.h"
#include "foundation/uid/uid_alloc.h"
#include "foundation/settings/server_settings.h"
#include "foundation/util/util.h"
#include "platform/clock.h"
#include "requests/caller_fixture.h"
#include "support/directory_reset.h"
#include "support/socket_pair.h"
#include "support/stored_directory.h"
#include "support/temp_dir.h"
#include "support/test_client.h"

namespace {

using Args = TestRequest;
using SocketHandler = std::function<int(int)>;

constexpr int64_t kNow = 1700000000;
constexpr const char kAliceHistory[] = "$2b$04$aliceHISTORYaliceHISTORYaliceHISTORYaliceHISTORYalice";
constexpr const char kBossHistory[] = "$2b$04$bossHISTORYbossHISTORYbossHISTORYbossHISTORYbossHISTO";

std::string Codes(std::initializer_list<int32_t> codes) {
  std::string out;
  for (int32_t c : codes) out += SocketPair::Word(static_cast<uint32_t>(c));
  return out;
}

// A reply of a code and a wire string: the text (none when the reply is
// only the code or does not hold the string it announces).
std::optional<std::string> ReplyText(const std::string& reply, int32_t* code) {
  *code = reply.size() >= 4 ? static_cast<int32_t>(GetLE32(reinterpret_cast<const unsigned char*>(reply.data()))) : -999;
  if (reply.size() < 8) return std::nullopt;
  const uint32_t length = GetLE32(reinterpret_cast<const unsigned char*>(reply.data()) + 4);
  if (length == 0 || reply.size() != 8 + static_cast<size_t>(length)) return std::nullopt;
  return reply.substr(8, length - 1);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class DirectoryXMLHandlers : public ::testing::Test {
 protected:
  TempDir home;
  SocketPair pair;

  void SetUp() override {
    ResetCallerSlots();
    MakeStoredDirectory(home, kNow);
    AddStoredUser("alice", 0, "alice-pw", kAliceHistory);
    AddStoredUser("boss", kUserLevelAdministrator, "boss-pw", kBossHistory);
    ASSERT_EQ(SaveUsers(home.path.c_str(), nullptr), 0);
    ASSERT_EQ(WriteGroupsXML(GetGroupsFilePath()), 0);
    ASSERT_GE(pair.server, 0);
    timeval tv{1, 0};  // a handler that reads past its arguments fails instead of hanging
    setsockopt(pair.server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ActAs(CALLER_PLAIN);
  }
  void TearDown() override {
    SetDefaultUsersHasher(nullptr);
    ResetCallerSlots();
    ResetDirectoryState();
  }

  void AddStoredUser(const char* name, uint32_t level, const char* password, const char* history) {
    AddHashedUser(name, level, password);
    if (HasFatalFailure()) return;
    ASSERT_EQ(SetUserSettingCreate(name, "Live", "Torvane", "Passwords\\Old\\PW1", history), 0);
    ASSERT_EQ(SetUserSettingCreate(name, "Live", "Torvane", "Passwords\\MustChange", "1"), 0);
    ASSERT_EQ(SetUserSettingCreate(name, "Live", "Reports", "Colour", "blue"), 0);
  }

  ConnectionRecord conn;

  // "alice" (plain), "boss" (administrator), guest.
  void ActAs(CallerKind kind) {
    const char* name = kind == CALLER_ADMIN ? "boss" : kind == CALLER_GUEST ? "guest" : "alice";
    const UserStruct* u = FindUser(name);
    ASSERT_NE(u, nullptr);
    MakeCurrentCaller(kind, u->header.uid, name, u->LEVEL);
    conn = ConnectionRecord();
    conn.socket = pair.server;
    conn.logonUID = GetCurrentLogonSlot()->logonUID;
  }

  std::string Call(const SocketHandler& handler, const Args& args) {
    const TestBytes& bytes = args.Bytes();
    pair.Send(std::string(bytes.begin(), bytes.end()));
    handler(pair.server);
    return pair.Pending();
  }
  SocketHandler ByConnection(int (*handler)(ConnectionRecord*)) {
    return [this, handler](int) { return handler(&conn); };
  }
  static SocketHandler ByID(int32_t id) {
    return [id](int sock) { return IPSetUserXML(sock, id); };
  }

  std::string Setting(const char* user, const char* env, const char* app, const char* path) {
    int code = 0;
    std::optional<std::string> v = GetUserSetting(user, env, app, path, &code);
    return code == 0 && v ? *v : "<" + std::to_string(code) + ">";
  }

  std::string StoredUserXML(const char* name) {
    int code = 0;
    std::optional<std::string> text = GetUserXML(name, &code);
    EXPECT_EQ(code, 0);
    return text.value_or("");
  }

  void ExpectInStep() { EXPECT_EQ(pair.UnreadByServer(), "") << "bytes left unread by the handler"; }
};

// ---- Rights and the replies of refusals ------------------------------------------------------

struct RightsCase {
  const char* id;
  int32_t messageID;  // for the log of a failure only
  CallerKind caller;
  std::function<Args()> args;
  std::string reply;
};

TEST_F(DirectoryXMLHandlers, RefusalsLeaveEverythingAsItWas) {
  const std::string usersBefore = StoredUserXML("boss") + StoredUserXML("alice");
  const std::string groupsBefore = ReadWholeFile(home.File("groups.xml"));
  const char* groupsText = "<GROUPS><GROUP><NAME>Staff</NAME></GROUP></GROUPS>";
  const std::string bossText = StoredUserXML("boss");
  const std::string guestText = StoredUserXML("guest");
  std::map<int32_t, SocketHandler> handlers = {
      {6639, IPSetUserSettingsXML},     {6640, IPAddUserEnv},
      {6641, IPDeleteUserEnv},          {6650, ByID(6650)},
      {6651, ByID(6651)},               {6652, ByID(6652)},
      {6655, IPSetUsersXML},            {6661, IPSetUserAppSetting},
      {6664, IPSetUserAppBranchXML},    {6674, ByConnection(IPSetCurUserAppBranchXML)},
      {6682, IPSetGroupsXML},           {6686, IPAddUserEnvNoAdminCheck},
      {6687, IPDeleteUserEnvNoAdminCheck},
  };
  const std::string r49 = Codes({49});
  const RightsCase cases[] = {
      {"6639 plain", 6639, CALLER_PLAIN, [] { return Args().String("alice").String("Live").String("Torvane").String("<Torvane/>"); }, r49},
      {"6640 plain", 6640, CALLER_PLAIN, [] { return Args().String("alice").String("Test"); }, r49},
      {"6641 plain", 6641, CALLER_PLAIN, [] { return Args().String("alice").String("Live"); }, r49},
      {"6655 plain", 6655, CALLER_PLAIN, [] { return Args().String("<USERS/>"); }, r49},
      {"6661 plain", 6661, CALLER_PLAIN, [] { return Args().String("alice").String("Live").String("Torvane").String("AllowConfiguration").String("1"); }, r49},
      {"6682 plain", 6682, CALLER_PLAIN, [=] { return Args().String(groupsText); }, r49},
      {"6686 guest", 6686, CALLER_GUEST, [] { return Args().String("guest").String("Test"); }, r49},
      {"6687 guest", 6687, CALLER_GUEST, [] { return Args().String("guest").String("Reports"); }, r49},
      {"6687 plain Live", 6687, CALLER_PLAIN, [] { return Args().String("alice").String("Live"); }, r49},
      {"6687 plain live", 6687, CALLER_PLAIN, [] { return Args().String("boss").String("lIVE"); }, r49},
      {"6650 plain of admin", 6650, CALLER_PLAIN, [=] { return Args().String("boss").String(bossText); }, r49},
      {"6651 plain of admin", 6651, CALLER_PLAIN, [] { return Args().String("boss").String("<USERDATA/>"); }, r49},
      {"6652 plain of admin", 6652, CALLER_PLAIN, [=] { return Args().String("BOSS").String(bossText); }, r49},
      {"6652 plain new user", 6652, CALLER_PLAIN, [] { return Args().String("carol").String("<USER><USERNAME>carol</USERNAME><LEVEL>32768</LEVEL></USER>"); }, r49},
      {"6650 guest of guest", 6650, CALLER_GUEST, [=] { return Args().String("guest").String(guestText); }, r49},
      {"6664 plain of admin", 6664, CALLER_PLAIN, [] { return Args().String("boss").String("Live").String("Reports").String("").String("<X/>").Int(0); }, r49},
      {"6664 guest of guest", 6664, CALLER_GUEST, [] { return Args().String("guest").String("Live").String("Reports").String("").String("<X/>").Int(0); }, r49},
      {"6674 guest", 6674, CALLER_GUEST, [] { return Args().String("Live").String("Reports").String("").String("<X/>").Int(0); }, r49},
      // A connection that breaks before clearExisting: no reply, no change.
      {"6664 short", 6664, CALLER_ADMIN, [] { return Args().String("alice").String("Live").String("Reports").String("").String("<X/>"); }, ""},
      {"6674 short", 6674, CALLER_PLAIN, [] { return Args().String("Live").String("Reports").String("").String("<X/>"); }, ""},
      // Store codes go back unchanged.
      {"6640 existing", 6640, CALLER_ADMIN, [] { return Args().String("alice").String("live"); }, Codes({0})},
      {"6641 unknown user", 6641, CALLER_ADMIN, [] { return Args().String("nobody").String("Live"); }, Codes({6})},
      {"6650 admin unknown", 6650, CALLER_ADMIN, [] { return Args().String("carol").String("<USER><USERNAME>carol</USERNAME></USER>"); }, Codes({6})},
      {"6652 admin mismatched", 6652, CALLER_ADMIN, [=] { return Args().String("alice").String(bossText); }, Codes({2})},
      {"6652 admin malformed", 6652, CALLER_ADMIN, [] { return Args().String("alice").String("<USER><USERNAME>alice"); }, Codes({20})},
      {"6639 admin malformed", 6639, CALLER_ADMIN, [] { return Args().String("alice").String("Live").String("Reports").String("<Reports>"); }, Codes({20})},
      {"6664 admin malformed", 6664, CALLER_ADMIN, [] { return Args().String("alice").String("Live").String("Reports").String("").String("<X>").Int(1); }, Codes({20})},
      {"6682 admin malformed", 6682, CALLER_ADMIN, [] { return Args().String("<GROUPS><GROUP><NAME>Staff</NAME></GROUPS>"); }, Codes({20})},
      {"6682 admin wrong element", 6682, CALLER_ADMIN, [] { return Args().String("<GROUPS><GROUP><COLOUR/></GROUP></GROUPS>"); }, Codes({20})},
      {"6682 admin absent", 6682, CALLER_ADMIN, [] { return Args().String(nullptr); }, Codes({2})},
  };
  for (const RightsCase& c : cases) {
    SCOPED_TRACE(c.id);
    ActAs(c.caller);
    EXPECT_EQ(Call(handlers.at(c.messageID), c.args()), c.reply);
    ExpectInStep();
  }
  ActAs(CALLER_ADMIN);
  EXPECT_EQ(StoredUserXML("boss") + StoredUserXML("alice"), usersBefore);
  EXPECT_EQ(FindUser("carol"), nullptr);
  EXPECT_EQ(ReadWholeFile(home.File("groups.xml")), groupsBefore);
  EXPECT_EQ(FindGroupByName("Staff"), nullptr);
  // Every user still logs on with the password it had.
  EXPECT_EQ(CheckPasswordHash("boss-pw", FindUser("boss")->PASSWORDV2->c_str()), 0);
  EXPECT_EQ(CheckPasswordHash("alice-pw", FindUser("alice")->PASSWORDV2->c_str()), 0);
}

// ---- The caller's own record ------------------------------------------------------------------

struct OwnRecordCase {
  const char* id;
  int32_t messageID;
  CallerKind caller;
  std::function<std::string(const std::string& own)> text;  // from alice's stored text
  int32_t reply;
};

TEST_F(DirectoryXMLHandlers, OwnRecordChangesKeepRightsAndPasswords) {
  const OwnRecordCase cases[] = {
      {"6650 forename", 6650, CALLER_PLAIN, [](const std::string& t) { return Replace(t, "<FORENAME>DEFAULT</FORENAME>", "<FORENAME>Alice</FORENAME>"); }, 0},
      {"6652 forename", 6652, CALLER_PLAIN, [](const std::string& t) { return Replace(t, "<SURNAME>USER</SURNAME>", "<SURNAME>Smith</SURNAME>"); }, 0},
      {"6650 level raised", 6650, CALLER_PLAIN, [](const std::string& t) { return Replace(t, "<LEVEL>0</LEVEL>", "<LEVEL>32768</LEVEL>"); }, 49},
      {"6652 level raised", 6652, CALLER_PLAIN, [](const std::string& t) { return Replace(t, "<LEVEL>0</LEVEL>", "<LEVEL>32768</LEVEL>"); }, 49},
      {"6650 grouplist", 6650, CALLER_PLAIN, [](const std::string& t) { return Replace(t, "<LEVEL>", "<GROUPLIST>Administrators</GROUPLIST><LEVEL>"); }, 49},
      {"6650 aduser", 6650, CALLER_PLAIN, [](const std::string& t) { return Replace(t, "<ADUSER>0</ADUSER>", "<ADUSER>1</ADUSER>"); }, 49},
      {"6650 new password", 6650, CALLER_PLAIN, [](const std::string& t) {
         const size_t a = t.find("<PASSWORDV2>"), b = t.find("</PASSWORDV2>");
         return t.substr(0, a) + "<PASSWORDV2>mine</PASSWORDV2>" + t.substr(b + 13); }, 49},
      {"6650 password dropped", 6650, CALLER_PLAIN, [](const std::string& t) {
         const size_t a = t.find("<PASSWORDV2>"), b = t.find("</PASSWORDV2>\n");
         return t.substr(0, a) + t.substr(b + 14); }, 49},
      {"6650 legacy hash", 6650, CALLER_PLAIN, [](const std::string& t) { return Replace(t, "<PASSWORD>1234ABCD</PASSWORD>", "<PASSWORD>00000001</PASSWORD>"); }, 49},
      {"6652 other uid", 6652, CALLER_PLAIN, [](const std::string& t) {
         const size_t a = t.find("<UID>"), b = t.find("</UID>");
         return t.substr(0, a) + "<UID>00000999" + t.substr(b); }, 49},
      {"6652 settings dropped", 6652, CALLER_PLAIN, [](const std::string& t) { return t.substr(0, t.find("<USERDATA>")) + "</USER>\n"; }, 49},
      {"6650 own rights", 6650, CALLER_PLAIN, [](const std::string& t) { return Replace(t, "<Colour>", "<AllowConfiguration>1</AllowConfiguration><Colour>"); }, 49},
      {"6650 history cleared", 6650, CALLER_PLAIN, [](const std::string& t) { return Replace(t, kAliceHistory, "x"); }, 49},
      {"6651 rights", 6651, CALLER_PLAIN, [](const std::string& t) {
         const std::string ud = t.substr(t.find("<USERDATA>"), t.find("</USERDATA>") + 11 - t.find("<USERDATA>"));
         return Replace(ud, "<Colour>", "<allowconfiguration>1</allowconfiguration><Colour>"); }, 49},
      {"6651 colour", 6651, CALLER_PLAIN, [](const std::string& t) {
         const std::string ud = t.substr(t.find("<USERDATA>"), t.find("</USERDATA>") + 11 - t.find("<USERDATA>"));
         return Replace(ud, "blue", "green"); }, 0},
      {"6651 not settings", 6651, CALLER_PLAIN, [](const std::string&) { return std::string("<USER/>"); }, 2},
      {"6650 malformed", 6650, CALLER_PLAIN, [](const std::string& t) { return t.substr(0, t.size() / 2); }, 20},
      {"6650 admin raises", 6650, CALLER_ADMIN, [](const std::string& t) { return Replace(t, "<LEVEL>0</LEVEL>", "<LEVEL>512</LEVEL>"); }, 0},
  };
  for (const OwnRecordCase& c : cases) {
    SCOPED_TRACE(c.id);
    const std::string before = StoredUserXML("alice");
    const std::string text = c.text(before);
    ActAs(c.caller);
    EXPECT_EQ(Call(ByID(c.messageID), Args().String("Alice").String(text)), Codes({c.reply}));
    ExpectInStep();
    const std::string after = StoredUserXML("alice");
    if (c.reply != 0) {
      EXPECT_EQ(after, before);
    } else {
      EXPECT_NE(after, before);
    }
    // Whatever the change, alice still logs on with her password.
    ASSERT_NE(FindUser("alice"), nullptr);
    EXPECT_EQ(CheckPasswordHash("alice-pw", FindUser("alice")->PASSWORDV2->c_str()), 0);
  }
  EXPECT_EQ(FindUser("alice")->LEVEL, 512u);  // the administrator's change alone
  EXPECT_EQ(*FindUser("alice")->FORENAME, "Alice");
  EXPECT_EQ(Setting("alice", "Live", "Reports", "Colour"), "green");
}

TEST_F(DirectoryXMLHandlers, AdministratorReplacesUnknownUserAndTheUserLogsOn) {
  ActAs(CALLER_ADMIN);
  const std::string carol = "<USER><USERNAME>carol</USERNAME><PASSWORDV2>carol-pw</PASSWORDV2></USER>";
  EXPECT_EQ(Call(ByID(6650), Args().String("carol").String(carol)), Codes({6}));
  EXPECT_EQ(Call(ByID(6652), Args().String("carol").String(carol)), Codes({0}));
  ASSERT_NE(FindUser("carol"), nullptr);
  EXPECT_EQ(CheckPasswordHash("carol-pw", FindUser("carol")->PASSWORDV2->c_str()), 0);
}

// ---- Settings branches within the self-service rule ---------------------------------------------

struct BranchCase {
  const char* id;
  bool own;  // 6674 (the caller's own user) or 6664 of "alice"
  const char* env;
  const char* app;
  const char* branch;
  const char* text;
  int32_t clearExisting;
};

TEST_F(DirectoryXMLHandlers, SelfServiceBranchesRefusedToPlainUsersOnly) {
  const BranchCase cases[] = {
      {"6674 rights element", true, "Live", "Reports", "", "<AllowConfiguration>1</AllowConfiguration>", 0},
      {"6674 rights any case", true, "live", "reports", "", "<ALLOWCONFIGURATION>1</ALLOWCONFIGURATION>", 0},
      {"6674 rights in branch", true, "Test", "Reports", "AllowConfiguration", "<X/>", 0},
      {"6674 must change", true, "Live", "Torvane", "Passwords", "<MustChange>0</MustChange>", 1},
      {"6674 history", true, "Live", "Torvane", "Passwords\\Old", "<PW1>x</PW1>", 1},
      {"6674 clear login", true, "Live", "Torvane", "", "<DefaultEnvironment>Live</DefaultEnvironment>", 1},
      {"6664 own rights", false, "Live", "Reports", "", "<AllowConfiguration>1</AllowConfiguration>", 0},
      {"6664 own passwords", false, "LIVE", "torvane", "passwords\\", "<MustChange>0</MustChange>", 1},
  };
  for (const BranchCase& c : cases) {
    for (CallerKind who : {CALLER_PLAIN, CALLER_ADMIN}) {
      SCOPED_TRACE(std::string(c.id) + (who == CALLER_ADMIN ? " (admin)" : " (plain)"));
      // The administrator's 6674 changes its own tree, 6664 alice's.
      const char* user = who == CALLER_ADMIN && c.own ? "boss" : "alice";
      ResetDirectoryState();
      SetUp();
      ActAs(who);
      const std::string before = StoredUserXML(user);
      Args args = c.own ? Args() : Args().String("alice");
      args.String(c.env).String(c.app).String(c.branch).String(c.text).Int(c.clearExisting);
      const std::string reply =
          Call(c.own ? ByConnection(IPSetCurUserAppBranchXML) : SocketHandler(IPSetUserAppBranchXML), args);
      ExpectInStep();
      if (who == CALLER_PLAIN) {
        EXPECT_EQ(reply, Codes({49}));
        EXPECT_EQ(StoredUserXML(user), before);
      } else {
        EXPECT_EQ(reply, Codes({0}));
        EXPECT_NE(StoredUserXML(user), before);
      }
    }
  }
}

TEST_F(DirectoryXMLHandlers, PlainUsersKeepTheirOtherSettingsOpen) {
  // 6674 of a plain setting and 6686/6687 of another section stay open.
  EXPECT_EQ(Call(ByConnection(IPSetCurUserAppBranchXML),
                 Args().String("Live").String("Reports").String("Colour").String("<Colour>red</Colour>").Int(1)),
            Codes({0}));
  EXPECT_EQ(Setting("alice", "Live", "Reports", "Colour"), "red");
  EXPECT_EQ(Call(IPAddUserEnvNoAdminCheck, Args().String("alice").String("Test")), Codes({0}));
  EXPECT_EQ(Setting("alice", "Test", "Torvane", "x"), "<19>");
  EXPECT_EQ(Call(IPDeleteUserEnvNoAdminCheck, Args().String("alice").String("Test")), Codes({0}));
  EXPECT_EQ(Setting("alice", "Test", "Torvane", "x"), "<17>");
  // The administrator may delete Live; the user's only section is kept (45).
  ActAs(CALLER_ADMIN);
  EXPECT_EQ(Call(IPDeleteUserEnvNoAdminCheck, Args().String("alice").String("Live")), Codes({45}));
  EXPECT_EQ(Call(IPAddUserEnv, Args().String("alice").String("Test")), Codes({0}));
  EXPECT_EQ(Call(IPDeleteUserEnvNoAdminCheck, Args().String("alice").String("Live")), Codes({0}));
  EXPECT_NE(Setting("alice", "Live", "Torvane", "Passwords\\MustChange"), "1");
}

// ---- Documents without other users' hashes -----------------------------------------------------

struct DocumentCase {
  const char* id;
  CallerKind caller;
  std::function<std::string()> call;
  std::vector<const char*> shown;   // parts the document holds
  std::vector<const char*> hidden;  // parts it must not hold
};

TEST_F(DirectoryXMLHandlers, GettersHideOtherUsersHashesAndHistory) {
  const std::string bossHash = *FindUser("boss")->PASSWORDV2;
  const std::string aliceHash = *FindUser("alice")->PASSWORDV2;
  auto get = [this](const SocketHandler& h, const Args& a) {
    int32_t code = 0;
    std::optional<std::string> text = ReplyText(Call(h, a), &code);
    EXPECT_EQ(code, 0);
    return text.value_or("<none>");
  };
  const DocumentCase cases[] = {
      {"6648 plain", CALLER_PLAIN, [&] { return get(IPGetUsersXML, Args()); },
       {"<USERNAME>boss</USERNAME>", aliceHash.c_str(), kAliceHistory, "<PASSWORD>1234ABCD</PASSWORD>"},
       {bossHash.c_str(), kBossHistory}},
      {"6648 admin", CALLER_ADMIN, [&] { return get(IPGetUsersXML, Args()); },
       {bossHash.c_str(), aliceHash.c_str(), kAliceHistory, kBossHistory}, {}},
      {"6649 plain of admin", CALLER_PLAIN, [&] { return get(ByConnection(IPGetUserXML), Args().String("boss")); },
       {"<USERNAME>boss</USERNAME>", "<MustChange>1"}, {bossHash.c_str(), kBossHistory, "<PASSWORD>", "<Old>"}},
      {"6649 plain own", CALLER_PLAIN, [&] { return get(ByConnection(IPGetUserXML), Args().String("")); },
       {"<USERNAME>alice</USERNAME>", aliceHash.c_str(), kAliceHistory}, {}},
      {"6649 guest own", CALLER_GUEST, [&] { return get(ByConnection(IPGetUserXML), Args().String(nullptr)); },
       {"<USERNAME>guest</USERNAME>"}, {"alice"}},
      {"6660 plain", CALLER_PLAIN, [&] { return get(IPGetAppUsersXML, Args().String("Live").String("Reports")); },
       {"<USERNAME>boss</USERNAME>", aliceHash.c_str()}, {bossHash.c_str(), kBossHistory}},
      {"6637 plain of admin", CALLER_PLAIN,
       [&] { return get(IPGetUserSettingsXML, Args().String("boss").String("live").String("TORVANE")); },
       {"<MustChange>1"}, {kBossHistory, "Old"}},
      {"6637 admin", CALLER_ADMIN,
       [&] { return get(IPGetUserSettingsXML, Args().String("alice").String("Live").String("Torvane")); },
       {kAliceHistory}, {}},
  };
  for (const DocumentCase& c : cases) {
    SCOPED_TRACE(c.id);
    ActAs(c.caller);
    const std::string doc = c.call();
    for (const char* part : c.shown) EXPECT_TRUE(Contains(doc, part)) << part << "\n" << doc;
    for (const char* part : c.hidden) EXPECT_FALSE(Contains(doc, part)) << part << "\n" << doc;
    ExpectInStep();
  }
}

TEST_F(DirectoryXMLHandlers, GetterFailuresSendTheCodeAlone) {
  EXPECT_EQ(Call(ByConnection(IPGetUserXML), Args().String("nobody")), Codes({6}));
  EXPECT_EQ(Call(IPGetUserSettingsXML, Args().String("alice").String("Nowhere").String("Torvane")), Codes({17}));
  EXPECT_EQ(Call(IPGetAppUsersXML, Args().String("Live").String("Nothing")), Codes({6}));
  // 6660 ends without a reply when a name does not arrive.
  pair.Send(SocketPair::Word(6) + "Live");
  pair.EndClientSends();
  IPGetAppUsersXML(pair.server);
  EXPECT_EQ(pair.Pending(), "");
}

// ---- groups.xml ---------------------------------------------------------------------------

TEST_F(DirectoryXMLHandlers, GroupsTextIsSwappedInWholeAndReadsBack) {
  SetUIDDirectory(home.path.c_str());  // uid.val in the home, as the server has it
  ActAs(CALLER_ADMIN);
  int32_t code = -1;
  // 6681 gives the file on disk.
  std::optional<std::string> onDisk = ReplyText(Call(IPGetGroupsXML, Args()), &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(onDisk.value_or(""), ReadWholeFile(home.File("groups.xml")));

  const std::string text =
      "<?xml version=\"1.0\"?>\n<GROUPS>\n<GROUP><NAME>Staff</NAME><USER>alice</USER></GROUP>\n"
      "<GROUP><NAME>Everyone</NAME><UID>EE6B2800</UID></GROUP>\n"
      "<PERM><UID>00000500</UID><READ>EE6B2800</READ></PERM>\n</GROUPS>\n";
  EXPECT_EQ(Call(IPSetGroupsXML, Args().String(text)), Codes({0}));
  ASSERT_NE(FindGroupByName("Staff"), nullptr);
  const UID staffUID = FindGroupByName("Staff")->header.uid;
  EXPECT_NE(staffUID, 0u);
  EXPECT_EQ(FindGroupByName("Administrators"), nullptr);  // the text replaced every group
  ASSERT_NE(FindPermission(0x500), nullptr);
  EXPECT_EQ(FindPermission(kUIDDefaultPermission), nullptr);
  EXPECT_EQ(GetGroupsTime(), static_cast<uint32_t>(kNow));
  EXPECT_GT(GetNewUID(), 0x500u) << "uid.val was raised over the text's permission";
  // A later group change writes the uploaded groups with the new one.
  ASSERT_GE(AddGroup("Sales"), 0);
  ASSERT_EQ(WriteGroupsXML(GetGroupsFilePath()), 0);
  ResetGroupsAndPermissions();
  ASSERT_EQ(ReadGroupsXML(GetGroupsFilePath()), 0);
  EXPECT_NE(FindGroupByName("Sales"), nullptr);
  ASSERT_NE(FindGroupByName("Staff"), nullptr);
  EXPECT_EQ(FindGroupByName("Staff")->header.uid, staffUID);
  EXPECT_EQ(FindUserInGroup(FindGroupByName("Staff"), "alice"), 0);
}

TEST_F(DirectoryXMLHandlers, GroupsTextThatDoesNotReadWholeChangesNothing) {
  ActAs(CALLER_ADMIN);
  const UID aliceUID = FindUser("alice")->header.uid;
  char aliceHex[16];
  std::snprintf(aliceHex, sizeof aliceHex, "%08X", aliceUID);
  const std::string texts[] = {
      // A permission under a user's UID would hide the user in the registry.
      std::string("<GROUPS><GROUP><NAME>Staff</NAME></GROUP><PERM><UID>") + aliceHex + "</UID></PERM></GROUPS>",
      "<GROUPS><GROUP><NAME>Staff</NAME></GROUP><GROUP><NAME>staff</NAME></GROUP></GROUPS>",  // one left out
      "<GROUPS><GROUP><NAME>alice</NAME></GROUP></GROUPS>",                                    // a user's name
      "<GROUPS><GROUP><NAME>Staff</NAME></GROUP><COLOUR/></GROUPS>",                           // cut short
      "<GROUPS><GROUP><NAME>Staff</NAME></GROUP>",                                             // unfinished
      "<WHATEVER/>",
  };
  const std::string before = ReadWholeFile(home.File("groups.xml"));
  const int32_t groups = GetGroupCount();
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Call(IPSetGroupsXML, Args().String(text)), Codes({20}));
    EXPECT_EQ(ReadWholeFile(home.File("groups.xml")), before);
    EXPECT_EQ(GetGroupCount(), groups);
    EXPECT_EQ(FindGroupByName("Staff"), nullptr);
    EXPECT_NE(FindPermission(kUIDDefaultPermission), nullptr);
    EXPECT_EQ(GetNodeByUID(aliceUID), &FindUser("alice")->header);
  }
}

TEST_F(DirectoryXMLHandlers, MissingGroupsFileIsCodeAlone) {
  ASSERT_EQ(std::remove(home.File("groups.xml").c_str()), 0);
  EXPECT_EQ(Call(IPGetGroupsXML, Args()), Codes({21}));
}

}  // namespace
