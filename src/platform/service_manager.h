// A service manager of our own: service records as registry keys under
// "SYSTEM\CurrentControlSet\Services\<name>", started as detached processes
// (new session, double fork, working directory the state root, output to a
// file), stopped by SIGTERM, alive exactly while they hold the flock on their
// lock file. Every status a service reports is appended to its report log.
//
//   stopped --ScmStartService--> START_PENDING (the manager's own record)
//   the service then reports through SetServiceStatus:
//   START_PENDING --> RUNNING --(STOP control: SIGTERM)--> STOP_PENDING --> STOPPED
//   a process that ends without reporting STOPPED reads STOPPED, kSvcDied.
//
// Platform layer: calls platform/registry.h, platform/state_root.h,
// platform/atomic_file.h, POSIX processes, signals and flock.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

// Service states.
enum ServiceState : uint32_t {
  SERVICE_STOPPED = 1,
  SERVICE_START_PENDING = 2,
  SERVICE_STOP_PENDING = 3,
  SERVICE_RUNNING = 4,
};
constexpr uint32_t SERVICE_WIN32_OWN_PROCESS = 16;
constexpr uint32_t SERVICE_AUTO_START = 2;
constexpr uint32_t SERVICE_ERROR_NORMAL = 1;
constexpr uint32_t SERVICE_ACCEPT_STOP = (1u << 0);   // controls accepted: stop
constexpr uint32_t SERVICE_CONTROL_STOP = 1;
constexpr uint32_t SERVICE_CONTROL_INTERROGATE = 4;

// Result codes besides 0 (errno values, read through strerror).
constexpr int kSvcExists = EEXIST;            // a record of that name exists
constexpr int kSvcNotFound = ENOENT;          // no record of that name
constexpr int kSvcAlreadyRunning = EALREADY;  // start of a running service
constexpr int kSvcNotRunning = ESRCH;         // control of a stopped service
constexpr int kSvcMarkedForDelete = EIDRM;    // the record goes when the service stops
constexpr int kSvcCannotAccept = EBUSY;       // the service does not accept that control now
constexpr int kSvcNoDispatcher = ENOTCONN;    // the process was not started by the manager
constexpr int kSvcDied = EOWNERDEAD;          // exit code of a service that ended without STOPPED
constexpr int kSvcBadControl = EINVAL;

struct ServiceStatus {
  uint32_t serviceType = SERVICE_WIN32_OWN_PROCESS;
  uint32_t currentState = SERVICE_STOPPED;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
  int32_t pid = 0;  // the reporting process (0 before its first report)
};

struct ServiceConfig {
  std::string name;         // the internal name (the record's key)
  std::string displayName;
  std::string imagePath;    // the program started
  std::string account;      // recorded only: the service runs as the account that starts it
};

// The registry path of the records.
constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
// The key of the event sources under it (never a service).
constexpr char kEventLogKeyName[] = "EventLog";

// ---- The controller's side -------------------------------------------------------

// Makes the manager's folders: 0, or the errno of the failure.
int ScmOpenManager();
int ScmCreateService(const ServiceConfig& config);
// 0 when the record exists (also when marked for deletion).
int ScmOpenService(const std::string& name);
int ScmSetDescription(const std::string& name, const std::string& description);
// Starts the recorded program, which learns its name and `args` through
// StartServiceCtrlDispatcher. 0 once the process holds its lock.
int ScmStartService(const std::string& name, const std::vector<std::string>& args);
int ScmQueryStatus(const std::string& name, ServiceStatus& status);
// STOP (SIGTERM to the service) or INTERROGATE; `status` as it stood.
int ScmControlService(const std::string& name, uint32_t control, ServiceStatus& status);
// Removes a stopped service's record; a running one is marked for deletion
// and removed when it stops.
int ScmDeleteService(const std::string& name);

// Files of a service under the state root (tests read them).
std::string ScmReportLogPath(const std::string& name);
std::string ScmOutputPath(const std::string& name);

// ---- The service's side ------------------------------------------------------------

using ServiceMainFunction = void (*)(int argc, char** argv);
using ServiceHandlerFunction = void (*)(uint32_t control);

// Runs `serviceMain` on a thread of its own with the service name and the
// start parameters, and delivers controls (SIGTERM: STOP) to the registered
// handler on this thread until serviceMain returns. A STOP that arrives during
// START_PENDING is kept and delivered once RUNNING is reported. False with
// errno kSvcNoDispatcher when the process was not started by the manager.
bool StartServiceCtrlDispatcher(const std::string& name, ServiceMainFunction serviceMain);
// A non-zero handle, or 0 (errno set) outside the dispatcher.
int RegisterServiceCtrlHandler(const std::string& name, ServiceHandlerFunction handler);
// Records the status and appends it to the report log. False (errno set)
// when it cannot be written.
bool SetServiceStatus(int handle, const ServiceStatus& status);

// The report log's line of a status: "<STATE> <wait hint> exit=.. service_exit=.. checkpoint=.. controls=.."
std::string FormatStatusReport(const ServiceStatus& status);
const char* ServiceStateName(uint32_t state);
