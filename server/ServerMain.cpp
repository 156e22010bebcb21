// ferrant-server: the reference dispatch and upload server, started by hand.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <asio.hpp>
#include <cstdio>

#include "platform/BuildSettings.h"
#include "server/ReferenceServer.h"
#include "server/TlsContext.h"

namespace {

// How to point the client at the server, with its real port.
void PrintUsage(const refserver::ServerOptions& o, uint16_t port) {
  std::printf("ferrant-server: listening on %s:%u%s, store %s\n", o.bindAddress.c_str(), port,
              o.tlsCertFile.empty() ? "" : " (HTTPS)", o.storeDir.c_str());
  if (o.tlsCertFile.empty()) {
    std::printf(
        "point the client at it:\n"
        "  ferrant upload --dispatch http://dispatch.corvel.example:%u%s \\\n"
        "      --resolve dispatch.corvel.example:%u:%s -- FILE...\n",
        port, o.dispatchPath.c_str(), port, o.bindAddress.c_str());
  } else {
    // The client verifies the name it connects to: the upload host serves the dispatch too.
    const std::string& host = o.uploadHost;
    std::error_code notAnAddress;
    asio::ip::make_address(host, notAnAddress);
    const std::string resolve =
        notAnAddress ? " --resolve " + host + ":" + std::to_string(port) + ":" + o.bindAddress : "";
    std::printf(
        "point the client at it, trusting the root that issued %s:\n"
        "  ferrant upload --dispatch https://%s:%u%s \\\n"
        "      --cacert ROOT.pem%s -- FILE...\n",
        o.tlsCertFile.c_str(), host.c_str(), port, o.dispatchPath.c_str(), resolve.c_str());
    if (!refserver::CertificateNames(o.tlsCertFile, host)) {
      std::fprintf(stderr,
                   "ferrant-server: warning: the certificate does not name %s; clients will refuse "
                   "it (give\n"
                   "  --upload-host a name or address the certificate holds)\n",
                   host.c_str());
    }
  }
  std::printf(
      "task parameter (the page's template; size and name filled when the task is added):\n"
      "  sha1={sha1}&size=<bytes>&name=<file name>&pick_code={pick_code}\n");
}

}  // namespace

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
  auto* cert = app.add_option("--tls-cert", options.tlsCertFile,
                              "serve HTTPS with this certificate chain (PEM, the leaf first)");
  auto* key = app.add_option("--tls-key", options.tlsKeyFile, "the certificate's key (PEM)");
  cert->needs(key);
  key->needs(cert);
  std::string maxVersion = "1.3";
  app.add_option("--tls-max", maxVersion, "tests: the highest TLS version agreed")
      ->check(CLI::IsMember({"1.2", "1.3"}))
      ->capture_default_str();
  bool noTickets = false;
  app.add_flag("--tls-no-tickets", noTickets,
               "tests: no session tickets (TLS 1.2 resumes by session id)");
  CLI11_PARSE(app, argc, argv);
  options.tlsMaxVersion =
      maxVersion == "1.2" ? refserver::TlsVersion::k1_2 : refserver::TlsVersion::k1_3;
  options.tlsTickets = !noTickets;

  // SIGINT and SIGTERM are blocked before the server's threads exist (they inherit the mask)
  // and taken by this thread with sigwait: no handler, no flag.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  refserver::ReferenceServer server(options);
  if (!server.Start()) {
    std::fprintf(stderr, "ferrant-server: %s\n", server.Error().c_str());
    return 1;
  }
  PrintUsage(options, server.Port());
  std::fflush(stdout);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  server.Stop();
  return 0;
}
