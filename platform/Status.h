// Status: the outcome of a network step, carried from the layer that failed up to the task, so
// that a failure can say why ("the certificate of dispatch.corvel.example is not trusted
// (unable to get local issuer certificate)") instead of only that it happened.
//
// A Status is a code, which callers branch on, and a text, which people read: a phrase without
// a leading capital or a final stop, naming the host or file it concerns. A layer that adds
// context puts it in front ("cannot reach the proxy 10.0.0.3:3128: connection refused"). An ok
// Status has code kOk and no text.
//
// Thread safety: a plain value.
#pragma once

#include <string>
#include <utility>

namespace platform {

enum class StatusCode {
  kOk = 0,
  kInvalidArgument,  // the caller's value cannot go on the wire (no byte was sent)
  kNoAddress,        // the host name has no address
  kConnectFailed,    // the TCP connect failed (refused, unreachable, ...)
  kTimedOut,         // a connect or a silent connection ran out of time
  kCancelled,        // the run was cancelled (a stop, or the runtime's end)
  kConnectionLost,   // a send or receive failed, or the peer closed too early
  kProxyRefused,     // the proxy refused the tunnel
  kTlsUnavailable,   // no TLS here (the library or the trust store could not be loaded)
  kTlsHandshake,     // the TLS handshake failed (no common version or cipher, not TLS, ...)
  kTlsCertificate,   // the server's certificate chain is not trusted, or out of its dates
  kTlsName,          // the certificate does not name the host
  kReplyUnreadable,  // the reply is not what the protocol expects
  kServerRefused,    // the server understood and said no
  kFile,             // a local file cannot be read
};

class Status {
 public:
  Status() = default;
  Status(StatusCode code, std::string text) : code_(code), text_(std::move(text)) {}
  static Status Ok() { return Status(); }

  bool ok() const { return code_ == StatusCode::kOk; }
  StatusCode code() const { return code_; }
  const std::string& text() const { return text_; }
  // The same failure with context in front: "context: text".
  Status Within(const std::string& context) const {
    return ok() ? *this : Status(code_, context + ": " + text_);
  }

 private:
  StatusCode code_ = StatusCode::kOk;
  std::string text_;
};

}  // namespace platform
