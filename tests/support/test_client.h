// The tests' own protocol client: builds request bytes (headers, the logon
// header with its client ID, scrambled credential tokens, SID tokens, wire
// integers, strings and raw blocks) and sends and receives them on a connected
// socket, every receive bounded by a time-out so that a test never hangs.
// Test support: calls the foundation's scrambler and byte-order helpers, POSIX sockets.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using TestBytes = std::vector<unsigned char>;

// ---- Protocol constants the tests share ------------------------------------------

constexpr int32_t kTestLogonMessage = 6003;          // the only header with a client ID
constexpr uint32_t kTestCredentialSeed = 0x1B4D3;    // keystream seed of credential tokens
constexpr int kTestDefaultTimeoutMs = 5000;          // bound of each receive

// Token types of the request header.
enum TestTokenType : int32_t {
  kTokNone = 0,
  kTokInternal = 1,
  kTokADUserPassword = 2,
  kTokADUser = 3,
  kTokADToken = 4,
  kTokSID = 5,
  kTokInternalOther = 6,
  kTokInternalPasswordChange = 7,
  kTokAuto = 8,
  kTokAutoKeepLogon = 9,
};

// ---- Request builder -----------------------------------------------------------------

// Bytes of one request, appended in wire order. Every method returns the
// builder, so a request reads as one expression:
//   TestRequest().Header(6503).String("bob").Int(1).Int(0)
class TestRequest {
 public:
  // A request header without a client ID: messageID, token length, token
  // type, then the token bytes (for every message but 6003).
  TestRequest& Header(int32_t messageID, int32_t tokType = kTokNone, const TestBytes& token = {});
  // The same with an explicit token length word, which may disagree with the
  // bytes sent (negative, over 2048, longer than the token).
  TestRequest& HeaderWithLength(int32_t messageID, int32_t tokLen, int32_t tokType,
                                const TestBytes& token);
  // The logon header: 6003, token length, token type, client ID, token.
  TestRequest& LogonHeader(int32_t clientID, int32_t tokType, const TestBytes& token);

  TestRequest& Int(int32_t value);
  TestRequest& UInt(uint32_t value);
  // A wire string: nullopt sends the length word 0 (a null string); a text
  // sends its length + 1, the bytes and a NUL ("" is 01 00 00 00 00).
  TestRequest& String(const std::optional<std::string>& text);
  TestRequest& String(const char* text);  // null pointer: a null string
  // A wire string with an explicit length word followed by exactly `bytes`.
  TestRequest& StringWithLength(int32_t length, const TestBytes& bytes);
  // Raw bytes, as they are.
  TestRequest& Raw(const TestBytes& bytes);
  TestRequest& Raw(const std::string& bytes);

  const TestBytes& Bytes() const { return bytes_; }

 private:
  TestBytes bytes_;
};

// ---- Tokens ----------------------------------------------------------------------------

// The clear credential token: the user name, a NUL, and (when given) the
// password and a NUL.
TestBytes ClearCredentialToken(const std::string& user, const std::optional<std::string>& password);
// The same scrambled with the keystream from kTestCredentialSeed, as a client
// sends it.
TestBytes CredentialToken(const std::string& user, const std::optional<std::string>& password);
// Scrambles (or unscrambles) any bytes with the credential keystream.
TestBytes ScrambleCredentialBytes(TestBytes bytes);

// A session ID as it travels: the 4 bytes after the version and length words.
using TestSID = std::array<unsigned char, 4>;
// The 12-byte SID token: version word, length word 4, the 4 SID bytes.
TestBytes SIDToken(const TestSID& sid, int32_t version = 1);

// ---- Client connection -------------------------------------------------------------------

// One client end of a connection. Owns its descriptor and closes it.
class TestClient {
 public:
  TestClient() = default;
  explicit TestClient(int fd) : fd_(fd) {}  // adopts a connected socket
  ~TestClient();
  TestClient(TestClient&& other) noexcept;
  TestClient& operator=(TestClient&& other) noexcept;
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  // Connects to 127.0.0.1 (ipv6 false) or ::1 (ipv6 true) on `port`; a
  // client that is not connected when that fails (Connected() false).
  static TestClient ConnectLoopback(int port, bool ipv6 = false);

  bool Connected() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Close();
  // Closes the sending side only (shutdown SHUT_WR): the peer reads end of stream.
  void ShutdownWrite();
  // The bound of every later receive, in milliseconds.
  void SetTimeoutMs(int ms) { timeoutMs_ = ms; }

  // Sends every byte; false when the connection refused some of them.
  bool Send(const TestBytes& bytes);
  bool Send(const TestRequest& request) { return Send(request.Bytes()); }

  // Receives exactly `count` bytes. False when the peer closed, an error
  // occurred or the time-out passed first; `out` then holds what arrived.
  bool RecvBytes(size_t count, TestBytes* out);
  // A wire integer; nullopt on any failure.
  std::optional<int32_t> RecvInt();
  // A wire string: true with nullopt for a length word of 0 or below, true
  // with the text before its NUL otherwise; false when it did not arrive.
  // `length` (when given) receives the length word.
  bool RecvString(std::optional<std::string>* text, int32_t* length = nullptr);
  // The integers until `count` have arrived; shorter on failure.
  std::vector<int32_t> RecvInts(size_t count);

  // True when the peer closes the connection (end of stream or reset) within
  // the time-out without sending another byte.
  bool PeerClosed();
  // True when nothing arrives within `ms` and the connection stays open.
  bool NothingPending(int ms);

  // ---- Protocol steps ----

  // The reply to a logon on 6003: the code, then the SID (code 0) or the
  // second word (the AuthenticationFlags, or 7 after 50).
  struct LogonReply {
    bool received = false;  // false: the reply did not arrive whole
    int32_t code = -1;
    int32_t second = 0;     // flags word, or 7 after 50; 0 when none follows
    int32_t sidVersion = 0;
    int32_t sidLength = 0;
    TestSID sid{};
  };
  // Sends a logon of `tokType` with a credential token for user/password and
  // reads its reply. Code 4 and 31 are followed by nothing.
  LogonReply Logon(const std::string& user, const std::string& password, int32_t clientID,
                   int32_t tokType = kTokInternal);
  // Sends a whole logon request as built (a password-changing logon with its
  // new password, say) and reads its reply as Logon does.
  LogonReply SendLogon(const TestRequest& request);
  // Re-attaches to `sid` on 6003 with `clientID`; the reply code (0, or the
  // refusal after which the flags word is read and dropped), nullopt when
  // no reply arrived.
  std::optional<int32_t> AttachBySID(const TestSID& sid, int32_t clientID);
  // Sends a type-0 header of `messageID` followed by `arguments` and reads the
  // request reader's word: 0 when accepted; a refusal's code (its flags word
  // read and dropped); nullopt when none arrived.
  std::optional<int32_t> Request(int32_t messageID, const TestRequest& arguments = TestRequest());

 private:
  // Waits until the socket is readable or the time-out passes.
  bool WaitReadable(int ms);

  int fd_ = -1;
  int timeoutMs_ = kTestDefaultTimeoutMs;
};

// A connected pair for tests that run one end in process: `server` is the
// server's side (a descriptor the test owns and closes), `client` the peer.
struct TestSocketPair {
  int server = -1;
  TestClient client;
  TestSocketPair();
  ~TestSocketPair();
  TestSocketPair(const TestSocketPair&) = delete;
  TestSocketPair& operator=(const TestSocketPair&) = delete;
  // Closes the server's end now (the destructor then leaves it).
  void CloseServer();
};
