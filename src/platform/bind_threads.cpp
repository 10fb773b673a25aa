// The bind threads: one detached thread per bind, an eventfd that says it
// ended, the counts in all and per share, and the stop.
// Platform layer: std::thread, a mutex and condition variable, eventfd and
// poll; calls the fiber tasks and the workers' share key.
#include "platform/bind_threads.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/fiber_tasks.h"
#include "platform/worker_pool.h"

namespace {

// One bind in flight: shared by its thread and the request that waits for
// it, freed by whichever lets go last.
struct BindCall {
  std::shared_ptr<BindWork> work;
  uint64_t share = 0;
  int doneEvent = -1;  // readable once Run has ended
  bool done = false;   // under the binds' lock, set as the bind is uncounted
  ~BindCall() {
    if (doneEvent >= 0) close(doneEvent);
  }
};

// The binds alive, under `lock`. Never destroyed: a detached thread may
// still end after the process has begun to exit.
struct Binds {
  std::mutex lock;
  std::condition_variable ended;
  std::unordered_set<BindCall*> calls;  // each held alive by its thread
  std::unordered_map<uint64_t, int> perShare;
  int alive = 0;
};
Binds& g = *new Binds;

// The bind is uncounted before its request may see it ended: a client that
// logs on again at once (or the next step of the same logon) never finds its
// address's binds still counted by threads that are only finishing.
void BindThreadMain(std::shared_ptr<BindCall> call) {
  call->work->Run();
  {
    std::lock_guard<std::mutex> hold(g.lock);
    g.calls.erase(call.get());
  }
  // Out of the stop's reach now; the work goes here when the request has
  // let go of it already (a deadline passed, the task was cancelled), while
  // it is still counted, so the stop waits for that too.
  call->work.reset();
  {
    std::lock_guard<std::mutex> hold(g.lock);
    auto found = g.perShare.find(call->share);
    if (found != g.perShare.end() && --found->second <= 0) g.perShare.erase(found);
    --g.alive;
    call->done = true;
  }
  g.ended.notify_all();
  const uint64_t one = 1;
  ssize_t written = write(call->doneEvent, &one, sizeof one);
  (void)written;
}

// Whether the bind's Run has ended and the bind is counted no more.
bool Ended(const BindCall& call) {
  std::lock_guard<std::mutex> hold(g.lock);
  return call.done;
}

// Counts and starts the bind's thread; false (nothing counted) when it may
// not or cannot start.
bool StartBindThread(const std::shared_ptr<BindCall>& call) {
  {
    std::lock_guard<std::mutex> hold(g.lock);
    auto found = g.perShare.find(call->share);
    const int ofShare = found == g.perShare.end() ? 0 : found->second;
    if (g.alive >= kMaxBindThreads || ofShare >= kMaxBindsPerShare) return false;
    ++g.alive;
    ++g.perShare[call->share];
    g.calls.insert(call.get());
  }
  try {
    std::thread(BindThreadMain, call).detach();
    return true;
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> hold(g.lock);
    g.calls.erase(call.get());
    if (--g.perShare[call->share] <= 0) g.perShare.erase(call->share);
    --g.alive;
    return false;
  }
}

}  // namespace

BindWait RunBind(const std::shared_ptr<BindWork>& work, int64_t deadlineMs) {
  if (!work) return BindWait::kRefused;
  if (RunningTaskCancelled()) return BindWait::kCancelled;
  auto call = std::make_shared<BindCall>();
  call->work = work;
  call->share = GetWorkerShareKey();
  call->doneEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (call->doneEvent < 0 || !StartBindThread(call)) return BindWait::kRefused;
  for (;;) {
    if (Ended(*call)) return BindWait::kDone;
    const int64_t left = deadlineMs - MonotonicMilliseconds();
    if (left <= 0) {
      work->Abort();
      return BindWait::kTimedOut;
    }
    if (InFiberTask()) {
      FiberWait wait;
      wait.kind = FiberWaitKind::kSocket;
      wait.fd = call->doneEvent;
      wait.deadlineMs = deadlineMs;
      if (WaitInFiberTask(wait) == FiberWake::kCancelled) {
        work->Abort();
        return BindWait::kCancelled;
      }
    } else {
      pollfd p{call->doneEvent, POLLIN, 0};
      (void)poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
    }
  }
}

void StopBinds(int ms) {
  std::unique_lock<std::mutex> hold(g.lock);
  for (BindCall* call : g.calls) call->work->Abort();
  g.ended.wait_for(hold, std::chrono::milliseconds(ms), [] { return g.alive == 0; });
}

int GetBindThreadsAlive() {
  std::lock_guard<std::mutex> hold(g.lock);
  return g.alive;
}

int GetShareBindsAlive(uint64_t share) {
  std::lock_guard<std::mutex> hold(g.lock);
  auto found = g.perShare.find(share);
  return found == g.perShare.end() ? 0 : found->second;
}
