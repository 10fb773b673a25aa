// A connected socketpair for driving handlers without a server loop: the
// handler is given `server`, the test plays the client on `client`. Bytes the
// handler sent are read with Pending (never blocks).
#pragma once

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "foundation/util/byte_order.h"

struct SocketPair {
  int server = -1;
  int client = -1;
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      server = fds[0];
      client = fds[1];
    }
  }
  ~SocketPair() {
    if (server >= 0) close(server);
    if (client >= 0) close(client);
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;

  // Client side: sends raw bytes / a wire integer / a wire string (L = length + 1).
  void Send(const std::string& bytes) const {
    ASSERT_EQ(write(client, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void SendWord(uint32_t value) const { Send(Word(value)); }
  void SendText(const std::string& text) const { Send(Word(static_cast<uint32_t>(text.size() + 1)) + text + '\0'); }
  // A word the client sends after a request's arguments: it reads back next
  // only when the handler left the stream in step.
  static constexpr uint32_t kSentinel = 0x5E17;
  void SendSentinel() const { SendWord(kSentinel); }
  bool SentinelIsNext() const {
    unsigned char b[4];
    return recv(server, b, 4, MSG_DONTWAIT | MSG_WAITALL) == 4 && GetLE32(b) == kSentinel;
  }
  // The client closes its sending side: the server's next read sees the end.
  void EndClientSends() const { shutdown(client, SHUT_WR); }

  // Everything the server side has sent so far.
  std::string Pending() const { return PendingOn(client); }
  // Whatever is still unread on the server side (what the handler left).
  std::string UnreadByServer() const { return PendingOn(server); }

  static std::string Word(uint32_t value) {
    unsigned char b[4];
    PutLE32(b, value);
    return std::string(reinterpret_cast<const char*>(b), 4);
  }

 private:
  static std::string PendingOn(int fd) {
    std::string out;
    char buf[4096];
    for (;;) {
      ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
};

// The little-endian words of a reply, spelled out.
inline std::string Words(std::initializer_list<uint32_t> values) {
  std::string out;
  for (uint32_t v : values) out += SocketPair::Word(v);
  return out;
}
