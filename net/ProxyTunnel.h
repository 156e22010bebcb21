// The user's proxy: which one a request uses, and the two tunnels through it, each a handshake
// run on the stream to the proxy (net/Stream.h). Once a tunnel is open, that same stream carries
// the target's bytes: the layers above (TLS, HTTP) speak to the target exactly as on a direct
// connection, and TLS runs inside the tunnel with the target's name, so the proxy sees
// ciphertext only.
//
// The proxy text is "[scheme=]host:port[;more entries]"; the first entry counts, except that an
// https request takes an "https=" entry when the list has one. The entry's scheme (compared
// without case) picks the tunnel: "socks" -> SOCKS4a (kSocks), "http" -> CONNECT (kHttp),
// anything else, or none -> CONNECT (kOther). The text is asked of the call's Env
// (Env::ProxyString).
//
// HTTP CONNECT (OpenConnectTunnel):
//   "CONNECT <host>:<port> HTTP/1.0\r\n\r\n"  (port as unsigned decimal 0..65535)
//   accepted when the answer begins "HTTP/1.0 200" or "HTTP/1.1 200" (any case); the answer's
//   header block is read to its empty line, so none of it stays ahead of the server's reply
//   (a block of 8 KB without its empty line fails).
// SOCKS4a (OpenSocks4aTunnel):
//   04 01 <port, 2 bytes big-endian> 00 00 00 01 "MORVIK" 00 <target host> 00
//   accepted when the whole 8-byte answer has come and begins 00 5A (a shorter answer followed
//   by a close or silence fails, so none of it can be mistaken for the server's reply).
// The port asked for is the target's own (443 for an https address without one). The target's
// name goes to the proxy as given; the proxy resolves it. Only the connect to the proxy itself
// uses this process's resolver (and its override table).
//
// Failures: kInvalidArgument for a host that could write lines of its own into the request (no
// byte sent); kProxyRefused "the proxy refused the tunnel to HOST:PORT (HTTP/1.1 407 ...)" or
// "(SOCKS answer 5B)"; otherwise the stream's own failure, which names the proxy.
//
// Thread safety: no state; the stream belongs to the caller's thread.
#pragma once

#include <cstdint>
#include <string>

#include "net/Stream.h"
#include "net/Transport.h"

// The proxy kinds, numbered as the proxy setting's types are.
enum class ProxyType : int32_t { kHttp = 1, kSocks = 3, kOther = 5 };

struct ProxySettings {
  ProxyType Type;
  char Host[52];
  int32_t Port;
};

// Reads the first entry of a proxy text into settings. False when the entry has no "host:port"
// form, a ':' stands before the '=', the host is empty or over 51 characters, or the port is
// above 65535 (the request then goes direct). No digits after the ':' give Port 0, and the
// connect to the proxy then fails.
bool ParseProxyString(const char* text, ProxySettings* settings);

// True when a request to targetHost (over TLS or not) goes through a proxy; settings then says
// which.
bool DiscoverProxy(const Call& call, const char* targetHost, bool tls, ProxySettings* settings);

// Runs the tunnel of settings' type on a stream already connected to the proxy.
platform::Status OpenTunnel(Stream& toProxy, const ProxySettings& settings, const char* host,
                            int port);
platform::Status OpenConnectTunnel(Stream& toProxy, const char* host, int port);
platform::Status OpenSocks4aTunnel(Stream& toProxy, const char* host, int port);
