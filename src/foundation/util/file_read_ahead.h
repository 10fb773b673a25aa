// Reading a list of files ahead of the one thread that uses them, in list
// order, within a bounded window: a load of many small files pays for their
// system calls on several cores while its own thread parses.
// Foundation layer: calls the quiet whole-file reader and the log (the log
// from the consuming thread only).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/util/util.h"

// How far a read-ahead may go: no threads for a list shorter than
// `minFilesForThreads`; one worker per that many files up to `maxWorkers`
// (and below the number of cores); at most `window` files read and not yet
// taken. A `maxWorkers` of 0 reads every file on the taking thread.
//
// `step`, when set, is more work a worker does on each file it has read: it
// gets the read's result and bytes and leaves what it makes in `product`
// (cleared before), which Take hands over with the bytes. It runs on the
// worker's thread, so the same rule holds for it: no log, no shared state.
// Take does not run it when there are no workers (the product is empty).
using FileReadAheadStep = void (*)(const FileReadResult& result, const std::string& data, std::string& product);

struct FileReadAheadOptions {
  size_t minFilesForThreads = 64;
  unsigned maxWorkers = 6;
  size_t window = 256;
  FileReadAheadStep step = nullptr;
};

struct FileReadAheadState;  // the shared window, private to the reader

// Threads: the thread that makes a FileReadAhead is its owner and the only
// one that may call its operations. The workers it starts run only the quiet
// reader (ReadFileQuietly) on the names, each into its own window slot: they
// log nothing and touch no process-wide state. Everything that logs happens
// in Take, on the owner's thread, in list order. The destructor stops and
// joins the workers (files read but not taken are dropped).
class FileReadAhead {
 public:
  // Reads `names`, each relative to the directory `dir` (opened once, so
  // each open saves the walk of its path; when `dir` cannot be opened, or is
  // empty, each name is read as `dir` + name). A worker that cannot be
  // started leaves the reading to fewer, or to Take itself.
  FileReadAhead(const std::string& dir, std::vector<std::string> names, const FileReadAheadOptions& options = {});

  // The same for `count` names that `nameOf` gives (it writes name i into the
  // cleared string it is handed), on the workers' threads as well as the
  // owner's: it must read only what stays unchanged while the read-ahead
  // lives. A long list then costs no string per name.
  FileReadAhead(const std::string& dir, size_t count, std::function<void(size_t i, std::string& name)> nameOf,
                const FileReadAheadOptions& options = {});
  ~FileReadAhead();
  FileReadAhead(const FileReadAhead&) = delete;
  FileReadAhead& operator=(const FileReadAhead&) = delete;

  // The next name's read, in list order, as ReadFileQuietly gives it: the
  // bytes in `out` (whose old buffer goes back to the window for reuse),
  // errno set to the result's error when it has one. Past the last name:
  // code FR_FAILED and `out` empty. With `product`, the step's product for
  // that file (empty when no worker ran the step) is swapped in the same way.
  FileReadResult TakeQuietly(std::string& out, std::string* product = nullptr);

  // TakeQuietly, then the log line ReadFileToBuffer writes for that result,
  // naming `path`: the same call as ReadFileToBuffer (path, out), its code
  // and its errno, with the reading done ahead.
  int Take(const std::string& path, std::string& out, std::string* product = nullptr);

  // The worker threads running (0: every read happens in Take).
  unsigned Workers() const { return workers_; }

 private:
  // Both constructors: the state set up and the workers started.
  void Start(const std::string& dir, size_t count, std::function<void(size_t i, std::string& name)> nameOf,
             const FileReadAheadOptions& options);

  std::unique_ptr<FileReadAheadState> state_;
  unsigned workers_ = 0;
};
