// A test seam for running out of memory: after FailAllocationsAfter(n) the
// (n+1)th allocation through operator new from then on fails (the throwing
// forms throw std::bad_alloc, the nothrow forms answer null); the ones after
// it succeed again. FailAllocationsAfter(-1) switches the seam off. Walking
// n from 0 up fails each allocation of an operation in turn.
// The replacement operators live in tests/directory/alloc_failure_seam.cpp
// (one definition per test program).
#pragma once

void FailAllocationsAfter(long allocations);

// True when the seam made an allocation fail since it was last set.
bool AllocationFailed();
