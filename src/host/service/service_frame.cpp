// The program's entry and the service and console runs.
// Host layer: calls the run function, the ring log reader command, the loop's
// stop hook, the service status, and the platform's service manager and
// console control.
#include "host/service/service_frame.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "foundation/util/util.h"
#include "host/log_reader.h"
#include "host/run_server.h"
#include "host/server_loop.h"
#include "host/service/service_status.h"
#include "platform/clock.h"
#include "platform/console_control.h"
#include "platform/service_manager.h"

namespace {

bool IsSwitch(const char* arg) { return arg != nullptr && (arg[0] == '-' || arg[0] == '/'); }

// Removes `count` words at `at` from the vector.
void RemoveArgs(std::vector<char*>& args, size_t at, size_t count) {
  args.erase(args.begin() + static_cast<long>(at), args.begin() + static_cast<long>(at + count));
}

const char kUsageText[] =
    "\n"
    "Main commands:\n"
    "   -install <displayname>  to install the service\n"
    "   -remove [internalname]  to remove the service\n"
    "   -debug <params>         to run as a console app for debugging\n"
    "   -start                  to start the installed service\n"
    "   -stop                   to stop the running service\n"
    "   -check                  to start the service, see it running and stop it\n"
    "   -log <file> [count]     to print the newest records of a ring log file\n"
    "Optional parameters that may appear before '-install':\n"
    "   -name <internalname>    Set the internal name of service\n"
    "   -desc <description>     Set the service's description\n"
    "   -user <username>        Set the username for the service to run under\n"
    "   -pass <password>        Set the password for above user\n";

}  // namespace

std::string ServiceNameOfProgram(const char* argv0) {
  std::string name = argv0 != nullptr ? argv0 : "";
  size_t slash = name.find_last_of('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  if (name.size() >= 4 && EqualsNoCase(name.c_str() + name.size() - 4, ".exe")) name.erase(name.size() - 4);
  return name;
}

int ServiceFrameMain(int argc, char** argv) {
  IgnoreBrokenPipeSignal();
  // Reading a ring log is no service command: its output is the records alone.
  if (argc > 1 && IsSwitch(argv[1]) && EqualsNoCase(argv[1] + 1, kLogCommandWord)) return PrintRingLog(argc - 2, argv + 2);
  ServiceIdentity& id = GetServiceIdentity();
  std::vector<char*> args(argv, argv + argc);
  if (!args.empty()) id.serviceName = ServiceNameOfProgram(args[0]);

  while (args.size() > 2 && IsSwitch(args[1])) {
    const char* word = args[1] + 1;
    std::string* target = EqualsNoCase(word, "name")   ? &id.serviceName
                          : EqualsNoCase(word, "desc") ? &id.description
                          : EqualsNoCase(word, "user") ? &id.account
                          : EqualsNoCase(word, "pass") ? &id.password
                                                           : nullptr;
    if (target == nullptr) break;
    *target = args[2];
    RemoveArgs(args, 1, 2);
  }

  if (!id.account.empty()) std::printf("Service will run as user '%s'\n", id.account.c_str());
  else std::printf("Service will run as LOCAL SYSTEM\n");
  std::printf("Service name will be '%s'\n", id.serviceName.c_str());
  if (!id.description.empty()) std::printf("Description will be '%s'\n", id.description.c_str());

  if (args.size() > 1 && IsSwitch(args[1])) {
    const char* word = args[1] + 1;
    int exitCode = 0;
    bool done = true;
    if (EqualsNoCase(word, "install")) {
      RemoveArgs(args, 1, 1);
      if (args.size() > 1) {
        if (args[1][0] != '\0') id.displayName = args[1];
        RemoveArgs(args, 1, 1);
      }
      std::printf("Display name will be '%s'\n", id.displayName.c_str());
      exitCode = InstallService(static_cast<int>(args.size()), args.data());
    } else if (EqualsNoCase(word, "remove")) {
      RemoveArgs(args, 1, 1);
      if (args.size() > 1) {
        id.serviceName = args[1];
        RemoveArgs(args, 1, 1);
      }
      exitCode = RemoveService();
    } else if (EqualsNoCase(word, "debug")) {
      RemoveArgs(args, 1, 1);
      g_serviceMode = 0;
      g_debugFlag = 1;
      std::fflush(stdout);
      // A supervisor learns from the exit code whether the server could run.
      exitCode = RunAsConsole(static_cast<int>(args.size()), args.data());
    } else if (EqualsNoCase(word, "start")) {
      exitCode = ControlServiceCommand(kControlStart, 0);
    } else if (EqualsNoCase(word, "stop")) {
      exitCode = ControlServiceCommand(kControlStop, 0);
    } else if (EqualsNoCase(word, "check")) {
      exitCode = ControlServiceCommand(kControlStart, 1);
    } else {
      done = false;
    }
    if (done) {
      std::fflush(stdout);
      return exitCode;
    }
  }

  std::fputs(kUsageText, stdout);
  std::printf("\nStartServiceCtrlDispatcher being called.\n");
  std::printf("This may take several seconds.  Please wait.\n");
  std::fflush(stdout);
  g_serviceMode = 1;
  int exitCode = 0;
  if (!StartServiceCtrlDispatcher(id.serviceName, ServiceMain)) {
    LogServiceEvent("!StartServiceCtrlDispatcher failed.");
    exitCode = 1;
  }
  std::fflush(stdout);
  return exitCode;
}

void ServiceMain(int argc, char** argv) {
  ServiceIdentity& id = GetServiceIdentity();
  if (argc != 0) id.serviceName = argv[0];
  int handle = RegisterServiceCtrlHandler(id.serviceName, ServiceControlHandler);
  if (handle == 0) {
    LogServiceEvent("!Could not register service-control handler");
    return;
  }
  SetServiceStatusHandle(handle);
  int rc = 0;
  if (ReportServiceStatus(SERVICE_START_PENDING, 0, 3000)) {
    // A check start runs the service as configured: its start parameter is
    // no port word.
    std::vector<char*> args(argv, argv + argc);
    if (args.size() > 1 && std::strcmp(args[1], kStartCheckArg) == 0) RemoveArgs(args, 1, 1);
    rc = ServiceStart(static_cast<int>(args.size()), args.data());
  }
  // A clean stop reports 0; the server's own failure rides in the
  // service-specific code.
  if (rc == 0) ReportServiceStatusWithCode(SERVICE_STOPPED, 0, 0, 0);
  else ReportServiceStatusWithCode(SERVICE_STOPPED, kServiceSpecificError, static_cast<uint32_t>(rc), 0);
}

void ServiceControlHandler(uint32_t control) {
  if (control == SERVICE_CONTROL_STOP) {
    ReportServiceStatus(SERVICE_STOP_PENDING, 0, 0);
    ServiceStop();
    return;
  }
  ReportServiceStatus(GetReportedServiceState(), 0, 0);
}

int ServiceStart(int argc, char** argv) { return RunServer(argc, argv); }

int RunAsConsole(int argc, char** argv) {
  SetConsoleCtrlHandler(ConsoleCtrlHandler, true);
  return ServiceStart(argc, argv);
}

bool ConsoleCtrlHandler(uint32_t ctrlType) {
  if (ctrlType != CTRL_C_EVENT && ctrlType != CTRL_BREAK_EVENT) return false;
  std::printf("Stopping %s.\n", GetServiceIdentity().displayName.c_str());
  std::fflush(stdout);
  ServiceStop();
  return true;
}

void PrintTimeStampPrefix() {
  time_t now = static_cast<time_t>(NowSeconds());
  struct tm local;
  localtime_r(&now, &local);
  char text[64];
  std::strftime(text, sizeof text, "%d/%m/%y %H:%M:%S", &local);
  std::printf("%s: ", text);
  std::fflush(stdout);
}

int ServiceNoOp() { return 0; }
