// The Linux TLS backend: OpenSSL 3 over in-memory BIOs (platform/Tls.h). The engine's SSL
// object reads the peer's bytes from a memory BIO (PutInput) and writes what goes to the peer
// into a sink BIO that appends to the engine's own string (TakeOutput hands that string over
// whole); it never sees a socket. The sink keeps an upload's records to one copy, OpenSSL's
// into the string: a memory BIO would copy them again on the way out and clear its whole
// buffer at every reset.
//
// Verification: SSL_VERIFY_PEER against the context's store (the roots of TlsTrust::caFile, or
// OpenSSL's default paths); the verify callback keeps the first fault it is told of, and at the
// leaf, once the chain is good, checks the names (platform/CertNames.h). A fault ends the
// handshake with an alert, before the handshake completes.
//
// Sessions: the context keeps the newest session of each host and port (the new-session
// callback; TLS 1.3 tickets arrive after the handshake, with the first reply) and offers it to
// the next engine for the same host and port. Only sessions of verified handshakes are kept.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/CertNames.h"
#include "platform/Resolver.h"
#include "platform/Tls.h"
#include "platform/TlsMessages.h"

namespace platform {
namespace {

class OpenSslContext;

// The sink BIO: each write appends to the std::string its data pointer names.
int SinkWrite(BIO* bio, const char* data, size_t n, size_t* written) {
  static_cast<std::string*>(BIO_get_data(bio))->append(data, n);
  *written = n;
  return 1;
}
long SinkControl(BIO*, int cmd, long, void*) {
  return cmd == BIO_CTRL_FLUSH ? 1 : 0;  // nothing is buffered; anything else is unknown
}
int SinkCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}
// The sink's method, made once for the process (and never freed, as OpenSSL's own are not).
const BIO_METHOD* SinkMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ferrant sink");
    if (m != nullptr) {
      BIO_meth_set_write_ex(m, SinkWrite);
      BIO_meth_set_ctrl(m, SinkControl);
      BIO_meth_set_create(m, SinkCreate);
    }
    return m;
  }();
  return method;
}

// The index of the engine pointer in each SSL object's ex data.
int EngineIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// The reason of the oldest error on this thread's OpenSSL queue, and the queue cleared.
std::string TakeErrorReason(unsigned long* code = nullptr) {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (code) *code = e;
  const char* reason = e ? ERR_reason_error_string(e) : nullptr;
  return reason ? reason : "unknown error";
}

CertificateNames NamesOf(X509* cert) {
  CertificateNames names;
  auto* alt =
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  if (alt == nullptr) return names;
  for (int i = 0; i < sk_GENERAL_NAME_num(alt); ++i) {
    const GENERAL_NAME* n = sk_GENERAL_NAME_value(alt, i);
    if (n->type == GEN_DNS) {
      const ASN1_STRING* s = n->d.dNSName;
      names.dns.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                             static_cast<size_t>(ASN1_STRING_length(s)));
    } else if (n->type == GEN_IPADD) {
      const ASN1_STRING* s = n->d.iPAddress;
      names.ip.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                            static_cast<size_t>(ASN1_STRING_length(s)));
    }
  }
  GENERAL_NAMES_free(alt);
  return names;
}

class OpenSslEngine : public TlsEngine {
 public:
  OpenSslEngine(OpenSslContext& context, SSL* ssl, std::string host, uint16_t port);
  ~OpenSslEngine() override { SSL_free(ssl_); }  // frees both BIOs

  void PutInput(const void* data, size_t n) override {
    if (n > 0) BIO_write(in_, data, static_cast<int>(n));
  }
  void TakeOutput(std::string* out) override {
    if (out->empty()) {
      out->swap(output_);  // the two strings trade buffers: no copy, no allocation after a few
    } else {
      out->append(output_);
    }
    output_.clear();
  }

  TlsStep Handshake(Status* why) override {
    ERR_clear_error();
    const int r = SSL_connect(ssl_);
    if (r == 1) return TlsStep::kDone;
    const int e = SSL_get_error(ssl_, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return TlsStep::kWantInput;
    *why = HandshakeFailure();
    return TlsStep::kFailed;
  }

  Status Encrypt(const void* data, size_t n) override {
    ERR_clear_error();
    size_t written = 0;
    if (n == 0 || SSL_write_ex(ssl_, data, n, &written) == 1) return Status::Ok();
    return Status(StatusCode::kConnectionLost, "the TLS connection to " + TlsPeer(host_, port_) +
                                                   " failed (" + TakeErrorReason() + ")");
  }

  TlsStep Decrypt(void* buffer, size_t n, size_t* got, Status* why) override {
    ERR_clear_error();
    *got = 0;
    if (SSL_read_ex(ssl_, buffer, n, got) == 1) return TlsStep::kDone;
    switch (SSL_get_error(ssl_, 0)) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        return TlsStep::kWantInput;
      case SSL_ERROR_ZERO_RETURN:
        return TlsStep::kClosed;
      default:
        *why =
            Status(StatusCode::kConnectionLost, "the TLS connection to " + TlsPeer(host_, port_) +
                                                    " failed (" + TakeErrorReason() + ")");
        return TlsStep::kFailed;
    }
  }

  void Shutdown() override {
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }

  std::string Version() override { return SSL_get_version(ssl_); }
  bool Resumed() override { return SSL_session_reused(ssl_) == 1; }

  // The verify callback's view of this connection.
  int Verify(int preverifyOk, X509_STORE_CTX* store) {
    if (!preverifyOk) {
      if (fault_.ok()) {
        const int err = X509_STORE_CTX_get_error(store);
        if (err == X509_V_ERR_CERT_HAS_EXPIRED || err == X509_V_ERR_CERT_NOT_YET_VALID) {
          fault_ = CertificateOutOfDate(host_, err == X509_V_ERR_CERT_HAS_EXPIRED);
        } else {
          fault_ = CertificateNotTrusted(host_, X509_verify_cert_error_string(err));
        }
      }
      return 0;
    }
    if (X509_STORE_CTX_get_error_depth(store) == 0 &&
        !CertificateNamesHost(NamesOf(X509_STORE_CTX_get_current_cert(store)), host_)) {
      if (fault_.ok()) fault_ = CertificateNamesOthers(host_);
      return 0;
    }
    return 1;
  }

  const std::string& Key() const { return key_; }

 private:
  Status HandshakeFailure() {
    if (!fault_.ok()) {
      ERR_clear_error();
      return fault_;
    }
    unsigned long code = 0;
    const std::string reason = TakeErrorReason(&code);
    switch (ERR_GET_REASON(code)) {
      case SSL_R_WRONG_VERSION_NUMBER:
      case SSL_R_HTTP_REQUEST:
      case SSL_R_PACKET_LENGTH_TOO_LONG:
      case SSL_R_UNKNOWN_PROTOCOL:
      case SSL_R_RECORD_LENGTH_MISMATCH:
        return PeerSpeaksNoTls(host_, port_);
      case SSL_R_UNSUPPORTED_PROTOCOL:
      case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        return PeerTlsTooOld(host_, port_);
      default:
        return TlsHandshakeFailed(host_, port_, reason);
    }
  }

  SSL* ssl_;
  BIO* in_;
  BIO* out_;
  std::string output_;  // what the sink BIO out_ received since the last TakeOutput
  std::string host_;
  uint16_t port_;
  std::string key_;  // "host:port", the session cache's key
  Status fault_;     // the first verification fault
};

int VerifyCallback(int preverifyOk, X509_STORE_CTX* store) {
  SSL* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* engine = static_cast<OpenSslEngine*>(SSL_get_ex_data(ssl, EngineIndex()));
  return engine ? engine->Verify(preverifyOk, store) : 0;
}

class OpenSslContext : public TlsContext {
 public:
  explicit OpenSslContext(SSL_CTX* ctx) : ctx_(ctx) {}
  ~OpenSslContext() override {
    for (auto& kept : sessions_) SSL_SESSION_free(kept.second);
    SSL_CTX_free(ctx_);
  }

  std::unique_ptr<TlsEngine> NewEngine(const std::string& host, uint16_t port) override {
    SSL* ssl = SSL_new(ctx_);
    auto engine = std::make_unique<OpenSslEngine>(*this, ssl, host, port);
    std::lock_guard<std::mutex> g(lock_);
    auto kept = sessions_.find(engine->Key());
    if (kept != sessions_.end()) SSL_set_session(ssl, kept->second);
    return engine;
  }

  // The new-session callback: keeps the session (its reference is ours) for the engine's key.
  static int KeepSession(SSL* ssl, SSL_SESSION* session) {
    auto* engine = static_cast<OpenSslEngine*>(SSL_get_ex_data(ssl, EngineIndex()));
    auto* self = static_cast<OpenSslContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (engine == nullptr || self == nullptr) return 0;
    std::lock_guard<std::mutex> g(self->lock_);
    SSL_SESSION*& slot = self->sessions_[engine->Key()];
    if (slot) SSL_SESSION_free(slot);
    slot = session;
    return 1;
  }

 private:
  SSL_CTX* ctx_;
  std::mutex lock_;
  std::map<std::string, SSL_SESSION*> sessions_;
};

OpenSslEngine::OpenSslEngine(OpenSslContext&, SSL* ssl, std::string host, uint16_t port)
    : ssl_(ssl),
      in_(BIO_new(BIO_s_mem())),
      out_(BIO_new(SinkMethod())),
      host_(std::move(host)),
      port_(port),
      key_(TlsPeer(host_, port_)) {
  // An empty input BIO means "more to come", not the end of the stream.
  BIO_set_mem_eof_return(in_, -1);
  BIO_set_data(out_, &output_);
  SSL_set_bio(ssl_, in_, out_);
  SSL_set_ex_data(ssl_, EngineIndex(), this);
  SSL_set_verify(ssl_, SSL_VERIFY_PEER, VerifyCallback);
  uint32_t addr = 0;
  std::string sni = host_;
  if (!sni.empty() && sni.back() == '.') sni.pop_back();
  if (!ParseDottedIPv4(host_, &addr)) SSL_set_tlsext_host_name(ssl_, sni.c_str());
  SSL_set_connect_state(ssl_);
}

}  // namespace

std::unique_ptr<TlsContext> TlsContext::Make(const TlsTrust& trust, Status* why) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    *why = Status(StatusCode::kTlsUnavailable, "TLS cannot be set up (" + TakeErrorReason() + ")");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  const bool rootsLoaded =
      trust.caFile.empty() ? SSL_CTX_set_default_verify_paths(ctx) == 1
                           : SSL_CTX_load_verify_locations(ctx, trust.caFile.c_str(), nullptr) == 1;
  if (!rootsLoaded) {
    *why = Status(StatusCode::kTlsUnavailable,
                  (trust.caFile.empty() ? std::string("the system's trusted roots")
                                        : "the trusted roots in " + trust.caFile) +
                      " cannot be read (" + TakeErrorReason() + ")");
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, OpenSslContext::KeepSession);
  auto context = std::make_unique<OpenSslContext>(ctx);
  SSL_CTX_set_app_data(ctx, context.get());
  return context;
}

}  // namespace platform
