#include "control/com/SiteLock.h"

#include <mshtml.h>

#include <cctype>

#include "platform/CodePage.h"

namespace {

std::string DocumentUrl(IOleClientSite* site) {
  std::string url;
  IOleContainer* container = nullptr;
  if (FAILED(site->GetContainer(&container)) || container == nullptr) return url;
  IHTMLDocument2* document = nullptr;
  if (SUCCEEDED(
          container->QueryInterface(IID_IHTMLDocument2, reinterpret_cast<void**>(&document)))) {
    BSTR text = nullptr;
    if (SUCCEEDED(document->get_URL(&text)) && text != nullptr) {
      url = platform::WideToNarrow(text);
      SysFreeString(text);
    }
    document->Release();
  }
  container->Release();
  return url;
}

std::string MonikerUrl(IOleClientSite* site) {
  std::string url;
  IMoniker* moniker = nullptr;
  if (FAILED(site->GetMoniker(OLEGETMONIKER_ONLYIFTHERE, OLEWHICHMK_CONTAINER, &moniker)) ||
      moniker == nullptr) {
    return url;
  }
  IBindCtx* context = nullptr;
  if (SUCCEEDED(CreateBindCtx(0, &context))) {
    LPOLESTR name = nullptr;
    if (SUCCEEDED(moniker->GetDisplayName(context, nullptr, &name)) && name != nullptr) {
      url = platform::WideToNarrow(name);
      CoTaskMemFree(name);
    }
    context->Release();
  }
  moniker->Release();
  return url;
}

}  // namespace

std::string PageUrlOfSite(IOleClientSite* site) {
  if (site == nullptr) return std::string();
  std::string url = DocumentUrl(site);
  return url.empty() ? MonikerUrl(site) : url;
}

std::string PageHostOfUrl(const std::string& url) {
  const size_t colon = url.find(':');
  const size_t slashes = url.find("://");
  if (slashes == std::string::npos || slashes != colon) {
    return (colon == std::string::npos ? url : url.substr(0, colon)) + ":";
  }
  // scheme://[user[:password]@]host[:port][/?#...]
  const size_t start = slashes + 3;
  size_t end = url.find_first_of("/?#\\", start);
  if (end == std::string::npos) end = url.size();
  std::string authority = url.substr(start, end - start);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority[0] == '[') {
    authority.erase(authority.find(']') == std::string::npos ? authority.size()
                                                             : authority.find(']') + 1);
  } else {
    const size_t port = authority.find(':');
    if (port != std::string::npos) authority.erase(port);
  }
  for (char& c : authority) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return authority.empty() ? url.substr(0, colon) + ":" : authority;
}
