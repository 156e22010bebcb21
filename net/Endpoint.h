// Where a request goes: the scheme (plain HTTP or HTTP over TLS), the host as the address or
// the dispatch reply named it, and the port. Every request of a task follows the scheme of the
// dispatch address: after an https dispatch, the upload server is asked over TLS too.
#pragma once

#include <cstdint>

enum class Scheme : int32_t { kHttp = 0, kHttps = 1 };

struct Endpoint {
  Scheme scheme = Scheme::kHttp;
  const char* host = nullptr;
  int port = 0;  // the low 16 bits are used
};
