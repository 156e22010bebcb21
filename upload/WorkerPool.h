// Starting and stopping a task, and the worker threads that carry tasks through their states.
//
//   Start  gives the task a worker slot and a worker thread when fewer than three tasks hold a
//          slot; otherwise the task waits queued in Status 2 until a status poll or a later
//          Start finds a free slot. On a task waiting to retry (Status 70), Start ends the wait
//          early; a task never has two workers. False (ErrCode 301) when no thread could be
//          made; the task then keeps its slot until it is stopped, as the control always did.
//   Stop   always returns true. While the task hashes it asks the hasher to give up and waits
//          for the worker to end (within one 16 KiB read). In every other state it returns at
//          once: the worker's run is abandoned (its generation retired, its request in flight
//          cut short through the run's cancel flag), its slot given back, and nothing that run
//          would still write reaches the task. A later Start runs a fresh worker while the
//          abandoned one winds down on its own.
//
// A slot is a SlotToken owned by the run (upload/Task.h): given back once, by the run's end or
// by Stop. Runs are carried by the pool's threads, one run at a time each: a thread that ended
// its run waits for the next one, and a thread is made only when no idle one can take a run,
// so that a queue of small files does not make and end a thread per file. There are never
// more threads than runs were once alive at the same time (at most three plus the abandoned
// ones still winding down). A thread holds shared references to its run and task while it
// carries them; the pool knows every live run, so that WaitIdle can wait for the runs and the
// pool's destruction can cancel them, wait for them to end and then end and join its threads.
//
// The worker itself (its steps, publishing, retry wait) is upload/Worker.h.
//
// Thread safety: Start and Stop on the page's thread; the rest from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "upload/Task.h"

class Runtime;

class WorkerPool {
 public:
  static constexpr int kMaxRunning = 3;

  explicit WorkerPool(Runtime& runtime) : runtime_(runtime) {}
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  bool Start(const TaskPtr& task);
  bool Stop(const TaskPtr& task);

  // Tasks holding a slot.
  int Running() const { return running_.load(); }
  // Threads the pool has made so far (they stay until the pool is destroyed).
  size_t Threads();
  // Waits until no run is alive (abandoned ones included), at most timeoutMs.
  bool WaitIdle(int timeoutMs);

  // The retry settings of InitService: retries in a row after a failed request, and the
  // seconds of each wait.
  void SetRetry(int32_t limit, int32_t waitSeconds);
  int32_t RetryLimit() const { return retryLimit_.load(); }
  int32_t RetryWaitSeconds() const { return retryWaitSeconds_.load(); }

  // Makes the next thread creation fail (tests of ErrCode 301).
  void FailNextThreadForTest() { failNextThread_ = true; }

 private:
  struct Job {
    TaskPtr task;
    std::shared_ptr<WorkerRun> run;
  };

  std::shared_ptr<WorkerRun> NewRun(CTask& task);
  // Hands the run to an idle thread, or to a new one; false when no thread could be made.
  bool Spawn(const TaskPtr& task, const std::shared_ptr<WorkerRun>& run);
  // A pool thread: carries runs until the pool stops.
  void ServeRuns();

  Runtime& runtime_;
  std::atomic<int> running_{0};
  std::atomic<int32_t> retryLimit_{0};
  std::atomic<int32_t> retryWaitSeconds_{0};
  std::atomic<bool> failNextThread_{false};

  std::mutex lock_;  // guards everything below
  std::condition_variable liveChanged_;
  std::condition_variable jobReady_;
  std::map<WorkerRun*, std::shared_ptr<WorkerRun>> live_;
  std::deque<Job> jobs_;  // runs no thread has taken yet
  size_t idle_ = 0;       // threads waiting for a run
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};
