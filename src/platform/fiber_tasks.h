// Tasks on fibers of their own. Each request the server serves runs as a
// task on a fiber (Boost.Context) with a pooled stack behind a guard page, so
// that a request whose socket would block, or that waits for a worker
// thread, steps aside and the server thread serves the others meanwhile.
// This file owns the fibers and their stacks, the wait each suspended task is
// in, the cancellation of tasks whose connection went away, and the words of
// state that belong to the task being run (fiber locals). What a task waits
// for is decided by its caller (the socket layer, the worker pool); when to
// resume it is the server loop's.
// Platform layer: Boost.Context and the sanitizers' fiber annotations only.
// Everything here belongs to the thread that runs the tasks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct FiberTask;

// Words of state per task (fiber locals, below).
constexpr int kMaxFiberLocals = 16;

// Usable stack of every task (a guard page below it faults on overflow).
// Requests keep their large buffers on the heap: the deepest request of the
// test suites used 23 KiB of it. Only the pages a task touches are memory.
constexpr size_t kFiberStackBytes = 256 * 1024;
// Idle tasks kept for reuse with their stacks; beyond this a finished task
// gives its stack back to the system.
constexpr size_t kMaxIdleFiberTasks = 512;

// ---- What a suspended task waits for ------------------------------------------------

enum class FiberWaitKind : uint8_t {
  kNone,    // running, or between requests
  kSocket,  // `fd` readable (or writable, when `writing`), until `deadlineMs`
  kWorker,  // a job handed to a worker thread; only its end resumes the task
};

struct FiberWait {
  FiberWaitKind kind = FiberWaitKind::kNone;
  int fd = -1;
  bool writing = false;     // waits to send (else to receive)
  int64_t deadlineMs = -1;  // on MonotonicMilliseconds(); -1: no deadline
};

// How a wait ended, as the loop resumes the task.
enum class FiberWake : uint8_t {
  kReady,      // the socket is ready (or in error, which the next call reports), or the job is done
  kTimedOut,   // the deadline passed first
  kCancelled,  // the task was cancelled: its connection is gone, or the server stops
};

using FiberBody = void (*)(void* arg);

// ---- The loop's side -------------------------------------------------------------------

// Starts body(arg) on a task of its own (a pooled fiber) and runs it until it
// ends or first waits. `owner` is the caller's, handed back by
// GetFiberTaskOwner. The task while it waits; null when it ended (its stack is
// back in the pool). `arg` need only live until this call returns: a body
// copies what it needs before its first wait. Null too, with body not run,
// when no stack can be had (errno ENOMEM).
FiberTask* StartFiberTask(FiberBody body, void* arg, void* owner);

// Resumes a suspended task with the outcome of its wait and runs it until it
// ends or waits again. True when it waits again; false when it ended (the
// task is gone: the pointer must not be used again).
bool ResumeFiberTask(FiberTask* task, FiberWake wake);

// What a suspended task waits for, its owner, and whether it was cancelled.
const FiberWait& GetFiberTaskWait(const FiberTask* task);
void* GetFiberTaskOwner(const FiberTask* task);
bool FiberTaskCancelled(const FiberTask* task);

// Cancels a task: its current wait (on a socket) and every later one end with
// kCancelled. A task waiting for a worker goes on when the job is done, and
// finds itself cancelled there. Cancelling the task that runs only marks it.
void CancelFiberTask(FiberTask* task);

// The suspended tasks cancelled while they waited on a socket, in the order
// they were cancelled, each once; the loop resumes them with kCancelled.
// Empties the list.
std::vector<FiberTask*> TakeCancelledFiberTasks();
// True when TakeCancelledFiberTasks has any to give.
bool HasCancelledFiberTasks();

// Tasks started and not yet ended (running or suspended).
int GetLiveFiberTaskCount();

// ---- The task's side ----------------------------------------------------------------------

// What the running task is, kept where the hot paths read it inline.
namespace fiber_detail {
constexpr int kLocalsOfThread = 16;
extern __thread FiberTask* currentTask;
extern __thread uintptr_t* currentLocals;  // the running task's words; null outside tasks
extern __thread uintptr_t threadLocals[kLocalsOfThread];
}  // namespace fiber_detail

// The task being run; null on the loop's own stack (start-up, tests, the loop).
inline FiberTask* CurrentFiberTask() { return fiber_detail::currentTask; }
inline bool InFiberTask() { return CurrentFiberTask() != nullptr; }

// The running task's owner, as GetFiberTaskOwner gives it: a task that runs
// one piece of work after another names the one it is at.
void SetFiberTaskOwner(void* owner);

// True once the running task's body has suspended (waited) at least once.
bool FiberTaskHasWaited();

// Suspends the running task until the loop resumes it; gives how the wait
// ended. A cancelled task gets kCancelled at once, without suspending. A wait
// that ends otherwise is then put to the wait check (below): when it says the
// task may not go on, the task is cancelled and the wait ends kCancelled.
// Must be called in a task.
FiberWake WaitInFiberTask(const FiberWait& wait);

// ---- What every wait is put to ---------------------------------------------------------

// The wait check: called in the task, on the server thread, at the end of
// each of its waits that did not end cancelled (other requests ran meanwhile).
// False when what the task decided before the wait no longer holds (its
// request's logon ended, say): the task is then cancelled, so that this wait
// and every later one fail as a cancelled task's do. The layer that knows what
// a task stands on sets it once, at start-up (null: every wait goes on).
using FiberWaitCheck = bool (*)();
void SetFiberWaitCheck(FiberWaitCheck check);

// Whether the running task has acted on what it decided: a change it made is
// in the stores (and being saved). From then on its waits are not put to the
// wait check: it finishes and answers what it did, whatever ends meanwhile.
// Whoever begins a piece of work on a task clears it (each request begins
// unacted); a write of a store file sets it.
void SetFiberTaskActed(bool acted);

// Tests: called in the task just before it suspends, with what it waits for,
// so that a test can act at every point where other requests may run (null:
// none, as in the server).
using FiberWaitObserver = void (*)(const FiberWait& wait);
void SetFiberWaitObserver(FiberWaitObserver observer);

// ---- Fiber locals ----------------------------------------------------------------------------
// A word of state that belongs to the task being run: every task starts with
// all its words 0, and code outside any task has a set of its own per thread.
// A word registered with a release function has it called with the word's
// value when a task that left it non-zero ends.

using FiberLocalRelease = void (*)(uintptr_t value);

// Registers a word (at static initialisation); its index.
int RegisterFiberLocal(FiberLocalRelease release);
// The word `index` of the running task, or of the thread outside a task.
inline uintptr_t& FiberLocal(int index) {
  static_assert(fiber_detail::kLocalsOfThread == kMaxFiberLocals);
  uintptr_t* locals = fiber_detail::currentLocals;
  return (locals != nullptr ? locals : fiber_detail::threadLocals)[index];
}

// ---- Clock ---------------------------------------------------------------------------------

// Milliseconds of the monotonic clock, for deadlines.
int64_t MonotonicMilliseconds();
