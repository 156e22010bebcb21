#include "upload/Worker.h"

#include <chrono>
#include <system_error>
#include <thread>

#include "net/Cancel.h"
#include "platform/Env.h"
#include "platform/ProcessState.h"
#include "upload/TaskSteps.h"

namespace {

constexpr int kMaxRunning = 3;

std::mutex g_live_lock;
std::condition_variable g_live_cv;
int g_live = 0;
std::atomic<bool> g_fail_next_thread{false};

int64_t Now() {
  return platform::Env::Current().NowSeconds();
}

// One run of a task's worker: a private copy of the record that the steps work on, published
// to the shared record only while the run's generation is current.
class WorkerContext : public IHashProgress, public IBodyProgress {
 public:
  WorkerContext(TaskPtr task, std::shared_ptr<WorkerRun> run)
      : task_(std::move(task)), run_(std::move(run)) {}

  void Run() {
    if (!Begin()) return;
    ScopedCancelFlag cancel(&run_->Cancel);
    ITaskSteps& steps = CurrentTaskSteps();
    for (;;) {
      if (!rec_.IsUpload) {
        rec_.Status = kStatusHashing;
        if (!Publish()) return;
        if (!rec_.Hashed) {
          if (!steps.HashTaskFile(rec_, *this)) {
            rec_.ErrCode = kErrHash;
            EndRun();
            return;
          }
          rec_.Hashed = true;
        }
      }
      rec_.Status = kStatusDispatch;
      if (!PublishUnlessStopped()) {
        EndRun();
        return;
      }
      if (!steps.RequestDispatch(rec_)) {
        rec_.ErrCode = kErrDispatch;
        if (RetryWait()) continue;
        return;
      }
      if (rec_.NeedUpload) {
        if (!Publish()) return;
        if (!steps.WriteTaskFile(rec_)) {
          rec_.ErrCode = kErrTaskFile;
          EndRun();
          return;
        }
        if (!Transfer(steps)) {
          if (abandoned_) return;
          if (RetryWait()) continue;
          return;
        }
      }
      if (!Publish()) return;
      steps.DeleteTaskFile(rec_);
      rec_.Status = kStatusCompleted;
      rec_.Completed = true;
      EndRun();
      return;
    }
  }

  // IHashProgress and IBodyProgress.
  bool StopRequested() override {
    return task_->Progress.StopRequested.load() || run_->Cancel.load();
  }
  void SetHashPercent(int32_t percent) override {
    std::lock_guard<std::mutex> g(task_->Lock);
    if (Current()) task_->Progress.HashPercent = percent;
  }
  void PieceSent(int64_t transferred) override {
    std::lock_guard<std::mutex> g(task_->Lock);
    if (!Current()) return;
    task_->Progress.Transferred = transferred;
    task_->Progress.Elapsed = static_cast<int32_t>(Now() - task_->Progress.AttemptStart.load());
  }

 private:
  bool Current() const { return task_->Generation == run_->Generation; }

  bool Begin() {
    std::lock_guard<std::mutex> g(task_->Lock);
    if (!Current()) return false;
    rec_ = task_->Record;
    return true;
  }

  // Copies the private record into the shared one; false (and the run is abandoned) when the
  // run's generation has been retired.
  bool Publish() {
    std::lock_guard<std::mutex> g(task_->Lock);
    if (!Current()) {
      abandoned_ = true;
      return false;
    }
    task_->Record = rec_;
    return true;
  }

  // As Publish, but refuses once a stop was requested (a stop that waits for the hasher).
  bool PublishUnlessStopped() {
    std::lock_guard<std::mutex> g(task_->Lock);
    if (!Current()) {
      abandoned_ = true;
      return false;
    }
    if (task_->Progress.StopRequested.load()) return false;
    task_->Record = rec_;
    return true;
  }

  // The run ends: the task stops holding its slot (Status 7 unless completed).
  void EndRun() {
    std::lock_guard<std::mutex> g(task_->Lock);
    if (!Current()) return;
    if (rec_.Status != kStatusCompleted) rec_.Status = kStatusStopped;
    rec_.Running = false;
    task_->Record = rec_;
    task_->CurrentRun = nullptr;
    platform::Process().RunningCount.fetch_sub(1);
  }

  bool Transfer(ITaskSteps& steps) {
    rec_.IsUpload = true;
    rec_.Status = kStatusCheck;
    if (!Publish()) return false;
    if (!steps.RequestUploadCheck(rec_)) {
      rec_.ErrCode = kErrCheck;
      rec_.Status = kStatusStopped;
      return false;
    }
    {
      std::lock_guard<std::mutex> g(task_->Lock);
      if (!Current()) {
        abandoned_ = true;
        return false;
      }
      TaskProgress& p = task_->Progress;
      p.PastElapsed = p.PastElapsed.load() + p.Elapsed.load();
      p.Elapsed = 0;
      p.AttemptStart = Now();
      rec_.Retry = 0;
      rec_.Status = kStatusUploading;
      task_->Record = rec_;
    }
    if (!steps.RequestBlockUpload(rec_, *this)) {
      rec_.Status = kStatusStopped;
      return false;
    }
    rec_.Status = kStatusFinishing;
    if (!Publish()) return false;
    if (!steps.RequestUploadFinish(rec_)) {
      rec_.ErrCode = kErrFinish;
      rec_.Status = kStatusStopped;
      return false;
    }
    return true;
  }

  // After a failed request: true when the run goes on from the dispatch request, false when it
  // ended (no retry left, a stop, or the run was abandoned meanwhile).
  bool RetryWait() {
    platform::ProcessState& ps = platform::Process();
    if (rec_.Retry >= ps.RetryLimit.load() || task_->Progress.StopRequested.load()) {
      rec_.Retry = 0;
      EndRun();
      return false;
    }
    rec_.Retry++;
    rec_.Status = kStatusRetryWait;
    rec_.WaitStart = Now();
    rec_.Wait = 0;
    if (!Publish()) return false;
    platform::Env& env = platform::Env::Current();
    for (;;) {
      // One 500 ms step, in slices so that an abandoned run or a continue ends it promptly.
      for (int slept = 0; slept < 500; slept += 50) {
        if (run_->Cancel.load()) return false;
        if (run_->WakeEarly.load()) break;
        env.SleepMillis(50);
      }
      int64_t elapsed = Now() - rec_.WaitStart;
      rec_.Wait = static_cast<int32_t>(elapsed);
      if (!Publish()) return false;
      if (run_->WakeEarly.exchange(false)) break;
      if (elapsed >= ps.RetryWaitSeconds.load()) break;
    }
    return true;
  }

  TaskPtr task_;
  std::shared_ptr<WorkerRun> run_;
  TaskRecord rec_{};
  bool abandoned_ = false;
};

void WorkerThread(TaskPtr task, std::shared_ptr<WorkerRun> run) {
  {
    WorkerContext ctx(task, run);
    ctx.Run();
  }
  run->MarkFinished();
  std::lock_guard<std::mutex> g(g_live_lock);
  --g_live;
  g_live_cv.notify_all();
}

// Creates the worker thread; false when the system refuses it.
bool SpawnWorker(const TaskPtr& task, const std::shared_ptr<WorkerRun>& run) {
  {
    std::lock_guard<std::mutex> g(g_live_lock);
    ++g_live;
  }
  try {
    if (g_fail_next_thread.exchange(false)) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    std::thread(WorkerThread, task, run).detach();
    return true;
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> g(g_live_lock);
    --g_live;
    g_live_cv.notify_all();
    return false;
  }
}

}  // namespace

bool Start(const TaskPtr& task) {
  std::lock_guard<std::mutex> g(task->Lock);
  TaskRecord& rec = task->Record;
  if (rec.Running) {
    // A continue during the retry wait ends the wait early; any other running task is left as
    // it is.
    if (rec.Status == kStatusRetryWait && task->CurrentRun) task->CurrentRun->WakeEarly = true;
    return true;
  }
  rec.Running = true;
  task->Progress.StopRequested = false;
  if (rec.ErrCode != kErrNone) rec.ErrCode = kErrRestarted;
  rec.Status = kStatusStarting;
  platform::ProcessState& ps = platform::Process();
  if (ps.RunningCount.load() >= kMaxRunning) {
    rec.Running = false;
    return true;
  }
  ps.RunningCount.fetch_add(1);
  auto run = std::make_shared<WorkerRun>(++task->Generation);
  task->CurrentRun = run;
  if (!SpawnWorker(task, run)) {
    rec.ErrCode = kErrThreadFailed;
    task->CurrentRun = nullptr;
    return false;
  }
  return true;
}

bool Stop(const TaskPtr& task) {
  std::unique_lock<std::mutex> g(task->Lock);
  TaskRecord& rec = task->Record;
  if (!rec.Running) {
    if (rec.Status == kStatusStarting) rec.Status = kStatusStopped;
    return true;
  }
  task->Progress.StopRequested = true;
  if (rec.Status == kStatusHashing && task->CurrentRun) {
    // The hasher sees the request within one read; the worker gives back its own slot.
    std::shared_ptr<WorkerRun> run = task->CurrentRun;
    g.unlock();
    run->WaitFinished();
    g.lock();
    if (task->Generation == run->Generation && rec.Running) {
      // The run ended without reaching its end (it cannot, but never leave a slot behind).
      platform::Process().RunningCount.fetch_sub(1);
      ++task->Generation;
    }
  } else {
    ++task->Generation;
    if (task->CurrentRun) task->CurrentRun->Cancel = true;
    task->CurrentRun = nullptr;
    platform::ProcessState& ps = platform::Process();
    int32_t n = ps.RunningCount.load();
    while (n > 0 && !ps.RunningCount.compare_exchange_weak(n, n - 1)) {
    }
  }
  rec.Running = false;
  rec.Status = kStatusStopped;
  return true;
}

bool WaitForIdleWorkers(int timeoutMs) {
  std::unique_lock<std::mutex> g(g_live_lock);
  return g_live_cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [] { return g_live == 0; });
}

void FailNextWorkerThreadForTest() {
  g_fail_next_thread = true;
}
