// The Linux proxy source: the environment variables curl reads for a plain-http request,
// turned into the "[scheme=]host:port" text of the proxy setting.
//
//   http_proxy (lower case only)           wins; "http://H:P" or "H:P" -> "http=H:P"
//   all_proxy, else ALL_PROXY               "socks4a://", "socks4://", "socks://" -> "socks=H:P";
//                                          "http://" or no scheme -> "http=H:P"; other schemes
//                                          (https, socks5, ...) cannot be used: direct
//   no_proxy, else NO_PROXY                 "*" -> direct for every host; otherwise a comma list
//                                          of names: a host equal to a name, or ending in "." +
//                                          name (a leading dot of the name is ignored), goes
//                                          direct. Loopback is not bypassed unless named.
// A port that is missing defaults to 1080 for SOCKS and 80 for http; user:password@ and a
// trailing path are dropped.
#include <string>
#include <string_view>

#include "platform/Env.h"
#include "platform/ProxySource.h"

namespace platform {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string Trim(std::string_view s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

bool Bypassed(const std::string& noProxy, const std::string& host) {
  std::string h = Lower(host);
  size_t pos = 0;
  while (pos <= noProxy.size()) {
    size_t comma = noProxy.find(',', pos);
    if (comma == std::string::npos) comma = noProxy.size();
    std::string name = Lower(Trim(std::string_view(noProxy).substr(pos, comma - pos)));
    pos = comma + 1;
    if (name.empty()) continue;
    if (name == "*") return true;
    if (name[0] == '.') name.erase(0, 1);
    if (h == name) return true;
    if (h.size() > name.size() && h.compare(h.size() - name.size(), name.size(), name) == 0 &&
        h[h.size() - name.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

// "scheme://[user@]host[:port][/...]" -> "kind=host:port"; false when unusable.
bool ToProxyText(const std::string& url, bool httpOnly, std::string* text) {
  std::string scheme = "http";
  std::string_view rest = url;
  size_t sep = rest.find("://");
  if (sep != std::string_view::npos) {
    scheme = Lower(rest.substr(0, sep));
    rest = rest.substr(sep + 3);
  }
  std::string kind;
  int defaultPort = 80;
  if (scheme == "http") {
    kind = "http";
  } else if (!httpOnly && (scheme == "socks4a" || scheme == "socks4" || scheme == "socks")) {
    kind = "socks";
    defaultPort = 1080;
  } else {
    return false;
  }
  rest = rest.substr(0, rest.find('/'));
  size_t at = rest.rfind('@');
  if (at != std::string_view::npos) rest = rest.substr(at + 1);
  if (rest.empty()) return false;
  std::string hostPort(rest);
  if (hostPort.find(':') == std::string::npos) hostPort += ":" + std::to_string(defaultPort);
  *text = kind + "=" + hostPort;
  return true;
}

}  // namespace

bool SystemProxyString(const std::string& targetHost, std::string* text) {
  Env& env = Env::Current();
  std::string value;
  std::string noProxy;
  if (!env.GetVar("no_proxy", &noProxy)) env.GetVar("NO_PROXY", &noProxy);
  if (!noProxy.empty() && Bypassed(noProxy, targetHost)) return false;
  if (env.GetVar("http_proxy", &value) && !value.empty()) {
    return ToProxyText(value, /*httpOnly=*/true, text);
  }
  if ((env.GetVar("all_proxy", &value) || env.GetVar("ALL_PROXY", &value)) && !value.empty()) {
    return ToProxyText(value, /*httpOnly=*/false, text);
  }
  return false;
}

}  // namespace platform
