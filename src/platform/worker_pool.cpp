// The worker threads: one queue of jobs per share under one mutex, the
// shares served in turn, threads started at the first job, the finished
// tasks handed back through a list and an eventfd the loop polls; and the
// writer thread with its queue of writes in their order.
// Platform layer: std::thread, a mutex and condition variable, eventfd;
// calls the fiber tasks (the task's share is a fiber local) and the bind
// threads' stop.
#include "platform/worker_pool.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/bind_threads.h"
#include "platform/fiber_tasks.h"

namespace {

// The running task's share, a fiber local (stored as it is: 0 is share 0).
const int kShareLocal = RegisterFiberLocal(nullptr);

struct Job {
  WorkerJob run = nullptr;
  void* data = nullptr;
  FiberTask* task = nullptr;
  uint64_t share = 0;
};

// The jobs of one client address.
struct Share {
  std::deque<Job> waiting;
  int running = 0;
};

// What the workers share, under its lock. Never destroyed, like the
// threads: at exit a worker may still wait on the condition, and destroying
// a condition variable with waiters never returns.
//
// `turns` holds each share that has jobs waiting, once, in the order of its
// turn: a worker takes the first job of the first share in it that has
// fewer than kMaxWorkerJobsPerShare running, and that share's next turn is
// at the back.
struct Shared {
  std::mutex lock;
  std::condition_variable wake;
  std::unordered_map<uint64_t, Share> shares;
  std::deque<uint64_t> turns;
  size_t waiting = 0;  // jobs in all the shares' queues
  std::vector<FiberTask*> finished;
  bool stopping = false;
  // The writer: its queue, whether it is running a job, its own wake-up.
  std::deque<Job> writes;
  bool writing = false;
  std::condition_variable writesChanged;
};
Shared& g = *new Shared;
int g_doneEvent = -1;                  // the server thread's
int g_inFlight = 0;                    // the server thread's

// The threads (the server thread's). Never destroyed: a process that exits
// without StopWorkers must not trip over joinable threads in a destructor.
std::vector<std::thread>& Threads() {
  static auto* threads = new std::vector<std::thread>;
  return *threads;
}
std::thread& WriterThread() {
  static auto* thread = new std::thread;
  return *thread;
}

// Hands a finished job's task back to the loop. Under g.lock.
void NoteFinished(FiberTask* task) { g.finished.push_back(task); }

void SignalDone() {
  const uint64_t one = 1;
  ssize_t written = write(g_doneEvent, &one, sizeof one);
  (void)written;  // a full counter still reads as readable
}

void WriterMain() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> hold(g.lock);
      g.writesChanged.wait(hold, [] { return g.stopping || !g.writes.empty(); });
      if (g.writes.empty()) return;  // stopping, and nothing left
      job = g.writes.front();
      g.writes.pop_front();
      g.writing = true;
    }
    job.run(job.data);
    {
      std::lock_guard<std::mutex> hold(g.lock);
      g.writing = false;
      NoteFinished(job.task);
    }
    g.writesChanged.notify_all();
    SignalDone();
  }
}

// The next job in turn, taken off its queue and counted running; false when
// every share that has jobs waiting has its fill running. Under g.lock.
bool TakeJobInTurn(Job* job) {
  for (auto at = g.turns.begin(); at != g.turns.end(); ++at) {
    Share& share = g.shares[*at];
    if (share.running >= kMaxWorkerJobsPerShare) continue;
    const uint64_t key = *at;
    *job = share.waiting.front();
    share.waiting.pop_front();
    ++share.running;
    --g.waiting;
    g.turns.erase(at);
    if (!share.waiting.empty()) g.turns.push_back(key);
    return true;
  }
  return false;
}

// A job of `key` has ended. Under g.lock.
void EndJob(uint64_t key) {
  auto found = g.shares.find(key);
  if (found == g.shares.end()) return;
  --found->second.running;
  if (found->second.running == 0 && found->second.waiting.empty()) g.shares.erase(found);
}

void WorkerMain() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> hold(g.lock);
      g.wake.wait(hold, [&job] { return (g.stopping && g.waiting == 0) || TakeJobInTurn(&job); });
      if (job.run == nullptr) return;  // stopping, and nothing left
    }
    job.run(job.data);
    {
      std::lock_guard<std::mutex> hold(g.lock);
      EndJob(job.share);
      NoteFinished(job.task);
    }
    // A job of this share may have been waiting for the place just freed,
    // and at the stop the others wait to learn that nothing is left.
    g.wake.notify_all();
    SignalDone();
  }
}

bool EnsureStarted() {
  if (g_doneEvent < 0) {
    g_doneEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_doneEvent < 0) return false;
  }
  if (!Threads().empty()) return true;
  {
    std::lock_guard<std::mutex> hold(g.lock);
    g.stopping = false;
  }
  const int n = GetWorkerThreadCount();
  try {
    for (int i = 0; i < n; ++i) Threads().emplace_back(WorkerMain);
  } catch (const std::system_error&) {
    // Fewer threads than wanted still serve; none at all means inline work.
  }
  return !Threads().empty();
}

}  // namespace

void SetWorkerShareKey(uint64_t key) { FiberLocal(kShareLocal) = static_cast<uintptr_t>(key); }
uint64_t GetWorkerShareKey() { return static_cast<uint64_t>(FiberLocal(kShareLocal)); }

bool RunOnWorker(WorkerJob job, void* data) {
  FiberTask* task = CurrentFiberTask();
  if (task == nullptr) {
    job(data);
    return true;
  }
  if (FiberTaskCancelled(task)) return false;
  if (!EnsureStarted()) {
    job(data);  // no thread could be had: the work is done here, as before
    return true;
  }
  const uint64_t key = GetWorkerShareKey();
  {
    std::lock_guard<std::mutex> hold(g.lock);
    Share& share = g.shares[key];
    if (share.waiting.empty()) g.turns.push_back(key);
    share.waiting.push_back(Job{job, data, task, key});
    ++g.waiting;
  }
  ++g_inFlight;
  g.wake.notify_one();
  FiberWait wait;
  wait.kind = FiberWaitKind::kWorker;
  // Only the job's end resumes a task that waits for a worker, since `data`
  // lives on its stack.
  (void)WaitInFiberTask(wait);
  return !FiberTaskCancelled(task);
}

void RunInWriteOrder(WorkerJob job, void* data, bool mayWait) {
  FiberTask* task = CurrentFiberTask();
  // A cancelled task's wait would end at once, before the job has run with
  // its data on the task's stack: such a task, like any caller that may not
  // wait, has the job run here, after those before it.
  if (!mayWait || task == nullptr || FiberTaskCancelled(task) || !EnsureStarted()) {
    WaitForWritesInOrder();
    job(data);
    return;
  }
  {
    std::lock_guard<std::mutex> hold(g.lock);
    if (!WriterThread().joinable()) {
      g.stopping = false;
      try {
        WriterThread() = std::thread(WriterMain);
      } catch (const std::system_error&) {
      }
    }
    if (WriterThread().joinable()) g.writes.push_back(Job{job, data, task, 0});
  }
  if (!WriterThread().joinable()) {  // no thread could be had: the write is done here
    job(data);
    return;
  }
  ++g_inFlight;
  g.writesChanged.notify_all();
  // A write comes after the change it saves: the request has acted, and
  // what ends while it waits no longer calls it off.
  SetFiberTaskActed(true);
  FiberWait wait;
  wait.kind = FiberWaitKind::kWorker;
  // Only the job's end resumes the task, since `data` lives on its stack.
  (void)WaitInFiberTask(wait);
}

void WaitForWritesInOrder() {
  std::unique_lock<std::mutex> hold(g.lock);
  g.writesChanged.wait(hold, [] { return g.writes.empty() && !g.writing; });
}

bool RunningTaskCancelled() {
  FiberTask* task = CurrentFiberTask();
  return task != nullptr && FiberTaskCancelled(task);
}

int GetWorkerDoneEvent() { return g_doneEvent; }

std::vector<FiberTask*> TakeFinishedWorkerTasks() {
  // Nothing handed over: no lock, no system call (the loop asks every pass).
  if (g_inFlight == 0) return {};
  if (g_doneEvent >= 0) {
    uint64_t count = 0;
    ssize_t got = read(g_doneEvent, &count, sizeof count);
    (void)got;
  }
  std::vector<FiberTask*> out;
  {
    std::lock_guard<std::mutex> hold(g.lock);
    out.swap(g.finished);
  }
  g_inFlight -= static_cast<int>(out.size());
  return out;
}

int GetWorkerJobsInFlight() { return g_inFlight; }

int GetWorkerThreadCount() {
  const unsigned cores = std::thread::hardware_concurrency();
  return std::clamp(static_cast<int>(cores == 0 ? 1 : cores), 1, kMaxWorkerThreads);
}

void StopWorkers() {
  {
    std::lock_guard<std::mutex> hold(g.lock);
    g.stopping = true;
  }
  g.wake.notify_all();
  g.writesChanged.notify_all();
  for (std::thread& t : Threads()) t.join();
  Threads().clear();
  if (WriterThread().joinable()) WriterThread().join();
  StopBinds(kBindStopWaitMs);
}

int GetWorkerShareJobs(uint64_t key) {
  std::lock_guard<std::mutex> hold(g.lock);
  auto found = g.shares.find(key);
  return found == g.shares.end() ? 0 : static_cast<int>(found->second.waiting.size()) + found->second.running;
}
