// What a value must look like before it goes on the wire, so that no value from a page, a
// server reply or a task file can break a request line or add a header line of its own.
//
//   IsPlainHostName   a host name for a request's Host header, a CONNECT line or a SOCKS4a
//                     request: dot-separated non-empty labels of ASCII letters, digits, '-'
//                     and '_' (dotted IPv4 text is such a name). Anything else (blanks,
//                     control bytes, '@', '/', ':', an empty label, a trailing dot) is refused.
//   EncodeTargetBytes a value for a request target: every byte from 0x00 to 0x20 and 0x7F is
//                     percent-encoded ("%20", "%09", "%0D", ...); every other byte goes out as
//                     it is, '%' included, since servers read the values as they always came.
//   IsWireTarget      a request target holds no byte that EncodeTargetBytes would encode, so
//                     the request line is exactly three space-separated parts.
//   EncodeFormFileName  a value for a multipart part header's quoted filename: '"' is written
//                     "%22", CR "%0D" and LF "%0A", as browsers encode a form's file name.
//
// Thread safety: no state.
#pragma once

#include <string>
#include <string_view>

bool IsPlainHostName(std::string_view host);
std::string EncodeTargetBytes(std::string_view value);
bool IsWireTarget(std::string_view target);
std::string EncodeFormFileName(std::string_view value);
