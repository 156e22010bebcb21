// ferrant: the upload control on Linux, for people (upload, tasks, resume, demo) and for
// scripts (rpc).
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "host/Demo.h"
#include "host/Rpc.h"
#include "host/Session.h"
#include "platform/Resolver.h"

namespace {

void AddConnectionOptions(CLI::App* cmd, host::ConnectionOptions& o) {
  cmd->add_option("--dispatch", o.dispatch, "dispatch server URL")->capture_default_str();
  cmd->add_option("--user", o.user, "user id (default: $USER)");
  cmd->add_option("--cookie", o.cookie, "the user's cookie")->capture_default_str();
  cmd->add_option("--retry", o.retry, "retries in a row after a failed request")
      ->capture_default_str();
  cmd->add_option("--wait", o.wait, "seconds to wait before a retry")->capture_default_str();
  cmd->add_option("--resolve", o.resolve, "HOST:PORT:ADDR, as curl's --resolve (repeatable)")
      ->allow_extra_args(false);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"ferrant: resumable uploads to the file-storage service"};
  app.require_subcommand(1);
  host::ConnectionOptions options;
  const char* user = std::getenv("USER");
  options.user = user && *user ? user : "user";

  std::vector<std::string> resolve;
  CLI::App* rpc = app.add_subcommand("rpc", "JSON-RPC 2.0 on standard input and output");
  rpc->add_option("--resolve", resolve, "HOST:PORT:ADDR, as curl's --resolve (repeatable)")
      ->allow_extra_args(false);

  std::vector<std::string> files;
  std::string param;
  bool statusLines = false;
  CLI::App* upload = app.add_subcommand("upload", "upload files, showing their progress");
  AddConnectionOptions(upload, options);
  upload->add_option("--param", param,
                     "task parameter template (default: the reference server's, with size and "
                     "name filled in)");
  upload->add_flag("--status-lines", statusLines, "print the raw status lines as they change");
  upload->add_option("FILE", files, "files to upload")->required();

  CLI::App* tasks = app.add_subcommand("tasks", "list the saved tasks");
  AddConnectionOptions(tasks, options);
  CLI::App* resume = app.add_subcommand("resume", "continue the saved tasks");
  AddConnectionOptions(resume, options);
  resume->add_flag("--status-lines", statusLines, "print the raw status lines as they change");

  std::vector<std::string> demoFiles;
  CLI::App* demo = app.add_subcommand("demo", "the whole road on a built-in reference server");
  demo->add_option("FILE", demoFiles, "files to upload (default: generated samples)");

  CLI11_PARSE(app, argc, argv);

  if (rpc->parsed()) {
    for (const std::string& r : resolve) {
      if (!platform::AddResolveOverrideSpec(r)) {
        std::cerr << "ferrant: bad --resolve " << r << "\n";
        return 2;
      }
    }
    return host::RunRpc(std::cin, std::cout);
  }
  if (demo->parsed()) return host::RunDemo(demoFiles);

  for (const std::string& r : options.resolve) {
    if (platform::AddResolveOverrideSpec(r) == false) {
      std::cerr << "ferrant: bad --resolve " << r << "\n";
      return 2;
    }
  }
  host::InstallInterruptHandlers();
  host::Session session(options);
  if (!session.Init()) {
    std::cerr << "ferrant: the control refused the dispatch address, user id or cookie\n";
    return 2;
  }
  const bool live = !statusLines && isatty(fileno(stdout));
  if (tasks->parsed()) {
    int count = session.core().GetTaskCount();
    std::printf("%d saved task(s)\n", count);
    for (int id = 10000, found = 0; found < count && id < 10000 + 100000; ++id) {
      std::string line;
      if (!session.core().GetTaskInfo(id, &line)) continue;
      ++found;
      host::TaskView v = host::ParseStatusLine(line);
      std::printf("%d  %s  %s\n", id, host::HumanBytes(v.fileSize).c_str(), v.fileName.c_str());
    }
    return 0;
  }
  if (resume->parsed()) {
    session.ContinueReloaded();
  } else {
    int id = 1;
    for (const std::string& f : files) {
      std::string path = std::filesystem::absolute(f).string();
      std::string p = param.empty() ? host::DefaultParam(path) : param;
      if (!session.Add(id, path, p)) {
        std::cerr << "ferrant: " << path << " is already a task\n";
      }
      ++id;
    }
  }
  if (!session.Run(live, stdout)) {
    std::cerr << "ferrant: interrupted; the tasks stopped and their task files stay, so "
                 "`ferrant resume` goes on from where the server stands\n";
    return 130;
  }
  return session.Summarize(stderr) ? 0 : 1;
}
