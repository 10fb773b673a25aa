// Bytes a reply sends across waits. A request whose send must wait lets
// other requests run, and they may free what the reply was made of (a
// description replaced, a slot freed); so a long send goes out from bytes of
// its own, copied when it begins. Requests that send the same bytes while any
// of them is still sending share one copy: many slow readers of one long text
// hold it once, not once each.
// Foundation layer: the standard library only. The table belongs to the
// server thread (every request's sends run there).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

using SharedReplyBytes = std::shared_ptr<const std::vector<unsigned char>>;

// A copy of `length` bytes at `data` that lives while the holder keeps it:
// the copy of an earlier caller when one with the same bytes is still held,
// else a new one. Null when the memory cannot be had.
SharedReplyBytes ShareReplyBytes(const void* data, size_t length);

// Tests: how many copies are held now, and their bytes in all.
size_t SharedReplyBytesCopies();
size_t SharedReplyBytesHeld();
