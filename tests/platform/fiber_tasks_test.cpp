// Tasks on fibers and the waits of the socket layer in them: a task suspends
// where its socket would block and goes on when resumed, its words of state
// are its own, a task cancelled while it waits is listed once and fails its
// waits, a job on a worker leaves the task suspended until it is done, and a
// socket closed under a task's request is shut down at once and closed when
// the request ends.
#include "platform/fiber_tasks.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket_io.h"
#include "platform/worker_pool.h"
#include "support/socket_pair.h"

namespace {

// A body's record: what it saw, step by step.
struct Steps {
  std::vector<std::string> seen;
  FiberWake wake = FiberWake::kReady;
};

void WaitOnceForSocket7(void* arg) {
  auto* steps = static_cast<Steps*>(arg);
  steps->seen.push_back("started");
  FiberWait wait;
  wait.kind = FiberWaitKind::kSocket;
  wait.fd = 7;
  wait.writing = true;
  wait.deadlineMs = 1234;
  steps->wake = WaitInFiberTask(wait);
  steps->seen.push_back("resumed");
}

TEST(FiberTasks, ATaskWaitsWhereItSaysAndGoesOnWhenResumed) {
  Steps steps;
  FiberTask* task = StartFiberTask(WaitOnceForSocket7, &steps, &steps);
  ASSERT_NE(nullptr, task);
  EXPECT_EQ(std::vector<std::string>{"started"}, steps.seen);
  EXPECT_FALSE(InFiberTask());
  const FiberWait& wait = GetFiberTaskWait(task);
  EXPECT_EQ(FiberWaitKind::kSocket, wait.kind);
  EXPECT_EQ(7, wait.fd);
  EXPECT_TRUE(wait.writing);
  EXPECT_EQ(1234, wait.deadlineMs);
  EXPECT_EQ(&steps, GetFiberTaskOwner(task));
  EXPECT_EQ(1, GetLiveFiberTaskCount());
  EXPECT_FALSE(ResumeFiberTask(task, FiberWake::kTimedOut)) << "it ended";
  EXPECT_EQ((std::vector<std::string>{"started", "resumed"}), steps.seen);
  EXPECT_EQ(FiberWake::kTimedOut, steps.wake);
  EXPECT_EQ(0, GetLiveFiberTaskCount());
}

// ---- Words of state ----

std::vector<uintptr_t> g_released;
void NoteRelease(uintptr_t value) { g_released.push_back(value); }
const int kTestLocal = RegisterFiberLocal(NoteRelease);

void SetWordThenWait(void* arg) {
  FiberLocal(kTestLocal) = reinterpret_cast<uintptr_t>(arg);
  FiberWait wait;
  wait.kind = FiberWaitKind::kSocket;
  WaitInFiberTask(wait);
  // Still its own after another task ran.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(arg), FiberLocal(kTestLocal));
}

TEST(FiberTasks, EachTaskHasItsOwnWordsAndTheirReleaseAtItsEnd) {
  g_released.clear();
  FiberLocal(kTestLocal) = 99;  // the thread's own word
  int a = 0, b = 0;
  FiberTask* first = StartFiberTask(SetWordThenWait, &a, nullptr);
  FiberTask* second = StartFiberTask(SetWordThenWait, &b, nullptr);
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(99u, FiberLocal(kTestLocal));
  EXPECT_FALSE(ResumeFiberTask(first, FiberWake::kReady));
  EXPECT_EQ(std::vector<uintptr_t>{reinterpret_cast<uintptr_t>(&a)}, g_released);
  EXPECT_FALSE(ResumeFiberTask(second, FiberWake::kReady));
  EXPECT_EQ(2u, g_released.size());
  EXPECT_EQ(99u, FiberLocal(kTestLocal));
  FiberLocal(kTestLocal) = 0;
}

// ---- Cancellation ----

void WaitTwice(void* arg) {
  auto* steps = static_cast<Steps*>(arg);
  FiberWait wait;
  wait.kind = FiberWaitKind::kSocket;
  steps->wake = WaitInFiberTask(wait);
  // A cancelled task's next wait ends at once.
  steps->seen.push_back(WaitInFiberTask(wait) == FiberWake::kCancelled ? "second cancelled" : "second waited");
}

TEST(FiberTasks, ATaskCancelledWhileItWaitsIsListedOnceAndFailsItsWaits) {
  Steps steps;
  FiberTask* task = StartFiberTask(WaitTwice, &steps, nullptr);
  ASSERT_NE(nullptr, task);
  EXPECT_FALSE(HasCancelledFiberTasks());
  CancelFiberTask(task);
  CancelFiberTask(task);
  EXPECT_TRUE(FiberTaskCancelled(task));
  ASSERT_TRUE(HasCancelledFiberTasks());
  EXPECT_EQ(std::vector<FiberTask*>{task}, TakeCancelledFiberTasks());
  EXPECT_FALSE(HasCancelledFiberTasks());
  EXPECT_FALSE(ResumeFiberTask(task, FiberWake::kCancelled));
  EXPECT_EQ(FiberWake::kCancelled, steps.wake);
  EXPECT_EQ(std::vector<std::string>{"second cancelled"}, steps.seen);
}

// ---- Workers ----

struct Job {
  std::thread::id ranOn;
  int value = 0;
};
void RunJob(void* data) {
  auto* job = static_cast<Job*>(data);
  job->ranOn = std::this_thread::get_id();
  job->value = 42;
}

struct WorkerSteps {
  Job job;
  bool ran = false;
};
void HandToWorker(void* arg) {
  auto* steps = static_cast<WorkerSteps*>(arg);
  steps->ran = RunOnWorker(RunJob, &steps->job);
}

// Waits (at most a few seconds) for the workers to hand back a finished task.
std::vector<FiberTask*> AwaitFinishedWorkers() {
  for (int i = 0; i < 500; ++i) {
    std::vector<FiberTask*> done = TakeFinishedWorkerTasks();
    if (!done.empty()) return done;
    usleep(10000);
  }
  return {};
}

TEST(Workers, AJobRunsOnAWorkerWhileItsTaskWaitsAndHereOutsideATask) {
  Job here;
  EXPECT_TRUE(RunOnWorker(RunJob, &here));
  EXPECT_EQ(std::this_thread::get_id(), here.ranOn);

  WorkerSteps steps;
  FiberTask* task = StartFiberTask(HandToWorker, &steps, nullptr);
  ASSERT_NE(nullptr, task);
  EXPECT_EQ(FiberWaitKind::kWorker, GetFiberTaskWait(task).kind);
  EXPECT_EQ(1, GetWorkerJobsInFlight());
  const std::vector<FiberTask*> done = AwaitFinishedWorkers();
  ASSERT_EQ(std::vector<FiberTask*>{task}, done);
  EXPECT_EQ(0, GetWorkerJobsInFlight());
  EXPECT_FALSE(ResumeFiberTask(task, FiberWake::kReady));
  EXPECT_TRUE(steps.ran);
  EXPECT_EQ(42, steps.job.value);
  EXPECT_NE(std::this_thread::get_id(), steps.job.ranOn);
}

TEST(Workers, ATaskCancelledWhileItsJobRunsWaitsForItAndIsToldSo) {
  WorkerSteps steps;
  FiberTask* task = StartFiberTask(HandToWorker, &steps, nullptr);
  ASSERT_NE(nullptr, task);
  CancelFiberTask(task);
  EXPECT_FALSE(HasCancelledFiberTasks()) << "only the job's end may resume it";
  ASSERT_EQ(std::vector<FiberTask*>{task}, AwaitFinishedWorkers());
  EXPECT_FALSE(ResumeFiberTask(task, FiberWake::kReady));
  EXPECT_FALSE(steps.ran);
  EXPECT_EQ(42, steps.job.value) << "the job itself ran to its end";
  StopWorkers();
}

// ---- The socket layer in a task ----


struct Reading {
  int fd = -1;
  std::string got;
  int err = 0;
  ssize_t last = 0;
};

void ReadFourBytes(void* arg) {
  auto* r = static_cast<Reading*>(arg);
  BeginRequestTransfers(r->fd, nullptr);
  char buf[4];
  size_t have = 0;
  while (have < sizeof buf) {
    r->last = SocketRecv(r->fd, buf + have, sizeof buf - have, 0);
    if (r->last <= 0) {
      r->err = errno;
      break;
    }
    have += static_cast<size_t>(r->last);
  }
  r->got.assign(buf, have);
  EndRequestTransfers(nullptr);
  EndRequestSocket();
}

TEST(SocketsInTasks, AReceiveWithNothingPendingStepsAsideUntilTheSocketIsReady) {
  SocketPair p;
  Reading r;
  r.fd = p.server;
  FiberTask* task = StartFiberTask(ReadFourBytes, &r, nullptr);
  ASSERT_NE(nullptr, task);
  EXPECT_EQ(FiberWaitKind::kSocket, GetFiberTaskWait(task).kind);
  EXPECT_EQ(p.server, GetFiberTaskWait(task).fd);
  EXPECT_FALSE(GetFiberTaskWait(task).writing);
  ASSERT_EQ(2, write(p.client, "ab", 2));
  ASSERT_TRUE(ResumeFiberTask(task, FiberWake::kReady)) << "two bytes of four: it waits again";
  ASSERT_EQ(2, write(p.client, "cd", 2));
  EXPECT_FALSE(ResumeFiberTask(task, FiberWake::kReady));
  EXPECT_EQ("abcd", r.got);
}

TEST(SocketsInTasks, ASocketClosedUnderAWaitingRequestIsShutAtOnceAndClosedAtItsEnd) {
  SocketPair p;
  Reading r;
  r.fd = p.server;
  FiberTask* task = StartFiberTask(ReadFourBytes, &r, nullptr);
  ASSERT_NE(nullptr, task);
  EXPECT_EQ(0, SocketClose(p.server));
  // The peer sees the close now; the descriptor stays the task's.
  char c;
  EXPECT_EQ(0, read(p.client, &c, 1));
  EXPECT_NE(-1, fcntl(p.server, F_GETFD)) << "closed while the task may still name it";
  ASSERT_EQ(std::vector<FiberTask*>{task}, TakeCancelledFiberTasks());
  EXPECT_FALSE(ResumeFiberTask(task, FiberWake::kCancelled));
  EXPECT_EQ(-1, r.last);
  EXPECT_EQ(ECONNABORTED, r.err);
  EXPECT_EQ(-1, fcntl(p.server, F_GETFD)) << "closed at the request's end";
  p.server = -1;
}

}  // namespace
