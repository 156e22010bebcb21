// CUploader: the upload manager behind the control's task methods. It holds the signed-in
// user's id and cookie and the table of tasks keyed by the page's task number (ascending), and
// decides which tasks exist; what a task does once started is upload/WorkerPool.h and
// upload/Worker.h.
//
//   AddTask      false when a task in the table (or in another live manager of this process,
//                for the same user) already has the path, when the number is already used, or
//                when a text does not fit its field; otherwise a new task in Status 1.
//   LoadTask     a task from a task file of the user's folder, in Status 7 with IsUpload set;
//                false when the file cannot be read or its path is held by another live manager.
//   DeleteTask   stops a running task, starts the server-side deletion of a begun unfinished
//                upload, removes the task file, and drops the task from the table.
//   ContinueTask / StopTask  Start / Stop on the task (false for an unknown number).
//   LoadSavedTasks  every "*.udu" of the user's folder, numbered from 10000 in the folder's
//                order (a file that fails to load still uses up its number).
//   Destruction  stops every running task; task files stay on disk.
//
// The manager works through its runtime (upload/Runtime.h): the steps its tasks run, the worker
// pool that starts and stops them, the path claims shared with the other managers, the Env.
//
// Thread safety: called on the page's thread. The lock guards the table's structure only; the
// records are shared with their workers through their own locks (upload/Task.h). Tasks are held
// by shared pointers, so a worker or retry wait still running after DeleteTask or destruction
// keeps its record alive until it ends.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "upload/Mutex.h"
#include "upload/Task.h"

class Runtime;

class CUploader {
 public:
  CUploader(Runtime& runtime, const char* userId, const char* cookie);
  virtual ~CUploader();
  CUploader(const CUploader&) = delete;
  CUploader& operator=(const CUploader&) = delete;

  virtual bool AddTask(int32_t taskId, const char* path, const char* param);
  virtual bool LoadTask(int32_t taskId, const char* fileName);
  virtual bool DeleteTask(int32_t taskId);
  virtual bool ContinueTask(int32_t taskId);
  virtual bool StopTask(int32_t taskId);
  virtual TaskPtr GetTask(int32_t taskId);

  bool LoadSavedTasks();
  bool HasFile(const char* path);
  int GetTaskCount();

  const char* UserID() const { return UserID_; }
  // The numbers of the tasks in the table, ascending.
  std::vector<int32_t> TaskIds();

 private:
  Runtime& runtime_;
  char UserID_[100]{};
  char Cookie_[500]{};
  std::map<int32_t, TaskPtr> tasks_;
  std::set<std::string> paths_;  // the file of every task in tasks_
  Mutex lock_;
};
