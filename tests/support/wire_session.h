// One logged-on client of the real server for wire-level tests: connects to
// the server's loopback port, logs on with a user name and password, and
// sends requests whose first reply word it reads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "support/server_process.h"
#include "support/test_client.h"

// The administrator's password in a home the server initialised.
constexpr const char kNewHomeAdministratorPassword[] = "quernstoneway";

struct WireSession {
  static constexpr int32_t kClientID = 7;
  TestClient client;
  bool ok = false;  // connected and logged on
  WireSession(const ServerProcess& server, const std::string& user, const std::string& password) {
    client = TestClient::ConnectLoopback(server.Port());
    if (!client.Connected()) return;
    TestClient::LogonReply reply = client.Logon(user, password, kClientID);
    ok = reply.received && reply.code == 0;
  }
  // The request reader's word, then the first reply word.
  std::optional<int32_t> Call(int32_t id, const TestRequest& args = TestRequest()) {
    if (client.Request(id, args) != 0) return std::nullopt;
    return client.RecvInt();
  }
};
