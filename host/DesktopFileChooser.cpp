#include "host/DesktopFileChooser.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>

#include "host/FileSelection.h"
#include "host/PortalFileChooser.h"

extern char** environ;

namespace host {
namespace {

constexpr const char* kTitle = "Select files to upload";
// zenity joins the chosen paths with this; a path cannot hold it by accident.
constexpr char kZenitySeparator = '\x1f';

struct Running {
  std::mutex lock;
  std::condition_variable ended;
  pid_t pid = 0;          // the chooser program while one runs
  bool inPortal = false;  // a portal request is open
  bool cancelled = false;
  int cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // readable once cancelled
};

Running& Current() {
  static Running* running = new Running;  // never destroyed: a dialog thread may outlive main
  return *running;
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  for (const std::string& dir : SplitPaths(path, ':')) {
    struct stat st {};
    const std::string candidate = dir + "/" + program;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

bool HasDisplay() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

// The patterns of a filter item ("*.jpg;*.png") as a blank-separated list.
std::string Patterns(const std::string& item) {
  std::string out;
  for (const std::string& p : SplitPaths(item, ';')) out += (out.empty() ? "" : " ") + p;
  return out;
}

// Runs program with args, its standard output read whole into *out; true when it exited 0.
bool RunChooser(const std::vector<std::string>& args, std::string* out) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  // The host's standard output is the browser's channel: a chooser never writes to it, and
  // its complaints reach standard error only when diagnostics are asked for.
  if (std::getenv("FERRANT_DEBUG") == nullptr) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  Running& running = Current();
  {
    std::lock_guard<std::mutex> g(running.lock);
    if (running.cancelled ||
        posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
      pid = 0;
    }
    running.pid = pid;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (pid == 0) {
    close(pipeFds[0]);
    return false;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0) {
      out->append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(pipeFds[0]);
  // Waits for the exit without reaping, so that the pid cannot be reused (and killed by
  // CancelDesktopChooser) before it is forgotten.
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard<std::mutex> g(running.lock);
    running.pid = 0;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  running.ended.notify_all();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::vector<std::string> ZenityArguments(const std::vector<std::string>& filterItems) {
  std::vector<std::string> args = {"zenity", "--file-selection", "--multiple",
                                   std::string("--separator=") + kZenitySeparator,
                                   std::string("--title=") + kTitle};
  for (size_t i = 0; i + 1 < filterItems.size(); i += 2) {
    args.push_back("--file-filter=" + filterItems[i] + " | " + Patterns(filterItems[i + 1]));
  }
  return args;
}

std::vector<std::string> KdialogArguments(const std::vector<std::string>& filterItems) {
  std::string filter;
  for (size_t i = 0; i + 1 < filterItems.size(); i += 2) {
    filter += (filter.empty() ? "" : "\n") + Patterns(filterItems[i + 1]) + "|" + filterItems[i];
  }
  std::vector<std::string> args = {"kdialog",    "--getopenfilename", ".",       filter,
                                   "--multiple", "--separate-output", "--title", kTitle};
  return args;
}

bool DesktopFileChooser(const std::vector<std::string>& filterItems, std::string* selection) {
  if (std::getenv("FERRANT_FILE_SELECTION") != nullptr) {
    return EnvironmentFileChooser(filterItems, selection);
  }
  Running& running = Current();
  {
    std::lock_guard<std::mutex> g(running.lock);
    if (running.cancelled) return false;
    running.inPortal = true;
  }
  std::vector<std::string> paths;
  const PortalResult portal = PortalChoose(filterItems, running.cancelFd, &paths);
  {
    std::lock_guard<std::mutex> g(running.lock);
    running.inPortal = false;
  }
  running.ended.notify_all();
  if (portal == PortalResult::kChosen) return SelectionOfPaths(paths, selection);
  if (portal == PortalResult::kCancelled) return false;
  if (!HasDisplay()) return false;
  std::string out;
  if (OnPath("zenity")) {
    if (!RunChooser(ZenityArguments(filterItems), &out)) return false;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return SelectionOfPaths(SplitPaths(out, kZenitySeparator), selection);
  }
  if (OnPath("kdialog")) {
    return RunChooser(KdialogArguments(filterItems), &out) &&
           SelectionOfPaths(SplitPaths(out, '\n'), selection);
  }
  return false;
}

void CancelDesktopChooser() {
  Running& running = Current();
  std::unique_lock<std::mutex> g(running.lock);
  running.cancelled = true;
  const uint64_t one = 1;
  if (running.cancelFd >= 0 && write(running.cancelFd, &one, sizeof one) < 0) {
    // Already signalled: the counter is far from full, so this does not happen.
  }
  if (running.pid > 0) kill(running.pid, SIGTERM);
  const auto idle = [&] { return running.pid == 0 && !running.inPortal; };
  if (!running.ended.wait_for(g, std::chrono::seconds(2), idle)) {
    if (running.pid > 0) kill(running.pid, SIGKILL);
    running.ended.wait_for(g, std::chrono::seconds(3), idle);
  }
}

}  // namespace host
