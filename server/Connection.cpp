#include "server/Connection.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "server/StaticPages.h"
#include "server/XmlAnswer.h"

namespace refserver {
namespace {

constexpr size_t kBufferBytes = 64 * 1024;
constexpr size_t kMaxHead = 16 * 1024;       // request line and headers
constexpr uint64_t kMaxDrain = 1ull << 30;   // at most this much of a refused body is read
constexpr uint64_t kDrainSlack = 64 * 1024;  // room for the closing line and stray bytes
constexpr int kStallPollMs = 50;

}  // namespace

Connection::Connection(std::shared_ptr<ServerState> state, asio::ip::tcp::socket socket)
    : state_(std::move(state)),
      stream_(std::move(socket), state_->tls.get()),
      timer_(stream_.Executor()),
      buf_(kBufferBytes) {}

Connection::~Connection() {
  EndUpload();
  state_->RemoveLive(this);
}

void Connection::Start() {
  asio::post(stream_.Executor(), [self = shared_from_this()] {
    if (self->stream_.IsTls()) return self->Handshake();
    self->ReadHead();
  });
}

void Connection::Abort() {
  asio::post(stream_.Executor(), [self = shared_from_this()] { self->Close(true); });
}

// A busy upload arms the time-out at every read: only the deadline moves, and the wait that is
// already pending looks again when it fires, so a read costs no timer reprogramming and no
// cancelled wait. The timer is restarted only when the deadline comes nearer (the drain's after
// the idle one) or another wait (a key's, the stall's) has taken the timer meanwhile.
void Connection::Arm(int ms) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
  deadline_ = deadline;
  if (armedGeneration_ != 0 && armedGeneration_ == timerGeneration_ &&
      timer_.expiry() <= deadline) {
    return;
  }
  armedGeneration_ = ++timerGeneration_;
  WaitForDeadline();
}

void Connection::WaitForDeadline() {
  timer_.expires_at(deadline_);
  timer_.async_wait(
      [self = shared_from_this(), generation = timerGeneration_](const std::error_code& ec) {
        if (ec || generation != self->timerGeneration_ || self->closed_) return;
        if (Clock::now() < self->deadline_) return self->WaitForDeadline();
        self->Close();
      });
}

void Connection::WaitForKey(const std::string& key, std::function<bool()> ready,
                            Clock::time_point deadline, std::function<void(bool)> next) {
  if (closed_) return;
  DropKeyWait();
  keyWait_ = KeyWait{key, std::move(ready), deadline, std::move(next), 0};
  LookForKey();
}

void Connection::LookForKey() {
  if (closed_ || !keyWait_.next) return;
  // Registered before ready() is asked, so that a release in between is not missed. The wake
  // holds only a weak pointer: a waiting connection is kept alive by its timer, not by the wait.
  if (keyWait_.token != 0) state_->CancelAwait(keyWait_.token);
  const uint64_t serial = ++keyWaitSerial_;
  keyWait_.token = state_->AwaitRelease(
      keyWait_.key, [weak = weak_from_this(), executor = stream_.Executor(), serial] {
        if (auto self = weak.lock()) {
          asio::post(executor, [self, serial] { self->KeyReleased(serial); });
        }
      });
  // ready() may take the key (a claim): it is asked once per look.
  const bool held = keyWait_.ready();
  if (held || Clock::now() >= keyWait_.deadline) return DecideKeyWait(held);
  const uint64_t generation = ++timerGeneration_;
  timer_.expires_at(keyWait_.deadline);
  timer_.async_wait([self = shared_from_this(), generation](const std::error_code& ec) {
    if (ec || generation != self->timerGeneration_ || self->closed_) return;
    self->DecideKeyWait(false);
  });
}

void Connection::KeyReleased(uint64_t serial) {
  if (closed_ || !keyWait_.next || serial != keyWaitSerial_) return;
  keyWait_.token = 0;  // fired, so no longer registered
  LookForKey();
}

void Connection::DecideKeyWait(bool held) {
  ++timerGeneration_;
  auto next = std::move(keyWait_.next);
  DropKeyWait();
  if (next) next(held);
}

void Connection::DropKeyWait() {
  if (keyWait_.token != 0) state_->CancelAwait(keyWait_.token);
  keyWait_ = KeyWait{};
}

void Connection::EndUpload() {
  if (file_ >= 0) {
    ::close(file_);
    file_ = -1;
  }
  if (!key_.empty()) state_->ClearWriter(key_, this);
  if (claimed_) {
    state_->ReleaseKey(key_);
    claimed_ = false;
  }
}

void Connection::Close(bool reset) {
  if (closed_) return;
  closed_ = true;
  ++timerGeneration_;
  timer_.cancel();
  DropKeyWait();
  EndUpload();
  stream_.Close(reset);
}

uint64_t Connection::BodyLeft() const {
  uint64_t total = head_.contentLength.value_or(0);
  return total > bodyRead_ ? total - bodyRead_ : 0;
}

// ---- handshake, request head and routing ----

void Connection::Handshake() {
  Arm(state_->options.idleTimeoutMs);  // once: the whole handshake, however it is split
  stream_.AsyncHandshake([self = shared_from_this()](const std::error_code& ec) {
    // A time-out or the server's stop closes the socket, which ends the handshake here too.
    self->state_->RecordHandshake(ec ? nullptr : self->stream_.Native());
    if (ec || self->closed_) return self->Close();
    self->ReadHead();
  });
}

void Connection::ReadHead() {
  Arm(state_->options.idleTimeoutMs);
  stream_.AsyncReadSome(
      asio::buffer(buf_), [self = shared_from_this()](const std::error_code& ec, size_t n) {
        if (ec || self->closed_) return self->Close();
        self->data_.append(self->buf_.data(), n);
        size_t end = self->data_.find("\r\n\r\n");
        if (end == std::string::npos) {
          if (self->data_.size() > kMaxHead) return self->Close(true);
          return self->ReadHead();
        }
        bool ok = ParseRequestHead(std::string_view(self->data_).substr(0, end + 4), &self->head_);
        self->data_.erase(0, end + 4);
        self->bodyRead_ = self->data_.size();
        if (!ok || self->head_.badLength) {
          self->head_.contentLength.reset();
          return self->Answer("<error>malformed request</error>");
        }
        self->Route();
      });
}

void Connection::Route() {
  route_ = &FindRoute(head_, state_->options);
  fault_ = state_->TakeFault(route_->endpoint, head_.target);
  if (route_->faultFree) return (this->*route_->serve)();
  if (fault_.stall) return Stall();
  if (!route_->handlerAnswersFaults) {
    if (fault_.closeWithoutAnswer) return CloseWithoutAnswer();
    if (fault_.status || fault_.garbage || fault_.oversized) {
      // A dispatch answer echoes the request's cmd; the upload server's name their endpoint.
      const std::string cmd =
          std::string(route_->root) == "root" ? QueryValue(head_, "cmd") : route_->endpoint;
      return Answer(FaultBody(fault_, route_->root, cmd));
    }
  }
  (this->*route_->serve)();
}

void Connection::ServeUnknown() {
  Answer("<error>unknown path</error>");
}

void Connection::ServePage() {
  const StaticPage* page = FindStaticPage(head_.path);
  Answer(std::string(page->body), std::string(page->contentType));
}

// ---- answers ----

void Connection::Answer(const std::string& body, const std::string& contentType) {
  reply_ = "HTTP/1.1 200 OK\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
  Arm(state_->options.idleTimeoutMs);
  stream_.AsyncWrite(asio::buffer(reply_),
                     [self = shared_from_this()](const std::error_code& ec, size_t) {
                       if (ec || self->closed_) return self->Close();
                       self->EndSending();
                     });
}

void Connection::AnswerStatus(const char* root, const std::string& cmd, int status,
                              const std::string& msg) {
  Answer(StatusDocument(root, cmd, status, msg));
}

void Connection::CloseWithoutAnswer() {
  EndSending();
}

void Connection::EndSending() {
  drainLeft_ = std::min(BodyLeft(), kMaxDrain) + kDrainSlack;
  Arm(state_->options.drainTimeoutMs);
  stream_.AsyncEndSending([self = shared_from_this()](const std::error_code& ec) {
    if (ec || self->closed_) return self->Close();
    self->Drain();
  });
}

// Reads what the client still sends (the closing line after the counted body, the rest of a
// refused body) until it closes, so that closing here does not reset the connection. Under
// TLS the end is the client's close_notify or its FIN.
void Connection::Drain() {
  Arm(state_->options.drainTimeoutMs);
  stream_.AsyncReadSome(asio::buffer(buf_),
                        [self = shared_from_this()](const std::error_code& ec, size_t n) {
                          if (ec || self->closed_ || n >= self->drainLeft_) return self->Close();
                          self->drainLeft_ -= n;
                          self->Drain();
                        });
}

void Connection::Stall() {
  uint64_t generation = ++timerGeneration_;
  timer_.expires_after(std::chrono::milliseconds(kStallPollMs));
  timer_.async_wait([self = shared_from_this(), generation](const std::error_code& ec) {
    if (ec || generation != self->timerGeneration_ || self->closed_) return;
    // The TCP socket below the stream: its hangup is the client's, TLS or not.
    pollfd p{self->stream_.Tcp().native_handle(), POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
      return self->Close();
    }
    self->Stall();
  });
}

}  // namespace refserver
