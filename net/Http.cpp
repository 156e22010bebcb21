#include "net/Http.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "net/ProxySocket.h"
#include "net/ReplyReader.h"
#include "net/WireText.h"
#include "platform/Bounded.h"

namespace {

constexpr size_t kHeaderBlockSize = 4096;
constexpr int64_t kPieceSize = 8000;
// Up to this many read pieces go out in one send; each piece's progress is reported, in
// order, once the send has gone.
constexpr int kPiecesPerSend = 8;

// The request line and the Host header take the target and the host as they are, so a value
// that could break the line or add a header line of its own is refused before anything is sent.
bool OnTheWire(const char* target, const char* host) {
  return IsWireTarget(target) && IsPlainHostName(host);
}

// Opens the connection, directly or through the user's proxy.
bool OpenConnection(CProxySocket& socket, const char* host, int port) {
  socket.CreateSocket();
  if (socket.DiscoverProxy(host)) return socket.ConnectViaProxy(host, port & 0xFFFF);
  return socket.Connect(host, static_cast<uint16_t>(port & 0xFFFF));
}

// Sends every byte (SendBytes takes a 32-bit count, so very long texts go in slices).
bool SendAll(CProxySocket& socket, const char* data, size_t length) {
  constexpr size_t kSlice = size_t{1} << 30;
  while (length > 0) {
    size_t n = std::min(length, kSlice);
    if (socket.SendBytes(data, static_cast<int32_t>(n)) != static_cast<int32_t>(n)) return false;
    data += n;
    length -= n;
  }
  return true;
}

// Reads the reply and leaves its body in reply. False when receiving failed.
bool FinishRequest(const Call& call, CProxySocket& socket, char* reply, bool debug) {
  std::unique_ptr<char[]> text(new char[kReplyBufferSize]);
  size_t total = 0;
  if (!ReceiveReply(socket, text.get(), &total)) {
    socket.CloseSocket();
    return false;
  }
  if (debug) {
    call.transport.diagnostics.DebugOutput("GET\xB7\xB5\xBB\xD8");
    call.transport.diagnostics.DebugOutput(std::string_view(text.get(), total));
  }
  ExtractReplyBody(text.get(), total, reply);
  socket.CloseSocket();
  return true;
}

}  // namespace

bool HttpGet(const Call& call, const char* path, const char* host, int port, char* reply) {
  if (path == nullptr || host == nullptr || reply == nullptr || !OnTheWire(path, host)) {
    return false;
  }
  char header[kHeaderBlockSize];
  if (!platform::FormatText(header, sizeof header,
                            "GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: UCorvelClient\r\n\r\n",
                            path, host)) {
    return false;
  }
  CProxySocket socket(call);
  if (!OpenConnection(socket, host, port)) return false;
  if (!SendAll(socket, header, std::strlen(header))) {
    socket.CloseSocket();
    return false;
  }
  return FinishRequest(call, socket, reply, /*debug=*/true);
}

bool HttpPostFile(const Call& call, const char* filePath, IBodyProgress& progress, const char* host,
                  int port, const char* path, const char* head, const char* boundary,
                  int64_t fileSize, int64_t offset, char* reply) {
  if (filePath == nullptr || host == nullptr || path == nullptr || head == nullptr ||
      boundary == nullptr || reply == nullptr || !OnTheWire(path, host)) {
    return false;
  }
  // An offset outside the file would announce fewer bytes than head alone.
  if (offset < 0 || offset > fileSize) return false;
  const size_t headLength = std::strlen(head);
  const long long contentLength =
      static_cast<long long>(headLength) + static_cast<long long>(fileSize - offset);
  char header[kHeaderBlockSize];
  char tail[200];
  if (!platform::FormatText(header, sizeof header,
                            "POST %s HTTP/1.1\r\nHost: %s\r\nContent-Length: %lld\r\n"
                            "Content-Type: multipart/form-data; %s\r\n"
                            "User-Agent: UCorvelClient\r\n\r\n",
                            path, host, contentLength, boundary) ||
      !platform::FormatText(tail, sizeof tail, "\r\n%s--", boundary)) {
    return false;
  }
  // The file is opened first: a file that cannot be read, or whose length is no longer the
  // length the request announces, is refused before anything is sent.
  std::unique_ptr<platform::IReadFile> file = call.transport.env.OpenRead(filePath);
  int64_t length = 0;
  if (!file || !file->Length(&length) || length != fileSize) return false;
  if (offset < length && !file->Seek(offset)) return false;

  CProxySocket socket(call);
  if (!OpenConnection(socket, host, port)) return false;
  if (!SendAll(socket, header, std::strlen(header)) || !SendAll(socket, head, headLength)) {
    socket.CloseSocket();
    return false;
  }
  std::unique_ptr<char[]> buffer(new char[kPieceSize * kPiecesPerSend]);
  int64_t remaining = length - offset;
  while (remaining > 0) {
    int64_t pieceEnds[kPiecesPerSend];
    int pieces = 0;
    size_t filled = 0;
    while (pieces < kPiecesPerSend && remaining - static_cast<int64_t>(filled) > 0) {
      if (progress.StopRequested()) {
        socket.CloseSocket();
        return false;
      }
      int64_t want = std::min<int64_t>(remaining - static_cast<int64_t>(filled), kPieceSize);
      int64_t n = file->Read(buffer.get() + filled, static_cast<size_t>(want));
      if (n <= 0 || n > want) {
        socket.CloseSocket();
        return false;
      }
      filled += static_cast<size_t>(n);
      pieceEnds[pieces++] = length - (remaining - static_cast<int64_t>(filled));
    }
    if (!SendAll(socket, buffer.get(), filled)) {
      socket.CloseSocket();
      return false;
    }
    remaining -= static_cast<int64_t>(filled);
    for (int i = 0; i < pieces; ++i) progress.PieceSent(pieceEnds[i]);
  }
  file.reset();
  if (!SendAll(socket, tail, std::strlen(tail))) {
    socket.CloseSocket();
    return false;
  }
  return FinishRequest(call, socket, reply, /*debug=*/false);
}
