#include "net/ProxySocket.h"

#include <cstring>
#include <string>

#include "net/WireText.h"
#include "platform/Bounded.h"

namespace {

// The longest CONNECT answer header block read before the tunnel is given up.
constexpr size_t kMaxConnectAnswer = 8192;

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

bool CProxySocket::DiscoverProxy(const char* targetHost) {
  std::string text;
  if (!call_.transport.env.ProxyString(targetHost ? targetHost : "", &text)) return false;
  if (text.size() > 191) return false;
  return ParseProxyString(text.c_str(), &Settings);
}

bool CProxySocket::ConnectViaProxy(const char* host, int port) {
  if (host == nullptr) {
    SetLastError(platform::SocketError::kInvalidAddress);
    return false;
  }
  if (!Connect(Settings.Host, static_cast<uint16_t>(Settings.Port & 0xFFFF))) return false;
  switch (Settings.Type) {
    case ProxyType::kSocks:
      return TunnelSocks4a(host, port);
    case ProxyType::kHttp:
    case ProxyType::kOther:
      return TunnelHttpConnect(host, port);
  }
  return false;
}

bool CProxySocket::TunnelHttpConnect(const char* host, int port) {
  // The host goes on the CONNECT line: a blank or a line break would let it write lines of
  // its own into the proxy request.
  if (host == nullptr || !IsPlainHostName(host)) return false;
  char request[1024];
  if (!platform::FormatText(request, sizeof request, "CONNECT %s:%u HTTP/1.0\r\n\r\n", host,
                            static_cast<unsigned>(port & 0xFFFF))) {
    return false;
  }
  // A failed send shows up as a failed receive.
  SendBytes(request, static_cast<int32_t>(std::strlen(request)));
  // The answer's header block, read one byte at a time to its empty line, so that nothing of
  // the server's reply that follows is taken and none of the proxy's answer is left ahead of
  // it. Only the first 12 characters decide; a block that never ends fails.
  char status[13] = {};
  uint32_t last4 = 0;
  for (size_t used = 0;; ++used) {
    if (used >= kMaxConnectAnswer) return false;
    int32_t n = ReceiveChunk(1);
    if (n <= 0 || Received() == nullptr) return false;
    const uint8_t byte = Received()[0];
    if (used < 12) status[used] = static_cast<char>(byte);
    last4 = (last4 << 8) | byte;
    if (used >= 3 && last4 == 0x0D0A0D0Au) break;
  }
  std::string_view head(status, std::strlen(status));
  return EqualsNoCase(head, "HTTP/1.0 200") || EqualsNoCase(head, "HTTP/1.1 200");
}

bool CProxySocket::TunnelSocks4a(const char* host, int port) {
  // 04 01 PORT(2) 00 00 00 01 "MORVIK" 00 HOST 00
  if (host == nullptr || !IsPlainHostName(host)) return false;
  size_t hostLen = std::strlen(host);
  if (hostLen > 255) return false;
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
  SendBytes(request, static_cast<int32_t>(hostLen + 16));
  // The answer: 8 bytes, VN CD DSTPORT(2) DSTIP(4); granted when CD is 0x5A.
  uint8_t answer[8] = {};
  size_t used = 0;
  while (used < sizeof answer) {
    int32_t n = ReceiveChunk(static_cast<int32_t>(sizeof answer - used));
    if (n <= 0 || Received() == nullptr) return false;
    std::memcpy(answer + used, Received(), static_cast<size_t>(n));
    used += static_cast<size_t>(n);
  }
  return answer[0] == 0 && answer[1] == 0x5A;
}
