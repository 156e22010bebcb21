#include "tests/support/TlsPeer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>

namespace testing_support {
namespace {

constexpr int kSessionContext = 7;

std::string ErrorText() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  const char* r = e ? ERR_reason_error_string(e) : nullptr;
  return r ? r : "no error";
}

}  // namespace

TlsPeerContext::TlsPeerContext(const Options& options) : ctx_(SSL_CTX_new(TLS_server_method())) {
  SSL_CTX_use_certificate_chain_file(ctx_, options.chainFile.c_str());
  SSL_CTX_use_PrivateKey_file(ctx_, options.keyFile.c_str(), SSL_FILETYPE_PEM);
  if (options.minVersion || options.maxVersion) {
    // Old versions are allowed here only at the lowest security level.
    SSL_CTX_set_security_level(ctx_, 0);
    SSL_CTX_set_min_proto_version(ctx_, options.minVersion);
    SSL_CTX_set_max_proto_version(ctx_, options.maxVersion);
  }
  SSL_CTX_set_session_id_context(ctx_, reinterpret_cast<const unsigned char*>(&kSessionContext),
                                 sizeof kSessionContext);
}

TlsPeerContext::~TlsPeerContext() {
  SSL_CTX_free(ctx_);
}

TlsPeerSession::TlsPeerSession(TlsPeerContext& context, PeerStream& stream, size_t pieceSize)
    : context_(context),
      stream_(stream),
      pieceSize_(pieceSize),
      ssl_(SSL_new(context.ctx_)),
      in_(BIO_new(BIO_s_mem())),
      out_(BIO_new(BIO_s_mem())) {
  BIO_set_mem_eof_return(in_, -1);
  SSL_set_bio(ssl_, in_, out_);
  SSL_set_accept_state(ssl_);
}

TlsPeerSession::~TlsPeerSession() {
  SSL_free(ssl_);
}

bool TlsPeerSession::Flush(size_t limit) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(out_, &data);
  if (n <= 0) return true;
  const std::string all(data, static_cast<size_t>(n));
  BIO_reset(out_);
  const std::string bytes = all.substr(0, limit);
  const size_t piece = pieceSize_ ? pieceSize_ : bytes.size();
  for (size_t at = 0; at < bytes.size(); at += piece) {
    stream_.Send(bytes.substr(at, piece));
    if (pieceSize_) stream_.AwaitDrained(PeerStream::kReadTimeoutMs);
  }
  return true;
}

bool TlsPeerSession::Fill() {
  const std::string more = stream_.Take(16384, PeerStream::kReadTimeoutMs);
  if (more.empty()) return false;
  BIO_write(in_, more.data(), static_cast<int>(more.size()));
  return true;
}

bool TlsPeerSession::Accept() {
  for (;;) {
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_);
    Flush();
    if (r == 1) {
      ++context_.handshakes_;
      if (SSL_session_reused(ssl_)) ++context_.resumed_;
      return true;
    }
    if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ) {
      error_ = ErrorText();
      return false;
    }
    if (!Fill()) {
      error_ = "the client went away";
      return false;
    }
  }
}

std::string TlsPeerSession::ReadUntil(const std::string& marker) {
  std::string text;
  char buffer[4096];
  while (text.find(marker) == std::string::npos) {
    size_t got = 0;
    ERR_clear_error();
    if (SSL_read_ex(ssl_, buffer, sizeof buffer, &got) == 1) {
      text.append(buffer, got);
      continue;
    }
    Flush();
    if (SSL_get_error(ssl_, 0) != SSL_ERROR_WANT_READ || !Fill()) break;
  }
  return text;
}

void TlsPeerSession::Send(const std::string& plaintext) {
  size_t written = 0;
  if (!plaintext.empty()) SSL_write_ex(ssl_, plaintext.data(), plaintext.size(), &written);
  Flush();
}

void TlsPeerSession::SendCut(const std::string& plaintext, size_t n) {
  size_t written = 0;
  SSL_write_ex(ssl_, plaintext.data(), plaintext.size(), &written);
  Flush(n);
}

void TlsPeerSession::Close(bool notify) {
  if (notify) {
    SSL_shutdown(ssl_);
    Flush();
  }
}

}  // namespace testing_support
