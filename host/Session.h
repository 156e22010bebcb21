// A page's part played by the `ferrant` command: a control core, the tasks it added, and the
// poll loop that shows their progress until every task has ended.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "control/UpLoadObj.h"
#include "host/StatusLine.h"

namespace host {

struct ConnectionOptions {
  std::string dispatch = "http://dispatch.corvel.example/index.php";
  std::string user;
  std::string cookie = "ferrant";
  int retry = 3;
  int wait = 5;
  std::vector<std::string> resolve;
};

// The reference server's task parameter, with size and name filled for path.
std::string DefaultParam(const std::string& path);

// Set by SIGINT/SIGTERM; the poll loop then stops every task.
std::atomic<bool>& InterruptFlag();
void InstallInterruptHandlers();

class Session {
 public:
  explicit Session(const ConnectionOptions& options);
  ~Session();

  // InitService; false when the control refused the options.
  bool Init();
  // Adds and continues a task for path; false when the control refused it.
  bool Add(int taskId, const std::string& path, const std::string& param);
  // Continues every task number in [first, first + count).
  void ContinueReloaded();
  // Polls until every task has ended (Status 7 or 9) or an interrupt; draws live lines on a
  // terminal, the raw status lines as they change otherwise. Returns false on interrupt.
  bool Run(bool liveLines, FILE* out);
  // After Run: one line per failed task on err; true when every task completed.
  bool Summarize(FILE* err);

  CUpLoadObjCore& core() { return core_; }
  const std::vector<int>& taskIds() const { return ids_; }
  TaskView View(int taskId);
  TaskView ViewOf(int taskId, const std::string& statusLine);
  bool UploadSeen(int taskId) { return uploadSeen_[taskId]; }
  // Seconds from Add (or ContinueReloaded) to the first poll that saw the task completed.
  double Seconds(int taskId) { return doneAt_[taskId] - startAt_[taskId]; }

 private:
  ConnectionOptions options_;
  CUpLoadObjCore core_;
  std::vector<int> ids_;
  std::map<int, bool> uploadSeen_;
  std::map<int, std::string> lastLine_;
  std::map<int, double> startAt_, doneAt_;
};

int TerminalWidth(FILE* out);

}  // namespace host
