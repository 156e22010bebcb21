// One connection as a stack of layers, each knowing only the one below it:
//
//   HTTP (net/Http.h)            requests and replies, over
//   TLS (net/TlsStream.h)        when the address is https, over
//   a proxy tunnel (net/ProxyTunnel.h)  a CONNECT or SOCKS4a handshake, when the user has a proxy,
//   TCP (net/TcpStream.h)        the socket; the cancel flag and the time-outs live here, in the
//                                socket seam (platform/SocketSystem.h).
//
// Every layer is a Stream: it sends, receives into the caller's buffer, and closes. A layer
// that fails says why (platform/Status.h), naming the peer it concerns; the layers above pass
// the reason up unchanged, so the task learns what the bottom saw.
//
// Ownership: a layer owns the one below it. Thread safety: a stream belongs to one thread (a
// worker's or a deletion's); a cancel may come from any thread through the Call
// (net/Transport.h), and the bottom notices it within one wait slice.
#pragma once

#include <cstddef>

#include "platform/Status.h"

class Stream {
 public:
  virtual ~Stream() = default;
  // Sends all n bytes, or fails.
  virtual platform::Status Send(const void* data, size_t n) = 0;
  // Receives 1..n bytes into buffer; *got 0 (and ok) means the peer ended the stream in order.
  virtual platform::Status Receive(void* buffer, size_t n, size_t* got) = 0;
  // Ends the stream in order (TLS sends its close_notify) and closes the socket. Once only;
  // further calls do nothing. The destructor closes without the goodbye.
  virtual void Close() = 0;
};
