// The reference server's request head and upload-form parsing.
#include <cstdint>
#include <string>

#include "server/HttpRequest.h"
#include "server/Multipart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  size_t split = text.find("\r\n\r\n");
  refserver::RequestHead head;
  if (refserver::ParseRequestHead(text.substr(0, split == std::string::npos ? text.size()
                                                                             : split + 4),
                                  &head)) {
    auto ct = head.headers.find("content-type");
    std::string boundary =
        refserver::MultipartBoundary(ct == head.headers.end() ? "multipart/form-data; B"
                                                              : ct->second);
    refserver::FormHead form;
    if (split != std::string::npos) {
      refserver::ParseFormHead(std::string_view(text).substr(split + 4), boundary, &form);
    }
  }
  return 0;
}
