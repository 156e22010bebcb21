#include "platform/Diagnostics.h"

#include <mutex>
#include <string>

namespace platform {

// The platform's default route for each channel (Diagnostics_posix.cpp / _win32.cpp).
void DefaultDiagnostic(DiagChannel channel, std::string_view text);

namespace {

std::mutex& SinkLock() {
  static std::mutex lock;
  return lock;
}

DiagnosticSink& Sink() {
  static DiagnosticSink sink;
  return sink;
}

void Emit(DiagChannel channel, std::string_view text) {
  std::lock_guard<std::mutex> g(SinkLock());
  if (Sink()) {
    Sink()(channel, text);
  } else {
    DefaultDiagnostic(channel, text);
  }
}

}  // namespace

void DebugOutput(std::string_view text) {
  Emit(DiagChannel::kDebugger, text);
}
void ConsoleOutput(std::string_view text) {
  Emit(DiagChannel::kConsole, text);
}

void SetDiagnosticSink(DiagnosticSink sink) {
  std::lock_guard<std::mutex> g(SinkLock());
  Sink() = std::move(sink);
}

}  // namespace platform
