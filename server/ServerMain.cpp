// ferrant-server: the reference dispatch and upload server, started by hand.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>

#include "platform/BuildSettings.h"
#include "server/ReferenceServer.h"

int main(int argc, char** argv) {
  CLI::App app{"ferrant-server: the reference dispatch and upload server"};
  app.set_version_flag("--version", std::string("ferrant-server ") + platform::kVersion);
  refserver::ServerOptions options;
  options.storeDir = "ferrant-store";
  app.add_option("--store", options.storeDir, "folder of the content store")->capture_default_str();
  app.add_option("--bind", options.bindAddress, "address to listen on")->capture_default_str();
  app.add_option("--port", options.port, "port (0: a free one)")->capture_default_str();
  app.add_option("--upload-host", options.uploadHost, "upload host named in dispatch replies")
      ->capture_default_str();
  app.add_option("--dispatch-path", options.dispatchPath, "path of the dispatch endpoint")
      ->capture_default_str();
  app.add_option("--upload-port", options.uploadPort,
                 "upload port named in dispatch replies (0: this server's port)");
  app.add_option("--threads", options.threads, "threads serving connections")
      ->capture_default_str();
  app.add_flag("--discard-uploads", options.discardUploads,
               "benchmarks: read and discard upload bodies, accept every finish");
  CLI11_PARSE(app, argc, argv);

  // SIGINT and SIGTERM are blocked before the server's threads exist (they inherit the mask)
  // and taken by this thread with sigwait: no handler, no flag.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  refserver::ReferenceServer server(options);
  if (!server.Start()) {
    std::fprintf(stderr, "ferrant-server: cannot listen on %s:%u\n", options.bindAddress.c_str(),
                 options.port);
    return 1;
  }
  std::printf(
      "ferrant-server: listening on %s:%u, store %s\n"
      "point the client at it:\n"
      "  ferrant upload --dispatch http://dispatch.corvel.example:%u%s \\\n"
      "      --resolve dispatch.corvel.example:%u:%s -- FILE...\n"
      "task parameter (the page's template; size and name filled when the task is added):\n"
      "  sha1={sha1}&size=<bytes>&name=<file name>&pick_code={pick_code}\n",
      options.bindAddress.c_str(), server.Port(), options.storeDir.c_str(), server.Port(),
      options.dispatchPath.c_str(), server.Port(), options.bindAddress.c_str());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  server.Stop();
  return 0;
}
