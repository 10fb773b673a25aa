// Console status report and event log of the server: standard error.
// Host layer; calls stdio only.
#include "host/service_stub.h"

#include <cstdio>

int g_serviceMode = 0;

namespace {
uint32_t g_state = SERVICE_STOPPED;

const char* StateName(uint32_t state) {
  switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    default: return "UNKNOWN";
  }
}
}  // namespace

bool ReportServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHintMs) {
  g_state = state;
  std::fprintf(stderr, "Service status %s (exit code %u, wait hint %u ms)\n", StateName(state), exitCode,
               waitHintMs);
  return true;
}

uint32_t GetReportedServiceState() { return g_state; }

void LogServiceEvent(uint32_t type, const char* text) {
  const char* kind = type == SERVICE_EVENT_ERROR ? "error" : type == SERVICE_EVENT_WARNING ? "warning" : "information";
  std::fprintf(stderr, "Service event (%s): %s\n", kind, text ? text : "");
}
