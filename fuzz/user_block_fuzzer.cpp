// Fuzz target: the UserTransportBlock decoder (ConvertTransportBlockToUser) over
// the input as a client's block, and the round trip of whatever decodes:
// record -> block -> record must give the same record.
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "directory/user_blocks.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "fuzz_support.h"

namespace {

bool IsEmptyRecord(const UserStruct& u) {
  return u.header.uid == 0 && u.header.kind == 0 && u.header.flags == 0 && !u.USERNAME && !u.FORENAME &&
         !u.SURNAME && !u.EMAIL && !u.GROUPLIST && !u.PASSWORDV2 && u.PASSWORD == 0 && u.fields.empty() &&
         u.ADUSER == 0 && u.LEVEL == 0 && u.USERDATA == nullptr;
}

// What a decoded record promises: texts that groups and users files can hold,
// fields named, sorted and unique.
void CheckDecodedRecord(const UserStruct& u) {
  for (const std::optional<std::string>* t :
       {&u.USERNAME, &u.FORENAME, &u.SURNAME, &u.EMAIL, &u.GROUPLIST, &u.PASSWORDV2}) {
    FUZZ_CHECK(!*t || IsValidXmlText(**t), "decoded text is not XML text");
  }
  for (size_t i = 0; i < u.fields.size(); ++i) {
    FUZZ_CHECK(u.fields[i].name && !u.fields[i].name->empty(), "decoded field without a name");
    FUZZ_CHECK(!u.fields[i].value || IsValidXmlText(*u.fields[i].value), "decoded field value not XML text");
    if (i > 0) FUZZ_CHECK(CompareFieldNames(u.fields[i - 1], u.fields[i]) < 0, "fields not sorted and unique");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  UserStruct user;
  user.USERNAME = "stale";  // the decoder must clear what the record held
  int rc = ConvertTransportBlockToUser(data, static_cast<int32_t>(size), &user, kUserTransportVersion);
  if (size == 0) {
    FUZZ_CHECK(rc == FR_INVALID_PARAMETER, "empty block gave %d", rc);
    return 0;
  }
  if (rc != FR_OK) {
    FUZZ_CHECK(rc == FR_INVALID_PARAMETER, "refused block gave %d", rc);
    FUZZ_CHECK(IsEmptyRecord(user), "a refused block left data in the record");
    return 0;
  }
  CheckDecodedRecord(user);

  UserStruct before = user;
  std::vector<unsigned char> block;
  FUZZ_CHECK(ConvertUserToTransportBlock(&user, block), "decoded record does not encode");
  FUZZ_CHECK((user.header.flags & kUserBlockHasAdUserLevel) != 0, "encoder did not mark the record");
  // Strings end at their first NUL, and the tail is always written.
  FUZZ_CHECK(block.size() <= size + kUserBlockTailBytes, "block grew: %zu from %zu", block.size(), size);

  UserStruct again;
  rc = ConvertTransportBlockToUser(block.data(), static_cast<int32_t>(block.size()), &again, kUserTransportVersion);
  FUZZ_CHECK(rc == FR_OK, "re-encoded block refused with %d", rc);
  before.header.flags |= kUserBlockHasAdUserLevel;
  const std::string a = fuzz::DumpUser(before, false) + std::to_string(before.header.timeStamp) + "/" +
                        std::to_string(before.header.flags) + "/" + std::to_string(before.header.spare);
  const std::string b = fuzz::DumpUser(again, false) + std::to_string(again.header.timeStamp) + "/" +
                        std::to_string(again.header.flags) + "/" + std::to_string(again.header.spare);
  FUZZ_CHECK(a == b, "user round trip differs\n  %s", fuzz::FirstDifference(a, b).c_str());

  std::vector<unsigned char> block2;
  FUZZ_CHECK(ConvertUserToTransportBlock(&again, block2) && block2 == block, "second encoding differs");
  return 0;
}
