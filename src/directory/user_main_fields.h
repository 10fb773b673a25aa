// Private to the users readers (users_files.cpp, users_v1_event_reader.cpp):
// the one reading of a USER element's main-field texts into a record, shared
// by the tree conversion and the event-driven version-1 reader. Nobody else
// includes this header.
// Directory layer: calls the user records and the utilities.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "directory/user_records.h"

// A decimal text as the C library's atoi reads it (leading white space, a
// sign, digits up to the first other byte), held to the 32-bit range.
int32_t DecimalText(std::string_view text);

// Stores the text of the main-field element `name` (without regard to case)
// in `user`: UID and PASSWORD as hexadecimal (ParseHex32LikeStrtoul), LEVEL
// and ADUSER as decimal (DecimalText), USERNAME, PASSWORDV2, FORENAME,
// SURNAME, EMAIL and GROUPLIST as texts. False (nothing stored) for any
// other name.
bool SetUserMainFieldFromText(UserStruct& user, std::string_view name, std::string_view text);
