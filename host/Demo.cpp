#include "host/Demo.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "host/Commands.h"
#include "host/Session.h"
#include "server/ReferenceServer.h"
#include "store/HashFile.h"

namespace host {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kResumeFileSize = 160 * kMiB;
const char* const kEmptyFileDigest = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";

// Removes the demo's folder (samples, server store, data folder) on every way out.
struct FolderRemover {
  std::string path;
  ~FolderRemover() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

// A file of pseudo-random bytes (xorshift), so that no two samples share a SHA-1.
bool MakeSample(const std::string& path, int64_t size, uint32_t seed) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block(static_cast<size_t>(kMiB));
  uint32_t x = seed * 2654435761u + 1;
  for (int64_t left = size; left > 0 && out;) {
    if (InterruptFlag().load()) return false;
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

struct Row {
  std::string label;  // shown name
  std::string path;   // local file
  int64_t size = 0;
  int64_t sent = 0;  // file bytes the server received for this row
  double seconds = 0;
};

int64_t ServerBytes(refserver::ReferenceServer& server) {
  return server.Stats().uploadBytes;
}

std::string BaseName(const std::string& path) {
  return fs::path(path).filename().string();
}

}  // namespace

int RunDemo(const std::vector<std::string>& given) {
  InstallInterruptHandlers();
  char tmpl[] = "/tmp/ferrant-demo-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    std::perror("demo: cannot make a temporary folder");
    return kExitFailed;
  }
  FolderRemover remover{tmpl};
  const std::string work = tmpl;
  fs::create_directories(work + "/appdata");
  fs::create_directories(work + "/samples");
  // The control keeps its task files under %APPDATA%: a folder of the demo's own.
  setenv("APPDATA", (work + "/appdata").c_str(), 1);

  refserver::ServerOptions serverOptions;
  serverOptions.storeDir = work + "/server";
  refserver::ReferenceServer server(serverOptions);
  if (!server.Start()) {
    std::fprintf(stderr, "demo: the reference server did not start\n");
    return kExitFailed;
  }
  const std::string port = std::to_string(server.Port());
  ConnectionOptions options;
  options.dispatch = "http://dispatch.corvel.example:" + port + "/index.php";
  options.user = "demo";
  options.retry = 3;
  options.wait = 1;
  options.resolve.push_back("dispatch.corvel.example:" + port + ":127.0.0.1");
  if (!ApplyResolveOptions(options.resolve, stderr)) return kExitFailed;
  std::printf("reference server on 127.0.0.1:%s; dispatch.corvel.example:%s maps to it\n",
              port.c_str(), port.c_str());

  std::vector<std::string> files;
  for (const std::string& f : given) files.push_back(fs::absolute(f).lexically_normal().string());
  if (files.empty()) {
    std::printf("making sample files in %s/samples ...\n", work.c_str());
    const std::pair<const char*, int64_t> samples[] = {{"readme.md", 1200},
                                                       {"notes.txt", 20 * 1024},
                                                       {"photo.jpg", 3 * kMiB},
                                                       {"video.mp4", 300 * kMiB}};
    uint32_t seed = 1;
    for (auto [name, size] : samples) {
      files.push_back(work + "/samples/" + name);
      if (!MakeSample(files.back(), size, seed++)) return kExitInterrupted;
    }
  }
  const std::string resumeFile = work + "/samples/archive.zip";
  if (!MakeSample(resumeFile, kResumeFileSize, 99)) return kExitInterrupted;
  // A terminal gets the live lines; a log gets a line per change of state.
  const Display display = isatty(fileno(stdout)) ? Display::kLive : Display::kStateChanges;
  std::vector<Row> rows;

  std::printf("\n1. uploading %zu file(s)\n", files.size());
  {
    Session session(options);
    if (!session.Init()) return kExitFailed;
    int id = 1;
    for (const std::string& f : files) session.Add(id++, f, DefaultParam(f));
    if (!session.Run(display, stdout)) return kExitInterrupted;
    if (!session.Summarize(stderr)) return kExitFailed;
    for (int tid : session.taskIds()) {
      const TaskView v = session.View(tid);
      rows.push_back({BaseName(v.fileName), v.fileName, v.fileSize,
                      session.AlreadyOnServer(tid) ? 0 : v.fileSize, session.Seconds(tid)});
    }
  }

  const std::string again = files.back();
  std::printf("\n2. uploading %s again: the server already has it\n", BaseName(again).c_str());
  {
    const int64_t before = ServerBytes(server);
    Session session(options);
    if (!session.Init()) return kExitFailed;
    session.Add(1, again, DefaultParam(again));
    if (!session.Run(display, stdout)) return kExitInterrupted;
    if (!session.Summarize(stderr)) return kExitFailed;
    const int64_t sent = ServerBytes(server) - before;
    std::printf("   %s; %lld bytes sent\n",
                session.AlreadyOnServer(1) ? "already on the server" : "uploaded",
                static_cast<long long>(sent));
    rows.push_back(
        {BaseName(again) + " (again)", again, session.View(1).fileSize, sent, session.Seconds(1)});
  }

  std::printf("\n3. stopping %s halfway, then resuming it\n", BaseName(resumeFile).c_str());
  {
    const int64_t phaseStart = ServerBytes(server);
    Session session(options);
    if (!session.Init()) return kExitFailed;
    session.Add(1, resumeFile, DefaultParam(resumeFile));
    TaskView seen;
    for (;;) {
      if (InterruptFlag().load()) return kExitInterrupted;
      seen = session.View(1);
      if (seen.status == 6 && seen.total >= kResumeFileSize / 2) break;
      if (seen.status == 7 || seen.status == 9) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    session.core().StopUpTask(1);
    // Let the server take in what was already on its way before asking what it holds.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int64_t heldBefore = ServerBytes(server);
    const TaskView stopped = session.View(1);
    std::printf("   stopped (status %d) with %s of %s on the server; the task file stays\n",
                stopped.status, HumanBytes(heldBefore - phaseStart).c_str(),
                HumanBytes(stopped.fileSize).c_str());
    const double resumedAt = NowSeconds();
    session.core().ContinueUpTask(1);
    if (!session.Run(display, stdout)) return kExitInterrupted;
    if (!session.Summarize(stderr)) return kExitFailed;
    const int64_t sent = ServerBytes(server) - heldBefore;
    std::printf("   resumed: sent the remaining %s\n", HumanBytes(sent).c_str());
    rows.push_back({BaseName(resumeFile) + " (resumed)", resumeFile, stopped.fileSize, sent,
                    NowSeconds() - resumedAt});
  }

  std::printf("\n%-28s %10s %10s %8s %8s  %s\n", "file", "size", "sent", "time", "MB/s",
              "server copy");
  bool allSame = true;
  for (const Row& r : rows) {
    const std::string local = FileDigestText(r.path.c_str());
    const std::string copy = server.Store().CompletePath(local);
    const bool same = !local.empty() && !copy.empty() &&
                      (local == kEmptyFileDigest || FileDigestText(copy.c_str()) == local);
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

}  // namespace host
