// POSIX implementation of the listener steps, accept, poll and the stop event.
// Platform layer: POSIX sockets, poll and eventfd only.
#include "platform/net_listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

static_assert(kFamilyIPv6 == AF_INET6 && kFamilyIPv4 == AF_INET, "address families");

int GetSockAddrLength(int family) { return family == AF_INET6 ? 28 : 16; }

int CreateStreamSocket(int family) { return socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }

bool IsFamilyUnsupported(int err) { return err == EAFNOSUPPORT; }

static int SetIntOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof value);
}

int SetIPv6Only(int fd, int on) { return SetIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, on); }

int SetReuseAddress(int fd) { return SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1); }

int SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return -1;
  return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int SetOobInline(int fd) { return SetIntOption(fd, SOL_SOCKET, SO_OOBINLINE, 1); }

int SetNoDelay(int fd) { return SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1); }

int SetSocketTimeouts(int fd, uint32_t ms) {
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  int a = setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  int b = setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return a == 0 && b == 0 ? 0 : -1;
}

int BindAnyAddress(int fd, int family, int port) {
  if (family == AF_INET6) {
    struct sockaddr_in6 a;
    std::memset(&a, 0, sizeof a);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_any;
    return bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
  }
  struct sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  return bind(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a);
}

int ListenSocket(int fd, int backlog) { return listen(fd, backlog); }

int GetBoundPort(int fd) {
  struct sockaddr_storage a;
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len) != 0) return 0;
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<struct sockaddr_in6*>(&a)->sin6_port);
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<struct sockaddr_in*>(&a)->sin_port);
  return 0;
}

bool AcceptConnectionSocket(int listenFd, AcceptedPeer& out) {
  out = AcceptedPeer{};
  struct sockaddr_storage peer;
  socklen_t len = sizeof peer;
  int fd;
  do {
    fd = accept4(listenFd, reinterpret_cast<struct sockaddr*>(&peer), &len, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  out.fd = fd;
  out.family = peer.ss_family;
  char host[1025];
  if (getnameinfo(reinterpret_cast<struct sockaddr*>(&peer), len, host, sizeof host, nullptr, 0,
                  NI_NUMERICHOST) == 0) {
    out.host = host;
  } else {
    out.host = "<<unknown>>";
  }
  return true;
}

bool IsDescriptorExhaustion(int err) { return err == EMFILE || err == ENFILE; }

int CloseSocket(int fd) { return fd < 0 ? 0 : close(fd); }

void ClearPollSet(PollSet& set) { set.entries.clear(); }

size_t AddToPollSet(PollSet& set, int fd, unsigned want) {
  set.entries.push_back(PollEntry{fd, want, 0});
  return set.entries.size() - 1;
}

int WaitPollSet(PollSet& set, int timeoutMs) {
  // The descriptors of the loop's wait, kept from pass to pass (no allocation
  // per wait); only the loop waits here, never a request.
  thread_local std::vector<struct pollfd> p;
  p.resize(set.entries.size());
  for (size_t i = 0; i < p.size(); ++i) {
    PollEntry& e = set.entries[i];
    short events = 0;
    if (e.want & kWantRead) events |= POLLIN;
    if (e.want & kWantUrgent) events |= POLLPRI;
    if (e.want & kWantWrite) events |= POLLOUT;
    p[i] = {e.fd, events, 0};
    e.ready = 0;
  }
  int n = poll(p.data(), static_cast<nfds_t>(p.size()), timeoutMs);
  if (n <= 0) return n;
  constexpr short kTrouble = POLLERR | POLLHUP | POLLNVAL;
  for (size_t i = 0; i < p.size(); ++i) {
    const short ev = p[i].revents;
    if (ev == 0) continue;
    PollEntry& e = set.entries[i];
    if ((e.want & kWantRead) && (ev & (POLLIN | kTrouble))) e.ready |= kReadyRead;
    if (ev & POLLPRI) e.ready |= kReadyUrgent;
    if ((e.want & kWantWrite) && (ev & (POLLOUT | kTrouble))) e.ready |= kReadyWrite;
  }
  return n;
}

int CreateStopEvent() { return eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void SignalStopEvent(int fd) {
  uint64_t one = 1;
  if (fd >= 0) {
    ssize_t w = write(fd, &one, sizeof one);
    (void)w;
  }
}
