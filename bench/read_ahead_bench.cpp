// Benchmark of the file read-ahead: every file of HOME/users/ (in name
// order) taken through a FileReadAhead with 0 to 6 workers, with and
// without Expat going over each file on the taking thread, best of 3.
// Usage: read_ahead_bench HOME/ (a home kept by USERS_BENCH_KEEP=1 users_bench).
#include <expat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>

#include "foundation/util/file_read_ahead.h"
#include "platform/fs.h"

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
double Cpu() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s HOME/\n", argv[0]);
    return 2;
  }
  const std::string dir = std::string(argv[1]) + "users/";
  std::vector<std::string> names;
  if (!ListDirectory(dir, names)) return 1;
  std::sort(names.begin(), names.end());
  printf("%zu files in %s; seconds wall (CPU), best of 3\n", names.size(), dir.c_str());
  for (const bool parse : {false, true}) {
    for (unsigned workers = 0; workers <= 6; ++workers) {
      double bestWall = 1e9, bestCpu = 0;
      for (int round = 0; round < 3; ++round) {
        XML_Parser parser = parse ? XML_ParserCreate("UTF-8") : nullptr;
        std::string content;
        const double w0 = Now(), c0 = Cpu();
        {
          FileReadAheadOptions options;
          options.maxWorkers = workers;
          FileReadAhead files(dir, names, options);
          for (size_t i = 0; i < names.size(); ++i) {
            if (files.TakeQuietly(content).code != 0 || parser == nullptr) continue;
            XML_ParserReset(parser, "UTF-8");
            XML_SetHashSalt(parser, 12345);
            XML_Parse(parser, content.data(), static_cast<int>(content.size()), 1);
          }
        }
        const double wall = Now() - w0, cpu = Cpu() - c0;
        if (wall < bestWall) {
          bestWall = wall;
          bestCpu = cpu;
        }
        if (parser != nullptr) XML_ParserFree(parser);
      }
      printf("  %-10s %u workers  %8.4f (%8.4f)\n", parse ? "read+Expat" : "read", workers, bestWall, bestCpu);
    }
  }
  return 0;
}
