// A registry of our own: keys named by '\'-separated paths (compared without
// regard to case, their first spelling kept), each holding typed values.
// Every key is a directory under <state root>registry/, its subkeys in its
// "keys" folder and all its values in one "values" file replaced atomically.
// Platform layer: calls the state root, the atomic file and POSIX files.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Value types.
constexpr uint32_t REG_SZ = 1;         // text with its NUL
constexpr uint32_t REG_EXPAND_SZ = 2;  // text with its NUL, variables unexpanded
constexpr uint32_t REG_DWORD = 4;      // 4 bytes, little-endian

// Result codes besides 0 (errno values):
constexpr int kRegNotFound = ENOENT;     // no such key or value
constexpr int kRegBadName = EINVAL;      // empty, '/', ".", "..", NUL or over 255 bytes
constexpr int kRegMoreData = EMSGSIZE;   // the value is longer than the caller's buffer
constexpr int kRegNoMoreItems = ENODATA; // enumeration past the last item
constexpr int kRegHasSubkeys = ENOTEMPTY;
constexpr int kRegBadType = EPROTOTYPE;  // a type other than the three above
constexpr int kRegCorrupt = EBADMSG;     // a values file that does not parse

constexpr size_t kRegMaxNameBytes = 255;
constexpr size_t kRegMaxValueBytes = 1u << 20;

// Whether one key or value name may be used.
bool IsValidRegName(const std::string& name);

// Creates the key and every missing key above it (an existing one is opened).
int RegCreateKey(const std::string& path);
// 0 when the key exists.
int RegOpenKey(const std::string& path);
// The key's subkeys in their stored spelling, by index; kRegNoMoreItems past the last.
int RegEnumKey(const std::string& path, uint32_t index, std::string& name);
// Deletes a key that has no subkeys, with its values.
int RegDeleteKey(const std::string& path);
// Durability: every change is synced when made; 0 when the key exists.
int RegFlushKey(const std::string& path);

// Sets (adds or replaces) one value of an existing key.
int RegSetValue(const std::string& path, const std::string& name, uint32_t type, const void* data, size_t size);
int RegSetString(const std::string& path, const std::string& name, uint32_t type, const std::string& text);
int RegSetDword(const std::string& path, const std::string& name, uint32_t value);
// Reads a value into `buffer` of `*size` bytes; `*size` becomes the value's
// length. A longer value is not read (kRegMoreData). `type` may be null.
int RegQueryValue(const std::string& path, const std::string& name, uint32_t* type, void* buffer, uint32_t* size);
int RegDeleteValue(const std::string& path, const std::string& name);
// The names of the key's values in their stored order.
int RegListValues(const std::string& path, std::vector<std::string>& names);

// Deletes `name` under `parent` with all its subkeys, depth first: each
// round takes the first subkey and deletes its tree, until enumeration
// reports no more items; then the key itself. The first failure ends the walk.
int RegDeleteTree(const std::string& parent, const std::string& name);
