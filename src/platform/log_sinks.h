// The descriptors behind the log call: a file of fixed-size blocks kept open
// (and mapped once it is long enough) so a record costs no system call, and
// standard error written with plain write(2), no stdio lock.
// Platform layer: POSIX files and mmap only; calls nothing of the server.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Block file ------------------------------------------------------------------
//
// An existing file opened for reading and writing (never created here). Bytes
// that lie inside the file as it was opened, or as this process grew it, are
// written through a shared mapping: they reach the page cache at once, so a
// reader of the file sees them and a crash of the process loses nothing. Bytes
// past the end go through pwrite, which grows the file and reports a full
// disk or a size limit as a failure, so a mapped page is always backed.

struct BlockFile {
  int fd = -1;                  // -1: not open
  unsigned char* map = nullptr; // the first mapLength bytes, or null (pwrite only)
  uint64_t mapLength = 0;
  uint64_t size = 0;            // the file's length as this process knows it
};

// Opens `path` for update (it must exist). False with errno set when it cannot
// be opened or examined; `f` is then closed.
bool OpenBlockFile(const char* path, BlockFile& f);
// Unmaps and closes; `f` is then as new. Harmless on a closed file.
void CloseBlockFile(BlockFile& f);
// Maps the first `length` bytes for writing. When the mapping cannot be made
// the file is written with pwrite only; nothing fails.
void MapBlockFile(BlockFile& f, uint64_t length);

// Reads exactly `length` bytes at `offset`. False when the file is shorter or
// the read fails.
bool ReadBlockFile(BlockFile& f, uint64_t offset, void* out, size_t length);
// Writes `length` bytes at `offset`: through the mapping when they lie inside
// the known size, else with pwrite (the size then grows to cover them). True
// when every byte was written. A copy through the mapping runs under a SIGBUS
// guard: when the file was cut short under it, the mapping is dropped and the
// bytes go through pread/pwrite instead, so a cut file never kills the process.
bool WriteBlockFile(BlockFile& f, uint64_t offset, const void* bytes, size_t length);

// True while the open file is still linked under a name and no shorter than
// this process knows it. False after it was deleted, renamed over or cut
// short by someone else: the caller closes it and opens the path again, since
// a mapped page past a cut end cannot be written.
bool BlockFileStillInPlace(const BlockFile& f);

// ---- Standard error --------------------------------------------------------------

// Writes the bytes to descriptor 2 with write(2), EINTR and short writes
// continued. A failure drops the rest silently: the console copy of the log
// never fails towards its caller.
void WriteStandardErrorBytes(const char* bytes, size_t length);
