// The UserTransportBlock: a user record laid out flat for the wire, built from
// a stored user and read back from a client's block into a free-standing
// record (meant for UpdateUser). Byte-exact little-endian on any host.
// Directory layer: calls the user records, the wire's transport strings and
// little-endian words, the NodeHeader image, the utilities and the log.
// Where no block can be built the encoder says so (false); a request handler
// answers that failure with 1, as for every store encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "directory/user_records.h"

// ---- Format ----------------------------------------------------------------------
//
//   offset  size  field
//   0       20    NodeHeader: UID, kind (6), time stamp, flags, spare (u32 each)
//   20      4     PASSWORD (u32)
//   24      4     N: number of field pairs (u32)
//   28      S     USERNAME     (S: a transport string, 4 when absent, length + 5)
//   ...     S     FORENAME, SURNAME, EMAIL, GROUPLIST, PASSWORDV2
//   ...     N*2S  each field's name, then its value, in the record's order
//   ...     4     ADUSER (i32) } present when flags has kUserBlockHasAdUserLevel
//   ...     4     LEVEL (u32)  }
//
// A block built here always has the bit, so its size is 36 + its strings.

// Flags bit: ADUSER and LEVEL follow the pairs (also set on the stored user
// each time its block is built).
constexpr uint32_t kUserBlockHasAdUserLevel = kNodeFlagUserBlockHasAdUserLevel;  // 0x2

constexpr uint32_t kUserTransportVersion = 1;  // the only version the decoder reads
constexpr size_t kUserBlockPasswordOffset = 20;  // the PASSWORD word
constexpr size_t kUserBlockFixedBytes = 28;   // header, PASSWORD and N
constexpr size_t kUserBlockStringCount = 6;   // USERNAME .. PASSWORDV2
constexpr size_t kUserBlockTailBytes = 8;     // ADUSER and LEVEL
constexpr size_t kUserBlockMinPairBytes = 8;  // two absent strings

// ---- Conversions -------------------------------------------------------------------

// Packs the stored user into a new block. Sets kUserBlockHasAdUserLevel in the
// stored record's flags first (the stored user keeps it), then writes the
// header as stored, PASSWORD, the field count, the six strings, the pairs,
// ADUSER and LEVEL. True with the block in `block` (its size is the
// vector's); false with `block` empty for no record, or when the memory
// cannot be had ("Unable to allocate %d bytes for buffer" logged with the
// error flag) or the block would exceed a signed 32-bit size.
bool ConvertUserToTransportBlock(UserStruct* user, std::vector<unsigned char>& block);

// The same block appended to what `out` holds (a list of many blocks is
// built in one buffer). False with `out` as it was, for the same causes.
bool AppendUserTransportBlock(UserStruct* user, std::vector<unsigned char>& out);

// The size in bytes of the block the encoder builds of `user` as it is now.
size_t UserTransportBlockSize(const UserStruct& user);

// Rebuilds a user from a client's block into `user`:
//   2 no block, blockSize < 1, no record or version != 1: the record untouched;
//   2 the block does not hold what it announces: a length word, a string or
//     the pairs of the count would reach past the end (the count is checked
//     before anything is allocated), a string holds no NUL, or the flags
//     announce ADUSER and LEVEL and fewer than 8 bytes follow the pairs
//     (no bytes at all is accepted: both stay 0);
//   2 a text that is not valid UTF-8 of XML characters, a field without a
//     name or with an empty name, or two fields of one name (case-insensitive);
//   1 no memory;  0 done.
// On any failure after the first check the record is left empty and
// "Error converting transport buffer to user struct" is logged. On success the
// record owns private copies of every string, has its fields sorted by name,
// no USERDATA link and no group UIDs; the header is the block's as sent
// (UpdateUser keeps the stored kind).
int ConvertTransportBlockToUser(const unsigned char* block, int32_t blockSize, UserStruct* user,
                                uint32_t version);
