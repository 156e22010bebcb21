// What every request of the HTTP client shares, and what one request carries.
//
//   Transport  the runtime's part of the network: the Env (its sockets, the files a POST sends,
//              the user's proxy setting), the resolver with its overrides, the diagnostics
//              sink, and the time-outs (a connect; a connection on which no byte moves). One
//              per runtime (upload/Runtime.h); it refers to the runtime's Env, Resolver and
//              Diagnostics and owns nothing else.
//   Call       one request's view: the Transport and the cancel flag of the worker run that
//              makes it (null: never cancelled). Setting the flag from any thread cuts the
//              request short within one wait slice of the socket seam: the call then fails.
//
// Thread safety: a Transport is shared by every thread of its runtime; the time-outs are
// atomics that a test may change between requests. A Call lives on one thread's stack.
#pragma once

#include <atomic>

#include "platform/BuildSettings.h"
#include "platform/Diagnostics.h"
#include "platform/Env.h"
#include "platform/Resolver.h"

struct Transport {
  Transport(platform::Env& e, platform::Resolver& r, platform::Diagnostics& d)
      : env(e), resolver(r), diagnostics(d) {}
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  platform::Env& env;
  platform::Resolver& resolver;
  platform::Diagnostics& diagnostics;
  std::atomic<int> connectTimeoutMs{platform::kConnectTimeoutMs};
  std::atomic<int> idleTimeoutMs{platform::kIdleTimeoutMs};
};

struct Call {
  Transport& transport;
  const std::atomic<bool>* cancel = nullptr;
};
