#include "upload/Worker.h"

#include "upload/Runtime.h"

namespace {

// A retry wait publishes the seconds waited every half second.
constexpr int kRetryStepMs = 500;

class WorkerContext : public IHashProgress, public IBodyProgress {
 public:
  WorkerContext(Runtime& runtime, TaskPtr task, std::shared_ptr<WorkerRun> run)
      : runtime_(runtime), steps_(runtime.steps()), task_(std::move(task)), run_(std::move(run)) {}

  void Run() {
    if (!Begin()) return;
    for (;;) {
      if (!rec_.IsUpload) {
        rec_.Status = kStatusHashing;
        if (!Publish()) return;
        if (!rec_.Hashed) {
          if (!steps_.HashTaskFile(rec_, *this)) {
            Failed(kErrHash, std::string(rec_.FileName) + " cannot be read to its end");
            EndRun();
            return;
          }
          rec_.Hashed = true;
        }
      }
      rec_.Status = kStatusDispatch;
      if (!Publish(/*unlessStopped=*/true)) {
        EndRun();
        return;
      }
      if (const platform::Status s = steps_.RequestDispatch(rec_, run_->Cancel); !s.ok()) {
        Failed(kErrDispatch, s.text());
        if (RetryWait()) continue;
        return;
      }
      if (rec_.NeedUpload) {
        if (!Publish()) return;
        if (!steps_.WriteTaskFile(rec_)) {
          Failed(kErrTaskFile, "the task file cannot be written");
          EndRun();
          return;
        }
        if (!Transfer()) {
          if (abandoned_) return;
          if (RetryWait()) continue;
          return;
        }
      }
      if (!Publish()) return;
      steps_.DeleteTaskFile(rec_);
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
    WhileCurrent([&] { task_->Progress.HashPercent = percent; });
  }
  void PieceSent(int64_t transferred) override {
    const int64_t now = runtime_.env.NowSeconds();
    WhileCurrent([&] {
      task_->Progress.Transferred = transferred;
      task_->Progress.Elapsed = static_cast<int32_t>(now - task_->Progress.AttemptStart.load());
    });
  }

 private:
  bool Current() const { return task_->Generation == run_->Generation; }

  // Runs change under the task's lock while the run's generation is current; false (the run is
  // then abandoned) once it has been retired. Every write of the run to the task goes here.
  template <typename Change>
  bool WhileCurrent(Change&& change) {
    std::lock_guard<std::mutex> g(task_->Lock);
    if (!Current()) {
      abandoned_ = true;
      return false;
    }
    change();
    return true;
  }

  bool Begin() {
    return WhileCurrent([&] {
      rec_ = task_->Record;
      failure_ = task_->LastFailure;
    });
  }

  // A step failed: its error code, and why in words (logged, and kept for the front ends).
  void Failed(int32_t errCode, const std::string& why) {
    rec_.ErrCode = errCode;
    failure_ = why;
    runtime_.diagnostics.DebugOutput("error " + std::to_string(errCode) + ": " + why + "\r\n");
  }

  // Copies the private record into the shared one; a new Status is counted as a change (the
  // figures within a state are read at the front ends' own pace). With unlessStopped, refuses
  // (without abandoning) once a stop was requested: a stop that waits for the hasher.
  bool Publish(bool unlessStopped = false) {
    bool refused = false;
    bool newStatus = false;
    const bool current = WhileCurrent([&] {
      refused = unlessStopped && task_->Progress.StopRequested.load();
      if (refused) return;
      newStatus = task_->Record.Status != rec_.Status;
      task_->Record = rec_;
      task_->LastFailure = failure_;
    });
    if (newStatus) runtime_.changes.Notify();
    return current && !refused;
  }

  // The run ends: the task stops holding its slot (Status 7 unless completed).
  void EndRun() {
    WhileCurrent([&] {
      if (rec_.Status != kStatusCompleted) rec_.Status = kStatusStopped;
      rec_.Running = false;
      task_->Record = rec_;
      task_->LastFailure = failure_;
      task_->CurrentRun = nullptr;
    });
    run_->Slot.Release();
  }

  bool Transfer() {
    rec_.IsUpload = true;
    rec_.Status = kStatusCheck;
    if (!Publish()) return false;
    if (const platform::Status s = steps_.RequestUploadCheck(rec_, run_->Cancel); !s.ok()) {
      Failed(kErrCheck, s.text());
      rec_.Status = kStatusStopped;
      return false;
    }
    rec_.Retry = 0;
    rec_.Status = kStatusUploading;
    const int64_t now = runtime_.env.NowSeconds();
    const bool current = WhileCurrent([&] {
      TaskProgress& p = task_->Progress;
      p.PastElapsed = p.PastElapsed.load() + p.Elapsed.load();
      p.Elapsed = 0;
      p.AttemptStart = now;
      task_->Record = rec_;
    });
    if (!current) return false;
    runtime_.changes.Notify();
    if (const platform::Status s = steps_.RequestBlockUpload(rec_, *this, run_->Cancel); !s.ok()) {
      // The request set its own code (601, 602 or 603).
      Failed(rec_.ErrCode, s.text());
      rec_.Status = kStatusStopped;
      return false;
    }
    rec_.Status = kStatusFinishing;
    if (!Publish()) return false;
    if (const platform::Status s = steps_.RequestUploadFinish(rec_, run_->Cancel); !s.ok()) {
      Failed(kErrFinish, s.text());
      rec_.Status = kStatusStopped;
      return false;
    }
    return true;
  }

  // After a failed request: true when the run goes on from the dispatch request, false when it
  // ended (no retry left, a stop, or the run was abandoned meanwhile).
  bool RetryWait() {
    if (rec_.Retry >= runtime_.workers.RetryLimit() || task_->Progress.StopRequested.load()) {
      rec_.Retry = 0;
      EndRun();
      return false;
    }
    rec_.Retry++;
    rec_.Status = kStatusRetryWait;
    rec_.WaitStart = runtime_.env.NowSeconds();
    rec_.Wait = 0;
    if (!Publish()) return false;
    for (;;) {
      // One step; a continue (Wake) or an abandonment (CancelRun) ends it at once.
      const bool woken = run_->WaitWake(kRetryStepMs);
      if (run_->Cancel.load()) return false;
      const int64_t elapsed = runtime_.env.NowSeconds() - rec_.WaitStart;
      rec_.Wait = static_cast<int32_t>(elapsed);
      if (!Publish()) return false;
      if (woken || elapsed >= runtime_.workers.RetryWaitSeconds()) return true;
    }
  }

  Runtime& runtime_;
  ITaskSteps& steps_;
  TaskPtr task_;
  std::shared_ptr<WorkerRun> run_;
  TaskRecord rec_{};
  std::string failure_;  // the task's last failure, published with rec_
  bool abandoned_ = false;
};

}  // namespace

void RunWorker(Runtime& runtime, const TaskPtr& task, const std::shared_ptr<WorkerRun>& run) {
  WorkerContext(runtime, task, run).Run();
}
