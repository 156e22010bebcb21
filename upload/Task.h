// CTask: the shared record of one upload task, owned by the manager's table and by every
// thread that still works on it (std::shared_ptr), so that deleting a task while its worker or
// a retry wait winds down never frees memory under that thread.
//
// Fields and locking:
//   Record    the task's data (protocol/TaskRecord.h), guarded by Lock. The page's thread reads
//             it whole for the status line (Snapshot) and changes it only in Start and Stop; a
//             worker runs its steps on a private copy and publishes that copy under Lock.
//   Progress  the progress counters and the stop request, as atomics: the hasher and the body
//             sender report through the worker, the status line reads them whole.
//   Generation, CurrentRun  under Lock. Every worker run carries the generation it was started
//             with; Stop bumps the generation when it abandons a run, and a publish whose
//             generation is no longer current is dropped. So an abandoned worker has no further
//             effect on the task, and a fresh run started meanwhile is the only writer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "protocol/TaskRecord.h"

struct TaskProgress {
  std::atomic<int32_t> HashPercent{0};
  std::atomic<int64_t> Transferred{0};
  std::atomic<int32_t> PastElapsed{0};
  std::atomic<int32_t> Elapsed{0};
  std::atomic<bool> StopRequested{false};
  std::atomic<int64_t> AttemptStart{0};
};

// One worker run: its cancel flag (read by the transport through net/Cancel.h), the early end of
// a retry wait, and the signal that the run's thread has finished.
struct WorkerRun {
  explicit WorkerRun(uint64_t generation) : Generation(generation) {}
  const uint64_t Generation;
  std::atomic<bool> Cancel{false};
  std::atomic<bool> WakeEarly{false};

  void MarkFinished();
  void WaitFinished();

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool finished_ = false;
};

class CTask {
 public:
  CTask();

  // A whole copy of the record, taken under the lock.
  TaskRecord Snapshot() const;

  mutable std::mutex Lock;
  TaskRecord Record{};
  TaskProgress Progress;
  uint64_t Generation = 0;
  std::shared_ptr<WorkerRun> CurrentRun;
};

using TaskPtr = std::shared_ptr<CTask>;

// InitTask, then the four texts, FileSize from the file's status (0 when it cannot be read:
// hashing then fails with 302) and the block plan. False when a text does not fit its field.
bool SetupNewTask(TaskRecord& task, const char* userId, const char* cookie, const char* path,
                  const char* param);
