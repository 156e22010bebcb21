#include "host/Rpc.h"

#include <csignal>
#include <iostream>
#include <string>

#include "control/UpLoadObjCore.h"
#include "host/FileSelection.h"
#include "host/JsonRpcDispatcher.h"

namespace host {
int RunRpc(Runtime& runtime, std::istream& in, std::ostream& out) {
  CUpLoadObjCore core(runtime);
  core.SetFileChooser(EnvironmentFileChooser);
  JsonRpcDispatcher dispatcher(core);
  // A reader that goes away makes the writes fail instead of ending the process where it
  // stands: the control is then shut down as at the end of the input.
#ifdef SIGPIPE
  std::signal(SIGPIPE, SIG_IGN);
#endif
  std::string line;
  bool written = true;
  while (written && std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    const std::string response = dispatcher.Handle(line);
    if (!response.empty()) written = static_cast<bool>(out << response << '\n' << std::flush);
  }
  core.Shutdown();
  return written ? 0 : 1;
}

}  // namespace host
