// Random bytes from the operating system's preferred generator (getrandom),
// for bcrypt salts and anything else that needs unpredictable bytes.
// Platform layer: calls the kernel only. Holds two test seams: one makes the
// generator fail, so callers' failure paths can be exercised; the other puts
// a source of the test's own in the kernel's place, so that a test can make
// every draw (session IDs, salts) the same from run to run.
#pragma once

#include <cstddef>

// --- Drawing bytes ---

// Fills `length` bytes at `buffer` from the system generator, blocking until
// it is seeded, retrying interrupted and partial draws. Returns 0 when every
// byte was filled; otherwise a negative status (minus the errno of the failed
// call, or -1 when there was none) with errno set, and the buffer's contents
// unspecified. A null buffer with a non-zero length is refused with -EINVAL.
// A length of 0 succeeds and touches nothing.
int GetRandomBytes(void* buffer, size_t length);

// --- Test seam ---

// Makes every following GetRandomBytes fail with `status` (a negative value,
// errno set to its negation) without drawing; 0 restores the generator.
// A non-negative status other than 0 is ignored.
void SetRandomBytesFailStatus(int status);

// Draws every following GetRandomBytes from `source` in place of the kernel
// (null: the kernel again). The source fills `length` bytes and gives 0, or a
// negative status as GetRandomBytes does. It is called on whichever thread
// draws (the salts of new password hashes are drawn on worker threads), so it
// must be safe to call from several at once. The fail status above still
// comes first.
using RandomBytesSource = int (*)(void* buffer, size_t length);
void SetRandomBytesSourceForTest(RandomBytesSource source);
