#include "upload/Uploader.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "platform/Bounded.h"
#include "store/DataFolder.h"
#include "upload/Runtime.h"

CUploader::CUploader(Runtime& runtime, const char* userId, const char* cookie) : runtime_(runtime) {
  platform::CopyText(UserID_, userId ? userId : "");
  platform::CopyText(Cookie_, cookie ? cookie : "");
}

CUploader::~CUploader() {
  MutexGuard g(lock_);
  for (auto& [id, task] : tasks_) {
    if (task->Snapshot().Running) runtime_.workers.Stop(task);
    runtime_.claims.Release(this, UserID_, task->Snapshot().FileName);
  }
  tasks_.clear();
  paths_.clear();
}

bool CUploader::AddTask(int32_t taskId, const char* path, const char* param) {
  if (path == nullptr || HasFile(path)) return false;
  auto task = std::make_shared<CTask>();
  if (!SetupNewTask(runtime_.env, task->Record, UserID_, Cookie_, path, param)) return false;
  MutexGuard g(lock_);
  if (tasks_.count(taskId)) return false;
  if (!runtime_.claims.Claim(this, UserID_, path)) return false;
  tasks_.emplace(taskId, std::move(task));
  paths_.insert(path);
  return true;
}

bool CUploader::LoadTask(int32_t taskId, const char* fileName) {
  auto task = std::make_shared<CTask>();
  TaskRecord& rec = task->Record;
  platform::CopyText(rec.UserID, UserID_);
  platform::CopyText(rec.Cookie, Cookie_);
  InitTask(rec);
  if (!runtime_.steps().ReadTaskFile(fileName, rec)) return false;
  ChooseBlockSize(rec);
  rec.IsUpload = true;
  rec.Status = kStatusStopped;
  MutexGuard g(lock_);
  if (tasks_.count(taskId)) return false;
  if (!runtime_.claims.Claim(this, UserID_, rec.FileName)) return false;
  paths_.insert(rec.FileName);
  tasks_.emplace(taskId, std::move(task));
  return true;
}

bool CUploader::DeleteTask(int32_t taskId) {
  MutexGuard g(lock_);
  auto it = tasks_.find(taskId);
  if (it == tasks_.end()) return false;
  TaskPtr task = it->second;
  if (task->Snapshot().Running) runtime_.workers.Stop(task);
  TaskRecord rec = task->Snapshot();
  runtime_.steps().DeleteServerTask(rec);
  {
    std::lock_guard<std::mutex> tg(task->Lock);
    task->Record.Deleted = true;
  }
  runtime_.claims.Release(this, UserID_, rec.FileName);
  paths_.erase(rec.FileName);
  tasks_.erase(it);
  return true;
}

bool CUploader::ContinueTask(int32_t taskId) {
  TaskPtr task = GetTask(taskId);
  return task ? runtime_.workers.Start(task) : false;
}

bool CUploader::StopTask(int32_t taskId) {
  TaskPtr task = GetTask(taskId);
  return task ? runtime_.workers.Stop(task) : false;
}

TaskPtr CUploader::GetTask(int32_t taskId) {
  MutexGuard g(lock_);
  auto it = tasks_.find(taskId);
  return it == tasks_.end() ? nullptr : it->second;
}

bool CUploader::LoadSavedTasks() {
  std::string folder;
  if (!DataFolder(runtime_.env, UserID_, &folder)) return false;
  std::vector<std::string> names = FindTaskFiles(runtime_.env, folder);
  if (names.empty()) return false;
  int32_t number = 10000;
  for (const std::string& name : names) LoadTask(number++, name.c_str());
  return true;
}

bool CUploader::HasFile(const char* path) {
  MutexGuard g(lock_);
  return paths_.count(path) != 0;
}

int CUploader::GetTaskCount() {
  MutexGuard g(lock_);
  return static_cast<int>(tasks_.size());
}

std::vector<int32_t> CUploader::TaskIds() {
  MutexGuard g(lock_);
  std::vector<int32_t> ids;
  ids.reserve(tasks_.size());
  for (const auto& entry : tasks_) ids.push_back(entry.first);
  return ids;
}
