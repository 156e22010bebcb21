// Windows route of the diagnostics: the debugger output, and the console lines on standard
// output as the control always wrote them.

// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <cstdio>
#include <string>

#include "platform/Diagnostics.h"

namespace platform {

bool PlatformDiagnosticsOn() {
  return true;
}

void PlatformDiagnostic(DiagChannel channel, std::string_view text) {
  if (channel == DiagChannel::kDebugger) {
    std::string copy(text);
    OutputDebugStringA(copy.c_str());
  } else {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
}

}  // namespace platform
