#include "protocol/DispatchEndpoint.h"

#include "platform/Bounded.h"
#include "platform/BuildSettings.h"

std::string_view RequestPathOf(const DispatchEndpointValue& ep) {
  return ep.Path[0] == '\0' ? std::string_view("/") : platform::FieldView(ep.Path);
}

namespace {
constexpr int32_t kDefaultPort = 80;
}  // namespace

DispatchEndpoint::DispatchEndpoint() : value_{} {
  value_.Protocol = Scheme::kHttp;
  platform::CopyText(value_.Host, platform::kDefaultDispatchHost);
  value_.Port = kDefaultPort;
  platform::CopyText(value_.Path, "/index.php");
}

DispatchEndpointValue DispatchEndpoint::Get() const {
  std::lock_guard<std::mutex> g(lock_);
  return value_;
}

void DispatchEndpoint::Set(const DispatchEndpointValue& value) {
  std::lock_guard<std::mutex> g(lock_);
  value_ = value;
}
