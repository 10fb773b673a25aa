// The service's identity, its mode flags, the status it reports to the
// service manager and the event log it writes; in the console (-debug) the
// status goes nowhere and the events go to standard error.
// Host layer: calls the platform's service manager and event log.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/service_manager.h"

// Set when main hands the process to the service manager; 0 in the console.
extern int g_serviceMode;
// Set only for -debug: no status reports, events to standard error.
extern int g_debugFlag;

constexpr char kDefaultDescription[] = "Zentak User and Configuration Management";

struct ServiceIdentity {
  std::string serviceName = "TorvaneServer";  // the internal name
  std::string displayName = "Torvane Server";
  std::string description = kDefaultDescription;  // -desc replaces it
  std::string account;                        // empty: the account that starts it
  std::string password;                       // taken from -pass, never stored
};
ServiceIdentity& GetServiceIdentity();

// Exit code of a STOPPED report whose service-specific code holds the
// server's own failure.
constexpr uint32_t kServiceSpecificError = ECANCELED;

// ---- Status ---------------------------------------------------------------------------

// The handle of the control handler's registration (0: none, nothing is reported).
void SetServiceStatusHandle(int handle);
// Reports the state: no controls accepted during START_PENDING, stop
// otherwise; checkpoint 0 for RUNNING and STOPPED, else the counter (from 1,
// never reset). Non-zero on success; always in debug mode or without a handle.
bool ReportServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHintMs);
// The same with the service-specific exit code (the STOPPED report).
bool ReportServiceStatusWithCode(uint32_t state, uint32_t exitCode, uint32_t serviceExitCode, uint32_t waitHintMs);
// The last state reported.
uint32_t GetReportedServiceState();

// ---- Event log -------------------------------------------------------------------------

// The event's message template: the two strings, each on a line of its own.
constexpr char kEventMessageTemplate[] = "%1!s!%n%2!s!%n\r\n";

// One event. The format's first character may be '=' (the saved error becomes
// 0), then '!' error, '-' information or '?' warning (skipped); anything else
// is information and stays. A warning or error with a non-zero saved error
// gets the second string "GetLastError() returned %d - %s".
void LogServiceEvent(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The error code LogServiceEvent saved last.
int GetSavedError();

// The system text of a code without a final "\r\n" in a 512-byte buffer
// (overwritten by the next call), or "[error message too long]".
const char* FormatErrorText(int code);
// "%s (0x%x)" of the last error in `buffer`; empty when the text would not fit.
const char* FormatLastErrorText(char* buffer, size_t size);
