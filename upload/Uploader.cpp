#include "upload/Uploader.h"

#include <cstring>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>

#include "platform/Bounded.h"
#include "store/DataFolder.h"
#include "upload/TaskSteps.h"
#include "upload/Worker.h"

namespace {

// Local paths held by the live managers of this process, per user, so that two controls in one
// process never give one file (and its task file) two tasks and two workers.
class PathClaims {
 public:
  bool Claim(const CUploader* owner, const std::string& user, const std::string& path) {
    std::lock_guard<std::mutex> g(m_);
    for (const Entry& e : entries_) {
      if (e.user == user && e.path == path) return e.owner == owner;
    }
    entries_.insert({owner, user, path});
    return true;
  }
  void Release(const CUploader* owner, const std::string& user, const std::string& path) {
    std::lock_guard<std::mutex> g(m_);
    entries_.erase({owner, user, path});
  }

 private:
  struct Entry {
    const CUploader* owner;
    std::string user;
    std::string path;
    bool operator<(const Entry& o) const {
      return std::tie(owner, user, path) < std::tie(o.owner, o.user, o.path);
    }
  };
  std::mutex m_;
  std::set<Entry> entries_;
};

PathClaims& Claims() {
  static PathClaims* claims = new PathClaims;
  return *claims;
}

}  // namespace

CUploader::CUploader(const char* userId, const char* cookie) {
  platform::CopyText(UserID_, userId ? userId : "");
  platform::CopyText(Cookie_, cookie ? cookie : "");
}

CUploader::~CUploader() {
  MutexGuard g(lock_);
  for (auto& [id, task] : tasks_) {
    if (task->Snapshot().Running) Stop(task);
    Claims().Release(this, UserID_, task->Snapshot().FileName);
  }
  tasks_.clear();
}

bool CUploader::AddTask(int32_t taskId, const char* path, const char* param) {
  if (path == nullptr || HasFile(path)) return false;
  auto task = std::make_shared<CTask>();
  if (!SetupNewTask(task->Record, UserID_, Cookie_, path, param)) return false;
  MutexGuard g(lock_);
  if (tasks_.count(taskId)) return false;
  if (!Claims().Claim(this, UserID_, path)) return false;
  tasks_.emplace(taskId, std::move(task));
  return true;
}

bool CUploader::LoadTask(int32_t taskId, const char* fileName) {
  auto task = std::make_shared<CTask>();
  TaskRecord& rec = task->Record;
  platform::CopyText(rec.UserID, UserID_);
  platform::CopyText(rec.Cookie, Cookie_);
  InitTask(rec);
  if (!CurrentTaskSteps().ReadTaskFile(fileName, rec)) return false;
  ChooseBlockSize(rec);
  rec.IsUpload = true;
  rec.Status = kStatusStopped;
  MutexGuard g(lock_);
  if (tasks_.count(taskId)) return false;
  if (!Claims().Claim(this, UserID_, rec.FileName)) return false;
  tasks_.emplace(taskId, std::move(task));
  return true;
}

bool CUploader::DeleteTask(int32_t taskId) {
  MutexGuard g(lock_);
  auto it = tasks_.find(taskId);
  if (it == tasks_.end()) return false;
  TaskPtr task = it->second;
  if (task->Snapshot().Running) Stop(task);
  TaskRecord rec = task->Snapshot();
  CurrentTaskSteps().DeleteServerTask(rec);
  {
    std::lock_guard<std::mutex> tg(task->Lock);
    task->Record.Deleted = true;
  }
  Claims().Release(this, UserID_, rec.FileName);
  tasks_.erase(it);
  return true;
}

bool CUploader::ContinueTask(int32_t taskId) {
  TaskPtr task = GetTask(taskId);
  return task ? Start(task) : false;
}

bool CUploader::StopTask(int32_t taskId) {
  TaskPtr task = GetTask(taskId);
  return task ? Stop(task) : false;
}

TaskPtr CUploader::GetTask(int32_t taskId) {
  MutexGuard g(lock_);
  auto it = tasks_.find(taskId);
  return it == tasks_.end() ? nullptr : it->second;
}

bool CUploader::LoadSavedTasks() {
  std::string folder;
  if (!DataFolder(UserID_, &folder)) return false;
  std::vector<std::string> names = FindTaskFiles(folder);
  if (names.empty()) return false;
  int32_t number = 10000;
  for (const std::string& name : names) LoadTask(number++, name.c_str());
  return true;
}

bool CUploader::HasFile(const char* path) {
  MutexGuard g(lock_);
  for (auto& [id, task] : tasks_) {
    std::lock_guard<std::mutex> tg(task->Lock);
    if (std::strncmp(task->Record.FileName, path, sizeof(task->Record.FileName)) == 0) {
      return true;
    }
  }
  return false;
}

int CUploader::GetTaskCount() {
  MutexGuard g(lock_);
  return static_cast<int>(tasks_.size());
}
