// A new home for the wire-level tests of the logon defences: initialised,
// its administrator's published password given a cost-4 hash, started once
// so that its version-2 files exist, and stopped, ready for the users a test
// adds to it.
// Test support: calls the server process fixture and the stored directory's
// cheap hashes.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/server_process.h"
#include "support/stored_directory.h"

constexpr const char kCheapHomeAdmin[] = "administrator";
constexpr const char kCheapHomeAdminPassword[] = "quernstoneway";

// Fails the test (ASSERT) when a step fails.
inline void PrepareCheapHome(ServerProcess& server) {
  ASSERT_EQ(0, server.Initialise());
  const std::string usersPath = server.Home() + "users.xml";
  std::string users = ReadWholeFile(usersPath);
  ASSERT_TRUE(ReplaceStoredPasswordHash(users, kCheapHomeAdmin, CheapHash(kCheapHomeAdminPassword)));
  WriteWholeFile(usersPath, users);
  ASSERT_TRUE(server.Start()) << server.Log();
  ASSERT_EQ(0, server.Stop());
}
