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
    std::lock_guard<std::mutex> g(lock_);
    for (auto& [ptr, run] : live_) runs.push_back(run);
  }
  for (auto& run : runs) run->CancelRun();
  std::unique_lock<std::mutex> g(lock_);
  liveChanged_.wait(g, [this] { return live_.empty(); });
  stopping_ = true;
  g.unlock();
  jobReady_.notify_all();
  for (std::thread& t : threads_) t.join();
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
    std::lock_guard<std::mutex> g(lock_);
    live_[run.get()] = run;
    jobs_.push_back(Job{task, run});
    // A new thread only when the idle ones cannot take every waiting run.
    const bool needThread = idle_ < jobs_.size();
    try {
      if (failNextThread_.exchange(false)) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      }
      if (needThread) threads_.emplace_back([this] { ServeRuns(); });
    } catch (const std::system_error&) {
      jobs_.pop_back();
      live_.erase(run.get());
      liveChanged_.notify_all();
      return false;
    }
  }
  jobReady_.notify_one();
  return true;
}

void WorkerPool::ServeRuns() {
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    ++idle_;
    jobReady_.wait(g, [this] { return stopping_ || !jobs_.empty(); });
    --idle_;
    if (jobs_.empty()) return;  // stopping, and nothing left to run
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    g.unlock();
    RunWorker(runtime_, job.task, job.run);
    job.run->MarkFinished();
    WorkerRun* const ended = job.run.get();
    job = Job{};  // the run's references go before its end is told
    g.lock();
    live_.erase(ended);
    liveChanged_.notify_all();
  }
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

size_t WorkerPool::Threads() {
  std::lock_guard<std::mutex> g(lock_);
  return threads_.size();
}

bool WorkerPool::WaitIdle(int timeoutMs) {
  std::unique_lock<std::mutex> g(lock_);
  return liveChanged_.wait_for(g, std::chrono::milliseconds(timeoutMs),
                               [this] { return live_.empty(); });
}
