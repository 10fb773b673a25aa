// Fixture of the configuration request tests: a fresh home directory with a
// new configuration ("Live" with the server's own application "Torvane" and
// its logon settings, env.xml written), four users written by hand (alice an
// administrator; bob, carol and dave not, with AllowConfiguration settings of
// their own), a fixed clock, the caller's logon slot, and a connected socket
// pair whose server end is handed to a handler while the test speaks the
// protocol on the other end.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "config/config_model.h"
#include "config/server_lists.h"
#include "config/settings_files_write.h"
#include "directory/user_records.h"
#include "directory/users_files.h"
#include "foundation/settings/server_settings.h"
#include "platform/clock.h"
#include "sessions/connection_table.h"
#include "sessions/logon_slots.h"
#include "support/directory_reset.h"
#include "support/temp_dir.h"
#include "support/socket_pair.h"
#include "support/test_client.h"

namespace config_request_users {

const char kUserList[] =
    "<?xml version=\"1.0\"?>\n<USERLIST>\n"
    "<USER uid=\"00001001\" name=\"alice\"/>\n"
    "<USER uid=\"00001002\" name=\"bob\"/>\n"
    "<USER uid=\"00001003\" name=\"carol\"/>\n"
    "<USER uid=\"00001004\" name=\"dave\"/>\n"
    "</USERLIST>";

// alice: administrator (LEVEL 0x8000), no settings of her own.
const char kAlice[] =
    "<USER>\n<UID>00001001</UID>\n<USERNAME>alice</USERNAME>\n<ADUSER>0</ADUSER>\n"
    "<LEVEL>32768</LEVEL>\n<USERDATA>\n<Live>\n<Torvane>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";

// bob: LEVEL 0; in Test, AllowConfiguration 1 for Plus, -1 for Minus, 0 for
// Zero, "yes" for Word, none for Bare; in Live 1 for Torvane.
const char kBob[] =
    "<USER>\n<UID>00001002</UID>\n<USERNAME>bob</USERNAME>\n<ADUSER>0</ADUSER>\n"
    "<LEVEL>0</LEVEL>\n<USERDATA>\n"
    "<Live>\n<Torvane>\n<AllowConfiguration>1</AllowConfiguration>\n</Torvane>\n</Live>\n"
    "<Test>\n"
    "<Plus>\n<AllowConfiguration>1</AllowConfiguration>\n</Plus>\n"
    "<Minus>\n<AllowConfiguration>-1</AllowConfiguration>\n</Minus>\n"
    "<Zero>\n<AllowConfiguration>0</AllowConfiguration>\n</Zero>\n"
    "<Word>\n<AllowConfiguration>yes</AllowConfiguration>\n</Word>\n"
    "<Bare>\n</Bare>\n"
    "</Test>\n</USERDATA>\n</USER>\n";

// carol: LEVEL 0x200, so her rights come from Live: 1 for Plus there; in Test
// 1 for Zero (not consulted) and 0 for Plus (not consulted either).
const char kCarol[] =
    "<USER>\n<UID>00001003</UID>\n<USERNAME>carol</USERNAME>\n<ADUSER>0</ADUSER>\n"
    "<LEVEL>512</LEVEL>\n<USERDATA>\n"
    "<Live>\n<Torvane>\n</Torvane>\n<Plus>\n<AllowConfiguration>1</AllowConfiguration>\n</Plus>\n</Live>\n"
    "<Test>\n"
    "<Plus>\n<AllowConfiguration>0</AllowConfiguration>\n</Plus>\n"
    "<Zero>\n<AllowConfiguration>1</AllowConfiguration>\n</Zero>\n"
    "</Test>\n</USERDATA>\n</USER>\n";

// dave: LEVEL 0, no settings beyond the login section.
const char kDave[] =
    "<USER>\n<UID>00001004</UID>\n<USERNAME>dave</USERNAME>\n<ADUSER>0</ADUSER>\n"
    "<LEVEL>0</LEVEL>\n<USERDATA>\n<Live>\n<Torvane>\n</Torvane>\n</Live>\n</USERDATA>\n</USER>\n";

}  // namespace config_request_users

class ConfigRequestFixture : public ::testing::Test {
 protected:
  static constexpr int64_t kStartTime = 0x60000000;

  TempDir home;
  SocketPair pair;

  void SetUp() override {
    ResetDirectoryState();
    ResetServerLists();
    SetClockOverride(kStartTime);
    ASSERT_EQ(0, SetHomeDirectory(home.path.c_str()));
    for (const char* d : {"envs", "schemas", "users"}) ::mkdir(home.File(d).c_str(), 0755);
    ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
    ASSERT_EQ(0, CreateDefaultEnvironment());
    ASSERT_EQ(0, WriteEnvironmentMasterFile(home.File("env.xml").c_str()));
    namespace u = config_request_users;
    WriteWholeFile(home.File("userlist.xml"), u::kUserList);
    WriteWholeFile(UserFilePath(home.path, 0x1001), u::kAlice);
    WriteWholeFile(UserFilePath(home.path, 0x1002), u::kBob);
    WriteWholeFile(UserFilePath(home.path, 0x1003), u::kCarol);
    WriteWholeFile(UserFilePath(home.path, 0x1004), u::kDave);
    ASSERT_EQ(0, ReadUsersV2(home.path.c_str()));
    ResetLogonSlots();
    ResetConnectionTable();
    CallAs("alice");
    ASSERT_GE(pair.server, 0);
    // A handler waiting for bytes that never come fails its read instead of
    // hanging the test.
    timeval tv{0, 200 * 1000};
    ::setsockopt(pair.server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int big = 4 * 1024 * 1024;
    ::setsockopt(pair.client, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    ::setsockopt(pair.server, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  }

  void TearDown() override {
    SetCurrentLogonSlot(0);
    ResetLogonSlots();
    ResetConnectionTable();
    ResetServerLists();
    ResetDirectoryState();
  }

  // Makes a logon slot for `user` (as a logon fills it) the current logon
  // slot, so the rights checks judge that user; null: no current slot.
  void CallAs(const char* user) {
    if (user == nullptr) {
      SetCurrentLogonSlot(0);
      return;
    }
    const UserStruct* record = FindUser(user);
    ASSERT_NE(record, nullptr) << user;
    int failReason = -1;
    LUS* slot = GetNewLogonSlot(0x100, user, record, &failReason);
    ASSERT_NE(slot, nullptr) << failReason;
    slot->CC = 1;
    slot->ISAUTH = 1;
    slot->USERNAME = user;
    slot->userUID = record->header.uid;
    SetCurrentLogonSlot(slot->logonUID);
  }

  // Writes the request's argument bytes, runs the handler on the server end
  // and gives every byte it replied. The handler runs to completion first, so
  // whatever is pending on the client end afterwards is the whole reply.
  template <class Handler>
  TestBytes Run(Handler handler, const TestRequest& request = TestRequest()) {
    const TestBytes& bytes = request.Bytes();
    if (!bytes.empty()) pair.Send(std::string(bytes.begin(), bytes.end()));
    handler(pair.server);
    return Text(pair.Pending());
  }

  // The bytes left unread on the server end (arguments a handler did not read).
  TestBytes Unread() { return Text(pair.UnreadByServer()); }

  // Expected replies, framed as the client sees them.
  static TestBytes Code(int32_t code) { return TestRequest().Int(code).Bytes(); }
  static TestBytes CodeText(const std::optional<std::string>& text) {
    return TestRequest().Int(0).String(text).Bytes();
  }
  static TestBytes Text(const std::string& bytes) { return TestBytes(bytes.begin(), bytes.end()); }

  std::string EnvXml() const { return ReadWholeFile(home.File("env.xml")); }
};
