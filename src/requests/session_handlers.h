// The request handlers of logoff and session administration: 6004 logoff,
// 6662 logoff of another logon by its session ID, 6685 logoff of client
// sessions, 6680 kick list, 6678 sanity check, 6679 close idle connections,
// 6677 the TOKENINFO document.
// Requests layer: calls the handler conventions and the session
// administration, the slots and the connection table (sessions).
#pragma once

struct ConnectionRecord;

// 6004: no reply. When the connection has a logon, its client sessions of
// its client ID are logged off and its logonUID becomes 0.
int IPLogoff(ConnectionRecord* conn);

// 6662 (no logon needed): reads the session-ID text and logs off the client
// sessions of the connection's client ID (0: the whole slot) from the slot
// of that SID. No reply; a bad read or text is logged.
int IPLogoffOther(ConnectionRecord* conn);

// 6685: reads a client-ID match value and logs off the matching sessions of
// the connection's own slot. No reply; the connection's logonUID stays.
int IPLogoffClient(ConnectionRecord* conn);

// 6680: reads the kick list (echo rule); replies 49 to a caller without the
// administration bit, else the result of KickUsersFromList (2 for an absent list).
int IPKickUsers(ConnectionRecord* conn);

// 6678: replies 0 after the sanity check, 49 to a caller without the
// administration bit.
int IPSanityCheckTokens(int sock);

// 6679: reads the age text (echo rule); replies 0 after closing every other
// connection idle longer than the age, 49 to a caller without the
// administration bit.
int IPCloseIdleConnections(int sock);

// 6677: replies 0 and the TOKENINFO document as a wire string, or the failure code.
int IPGetLUSArrayXML(ConnectionRecord* conn);
