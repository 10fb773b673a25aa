// Random bytes from the operating system's preferred generator (getrandom),
// for bcrypt salts and anything else that needs unpredictable bytes.
// Platform layer: calls the kernel only. Holds one test seam that makes the
// generator fail, so callers' failure paths can be exercised.
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
