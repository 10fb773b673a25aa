// A new home for the wire-level tests of the logon defences: initialised,
// its administrator's published password given a cost-4 hash, started once
// so that its version-2 files exist, and stopped, ready for the users a test
// adds to it.
// Test support (the benchmarks' too): calls the server process fixture and
// the password hashes.
#pragma once

#include <string>

#include "foundation/crypto/password_hash.h"
#include "support/server_process.h"

constexpr const char kCheapHomeAdmin[] = "administrator";
constexpr const char kCheapHomeAdminPassword[] = "quernstoneway";

// A bcrypt hash of `clear` at `cost` (the empty text when it cannot be made).
inline std::string HashAtCost(const char* clear, int cost) {
  char setting[kPasswordFieldSize] = {};
  char hash[kPasswordFieldSize] = {};
  if (GenerateSalt(cost, setting) != 0 || HashPasswordWithSalt(clear, setting, hash) != 0) return std::string();
  return hash;
}

// False, with the step in *failed, when a step fails.
inline bool PrepareCheapHome(ServerProcess& server, std::string* failed = nullptr) {
  const auto fail = [failed](const std::string& step) {
    if (failed != nullptr) *failed = step;
    return false;
  };
  if (server.Initialise() != 0) return fail("-i");
  const std::string usersPath = server.Home() + "users.xml";
  std::string users = ReadWholeFile(usersPath);
  if (!ReplaceStoredPasswordHash(users, kCheapHomeAdmin, HashAtCost(kCheapHomeAdminPassword, kBcryptMinCost)))
    return fail("the administrator's hash");
  WriteWholeFile(usersPath, users);
  if (!server.Start()) return fail("the first start: " + server.Log());
  if (server.Stop() != 0) return fail("the first stop");
  return true;
}
