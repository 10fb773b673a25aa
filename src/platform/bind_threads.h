// Directory binds are waits on the network, not work: each runs on a thread
// of its own, never on the workers that password hashes need, and the
// server thread keeps its deadline. At the deadline (or when the request is
// cancelled) the bind is aborted and left to end on its thread, which holds
// only its own copies; the request goes on at once. This file owns the bind
// threads, their counts (in all, and per client address), the wait for one
// bind and the stop's wait for them all.
// Platform layer: POSIX threads, an eventfd per bind, poll; calls the fiber
// tasks and the workers' share of the running task.
#pragma once

#include <cstdint>
#include <memory>

// Binds of one client address (the workers' share) in flight at once; a
// further one is refused until one of them has ended.
constexpr int kMaxBindsPerShare = 2;
// Bind threads alive at once, those left to end after an abort included.
constexpr int kMaxBindThreads = 32;
// How long the stop waits for aborted binds to end.
constexpr int kBindStopWaitMs = 1000;

// The work of one bind step. Run runs on the bind's own thread with all it
// needs in the object (copies, never a store, slot or log). Abort may be
// called from the server thread at any time, before, while or after Run
// runs, and must make Run end soon (its socket shut down, say); the two must
// be safe to call at once.
class BindWork {
 public:
  virtual ~BindWork() = default;
  virtual void Run() = 0;
  virtual void Abort() = 0;
};

// How RunBind ended.
enum class BindWait {
  kDone,       // Run ended; its results are in the object
  kTimedOut,   // the deadline passed first: aborted, left to end on its thread
  kCancelled,  // the running task was cancelled (its connection is gone, the stop): aborted likewise
  kRefused,    // not started: the address has kMaxBindsPerShare in flight, or kMaxBindThreads are alive,
               // or no thread could be had
};

// Runs work->Run() on a thread of its own and waits until it ends or
// `deadlineMs` (on MonotonicMilliseconds) passes. In a task the task steps
// aside meanwhile (it waits on the bind's event, with the deadline, like a
// socket); elsewhere the calling thread waits. The thread keeps its own
// reference to `work`: after kTimedOut or kCancelled the caller must not read
// the work's results.
BindWait RunBind(const std::shared_ptr<BindWork>& work, int64_t deadlineMs);

// The stop: aborts every bind in flight and waits up to `ms` for their
// threads to end.
void StopBinds(int ms);

// Bind threads alive now, and those of one share (tests).
int GetBindThreadsAlive();
int GetShareBindsAlive(uint64_t share);
