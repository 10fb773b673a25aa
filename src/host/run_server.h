// The run function of the server and its start-up: the banner, the command
// line ([-l] [-i] [port] [home] [more...]), the ring log file, the home
// directory's lock, the initialisation of a new home, the load of every
// store with its fix-ups, the connection time-out, the listener and the loop.
// Host layer: calls the stores, the loop, the log and the platform.
#pragma once

#include <cstdint>
#include <string>

// ---- Command line ---------------------------------------------------------------------

struct CommandLine {
  int localMode = 0;            // "-l" (exact): read by nothing
  int initialise = 0;           // "-i" in any case
  std::string portText = "32000";
  bool portGiven = false;       // a port word was there
  bool homeGiven = false;
  std::string home;             // the home word as given
};

// Takes the words after the program name in the fixed order -l, -i, port,
// home; further words are read and not used.
CommandLine ParseCommandLine(int argc, const char* const* argv);

// The listener port of a port text: its decimal prefix as strtol reads it
// (white space, a sign, digits; 0 when it does not begin so). False when the
// number lies outside 0 to 65535 (so "70000" is refused, not bound as 4464).
bool ParseListenerPort(const std::string& text, int32_t* port);

// The longest name the server appends to the home directory, with room to
// spare; a home whose text would leave less is refused at start.
constexpr size_t kHomeNameReserve = 32;
// The lock file held in the home for the lifetime of a run.
constexpr const char kHomeLockFileName[] = "torvane.lock";

// ---- Steps ------------------------------------------------------------------------------

// Names the ring log file "%storvane.%d.lg" (home, port), recreating it when
// missing or of another slot count, points UID allocation at the home and
// writes the four banner lines.
void OpenLogFile(int32_t slots, int32_t port);

// Loads every store in its fixed order; each step runs whatever the earlier
// ones gave, and failures are only logged.
void LoadServerData();

// Comms\TimeOut of Live/Torvane in seconds -> the connections' time-out in
// milliseconds: missing 30 s; 1 to 9 become 10; an explicit 0 means none
// (logged as a warning).
uint32_t ReadConnectionTimeOut();

// Makes a new home directory's content. 0 or the first failing step's code.
int Initialise();

// Frees every store, the slots and the registry at the end of a run (nothing
// is saved: every change was saved when it was made).
void ReleaseServerData();

// The server: 0 after a stop or a successful -i; non-zero when it cannot
// start (port out of range, home too long, home locked by another process,
// listener not opened) or the initialisation failed.
int RunServer(int argc, const char* const* argv);
