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
// written with replacement characters (U+FFFD). A string param holding a NUL is refused as
// invalid params (the control's texts end at the first NUL). At the end of the input the manager
// is shut down as when the control's window is destroyed (running tasks stop, task files stay).
//
// Thread safety: one thread drives the core, as the page's thread does.
#pragma once

#include <iosfwd>
#include <string>

#include "control/UpLoadObj.h"

namespace host {

// Handles one input line; returns the response line, or "" when none is due.
std::string HandleRpcLine(CUpLoadObjCore& core, const std::string& line);
// Reads requests from in until its end, writing responses to out, with the file selection of
// host/FileSelection.h; then shuts the manager down and waits for the workers. Returns 0, or 1
// when out could no longer be written (the reader went away: the input is not read further).
int RunRpc(std::istream& in, std::ostream& out);

}  // namespace host
