// The upload benchmarks (the SHA-1 one is sha1_bench): each measures ours against a baseline in the
// same run, round-robin over several repetitions, prints best and median, and ends with "RATIO
// <name> <ours/baseline>" (more is better for us).
//
//   ferrant_bench upload-curl DIR   a 1 GiB upload, upload check to finish reply, vs curl -F
//   ferrant_bench task-vs-tools DIR a whole new 1 GiB task vs sha1sum then curl -F
//   ferrant_bench three-tasks DIR   three 512 MiB tasks at once vs one 1 GiB curl POST
//   ferrant_bench rss-5g DIR        peak RSS of `ferrant upload` on a 5 GiB sparse file vs 16 MiB
//   ferrant_bench small-files DIR   `ferrant upload` of 300 files of 16 KiB vs curl --parallel-max
//                                   3, and vs the floor of the protocol (BenchSmallFiles)
// The reference server runs as another process (build/server/ferrant-server --discard-uploads);
// FERRANT_BIN names the folder that holds ferrant-server and ferrant (default: build-release).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The reference server in its own process, on a free port: ready once it has printed the port
// it listens on.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& dir) {
    int out[2];
    if (pipe(out) != 0) std::exit(1);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      execl((g_bin + "/server/ferrant-server").c_str(), "ferrant-server", "--store",
            (dir + "/server").c_str(), "--port", "0", "--discard-uploads",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    // "ferrant-server: listening on ADDR:PORT, ..."
    FILE* lines = fdopen(out[0], "r");
    char line[512];
    unsigned port = 0;
    if (fgets(line, sizeof line, lines) != nullptr) {
      const char* colon = std::strchr(line + std::strlen("ferrant-server: listening on "), ':');
      if (colon != nullptr) port = static_cast<unsigned>(std::strtoul(colon + 1, nullptr, 10));
    }
    if (port == 0) {
      std::fprintf(stderr, "the reference server did not start\n");
      std::exit(1);
    }
    port_ = static_cast<int>(port);
    output_ = lines;  // kept open, so that the server's later lines find a reader
  }
  ~ServerProcess() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::fclose(output_);
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
  int port_ = 0;
  FILE* output_ = nullptr;
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

// An empty folder at path (removed first when it was there).
void FreshFolder(const std::string& path) {
  std::system(("rm -rf " + path + " && mkdir -p " + path).c_str());
}

// Runs `ferrant upload --status-lines` of files against the server, its data folder appdata
// and its output to /dev/null; returns its exit status, its resource use in *usage.
int RunFerrantUpload(const ServerProcess& server, const std::string& appdata,
                     const std::vector<std::string>& files, rusage* usage) {
  const pid_t pid = fork();
  if (pid == 0) {
    setenv("APPDATA", appdata.c_str(), 1);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    std::vector<std::string> args = {
        "ferrant",   "upload",         "--status-lines", "--dispatch", server.Dispatch(),
        "--resolve", server.Resolve(), "--retry",        "0",          "--"};
    args.insert(args.end(), files.begin(), files.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv((g_bin + "/host/ferrant").c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  wait4(pid, &status, 0, usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "ferrant upload exited with %d\n", WEXITSTATUS(status));
  }
  return WEXITSTATUS(status);
}

int BenchRss(const std::string& dir) {
  std::string f = dir + "/bench-5g-sparse";
  if (!std::ifstream(f).good()) {
    if (std::system(("truncate -s 5G " + f).c_str()) != 0) return 1;
  }
  ServerProcess server(dir);
  Series ours{"16 MiB / peak RSS", {}}, base{"budget", {}};
  for (int r = 0; r < 2; ++r) {
    const std::string appdata = dir + "/appdata-rss";
    FreshFolder(appdata);
    rusage ru{};
    const int status = RunFerrantUpload(server, appdata, {f}, &ru);
    double peakMiB = ru.ru_maxrss / 1024.0;
    std::printf("  run %d: exit %d, peak RSS %.1f MiB\n", r, status, peakMiB);
    ours.values.push_back(16.0 / peakMiB);
    base.values.push_back(1.0);
  }
  Report("rss-5g", {ours}, base, "x");
  return 0;
}

// ---- small files ----
//
// 300 files of 16 KiB. Ours: one `ferrant upload` process (fresh data folder each run), whole
// run. Baseline: one curl with --parallel --parallel-max 3, a multipart POST per file to
// /discard. Floor: what this protocol cannot go below here: per file, four loopback exchanges
// (connect, request, reply to the server's close) on the endpoints a task uses, then a task
// file's write, fsync and rename; three files at a time, as the control runs three tasks.
constexpr int kSmallFiles = 300;
constexpr int64_t kSmallSize = 16 * 1024;

// Every contender starts on a settled disk: the files the previous one wrote, and the folder
// just removed, are on the disk before the clock starts. Without it a run paid for the
// write-back and discards its predecessor left (renames and unlinks took 0.3 ms instead of
// 0.02 ms for seconds afterwards).
void SettleDisk() {
  sync();
}

// One HTTP exchange on a new loopback connection: false when it failed.
bool Exchange(int port, const std::string& request) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  for (size_t sent = 0; ok && sent < request.size();) {
    const ssize_t n = send(s, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    ok = n > 0;
    sent += ok ? static_cast<size_t>(n) : 0;
  }
  char reply[4096];
  size_t got = 0;
  for (ssize_t n = 1; ok && n > 0;) {
    n = recv(s, reply, sizeof reply, 0);
    ok = n >= 0;
    got += n > 0 ? static_cast<size_t>(n) : 0;
  }
  close(s);
  return ok && got > 0;
}

bool WriteFsyncRename(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = fd >= 0 && fsync(fd) == 0 && ok;
  if (fd >= 0) close(fd);
  return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

// The floor's work for file i.
bool FloorFile(int port, const std::string& folder, int i) {
  char sha1[41];
  std::snprintf(sha1, sizeof sha1, "%040d", i);
  const std::string host = "Host: 127.0.0.1\r\n";
  const std::string get = " HTTP/1.1\r\n" + host + "\r\n";
  const std::string body(kSmallSize + 200, 'x');
  const std::string key = std::string("&key=k") + std::to_string(i);
  const bool ok =
      Exchange(port, "GET /index.php?cmd=upload&sha1=" + std::string(sha1) + "&size=16384&name=f" +
                         std::to_string(i) + "&pick_code=" + get) &&
      Exchange(port, "GET /ups/co?sha1=" + std::string(sha1) + key + get) &&
      Exchange(port, "POST /discard HTTP/1.1\r\n" + host +
                         "Content-Type: multipart/form-data; boundary=B\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body) &&
      Exchange(port, "GET /ups/fin?sha1=" + std::string(sha1) + key + "&filesize=16384" + get);
  return ok && WriteFsyncRename(folder + "/" + std::to_string(i) + ".xml",
                                std::string(400, 't'));  // a task file's size
}

double TimeFloor(const ServerProcess& server, const std::string& folder) {
  FreshFolder(folder);
  SettleDisk();
  std::atomic<bool> ok{true};
  const double start = Now();
  std::vector<std::thread> lanes;
  for (int lane = 0; lane < 3; ++lane) {
    lanes.emplace_back([&, lane] {
      for (int i = lane; i < kSmallFiles; i += 3) {
        if (!FloorFile(server.port(), folder, i)) ok = false;
      }
    });
  }
  for (auto& t : lanes) t.join();
  if (!ok) std::fprintf(stderr, "the floor's exchanges failed\n");
  return Now() - start;
}

double TimeOurs(const ServerProcess& server, const std::string& dir,
                const std::vector<std::string>& files) {
  const std::string appdata = dir + "/appdata-small";
  FreshFolder(appdata);
  SettleDisk();
  const double start = Now();
  rusage usage{};
  RunFerrantUpload(server, appdata, files, &usage);
  return Now() - start;
}

double TimeCurl(const ServerProcess& server, const std::string& dir,
                const std::vector<std::string>& files) {
  const std::string config = dir + "/small-curl.conf";
  std::ofstream out(config, std::ios::trunc);
  const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/discard";
  for (size_t i = 0; i < files.size(); ++i) {
    if (i > 0) out << "next\n";
    out << "url = \"" << url << "\"\nform = \"Filedata=@" << files[i]
        << "\"\noutput = \"/dev/null\"\nsilent\n";
  }
  out.close();
  SettleDisk();
  // The parallel progress meter ignores -s; errors are still shown.
  return TimeCommand("curl -s --no-progress-meter --show-error --parallel --parallel-max 3 -K " +
                     config);
}

int BenchSmallFiles(const std::string& dir) {
  std::vector<std::string> files;
  const std::string folder = dir + "/small";
  mkdir(folder.c_str(), 0700);
  for (int i = 0; i < kSmallFiles; ++i) {
    files.push_back(folder + "/photo-" + std::to_string(i) + ".jpg");
    MakeFile(files.back(), kSmallSize);
  }
  std::system(("rm -rf " + dir + "/server").c_str());  // a store of this run's uploads only
  ServerProcess server(dir);
  Series ours{"ferrant upload", {}}, base{"curl --parallel-max 3", {}}, floor{"floor", {}};
  for (int r = 0; r < kReps; ++r) {
    ours.values.push_back(kSmallFiles / TimeOurs(server, dir, files));
    base.values.push_back(kSmallFiles / TimeCurl(server, dir, files));
    floor.values.push_back(kSmallFiles / TimeFloor(server, dir + "/floor"));
  }
  Report("small-files", {ours}, base, "files/s");
  // Files per second are the inverse of times: floor time / our time = ours / floor.
  Report("small-files-floor", {ours}, floor, "files/s");
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
  if (name == "small-files") return BenchSmallFiles(dir);
  std::fprintf(stderr, "unknown benchmark %s\n", name.c_str());
  return 2;
}
