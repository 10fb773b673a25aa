// Implementation of the group transport block: the encoder that lays a stored
// group out flat, and the decoder that checks a client's block against its
// own bytes before it allocates or copies anything.
// Directory store; calls the wire block helpers, the NodeHeader codec, the
// groups model (member-list test), the utilities and the log.
#include "directory/group_blocks.h"

#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "foundation/wire/transport_string.h"

namespace {

// Walks over one transport string at *offset without copying it: 0 with the
// offset advanced when the length word and the L bytes lie inside the block
// and (for a present string) the bytes hold a NUL; 2 otherwise, the offset
// left where it was. *present tells an absent string (L 0) from a present one.
int SkipTransportString(const unsigned char* block, size_t size, size_t* offset, bool* present) {
  uint32_t length = 0;
  size_t at = *offset;
  if (!ReadLE32(block, size, &at, &length)) return FR_INVALID_PARAMETER;
  if (length > size - at) return FR_INVALID_PARAMETER;
  if (length != 0 && std::memchr(block + at, 0, length) == nullptr) return FR_INVALID_PARAMETER;
  *present = length != 0;
  *offset = at + length;
  return FR_OK;
}

// Reads one string that SkipTransportString has already vouched for.
// 0 with the text (or none) in *out; 1 no memory.
int TakeTransportString(const unsigned char* block, size_t size, size_t* offset,
                        std::optional<std::string>* out) {
  int reason = 0;
  *out = GetTransportString(block, size, offset, &reason);
  return reason == 0 ? FR_OK : (reason == 1 ? FR_NO_MEMORY : FR_INVALID_PARAMETER);
}

// The whole decoding of a block already known to be at least 20 bytes, into
// the empty record `g`. 0, 1 or 2.
int DecodeGroupBlock(const unsigned char* block, size_t size, GroupStruct& g) {
  size_t offset = kGroupBlockCountOffset;
  uint32_t count = 0;
  if (!ReadLE32(block, size, &offset, &count)) return FR_INVALID_PARAMETER;

  // The count first: name, description and every member need at least a
  // length word each, so an announced count the block cannot hold is refused
  // before anything else is read or allocated.
  uint64_t needed = static_cast<uint64_t>(count) * kGroupBlockMinStringSize + 2 * kGroupBlockMinStringSize;
  if (needed > size - offset) return FR_INVALID_PARAMETER;

  // Every string is walked and checked before anything is copied.
  const size_t stringsStart = offset;
  bool present = false;
  for (uint64_t i = 0; i < static_cast<uint64_t>(count) + 2; ++i) {
    if (SkipTransportString(block, size, &offset, &present) != FR_OK) return FR_INVALID_PARAMETER;
    // Members are user names: an absent one cannot be stored or read back.
    if (i >= 2 && !present) return FR_INVALID_PARAMETER;
  }

  try {
    g.header = DecodeNodeHeader(block);
    offset = stringsStart;
    int rc = TakeTransportString(block, size, &offset, &g.name);
    if (rc == FR_OK) rc = TakeTransportString(block, size, &offset, &g.description);
    if (rc != FR_OK) return rc;
    // Texts that groups.xml could not hold are refused here, where they enter.
    if (g.name && !IsValidXmlText(*g.name)) return FR_INVALID_PARAMETER;
    if (g.description && !IsValidXmlText(*g.description)) return FR_INVALID_PARAMETER;
    g.members.reserve(count);  // bounded by the block's size (checked above)
    for (uint32_t i = 0; i < count; ++i) {
      std::optional<std::string> member;
      rc = TakeTransportString(block, size, &offset, &member);
      if (rc != FR_OK) return rc;
      g.members.push_back(std::move(*member));
    }
  } catch (const std::bad_alloc&) {
    return FR_NO_MEMORY;
  }
  // Absent, empty or repeated members and members that are not XML text.
  int rc = CheckGroupMemberList(g.members);
  return rc == FR_NO_MEMORY ? FR_NO_MEMORY : (rc != FR_OK ? FR_INVALID_PARAMETER : FR_OK);
}

}  // namespace

size_t GroupTransportBlockSize(const GroupStruct& group) {
  size_t size = kGroupBlockFixedSize + GetTransportStringSize(group.name) + GetTransportStringSize(group.description);
  for (const std::string& m : group.members) size += GetTransportStringSize(m);
  return size;
}

bool ConvertGroupToTransportBlock(const GroupStruct* group, std::vector<unsigned char>& block) {
  block.clear();
  return AppendGroupTransportBlock(group, block);
}

bool AppendGroupTransportBlock(const GroupStruct* group, std::vector<unsigned char>& out) {
  if (group == nullptr) return false;
  const size_t size = GroupTransportBlockSize(*group);
  const size_t start = out.size();
  try {
    out.resize(start + size, 0);
  } catch (const std::bad_alloc&) {
    WriteLog(1, "ConvertGroupToTransportBlock: Unable to allocate %d bytes for buffer", static_cast<int>(size));
    return false;
  }
  unsigned char* block = out.data() + start;
  EncodeNodeHeader(group->header, block);
  PutLE32(block + kGroupBlockCountOffset, static_cast<uint32_t>(group->members.size()));
  size_t offset = kGroupBlockFixedSize;
  bool ok = PutTransportString(block, size, &offset, group->name);
  ok = ok && PutTransportString(block, size, &offset, group->description);
  for (const std::string& m : group->members) ok = ok && PutTransportString(block, size, &offset, m);
  if (!ok || offset != size) {  // cannot happen: the sizes were added from the same texts
    out.resize(start);
    return false;
  }
  return true;
}

int ConvertTransportBlockToGroup(const unsigned char* block, int32_t blockSize, GroupStruct* group,
                                 uint32_t version) {
  if (block == nullptr || blockSize < static_cast<int32_t>(kGroupBlockMinSize) || group == nullptr ||
      version != kGroupTransportVersion) {
    return FR_INVALID_PARAMETER;  // the record untouched
  }
  GroupStruct decoded;
  int rc = DecodeGroupBlock(block, static_cast<size_t>(blockSize), decoded);
  // Success or not, the record's previous contents go; on failure it is left
  // all zero.
  *group = rc == FR_OK ? std::move(decoded) : GroupStruct{};
  return rc;
}
