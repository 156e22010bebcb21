#include "host/Demo.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "host/Commands.h"
#include "host/DemoCertificates.h"
#include "host/Session.h"
#include "server/ReferenceServer.h"
#include "store/HashFile.h"

namespace host {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kResumeFileSize = 160 * kMiB;
const char* const kEmptyFileDigest = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";
constexpr const char* kDispatchHost = "dispatch.corvel.example";
constexpr const char* kUploadHost = "upload.corvel.example";

// The demo's Env: the task files go under the demo's own folder, not the user's.
class DemoEnv : public platform::EnvWrapper {
 public:
  explicit DemoEnv(std::string appData)
      : EnvWrapper(platform::Env::Default()), appData_(std::move(appData)) {}
  bool GetVar(const char* name, std::string* value) override {
    if (std::string(name) != "APPDATA") return EnvWrapper::GetVar(name, value);
    *value = appData_;
    return true;
  }

 private:
  std::string appData_;
};

// Removes the demo's folder (samples, server store, data folder) on every way out.
struct FolderRemover {
  std::string path;
  ~FolderRemover() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

struct Row {
  std::string label;  // shown name
  std::string path;   // local file
  int64_t size = 0;
  int64_t sent = 0;  // file bytes the server received for this row
  double seconds = 0;
};

std::string BaseName(const std::string& path) {
  return fs::path(path).filename().string();
}

class Demo {
 public:
  Demo(const InterruptWatch& interrupts, std::string work, bool plain)
      : interrupts_(interrupts), plain_(plain), work_(std::move(work)), env_(work_ + "/appdata") {}

  int Run(const std::vector<std::string>& given) {
    if (!StartServer()) return kExitFailed;
    if (!MakeFiles(given)) return kExitInterrupted;
    display_ = isatty(fileno(stdout)) ? Display::kLive : Display::kStateChanges;
    for (int (Demo::*step)() : {&Demo::UploadAll, &Demo::UploadAgain, &Demo::StopAndResume}) {
      const int rc = (this->*step)();
      if (rc != kExitOk) return rc;
    }
    return Report();
  }

 private:
  bool StartServer() {
    fs::create_directories(work_ + "/appdata");
    fs::create_directories(work_ + "/samples");
    refserver::ServerOptions serverOptions;
    serverOptions.storeDir = work_ + "/server";
    DemoCertificates tls;
    if (!plain_) {
      fs::create_directories(work_ + "/tls");
      if (!MakeDemoCertificates(work_ + "/tls", {kDispatchHost, kUploadHost}, &tls, stderr)) {
        return false;
      }
      serverOptions.tlsCertFile = tls.certFile;
      serverOptions.tlsKeyFile = tls.keyFile;
      // The upload server is named as the certificate names it.
      serverOptions.uploadHost = kUploadHost;
      options_.network.caFile = tls.rootFile;
    }
    server_ = std::make_unique<refserver::ReferenceServer>(serverOptions);
    if (!server_->Start()) {
      std::fprintf(stderr, "demo: the reference server did not start: %s\n",
                   server_->Error().c_str());
      return false;
    }
    runtime_.emplace(env_);
    const std::string port = std::to_string(server_->Port());
    options_.dispatch =
        std::string(plain_ ? "http" : "https") + "://" + kDispatchHost + ":" + port + "/index.php";
    options_.user = "demo";
    options_.retry = 3;
    options_.wait = 1;
    for (const char* host : {kDispatchHost, kUploadHost}) {
      options_.network.resolve.push_back(std::string(host) + ":" + port + ":127.0.0.1");
    }
    if (!ApplyNetworkOptions(*runtime_, options_.network, stderr)) return false;
    std::printf("reference server on 127.0.0.1:%s; %s and %s map to it\n", port.c_str(),
                kDispatchHost, kUploadHost);
    if (plain_) {
      std::printf("plain HTTP (--plain): requests and files cross the network readable\n");
    } else {
      std::printf(
          "HTTPS, verified: the server's certificate is signed by a root made for this run\n"
          "(%s), which this demo trusts as --cacert would; nothing is added to the system\n",
          tls.rootFile.c_str());
    }
    return true;
  }

  // The files to upload (generated samples unless given) and the large one to stop halfway.
  bool MakeFiles(const std::vector<std::string>& given) {
    for (const std::string& f : given)
      files_.push_back(fs::absolute(f).lexically_normal().string());
    if (files_.empty()) {
      std::printf("making sample files in %s/samples ...\n", work_.c_str());
      const std::pair<const char*, int64_t> samples[] = {{"readme.md", 1200},
                                                         {"notes.txt", 20 * 1024},
                                                         {"photo.jpg", 3 * kMiB},
                                                         {"video.mp4", 300 * kMiB}};
      uint32_t seed = 1;
      for (auto [name, size] : samples) {
        files_.push_back(work_ + "/samples/" + name);
        if (!MakeSample(files_.back(), size, seed++)) return false;
      }
    }
    resumeFile_ = work_ + "/samples/archive.zip";
    return MakeSample(resumeFile_, kResumeFileSize, 99);
  }

  // A file of pseudo-random bytes (xorshift), so that no two samples share a SHA-1.
  bool MakeSample(const std::string& path, int64_t size, uint32_t seed) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(static_cast<size_t>(kMiB));
    uint32_t x = seed * 2654435761u + 1;
    for (int64_t left = size; left > 0 && out;) {
      if (interrupts_.Interrupted()) return false;
      for (char& c : block) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
      }
      const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(block.size()));
      out.write(block.data(), static_cast<std::streamsize>(n));
      left -= n;
    }
    return static_cast<bool>(out);
  }

  int64_t ServerBytes() { return server_->Stats().uploadBytes; }

  // Runs the session's tasks to their end: 0, or the exit code that ends the demo.
  int Finish(Session& session) {
    if (!session.Run(display_, stdout)) return kExitInterrupted;
    return session.Summarize(stderr) ? kExitOk : kExitFailed;
  }

  int UploadAll() {
    std::printf("\n1. uploading %zu file(s)\n", files_.size());
    Session session(*runtime_, options_, interrupts_);
    if (!session.Init()) return kExitFailed;
    int id = 1;
    for (const std::string& f : files_) session.Add(id++, f, DefaultParam(f));
    if (const int rc = Finish(session); rc != kExitOk) return rc;
    for (int tid : session.taskIds()) {
      const TaskView v = session.View(tid);
      rows_.push_back({BaseName(v.fileName), v.fileName, v.fileSize,
                       v.alreadyOnServer ? 0 : v.fileSize, session.Seconds(tid)});
    }
    return kExitOk;
  }

  int UploadAgain() {
    const std::string again = files_.back();
    std::printf("\n2. uploading %s again: the server already has it\n", BaseName(again).c_str());
    const int64_t before = ServerBytes();
    Session session(*runtime_, options_, interrupts_);
    if (!session.Init()) return kExitFailed;
    session.Add(1, again, DefaultParam(again));
    if (const int rc = Finish(session); rc != kExitOk) return rc;
    const int64_t sent = ServerBytes() - before;
    std::printf("   %s; %lld bytes sent\n",
                session.View(1).alreadyOnServer ? "already on the server" : "uploaded",
                static_cast<long long>(sent));
    rows_.push_back(
        {BaseName(again) + " (again)", again, session.View(1).fileSize, sent, session.Seconds(1)});
    return kExitOk;
  }

  int StopAndResume() {
    std::printf("\n3. stopping %s halfway, then resuming it\n", BaseName(resumeFile_).c_str());
    const int64_t phaseStart = ServerBytes();
    Session session(*runtime_, options_, interrupts_);
    if (!session.Init()) return kExitFailed;
    session.Add(1, resumeFile_, DefaultParam(resumeFile_));
    CUpLoadObjCore& core = session.core();
    uint64_t seen = 0;
    for (;;) {
      if (interrupts_.Interrupted()) return kExitInterrupted;
      const TaskView v = session.View(1);
      if (v.status == kStatusUploading && v.total >= kResumeFileSize / 2) break;
      if (v.status == kStatusStopped || v.status == kStatusCompleted) break;
      seen = core.WaitForChange(seen, 1);
    }
    core.StopUpTask(1);
    // What was on its way has reached the server once the abandoned worker's connection is
    // closed at both ends.
    core.WaitUntilIdle(5000);
    server_->WaitForStats([](const refserver::ServerStats& s) { return s.openConnections == 0; },
                          5000);
    const int64_t heldBefore = ServerBytes();
    const TaskView stopped = session.View(1);
    std::printf("   stopped (status %d) with %s of %s on the server; the task file stays\n",
                stopped.status, HumanBytes(heldBefore - phaseStart).c_str(),
                HumanBytes(stopped.fileSize).c_str());
    const double resumedAt = NowSeconds();
    core.ContinueUpTask(1);
    if (const int rc = Finish(session); rc != kExitOk) return rc;
    const int64_t sent = ServerBytes() - heldBefore;
    std::printf("   resumed: sent the remaining %s\n", HumanBytes(sent).c_str());
    rows_.push_back({BaseName(resumeFile_) + " (resumed)", resumeFile_, stopped.fileSize, sent,
                     NowSeconds() - resumedAt});
    return kExitOk;
  }

  int Report() {
    std::printf("\n%-28s %10s %10s %8s %8s  %s\n", "file", "size", "sent", "time", "MB/s",
                "server copy");
    bool allSame = true;
    for (const Row& r : rows_) {
      const std::string local = FileDigestText(env_, r.path.c_str());
      const std::string copy = server_->Store().CompletePath(local);
      const bool same = !local.empty() && !copy.empty() &&
                        (local == kEmptyFileDigest || FileDigestText(env_, copy.c_str()) == local);
      allSame = allSame && same;
      const double mbs = r.seconds > 0 ? static_cast<double>(r.sent) / 1e6 / r.seconds : 0.0;
      std::printf("%-28s %10s %10s %7.2fs %8.1f  %s\n", FitColumns(r.label, 28).c_str(),
                  HumanBytes(r.size).c_str(), HumanBytes(r.sent).c_str(), r.seconds, mbs,
                  same ? "SHA-1 equals local" : "MISSING OR DIFFERENT");
    }
    std::printf(
        "\nMB/s counts the bytes sent over the whole time, hashing and the server's "
        "check included.\n");
    return allSame ? kExitOk : kExitFailed;
  }

  const InterruptWatch& interrupts_;
  const bool plain_;
  const std::string work_;
  DemoEnv env_;
  std::unique_ptr<refserver::ReferenceServer> server_;
  std::optional<Runtime> runtime_;  // after the server: gone before it
  ConnectionOptions options_;
  Display display_ = Display::kStateChanges;
  std::vector<std::string> files_;
  std::string resumeFile_;
  std::vector<Row> rows_;
};

}  // namespace

int RunDemo(const InterruptWatch& interrupts, const std::vector<std::string>& given, bool plain) {
  char tmpl[] = "/tmp/ferrant-demo-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    std::perror("demo: cannot make a temporary folder");
    return kExitFailed;
  }
  FolderRemover remover{tmpl};
  return Demo(interrupts, tmpl, plain).Run(given);
}

}  // namespace host
