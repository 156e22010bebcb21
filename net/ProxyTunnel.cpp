#include "net/ProxyTunnel.h"

#include <cstring>
#include <string>

#include "net/WireText.h"
#include "platform/Bounded.h"

using platform::Status;
using platform::StatusCode;

namespace {

// The longest CONNECT answer header block read before the tunnel is given up.
constexpr size_t kMaxConnectAnswer = 8192;
// The proxy setting's longest text.
constexpr size_t kMaxProxyText = 191;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The list's "https=" entry and what follows it, or the whole text when it has none.
std::string_view HttpsEntryFirst(std::string_view text) {
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find(';', start), text.size());
    const std::string_view entry = text.substr(start, end - start);
    const size_t eq = entry.find('=');
    if (eq != std::string_view::npos && EqualsNoCase(entry.substr(0, eq), "https")) {
      return text.substr(start);
    }
    start = end + 1;
  }
  return text;
}

// The proxy's words, safe to show: bytes outside printable ASCII become '?'.
std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
  }
  return out;
}

std::string Target(const char* host, int port) {
  return std::string(host) + ":" + std::to_string(port & 0xFFFF);
}

Status Refused(const char* host, int port, const std::string& answer) {
  return Status(StatusCode::kProxyRefused,
                "the proxy refused the tunnel to " + Target(host, port) + " (" + answer + ")");
}

Status Unsafe(const char* host) {
  return Status(StatusCode::kInvalidArgument,
                "the host name \"" + std::string(host ? host : "") + "\" cannot be sent");
}

// The answer ended before it was whole.
Status CutShort(Status s, const char* host, int port, size_t got) {
  if (!s.ok()) return s;
  return Refused(host, port, got == 0 ? "no answer" : "an answer cut short");
}

}  // namespace

bool ParseProxyString(const char* text, ProxySettings* settings) {
  if (text == nullptr) return false;
  std::string_view all(text);
  std::string_view entry = all.substr(0, all.find(';'));
  size_t eq = entry.find('=');
  size_t colon = entry.find(':');
  if (colon == std::string_view::npos) return false;
  if (eq != std::string_view::npos && eq > colon) return false;
  std::string_view scheme = eq == std::string_view::npos ? std::string_view() : entry.substr(0, eq);
  size_t hostStart = eq == std::string_view::npos ? 0 : eq + 1;
  std::string_view host = entry.substr(hostStart, colon - hostStart);
  if (EqualsNoCase(scheme, "socks")) {
    settings->Type = ProxyType::kSocks;
  } else if (EqualsNoCase(scheme, "http")) {
    settings->Type = ProxyType::kHttp;
  } else {
    settings->Type = ProxyType::kOther;
  }
  if (host.empty() || !platform::CopyText(settings->Host, host)) return false;
  int64_t port = 0;
  for (size_t i = colon + 1; i < entry.size() && entry[i] >= '0' && entry[i] <= '9'; ++i) {
    port = port * 10 + (entry[i] - '0');
    // Cutting such a port to its low 16 bits would reach some other service.
    if (port > 65535) return false;
  }
  settings->Port = static_cast<int32_t>(port);
  return true;
}

bool DiscoverProxy(const Call& call, const char* targetHost, bool tls, ProxySettings* settings) {
  std::string text;
  if (!call.transport.env.ProxyString(targetHost ? targetHost : "", tls, &text)) return false;
  if (text.size() > kMaxProxyText) return false;
  const std::string entry(tls ? HttpsEntryFirst(text) : std::string_view(text));
  return ParseProxyString(entry.c_str(), settings);
}

Status OpenTunnel(Stream& toProxy, const ProxySettings& settings, const char* host, int port) {
  switch (settings.Type) {
    case ProxyType::kSocks:
      return OpenSocks4aTunnel(toProxy, host, port);
    case ProxyType::kHttp:
    case ProxyType::kOther:
      return OpenConnectTunnel(toProxy, host, port);
  }
  return Status(StatusCode::kInvalidArgument, "unknown proxy type");
}

Status OpenConnectTunnel(Stream& toProxy, const char* host, int port) {
  // The host goes on the CONNECT line: a blank or a line break would let it write lines of
  // its own into the proxy request.
  if (host == nullptr || !IsPlainHostName(host)) return Unsafe(host);
  char request[1024];
  if (!platform::FormatText(request, sizeof request, "CONNECT %s:%u HTTP/1.0\r\n\r\n", host,
                            static_cast<unsigned>(port & 0xFFFF))) {
    return Unsafe(host);
  }
  // A failed send shows up as a failed receive.
  toProxy.Send(request, std::strlen(request));
  // The answer's header block, read one byte at a time to its empty line, so that nothing of
  // the server's reply that follows is taken and none of the proxy's answer is left ahead of
  // it. Only the first 12 characters decide; a block that never ends fails.
  std::string firstLine;
  bool inFirstLine = true;
  uint32_t last4 = 0;
  for (size_t used = 0;; ++used) {
    if (used >= kMaxConnectAnswer) return Refused(host, port, "an answer without its end");
    uint8_t byte = 0;
    size_t got = 0;
    Status s = toProxy.Receive(&byte, 1, &got);
    if (!s.ok() || got == 0) return CutShort(s, host, port, used);
    if (byte == '\r' || byte == '\n') inFirstLine = false;
    if (inFirstLine && firstLine.size() < 80) firstLine += static_cast<char>(byte);
    last4 = (last4 << 8) | byte;
    if (used >= 3 && last4 == 0x0D0A0D0Au) break;
  }
  const std::string_view head = std::string_view(firstLine).substr(0, 12);
  if (EqualsNoCase(head, "HTTP/1.0 200") || EqualsNoCase(head, "HTTP/1.1 200")) {
    return Status::Ok();
  }
  return Refused(host, port, Printable(firstLine));
}

Status OpenSocks4aTunnel(Stream& toProxy, const char* host, int port) {
  // 04 01 PORT(2) 00 00 00 01 "MORVIK" 00 HOST 00
  if (host == nullptr || !IsPlainHostName(host)) return Unsafe(host);
  size_t hostLen = std::strlen(host);
  if (hostLen > 255) return Unsafe(host);
  uint8_t request[16 + 256];
  request[0] = 4;
  request[1] = 1;
  request[2] = static_cast<uint8_t>((port >> 8) & 0xFF);
  request[3] = static_cast<uint8_t>(port & 0xFF);
  request[4] = 0;
  request[5] = 0;
  request[6] = 0;
  request[7] = 1;
  std::memcpy(request + 8, "MORVIK", 6);
  request[14] = 0;
  std::memcpy(request + 15, host, hostLen);
  request[15 + hostLen] = 0;
  toProxy.Send(request, hostLen + 16);
  // The answer: 8 bytes, VN CD DSTPORT(2) DSTIP(4); granted when CD is 0x5A.
  uint8_t answer[8] = {};
  size_t used = 0;
  while (used < sizeof answer) {
    size_t got = 0;
    Status s = toProxy.Receive(answer + used, sizeof answer - used, &got);
    if (!s.ok() || got == 0) return CutShort(s, host, port, used);
    used += got;
  }
  if (answer[0] == 0 && answer[1] == 0x5A) return Status::Ok();
  char code[24];
  platform::FormatText(code, sizeof code, "SOCKS answer %02X", answer[1]);
  return Refused(host, port, code);
}
