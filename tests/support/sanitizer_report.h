// What the sanitized build of the real server reported: the tests that start
// it look at its standard error once it has stopped.
// Test support: calls GoogleTest and the server process fixture.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/server_process.h"

// Success when nothing the sanitizers say reached the server's standard
// error; otherwise the report, from the first mark of any of them on.
inline ::testing::AssertionResult NoSanitizerReport(const ServerProcess& server) {
  const std::string log = server.Log();
  size_t first = std::string::npos;
  for (const char* mark : {"AddressSanitizer", "LeakSanitizer", "runtime error:"}) first = std::min(first, log.find(mark));
  if (first == std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << log.substr(first, 4000);
}
