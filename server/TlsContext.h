// The reference server's TLS settings: one asio::ssl context per server, made from its options
// (server/ReferenceServer.h).
//
// The context serves the certificate chain and key of the options; agrees TLS 1.2 at least and
// TLS 1.3 at most (or 1.2 at most when the options cap it); prefers AES-128-GCM, then the other
// AEAD suites, in the server's order; refuses renegotiation; and resumes sessions: TLS 1.3
// tickets, TLS 1.2 tickets or session ids from the server's session cache (session ids only
// when the options turn tickets off).
//
// Thread safety: a made context is shared by the connections (OpenSSL locks its cache).
// Failure: MakeTlsContext returns nullptr and says why in *error.
#pragma once

#include <asio/ssl.hpp>
#include <memory>
#include <string>

#include "server/ReferenceServer.h"

namespace refserver {

std::unique_ptr<asio::ssl::context> MakeTlsContext(const ServerOptions& options,
                                                   std::string* error);

// True when the first certificate of the PEM file names host (a DNS name, or an address
// against its IP addresses), as a verifying client checks it.
bool CertificateNames(const std::string& chainFile, const std::string& host);

// What a finished handshake agreed, for the statistics.
struct TlsAgreement {
  bool resumed = false;
  std::string version, cipher, serverName;
};
TlsAgreement AgreementOf(SSL* ssl);

}  // namespace refserver
