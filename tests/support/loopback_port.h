// Test support: a TCP port for a program that must be told its port before it
// starts (a service's registry value, slapd's URLs, a benchmark's server),
// picked where no other socket of this machine will be given it meanwhile.
// A port the kernel hands out for port 0 lies in its ephemeral range
// (/proc/sys/net/ipv4/ip_local_port_range), and so does every port any
// other socket of the machine gets the same way meanwhile: a server started
// on port word 0, a test's own listener, a client bound before its connect,
// a connection's local port. Picked that way, released and bound again
// later, the port may by then be another socket's, and the bind fails
// (EADDRINUSE). The ports here lie outside that range, where nothing is
// handed out, are chosen at random (so that test programs running side by
// side seldom meet) and are free when picked; a caller still retries with
// another when its program's bind fails. Programs that can bind port 0 and
// report their port (the server's "Listening on port") need none of this.
// Calls POSIX sockets and /proc only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <utility>

// The kernel's ephemeral range, [first, last]; Linux's default when it cannot
// be read.
inline std::pair<int, int> EphemeralPortRange() {
  int first = 32768, last = 60999;
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    int a = 0, b = 0;
    if (std::fscanf(f, "%d %d", &a, &b) == 2 && a > 0 && b >= a && b <= 65535) {
      first = a;
      last = b;
    }
    std::fclose(f);
  }
  return {first, last};
}

// A socket bound to `port` the way the server binds its listener (every
// address, IPv6 and IPv4 on one socket), or -1 when the port cannot be had.
inline int BindLikeTheServer(int port) {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int off = 0;
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_any;
  a.sin6_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// True when `port` can be bound now the way the server binds its listener
// and on IPv4 loopback.
inline bool LoopbackPortIsFree(int port) {
  const int fd6 = BindLikeTheServer(port);
  if (fd6 < 0) return false;
  close(fd6);
  bool free = true;
  int fd4 = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd4 < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  free = bind(fd4, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd4);
  return free;
}

// A port outside the ephemeral range, at or above 10000 (below lie services
// of their own) and not 32000 (the server's default, a developer's server
// may hold it), free now; 0 when none was found in 200 tries.
inline int PickLoopbackPort() {
  const auto [first, last] = EphemeralPortRange();
  static std::mt19937 rng(static_cast<unsigned>(std::random_device{}()) ^ static_cast<unsigned>(getpid()) ^
                          static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  constexpr int kLowest = 10000;
  const int below = first > kLowest ? first - kLowest : 0;  // kLowest .. first-1
  const int above = last < 65535 ? 65535 - last : 0;         // last+1 .. 65535
  if (below + above == 0) return 0;
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int pick = static_cast<int>(rng() % static_cast<unsigned>(below + above));
    const int port = pick < below ? kLowest + pick : last + 1 + (pick - below);
    if (port == 32000) continue;
    if (LoopbackPortIsFree(port)) return port;
  }
  return 0;
}
