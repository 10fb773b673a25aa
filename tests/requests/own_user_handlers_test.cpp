// Tests of the own-user requests driven over a socketpair with real users
// files in a temporary home: the product table, the self-service rule on
// 6625, the guest rules, the legacy password change (and its refusal for
// users with a bcrypt text), defaults, details, the session ID lookups and
// the current environment.
#include "requests/own_user_handlers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/config_model.h"
#include "config/settings_api.h"
#include "directory/user_records.h"
#include "directory/user_settings.h"
#include "directory/users_files.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/result_codes.h"
#include "foundation/wire/wire.h"
#include "sessions/connection_table.h"
#include "sessions/logon_slots.h"
#include "requests/request_fixture.h"
#include "support/slot_fixture.h"
#include "support/socket_pair.h"

namespace {

std::string Hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

// A wire string as the client sends it and the handler replies it.
std::string Str(const std::string& text) { return SocketPair::Word(static_cast<uint32_t>(text.size() + 1)) + text + '\0'; }
const std::string kAbsent = SocketPair::Word(0);

using Handler = int (*)(ConnectionRecord*);

// A home with the default configuration (history depth 3) and these users:
//   alice  plain, legacy hash of "alice-old", "alice-older" in her history,
//          MustChange 1, subsections Live\Tessaly, Live\Invalid, Live\Brindle
//   bob    plain, a bcrypt text (legacy value 0), MustChange 1
//   boss   administrator, legacy hash
//   adam   an Active Directory user
//   carl   legacy hash, CannotChange 1
//   guest  the guest account, Live\Brindle
class OwnUserTest : public RequestFixture {
 protected:
  SocketPair pair;
  ConnectionRecord conn;

  static std::string UserFile(const std::string& uid, const std::string& name, const std::string& main,
                              const std::string& userData) {
    return "<USER>\n<UID>" + uid + "</UID>\n<USERNAME>" + name + "</USERNAME>\n" + main + "<USERDATA>\n" +
           userData + "</USERDATA>\n</USER>\n";
  }

  void SetUp() override {
    RequestFixture::SetUp();
    FreeUsersData();  // the fixture's records have no settings: these users come from their files
    ASSERT_EQ(0, SetSettingString("Live", "Torvane", "Settings\\PWRules", "r3"));
    std::filesystem::create_directories(home.File("users"));
    struct Entry {
      const char* uid;
      const char* name;
      std::string main;
      std::string userData;
    };
    const std::string plain = "<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n";
    const Entry users[] = {
        {"00001001", "alice",
         "<PASSWORD>" + Hex8(GetPasswordCRC("alice-old")) + "</PASSWORD>\n<FORENAME>Alice</FORENAME>\n"
             "<SURNAME>Archer</SURNAME>\n" + plain,
         "<Live>\n<Torvane>\n<Passwords>\n<MustChange>1</MustChange>\n<Old>\n<PW1>" +
             Hex8(GetPasswordCRC("alice-older")) + "</PW1>\n</Old>\n</Passwords>\n"
             "<DefaultLanguage>en</DefaultLanguage>\n</Torvane>\n<Tessaly></Tessaly>\n<Invalid></Invalid>\n"
             "<Brindle></Brindle>\n</Live>\n<Test>\n<Torvane>\n<DefaultLanguage>fr</DefaultLanguage>\n"
             "</Torvane>\n<App>\n<Deep>\n<Leaf>v</Leaf>\n</Deep>\n</App>\n</Test>\n<Bare>\n<Torvane></Torvane>\n"
             "</Bare>\n"},
        {"00001002", "bob", "<PASSWORDV2>$2a$04$abcdefghijklmnopqrstuu5MDWd1g8S3hVVk6C9dcZ8.QXPSkq0iK</PASSWORDV2>\n" + plain,
         "<Live>\n<Torvane>\n<Passwords>\n<MustChange>1</MustChange>\n</Passwords>\n</Torvane>\n</Live>\n"},
        {"00001003", "boss",
         "<PASSWORD>" + Hex8(GetPasswordCRC("boss-pw")) + "</PASSWORD>\n<ADUSER>0</ADUSER>\n<LEVEL>32768</LEVEL>\n",
         "<Live>\n<Torvane>\n<Passwords>\n<MustChange>1</MustChange>\n</Passwords>\n</Torvane>\n<Brindle></Brindle>\n"
         "</Live>\n"},
        {"00001004", "adam", "<ADUSER>1</ADUSER>\n<LEVEL>0</LEVEL>\n", "<Live>\n<Torvane></Torvane>\n</Live>\n"},
        {"00001005", "carl", "<PASSWORD>" + Hex8(GetPasswordCRC("carl-pw")) + "</PASSWORD>\n" + plain,
         "<Live>\n<Torvane>\n<Passwords>\n<CannotChange>1</CannotChange>\n</Passwords>\n</Torvane>\n</Live>\n"},
        {"EE6B2806", "guest", plain, "<Live>\n<Torvane></Torvane>\n<Brindle></Brindle>\n</Live>\n"},
    };
    std::string list = "<?xml version=\"1.0\"?>\n<USERLIST>\n";
    for (const Entry& u : users) {
      list += std::string("<USER uid=\"") + u.uid + "\" name=\"" + u.name + "\"/>\n";
      WriteWholeFile(home.File(std::string("users/") + u.uid + ".xml"), UserFile(u.uid, u.name, u.main, u.userData));
    }
    WriteWholeFile(home.File("userlist.xml"), list + "</USERLIST>");
    ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
    ASSERT_EQ(GetUserCount(), 6);
    conn.socket = pair.server;
  }
  void TearDown() override {
    SetCurrentLogonSlot(0);
    RequestFixture::TearDown();
  }

  // Logs `name` on with `clientID` (its record's level and UID in the slot)
  // as the connection's logon and the current logon slot; gives the slot.
  LUS* LogOnCaller(const char* name, int32_t clientID = 0x0100) {
    uint32_t logonUID = MakeTestSlot(name, clientID);
    EXPECT_NE(logonUID, 0u) << name;
    LUS* slot = FindLUSByLogonUID(logonUID);
    if (slot == nullptr) return nullptr;
    slot->USERLEVEL = FindUser(name)->LEVEL;
    conn.logonUID = logonUID;
    conn.clientID = clientID;
    SetCurrentLogonSlot(logonUID);
    return slot;
  }

  // Sends the arguments, runs the handler, gives what it replied; checks
  // that the handler read exactly its arguments.
  std::string Run(Handler handler, const std::string& args) {
    pair.Send(args);
    pair.SendSentinel();
    handler(&conn);
    EXPECT_TRUE(pair.SentinelIsNext()) << "the handler left the stream out of step";
    return pair.Pending();
  }

  static std::string Setting(const char* user, const char* section, const char* sub, const char* path) {
    int rc = -1;
    std::optional<std::string> value = GetUserSetting(user, section, sub, path, &rc);
    return rc == FR_OK ? value.value_or("<none>") : "<code " + std::to_string(rc) + ">";
  }
};

// ---- Per-product fields ----

TEST_F(OwnUserTest, ProductTableSelectsTheSubsection) {
  EXPECT_STREQ(GetClientProductName(0), "Invalid");
  EXPECT_STREQ(GetClientProductName(0x00FF), "Invalid");
  EXPECT_STREQ(GetClientProductName(0x0300), "Quillet");
  EXPECT_STREQ(GetClientProductName(0x12340601), "Tessaly");  // bits 8-15 only
  EXPECT_EQ(GetClientProductName(0x0700), nullptr);
  EXPECT_EQ(GetClientProductName(-1), nullptr);
  struct Case {
    int32_t clientID;
    int32_t code;
    const char* subsection;
  };
  const Case cases[] = {{0x0100, 0, "Torvane"}, {0x0600, 0, "Tessaly"}, {0x0042, 0, "Invalid"}, {0x0700, 18, nullptr},
                        {0x0300, 18, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clientID);
    LogOnCaller("alice", c.clientID);
    EXPECT_EQ(Run(IPSetCurUserField, Str("Colour") + Str("red")), Words({static_cast<uint32_t>(c.code)}));
    if (c.subsection) {
      EXPECT_EQ(Setting("alice", "Live", c.subsection, "Colour"), "red");
      EXPECT_EQ(Run(IPGetCurUserField, Str("Colour")), Words({0}) + Str("red"));
    }
  }
}

TEST_F(OwnUserTest, SetCurUserFieldRules) {
  const std::string history = Hex8(GetPasswordCRC("alice-older"));
  struct Case {
    const char* id;
    const char* caller;
    int32_t clientID;
    std::string args;
    uint32_t reply;
    const char* section;  // the setting then read back from the caller
    const char* sub;
    const char* path;
    const char* value;
  };
  const Case cases[] = {
      {"guest refused for any product", "guest", 0x0200, Str("Colour") + Str("blue"), 49, "Live", "Brindle", "Colour",
       "<code 19>"},
      {"guest refused its default environment", "guest", 0x0100, Str("DefaultEnvironment") + Str("Test"), 49, "Live",
       "Torvane", "DefaultEnvironment", "<code 19>"},
      {"absent value leaves no text", "alice", 0x0200, Str("Colour") + kAbsent, 0, "Live", "Brindle", "Colour", ""},
      {"empty field", "alice", 0x0100, Str("") + Str("x"), 2, nullptr, nullptr, nullptr, nullptr},
      {"absent field", "alice", 0x0100, kAbsent + Str("x"), 2, nullptr, nullptr, nullptr, nullptr},
      {"own right", "alice", 0x0200, Str("AllowConfiguration") + Str("1"), 49, "Live", "Brindle",
       "AllowConfiguration", "<code 19>"},
      {"own right any case", "alice", 0x0200, Str("allowCONFIGURATION") + Str("1"), 49, "Live", "Brindle",
       "allowconfiguration", "<code 19>"},
      {"must change", "alice", 0x0100, Str("Passwords\\MustChange") + Str("0"), 49, "Live", "Torvane",
       "Passwords\\MustChange", "1"},
      {"history", "alice", 0x0100, Str("passwords\\Old\\PW1") + Str("0"), 49, "Live", "Torvane",
       "Passwords\\Old\\PW1", history.c_str()},
      {"guest's right", "guest", 0x0200, Str("AllowConfiguration") + Str("1"), 49, "Live", "Brindle",
       "AllowConfiguration", "<code 19>"},
      {"administrator's right", "boss", 0x0200, Str("AllowConfiguration") + Str("1"), 0, "Live", "Brindle",
       "AllowConfiguration", "1"},
      {"administrator's password state", "boss", 0x0100, Str("Passwords\\MustChange") + Str("0"), 0, "Live",
       "Torvane", "Passwords\\MustChange", "0"},
      {"name that is no XML name", "alice", 0x0100, Str("1bad") + Str("x"), 2, nullptr, nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    LUS* slot = LogOnCaller(c.caller, c.clientID);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(Run(IPSetCurUserField, c.args), Words({c.reply}));
    if (c.section) {
      const char* owner = slot->userUID == kUIDGuest ? "guest" : c.caller;
      EXPECT_EQ(Setting(owner, c.section, c.sub, c.path), c.value);
    }
  }
}

TEST_F(OwnUserTest, SetCurUserFieldWithoutRecordOrReads) {
  LUS* slot = LogOnCaller("alice", 0x0100);
  slot->USERNAME = "nobody";
  EXPECT_EQ(Run(IPSetCurUserField, Str("Colour") + Str("red")), Words({6}));
  EXPECT_EQ(Run(IPGetCurUserField, Str("Colour")), Words({6}));
  // A broken read of either string: no reply.
  LogOnCaller("alice", 0x0100);
  pair.Send(Str("Colour") + SocketPair::Word(10) + "abc");
  pair.EndClientSends();
  IPSetCurUserField(&conn);
  EXPECT_EQ(pair.Pending(), "");
  EXPECT_EQ(Setting("alice", "Live", "Torvane", "Colour"), "<code 19>");
}

TEST_F(OwnUserTest, SetCurUserFieldValueTooLargeChangesNothing) {
  LogOnCaller("alice", 0x0100);
  ASSERT_EQ(Run(IPSetCurUserField, Str("Colour") + Str("red")), Words({0}));
  const int32_t over = kMaxWireStringLength + 1;
  std::string bytes = Str("Colour") + SocketPair::Word(static_cast<uint32_t>(over));
  bytes.resize(bytes.size() + static_cast<size_t>(over), 'z');
  bytes += SocketPair::Word(SocketPair::kSentinel);
  std::thread writer([&] { SendAll(pair.client, bytes.data(), static_cast<int>(bytes.size()), 0); });
  IPSetCurUserField(&conn);
  writer.join();
  EXPECT_TRUE(pair.SentinelIsNext());
  EXPECT_EQ(pair.Pending(), Words({1}));
  EXPECT_EQ(Setting("alice", "Live", "Torvane", "Colour"), "red");
}

TEST_F(OwnUserTest, GetCurUserFieldAndFieldEx) {
  LogOnCaller("alice", 0x0100);
  EXPECT_EQ(Run(IPGetCurUserField, Str("Missing")), Words({19}));
  EXPECT_EQ(Run(IPGetCurUserField, Str("")), Words({2}));
  EXPECT_EQ(Run(IPGetCurUserField, Str("DefaultLanguage")), Words({0}) + Str("en"));
  LogOnCaller("alice", 0x0700);
  EXPECT_EQ(Run(IPGetCurUserField, Str("DefaultLanguage")), Words({18}));
  conn.logonUID = 0;
  EXPECT_EQ(Run(IPGetCurUserField, Str("DefaultLanguage")), Words({29}));

  LogOnCaller("alice", 0x0100);
  struct Case {
    std::string args;
    std::string reply;
  };
  const Case cases[] = {
      {Str("Test") + Str("App") + Str("Deep\\Leaf"), Words({0}) + Str("v")},
      {Str("Test") + Str("App") + Str("Deep\\None"), Words({19})},
      {Str("Test") + Str("Nope") + Str("Deep"), Words({18})},
      {Str("Nope") + Str("App") + Str("Deep"), Words({17})},
      {kAbsent + Str("App") + Str("Deep"), Words({2})},
      {Str("Test") + Str("App") + Str(""), Words({2})},
  };
  for (const Case& c : cases) EXPECT_EQ(Run(IPGetCurUserFieldEx, c.args), c.reply);
}

// ---- Details ----

TEST_F(OwnUserTest, Details) {
  LUS* slot = LogOnCaller("alice");
  slot->SURNAME.reset();
  slot->GUEST = 1;
  struct Case {
    int32_t wanted;
    std::string reply;
  };
  const Case cases[] = {
      {5, Words({0}) + Str("alice") + kAbsent},
      {15, Words({0}) + Str("alice") + Str("Alice") + kAbsent + Words({1})},
      {0, Words({0})},
      {16, Words({2})},
      {-14, Words({0}) + Str("Alice")},  // the four low bits of a negative mask
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wanted);
    EXPECT_EQ(Run(IPGetCurUserDetails, SocketPair::Word(static_cast<uint32_t>(c.wanted))), c.reply);
  }
  conn.logonUID = 0;
  EXPECT_EQ(Run(IPGetCurUserDetails, SocketPair::Word(1)), Words({29}));
}

// ---- The legacy password ----

TEST_F(OwnUserTest, SetCurUserPassword) {
  const uint32_t aliceOld = GetPasswordCRC("alice-old");
  const uint32_t aliceNew = GetPasswordCRC("alice-new");
  struct Case {
    const char* id;
    const char* caller;
    uint32_t oldPW;
    uint32_t newPW;
    uint32_t reply;
  };
  const Case cases[] = {
      {"guest", "guest", 0, 1, 2},
      {"wrong old", "alice", aliceOld + 1, aliceNew, 32},
      {"directory user", "adam", 0, aliceNew, 36},
      {"cannot change", "carl", GetPasswordCRC("carl-pw"), aliceNew, 49},
      {"in the history", "alice", aliceOld, GetPasswordCRC("alice-older"), 52},
      {"bcrypt user with old value 0", "bob", 0, aliceNew, 32},
      {"changed", "alice", aliceOld, aliceNew, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    LogOnCaller(c.caller);
    EXPECT_EQ(Run(IPSetCurUserPassword, Words({c.oldPW, c.newPW})), Words({c.reply}));
  }
  EXPECT_EQ(Setting("bob", "Live", "Torvane", "Passwords\\MustChange"), "1");
  EXPECT_EQ(Setting("bob", "Live", "Torvane", "Passwords\\Date"), "<code 19>");
  EXPECT_EQ(FindUser("bob")->PASSWORD, 0u);
  EXPECT_EQ(FindUser("alice")->PASSWORD, aliceNew);
  EXPECT_EQ(Setting("alice", "Live", "Torvane", "Passwords\\MustChange"), "0");
  EXPECT_EQ(Setting("alice", "Live", "Torvane", "Passwords\\Old\\PW1"), Hex8(aliceNew));
  // Saved: the user's file holds the new hash.
  EXPECT_NE(ReadWholeFile(home.File("users/00001001.xml")).find(Hex8(aliceNew)), std::string::npos);
}

// ---- Defaults ----

TEST_F(OwnUserTest, DefaultEnvironment) {
  LogOnCaller("alice");
  EXPECT_EQ(Run(IPGetCurUserDefaultEnv, ""), Words({0}) + Str("Live"));
  EXPECT_EQ(Run(IPSetCurUserDefaultEnv, Str("")), Words({0}));
  EXPECT_EQ(Run(IPGetCurUserDefaultEnv, ""), Words({0}) + Str("Live"));
  EXPECT_EQ(Run(IPSetCurUserDefaultEnv, Str("Nowhere")), Words({0}));  // not looked up
  EXPECT_EQ(Run(IPGetCurUserDefaultEnv, ""), Words({0}) + Str("Nowhere"));
  LogOnCaller("guest");
  EXPECT_EQ(Run(IPSetCurUserDefaultEnv, Str("Test")), Words({49}));
  EXPECT_EQ(Run(IPGetCurUserDefaultEnv, ""), Words({0}) + Str("Live"));
  conn.logonUID = 0;
  EXPECT_EQ(Run(IPGetCurUserDefaultEnv, ""), Words({29}));
}

TEST_F(OwnUserTest, DefaultLanguage) {
  LogOnCaller("alice");
  struct Case {
    std::string env;
    std::string reply;
  };
  const Case reads[] = {
      {Str("Test"), Words({0}) + Str("fr")},
      {Str("Bare"), Words({0}) + Str("en")},     // no DefaultLanguage there: Live's
      {Str("Nowhere"), Words({0}) + Str("en")},  // the second code replaces the first
      {kAbsent, Words({0}) + Str("en")},
  };
  for (const Case& c : reads) EXPECT_EQ(Run(IPGetCurUserDefaultLang, c.env), c.reply);
  LogOnCaller("bob");
  EXPECT_EQ(Run(IPGetCurUserDefaultLang, Str("Test")), Words({0}) + Str(""));

  LogOnCaller("alice");
  EXPECT_EQ(Run(IPSetCurUserDefaultLang, Str("Bare") + Str("de")), Words({0}));
  EXPECT_EQ(Setting("alice", "Bare", "Torvane", "DefaultLanguage"), "de");
  EXPECT_EQ(Run(IPSetCurUserDefaultLang, Str("") + Str("it")), Words({0}));
  EXPECT_EQ(Setting("alice", "Live", "Torvane", "DefaultLanguage"), "it");
  EXPECT_EQ(Run(IPSetCurUserDefaultLang, Str("Nowhere") + Str("it")), Words({17}));
  LogOnCaller("guest");
  EXPECT_EQ(Run(IPSetCurUserDefaultLang, kAbsent + Str("it")), Words({49}));
  EXPECT_EQ(Setting("guest", "Live", "Torvane", "DefaultLanguage"), "<code 19>");
}

// ---- Session IDs and the current environment ----

TEST_F(OwnUserTest, SessionIDLookups) {
  LUS* slot = LogOnCaller("alice");
  slot->SID = 0x0D0C0B0A;  // wire bytes 0A 0B 0C 0D
  slot->ENVNAME = "Test";
  struct Case {
    std::optional<std::string> text;
    std::string nameReply;
    std::string envReply;
  };
  const Case cases[] = {
      {"0a0B0c0D", Words({0}) + Str("alice"), Words({0}) + Str("Test")},
      {"0A0B0C0E", Words({6}), Words({6})},
      {"0A0B0C0", Words({2}), Words({6})},
      {"0A0B0C0G", Words({2}), Words({6})},
      {"00000000", Words({6}), Words({6})},
      {std::nullopt, Words({2}), Words({6})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.value_or("(absent)"));
    const std::string arg = c.text ? Str(*c.text) : kAbsent;
    pair.Send(arg);
    pair.SendSentinel();
    IPGetUserNameForSID(pair.server);
    EXPECT_TRUE(pair.SentinelIsNext());
    EXPECT_EQ(pair.Pending(), c.nameReply);
    pair.Send(arg);
    pair.SendSentinel();
    IPGetSIDEnv(pair.server);
    EXPECT_TRUE(pair.SentinelIsNext());
    EXPECT_EQ(pair.Pending(), c.envReply);
  }
  slot->ENVNAME.reset();
  pair.Send(Str("0A0B0C0D"));
  IPGetSIDEnv(pair.server);
  EXPECT_EQ(pair.Pending(), Words({0, 0}));
}

TEST_F(OwnUserTest, SetCurEnv) {
  LUS* slot = LogOnCaller("alice");
  EXPECT_EQ(Run(IPSetCurEnv, Str("NoSuchEnvironment")), Words({0}));
  EXPECT_EQ(slot->ENVNAME, "NoSuchEnvironment");
  EXPECT_EQ(Run(IPSetCurEnv, Str("Caf\xC3\xA9")), Words({0}));
  EXPECT_EQ(slot->ENVNAME, "Caf\xC3\xA9");
  for (const char* bad : {"Bad\xC3", "tab\there", "line\nfeed", "del\x7F"}) {
    EXPECT_EQ(Run(IPSetCurEnv, Str(bad)), Words({2})) << bad;
    EXPECT_EQ(slot->ENVNAME, "Caf\xC3\xA9");
  }
  EXPECT_EQ(Run(IPSetCurEnv, kAbsent), Words({0}));
  EXPECT_EQ(slot->ENVNAME, std::nullopt);
  SetCurrentLogonSlot(0);
  EXPECT_EQ(Run(IPSetCurEnv, Str("Live")), Words({6}));
}

}  // namespace
