// The checks of the small Windows test programs: a line per failed check, then the summary
// "N passed, N failed" that scripts/lib/wine.sh's run_suite reads; the program exits with the
// failure count. Thread safety: one thread.
#pragma once

#include <cstdio>
#include <string>

namespace suite {

inline int passed = 0, failed = 0;

inline void Check(const std::string& what, bool ok, const std::string& detail = "") {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAIL %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  }
}

// Prints the summary; returns the exit status.
inline int Summary() {
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed;
}

}  // namespace suite
