#include "net/ReplyReader.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "net/Http.h"
#include "net/Socket.h"

namespace {

constexpr std::string_view kTerminator = "\r\n0\r\n\r\n";

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (LowerAscii(s[i]) != LowerAscii(prefix[i])) return false;
  }
  return true;
}

bool ContainsNoCase(std::string_view s, std::string_view word) {
  for (size_t i = 0; i + word.size() <= s.size(); ++i) {
    if (StartsWithNoCase(s.substr(i), word)) return true;
  }
  return false;
}

// The reply's parts, once its status line and header block are found.
struct ReplyHead {
  bool ok200 = false;    // a 200 status line was found
  size_t bodyStart = 0;  // first byte after the header block
  bool chunked = false;
  bool hasLength = false;
  bool badHeader = false;  // a NUL in the headers or an unreadable Content-Length
  uint64_t length = 0;
};

// Finds a 200 status line at the start of a line, then its header block.
bool ParseHead(std::string_view text, ReplyHead* head) {
  size_t status = std::string_view::npos;
  for (size_t p = 0; p + 12 <= text.size(); ++p) {
    if (p > 0 && text[p - 1] != '\n') continue;
    std::string_view s = text.substr(p);
    if ((s.substr(0, 12) == "HTTP/1.1 200" || s.substr(0, 12) == "HTTP/1.0 200") &&
        (s.size() == 12 || s[12] == ' ' || s[12] == '\r')) {
      status = p;
      break;
    }
  }
  if (status == std::string_view::npos) return false;
  head->ok200 = true;
  size_t end = text.find("\r\n\r\n", status);
  if (end == std::string_view::npos) return false;
  head->bodyStart = end + 4;
  std::string_view block = text.substr(status, end - status);
  if (block.find('\0') != std::string_view::npos) head->badHeader = true;
  size_t pos = block.find("\r\n");
  while (pos != std::string_view::npos && pos < block.size()) {
    size_t next = block.find("\r\n", pos + 2);
    std::string_view line =
        block.substr(pos + 2, (next == std::string_view::npos ? block.size() : next) - pos - 2);
    if (StartsWithNoCase(line, "transfer-encoding:")) {
      if (ContainsNoCase(line.substr(18), "chunked")) head->chunked = true;
    } else if (StartsWithNoCase(line, "content-length:")) {
      std::string_view v = line.substr(15);
      while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
      while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
      uint64_t n = 0;
      bool good = !v.empty() && v.size() <= 12;
      for (char c : v) {
        if (c < '0' || c > '9') good = false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
      }
      if (!good || (head->hasLength && head->length != n)) head->badHeader = true;
      head->hasLength = true;
      head->length = n;
    }
    pos = next;
  }
  return true;
}

// Decodes a chunked body into out (capacity cap). False when it is malformed or cut short.
bool DecodeChunked(std::string_view body, char* out, size_t cap) {
  size_t used = 0, pos = 0;
  for (;;) {
    size_t eol = body.find("\r\n", pos);
    if (eol == std::string_view::npos) return false;
    std::string_view sizeLine = body.substr(pos, eol - pos);
    sizeLine = sizeLine.substr(0, sizeLine.find(';'));
    while (!sizeLine.empty() && sizeLine.back() == ' ') sizeLine.remove_suffix(1);
    if (sizeLine.empty() || sizeLine.size() > 7) return false;
    size_t size = 0;
    for (char c : sizeLine) {
      int v = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (v < 0) return false;
      size = size * 16 + static_cast<size_t>(v);
    }
    pos = eol + 2;
    if (size == 0) break;
    if (body.size() - pos < size + 2 || body.substr(pos + size, 2) != "\r\n") return false;
    if (used + size >= cap) return false;
    std::memcpy(out + used, body.data() + pos, size);
    used += size;
    pos += size + 2;
  }
  out[used] = '\0';
  return true;
}

// True when the text already holds a whole reply framed by Content-Length.
bool CompleteByLength(std::string_view text) {
  ReplyHead head;
  if (!ParseHead(text, &head) || head.chunked || !head.hasLength || head.badHeader) return false;
  return text.size() - head.bodyStart >= head.length;
}

}  // namespace

void ExtractReplyBody(const char* text, size_t length, char* out) {
  out[0] = '\0';
  std::string_view all(text, length);
  ReplyHead head;
  if (!ParseHead(all, &head) || head.badHeader) return;
  std::string_view body = all.substr(head.bodyStart);
  if (head.chunked) {
    if (!DecodeChunked(body, out, kReplyBufferSize)) out[0] = '\0';
    return;
  }
  if (head.hasLength) {
    if (body.size() < head.length) return;  // cut short
    body = body.substr(0, head.length);
  }
  if (body.size() >= kReplyBufferSize) return;
  std::memcpy(out, body.data(), body.size());
  out[body.size()] = '\0';
}

bool ReceiveReply(CSimpleSocket& socket, char* text, size_t* total) {
  std::memset(text, 0, kReplyBufferSize);
  *total = 0;
  for (;;) {
    int32_t n = socket.ReceiveChunk(static_cast<int32_t>(kReplyBufferSize));
    if (n == 0) return true;
    if (n < 0 || socket.Buffer == nullptr) return false;
    // The reply must fit the buffer with its NUL; a longer one fails the request.
    if (*total + static_cast<size_t>(n) > kReplyBufferSize - 1) return false;
    std::memcpy(text + *total, socket.Buffer, static_cast<size_t>(n));
    *total += static_cast<size_t>(n);
    std::string_view got(text, *total);
    if (got.size() >= 8 && got.substr(got.size() - kTerminator.size()) == kTerminator) return true;
    if (CompleteByLength(got)) return true;
  }
}
