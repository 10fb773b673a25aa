// The -log command: the newest records of a ring log file on standard output.
// Host layer: calls the ring log's own newest-records reader and the platform
// file status.
#include "host/log_reader.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/log/ring_log.h"
#include "platform/fs.h"

int PrintRingLog(int argc, const char* const* args) {
  if (argc < 1 || argc > 2) {
    std::fprintf(stderr, "Usage: -log <ring log file> [count]\n");
    return 1;
  }
  int count = INT_MAX;
  if (argc == 2) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(args[1], &end, 10);
    if (end == args[1] || *end != '\0' || errno == ERANGE || n < 1 || n > INT_MAX) {
      std::fprintf(stderr, "-log: the count must be a number from 1, not %s\n", args[1]);
      return 1;
    }
    count = static_cast<int>(n);
  }
  const std::string path = args[0];
  FileStatus st;
  if (!GetFileStatus(path, st)) {
    const int err = errno;
    std::fprintf(stderr, "Cannot read ring log file %s: %s\n", path.c_str(), std::strerror(err));
    return 1;
  }
  // The reader reads the file the log module is pointed at; this process
  // writes no record, so nothing is added to the file.
  SetLogFileName(path.c_str());
  std::vector<std::string> lines;
  const bool read = ReadRecentLogRecords(count, lines);
  SetLogFileName(nullptr);
  if (!read) {
    std::fprintf(stderr, "Cannot read ring log file %s: it has no sound ring log header\n", path.c_str());
    return 1;
  }
  // Newest first from the reader: printed the other way round, as a log reads.
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) std::printf("%s\n", it->c_str());
  std::fflush(stdout);
  return 0;
}
