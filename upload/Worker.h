// The worker: what one run of a task does on its own thread.
//
// Hashing (unless the task already has its hash), the dispatch request, the task file, the
// upload check, the block upload and the finish request; a failed request waits
// RetryWaitSeconds in Status 70 and starts again from the dispatch request, at most RetryLimit
// times in a row (a successful upload check resets the count).
//
// The run works on a private copy of the task's record and publishes it to the shared record
// through one path, and only while the run's generation is current (upload/Task.h); every
// publish counts as a change (Runtime::changes). The run's end gives its slot back.
//
// Thread safety: runs on the run's thread; everything it shares goes through the task's lock
// and atomics.
#pragma once

#include <memory>

#include "upload/Task.h"

class Runtime;

void RunWorker(Runtime& runtime, const TaskPtr& task, const std::shared_ptr<WorkerRun>& run);
