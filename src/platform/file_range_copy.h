// Copying a byte range of one open file into another inside the kernel
// (copy_file_range, with a read/write loop where the file systems do not
// offer it), and writing a whole buffer to a descriptor. For a writer that
// makes a new file of an old one's bytes with a small change.
// Platform layer: calls the system only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Opens a regular file to copy from (read only, without waiting on a FIFO).
// Its descriptor with *size its size, or -1 (errno set; ENOTSUP for a file
// that is not a regular one). Close it with CloseFileForCopy.
int OpenFileForCopy(const std::string& path, uint64_t* size);
void CloseFileForCopy(int fd);

// Appends the `length` bytes of `fromFd` at `offset` at the current position
// of `toFd` (which moves on by that much). True when every byte was copied;
// false (errno set; EIO for a source shorter than asked) otherwise.
bool CopyFileRange(int fromFd, uint64_t offset, uint64_t length, int toFd);

// Writes the whole buffer at the current position of `fd`, retrying short
// writes and EINTR. True, or false with errno set.
bool WriteAllToFd(int fd, const void* data, size_t size);
