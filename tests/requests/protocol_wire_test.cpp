// What docs/protocol.md says the server does, checked against the real
// server over loopback TCP, one claim a case: an unknown message ID with and
// without a logon, the status word before every accepted request's reply,
// the re-attach by session ID and the end of a re-attached connection, 6505
// replacing the whole record, partial USER elements of 6650 from an
// administrator and from the user itself, the USER element's lines, a
// subsection of a user's settings, a settings file's text read as at a
// start, the names deletes leave behind, and the idle age of 6679 counted
// from the accept.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "directory/group_blocks.h"
#include "directory/user_blocks.h"
#include "directory/user_records.h"
#include "support/server_process.h"
#include "support/stored_directory.h"
#include "support/test_client.h"

namespace {

constexpr const char kAdmin[] = "administrator";
constexpr const char kAdminPassword[] = "quernstoneway";
constexpr int32_t kClient = 0x0101;  // a client program of product 1

// The server in a new home whose administrator has a cost-4 hash of its
// published password, so that the many logons stay cheap.
class ProtocolWire : public ::testing::Test {
 protected:
  ServerProcess server;

  void SetUp() override {
    ASSERT_EQ(0, server.Initialise()) << server.LastRun();
    const std::string path = server.Home() + "users.xml";
    std::string users = ReadWholeFile(path);
    ASSERT_TRUE(ReplaceStoredPasswordHash(users, kAdmin, CheapHash(kAdminPassword)));
    WriteWholeFile(path, users);
    ASSERT_TRUE(server.Start()) << server.Log();
  }
  void TearDown() override { EXPECT_EQ(0, server.Stop()) << server.Log(); }

  // A connection logged on as `user` (Connected() false when that failed);
  // the logon's session ID in *sid when given.
  TestClient LogOn(const std::string& user, const std::string& password, int32_t clientID = kClient,
                   TestSID* sid = nullptr) {
    TestClient client = TestClient::ConnectLoopback(server.Port());
    TestClient::LogonReply reply = client.Logon(user, password, clientID);
    if (!reply.received || reply.code != 0) {
      ADD_FAILURE() << user << " did not log on: " << reply.code << "\n" << server.Log();
      client.Close();
    }
    if (sid != nullptr) *sid = reply.sid;
    return client;
  }

  // The request's reply word after the header's 0; nullopt when the header
  // was refused or nothing came.
  static std::optional<int32_t> Call(TestClient& client, int32_t id, const TestRequest& args = TestRequest()) {
    if (client.Request(id, args) != 0) return std::nullopt;
    return client.RecvInt();
  }

  // 6503: the user's block as sent.
  static std::optional<TestBytes> UserBlock(TestClient& client, const std::string& name) {
    if (Call(client, 6503, TestRequest().String(name).Int(1).Int(0)) != 0) return std::nullopt;
    std::optional<int32_t> size = client.RecvInt();
    TestBytes block;
    if (!size || *size < 0 || !client.RecvBytes(static_cast<size_t>(*size), &block)) return std::nullopt;
    return block;
  }
  static std::optional<UserStruct> User(TestClient& client, const std::string& name) {
    std::optional<TestBytes> block = UserBlock(client, name);
    UserStruct user;
    if (!block || ConvertTransportBlockToUser(block->data(), static_cast<int32_t>(block->size()), &user, 1) != 0) {
      return std::nullopt;
    }
    return user;
  }
  static std::optional<int32_t> SendUser(TestClient& client, UserStruct& user) {
    std::vector<unsigned char> block;
    if (!ConvertUserToTransportBlock(&user, block)) return std::nullopt;
    return Call(client, 6505, TestRequest().Int(1).Int(static_cast<int32_t>(block.size())).Raw(TestBytes(block.begin(), block.end())));
  }
  // 6610: the group's block decoded.
  static std::optional<GroupStruct> Group(TestClient& client, const std::string& name) {
    if (Call(client, 6610, TestRequest().String(name).Int(1).Int(0)) != 0) return std::nullopt;
    std::optional<int32_t> size = client.RecvInt();
    TestBytes block;
    GroupStruct group;
    if (!size || *size < 0 || !client.RecvBytes(static_cast<size_t>(*size), &block) ||
        ConvertTransportBlockToGroup(block.data(), *size, &group, 1) != 0) {
      return std::nullopt;
    }
    return group;
  }

  // Waits (up to 10 s) until no logon holds a session of `clientID`, as the
  // TOKENINFO of 6677 on `observer` shows. False when one still does.
  static bool NoSessionOf(TestClient& observer, int32_t clientID) {
    const std::string session = "<SLS>" + std::to_string(clientID) + "</SLS>";
    for (int i = 0; i < 200; ++i) {
      std::optional<std::string> info;
      if (Call(observer, 6677) != 0 || !observer.RecvString(&info)) return false;
      if (info.value_or("").find(session) == std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Adds `name` with `password` as the administrator.
  void AddUser(TestClient& admin, const char* name, const char* password) {
    ASSERT_EQ(Call(admin, 6504, TestRequest().String(name)), 0);
    ASSERT_EQ(Call(admin, 6654, TestRequest().String(name).String(password)), 0);
  }
};

// An ID without a handler: without a logon it is refused as any request that
// needs one (27 and the flags) and the connection stays; with a logon it is
// accepted (0) and the connection is closed, the logon kept for a re-attach.
TEST_F(ProtocolWire, AnUnknownMessageID) {
  TestClient anonymous = TestClient::ConnectLoopback(server.Port());
  ASSERT_TRUE(anonymous.Send(TestRequest().Header(6999)));
  EXPECT_EQ(anonymous.RecvInt(), 27);
  EXPECT_EQ(anonymous.RecvInt(), 0x1E) << "the AuthenticationFlags of a new home";
  EXPECT_EQ(Call(anonymous, 6628), 10) << "the connection stays";

  TestSID sid{};
  TestClient admin = LogOn(kAdmin, kAdminPassword, kClient, &sid);
  ASSERT_TRUE(admin.Connected());
  EXPECT_EQ(admin.Request(6999), 0);
  EXPECT_TRUE(admin.PeerClosed());
  TestClient again = TestClient::ConnectLoopback(server.Port());
  EXPECT_EQ(again.AttachBySID(sid, kClient), 0) << "the logon stays";
}

// Every accepted request is answered 0 first, then its reply: for the
// replies the table shows as a bare value (6628's version, 6627's text,
// 6500's count) that value follows the 0.
TEST_F(ProtocolWire, EveryAcceptedRequestIsAnsweredZeroFirst) {
  TestClient anonymous = TestClient::ConnectLoopback(server.Port());
  ASSERT_TRUE(anonymous.Send(TestRequest().Header(6628)));
  EXPECT_EQ(anonymous.RecvInts(2), (std::vector<int32_t>{0, 10}));
  TestClient admin = LogOn(kAdmin, kAdminPassword);
  ASSERT_TRUE(admin.Send(TestRequest().Header(6627)));
  EXPECT_EQ(admin.RecvInt(), 0);
  std::optional<std::string> info;
  ASSERT_TRUE(admin.RecvString(&info));
  EXPECT_EQ(info.value_or("").rfind("TorvaneServer\r\nVersion=", 0), 0u) << info.value_or("(absent)");
  ASSERT_TRUE(admin.Send(TestRequest().Header(6500)));
  EXPECT_EQ(admin.RecvInts(2), (std::vector<int32_t>{0, 4}));
}

// A re-attach by session ID works on 6003, which carries the client ID: it is
// answered with the word 0 alone (no session ID follows), and the connection
// then serves requests as the logon. On another message the header has no
// client ID, and the logon refuses the session of client 0: 37 and the
// flags. Closing a connection ends every session of its client ID on its
// logon, and a logon without sessions ends: after a re-attach under the
// client ID of the original connection, closing either connection leaves the
// other without a logon (27, the connection kept); under another client ID
// the original keeps its logon.
TEST_F(ProtocolWire, TheReattachBySessionID) {
  TestSID sid{};
  TestClient first = LogOn(kAdmin, kAdminPassword, kClient, &sid);
  ASSERT_TRUE(first.Connected());
  TestClient observer = LogOn(kAdmin, kAdminPassword, kClient + 4);
  ASSERT_TRUE(observer.Connected());

  TestClient other = TestClient::ConnectLoopback(server.Port());
  ASSERT_TRUE(other.Send(TestRequest().Header(6500, kTokSID, SIDToken(sid))));
  EXPECT_EQ(other.RecvInt(), 37);
  EXPECT_EQ(other.RecvInt(), 0x1E);

  // Another client ID: the original connection outlives the joined one.
  TestClient joined = TestClient::ConnectLoopback(server.Port());
  ASSERT_TRUE(joined.Send(TestRequest().LogonHeader(kClient + 1, kTokSID, SIDToken(sid))));
  EXPECT_EQ(joined.RecvInt(), 0);
  EXPECT_TRUE(joined.NothingPending(300)) << "a bare 0, not a logon reply";
  EXPECT_EQ(Call(joined, 6500), 4);
  joined.Close();
  ASSERT_TRUE(NoSessionOf(observer, kClient + 1));
  EXPECT_EQ(Call(first, 6500), 4);

  // The same client ID: closing the joined connection ends the logon.
  joined = TestClient::ConnectLoopback(server.Port());
  EXPECT_EQ(joined.AttachBySID(sid, kClient), 0);
  EXPECT_EQ(Call(joined, 6500), 4);
  joined.Close();
  ASSERT_TRUE(NoSessionOf(observer, kClient));
  EXPECT_EQ(first.Request(6500), 27) << "the original connection after the re-attached one closed";
  EXPECT_EQ(Call(first, 6628), 10) << "refused, not closed";
}

// 6505 replaces the whole record with the block: a block sent back as read
// keeps the password; one without PASSWORDV2 removes it.
TEST_F(ProtocolWire, AUserBlockReplacesTheWholeRecord) {
  TestClient admin = LogOn(kAdmin, kAdminPassword);
  ASSERT_NO_FATAL_FAILURE(AddUser(admin, "bob", "bob-Secret1"));
  std::optional<UserStruct> bob = User(admin, "bob");
  ASSERT_TRUE(bob && bob->PASSWORDV2);
  EXPECT_EQ(SendUser(admin, *bob), 0);
  EXPECT_EQ(TestClient::ConnectLoopback(server.Port()).Logon("bob", "bob-Secret1", kClient).code, 0);
  bob->PASSWORDV2.reset();
  EXPECT_EQ(SendUser(admin, *bob), 0);
  EXPECT_EQ(TestClient::ConnectLoopback(server.Port()).Logon("bob", "bob-Secret1", kClient).code, 32);
  FreeUserStruct(&*bob);
}

// 6650 (a USER element that updates the user): the main fields of the stored
// user are replaced by the element's, so an administrator's element that
// leaves one out clears it. The user's own element is refused (49) unless
// its PASSWORDV2 (and LEVEL, ADUSER, GROUPLIST, PASSWORD) are as stored.
TEST_F(ProtocolWire, PartialUserElements) {
  TestClient admin = LogOn(kAdmin, kAdminPassword);
  ASSERT_NO_FATAL_FAILURE(AddUser(admin, "bob", "bob-Secret1"));
  const std::string full =
      "<USER><USERNAME>bob</USERNAME><FORENAME>Bob</FORENAME><SURNAME>Stone</SURNAME>"
      "<EMAIL>bob@example.org</EMAIL><GROUPLIST>Everyone</GROUPLIST></USER>";
  // The administrator's element without PASSWORDV2 would clear the password:
  // it is sent with the stored hash.
  std::optional<UserStruct> stored = User(admin, "bob");
  ASSERT_TRUE(stored && stored->PASSWORDV2);
  const std::string hash = *stored->PASSWORDV2;
  FreeUserStruct(&*stored);
  const std::string withHash = full.substr(0, full.size() - 7) + "<PASSWORDV2>" + hash + "</PASSWORDV2></USER>";
  ASSERT_EQ(Call(admin, 6650, TestRequest().String("bob").String(withHash)), 0);

  TestClient bob = LogOn("bob", "bob-Secret1");
  ASSERT_TRUE(bob.Connected());
  const std::string own = "<USER><USERNAME>bob</USERNAME><FORENAME>Bobby</FORENAME>";
  EXPECT_EQ(Call(bob, 6650, TestRequest().String("bob").String(own + "</USER>")), 49)
      << "PASSWORDV2 and GROUPLIST left out";
  EXPECT_EQ(Call(bob, 6650,
                 TestRequest().String("bob").String(own + "<PASSWORDV2>" + hash + "</PASSWORDV2></USER>")),
            49)
      << "GROUPLIST left out";
  EXPECT_EQ(Call(bob, 6650, TestRequest().String("bob").String(own + "<PASSWORDV2>" + hash +
                                                              "</PASSWORDV2><GROUPLIST>Everyone</GROUPLIST></USER>")),
            0);
  std::optional<UserStruct> after = User(admin, "bob");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->FORENAME, std::string("Bobby"));
  EXPECT_EQ(after->SURNAME, std::nullopt) << "left out by the user's own element too";
  EXPECT_EQ(after->PASSWORDV2, hash);
  FreeUserStruct(&*after);

  // The administrator's partial element: what it leaves out is cleared.
  ASSERT_EQ(Call(admin, 6650, TestRequest().String("bob").String(full.substr(0, full.size() - 7) +
                                                                    "<LEVEL>7</LEVEL></USER>")),
            0);
  after = User(admin, "bob");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->LEVEL, 7u);
  FreeUserStruct(&*after);
  ASSERT_EQ(Call(admin, 6650, TestRequest().String("bob").String("<USER><USERNAME>bob</USERNAME>"
                                                                    "<FORENAME>Robert</FORENAME></USER>")),
            0);
  after = User(admin, "bob");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->FORENAME, std::string("Robert"));
  EXPECT_EQ(after->SURNAME, std::nullopt);
  EXPECT_EQ(after->EMAIL, std::nullopt);
  EXPECT_EQ(after->GROUPLIST, std::nullopt);
  EXPECT_EQ(after->PASSWORDV2, std::nullopt);
  EXPECT_EQ(after->LEVEL, 0u);
  FreeUserStruct(&*after);
}

// A block whose flags lack bit 0x2 ends after its fields: ADUSER and LEVEL
// become 0.
TEST_F(ProtocolWire, AUserBlockWithoutItsFlagBitClearsADUserAndLevel) {
  TestClient admin = LogOn(kAdmin, kAdminPassword);
  ASSERT_EQ(Call(admin, 6504, TestRequest().String("bob")), 0);
  std::optional<UserStruct> bob = User(admin, "bob");
  ASSERT_TRUE(bob);
  bob->LEVEL = kUserLevelAdministrator;
  ASSERT_EQ(SendUser(admin, *bob), 0);
  FreeUserStruct(&*bob);
  std::optional<TestBytes> block = UserBlock(admin, "bob");
  ASSERT_TRUE(block && block->size() > 28);
  (*block)[12] &= static_cast<unsigned char>(~0x02);  // the flags word's low byte
  block->resize(block->size() - 8);                   // no ADUSER, no LEVEL
  ASSERT_EQ(Call(admin, 6505, TestRequest().Int(1).Int(static_cast<int32_t>(block->size())).Raw(*block)), 0);
  bob = User(admin, "bob");
  ASSERT_TRUE(bob);
  EXPECT_EQ(bob->LEVEL, 0u);
  EXPECT_EQ(bob->ADUSER, 0);
  FreeUserStruct(&*bob);
}

// The USER element of the users documents, line by line in the order the
// reference gives; a PASSWORDV2 shorter than 33 characters in a client's
// element is a clear password, stored as its hash; 6652 without a UID
// gives the user a new one.
TEST_F(ProtocolWire, TheUserElement) {
  TestClient admin = LogOn(kAdmin, kAdminPassword);
  ASSERT_EQ(Call(admin, 6504, TestRequest().String("bob")), 0);
  ASSERT_EQ(Call(admin, 6650, TestRequest().String("bob").String(
                                  "<USER><USERNAME>bob</USERNAME><PASSWORDV2>Short-Pw-1</PASSWORDV2>"
                                  "<LEVEL>7</LEVEL><FORENAME>Bob &amp; Co</FORENAME><SURNAME>Stone</SURNAME>"
                                  "<EMAIL>bob@example.org</EMAIL><GROUPLIST>Everyone</GROUPLIST>"
                                  "<FIELD NAME=\"zone\">north</FIELD><FIELD NAME=\"colour\">blue</FIELD></USER>")),
            0);
  EXPECT_EQ(TestClient::ConnectLoopback(server.Port()).Logon("bob", "Short-Pw-1", kClient).code, 0);
  std::optional<UserStruct> bob = User(admin, "bob");
  ASSERT_TRUE(bob && bob->PASSWORDV2);
  char uid[16];
  std::snprintf(uid, sizeof uid, "%08X", bob->header.uid);
  const std::string expected = std::string("<USER>\n<UID>") + uid + "</UID>\n<USERNAME>bob</USERNAME>\n<PASSWORDV2>" +
                               *bob->PASSWORDV2 +
                               "</PASSWORDV2>\n<ADUSER>0</ADUSER>\n<LEVEL>7</LEVEL>\n<FORENAME>Bob &#038; Co</FORENAME>\n"
                               "<SURNAME>Stone</SURNAME>\n<EMAIL>bob@example.org</EMAIL>\n<GROUPLIST>Everyone</GROUPLIST>\n"
                               "<FIELD NAME=\"colour\">blue</FIELD>\n<FIELD NAME=\"zone\">north</FIELD>\n<USERDATA>\n";
  EXPECT_EQ(bob->PASSWORDV2->size(), 60u);
  FreeUserStruct(&*bob);
  ASSERT_EQ(Call(admin, 6649, TestRequest().String("bob")), 0);
  std::optional<std::string> text;
  ASSERT_TRUE(admin.RecvString(&text));
  EXPECT_EQ(text.value_or("").substr(0, expected.size()), expected);
  EXPECT_NE(text.value_or("").find("</USERDATA>\n</USER>\n"), std::string::npos) << *text;

  ASSERT_EQ(Call(admin, 6648), 0);
  ASSERT_TRUE(admin.RecvString(&text));
  EXPECT_EQ(text.value_or("").rfind("<?xml version=\"1.0\"?><USERS><USER>\n", 0), 0u) << text.value_or("");

  ASSERT_EQ(Call(admin, 6652, TestRequest().String("bob").String("<USER><USERNAME>bob</USERNAME></USER>")), 0);
  std::optional<UserStruct> again = User(admin, "bob");
  ASSERT_TRUE(again);
  EXPECT_NE(again->header.uid, 0u);
  EXPECT_NE(std::string(uid), [&] {
    char now[16];
    std::snprintf(now, sizeof now, "%08X", again->header.uid);
    return std::string(now);
  }()) << "6652 without a UID: a new one";
  EXPECT_EQ(again->FORENAME, std::nullopt);
  FreeUserStruct(&*again);
}

// 6637 answers a subsection of a user's settings in the generic form: CR LF
// after a start tag with children and after every end tag.
TEST_F(ProtocolWire, ASubsectionOfAUsersSettings) {
  TestClient admin = LogOn(kAdmin, kAdminPassword);
  ASSERT_EQ(Call(admin, 6504, TestRequest().String("bob")), 0);
  EXPECT_EQ(Call(admin, 6661, TestRequest().String("bob").String("Live").String("Brindle").String("Colour").String("blue")),
            18)
      << "6661 sets a value of a subsection that exists";
  ASSERT_EQ(Call(admin, 6639, TestRequest().String("bob").String("Live").String("Brindle").String(
                                  "<Brindle><Colour>red</Colour></Brindle>")),
            0);
  ASSERT_EQ(Call(admin, 6661, TestRequest().String("bob").String("Live").String("Brindle").String("Colour").String("blue")),
            0);
  ASSERT_EQ(Call(admin, 6637, TestRequest().String("bob").String("Live").String("Brindle")), 0);
  std::optional<std::string> text;
  ASSERT_TRUE(admin.RecvString(&text));
  EXPECT_EQ(text, std::string("<Brindle>\r\n<Colour>blue</Colour>\r\n</Brindle>\r\n"));
}

// A settings file's text given to 6647 is read as at a start: every node a
// STRING, new UIDs for those without one, the top-level nodes reversed.
TEST_F(ProtocolWire, ASettingsFileTextIsReadAsAtAStart) {
  TestClient admin = LogOn(kAdmin, kAdminPassword);
  ASSERT_EQ(Call(admin, 6616, TestRequest().String("Live").String("Brindle")), 0);
  const std::string text =
      "<?xml version=\"1.0\"?>\n<Brindle>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n"
      "<First type=\"INTEGER\">5\n<Inner type=\"DWORD\">0000000A\n</Inner>\n</First>\n"
      "<Second uid=\"0\" type=\"STRING\">x\n</Second>\n</CONFIGURATION>\n</Brindle>";
  ASSERT_EQ(Call(admin, 6647, TestRequest().String("Live").String("Brindle").String(text)), 0);
  // The file is the text as given until a change rewrites it from what was read.
  ASSERT_EQ(Call(admin, 6646, TestRequest().String("Live").String("Brindle")), 0);
  std::optional<std::string> file;
  ASSERT_TRUE(admin.RecvString(&file));
  EXPECT_EQ(file, text);
  ASSERT_EQ(Call(admin, 6619, TestRequest().String("Live").String("Brindle").String("Second").String("y")), 0);
  ASSERT_EQ(Call(admin, 6646, TestRequest().String("Live").String("Brindle")), 0);
  ASSERT_TRUE(admin.RecvString(&file));
  const std::string got = file.value_or("");
  const size_t second = got.find("<Second uid=\""), first = got.find("<First uid=\""), inner = got.find("<Inner uid=\"");
  ASSERT_NE(second, std::string::npos) << got;
  ASSERT_NE(first, std::string::npos) << got;
  EXPECT_LT(second, first) << "the top-level nodes come back reversed";
  EXPECT_LT(first, inner) << "a child stays below its parent";
  EXPECT_EQ(got.find("uid=\"00000000\""), std::string::npos) << got;
  EXPECT_EQ(got.find("INTEGER"), std::string::npos) << got;
  EXPECT_EQ(got.find("DWORD"), std::string::npos) << got;
  EXPECT_NE(got.find("\" type=\"STRING\">5\n<Inner uid=\""), std::string::npos) << got;
  EXPECT_EQ(got.rfind("<?xml version=\"1.0\"?>\n<Brindle>\n<PERMISSIONS>\n</PERMISSIONS>\n<CONFIGURATION>\n", 0), 0u) << got;
  EXPECT_EQ(got.substr(got.size() - 28), "\n</CONFIGURATION>\n</Brindle>") << got;
}

// A deleted user's name stays in the member lists of its groups, and a
// deleted group's name in the GROUPLIST of its users.
TEST_F(ProtocolWire, DeletesLeaveTheNamesBehind) {
  TestClient admin = LogOn(kAdmin, kAdminPassword);
  for (const char* name : {"bob", "carol"}) ASSERT_EQ(Call(admin, 6504, TestRequest().String(name)), 0);
  ASSERT_EQ(Call(admin, 6611, TestRequest().String("Crew")), 0);
  GroupStruct crew;
  crew.name = "Crew";
  crew.members = {"bob", "carol"};
  std::vector<unsigned char> block;
  ASSERT_TRUE(ConvertGroupToTransportBlock(&crew, block));
  ASSERT_EQ(Call(admin, 6612, TestRequest().Int(1).Int(static_cast<int32_t>(block.size())).Raw(TestBytes(block.begin(), block.end()))), 0);
  std::optional<UserStruct> carol = User(admin, "carol");
  ASSERT_TRUE(carol);
  carol->GROUPLIST = "Crew";
  ASSERT_EQ(SendUser(admin, *carol), 0);
  FreeUserStruct(&*carol);

  ASSERT_EQ(Call(admin, 6506, TestRequest().String("bob")), 0);
  std::optional<GroupStruct> left = Group(admin, "Crew");
  ASSERT_TRUE(left);
  EXPECT_EQ(left->members, (std::vector<std::string>{"bob", "carol"}));

  ASSERT_EQ(Call(admin, 6613, TestRequest().String("Crew")), 0);
  carol = User(admin, "carol");
  ASSERT_TRUE(carol);
  EXPECT_EQ(carol->GROUPLIST, std::string("Crew"));
  FreeUserStruct(&*carol);
}

// 6679 closes the connections idle longer than its age, the idle time of a
// connection counting from its accept until its first request: "D1" leaves
// one that connected a moment ago and has sent nothing, "M0" closes those
// idle since an earlier second, used or not.
TEST_F(ProtocolWire, IdleConnectionsCountFromTheirAccept) {
  TestClient admin = LogOn(kAdmin, kAdminPassword);
  TestClient fresh = TestClient::ConnectLoopback(server.Port());
  TestClient used = TestClient::ConnectLoopback(server.Port());
  ASSERT_EQ(Call(used, 6628), 10);
  ASSERT_EQ(Call(admin, 6679, TestRequest().String("D1")), 0);
  EXPECT_TRUE(fresh.NothingPending(200));
  EXPECT_EQ(Call(fresh, 6628), 10) << "a connection that had sent nothing is still served";
  EXPECT_TRUE(used.NothingPending(50));

  TestClient silent = TestClient::ConnectLoopback(server.Port());
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ASSERT_EQ(Call(admin, 6679, TestRequest().String("M0")), 0);
  EXPECT_TRUE(silent.PeerClosed()) << "connected over a second ago, never used";
  EXPECT_TRUE(used.PeerClosed());
  EXPECT_TRUE(fresh.PeerClosed());
  EXPECT_EQ(Call(admin, 6628), 10) << "the requester's own connection stays";
}

}  // namespace
