// The page's part, played by the `ferrant` command: a control core on the command's runtime,
// the tasks it added or took over from the task files, and the poll loop that shows their
// progress until every task ended. The loop polls when the core reports a change (a step begun,
// a run ended, a slot freed), and at the latest every 20 ms for the progress figures.
//
// A Session is used on one thread (the control's methods are the page's thread's). Its
// destructor shuts the control down as the control's window destruction does (running tasks
// stop, task files stay) and waits for its threads to end, so that none runs while the process
// exits.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "control/UpLoadObjCore.h"
#include "host/ErrorMeaning.h"
#include "host/InterruptWatch.h"
#include "host/Progress.h"
#include "upload/Runtime.h"

namespace host {

// How the command's requests reach the servers, beyond the user's proxy setting.
struct NetworkOptions {
  std::vector<std::string> resolve;  // --resolve HOST:PORT:ADDR
  std::string caFile;                // --cacert: PEM roots trusted instead of the system's
};

struct ConnectionOptions {
  std::string dispatch = "https://dispatch.corvel.example/index.php";
  std::string user;
  std::string cookie = "ferrant";
  int retry = 3;
  int wait = 5;
  NetworkOptions network;
};

// The reference server's task parameter template.
constexpr const char* kDefaultParamTemplate =
    "sha1={sha1}&size={size}&name={name}&pick_code={pick_code}";
// A task parameter for path: "{size}" and "{name}" in the template replaced by the file's size
// in bytes (0 when it cannot be read) and its name; "{sha1}" and "{pick_code}" are left to the
// control. Bytes of the name that would change the meaning of the request (query separators,
// spaces, '%', '+', control characters) are sent as '_'; the control itself only percent-encodes
// blanks and control bytes.
std::string FillParam(const std::string& paramTemplate, const std::string& path);
std::string DefaultParam(const std::string& path);

// How Run shows progress.
enum class Display {
  kLive,          // one line per task, redrawn in place (a terminal)
  kStatusLines,   // "<number> <status line>" whenever a task's line changes
  kStateChanges,  // the task's line in words whenever its state changes (logs)
};

// Columns and rows of the terminal behind out (80 x 24 when it is not one).
int TerminalWidth(FILE* out);
int TerminalRows(FILE* out);

class Session {
 public:
  // interrupts: SIGINT/SIGTERM of the command; the poll loop then stops every task.
  Session(Runtime& runtime, const ConnectionOptions& options, const InterruptWatch& interrupts);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // InitService; false when the control refused the options. Notes the numbers of the tasks it
  // reloaded from the task files.
  bool Init();
  // Adds and continues a task for path. A path that a reloaded task already holds (an upload
  // begun earlier and stopped) continues that task instead, from where the server stands. A
  // path given twice is added once. False (and noted for Summarize) when the control refused.
  bool Add(int taskId, const std::string& path, const std::string& param);
  // Continues every reloaded task.
  void ContinueSaved();
  // Numbers of the tasks reloaded by Init, ascending.
  const std::vector<int>& SavedTaskIds() const { return saved_; }

  // Polls until every task has ended (stopped or completed) or an interrupt, showing progress
  // on out.
  // On an interrupt it stops every task and returns false.
  bool Run(Display display, FILE* out);
  // After Run: one line per failed or refused task on err; true when every task completed.
  bool Summarize(FILE* err);

  CUpLoadObjCore& core() { return core_; }
  const std::vector<int>& taskIds() const { return ids_; }
  TaskView View(int taskId);
  // Seconds from Add (or ContinueSaved) to the first poll that saw the task completed.
  double Seconds(int taskId);

 private:
  // What the poll loop knows of a task it tracks, in the order the tasks were added.
  struct Tracked {
    int id = 0;
    bool polled = false;  // view holds a poll's answer
    TaskView view;
    RateMeter rate;
    double startAt = 0, doneAt = 0;
  };

  void Track(int taskId, const std::string& path);
  TaskDisplay DisplayOf(const Tracked& t);
  std::vector<std::string> LiveLines(int width, int rows);

  ConnectionOptions options_;
  const InterruptWatch& interrupts_;
  CUpLoadObjCore core_;
  std::vector<int> ids_;
  std::vector<int> saved_;
  std::map<std::string, int> trackedPaths_;  // the file of each task in ids_
  std::map<std::string, int> savedPaths_;    // the file of each task in saved_, from Init
  std::vector<std::string> refused_;
  // One per entry of ids_, in the same order; before firstOpen_ every task has ended.
  std::vector<Tracked> tracked_;
  size_t firstOpen_ = 0;
};

// Seconds on a steady clock.
double NowSeconds();

}  // namespace host
