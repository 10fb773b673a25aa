// Tests of the wire values over a local socket pair (one end is the server's
// connection, the other the client), and of transport strings against blocks
// written by hand.
#include "foundation/wire/wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/clock.h"

namespace {

using Bytes = std::vector<unsigned char>;

void SetReceiveTimeout(int fd, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  ASSERT_EQ(0, setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv));
}

// A connected pair: `server` is the end under test, `client` the peer.
class WireSocketTest : public ::testing::Test {
 protected:
  int server = -1;
  int client = -1;

  void Open(int type) {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, type, 0, fds));
    server = fds[0];
    client = fds[1];
    // No test may hang on a missing byte.
    SetReceiveTimeout(server, 5000);
    SetReceiveTimeout(client, 5000);
  }
  void SetUp() override { Open(SOCK_STREAM); }
  void TearDown() override {
    if (server >= 0) close(server);
    if (client >= 0) close(client);
    ClearClockOverride();
  }
  void Reopen(int type) {
    TearDown();
    server = client = -1;
    Open(type);
  }
  void CloseClient() {
    close(client);
    client = -1;
  }

  void ClientWrites(const Bytes& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
              send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL));
  }
  Bytes ClientReads(size_t count) {
    Bytes got(count);
    size_t have = 0;
    while (have < count) {
      ssize_t n = recv(client, got.data() + have, count - have, 0);
      if (n <= 0) break;
      have += static_cast<size_t>(n);
    }
    got.resize(have);
    return got;
  }
  // True when the given end has no byte waiting.
  static bool NothingPending(int fd) {
    unsigned char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN;
  }
};

// ---- Wire strings: exact bytes ---------------------------------------------------

TEST_F(WireSocketTest, SendStringWritesExactBytes) {
  const std::optional<std::string> absent;
  const std::optional<std::string> present = std::string("abc");
  const std::string withNul("a\0b", 3);
  struct Case {
    const char* name;
    WireText text;
    Bytes bytes;
  } cases[] = {
      {"null pointer", WireText(static_cast<const char*>(nullptr)), {0, 0, 0, 0}},
      {"nullopt", WireText(absent), {0, 0, 0, 0}},
      {"empty", WireText(""), {1, 0, 0, 0, 0}},
      {"abc", WireText("abc"), {4, 0, 0, 0, 'a', 'b', 'c', 0}},
      {"optional abc", WireText(present), {4, 0, 0, 0, 'a', 'b', 'c', 0}},
      {"string with NUL inside", WireText(withNul), {4, 0, 0, 0, 'a', 0, 'b', 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(WIRE_OK, SendString(server, c.text));
    EXPECT_EQ(c.bytes, ClientReads(c.bytes.size()));
    EXPECT_TRUE(NothingPending(client));
  }
}

TEST_F(WireSocketTest, RecvStringReadsHandWrittenStrings) {
  // Each case is followed on the stream by the word 0x0A0B0C0D, which must
  // still read correctly: a string takes exactly its own bytes.
  struct Case {
    const char* name;
    Bytes bytes;
    std::optional<std::string> text;
  } cases[] = {
      {"abc", {4, 0, 0, 0, 'a', 'b', 'c', 0}, std::string("abc")},
      {"empty", {1, 0, 0, 0, 0}, std::string()},
      {"null", {0, 0, 0, 0}, std::nullopt},
      {"length -1 is null", {0xFF, 0xFF, 0xFF, 0xFF}, std::nullopt},
      {"length INT_MIN is null", {0, 0, 0, 0x80}, std::nullopt},
      {"no NUL: all L bytes", {3, 0, 0, 0, 'x', 'y', 'z'}, std::string("xyz")},
      {"ends at first NUL", {5, 0, 0, 0, 'a', 0, 'b', 'c', 0}, std::string("a")},
      {"high bytes kept", {3, 0, 0, 0, 0xC3, 0xA9, 0}, std::string("\xC3\xA9")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes stream = c.bytes;
    stream.insert(stream.end(), {0x0D, 0x0C, 0x0B, 0x0A});
    ClientWrites(stream);
    WireStatus status = WIRE_COMMS_FAILURE;
    std::optional<std::string> got = RecvString(server, &status);
    EXPECT_EQ(WIRE_OK, status);
    EXPECT_EQ(c.text, got);
    int32_t next = 0;
    EXPECT_EQ(4, RecvInt(server, &next));
    EXPECT_EQ(0x0A0B0C0D, next);
  }
}

TEST_F(WireSocketTest, RecvStringWithoutStatusAddress) {
  ClientWrites({2, 0, 0, 0, 'q', 0});
  EXPECT_EQ(std::optional<std::string>("q"), RecvString(server, nullptr));
}

TEST_F(WireSocketTest, StringRoundTripKeepsNullApartFromEmpty) {
  for (const std::optional<std::string>& text :
       {std::optional<std::string>(), std::optional<std::string>(""),
        std::optional<std::string>(std::string(9000, 'k'))}) {
    ASSERT_EQ(WIRE_OK, SendString(client, text));
    WireStatus status = WIRE_COMMS_FAILURE;
    EXPECT_EQ(text, RecvString(server, &status));
    EXPECT_EQ(WIRE_OK, status);
  }
}

// ---- Wire strings: failures --------------------------------------------------------

TEST_F(WireSocketTest, RecvStringPeerClosingGivesCommsFailure) {
  struct Case {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"nothing sent", {}},
      {"half a length word", {4, 0}},
      {"length only", {4, 0, 0, 0}},
      {"part of the text", {4, 0, 0, 0, 'a', 'b'}},
      // The ceiling announced, two bytes sent: a failed read, not a wait for
      // memory the client never filled.
      {"a long string cut short", {0, 0, 0, 0x10, 'a', 'b'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reopen(SOCK_STREAM);
    if (!c.bytes.empty()) ClientWrites(c.bytes);
    CloseClient();
    WireStatus status = WIRE_OK;
    EXPECT_EQ(std::nullopt, RecvString(server, &status));
    EXPECT_EQ(WIRE_COMMS_FAILURE, status);
  }
}

TEST_F(WireSocketTest, ReceiveTimeOutIsAFailedRead) {
  SetReceiveTimeout(server, 50);
  int32_t value = 99;
  EXPECT_LT(RecvInt(server, &value), 0);
  EXPECT_EQ(0, value);

  ClientWrites({8, 0, 0, 0, 'a'});  // 7 bytes of text never come
  WireStatus status = WIRE_OK;
  EXPECT_EQ(std::nullopt, RecvString(server, &status));
  EXPECT_EQ(WIRE_COMMS_FAILURE, status);
}

TEST_F(WireSocketTest, OverLongStringIsDroppedAndStreamStaysInStep) {
  // One string just over the ceiling (refused, its bytes dropped), then one of
  // exactly the ceiling (accepted), then a word. The writer streams the 128 MiB
  // from one small piece, through socket buffers made large to keep the two
  // threads from trading a few kilobytes at a time.
  const int bufferBytes = 4 << 20;
  setsockopt(client, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
  setsockopt(server, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
  const int32_t over = kMaxWireStringLength + 1;
  SetReceiveTimeout(server, 60000);  // a loaded or sanitized machine may be slow to stream 128 MiB
  std::thread writer([&] {
    const Bytes piece(1 << 20, 'z');
    auto sendText = [&](int32_t length, bool endWithNul) {
      unsigned char word[4];
      PutLE32(word, static_cast<uint32_t>(length));
      ASSERT_EQ(4, SendAll(client, word, 4, 0));
      int32_t left = length - (endWithNul ? 1 : 0);
      while (left > 0) {
        int n = std::min<int32_t>(left, static_cast<int32_t>(piece.size()));
        ASSERT_EQ(n, SendAll(client, piece.data(), n, 0));
        left -= n;
      }
      if (endWithNul) {
        ASSERT_EQ(1, SendAll(client, "", 1, 0));
      }
    };
    sendText(over, false);
    sendText(kMaxWireStringLength, true);
    const unsigned char next[4] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(4, SendAll(client, next, 4, 0));
  });
  WireStatus status = WIRE_OK;
  EXPECT_EQ(std::nullopt, RecvString(server, &status));
  EXPECT_EQ(WIRE_NO_MEMORY, status);

  std::optional<std::string> atCeiling = RecvString(server, &status);
  EXPECT_EQ(WIRE_OK, status);
  ASSERT_TRUE(atCeiling.has_value());
  EXPECT_EQ(static_cast<size_t>(kMaxWireStringLength - 1), atCeiling->size());
  EXPECT_EQ(std::string::npos, atCeiling->find_first_not_of('z'));

  int32_t next = 0;
  EXPECT_EQ(4, RecvInt(server, &next));
  EXPECT_EQ(0x12345678, next);
  writer.join();
}

TEST_F(WireSocketTest, OverLongStringWhoseBytesNeverComeGivesCommsFailure) {
  // The client announces 2 GiB and closes: dropping fails, the stream is out of step.
  ClientWrites({0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b', 'c'});
  CloseClient();
  WireStatus status = WIRE_OK;
  EXPECT_EQ(std::nullopt, RecvString(server, &status));
  EXPECT_EQ(WIRE_COMMS_FAILURE, status);
}

TEST_F(WireSocketTest, SendingToAClosedPeerFailsWithoutSignal) {
  CloseClient();
  EXPECT_EQ(WIRE_COMMS_FAILURE, SendString(server, "abc"));
  EXPECT_EQ(-1, SendInt(server, int32_t{1}));
  unsigned char block[100] = {};
  EXPECT_EQ(-1, SendBuffer(server, block, 100, 0));
}

// ---- Integers and times -----------------------------------------------------------

TEST_F(WireSocketTest, IntegersAreLittleEndian) {
  EXPECT_EQ(4, SendInt(server, int32_t{0x12345678}));
  EXPECT_EQ((Bytes{0x78, 0x56, 0x34, 0x12}), ClientReads(4));
  EXPECT_EQ(4, SendInt(server, int32_t{-2}));
  EXPECT_EQ((Bytes{0xFE, 0xFF, 0xFF, 0xFF}), ClientReads(4));
  EXPECT_EQ(4, SendInt(server, uint32_t{0xEE6B2803u}));
  EXPECT_EQ((Bytes{0x03, 0x28, 0x6B, 0xEE}), ClientReads(4));

  ClientWrites({0x03, 0x28, 0x6B, 0xEE, 0xFE, 0xFF, 0xFF, 0xFF});
  uint32_t uid = 0;
  EXPECT_EQ(4, RecvInt(server, &uid));
  EXPECT_EQ(0xEE6B2803u, uid);
  int32_t signedWord = 0;
  EXPECT_EQ(4, RecvInt(server, &signedWord));
  EXPECT_EQ(-2, signedWord);
}

TEST_F(WireSocketTest, SendTimeSendsTheClockAsAWord) {
  SetClockOverride(0x5F5E1001);
  EXPECT_EQ(4, SendTime(server));
  EXPECT_EQ((Bytes{0x01, 0x10, 0x5E, 0x5F}), ClientReads(4));
}

// ---- Raw blocks -------------------------------------------------------------------

TEST_F(WireSocketTest, SendAllGoesOutInPiecesOf8000) {
  // A packet socket keeps each send as one record, so the pieces can be seen.
  Reopen(SOCK_SEQPACKET);
  Bytes block(20000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7);
  EXPECT_EQ(20000, SendAll(server, block.data(), 20000, 0));

  Bytes received;
  std::vector<ssize_t> pieces;
  unsigned char record[65536];
  while (received.size() < block.size()) {
    ssize_t n = recv(client, record, sizeof record, 0);
    ASSERT_GT(n, 0);
    pieces.push_back(n);
    received.insert(received.end(), record, record + n);
  }
  EXPECT_EQ((std::vector<ssize_t>{8000, 8000, 4000}), pieces);
  EXPECT_EQ(block, received);
}

TEST_F(WireSocketTest, SendAllOfNothingSendsNothing) {
  unsigned char byte = 0;
  EXPECT_EQ(0, SendAll(server, &byte, 0, 0));
  EXPECT_TRUE(NothingPending(client));
}

TEST_F(WireSocketTest, RecvAllCollectsSmallSegments) {
  Reopen(SOCK_SEQPACKET);
  Bytes expected;
  for (int segment = 0; segment < 50; ++segment) {
    Bytes piece(100, static_cast<unsigned char>(segment));
    ClientWrites(piece);
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  Bytes buffer(5000);
  EXPECT_EQ(5000, RecvAll(server, buffer.data(), 5000, 0));
  EXPECT_EQ(expected, buffer);
}

TEST_F(WireSocketTest, RecvAllReportsWhatEndedIt) {
  ClientWrites({1, 2, 3});
  CloseClient();
  unsigned char buffer[10];
  EXPECT_EQ(0, RecvAll(server, buffer, 10, 0));  // peer closed
  EXPECT_EQ(1, buffer[0]);                        // what came stays in the buffer

  Reopen(SOCK_STREAM);
  SetReceiveTimeout(server, 50);
  EXPECT_EQ(-1, RecvAll(server, buffer, 10, 0));  // timed out
}

TEST_F(WireSocketTest, DiscardBytes) {
  Bytes stream(2500, 0xAA);
  stream.insert(stream.end(), {0x2A, 0, 0, 0});
  ClientWrites(stream);
  EXPECT_EQ(0, DiscardBytes(server, 2500));
  EXPECT_EQ(0, DiscardBytes(server, 0));  // reads nothing
  int32_t next = 0;
  EXPECT_EQ(4, RecvInt(server, &next));
  EXPECT_EQ(42, next);

  EXPECT_EQ(4, DiscardBytes(server, -1));
  ClientWrites(Bytes(10, 0));
  CloseClient();
  EXPECT_EQ(4, DiscardBytes(server, 11));
}

TEST_F(WireSocketTest, DrainSocketDropsEverythingPending) {
  ClientWrites(Bytes(3000, 0x55));
  ASSERT_EQ(0, fcntl(server, F_SETFL, fcntl(server, F_GETFL) | O_NONBLOCK));
  EXPECT_EQ(-1, DrainSocket(server));  // ends when the peek finds nothing (EAGAIN)
  EXPECT_TRUE(NothingPending(server));
}

// ---- Little-endian words ------------------------------------------------------------

TEST(WireWords, PutAndGetAtAnyOffset) {
  unsigned char block[7] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  PutLE32(block + 1, 0x01020304);
  EXPECT_EQ((Bytes{0xEE, 0x04, 0x03, 0x02, 0x01, 0xEE, 0xEE}), Bytes(block, block + 7));
  EXPECT_EQ(0x01020304u, GetLE32(block + 1));
  EXPECT_EQ(0xEE010203u, GetLE32(block + 2));

  Bytes appended;
  EXPECT_TRUE(AppendLE32(appended, 0xDEADBEEF));
  EXPECT_EQ((Bytes{0xEF, 0xBE, 0xAD, 0xDE}), appended);
}

TEST(WireWords, ReadLE32StaysInsideTheBlock) {
  const Bytes block = {1, 0, 0, 0, 2, 0, 0};
  size_t offset = 0;
  uint32_t value = 0;
  EXPECT_TRUE(ReadLE32(block.data(), block.size(), &offset, &value));
  EXPECT_EQ(1u, value);
  EXPECT_EQ(4u, offset);
  EXPECT_FALSE(ReadLE32(block.data(), block.size(), &offset, &value));  // 3 bytes left
  EXPECT_EQ(0u, value);
  EXPECT_EQ(4u, offset);
  offset = 100;
  EXPECT_FALSE(ReadLE32(block.data(), block.size(), &offset, &value));
  EXPECT_EQ(100u, offset);
}

// ---- Transport strings -----------------------------------------------------------------

TEST(TransportString, Sizes) {
  EXPECT_EQ(8u, GetTransportStringSize("abc"));
  EXPECT_EQ(5u, GetTransportStringSize(""));
  EXPECT_EQ(4u, GetTransportStringSize(static_cast<const char*>(nullptr)));
  EXPECT_EQ(4u, GetTransportStringSize(std::optional<std::string>()));
  EXPECT_EQ(13u, GetTransportStringSize(std::string("eight...")));
}

TEST(TransportString, PutAtOffsetWritesExactBytes) {
  unsigned char block[32];
  std::memset(block, 0xEE, sizeof block);
  size_t offset = 20;
  EXPECT_TRUE(PutTransportString(block, sizeof block, &offset, "abc"));
  EXPECT_EQ(28u, offset);
  EXPECT_EQ((Bytes{0xEE, 4, 0, 0, 0, 'a', 'b', 'c', 0, 0xEE}), Bytes(block + 19, block + 29));

  // Does not fit: nothing written, offset kept.
  offset = 25;
  EXPECT_FALSE(PutTransportString(block, sizeof block, &offset, "abc"));
  EXPECT_EQ(25u, offset);
  EXPECT_EQ(0xEE, block[28]);
  EXPECT_FALSE(PutTransportString(nullptr, 0, &offset, "abc"));
  EXPECT_FALSE(PutTransportString(block, sizeof block, nullptr, "abc"));
}

TEST(TransportString, AppendWritesExactBytes) {
  Bytes block = {0x99};
  EXPECT_TRUE(PutTransportString(block, static_cast<const char*>(nullptr)));
  EXPECT_TRUE(PutTransportString(block, std::string()));
  EXPECT_TRUE(PutTransportString(block, std::optional<std::string>("ab")));
  EXPECT_EQ((Bytes{0x99, 0, 0, 0, 0, 1, 0, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 0}), block);
}

TEST(TransportString, GetFromHandWrittenBlocks) {
  struct Case {
    const char* name;
    Bytes block;
    size_t start;
    std::optional<std::string> text;
    int failReason;
    size_t end;  // offset afterwards
  } cases[] = {
      {"abc", {4, 0, 0, 0, 'a', 'b', 'c', 0}, 0, std::string("abc"), 0, 8},
      {"absent", {0, 0, 0, 0, 'x'}, 0, std::nullopt, 0, 4},
      {"empty", {1, 0, 0, 0, 0}, 0, std::string(), 0, 5},
      {"unaligned", {0xEE, 2, 0, 0, 0, 'q', 0, 0xEE}, 1, std::string("q"), 0, 7},
      {"NUL before the end", {4, 0, 0, 0, 'a', 0, 'c', 0}, 0, std::string("a"), 0, 8},
      {"length past the end", {5, 0, 0, 0, 'a', 'b', 'c', 0}, 0, std::nullopt, 2, 0},
      {"huge length", {0xFF, 0xFF, 0xFF, 0xFF, 'a', 0}, 0, std::nullopt, 2, 0},
      {"no NUL inside the length", {3, 0, 0, 0, 'a', 'b', 'c'}, 0, std::nullopt, 2, 0},
      {"length word cut", {4, 0, 0}, 0, std::nullopt, 2, 0},
      {"offset at the end", {0, 0, 0, 0}, 4, std::nullopt, 2, 4},
      {"offset past the end", {0, 0, 0, 0}, 9, std::nullopt, 2, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A heap copy of exactly the block's size, so any read past it is caught.
    std::unique_ptr<unsigned char[]> exact(new unsigned char[c.block.size()]);
    std::memcpy(exact.get(), c.block.data(), c.block.size());
    size_t offset = c.start;
    int failReason = -7;
    EXPECT_EQ(c.text, GetTransportString(exact.get(), c.block.size(), &offset, &failReason));
    EXPECT_EQ(c.failReason, failReason);
    EXPECT_EQ(c.end, offset);
  }
}

TEST(TransportString, GetWithoutBlockOrOffsetIsRefused) {
  const unsigned char block[4] = {0, 0, 0, 0};
  size_t offset = 0;
  int failReason = 0;
  EXPECT_EQ(std::nullopt, GetTransportString(nullptr, 4, &offset, &failReason));
  EXPECT_EQ(2, failReason);
  EXPECT_EQ(std::nullopt, GetTransportString(block, 4, nullptr, &failReason));
  EXPECT_EQ(2, failReason);
  EXPECT_EQ(std::nullopt, GetTransportString(block, 4, &offset, nullptr));
  EXPECT_EQ(4u, offset);
}

TEST(TransportString, BlockOfMixedFieldsReadsBack) {
  // A word, three strings and a word, packed with no alignment.
  Bytes block;
  AppendLE32(block, 7);
  PutTransportString(block, "name");
  PutTransportString(block, nullptr);
  PutTransportString(block, std::string(""));
  AppendLE32(block, 0xEE6B2803u);
  ASSERT_EQ(4 + 9 + 4 + 5 + 4u, block.size());

  size_t offset = 0;
  uint32_t word = 0;
  int failReason = -1;
  ASSERT_TRUE(ReadLE32(block.data(), block.size(), &offset, &word));
  EXPECT_EQ(7u, word);
  EXPECT_EQ(std::optional<std::string>("name"),
            GetTransportString(block.data(), block.size(), &offset, &failReason));
  EXPECT_EQ(std::nullopt, GetTransportString(block.data(), block.size(), &offset, &failReason));
  EXPECT_EQ(0, failReason);
  EXPECT_EQ(std::optional<std::string>(""),
            GetTransportString(block.data(), block.size(), &offset, &failReason));
  ASSERT_TRUE(ReadLE32(block.data(), block.size(), &offset, &word));
  EXPECT_EQ(0xEE6B2803u, word);
  EXPECT_EQ(block.size(), offset);
}

}  // namespace
