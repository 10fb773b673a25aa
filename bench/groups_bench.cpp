// Benchmark of groups.xml: for 1,000, 10,000 and 100,000 groups of a few
// members each, written in name order and in reverse order, the load of the
// file (ReadGroupsXML) and one rewrite (WriteGroupsXML). Prints groups per
// second and the growth from one size to the next, which must stay about
// linear (a tenfold file costs about ten times as much), whatever the order;
// and, for the groups in order, the add and delete of one group as messages
// 6611 and 6613 make them (the group, then groups.xml written whole), beside
// the floor of a durable replacement of a file of groups.xml's size, measured
// in the same directory.
// A program, not a test: run it by hand (groups_bench [max groups]).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <algorithm>
#include <vector>

#include "directory/groups.h"
#include "directory/groups_file.h"
#include "directory/store_uid_sync.h"
#include "foundation/result_codes.h"
#include "platform/atomic_file.h"

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

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The median of five durable replacements of a file of `size` bytes at `path`.
double DurableReplaceFloor(const std::string& path, size_t size) {
  const std::string bytes(size, 'x');
  std::vector<double> times;
  for (int k = 0; k < 5; ++k) {
    const auto t0 = std::chrono::steady_clock::now();
    if (ReplaceFileAtomically(path, bytes.data(), bytes.size()) != ATOMIC_OK) return 0;
    times.push_back(Seconds(t0));
  }
  std::remove(path.c_str());
  return Median(times);
}

// The medians of five adds and five deletes of a group in the middle of the
// name order, each followed by the rewrite of groups.xml at `path`; false
// when one failed.
bool AddAndDelete(int n, const std::string& path, double* add, double* remove) {
  SyncUIDFileWithStores();  // new UIDs above the loaded groups', as at a start
  std::vector<double> adds, deletes;
  char name[32];
  for (int k = 0; k < 5; ++k) {
    std::snprintf(name, sizeof name, "G%07dadd%d", n / 2, k);
    const auto t0 = std::chrono::steady_clock::now();
    if (GroupExists(name) || AddGroup(name) < 0 || WriteGroupsXML(path) != FR_OK) return false;
    adds.push_back(Seconds(t0));
  }
  for (int k = 0; k < 5; ++k) {
    std::snprintf(name, sizeof name, "G%07dadd%d", n / 2, k);
    const auto t0 = std::chrono::steady_clock::now();
    if (DeleteGroup(name) != FR_OK || WriteGroupsXML(path) != FR_OK) return false;
    deletes.push_back(Seconds(t0));
  }
  *add = Median(adds);
  *remove = Median(deletes);
  return true;
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
      if (!reversed) {
        double add = 0, remove = 0;
        if (!AddAndDelete(n, path, &add, &remove)) {
          std::fprintf(stderr, "add or delete of a group among %d failed\n", n);
          return 1;
        }
        const double floor = DurableReplaceFloor(dir + "/floor.xml", text.size());
        std::printf("%9s add one %.5f s (x%.2f), delete one %.5f s (x%.2f); floor: durable groups.xml-size "
                    "replacement %.5f s\n", "", add, add / floor, remove, remove / floor, floor);
      }
    }
  }
  ResetGroupsAndPermissions();
  std::filesystem::remove_all(dir);
  return 0;
}
