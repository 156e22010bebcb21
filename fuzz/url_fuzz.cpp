// The dispatch-address parser on arbitrary text: never reads or writes outside its fields, and
// its fields stay NUL-terminated.
#include <cstdint>
#include <cstring>
#include <string>

#include "net/Url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  UrlRecord* r = ParseUrl(text.c_str());
  if (strnlen(r->Host, sizeof r->Host) == sizeof r->Host) __builtin_trap();
  if (strnlen(r->Path, sizeof r->Path) == sizeof r->Path) __builtin_trap();
  for (QueryPair* q = r->Query; q; q = q->Next) {
    if (strnlen(q->Name, sizeof q->Name) == sizeof q->Name) __builtin_trap();
  }
  FreeUrl(r);
  return 0;
}
