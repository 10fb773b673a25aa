// The group transport block: a group as the flat byte block a client receives
// or sends (NodeHeader, member count, name, description, member names), built
// from a stored group and rebuilt into a record, little-endian on any host.
// Directory store; calls the wire block helpers, the groups model, the
// utilities and the log. Where no block can be built the encoder says so
// (false); a request handler answers that failure with 1, as for every store
// encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "directory/groups.h"

// Block layout (offsets in bytes; S = a transport string: u32 L = length + 1,
// 0 for an absent text, then the L bytes of the text and its NUL):
//    0  20  NodeHeader: UID, kind, time stamp, flags, spare (each u32)
//   20   4  M, the number of members (u32)
//   24   S  name
//  ...   S  description
//  ...  M*S member names, in the group's list order
constexpr size_t kGroupBlockCountOffset = 20;
constexpr size_t kGroupBlockMinSize = 20;       // smaller blocks are refused before anything is read
constexpr size_t kGroupBlockFixedSize = 24;     // header and member count
constexpr size_t kGroupBlockMinStringSize = 4;  // an absent string's length word
constexpr uint32_t kGroupTransportVersion = 1;  // the only version the decoder reads

// Builds the block of `group`: its size is 24 plus the transport string sizes
// of name, description and every member. True with the block in `block`;
// false (block empty) for no group or when the memory cannot be had (logged).
bool ConvertGroupToTransportBlock(const GroupStruct* group, std::vector<unsigned char>& block);

// The same block appended to what `out` holds (a list of many blocks is
// built in one buffer). False with `out` as it was, for the same causes.
bool AppendGroupTransportBlock(const GroupStruct* group, std::vector<unsigned char>& out);

// The size in bytes of the block the encoder builds of `group` as it is now.
size_t GroupTransportBlockSize(const GroupStruct& group);

// Fills `group` from a client's block of `blockSize` bytes.
// 0; 1 no memory; 2 no block, a size below 20, no record or a version other
// than 1 (the record untouched in these cases), or a block that does not hold
// what it announces: the count of members needs at least 4 bytes each, a
// length word or string reaching past the end, a string without a NUL in its
// bytes, a text that is not valid UTF-8 XML text, or a member that is absent,
// empty, holds a control character or is named twice (without regard to
// case). Every check of the bytes is made before anything is allocated for
// the members. On any failure after the first checks the record is left all
// zero.
int ConvertTransportBlockToGroup(const unsigned char* block, int32_t blockSize, GroupStruct* group,
                                 uint32_t version);
