// Test support: a TCP connection to this host's IPv4 loopback from a given
// local loopback address (127.0.0.2, 127.0.0.3, ...), so that a test can play
// several client addresses against one server.
// Calls POSIX sockets and the protocol client only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

#include "support/test_client.h"

// Connects from `localAddress` (any port) to 127.0.0.1:`port`; a client that
// is not connected (Connected() false) when the bind or the connect fails.
inline TestClient ConnectLoopbackFrom(const char* localAddress, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return TestClient();
  sockaddr_in local{};
  local.sin_family = AF_INET;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (inet_pton(AF_INET, localAddress, &local.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    close(fd);
    return TestClient();
  }
  return TestClient(fd);
}
