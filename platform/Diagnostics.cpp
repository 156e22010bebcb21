#include "platform/Diagnostics.h"

namespace platform {

Diagnostics::Diagnostics() : platformRouteOn_(PlatformDiagnosticsOn()) {}

void Diagnostics::Emit(DiagChannel channel, std::string_view text) {
  std::lock_guard<std::mutex> g(lock_);
  if (sink_) {
    sink_(channel, text);
  } else if (platformRouteOn_) {
    PlatformDiagnostic(channel, text);
  }
}

void Diagnostics::DebugOutput(std::string_view text) {
  Emit(DiagChannel::kDebugger, text);
}

void Diagnostics::ConsoleOutput(std::string_view text) {
  Emit(DiagChannel::kConsole, text);
}

void Diagnostics::SetSink(DiagnosticSink sink) {
  std::lock_guard<std::mutex> g(lock_);
  sink_ = std::move(sink);
}

}  // namespace platform
