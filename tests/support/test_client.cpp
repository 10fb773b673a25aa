// The tests' own protocol client: request bytes built by hand, the credential
// keystream, and bounded receives on a connected socket.
// Test support: calls the foundation's scrambler and byte-order helpers, POSIX sockets.
#include "support/test_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "foundation/crypto/scrambler.h"
#include "foundation/util/byte_order.h"
#include "support/loopback_connect.h"

// ---- Request builder -------------------------------------------------------------------

TestRequest& TestRequest::Header(int32_t messageID, int32_t tokType, const TestBytes& token) {
  return HeaderWithLength(messageID, static_cast<int32_t>(token.size()), tokType, token);
}

TestRequest& TestRequest::HeaderWithLength(int32_t messageID, int32_t tokLen, int32_t tokType,
                                           const TestBytes& token) {
  return Int(messageID).Int(tokLen).Int(tokType).Raw(token);
}

TestRequest& TestRequest::LogonHeader(int32_t clientID, int32_t tokType, const TestBytes& token) {
  return Int(kTestLogonMessage)
      .Int(static_cast<int32_t>(token.size()))
      .Int(tokType)
      .Int(clientID)
      .Raw(token);
}

TestRequest& TestRequest::Int(int32_t value) { return UInt(static_cast<uint32_t>(value)); }

TestRequest& TestRequest::UInt(uint32_t value) {
  unsigned char word[4];
  PutLE32(word, value);
  bytes_.insert(bytes_.end(), word, word + 4);
  return *this;
}

TestRequest& TestRequest::String(const std::optional<std::string>& text) {
  if (!text) return Int(0);
  TestBytes body(text->begin(), text->end());
  body.push_back(0);
  return StringWithLength(static_cast<int32_t>(body.size()), body);
}

TestRequest& TestRequest::String(const char* text) {
  return String(text ? std::optional<std::string>(text) : std::nullopt);
}

TestRequest& TestRequest::StringWithLength(int32_t length, const TestBytes& bytes) {
  return Int(length).Raw(bytes);
}

TestRequest& TestRequest::Raw(const TestBytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

TestRequest& TestRequest::Raw(const std::string& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

// ---- Tokens ------------------------------------------------------------------------------

TestBytes ClearCredentialToken(const std::string& user, const std::optional<std::string>& password) {
  TestBytes token(user.begin(), user.end());
  token.push_back(0);
  if (password) {
    token.insert(token.end(), password->begin(), password->end());
    token.push_back(0);
  }
  return token;
}

TestBytes ScrambleCredentialBytes(TestBytes bytes) {
  ScrambleBuffer(bytes.data(), bytes.size(), kTestCredentialSeed);
  return bytes;
}

TestBytes CredentialToken(const std::string& user, const std::optional<std::string>& password) {
  return ScrambleCredentialBytes(ClearCredentialToken(user, password));
}

TestBytes SIDToken(const TestSID& sid, int32_t version) {
  TestBytes token = TestRequest().Int(version).Int(4).Bytes();
  token.insert(token.end(), sid.begin(), sid.end());
  return token;
}

// ---- Client connection -------------------------------------------------------------------

TestClient::~TestClient() { Close(); }

TestClient::TestClient(TestClient&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), timeoutMs_(other.timeoutMs_) {}

TestClient& TestClient::operator=(TestClient&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    timeoutMs_ = other.timeoutMs_;
  }
  return *this;
}

void TestClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void TestClient::ShutdownWrite() {
  if (fd_ >= 0) shutdown(fd_, SHUT_WR);
}

TestClient TestClient::ConnectLoopback(int port, bool ipv6) {
  const int fd = ::ConnectLoopback(port, ipv6);
  return fd >= 0 ? TestClient(fd) : TestClient();
}

bool TestClient::Send(const TestBytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, timeoutMs_) <= 0) return false;
    ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool TestClient::WaitReadable(int ms) {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int rc;
  do {
    rc = poll(&p, 1, ms);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

bool TestClient::RecvBytes(size_t count, TestBytes* out) {
  out->clear();
  out->reserve(count);
  unsigned char piece[4096];
  while (out->size() < count) {
    if (!WaitReadable(timeoutMs_)) return false;
    size_t want = std::min(sizeof piece, count - out->size());
    ssize_t n = recv(fd_, piece, want, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    out->insert(out->end(), piece, piece + n);
  }
  return true;
}

std::optional<int32_t> TestClient::RecvInt() {
  TestBytes word;
  if (!RecvBytes(4, &word)) return std::nullopt;
  return static_cast<int32_t>(GetLE32(word.data()));
}

bool TestClient::RecvString(std::optional<std::string>* text, int32_t* length) {
  text->reset();
  std::optional<int32_t> len = RecvInt();
  if (!len) return false;
  if (length) *length = *len;
  if (*len < 1) return true;
  TestBytes body;
  if (!RecvBytes(static_cast<size_t>(*len), &body)) return false;
  const char* start = reinterpret_cast<const char*>(body.data());
  *text = std::string(start, strnlen(start, body.size()));
  return true;
}

std::vector<int32_t> TestClient::RecvInts(size_t count) {
  std::vector<int32_t> words;
  while (words.size() < count) {
    std::optional<int32_t> w = RecvInt();
    if (!w) break;
    words.push_back(*w);
  }
  return words;
}

bool TestClient::PeerClosed() {
  if (!WaitReadable(timeoutMs_)) return false;
  unsigned char byte;
  ssize_t n;
  do {
    n = recv(fd_, &byte, 1, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

bool TestClient::NothingPending(int ms) {
  if (fd_ < 0) return false;
  return !WaitReadable(ms);
}

// ---- Protocol steps ------------------------------------------------------------------------

TestClient::LogonReply TestClient::Logon(const std::string& user, const std::string& password,
                                         int32_t clientID, int32_t tokType) {
  return SendLogon(TestRequest().LogonHeader(clientID, tokType, CredentialToken(user, password)));
}

TestClient::LogonReply TestClient::SendLogon(const TestRequest& request) {
  LogonReply reply;
  if (!Send(request)) return reply;
  std::optional<int32_t> code = RecvInt();
  if (!code) return reply;
  reply.code = *code;
  if (*code == 4 || *code == 31) {
    reply.received = true;
    return reply;
  }
  if (*code != 0) {
    std::optional<int32_t> second = RecvInt();
    if (!second) return reply;
    reply.second = *second;
    reply.received = true;
    return reply;
  }
  std::optional<int32_t> version = RecvInt();
  std::optional<int32_t> length = version ? RecvInt() : std::nullopt;
  TestBytes sid;
  if (!length || !RecvBytes(4, &sid)) return reply;
  reply.sidVersion = *version;
  reply.sidLength = *length;
  std::memcpy(reply.sid.data(), sid.data(), 4);
  reply.received = true;
  return reply;
}

std::optional<int32_t> TestClient::AttachBySID(const TestSID& sid, int32_t clientID) {
  if (!Send(TestRequest().LogonHeader(clientID, kTokSID, SIDToken(sid)))) return std::nullopt;
  std::optional<int32_t> code = RecvInt();
  if (code && *code != 0 && !RecvInt()) return std::nullopt;
  return code;
}

std::optional<int32_t> TestClient::Request(int32_t messageID, const TestRequest& arguments) {
  TestRequest request;
  request.Header(messageID).Raw(arguments.Bytes());
  if (!Send(request)) return std::nullopt;
  std::optional<int32_t> code = RecvInt();
  if (code && *code != 0 && !RecvInt()) return std::nullopt;
  return code;
}

// ---- Socket pair -----------------------------------------------------------------------------

TestSocketPair::TestSocketPair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
    server = fds[0];
    client = TestClient(fds[1]);
  }
}

TestSocketPair::~TestSocketPair() { CloseServer(); }

void TestSocketPair::CloseServer() {
  if (server >= 0) close(server);
  server = -1;
}
