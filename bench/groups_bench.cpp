// Benchmark of groups.xml: for 1,000, 10,000 and 100,000 groups of a few
// members each, written in name order and in reverse order, the load of the
// file (ReadGroupsXML) and one rewrite (WriteGroupsXML). Prints groups per
// second and the growth from one size to the next, which must stay about
// linear (a tenfold file costs about ten times as much), whatever the order.
// A program, not a test: run it by hand (groups_bench [max groups]).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "directory/groups.h"
#include "directory/groups_file.h"
#include "foundation/result_codes.h"

namespace {

// groups.xml with n groups named G0000000.. in name order or reversed, three
// members each, and one permission that lists every group.
std::string MakeGroupsFile(int n, bool reversed) {
  std::string text = "<?xml version=\"1.0\"?>\n<GROUPS>\n";
  char line[128];
  for (int k = 0; k < n; ++k) {
    const int i = reversed ? n - 1 - k : k;
    std::snprintf(line, sizeof line, "<GROUP>\n<NAME>G%07d</NAME>\n<UID>%08X</UID>\n", i, i + 1);
    text += line;
    std::snprintf(line, sizeof line, "<USER>user%d</USER>\n<USER>user%d</USER>\n<USER>user%d</USER>\n",
                  i, i + 1, i + 2);
    text += line;
    text += "</GROUP>\n";
  }
  text += "<PERM>\n<UID>EE6B2803</UID>\n<READ>";
  for (int i = 0; i < n; ++i) {
    std::snprintf(line, sizeof line, i == 0 ? "%08X" : ";%08X", i + 1);
    text += line;
  }
  text += "</READ>\n<WRITE>EE6B2801</WRITE>\n</PERM>\n</GROUPS>";
  return text;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int maxGroups = argc > 1 ? std::atoi(argv[1]) : 100000;
  std::string dir = (std::filesystem::temp_directory_path() / "groups_bench.XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string path = dir + "/groups.xml";
  const std::string copy = dir + "/groups.copy.xml";

  std::printf("%9s %9s %12s %8s %12s %8s\n", "groups", "order", "load/s", "growth", "write/s", "growth");
  for (const bool reversed : {false, true}) {
    double lastLoad = 0, lastWrite = 0;
    for (int n = 1000; n <= maxGroups; n *= 10) {
      const std::string text = MakeGroupsFile(n, reversed);
      if (FILE* fp = std::fopen(path.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), fp);
        std::fclose(fp);
      }
      ResetGroupsAndPermissions();
      auto t0 = std::chrono::steady_clock::now();
      const int rc = ReadGroupsXML(path);
      const double load = Seconds(t0);
      if (rc != FR_OK || GetGroupCount() != n) {
        std::fprintf(stderr, "load of %d groups gave %d with %d groups\n", n, rc, GetGroupCount());
        return 1;
      }
      t0 = std::chrono::steady_clock::now();
      if (WriteGroupsXML(copy) != FR_OK) {
        std::fprintf(stderr, "write of %d groups failed\n", n);
        return 1;
      }
      const double write = Seconds(t0);
      std::printf("%9d %9s %12.0f %8s %12.0f %8s\n", n, reversed ? "reversed" : "in order", n / load,
                  lastLoad > 0 ? std::to_string(load / lastLoad).substr(0, 5).c_str() : "-", n / write,
                  lastWrite > 0 ? std::to_string(write / lastWrite).substr(0, 5).c_str() : "-");
      lastLoad = load;
      lastWrite = write;
    }
  }
  ResetGroupsAndPermissions();
  std::filesystem::remove_all(dir);
  return 0;
}
