#include "net/Http.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "net/Connect.h"
#include "net/ReplyReader.h"
#include "net/WireText.h"
#include "platform/Bounded.h"

using platform::Status;
using platform::StatusCode;

namespace {

constexpr size_t kHeaderBlockSize = 4096;
constexpr int64_t kPieceSize = 8000;
// Up to this many read pieces go out in one send; each piece's progress is reported, in
// order, once the send has gone.
constexpr int kPiecesPerSend = 8;

Status Refused(const std::string& what) {
  return Status(StatusCode::kInvalidArgument, what);
}

// The request line and the Host header take the target and the host as they are, so a value
// that could break the line or add a header line of its own is refused before anything is sent.
Status OnTheWire(const char* target, const Endpoint& server) {
  if (target == nullptr || !IsWireTarget(target))
    return Refused("the request target cannot be sent");
  if (server.host == nullptr || !IsPlainHostName(server.host)) {
    return Refused("the host name \"" + std::string(server.host ? server.host : "") +
                   "\" cannot be sent");
  }
  return Status::Ok();
}

Status FileFailed(const char* path, const char* what) {
  return Status(StatusCode::kFile, std::string(path) + " " + what);
}

// Reads the reply and leaves its body in reply.
Status FinishRequest(const Call& call, Stream& stream, char* reply, bool debug) {
  std::unique_ptr<char[]> text(new char[kReplyBufferSize]);
  size_t total = 0;
  Status s = ReceiveReply(stream, text.get(), &total);
  if (!s.ok()) return s;
  if (debug) {
    call.transport.diagnostics.DebugOutput("GET\xB7\xB5\xBB\xD8");
    call.transport.diagnostics.DebugOutput(std::string_view(text.get(), total));
  }
  ExtractReplyBody(text.get(), total, reply);
  stream.Close();
  return Status::Ok();
}

}  // namespace

Status HttpGet(const Call& call, const char* path, const Endpoint& server, char* reply) {
  if (reply == nullptr) return Refused("no reply buffer");
  Status s = OnTheWire(path, server);
  if (!s.ok()) return s;
  char header[kHeaderBlockSize];
  if (!platform::FormatText(header, sizeof header,
                            "GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: UCorvelClient\r\n\r\n",
                            path, server.host)) {
    return Refused("the request does not fit its header block");
  }
  std::unique_ptr<Stream> stream;
  s = OpenStream(call, server, &stream);
  if (s.ok()) s = stream->Send(header, std::strlen(header));
  if (s.ok()) s = FinishRequest(call, *stream, reply, /*debug=*/true);
  return s;
}

Status HttpPostFile(const Call& call, const char* filePath, IBodyProgress& progress,
                    const Endpoint& server, const char* path, const char* head,
                    const char* boundary, int64_t fileSize, int64_t offset, char* reply) {
  if (filePath == nullptr || head == nullptr || boundary == nullptr || reply == nullptr) {
    return Refused("a request part is missing");
  }
  Status s = OnTheWire(path, server);
  if (!s.ok()) return s;
  // An offset outside the file would announce fewer bytes than head alone.
  if (offset < 0 || offset > fileSize) return Refused("the offset lies outside the file");
  const size_t headLength = std::strlen(head);
  const long long contentLength =
      static_cast<long long>(headLength) + static_cast<long long>(fileSize - offset);
  char header[kHeaderBlockSize];
  char tail[200];
  if (!platform::FormatText(header, sizeof header,
                            "POST %s HTTP/1.1\r\nHost: %s\r\nContent-Length: %lld\r\n"
                            "Content-Type: multipart/form-data; %s\r\n"
                            "User-Agent: UCorvelClient\r\n\r\n",
                            path, server.host, contentLength, boundary) ||
      !platform::FormatText(tail, sizeof tail, "\r\n%s--", boundary)) {
    return Refused("the request does not fit its header block");
  }
  // The file is opened first: a file that cannot be read, or whose length is no longer the
  // length the request announces, is refused before anything is sent.
  std::unique_ptr<platform::IReadFile> file = call.transport.env.OpenRead(filePath);
  int64_t length = 0;
  if (!file || !file->Length(&length)) return FileFailed(filePath, "cannot be read");
  if (length != fileSize) return FileFailed(filePath, "changed its size");
  if (offset < length && !file->Seek(offset)) return FileFailed(filePath, "cannot be read");

  std::unique_ptr<Stream> stream;
  s = OpenStream(call, server, &stream);
  if (s.ok()) s = stream->Send(header, std::strlen(header));
  if (s.ok()) s = stream->Send(head, headLength);
  if (!s.ok()) return s;
  std::unique_ptr<char[]> buffer(new char[kPieceSize * kPiecesPerSend]);
  int64_t remaining = length - offset;
  while (remaining > 0) {
    // The next send's pieces, in one read: a read per piece cost a system call per 8000
    // bytes. A stop is looked for before each send.
    if (progress.StopRequested()) return Status(StatusCode::kCancelled, "stopped");
    const size_t want =
        static_cast<size_t>(std::min<int64_t>(remaining, kPieceSize * kPiecesPerSend));
    const int pieces = static_cast<int>((want + kPieceSize - 1) / kPieceSize);
    for (size_t filled = 0; filled < want;) {
      const int64_t n = file->Read(buffer.get() + filled, want - filled);
      if (n <= 0 || n > static_cast<int64_t>(want - filled)) {
        return FileFailed(filePath, "could not be read to its end");
      }
      filled += static_cast<size_t>(n);
    }
    s = stream->Send(buffer.get(), want);
    if (!s.ok()) return s;
    const int64_t start = length - remaining;
    remaining -= static_cast<int64_t>(want);
    for (int i = 1; i <= pieces; ++i) {
      progress.PieceSent(start + std::min<int64_t>(i * kPieceSize, static_cast<int64_t>(want)));
    }
  }
  file.reset();
  s = stream->Send(tail, std::strlen(tail));
  if (!s.ok()) return s;
  return FinishRequest(call, *stream, reply, /*debug=*/false);
}
