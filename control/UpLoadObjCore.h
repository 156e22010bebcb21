// The scripting control's portable core: the eleven methods of IUpLoadObj on narrow text.
//
// Every front end drives this core and nothing below it: the COM class (control/com/, Windows),
// the `ferrant` command (host/) and the browser host. It converts nothing and includes no OS
// header. It works through the runtime it is given (upload/Runtime.h), which must outlive it.
// Each method does what the page's call does:
//
//   InitService(user, cookie, url, nRetry, nWait)  parse the dispatch URL (https: every request
//        of its tasks over verified TLS; any other scheme: plain HTTP), refuse a host that is
//        not a plain host name (net/WireText.h) of the service domain (likewise the page host,
//        when one is set), store the retry settings, shut down an earlier manager, build the
//        manager, reload saved tasks.
//   AddUpTask  -> 1, or 0 when the number is in use, a text does not fit, or the path already
//        has a task here or in another live control of this process for the same user.
//   DeleteUpTask / ContinueUpTask / StopUpTask  -> 1 or 0
//   GetTaskInfo(id, &line) -> false (line "NULL") for an unknown number; the status line:
//        FileName=..|FileSize=..|PickCode=..|Status=..|ErrCode=..|ServerErrCode=..|ServerErrMsg=..
//        then by state: 3 "|Total=<percent>"; 6 "|Total=..|Offset=..|Elapsed=..|TotalElapsed=..";
//        70 "|Retry=..|Wait=..".
//   GetTaskCount, GetVersionInfo ("Tavik Upload Plug-in v1.5.6.6")
//   SelectFileList / GetFileList / DeleteFileList  the file list of the open-file dialog, which
//        the glue supplies as a FileChooser (null: SelectFileList leaves "NULL").
//   OnDestroy  the control's window is destroyed: the manager is shut down (running tasks stop,
//        task files stay); later task methods find no manager.
//
// Beyond the page's methods, what front ends need:
//   GetTaskState            what GetTaskInfo tells, typed (TaskState), with the reason of the
//                           task's last failure in words, which the page's line has no room for;
//                           a poll as GetTaskInfo is (a queued task may start)
//   TaskIds                 the numbers of the tasks in the table, ascending
//   WaitForChange           waits for the next change of a task's state (a new Status, a run
//                           ended, a slot given back) or a time-out: a poll then finds it at
//                           once; figures within a state (bytes sent, seconds waited) are not
//                           counted, a front end reads them at its own pace
//   WaitForFileDialog       this control's file dialog has ended (its list is published)
//   WaitUntilIdle           no worker or deletion thread of the runtime is alive
//   Shutdown                OnDestroy, then WaitUntilIdle: nothing of this control still runs
//   TaskFileFolder          where the user's task files go, to name it in messages
//
// Refusals: a string longer than its buffer (user id 99, cookie 499, URL 199, path and task
// parameter 1023 characters) is refused whole: InitService does nothing, AddUpTask answers 0.
// Before InitService and after OnDestroy every task method answers 0, "NULL" or 0 tasks.
//
// Thread safety: the methods are called on the page's (apartment) thread only, except
// WaitForChange, which any thread may call. The file list is
// shared with the dialog thread, which keeps the core's file-list state alive until it ends.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "protocol/TaskCodes.h"

class CUploader;
class Runtime;
namespace platform {
class Env;
}  // namespace platform

// Shows the open-file dialog. filterItems: the NUL-separated filter list as items (description,
// pattern, ...). On a selection returns true and the dialog's buffer: NUL-separated texts ending
// with an empty text (one full path; or a folder and the names in it). False on cancel/failure.
using FileChooser =
    std::function<bool(const std::vector<std::string>& filterItems, std::string* selection)>;

// The list text built from a dialog selection: "path*size" entries joined by "|", or "NULL"
// when nothing fits. Exposed for tests.
std::string BuildFileListText(platform::Env& env, const std::string& selection);

// A task's state: the fields of its status line, typed, and what the line cannot hold. The
// progress figures are those the line shows in the task's state (total -1 when it shows none).
struct TaskState {
  std::string fileName;
  int64_t fileSize = 0;
  std::string pickCode;
  int status = 0;          // a TaskStatus; 0 for a number not in the table
  int errCode = kErrNone;  // a TaskError
  int serverErrCode = 0;
  std::string serverErrMsg;
  int64_t total = -1;    // Status 3: percent hashed; Status 6: position in the file
  int64_t offset = 0;    // Status 6: where this attempt began
  int elapsed = 0;       // Status 6: seconds of this attempt
  int totalElapsed = 0;  // Status 6: seconds of every attempt
  int retry = 0;         // Status 70: the retry under way
  int wait = 0;          // Status 70: seconds waited
  // Completed without sending data: the service already held the file.
  bool alreadyOnServer = false;
  // Why the step that set errCode failed, in words; empty until a step fails.
  std::string lastFailure;

  bool operator==(const TaskState&) const = default;
};

// The page's status line of a state (GetTaskInfo's text).
std::string FormatStatusLine(const TaskState& state);

class CUpLoadObjCore {
 public:
  explicit CUpLoadObjCore(Runtime& runtime);
  ~CUpLoadObjCore();
  CUpLoadObjCore(const CUpLoadObjCore&) = delete;
  CUpLoadObjCore& operator=(const CUpLoadObjCore&) = delete;

  void InitService(const char* userId, const char* cookie, const char* dispatchUrl, int nRetry,
                   int nWait);
  int AddUpTask(int taskId, const char* filePath, const char* taskParam);
  int DeleteUpTask(int taskId);
  int ContinueUpTask(int taskId);
  int StopUpTask(int taskId);
  bool GetTaskInfo(int taskId, std::string* line);
  int GetTaskCount();
  static const char* GetVersionInfo();

  void SelectFileList(const char* filter);
  std::string GetFileList();
  void DeleteFileList();

  void OnDestroy();

  // For the front ends (see above).
  bool GetTaskState(int taskId, TaskState* state);
  std::vector<int> TaskIds();
  // Returns the runtime's change count; waits while it equals seen, at most timeoutMs.
  uint64_t WaitForChange(uint64_t seen, int timeoutMs);
  bool WaitForFileDialog(int timeoutMs);
  bool WaitUntilIdle(int timeoutMs);
  // A front end's wait at its end: stopped workers end within one read, deletions within their
  // grace period.
  static constexpr int kShutdownWaitMs = 10000;
  bool Shutdown(int timeoutMs = kShutdownWaitMs);

  // Glue settings.
  void SetFileChooser(FileChooser chooser);
  // The host of the page that hosts the control (empty: not hosted in a page). When set,
  // InitService refuses unless it ends with the service domain suffix.
  void SetPageHost(const std::string& host);

  bool Initialized() const { return initialized_; }
  // The folder that holds the user's task files (made when a task file is written), to name it
  // in messages; empty before InitService or when the user id names no folder.
  std::string TaskFileFolder() const;

 private:
  struct FileListState;
  Runtime& runtime_;
  bool initialized_ = false;
  std::unique_ptr<CUploader> uploader_;
  std::shared_ptr<FileListState> fileList_;
  FileChooser chooser_;
  std::string pageHost_;
};
