// The upload server's short endpoints: the check (the offset to go on from), the finish (the
// whole file checked against its hash and block plan, off the connection threads), and
// "/discard" (reads a body and throws it away: the benchmarks' baseline). Handlers of
// Connection (server/Connection.h).
#include "server/Connection.h"
#include "server/XmlAnswer.h"

namespace refserver {
namespace {
constexpr int kCheckWaitMs = 10000;  // a check or finish waits this long for a writer
}  // namespace

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
  WaitForKey(
      key, [self, key] { return !self->state_->store->IsClaimed(key); },
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

void Connection::ServeFinish() {
  if (state_->options.discardUploads) return AnswerStatus("ups", "fin", 100, "");
  const std::string key = QueryValue(head_, "key");
  int64_t size = 0;
  if (!ParseCount(QueryValue(head_, "filesize"), &size)) {
    return AnswerStatus("ups", "fin", 303, "bad parameter: filesize");
  }
  auto self = shared_from_this();
  WaitForKey(
      key, [self, key] { return self->state_->store->Claim(key); },
      Clock::now() + std::chrono::milliseconds(kCheckWaitMs),
      [self, key, size](bool claimed) {
        if (!claimed) return self->AnswerStatus("ups", "fin", 315, "upload busy");
        // Hashing a large file takes a while: off the connection threads. The check releases
        // the key itself, so an aborted connection cannot let a writer in while it runs.
        asio::post(*self->state_->checks, [self, key, size, sha1 = QueryValue(self->head_, "sha1"),
                                           schema = QueryValue(self->head_, "block_schema"),
                                           hashes = QueryValue(self->head_, "hashes")] {
          std::string error;
          ServerState& s = *self->state_;
          bool ok = s.store->Finish(key, sha1, size, schema, hashes, s.stopping, &error);
          s.ReleaseKey(key);
          asio::post(self->stream_.Executor(), [self, ok, error] {
            if (self->closed_) return;
            self->AnswerStatus("ups", "fin", ok ? 100 : 303, ok ? "" : error);
          });
        });
      });
}

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
  stream_.AsyncReadSome(asio::buffer(buf_.data(), want),
                        [self = shared_from_this()](const std::error_code& ec, size_t n) {
                          if (ec || self->closed_) return self->Close();
                          self->bodyRead_ += n;
                          self->ReadDiscard();
                        });
}

}  // namespace refserver
