// How often a line stands in a server's log, for the wire-level tests that
// read what the server wrote.
// Test support: the standard library only.
#pragma once

#include <string>

// The number of places where `line` starts in `log` (overlaps counted).
inline int CountInLog(const std::string& log, const std::string& line) {
  int count = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
  return count;
}
