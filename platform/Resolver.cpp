// The override table and the order of look-ups; the system's resolver is the sockets' LookUp.
#include "platform/Resolver.h"

namespace platform {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

}  // namespace

bool ParseDottedIPv4(const std::string& text, uint32_t* addr) {
  uint8_t parts[4];
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    if (pos >= text.size() || text[pos] < '0' || text[pos] > '9') return false;
    unsigned v = 0;
    size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      v = v * 10 + static_cast<unsigned>(text[pos++] - '0');
      ++digits;
    }
    if (v > 255 || digits > 3) return false;
    parts[i] = static_cast<uint8_t>(v);
    if (i < 3) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
  }
  if (pos != text.size()) return false;
  // Network byte order: the first part is the lowest-addressed byte.
  *addr = static_cast<uint32_t>(parts[0]) | static_cast<uint32_t>(parts[1]) << 8 |
          static_cast<uint32_t>(parts[2]) << 16 | static_cast<uint32_t>(parts[3]) << 24;
  return true;
}

bool Resolver::Add(const std::string& host, uint16_t port, const std::string& addr) {
  uint32_t a = 0;
  if (host.empty() || !ParseDottedIPv4(addr, &a)) return false;
  std::lock_guard<std::mutex> g(lock_);
  table_[{Lower(host), port}] = a;
  return true;
}

bool Resolver::AddEntry(const std::string& entry) {
  size_t c1 = entry.find(':');
  if (c1 == std::string::npos) return false;
  size_t c2 = entry.find(':', c1 + 1);
  if (c2 == std::string::npos) return false;
  std::string port = entry.substr(c1 + 1, c2 - c1 - 1);
  if (port.empty() || port.size() > 5) return false;
  unsigned long p = 0;
  for (char ch : port) {
    if (ch < '0' || ch > '9') return false;
    p = p * 10 + static_cast<unsigned long>(ch - '0');
  }
  if (p == 0 || p > 65535) return false;
  return Add(entry.substr(0, c1), static_cast<uint16_t>(p), entry.substr(c2 + 1));
}

void Resolver::Clear() {
  std::lock_guard<std::mutex> g(lock_);
  table_.clear();
}

bool Resolver::ResolveIPv4(const char* host, uint16_t port, uint32_t* addr, SocketError* error) {
  *error = SocketError::kNone;
  {
    std::lock_guard<std::mutex> g(lock_);
    auto it = table_.find({Lower(host), port});
    if (it != table_.end()) {
      *addr = it->second;
      return true;
    }
  }
  if (ParseDottedIPv4(host, addr)) return true;
  return env_.Sockets().LookUp(host, addr, error);
}

}  // namespace platform
