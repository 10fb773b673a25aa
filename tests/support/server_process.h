// The real server program for wire-level tests: initialises a temporary home,
// starts build/TorvaneServer -debug on a port the system picks (port word 0), waits
// until it accepts on loopback, and stops it by its pid. Its standard error
// goes to a file beside the home, read back with Log(); what a run to its end
// wrote is described by LastRun(), for the failure message of an assertion.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "support/loopback_connect.h"
#include "support/loopback_port.h"
#include "support/temp_dir.h"

// Puts `hash` in place of the PASSWORDV2 of the user `name` in the text of a
// users.xml (a new home's, whose users each have one). False when that user
// or its PASSWORDV2 is not there.
inline bool ReplaceStoredPasswordHash(std::string& usersXml, const std::string& name, const std::string& hash) {
  const size_t user = usersXml.find("<USERNAME>" + name + "</USERNAME>");
  if (user == std::string::npos) return false;
  size_t from = usersXml.find("<PASSWORDV2>", user);
  if (from == std::string::npos) return false;
  from += 12;
  const size_t to = usersXml.find("</PASSWORDV2>", from);
  if (to == std::string::npos) return false;
  usersXml.replace(from, to - from, hash);
  return true;
}

#ifndef TORVANE_SERVER_BINARY
#define TORVANE_SERVER_BINARY "build/TorvaneServer"
#endif

// The program to start: $TORVANE_SERVER_BINARY when set, else the path the
// build gave this test program.
inline std::string ServerBinaryPath() {
  const char* env = std::getenv("TORVANE_SERVER_BINARY");
  return env != nullptr && *env ? env : TORVANE_SERVER_BINARY;
}

// A port for a server that must be told its port before it starts: free
// now, and outside the kernel's ephemeral range, so that no client's
// connection takes it meanwhile (PickLoopbackPort); 0 when none was found.
inline int FreeLoopbackPort() { return PickLoopbackPort(); }

// Runs `bin` with `args` to its end: standard output to `outPath` (replaced),
// standard error appended to `errPath`, `inChild` run in the child first (a
// chdir or setenv, say; false ends the child with 126). Its exit status, or
// -1 when it did not exit normally.
inline int RunProgramToEnd(const std::string& bin, const std::vector<std::string>& args, const std::string& outPath,
                           const std::string& errPath, const std::function<bool()>& inChild = {}) {
  pid_t pid = fork();
  if (pid == 0) {
    if (inChild && !inChild()) _exit(126);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(bin.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  if (pid < 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What the program prints before it runs the server in the console.
constexpr char kConsoleRunPreamble[] =
    "Service will run as LOCAL SYSTEM\nService name will be 'TorvaneServer'\n"
    "Description will be 'Zentak User and Configuration Management'\n";

// users/<UID>.xml of a version-2 store: the user's name, password hash and
// LEVEL, not an AD user, with `settings` as its USERDATA.
inline std::string StoredUserFile(const char* uid, const char* name, int level, const std::string& hash,
                                  const std::string& settings) {
  return std::string("<USER>\n<UID>") + uid + "</UID>\n<USERNAME>" + name +
         "</USERNAME>\n<PASSWORDV2>" + hash + "</PASSWORDV2>\n<ADUSER>0</ADUSER>\n<LEVEL>" +
         std::to_string(level) + "</LEVEL>\n<USERDATA>\n" + settings + "</USERDATA>\n</USER>\n";
}

// A USER element of users.xml (the store a new home starts with): `uid`
// (hexadecimal), the name, LEVEL, the hash as its PASSWORDV2, not an AD
// user, `forename` as its FORENAME, and settings whose password never expires.
inline std::string UsersXmlUser(unsigned uid, const std::string& name, int level, const std::string& hash,
                                const std::string& forename) {
  char uidText[16];
  std::snprintf(uidText, sizeof uidText, "%08X", uid);
  return std::string("<USER>\n<UID>") + uidText + "</UID>\n<USERNAME>" + name + "</USERNAME>\n<PASSWORDV2>" +
         hash + "</PASSWORDV2>\n<ADUSER>0</ADUSER>\n<LEVEL>" + std::to_string(level) + "</LEVEL>\n<FORENAME>" +
         forename +
         "</FORENAME>\n<USERDATA><Live><Torvane><Passwords><NeverExpires>1</NeverExpires></Passwords>"
         "</Torvane></Live></USERDATA>\n</USER>\n";
}

// Puts `elements` into the text of a users.xml before its end tag; false
// when it has none.
inline bool AddToUsersXml(std::string& usersXml, const std::string& elements) {
  const size_t end = usersXml.find("</USERS>");
  if (end == std::string::npos) return false;
  usersXml.insert(end, elements);
  return true;
}

class ServerProcess {
 public:
  // A new, empty temporary home, nested one level so that nothing the
  // fixture keeps (the server's standard error, say) lies in it. The server
  // refuses to start on a home that does not exist; -i fills this one.
  ServerProcess() : home_(tmp_.path + "home/") { MakeSureDirectoryPathExists(home_); }
  // An existing home directory (ending in '/').
  explicit ServerProcess(std::string home) : home_(std::move(home)) {}
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  const std::string& Home() const { return home_; }
  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  std::string LogPath() const { return tmp_.path + "server.stderr"; }
  std::string Log() const { return ReadWholeFile(LogPath()); }

  // Runs the program with `args` to its end (stdout to `out` when given,
  // without the preamble of the console run);
  // its exit status, or -1 when it did not exit normally.
  int RunToEnd(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::string outPath = tmp_.path + "run.stdout";
    const size_t logBefore = Log().size();
    lastRun_ = "-debug";
    for (const std::string& a : args) lastRun_ += " " + a;
    pid_t pid = Spawn(args, outPath);
    if (pid < 0) {
      lastRun_ += ": could not be started";
      return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const int exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const std::string written = ReadWholeFile(outPath);
    const std::string log = Log();
    lastRun_ += " exited " + std::to_string(exit) + "\n--- its standard output ---\n" + written +
                "\n--- its standard error ---\n" + (log.size() > logBefore ? log.substr(logBefore) : std::string());
    if (out != nullptr) {
      *out = written;
      // The lines the program's entry prints before every console run.
      if (out->compare(0, sizeof kConsoleRunPreamble - 1, kConsoleRunPreamble) == 0)
        out->erase(0, sizeof kConsoleRunPreamble - 1);
    }
    return exit;
  }

  // The last RunToEnd (an Initialise too): its arguments, exit status,
  // standard output and standard error, for an assertion's message:
  //   ASSERT_EQ(0, server.Initialise()) << server.LastRun();
  const std::string& LastRun() const { return lastRun_; }

  // Sets (a text) or unsets (nullopt) an environment variable of every
  // program started from now on.
  void SetEnvironment(const std::string& name, const std::optional<std::string>& value) { environment_[name] = value; }

  // Initialises the home with -i; the exit status.
  int Initialise(std::string* out = nullptr) { return RunToEnd({"-i", "0", home_}, out); }

  // Starts the server on a port the system picks and waits (up to 20 s)
  // until it accepts; false when it exited or never listened.
  bool Start(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"0", home_};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = Spawn(args, "");
    if (pid_ < 0) return false;
    return AwaitAccepting(true);
  }

  // Starts the stopped server again. Its log starts afresh, so that the
  // start finds this run's "Listening on port" line.
  bool Restart(const std::vector<std::string>& extra = {}) {
    std::remove(LogPath().c_str());
    return Start(extra);
  }

  // Starts the server on `port` with its standard error going to
  // `stderrPath` (/dev/null, say), and waits (up to 20 s) until it accepts.
  bool StartOnPort(int port, const std::string& stderrPath) {
    errPath_ = stderrPath;
    pid_ = Spawn({std::to_string(port), home_}, "");
    errPath_.clear();
    if (pid_ < 0) return false;
    port_ = port;
    return AwaitAccepting(false);
  }

  // StartOnPort on a port of FreeLoopbackPort, and on another one when the
  // server exits instead (its port was taken meanwhile), up to `attempts`
  // ports in all.
  bool StartOnFreePort(const std::string& stderrPath, int attempts = 5) {
    for (int i = 0; i < attempts; ++i) {
      const int port = FreeLoopbackPort();
      if (port != 0 && StartOnPort(port, stderrPath)) return true;
      Stop();  // one that listens nowhere (nothing at all when it exited)
    }
    return false;
  }

  // Adds a user to the stopped server's version-2 store: its row at the end
  // of userlist.xml and users/<uid>.xml holding `file`; false when the list
  // has no end tag.
  bool AddStoredUser(const char* uid, const char* name, const std::string& file) {
    std::string list = ReadWholeFile(home_ + "userlist.xml");
    const size_t end = list.find("</USERLIST>");
    if (end == std::string::npos) return false;
    list.insert(end, std::string("<USER uid=\"") + uid + "\" name=\"" + name + "\"/>\n");
    WriteWholeFile(home_ + "userlist.xml", list);
    WriteWholeFile(home_ + "users/" + uid + ".xml", file);
    return true;
  }

  // Sends SIGTERM and waits for the exit; the exit status (-1 when it was
  // not running or did not exit normally).
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  int Connect(bool ipv6 = false) const { return ConnectLoopback(port_, ipv6); }

 private:
  // Waits (up to 20 s) until the started server accepts on port_, which is
  // first read from its "Listening on port " line when `portFromLog`; false
  // when it exited or never listened.
  bool AwaitAccepting(bool portFromLog) {
    for (int i = 0; i < 2000; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      bool portKnown = !portFromLog;
      if (portFromLog) {
        std::string log = Log();
        size_t at = log.find("Listening on port ");
        if (at != std::string::npos) {
          port_ = std::atoi(log.c_str() + at + 18);
          portKnown = true;
        }
      }
      if (portKnown) {
        int fd = ConnectLoopback(port_);
        if (fd >= 0) {
          close(fd);
          return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  pid_t Spawn(const std::vector<std::string>& args, const std::string& stdoutPath) {
    std::string bin = ServerBinaryPath();
    std::string errPath = errPath_.empty() ? LogPath() : errPath_;
    pid_t pid = fork();
    if (pid != 0) return pid;
    for (const auto& [name, value] : environment_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (err >= 0) dup2(err, 2);
    if (!stdoutPath.empty()) {
      int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out >= 0) dup2(out, 1);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(bin.c_str()));
    // The console run: the server's own words follow "-debug".
    static char debugWord[] = "-debug";
    argv.push_back(debugWord);
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }

  TempDir tmp_;
  std::string home_;
  std::string errPath_;  // standard error of the next Spawn; empty: LogPath()
  // Set in every child; the first passwords of -i are unset unless a test
  // gives them, so that a new home has its published passwords.
  std::map<std::string, std::optional<std::string>> environment_ = {
      {"TORVANE_ADMINISTRATOR_PASSWORD", std::nullopt}, {"TORVANE_ZENTAKUSER_PASSWORD", std::nullopt}};
  std::string lastRun_;  // LastRun()
  pid_t pid_ = -1;
  int port_ = 0;
};
