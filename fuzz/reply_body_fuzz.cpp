// The reply-body extraction on arbitrary received bytes: stays inside both buffers and always
// leaves NUL-terminated text.
#include <cstdint>
#include <cstring>
#include <vector>

#include "net/Http.h"
#include "net/ReplyReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= kReplyBufferSize) return 0;  // the receive loop never hands over more
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  std::vector<char> out(kReplyBufferSize);
  ExtractReplyBody(text.data(), size, out.data());
  if (strnlen(out.data(), out.size()) == out.size()) __builtin_trap();
  return 0;
}
