#include "host/Commands.h"

#include <unistd.h>

#include <filesystem>

namespace host {
namespace {

bool Initialized(Session& session) {
  if (session.Init()) return true;
  std::fprintf(stderr,
               "ferrant: the control refused the settings (is the dispatch host in the service "
               "domain, and are the user id and cookie short enough?)\n");
  return false;
}

int Finish(Session& session, bool statusLines) {
  const Display display =
      !statusLines && isatty(fileno(stdout)) ? Display::kLive : Display::kStatusLines;
  if (!session.Run(display, stdout)) {
    std::fprintf(stderr,
                 "ferrant: interrupted; the tasks stopped and their task files stay, so "
                 "`ferrant resume` (or the same upload) goes on from where the server stands\n");
    return kExitInterrupted;
  }
  return session.Summarize(stderr) ? kExitOk : kExitFailed;
}

}  // namespace

bool ApplyNetworkOptions(Runtime& runtime, const NetworkOptions& network, FILE* err) {
  for (const std::string& entry : network.resolve) {
    if (!runtime.resolver.AddEntry(entry)) {
      std::fprintf(err, "ferrant: --resolve wants HOST:PORT:ADDR with an IPv4 address, not %s\n",
                   entry.c_str());
      return false;
    }
  }
  if (!network.caFile.empty()) {
    std::FILE* f = std::fopen(network.caFile.c_str(), "rb");
    if (f == nullptr) {
      std::fprintf(err, "ferrant: --cacert: cannot read %s\n", network.caFile.c_str());
      return false;
    }
    std::fclose(f);
    runtime.transport.SetTrust({network.caFile});
  }
  return true;
}

int RunUpload(Runtime& runtime, const InterruptWatch& interrupts,
              const ConnectionOptions& connection, const UploadOptions& upload) {
  if (!ApplyNetworkOptions(runtime, connection.network, stderr)) return kExitUsage;
  Session session(runtime, connection, interrupts);
  if (!Initialized(session)) return kExitUsage;
  int id = 1;
  for (const std::string& file : upload.files) {
    std::error_code ec;
    std::string path = std::filesystem::absolute(file, ec).lexically_normal().string();
    if (ec) path = file;
    const std::string param = FillParam(
        upload.paramTemplate.empty() ? kDefaultParamTemplate : upload.paramTemplate, path);
    session.Add(id++, path, param);
  }
  return Finish(session, upload.statusLines);
}

int RunTasks(Runtime& runtime, const InterruptWatch& interrupts,
             const ConnectionOptions& connection) {
  if (!ApplyNetworkOptions(runtime, connection.network, stderr)) return kExitUsage;
  Session session(runtime, connection, interrupts);
  if (!Initialized(session)) return kExitUsage;
  std::printf("%zu saved task(s)\n", session.SavedTaskIds().size());
  for (int id : session.SavedTaskIds()) {
    const TaskView v = session.View(id);
    std::printf("%d  %s  pick code %s  %s\n", id, HumanBytes(v.fileSize).c_str(),
                v.pickCode.empty() ? "-" : v.pickCode.c_str(), v.fileName.c_str());
  }
  return kExitOk;
}

int RunResume(Runtime& runtime, const InterruptWatch& interrupts,
              const ConnectionOptions& connection, bool statusLines) {
  if (!ApplyNetworkOptions(runtime, connection.network, stderr)) return kExitUsage;
  Session session(runtime, connection, interrupts);
  if (!Initialized(session)) return kExitUsage;
  if (session.SavedTaskIds().empty()) std::printf("no saved tasks\n");
  session.ContinueSaved();
  return Finish(session, statusLines);
}

}  // namespace host
