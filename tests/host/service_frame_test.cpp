// The service frame as the real program runs it, each test under a state
// root of its own: the command-line table (usage, install, remove, options),
// and the round trip of a service through the file-backed service manager
// (check, start, stop, remove; a busy port; a killed service; the console run
// stopped by SIGINT).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/service/service_frame.h"
#include "host/service/service_status.h"
#include "platform/registry.h"
#include "platform/service_manager.h"
#include "platform/state_root.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

namespace {

const char kUsage[] =
    "\nMain commands:\n"
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
    "   -pass <password>        Set the password for above user\n"
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";

const char kLocal[] = "Service will run as LOCAL SYSTEM\n";
// Without -desc, the default description.
const char kDescription[] = "Description will be 'Zentak User and Configuration Management'\n";

std::string CurrentUser() {
  const char* u = std::getenv("USER");
  struct passwd* pw = getpwuid(getuid());
  return pw != nullptr ? pw->pw_name : (u ? u : "root");
}

// A state root and a working directory of its own; the program runs there.
class ServiceFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tmp_.path + "state/";
    work_ = tmp_.path + "work";
    std::filesystem::create_directories(work_);
    SetStateRoot(root_);
  }
  void TearDown() override {
    // Whatever a failed test left running is stopped by its reported pid.
    for (const char* name : {"TorvaneServer", "Foo", "Bar"}) {
      ServiceStatus s;
      if (ScmQueryStatus(name, s) == 0 && s.currentState != SERVICE_STOPPED && s.pid > 0) kill(s.pid, SIGKILL);
    }
    SetStateRoot("");
  }

  // Runs the program (or `program`) to its end; its stdout in `out`. What
  // it wrote is kept for Wrote().
  int Run(const std::vector<std::string>& args, std::string* out, const std::string& program = "") {
    std::string bin = program.empty() ? ServerBinaryPath() : program;
    std::string outPath = tmp_.path + "stdout";
    const std::string errPath = tmp_.path + "stderr";
    const size_t errBefore = ReadWholeFile(errPath).size();
    int exit = RunProgramToEnd(bin, args, outPath, errPath, [&] {
      return chdir(work_.c_str()) == 0 && setenv("TORVANE_STATE_ROOT", root_.c_str(), 1) == 0;
    });
    const std::string written = ReadWholeFile(outPath);
    const std::string errors = ReadWholeFile(errPath);
    wrote_ = "the run of";
    for (const std::string& a : args) wrote_ += " '" + a + "'";
    wrote_ += " exited " + std::to_string(exit) + "\n--- its standard output ---\n" + written +
              "\n--- its standard error ---\n" + (errors.size() > errBefore ? errors.substr(errBefore) : "");
    if (out != nullptr) *out = written;
    return exit;
  }

  // What the last Run wrote, and what the service TorvaneServer wrote (the
  // end of its output file): for the message of an assertion on a run.
  std::string Wrote() const {
    const std::string service = ReadWholeFile(ScmOutputPath("TorvaneServer"));
    return wrote_ + "\n--- the service's output (its end) ---\n" +
           (service.size() > 4000 ? service.substr(service.size() - 4000) : service);
  }

  // Installs the service on a port of FreeLoopbackPort and runs `command`
  // (a start or a check); when that fails because the service could not
  // bind its port (taken by another program since it was picked), moves the
  // service to another port and runs the command again, three ports in all.
  // The last run's exit status; *port is the port the service was given.
  int InstallAndRun(const std::string& home, const std::vector<std::string>& command, std::string* out, int* port) {
    *port = FreeLoopbackPort();
    int exit = Run({"-install", "", std::to_string(*port), home}, out);
    if (exit != 0) return exit;
    for (int attempt = 0;; ++attempt) {
      const size_t before = ReadWholeFile(ScmOutputPath("TorvaneServer")).size();
      exit = Run(command, out);
      const std::string service = ReadWholeFile(ScmOutputPath("TorvaneServer"));
      const bool portTaken = service.find("Cannot bind to port", before) != std::string::npos;
      if (exit == 0 || !portTaken || attempt == 2) return exit;
      *port = FreeLoopbackPort();
      const std::string text = std::to_string(*port);
      if (RegSetString(SettingsKey("TorvaneServer"), "Listener Port", REG_SZ, text) != 0) return exit;
    }
  }

  std::string Value(const std::string& key, const std::string& name) {
    char buf[2048];
    uint32_t size = sizeof buf;
    if (RegQueryValue(key, name, nullptr, buf, &size) != 0 || size == 0) return "<none>";
    return std::string(buf, size - 1);
  }

  std::string SettingsKey(const std::string& name) { return "SYSTEM\\CurrentControlSet\\Services\\" + name + "\\Settings"; }

  TempDir tmp_;
  std::string root_;
  std::string work_;
  std::string wrote_;  // Wrote()
};

// The lines every run prints first: the account, the name and the description.
std::string Named(const std::string& name, const std::string& account = "") {
  return (account.empty() ? std::string(kLocal) : "Service will run as user '" + account + "'\n") +
         "Service name will be '" + name + "'\n" + kDescription;
}

std::string Installed(const std::string& name, const std::string& display) {
  return Named(name) + "Display name will be '" + display + "'\n" + display +
         " installed.\nCreated Manifest entry 'TorvaneServer\\" + name + "'\n";
}

// Each command line's output and exit code: 0 when the command did what it
// was asked, 1 when it failed (and after the usage text, as a process the
// service manager did not start).
TEST_F(ServiceFrameTest, CommandLines) {
  const std::string user = CurrentUser();
  const std::string removedLines =
      Named("TorvaneServer") + "Torvane Server removed.\nRemoved Manifest entry 'TorvaneServer\\TorvaneServer'\n";
  struct Step {
    std::vector<std::string> args;
    std::string out;
    int exit;
  };
  const struct {
    const char* id;
    std::vector<Step> steps;
  } cases[] = {
      {"no arguments", {{{}, Named("TorvaneServer") + kUsage, 1}}},
      {"-name Foo -install", {{{"-name", "Foo", "-install"}, Installed("Foo", "Torvane Server"), 0}}},
      {"/INSTALL", {{{"/INSTALL"}, Installed("TorvaneServer", "Torvane Server"), 0}}},
      {"-foo", {{{"-foo"}, Named("TorvaneServer") + kUsage, 1}}},
      {"-install X 32001 home", {{{"-install", "X", "32001", "/srv/home"}, Installed("TorvaneServer", "X"), 0}}},
      {"-install empty name", {{{"-install", "", "32002"}, Installed("TorvaneServer", "Torvane Server"), 0}}},
      {"installing twice",
       {{{"-install"}, Installed("TorvaneServer", "Torvane Server"), 0},
        {{"-install"},
         Named("TorvaneServer") + "Display name will be 'Torvane Server'\nCreateService failed - File exists (0x11)\n",
         1}}},
      {"install, remove, install with -user",
       {{{"-user", ".\\" + user, "-install"},
         Named("TorvaneServer", ".\\" + user) + "Display name will be 'Torvane Server'\nTorvane Server installed.\n"
             "Granted 'SeServiceLogonRight' to '" + user + "'\nCreated Manifest entry 'TorvaneServer\\TorvaneServer'\n",
         0},
        {{"-remove"}, removedLines, 0},
        {{"-user", ".\\" + user, "-install"},
         Named("TorvaneServer", ".\\" + user) + "Display name will be 'Torvane Server'\nTorvane Server installed.\n"
             "User '" + user + "' already has 'SeServiceLogonRight'\nCreated Manifest entry 'TorvaneServer\\TorvaneServer'\n",
         0}}},
      {"-remove of another name",
       {{{"-name", "Bar", "-install"}, Installed("Bar", "Torvane Server"), 0},
        {{"-remove", "Bar"},
         Named("TorvaneServer") + "Torvane Server removed.\nRemoved Manifest entry 'TorvaneServer\\Bar'\n", 0},
        {{"-remove", "Bar"}, Named("TorvaneServer") + "OpenService failed - No such file or directory (0x2)\n", 1}}},
      {"the event sources' key is no service",
       {{{"-name", "eventlog", "-install"},
         Named("eventlog") + "Display name will be 'Torvane Server'\nCreateService failed - File exists (0x11)\n", 1}}},
      {"options need a value: -name alone is the command word", {{{"-name"}, Named("TorvaneServer") + kUsage, 1}}},
      {"commands of a service not installed",
       {{{"-start"}, Named("TorvaneServer") + "OpenService failed - No such file or directory (0x2)\n", 1},
        {{"-stop"}, Named("TorvaneServer") + "OpenService failed - No such file or directory (0x2)\n", 1},
        {{"-check"}, Named("TorvaneServer") + "OpenService failed - No such file or directory (0x2)\n", 1},
        {{"-remove"}, Named("TorvaneServer") + "OpenService failed - No such file or directory (0x2)\n", 1}}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(root_);
    for (const Step& step : c.steps) {
      std::string out;
      EXPECT_EQ(step.exit, Run(step.args, &out)) << c.id << ": " << Wrote();
      EXPECT_EQ(step.out, out) << c.id;
    }
  }
}

TEST_F(ServiceFrameTest, InstallWritesTheSettingsTheEventSourceAndTheManifest) {
  std::string out;
  ASSERT_EQ(0, Run({"-name", "Foo", "-desc", "Users here", "-user", ".\\" + CurrentUser(), "-pass", "secret",
                    "-install", "X", "32001", "rel/home"},
                   &out))
      << Wrote();
  EXPECT_NE(std::string::npos, out.find("Description will be 'Users here'\n")) << out;
  const std::string cwd = std::filesystem::canonical(work_).string();
  EXPECT_EQ("32001", Value(SettingsKey("Foo"), "Listener Port"));
  EXPECT_EQ(cwd + "/rel/home", Value(SettingsKey("Foo"), "HomeDir"));
  const std::string record = "SYSTEM\\CurrentControlSet\\Services\\Foo";
  EXPECT_EQ("X", Value(record, "DisplayName"));
  EXPECT_EQ("Users here", Value(record, "Description"));
  // The manifest keeps the account as given; the password is stored nowhere.
  EXPECT_EQ(".\\" + CurrentUser(), Value("Software\\Zentak Limited\\Manifest\\Services\\TorvaneServer\\Foo", "User"));
  const std::string source = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Foo";
  EXPECT_EQ(ServerBinaryPath().substr(ServerBinaryPath().rfind('/')),
            Value(source, "EventMessageFile").substr(Value(source, "EventMessageFile").rfind('/')));
  uint32_t types = 0, size = 4;
  EXPECT_EQ(0, RegQueryValue(source, "TypesSupported", nullptr, &types, &size));
  EXPECT_EQ(7u, types);
  std::string everything;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root_)) {
    if (e.is_regular_file()) everything += ReadWholeFile(e.path().string());
  }
  EXPECT_EQ(std::string::npos, everything.find("secret"));
  // The service layers' state is private: folders 0700, files 0600.
  const mode_t mask = umask(022);
  umask(mask);
  for (const auto& e : std::filesystem::recursive_directory_iterator(root_)) {
    struct stat st;
    ASSERT_EQ(0, lstat(e.path().c_str(), &st));
    EXPECT_EQ((S_ISDIR(st.st_mode) ? 0700u : 0600u) & ~mask, st.st_mode & 07777) << e.path();
  }

  // -name Foo -install alone: port 32000 and the current directory.
  std::filesystem::remove_all(root_);
  ASSERT_EQ(0, Run({"-name", "Foo", "-install"}, &out)) << Wrote();
  EXPECT_EQ("32000", Value(SettingsKey("Foo"), "Listener Port"));
  EXPECT_EQ(cwd, Value(SettingsKey("Foo"), "HomeDir"));
  EXPECT_EQ(kDefaultDescription, Value(record, "Description")) << "no -desc: the default description";

  // Removing keeps the event source.
  ASSERT_EQ(0, Run({"-remove", "Foo"}, &out)) << Wrote();
  EXPECT_NE(0, RegOpenKey(record));
  EXPECT_EQ(0, RegOpenKey(source));
}

TEST_F(ServiceFrameTest, ProgramNameAndAPlainRunFromAShell) {
  std::string link = tmp_.path + "MyServer.EXE";
  ASSERT_EQ(0, symlink(ServerBinaryPath().c_str(), link.c_str()));
  std::string out;
  EXPECT_EQ(1, Run({}, &out, link)) << Wrote();
  EXPECT_EQ(Named("MyServer") + kUsage, out);
  // Not started by the manager: the dispatcher fails, and says so in the event log.
  std::string log = ReadWholeFile(root_ + "eventlog/Application.log");
  EXPECT_NE(std::string::npos,
            log.find(" error MyServer 0 0 StartServiceCtrlDispatcher failed.\\r\\nGetLastError() returned 107 - "
                     "Transport endpoint is not connected\\r\\n\\r\\n\n"))
      << log;
  EXPECT_EQ("MyServer", ServiceNameOfProgram("/opt/x.exe/MyServer.Exe"));
  EXPECT_EQ("a.exe.b", ServiceNameOfProgram("a.exe.b"));
}

// The lines of the report log, each cut after its state, wait hint and exit code.
std::vector<std::string> ReportSequence(const std::string& name) {
  std::vector<std::string> out;
  std::string log = ReadWholeFile(ScmReportLogPath(name));
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    std::string line = log.substr(at, end - at);
    size_t exit = line.find(" exit=");
    size_t space = line.find(' ', exit + 1);
    out.push_back(line.substr(0, space));
    at = end == std::string::npos ? log.size() : end + 1;
  }
  return out;
}

bool WaitForState(const std::string& name, uint32_t state, ServiceStatus& s) {
  for (int i = 0; i < 2000; ++i) {
    if (ScmQueryStatus(name, s) == 0 && s.currentState == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(ServiceFrameTest, RoundTripWithRealProcesses) {
  ServerProcess fresh;
  ASSERT_EQ(0, fresh.Initialise()) << fresh.LastRun();
  int port = 0;
  std::string out;

  // -check: RUNNING seen, then stopped normally.
  ASSERT_EQ(0, InstallAndRun(fresh.Home(), {"-check"}, &out, &port)) << Wrote();
  EXPECT_NE(std::string::npos, out.find("Starting Torvane Server.")) << out;
  EXPECT_NE(std::string::npos, out.find("\nTorvane Server started.\n")) << out;
  EXPECT_NE(std::string::npos, out.find("\nTorvane Server stopped.\n")) << out;
  const std::vector<std::string> run = {"START_PENDING 3000 exit=0", "START_PENDING 30000 exit=0",
                                        "RUNNING 3000 exit=0", "STOP_PENDING 0 exit=0", "STOPPED 0 exit=0"};
  // Only the last check counts: one that found its port taken was moved to
  // another and run again.
  std::vector<std::string> reports = ReportSequence("TorvaneServer");
  const std::vector<std::string> checked(reports.end() - std::min(reports.size(), run.size()), reports.end());
  EXPECT_EQ(run, checked) << Wrote();
  ServiceStatus s;
  ASSERT_EQ(0, ScmQueryStatus("TorvaneServer", s));
  EXPECT_EQ(SERVICE_STOPPED, s.currentState);
  EXPECT_EQ(0u, s.win32ExitCode);

  // -start, a client on the registry's port, -stop.
  const size_t before = reports.size();
  ASSERT_EQ(0, Run({"-start"}, &out)) << Wrote();
  EXPECT_NE(std::string::npos, out.find("\nTorvane Server started.\n")) << out;
  int fd = ConnectLoopback(port);
  EXPECT_GE(fd, 0) << Wrote();
  if (fd >= 0) close(fd);
  EXPECT_EQ(1, Run({"-start"}, &out)) << Wrote();
  EXPECT_NE(std::string::npos, out.find("Torvane Server failed to start - Operation already in progress (0x72).\n")) << out;
  ASSERT_EQ(0, Run({"-stop"}, &out)) << Wrote();
  EXPECT_NE(std::string::npos, out.find("Stopping Torvane Server.")) << out;
  EXPECT_NE(std::string::npos, out.find("\nTorvane Server stopped.\n")) << out;
  reports = ReportSequence("TorvaneServer");
  EXPECT_EQ(run, std::vector<std::string>(reports.begin() + static_cast<std::ptrdiff_t>(std::min(before, reports.size())),
                                          reports.end()))
      << Wrote();
  EXPECT_EQ(1, Run({"-stop"}, &out)) << Wrote();
  EXPECT_NE(std::string::npos, out.find("Torvane Server failed to stop - No such process (0x3)")) << out;
  // The event log has the service's own stop.
  EXPECT_NE(std::string::npos,
            ReadWholeFile(root_ + "eventlog/Application.log").find(" information TorvaneServer 0 0 Torvane service stopped"));

  // -remove of a running service stops it first.
  ASSERT_EQ(0, Run({"-start"}, &out)) << Wrote();
  ASSERT_EQ(0, Run({"-remove"}, &out)) << Wrote();
  EXPECT_NE(std::string::npos, out.find("Stopping Torvane Server.")) << out;
  EXPECT_NE(std::string::npos, out.find("\nTorvane Server stopped.\nTorvane Server removed.\n")) << out;
  EXPECT_EQ(kSvcNotFound, ScmOpenService("TorvaneServer"));
}

TEST_F(ServiceFrameTest, ABusyPortStopsWithAFailureCodeAndAKilledServiceReadsStopped) {
  ServerProcess fresh;
  ASSERT_EQ(0, fresh.Initialise()) << fresh.LastRun();
  // A listener of the test's own on a port outside the ephemeral range, so
  // that once it is closed no client's connection takes the port before the
  // service is started on it again.
  int busy = -1;
  int port = 0;
  for (int attempt = 0; attempt < 20 && busy < 0; ++attempt) {
    port = FreeLoopbackPort();
    busy = port != 0 ? BindLikeTheServer(port) : -1;
    if (busy >= 0 && listen(busy, 1) != 0) {
      close(busy);
      busy = -1;
    }
  }
  ASSERT_GE(busy, 0) << "no port to hold";
  std::string out;
  ASSERT_EQ(0, Run({"-install", "", std::to_string(port), fresh.Home()}, &out)) << Wrote();
  EXPECT_EQ(1, Run({"-start"}, &out)) << Wrote();
  EXPECT_NE(std::string::npos, out.find("\nTorvane Server failed to start - Operation canceled (0x7d).\n")) << out;
  ServiceStatus s;
  ASSERT_EQ(0, ScmQueryStatus("TorvaneServer", s));
  EXPECT_EQ(SERVICE_STOPPED, s.currentState);
  EXPECT_EQ(static_cast<uint32_t>(ECANCELED), s.win32ExitCode);
  EXPECT_EQ(1u, s.serviceSpecificExitCode);
  const std::vector<std::string> failed = {"START_PENDING 3000 exit=0", "START_PENDING 30000 exit=0",
                                           "STOPPED 0 exit=125"};
  EXPECT_EQ(failed, ReportSequence("TorvaneServer"));
  close(busy);

  // Started again on the free port, then killed: STOPPED with a non-zero code.
  ASSERT_EQ(0, Run({"-start"}, &out)) << Wrote();
  ASSERT_TRUE(WaitForState("TorvaneServer", SERVICE_RUNNING, s)) << Wrote();
  ASSERT_GT(s.pid, 0);
  ASSERT_EQ(0, kill(s.pid, SIGKILL));
  ASSERT_TRUE(WaitForState("TorvaneServer", SERVICE_STOPPED, s));
  EXPECT_EQ(static_cast<uint32_t>(kSvcDied), s.win32ExitCode);
  EXPECT_EQ(1, Run({"-stop"}, &out)) << Wrote();
  EXPECT_NE(std::string::npos, out.find("failed to stop - No such process")) << out;
}

// A stop during START_PENDING: through the manager it is refused; a SIGTERM
// from elsewhere is kept until RUNNING and then stops the service normally.
// A removal meanwhile marks the record, which goes when the service stops.
TEST_F(ServiceFrameTest, StopsDuringTheStartAndARemovalMarkedForLater) {
  ServerProcess fresh;
  ASSERT_EQ(0, fresh.Initialise()) << fresh.LastRun();
  std::string out;
  // No client connects: port 0, a port the system picks, which no other
  // socket can hold already, so the start cannot fail on a taken port.
  ASSERT_EQ(0, Run({"-install", "", "0", fresh.Home()}, &out)) << Wrote();
  SetStateRoot(root_);
  // A descriptor of the starter's that is not close-on-exec.
  const std::string marker = tmp_.path + "starter-only";
  int starterFd = open(marker.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(starterFd, 0);
  ASSERT_EQ(0, ScmStartService("TorvaneServer", {}));
  close(starterFd);
  ServiceStatus s;
  EXPECT_EQ(kSvcCannotAccept, ScmControlService("TorvaneServer", SERVICE_CONTROL_STOP, s));
  EXPECT_EQ(SERVICE_START_PENDING, s.currentState);
  EXPECT_EQ(kSvcAlreadyRunning, ScmStartService("TorvaneServer", {}));
  ASSERT_EQ(0, ScmDeleteService("TorvaneServer"));
  EXPECT_EQ(0, ScmOpenService("TorvaneServer"));
  EXPECT_EQ(kSvcMarkedForDelete, ScmDeleteService("TorvaneServer"));
  EXPECT_EQ(kSvcMarkedForDelete, ScmStartService("TorvaneServer", {}));
  // The first report names the pid; the signal then comes during the start.
  for (int i = 0; i < 20000 && (ScmQueryStatus("TorvaneServer", s) != 0 || s.pid <= 0); ++i) usleep(100);
  ASSERT_GT(s.pid, 0);
  const uint32_t stateAtSignal = s.currentState;
  std::string held;
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(s.pid) + "/fd")) {
    std::error_code ec;
    held += std::filesystem::read_symlink(e.path(), ec).string() + "\n";
  }
  EXPECT_EQ(std::string::npos, held.find(marker)) << held;
  ASSERT_EQ(0, kill(s.pid, SIGTERM));
  for (int i = 0; i < 2000 && ScmOpenService("TorvaneServer") == 0; ++i) {
    ScmQueryStatus("TorvaneServer", s);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(kSvcNotFound, ScmOpenService("TorvaneServer"));
  const std::vector<std::string> run = {"START_PENDING 3000 exit=0", "START_PENDING 30000 exit=0",
                                        "RUNNING 3000 exit=0", "STOP_PENDING 0 exit=0", "STOPPED 0 exit=0"};
  EXPECT_EQ(run, ReportSequence("TorvaneServer")) << "signal sent in " << ServiceStateName(stateAtSignal) << "\n"
                                                 << Wrote();
}

TEST_F(ServiceFrameTest, TheConsoleRunStopsOnSigint) {
  ServerProcess fresh;
  ASSERT_EQ(0, fresh.Initialise()) << fresh.LastRun();
  std::string outPath = tmp_.path + "debug.stdout", errPath = tmp_.path + "debug.stderr";
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    std::string bin = ServerBinaryPath();
    execl(bin.c_str(), bin.c_str(), "-debug", "0", fresh.Home().c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  bool listening = false;
  for (int i = 0; i < 2000 && !listening; ++i) {
    listening = ReadWholeFile(errPath).find("Listening on port ") != std::string::npos;
    if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(listening) << ReadWholeFile(errPath);
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  const std::string wrote = "--- its standard output ---\n" + ReadWholeFile(outPath) +
                            "\n--- its standard error ---\n" + ReadWholeFile(errPath);
  ASSERT_TRUE(WIFEXITED(status)) << wrote;
  EXPECT_EQ(0, WEXITSTATUS(status)) << wrote;
  EXPECT_EQ(Named("TorvaneServer") + "Stopping Torvane Server.\n",
            ReadWholeFile(outPath));
  EXPECT_NE(std::string::npos, ReadWholeFile(errPath).find("Closing socket.")) << wrote;
}

}  // namespace
