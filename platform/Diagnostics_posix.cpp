// Linux route of the diagnostics: standard error, when FERRANT_DEBUG is set.
#include <unistd.h>

#include <cstdlib>

#include "platform/Diagnostics.h"

namespace platform {

bool PlatformDiagnosticsOn() {
  return std::getenv("FERRANT_DEBUG") != nullptr;
}

void PlatformDiagnostic(DiagChannel, std::string_view text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(2, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace platform
