#include "host/BrowserDemo.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "host/BrowserHostInstall.h"
#include "host/Commands.h"
#include "host/DemoCertificates.h"
#include "host/InterruptWatch.h"
#include "host/NativeHost.h"
#include "server/ReferenceServer.h"

extern char** environ;

namespace host {
namespace {

namespace fs = std::filesystem;

constexpr const char* kChromiumPaths[] = {"/usr/lib/chromium/chromium", "/usr/bin/chromium",
                                          "/usr/bin/google-chrome", "/usr/bin/chromium-browser"};
constexpr const char* kFirefoxPaths[] = {"/usr/bin/firefox-esr", "/usr/bin/firefox"};
constexpr const char* kDispatchHost = "dispatch.corvel.example";
constexpr const char* kUploadHost = "upload.corvel.example";

std::string FirstExecutable(const char* const* paths, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (access(paths[i], X_OK) == 0) return paths[i];
  }
  return "";
}

struct FolderRemover {
  std::string path;
  ~FolderRemover() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

// The environment of this process with the given variables replaced.
std::vector<std::string> EnvironmentWith(
    const std::vector<std::pair<std::string, std::string>>& set) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& [name, value] : set) replaced = replaced || entry.rfind(name + "=", 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& [name, value] : set) env.push_back(name + "=" + value);
  return env;
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<char*> argv, envp;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  // The command blocks SIGINT and SIGTERM (host/InterruptWatch.h); the browser gets them back.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, argv[0], nullptr, &attr, argv.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  return rc == 0 ? pid : -1;
}

bool WriteText(const fs::path& path, const std::string& text) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

int RunBrowserDemo(const std::string& browser, bool plain) {
  const std::string chromium = FirstExecutable(kChromiumPaths, std::size(kChromiumPaths));
  const std::string firefox = FirstExecutable(kFirefoxPaths, std::size(kFirefoxPaths));
  std::string program;
  bool isFirefox = false;
  if (browser == "chromium" || (browser.empty() && !chromium.empty())) {
    program = chromium;
  } else if (browser == "firefox" || browser.empty()) {
    program = firefox;
    isFirefox = true;
  } else {
    std::fprintf(stderr, "demo: --browser wants chromium or firefox, not %s\n", browser.c_str());
    return kExitUsage;
  }
  if (program.empty()) {
    std::fprintf(stderr, "demo: no %s installed (apt-get install chromium firefox-esr)\n",
                 isFirefox ? "Firefox" : "Chromium");
    return kExitFailed;
  }
  const fs::path extension = fs::path(FERRANT_BROWSER_DIR) / (isFirefox ? "firefox" : "chromium");
  if (!fs::exists(extension / "manifest.json")) {
    std::fprintf(stderr, "demo: the extension is not built (%s)\n", extension.c_str());
    return kExitFailed;
  }

  // Ctrl-C tells the browser to close (its hosts share its process group); the wait below then
  // ends as when the user closes it.
  std::atomic<pid_t> child{-1};
  InterruptWatch interrupts([&child] {
    if (const pid_t p = child.load(); p > 0) kill(p, SIGTERM);
  });
  char tmpl[] = "/tmp/ferrant-browser-demo-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    std::perror("demo: cannot make a temporary folder");
    return kExitFailed;
  }
  FolderRemover remover{tmpl};
  const fs::path work = tmpl;
  fs::create_directories(work / "appdata");

  // The page's server, plain; the service's (dispatch and upload), over TLS with a root made
  // for this run unless --plain. The page never needs the root: the host it starts is told it.
  refserver::ServerOptions pageOptions;
  pageOptions.storeDir = (work / "page-server").string();
  refserver::ReferenceServer pageServer(pageOptions);
  refserver::ServerOptions serviceOptions;
  serviceOptions.storeDir = (work / "server").string();
  DemoCertificates tls;
  if (!plain) {
    fs::create_directories(work / "tls");
    if (!MakeDemoCertificates((work / "tls").string(), {kDispatchHost, kUploadHost}, &tls,
                              stderr)) {
      return kExitFailed;
    }
    serviceOptions.tlsCertFile = tls.certFile;
    serviceOptions.tlsKeyFile = tls.keyFile;
    serviceOptions.uploadHost = kUploadHost;
  }
  refserver::ReferenceServer service(serviceOptions);
  if (!pageServer.Start() || !service.Start()) {
    std::fprintf(stderr, "demo: the reference server did not start: %s%s\n",
                 pageServer.Error().c_str(), service.Error().c_str());
    return kExitFailed;
  }
  const std::string port = std::to_string(pageServer.Port());
  const std::string servicePort = std::to_string(service.Port());
  const std::string dispatch = std::string(plain ? "http" : "https") + "://" + kDispatchHost + ":" +
                               servicePort + "/index.php";
  const std::string page = "http://www.corvel.example:" + port + "/?dispatch=" + dispatch;
  std::vector<std::pair<std::string, std::string>> env = {
      {"APPDATA", (work / "appdata").string()},
      {"FERRANT_RESOLVE", std::string(kDispatchHost) + ":" + servicePort + ":127.0.0.1," +
                              kUploadHost + ":" + servicePort + ":127.0.0.1"}};
  if (!plain) env.push_back({"FERRANT_CA_FILE", tls.rootFile});

  std::vector<std::string> args;
  const fs::path profile = work / "profile";
  BrowserHostOptions install;
  if (isFirefox) {
    // Firefox reads host manifests under $HOME: the browser gets a home of its own.
    env.push_back({"HOME", (work / "home").string()});
    setenv("HOME", (work / "home").c_str(), 1);
    install.browser = "firefox";
    // A proxy file: the profile loads the unpacked extension from the build tree.
    const bool written =
        WriteText(profile / "extensions" / kFirefoxExtensionId, extension.string() + "\n") &&
        WriteText(profile / "user.js",
                  "user_pref(\"xpinstall.signatures.required\", false);\n"
                  "user_pref(\"extensions.autoDisableScopes\", 0);\n"
                  "user_pref(\"extensions.enabledScopes\", 15);\n"
                  "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
                  "user_pref(\"network.dns.localDomains\", "
                  "\"www.corvel.example,dispatch.corvel.example,upload.corvel.example\");\n");
    if (!written) {
      std::fprintf(stderr, "demo: cannot write the profile in %s\n", profile.c_str());
      return kExitFailed;
    }
    args = {program, "--no-remote", "--profile", profile.string(), page};
  } else {
    install.browser = "chromium";
    install.profile = profile.string();
    args = {program, "--no-first-run", "--user-data-dir=" + profile.string(),
            "--load-extension=" + extension.string(),
            "--host-resolver-rules=MAP *.corvel.example 127.0.0.1"};
    if (geteuid() == 0) args.push_back("--no-sandbox");  // Chromium refuses root otherwise
    args.push_back(page);
  }
  if (RunInstallBrowserHost(install, stdout, stderr) != 0) return kExitFailed;

  const pid_t pid = Spawn(args, EnvironmentWith(env));
  if (pid < 0) {
    std::fprintf(stderr, "demo: cannot start %s\n", program.c_str());
    return kExitFailed;
  }
  std::printf(
      "reference server on 127.0.0.1:%s for the page, on 127.0.0.1:%s for %s and %s\n"
      "%s\n%s opens %s\n"
      "Choose files in the page to upload them; close the browser (or press Ctrl-C) to end.\n",
      port.c_str(), servicePort.c_str(), kDispatchHost, kUploadHost,
      plain ? "uploads over plain HTTP (--plain): readable on the network"
            : ("uploads over HTTPS, verified: the host trusts a root made for this run "
               "(FERRANT_CA_FILE=" +
               tls.rootFile + ")")
                  .c_str(),
      program.c_str(), page.c_str());
  std::fflush(stdout);
  child = pid;
  if (interrupts.Interrupted()) kill(pid, SIGTERM);  // Ctrl-C came before the browser started
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  child = -1;
  pageServer.Stop();
  service.Stop();
  return interrupts.Interrupted() ? kExitInterrupted : kExitOk;
}

}  // namespace host
