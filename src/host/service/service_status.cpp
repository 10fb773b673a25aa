// Service status reports and the event log of the service frame.
// Host layer: calls the platform's service manager, event log and errors.
#include "host/service/service_status.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/errors.h"
#include "platform/event_log.h"

int g_serviceMode = 0;
int g_debugFlag = 0;

namespace {
// The status record is written by the server's thread and the dispatcher's.
std::mutex g_statusLock;
ServiceStatus g_status;
int g_statusHandle = 0;
uint32_t g_checkPoint = 1;
std::atomic<int> g_savedError{0};
}  // namespace

ServiceIdentity& GetServiceIdentity() {
  static ServiceIdentity identity;
  return identity;
}

void SetServiceStatusHandle(int handle) {
  std::lock_guard<std::mutex> hold(g_statusLock);
  g_statusHandle = handle;
}

bool ReportServiceStatus(uint32_t state, uint32_t exitCode, uint32_t waitHintMs) {
  return ReportServiceStatusWithCode(state, exitCode, 0, waitHintMs);
}

bool ReportServiceStatusWithCode(uint32_t state, uint32_t exitCode, uint32_t serviceExitCode, uint32_t waitHintMs) {
  if (g_debugFlag) return true;
  ServiceStatus s;
  int handle = 0;
  {
    std::lock_guard<std::mutex> hold(g_statusLock);
    g_status.serviceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.currentState = state;
    g_status.controlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    g_status.win32ExitCode = exitCode;
    g_status.serviceSpecificExitCode = serviceExitCode;
    g_status.waitHint = waitHintMs;
    g_status.checkPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : g_checkPoint++;
    s = g_status;
    handle = g_statusHandle;
  }
  if (handle == 0) return true;  // not under the manager: nobody to tell
  SetLastError(0);
  if (SetServiceStatus(handle, s)) return true;
  LogServiceEvent("!SetServiceStatus(%d,%d,%d)", static_cast<int>(state), static_cast<int>(exitCode),
                  static_cast<int>(waitHintMs));
  return false;
}

uint32_t GetReportedServiceState() {
  std::lock_guard<std::mutex> hold(g_statusLock);
  return g_status.currentState;
}

int GetSavedError() { return g_savedError.load(); }

const char* FormatErrorText(int code) {
  static char text[512];
  char work[1024];
  const char* msg = strerror_r(code, work, sizeof work);
  size_t len = msg != nullptr ? std::strlen(msg) : 0;
  while (len > 0 && (msg[len - 1] == '\n' || msg[len - 1] == '\r')) --len;
  if (len == 0 || len >= sizeof text) {
    std::snprintf(text, sizeof text, "%s", "[error message too long]");
    return text;
  }
  std::memcpy(text, msg, len);
  text[len] = '\0';
  return text;
}

const char* FormatLastErrorText(char* buffer, size_t size) {
  int code = GetLastError();
  if (size == 0) return buffer;
  buffer[0] = '\0';
  char work[1024];
  const char* msg = strerror_r(code, work, sizeof work);
  size_t len = msg != nullptr ? std::strlen(msg) : 0;
  while (len > 0 && (msg[len - 1] == '\n' || msg[len - 1] == '\r')) --len;
  if (len == 0 || len + 14 > size) return buffer;
  std::snprintf(buffer, size, "%.*s (0x%x)", static_cast<int>(len), msg, static_cast<unsigned>(code));
  return buffer;
}

void LogServiceEvent(const char* format, ...) {
  int saved = GetLastError();
  if (format == nullptr) format = "";
  if (*format == '=') {
    ++format;
    saved = 0;
  }
  g_savedError.store(saved);
  uint16_t type = EVENTLOG_INFORMATION_TYPE;
  if (*format == '!') type = EVENTLOG_ERROR_TYPE;
  else if (*format == '?') type = EVENTLOG_WARNING_TYPE;
  if (*format == '!' || *format == '-' || *format == '?') ++format;

  char message[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(message, sizeof message, format, ap);
  va_end(ap);
  SetLastError(0);

  char second[1024] = "";
  if (saved != 0 && type != EVENTLOG_INFORMATION_TYPE)
    std::snprintf(second, sizeof second, "GetLastError() returned %d - %s", saved, FormatErrorText(saved));

  if (g_debugFlag || !g_serviceMode) {
    std::fprintf(stderr, "%s\n", message);
    if (second[0] != '\0') std::fprintf(stderr, "%s\n", second);
    return;
  }
  ReportEvent(GetServiceIdentity().serviceName, type, 0, 0, kEventMessageTemplate, {message, second});
}
