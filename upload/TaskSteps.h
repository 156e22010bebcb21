// The steps a worker runs and the manager's server-side deletion, behind one seam so that
// tests can script them (succeed, fail, block until released) without a network.
//
// DefaultTaskSteps() runs the real ones: hashing (store/), the protocol requests (protocol/),
// the task file (store/TaskFile.h). SetTaskStepsForTest installs a fake; it must outlive every
// worker that uses it (WaitForIdleWorkers, upload/Worker.h).
#pragma once

#include "net/Http.h"
#include "protocol/TaskRecord.h"
#include "store/HashFile.h"

class ITaskSteps {
 public:
  virtual ~ITaskSteps() = default;
  // Hashes FileName into SHA1Hash (40 upper-case hex digits).
  virtual bool HashTaskFile(TaskRecord& task, IHashProgress& progress) = 0;
  virtual bool RequestDispatch(TaskRecord& task) = 0;
  virtual bool WriteTaskFile(const TaskRecord& task) = 0;
  virtual bool RequestUploadCheck(TaskRecord& task) = 0;
  virtual bool RequestBlockUpload(TaskRecord& task, IBodyProgress& progress) = 0;
  virtual bool RequestUploadFinish(TaskRecord& task) = 0;
  virtual bool DeleteTaskFile(const TaskRecord& task) = 0;
  // The page deletes the task: server-side deletion of a begun upload, task file removed.
  virtual void DeleteServerTask(TaskRecord& task) = 0;
  // Reads a task file of the user's folder into task (which carries UserID and Cookie).
  virtual bool ReadTaskFile(const char* fileName, TaskRecord& task) = 0;
};

ITaskSteps& DefaultTaskSteps();
ITaskSteps& CurrentTaskSteps();
void SetTaskStepsForTest(ITaskSteps* steps);
