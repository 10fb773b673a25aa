// The worker threads: a queue of jobs under one mutex, threads started at
// the first job, the finished tasks handed back through a list and an
// eventfd the loop polls.
// Platform layer: std::thread, a mutex and condition variable, eventfd;
// calls the fiber tasks.
#include "platform/worker_pool.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/fiber_tasks.h"

namespace {

struct Job {
  WorkerJob run = nullptr;
  void* data = nullptr;
  FiberTask* task = nullptr;
};

// What the workers share, under its lock. Never destroyed, like the
// threads: at exit a worker may still wait on the condition, and destroying
// a condition variable with waiters never returns.
struct Shared {
  std::mutex lock;
  std::condition_variable wake;
  std::deque<Job> queue;
  std::vector<FiberTask*> finished;
  bool stopping = false;
};
Shared& g = *new Shared;
std::mutex& g_lock = g.lock;
std::condition_variable& g_wake = g.wake;
std::deque<Job>& g_queue = g.queue;               // under g_lock
std::vector<FiberTask*>& g_finished = g.finished;  // under g_lock
bool& g_stopping = g.stopping;                     // under g_lock
int g_doneEvent = -1;                  // the server thread's
int g_inFlight = 0;                    // the server thread's

// The threads (the server thread's). Never destroyed: a process that exits
// without StopWorkers must not trip over joinable threads in a destructor.
std::vector<std::thread>& Threads() {
  static auto* threads = new std::vector<std::thread>;
  return *threads;
}

void WorkerMain() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> hold(g_lock);
      g_wake.wait(hold, [] { return g_stopping || !g_queue.empty(); });
      if (g_queue.empty()) return;  // stopping, and nothing left
      job = g_queue.front();
      g_queue.pop_front();
    }
    job.run(job.data);
    {
      std::lock_guard<std::mutex> hold(g_lock);
      g_finished.push_back(job.task);
    }
    const uint64_t one = 1;
    ssize_t written = write(g_doneEvent, &one, sizeof one);
    (void)written;  // a full counter still reads as readable
  }
}

bool EnsureStarted() {
  if (g_doneEvent < 0) {
    g_doneEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (g_doneEvent < 0) return false;
  }
  if (!Threads().empty()) return true;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_stopping = false;
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
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_queue.push_back(Job{job, data, task});
  }
  ++g_inFlight;
  g_wake.notify_one();
  FiberWait wait;
  wait.kind = FiberWaitKind::kWorker;
  // Only the job's end resumes a task that waits for a worker, since `data`
  // lives on its stack.
  (void)WaitInFiberTask(wait);
  return !FiberTaskCancelled(task);
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
    std::lock_guard<std::mutex> hold(g_lock);
    out.swap(g_finished);
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
    std::lock_guard<std::mutex> hold(g_lock);
    g_stopping = true;
  }
  g_wake.notify_all();
  for (std::thread& t : Threads()) t.join();
  Threads().clear();
}
