// The steps a worker runs and the manager's server-side deletion, behind one seam so that
// tests can script them (succeed, fail, block until released) without a network.
//
// RealTaskSteps runs the real ones through a runtime's parts: hashing (store/HashFile.h, the
// runtime's Env and HashGate), the protocol requests (protocol/, the runtime's Transport and
// dispatch endpoint), the task file (store/TaskFile.h). The runtime holds one and hands it to
// its workers unless a test installs another (upload/Runtime.h).
//
// cancel: the run's cancel flag; a request in flight fails promptly once it is set.
// The requests return their Status (platform/Status.h): the worker keeps a failure's text as the
// task's last failure, beside the error code it sets.
// Thread safety: the workers of one runtime call a steps object from several threads at once.
#pragma once

#include <atomic>

#include "net/Http.h"
#include "platform/Status.h"
#include "protocol/TaskRecord.h"
#include "store/HashFile.h"

class Runtime;

class ITaskSteps {
 public:
  virtual ~ITaskSteps() = default;
  // Hashes FileName into SHA1Hash (40 upper-case hex digits).
  virtual bool HashTaskFile(TaskRecord& task, IHashProgress& progress) = 0;
  virtual platform::Status RequestDispatch(TaskRecord& task, const std::atomic<bool>& cancel) = 0;
  virtual bool WriteTaskFile(const TaskRecord& task) = 0;
  virtual platform::Status RequestUploadCheck(TaskRecord& task,
                                              const std::atomic<bool>& cancel) = 0;
  virtual platform::Status RequestBlockUpload(TaskRecord& task, IBodyProgress& progress,
                                              const std::atomic<bool>& cancel) = 0;
  virtual platform::Status RequestUploadFinish(TaskRecord& task,
                                               const std::atomic<bool>& cancel) = 0;
  virtual bool DeleteTaskFile(const TaskRecord& task) = 0;
  // The page deletes the task: server-side deletion of a begun upload, task file removed.
  virtual void DeleteServerTask(TaskRecord& task) = 0;
  // Reads a task file of the user's folder into task (which carries UserID and Cookie).
  virtual bool ReadTaskFile(const char* fileName, TaskRecord& task) = 0;
};

class RealTaskSteps : public ITaskSteps {
 public:
  explicit RealTaskSteps(Runtime& runtime) : runtime_(runtime) {}
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

 private:
  Runtime& runtime_;
};
