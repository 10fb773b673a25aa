// Packing a stored user into its UserTransportBlock and reading a client's
// block back into a free-standing record.
// Directory layer: calls the user records, the wire's little-endian words and
// transport strings, the NodeHeader image, the utilities and the log.
//
// The reader walks the block twice: first over the raw bytes only (the count
// against the bytes there, every length word, every string's NUL, every
// text's validity, the ADUSER/LEVEL tail), allocating nothing; then, on a
// block known to be sound, it copies. So no client block can make it allocate
// more than the block itself holds.
#include "directory/user_blocks.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

#include "foundation/log/ring_log.h"
#include "foundation/result_codes.h"
#include "foundation/util/util.h"
#include "foundation/wire/transport_string.h"

namespace {

// The text of the transport string at *offset (the bytes before its NUL), or
// nullopt for an absent string; advances *offset. FR_INVALID_PARAMETER when
// the length word or the L bytes would reach past the end, the L bytes hold
// no NUL, or the text is not valid UTF-8 of XML characters.
int ScanTransportString(const unsigned char* block, size_t size, size_t* offset,
                        std::optional<std::string_view>* text) {
  text->reset();
  if (*offset > size || size - *offset < 4) return FR_INVALID_PARAMETER;
  const uint32_t length = GetLE32(block + *offset);
  const size_t start = *offset + 4;
  if (length == 0) {
    *offset = start;
    return FR_OK;
  }
  if (size - start < length) return FR_INVALID_PARAMETER;
  const void* nul = std::memchr(block + start, 0, length);
  if (nul == nullptr) return FR_INVALID_PARAMETER;
  const std::string_view view(reinterpret_cast<const char*>(block + start),
                              static_cast<size_t>(static_cast<const unsigned char*>(nul) - (block + start)));
  if (!IsValidXmlText(view)) return FR_INVALID_PARAMETER;
  *text = view;
  *offset = start + length;
  return FR_OK;
}

// Pass one: checks that the block holds what it announces. FR_OK or
// FR_INVALID_PARAMETER.
int CheckUserBlock(const unsigned char* block, size_t size) {
  if (size < kUserBlockFixedBytes) return FR_INVALID_PARAMETER;
  const uint32_t flags = GetLE32(block + 12);
  const uint32_t pairs = GetLE32(block + 24);
  size_t offset = kUserBlockFixedBytes;
  // The count first: six strings and N pairs need at least 4 bytes per
  // string, whatever they hold.
  const unsigned long long least =
      4ull * kUserBlockStringCount + static_cast<unsigned long long>(pairs) * kUserBlockMinPairBytes;
  if (least > size - offset) return FR_INVALID_PARAMETER;

  std::optional<std::string_view> text;
  for (size_t i = 0; i < kUserBlockStringCount; ++i) {
    if (ScanTransportString(block, size, &offset, &text) != FR_OK) return FR_INVALID_PARAMETER;
  }
  for (uint32_t i = 0; i < pairs; ++i) {
    // A field must have a name: a nameless pair could not be stored or saved.
    if (ScanTransportString(block, size, &offset, &text) != FR_OK || !text || text->empty()) {
      return FR_INVALID_PARAMETER;
    }
    if (ScanTransportString(block, size, &offset, &text) != FR_OK) return FR_INVALID_PARAMETER;
  }
  // ADUSER and LEVEL are read only when the flag announces them and bytes
  // remain; bytes that remain must then hold both words.
  if ((flags & kUserBlockHasAdUserLevel) != 0 && offset < size && size - offset < kUserBlockTailBytes) {
    return FR_INVALID_PARAMETER;
  }
  return FR_OK;
}

// Reads one string into *out (the block is known to be sound).
int ReadText(const unsigned char* block, size_t size, size_t* offset, std::optional<std::string>* out) {
  int reason = FR_OK;
  *out = GetTransportString(block, size, offset, &reason);
  return reason;
}

// Pass two: copies the sound block into *user (empty on entry).
int CopyUserBlock(const unsigned char* block, size_t size, UserStruct* user) {
  user->header = DecodeNodeHeader(block);
  user->PASSWORD = GetLE32(block + 20);
  const uint32_t pairs = GetLE32(block + 24);
  size_t offset = kUserBlockFixedBytes;
  int rc = FR_OK;
  try {
    user->fields.resize(pairs);  // bounded by the block: 8 bytes per pair at least
  } catch (const std::exception&) {
    return FR_NO_MEMORY;
  }
  std::optional<std::string>* strings[kUserBlockStringCount] = {&user->USERNAME, &user->FORENAME,  &user->SURNAME,
                                                                &user->EMAIL,    &user->GROUPLIST, &user->PASSWORDV2};
  for (std::optional<std::string>* text : strings) {
    if ((rc = ReadText(block, size, &offset, text)) != FR_OK) return rc;
  }
  for (UserField& field : user->fields) {
    if ((rc = ReadText(block, size, &offset, &field.name)) != FR_OK) return rc;
    if ((rc = ReadText(block, size, &offset, &field.value)) != FR_OK) return rc;
  }
  if ((user->header.flags & kUserBlockHasAdUserLevel) != 0 && offset < size) {
    user->ADUSER = static_cast<int32_t>(GetLE32(block + offset));
    user->LEVEL = GetLE32(block + offset + 4);
  }
  // A stored user's fields are sorted and unique; a client may send them in
  // any order, but not one name twice.
  std::stable_sort(user->fields.begin(), user->fields.end(),
                   [](const UserField& a, const UserField& b) { return CompareFieldNames(a, b) < 0; });
  for (size_t i = 1; i < user->fields.size(); ++i) {
    if (CompareFieldNames(user->fields[i - 1], user->fields[i]) == 0) return FR_INVALID_PARAMETER;
  }
  return FR_OK;
}

}  // namespace

size_t UserTransportBlockSize(const UserStruct& user) {
  size_t size = kUserBlockFixedBytes + kUserBlockTailBytes;
  for (const std::optional<std::string>* text :
       {&user.USERNAME, &user.FORENAME, &user.SURNAME, &user.EMAIL, &user.GROUPLIST, &user.PASSWORDV2}) {
    size += GetTransportStringSize(*text);
  }
  for (const UserField& field : user.fields) {
    size += GetTransportStringSize(field.name) + GetTransportStringSize(field.value);
  }
  return size;
}

bool ConvertUserToTransportBlock(UserStruct* user, std::vector<unsigned char>& block) {
  block.clear();
  return AppendUserTransportBlock(user, block);
}

bool AppendUserTransportBlock(UserStruct* user, std::vector<unsigned char>& block) {
  if (user == nullptr) return false;
  user->header.flags |= kUserBlockHasAdUserLevel;

  const size_t size = UserTransportBlockSize(*user);
  const size_t start = block.size();
  bool ok = size <= static_cast<size_t>(INT32_MAX);
  if (ok) {
    try {
      // Grown geometrically when short: appending block after block stays linear.
      if (block.capacity() - start < size) block.reserve(std::max(start + size, 2 * block.capacity()));
      block.resize(start + kNodeHeaderSize);
      EncodeNodeHeader(user->header, block.data() + start);
      ok = AppendLE32(block, user->PASSWORD) && AppendLE32(block, static_cast<uint32_t>(user->fields.size()));
      for (const std::optional<std::string>* text :
           {&user->USERNAME, &user->FORENAME, &user->SURNAME, &user->EMAIL, &user->GROUPLIST, &user->PASSWORDV2}) {
        ok = ok && PutTransportString(block, *text);
      }
      for (const UserField& field : user->fields) {
        ok = ok && PutTransportString(block, field.name) && PutTransportString(block, field.value);
      }
      ok = ok && AppendLE32(block, static_cast<uint32_t>(user->ADUSER)) && AppendLE32(block, user->LEVEL);
    } catch (const std::exception&) {
      ok = false;
    }
  }
  if (!ok) {
    WriteLog(1, "Unable to allocate %d bytes for buffer", size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size));
    block.resize(start);
    return false;
  }
  return true;
}

int ConvertTransportBlockToUser(const unsigned char* block, int32_t blockSize, UserStruct* user,
                                uint32_t version) {
  if (block == nullptr || blockSize < 1 || user == nullptr || version != kUserTransportVersion) {
    return FR_INVALID_PARAMETER;
  }
  FreeUserStruct(user);
  const size_t size = static_cast<size_t>(blockSize);
  int rc = CheckUserBlock(block, size);
  if (rc == FR_OK) rc = CopyUserBlock(block, size, user);
  if (rc != FR_OK) {
    WriteLog(0, "Error converting transport buffer to user struct");
    FreeUserStruct(user);
  }
  return rc;
}
