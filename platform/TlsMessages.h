// The words of a TLS failure, the same from both backends (platform/Tls.h), so that a user
// reads one sentence for one fault whatever the platform:
//
//   kTlsCertificate  "the certificate of HOST is not trusted (DETAIL)"
//                    "the certificate of HOST has expired" / "is not valid yet"
//   kTlsName         "the certificate of HOST names other hosts"
//   kTlsHandshake    "HOST:PORT does not speak TLS"
//                    "HOST:PORT offers no TLS version from 1.2 up"
//                    "the TLS handshake with HOST:PORT failed (DETAIL)"
//
// DETAIL is the library's own word for the cause ("unable to get local issuer certificate").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Status.h"

namespace platform {

inline std::string TlsPeer(std::string_view host, uint16_t port) {
  return std::string(host) + ":" + std::to_string(port);
}

inline Status CertificateNotTrusted(std::string_view host, std::string_view detail) {
  return Status(StatusCode::kTlsCertificate, "the certificate of " + std::string(host) +
                                                 " is not trusted (" + std::string(detail) + ")");
}

inline Status CertificateOutOfDate(std::string_view host, bool expired) {
  return Status(StatusCode::kTlsCertificate, "the certificate of " + std::string(host) +
                                                 (expired ? " has expired" : " is not valid yet"));
}

inline Status CertificateNamesOthers(std::string_view host) {
  return Status(StatusCode::kTlsName,
                "the certificate of " + std::string(host) + " names other hosts");
}

inline Status PeerSpeaksNoTls(std::string_view host, uint16_t port) {
  return Status(StatusCode::kTlsHandshake, TlsPeer(host, port) + " does not speak TLS");
}

inline Status PeerTlsTooOld(std::string_view host, uint16_t port) {
  return Status(StatusCode::kTlsHandshake,
                TlsPeer(host, port) + " offers no TLS version from 1.2 up");
}

inline Status TlsHandshakeFailed(std::string_view host, uint16_t port, std::string_view detail) {
  return Status(StatusCode::kTlsHandshake, "the TLS handshake with " + TlsPeer(host, port) +
                                               " failed (" + std::string(detail) + ")");
}

}  // namespace platform
