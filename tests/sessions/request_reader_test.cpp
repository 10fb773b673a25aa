// The request reader over a socketpair with scrambled credential tokens,
// against a real directory store in a temporary home: header reads and their
// failures, token lengths, type-0 acceptance, credential and SID tokens, the
// reply sequences and the connection fields the reader sets.
#include "sessions/request_reader.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <sys/time.h>

#include <cstdio>
#include <optional>
#include <string>

#include "foundation/crypto/scrambler.h"
#include "foundation/result_codes.h"
#include "sessions/connection_table.h"
#include "sessions/logon_fixture.h"
#include "sessions/logon_slots.h"
#include "sessions/logons.h"
#include "foundation/log/ring_log.h"
#include "support/pinned_time_zone.h"
#include "support/socket_pair.h"

namespace {

using logon_test::ConnectedLogonStore;
using W = SocketPair;

constexpr int32_t kClient = 21;

// A request header: message ID, token length, token type, the client ID on
// 6003, then the token.
std::string Header(int32_t messageID, int32_t tokType, const std::string& token,
                   std::optional<int32_t> tokLen = std::nullopt, int32_t clientID = kClient) {
  std::string out = W::Word(static_cast<uint32_t>(messageID)) +
                    W::Word(static_cast<uint32_t>(tokLen.value_or(static_cast<int32_t>(token.size())))) +
                    W::Word(static_cast<uint32_t>(tokType));
  if (messageID == kLogonMessageID) out += W::Word(static_cast<uint32_t>(clientID));
  return out + token;
}

// A credential token as a client sends it: the clear bytes scrambled.
std::string Scrambled(std::string clear) {
  ScrambleBuffer(clear.data(), clear.size(), kCredentialTokenSeed);
  return clear;
}
std::string Credentials(const std::string& name, const std::string& password) {
  return Scrambled(name + '\0' + password + '\0');
}

std::string SIDToken(uint32_t version, uint32_t sid) {
  return W::Word(version) + W::Word(4) + W::Word(sid);
}

std::string CIDs(const LUS* slot) {
  std::string out;
  for (const SLS& s : slot->sessions) out += (out.empty() ? "" : ",") + std::to_string(s.CID);
  return out;
}

class RequestReaderTest : public ConnectedLogonStore {
 protected:

  // Sends the bytes, runs the reader and gives its status; the reply is in
  // `reply`, the message ID in `messageID`.
  int Run(const std::string& bytes) {
    if (!bytes.empty()) pair.Send(bytes);
    messageID = -1;
    int status = GetCommand(&conn, &messageID);
    reply = pair.Pending();
    return status;
  }

  std::string Flags() const { return W::Word(GetAuthenticationFlags()); }

  // Logs bob on through the reader; gives the slot's SID.
  uint32_t LogOnBob() {
    EXPECT_EQ(Run(Header(kLogonMessageID, Auth_INTERNAL, Credentials("bob", "bobpw"))), FR_OK);
    LUS* slot = FindLUSByLogonUID(conn.logonUID);
    EXPECT_NE(slot, nullptr);
    return slot ? slot->SID : 0;
  }

  std::string reply;
  int32_t messageID = -1;
};

TEST_F(RequestReaderTest, TokenLengths) {
  EXPECT_EQ(Run(Header(6663, Auth_NONE, std::string(2048, 'x'))), FR_OK);
  EXPECT_EQ(reply, Words({0}));
  EXPECT_EQ(pair.UnreadByServer(), "");
  EXPECT_EQ(Run(Header(6663, Auth_NONE, "", -5)), FR_OK);  // below 1: no token
  EXPECT_EQ(reply, Words({0}));
  EXPECT_EQ(Run(Header(6663, Auth_NONE, "", 2049)), FR_COMMS_ERROR);
  EXPECT_EQ(reply, Words({31}));
  EXPECT_EQ(messageID, 6663);
}

// The header line carries the local time of the request in asctime's form,
// in the zone the process has at that moment, even within one second.
TEST_F(RequestReaderTest, TheHeaderLineGivesTheLocalTimeOfItsZone) {
  const struct {
    const char* zone;
    const char* line;
  } cases[] = {
      {"UTC0", "Got message ID:6628 on socket %d - Sun Sep 13 10:00:00 2020\n"},
      {kZoneAheadOfUtc, "Got message ID:6628 on socket %d - Sun Sep 13 23:00:00 2020\n"},
      {"UTC0", "Got message ID:6628 on socket %d - Sun Sep 13 10:00:00 2020\n"},
  };
  for (const auto& c : cases) {
    PinnedTimeZone zone(c.zone);
    ASSERT_EQ(Run(Header(6628, Auth_NONE, "")), FR_OK);
    char expected[128];
    std::snprintf(expected, sizeof expected, c.line, conn.socket);
    EXPECT_STREQ(expected, GetLogLine()) << c.zone;
  }
}

TEST_F(RequestReaderTest, TypeZeroNeedsALogonExceptFourMessages) {
  SetAuthenticationFlags(kAuthAllowInternal | kAuthAllowGuest, 0);
  for (int32_t id : {6628, 6662, 6663, 6683}) {
    EXPECT_EQ(Run(Header(id, Auth_NONE, "")), FR_OK) << id;
    EXPECT_EQ(reply, Words({0})) << id;
  }
  EXPECT_EQ(Run(Header(6501, Auth_NONE, "")), FR_NOT_AUTHENTICATED);
  EXPECT_EQ(reply, Words({27}) + Flags());

  LogOnBob();
  const uint32_t uid = conn.logonUID;
  FindLUSByLogonUID(uid)->LASTUSED = 5;
  EXPECT_EQ(Run(Header(6501, Auth_NONE, "")), FR_OK);
  EXPECT_EQ(reply, Words({0}));
  EXPECT_EQ(FindLUSByLogonUID(uid)->LASTUSED, NowTime32());
  EXPECT_EQ(conn.lastUsed, NowTime32());

  // The slot freed behind the connection: refused, the logon UID kept.
  LogoffLUSSlot(GetLUSIndex(FindLUSByLogonUID(uid)));
  EXPECT_EQ(Run(Header(6501, Auth_NONE, "")), FR_NOT_AUTHENTICATED);
  EXPECT_EQ(reply, Words({27}) + Flags());
  EXPECT_EQ(conn.logonUID, uid);
}

TEST_F(RequestReaderTest, CredentialTokens) {
  struct Case {
    const char* id;
    int32_t messageID;
    int32_t tokType;
    std::string token;
    int status;
    std::string reply;  // "*" : the result word, then the flags
  };
  const std::string n255(255, 'n'), n256(256, 'n');
  const Case cases[] = {
      {"name of 255 bytes", kLogonMessageID, Auth_INTERNAL, Credentials(n255, "x"), FR_AUTH_FAILED, "*"},
      {"name of 256 bytes", kLogonMessageID, Auth_INTERNAL, Credentials(n256, "x"), FR_COMMS_ERROR, ""},
      {"no nul in the token", kLogonMessageID, Auth_INTERNAL, Scrambled("bobbobbob"), FR_COMMS_ERROR, ""},
      {"empty token", kLogonMessageID, Auth_INTERNAL, "", FR_COMMS_ERROR, ""},
      {"logon on another message", 6501, Auth_INTERNAL, Credentials("bob", "bobpw"), FR_COMMS_ERROR, ""},
      {"wrong password", kLogonMessageID, Auth_INTERNAL, Credentials("bob", "nope"), FR_AUTH_FAILED, "*"},
      {"must change", kLogonMessageID, Auth_INTERNAL, Credentials("mustbob", "mustpw"), FR_MUST_CHANGE_PASSWORD,
       Words({50, 7})},
      {"password to the token's end", kLogonMessageID, Auth_INTERNAL, Scrambled(std::string("bob\0bobpw", 9)),
       FR_OK, "sid"},
      {"name alone, empty password", kLogonMessageID, Auth_INTERNAL, Scrambled(std::string("bob\0", 4)),
       FR_AUTH_FAILED, "*"},
      {"type 6", kLogonMessageID, Auth_INTERNAL_OTHER, Credentials("bob", "bobpw"), FR_OK, "sid"},
      {"type 8 runs the internal logon", kLogonMessageID, Auth_AUTO, Credentials("bob", "bobpw"), FR_OK, "sid"},
      {"type 8 for an AD user runs type 2", kLogonMessageID, Auth_AUTO, Credentials("alice", "x"),
       FR_METHOD_NOT_ALLOWED, "*"},
      {"type 3 not allowed", kLogonMessageID, Auth_AD_USER, Scrambled(std::string("alice\0", 6)),
       FR_METHOD_NOT_ALLOWED, "*"},
      {"type 4", kLogonMessageID, Auth_AD_TOKEN, "", FR_NOT_AUTHENTICATED, Words({28, kAuthAllowInternal})},
      {"type 10", 6501, 10, "abc", FR_NOT_AUTHENTICATED, Words({30, kAuthAllowInternal})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    int status = Run(Header(c.messageID, c.tokType, c.token));
    EXPECT_EQ(status, c.status);
    if (c.reply == "*") {
      EXPECT_EQ(reply, W::Word(static_cast<uint32_t>(c.status)) + Flags());
    } else if (c.reply == "sid") {
      ASSERT_EQ(reply.size(), 16u);
      EXPECT_EQ(reply.substr(0, 12), Words({0, 1, 4}));
      const LUS* slot = FindLUS(1, reinterpret_cast<const unsigned char*>(reply.data() + 12));
      ASSERT_NE(slot, nullptr);
      EXPECT_EQ(slot->USERNAME.value_or("?"), "bob");
    } else {
      EXPECT_EQ(reply, c.reply);
    }
    EXPECT_EQ(pair.UnreadByServer(), "");
  }
}

TEST_F(RequestReaderTest, ClientIDIsStoredAndKeepLogonSetEvenWhenTheLogonFails) {
  conn.clientID = 3;
  EXPECT_EQ(Run(Header(6663, Auth_NONE, "")), FR_OK);
  EXPECT_EQ(conn.clientID, 3);  // only 6003 carries a client ID
  EXPECT_EQ(Run(Header(kLogonMessageID, Auth_AUTO_KEEPLOGON, Credentials("bob", "nope"))), FR_AUTH_FAILED);
  EXPECT_EQ(conn.clientID, kClient);
  EXPECT_EQ(conn.keepLogon, 1);
  EXPECT_EQ(Run(Header(kLogonMessageID, Auth_AUTO, Credentials("bob", "bobpw"))), FR_OK);
  EXPECT_EQ(conn.keepLogon, 0);
  const LUS* slot = FindLUSByLogonUID(conn.logonUID);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->sessions.at(0).CID, kClient);
}

// The header's client ID is stored before the logon runs, so the logoff of
// the previous logon removes only the sessions of that client program.
TEST_F(RequestReaderTest, ALogonEndsOnlyTheSessionsOfItsOwnClientID) {
  const uint32_t sid = LogOnBob();  // client 21
  const uint32_t uid = conn.logonUID;
  SocketPair second;
  ConnectionRecord other{};
  other.socket = second.server;
  second.Send(Header(kLogonMessageID, Auth_SID, SIDToken(1, sid), std::nullopt, 22));
  int32_t id = 0;
  ASSERT_EQ(GetCommand(&other, &id), FR_OK);
  ASSERT_EQ(CIDs(FindLUSByLogonUID(uid)), "22,21");
  EXPECT_EQ(Run(Header(kLogonMessageID, Auth_INTERNAL, Credentials("bob", "nope"), std::nullopt, 22)),
            FR_AUTH_FAILED);
  EXPECT_EQ(conn.clientID, 22);
  EXPECT_EQ(conn.logonUID, 0u);
  ASSERT_NE(FindLUSByLogonUID(uid), nullptr);
  EXPECT_EQ(CIDs(FindLUSByLogonUID(uid)), "21");
}

TEST_F(RequestReaderTest, PasswordChangeAfterFifty) {
  EXPECT_EQ(Run(Header(kLogonMessageID, Auth_INTERNAL, Credentials("mustbob", "mustpw"))),
            FR_MUST_CHANGE_PASSWORD);
  EXPECT_EQ(reply, Words({50, 7}));
  EXPECT_EQ(Run(Header(kLogonMessageID, Auth_INTERNAL_PWCHANGE, Credentials("mustbob", "mustpw")) +
                W::Word(6) + std::string("fresh", 6)),
            FR_OK);
  EXPECT_EQ(reply.substr(0, 12), Words({0, 1, 4}));
  EXPECT_NE(conn.logonUID, 0u);
  // A new password that never arrives: 4 alone.
  pair.Send(Header(kLogonMessageID, Auth_INTERNAL_PWCHANGE, Credentials("mustbob", "fresh")) + W::Word(9));
  pair.EndClientSends();
  EXPECT_EQ(Run(""), FR_COMMS_ERROR);
  EXPECT_EQ(reply, Words({4}));
}

TEST_F(RequestReaderTest, SIDTokens) {
  const uint32_t sid = LogOnBob();
  const uint32_t own = conn.logonUID;
  struct Case {
    const char* id;
    int32_t messageID;
    std::string token;
    int status;
    uint32_t code;
  };
  const Case cases[] = {
      {"version 2", kLogonMessageID, SIDToken(2, sid), FR_NOT_AUTHENTICATED, FR_INVALID_VERSION},
      {"shorter than 12 bytes", kLogonMessageID, SIDToken(1, sid).substr(0, 11), FR_NOT_AUTHENTICATED,
       FR_INVALID_VERSION},
      {"unknown SID", kLogonMessageID, SIDToken(1, sid ^ 0x5A5A), FR_NOT_AUTHENTICATED, FR_NOT_LOGGED_ON},
      {"not on 6003: no client ID", 6501, SIDToken(1, sid), FR_SESSION_REFUSED, FR_SESSION_REFUSED},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Run(Header(c.messageID, Auth_SID, c.token)), c.status) << c.id;
    EXPECT_EQ(reply, W::Word(c.code) + Flags()) << c.id;
    EXPECT_EQ(conn.logonUID, own) << c.id;
  }
  // Upper bytes of the version are ignored; a second program attaches.
  SocketPair second;
  ConnectionRecord other{};
  other.socket = second.server;
  second.Send(Header(kLogonMessageID, Auth_SID, SIDToken(0xABCD01, sid)));
  int32_t id = 0;
  EXPECT_EQ(GetCommand(&other, &id), FR_OK);
  EXPECT_EQ(second.Pending(), Words({0}));
  EXPECT_EQ(other.logonUID, own);
  const LUS* slot = FindLUSByLogonUID(own);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->CC, 2);
  EXPECT_EQ(CIDs(slot), "21,21");
}

TEST_F(RequestReaderTest, ReadFailures) {
  struct Case {
    const char* id;
    std::string bytes;  // sent, then the client stops sending
    int status;
  };
  const Case cases[] = {
      {"closed before the message ID", "", FR_PEER_CLOSED},
      {"closed inside the message ID", "\x01\x02", FR_PEER_CLOSED},
      {"closed before the token length", W::Word(6663), FR_COMMS_ERROR},
      {"closed before the token type", W::Word(6663) + W::Word(0), FR_COMMS_ERROR},
      {"closed before the client ID", W::Word(6003) + W::Word(0) + W::Word(1), FR_COMMS_ERROR},
      {"closed inside the token", W::Word(6663) + W::Word(10) + W::Word(0) + "abc", FR_COMMS_ERROR},
  };
  for (const Case& c : cases) {
    SocketPair p;
    ConnectionRecord record{};
    record.socket = p.server;
    if (!c.bytes.empty()) p.Send(c.bytes);
    p.EndClientSends();
    int32_t id = 0;
    EXPECT_EQ(GetCommand(&record, &id), c.status) << c.id;
    EXPECT_EQ(p.Pending(), "") << c.id;
  }
  EXPECT_EQ(GetCommand(nullptr, &messageID), FR_INVALID_PARAMETER);
  EXPECT_EQ(GetCommand(&conn, nullptr), FR_INVALID_PARAMETER);
}

TEST_F(RequestReaderTest, ATimeOutIsAFailureNotAWait) {
  struct timeval shortWait = {0, 20000};
  ASSERT_EQ(setsockopt(pair.server, SOL_SOCKET, SO_RCVTIMEO, &shortWait, sizeof shortWait), 0);
  EXPECT_EQ(Run(""), FR_COMMS_ERROR);                       // nothing at all
  EXPECT_EQ(Run(W::Word(6663) + W::Word(4)), FR_COMMS_ERROR);  // stops inside the header
  EXPECT_EQ(reply, "");
}

// A reset needs TCP: a loopback connection whose client closes with a hard
// reset (linger 0) after part of a message ID.
TEST_F(RequestReaderTest, AResetWhileTheMessageIDIsReadIsAClose) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  int server = accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);
  ASSERT_EQ(write(client, "\x01\x02", 2), 2);
  struct linger hard = {1, 0};
  ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
  close(client);
  ConnectionRecord record{};
  record.socket = server;
  int32_t id = 0;
  EXPECT_EQ(GetCommand(&record, &id), FR_PEER_CLOSED);
  close(server);
  close(listener);
}

}  // namespace
