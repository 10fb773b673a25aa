// Tests of the workers' shares, the writes in their order and the bind
// threads, with tasks driven by hand in place of the server loop: one share
// never takes more than two workers, another share's job runs beside its
// flood; writes run in the order they were handed over, a cancelled task's
// too; a bind ends at its deadline or its abort whatever the work does, one
// share has at most two in flight, and the stop lets them all end.
#include "platform/worker_pool.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/bind_threads.h"
#include "platform/fiber_tasks.h"

namespace {

using std::chrono::milliseconds;

// Waits (at most a few seconds) until `count` tasks have been handed back.
std::vector<FiberTask*> AwaitFinished(size_t count) {
  std::vector<FiberTask*> all;
  for (int i = 0; i < 500 && all.size() < count; ++i) {
    for (FiberTask* t : TakeFinishedWorkerTasks()) all.push_back(t);
    if (all.size() < count) usleep(10000);
  }
  return all;
}

// A gate the jobs wait at until it is opened.
struct Gate {
  std::mutex lock;
  std::condition_variable opened;
  bool open = false;
  void Open() {
    std::lock_guard<std::mutex> hold(lock);
    open = true;
    opened.notify_all();
  }
  void Pass() {
    std::unique_lock<std::mutex> hold(lock);
    opened.wait(hold, [this] { return open; });
  }
};

struct ShareJob {
  uint64_t share = 0;
  Gate* gate = nullptr;  // null: the job does not wait
  std::atomic<bool> ran{false};
};
void RunShareJob(void* data) {
  auto* job = static_cast<ShareJob*>(data);
  if (job->gate != nullptr) job->gate->Pass();
  job->ran = true;
}
void HandShareJob(void* arg) {
  auto* job = static_cast<ShareJob*>(arg);
  SetWorkerShareKey(job->share);
  (void)RunOnWorker(RunShareJob, job);
}

// ---- Shares --------------------------------------------------------------------------------

TEST(WorkerShares, OneShareNeverTakesMoreThanTwoWorkersAndAnotherRunsBesideIt) {
  if (GetWorkerThreadCount() < kMaxWorkerJobsPerShare + 1) GTEST_SKIP() << "too few cores for a worker to spare";
  constexpr uint64_t kFlood = 0xA1, kOther = 0xB2;
  Gate gate;
  std::vector<std::unique_ptr<ShareJob>> flood;
  std::vector<FiberTask*> tasks;
  for (int i = 0; i < 6; ++i) {
    flood.push_back(std::make_unique<ShareJob>());
    flood.back()->share = kFlood;
    flood.back()->gate = &gate;
    tasks.push_back(StartFiberTask(HandShareJob, flood.back().get(), nullptr));
    ASSERT_NE(nullptr, tasks.back());
  }
  EXPECT_EQ(6, GetWorkerShareJobs(kFlood));
  ShareJob other;
  other.share = kOther;
  FiberTask* otherTask = StartFiberTask(HandShareJob, &other, nullptr);
  ASSERT_NE(nullptr, otherTask);
  // The other share's job runs although the flood's were handed over first.
  const std::vector<FiberTask*> first = AwaitFinished(1);
  ASSERT_EQ(std::vector<FiberTask*>{otherTask}, first);
  EXPECT_TRUE(other.ran);
  EXPECT_FALSE(ResumeFiberTask(otherTask, FiberWake::kReady));
  EXPECT_EQ(6, GetWorkerShareJobs(kFlood)) << "two running, four waiting their turn";
  gate.Open();
  EXPECT_EQ(6u, AwaitFinished(6).size());
  for (FiberTask* t : tasks) EXPECT_FALSE(ResumeFiberTask(t, FiberWake::kReady));
  for (const auto& job : flood) EXPECT_TRUE(job->ran);
  EXPECT_EQ(0, GetWorkerShareJobs(kFlood));
  StopWorkers();
}

// ---- Writes in their order -------------------------------------------------------------------

struct Written {
  std::mutex lock;
  std::vector<int> order;
};
struct WriteJob {
  Written* written = nullptr;
  int index = 0;
  bool mayWait = true;
};
void RunWriteJob(void* data) {
  auto* job = static_cast<WriteJob*>(data);
  std::this_thread::sleep_for(milliseconds(job->index % 2 == 0 ? 20 : 1));  // a slower write first
  std::lock_guard<std::mutex> hold(job->written->lock);
  job->written->order.push_back(job->index);
}
void HandWriteJob(void* arg) {
  auto* job = static_cast<WriteJob*>(arg);
  RunInWriteOrder(RunWriteJob, job, job->mayWait);
}
// The same after a wait on a socket (`fd`) that the task is cancelled in.
struct LateWrite {
  WriteJob job;
  int fd = -1;
};
void HandWriteJobAfterAWait(void* arg) {
  auto* late = static_cast<LateWrite*>(arg);
  FiberWait wait;
  wait.kind = FiberWaitKind::kSocket;
  wait.fd = late->fd;
  (void)WaitInFiberTask(wait);
  RunInWriteOrder(RunWriteJob, &late->job, true);
}

TEST(WritesInOrder, WritesRunInTheOrderTheyWereHandedOver) {
  Written written;
  std::vector<std::unique_ptr<WriteJob>> jobs;
  std::vector<FiberTask*> waiting;
  for (int i = 0; i < 6; ++i) {
    jobs.push_back(std::make_unique<WriteJob>());
    jobs.back()->written = &written;
    jobs.back()->index = i;
    FiberTask* task = StartFiberTask(HandWriteJob, jobs.back().get(), nullptr);
    if (task != nullptr) waiting.push_back(task);
  }
  EXPECT_EQ(6u, waiting.size()) << "every task steps aside while its write waits";
  // One that may not wait (here, outside a task) waits for those before it.
  WriteJob last;
  last.written = &written;
  last.index = 6;
  RunInWriteOrder(RunWriteJob, &last, true);
  {
    std::lock_guard<std::mutex> hold(written.lock);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 6}), written.order);
  }
  EXPECT_EQ(6u, AwaitFinished(6).size());
  for (FiberTask* t : waiting) EXPECT_FALSE(ResumeFiberTask(t, FiberWake::kReady));
  StopWorkers();
}

TEST(WritesInOrder, ACancelledTaskOrOneThatMayNotWaitWritesAtOnceAfterThoseBefore) {
  Written written;
  WriteJob queued;
  queued.written = &written;
  queued.index = 0;
  FiberTask* waiting = StartFiberTask(HandWriteJob, &queued, nullptr);
  ASSERT_NE(nullptr, waiting);
  WriteJob mayNot;
  mayNot.written = &written;
  mayNot.index = 1;
  mayNot.mayWait = false;
  EXPECT_EQ(nullptr, StartFiberTask(HandWriteJob, &mayNot, nullptr)) << "ran to its end without a wait";
  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  LateWrite late;
  late.job.written = &written;
  late.job.index = 2;
  late.fd = pipeFds[0];
  FiberTask* cancelled = StartFiberTask(HandWriteJobAfterAWait, &late, nullptr);
  ASSERT_NE(nullptr, cancelled);
  CancelFiberTask(cancelled);
  for (FiberTask* t : TakeCancelledFiberTasks()) EXPECT_FALSE(ResumeFiberTask(t, FiberWake::kCancelled));
  close(pipeFds[0]);
  close(pipeFds[1]);
  {
    std::lock_guard<std::mutex> hold(written.lock);
    EXPECT_EQ((std::vector<int>{0, 1, 2}), written.order);
  }
  ASSERT_EQ(std::vector<FiberTask*>{waiting}, AwaitFinished(1));
  EXPECT_FALSE(ResumeFiberTask(waiting, FiberWake::kReady));
  StopWorkers();
}

// ---- Bind threads --------------------------------------------------------------------------

// A bind step that hangs until it is aborted (or, with `finishes`, ends by
// itself after a while).
class HangingWork : public BindWork {
 public:
  explicit HangingWork(milliseconds finishes = milliseconds(-1)) : finishes_(finishes) {}
  void Run() override {
    std::unique_lock<std::mutex> hold(lock_);
    if (finishes_.count() >= 0) {
      changed_.wait_for(hold, finishes_, [this] { return aborted_; });
    } else {
      changed_.wait(hold, [this] { return aborted_; });
    }
    ended_ = true;
  }
  void Abort() override {
    std::lock_guard<std::mutex> hold(lock_);
    aborted_ = true;
    changed_.notify_all();
  }
  bool Ended() {
    std::lock_guard<std::mutex> hold(lock_);
    return ended_;
  }

 private:
  const milliseconds finishes_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool aborted_ = false;
  bool ended_ = false;
};

bool AwaitNoBindThreads() {
  for (int i = 0; i < 300 && GetBindThreadsAlive() > 0; ++i) usleep(10000);
  return GetBindThreadsAlive() == 0;
}

TEST(BindThreads, ABindEndsAtItsDeadlineWhateverItsWorkDoes) {
  auto hanging = std::make_shared<HangingWork>();
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(BindWait::kTimedOut, RunBind(hanging, MonotonicMilliseconds() + 200));
  const auto took = std::chrono::steady_clock::now() - before;
  EXPECT_GE(took, milliseconds(190));
  EXPECT_LT(took, milliseconds(2000));
  EXPECT_TRUE(AwaitNoBindThreads()) << "the abort made its thread end";
  EXPECT_TRUE(hanging->Ended());

  auto quick = std::make_shared<HangingWork>(milliseconds(0));
  EXPECT_EQ(BindWait::kDone, RunBind(quick, MonotonicMilliseconds() + 5000));
  EXPECT_TRUE(quick->Ended());
  EXPECT_TRUE(AwaitNoBindThreads());
}

// A bind its request has seen end is counted no more: one logon's steps,
// and a client's logons one after another, never find their own ended binds
// still holding the address's share. Binds of several shares at once, so
// that their threads contend as a busy server's do.
TEST(BindThreads, ABindSeenToEndIsNoLongerCounted) {
  constexpr int kShares = 8;
  std::atomic<int> stillCounted{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kShares; ++c) {
    clients.emplace_back([c, &stillCounted] {
      const uint64_t share = 0x5100 + c;
      SetWorkerShareKey(share);
      for (int i = 0; i < 100; ++i) {
        auto quick = std::make_shared<HangingWork>(milliseconds(0));
        if (RunBind(quick, MonotonicMilliseconds() + 5000) != BindWait::kDone ||
            GetShareBindsAlive(share) != 0)
          ++stillCounted;
      }
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(0, stillCounted.load());
  EXPECT_TRUE(AwaitNoBindThreads());
}

struct BindInTask {
  std::shared_ptr<BindWork> work;
  int64_t deadlineMs = 0;
  uint64_t share = 0;
  BindWait result = BindWait::kRefused;
};
void RunBindInTask(void* arg) {
  auto* b = static_cast<BindInTask*>(arg);
  SetWorkerShareKey(b->share);
  b->result = RunBind(b->work, b->deadlineMs);
}

// In a task the bind is a wait on its event with the deadline, as a socket's
// is; a share has two binds in flight at most; the stop lets them all end.
TEST(BindThreads, ATaskWaitsForItsBindAsForASocketAndAShareHasTwoAtMost) {
  constexpr uint64_t kShare = 0xC3;
  std::vector<std::unique_ptr<BindInTask>> binds;
  std::vector<FiberTask*> waiting;
  for (int i = 0; i < kMaxBindsPerShare; ++i) {
    binds.push_back(std::make_unique<BindInTask>());
    binds.back()->work = std::make_shared<HangingWork>();
    binds.back()->deadlineMs = MonotonicMilliseconds() + 60000;
    binds.back()->share = kShare;
    FiberTask* task = StartFiberTask(RunBindInTask, binds.back().get(), nullptr);
    ASSERT_NE(nullptr, task);
    const FiberWait& wait = GetFiberTaskWait(task);
    EXPECT_EQ(FiberWaitKind::kSocket, wait.kind);
    EXPECT_EQ(binds.back()->deadlineMs, wait.deadlineMs);
    waiting.push_back(task);
  }
  EXPECT_EQ(kMaxBindsPerShare, GetShareBindsAlive(kShare));
  BindInTask refused;
  refused.work = std::make_shared<HangingWork>();
  refused.deadlineMs = MonotonicMilliseconds() + 60000;
  refused.share = kShare;
  EXPECT_EQ(nullptr, StartFiberTask(RunBindInTask, &refused, nullptr));
  EXPECT_EQ(BindWait::kRefused, refused.result);
  BindInTask beside;
  beside.work = std::make_shared<HangingWork>(milliseconds(0));
  beside.deadlineMs = MonotonicMilliseconds() + 60000;
  beside.share = kShare + 1;
  FiberTask* besideTask = StartFiberTask(RunBindInTask, &beside, nullptr);
  ASSERT_NE(nullptr, besideTask);
  pollfd p{GetFiberTaskWait(besideTask).fd, POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 5000)) << "its event says it ended";
  EXPECT_FALSE(ResumeFiberTask(besideTask, FiberWake::kReady));
  EXPECT_EQ(BindWait::kDone, beside.result);

  // The first is cancelled (its connection went): aborted, and answered so.
  CancelFiberTask(waiting[0]);
  for (FiberTask* t : TakeCancelledFiberTasks()) EXPECT_FALSE(ResumeFiberTask(t, FiberWake::kCancelled));
  EXPECT_EQ(BindWait::kCancelled, binds[0]->result);
  // The stop lets the other end within its wait.
  const auto before = std::chrono::steady_clock::now();
  StopBinds(kBindStopWaitMs);
  EXPECT_LT(std::chrono::steady_clock::now() - before, milliseconds(kBindStopWaitMs + 500));
  EXPECT_EQ(0, GetBindThreadsAlive());
  EXPECT_FALSE(ResumeFiberTask(waiting[1], FiberWake::kReady));
  EXPECT_EQ(BindWait::kDone, binds[1]->result) << "its work ended once aborted";
}

}  // namespace
