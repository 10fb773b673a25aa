// Fuzz target: the handlers' argument readers, through the dispatcher, with
// the arguments fed as a byte stream from the client side of a socketpair.
// Input: byte 0 picks a handler family, byte 1 a message ID of that family,
// byte 2 the caller (0 a plain user, 1 an administrator, 2 the guest, 3 a
// server logon); the rest is the stream after the request header. Up to four
// requests of the family run on one connection while it stays open. The
// dispatcher must give the connection's index or one less, and one less only
// when the entry is gone.
#include <cstdint>
#include <iterator>
#include <string>

#include "requests/dispatcher.h"
#include "session_home.h"

namespace {

struct Family {
  const int32_t* ids;
  size_t count;
};

constexpr int32_t kSessionIDs[] = {6004, 6662, 6677, 6678, 6679, 6680, 6685};
constexpr int32_t kUserGroupIDs[] = {6500, 6501, 6502, 6503, 6504, 6505, 6506, 6507, 6508,
                                     6607, 6608, 6609, 6610, 6611, 6612, 6613, 6654};
constexpr int32_t kConfigIDs[] = {6614, 6615, 6616, 6617, 6618, 6619, 6620, 6621, 6622, 6623, 6624};
constexpr int32_t kSettingsXMLIDs[] = {6642, 6643, 6644, 6645, 6646, 6647, 6653, 6656, 6657, 6675, 6676};
constexpr int32_t kOwnUserIDs[] = {6625, 6626, 6629, 6630, 6636, 6666, 6667, 6668, 6669, 6670, 6671, 6673};
constexpr int32_t kLocatorIDs[] = {6683, 6684};
constexpr int32_t kCounterIDs[] = {6631, 6632, 6633, 6634, 6635};
constexpr int32_t kServerInfoIDs[] = {6606, 6627, 6628, 6663, 6665};

constexpr Family kFamilies[] = {
    {kSessionIDs, std::size(kSessionIDs)},         {kUserGroupIDs, std::size(kUserGroupIDs)},
    {kConfigIDs, std::size(kConfigIDs)},           {kSettingsXMLIDs, std::size(kSettingsXMLIDs)},
    {kOwnUserIDs, std::size(kOwnUserIDs)},         {kLocatorIDs, std::size(kLocatorIDs)},
    {kCounterIDs, std::size(kCounterIDs)},         {kServerInfoIDs, std::size(kServerInfoIDs)},
};

constexpr int kMaxRequests = 4;

uint32_t MakeCaller(int kind) {
  switch (kind & 3) {
    case 0: return fuzz::MakeLoggedOnSlot("bob", 5);
    case 1: return fuzz::MakeLoggedOnSlot("administrator", 5);
    case 2: return fuzz::MakeLoggedOnSlot("guest", 5);
    default: return fuzz::MakeLoggedOnSlot("#peer", 70000);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  fuzz::ResetSessionHome();
  const Family& family = kFamilies[data[0] % std::size(kFamilies)];
  const int32_t firstID = family.ids[data[1] % family.count];
  const uint32_t logonUID = MakeCaller(data[2]);
  FUZZ_CHECK(logonUID != 0, "no caller slot");
  fuzz::ScriptedPeer peer(std::string(reinterpret_cast<const char*>(data + 3), size - 3));
  const int index = AppendConnection(peer.server, "127.0.0.1");
  FUZZ_CHECK(index == 0, "no connection entry");
  ConnectionRecord* conn = GetConnectionByIndex(index);
  conn->logonUID = logonUID;
  conn->clientID = (data[2] & 3) == 3 ? 70000 : 5;
  conn->serverConnection = (data[2] & 3) == 3 ? 1 : 0;
  bool open = true;
  for (int i = 0; i < kMaxRequests && open; ++i) {
    const int32_t id = family.ids[(data[1] + i) % family.count];
    SetCurrentLogonSlot(logonUID);
    const int got = ProcessMessage(i == 0 ? firstID : id, peer.server, index);
    const int at = FindConnectionIndexBySocket(peer.server);
    FUZZ_CHECK(got == index || got == index - 1, "ProcessMessage(%d) gave %d for index %d", id, got, index);
    FUZZ_CHECK((got == index) == (at == index), "ProcessMessage(%d) gave %d but the entry is at %d", id, got, at);
    open = got == index;
  }
  // A handler that closed the connection closed its socket too.
  peer.Finish(open);
  ResetConnectionTable();
  return 0;
}
