#include "server/Connection.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "server/Multipart.h"
#include "server/StaticPages.h"

namespace refserver {
namespace {

constexpr size_t kBufferBytes = 64 * 1024;
constexpr size_t kMaxHead = 16 * 1024;       // request line and headers
constexpr size_t kMaxFormHead = 16 * 1024;   // the form's parts before the file data
constexpr uint64_t kMaxDrain = 1ull << 30;   // at most this much of a refused body is read
constexpr uint64_t kDrainSlack = 64 * 1024;  // room for the closing line and stray bytes
constexpr int kClaimWaitMs = 5000;           // an upload waits this long for the key
constexpr int kCheckWaitMs = 10000;          // a check or finish waits this long for a writer
constexpr int kPollMs = 5;
constexpr int kStallPollMs = 50;

std::string XmlText(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Element(const char* name, const std::string& value) {
  return std::string("<") + name + ">" + XmlText(value) + "</" + name + ">";
}

std::string Document(const char* root, const std::string& children) {
  return std::string("<") + root + ">" + children + "</" + root + ">";
}

// The answer a fault asks for instead of the real one.
std::string FaultBody(const EndpointFault& f, const char* root, const std::string& cmd) {
  if (f.garbage) return "this is not <xml";
  if (f.oversized) {
    return Document(root, Element("cmd", cmd) + Element("status", "100") +
                              Element("padding", std::string(6000, 'x')));
  }
  return Document(root,
                  Element("cmd", cmd) + Element("status", std::to_string(f.status)) +
                      Element("status_msg", "fault injected: status " + std::to_string(f.status)));
}

bool ParseCount(const std::string& s, int64_t* v) {
  if (s.empty() || s.size() > 18) return false;
  int64_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *v = n;
  return true;
}

}  // namespace

Connection::Connection(std::shared_ptr<ServerState> state, asio::ip::tcp::socket socket)
    : state_(std::move(state)),
      socket_(std::move(socket)),
      timer_(socket_.get_executor()),
      buf_(kBufferBytes) {}

Connection::~Connection() {
  EndUpload();
  state_->RemoveLive(this);
}

void Connection::Start() {
  asio::post(socket_.get_executor(), [self = shared_from_this()] { self->ReadHead(); });
}

void Connection::Abort() {
  asio::post(socket_.get_executor(), [self = shared_from_this()] { self->Close(true); });
}

void Connection::Arm(int ms) {
  uint64_t generation = ++timerGeneration_;
  timer_.expires_after(std::chrono::milliseconds(ms));
  timer_.async_wait([self = shared_from_this(), generation](const std::error_code& ec) {
    if (ec || generation != self->timerGeneration_ || self->closed_) return;
    self->Close();
  });
}

void Connection::WaitUntil(std::function<bool()> ready, Clock::time_point deadline,
                           std::function<void(bool)> next) {
  if (closed_) return;
  if (ready()) return next(true);
  if (Clock::now() >= deadline) return next(false);
  uint64_t generation = ++timerGeneration_;
  timer_.expires_after(std::chrono::milliseconds(kPollMs));
  timer_.async_wait([self = shared_from_this(), generation, ready = std::move(ready), deadline,
                     next = std::move(next)](const std::error_code& ec) mutable {
    if (ec || generation != self->timerGeneration_ || self->closed_) return;
    self->WaitUntil(std::move(ready), deadline, std::move(next));
  });
}

void Connection::EndUpload() {
  if (file_ >= 0) {
    ::close(file_);
    file_ = -1;
  }
  if (!key_.empty()) state_->ClearWriter(key_, this);
  if (claimed_) {
    state_->store->Release(key_);
    claimed_ = false;
  }
}

void Connection::Close(bool reset) {
  if (closed_) return;
  closed_ = true;
  ++timerGeneration_;
  timer_.cancel();
  EndUpload();
  std::error_code ec;
  if (reset) socket_.set_option(asio::socket_base::linger(true, 0), ec);
  socket_.close(ec);
}

uint64_t Connection::BodyLeft() const {
  uint64_t total = head_.contentLength.value_or(0);
  return total > bodyRead_ ? total - bodyRead_ : 0;
}

// ---- request head and routing ----

void Connection::ReadHead() {
  Arm(state_->options.idleTimeoutMs);
  socket_.async_read_some(
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
  const std::string& path = head_.path;
  if (const StaticPage* page = FindStaticPage(path)) {
    return Answer(std::string(page->body), std::string(page->contentType));
  }
  std::string cmd;
  const char* root = "ups";
  if (path == state_->options.dispatchPath) {
    cmd = QueryValue(head_, "cmd");
    endpoint_ = cmd == "delete" ? "delete" : "dispatch";
    root = "root";
  } else if (path == "/ups/co") {
    endpoint_ = cmd = "co";
  } else if (path == "/ups/up") {
    endpoint_ = cmd = "up";
  } else if (path == "/ups/fin") {
    endpoint_ = cmd = "fin";
  } else if (path == "/discard") {
    endpoint_ = "discard";
  } else {
    endpoint_ = "other";
  }
  fault_ = state_->TakeFault(endpoint_, head_.target);
  if (endpoint_ == "discard") return ServeDiscard();
  if (endpoint_ == "other") return Answer("<error>unknown path</error>");
  if (fault_.stall) return Stall();
  if (endpoint_ != "up") {
    // The upload reads its body first and then answers the fault (ServeUpload).
    if (fault_.closeWithoutAnswer) return CloseWithoutAnswer();
    if (fault_.status || fault_.garbage || fault_.oversized) {
      return Answer(FaultBody(fault_, root, cmd));
    }
  }
  if (endpoint_ == "dispatch") return ServeDispatch(cmd);
  if (endpoint_ == "delete") return ServeDelete();
  if (endpoint_ == "co") return ServeCheck();
  if (endpoint_ == "up") return ServeUpload();
  ServeFinish();
}

// ---- answers ----

void Connection::Answer(const std::string& body, const std::string& contentType) {
  reply_ = "HTTP/1.1 200 OK\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
  Arm(state_->options.idleTimeoutMs);
  asio::async_write(socket_, asio::buffer(reply_),
                    [self = shared_from_this()](const std::error_code& ec, size_t) {
                      if (ec || self->closed_) return self->Close();
                      std::error_code ignored;
                      self->socket_.shutdown(asio::socket_base::shutdown_send, ignored);
                      self->drainLeft_ = std::min(self->BodyLeft(), kMaxDrain) + kDrainSlack;
                      self->Drain();
                    });
}

void Connection::AnswerStatus(const char* root, const std::string& cmd, int status,
                              const std::string& msg) {
  Answer(Document(root, Element("cmd", cmd) + Element("status", std::to_string(status)) +
                            (msg.empty() ? "" : Element("status_msg", msg))));
}

void Connection::CloseWithoutAnswer() {
  std::error_code ignored;
  socket_.shutdown(asio::socket_base::shutdown_send, ignored);
  drainLeft_ = std::min(BodyLeft(), kMaxDrain) + kDrainSlack;
  Drain();
}

// Reads what the client still sends (the closing line after the counted body, the rest of a
// refused body) until it closes, so that closing here does not reset the connection.
void Connection::Drain() {
  Arm(state_->options.drainTimeoutMs);
  socket_.async_read_some(asio::buffer(buf_),
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
    pollfd p{self->socket_.native_handle(), POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
      return self->Close();
    }
    self->Stall();
  });
}

// ---- dispatch server ----

void Connection::ServeDispatch(const std::string& cmd) {
  auto fail = [&](int status, const std::string& msg) { AnswerStatus("root", cmd, status, msg); };
  if (cmd != "upload" && cmd != "reupload") {
    return fail(200, "cmd must be upload, reupload or delete");
  }
  const std::string sha1 = QueryValue(head_, "sha1");
  const std::string sizeText = QueryValue(head_, "size");
  const std::string name = QueryValue(head_, "name");
  int64_t size = 0;
  if (sha1.empty()) return fail(201, "missing parameter: sha1");
  if (!IsSha1Text(sha1)) {
    return fail(201, "bad parameter: sha1 must be 40 upper-case hexadecimal digits");
  }
  if (sizeText.empty()) return fail(202, "missing parameter: size");
  if (!ParseCount(sizeText, &size)) return fail(202, "bad parameter: size must be a byte count");
  if (name.empty()) return fail(203, "missing parameter: name");
  std::string pickCode;
  if (!state_->options.discardUploads && state_->store->FindComplete(sha1, &pickCode)) {
    return Answer(Document("root", Element("cmd", cmd) + Element("status", "100") +
                                       Element("is_need_upload", "0") +
                                       Element("pickcode", pickCode)));
  }
  PartialUpload u;
  if (!state_->store->Begin(sha1, size, name, QueryValue(head_, "pick_code"), &u)) {
    return fail(204, "the server cannot store a new upload");
  }
  uint16_t port = state_->options.uploadPort ? state_->options.uploadPort : state_->port;
  Answer(Document("root", Element("cmd", cmd) + Element("status", "100") +
                              Element("is_need_upload", "1") +
                              Element("ip", state_->options.uploadHost) +
                              Element("port", std::to_string(port)) +
                              Element("pickcode", u.pickCode) + Element("key", u.key)));
}

void Connection::ServeDelete() {
  const std::string pickCode = QueryValue(head_, "pickcode");
  const std::string cookie = QueryValue(head_, "cookie");
  state_->RecordDelete(pickCode, cookie);
  if (pickCode.empty()) return AnswerStatus("root", "delete", 210, "missing parameter: pickcode");
  if (cookie.empty()) return AnswerStatus("root", "delete", 211, "missing parameter: cookie");
  std::string key = state_->store->KeyOfPickCode(pickCode);
  if (key.empty()) {
    return AnswerStatus("root", "delete", 404, "no unfinished upload has this pick code");
  }
  state_->Supersede(key, this);
  state_->store->DeleteByPickCode(pickCode);
  AnswerStatus("root", "delete", 100, "");
}

// ---- upload server: check ----

void Connection::ServeCheck() {
  if (state_->options.discardUploads) {
    return Answer(Document("ups", Element("cmd", "co") + Element("status", "100") +
                                      Element("data_type", "0") + Element("data", "0")));
  }
  const std::string key = QueryValue(head_, "key");
  PartialUpload u;
  if (!state_->store->FindByKey(key, &u) || u.sha1 != QueryValue(head_, "sha1") ||
      u.pickCode != QueryValue(head_, "filename")) {
    return AnswerStatus("ups", "co", 301, "unknown upload: key, sha1 and filename must match");
  }
  // A connection its client has left may still be writing the key: end it, and answer the
  // offset once it has let go, so that the next upload starts exactly there.
  state_->Supersede(key, this);
  auto self = shared_from_this();
  WaitUntil([self, key] { return !self->state_->store->IsClaimed(key); },
            Clock::now() + std::chrono::milliseconds(kCheckWaitMs),
            [self, key](bool free) {
              int64_t held = self->state_->store->Held(key);
              if (!free) return self->AnswerStatus("ups", "co", 315, "upload busy");
              if (held < 0) return self->AnswerStatus("ups", "co", 301, "unknown upload");
              self->Answer(Document("ups", Element("cmd", "co") + Element("status", "100") +
                                               Element("data_type", "0") +
                                               Element("data", std::to_string(held))));
            });
}

// ---- upload server: the multipart upload ----
//
// The body, with B the bare boundary of "Content-Type: multipart/form-data; B":
//   "--B\r\nContent-Disposition: form-data; name=\"U_BlockSchema\"\r\n\r\n" S "\r\n"
//   "--B\r\nContent-Disposition: form-data; name=\"U_Offset\"\r\n\r\n" O "\r\n"
//   "--B\r\nContent-Disposition: form-data; name=\"Filedata\"; filename=\"<pick code>\"\r\n"
//   "Content-Type: application/octet-stream\r\n\r\n" <file bytes from O to the end>
// Content-Length counts exactly that; the closing line "\r\n" B "--" comes after it and is
// read by the drain that follows the answer.

void Connection::ServeUpload() {
  if (state_->options.discardUploads) return ServeDiscard();
  auto ct = head_.headers.find("content-type");
  boundary_ = ct == head_.headers.end() ? "" : MultipartBoundary(ct->second);
  if (boundary_.empty() || !head_.contentLength) {
    return AnswerStatus("ups", "up", 310, "no multipart boundary or Content-Length");
  }
  ReadFormHead();
}

void Connection::ReadFormHead() {
  FormHead form;
  FormResult r = ParseFormHead(data_, boundary_, &form);
  const uint64_t total = *head_.contentLength;
  if (r == FormResult::kNeedMore && data_.size() < kMaxFormHead && bodyRead_ < total) {
    Arm(state_->options.idleTimeoutMs);
    size_t want = static_cast<size_t>(std::min<uint64_t>(buf_.size(), total - bodyRead_));
    socket_.async_read_some(asio::buffer(buf_.data(), want),
                            [self = shared_from_this()](const std::error_code& ec, size_t n) {
                              if (ec || self->closed_) return self->Close();
                              self->data_.append(self->buf_.data(), n);
                              self->bodyRead_ += n;
                              self->ReadFormHead();
                            });
    return;
  }
  if (r != FormResult::kDone || form.headLength > total) {
    return AnswerStatus("ups", "up", 311, "malformed multipart form");
  }
  const std::string key = QueryValue(head_, "key");
  PartialUpload u;
  if (!state_->store->FindByKey(key, &u) || u.pickCode != QueryValue(head_, "filename") ||
      u.sha1 != QueryValue(head_, "sha1")) {
    return AnswerStatus("ups", "up", 312, "unknown upload: key, sha1 and filename must match");
  }
  int64_t offset = 0;
  int64_t held = state_->store->Held(key);
  if (!ParseCount(form.fields["U_Offset"], &offset) || offset != held) {
    return AnswerStatus("ups", "up", 313,
                        "U_Offset must equal the bytes held (" + std::to_string(held) + ")");
  }
  if (form.fields["U_BlockSchema"] != std::to_string(BlockSchemaForSize(u.size))) {
    return AnswerStatus("ups", "up", 311,
                        "U_BlockSchema must be " + std::to_string(BlockSchemaForSize(u.size)));
  }
  fileBytes_ = total - form.headLength;
  if (fileBytes_ > static_cast<uint64_t>(u.size - offset)) {
    return AnswerStatus("ups", "up", 314, "more bytes than the file has");
  }
  data_.erase(0, form.headLength);
  key_ = key;
  offset_ = offset;
  BeginBody();
}

void Connection::BeginBody() {
  state_->Supersede(key_, this);
  auto self = shared_from_this();
  WaitUntil([self] { return self->state_->store->Claim(self->key_); },
            Clock::now() + std::chrono::milliseconds(kClaimWaitMs),
            [self](bool claimed) {
              if (!claimed) return self->AnswerStatus("ups", "up", 315, "upload busy");
              self->claimed_ = true;
              if (self->state_->store->Held(self->key_) != self->offset_) {
                self->EndUpload();
                return self->AnswerStatus("ups", "up", 313, "U_Offset must equal the bytes held");
              }
              self->file_ = ::open(self->state_->store->PartialPath(self->key_).c_str(),
                                   O_WRONLY | O_APPEND | O_CLOEXEC);
              if (self->file_ < 0) {
                self->EndUpload();
                return self->AnswerStatus("ups", "up", 316, "the server cannot write the file");
              }
              self->state_->SetWriter(self->key_, self);
              // File bytes that came with the form head; anything after them is the closing
              // line, which the drain reads.
              size_t first =
                  static_cast<size_t>(std::min<uint64_t>(self->data_.size(), self->fileBytes_));
              std::string early = std::move(self->data_);
              self->data_.clear();
              if (!self->AppendToFile(early.data(), first)) {
                return self->AnswerStatus("ups", "up", 316, "the server cannot write the file");
              }
              self->ReadBody();
            });
}

void Connection::ReadBody() {
  if (received_ >= fileBytes_) return EndBody();
  if (fault_.resetAfterBytes >= 0 && received_ >= static_cast<uint64_t>(fault_.resetAfterBytes)) {
    return Close(/*reset=*/true);
  }
  if (fault_.stallAfterBytes >= 0 && received_ >= static_cast<uint64_t>(fault_.stallAfterBytes)) {
    EndUpload();  // what arrived stays; a later check answers it
    return Stall();
  }
  uint64_t want = std::min<uint64_t>(buf_.size(), fileBytes_ - received_);
  if (fault_.resetAfterBytes >= 0) {
    want = std::min<uint64_t>(want, static_cast<uint64_t>(fault_.resetAfterBytes) - received_);
  }
  if (fault_.stallAfterBytes >= 0) {
    want = std::min<uint64_t>(want, static_cast<uint64_t>(fault_.stallAfterBytes) - received_);
  }
  Arm(state_->options.idleTimeoutMs);
  socket_.async_read_some(asio::buffer(buf_.data(), static_cast<size_t>(want)),
                          [self = shared_from_this()](const std::error_code& ec, size_t n) {
                            if (ec || self->closed_)
                              return self->Close();  // the bytes written so far stay
                            self->bodyRead_ += n;
                            if (!self->AppendToFile(self->buf_.data(), n)) {
                              return self->AnswerStatus("ups", "up", 316,
                                                        "the server cannot write the file");
                            }
                            self->ReadBody();
                          });
}

bool Connection::AppendToFile(const char* data, size_t n) {
  size_t off = 0;
  while (off < n) {
    ssize_t w = ::write(file_, data + off, n - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      EndUpload();
      return false;
    }
    off += static_cast<size_t>(w);
  }
  received_ += n;
  state_->AddUploadBytes(key_, static_cast<int64_t>(n));
  return true;
}

void Connection::EndBody() {
  EndUpload();
  if (fault_.closeWithoutAnswer) return CloseWithoutAnswer();
  if (fault_.status || fault_.garbage || fault_.oversized) {
    return Answer(FaultBody(fault_, "ups", "up"));
  }
  AnswerStatus("ups", "up", 100, "");
}

// ---- upload server: finish ----

void Connection::ServeFinish() {
  if (state_->options.discardUploads) return AnswerStatus("ups", "fin", 100, "");
  const std::string key = QueryValue(head_, "key");
  int64_t size = 0;
  if (!ParseCount(QueryValue(head_, "filesize"), &size)) {
    return AnswerStatus("ups", "fin", 303, "bad parameter: filesize");
  }
  auto self = shared_from_this();
  WaitUntil([self, key] { return self->state_->store->Claim(key); },
            Clock::now() + std::chrono::milliseconds(kCheckWaitMs),
            [self, key, size](bool claimed) {
              if (!claimed) return self->AnswerStatus("ups", "fin", 315, "upload busy");
              // Hashing a large file takes a while: off the connection threads. The check releases
              // the key itself, so an aborted connection cannot let a writer in while it runs.
              asio::post(
                  *self->state_->checks, [self, key, size, sha1 = QueryValue(self->head_, "sha1"),
                                          schema = QueryValue(self->head_, "block_schema"),
                                          hashes = QueryValue(self->head_, "hashes")] {
                    std::string error;
                    ServerState& s = *self->state_;
                    bool ok = s.store->Finish(key, sha1, size, schema, hashes, s.stopping, &error);
                    s.store->Release(key);
                    asio::post(self->socket_.get_executor(), [self, ok, error] {
                      if (self->closed_) return;
                      self->AnswerStatus("ups", "fin", ok ? 100 : 303, ok ? "" : error);
                    });
                  });
            });
}

// ---- /discard: the benchmarks' baseline ----

void Connection::ServeDiscard() {
  data_.clear();
  ReadDiscard();
}

void Connection::ReadDiscard() {
  const uint64_t total = head_.contentLength.value_or(0);
  if (bodyRead_ >= total) {
    return Answer(Document("ups", Element("cmd", "up") + Element("status", "100")));
  }
  Arm(state_->options.idleTimeoutMs);
  size_t want = static_cast<size_t>(std::min<uint64_t>(buf_.size(), total - bodyRead_));
  socket_.async_read_some(asio::buffer(buf_.data(), want),
                          [self = shared_from_this()](const std::error_code& ec, size_t n) {
                            if (ec || self->closed_) return self->Close();
                            self->bodyRead_ += n;
                            self->ReadDiscard();
                          });
}

}  // namespace refserver
