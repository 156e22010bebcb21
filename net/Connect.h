// Opening one request's connection: the stack of layers (net/Stream.h) for an endpoint.
//
//   1. TCP to the user's proxy when one is set for the target (net/ProxyTunnel.h), else to the
//      target itself;
//   2. through a proxy, the tunnel to the target's host and port (CONNECT or SOCKS4a);
//   3. for https, TLS with the target's name (platform/Tls.h through net/TlsStream.h), its
//      handshake verified before this returns.
// The result is the top stream, ready for the request's first byte.
//
// Failures: the layer's own Status. An https endpoint whose TLS cannot be set up here fails with
// kTlsUnavailable; nothing ever falls back to plain HTTP. FERRANT_DEBUG's output (the
// transport's diagnostics) names each connection's route, its TLS version and whether a session
// was resumed, and the reason of any failure.
//
// Thread safety: the caller's thread; the transport is shared.
#pragma once

#include <memory>

#include "net/Endpoint.h"
#include "net/Stream.h"
#include "net/Transport.h"

platform::Status OpenStream(const Call& call, const Endpoint& server,
                            std::unique_ptr<Stream>* stream);
