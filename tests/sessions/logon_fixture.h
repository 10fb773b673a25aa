// A directory store in a temporary home for the logon and request-reader
// tests: "Live"/"Torvane" with the Authentication settings, and users with
// cost-4 bcrypt hashes and login sections:
//   administrator (level 0x8000), guest, default_user, ZentakUser (built-in);
//   bob (password "bobpw"), mustbob (must change), mcbob (must and cannot),
//   cannotbob (cannot change), admboth (administrator, must and cannot),
//   carol (legacy hash of "carolpw"), expbob ("exppw"); AD users alice,
//   CORP\dave, uma and gus.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "config/config_model.h"
#include "config/settings_api.h"
#include "directory/user_records.h"
#include "directory/users_files.h"
#include "foundation/crypto/password_hash.h"
#include "foundation/settings/server_settings.h"
#include "platform/clock.h"
#include "sessions/connection_table.h"
#include "sessions/logon_backoff.h"
#include "sessions/logon_settings.h"
#include "sessions/logon_slots.h"
#include "sessions/lus_log.h"
#include "support/directory_reset.h"
#include "support/socket_pair.h"
#include "support/temp_dir.h"

namespace logon_test {

inline std::string CheapHash(const char* clear) {
  char setting[kPasswordFieldSize] = {};
  char hash[kPasswordFieldSize] = {};
  EXPECT_EQ(GenerateSalt(kBcryptMinCost, setting), 0);
  EXPECT_EQ(HashPasswordWithSalt(clear, setting, hash), 0);
  return hash;
}

constexpr int64_t kMidnight = 0x5F5D6100;          // 2020-09-13 00:00:00 UTC
constexpr int64_t kTenOClock = kMidnight + 36000;  // 10:00 that day

struct TestUser {
  uint32_t uid;
  const char* name;
  const char* password;  // bcrypt of this; null: no PASSWORDV2
  uint32_t legacy;       // PASSWORD word
  int adUser;
  uint32_t level;
  const char* passwords;  // extra children of <Passwords>
};

inline const TestUser* TestUsers(size_t* count) {
  static const TestUser users[] = {
      {0xEE6B2802, "administrator", "adminpw", 0, 0, 0x8000, ""},
      {0xEE6B2806, "guest", "guestpw", 0, 0, 0, ""},
      {0xEE6B2807, "default_user", "defpw", 0, 0, 0, ""},
      {0xEE6B2808, "ZentakUser", "zentakpw", 0, 0, 0, ""},
      {0x1001, "bob", "bobpw", 0, 0, 0, ""},
      {0x1002, "mustbob", "mustpw", 0, 0, 0, "<MustChange>1</MustChange>\n"},
      {0x1003, "mcbob", "mcpw", 0, 0, 0, "<MustChange>1</MustChange>\n<CannotChange>1</CannotChange>\n"},
      {0x1004, "cannotbob", "cannotpw", 0, 0, 0, "<CannotChange>1</CannotChange>\n"},
      {0x1005, "admboth", "admpw", 0, 0, 0x8000, "<MustChange>1</MustChange>\n<CannotChange>1</CannotChange>\n"},
      {0x1006, "carol", nullptr, 0, 0, 0, ""},
      {0x1007, "alice", nullptr, 0, 1, 0, ""},
      {0x1008, "CORP\\dave", nullptr, 0, 1, 0, ""},
      {0x1009, "expbob", "exppw", 0, 0, 0, ""},
      {0x100A, "uma", nullptr, 0, 1, 0, ""},
      {0x100B, "gus", nullptr, 0, 1, 0, ""},
  };
  *count = sizeof users / sizeof users[0];
  return users;
}

// The legacy hash of "carolpw".
inline uint32_t CarolHash() { return GetPasswordCRC("carolpw"); }

class LogonStore : public ::testing::Test {
 protected:
  TempDir home;

  void SetUp() override {
    ResetDirectoryState();
    ResetLogonSlots();
    ResetConnectionTable();
    ResetLUSLog();
    // Every connection of these tests has the same (unknown) address, and
    // its failures stay counted whatever succeeds after them.
    ResetLogonBackoff();
    // New hashes, and the check a name that does not exist costs, at the
    // cost of the users' own hashes.
    SetNewHashCostForTest(kBcryptMinCost);
    SetClockOverride(kTenOClock);
    ASSERT_EQ(SetHomeDirectory(home.path.c_str()), 0);
    ASSERT_EQ(CreateConfigRoot(home.path.c_str()), 0);
    EnvironmentStruct* live = CreateEnvironment(GetConfigRoot(), "Live", 0);
    ASSERT_NE(live, nullptr);
    ASSERT_NE(AddApplication(live, "Torvane"), nullptr);
    std::filesystem::create_directories(home.File("users"));
    size_t count = 0;
    const TestUser* users = TestUsers(&count);
    std::string list = "<?xml version=\"1.0\"?>\n<USERLIST>\n";
    for (size_t i = 0; i < count; ++i) {
      const TestUser& u = users[i];
      char uid[16];
      std::snprintf(uid, sizeof uid, "%08X", u.uid);
      std::string name = u.name;
      list += std::string("<USER uid=\"") + uid + "\" name=\"" + name + "\"/>\n";
      char legacy[16];
      std::snprintf(legacy, sizeof legacy, "%08X", u.uid == 0x1006 ? CarolHash() : u.legacy);
      std::string file = std::string("<USER>\n<UID>") + uid + "</UID>\n<USERNAME>" + name + "</USERNAME>\n" +
                         "<PASSWORD>" + legacy + "</PASSWORD>\n";
      if (u.password) file += "<PASSWORDV2>" + Hash(u.password) + "</PASSWORDV2>\n";
      file += "<ADUSER>" + std::to_string(u.adUser) + "</ADUSER>\n<LEVEL>" + std::to_string(u.level) +
              "</LEVEL>\n<USERDATA>\n<Live>\n<Torvane>\n<Passwords>\n" + u.passwords +
              "</Passwords>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";
      WriteWholeFile(UserFilePath(home.path, u.uid), file);
    }
    list += "</USERLIST>";
    WriteWholeFile(home.File("userlist.xml"), list);
    ASSERT_EQ(ReadUsersV2(home.path.c_str()), 0);
    ASSERT_EQ(GetUserCount(), static_cast<int>(count));
    SetAuthenticationFlags(kAuthAllowInternal, 0);
  }

  void TearDown() override {
    SetAuthenticationFlags(0, 0);
    SetNewHashCostForTest(0);
    ResetLogonSlots();
    ResetConnectionTable();
    ResetDirectoryState();
  }

  // Hashes are made once per process: bcrypt even at cost 4 is the slow part.
  static std::string Hash(const char* clear) {
    static std::vector<std::pair<std::string, std::string>> made;
    for (auto& [c, h] : made)
      if (c == clear) return h;
    made.emplace_back(clear, CheapHash(clear));
    return made.back().second;
  }

  static void SetLiveSetting(const char* path, const char* text) {
    ASSERT_EQ(AddSetting("Live", "Torvane", path, 0, PARAM_TYPE_STRING, -1, text, std::strlen(text) + 1), 0);
  }
};

// The store with one connection record on the server end of a socket pair,
// for the calls that read a request or answer a client.
class ConnectedLogonStore : public LogonStore {
 protected:
  SocketPair pair;
  ConnectionRecord conn;

  void SetUp() override {
    LogonStore::SetUp();
    conn = ConnectionRecord{};
    conn.socket = pair.server;
  }
};

}  // namespace logon_test
