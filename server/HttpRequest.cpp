#include "server/HttpRequest.h"

namespace refserver {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

bool ParseRequestHead(std::string_view head, RequestHead* out) {
  size_t eol = head.find("\r\n");
  if (eol == std::string_view::npos) return false;
  std::string_view line = head.substr(0, eol);
  size_t sp1 = line.find(' ');
  size_t sp2 = line.rfind(' ');
  if (sp1 == std::string_view::npos || sp2 == sp1) return false;
  out->method = std::string(line.substr(0, sp1));
  out->target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
  if (line.substr(sp2 + 1).substr(0, 7) != "HTTP/1.") return false;
  size_t q = out->target.find('?');
  out->path = out->target.substr(0, q);
  if (q != std::string::npos) {
    std::string_view query = std::string_view(out->target).substr(q + 1);
    while (!query.empty()) {
      size_t amp = query.find('&');
      std::string_view pair = query.substr(0, amp);
      size_t eq = pair.find('=');
      std::string name(pair.substr(0, eq));
      std::string value = eq == std::string_view::npos ? "" : std::string(pair.substr(eq + 1));
      if (!name.empty()) out->query.emplace(name, value);
      if (amp == std::string_view::npos) break;
      query.remove_prefix(amp + 1);
    }
  }
  size_t pos = eol + 2;
  while (pos < head.size()) {
    size_t end = head.find("\r\n", pos);
    if (end == std::string_view::npos) end = head.size();
    std::string_view h = head.substr(pos, end - pos);
    pos = end + 2;
    if (h.empty()) break;
    size_t colon = h.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    std::string name = Lower(h.substr(0, colon));
    std::string value(Trim(h.substr(colon + 1)));
    if (name == "content-length") {
      uint64_t n = 0;
      bool good = !value.empty() && value.size() <= 15;
      for (char c : value) {
        if (c < '0' || c > '9') good = false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
      }
      if (!good || (out->contentLength && *out->contentLength != n)) out->badLength = true;
      out->contentLength = n;
    }
    out->headers[name] = value;
  }
  return true;
}

std::string MultipartBoundary(const std::string& contentType) {
  std::string lower = Lower(contentType);
  const std::string prefix = "multipart/form-data;";
  if (lower.compare(0, prefix.size(), prefix) != 0) return "";
  std::string_view rest = Trim(std::string_view(contentType).substr(prefix.size()));
  size_t b = Lower(rest).find("boundary=");
  if (b != std::string::npos) {
    std::string_view v = rest.substr(b + 9);
    v = v.substr(0, v.find(';'));
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return std::string(v);
  }
  return std::string(rest.substr(0, rest.find(';')));
}

std::string QueryValue(const RequestHead& head, const std::string& name) {
  auto it = head.query.find(name);
  return it == head.query.end() ? "" : it->second;
}

bool ParseCount(const std::string& text, int64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *value = n;
  return true;
}

}  // namespace refserver
