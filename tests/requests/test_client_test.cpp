// Tests of the tests' own protocol client: the request bytes it builds against
// bytes written by hand, its credential keystream against the server's
// descrambler, its reply parsing against scripted peers, and loopback
// connections over IPv4 and IPv6.
#include "support/test_client.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "foundation/crypto/scrambler.h"
#include "foundation/wire/wire.h"

namespace {

struct BuilderCase {
  const char* name;
  TestRequest request;
  TestBytes expected;
};

TEST(TestClientBuilder, BytesMatchHandWrittenFixtures) {
  const BuilderCase cases[] = {
      {"type0_header", TestRequest().Header(6628),
       {0xE4, 0x19, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"header_with_token", TestRequest().Header(6501, 5, {0xAA, 0xBB}),
       {0x65, 0x19, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 0xAA, 0xBB}},
      {"explicit_length", TestRequest().HeaderWithLength(6004, -1, 0, {}),
       {0x74, 0x17, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}},
      {"logon_header", TestRequest().LogonHeader(0x10203, 1, {0x01}),
       {0x73, 0x17, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0x03, 0x02, 0x01, 0, 0x01}},
      {"null_string", TestRequest().String(std::nullopt), {0, 0, 0, 0}},
      {"null_pointer_string", TestRequest().String(static_cast<const char*>(nullptr)), {0, 0, 0, 0}},
      {"empty_string", TestRequest().String(""), {1, 0, 0, 0, 0}},
      {"text_string", TestRequest().String("ab"), {3, 0, 0, 0, 'a', 'b', 0}},
      {"string_length_word", TestRequest().StringWithLength(9, {'x'}), {9, 0, 0, 0, 'x'}},
      {"negative_int", TestRequest().Int(-2), {0xFE, 0xFF, 0xFF, 0xFF}},
      {"unsigned_int", TestRequest().UInt(4000000006u), {0x06, 0x28, 0x6B, 0xEE}},
      {"raw_text", TestRequest().Raw(std::string("a\0b", 3)), {'a', 0, 'b'}},
      {"sid_token", TestRequest().Raw(SIDToken({0x11, 0x22, 0x33, 0x44})),
       {1, 0, 0, 0, 4, 0, 0, 0, 0x11, 0x22, 0x33, 0x44}},
      {"sid_token_version2", TestRequest().Raw(SIDToken({1, 2, 3, 4}, 2)),
       {2, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4}},
  };
  for (const BuilderCase& c : cases) {
    EXPECT_EQ(c.expected, c.request.Bytes()) << c.name;
  }
}

TEST(TestClientBuilder, CredentialTokenIsWhatTheServerDescrambles) {
  EXPECT_EQ((TestBytes{'a', 'b', 0, 'c', 0}), ClearCredentialToken("ab", std::string("c")));
  EXPECT_EQ((TestBytes{'a', 'b', 0}), ClearCredentialToken("ab", std::nullopt));
  EXPECT_EQ((TestBytes{0, 0}), ClearCredentialToken("", std::string("")));

  TestBytes sent = CredentialToken("administrator", std::string("pass"));
  TestBytes clear = ClearCredentialToken("administrator", std::string("pass"));
  ASSERT_EQ(clear.size(), sent.size());
  EXPECT_NE(clear, sent);
  DescrambleBuffer(sent.data(), sent.size(), 0x1B4D3);
  EXPECT_EQ(clear, sent);
}

// A scripted peer: writes `bytes` on the server end, then closes it.
void Script(TestSocketPair& pair, const TestBytes& bytes) {
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(pair.server, bytes.data(), bytes.size()));
}

struct LogonReplyCase {
  const char* name;
  TestBytes reply;
  bool received;
  int32_t code;
  int32_t second;
};

TEST(TestClientReplies, LogonRepliesAreParsedByShape) {
  const LogonReplyCase cases[] = {
      {"ok_with_sid", TestRequest().Int(0).Int(1).Int(4).Raw(TestBytes{9, 8, 7, 6}).Bytes(), true, 0, 0},
      {"must_change", TestRequest().Int(50).Int(7).Bytes(), true, 50, 7},
      {"refused_with_flags", TestRequest().Int(32).Int(24).Bytes(), true, 32, 24},
      {"comms_failure_alone", TestRequest().Int(4).Bytes(), true, 4, 0},
      {"token_too_large_alone", TestRequest().Int(31).Bytes(), true, 31, 0},
      {"sid_cut_short", TestRequest().Int(0).Int(1).Int(4).Raw(TestBytes{9}).Bytes(), false, 0, 0},
      {"nothing", {}, false, -1, 0},
  };
  for (const LogonReplyCase& c : cases) {
    TestSocketPair pair;
    pair.client.SetTimeoutMs(200);  // bounds the cases cut short
    Script(pair, c.reply);
    TestClient::LogonReply r = pair.client.Logon("u", "p", 1);
    EXPECT_EQ(c.received, r.received) << c.name;
    if (c.received) {
      EXPECT_EQ(c.code, r.code) << c.name;
      EXPECT_EQ(c.second, r.second) << c.name;
    }
    if (c.code == 0 && c.received) {
      EXPECT_EQ(1, r.sidVersion);
      EXPECT_EQ(4, r.sidLength);
      EXPECT_EQ((TestSID{9, 8, 7, 6}), r.sid);
    }
  }
}

TEST(TestClientReplies, LogonSendsTheScrambledHeader) {
  TestSocketPair pair;
  Script(pair, TestRequest().Int(32).Int(0).Bytes());
  pair.client.Logon("bob", "pw", 77, kTokAuto);
  TestBytes expected = TestRequest().LogonHeader(77, kTokAuto, CredentialToken("bob", std::string("pw"))).Bytes();
  TestBytes got(expected.size());
  ASSERT_EQ(static_cast<ssize_t>(got.size()), read(pair.server, got.data(), got.size()));
  EXPECT_EQ(expected, got);
}

TEST(TestClientReplies, StringsIntsAndClosure) {
  TestSocketPair pair;
  pair.client.SetTimeoutMs(2000);
  Script(pair, TestRequest().String("hi").String(std::nullopt).String("").Int(-5).Int(6).Bytes());
  std::optional<std::string> text;
  int32_t length = 0;
  ASSERT_TRUE(pair.client.RecvString(&text, &length));
  EXPECT_EQ(3, length);
  EXPECT_EQ("hi", text.value_or("<null>"));
  ASSERT_TRUE(pair.client.RecvString(&text, &length));
  EXPECT_EQ(0, length);
  EXPECT_FALSE(text.has_value());
  ASSERT_TRUE(pair.client.RecvString(&text, &length));
  EXPECT_EQ(1, length);
  EXPECT_EQ("", text.value_or("<null>"));
  EXPECT_EQ((std::vector<int32_t>{-5, 6}), pair.client.RecvInts(2));
  EXPECT_TRUE(pair.client.NothingPending(20));
  pair.CloseServer();
  EXPECT_TRUE(pair.client.PeerClosed());
  EXPECT_FALSE(pair.client.RecvInt().has_value());
}

TEST(TestClientReplies, ReceiveGivesUpAfterItsTimeout) {
  TestSocketPair pair;
  pair.client.SetTimeoutMs(50);
  Script(pair, {1, 2});  // half a word, then silence
  EXPECT_FALSE(pair.client.RecvInt().has_value());
  EXPECT_FALSE(pair.client.PeerClosed());
}

TEST(TestClientReplies, RequestReadsTheAcceptWordOrARefusalWithItsFlags) {
  TestSocketPair pair;
  pair.client.SetTimeoutMs(2000);
  Script(pair, TestRequest().Int(0).Int(27).Int(24).Int(99).Bytes());
  EXPECT_EQ(0, pair.client.Request(6628));
  EXPECT_EQ(27, pair.client.Request(6501, TestRequest().Int(3)));
  EXPECT_EQ(99, pair.client.RecvInt());
  TestBytes expected = TestRequest().Header(6628).Header(6501).Int(3).Bytes();
  TestBytes got(expected.size());
  ASSERT_EQ(static_cast<ssize_t>(got.size()), read(pair.server, got.data(), got.size()));
  EXPECT_EQ(expected, got);
}

// A listener on a free loopback port of the family; -1 when it cannot open.
int OpenLoopbackListener(bool ipv6, int* port) {
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_storage ss{};
  socklen_t len;
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  return fd;
}

TEST(TestClientConnect, LoopbackOverBothFamiliesCarriesWireValues) {
  for (bool ipv6 : {false, true}) {
    int port = 0;
    int listener = OpenLoopbackListener(ipv6, &port);
    if (listener < 0 && ipv6) GTEST_SKIP() << "no IPv6 loopback here";
    ASSERT_GE(listener, 0);
    TestClient client = TestClient::ConnectLoopback(port, ipv6);
    ASSERT_TRUE(client.Connected()) << ipv6;
    int served = accept(listener, nullptr, nullptr);
    ASSERT_GE(served, 0);
    // The server's own wire code reads what the client sends and answers.
    ASSERT_TRUE(client.Send(TestRequest().Int(6628).String("abc")));
    int32_t id = 0;
    EXPECT_EQ(4, RecvInt(served, &id));
    EXPECT_EQ(6628, id);
    WireStatus status = WIRE_COMMS_FAILURE;
    EXPECT_EQ("abc", RecvString(served, &status).value_or("<null>"));
    EXPECT_EQ(WIRE_OK, status);
    EXPECT_EQ(4, SendInt(served, 10));
    EXPECT_EQ(10, client.RecvInt());
    close(served);
    EXPECT_TRUE(client.PeerClosed());
    close(listener);
  }
}

TEST(TestClientConnect, NoListenerGivesAnUnconnectedClient) {
  int port = 0;
  int listener = OpenLoopbackListener(false, &port);
  ASSERT_GE(listener, 0);
  close(listener);  // the port is now free and nothing listens on it
  TestClient client = TestClient::ConnectLoopback(port);
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(client.RecvInt().has_value());
}

}  // namespace
