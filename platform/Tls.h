// TLS for the client's connections, as the operating system's library provides it: OpenSSL 3
// on Linux (Tls_posix.cpp), Schannel through SSPI on Windows (Tls_win32.cpp).
//
// A backend is an engine that never touches a socket: ciphertext goes in (PutInput) and comes
// out (TakeOutput), plaintext is encrypted and decrypted in memory. The TLS layer of net/
// (net/TlsStream.h) moves the bytes over the stream below it, so a TLS connection waits, times
// out and is cancelled exactly as a plain one does, through the socket seam at the bottom.
//
//   TlsContext  one per runtime: what is trusted, and the sessions kept for reuse, per host and
//               port (TLS 1.3 tickets, TLS 1.2 session ids), so that the connections of one task
//               make one full handshake between them.
//   TlsEngine   one per connection, made by the context for a host and port.
//
// What every backend guarantees:
//   - TLS 1.2 is the lowest version agreed; there is no way to turn verification off.
//   - SNI carries the host name; none is sent when the host is an IPv4 address.
//   - The handshake ends kDone only after the chain leads to a trusted root, every certificate
//     is within its dates, and the leaf names the host (platform/CertNames.h): a DNS name
//     against its DNS names, an address against its IP addresses. Otherwise kFailed, with
//     kTlsCertificate or kTlsName and a text that names the host and the reason, for example
//     "the certificate of dispatch.corvel.example is not trusted (unable to get local issuer
//     certificate)". A peer that does not speak TLS, or offers no version or cipher in common,
//     gives kTlsHandshake ("upload.corvel.example:8443 does not speak TLS").
//   - Trusted roots: TlsTrust::caFile when set (a PEM file; its roots only); otherwise the
//     system's (Linux: OpenSSL's default paths, so SSL_CERT_FILE and SSL_CERT_DIR apply as for
//     every OpenSSL program; Windows: the system's certificate store).
//   - Decrypt reports kClosed only for the peer's close_notify; a connection that ends without
//     it is the TLS layer's to judge.
//
// Thread safety: a context may be used from any thread at once (NewEngine, the session cache);
// an engine belongs to the thread of its connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Status.h"

namespace platform {

struct TlsTrust {
  std::string caFile;  // PEM roots to trust instead of the system's; empty: the system's
};

enum class TlsStep {
  kDone,       // Handshake: complete and verified. Decrypt: *got > 0 bytes of plaintext.
  kWantInput,  // send what TakeOutput holds, then PutInput more of the peer's bytes
  kClosed,     // Decrypt: the peer sent close_notify
  kFailed,     // *why says what failed
};

class TlsEngine {
 public:
  virtual ~TlsEngine() = default;

  // Ciphertext received from the peer, in pieces of any size.
  virtual void PutInput(const void* data, size_t n) = 0;
  // Moves the ciphertext waiting to be sent (handshake messages, records, alerts) to the end
  // of *out.
  virtual void TakeOutput(std::string* out) = 0;

  // Advances the handshake on the input given so far.
  virtual TlsStep Handshake(Status* why) = 0;
  // After the handshake: encrypts n bytes into records, which wait in the output.
  virtual Status Encrypt(const void* data, size_t n) = 0;
  // After the handshake: up to n bytes of plaintext into buffer. Records that carry no data
  // (session tickets, key updates) are consumed on the way.
  virtual TlsStep Decrypt(void* buffer, size_t n, size_t* got, Status* why) = 0;
  // Queues close_notify in the output.
  virtual void Shutdown() = 0;

  // After the handshake: the version agreed ("TLSv1.3") and whether a kept session was resumed.
  virtual std::string Version() = 0;
  virtual bool Resumed() = 0;
};

class TlsContext {
 public:
  virtual ~TlsContext() = default;
  // The backend's context, or null with *why (kTlsUnavailable) when the library or the roots
  // cannot be loaded.
  static std::unique_ptr<TlsContext> Make(const TlsTrust& trust, Status* why);
  // An engine for one connection to host:port (host as the URL gave it).
  virtual std::unique_ptr<TlsEngine> NewEngine(const std::string& host, uint16_t port) = 0;
};

}  // namespace platform
