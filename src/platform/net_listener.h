// The TCP listener and the accepted sockets of the server, one small call per
// step so the caller can log each step its own way: socket creation with the
// IPv4 fallback, the socket options, bind to the any-address, listen, accept,
// the peer's numeric address, the poll wait over many sockets and the stop
// event that wakes it. Platform layer: POSIX sockets, poll and eventfd only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---- Families -------------------------------------------------------------------

constexpr int kFamilyIPv6 = 10;  // AF_INET6 on this platform
constexpr int kFamilyIPv4 = 2;   // AF_INET

// The length of the any-address of a family: 28 for IPv6, 16 for any other.
int GetSockAddrLength(int family);

// ---- Listener steps ---------------------------------------------------------------

// A TCP socket of `family` (close-on-exec). The descriptor, or -1 with errno
// set; errno EAFNOSUPPORT means the family is not supported here.
int CreateStreamSocket(int family);
// True when errno of a failed CreateStreamSocket means "family not supported".
bool IsFamilyUnsupported(int err);

// IPV6_V6ONLY on or off; the result of setsockopt (0 or -1).
int SetIPv6Only(int fd, int on);
// SO_REUSEADDR on, so a restart binds while old connections linger.
int SetReuseAddress(int fd);
// O_NONBLOCK on: accept then never waits.
int SetNonBlocking(int fd);
// SO_OOBINLINE on: urgent data arrives in the stream as ordinary bytes.
int SetOobInline(int fd);
// TCP_NODELAY on: a reply written in several small sends goes out at once
// instead of waiting for the peer's delayed acknowledgement.
int SetNoDelay(int fd);
// SO_RCVTIMEO and SO_SNDTIMEO of `ms` milliseconds (0 clears them). 0 or -1.
int SetSocketTimeouts(int fd, uint32_t ms);

// Binds to the any-address of `family` with `port`. 0, or -1 with errno.
int BindAnyAddress(int fd, int family, int port);
// listen with `backlog`. 0, or -1 with errno.
int ListenSocket(int fd, int backlog);
// The port the socket is bound to (0 when it cannot be read).
int GetBoundPort(int fd);

// ---- Accepted connections ----------------------------------------------------------

struct AcceptedPeer {
  int fd = -1;           // the connected socket (blocking, close-on-exec)
  int family = 0;        // address family of the peer
  std::string host;      // numeric host text, "<<unknown>>" when it cannot be formed
};

// Accepts one waiting connection. True with `out` filled, or false with errno
// set (EAGAIN when none is waiting, EMFILE/ENFILE when out of descriptors).
bool AcceptConnectionSocket(int listenFd, AcceptedPeer& out);
// True when errno of a failed accept means the process or system has no free
// descriptor.
bool IsDescriptorExhaustion(int err);

// Closes a descriptor; -1 is ignored. The result of close (0 or -1).
int CloseSocket(int fd);

// ---- Waiting ------------------------------------------------------------------------

// What a polled socket is watched for.
constexpr unsigned kWantRead = (1u << 0);    // POLLIN
constexpr unsigned kWantUrgent = (1u << 1);  // POLLPRI
constexpr unsigned kWantWrite = (1u << 2);   // POLLOUT

// Readiness bits of one polled socket.
constexpr unsigned kReadyRead = (1u << 0);    // POLLIN, or a hang-up/error/invalid socket a read will report
constexpr unsigned kReadyUrgent = (1u << 1);  // POLLPRI: urgent data pending
constexpr unsigned kReadyWrite = (1u << 2);   // POLLOUT, or a hang-up/error/invalid socket a send will report

struct PollEntry {
  int fd = -1;
  unsigned want = 0;   // what it is watched for (kWant bits)
  unsigned ready = 0;  // its readiness after the wait (kReady bits)
};

// Sockets in the order they were added. A set kept from one wait to the
// next keeps its room: no allocation per wait.
struct PollSet {
  std::vector<PollEntry> entries;
};

// Empties the set for a new pass.
void ClearPollSet(PollSet& set);
// Adds a socket watched for `want` (reading and urgent data unless told
// otherwise); its index in the set.
size_t AddToPollSet(PollSet& set, int fd, unsigned want = kWantRead | kWantUrgent);
// poll over every socket for at most `timeoutMs`. The number of sockets
// ready, 0 on time-out, -1 with errno on failure (EINTR for a signal); after
// a failure (or a time-out) nothing counts as ready.
int WaitPollSet(PollSet& set, int timeoutMs);

// ---- Stop event ---------------------------------------------------------------------

// An eventfd that another thread or a signal handler writes to wake the wait.
// The descriptor, or -1 with errno.
int CreateStopEvent();
// Async-signal-safe: adds 1 to the event (the wait then sees it readable).
void SignalStopEvent(int fd);
