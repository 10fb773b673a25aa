// Cores and CPU time of the processes a benchmark runs: pinning a process's
// threads (or this one) to a set of cores, the set of every core but one,
// and the CPU seconds a process has used, read from /proc.
// Test support: calls sched_setaffinity and reads /proc.
#pragma once

#include <sched.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>

#include "support/temp_dir.h"

// The set of core `cpu` alone.
inline cpu_set_t OneCore(int cpu) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  return one;
}

// Every core but `cpu`.
inline cpu_set_t EveryCoreBut(int cpu) {
  cpu_set_t rest;
  CPU_ZERO(&rest);
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  for (long c = 0; c < cores; ++c) {
    if (c != cpu) CPU_SET(static_cast<int>(c), &rest);
  }
  return rest;
}

// Pins every thread `pid` has now to `cores` (pid 0: this thread alone);
// the threads made later inherit the set of the thread that makes them.
inline void PinThreads(pid_t pid, const cpu_set_t& cores) {
  if (pid == 0) {
    if (sched_setaffinity(0, sizeof cores, &cores) != 0) std::perror("sched_setaffinity");
    return;
  }
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    const pid_t tid = static_cast<pid_t>(std::atoi(task.path().filename().c_str()));
    if (tid > 0 && sched_setaffinity(tid, sizeof cores, &cores) != 0) std::perror("sched_setaffinity");
  }
}

// The CPU seconds (user and system, every thread) process `pid` has used.
inline double ProcessCpuSeconds(pid_t pid) {
  const std::string text = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 > text.size()) return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  long long utime = 0, stime = 0;
  // Fields 14 and 15 of the line; the name in parentheses is field 2.
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::atoll(field.c_str());
    if (i == 15) stime = std::atoll(field.c_str());
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}
