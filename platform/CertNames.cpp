#include "platform/CertNames.h"

#include <cstdint>
#include <cstring>

#include "platform/Resolver.h"

namespace platform {
namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::string_view WithoutTrailingDot(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  return name;
}

// Labels are non-empty and hold no wildcard of their own.
bool PlainLabels(std::string_view name) {
  if (name.empty()) return false;
  size_t start = 0;
  for (;;) {
    const size_t dot = name.find('.', start);
    const std::string_view label = name.substr(start, dot - start);
    if (label.empty() || label.find('*') != std::string_view::npos) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

}  // namespace

bool DnsNameMatches(std::string_view pattern, std::string_view host) {
  pattern = WithoutTrailingDot(pattern);
  host = WithoutTrailingDot(host);
  if (!PlainLabels(host)) return false;
  if (pattern.substr(0, 2) != "*.") return PlainLabels(pattern) && EqualNoCase(pattern, host);
  const std::string_view rest = pattern.substr(2);
  // "*.example" would cover a whole top-level domain.
  if (!PlainLabels(rest) || rest.find('.') == std::string_view::npos) return false;
  const size_t dot = host.find('.');
  return dot != std::string_view::npos && EqualNoCase(host.substr(dot + 1), rest);
}

bool CertificateNamesHost(const CertificateNames& names, std::string_view host) {
  uint32_t addr = 0;
  if (ParseDottedIPv4(std::string(host), &addr)) {
    // Network byte order: the lowest-valued byte of addr is the address's first.
    const char bytes[4] = {static_cast<char>(addr & 0xFF), static_cast<char>((addr >> 8) & 0xFF),
                           static_cast<char>((addr >> 16) & 0xFF),
                           static_cast<char>((addr >> 24) & 0xFF)};
    for (const std::string& ip : names.ip) {
      if (ip.size() == 4 && std::memcmp(ip.data(), bytes, 4) == 0) return true;
    }
    return false;
  }
  for (const std::string& dns : names.dns) {
    if (DnsNameMatches(dns, host)) return true;
  }
  return false;
}

}  // namespace platform
