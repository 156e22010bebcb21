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
//   LastFailure  under Lock: why the step that set the error code failed, in words ("the
//             certificate of dispatch.corvel.example is not trusted (...)"), published with the
//             record; empty until a step fails. Front ends show it; the page's line has no room.
//   Generation, CurrentRun  under Lock. Every worker run carries the generation it was started
//             with; Stop bumps the generation when it abandons a run, and a publish whose
//             generation is no longer current is dropped. So an abandoned worker has no further
//             effect on the task, and a fresh run started meanwhile is the only writer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Env.h"
#include "protocol/TaskRecord.h"

struct TaskProgress {
  std::atomic<int32_t> HashPercent{0};
  std::atomic<int64_t> Transferred{0};
  std::atomic<int32_t> PastElapsed{0};
  std::atomic<int32_t> Elapsed{0};
  std::atomic<bool> StopRequested{false};
  std::atomic<int64_t> AttemptStart{0};
};

// One of the three worker slots, held by one run and given back exactly once, by whichever of
// the run's end or its abandonment by Stop comes first (or by its destruction).
class SlotToken {
 public:
  SlotToken(std::function<void()> release) : release_(std::move(release)) {}
  ~SlotToken() { Release(); }
  SlotToken(const SlotToken&) = delete;
  SlotToken& operator=(const SlotToken&) = delete;
  void Release() {
    if (held_.exchange(false)) release_();
  }

 private:
  std::function<void()> release_;
  std::atomic<bool> held_{true};
};

// One worker run: its slot, its cancel flag (read by the transport, net/Transport.h), the early
// end of a retry wait, and the signal that the run's thread has finished.
class WorkerRun {
 public:
  WorkerRun(uint64_t generation, std::function<void()> releaseSlot)
      : Generation(generation), Slot(std::move(releaseSlot)) {}
  const uint64_t Generation;
  SlotToken Slot;
  std::atomic<bool> Cancel{false};

  // Cuts the run short: its requests fail, its waits end.
  void CancelRun();
  // Ends a retry wait early (a continue during the wait).
  void Wake();
  // Waits up to ms for CancelRun or Wake; true when one came (a Wake is used up).
  bool WaitWake(int ms);
  void MarkFinished();
  void WaitFinished();

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool woken_ = false;
  bool finished_ = false;
};

class CTask {
 public:
  CTask();

  // A whole copy of the record, taken under the lock (with the last failure, when asked).
  TaskRecord Snapshot(std::string* lastFailure = nullptr) const;

  mutable std::mutex Lock;
  TaskRecord Record{};
  std::string LastFailure;
  TaskProgress Progress;
  uint64_t Generation = 0;
  std::shared_ptr<WorkerRun> CurrentRun;
};

using TaskPtr = std::shared_ptr<CTask>;

// InitTask, then the four texts, FileSize from the file's status (0 when it cannot be read:
// hashing then fails with 302) and the block plan. False when a text does not fit its field.
bool SetupNewTask(platform::Env& env, TaskRecord& task, const char* userId, const char* cookie,
                  const char* path, const char* param);
