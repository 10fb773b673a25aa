// Fixture of the dispatcher and server information tests: a home in a
// temporary directory holding the default configuration (Live/Torvane with
// its settings file), three users (alice, an administrator, guest), the
// connection table and slots emptied, and every log line kept in a tee file
// so a test can read the lines a request wrote.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "config/config_model.h"
#include "foundation/log/ring_log.h"
#include "foundation/uid/node_header.h"
#include "sessions/connection_table.h"
#include "sessions/logon_slots.h"
#include "support/slot_fixture.h"
#include "support/temp_dir.h"

constexpr uint32_t kAdminLevelBit = 0x8000;

class RequestFixture : public ::testing::Test {
 protected:
  TempDir home;

  void SetUp() override {
    ResetSessionState(home);
    ::mkdir(home.File("envs").c_str(), 0755);
    ::mkdir(home.File("schemas").c_str(), 0755);
    ASSERT_EQ(0, CreateConfigRoot(home.path.c_str()));
    ASSERT_EQ(0, CreateDefaultEnvironment());
    AddTestUser("alice", 101);
    AddTestUser("boss", 102, kAdminLevelBit);
    AddTestUser("guest", kUIDGuest);
    SetLogTeeFileName(home.File("tee.log").c_str());
  }

  void TearDown() override {
    SetLogTeeFileName(nullptr);
    ResetConnectionTable();
    ResetLogonSlots();
    ResetConfigRoot();
    ResetDirectoryState();
  }

  // Makes a logged-on slot for `name` with the user's level, and makes it the
  // current logon slot. Gives its logon UID.
  uint32_t LogOn(const char* name, int32_t clientID = 1) {
    uint32_t logonUID = MakeTestSlot(name, clientID);
    EXPECT_NE(0u, logonUID) << name;
    if (LUS* slot = FindLUSByLogonUID(logonUID)) slot->USERLEVEL = FindUser(name)->LEVEL;
    SetCurrentLogonSlot(logonUID);
    return logonUID;
  }

  // The log lines written since SetUp (or since the last ClearLog).
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadWholeFile(home.File("tee.log")));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  void ClearLog() const { WriteWholeFile(home.File("tee.log"), ""); }
};
