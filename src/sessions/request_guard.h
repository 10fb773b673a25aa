// The logon a request stands on, held across its waits: while a request's
// task waits (for its socket, for a worker), other requests run, and one of
// them may end the logon this request was accepted under (a kick, a logoff
// of its session, a logoff through another connection of the same logon).
// This file owns the guard of the request being served (which connection,
// which logon) and the wait check that refuses a request whose logon ended:
// its wait then fails as a cancelled one does, so that every handler leaves
// through its usual failure path and changes nothing more. A request that
// has changed a store already (its save waits for its file) is past its
// decisions: its waits are no longer checked, and it answers what it did.
// Sessions layer: calls the connection table, the slots and the logon
// settings (the flags word of a refusal), the fiber tasks and the socket's
// held output.
#pragma once

#include <cstdint>

struct ConnectionRecord;

// Guards the request about to be served on `conn`: from now on every wait of
// the request goes on only while `conn` is in the table and still carries
// the logon UID it carries now, and that logon's slot exists. A connection
// without a logon (a request that needs none) is not guarded. The guard
// belongs to the request's task and ends with EndRequestGuard.
void BeginRequestGuard(ConnectionRecord* conn);
void EndRequestGuard();

// The wait check of the fiber tasks (SetFiberWaitCheck): true when the
// guarded request may go on (or nothing is guarded); false, noting the end,
// when its logon is gone or is no longer its connection's.
bool RequestLogonHolds();

// True once a wait of the guarded request found its logon ended.
bool RequestLogonEnded();

// The refusal of such a request, as the request reader refuses a request
// without a logon: 27 and the AuthenticationFlags word, in place of anything
// the request still held unsent. They go out with the request's end or the
// close of its connection (its stream may be out of step: the caller closes it).
void HoldLogonEndedRefusal();
