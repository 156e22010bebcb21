#include "host/Session.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>

namespace host {
namespace {

constexpr int kPollMs = 20;             // the longest wait for a change: progress figures
constexpr double kRedrawSeconds = 0.2;  // live lines are redrawn five times a second

bool Ended(const TaskView& v) {
  return v.status == kStatusStopped || v.status == kStatusCompleted;
}

}  // namespace

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string FillParam(const std::string& paramTemplate, const std::string& path) {
  std::error_code ec;
  auto size = std::filesystem::file_size(path, ec);
  if (ec) size = 0;
  std::string name = path.substr(path.find_last_of('/') + 1);
  for (char& c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || c == '&' || c == '=' || c == '?' || c == '#' || c == ' ' ||
        c == '%' || c == '+') {
      c = '_';
    }
  }
  std::string out;
  for (size_t pos = 0; pos < paramTemplate.size();) {
    if (paramTemplate.compare(pos, 6, "{size}") == 0) {
      out += std::to_string(size);
      pos += 6;
    } else if (paramTemplate.compare(pos, 6, "{name}") == 0) {
      out += name;
      pos += 6;
    } else {
      out += paramTemplate[pos++];
    }
  }
  return out;
}

std::string DefaultParam(const std::string& path) {
  return FillParam(kDefaultParamTemplate, path);
}

int TerminalWidth(FILE* out) {
  winsize ws{};
  if (ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

int TerminalRows(FILE* out) {
  winsize ws{};
  if (ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0) return ws.ws_row;
  return 24;
}

Session::Session(Runtime& runtime, const ConnectionOptions& options,
                 const InterruptWatch& interrupts)
    : options_(options), interrupts_(interrupts), core_(runtime) {}

Session::~Session() {
  core_.Shutdown();
}

bool Session::Init() {
  core_.InitService(options_.user.c_str(), options_.cookie.c_str(), options_.dispatch.c_str(),
                    options_.retry, options_.wait);
  if (!core_.Initialized()) return false;
  // Every task in the table right now came from a task file.
  saved_ = core_.TaskIds();
  for (int id : saved_) savedPaths_.emplace(View(id).fileName, id);
  return true;
}

void Session::Track(int taskId, const std::string& path) {
  ids_.push_back(taskId);
  trackedPaths_.emplace(path, taskId);
  Tracked& t = tracked_.emplace_back();
  t.id = taskId;
  t.startAt = NowSeconds();
  // Without a worker thread the task keeps its slot until stopped; the stop gives it back and
  // leaves the task in Status 7 with its error code.
  if (core_.ContinueUpTask(taskId) != 1) core_.StopUpTask(taskId);
}

bool Session::Add(int taskId, const std::string& path, const std::string& param) {
  if (trackedPaths_.count(path) != 0) return true;
  if (auto saved = savedPaths_.find(path); saved != savedPaths_.end()) {
    Track(saved->second, path);
    return true;
  }
  if (core_.AddUpTask(taskId, path.c_str(), param.c_str()) != 1) {
    refused_.push_back(path);
    return false;
  }
  Track(taskId, path);
  return true;
}

void Session::ContinueSaved() {
  std::set<int> tracked(ids_.begin(), ids_.end());
  for (int id : saved_) {
    if (tracked.count(id) == 0) Track(id, View(id).fileName);
  }
}

TaskView Session::View(int taskId) {
  TaskView v;
  core_.GetTaskState(taskId, &v);
  return v;
}

double Session::Seconds(int taskId) {
  for (const Tracked& t : tracked_) {
    if (t.id == taskId) return t.doneAt - t.startAt;
  }
  return 0;
}

TaskDisplay Session::DisplayOf(const Tracked& t) {
  TaskDisplay d;
  d.view = t.view;
  d.alreadyOnServer = d.view.alreadyOnServer;
  d.retryWaitSeconds = options_.wait;
  d.bytesPerSecond = t.rate.BytesPerSecond();
  return d;
}

std::vector<std::string> Session::LiveLines(int width, int rows) {
  std::vector<const Tracked*> shown;
  if (rows < 2) rows = 2;
  for (const Tracked& t : tracked_) {
    // More tasks than the terminal has rows: the ones still under way, and a count of the rest.
    const bool fits = static_cast<int>(tracked_.size()) <= rows;
    if (fits || (!Ended(t.view) && static_cast<int>(shown.size()) < rows - 1)) shown.push_back(&t);
  }
  std::vector<std::string> lines;
  for (const Tracked* t : shown) lines.push_back(RenderTaskLine(DisplayOf(*t), width));
  if (shown.size() < tracked_.size()) {
    int done = 0, ended = 0;
    for (const Tracked& t : tracked_) {
      done += t.view.status == kStatusCompleted;
      ended += Ended(t.view);
    }
    char text[160];
    std::snprintf(text, sizeof text, "and %zu more: %d done, %d stopped or failed, %zu to go",
                  tracked_.size() - shown.size(), done, ended - done,
                  tracked_.size() - shown.size() - static_cast<size_t>(ended));
    lines.push_back(FitColumns(text, width));
  }
  return lines;
}

bool Session::Run(Display display, FILE* out) {
  const bool live = display == Display::kLive;
  constexpr int kLogWidth = 100;
  size_t drawn = 0;
  double nextDraw = 0;
  uint64_t seen = 0;
  for (;;) {
    const bool interrupted = interrupts_.Interrupted();
    if (interrupted) {
      for (int id : ids_) core_.StopUpTask(id);
    }
    // Only the tasks that can still change are polled: an ended task stays as it is, and the
    // queue starts in order, so after a task that is still queued the later ones wait too.
    while (!interrupted && firstOpen_ < tracked_.size() && tracked_[firstOpen_].polled &&
           Ended(tracked_[firstOpen_].view)) {
      ++firstOpen_;
    }
    bool allEnded = true;
    bool queueFull = false;
    for (size_t i = interrupted ? 0 : firstOpen_; i < tracked_.size(); ++i) {
      Tracked& t = tracked_[i];
      if (t.polled && !interrupted) {
        if (Ended(t.view)) continue;
        if (queueFull && t.view.status == kStatusStarting) {
          allEnded = false;
          continue;
        }
      }
      TaskView polled;
      core_.GetTaskState(t.id, &polled);
      const bool newLine = !t.polled || polled != t.view;
      const int before = t.view.status;
      if (newLine) t.view = std::move(polled);
      const TaskView& v = t.view;
      const bool newState = !t.polled || before != v.status;
      t.polled = true;
      const double now = NowSeconds();
      if (v.status == kStatusUploading) {
        t.rate.Add(now, v.total < 0 ? v.offset : v.total);
      } else {
        t.rate.Reset();
      }
      if (v.status == kStatusCompleted && t.doneAt == 0) t.doneAt = now;
      if (!Ended(v)) allEnded = false;
      if (v.status == kStatusStarting) queueFull = true;
      if (display == Display::kStatusLines && newLine) {
        std::fprintf(out, "%d %s\n", t.id, FormatStatusLine(v).c_str());
      } else if (display == Display::kStateChanges && newState) {
        std::fprintf(out, "%s\n", RenderTaskLine(DisplayOf(t), kLogWidth).c_str());
      }
    }
    const double now = NowSeconds();
    if (live && (allEnded || interrupted || now >= nextDraw)) {
      // One column is left free, so that no line wraps and the cursor-up count stays right.
      std::vector<std::string> lines = LiveLines(TerminalWidth(out) - 1, TerminalRows(out) - 1);
      if (drawn > 0) std::fprintf(out, "\x1b[%zuA", drawn);
      for (const std::string& l : lines) std::fprintf(out, "\r\x1b[2K%s\n", l.c_str());
      std::fputs("\x1b[J", out);
      drawn = lines.size();
      nextDraw = now + kRedrawSeconds;
    }
    std::fflush(out);
    if (interrupted) return false;
    if (allEnded) return true;
    seen = core_.WaitForChange(seen, kPollMs);
  }
}

bool Session::Summarize(FILE* err) {
  bool ok = refused_.empty();
  for (const std::string& path : refused_) {
    std::fprintf(err,
                 "ferrant: %s: the control refused the task (a path or task parameter longer "
                 "than 1023 bytes?)\n",
                 path.c_str());
  }
  for (int id : ids_) {
    const TaskView v = View(id);
    if (v.status == kStatusCompleted) continue;
    ok = false;
    if (v.status == kStatusStopped && (v.errCode == kErrNone || v.errCode == kErrRestarted)) {
      std::fprintf(err, "task %d (%s): stopped before it completed\n", id, v.fileName.c_str());
      continue;
    }
    std::fprintf(err, "task %d (%s): error %d: %s", id, v.fileName.c_str(), v.errCode,
                 ErrorMeaning(v.errCode));
    if (v.errCode == kErrTaskFile) {
      const std::string folder = core_.TaskFileFolder();
      std::fprintf(err, " in %s",
                   folder.empty() ? "(no data folder: is $HOME set?)" : folder.c_str());
    }
    if (!v.lastFailure.empty()) {
      std::fprintf(err, ": %s", v.lastFailure.c_str());
    } else if (v.serverErrCode != 0) {
      std::fprintf(err, " (server status %d: %s)", v.serverErrCode, v.serverErrMsg.c_str());
    }
    std::fprintf(err, "\n");
  }
  return ok;
}

}  // namespace host
