// Wire integers, strings, raw blocks and times on a connected socket.
// Foundation layer: calls platform/socket_io.h (send/recv), platform/clock.h
// (the current time), the fiber tasks (whether a send may wait) and the
// shared reply bytes; no log lines, no state between calls.
#include "foundation/wire/wire.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <exception>
#include <sys/socket.h>

#include "foundation/result_codes.h"
#include "foundation/wire/shared_reply_bytes.h"
#include "platform/clock.h"
#include "platform/fiber_tasks.h"
#include "platform/socket_io.h"

// ---- Raw bytes on the socket ----------------------------------------------------

int SendOwnedBytes(int sock, const void* bytes, int length, int flags) {
  const unsigned char* at = static_cast<const unsigned char*>(bytes);
  int remaining = length;
  int total = 0;
  while (remaining > 0) {
    int piece = remaining > kWireSendPieceBytes ? kWireSendPieceBytes : remaining;
    ssize_t sent = SocketSend(sock, at, static_cast<size_t>(piece), flags);
    if (sent < 0) return -1;  // what went out before is not reported
    if (sent == 0) break;     // nothing accepted: a short count
    remaining -= static_cast<int>(sent);
    total += static_cast<int>(sent);
    at += sent;
  }
  return total;
}

int SendAll(int sock, const void* bytes, int length, int flags) {
  // One piece is taken whole before any wait; more may wait between pieces,
  // and other requests may free the caller's bytes meanwhile.
  if (length <= kWireSendPieceBytes || !InFiberTask()) return SendOwnedBytes(sock, bytes, length, flags);
  const SharedReplyBytes copy = ShareReplyBytes(bytes, static_cast<size_t>(length));
  if (!copy) return -1;
  return SendOwnedBytes(sock, copy->data(), length, flags);
}

int SendBuffer(int sock, const void* bytes, int length, int flags) {
  return SendAll(sock, bytes, length, flags);
}

int RecvAll(int sock, void* buffer, int length, int flags) {
  unsigned char* at = static_cast<unsigned char*>(buffer);
  int total = 0;
  while (total < length) {
    int missing = length - total;
    ssize_t got = SocketRecv(sock, at, static_cast<size_t>(missing), flags);
    if (got <= 0) return static_cast<int>(got);  // closed (0) or failed (-1)
    total += static_cast<int>(got);
    at += got;
  }
  return total;
}

int DiscardBytes(int sock, int32_t count) {
  if (count < 0) return WIRE_COMMS_FAILURE;
  unsigned char scratch[kWireDiscardChunkBytes];
  int32_t remaining = count;
  while (remaining > 0) {
    int piece = std::min<int32_t>(remaining, kWireDiscardChunkBytes);
    if (RecvAll(sock, scratch, piece, 0) != piece) return WIRE_COMMS_FAILURE;
    remaining -= piece;
  }
  return WIRE_OK;
}

int DrainSocket(int sock) {
  unsigned char scratch[kWireDiscardChunkBytes];
  bool waitedOnce = false;
  for (;;) {
    ssize_t peeked = SocketRecv(sock, scratch, sizeof scratch, MSG_PEEK);
    if (peeked < 0) return static_cast<int>(peeked);
    if (peeked == 0) {
      // Nothing (or the end of the stream): give the peer one second, then stop
      // on a second empty peek.
      if (waitedOnce) return 0;
      waitedOnce = true;
      SleepMilliseconds(1000);
      continue;
    }
    waitedOnce = false;
    // Take exactly what the peek showed; a failure here shows on the next peek.
    (void)SocketRecv(sock, scratch, static_cast<size_t>(peeked), 0);
  }
}

// ---- Wire integers and times ----------------------------------------------------

int SendInt(int sock, uint32_t value) {
  unsigned char word[4];
  PutLE32(word, value);
  return SendAll(sock, word, 4, 0);
}

int SendInt(int sock, int32_t value) { return SendInt(sock, static_cast<uint32_t>(value)); }

int RecvInt(int sock, uint32_t* value) {
  if (value == nullptr) return -1;
  unsigned char word[4];
  int got = RecvAll(sock, word, 4, 0);
  *value = got == 4 ? GetLE32(word) : 0;
  return got;
}

int RecvInt(int sock, int32_t* value) {
  if (value == nullptr) return -1;
  uint32_t word = 0;
  int got = RecvInt(sock, &word);
  *value = static_cast<int32_t>(word);
  return got;
}

int SendTime(int sock) { return SendInt(sock, NowTime32()); }

// ---- Wire strings ---------------------------------------------------------------

WireStatus SendString(int sock, WireText text) {
  if (text.IsNull()) return SendInt(sock, int32_t{0}) == 4 ? WIRE_OK : WIRE_COMMS_FAILURE;
  // L counts the NUL and must fit a signed word: such a text cannot be framed.
  if (text.length >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    return WIRE_COMMS_FAILURE;
  }
  const int wireLength = static_cast<int>(text.length) + 1;
  if (SendInt(sock, static_cast<int32_t>(wireLength)) != 4) return WIRE_COMMS_FAILURE;
  // data[length] is the NUL (see WireText), so text and NUL go out in one block.
  return SendBuffer(sock, text.data, wireLength, 0) == wireLength ? WIRE_OK : WIRE_COMMS_FAILURE;
}

// The wire string statuses are the result codes of the same meaning.
static_assert(int{WIRE_OK} == int{FR_OK} && int{WIRE_NO_MEMORY} == int{FR_NO_MEMORY} &&
              int{WIRE_COMMS_FAILURE} == int{FR_COMMS_ERROR});

namespace {

// Drops a refused string's bytes: WIRE_NO_MEMORY when the stream is back in
// step, WIRE_COMMS_FAILURE when the dropping failed and it is not.
WireStatus DropRefusedString(int sock, int32_t wireLength) {
  return DiscardBytes(sock, wireLength) == WIRE_OK ? WIRE_NO_MEMORY : WIRE_COMMS_FAILURE;
}

}  // namespace

std::optional<std::string> RecvString(int sock, WireStatus* status) {
  return RecvStringWithin(sock, kMaxWireStringLength, status);
}

std::optional<std::string> RecvStringWithin(int sock, int32_t ceiling, WireStatus* status) {
  ceiling = std::min(ceiling, kMaxWireStringLength);
  WireStatus scratchStatus = WIRE_OK;
  WireStatus& rc = status ? *status : scratchStatus;
  rc = WIRE_OK;

  int32_t wireLength = 0;
  if (RecvInt(sock, &wireLength) != 4) {
    rc = WIRE_COMMS_FAILURE;
    return std::nullopt;
  }
  if (wireLength < 1) return std::nullopt;  // null string; nothing follows it
  if (wireLength > ceiling) {
    rc = DropRefusedString(sock, wireLength);
    return std::nullopt;
  }

  // The buffer grows with the bytes that actually arrive, never ahead of them
  // by more than one piece: a client announcing a long string and sending
  // little costs the server little.
  std::string text;
  int32_t received = 0;
  while (received < wireLength) {
    const int32_t piece = std::min<int32_t>(wireLength - received, kWireStringPieceBytes);
    try {
      text.resize(static_cast<size_t>(received) + static_cast<size_t>(piece));
    } catch (const std::exception&) {  // bad_alloc, or length_error past max_size
      std::string().swap(text);
      rc = DropRefusedString(sock, wireLength - received);
      return std::nullopt;
    }
    if (RecvAll(sock, text.data() + received, piece, 0) != piece) {
      rc = WIRE_COMMS_FAILURE;
      return std::nullopt;
    }
    received += piece;
  }
  // The text ends at its first NUL, normally the last of the L bytes; a client
  // that sent none gets all L bytes (std::string keeps its own terminator).
  const void* nul = std::memchr(text.data(), '\0', text.size());
  if (nul != nullptr) text.resize(static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
  return text;
}

std::optional<std::string> RecvBoundedString(int sock, int32_t maxLength, WireStatus* status, bool* tooLong) {
  WireStatus local = WIRE_OK;
  bool localTooLong = false;
  if (status == nullptr) status = &local;
  if (tooLong == nullptr) tooLong = &localTooLong;
  *status = WIRE_OK;
  *tooLong = false;
  int32_t length = 0;
  if (RecvInt(sock, &length) != 4) {
    *status = WIRE_COMMS_FAILURE;
    return std::nullopt;
  }
  if (length < 1) return std::nullopt;  // an absent string
  if (length > maxLength) {
    *status = WIRE_NO_MEMORY;
    *tooLong = true;
    return std::nullopt;
  }
  std::string text;
  try {
    text.resize(static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    *status = WIRE_NO_MEMORY;
    *tooLong = true;
    return std::nullopt;
  }
  if (RecvAll(sock, text.data(), length, 0) != length) {
    *status = WIRE_COMMS_FAILURE;
    return std::nullopt;
  }
  // The text is what precedes the first NUL (all bytes when there is none).
  size_t end = text.find('\0');
  if (end != std::string::npos) text.resize(end);
  return text;
}
