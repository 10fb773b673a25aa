// Tasks on fibers: pooled guard-paged stacks, start, wait and resume, the
// cancellation list and the fiber locals.
// Platform layer: Boost.Context (fcontext switches: no system call), and the
// AddressSanitizer's fiber-switch annotations in sanitized builds.
//
// A task's life:
//
//   StartFiberTask --> running --(WaitInFiberTask)--> suspended
//       ^                 |  ^                            |
//       |              ends  +----(ResumeFiberTask)-------+
//   pool <----------------+
//
// A task's fiber is made once and runs body after body: between two it waits
// in the pool, so starting a request costs one switch in and one out. Only
// the loop's own stack starts and resumes tasks; a task hands control back to
// it alone, so no task ever runs inside another.
#include "platform/fiber_tasks.h"

#include <boost/context/fiber.hpp>
#include <boost/context/preallocated.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TORVANE_ASAN_FIBERS 1
#endif

namespace ctx = boost::context;

namespace fiber_detail {
__thread FiberTask* currentTask = nullptr;
__thread uintptr_t* currentLocals = nullptr;
__thread uintptr_t threadLocals[kLocalsOfThread] = {};
}  // namespace fiber_detail

namespace {

// The stack stays with its task from one request to the next: the fiber is
// made on it in place and gives nothing back when it ends.
struct KeptStack {
  ctx::stack_context sctx;
  ctx::stack_context allocate() { return sctx; }
  void deallocate(ctx::stack_context&) noexcept {}
};

FiberLocalRelease g_releases[kMaxFiberLocals] = {};
std::atomic<int> g_localCount{0};

}  // namespace

struct FiberTask {
  ctx::fiber self;    // the suspended fiber: between bodies, or while a body waits
  ctx::fiber loop;    // the loop's context, while the task runs
  ctx::stack_context stack{};
  FiberBody body = nullptr;  // the body being run; null between bodies
  void* arg = nullptr;
  void* owner = nullptr;
  bool bodyDone = false;     // the body returned: the fiber waits for the next one
  bool quit = false;         // the fiber is to end (its stack goes back to the system)
  FiberWait wait;
  FiberWake wake = FiberWake::kReady;
  bool cancelled = false;
  bool listedCancelled = false;  // in g_cancelled
  bool waited = false;           // the body has suspended at least once
  bool acted = false;            // its waits skip the wait check (SetFiberTaskActed)
  uintptr_t locals[kMaxFiberLocals] = {};
#if TORVANE_ASAN_FIBERS
  void* loopFakeStack = nullptr;
  void* taskFakeStack = nullptr;
  const void* loopStackBottom = nullptr;
  size_t loopStackSize = 0;
#endif
};

namespace {


std::vector<std::unique_ptr<FiberTask>> g_idle;
std::vector<FiberTask*> g_cancelled;
int g_live = 0;
FiberWaitCheck g_waitCheck = nullptr;
FiberWaitObserver g_waitObserver = nullptr;

// ---- Switches, with the sanitizer told of each stack change ----

// Loop -> task.
void SwitchIntoTask(FiberTask* t) {
#if TORVANE_ASAN_FIBERS
  __sanitizer_start_switch_fiber(&t->loopFakeStack, static_cast<char*>(t->stack.sp) - t->stack.size,
                                 t->stack.size);
#endif
  t->self = std::move(t->self).resume();
#if TORVANE_ASAN_FIBERS
  __sanitizer_finish_switch_fiber(t->loopFakeStack, nullptr, nullptr);
#endif
}

// Task -> loop, and back when the loop resumes it.
void SwitchToLoop(FiberTask* t) {
#if TORVANE_ASAN_FIBERS
  __sanitizer_start_switch_fiber(&t->taskFakeStack, t->loopStackBottom, t->loopStackSize);
#endif
  t->loop = std::move(t->loop).resume();
#if TORVANE_ASAN_FIBERS
  __sanitizer_finish_switch_fiber(t->taskFakeStack, &t->loopStackBottom, &t->loopStackSize);
#endif
}

// The fiber of a task runs body after body: each ends with a switch back to
// the loop, which hands it the next one by resuming it. It is made once per
// task and ends only when the task gives its stack back.
void MakeTaskFiber(FiberTask* t) {
  t->self = ctx::fiber(std::allocator_arg, ctx::preallocated(t->stack.sp, t->stack.size, t->stack),
                       KeptStack{t->stack}, [t](ctx::fiber&& loop) {
#if TORVANE_ASAN_FIBERS
                         __sanitizer_finish_switch_fiber(nullptr, &t->loopStackBottom, &t->loopStackSize);
#endif
                         t->loop = std::move(loop);
                         while (!t->quit) {
                           t->body(t->arg);
                           t->bodyDone = true;
                           SwitchToLoop(t);
                         }
#if TORVANE_ASAN_FIBERS
                         // The last switch: this stack's fake frames go with it.
                         __sanitizer_start_switch_fiber(nullptr, t->loopStackBottom, t->loopStackSize);
#endif
                         return std::move(t->loop);
                       });
}

std::unique_ptr<FiberTask> TakeIdleTask() {
  if (!g_idle.empty()) {
    std::unique_ptr<FiberTask> t = std::move(g_idle.back());
    g_idle.pop_back();
    return t;
  }
  auto t = std::unique_ptr<FiberTask>(new (std::nothrow) FiberTask);
  if (!t) return nullptr;
  try {
    t->stack = ctx::protected_fixedsize_stack(kFiberStackBytes).allocate();
    MakeTaskFiber(t.get());
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return t;
}

// Ends an idle task's fiber (it leaves its loop) and gives its stack back.
void DiscardIdleTask(std::unique_ptr<FiberTask> t) {
  t->quit = true;
  if (t->self) SwitchIntoTask(t.get());
  if (t->stack.sp != nullptr) ctx::protected_fixedsize_stack(kFiberStackBytes).deallocate(t->stack);
  t->stack = {};
}

// The end of a body, on the loop's stack: the task's locals are released and
// it goes back to the pool, its fiber waiting for the next body.
void RetireTask(FiberTask* t) {
  for (int i = 0; i < kMaxFiberLocals; ++i) {
    if (t->locals[i] == 0) continue;
    const uintptr_t value = std::exchange(t->locals[i], 0);
    if (g_releases[i] != nullptr) g_releases[i](value);
  }
  if (t->listedCancelled) {
    g_cancelled.erase(std::remove(g_cancelled.begin(), g_cancelled.end(), t), g_cancelled.end());
    t->listedCancelled = false;
  }
  t->body = nullptr;
  t->arg = t->owner = nullptr;
  --g_live;
  std::unique_ptr<FiberTask> owned(t);
  if (g_idle.size() < kMaxIdleFiberTasks) {
    g_idle.push_back(std::move(owned));
  } else {
    DiscardIdleTask(std::move(owned));
  }
}

// Runs the task from the loop until its body waits or ends; false when it ended.
bool RunTask(FiberTask* t) {
  FiberTask* const previous = fiber_detail::currentTask;
  uintptr_t* const previousLocals = fiber_detail::currentLocals;
  fiber_detail::currentTask = t;
  fiber_detail::currentLocals = t->locals;
  SwitchIntoTask(t);
  fiber_detail::currentTask = previous;
  fiber_detail::currentLocals = previousLocals;
  if (!t->bodyDone) return true;
  RetireTask(t);
  return false;
}

}  // namespace

FiberTask* StartFiberTask(FiberBody body, void* arg, void* owner) {
  if (body == nullptr || fiber_detail::currentTask != nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  std::unique_ptr<FiberTask> owned = TakeIdleTask();
  if (!owned) {
    errno = ENOMEM;
    return nullptr;
  }
  FiberTask* t = owned.release();
  t->body = body;
  t->arg = arg;
  t->owner = owner;
  t->bodyDone = false;
  t->wait = FiberWait{};
  t->wake = FiberWake::kReady;
  t->cancelled = false;
  t->listedCancelled = false;
  t->waited = false;
  t->acted = false;
  ++g_live;
  return RunTask(t) ? t : nullptr;
}

bool ResumeFiberTask(FiberTask* task, FiberWake wake) {
  if (task == nullptr || fiber_detail::currentTask != nullptr || task->body == nullptr || task->bodyDone) return false;
  if (task->listedCancelled) {
    task->listedCancelled = false;
    g_cancelled.erase(std::remove(g_cancelled.begin(), g_cancelled.end(), task), g_cancelled.end());
  }
  task->wake = wake;
  return RunTask(task);
}

const FiberWait& GetFiberTaskWait(const FiberTask* task) { return task->wait; }
void* GetFiberTaskOwner(const FiberTask* task) { return task->owner; }
bool FiberTaskCancelled(const FiberTask* task) { return task != nullptr && task->cancelled; }

void CancelFiberTask(FiberTask* task) {
  if (task == nullptr || task->cancelled) return;
  task->cancelled = true;
  if (task != fiber_detail::currentTask && task->wait.kind == FiberWaitKind::kSocket && !task->listedCancelled) {
    task->listedCancelled = true;
    g_cancelled.push_back(task);
  }
}

std::vector<FiberTask*> TakeCancelledFiberTasks() {
  std::vector<FiberTask*> out;
  out.swap(g_cancelled);
  for (FiberTask* t : out) t->listedCancelled = false;
  return out;
}

bool HasCancelledFiberTasks() { return !g_cancelled.empty(); }

int GetLiveFiberTaskCount() { return g_live; }

FiberWake WaitInFiberTask(const FiberWait& wait) {
  FiberTask* t = fiber_detail::currentTask;
  if (t == nullptr) return FiberWake::kCancelled;
  if (t->cancelled) return FiberWake::kCancelled;
  if (g_waitObserver != nullptr) g_waitObserver(wait);
  t->wait = wait;
  t->waited = true;
  SwitchToLoop(t);
  t->wait = FiberWait{};
  // A task cancelled while it waited for a worker wakes when the job is done;
  // its next wait ends at once.
  if (t->wake == FiberWake::kCancelled || t->cancelled) return FiberWake::kCancelled;
  // Others ran meanwhile: what this task stands on is checked again.
  if (g_waitCheck != nullptr && !t->acted && !g_waitCheck()) {
    t->cancelled = true;
    return FiberWake::kCancelled;
  }
  return t->wake;
}

void SetFiberWaitCheck(FiberWaitCheck check) { g_waitCheck = check; }

void SetFiberTaskActed(bool acted) {
  if (fiber_detail::currentTask != nullptr) fiber_detail::currentTask->acted = acted;
}
void SetFiberWaitObserver(FiberWaitObserver observer) { g_waitObserver = observer; }

void SetFiberTaskOwner(void* owner) {
  if (fiber_detail::currentTask != nullptr) fiber_detail::currentTask->owner = owner;
}

bool FiberTaskHasWaited() { return fiber_detail::currentTask != nullptr && fiber_detail::currentTask->waited; }

int RegisterFiberLocal(FiberLocalRelease release) {
  const int index = g_localCount.fetch_add(1);
  if (index >= kMaxFiberLocals) std::abort();  // a fixed, small number of registrations
  g_releases[index] = release;
  return index;
}

int64_t MonotonicMilliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
