#include "server/TlsContext.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace refserver {
namespace {

// The id that keys this server's sessions in its cache (required for session-id resumption).
constexpr unsigned char kSessionIdContext[] = "ferrant-server";
// AES-GCM first: what the machine's AES instructions make cheapest.
constexpr const char* kTls13Suites =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

std::unique_ptr<asio::ssl::context> Fail(std::string* error, const std::string& what) {
  *error = what;
  return nullptr;
}

// Acknowledges the client's SNI name, so that the session keeps it and a resumed TLS 1.2
// handshake still reports it (the server has one certificate for every name).
int AcceptServerName(SSL*, int*, void*) {
  return SSL_TLSEXT_ERR_OK;
}

}  // namespace

std::unique_ptr<asio::ssl::context> MakeTlsContext(const ServerOptions& options,
                                                   std::string* error) {
  auto ctx = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
  SSL_CTX* native = ctx->native_handle();
  std::error_code ec;
  ctx->use_certificate_chain_file(options.tlsCertFile, ec);
  if (ec)
    return Fail(error,
                "cannot use the certificate chain " + options.tlsCertFile + ": " + ec.message());
  // Also checks that the key is the certificate's.
  ctx->use_private_key_file(options.tlsKeyFile, asio::ssl::context::pem, ec);
  if (ec) return Fail(error, "cannot use the key " + options.tlsKeyFile + ": " + ec.message());
  const int highest = options.tlsMaxVersion == TlsVersion::k1_2 ? TLS1_2_VERSION : TLS1_3_VERSION;
  if (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(native, highest) != 1 ||
      SSL_CTX_set_ciphersuites(native, kTls13Suites) != 1 ||
      SSL_CTX_set_cipher_list(native, kTls12Ciphers) != 1 ||
      SSL_CTX_set_session_id_context(native, kSessionIdContext, sizeof kSessionIdContext - 1) !=
          1) {
    return Fail(error, "the TLS library refuses the server's settings");
  }
  uint64_t ops = SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION;
  if (!options.tlsTickets) ops |= SSL_OP_NO_TICKET;
  SSL_CTX_set_options(native, ops);
  SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_SERVER);
  SSL_CTX_set_tlsext_servername_callback(native, AcceptServerName);
  return ctx;
}

bool CertificateNames(const std::string& chainFile, const std::string& host) {
  FILE* f = std::fopen(chainFile.c_str(), "r");
  if (f == nullptr) return false;
  X509* leaf = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (leaf == nullptr) return false;
  // An address is matched against the IP addresses only; anything else (-2: not an address)
  // is a DNS name.
  constexpr int kNotAnAddress = -2;
  const int ip = X509_check_ip_asc(leaf, host.c_str(), 0);
  const bool named = ip != kNotAnAddress
                         ? ip == 1
                         : X509_check_host(leaf, host.c_str(), host.size(), 0, nullptr) == 1;
  X509_free(leaf);
  return named;
}

TlsAgreement AgreementOf(SSL* ssl) {
  TlsAgreement a;
  a.resumed = SSL_session_reused(ssl) == 1;
  a.version = SSL_get_version(ssl);
  a.cipher = SSL_get_cipher_name(ssl);
  const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  a.serverName = name != nullptr ? name : "";
  return a;
}

}  // namespace refserver
