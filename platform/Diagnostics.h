// The diagnostics sink: the debugger output of the protocol (request targets and reply texts
// behind their code-page-936 prefixes) and the console lines of a few events ("Start Hash\n",
// "DeleteTask Success", ...). Nothing in the product reads either.
//
// Both go to one sink that the host chooses. By default: on Windows, DebugOutput goes to
// OutputDebugStringA and ConsoleOutput to the process's standard output; on Linux both go to
// standard error when FERRANT_DEBUG is set and nowhere otherwise, so that a host that speaks a
// protocol on standard output is never disturbed. Tests capture the sink.
//
// Thread safety: callable from any thread; the sink is swapped under a lock and called under it,
// so a sink sees whole texts, one at a time.
#pragma once

#include <functional>
#include <string_view>

namespace platform {

enum class DiagChannel { kDebugger, kConsole };
using DiagnosticSink = std::function<void(DiagChannel, std::string_view)>;

void DebugOutput(std::string_view text);
void ConsoleOutput(std::string_view text);

// Replaces the sink; an empty function restores the platform default.
void SetDiagnosticSink(DiagnosticSink sink);

}  // namespace platform
