// What the sanitized build of the real server reported: the tests that start
// it look at its standard error once it has stopped.
// Test support: calls GoogleTest and the server process fixture.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/server_process.h"

// Success when nothing the sanitizers say reached the server's standard
// error; otherwise the report, from its first mark on.
inline ::testing::AssertionResult NoSanitizerReport(const ServerProcess& server) {
  const std::string log = server.Log();
  for (const char* mark : {"AddressSanitizer", "LeakSanitizer", "runtime error:"}) {
    if (log.find(mark) != std::string::npos) return ::testing::AssertionFailure() << log.substr(log.find(mark), 4000);
  }
  return ::testing::AssertionSuccess();
}
