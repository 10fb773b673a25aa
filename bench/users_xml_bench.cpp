// Benchmark of the all-users document (message 6648) for 1,000, 10,000 and
// 100,000 users in a temporary home: the document as an administrator gets
// it (every per-user file as it is) and as any other caller gets it (each
// file but the caller's passed through the filter that cuts password hashes
// and history). Prints the median wall time of five builds of each, the
// document's size and the cost of the filter per user.
// A program, not a test: run it by hand (users_xml_bench [max users]).
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "directory/users_files.h"
#include "directory/users_xml_exchange.h"
#include "directory/users_xml_filter.h"

namespace {

bool WriteFile(const std::string& path, const std::string& text) {
  FILE* fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) return false;
  const bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size();
  return fclose(fp) == 0 && ok;
}

// userlist.xml and one file per user, as the server writes them, each with
// both hashes and a password history of three entries.
bool MakeHome(const std::string& home, int n) {
  if (mkdir((home + "users").c_str(), 0755) != 0) return false;
  std::string list = "<?xml version=\"1.0\"?>\n<USERLIST>\n";
  char buf[2048];
  for (int i = 1; i <= n; ++i) {
    snprintf(buf, sizeof buf, "<USER uid=\"%08X\" name=\"user%06d\"/>\n", i, i);
    list += buf;
    snprintf(buf, sizeof buf,
             "<USER>\n<UID>%08X</UID>\n<USERNAME>user%06d</USERNAME>\n<PASSWORD>1234ABCD</PASSWORD>\n"
             "<PASSWORDV2>$2b$12$abcdefghijklmnopqrstuu0123456789ABCDEFGHIJKLMNOPQRS</PASSWORDV2>\n"
             "<ADUSER>0</ADUSER>\n<LEVEL>0</LEVEL>\n<FORENAME>First%d</FORENAME>\n<SURNAME>Last</SURNAME>\n"
             "<EMAIL>user%d@example.com</EMAIL>\n<GROUPLIST>Everyone</GROUPLIST>\n"
             "<FIELD NAME=\"Phone\">%d</FIELD>\n<USERDATA>\n<Live>\n<Torvane>\n<Passwords>\n<Old>\n"
             "<PW1>$2b$12$abcdefghijklmnopqrstuu0123456789ABCDEFGHIJKLMNOPQR1\n</PW1>\n"
             "<PW2>$2b$12$abcdefghijklmnopqrstuu0123456789ABCDEFGHIJKLMNOPQR2\n</PW2>\n"
             "<PW3>$2b$12$abcdefghijklmnopqrstuu0123456789ABCDEFGHIJKLMNOPQR3\n</PW3>\n</Old>\n"
             "<Date>65000000\n</Date>\n</Passwords>\n<DefaultEnvironment>Live\n</DefaultEnvironment>\n"
             "</Torvane>\n</Live>\n</USERDATA>\n</USER>\n",
             i, i, i, i, i);
    if (!WriteFile(UserFilePath(home, static_cast<UID>(i)), buf)) return false;
  }
  list += "</USERLIST>";
  return WriteFile(home + kUserListFileName, list);
}

template <typename F>
double MedianSeconds(F&& build, size_t* bytes) {
  std::vector<double> times;
  for (int k = 0; k < 5; ++k) {
    const auto t = std::chrono::steady_clock::now();
    int code = -1;
    std::optional<std::string> doc = build(&code);
    times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
    if (code != 0 || !doc) return -1;
    *bytes = doc->size();
  }
  std::sort(times.begin(), times.end());
  return times[2];
}

}  // namespace

int main(int argc, char** argv) {
  const int maxUsers = argc > 1 ? atoi(argv[1]) : 100000;
  printf("%8s %12s %10s %12s %10s %14s\n", "users", "admin s", "admin MB", "filtered s", "filt. MB",
         "filter us/user");
  for (int n = 1000; n <= maxUsers; n *= 10) {
    const char* tmpdir = getenv("TMPDIR");
    std::string base = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/torvane-usersxml-bench-XXXXXX";
    std::vector<char> tmpl(base.begin(), base.end());
    tmpl.push_back('\0');
    if (mkdtemp(tmpl.data()) == nullptr) return 1;
    const std::string home = std::string(tmpl.data()) + "/";
    if (!MakeHome(home, n)) {
      fprintf(stderr, "cannot make the home of %d users\n", n);
      return 1;
    }
    size_t adminBytes = 0, filteredBytes = 0;
    const double admin = MedianSeconds([&](int* code) { return GetAllUsersXMLV2(home.c_str(), code); }, &adminBytes);
    const double filtered = MedianSeconds(
        [&](int* code) { return GetUsersXMLWithoutSecrets(home.c_str(), static_cast<UID>(n / 2), code); },
        &filteredBytes);
    printf("%8d %12.3f %10.1f %12.3f %10.1f %14.2f\n", n, admin, adminBytes / 1e6, filtered, filteredBytes / 1e6,
           (filtered - admin) / n * 1e6);
    std::filesystem::remove_all(tmpl.data());
  }
  return 0;
}
