// The proxy setting's text: fields stay within their widths.
#include <cstdint>
#include <cstring>
#include <string>

#include "net/ProxyTunnel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  ProxySettings s{};
  if (ParseProxyString(text.c_str(), &s) && strnlen(s.Host, sizeof s.Host) == sizeof s.Host) {
    __builtin_trap();
  }
  return 0;
}
