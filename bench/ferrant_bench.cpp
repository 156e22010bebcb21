// The upload benchmarks (the SHA-1 one is sha1_bench): each measures ours against a baseline in the
// same run, round-robin over several repetitions, prints best and median, and ends with "RATIO
// <name> <ours/baseline>" (more is better for us).
//
//   ferrant_bench upload-curl DIR   a 1 GiB upload, upload check to finish reply, vs curl -F
//   ferrant_bench upload-curl-tls DIR  the same over TLS, vs curl -F over TLS (upload-curl-tls),
//                                   and vs `openssl speed` of AES-128-GCM on one core (tls-cipher)
//   ferrant_bench task-vs-tools DIR a whole new 1 GiB task vs sha1sum then curl -F
//                                   (task-vs-tools), and vs this run's own hash-then-send floor,
//                                   1/(1/hash + 1/upload) (task-floor)
//   ferrant_bench three-tasks DIR   three 512 MiB tasks at once vs one 1 GiB curl POST
//   ferrant_bench rss-5g DIR        peak RSS of `ferrant upload` on a 5 GiB sparse file vs 16 MiB,
//                                   plain (rss-5g) and over TLS (rss-5g-tls)
//   ferrant_bench small-files DIR   `ferrant upload` of 300 files of 16 KiB vs curl --parallel-max
//                                   3, and vs the floor of the protocol (BenchSmallFiles)
//   ferrant_bench small-files-tls DIR  the same 300 files over TLS vs curl over TLS
// The reference server runs as another process (build/server/ferrant-server --discard-uploads);
// FERRANT_BIN names the folder that holds ferrant-server and ferrant (default: build-release).
//
// TLS: the run makes a throwaway root and a server certificate for dispatch.corvel.example and
// upload.corvel.example (host/DemoCertificates.h) in DIR/pki; the server serves HTTPS with it and
// names upload.corvel.example in its dispatch replies; every client trusts that root alone
// (--cacert, or the runtime's trust) and maps both names to 127.0.0.1 (--resolve). The
// environment's SSL_CERT_FILE, SSL_CERT_DIR and CURL_CA_BUNDLE are cleared at the start, so
// that nothing but the run's own root is trusted.
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
#include "host/DemoCertificates.h"
#include "store/HashFile.h"
#include "upload/Runtime.h"

namespace {

constexpr int kReps = 5;
std::string g_bin = "build-release";

using bench::MakeFile;
using bench::Now;
using bench::Report;
using bench::Series;
using bench::TimeCommand;

constexpr const char* kDispatchHost = "dispatch.corvel.example";
constexpr const char* kUploadHost = "upload.corvel.example";

// The run's throwaway root and server certificate, made at the first TLS benchmark.
const host::DemoCertificates& Pki(const std::string& dir) {
  static host::DemoCertificates pki;
  if (pki.rootFile.empty()) {
    const std::string folder = dir + "/pki";
    mkdir(folder.c_str(), 0700);
    if (!host::MakeDemoCertificates(folder, {kDispatchHost, kUploadHost}, &pki, stderr)) {
      std::exit(1);
    }
  }
  return pki;
}

// The reference server in its own process, on a free port: ready once it has printed the port
// it listens on. With tls it serves HTTPS with the run's certificate and names kUploadHost as
// the upload server.
class ServerProcess {
 public:
  ServerProcess(const std::string& dir, bool tls = false) : tls_(tls) {
    std::vector<std::string> args = {"ferrant-server", "--store", dir + "/server",
                                     "--port",         "0",       "--discard-uploads"};
    if (tls) {
      const host::DemoCertificates& pki = Pki(dir);
      root_ = pki.rootFile;
      args.insert(args.end(), {"--tls-cert", pki.certFile, "--tls-key", pki.keyFile,
                               "--upload-host", kUploadHost});
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) std::exit(1);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      execv((g_bin + "/server/ferrant-server").c_str(), argv.data());
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
  bool tls() const { return tls_; }
  // The root to trust (TLS only).
  const std::string& Root() const { return root_; }
  std::string Dispatch() const {
    return std::string(tls_ ? "https://" : "http://") + kDispatchHost + ":" +
           std::to_string(port_) + "/index.php";
  }
  // The --resolve entries every client needs.
  std::vector<std::string> Resolve() const {
    std::vector<std::string> r = {Entry(kDispatchHost)};
    if (tls_) r.push_back(Entry(kUploadHost));
    return r;
  }
  // Where curl posts: the upload server as the dispatch reply names it.
  std::string DiscardUrl() const {
    return std::string(tls_ ? "https://" : "http://") + (tls_ ? kUploadHost : "127.0.0.1") + ":" +
           std::to_string(port_) + "/discard";
  }
  // curl's options that reach and trust the server, as {name, value} (none for plain HTTP).
  // Every transfer of a config file needs its own: "next" resets them.
  std::vector<std::pair<std::string, std::string>> CurlOptions() const {
    if (!tls_) return {};
    return {{"cacert", root_}, {"resolve", Entry(kUploadHost)}};
  }

 private:
  std::string Entry(const char* host) const {
    return std::string(host) + ":" + std::to_string(port_) + ":127.0.0.1";
  }

  bool tls_;
  std::string root_;
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
  for (const std::string& entry : server.Resolve()) runtime.resolver.AddEntry(entry);
  if (server.tls()) runtime.transport.SetTrust({server.Root()});
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
  std::string options;
  for (const auto& [name, value] : s.CurlOptions()) options += " --" + name + " '" + value + "'";
  return "curl -s --show-error -o /dev/null" + options + " -F \"Filedata=@" + file + "\" " +
         s.DiscardUrl();
}

class NoHashProgress : public IHashProgress {
 public:
  bool StopRequested() override { return false; }
  void SetHashPercent(int32_t) override {}
};

// Seconds our hasher takes over the whole file, as a task hashes it.
double TimeHash(const std::string& path) {
  CSha1Digest digest(sha1::Best());
  NoHashProgress progress;
  HashGate gate;
  const double t = Now();
  if (!HashFile(platform::Env::Default(), gate, path.c_str(), digest, progress)) {
    std::fprintf(stderr, "HashFile failed on %s\n", path.c_str());
  }
  digest.Final();
  return Now() - t;
}

// What `openssl speed -evp aes-128-gcm -bytes 16384` says one core encrypts, in MB/s (10^6
// bytes); its last line is "AES-128-GCM  <n>k", n in thousands of bytes per second. 0 when the
// tool gave no such line.
double CipherMBs() {
  FILE* pipe = popen("openssl speed -evp aes-128-gcm -bytes 16384 -seconds 1 2>/dev/null", "r");
  if (pipe == nullptr) return 0;
  char line[512];
  double kilo = 0;
  while (fgets(line, sizeof line, pipe) != nullptr) {
    if (std::strncmp(line, "AES-128-GCM", 11) == 0) kilo = std::strtod(line + 11, nullptr);
  }
  pclose(pipe);
  if (kilo == 0) std::fprintf(stderr, "no AES-128-GCM figure from openssl speed\n");
  return kilo / 1000;
}

// A 1 GiB upload, upload check to finish reply, against curl -F to the same server; over TLS
// also against the cipher's limit on one core.
int BenchUpload(const std::string& dir, bool tls) {
  const int64_t size = 1LL << 30;
  std::string f = dir + "/bench-1g";
  MakeFile(f, size);
  ServerProcess server(dir, tls);
  Series ours{tls ? "upload over TLS" : "upload (check to finish)", {}};
  Series base{tls ? "curl -F over TLS" : "curl -F", {}};
  Series cipher{"openssl speed aes-128-gcm", {}};
  for (int r = 0; r < kReps; ++r) {
    ours.values.push_back(size / 1e6 / RunTasks(server, {f}, size).first);
    base.values.push_back(size / 1e6 / TimeCommand(Curl(server, f)));
    if (tls) cipher.values.push_back(CipherMBs());
  }
  Report(tls ? "upload-curl-tls" : "upload-curl", {ours}, base);
  if (tls) Report("tls-cipher", {ours}, cipher);
  return 0;
}

// A whole new 1 GiB task (hash, dispatch, check, upload, finish) against sha1sum then curl -F,
// and against the floor of hashing then sending at this run's own rates: our hasher alone on
// the file, and the task's upload (check to finish reply).
int BenchTask(const std::string& dir) {
  const int64_t size = 1LL << 30;
  std::string f = dir + "/bench-1g";
  MakeFile(f, size);
  ServerProcess server(dir);
  Series ours{"whole task", {}}, base{"sha1sum then curl -F", {}};
  Series floor{"hash then upload, ours", {}};
  for (int r = 0; r < kReps; ++r) {
    auto [upload, whole] = RunTasks(server, {f}, size);
    const double hash = TimeHash(f);
    ours.values.push_back(size / 1e6 / whole);
    // 1/(1/hash rate + 1/upload rate): the seconds of both, one after the other.
    floor.values.push_back(size / 1e6 / (hash + upload));
    std::printf("  run %d: hash %.0f MB/s, upload %.0f MB/s, whole task %.0f MB/s\n", r,
                size / 1e6 / hash, size / 1e6 / upload, size / 1e6 / whole);
    base.values.push_back(
        size / 1e6 / (TimeCommand("sha1sum " + f + " >/dev/null") + TimeCommand(Curl(server, f))));
  }
  Report("task-vs-tools", {ours}, base);
  Report("task-floor", {ours}, floor);
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
        "ferrant", "upload", "--status-lines", "--dispatch", server.Dispatch(), "--retry", "0"};
    for (const std::string& entry : server.Resolve()) args.insert(args.end(), {"--resolve", entry});
    if (server.tls()) args.insert(args.end(), {"--cacert", server.Root()});
    args.push_back("--");
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

// curl -F over TLS of the 1 GiB file, with its peak RSS, as a line of text.
std::string CurlPeakRss(const ServerProcess& server, const std::string& dir) {
  const std::string f = dir + "/bench-1g";
  MakeFile(f, 1LL << 30);
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", Curl(server, f).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  rusage ru{};
  int status = 0;
  wait4(pid, &status, 0, &ru);
  char line[128];
  std::snprintf(line, sizeof line, "curl -F over TLS of 1 GiB, peak RSS %.1f MiB",
                ru.ru_maxrss / 1024.0);
  return line;
}

// Peak RSS of `ferrant upload` of a 5 GiB sparse file, plain and over TLS, against 16 MiB.
int BenchRss(const std::string& dir) {
  std::string f = dir + "/bench-5g-sparse";
  if (!std::ifstream(f).good()) {
    if (std::system(("truncate -s 5G " + f).c_str()) != 0) return 1;
  }
  for (const bool tls : {false, true}) {
    ServerProcess server(dir, tls);
    Series ours{tls ? "16 MiB / peak RSS, TLS" : "16 MiB / peak RSS", {}}, base{"budget", {}};
    for (int r = 0; r < 2; ++r) {
      const std::string appdata = dir + "/appdata-rss";
      FreshFolder(appdata);
      rusage ru{};
      const int status = RunFerrantUpload(server, appdata, {f}, &ru);
      double peakMiB = ru.ru_maxrss / 1024.0;
      std::printf("  run %d%s: exit %d, peak RSS %.1f MiB\n", r, tls ? " (TLS)" : "", status,
                  peakMiB);
      ours.values.push_back(16.0 / peakMiB);
      base.values.push_back(1.0);
    }
    Report(tls ? "rss-5g-tls" : "rss-5g", {ours}, base, "x");
    if (tls) std::printf("  for comparison: %s\n", CurlPeakRss(server, dir).c_str());
  }
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
  const std::string url = server.DiscardUrl();
  for (size_t i = 0; i < files.size(); ++i) {
    if (i > 0) out << "next\n";
    out << "url = \"" << url << "\"\nform = \"Filedata=@" << files[i]
        << "\"\noutput = \"/dev/null\"\nsilent\n";
    for (const auto& [name, value] : server.CurlOptions()) {
      out << name << " = \"" << value << "\"\n";
    }
  }
  out.close();
  SettleDisk();
  // The parallel progress meter ignores -s; errors are still shown.
  return TimeCommand("curl -s --no-progress-meter --show-error --parallel --parallel-max 3 -K " +
                     config);
}

// Plain: against curl and against the floor. TLS: against curl over TLS (the floor's exchanges
// are plain HTTP).
int BenchSmallFiles(const std::string& dir, bool tls) {
  std::vector<std::string> files;
  const std::string folder = dir + "/small";
  mkdir(folder.c_str(), 0700);
  for (int i = 0; i < kSmallFiles; ++i) {
    files.push_back(folder + "/photo-" + std::to_string(i) + ".jpg");
    MakeFile(files.back(), kSmallSize);
  }
  std::system(("rm -rf " + dir + "/server").c_str());  // a store of this run's uploads only
  ServerProcess server(dir, tls);
  Series ours{tls ? "ferrant upload over TLS" : "ferrant upload", {}};
  Series base{tls ? "curl --parallel-max 3, TLS" : "curl --parallel-max 3", {}}, floor{"floor", {}};
  for (int r = 0; r < kReps; ++r) {
    ours.values.push_back(kSmallFiles / TimeOurs(server, dir, files));
    base.values.push_back(kSmallFiles / TimeCurl(server, dir, files));
    if (!tls) floor.values.push_back(kSmallFiles / TimeFloor(server, dir + "/floor"));
  }
  Report(tls ? "small-files-tls" : "small-files", {ours}, base, "files/s");
  if (tls) return 0;
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
  // Every TLS client here trusts the run's own root, named explicitly; nothing from the
  // machine's environment.
  for (const char* v : {"SSL_CERT_FILE", "SSL_CERT_DIR", "CURL_CA_BUNDLE"}) unsetenv(v);
  // The in-process tasks keep their task files in a data folder of the run's own.
  std::string appdata = dir + "/appdata";
  mkdir(appdata.c_str(), 0700);
  setenv("APPDATA", appdata.c_str(), 1);
  std::printf("== %s\n", name.c_str());
  if (name == "upload-curl") return BenchUpload(dir, false);
  if (name == "upload-curl-tls") return BenchUpload(dir, true);
  if (name == "task-vs-tools") return BenchTask(dir);
  if (name == "three-tasks") return BenchThree(dir);
  if (name == "rss-5g") return BenchRss(dir);
  if (name == "small-files") return BenchSmallFiles(dir, false);
  if (name == "small-files-tls") return BenchSmallFiles(dir, true);
  std::fprintf(stderr, "unknown benchmark %s\n", name.c_str());
  return 2;
}
