// A scripted stand-in for the worker's steps: each step succeeds, fails, or blocks until the
// test releases it (or the worker's stop/cancel arrives), and every call is counted. A test
// installs it in its runtime (Runtime::SetSteps) and releases it before the runtime goes, so
// that the runtime's end finds no worker blocked in a step.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "upload/TaskSteps.h"

namespace testing_support {

enum class StepOutcome { kSucceed, kFail, kBlock };

class ScriptedSteps : public ITaskSteps {
 public:
  ScriptedSteps();
  ~ScriptedSteps() override;

  // The next outcomes of a step ("hash", "dispatch", "write", "check", "upload", "finish",
  // "delete", "read"); once the queue is empty the default outcome holds.
  void Script(const std::string& step, std::deque<StepOutcome> outcomes);
  void SetDefault(const std::string& step, StepOutcome outcome);
  // Dispatch answers NeedUpload = need (default true).
  void SetNeedUpload(bool need) { needUpload_ = need; }
  // Releases every blocked step (it then succeeds).
  void Release();
  // Waits until a call of step is blocked; false after timeoutMs.
  bool WaitBlocked(const std::string& step, int timeoutMs = 5000);
  int Calls(const std::string& step);
  // Bytes "uploaded" by the fake block upload, reported piece by piece.
  void SetUploadPieces(int64_t fileSize, int pieces) {
    uploadSize_ = fileSize;
    uploadPieces_ = pieces;
  }
  // A hash that reports percentages in steps and checks the stop request between them.
  void SetHashSteps(int steps) { hashSteps_ = steps; }

  bool HashTaskFile(TaskRecord& task, IHashProgress& progress) override;
  platform::Status RequestDispatch(TaskRecord& task, const std::atomic<bool>& cancel) override;
  bool WriteTaskFile(const TaskRecord& task) override;
  platform::Status RequestUploadCheck(TaskRecord& task, const std::atomic<bool>& cancel) override;
  platform::Status RequestBlockUpload(TaskRecord& task, IBodyProgress& progress,
                                      const std::atomic<bool>& cancel) override;
  platform::Status RequestUploadFinish(TaskRecord& task, const std::atomic<bool>& cancel) override;
  bool DeleteTaskFile(const TaskRecord& task) override;
  void DeleteServerTask(TaskRecord& task) override;
  bool ReadTaskFile(const char* fileName, TaskRecord& task) override;

  // Task files the fake "read" serves: name -> (path, size).
  void AddSavedFile(const std::string& name, const std::string& path, int64_t size);

 private:
  // Runs the scripted outcome of step; stopped() ends a block early (as a failure).
  bool Run(const std::string& step, const std::function<bool()>& stopped);

  std::mutex m_;
  std::condition_variable cv_;
  std::map<std::string, std::deque<StepOutcome>> scripts_;
  std::map<std::string, StepOutcome> defaults_;
  std::map<std::string, int> calls_;
  std::map<std::string, int> blocked_;
  std::map<std::string, std::pair<std::string, int64_t>> saved_;
  uint64_t releaseEpoch_ = 0;
  std::atomic<bool> needUpload_{true};
  int64_t uploadSize_ = 0;
  int uploadPieces_ = 0;
  int hashSteps_ = 0;
};

}  // namespace testing_support
