// What every request of the HTTP client shares, and what one request carries.
//
//   Transport  the runtime's part of the network: the Env (its sockets, the files a POST sends,
//              the user's proxy setting), the resolver with its overrides, the diagnostics
//              sink, the time-outs (a connect; a connection on which no byte moves), and TLS:
//              what is trusted and the TLS context (platform/Tls.h) that keeps sessions for
//              reuse. One per runtime (upload/Runtime.h); it refers to the runtime's Env,
//              Resolver and Diagnostics and owns only its TLS context.
//   Call       one request's view: the Transport and the cancel flag of the worker run that
//              makes it (null: never cancelled). Setting the flag from any thread cuts the
//              request short within one wait slice of the socket seam: the call then fails.
//
// Thread safety: a Transport is shared by every thread of its runtime; the time-outs are
// atomics that a test may change between requests; the TLS context is made under a lock. A Call
// lives on one thread's stack.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/BuildSettings.h"
#include "platform/Diagnostics.h"
#include "platform/Env.h"
#include "platform/Resolver.h"
#include "platform/Tls.h"

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

  // What TLS trusts: the system's roots unless a front end names a file (--cacert). Set by a
  // front end before its first request (a context in use is not replaced under a connection).
  void SetTrust(const platform::TlsTrust& trust) {
    std::lock_guard<std::mutex> g(tlsLock_);
    if (!tls_) trust_ = trust;
  }
  // The context, made at the first https request; null with *why when TLS cannot be set up
  // (asked again at the next request). It lives as long as the transport.
  platform::TlsContext* Tls(platform::Status* why) {
    std::lock_guard<std::mutex> g(tlsLock_);
    if (!tls_) tls_ = platform::TlsContext::Make(trust_, why);
    return tls_.get();
  }

 private:
  std::mutex tlsLock_;
  platform::TlsTrust trust_;
  std::unique_ptr<platform::TlsContext> tls_;
};

struct Call {
  Transport& transport;
  const std::atomic<bool>* cancel = nullptr;
};
