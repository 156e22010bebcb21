// Everything that lives once per process, in one place.
//
// The control's settings (the dispatch endpoint set by InitService, the retry settings), the
// counters shared by every task (RunningCount, the slots held by workers, capped at 3;
// HashSlotCount, the single full-speed hasher), the file-dialog flag shared by every control in
// the process, and what the platform adds (time-outs of the transport; the host-name overrides
// live in Resolver.h and the diagnostics sink in Diagnostics.h).
//
// ResetProcessState() puts every value back to its initial state; tests call it between cases
// (it also clears the resolver overrides and restores the default diagnostics sink).
//
// Thread safety: the counters and settings are atomics. The dispatch endpoint is written by
// InitService on the page's thread while worker and deletion threads may read it, so it is
// read and written whole under a lock (DispatchEndpoint / SetDispatchEndpoint).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace platform {

struct DispatchEndpointValue {
  char Host[104];
  int32_t Port;
  char Path[100];
};

struct ProcessState {
  std::atomic<int32_t> RetryLimit{0};
  std::atomic<int32_t> RetryWaitSeconds{0};
  // Tasks that hold a worker slot; at most 3.
  std::atomic<int32_t> RunningCount{0};
  // The single full-speed hasher: 0 or 1.
  std::atomic<int32_t> HashSlotCount{0};
  // True while a file-dialog thread exists in the process.
  std::atomic<bool> FileDialogOpen{false};
  // Transport time-outs in milliseconds: a connect, and a connection on which no byte moves.
  std::atomic<int32_t> ConnectTimeoutMs{0};
  std::atomic<int32_t> IdleTimeoutMs{0};
};

ProcessState& Process();

// A copy of the dispatch endpoint (host, port, path) taken under its lock.
DispatchEndpointValue DispatchEndpoint();
// Replaces the whole dispatch endpoint under its lock.
void SetDispatchEndpoint(const DispatchEndpointValue& value);

// Back to the initial values: default dispatch host, port 80, path "/index.php", zero counters
// and settings, default time-outs, no resolver overrides, default diagnostics sink.
void ResetProcessState();

// The service domain suffix and the default dispatch host (build settings).
const char* ServiceDomainSuffix();
const char* DefaultDispatchHost();

}  // namespace platform
