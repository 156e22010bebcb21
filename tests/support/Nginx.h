// nginx from the system, terminating TLS in front of a plain HTTP server on loopback: a real
// front end that no one here wrote, as a service deploys the upload protocol. Started on a free
// port with its configuration, temporary paths and log in the test's folder; ready once it
// reports its worker started; stopped with the test.
#pragma once

#include <cstdint>
#include <string>

#include "tests/support/ProxyHarness.h"

namespace testing_support {

class Nginx {
 public:
  // Serves https on 127.0.0.1:port with chain and key, passing every request (bodies streamed,
  // of any size) to 127.0.0.1:upstreamPort.
  bool Start(const std::string& dir, uint16_t port, uint16_t upstreamPort, const std::string& chain,
             const std::string& key);

 private:
  ChildProcess process_;
};

}  // namespace testing_support
