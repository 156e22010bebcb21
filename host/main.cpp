// ferrant: the upload control on Linux, for people (upload, tasks, resume, demo) and for
// scripts (rpc). This file reads the command line; the commands live in Commands, Rpc and Demo.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "host/BrowserDemo.h"
#include "host/BrowserHostInstall.h"
#include "host/Commands.h"
#include "host/Demo.h"
#include "host/DesktopFileChooser.h"
#include "host/InterruptWatch.h"
#include "host/NativeHost.h"
#include "host/Rpc.h"
#include "platform/BuildSettings.h"
#include "upload/Runtime.h"

namespace {

void AddNetworkOptions(CLI::App* cmd, host::NetworkOptions& network) {
  // One value per --resolve, so that the files after it are not taken as more addresses.
  cmd->add_option("--resolve", network.resolve,
                  "HOST:PORT:ADDR: connect to ADDR for HOST:PORT, as curl's --resolve "
                  "(repeatable)")
      ->allow_extra_args(false);
  cmd->add_option("--cacert", network.caFile,
                  "FILE: trust the roots in this PEM file instead of the system's for https");
}

void AddConnectionOptions(CLI::App* cmd, host::ConnectionOptions& o) {
  cmd->add_option("--dispatch", o.dispatch, "dispatch server URL")->capture_default_str();
  cmd->add_option("--user", o.user, "user id (default: $USER, or \"user\")");
  cmd->add_option("--cookie", o.cookie, "the user's cookie")->capture_default_str();
  cmd->add_option("--retry", o.retry, "retries in a row after a failed request")
      ->capture_default_str();
  cmd->add_option("--wait", o.wait, "seconds to wait before a retry")->capture_default_str();
  AddNetworkOptions(cmd, o.network);
}

}  // namespace

int main(int argc, char** argv) {
  // A browser starts its native host with the caller as the only arguments.
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (host::IsBrowserCall(args) || (!args.empty() && args[0] == "native-host")) {
    const bool named = !args.empty() && args[0] == "native-host";
    Runtime runtime;
    return host::RunNativeHost(runtime, {args.begin() + (named ? 1 : 0), args.end()},
                               host::DesktopFileChooser, host::CancelDesktopChooser);
  }
  if (!args.empty() && args[0] == "install-browser-host") {
    return host::RunInstallBrowserHostCommand({args.begin() + 1, args.end()});
  }
  CLI::App app{"ferrant: resumable uploads to the file-storage service"};
  app.set_version_flag("--version", std::string("ferrant ") + platform::kVersion);
  app.require_subcommand(1);
  host::ConnectionOptions connection;
  const char* user = std::getenv("USER");
  connection.user = user && *user ? user : "user";

  host::NetworkOptions rpcNetwork;
  CLI::App* rpc = app.add_subcommand(
      "rpc", "the control's methods as JSON-RPC 2.0, one request per line on standard input");
  AddNetworkOptions(rpc, rpcNetwork);

  host::UploadOptions upload;
  CLI::App* uploadCmd = app.add_subcommand("upload", "upload files, showing their progress");
  AddConnectionOptions(uploadCmd, connection);
  uploadCmd->add_option("--param", upload.paramTemplate,
                        "task parameter; {size} and {name} are filled per file, {sha1} and "
                        "{pick_code} by the control (default: the reference server's, "
                        "sha1={sha1}&size={size}&name={name}&pick_code={pick_code})");
  uploadCmd->add_flag("--status-lines", upload.statusLines,
                      "print the raw status lines as they change, even on a terminal");
  uploadCmd->add_option("FILE", upload.files, "files to upload")->required();

  CLI::App* tasks = app.add_subcommand("tasks", "list the saved tasks of the user");
  AddConnectionOptions(tasks, connection);

  bool resumeStatusLines = false;
  CLI::App* resume = app.add_subcommand("resume", "continue the saved tasks of the user");
  AddConnectionOptions(resume, connection);
  resume->add_flag("--status-lines", resumeStatusLines,
                   "print the raw status lines as they change, even on a terminal");

  std::vector<std::string> demoFiles;
  CLI::App* demo = app.add_subcommand(
      "demo", "the whole upload road against a reference server started in this process");
  demo->add_option("FILE", demoFiles, "files to upload (default: generated samples)");
  bool demoPlain = false;
  demo->add_flag("--plain", demoPlain, "plain HTTP instead of HTTPS with a throwaway root");
  std::string demoBrowser;
  CLI::Option* demoInBrowser =
      demo->add_option("--browser", demoBrowser,
                       "the demo page in Chromium or Firefox (default: the first installed)")
          ->expected(0, 1);

  // Listed for --help; their own parsers read them (above).
  app.add_subcommand("native-host", "the browsers' native-messaging host (started by the browser)");
  app.add_subcommand("install-browser-host",
                     "make the native host known to Chromium, Chrome, Edge or Firefox");

  CLI11_PARSE(app, argc, argv);

  if (demo->parsed() && demoInBrowser->count() > 0) return host::RunBrowserDemo(demoBrowser, demoPlain);
  // Before any thread: the watch blocks SIGINT and SIGTERM for every thread to come.
  host::InterruptWatch interrupts;
  if (demo->parsed()) return host::RunDemo(interrupts, demoFiles, demoPlain);
  // The command's runtime: everything the control has once per process.
  Runtime runtime;
  if (rpc->parsed()) {
    if (!host::ApplyNetworkOptions(runtime, rpcNetwork, stderr)) return host::kExitUsage;
    return host::RunRpc(runtime, std::cin, std::cout);
  }
  if (tasks->parsed()) return host::RunTasks(runtime, interrupts, connection);
  if (resume->parsed()) return host::RunResume(runtime, interrupts, connection, resumeStatusLines);
  return host::RunUpload(runtime, interrupts, connection, upload);
}
