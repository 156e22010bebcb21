#include "host/StatusLine.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

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

std::string Fit(std::string text, size_t width) {
  if (text.size() <= width) return text + std::string(width - text.size(), ' ');
  if (width <= 3) return text.substr(0, width);
  return "..." + text.substr(text.size() - (width - 3));
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
    case 100:
      return "no error";
    case 300:
      return "started again after an earlier error";
    case 301:
      return "the worker thread could not be created";
    case 302:
      return "the file could not be hashed (missing, unreadable, changed, or stopped)";
    case 401:
      return "the dispatch request failed";
    case 490:
      return "the task file could not be written";
    case 501:
      return "the upload check failed";
    case 601:
      return "sending the file failed";
    case 602:
      return "the upload server's reply was not understood";
    case 603:
      return "the upload server refused the data";
    case 801:
      return "finishing the upload failed";
    default:
      return "unknown error";
  }
}

std::string HumanBytes(int64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024.0 && u < 4) {
    v /= 1024.0;
    ++u;
  }
  char text[32];
  if (u == 0) {
    std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
  } else {
    std::snprintf(text, sizeof text, "%.1f %s", v, units[u]);
  }
  return text;
}

std::string RenderTaskLine(const TaskDisplay& task, int width) {
  const TaskView& v = task.view;
  std::string name = v.fileName.substr(v.fileName.find_last_of('/') + 1);
  std::string state;
  std::string detail;
  char buf[128];
  switch (v.status) {
    case 1:
      state = "added";
      break;
    case 2:
      state = "queued";
      break;
    case 3:
      state = "hashing";
      if (v.total >= 0) {
        std::snprintf(buf, sizeof buf, "%3lld%%", static_cast<long long>(v.total));
        detail = buf;
      }
      break;
    case 4:
      state = "asking the dispatch server";
      break;
    case 5:
      state = "checking where to resume";
      break;
    case 6: {
      state = "uploading";
      int64_t done = v.total < 0 ? v.offset : v.total;
      int pct = v.fileSize > 0 ? static_cast<int>(done * 100 / v.fileSize) : 100;
      double rate = v.elapsed > 0 ? static_cast<double>(done - v.offset) / v.elapsed : 0.0;
      std::snprintf(buf, sizeof buf, "%3d%%  %s / %s", pct, HumanBytes(done).c_str(),
                    HumanBytes(v.fileSize).c_str());
      detail = buf;
      if (rate > 0) {
        long long eta = static_cast<long long>(static_cast<double>(v.fileSize - done) / rate);
        std::snprintf(buf, sizeof buf, "  %s/s  ETA %llds",
                      HumanBytes(static_cast<int64_t>(rate)).c_str(), eta);
        detail += buf;
      }
      break;
    }
    case 7:
      state = v.errCode == 100 || v.errCode == 300 ? "stopped" : "failed";
      if (state == "failed") {
        std::snprintf(buf, sizeof buf, "error %d: %s", v.errCode, ErrorMeaning(v.errCode));
        detail = buf;
      }
      break;
    case 8:
      state = "finishing";
      break;
    case 9:
      state = task.uploadSeen ? "done" : "already on the server";
      detail = HumanBytes(v.fileSize);
      break;
    case 70: {
      int left = task.retryWaitSeconds - v.wait;
      if (left < 0) left = 0;
      std::snprintf(buf, sizeof buf, "retry %d in %d s", v.retry, left);
      state = buf;
      std::snprintf(buf, sizeof buf, "after error %d", v.errCode);
      detail = buf;
      break;
    }
    default:
      state = "?";
  }
  if (width < 20) width = 20;
  size_t nameWidth = static_cast<size_t>(width) / 3;
  std::string line = Fit(name, nameWidth) + "  " + state;
  if (!detail.empty()) line += "  " + detail;
  if (line.size() > static_cast<size_t>(width)) line.resize(static_cast<size_t>(width));
  return line;
}

}  // namespace host
