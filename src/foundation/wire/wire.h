// The request protocol's wire values on a connected socket: integers,
// strings, raw blocks and times. The texts and blocks they carry are those of
// foundation/wire/transport_string.h, which needs no socket.
// Foundation layer: calls platform/socket_io.h, platform/clock.h and the
// fiber tasks only; it keeps no state but the shared copies of long sends and
// writes no log line (callers log failures their own way).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "foundation/wire/transport_string.h"

// ---- Status and limits ----------------------------------------------------------

// Result of the wire string operations. The numbers are those of FR_OK,
// FR_NO_MEMORY and FR_COMMS_ERROR, so a handler can send a status other than 4
// back to the client unchanged as its reply code.
enum WireStatus : int32_t {
  WIRE_OK = 0,             // done (a null string received is also WIRE_OK)
  WIRE_NO_MEMORY = 1,      // string refused (too long or no memory); its bytes were read and dropped
  WIRE_COMMS_FAILURE = 4,  // peer closed, socket failed, or a receive/send timed out
};

// Sends go out in pieces of at most this many bytes.
constexpr int kWireSendPieceBytes = 8000;
// Bytes skipped by DiscardBytes/DrainSocket are read in pieces of this size.
constexpr int kWireDiscardChunkBytes = 1024;
// The largest wire string RecvString accepts: L (text plus its NUL) of at most
// 256 MiB, room for the biggest XML document a client may send (a whole
// users.xml: 100,000 users with their settings and password histories run to
// 1-2 KiB each). A longer string is read and dropped with WIRE_NO_MEMORY, so
// no client can make the server allocate an arbitrary amount.
constexpr int32_t kMaxWireStringLength = 256 * 1024 * 1024;
// RecvString's buffer grows by at most this many bytes ahead of what arrived.
constexpr int32_t kWireStringPieceBytes = 1024 * 1024;

// ---- Raw bytes on the socket ----------------------------------------------------

// Sends `length` bytes in pieces of at most kWireSendPieceBytes, each piece
// passed to send with `flags` (MSG_NOSIGNAL is always added). Gives `length`
// when everything went out; the shorter total when a send accepted nothing;
// -1 as soon as one send failed (bytes sent before are not reported). A length
// of 0 or below gives 0 without calling send.
// In a request's task a send may wait, and other requests run meanwhile, so
// the caller's bytes are never read after a wait: up to kWireSendPieceBytes
// are taken whole at once, and a longer text is sent from a copy made when
// the call begins (shared with other requests sending the same bytes,
// foundation/wire/shared_reply_bytes.h). -1 when no copy can be had.
int SendAll(int sock, const void* bytes, int length, int flags);

// SendAll without the copy, for bytes the caller itself owns for the whole
// call (a buffer of the request's own, never a store's, a slot's or a
// connection record's): they must outlive every wait of the send.
int SendOwnedBytes(int sock, const void* bytes, int length, int flags);

// The operation for raw blocks: the result of SendAll. Success only when the
// result equals `length`.
int SendBuffer(int sock, const void* bytes, int length, int flags);

// Receives exactly `length` bytes into `buffer` (recv repeated for the bytes
// still missing). Gives `length` when every byte arrived; otherwise the result
// of the recv that ended it: 0 (peer closed) or -1 (socket error, or a time-out
// / nothing pending). Bytes received before a failure stay in the buffer but
// are not reported. A length of 0 or below gives 0 without calling recv.
int RecvAll(int sock, void* buffer, int length, int flags);

// Reads and drops `count` bytes in pieces of kWireDiscardChunkBytes. 0 when all
// of them were read (also for a count of 0, which reads nothing); 4 on a short
// read or a negative count.
int DiscardBytes(int sock, int32_t count);

// Drops whatever is pending: peeks at up to 1024 bytes and reads as many as it
// found, until a peek fails (negative), or gives 0 twice with a 1000 ms wait
// between. Gives the last peek's value. Blocks the thread while it waits.
int DrainSocket(int sock);

// ---- Wire integers and times ----------------------------------------------------

// Sends the 4 bytes of `value`, least significant first. Gives the bytes sent
// (SendAll with flags 0): success only when the result is exactly 4. The
// unsigned overload is for UIDs, times, sizes and other unsigned words.
int SendInt(int sock, int32_t value);
int SendInt(int sock, uint32_t value);

// Receives 4 bytes into *value, least significant first. Gives the bytes
// received (RecvAll with flags 0): success only when the result is exactly 4;
// on any other result *value is 0. A null `value` gives -1 without reading.
int RecvInt(int sock, int32_t* value);
int RecvInt(int sock, uint32_t* value);

// Sends the current time (NowTime32, 32-bit seconds since 1970 UTC) as a wire
// integer: the result of SendInt.
int SendTime(int sock);

// ---- Wire strings ---------------------------------------------------------------

// Sends a wire string: the word 0 for a null text; otherwise L = length + 1
// and then the text and a NUL (L bytes). WIRE_OK when every send moved its
// full size; WIRE_COMMS_FAILURE otherwise (after a failed length word the text
// is not sent) and also, sending nothing, for a text too long to frame (L
// would not fit a signed 32-bit word).
WireStatus SendString(int sock, WireText text);

// Receives a wire string. Sets *status (when given) and returns:
//   - a text and WIRE_OK: L bytes received; the text is what precedes the
//     first NUL of those bytes, or all L bytes when the client sent no NUL
//     (the text is always properly terminated; nothing past the L bytes is read);
//   - nullopt and WIRE_OK: L was 0 or negative, a null string; nothing more is
//     read, so the following bytes of the stream are still unread;
//   - nullopt and WIRE_NO_MEMORY: L exceeds kMaxWireStringLength or the memory
//     could not be had; the L bytes were read and dropped, the stream is in step
//     (the buffer grows as the bytes arrive, kWireStringPieceBytes at a time,
//     so memory follows what the client really sent, not what it announced);
//   - nullopt and WIRE_COMMS_FAILURE: the length word did not arrive whole,
//     the L bytes did not all arrive, or dropping a refused string failed (the
//     stream is then out of step and the handler must send nothing more).
std::optional<std::string> RecvString(int sock, WireStatus* status);

// RecvString with a lower ceiling: a string whose L exceeds `ceiling` (at
// most kMaxWireStringLength; a larger one counts as that) is read and dropped
// with WIRE_NO_MEMORY, the stream in step, as RecvString drops one above its
// own ceiling.
std::optional<std::string> RecvStringWithin(int sock, int32_t ceiling, WireStatus* status);

// The bound of every string a client sends before it has logged on (the
// arguments of the requests that need no logon, the new password of a
// password-changing logon): a length word above it (the text and its NUL) is
// not read at all, so such a client cannot make the server receive a long text.
constexpr int32_t kMaxNoLogonStringLength = 4096;

// A wire string of at most `maxLength` bytes (its length word): as
// RecvString, but a longer one sets *tooLong (when given) and status
// WIRE_NO_MEMORY and reads nothing more, so the stream is then out of step
// and the caller must close the connection. WIRE_NO_MEMORY with *tooLong also
// when the text cannot be had (its bytes are not read either). *tooLong is
// false in every other case.
std::optional<std::string> RecvBoundedString(int sock, int32_t maxLength, WireStatus* status, bool* tooLong);
