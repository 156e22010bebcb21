#include "host/StatusLine.h"

#include <charconv>
#include <string_view>

namespace host {
namespace {

// The value after key ("|Name="), found from from on, up to the next '|'; empty when absent.
std::string_view Field(std::string_view line, std::string_view key, size_t from) {
  size_t p = line.find(key, from);
  if (p == std::string_view::npos) return {};
  p += key.size();
  const size_t end = line.find('|', p);
  return line.substr(p, end == std::string_view::npos ? std::string_view::npos : end - p);
}

// The decimal number a field starts with; 0 when it has none.
template <typename Number>
Number NumberOf(std::string_view text) {
  Number n = 0;
  std::from_chars(text.data(), text.data() + text.size(), n);
  return n;
}

}  // namespace

TaskView ParseStatusLine(const std::string& text) {
  TaskView v;
  const std::string_view line(text);
  constexpr std::string_view kFirst = "FileName=";
  const size_t sizeAt = line.find("|FileSize=");
  if (line.substr(0, kFirst.size()) != kFirst || sizeAt == std::string_view::npos) return v;
  v.fileName = std::string(line.substr(kFirst.size(), sizeAt - kFirst.size()));
  v.fileSize = NumberOf<int64_t>(Field(line, "|FileSize=", sizeAt));
  v.pickCode = std::string(Field(line, "|PickCode=", sizeAt));
  v.status = NumberOf<int>(Field(line, "|Status=", sizeAt));
  v.errCode = NumberOf<int>(Field(line, "|ErrCode=", sizeAt));
  v.serverErrCode = NumberOf<int>(Field(line, "|ServerErrCode=", sizeAt));
  constexpr std::string_view kMessage = "|ServerErrMsg=";
  const size_t msgAt = line.find(kMessage, sizeAt);
  if (msgAt != std::string_view::npos) {
    // The message runs to the next known field, if any.
    const size_t start = msgAt + kMessage.size();
    size_t end = std::string_view::npos;
    for (std::string_view next : {"|Total=", "|Retry="}) {
      const size_t p = line.find(next, start);
      if (p != std::string_view::npos && p < end) end = p;
    }
    v.serverErrMsg = std::string(
        line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
  }
  const std::string_view total = Field(line, "|Total=", sizeAt);
  if (!total.empty()) v.total = NumberOf<int64_t>(total);
  v.offset = NumberOf<int64_t>(Field(line, "|Offset=", sizeAt));
  v.elapsed = NumberOf<int>(Field(line, "|Elapsed=", sizeAt));
  v.retry = NumberOf<int>(Field(line, "|Retry=", sizeAt));
  v.wait = NumberOf<int>(Field(line, "|Wait=", sizeAt));
  return v;
}

const char* ErrorMeaning(int errCode) {
  switch (errCode) {
    case kErrNone:
      return "no error";
    case kErrRestarted:
      return "started again after an earlier error";
    case kErrThreadFailed:
      return "the worker thread could not be created";
    case kErrHash:
      return "the file could not be hashed (missing, unreadable, changed, or stopped)";
    case kErrDispatch:
      return "the dispatch request failed";
    case kErrTaskFile:
      return "the task file could not be written";
    case kErrCheck:
      return "the upload check failed";
    case kErrUploadSend:
      return "sending the file failed";
    case kErrUploadReply:
      return "the upload server's reply was not understood";
    case kErrUploadStatus:
      return "the upload server refused the data";
    case kErrFinish:
      return "finishing the upload failed";
    default:
      return "unknown error";
  }
}

}  // namespace host
