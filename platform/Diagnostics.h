// The diagnostics sink: the debugger output of the protocol (request targets and reply texts
// behind their code-page-936 prefixes) and the console lines of a few events ("Start Hash\n",
// "DeleteTask Success", ...). Nothing in the product reads either.
//
// One Diagnostics object per runtime (upload/Runtime.h). By default it routes as the platform
// does: on Windows, DebugOutput goes to OutputDebugStringA and ConsoleOutput to the process's
// standard output; on Linux both go to standard error when FERRANT_DEBUG was set when the object
// was made, and nowhere otherwise, so that a host that speaks a protocol on standard output is
// never disturbed. A front end or a test may route them elsewhere with SetSink.
//
// Thread safety: callable from any thread; the sink is swapped under a lock and called under it,
// so a sink sees whole texts, one at a time.
#pragma once

#include <functional>
#include <mutex>
#include <string_view>

namespace platform {

enum class DiagChannel { kDebugger, kConsole };
using DiagnosticSink = std::function<void(DiagChannel, std::string_view)>;

class Diagnostics {
 public:
  Diagnostics();
  Diagnostics(const Diagnostics&) = delete;
  Diagnostics& operator=(const Diagnostics&) = delete;

  void DebugOutput(std::string_view text);
  void ConsoleOutput(std::string_view text);
  // Replaces the sink; an empty function restores the platform's route.
  void SetSink(DiagnosticSink sink);

 private:
  void Emit(DiagChannel channel, std::string_view text);

  std::mutex lock_;
  DiagnosticSink sink_;
  bool platformRouteOn_;  // Linux: FERRANT_DEBUG was set
};

// The platform's route (Diagnostics_posix.cpp / _win32.cpp).
void PlatformDiagnostic(DiagChannel channel, std::string_view text);
// Whether the platform's route is on for this process (Linux: FERRANT_DEBUG set; Windows: always).
bool PlatformDiagnosticsOn();

}  // namespace platform
