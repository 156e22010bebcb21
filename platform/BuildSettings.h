// The deployment values a build carries (CMake cache settings): the service domain suffix that
// InitService checks, the default dispatch host, the transport's time-outs, and the version.
// Constants, never changed while the program runs.
#pragma once

namespace platform {

// The last characters every dispatch host (and page host) must have, dot included.
inline constexpr const char* kServiceDomainSuffix = FERRANT_SERVICE_DOMAIN_SUFFIX;
inline constexpr const char* kDefaultDispatchHost = FERRANT_DEFAULT_DISPATCH_HOST;
// Milliseconds a connect may take, and a connection may stay silent.
inline constexpr int kConnectTimeoutMs = FERRANT_CONNECT_TIMEOUT_SEC * 1000;
inline constexpr int kIdleTimeoutMs = FERRANT_IDLE_TIMEOUT_SEC * 1000;
// The product's version (project(VERSION) in the top CMakeLists.txt): GetVersionInfo's text, the
// Windows resources, the packages.
inline constexpr const char* kVersion = FERRANT_VERSION;

}  // namespace platform
