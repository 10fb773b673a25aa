// The service frame: the program's entry with its service commands, the
// service's main function and control handler, the console run and its
// control handler, install, remove, start, stop and check.
// Host layer: calls the run function, the loop's stop hook, the service
// status, and the platform's registry, service manager, console control and
// account rights.
#pragma once

#include <cstdint>
#include <string>

// ---- Entry and run ---------------------------------------------------------------------

// The program's entry: -log (before any option, see log_reader.h); options,
// then a command (-install, -remove, -debug, -start, -stop, -check) or the
// hand-over to the service manager. The exit
// code: for -debug the server's own result; for the other commands 0, or 1
// when any of their steps failed (each failure printed); after the usage
// text 1 when the process was not started by the service manager.
int ServiceFrameMain(int argc, char** argv);

// The service's main function, called by the dispatcher with the service
// name and the start parameters.
void ServiceMain(int argc, char** argv);
// STOP: STOP_PENDING and the stop hook; any other control re-reports the state.
void ServiceControlHandler(uint32_t control);
// The server with this command line; its result.
int ServiceStart(int argc, char** argv);
// The console run: the control handler, then the server.
int RunAsConsole(int argc, char** argv);
// Ctrl-C and Ctrl-Break: "Stopping %s.\n" and the stop hook; true. Others: false.
bool ConsoleCtrlHandler(uint32_t ctrlType);
void PrintTimeStampPrefix();
int ServiceNoOp();

// The internal name of a program path: after its last '/', a final ".exe"
// (any case) cut off.
std::string ServiceNameOfProgram(const char* argv0);

// The start parameter of -check.
constexpr char kStartCheckArg[] = "::startcheck::";

// ---- Commands --------------------------------------------------------------------------

constexpr char kSettingsKeyFormat[] = "SYSTEM\\CurrentControlSet\\Services\\%s\\Settings";
constexpr char kEventSourceKeyFormat[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\%s\\%s";
constexpr char kManifestServicesKey[] = "Software\\Zentak Limited\\Manifest\\Services";
constexpr char kManifestAppKey[] = "TorvaneServer";
constexpr char16_t kServiceLogonRight[] = u"SeServiceLogonRight";

// The counted wide text of the rights calls.
struct LsaUnicodeString {
  uint16_t Length = 0;         // bytes, without the terminator
  uint16_t MaximumLength = 0;  // bytes, with it
  const char16_t* Buffer = nullptr;
};
// 1 when set; 0 for a null record or a text over 32766 characters.
int MakeLsaString(LsaUnicodeString* string, const char16_t* text);
bool LsaStringsEqual(const LsaUnicodeString* a, const LsaUnicodeString* b);
void DumpLsaString(const LsaUnicodeString* string, const char* label);

// The commands give 0, or 1 when a step failed (printed; the install goes on
// with its later steps after a failure of the event source, the Settings
// values, the account right or the manifest entry).
int InstallService(int argc, char** argv);
// 1 when the key and its four values were written, 0 otherwise.
int InstallEventSource(const char* logName, const char* sourceName, const char* messageFile, uint32_t categoryCount);
// 0, or 1 when the key or a value could not be written.
int WriteServiceSettings(int argc, char** argv);
// 0, or 1 when the right is neither held nor granted.
int GrantAccountRight(const char* account, const char16_t* right);
int CreateManifestEntry();
int RemoveManifestEntry();
int DeleteRegKeyTree(const std::string& parent, const std::string& name);
int RemoveService();
// start 0x10 or stop 0x20: 0, or 1 when the service did not reach the state
// (or a check's stop failed); 160 for any other control.
int ControlServiceCommand(uint32_t control, int check);
constexpr uint32_t kControlStart = 0x10;
constexpr uint32_t kControlStop = 0x20;

// The longest a -start, -stop or -remove waits without the checkpoint
// advancing: the wait hint, but at least this.
constexpr uint32_t kMinPendingWaitMs = 60000;
