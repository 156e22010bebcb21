#include "net/ReplyReader.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "net/Http.h"
#include "net/Stream.h"

namespace {

constexpr std::string_view kTerminator = "\r\n0\r\n\r\n";
constexpr std::string_view kCrLf = "\r\n";

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

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The status code of a status line "HTTP/1.x NNN[ reason]" that starts at s, or -1.
int StatusAt(std::string_view s) {
  if (s.size() < 12 || (s.substr(0, 9) != "HTTP/1.1 " && s.substr(0, 9) != "HTTP/1.0 ")) return -1;
  if (!IsDigit(s[9]) || !IsDigit(s[10]) || !IsDigit(s[11])) return -1;
  if (s.size() > 12 && s[12] != ' ' && s[12] != '\r') return -1;
  return (s[9] - '0') * 100 + (s[10] - '0') * 10 + (s[11] - '0');
}

// The parts of a reply once its status line and header block have arrived.
struct ReplyHead {
  int status = 0;
  size_t bodyStart = 0;  // first byte after the header block
  bool chunked = false;
  bool hasLength = false;
  bool badHeader = false;  // a NUL in the headers or an unreadable Content-Length
  uint64_t length = 0;
};

enum class HeadState { kNoStatus, kCutShort, kWhole };

void ReadHeaderLines(std::string_view block, ReplyHead* head) {
  if (block.find('\0') != std::string_view::npos) head->badHeader = true;
  size_t pos = block.find(kCrLf);  // the status line is skipped
  while (pos != std::string_view::npos && pos < block.size()) {
    size_t next = block.find(kCrLf, pos + 2);
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
        if (!IsDigit(c)) good = false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
      }
      if (!good || (head->hasLength && head->length != n)) head->badHeader = true;
      head->hasLength = true;
      head->length = n;
    }
    pos = next;
  }
}

// Finds the reply's status line (the first at the start of a line, interim 1xx replies skipped)
// and reads its header block.
HeadState ParseHead(std::string_view text, ReplyHead* head) {
  size_t from = 0;
  for (;;) {
    size_t status = std::string_view::npos;
    for (size_t p = from; p + 12 <= text.size(); ++p) {
      if (p > from && text[p - 1] != '\n') continue;
      if (StatusAt(text.substr(p)) >= 0) {
        status = p;
        break;
      }
    }
    if (status == std::string_view::npos) return HeadState::kNoStatus;
    size_t end = text.find("\r\n\r\n", status);
    if (end == std::string_view::npos) return HeadState::kCutShort;
    *head = ReplyHead{};
    head->status = StatusAt(text.substr(status));
    head->bodyStart = end + 4;
    if (head->status >= 200) {
      ReadHeaderLines(text.substr(status, end - status), head);
      return HeadState::kWhole;
    }
    from = head->bodyStart;  // "100 Continue" and the like: the real reply follows
  }
}

// Walks a chunked body: size line (hex, optional ";extension"), CR LF, data, CR LF, ... up to
// the last chunk "0" and the trailer lines that end with an empty line. Copies the data to out
// when out is set (capacity cap, a NUL after the data). False when the body is malformed or does
// not fit. *sawLast tells whether the last chunk has arrived, *complete whether the empty line
// after the trailers has too.
bool WalkChunks(std::string_view body, char* out, size_t cap, bool* sawLast, bool* complete) {
  *sawLast = false;
  *complete = false;
  size_t used = 0, pos = 0;
  for (;;) {
    size_t eol = body.find(kCrLf, pos);
    if (eol == std::string_view::npos) return true;  // the size line has not arrived yet
    std::string_view sizeLine = body.substr(pos, eol - pos);
    sizeLine = sizeLine.substr(0, sizeLine.find(';'));
    while (!sizeLine.empty() && (sizeLine.back() == ' ' || sizeLine.back() == '\t')) {
      sizeLine.remove_suffix(1);
    }
    if (sizeLine.empty() || sizeLine.size() > 7) return false;
    size_t size = 0;
    for (char c : sizeLine) {
      int v = IsDigit(c)               ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (v < 0) return false;
      size = size * 16 + static_cast<size_t>(v);
    }
    pos = eol + 2;
    if (size == 0) break;
    if (body.size() - pos < size + 2) return true;  // the data has not all arrived
    if (body.substr(pos + size, 2) != kCrLf) return false;
    if (out != nullptr) {
      if (used + size >= cap) return false;
      std::memcpy(out + used, body.data() + pos, size);
    }
    used += size;
    pos += size + 2;
  }
  if (out != nullptr) out[used] = '\0';
  *sawLast = true;
  // Trailer lines, then the empty line that ends the message.
  for (;;) {
    size_t eol = body.find(kCrLf, pos);
    if (eol == std::string_view::npos) return true;
    if (eol == pos) {
      *complete = true;
      return true;
    }
    pos = eol + 2;
  }
}

// True when text already holds a whole reply by its own framing.
bool FramedReplyComplete(std::string_view text) {
  ReplyHead head;
  if (ParseHead(text, &head) != HeadState::kWhole || head.badHeader) return false;
  if (head.status == 204 || head.status == 304) return true;
  std::string_view body = text.substr(head.bodyStart);
  if (head.chunked) {
    bool sawLast = false, complete = false;
    return WalkChunks(body, nullptr, 0, &sawLast, &complete) && complete;
  }
  return head.hasLength && body.size() >= head.length;
}

}  // namespace

void ExtractReplyBody(const char* text, size_t length, char* out) {
  out[0] = '\0';
  if (text == nullptr) return;
  std::string_view all(text, length);
  ReplyHead head;
  if (ParseHead(all, &head) != HeadState::kWhole || head.status != 200 || head.badHeader) return;
  std::string_view body = all.substr(head.bodyStart);
  if (head.chunked) {
    // A server that closes right after the last chunk, without the empty line, still gave
    // the whole body.
    bool sawLast = false, complete = false;
    if (!WalkChunks(body, out, kReplyBufferSize, &sawLast, &complete) || !sawLast) out[0] = '\0';
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

platform::Status ReceiveReply(Stream& stream, char* text, size_t* total) {
  std::memset(text, 0, kReplyBufferSize);
  *total = 0;
  for (;;) {
    // The reply must fit the buffer with its NUL; with the buffer full, one more byte (rather
    // than the end of the stream) makes it too long.
    const size_t room = kReplyBufferSize - 1 - *total;
    char spare = 0;
    size_t n = 0;
    platform::Status s = stream.Receive(room > 0 ? text + *total : &spare, room > 0 ? room : 1, &n);
    if (!s.ok()) return s;
    if (n == 0) return s;
    if (room == 0) {
      return platform::Status(
          platform::StatusCode::kReplyUnreadable,
          "the reply is longer than " + std::to_string(kReplyBufferSize - 1) + " bytes");
    }
    *total += n;
    std::string_view got(text, *total);
    if (got.size() >= 8 && got.substr(got.size() - kTerminator.size()) == kTerminator) return s;
    if (FramedReplyComplete(got)) return s;
  }
}
