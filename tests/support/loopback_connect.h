// Test support: one TCP connect to this host's loopback address (127.0.0.1
// or ::1), shared by the server-process harness and the protocol client.
// Calls POSIX sockets only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

// Connects to 127.0.0.1 (or ::1) on `port`; the socket or -1.
inline int ConnectLoopback(int port, bool ipv6 = false) {
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int rc;
  if (ipv6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}
