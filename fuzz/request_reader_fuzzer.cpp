// Fuzz target: the request header and token reader (GetCommand) fed as a byte
// stream from the client side of a socketpair. The first input byte picks the
// connection's state before the stream (bit 0: already logged on as bob, bit
// 1: a server connection, bit 2: keep its logon); the rest is the stream. The
// reader runs until it closes the connection or the stream ends; every
// result must be one it documents, and the connection's logon UID must name
// a slot or be 0.
#include <cstdint>
#include <string>

#include "foundation/result_codes.h"
#include "session_home.h"
#include "sessions/request_reader.h"

namespace {

constexpr int kMaxRequests = 16;

bool EndsConnection(int status) { return status == 4 || status == 55 || status == 2; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  fuzz::ResetSessionHome();
  const uint8_t state = data[0];
  fuzz::ScriptedPeer peer(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  ConnectionRecord conn;
  conn.socket = peer.server;
  if (state & 1) {
    conn.logonUID = fuzz::MakeLoggedOnSlot(state & 2 ? "#peer" : "bob", state & 2 ? 70000 : 5);
    conn.serverConnection = (state & 2) ? 1 : 0;
    conn.clientID = state & 2 ? 70000 : 5;
  }
  conn.keepLogon = (state >> 2) & 1;
  for (int i = 0; i < kMaxRequests; ++i) {
    int32_t messageID = -1;
    const int status = GetCommand(&conn, &messageID);
    FUZZ_CHECK(status >= 0 && status < 100, "GetCommand gave %d", status);
    FUZZ_CHECK(conn.logonUID == 0 || FindLUSByLogonUID(conn.logonUID) != nullptr,
               "the connection names the logon %08X, which has no slot", conn.logonUID);
    if (EndsConnection(status)) break;
  }
  peer.Finish(true);
  return 0;
}
