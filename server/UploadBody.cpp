// The upload server's multipart upload ("/ups/up"), streamed into the partial file of its key.
//
// The body, with B the bare boundary of "Content-Type: multipart/form-data; B":
//   "--B\r\nContent-Disposition: form-data; name=\"U_BlockSchema\"\r\n\r\n" S "\r\n"
//   "--B\r\nContent-Disposition: form-data; name=\"U_Offset\"\r\n\r\n" O "\r\n"
//   "--B\r\nContent-Disposition: form-data; name=\"Filedata\"; filename=\"<pick code>\"\r\n"
//   "Content-Type: application/octet-stream\r\n\r\n" <file bytes from O to the end>
// Content-Length counts exactly that; the closing line "\r\n" B "--" comes after it and is
// read by the drain that follows the answer.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "server/Connection.h"
#include "server/Multipart.h"
#include "server/XmlAnswer.h"

namespace refserver {
namespace {
constexpr size_t kMaxFormHead = 16 * 1024;  // the form's parts before the file data
constexpr int kClaimWaitMs = 5000;          // an upload waits this long for the key
}  // namespace

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
    stream_.AsyncReadSome(asio::buffer(buf_.data(), want),
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
  WaitForKey(
      key_, [self] { return self->state_->store->Claim(self->key_); },
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
        if (self->file_ < 0) return self->WriteFailed();
        self->state_->SetWriter(self->key_, self);
        // File bytes that came with the form head; anything after them is the closing
        // line, which the drain reads.
        size_t first =
            static_cast<size_t>(std::min<uint64_t>(self->data_.size(), self->fileBytes_));
        std::string early = std::move(self->data_);
        self->data_.clear();
        if (self->AppendToFile(early.data(), first)) self->ReadBody();
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
  stream_.AsyncReadSome(asio::buffer(buf_.data(), static_cast<size_t>(want)),
                        [self = shared_from_this()](const std::error_code& ec, size_t n) {
                          if (ec || self->closed_)
                            return self->Close();  // the bytes written so far stay
                          self->bodyRead_ += n;
                          if (self->AppendToFile(self->buf_.data(), n)) self->ReadBody();
                        });
}

bool Connection::AppendToFile(const char* data, size_t n) {
  size_t off = 0;
  while (off < n) {
    ssize_t w = ::write(file_, data + off, n - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      WriteFailed();
      return false;
    }
    off += static_cast<size_t>(w);
  }
  received_ += n;
  state_->AddUploadBytes(key_, static_cast<int64_t>(n));
  return true;
}

void Connection::WriteFailed() {
  EndUpload();
  AnswerStatus("ups", "up", 316, "the server cannot write the file");
}

void Connection::EndBody() {
  EndUpload();
  if (fault_.closeWithoutAnswer) return CloseWithoutAnswer();
  if (fault_.status || fault_.garbage || fault_.oversized) {
    return Answer(FaultBody(fault_, "ups", "up"));
  }
  AnswerStatus("ups", "up", 100, "");
}

}  // namespace refserver
