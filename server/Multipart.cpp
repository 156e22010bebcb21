#include "server/Multipart.h"

namespace refserver {
namespace {

// The value of name="..." (or filename="...") in a Content-Disposition line.
std::string Param(std::string_view line, std::string_view key) {
  std::string needle = std::string(key) + "=\"";
  size_t p = line.find(needle);
  while (p != std::string_view::npos && p > 0 && line[p - 1] != ' ' && line[p - 1] != ';') {
    p = line.find(needle, p + 1);
  }
  if (p == std::string_view::npos) return "";
  size_t start = p + needle.size();
  size_t end = line.find('"', start);
  if (end == std::string_view::npos) return "";
  return std::string(line.substr(start, end - start));
}

}  // namespace

FormResult ParseFormHead(std::string_view data, const std::string& boundary, FormHead* out) {
  const std::string delimiter = "--" + boundary;
  size_t pos = 0;
  for (;;) {
    if (data.size() - pos < delimiter.size() + 2) return FormResult::kNeedMore;
    if (data.substr(pos, delimiter.size()) != delimiter) return FormResult::kMalformed;
    pos += delimiter.size();
    if (data.substr(pos, 2) != "\r\n") return FormResult::kMalformed;
    pos += 2;
    size_t headersEnd = data.find("\r\n\r\n", pos);
    if (headersEnd == std::string_view::npos) {
      return data.size() - pos > 4096 ? FormResult::kMalformed : FormResult::kNeedMore;
    }
    std::string_view headers = data.substr(pos, headersEnd - pos);
    pos = headersEnd + 4;
    std::string name = Param(headers, "name");
    if (name.empty()) return FormResult::kMalformed;
    if (headers.find("filename=\"") != std::string_view::npos) {
      out->fileName = Param(headers, "filename");
      out->headLength = pos;
      return FormResult::kDone;
    }
    size_t valueEnd = data.find("\r\n", pos);
    if (valueEnd == std::string_view::npos) {
      return data.size() - pos > 4096 ? FormResult::kMalformed : FormResult::kNeedMore;
    }
    out->fields[name] = std::string(data.substr(pos, valueEnd - pos));
    pos = valueEnd + 2;
  }
}

}  // namespace refserver
