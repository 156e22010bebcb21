#include "upload/Task.h"

#include <chrono>

#include "platform/Bounded.h"

void WorkerRun::CancelRun() {
  Cancel = true;
  std::lock_guard<std::mutex> g(m_);
  cv_.notify_all();
}

void WorkerRun::Wake() {
  std::lock_guard<std::mutex> g(m_);
  woken_ = true;
  cv_.notify_all();
}

bool WorkerRun::WaitWake(int ms) {
  std::unique_lock<std::mutex> g(m_);
  const bool came =
      cv_.wait_for(g, std::chrono::milliseconds(ms), [this] { return woken_ || Cancel.load(); });
  woken_ = false;
  return came;
}

void WorkerRun::MarkFinished() {
  std::lock_guard<std::mutex> g(m_);
  finished_ = true;
  cv_.notify_all();
}

void WorkerRun::WaitFinished() {
  std::unique_lock<std::mutex> g(m_);
  cv_.wait(g, [this] { return finished_; });
}

CTask::CTask() {
  InitTask(Record);
}

TaskRecord CTask::Snapshot(std::string* lastFailure) const {
  std::lock_guard<std::mutex> g(Lock);
  if (lastFailure) *lastFailure = LastFailure;
  return Record;
}

bool SetupNewTask(platform::Env& env, TaskRecord& task, const char* userId, const char* cookie,
                  const char* path, const char* param) {
  InitTask(task);
  if (!platform::CopyText(task.UserID, userId ? userId : "") ||
      !platform::CopyText(task.Cookie, cookie ? cookie : "") ||
      !platform::CopyText(task.FileName, path ? path : "") ||
      !platform::CopyText(task.ParamStr, param ? param : "")) {
    return false;
  }
  int64_t size = 0;
  if (!env.FileSize(task.FileName, &size)) size = 0;
  task.FileSize = size;
  task.Offset = 0;
  ChooseBlockSize(task);
  return true;
}
