// The server's end of TLS for scripted peers (tests/support/PeerStream.h), with OpenSSL: a test
// serves TLS from a handler of the in-memory twin or of a FakePeer and says how its records
// reach the client (whole, or in pieces of a given size, each read by a receive of its own),
// what versions it offers, and how it ends (close_notify or a bare close).
//
//   TlsPeerContext  one per test: the certificate chain and key, the versions, the session
//                   cache (so a client's second connection may resume), and counts of
//                   handshakes done and resumed.
//   TlsPeerSession  one per connection, on the handler's thread.
//
// Failure: a handshake that fails returns false from Accept; the cause is in Error().
// Thread safety: a context may serve several handler threads at once; a session belongs to one.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "tests/support/PeerStream.h"

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;

namespace testing_support {

class TlsPeerContext {
 public:
  struct Options {
    std::string chainFile;  // leaf, then intermediates (PEM)
    std::string keyFile;
    int minVersion = 0;  // e.g. TLS1_VERSION; 0: the library's default
    int maxVersion = 0;  // e.g. TLS1_2_VERSION; 0: the newest
  };
  explicit TlsPeerContext(const Options& options);
  ~TlsPeerContext();
  TlsPeerContext(const TlsPeerContext&) = delete;
  TlsPeerContext& operator=(const TlsPeerContext&) = delete;

  int Handshakes() const { return handshakes_.load(); }
  int Resumed() const { return resumed_.load(); }

 private:
  friend class TlsPeerSession;
  ssl_ctx_st* ctx_;
  std::atomic<int> handshakes_{0}, resumed_{0};
};

class TlsPeerSession {
 public:
  // pieceSize 0: each flight is sent whole; otherwise in pieces of that many bytes, each
  // drained by the client before the next.
  TlsPeerSession(TlsPeerContext& context, PeerStream& stream, size_t pieceSize = 0);
  ~TlsPeerSession();
  TlsPeerSession(const TlsPeerSession&) = delete;
  TlsPeerSession& operator=(const TlsPeerSession&) = delete;

  bool Accept();
  // Plaintext up to and including marker (or what came before the client closed).
  std::string ReadUntil(const std::string& marker);
  void Send(const std::string& plaintext);
  // The end: close_notify when notify is set, then the handler returns (a bare close).
  void Close(bool notify);
  // Sends the first n bytes of the records of plaintext, then nothing more: a record cut off.
  void SendCut(const std::string& plaintext, size_t n);
  const std::string& Error() const { return error_; }

 private:
  bool Flush(size_t limit = std::string::npos);
  bool Fill();

  TlsPeerContext& context_;
  PeerStream& stream_;
  size_t pieceSize_;
  ssl_st* ssl_;
  bio_st* in_;
  bio_st* out_;
  std::string error_;
};

}  // namespace testing_support
