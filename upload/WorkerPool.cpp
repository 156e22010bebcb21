#include "upload/WorkerPool.h"

#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "upload/Runtime.h"
#include "upload/Worker.h"

WorkerPool::~WorkerPool() {
  std::vector<std::shared_ptr<WorkerRun>> runs;
  {
    std::lock_guard<std::mutex> g(liveLock_);
    for (auto& [ptr, run] : live_) runs.push_back(run);
  }
  for (auto& run : runs) run->CancelRun();
  std::unique_lock<std::mutex> g(liveLock_);
  liveChanged_.wait(g, [this] { return live_.empty(); });
}

void WorkerPool::SetRetry(int32_t limit, int32_t waitSeconds) {
  retryLimit_ = limit;
  retryWaitSeconds_ = waitSeconds;
}

std::shared_ptr<WorkerRun> WorkerPool::NewRun(CTask& task) {
  running_.fetch_add(1);
  // Giving the slot back is a change: a queued task can start at the next status poll.
  return std::make_shared<WorkerRun>(++task.Generation, [this] {
    running_.fetch_sub(1);
    runtime_.changes.Notify();
  });
}

bool WorkerPool::Spawn(const TaskPtr& task, const std::shared_ptr<WorkerRun>& run) {
  {
    std::lock_guard<std::mutex> g(liveLock_);
    live_[run.get()] = run;
  }
  try {
    if (failNextThread_.exchange(false)) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    std::thread([this, task, run] {
      RunWorker(runtime_, task, run);
      run->MarkFinished();
      RunEnded(run.get());
    }).detach();
    return true;
  } catch (const std::system_error&) {
    RunEnded(run.get());
    return false;
  }
}

void WorkerPool::RunEnded(WorkerRun* run) {
  std::lock_guard<std::mutex> g(liveLock_);
  live_.erase(run);
  // Notified under the lock: the pool may be destroyed as soon as the last run is gone.
  liveChanged_.notify_all();
}

bool WorkerPool::Start(const TaskPtr& task) {
  std::lock_guard<std::mutex> g(task->Lock);
  TaskRecord& rec = task->Record;
  if (rec.Running) {
    // A continue during the retry wait ends the wait early; any other running task is left as
    // it is.
    if (rec.Status == kStatusRetryWait && task->CurrentRun) task->CurrentRun->Wake();
    return true;
  }
  rec.Running = true;
  task->Progress.StopRequested = false;
  if (rec.ErrCode != kErrNone) rec.ErrCode = kErrRestarted;
  rec.Status = kStatusStarting;
  if (running_.load() >= kMaxRunning) {
    rec.Running = false;
    return true;
  }
  std::shared_ptr<WorkerRun> run = NewRun(*task);
  task->CurrentRun = run;
  if (!Spawn(task, run)) {
    // The slot stays with the task until it is stopped, as the control always did; the run
    // (and its token) stays reachable through the task for that.
    rec.ErrCode = kErrThreadFailed;
    return false;
  }
  return true;
}

bool WorkerPool::Stop(const TaskPtr& task) {
  std::unique_lock<std::mutex> g(task->Lock);
  TaskRecord& rec = task->Record;
  if (!rec.Running) {
    if (rec.Status == kStatusStarting) rec.Status = kStatusStopped;
    return true;
  }
  task->Progress.StopRequested = true;
  std::shared_ptr<WorkerRun> run = task->CurrentRun;
  if (rec.Status == kStatusHashing && run) {
    // The hasher sees the request within one read; the worker gives back its own slot.
    g.unlock();
    run->WaitFinished();
    g.lock();
    if (task->Generation == run->Generation) ++task->Generation;
  } else {
    ++task->Generation;
    if (run) run->CancelRun();
  }
  // Given back once: here when the run is abandoned, or already by its end.
  if (run) run->Slot.Release();
  task->CurrentRun = nullptr;
  rec.Running = false;
  rec.Status = kStatusStopped;
  return true;
}

bool WorkerPool::WaitIdle(int timeoutMs) {
  std::unique_lock<std::mutex> g(liveLock_);
  return liveChanged_.wait_for(g, std::chrono::milliseconds(timeoutMs),
                               [this] { return live_.empty(); });
}
