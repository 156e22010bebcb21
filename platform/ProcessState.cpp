#include "platform/ProcessState.h"

#include <mutex>

#include "platform/Bounded.h"
#include "platform/Diagnostics.h"
#include "platform/Resolver.h"

namespace platform {
namespace {

std::mutex& EndpointLock() {
  static std::mutex lock;
  return lock;
}

DispatchEndpointValue InitialEndpoint() {
  DispatchEndpointValue v{};
  CopyText(v.Host, FERRANT_DEFAULT_DISPATCH_HOST);
  v.Port = 80;
  CopyText(v.Path, "/index.php");
  return v;
}

DispatchEndpointValue& Endpoint() {
  static DispatchEndpointValue value = InitialEndpoint();
  return value;
}

}  // namespace

ProcessState& Process() {
  static ProcessState* state = [] {
    auto* s = new ProcessState;
    s->ConnectTimeoutMs = FERRANT_CONNECT_TIMEOUT_SEC * 1000;
    s->IdleTimeoutMs = FERRANT_IDLE_TIMEOUT_SEC * 1000;
    return s;
  }();
  return *state;
}

DispatchEndpointValue DispatchEndpoint() {
  std::lock_guard<std::mutex> g(EndpointLock());
  return Endpoint();
}

void SetDispatchEndpoint(const DispatchEndpointValue& value) {
  std::lock_guard<std::mutex> g(EndpointLock());
  Endpoint() = value;
}

void ResetProcessState() {
  ProcessState& s = Process();
  s.RetryLimit = 0;
  s.RetryWaitSeconds = 0;
  s.RunningCount = 0;
  s.HashSlotCount = 0;
  s.FileDialogOpen = false;
  s.ConnectTimeoutMs = FERRANT_CONNECT_TIMEOUT_SEC * 1000;
  s.IdleTimeoutMs = FERRANT_IDLE_TIMEOUT_SEC * 1000;
  SetDispatchEndpoint(InitialEndpoint());
  ClearResolveOverrides();
  SetDiagnosticSink(nullptr);
}

const char* ServiceDomainSuffix() {
  return FERRANT_SERVICE_DOMAIN_SUFFIX;
}
const char* DefaultDispatchHost() {
  return FERRANT_DEFAULT_DISPATCH_HOST;
}

}  // namespace platform
