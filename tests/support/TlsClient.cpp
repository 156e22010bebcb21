#include "tests/support/TlsClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace testing_support {
namespace {

constexpr const char* kLoopback = "127.0.0.1";

std::string ErrorText(SSL* ssl) {
  const long verify = SSL_get_verify_result(ssl);
  if (verify != X509_V_OK) return X509_verify_cert_error_string(verify);
  char text[256];
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  return text;
}

void SetTimeout(int fd, int timeoutMs) {
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

TlsClient::TlsClient(TlsClientOptions options) : options_(std::move(options)) {
  signal(SIGPIPE, SIG_IGN);
  ctx_ = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  if (!options_.caFile.empty())
    SSL_CTX_load_verify_locations(ctx_, options_.caFile.c_str(), nullptr);
  if (options_.minVersion != 0) {
    SSL_CTX_set_min_proto_version(ctx_, options_.minVersion);
    SSL_CTX_set_security_level(ctx_, 0);  // lets an old version be offered at all
  }
  if (options_.maxVersion != 0) SSL_CTX_set_max_proto_version(ctx_, options_.maxVersion);
}

TlsClient::~TlsClient() {
  ForgetSession();
  SSL_CTX_free(ctx_);
}

void TlsClient::ForgetSession() {
  SSL_SESSION_free(session_);
  session_ = nullptr;
}

RawReply TlsClient::Exchange(uint16_t port, const std::vector<std::string>& pieces, int timeoutMs) {
  TlsConnection c(*this, port, timeoutMs);
  for (const std::string& p : pieces) {
    if (!c.Send(p)) break;
  }
  return c.ReadReply(timeoutMs);
}

RawReply TlsClient::Get(uint16_t port, const std::string& target, int timeoutMs) {
  return Exchange(
      port, {"GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: UCorvelClient\r\n\r\n"},
      timeoutMs);
}

TlsConnection::TlsConnection(TlsClient& client, uint16_t port, int timeoutMs) : client_(client) {
  client_.lastResumed_ = false;
  client_.handshakeError_.clear();
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    client_.handshakeError_ = "cannot connect";
    return;
  }
  SetTimeout(fd_, timeoutMs);
  SSL* ssl = SSL_new(client_.ctx_);
  SSL_set_fd(ssl, fd_);
  const std::string& name = client_.options_.serverName;
  if (name.empty()) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), kLoopback);
  } else {
    SSL_set_tlsext_host_name(ssl, name.c_str());
    SSL_set1_host(ssl, name.c_str());
  }
  if (client_.session_ != nullptr) SSL_set_session(ssl, client_.session_);
  ERR_clear_error();
  if (SSL_connect(ssl) != 1) {
    client_.handshakeError_ = ErrorText(ssl);
    SSL_free(ssl);
    return;
  }
  client_.lastResumed_ = SSL_session_reused(ssl) == 1;
  ssl_ = ssl;
}

TlsConnection::~TlsConnection() {
  Finish();
}

void TlsConnection::Finish() {
  if (ssl_ != nullptr) {
    // TLS 1.3 tickets come after the handshake: the session is taken once the reply is read.
    if (SSL_SESSION* s = SSL_get1_session(ssl_)) {
      SSL_SESSION_free(client_.session_);
      client_.session_ = s;
    }
    if (!reply_.reset) SSL_shutdown(ssl_);
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TlsConnection::Send(const std::string& bytes) {
  if (ssl_ == nullptr) {
    reply_.sendFailed = true;
    return false;
  }
  size_t off = 0;
  while (off < bytes.size()) {
    size_t n = 0;
    if (SSL_write_ex(ssl_, bytes.data() + off, bytes.size() - off, &n) != 1) {
      reply_.sendFailed = true;
      if (errno == ECONNRESET || errno == EPIPE) reply_.reset = true;
      return false;
    }
    off += n;
  }
  return true;
}

TlsConnection::ReadResult TlsConnection::ReadSome(Clock::time_point deadline) {
  char buf[16384];
  while (ssl_ != nullptr && !ended_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd_, POLLIN, 0};
    if (SSL_pending(ssl_) == 0 && (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)) {
      return ReadResult::kTimedOut;
    }
    size_t n = 0;
    errno = 0;
    if (SSL_read_ex(ssl_, buf, sizeof buf, &n) == 1) {
      reply_.raw.append(buf, n);
      return ReadResult::kData;
    }
    if (SSL_get_error(ssl_, 0) == SSL_ERROR_WANT_READ) continue;  // a record without data
    if (errno == ECONNRESET) reply_.reset = true;
    ended_ = true;  // close_notify, FIN, or a failure
  }
  return ReadResult::kEnded;
}

bool TlsConnection::WaitForData(int timeoutMs) {
  if (!reply_.raw.empty()) return true;
  return ReadSome(Clock::now() + std::chrono::milliseconds(timeoutMs)) != ReadResult::kTimedOut;
}

RawReply TlsConnection::ReadReply(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const ReadResult r = ReadSome(deadline);
    if (r == ReadResult::kEnded) break;
    if (r == ReadResult::kTimedOut) {
      reply_.timedOut = true;
      break;
    }
  }
  RawReply out = reply_;
  Finish();
  return out;
}

}  // namespace testing_support
