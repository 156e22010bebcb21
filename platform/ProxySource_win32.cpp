// The Windows proxy source: the current user's browser setting from WinHTTP, converted to the
// active code page (191 characters at most; a longer setting is ignored).
// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <winhttp.h>

#include "platform/ProxySource.h"

namespace platform {

bool SystemProxyString(Env&, const std::string&, bool, std::string* text) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return false;
  bool found = false;
  if (config.lpszProxy != nullptr) {
    char narrow[192] = {};
    int n = WideCharToMultiByte(CP_ACP, 0, config.lpszProxy, -1, narrow, sizeof narrow, nullptr,
                                nullptr);
    if (n > 0) {
      *text = narrow;
      found = !text->empty();
    }
  }
  if (config.lpszProxy) GlobalFree(config.lpszProxy);
  if (config.lpszProxyBypass) GlobalFree(config.lpszProxyBypass);
  if (config.lpszAutoConfigUrl) GlobalFree(config.lpszAutoConfigUrl);
  return found;
}

}  // namespace platform
