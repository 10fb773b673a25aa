// The process-wide server settings: listener port, home directory, log slots,
// the slot-operations switch, the version texts and the users file path. The
// run function sets them once at start-up; everything else only reads them.
// Foundation layer (every subsystem reads these); depends on nothing.
#pragma once

#include <cstdint>
#include <string>

constexpr size_t kHomeDirectorySize = 1024;  // text and NUL
constexpr int32_t kDefaultListenerPort = 32000;
constexpr int32_t kMinLogSlots = 512;
constexpr int32_t kInternalVersion = 10;

struct ServerSettings {
  int32_t listenerPort = kDefaultListenerPort;
  char homeDirectory[kHomeDirectorySize] = "./";  // always ends in '/'
  int32_t logSlotCount = kMinLogSlots;
  int32_t logSlotOperations = 0;                  // non-zero: slot-operations log on
  int32_t internalVersion = kInternalVersion;
  std::string usersFilePath = "./users.xml";      // home + "users.xml" unless the load sets it
};

// The one settings record of the process.
ServerSettings& GetServerSettings();

// Restores every default (tests).
void ResetServerSettings();

// Sets the home directory: an empty text becomes "./", a '/' is appended when
// the last character is not one, and the users file path follows it. 0, or 2
// when the text with its separator would not fit 1024 bytes (nothing changes).
int SetHomeDirectory(const char* dir);

// Sets the log slot count; a value below 512 becomes 512.
void SetLogSlotCount(int32_t slots);

// The version and build texts ("5.0", "000.001"), each kept in the image
// directly after its 15-character marker.
// The marker arrays themselves: "VeRsIoN_StRiNg:5.0" and "BuIlDnO_StRiNg:000.001".
extern const char kVersionString[];
extern const char kBuildString[];

const char* GetVersionText();
const char* GetBuildText();
