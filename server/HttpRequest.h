// The reference server's reading of one HTTP/1.1 request head and its query string.
//
// ParseRequestHead takes the bytes up to and including the empty line: the request line
// ("METHOD SP target SP HTTP/1.x"), then "Name: value" header lines. Header names compare
// without case. Query parameters are split at '&' and '=' without any decoding: the client
// percent-encodes only blanks and control bytes, and values are kept as they arrived.
//
// Thread safety: plain values.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace refserver {

struct RequestHead {
  std::string method;
  std::string target;  // path and query
  std::string path;
  std::map<std::string, std::string> query;    // first value of each name wins
  std::map<std::string, std::string> headers;  // names in lower case
  // Content-Length, when present and well-formed.
  std::optional<uint64_t> contentLength;
  bool badLength = false;
};

// False when the head is malformed.
bool ParseRequestHead(std::string_view head, RequestHead* out);

// The multipart boundary of a Content-Type: the "boundary=" parameter, or, as this service's
// client writes it, the bare text after "multipart/form-data; ". Empty when there is none.
std::string MultipartBoundary(const std::string& contentType);

// A query value or "" when absent.
std::string QueryValue(const RequestHead& head, const std::string& name);

// A byte count of a request: 1 to 18 decimal digits and nothing else.
bool ParseCount(const std::string& text, int64_t* value);

}  // namespace refserver
