// The `ferrant` commands for people: upload, tasks and resume.
//
//   upload  adds a task per file (absolute paths; a file whose earlier upload was stopped goes
//           on with that task), continues them, and shows their progress until they end.
//   tasks   lists the saved tasks (the task files of the user's data folder).
//   resume  continues every saved task and shows their progress.
//
// Exit codes: 0 when every task completed; 1 when one failed or was refused (a line per task on
// standard error names the error code and its meaning); 2 when the options were refused; 130
// after SIGINT/SIGTERM, which stops the tasks and leaves their task files.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "host/InterruptWatch.h"
#include "host/Session.h"
#include "upload/Runtime.h"

namespace host {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

struct UploadOptions {
  std::vector<std::string> files;
  std::string paramTemplate;  // empty: DefaultParam per file
  bool statusLines = false;   // raw status lines even on a terminal
};

// Adds every --resolve override to the runtime's resolver and trusts --cacert's roots instead
// of the system's; false (with a line on err) at the first malformed override or an unreadable
// file.
bool ApplyNetworkOptions(Runtime& runtime, const NetworkOptions& network, FILE* err);

// Each command runs on the runtime and the interrupt watch that main made for it.
int RunUpload(Runtime& runtime, const InterruptWatch& interrupts,
              const ConnectionOptions& connection, const UploadOptions& upload);
int RunTasks(Runtime& runtime, const InterruptWatch& interrupts,
             const ConnectionOptions& connection);
int RunResume(Runtime& runtime, const InterruptWatch& interrupts,
              const ConnectionOptions& connection, bool statusLines);

}  // namespace host
