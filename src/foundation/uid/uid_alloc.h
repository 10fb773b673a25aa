// UID allocation: the counter file uid.val under its lock file uid.lck in the
// UID directory (the home directory), the in-process counter used while no
// UID directory is set, and the start-up synchronisation of uid.val with the
// node registry.
// Foundation layer: calls the log, the utilities, the atomic file helper, the
// node registry (its highest UID), the platform lock file and sleep (retries).
#pragma once

#include <cstdint>
#include <string>

#include "foundation/uid/node_header.h"

// ---- Files -----------------------------------------------------------------

// uid.val: exactly 4 bytes, the last UID issued, unsigned little-endian.
// uid.lck: an empty file locked with flock around each read or write of
// uid.val and removed by its holder right after. The kernel drops the lock of
// a holder that dies, so a uid.lck it leaves behind stops nobody: the next
// allocation locks it and removes it in turn.
constexpr const char kUIDValueFileFormat[] = "%suid.val";
constexpr const char kUIDLockFileFormat[] = "%suid.lck";
constexpr size_t kUIDValueFileSize = 4;

// The lock's patience with a live holder: attempts 10 ms apart (about 10
// seconds in all).
constexpr int kLockFileAttempts = 1000;
constexpr uint32_t kLockFileRetryMs = 10;

// ---- UID directory -------------------------------------------------------------

// Points UID allocation at `directory` (the home directory, ending in '/'),
// or back at the in-process counter for null. The run function calls it once
// before any store is loaded.
void SetUIDDirectory(const char* directory);

// The UID directory, or null while none is set.
const char* GetUIDDirectory();

// ---- Allocation --------------------------------------------------------------

// A new UID: GetNextUIDFromFile with the UID directory when one is set,
// otherwise the in-process counter plus 1. 0 on any failure, and 0 (logged)
// rather than a UID at or above kFirstReservedUID.
UID GetNewUID();

// Takes the lock, reads uid.val (missing: nothing issued yet), adds 1, writes
// it back atomically (a failed write leaves the old uid.val in place), drops
// the lock. Never goes below this process's high-water mark for the directory,
// so a uid.val lost from under the process cannot make it reissue UIDs.
// The new UID, or 0 on any failure: null directory, lock not taken (after
// kLockFileAttempts tries), uid.val unreadable or shorter than 4 bytes, write
// failed, or the next UID would be reserved.
UID GetNextUIDFromFile(const char* directory);

// `count` consecutive new UIDs in one allocation (one lock, one write of
// uid.val, which then holds the last of them), for callers that need many at
// once (a client text of nodes without UIDs). The first of them, or 0 on any
// failure GetNewUID has, or when the range would reach the reserved range.
UID GetNewUIDRange(uint32_t count);

// Makes uid.val in the UID directory hold `value` (atomic replacement, under
// the lock). 0 on success, 2 when no UID directory is set, 14 on any other
// failure (uid.val then keeps its old content).
int WriteUIDFile(UID value);

// Takes the lock on `lockPath` (TryLockFile), retrying while another process
// holds it or access is denied (EACCES). 0 when it is held, with `lockFd` the
// descriptor that holds it (release with RemoveLockFile); -1 otherwise, with
// `lockFd` -1 (errors other than a held lock are logged).
int CreateLockFile(const char* lockPath, int& lockFd);

// Drops a lock taken by CreateLockFile: removes the lock file, then closes
// `lockFd`. A failed removal is logged ("Unable to remove lock file %s"); the
// lock is dropped in every case.
void RemoveLockFile(const char* lockPath, int lockFd);

// Start-up: raises uid.val to the largest registered UID below
// kFirstReservedUID, or to the in-process counter, the high-water mark or
// `atLeast` when larger (an `atLeast` at or above kFirstReservedUID does not
// count). Stores whose records are not registered (groups) pass their highest
// UID here, and call it again after they have issued UIDs of their own. A
// larger value already in uid.val stays. Missing or unreadable uid.val is
// written. The write's result is not examined. A uid.val holding
// kFirstReservedUID - 1 or more can issue nothing more: logged (error flag),
// naming the file and its value, and left as it is.
void SyncUIDFileWithNodes(UID atLeast = 0);

// ---- Inspection and test seams ---------------------------------------------------

// The in-process counter (the last UID issued while no directory was set).
UID GetInProcessUIDCounter();

// The highest UID this process has issued or written to uid.val of the
// current UID directory (0 when none).
UID GetUIDHighWaterMark();

// Replaces the lock's retry count and the sleep between attempts (tests: a
// stale lock then fails in a few ms). A null sleep function uses
// SleepMilliseconds. ResetUIDAllocation restores 1000 x 10 ms.
using LockSleepFunction = void (*)(uint32_t ms);
void SetLockFileRetryPolicy(int attempts, uint32_t sleepMs, LockSleepFunction sleep);

// Back to the process-start state: no UID directory, counter 0, high-water
// mark 0, the default lock policy. The registry is reset separately
// (ResetNodeRegistry in node_registry.h).
void ResetUIDAllocation();
