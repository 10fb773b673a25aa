// Fuzz target: the groups.xml reader (ReadGroupsXML of a file holding the
// input, in a temporary home), then WriteGroupsXML and a second read: what the
// system writes must read back to the same groups and permissions.
#include <cstdint>
#include <string>

#include "directory/groups.h"
#include "directory/groups_file.h"
#include "foundation/result_codes.h"
#include "fuzz_support.h"

namespace {

std::string DumpGroups() {
  std::string out;
  char word[16];
  for (int32_t i = 0; i < GetGroupCount(); ++i) {
    const GroupStruct* g = GetGroupByIndex(i);
    std::snprintf(word, sizeof word, "%08X ", g->header.uid);
    out += word;
    fuzz::AppendQuoted(out, g->name);
    out += " desc=";
    fuzz::AppendQuoted(out, fuzz::ReadBack(g->description, true));
    for (const std::string& m : g->members) {
      out += "\n  member ";
      fuzz::AppendQuoted(out, fuzz::ReadBack(m, false));
    }
    out += '\n';
  }
  for (int32_t i = 0; i < GetPermissionCount(); ++i) {
    const PermissionStruct* p = GetPermissionByIndex(i);
    std::snprintf(word, sizeof word, "perm %08X", p->header.uid);
    out += word;
    out += "\n  read";
    for (UID u : p->read) out += " " + std::to_string(u);
    out += "\n  write";
    for (UID u : p->write) out += " " + std::to_string(u);
    out += '\n';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ResetStores();
  const std::string path = fuzz::Home() + "groups.xml";
  const std::string path2 = fuzz::Home() + "groups2.xml";
  fuzz::WriteFileBytes(path, std::string_view(reinterpret_cast<const char*>(data), size));
  int rc = ReadGroupsXML(path);
  FUZZ_CHECK(rc == 0 || rc == -1, "unexpected code %d", rc);
  const std::string before = DumpGroups();

  // What was read must write and read back whatever the load state (a failed
  // read refuses saves, a partial one keeps a .bad copy first).
  ResetGroupsFileState();
  rc = WriteGroupsXML(path2);
  FUZZ_CHECK(rc == FR_OK, "the groups read do not write: %d", rc);
  const std::string written = fuzz::ReadFileBytes(path2);
  fuzz::ResetStores();
  rc = ReadGroupsXML(path2);
  FUZZ_CHECK(rc == 0, "written groups.xml does not read back: %d\n%s", rc, written.substr(0, 2000).c_str());
  const std::string after = DumpGroups();
  FUZZ_CHECK(before == after, "groups differ after writing\n  %s", fuzz::FirstDifference(before, after).c_str());
  return 0;
}
