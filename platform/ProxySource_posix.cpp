// The Linux proxy source: the environment variables curl reads for an http or https request,
// turned into the "[scheme=]host:port" text of the proxy setting. An empty variable counts as
// unset, as it does for curl.
//
//   no_proxy, else NO_PROXY    checked first. "*" alone: every host goes direct. Otherwise a
//                              list of entries separated by commas and/or blanks:
//                                - a name: a host equal to it, or ending in "." + name, goes
//                                  direct (a leading or trailing dot of the name is ignored,
//                                  case is not compared);
//                                - an IPv4 address, optionally with "/bits": a host given as
//                                  dotted IPv4 text inside that range goes direct.
//                              Loopback is not bypassed unless an entry names it.
//   http_proxy (lower case)    for an http request, wins; "http://H:P" or "H:P" -> "http=H:P".
//                              HTTP_PROXY is never read (a CGI program's environment may carry
//                              it from a request).
//   https_proxy, else HTTPS_PROXY  for an https request, wins, read as http_proxy is: a CONNECT
//                              proxy reached in plain HTTP, through which TLS runs end to end.
//   all_proxy, else ALL_PROXY  "socks4a://", "socks4://", "socks://" -> "socks=H:P";
//                              "http://" or no scheme -> "http=H:P".
// A proxy that cannot be used here — another scheme (https, socks5, ...), an IPv6 address, a
// port that is not 1..65535, a host too long for the setting — is ignored and the request goes
// direct. A missing port is 1080, as for curl; "user:password@" and a trailing path are dropped
// (the tunnels carry no credentials).
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Env.h"
#include "platform/ProxySource.h"

namespace platform {
namespace {

constexpr int kDefaultProxyPort = 1080;
// The proxy setting holds at most 191 characters, and its host at most 51.
constexpr size_t kMaxProxyHost = 51;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A variable's value; false when it is unset or empty.
bool ReadVar(Env& env, const char* name, std::string* value) {
  return env.GetVar(name, value) && !value->empty();
}

// Dotted IPv4 text "a.b.c.d" (each 0..255) as a host-order number.
bool ParseIPv4(std::string_view s, uint32_t* out) {
  uint32_t addr = 0;
  int parts = 0;
  size_t pos = 0;
  while (parts < 4) {
    size_t digits = 0;
    uint32_t v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && digits < 4) {
      v = v * 10 + static_cast<uint32_t>(s[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || digits > 3 || v > 255) return false;
    addr = (addr << 8) | v;
    ++parts;
    if (parts < 4) {
      if (pos >= s.size() || s[pos] != '.') return false;
      ++pos;
    }
  }
  if (pos != s.size()) return false;
  *out = addr;
  return true;
}

// One no_proxy entry against the host (lower case, without a trailing dot).
bool EntryMatches(std::string_view entry, const std::string& host) {
  uint32_t hostAddr = 0;
  if (ParseIPv4(host, &hostAddr)) {
    std::string_view addrText = entry;
    int bits = 32;
    size_t slash = entry.find('/');
    if (slash != std::string_view::npos) {
      addrText = entry.substr(0, slash);
      std::string_view bitsText = entry.substr(slash + 1);
      if (bitsText.empty() || bitsText.size() > 2) return false;
      bits = 0;
      for (char c : bitsText) {
        if (c < '0' || c > '9') return false;
        bits = bits * 10 + (c - '0');
      }
      if (bits > 32) return false;
    }
    uint32_t entryAddr = 0;
    if (ParseIPv4(addrText, &entryAddr)) {
      uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
      return (hostAddr & mask) == (entryAddr & mask);
    }
  }
  std::string name = Lower(entry);
  if (!name.empty() && name.front() == '.') name.erase(0, 1);
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (name.empty()) return false;
  if (host == name) return true;
  return host.size() > name.size() &&
         host.compare(host.size() - name.size(), name.size(), name) == 0 &&
         host[host.size() - name.size() - 1] == '.';
}

bool Bypassed(std::string_view noProxy, std::string_view targetHost) {
  if (noProxy == "*") return true;
  std::string host = Lower(targetHost);
  if (!host.empty() && host.back() == '.') host.pop_back();
  size_t pos = 0;
  while (pos < noProxy.size()) {
    size_t end = noProxy.find_first_of(", \t", pos);
    if (end == std::string_view::npos) end = noProxy.size();
    std::string_view entry = noProxy.substr(pos, end - pos);
    pos = end + 1;
    if (!entry.empty() && EntryMatches(entry, host)) return true;
  }
  return false;
}

// "scheme://[user@]host[:port][/...]" -> "kind=host:port"; false when it cannot be used.
bool ToProxyText(std::string_view url, bool httpOnly, std::string* text) {
  std::string scheme = "http";
  std::string_view rest = url;
  size_t sep = rest.find("://");
  if (sep != std::string_view::npos) {
    scheme = Lower(rest.substr(0, sep));
    rest = rest.substr(sep + 3);
  }
  std::string kind;
  if (scheme == "http") {
    kind = "http";
  } else if (!httpOnly && (scheme == "socks4a" || scheme == "socks4" || scheme == "socks")) {
    kind = "socks";
  } else {
    return false;
  }
  rest = rest.substr(0, rest.find_first_of("/?#"));
  size_t at = rest.rfind('@');
  if (at != std::string_view::npos) rest = rest.substr(at + 1);
  if (rest.empty() || rest.front() == '[') return false;  // no host, or IPv6
  size_t colon = rest.find(':');
  std::string_view host = rest.substr(0, colon);
  if (host.empty() || host.size() > kMaxProxyHost) return false;
  int port = kDefaultProxyPort;
  if (colon != std::string_view::npos) {
    std::string_view portText = rest.substr(colon + 1);
    if (portText.empty() || portText.size() > 5) return false;
    port = 0;
    for (char c : portText) {
      if (c < '0' || c > '9') return false;
      port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) return false;
  }
  *text = kind + "=" + std::string(host) + ":" + std::to_string(port);
  return true;
}

}  // namespace

bool SystemProxyString(Env& env, const std::string& targetHost, bool tls, std::string* text) {
  std::string value;
  std::string noProxy;
  if (ReadVar(env, "no_proxy", &noProxy) || ReadVar(env, "NO_PROXY", &noProxy)) {
    if (Bypassed(noProxy, targetHost)) return false;
  }
  const bool own = tls ? ReadVar(env, "https_proxy", &value) || ReadVar(env, "HTTPS_PROXY", &value)
                       : ReadVar(env, "http_proxy", &value);
  if (own) return ToProxyText(value, /*httpOnly=*/true, text);
  if (ReadVar(env, "all_proxy", &value) || ReadVar(env, "ALL_PROXY", &value)) {
    return ToProxyText(value, /*httpOnly=*/false, text);
  }
  return false;
}

}  // namespace platform
