// The upload benchmarks (the SHA-1 one is sha1_bench): each measures ours against a baseline in the
// same run, round-robin over several repetitions, prints best and median, and ends with "RATIO
// <name> <ours/baseline>" (more is better for us).
//
//   ferrant_bench upload-curl DIR   a 1 GiB upload, upload check to finish reply, vs curl -F
//   ferrant_bench task-vs-tools DIR a whole new 1 GiB task vs sha1sum then curl -F
//   ferrant_bench three-tasks DIR   three 512 MiB tasks at once vs one 1 GiB curl POST
//   ferrant_bench rss-5g DIR        peak RSS of `ferrant upload` on a 5 GiB sparse file vs 16 MiB
// The reference server runs as another process (build/server/ferrant-server --discard-uploads);
// FERRANT_BIN names the folder that holds ferrant-server and ferrant (default: build-release).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchUtil.h"
#include "control/UpLoadObjCore.h"
#include "upload/Runtime.h"

namespace {

constexpr int kReps = 5;
std::string g_bin = "build-release";

using bench::MakeFile;
using bench::Now;
using bench::Report;
using bench::Series;
using bench::TimeCommand;

// The reference server in its own process.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& dir) {
    port_ = 20000 + static_cast<int>(getpid() % 20000);
    pid_ = fork();
    if (pid_ == 0) {
      std::string p = std::to_string(port_);
      execl((g_bin + "/server/ferrant-server").c_str(), "ferrant-server", "--store",
            (dir + "/server").c_str(), "--port", p.c_str(), "--discard-uploads",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  ~ServerProcess() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }
  std::string Dispatch() const {
    return "http://dispatch.corvel.example:" + std::to_string(port_) + "/index.php";
  }
  std::string Resolve() const {
    return "dispatch.corvel.example:" + std::to_string(port_) + ":127.0.0.1";
  }

 private:
  pid_t pid_;
  int port_;
};

std::string Param(const std::string& path, int64_t size) {
  return "sha1={sha1}&size=" + std::to_string(size) +
         "&name=" + path.substr(path.find_last_of('/') + 1) + "&pick_code={pick_code}";
}

int StatusOf(CUpLoadObjCore& core, int id) {
  std::string line;
  core.GetTaskInfo(id, &line);
  size_t p = line.find("|Status=");
  return p == std::string::npos ? 0 : std::atoi(line.c_str() + p + 8);
}

// Runs the tasks for files; returns {seconds from first upload check to last finish reply,
// seconds of the whole run}.
std::pair<double, double> RunTasks(const ServerProcess& server,
                                   const std::vector<std::string>& files, int64_t size) {
  Runtime runtime;
  runtime.resolver.AddEntry(server.Resolve());
  CUpLoadObjCore core(runtime);
  core.InitService("bench", "c", server.Dispatch().c_str(), 0, 0);
  double start = Now(), firstCheck = 0, lastDone = 0;
  uint64_t seen = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    core.AddUpTask(static_cast<int>(i + 1), files[i].c_str(), Param(files[i], size).c_str());
    core.ContinueUpTask(static_cast<int>(i + 1));
  }
  for (;;) {
    int done = 0;
    for (size_t i = 0; i < files.size(); ++i) {
      int s = StatusOf(core, static_cast<int>(i + 1));
      if (s >= kStatusCheck && s != kStatusStopped && s != kStatusRetryWait && firstCheck == 0) {
        firstCheck = Now();
      }
      if (s == kStatusCompleted || s == kStatusStopped) ++done;
    }
    if (done == static_cast<int>(files.size())) break;
    seen = core.WaitForChange(seen, 1);
  }
  lastDone = Now();
  core.Shutdown(5000);
  return {lastDone - firstCheck, lastDone - start};
}

std::string Curl(const ServerProcess& s, const std::string& file) {
  return "curl -s -o /dev/null -F \"Filedata=@" + file +
         "\" http://127.0.0.1:" + std::to_string(s.port()) + "/discard";
}

int BenchUpload(const std::string& dir, bool wholeTask) {
  const int64_t size = 1LL << 30;
  std::string f = dir + "/bench-1g";
  MakeFile(f, size);
  ServerProcess server(dir);
  Series ours{wholeTask ? "whole task" : "upload (check to finish)", {}};
  Series base{wholeTask ? "sha1sum then curl -F" : "curl -F", {}};
  for (int r = 0; r < kReps; ++r) {
    auto [upload, whole] = RunTasks(server, {f}, size);
    ours.values.push_back(size / 1e6 / (wholeTask ? whole : upload));
    double t = (wholeTask ? TimeCommand("sha1sum " + f + " >/dev/null") : 0.0) +
               TimeCommand(Curl(server, f));
    base.values.push_back(size / 1e6 / t);
  }
  Report(wholeTask ? "task-vs-tools" : "upload-curl", {ours}, base);
  return 0;
}

int BenchThree(const std::string& dir) {
  const int64_t size = 512LL << 20;
  std::vector<std::string> files;
  for (int i = 0; i < 3; ++i) {
    files.push_back(dir + "/bench-512m-" + std::to_string(i));
    MakeFile(files.back(), size);
  }
  std::string g = dir + "/bench-1g";
  MakeFile(g, 1LL << 30);
  ServerProcess server(dir);
  Series ours{"three tasks, aggregate", {}}, base{"one curl -F of 1 GiB", {}};
  for (int r = 0; r < 3; ++r) {
    auto [upload, whole] = RunTasks(server, files, size);
    ours.values.push_back(3 * size / 1e6 / upload);
    base.values.push_back((1LL << 30) / 1e6 / TimeCommand(Curl(server, g)));
  }
  Report("three-tasks", {ours}, base);
  return 0;
}

int BenchRss(const std::string& dir) {
  std::string f = dir + "/bench-5g-sparse";
  if (!std::ifstream(f).good()) {
    if (std::system(("truncate -s 5G " + f).c_str()) != 0) return 1;
  }
  ServerProcess server(dir);
  Series ours{"16 MiB / peak RSS", {}}, base{"budget", {}};
  for (int r = 0; r < 2; ++r) {
    std::string appdata = dir + "/appdata-rss";
    std::system(("rm -rf " + appdata + " && mkdir -p " + appdata).c_str());
    pid_t pid = fork();
    if (pid == 0) {
      setenv("APPDATA", appdata.c_str(), 1);
      int devnull = open("/dev/null", O_WRONLY);
      dup2(devnull, 1);
      execl((g_bin + "/host/ferrant").c_str(), "ferrant", "upload", "--status-lines", "--dispatch",
            server.Dispatch().c_str(), "--resolve", server.Resolve().c_str(), "--retry", "0",
            f.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    double peakMiB = ru.ru_maxrss / 1024.0;
    std::printf("  run %d: exit %d, peak RSS %.1f MiB\n", r, WEXITSTATUS(status), peakMiB);
    ours.values.push_back(16.0 / peakMiB);
    base.values.push_back(1.0);
  }
  Report("rss-5g", {ours}, base, "x");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ferrant_bench NAME DIR\n");
    return 2;
  }
  if (const char* b = std::getenv("FERRANT_BIN")) g_bin = b;
  std::string name = argv[1], dir = argv[2];
  // The in-process tasks keep their task files in a data folder of the run's own.
  std::string appdata = dir + "/appdata";
  mkdir(appdata.c_str(), 0700);
  setenv("APPDATA", appdata.c_str(), 1);
  std::printf("== %s\n", name.c_str());
  if (name == "upload-curl") return BenchUpload(dir, false);
  if (name == "task-vs-tools") return BenchUpload(dir, true);
  if (name == "three-tasks") return BenchThree(dir);
  if (name == "rss-5g") return BenchRss(dir);
  std::fprintf(stderr, "unknown benchmark %s\n", name.c_str());
  return 2;
}
