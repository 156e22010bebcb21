#include "tests/support/ScriptedSteps.h"

#include <chrono>

#include "platform/Bounded.h"

namespace testing_support {
namespace {

// What a scripted request step reports: a failure names the step.
platform::Status Outcome(bool ok, const std::string& step) {
  return ok ? platform::Status::Ok()
            : platform::Status(platform::StatusCode::kConnectionLost,
                               "scripted " + step + " failed");
}

}  // namespace

ScriptedSteps::ScriptedSteps() = default;
ScriptedSteps::~ScriptedSteps() {
  Release();
}

void ScriptedSteps::Script(const std::string& step, std::deque<StepOutcome> outcomes) {
  std::lock_guard<std::mutex> g(m_);
  scripts_[step] = std::move(outcomes);
}

void ScriptedSteps::SetDefault(const std::string& step, StepOutcome outcome) {
  std::lock_guard<std::mutex> g(m_);
  defaults_[step] = outcome;
}

void ScriptedSteps::Release() {
  std::lock_guard<std::mutex> g(m_);
  ++releaseEpoch_;
  cv_.notify_all();
}

bool ScriptedSteps::WaitBlocked(const std::string& step, int timeoutMs) {
  std::unique_lock<std::mutex> g(m_);
  return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return blocked_[step] > 0; });
}

int ScriptedSteps::Calls(const std::string& step) {
  std::lock_guard<std::mutex> g(m_);
  return calls_[step];
}

void ScriptedSteps::AddSavedFile(const std::string& name, const std::string& path, int64_t size) {
  std::lock_guard<std::mutex> g(m_);
  saved_[name] = {path, size};
}

bool ScriptedSteps::Run(const std::string& step, const std::function<bool()>& stopped) {
  std::unique_lock<std::mutex> g(m_);
  ++calls_[step];
  StepOutcome outcome = defaults_.count(step) ? defaults_[step] : StepOutcome::kSucceed;
  auto& queue = scripts_[step];
  if (!queue.empty()) {
    outcome = queue.front();
    queue.pop_front();
  }
  if (outcome != StepOutcome::kBlock) return outcome == StepOutcome::kSucceed;
  uint64_t epoch = releaseEpoch_;
  ++blocked_[step];
  cv_.notify_all();
  bool released = false;
  while (!released) {
    released =
        cv_.wait_for(g, std::chrono::milliseconds(10), [&] { return releaseEpoch_ != epoch; });
    if (!released && stopped && stopped()) break;
  }
  --blocked_[step];
  return released;
}

bool ScriptedSteps::HashTaskFile(TaskRecord& task, IHashProgress& progress) {
  for (int i = 1; i <= hashSteps_; ++i) {
    if (progress.StopRequested()) return false;
    progress.SetHashPercent(i * 100 / hashSteps_);
  }
  if (!Run("hash", [&] { return progress.StopRequested(); })) return false;
  platform::CopyText(task.SHA1Hash, "0123456789ABCDEF0123456789ABCDEF01234567");
  return true;
}

platform::Status ScriptedSteps::RequestDispatch(TaskRecord& task, const std::atomic<bool>& cancel) {
  if (!Run("dispatch", [&] { return cancel.load(); })) return Outcome(false, "dispatch");
  task.NeedUpload = needUpload_;
  platform::CopyText(task.PickCode, "pc1");
  if (task.NeedUpload) {
    platform::CopyText(task.Host, "127.0.0.1");
    task.Port = 1;
    platform::CopyText(task.Key, "key1");
  }
  return Outcome(true, "dispatch");
}

bool ScriptedSteps::WriteTaskFile(const TaskRecord&) {
  return Run("write", nullptr);
}

platform::Status ScriptedSteps::RequestUploadCheck(TaskRecord& task,
                                                   const std::atomic<bool>& cancel) {
  if (!Run("check", [&] { return cancel.load(); })) return Outcome(false, "check");
  task.Offset = 0;
  return Outcome(true, "check");
}

platform::Status ScriptedSteps::RequestBlockUpload(TaskRecord& task, IBodyProgress& progress,
                                                   const std::atomic<bool>&) {
  for (int i = 1; i <= uploadPieces_; ++i) {
    if (progress.StopRequested()) {
      task.ErrCode = kErrUploadSend;
      return Outcome(false, "upload");
    }
    progress.PieceSent(uploadSize_ * i / uploadPieces_);
  }
  const bool ok = Run("upload", [&] { return progress.StopRequested(); });
  if (!ok) task.ErrCode = kErrUploadSend;
  return Outcome(ok, "upload");
}

platform::Status ScriptedSteps::RequestUploadFinish(TaskRecord&, const std::atomic<bool>& cancel) {
  return Outcome(Run("finish", [&] { return cancel.load(); }), "finish");
}
bool ScriptedSteps::DeleteTaskFile(const TaskRecord&) {
  return Run("delete", nullptr);
}
void ScriptedSteps::DeleteServerTask(TaskRecord& task) {
  Run(task.IsUpload && !task.Completed ? "server-delete" : "local-delete", nullptr);
}

bool ScriptedSteps::ReadTaskFile(const char* fileName, TaskRecord& task) {
  std::pair<std::string, int64_t> entry;
  {
    std::lock_guard<std::mutex> g(m_);
    auto it = saved_.find(fileName);
    if (it == saved_.end()) return false;
    entry = it->second;
  }
  if (!Run("read", nullptr)) return false;
  platform::CopyText(task.FileName, entry.first);
  task.FileSize = entry.second;
  platform::CopyText(task.SHA1Hash, "0123456789ABCDEF0123456789ABCDEF01234567");
  platform::CopyText(task.PickCode, "saved");
  return true;
}

}  // namespace testing_support
