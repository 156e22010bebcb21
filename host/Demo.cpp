#include "host/Demo.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "host/Session.h"
#include "platform/ProcessState.h"
#include "platform/Resolver.h"
#include "server/ReferenceServer.h"
#include "store/HashFile.h"

namespace host {
namespace {

namespace fs = std::filesystem;

void MakeSample(const std::string& path, int64_t size, uint32_t seed) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block(1 << 20);
  uint32_t x = seed * 2654435761u + 1;
  for (int64_t left = size; left > 0;) {
    for (char& c : block) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      c = static_cast<char>(x);
    }
    int64_t n = std::min<int64_t>(left, static_cast<int64_t>(block.size()));
    out.write(block.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
}

struct Row {
  std::string file;
  int64_t size;
  double seconds;
  bool uploaded;
  bool same;
};

}  // namespace

int RunDemo(const std::vector<std::string>& given) {
  char tmpl[] = "/tmp/ferrant-demo-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const std::string work = tmpl;
  fs::create_directories(work + "/appdata");
  fs::create_directories(work + "/samples");
  setenv("APPDATA", (work + "/appdata").c_str(), 1);

  refserver::ServerOptions serverOptions;
  serverOptions.storeDir = work + "/server";
  refserver::ReferenceServer server(serverOptions);
  if (!server.Start()) {
    std::fprintf(stderr, "demo: the reference server did not start\n");
    return 1;
  }
  const std::string port = std::to_string(server.Port());
  std::printf("reference server on 127.0.0.1:%s (store %s)\n", port.c_str(),
              serverOptions.storeDir.c_str());

  std::vector<std::string> files;
  for (const std::string& f : given) files.push_back(fs::absolute(f).string());
  if (files.empty()) {
    std::printf("making sample files in %s/samples ...\n", work.c_str());
    const std::pair<const char*, int64_t> samples[] = {
        {"notes.txt", 20 * 1024}, {"photo.jpg", 3 * 1024 * 1024}, {"video.mp4", 300 << 20}};
    uint32_t seed = 1;
    for (auto [name, size] : samples) {
      std::string p = work + "/samples/" + name;
      MakeSample(p, size, seed++);
      files.push_back(p);
    }
  }
  std::string resumeFile = work + "/samples/archive.zip";
  MakeSample(resumeFile, 160 << 20, 99);

  ConnectionOptions options;
  options.dispatch = "http://dispatch.corvel.example:" + port + "/index.php";
  options.user = "demo";
  options.retry = 3;
  options.wait = 1;
  options.resolve.push_back("dispatch.corvel.example:" + port + ":127.0.0.1");
  const bool tty = isatty(fileno(stdout));
  std::vector<Row> rows;
  InstallInterruptHandlers();

  std::printf("\n1. uploading %zu file(s)\n", files.size());
  {
    Session session(options);
    if (!session.Init()) return 1;
    int id = 1;
    for (const std::string& f : files) session.Add(id++, f, DefaultParam(f));
    if (!session.Run(tty, stdout)) return 130;
    for (int tid : session.taskIds()) {
      TaskView v = session.View(tid);
      rows.push_back(
          {v.fileName, v.fileSize, session.Seconds(tid), session.UploadSeen(tid), false});
    }
    if (!session.Summarize(stderr)) return 1;
  }

  std::printf("\n2. uploading %s again: the server already has it\n",
              fs::path(files.back()).filename().c_str());
  {
    Session session(options);
    if (!session.Init()) return 1;
    session.Add(1, files.back(), DefaultParam(files.back()));
    if (!session.Run(tty, stdout)) return 130;
    TaskView v = session.View(1);
    rows.push_back(
        {v.fileName + " (again)", v.fileSize, session.Seconds(1), session.UploadSeen(1), false});
  }

  std::printf("\n3. stopping %s halfway, then resuming it\n",
              fs::path(resumeFile).filename().c_str());
  {
    Session session(options);
    if (!session.Init()) return 1;
    session.Add(1, resumeFile, DefaultParam(resumeFile));
    int64_t half = (160 << 20) / 2;
    TaskView seen;
    for (;;) {
      seen = session.View(1);
      if (seen.status == 6 && seen.total >= half) break;
      if (seen.status == 7 || seen.status == 9) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    session.core().StopUpTask(1);
    TaskView stopped = session.View(1);
    std::printf("   stopped at %s of %s (status %d); continuing...\n",
                HumanBytes(seen.total < 0 ? 0 : seen.total).c_str(),
                HumanBytes(stopped.fileSize).c_str(), stopped.status);
    session.core().ContinueUpTask(1);
    if (!session.Run(tty, stdout)) return 130;
    TaskView v = session.View(1);
    rows.push_back({v.fileName + " (resumed)", v.fileSize, session.Seconds(1), true, false});
  }

  std::printf("\n%-40s %12s %9s %10s  %s\n", "file", "size", "time", "MB/s", "server copy");
  bool allSame = true;
  for (Row& r : rows) {
    std::string base = r.file.substr(0, r.file.find(" ("));
    std::string local = FileDigestText(base.c_str());
    std::string copy = server.Store().CompletePath(local);
    r.same = !copy.empty() && (local == "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709" ||
                               FileDigestText(copy.c_str()) == local);
    allSame = allSame && r.same;
    double mbs = r.seconds > 0 ? static_cast<double>(r.size) / 1e6 / r.seconds : 0.0;
    std::string name = fs::path(base).filename().string() + r.file.substr(base.size());
    std::printf("%-40s %12s %8.2fs %10.1f  %s\n", name.c_str(), HumanBytes(r.size).c_str(),
                r.seconds, r.uploaded ? mbs : 0.0,
                r.same ? "SHA-1 equals local" : "MISSING OR DIFFERENT");
  }
  server.Stop();
  std::error_code ec;
  fs::remove_all(work, ec);
  return allSame ? 0 : 1;
}

}  // namespace host
