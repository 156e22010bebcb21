// `ferrant rpc`: the control's methods over JSON-RPC 2.0, one request per line on the input and
// one response per line on the output, in order, and nothing else on the output.
//
// Methods carry IUpLoadObj's names and take positional params in its order:
//   InitService [userId, cookie, dispatchUrl, nRetry, nWait] -> null
//   AddUpTask [taskId, path, taskParam] -> 1 | 0
//   DeleteUpTask | ContinueUpTask | StopUpTask [taskId] -> 1 | 0
//   GetTaskInfo [taskId] -> status line, or "NULL" for an unknown number
//   GetTaskCount [] -> int;  GetVersionInfo [] -> string
//   SelectFileList [filter] -> null;  GetFileList [] -> string;  DeleteFileList [] -> null
// A malformed line, an unknown method or wrong params get a JSON-RPC error and change nothing;
// a request without an id (a notification) gets no response. Text that is not valid UTF-8 is
// written with replacement characters. At the end of the input the manager is shut down as when
// the control's window is destroyed (running tasks stop, task files stay).
#pragma once

#include <iosfwd>
#include <string>

#include "control/UpLoadObj.h"

namespace host {

// Handles one input line; returns the response line, or "" when none is due.
std::string HandleRpcLine(CUpLoadObjCore& core, const std::string& line);
// Reads requests from in until its end, writing responses to out; returns the exit code.
int RunRpc(std::istream& in, std::ostream& out);

// The Linux file chooser: the selection comes from $FERRANT_FILE_SELECTION, one path per line
// (all in one folder when there are several); unset or empty reads as a cancelled dialog.
bool EnvironmentFileChooser(const std::vector<std::string>& filterItems, std::string* selection);

}  // namespace host
