// The scripted peer's end of one connection, the same whether the client reached the peer over
// a real loopback socket (FakePeer.h) or over the in-memory twin of the sockets
// (MemorySockets.h), so that one handler scripts a server for either.
//
// Reads wait for the client's bytes (each wait at most ReadTimeoutMs without data) and return
// what arrived when the client closes or the wait runs out; writes never raise a signal.
//
// Thread safety: a stream belongs to the handler's thread.
#pragma once

#include <cstddef>
#include <string>

namespace testing_support {

class PeerStream {
 public:
  static constexpr int kReadTimeoutMs = 5000;

  virtual ~PeerStream() = default;
  // Reads up to and including marker (or limit bytes, or until the client closes).
  std::string ReadUntil(const std::string& marker, size_t limit = 1 << 20);
  std::string ReadExactly(size_t n);
  // Reads until the client closes, or timeoutMs passes without a byte.
  std::string ReadAll(int timeoutMs = 2000);
  // Up to n bytes the client sent; empty when it closed, reset, or timeoutMs passed without data.
  virtual std::string Take(size_t n, int timeoutMs) = 0;
  virtual void Send(const std::string& text) = 0;
  // Closes the connection with a reset instead of an orderly close.
  virtual void Reset() = 0;
  // Holds the connection without reading until the client goes away or timeoutMs passes.
  virtual void Stall(int timeoutMs) = 0;
  // Waits until the client has read everything sent so far (at most timeoutMs), so that what
  // is sent next reaches it in a receive of its own. The twin knows; a real socket only knows
  // that the bytes left its send queue.
  virtual void AwaitDrained(int timeoutMs) = 0;
};

}  // namespace testing_support
