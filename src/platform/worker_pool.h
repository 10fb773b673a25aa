// Work that must not hold up the server thread (a password hash, a directory
// bind) runs on a small pool of worker threads while the task that asked for
// it steps aside; the loop resumes the task when the job is done. This file
// owns the threads, the queue of jobs, the list of finished ones and the
// event that wakes the loop.
// Platform layer: POSIX threads and an eventfd; calls the fiber tasks.
#pragma once

#include <vector>

struct FiberTask;

// At most this many threads, and no more than the machine has cores.
constexpr int kMaxWorkerThreads = 4;

// A job: a function of a record that holds copies of all it needs. It must
// touch nothing else (no store, slot or log) and report back only through
// the record.
using WorkerJob = void (*)(void* data);

// Runs job(data) to its end. In a task, the job goes to a worker thread and
// the task waits (the server thread serves others meanwhile); elsewhere
// (start-up, tests) it runs on the calling thread. False, with the job not
// run or its outcome to be ignored, when the task was cancelled before or
// while it waited: its connection is gone or the server stops.
bool RunOnWorker(WorkerJob job, void* data);

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

// Ends the threads once the queue is empty (the stop; nothing may be in
// flight). A later job starts them again.
void StopWorkers();
