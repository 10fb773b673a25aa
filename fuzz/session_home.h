// Shared pieces of the request harnesses: a home with the default
// configuration, groups and permission and a few users with cost-4 hashes,
// every session table emptied, the LDAP layer pointed at a closed loopback
// port (a bind fails at once), the ring log off and the clock fixed; and the
// client side of a socketpair played from a thread (the input written, the
// sending side shut, every reply drained) so a short input ends a read
// instead of blocking it. Each input starts from the same state.
// Fuzzing only: calls the stores, the sessions and the tests' reset helpers.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>

#include "config/config_model.h"
#include "directory/first_start.h"
#include "directory/user_records.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/log/ring_log.h"
#include "foundation/uid/uid_alloc.h"
#include "fuzz_support.h"
#include "platform/clock.h"
#include "platform/ldap_bind.h"
#include "platform/random_bytes.h"
#include "sessions/connection_table.h"
#include "sessions/logon_settings.h"
#include "sessions/logon_slots.h"
#include "sessions/lus_log.h"

namespace fuzz {

constexpr int64_t kSessionNow = 1800000000;  // a fixed clock for every input

struct HomeUser {
  uint32_t uid;
  const char* name;
  const char* password;
  uint32_t level;
};

inline constexpr HomeUser kHomeUsers[] = {
    {0xEE6B2802, "administrator", "adminpw", 0x8000},
    {0xEE6B2806, "guest", "guestpw", 0},
    {0xEE6B2807, "default_user", "defpw", 0},
    {0x1001, "bob", "bobpw", 0},
    {0x1002, "alice", "alicepw", 0},
};

// The cost-4 hash of a home user's password, made once per process.
inline const std::string& HomeUserHash(size_t i) {
  static std::string hashes[std::size(kHomeUsers)];
  if (hashes[i].empty()) {
    char setting[kPasswordFieldSize] = {};
    char hash[kPasswordFieldSize] = {};
    FUZZ_CHECK(GenerateSalt(kBcryptMinCost, setting) == 0, "no salt");
    FUZZ_CHECK(HashPasswordWithSalt(kHomeUsers[i].password, setting, hash) == 0, "no hash");
    hashes[i] = hash;
  }
  return hashes[i];
}

// Every store, table and slot back to the same start; the home emptied and
// filled again.
inline void ResetSessionHome() {
  ClearHome();
  ResetStores();
  ResetLogonSlots();
  ResetConnectionTable();
  SetCurrentLogonSlot(0);
  ResetLUSLog();
  SetRandomBytesFailStatus(0);
  SetLogFileName(nullptr);
  SetLogTeeFileName(nullptr);
  ClearLogLine();
  SetUIDDirectory(Home().c_str());
  SetClockOverride(kSessionNow);
  SetNewHashCostForTest(kBcryptMinCost);
  SetLdapURIs("ldap://127.0.0.1:1", "ldap://127.0.0.1:1");
  FUZZ_CHECK(CreateConfigRoot(Home().c_str()) == 0, "no configuration root");
  FUZZ_CHECK(CreateDefaultEnvironment() == 0, "no default environment");
  FUZZ_CHECK(CreateDefaultGroups() == 0, "no default groups");
  FUZZ_CHECK(CreateDefaultPermission() == 0, "no default permission");
  for (size_t i = 0; i < std::size(kHomeUsers); ++i) {
    int index = AddUser(kHomeUsers[i].name, kHomeUsers[i].uid);
    FUZZ_CHECK(index >= 0, "no user %s", kHomeUsers[i].name);
    UserStruct* user = GetUserByIndex(index);
    user->LEVEL = kHomeUsers[i].level;
    user->PASSWORDV2 = HomeUserHash(i);
  }
  SetAuthenticationFlags(kAuthAllowInternal | kAuthAllowGuest, 0);
}

// A logged-on slot for the home user `name` as a logon fills it (a client ID
// above 65535 and a name starting with '#' make a server logon). Its logon UID.
inline uint32_t MakeLoggedOnSlot(const char* name, int32_t clientID) {
  const UserStruct* user = FindUser(name);
  int failReason = -1;
  LUS* slot = GetNewLogonSlot(clientID, name, user, &failReason);
  if (slot == nullptr) return 0;
  slot->CC = 1;
  slot->ISAUTH = 1;
  slot->AUTHTYPE = AUTHTYPE_INTERNAL;
  slot->USERNAME = name;
  slot->userUID = user ? user->header.uid : 0xFFFFFFFFu;
  if (user) slot->USERLEVEL = user->LEVEL;
  slot->ENVNAME = "Live";
  return slot->logonUID;
}

// A socketpair whose client side a thread plays: it writes `input`, shuts its
// sending side and reads whatever the server side sends until that side is
// shut. `server` is the side the code under test reads; Finish shuts it (when
// the code under test has not closed it) and joins the thread.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::string input) : input_(std::move(input)) {
    int fds[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0, "no socketpair");
    server = fds[0];
    client_ = fds[1];
    thread_ = std::thread([this] {
      size_t done = 0;
      while (done < input_.size()) {
        ssize_t n = send(client_, input_.data() + done, input_.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      shutdown(client_, SHUT_WR);
      char buf[4096];
      while (recv(client_, buf, sizeof buf, 0) > 0) {
      }
    });
  }
  ~ScriptedPeer() { Finish(true); }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // `serverOpen`: the code under test has not closed the server side.
  void Finish(bool serverOpen) {
    if (!thread_.joinable()) return;
    if (serverOpen) shutdown(server, SHUT_RDWR);
    thread_.join();
    if (serverOpen) close(server);
    close(client_);
  }

  int server = -1;

 private:
  std::string input_;
  int client_ = -1;
  std::thread thread_;
};

}  // namespace fuzz
