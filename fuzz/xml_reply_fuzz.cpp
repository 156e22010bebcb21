// A server's XML reply as the dispatch and upload-check requests read it.
#include <cstdint>
#include <string>

#include "protocol/XmlReply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  for (const char* root : {"root", "ups"}) {
    XmlReply reply(body.c_str(), root);
    int32_t n = 0;
    int64_t m = 0;
    reply.Int("status", &n);
    reply.Int64("data", &m);
    reply.TextIs("cmd", "upload");
    if (const char* t = reply.Text("status_msg")) (void)ParseLeadingInt64(t);
  }
  return 0;
}
