// The run function of the server and its start-up: the banner, the command
// line ([-l] [-i] [port] [home] [more...]), the ring log file, the home
// directory's lock, the initialisation of a new home (with the first
// passwords its environment gives), the load of every store with its
// fix-ups, the connection time-out, the listener and the loop.
// Host layer: calls the stores, the loop, the log and the platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "directory/first_start.h"

// ---- Command line ---------------------------------------------------------------------

// The port text when neither the command line nor the registry gives one.
constexpr char kDefaultPortText[] = "32000";

struct CommandLine {
  int localMode = 0;            // "-l" (exact): read by nothing
  int initialise = 0;           // "-i" in any case
  std::string portText = kDefaultPortText;
  bool portGiven = false;       // a port word was there
  bool homeGiven = false;
  std::string home;             // the home word as given
};

// Takes the words after the program name in the fixed order -l, -i, port,
// home; further words are read and not used.
CommandLine ParseCommandLine(int argc, const char* const* argv);

// The port text the server uses: the command line's port word when there is
// one, else the service's "Listener Port" value (its port mode cut off, see
// ReadRegistrySettings), else "32000". An empty value counts as none: 32000
// (a choice; its number would be 0, a port the system picks).
std::string ListenerPortText(const CommandLine& cl, const std::string& registryPort);

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

// The files Initialise writes, relative to the home directory: -i refuses a
// home that already holds any of them (the ring log and the lock file, the
// run's own, do not count).
constexpr const char* kInitialiseFiles[] = {"users.xml", "groups.xml", "env.xml", "envs/live_torvane.xml",
                                            "uid.val"};
// Those of them that exist in `home`, in that order.
std::vector<std::string> InitialiseFilesPresent(const std::string& home);

// ---- First passwords (-i) ----------------------------------------------------------------
//
// -i gives the two built-in administrators the passwords of these environment
// variables when they are set, in place of the published ones, hashed as
// every new password (a fresh salt, cost 12). Unset, the account keeps its
// published password (and every start warns of it).
struct FirstPasswordSource {
  const char* userName;
  const char* variable;
};
constexpr FirstPasswordSource kFirstPasswordSources[] = {
    {"administrator", "TORVANE_ADMINISTRATOR_PASSWORD"},
    {"ZentakUser", "TORVANE_ZENTAKUSER_PASSWORD"},
};

// Why `password` cannot be the first password of `userName`, in words ("" when
// it can). The rules of a new password that apply at -i:
//   - a password is given: the empty text is refused (the server would
//     otherwise let an administrator log on with no password at all);
//   - it can be hashed: at most kMaxHashedPasswordBytes (511) bytes, the
//     hashing library's bound (6654 and a password-changing logon answer a
//     longer one 56);
//   - a logon can carry it: the credential token (the name, a NUL, the
//     password and its NUL) is at most kMaxTokenLength bytes, so the password
//     is at most kMaxTokenLength - 2 - the name's length bytes (2033 for
//     administrator: above the hash's bound, so it never binds today);
//   - the password-rules setting (Settings\PWRules) only bounds the history,
//     and a new home has neither the setting nor a history: nothing else.
// bcrypt, as for every password, reads the first 72 bytes of a longer one.
std::string FirstPasswordFault(const char* userName, const std::string& password);

// The first passwords the environment gives (kFirstPasswordSources). False,
// with the refusal in words in *why (the variable, never the password), when
// one that is set breaks a rule: -i then writes nothing.
bool ReadFirstPasswords(FirstPasswords* out, std::string* why);

// Makes a new home directory's content, the two administrators with
// `passwords` where given. 0 or the first failing step's code.
int Initialise(const FirstPasswords& passwords = FirstPasswords{});

// Logs a warning for each built-in administrator (administrator, ZentakUser)
// that still accepts its published password; run once, after the stores are
// loaded (two bcrypt checks at the hashes' own cost). The number warned of.
int WarnOfPublishedPasswords();

// Frees every store, the slots and the registry at the end of a run (nothing
// is saved: every change was saved when it was made).
void ReleaseServerData();

// The server: 0 after a stop or a successful -i; 1 when it cannot start (port
// out of range, home too long, a home that does not exist or is no directory,
// a lock on the home that cannot be taken for any reason, listener not
// opened), when -i finds a home that already holds a file it would write, a
// first password that breaks a rule (both before anything is written, the
// home itself included) or cannot make the home, or when the initialisation
// failed. Refusals name their reason in words.
int RunServer(int argc, const char* const* argv);
