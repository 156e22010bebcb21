#include "host/Session.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "platform/ProcessState.h"
#include "platform/Resolver.h"
#include "upload/Worker.h"

namespace host {
namespace {
double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
}  // namespace

std::atomic<bool>& InterruptFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

namespace {
void OnInterrupt(int) {
  InterruptFlag().store(true);
}
}  // namespace

void InstallInterruptHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

std::string DefaultParam(const std::string& path) {
  int64_t size = 0;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f) {
    if (fseeko(f, 0, SEEK_END) == 0) size = ftello(f);
    std::fclose(f);
  }
  std::string name = path.substr(path.find_last_of('/') + 1);
  std::string safe;
  for (char c : name) safe += (c == '&' || c == '=' || c == '?' || c == ' ' || c == '#') ? '_' : c;
  return "sha1={sha1}&size=" + std::to_string(size) + "&name=" + safe + "&pick_code={pick_code}";
}

int TerminalWidth(FILE* out) {
  winsize ws{};
  if (ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

Session::Session(const ConnectionOptions& options) : options_(options) {
  for (const std::string& r : options_.resolve) platform::AddResolveOverrideSpec(r);
}

Session::~Session() {
  core_.OnDestroy();
  WaitForIdleWorkers(3000);
}

bool Session::Init() {
  core_.InitService(options_.user.c_str(), options_.cookie.c_str(), options_.dispatch.c_str(),
                    options_.retry, options_.wait);
  return core_.Initialized();
}

bool Session::Add(int taskId, const std::string& path, const std::string& param) {
  if (core_.AddUpTask(taskId, path.c_str(), param.c_str()) != 1) return false;
  ids_.push_back(taskId);
  startAt_[taskId] = Now();
  core_.ContinueUpTask(taskId);
  return true;
}

void Session::ContinueReloaded() {
  int count = core_.GetTaskCount();
  for (int id = 10000; static_cast<int>(ids_.size()) < count && id < 10000 + 100000; ++id) {
    std::string line;
    if (!core_.GetTaskInfo(id, &line)) continue;
    ids_.push_back(id);
    startAt_[id] = Now();
    core_.ContinueUpTask(id);
  }
}

TaskView Session::View(int taskId) {
  std::string line;
  core_.GetTaskInfo(taskId, &line);
  return ViewOf(taskId, line);
}

TaskView Session::ViewOf(int taskId, const std::string& line) {
  TaskView v = ParseStatusLine(line);
  if (v.status == 5 || v.status == 6 || v.status == 8) uploadSeen_[taskId] = true;
  if (v.status == 9 && doneAt_.count(taskId) == 0) doneAt_[taskId] = Now();
  return v;
}

bool Session::Run(bool liveLines, FILE* out) {
  size_t drawn = 0;
  // Polled often, so that short states are seen; live lines are redrawn a few times a second.
  constexpr int kPollMs = 20;
  constexpr int kRedrawEvery = 10;
  for (int round = 0;; ++round) {
    if (InterruptFlag().load()) {
      for (int id : ids_) core_.StopUpTask(id);
      return false;
    }
    bool allEnded = true;
    std::vector<std::string> lines;
    for (int id : ids_) {
      std::string raw;
      core_.GetTaskInfo(id, &raw);
      TaskView v = ViewOf(id, raw);
      if (v.status != 7 && v.status != 9) allEnded = false;
      if (liveLines) {
        TaskDisplay d{v, uploadSeen_[id], options_.wait};
        lines.push_back(RenderTaskLine(d, TerminalWidth(out) - 1));
      } else if (lastLine_[id] != raw) {
        lastLine_[id] = raw;
        std::fprintf(out, "%d %s\n", id, raw.c_str());
      }
    }
    if (liveLines && (allEnded || round % kRedrawEvery == 0)) {
      if (drawn > 0) std::fprintf(out, "\x1b[%zuA", drawn);
      for (const std::string& l : lines) std::fprintf(out, "\r\x1b[2K%s\n", l.c_str());
      drawn = lines.size();
    }
    std::fflush(out);
    if (allEnded) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

bool Session::Summarize(FILE* err) {
  bool ok = true;
  for (int id : ids_) {
    TaskView v = View(id);
    if (v.status == 9) continue;
    ok = false;
    std::fprintf(err, "task %d (%s): error %d: %s", id, v.fileName.c_str(), v.errCode,
                 ErrorMeaning(v.errCode));
    if (v.serverErrCode != 0) {
      std::fprintf(err, " (server status %d: %s)", v.serverErrCode, v.serverErrMsg.c_str());
    }
    std::fprintf(err, "\n");
  }
  return ok;
}

}  // namespace host
