// The reference server's reading of the upload form's head: the parts before the file's data.
//
// The client's form, with B its boundary:
//   "--B\r\nContent-Disposition: form-data; name=\"U_BlockSchema\"\r\n\r\n<S>\r\n"
//   "--B\r\nContent-Disposition: form-data; name=\"U_Offset\"\r\n\r\n<O>\r\n"
//   "--B\r\nContent-Disposition: form-data; name=\"Filedata\"; filename=\"..\"\r\n"
//   "Content-Type: application/octet-stream\r\n\r\n"  <file bytes to the end of the counted body>
// and, after the counted body, the closing line "\r\nB--".
//
// FeedFormHead is given the body's first bytes; it reports how many bytes the head takes once
// the file part's empty line has been seen.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace refserver {

struct FormHead {
  std::map<std::string, std::string> fields;  // U_BlockSchema, U_Offset, ...
  std::string fileName;
  size_t headLength = 0;  // bytes of the body before the file's data
};

enum class FormResult { kNeedMore, kDone, kMalformed };

// data: the body so far (at most a few KiB are needed).
FormResult ParseFormHead(std::string_view data, const std::string& boundary, FormHead* out);

}  // namespace refserver
