// Fuzz target: GetTransportString over the input as a block, string after
// string from a starting offset the first two bytes choose (it may lie past
// the end). Each text read must be exactly the bytes the block holds, the
// offset must move by what was read, and a refusal must leave it alone; every
// text read must pack and read back the same.
#include <cstdint>
#include <cstring>
#include <vector>

#include "foundation/util/byte_order.h"
#include "foundation/wire/transport_string.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t offset = size >= 2 ? (static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8) % 1024 : 0;
  for (;;) {
    const size_t before = offset;
    int reason = -1;
    std::optional<std::string> text = GetTransportString(data, size, &offset, &reason);
    if (reason == 2) {
      FUZZ_CHECK(!text && offset == before, "refusal moved the offset or gave a text");
      FUZZ_CHECK(before > size || size - before < 4 || GetLE32(data + before) > size - before - 4 ||
                     std::memchr(data + before + 4, 0, GetLE32(data + before)) == nullptr,
                 "a sound string at %zu was refused", before);
      break;
    }
    FUZZ_CHECK(reason == 0, "unexpected reason %d", reason);
    FUZZ_CHECK(before <= size && size - before >= 4, "read a length word past the end");
    const uint32_t length = GetLE32(data + before);
    FUZZ_CHECK(offset == before + 4 + length, "offset moved by %zu for L=%u", offset - before, length);
    FUZZ_CHECK(offset <= size, "offset past the end");
    if (length == 0) {
      FUZZ_CHECK(!text, "an absent string gave a text");
    } else {
      FUZZ_CHECK(text.has_value(), "a present string gave no text");
      FUZZ_CHECK(text->size() < length && std::memcmp(text->data(), data + before + 4, text->size()) == 0 &&
                     data[before + 4 + text->size()] == 0,
                 "text is not the bytes before the first NUL");
    }
    std::vector<unsigned char> packed;
    FUZZ_CHECK(PutTransportString(packed, text), "cannot pack a text that was read");
    FUZZ_CHECK(packed.size() == GetTransportStringSize(text), "packed size differs from the announced size");
    size_t at = 0;
    int again = -1;
    std::optional<std::string> back = GetTransportString(packed.data(), packed.size(), &at, &again);
    FUZZ_CHECK(again == 0 && back == text && at == packed.size(), "packed text does not read back");
    if (offset == before) break;
  }
  return 0;
}
