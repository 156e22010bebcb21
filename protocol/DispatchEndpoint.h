// The dispatch server's address: scheme, host, port and path, as InitService set them last. One
// per runtime (upload/Runtime.h), so every control of a process asks the same server.
//
// Until the first InitService it holds plain HTTP, the default dispatch host (a build setting),
// port 80 and "/index.php". Its fields keep their widths: the host fits 103 characters, the path
// 99. The scheme is the one every request of a task follows (net/Endpoint.h).
//
// Thread safety: InitService replaces the whole value on the page's thread while workers and
// deletion threads read it; both happen under a lock, so a reader never sees half of one.
#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>

#include "net/Endpoint.h"

struct DispatchEndpointValue {
  Scheme Protocol;
  char Host[104];
  int32_t Port;
  char Path[100];
};

// The path requests are sent to: Path, or "/" when the address had none ("GET ?cmd=..." is not
// a request any server accepts).
std::string_view RequestPathOf(const DispatchEndpointValue& ep);
// Where the dispatch requests go.
inline Endpoint ServerOf(const DispatchEndpointValue& ep) {
  return Endpoint{ep.Protocol, ep.Host, ep.Port};
}

class DispatchEndpoint {
 public:
  DispatchEndpoint();
  DispatchEndpoint(const DispatchEndpoint&) = delete;
  DispatchEndpoint& operator=(const DispatchEndpoint&) = delete;

  // A copy of the whole value.
  DispatchEndpointValue Get() const;
  void Set(const DispatchEndpointValue& value);

 private:
  mutable std::mutex lock_;
  DispatchEndpointValue value_;
};
