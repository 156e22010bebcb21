// The Windows TLS backend: Schannel through SSPI (platform/Tls.h). The engine keeps the peer's
// bytes in a buffer of its own and hands them to InitializeSecurityContext and DecryptMessage;
// what they produce for the peer waits in another buffer until TakeOutput. It never sees a
// socket. Every SSPI call goes through a function table, and the certificate check through a
// function (platform/Schannel_win32.h), so that tests can script what Wine never does.
//
// The handshake, as a small state machine over InitializeSecurityContext (ISC):
//
//   kStart      ISC with no input: the ClientHello goes to the output      -> kHandshaking
//   kHandshaking ISC over the input held so far:
//                 SEC_E_INCOMPLETE_MESSAGE  a record is still partial: wait for more input
//                 SEC_I_CONTINUE_NEEDED     send the output; input the call did not take is
//                                           marked SECBUFFER_EXTRA and kept for the next call
//                 SEC_E_OK                  send the output (TLS 1.3: the client's Finished);
//                                           SECBUFFER_EXTRA is the first application records
//                                           -> verify the certificate -> kOpen
//                 anything else             a failed handshake; ISC_REQ_EXTENDED_ERROR puts an
//                                           alert in the output
//   kOpen       EncryptMessage / DecryptMessage. DecryptMessage answers SEC_I_RENEGOTIATE for a
//               handshake message after the handshake (TLS 1.3 tickets, key updates): its bytes
//               (SECBUFFER_EXTRA) go back through ISC until SEC_E_OK, then decrypting goes on.
//               SEC_I_CONTEXT_EXPIRED is the peer's close_notify.
//
// Records on the wire (the input may end anywhere inside one; it may hold several):
//
//   +------+---------+--------+------------------------------+
//   | type | version | length | payload (length bytes)       |
//   |  1   |    2    |   2    |                              |
//   +------+---------+--------+------------------------------+
//
// Verification: the credentials ask for manual validation, so Schannel checks nothing, and
// platform/CertVerify_win32.h checks the chain, the dates and the names before the handshake
// counts as done.
//
// Versions: SCH_CREDENTIALS with TLS 1.0 and 1.1 disabled, where Windows knows it (10 1809 on:
// TLS 1.2 and 1.3); SCHANNEL_CRED with TLS 1.2 alone elsewhere (Wine, older Windows).
//
// Sessions: Schannel keeps them per credentials and target name; the context holds one
// credentials handle for the runtime, so the connections to one host resume what the first made.
// The target name is the host; for an address none is given, so no SNI goes out.
#define SCHANNEL_USE_BLACKLISTS
#define SECURITY_WIN32
// clang-format off
#include <windows.h>  // first: the headers below need its types
#include <subauth.h>  // UNICODE_STRING, which SCH_CREDENTIALS needs
#include <schannel.h>
#include <security.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/CertVerify_win32.h"
#include "platform/Resolver.h"
#include "platform/Schannel_win32.h"
#include "platform/Tls.h"
#include "platform/TlsMessages.h"

namespace platform {
namespace {

constexpr DWORD kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                           ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                           ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                           ISC_REQ_MANUAL_CRED_VALIDATION;
constexpr DWORD kOldVersions =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;

std::string HexCode(SECURITY_STATUS s) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(s));
  return text;
}

// The output token of an ISC call, freed when done with.
struct OutputToken {
  explicit OutputToken(const SecurityFunctionTableW& table) : sspi(table) {}
  ~OutputToken() {
    if (buffer.pvBuffer) sspi.FreeContextBuffer(buffer.pvBuffer);
  }
  const SecurityFunctionTableW& sspi;
  SecBuffer buffer{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc desc{SECBUFFER_VERSION, 1, &buffer};
  void AppendTo(std::string* out) const {
    if (buffer.pvBuffer && buffer.cbBuffer > 0) {
      out->append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
    }
  }
};

class SchannelContext : public TlsContext {
 public:
  SchannelContext(const SecurityFunctionTableW& sspi, ServerCheck check, CredHandle credentials,
                  std::unique_ptr<RootStore> roots)
      : sspi_(sspi), check_(check), credentials_(credentials), roots_(std::move(roots)) {}
  ~SchannelContext() override { sspi_.FreeCredentialsHandle(&credentials_); }

  std::unique_ptr<TlsEngine> NewEngine(const std::string& host, uint16_t port) override;

  const SecurityFunctionTableW& sspi() const { return sspi_; }
  CredHandle* credentials() { return &credentials_; }
  Status Check(CtxtHandle* context, const std::string& host) const {
    return check_(sspi_, context, roots_.get(), host);
  }

 private:
  const SecurityFunctionTableW& sspi_;
  ServerCheck check_;
  CredHandle credentials_;
  std::unique_ptr<RootStore> roots_;
};

class SchannelEngine : public TlsEngine {
 public:
  SchannelEngine(SchannelContext& context, std::string host, uint16_t port)
      : context_(context), sspi_(context.sspi()), host_(std::move(host)), port_(port) {
    uint32_t addr = 0;
    std::string name = host_;
    if (!name.empty() && name.back() == '.') name.pop_back();
    if (!ParseDottedIPv4(host_, &addr)) target_.assign(name.begin(), name.end());
  }
  ~SchannelEngine() override {
    if (haveContext_) sspi_.DeleteSecurityContext(&context_handle_);
  }

  void PutInput(const void* data, size_t n) override {
    in_.append(static_cast<const char*>(data), n);
  }
  void TakeOutput(std::string* out) override {
    out->append(out_);
    out_.clear();
  }

  TlsStep Handshake(Status* why) override {
    for (;;) {
      switch (state_) {
        case State::kOpen:
          return TlsStep::kDone;
        case State::kFailed:
          *why = failure_;
          return TlsStep::kFailed;
        case State::kStart:
        case State::kHandshaking:
          break;
        case State::kRehandshaking:
        case State::kClosed:
          *why = TlsHandshakeFailed(host_, port_, "the handshake is over");
          return TlsStep::kFailed;
      }
      if (state_ == State::kHandshaking && in_.empty()) return TlsStep::kWantInput;
      const SECURITY_STATUS s = Step();
      if (s == SEC_E_INCOMPLETE_MESSAGE) return TlsStep::kWantInput;
      if (s == SEC_I_CONTINUE_NEEDED || s == SEC_I_INCOMPLETE_CREDENTIALS) continue;
      if (s == SEC_E_OK) {
        Status verified = Verify();
        if (!verified.ok()) {
          Fail(verified);
        } else {
          state_ = State::kOpen;
        }
        continue;
      }
      Fail(HandshakeFailure(s));
    }
  }

  Status Encrypt(const void* data, size_t n) override {
    if (state_ != State::kOpen) return Lost("the connection is not open");
    const char* p = static_cast<const char*>(data);
    std::string record;
    while (n > 0) {
      const size_t piece = std::min<size_t>(n, sizes_.cbMaximumMessage);
      record.resize(sizes_.cbHeader + piece + sizes_.cbTrailer);
      std::memcpy(record.data() + sizes_.cbHeader, p, piece);
      SecBuffer b[4] = {
          {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
          {static_cast<unsigned long>(piece), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
          {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + piece},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
      const SECURITY_STATUS s = sspi_.EncryptMessage(&context_handle_, 0, &desc, 0);
      if (s != SEC_E_OK) return Lost("EncryptMessage " + HexCode(s));
      // The trailer may come out shorter than its room; the three parts lie end to end.
      out_.append(record.data(), b[0].cbBuffer + b[1].cbBuffer);
      out_.append(static_cast<const char*>(b[2].pvBuffer), b[2].cbBuffer);
      p += piece;
      n -= piece;
    }
    return Status::Ok();
  }

  TlsStep Decrypt(void* buffer, size_t n, size_t* got, Status* why) override {
    *got = 0;
    for (;;) {
      if (!plain_.empty()) {
        *got = std::min(n, plain_.size() - plainAt_);
        std::memcpy(buffer, plain_.data() + plainAt_, *got);
        plainAt_ += *got;
        if (plainAt_ == plain_.size()) {
          plain_.clear();
          plainAt_ = 0;
        }
        return TlsStep::kDone;
      }
      if (state_ == State::kClosed) return TlsStep::kClosed;
      if (state_ == State::kRehandshaking) {
        // A handshake message after the handshake (in in_): ISC takes it, then records again.
        if (in_.empty()) return TlsStep::kWantInput;
        const SECURITY_STATUS s = Step();
        if (s == SEC_E_INCOMPLETE_MESSAGE) return TlsStep::kWantInput;
        if (s == SEC_E_OK) {
          state_ = State::kOpen;
        } else if (s != SEC_I_CONTINUE_NEEDED) {
          *why = Lost("InitializeSecurityContext " + HexCode(s));
          state_ = State::kFailed;
          return TlsStep::kFailed;
        }
        continue;
      }
      if (state_ != State::kOpen) {
        *why = Lost("the connection is not open");
        return TlsStep::kFailed;
      }
      if (in_.empty()) return TlsStep::kWantInput;
      SecBuffer b[4] = {{static_cast<unsigned long>(in_.size()), SECBUFFER_DATA, in_.data()},
                        {0, SECBUFFER_EMPTY, nullptr},
                        {0, SECBUFFER_EMPTY, nullptr},
                        {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc{SECBUFFER_VERSION, 4, b};
      const SECURITY_STATUS s = sspi_.DecryptMessage(&context_handle_, &desc, 0, nullptr);
      if (s == SEC_E_INCOMPLETE_MESSAGE) return TlsStep::kWantInput;
      if (s != SEC_E_OK && s != SEC_I_RENEGOTIATE && s != SEC_I_CONTEXT_EXPIRED) {
        *why = Lost("DecryptMessage " + HexCode(s));
        state_ = State::kFailed;
        return TlsStep::kFailed;
      }
      // Decrypted in place: take the data and what follows before in_ changes.
      std::string extra;
      for (const SecBuffer& part : b) {
        if (part.BufferType == SECBUFFER_DATA && part.cbBuffer > 0) {
          plain_.append(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
        } else if (part.BufferType == SECBUFFER_EXTRA && part.cbBuffer > 0) {
          extra.assign(in_.data() + in_.size() - part.cbBuffer, part.cbBuffer);
        }
      }
      in_.swap(extra);
      if (s == SEC_I_CONTEXT_EXPIRED) state_ = State::kClosed;
      if (s == SEC_I_RENEGOTIATE) state_ = State::kRehandshaking;
    }
  }

  void Shutdown() override {
    if (state_ != State::kOpen && state_ != State::kClosed) return;
    DWORD type = SCHANNEL_SHUTDOWN;
    SecBuffer b{sizeof type, SECBUFFER_TOKEN, &type};
    SecBufferDesc desc{SECBUFFER_VERSION, 1, &b};
    if (sspi_.ApplyControlToken(&context_handle_, &desc) != SEC_E_OK) return;
    OutputToken token(sspi_);
    DWORD got = 0;
    sspi_.InitializeSecurityContextW(context_.credentials(), &context_handle_, TargetName(),
                                     kRequest, 0, 0, nullptr, 0, nullptr, &token.desc, &got,
                                     nullptr);
    token.AppendTo(&out_);
  }

  std::string Version() override {
    SecPkgContext_ConnectionInfo info{};
    if (sspi_.QueryContextAttributesW(&context_handle_, SECPKG_ATTR_CONNECTION_INFO, &info) !=
        SEC_E_OK) {
      return "TLS";
    }
    if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) return "TLSv1.3";
    if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) return "TLSv1.2";
    return "TLS";
  }
  bool Resumed() override {
    SecPkgContext_SessionInfo info{};
    return sspi_.QueryContextAttributesW(&context_handle_, SECPKG_ATTR_SESSION_INFO, &info) ==
               SEC_E_OK &&
           (info.dwFlags & SSL_SESSION_RECONNECT) != 0;
  }

 private:
  enum class State { kStart, kHandshaking, kOpen, kRehandshaking, kClosed, kFailed };

  SEC_WCHAR* TargetName() { return target_.empty() ? nullptr : target_.data(); }

  // One ISC call over the input held so far.
  SECURITY_STATUS Step() {
    SecBuffer input[2] = {{static_cast<unsigned long>(in_.size()), SECBUFFER_TOKEN, in_.data()},
                          {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc inputDesc{SECBUFFER_VERSION, 2, input};
    OutputToken token(sspi_);
    DWORD got = 0;
    const bool first = state_ == State::kStart;
    const SECURITY_STATUS s = sspi_.InitializeSecurityContextW(
        context_.credentials(), first ? nullptr : &context_handle_, TargetName(), kRequest, 0, 0,
        first ? nullptr : &inputDesc, 0, first ? &context_handle_ : nullptr, &token.desc, &got,
        nullptr);
    if (first && (s == SEC_I_CONTINUE_NEEDED || s == SEC_E_OK)) haveContext_ = true;
    token.AppendTo(&out_);
    if (s == SEC_E_INCOMPLETE_MESSAGE) return s;
    if (first) {
      state_ = State::kHandshaking;
      return s;
    }
    // What the call did not take stays for the next one.
    if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer > 0 &&
        input[1].cbBuffer <= in_.size()) {
      in_.erase(0, in_.size() - input[1].cbBuffer);
    } else if (s != SEC_I_INCOMPLETE_CREDENTIALS) {
      in_.clear();
    }
    return s;
  }

  Status Verify() {
    if (sspi_.QueryContextAttributesW(&context_handle_, SECPKG_ATTR_STREAM_SIZES, &sizes_) !=
            SEC_E_OK ||
        sizes_.cbMaximumMessage == 0) {
      return TlsHandshakeFailed(host_, port_, "no record sizes");
    }
    return context_.Check(&context_handle_, host_);
  }

  Status HandshakeFailure(SECURITY_STATUS s) const {
    switch (s) {
      case SEC_E_ILLEGAL_MESSAGE:
      case SEC_E_INVALID_TOKEN:
      case SEC_E_MESSAGE_ALTERED:
      case SEC_E_DECRYPT_FAILURE:
        return PeerSpeaksNoTls(host_, port_);
      case SEC_E_UNSUPPORTED_FUNCTION:
      case SEC_E_ALGORITHM_MISMATCH:
        return PeerTlsTooOld(host_, port_);
      default:
        return TlsHandshakeFailed(host_, port_, "Schannel " + HexCode(s));
    }
  }

  void Fail(Status why) {
    failure_ = std::move(why);
    state_ = State::kFailed;
  }

  Status Lost(const std::string& detail) const {
    return Status(StatusCode::kConnectionLost,
                  "the TLS connection to " + TlsPeer(host_, port_) + " failed (" + detail + ")");
  }

  SchannelContext& context_;
  const SecurityFunctionTableW& sspi_;
  std::string host_;
  uint16_t port_;
  std::wstring target_;  // the host for SNI and the session cache; empty for an address
  CtxtHandle context_handle_{};
  bool haveContext_ = false;
  State state_ = State::kStart;
  Status failure_;
  SecPkgContext_StreamSizes sizes_{};
  std::string in_;     // the peer's bytes not yet taken
  std::string out_;    // bytes for the peer
  std::string plain_;  // decrypted, not yet read
  size_t plainAt_ = 0;
};

std::unique_ptr<TlsEngine> SchannelContext::NewEngine(const std::string& host, uint16_t port) {
  return std::make_unique<SchannelEngine>(*this, host, port);
}

constexpr DWORD kCredentialFlags =
    SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;

SECURITY_STATUS Acquire(const SecurityFunctionTableW& sspi, void* authData,
                        CredHandle* credentials) {
  TimeStamp expiry;
  return sspi.AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W),
                                        SECPKG_CRED_OUTBOUND, nullptr, authData, nullptr, nullptr,
                                        credentials, &expiry);
}

}  // namespace

Status CheckServerCertificate(const SecurityFunctionTableW& sspi, CtxtHandle* context,
                              const RootStore* roots, const std::string& host) {
  PCCERT_CONTEXT leaf = nullptr;
  if (sspi.QueryContextAttributesW(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &leaf) != SEC_E_OK ||
      leaf == nullptr) {
    return CertificateNotTrusted(host, "the server sent no certificate");
  }
  Status verdict = VerifyServerCertificate(leaf, roots, host);
  CertFreeCertificateContext(leaf);
  return verdict;
}

std::unique_ptr<TlsContext> TlsContext::Make(const TlsTrust& trust, Status* why) {
  std::unique_ptr<RootStore> roots;
  if (!trust.caFile.empty()) {
    roots = RootStore::FromPemFile(trust.caFile, why);
    if (!roots) return nullptr;
  }
  const SecurityFunctionTableW* sspi = InitSecurityInterfaceW();
  if (sspi == nullptr) {
    *why = Status(StatusCode::kTlsUnavailable, "TLS cannot be set up (no SSPI)");
    return nullptr;
  }
  return MakeSchannelContext(*sspi, CheckServerCertificate, std::move(roots), why);
}

std::unique_ptr<TlsContext> MakeSchannelContext(const SecurityFunctionTableW& sspi,
                                                ServerCheck check, std::unique_ptr<RootStore> roots,
                                                Status* why) {
  CredHandle credentials{};
  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols = kOldVersions;
  SCH_CREDENTIALS modern{};
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags = kCredentialFlags;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &parameters;
  SECURITY_STATUS s = Acquire(sspi, &modern, &credentials);
  if (s != SEC_E_OK) {
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    older.dwFlags = kCredentialFlags;
    s = Acquire(sspi, &older, &credentials);
  }
  if (s != SEC_E_OK) {
    *why =
        Status(StatusCode::kTlsUnavailable, "TLS cannot be set up (Schannel " + HexCode(s) + ")");
    return nullptr;
  }
  return std::make_unique<SchannelContext>(sspi, check, credentials, std::move(roots));
}

}  // namespace platform
