// Starting and stopping a task, and the worker that carries it through its states.
//
//   Start  gives the task a worker slot and a worker thread when fewer than three tasks hold a
//          slot (RunningCount); otherwise the task waits queued in Status 2 until a status poll
//          or a later Start finds a free slot. On a task waiting to retry (Status 70), Start
//          ends the wait early; a task never has two workers.
//   Stop   always returns true. While the task hashes it asks the hasher to give up and waits
//          for the worker to end (within one 16 KiB read). In every other state it returns at
//          once: the worker's run is abandoned (its generation retired, its request in flight
//          cut short through the run's cancel flag), its slot given back, and nothing that run
//          would still write reaches the task. A later Start runs a fresh worker while the
//          abandoned one winds down on its own.
//
// The worker: hashing (unless the task already has its hash), the dispatch request, the task
// file, the upload check, the block upload and the finish request; a failed request waits
// RetryWaitSeconds in Status 70 and starts again from the dispatch request, at most RetryLimit
// times in a row (a successful upload check resets the count). It runs on a std::thread that
// owns shared references to the task and its run, so the task outlives it whatever the page
// deletes meanwhile.
//
// Thread safety: Start and Stop are called on the page's thread; workers publish through the
// task's lock (upload/Task.h).
#pragma once

#include "upload/Task.h"

bool Start(const TaskPtr& task);
bool Stop(const TaskPtr& task);

// Waits until no worker thread of this process is alive (abandoned ones included), or
// timeoutMs has passed; true when idle. Hosts call it before they exit, tests between cases.
bool WaitForIdleWorkers(int timeoutMs);

// Makes the next thread creation fail (tests of ErrCode 301).
void FailNextWorkerThreadForTest();
