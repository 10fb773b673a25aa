// The own-user requests: a logged-on caller's per-product fields, details,
// legacy password, default environment and language, settings under any
// section, and the current environment of its logon; and two lookups of a
// logon by its session ID text.
// Requests layer: calls the handler conventions, the self-service rule, the
// slots and the current logon slot, the directory store and the log.
#pragma once

#include <cstdint>

struct ConnectionRecord;

// ---- Product names ---------------------------------------------------------------------

// The product names by bits 8-15 of a client ID (indexes 0 to 6).
extern const char* const ClientProductNames[7];

// The product name of a client ID: (clientID & 0xFF00) >> 8 indexes the
// table; any index above 6 gives null. Client IDs 0 to 255 give "Invalid".
const char* GetClientProductName(int32_t clientID);

// ---- Handlers (the record's socket carries the request) ---------------------------------

int IPSetCurUserField(ConnectionRecord* conn);         // 6625
int IPGetCurUserField(ConnectionRecord* conn);         // 6626
int IPGetCurUserDetails(ConnectionRecord* conn);       // 6629
int IPSetCurUserPassword(ConnectionRecord* conn);      // 6630 (legacy-hash users only)
int IPGetUserNameForSID(int sock);                     // 6636
int IPGetCurUserDefaultEnv(ConnectionRecord* conn);    // 6666
int IPSetCurUserDefaultEnv(ConnectionRecord* conn);    // 6667 (not guest)
int IPGetCurUserDefaultLang(ConnectionRecord* conn);   // 6668
int IPSetCurUserDefaultLang(ConnectionRecord* conn);   // 6669 (not guest)
int IPGetCurUserFieldEx(ConnectionRecord* conn);       // 6670
int IPGetSIDEnv(int sock);                             // 6671
int IPSetCurEnv(ConnectionRecord* conn);               // 6673
