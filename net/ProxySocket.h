// CProxySocket: a client socket that reaches its target through the user's proxy when one is
// set, by an HTTP CONNECT tunnel or a SOCKS4a CONNECT.
//
// The proxy text is "[scheme=]host:port[;more entries]"; only the first entry counts. Its scheme
// (compared without case) picks the tunnel: "socks" -> SOCKS4a (kSocks), "http" -> CONNECT
// (kHttp), anything else, or none -> CONNECT (kOther).
//
// HTTP CONNECT, sent by TunnelHttpConnect:
//   "CONNECT <host>:<port> HTTP/1.0\r\n\r\n"  (port as unsigned decimal 0..65535)
//   accepted when the answer begins "HTTP/1.0 200" or "HTTP/1.1 200" (any case); the answer's
//   header block is read to its empty line, so none of it stays ahead of the server's reply
//   (a block of 8 KB without its empty line fails).
// SOCKS4a, sent by TunnelSocks4a:
//   04 01 <port, 2 bytes big-endian> 00 00 00 01 "MORVIK" 00 <target host> 00
//   accepted when the whole 8-byte answer has come and begins 00 5A (a shorter answer followed
//   by a close or silence fails, so none of it can be mistaken for the server's reply).
// The target's name goes to the proxy as given; the proxy resolves it. Only the connect to the
// proxy itself uses this process's resolver (and its override table).
//
// The user's proxy setting is asked of the call's Env (Env::ProxyString).
//
// Thread safety: a socket belongs to the thread that made it.
#pragma once

#include <cstdint>
#include <string>

#include "net/Socket.h"

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
// connect to the proxy then fails with kInvalidPort.
bool ParseProxyString(const char* text, ProxySettings* settings);

class CProxySocket : public CActiveSocket {
 public:
  using CActiveSocket::CActiveSocket;
  // True when requests to targetHost go through a proxy; ProxySettings is then filled.
  bool DiscoverProxy(const char* targetHost);
  bool ConnectViaProxy(const char* host, int port);
  bool TunnelHttpConnect(const char* host, int port);
  bool TunnelSocks4a(const char* host, int port);

  ProxySettings Settings{};
};
