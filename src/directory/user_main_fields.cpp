// The main-field texts of a USER element read into a record.
// Directory layer: the user records and the utilities.
#include "directory/user_main_fields.h"

#include <climits>

#include "directory/users_tree.h"
#include "foundation/util/util.h"

int32_t DecimalText(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < 0x100000000LL) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool SetUserMainFieldFromText(UserStruct& s, std::string_view n, std::string_view v) {
  if (EqualsNoCase(n, "UID")) {
    s.header.uid = ParseHex32LikeStrtoul(v);
  } else if (EqualsNoCase(n, kUserNameNodeName)) {
    s.USERNAME = v;
  } else if (EqualsNoCase(n, "PASSWORD")) {
    s.PASSWORD = ParseHex32LikeStrtoul(v);
  } else if (EqualsNoCase(n, "PASSWORDV2")) {
    s.PASSWORDV2 = v;
  } else if (EqualsNoCase(n, "FORENAME")) {
    s.FORENAME = v;
  } else if (EqualsNoCase(n, "SURNAME")) {
    s.SURNAME = v;
  } else if (EqualsNoCase(n, "EMAIL")) {
    s.EMAIL = v;
  } else if (EqualsNoCase(n, "GROUPLIST")) {
    s.GROUPLIST = v;
  } else if (EqualsNoCase(n, "LEVEL")) {
    s.LEVEL = static_cast<uint32_t>(DecimalText(v));
  } else if (EqualsNoCase(n, kADUserNodeName)) {
    s.ADUSER = DecimalText(v);
  } else {
    return false;
  }
  return true;
}
