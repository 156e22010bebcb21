#include "net/WireText.h"

namespace {

bool IsHostByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

bool NeedsTargetEncoding(unsigned char c) {
  return c <= 0x20 || c == 0x7F;
}

void AppendPercent(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 0xF];
}

}  // namespace

bool IsPlainHostName(std::string_view host) {
  if (host.empty()) return false;
  size_t label = 0;
  for (char c : host) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if (IsHostByte(c)) {
      ++label;
    } else {
      return false;
    }
  }
  return label > 0;
}

std::string EncodeTargetBytes(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    const auto b = static_cast<unsigned char>(c);
    if (NeedsTargetEncoding(b)) {
      AppendPercent(out, b);
    } else {
      out += c;
    }
  }
  return out;
}

bool IsWireTarget(std::string_view target) {
  for (char c : target) {
    if (NeedsTargetEncoding(static_cast<unsigned char>(c))) return false;
  }
  return !target.empty();
}

std::string EncodeFormFileName(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '"' || c == '\r' || c == '\n') {
      AppendPercent(out, static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out;
}
