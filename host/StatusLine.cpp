#include "host/StatusLine.h"

#include <cstdlib>

namespace host {
namespace {

std::string Field(const std::string& line, const std::string& name, size_t from) {
  std::string key = "|" + name + "=";
  size_t p = line.find(key, from);
  if (p == std::string::npos) return "";
  p += key.size();
  size_t end = line.find('|', p);
  return line.substr(p, end == std::string::npos ? std::string::npos : end - p);
}

}  // namespace

TaskView ParseStatusLine(const std::string& line) {
  TaskView v;
  const std::string first = "FileName=";
  size_t sizeAt = line.find("|FileSize=");
  if (line.compare(0, first.size(), first) != 0 || sizeAt == std::string::npos) return v;
  v.fileName = line.substr(first.size(), sizeAt - first.size());
  v.fileSize = std::atoll(Field(line, "FileSize", sizeAt).c_str());
  v.pickCode = Field(line, "PickCode", sizeAt);
  v.status = std::atoi(Field(line, "Status", sizeAt).c_str());
  v.errCode = std::atoi(Field(line, "ErrCode", sizeAt).c_str());
  v.serverErrCode = std::atoi(Field(line, "ServerErrCode", sizeAt).c_str());
  size_t msgAt = line.find("|ServerErrMsg=", sizeAt);
  if (msgAt != std::string::npos) {
    // The message runs to the next known field, if any.
    size_t start = msgAt + 14;
    size_t end = std::string::npos;
    for (const char* next : {"|Total=", "|Retry="}) {
      size_t p = line.find(next, start);
      if (p != std::string::npos && p < end) end = p;
    }
    v.serverErrMsg = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
  }
  std::string total = Field(line, "Total", sizeAt);
  if (!total.empty()) v.total = std::atoll(total.c_str());
  v.offset = std::atoll(Field(line, "Offset", sizeAt).c_str());
  v.elapsed = std::atoi(Field(line, "Elapsed", sizeAt).c_str());
  v.retry = std::atoi(Field(line, "Retry", sizeAt).c_str());
  v.wait = std::atoi(Field(line, "Wait", sizeAt).c_str());
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
