// Console stand-ins for the service frame's status report and event log: the
// server reports its states and events to standard error until the service
// frame replaces these. Host layer; calls the log only.
#pragma once

#include <cstdint>

// Service states as the service frame numbers them.
enum ServiceState : uint32_t {
  SERVICE_STOPPED = 1,
  SERVICE_START_PENDING = 2,
  SERVICE_STOP_PENDING = 3,
  SERVICE_RUNNING = 4,
};

// Event types of LogServiceEvent.
enum ServiceEventType : uint32_t {
  SERVICE_EVENT_ERROR = 1,
  SERVICE_EVENT_WARNING = 2,
  SERVICE_EVENT_INFORMATION = 4,
};

// Set when the process runs as a service; the console run leaves it 0.
extern int g_serviceMode;

// Records the state; in the console it is shown on standard error. True.
bool ReportServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHintMs);
// The last state reported (tests).
uint32_t GetReportedServiceState();

// Writes the event text to standard error, marked with its type.
void LogServiceEvent(uint32_t type, const char* text);
