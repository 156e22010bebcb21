// The portable half of a backend's waiting (platform/SocketSystem.h): a wait's deadline, its
// cancel check, and the loop that waits in slices of at most 50 ms so that a cancel is seen in
// time. The backends supply only the one-slice wait on their own API (poll, select).
//
// Thread safety: no state; the cancel flag is read atomically.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/SocketSystem.h"

namespace platform {

inline constexpr int kSocketWaitSliceMs = 50;

inline int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// When a wait that starts now runs out (steady milliseconds), or 0 when it has no limit.
inline int64_t WaitDeadline(const SocketWait& wait) {
  return wait.limitMs > 0 ? SteadyNowMs() + wait.limitMs : 0;
}

// True, with kConnectionAborted, once the wait's cancel flag is set.
inline bool WaitCancelled(const SocketWait& wait, SocketError* error) {
  if (!wait.cancel || !wait.cancel->load(std::memory_order_acquire)) return false;
  *error = SocketError::kConnectionAborted;
  return true;
}

// Waits until waitSlice(ms) reports the socket ready. waitSlice waits at most ms and returns 1
// (ready), 0 (the slice passed, or an interrupted call) or -1 (failed; it sets *error).
// Returns 1 ready; 0 the deadline passed (kTimedOut); -1 cancelled (kConnectionAborted) or
// failed.
template <typename WaitSlice>
int WaitInSlices(const SocketWait& wait, int64_t deadline, SocketError* error,
                 WaitSlice&& waitSlice) {
  for (;;) {
    if (WaitCancelled(wait, error)) return -1;
    int slice = kSocketWaitSliceMs;
    if (deadline > 0) {
      const int64_t left = deadline - SteadyNowMs();
      if (left <= 0) {
        *error = SocketError::kTimedOut;
        return 0;
      }
      if (left < slice) slice = static_cast<int>(left);
    }
    const int r = waitSlice(slice);
    if (r != 0) return r;
  }
}

}  // namespace platform
