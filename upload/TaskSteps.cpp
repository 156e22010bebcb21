#include "upload/TaskSteps.h"

#include <atomic>
#include <cctype>

#include "platform/Bounded.h"
#include "platform/Diagnostics.h"
#include "protocol/Requests.h"
#include "store/Sha1.h"
#include "store/TaskFile.h"

namespace {

SavedTask ToSaved(const TaskRecord& task) {
  SavedTask saved{};
  platform::CopyText(saved.UserID, task.UserID);
  platform::CopyText(saved.FileName, task.FileName);
  saved.FileSize = task.FileSize;
  saved.IsUpload = task.IsUpload;
  platform::CopyText(saved.SHA1Hash, task.SHA1Hash);
  platform::CopyText(saved.Host, task.Host);
  saved.Port = task.Port;
  platform::CopyText(saved.ParamStr, task.ParamStr);
  platform::CopyText(saved.PickCode, task.PickCode);
  saved.LastWriteTime = task.LastWriteTime;
  return saved;
}

class RealTaskSteps : public ITaskSteps {
 public:
  bool HashTaskFile(TaskRecord& task, IHashProgress& progress) override {
    platform::ConsoleOutput("Start Hash\n");
    CSha1Digest digest;
    if (!HashFile(task.FileName, digest, progress)) return false;
    digest.Final();
    char hex[41];
    if (!digest.HexDigest(hex)) return false;
    for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    platform::CopyText(task.SHA1Hash, hex);
    return true;
  }
  bool RequestDispatch(TaskRecord& task) override { return ::RequestDispatch(task); }
  bool WriteTaskFile(const TaskRecord& task) override { return ::WriteTaskFile(ToSaved(task)); }
  bool RequestUploadCheck(TaskRecord& task) override { return ::RequestUploadCheck(task); }
  bool RequestBlockUpload(TaskRecord& task, IBodyProgress& progress) override {
    return ::RequestBlockUpload(task, progress);
  }
  bool RequestUploadFinish(TaskRecord& task) override { return ::RequestUploadFinish(task); }
  bool DeleteTaskFile(const TaskRecord& task) override {
    return ::DeleteTaskFile(task.UserID, task.FileName);
  }
  void DeleteServerTask(TaskRecord& task) override { ::DeleteServerTask(task); }
  bool ReadTaskFile(const char* fileName, TaskRecord& task) override {
    SavedTask saved{};
    platform::CopyText(saved.UserID, task.UserID);
    if (!::ReadTaskFile(fileName, saved)) return false;
    platform::CopyText(task.FileName, saved.FileName);
    task.FileSize = saved.FileSize;
    platform::CopyText(task.SHA1Hash, saved.SHA1Hash);
    platform::CopyText(task.Host, saved.Host);
    task.Port = saved.Port;
    platform::CopyText(task.ParamStr, saved.ParamStr);
    platform::CopyText(task.PickCode, saved.PickCode);
    task.LastWriteTime = saved.LastWriteTime;
    return true;
  }
};

std::atomic<ITaskSteps*> g_test_steps{nullptr};

}  // namespace

ITaskSteps& DefaultTaskSteps() {
  static RealTaskSteps* steps = new RealTaskSteps;
  return *steps;
}

ITaskSteps& CurrentTaskSteps() {
  ITaskSteps* s = g_test_steps.load(std::memory_order_acquire);
  return s ? *s : DefaultTaskSteps();
}

void SetTaskStepsForTest(ITaskSteps* steps) {
  g_test_steps.store(steps, std::memory_order_release);
}
