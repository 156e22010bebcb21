// On Linux narrow text is UTF-8.
#include <cstdint>
#include <string>

#include "platform/CodePage.h"

namespace platform {

std::string WideToNarrow(const std::wstring& wide) {
  std::string out;
  for (wchar_t wc : wide) {
    auto c = static_cast<uint32_t>(wc);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring NarrowToWide(const std::string& narrow) {
  std::wstring out;
  for (size_t i = 0; i < narrow.size();) {
    auto b = static_cast<unsigned char>(narrow[i]);
    uint32_t c = b;
    size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 1;
    if (n > 1 && i + n <= narrow.size()) {
      c = b & (0x7F >> n);
      for (size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(narrow[i + k]) & 0x3F);
    } else if (n > 1) {
      c = 0xFFFD;
      n = 1;
    }
    out += static_cast<wchar_t>(c);
    i += n;
  }
  return out;
}

}  // namespace platform
