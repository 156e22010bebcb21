#include "net/TlsStream.h"

#include "platform/TlsMessages.h"

using platform::Status;
using platform::StatusCode;
using platform::TlsStep;

TlsStream::TlsStream(std::unique_ptr<Stream> below, std::unique_ptr<platform::TlsEngine> engine,
                     std::string host, uint16_t port)
    : below_(std::move(below)),
      engine_(std::move(engine)),
      host_(std::move(host)),
      port_(port),
      in_(new uint8_t[kReadSize]) {}

TlsStream::~TlsStream() = default;

Status TlsStream::Flush() {
  out_.clear();
  engine_->TakeOutput(&out_);
  if (out_.empty()) return Status::Ok();
  return below_->Send(out_.data(), out_.size());
}

Status TlsStream::Fill(bool* closed) {
  size_t got = 0;
  Status s = below_->Receive(in_.get(), kReadSize, &got);
  *closed = s.ok() && got == 0;
  if (s.ok() && got > 0) engine_->PutInput(in_.get(), got);
  return s;
}

Status TlsStream::Broken(Status s) {
  open_ = false;
  return s;
}

Status TlsStream::Handshake() {
  for (;;) {
    Status why;
    const TlsStep step = engine_->Handshake(&why);
    // An alert the engine queued on failure goes out too, as far as the peer still listens.
    Status sent = Flush();
    if (step == TlsStep::kFailed) return Broken(why);
    if (!sent.ok()) return Broken(sent);
    if (step == TlsStep::kDone) {
      open_ = true;
      return Status::Ok();
    }
    bool closed = false;
    Status s = Fill(&closed);
    if (!s.ok()) return Broken(s);
    if (closed) {
      return Broken(platform::TlsHandshakeFailed(host_, port_, "the server closed the connection"));
    }
  }
}

Status TlsStream::Send(const void* data, size_t n) {
  if (!open_) return Status(StatusCode::kConnectionLost, "the TLS connection is not open");
  Status s = engine_->Encrypt(data, n);
  if (s.ok()) s = Flush();
  return s.ok() ? s : Broken(s);
}

Status TlsStream::Receive(void* buffer, size_t n, size_t* got) {
  *got = 0;
  if (ended_) return Status::Ok();
  if (!open_) return Status(StatusCode::kConnectionLost, "the TLS connection is not open");
  for (;;) {
    Status why;
    const TlsStep step = engine_->Decrypt(buffer, n, got, &why);
    // Decrypting may queue an answer of the engine's own (a key update).
    Status sent = Flush();
    if (step == TlsStep::kFailed) return Broken(why);
    if (!sent.ok()) return Broken(sent);
    if (step == TlsStep::kDone) return Status::Ok();
    if (step == TlsStep::kClosed) {
      ended_ = true;
      *got = 0;
      return Status::Ok();
    }
    bool closed = false;
    Status s = Fill(&closed);
    if (!s.ok()) return Broken(s);
    if (closed) {
      return Broken(
          Status(StatusCode::kConnectionLost,
                 platform::TlsPeer(host_, port_) + " ended the connection without closing TLS"));
    }
  }
}

void TlsStream::Close() {
  if (closed_) return;
  closed_ = true;
  if (open_) {
    engine_->Shutdown();
    Flush();
  }
  open_ = false;
  below_->Close();
}
