// Raw byte moves on a connected stream socket: one send and one receive call
// with the platform's quirks absorbed (no SIGPIPE, EINTR retried). Framing,
// loops over partial transfers and the wire formats live above, in the wire
// module. Platform layer: POSIX sockets only; calls nothing of the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// ---- Single transfers ---------------------------------------------------------

// One send() of up to `length` bytes with MSG_NOSIGNAL added to `flags`, so a
// peer that has gone away gives EPIPE instead of killing the process. A call
// interrupted by a signal (EINTR) is repeated. Gives the bytes accepted (0 is
// possible for a length of 0), or -1 with errno set; a send time-out
// (EAGAIN/EWOULDBLOCK) is -1 like any other failure.
ssize_t SocketSend(int fd, const void* bytes, size_t length, int flags);

// One recv() of up to `length` bytes with the caller's `flags` (MSG_PEEK and
// the like pass through). EINTR is repeated. Gives the bytes received, 0 when
// the peer has closed its side, or -1 with errno set; a receive time-out or a
// non-blocking socket with nothing pending (EAGAIN/EWOULDBLOCK) is -1: the
// read failed.
ssize_t SocketRecv(int fd, void* buffer, size_t length, int flags);

// ---- Transfer bound -------------------------------------------------------------
//
// One request (its header, token and argument reads) and its reply may take
// at most `perPieceMs` for every 64 KiB moved in each direction: the n-th
// 64 KiB piece received must have arrived `perPieceMs` * n after the bound
// began, and the same for the bytes sent. A large text on a slow link goes
// through; a peer that dribbles bytes or stops reading fails within one
// bound. While a bound is active SocketSend and SocketRecv wait with poll and
// then move what is ready without blocking; a wait past the bound fails with
// ETIMEDOUT and marks the bound expired. The bound belongs to the calling
// thread (the server's one loop thread).

constexpr size_t kTransferBoundPieceBytes = 64 * 1024;

// Starts a bound of `perPieceMs` per piece (0: no bound, the calls block as
// the socket's own options let them).
void BeginTransferBound(uint32_t perPieceMs);
// Ends the bound; the calls block as before.
void EndTransferBound();
// True when a call failed because the active (or just ended) bound ran out.
bool TransferBoundExpired();

// ---- Closing -------------------------------------------------------------------

// Closes the socket (closesocket). 0, or -1 with errno set; the descriptor is
// released in either case.
int SocketClose(int fd);
