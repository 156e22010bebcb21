// The override table and the order of look-ups; the system's resolver is in Resolver_posix.cpp
// and Resolver_win32.cpp.
#include "platform/Resolver.h"

#include <map>
#include <mutex>
#include <utility>

namespace platform {

// The system resolver: IPv4 address in network byte order, or the socket error code.
bool SystemResolveIPv4(const char* host, uint32_t* addr, int* socketError);

namespace {

std::mutex& TableLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::map<std::pair<std::string, uint16_t>, uint32_t>& Table() {
  static auto* table = new std::map<std::pair<std::string, uint16_t>, uint32_t>;
  return *table;
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// Dotted IPv4 text ("a.b.c.d", each 0..255) to network byte order.
bool ParseDotted(const std::string& text, uint32_t* addr) {
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

}  // namespace

bool AddResolveOverride(const std::string& host, uint16_t port, const std::string& addr) {
  uint32_t a = 0;
  if (host.empty() || !ParseDotted(addr, &a)) return false;
  std::lock_guard<std::mutex> g(TableLock());
  Table()[{Lower(host), port}] = a;
  return true;
}

bool AddResolveEntry(const std::string& entry) {
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
  return AddResolveOverride(entry.substr(0, c1), static_cast<uint16_t>(p), entry.substr(c2 + 1));
}

void ClearResolveOverrides() {
  std::lock_guard<std::mutex> g(TableLock());
  Table().clear();
}

bool ResolveIPv4(const char* host, uint16_t port, uint32_t* addr, int* socketError) {
  *socketError = 0;
  {
    std::lock_guard<std::mutex> g(TableLock());
    auto it = Table().find({Lower(host), port});
    if (it != Table().end()) {
      *addr = it->second;
      return true;
    }
  }
  if (ParseDotted(host, addr)) return true;
  return SystemResolveIPv4(host, addr, socketError);
}

}  // namespace platform
