// Raw byte moves on a connected stream socket: one send and one receive call
// with the platform's quirks absorbed (no SIGPIPE, EINTR retried), the
// per-request transfer bound, the buffered transfers of the request being
// served, and the waits of a request that runs in a task (platform/
// fiber_tasks.h): where a call would block, the task steps aside to the loop
// until its socket is ready, and the thread serves other requests meanwhile.
// Framing, loops over partial transfers and the wire formats live above, in
// the wire module. Platform layer: POSIX sockets and poll; calls the fiber
// tasks, nothing of the server.
//
// The state of the request being served (its bound, read-ahead and held
// output) belongs to the running task, or to the thread outside any task.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include <vector>

// ---- Single transfers ---------------------------------------------------------

// One send() of up to `length` bytes with MSG_NOSIGNAL added to `flags`, so a
// peer that has gone away gives EPIPE instead of killing the process. A call
// interrupted by a signal (EINTR) is repeated. Gives the bytes accepted (0 is
// possible for a length of 0), or -1 with errno set; a send time-out
// (EAGAIN/EWOULDBLOCK) is -1 like any other failure. On the socket of the
// request being served, small sends are held (see the buffered transfers).
// A send of up to kHeldOutputBytes / 2 takes the caller's bytes before it
// may wait; a longer one reads them as the socket takes them, across its
// waits, so the caller must own them for the whole call.
ssize_t SocketSend(int fd, const void* bytes, size_t length, int flags);

// One recv() of up to `length` bytes with the caller's `flags` (MSG_PEEK and
// the like pass through). EINTR is repeated. Gives the bytes received, 0 when
// the peer has closed its side, or -1 with errno set; a receive time-out or a
// non-blocking socket with nothing pending (EAGAIN/EWOULDBLOCK) is -1: the
// read failed. On the socket of the request being served, the bytes come
// from the read-ahead (see the buffered transfers).
ssize_t SocketRecv(int fd, void* buffer, size_t length, int flags);

// ---- Transfer bound -------------------------------------------------------------
//
// One request (its header, token and argument reads) and its reply may take
// at most `perPieceMs` for every 64 KiB moved in each direction: the n-th
// 64 KiB piece received must have arrived `perPieceMs` * n after the bound
// began, and the same for the bytes sent; and no wait lasts longer than
// `perPieceMs` after the last bytes moved in its direction. A large text on a
// slow link goes through; a peer that dribbles bytes or stops reading fails
// within one bound, however much the kernel took from it before. While a
// bound is active (and always in a task) SocketSend and SocketRecv move what
// is ready without blocking and wait for the rest: a task steps aside, the
// thread outside tasks polls. A wait past the bound fails with ETIMEDOUT and
// marks the bound expired; a wait of a task that is cancelled (its
// connection was closed, the server stops, or the wait check refused it)
// fails with ECONNABORTED, and so does every later send and receive of that
// task on its request's socket.

constexpr size_t kTransferBoundPieceBytes = 64 * 1024;

// Starts a bound of `perPieceMs` per piece (0: no bound, the calls block as
// the socket's own options let them).
void BeginTransferBound(uint32_t perPieceMs);
// Ends the bound; the calls block as before.
void EndTransferBound();
// True when a call failed because the active (or just ended) bound ran out.
bool TransferBoundExpired();

// ---- Buffered transfers of one request ----------------------------------------------
//
// While the server serves one request of socket `fd`, its small reads and
// writes cost one system call each way instead of one per wire value:
//   - a receive that finds nothing buffered takes what is pending, up to
//     kSocketReadAheadBytes, in one recv and hands the caller what it asked
//     for; the rest waits in the buffer for the next receive. A receive of
//     kSocketReadAheadBytes or more goes straight into the caller's memory;
//   - a send (flags 0) is held, up to kHeldOutputBytes, and goes out in one
//     send when the held bytes would overflow, before any receive that would
//     wait for the peer (a client that waits for a reply word before it sends
//     more is never left waiting), when the socket is closed with SocketClose,
//     and when the request ends. A failure of that send is the failure of the
//     call that caused it (the end reports it too), as a failed send would be.
// Bytes received past the end of the request belong to the connection, not to
// this module: the end hands them to the connection's SocketInputCarry, and
// the next request of that connection begins with them. Nothing buffered here
// outlives the request or reaches another socket.

constexpr size_t kSocketReadAheadBytes = 4096;
constexpr size_t kHeldOutputBytes = 16 * 1024;

// Bytes a connection sent past the end of its last request, waiting for its
// next one (the connection record holds it and drops it with the connection).
struct SocketInputCarry {
  uint32_t length = 0;  // 0: nothing waiting
  unsigned char bytes[kSocketReadAheadBytes] = {};
};

// The end of a reply that a request held and did not send: the connection
// keeps it until the loop sends it, once the requests of a pass are served,
// so that the replies of a pass go out together (a peer that waits in
// another process is then woken once for many of its replies, not for each).
struct SocketOutputCarry {
  std::vector<unsigned char> bytes;  // empty: nothing waits to be sent
};

// Begins the buffered transfers of one request on `fd`; the carry's bytes (if
// any) are the first to be received, and the carry is emptied.
void BeginRequestTransfers(int fd, SocketInputCarry* carry);
// Ends them: hands the bytes received but not read to `carry` (null: they
// are dropped, the connection is gone), and the held bytes to `out`, after
// what it holds already; without `out` they are sent now (within the bound,
// when one is active). False when held bytes could not be sent.
bool EndRequestTransfers(SocketInputCarry* carry, SocketOutputCarry* out = nullptr);

// The last words of a request that was called off (its task cancelled) while
// its connection stays: the bytes it holds unsent are dropped and `bytes`
// are held in their place, to go out when the socket is closed (SocketClose)
// or the request ends, as held bytes do. False (nothing changed) outside a
// request's transfers or for more than kHeldOutputBytes.
bool ReplaceHeldOutput(const void* bytes, size_t length);

// Sends what `out` holds on `fd`, as much as the socket takes now, without
// waiting. kSent when all went; kSendLater when the socket is full (the rest
// stays, to be sent when poll finds it writable); kSendFailed when the peer
// is gone or the send failed otherwise (what is held is dropped, errno set).
enum class CarriedOutput : uint8_t { kSent, kSendLater, kSendFailed };
CarriedOutput SendCarriedOutput(int fd, SocketOutputCarry& out);

// The very end of a request in a task, once nothing of it names its socket
// any more: the socket's number is given up, and a socket closed while the
// request ran (see SocketClose) is closed now. Outside a task: nothing.
void EndRequestSocket();

// ---- Closing -------------------------------------------------------------------

// Closes the socket (closesocket), after sending what a request being served
// on it holds. 0, or -1 with errno set; the descriptor is released in either
// case. The socket of a request that runs in a task is shut down at once
// (the peer sees the close), and every later call of that task on it fails;
// a task suspended on it is cancelled, and the descriptor itself is closed
// when the task ends, so that its number cannot reach another connection
// while the task may still name it.
int SocketClose(int fd);
