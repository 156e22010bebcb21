// Resolver over getaddrinfo, behind the override table.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "platform/Resolver.h"

namespace platform {
namespace {

std::mutex& TableLock() {
  static std::mutex lock;
  return lock;
}

std::map<std::pair<std::string, uint16_t>, uint32_t>& Table() {
  static std::map<std::pair<std::string, uint16_t>, uint32_t> table;
  return table;
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

}  // namespace

bool AddResolveOverride(const std::string& host, uint16_t port, const std::string& addr) {
  in_addr a{};
  if (host.empty() || inet_pton(AF_INET, addr.c_str(), &a) != 1) return false;
  std::lock_guard<std::mutex> g(TableLock());
  Table()[{Lower(host), port}] = a.s_addr;
  return true;
}

bool AddResolveOverrideSpec(const std::string& spec) {
  size_t c1 = spec.find(':');
  if (c1 == std::string::npos) return false;
  size_t c2 = spec.find(':', c1 + 1);
  if (c2 == std::string::npos) return false;
  std::string host = spec.substr(0, c1);
  std::string port = spec.substr(c1 + 1, c2 - c1 - 1);
  if (port.empty() || port.size() > 5) return false;
  unsigned long p = 0;
  for (char ch : port) {
    if (ch < '0' || ch > '9') return false;
    p = p * 10 + static_cast<unsigned long>(ch - '0');
  }
  if (p == 0 || p > 65535) return false;
  return AddResolveOverride(host, static_cast<uint16_t>(p), spec.substr(c2 + 1));
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
  in_addr a{};
  if (inet_pton(AF_INET, host, &a) == 1) {
    *addr = a.s_addr;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &res);
  if (rc != 0 || res == nullptr) {
    *socketError = (rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL) ? 2 : 17;
    return false;
  }
  *addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(res);
  return true;
}

}  // namespace platform
