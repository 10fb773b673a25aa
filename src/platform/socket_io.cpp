// Single send and receive calls on a connected socket: MSG_NOSIGNAL on every
// send, EINTR retried, every other failure handed back as -1 with errno.
// Platform layer: POSIX sockets only.
#include "platform/socket_io.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

ssize_t SocketSend(int fd, const void* bytes, size_t length, int flags) {
  for (;;) {
    ssize_t sent = send(fd, bytes, length, flags | MSG_NOSIGNAL);
    if (sent >= 0 || errno != EINTR) return sent < 0 ? -1 : sent;
  }
}

ssize_t SocketRecv(int fd, void* buffer, size_t length, int flags) {
  for (;;) {
    ssize_t got = recv(fd, buffer, length, flags);
    // EAGAIN/EWOULDBLOCK (a receive time-out) is not retried: it is a failed read.
    if (got >= 0 || errno != EINTR) return got < 0 ? -1 : got;
  }
}

int SocketClose(int fd) {
  // close() is not retried on EINTR: on Linux the descriptor is gone either way.
  return close(fd) == 0 ? 0 : -1;
}
