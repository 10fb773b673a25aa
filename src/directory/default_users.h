// The four built-in accounts of a new home built in memory rather than
// through a first users.xml, with the extra fields of default_user taken
// from the home's "defaultuserfields.txt".
// Directory layer: calls the user records, the users tree, the users XML
// exchange (USERDATA), the legacy password hash, the utilities and the log.
#pragma once

constexpr const char kDefaultUserFieldsFileName[] = "defaultuserfields.txt";
constexpr int kDefaultUserFieldsLineMax = 2047;  // characters read of one line

// Adds administrator (4000000002), guest (4000000006), ZentakUser
// (4000000008) and default_user (4000000007), in that order (default_user
// last, so that the others are not copies of it), each at its sorted place,
// registered and with a USER node of its own, after making room for 50
// users. administrator and ZentakUser get the legacy hash of their first
// passwords ("quernstoneway", "Grebe7ly"), LEVEL 32768 and GROUPLIST
// Administrators; guest and default_user their name and UID only. Each gets
// the USERDATA of the first users.xml (ReplaceUserDataXML). Then, when
// "<home>defaultuserfields.txt" exists, each of its lines (at most 2047
// characters, cut at its first CR and its first LF) of the form name:value
// (split at the first ':'; lines without one are ignored) becomes a field of
// default_user; a field that cannot be added is logged "Error %d adding
// field >%s< with value >%s< to default user " and the reading goes on (a
// name that is not a field name, IsValidFieldName, or a value that is not
// XML text is refused with 2). Saves nothing.
//   0; 2 no home directory; 7 one of the four names or UIDs is taken (nothing
//   changed); the code of ResizeUserArray; 1 a user, its node or its
//   settings could not be made (what was added stays); a file that exists
//   but cannot be opened is logged "CreateDefaultUsers:defaultuserfields.txt
//   seems to exist but could not open" and gives 0.
int CreateDefaultUsers(const char* home);
