// `ferrant rpc`: the control's methods over JSON-RPC 2.0 (host/JsonRpcDispatcher.h), one request
// per line on the input and one response per line on the output, in order, and nothing else on
// the output. Empty lines are skipped; a trailing CR is dropped.
//
// At the end of the input the control is shut down as when its window is destroyed (running
// tasks stop, task files stay) and the command waits for its threads.
//
// Thread safety: one thread drives the core, as the page's thread does.
#pragma once

#include <iosfwd>

#include "upload/Runtime.h"

namespace host {

// Reads requests from in until its end, writing responses to out, with the file selection of
// host/FileSelection.h; then shuts the control down and waits for its threads. Returns 0, or 1
// when out could no longer be written (the reader went away: the input is not read further).
int RunRpc(Runtime& runtime, std::istream& in, std::ostream& out);

}  // namespace host
