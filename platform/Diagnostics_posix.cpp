// Linux route of the diagnostics: standard error when FERRANT_DEBUG is set, nowhere otherwise.
#include <unistd.h>

#include <cstdlib>

#include "platform/Diagnostics.h"

namespace platform {

void DefaultDiagnostic(DiagChannel, std::string_view text) {
  static const bool enabled = std::getenv("FERRANT_DEBUG") != nullptr;
  if (!enabled) return;
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
