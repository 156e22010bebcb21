#include "upload/TaskSteps.h"

#include <cctype>

#include "platform/Bounded.h"
#include "protocol/Requests.h"
#include "protocol/ServerDelete.h"
#include "store/Sha1.h"
#include "store/TaskFile.h"
#include "upload/Runtime.h"

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

}  // namespace

bool RealTaskSteps::HashTaskFile(TaskRecord& task, IHashProgress& progress) {
  runtime_.diagnostics.ConsoleOutput("Start Hash\n");
  CSha1Digest digest;
  if (!HashFile(runtime_.env, runtime_.hashGate, task.FileName, digest, progress)) return false;
  digest.Final();
  char hex[41];
  if (!digest.HexDigest(hex)) return false;
  for (char& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  platform::CopyText(task.SHA1Hash, hex);
  return true;
}

platform::Status RealTaskSteps::RequestDispatch(TaskRecord& task, const std::atomic<bool>& cancel) {
  return ::RequestDispatch(Call{runtime_.transport, &cancel}, runtime_.dispatch, task);
}

bool RealTaskSteps::WriteTaskFile(const TaskRecord& task) {
  return ::WriteTaskFile(runtime_.env, ToSaved(task));
}

platform::Status RealTaskSteps::RequestUploadCheck(TaskRecord& task,
                                                   const std::atomic<bool>& cancel) {
  return ::RequestUploadCheck(Call{runtime_.transport, &cancel}, task);
}

platform::Status RealTaskSteps::RequestBlockUpload(TaskRecord& task, IBodyProgress& progress,
                                                   const std::atomic<bool>& cancel) {
  return ::RequestBlockUpload(Call{runtime_.transport, &cancel}, task, progress);
}

platform::Status RealTaskSteps::RequestUploadFinish(TaskRecord& task,
                                                    const std::atomic<bool>& cancel) {
  return ::RequestUploadFinish(Call{runtime_.transport, &cancel}, task);
}

bool RealTaskSteps::DeleteTaskFile(const TaskRecord& task) {
  return ::DeleteTaskFile(runtime_.env, task.UserID, task.FileName);
}

void RealTaskSteps::DeleteServerTask(TaskRecord& task) {
  ::DeleteServerTask(runtime_.transport, runtime_.dispatch, runtime_.deletions, task);
}

bool RealTaskSteps::ReadTaskFile(const char* fileName, TaskRecord& task) {
  SavedTask saved{};
  platform::CopyText(saved.UserID, task.UserID);
  if (!::ReadTaskFile(runtime_.env, fileName, saved)) return false;
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
