// Fuzz target: the GroupTransportBlock decoder (ConvertTransportBlockToGroup)
// over the input as a client's block, and the round trip of whatever decodes:
// record -> block -> record must give the same record.
#include <climits>
#include <cstdint>
#include <vector>

#include "directory/group_blocks.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "fuzz_support.h"

namespace {

std::string DumpGroup(const GroupStruct& g) {
  std::string out = std::to_string(g.header.uid) + "/" + std::to_string(g.header.kind) + "/" +
                    std::to_string(g.header.timeStamp) + "/" + std::to_string(g.header.flags) + "/" +
                    std::to_string(g.header.spare) + " ";
  fuzz::AppendQuoted(out, g.name);
  fuzz::AppendQuoted(out, g.description);
  for (const std::string& m : g.members) {
    out += "\n member ";
    fuzz::AppendQuoted(out, m);
  }
  return out;
}

bool IsEmptyGroup(const GroupStruct& g) {
  return g.header.uid == 0 && g.header.kind == 0 && g.header.timeStamp == 0 && g.header.flags == 0 &&
         g.header.spare == 0 && !g.name && !g.description && g.members.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  GroupStruct group;
  group.name = "stale";
  group.members.push_back("stale");
  int rc = ConvertTransportBlockToGroup(data, static_cast<int32_t>(size), &group, kGroupTransportVersion);
  if (size < kGroupBlockMinSize) {
    FUZZ_CHECK(rc == FR_INVALID_PARAMETER && group.name == "stale", "short block: %d, record touched", rc);
    return 0;
  }
  if (rc != FR_OK) {
    FUZZ_CHECK(rc == FR_INVALID_PARAMETER, "refused block gave %d", rc);
    FUZZ_CHECK(IsEmptyGroup(group), "a refused block left data in the record");
    return 0;
  }
  FUZZ_CHECK(!group.name || IsValidXmlText(*group.name), "name is not XML text");
  FUZZ_CHECK(!group.description || IsValidXmlText(*group.description), "description is not XML text");
  FUZZ_CHECK(CheckGroupMemberList(group.members) == 0, "member list the store would refuse");

  std::vector<unsigned char> block;
  FUZZ_CHECK(ConvertGroupToTransportBlock(&group, block), "decoded group does not encode");
  FUZZ_CHECK(block.size() <= size, "block grew: %zu from %zu", block.size(), size);
  GroupStruct again;
  rc = ConvertTransportBlockToGroup(block.data(), static_cast<int32_t>(block.size()), &again, kGroupTransportVersion);
  FUZZ_CHECK(rc == FR_OK, "re-encoded block refused with %d", rc);
  const std::string a = DumpGroup(group), b = DumpGroup(again);
  FUZZ_CHECK(a == b, "group round trip differs\n  %s", fuzz::FirstDifference(a, b).c_str());
  return 0;
}
