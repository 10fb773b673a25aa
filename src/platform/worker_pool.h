// Work that must not hold up the server thread (a password hash) runs on a
// small pool of worker threads while the task that asked for it steps aside;
// the loop resumes the task when the job is done. The workers serve the
// client addresses in turn: the jobs of each address (its share) wait in a
// queue of their own, and no share has more than two jobs running, so one
// address's flood never holds up another's logon. Writes of store files go
// to one writer thread of their own, in the order they are handed over.
// This file owns the threads, the queues of jobs, the list of finished ones,
// the event that wakes the loop, and the share the running task's jobs count
// under.
// (Directory binds are waits, not work: they run on threads of their own,
// platform/bind_threads.h.)
// Platform layer: POSIX threads and an eventfd; calls the fiber tasks and the
// bind threads (the stop).
#pragma once

#include <cstdint>
#include <vector>

struct FiberTask;

// At most this many threads, and no more than the machine has cores.
constexpr int kMaxWorkerThreads = 4;
// Jobs of one share running at once; the others wait for their turn.
constexpr int kMaxWorkerJobsPerShare = 2;

// The share of the running task's later jobs (the request's client address,
// as a word; 0 for work outside any request). Each task starts in share 0.
void SetWorkerShareKey(uint64_t key);
uint64_t GetWorkerShareKey();

// A job: a function of a record that holds copies of all it needs. It must
// touch nothing else (no store, slot or log) and report back only through
// the record.
using WorkerJob = void (*)(void* data);

// Runs job(data) to its end. In a task, the job goes to a worker thread, in
// its share's turn, and the task waits (the server thread serves others
// meanwhile); elsewhere (start-up, tests) it runs on the calling thread.
// False, with the job not run or its outcome to be ignored, when the task was
// cancelled before or while it waited: its connection is gone or the server
// stops.
bool RunOnWorker(WorkerJob job, void* data);

// ---- Writes in their order ---------------------------------------------------------------

// Runs job(data), a write of a store file, on the writer thread: one job at
// a time, in the order they were handed over, so that a newer text of a file
// is never overtaken by an older one. With `mayWait`, in a task that has not
// been cancelled, the task steps aside until the job has run (the server
// thread serves others meanwhile); otherwise the calling thread waits for
// every job handed over before and then runs it itself. The job always runs
// to its end before this returns.
void RunInWriteOrder(WorkerJob job, void* data, bool mayWait);

// Waits, on the calling thread, until every job handed to RunInWriteOrder
// has run (before a write or a removal that does not go through it).
void WaitForWritesInOrder();

// True when the running task has been cancelled (its connection is gone, or
// the server stops): whatever its last wait brought is to be dropped. False
// outside a task.
bool RunningTaskCancelled();

// The descriptor the loop waits on: readable once a job has finished (-1
// before the first job). TakeFinishedWorkerTasks empties it.
int GetWorkerDoneEvent();

// The tasks whose jobs have finished since the last call, in the order they
// finished; the loop resumes each with kReady.
std::vector<FiberTask*> TakeFinishedWorkerTasks();

// Jobs handed over and not yet taken back by TakeFinishedWorkerTasks.
int GetWorkerJobsInFlight();

// The number of threads the pool runs (or will run once started).
int GetWorkerThreadCount();

// Ends the threads once the queues are empty (the stop; nothing may be in
// flight), and lets the bind threads end (StopBinds). A later job starts the
// workers again.
void StopWorkers();

// Jobs of `key`'s share queued and running now (tests).
int GetWorkerShareJobs(uint64_t key);
