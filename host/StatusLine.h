// Reading the control's status lines and describing a task's state in words, for the
// `ferrant` command's progress display and its summaries.
#pragma once

#include <cstdint>
#include <string>

namespace host {

struct TaskView {
  std::string fileName;
  int64_t fileSize = 0;
  std::string pickCode;
  int status = 0;
  int errCode = 100;
  int serverErrCode = 0;
  std::string serverErrMsg;
  int64_t total = -1;  // hashing: percent; uploading: position in the file
  int64_t offset = 0;
  int elapsed = 0;
  int retry = 0;
  int wait = 0;
};

// Parses "Name=value|Name=value..." (the file name may itself hold '|': it runs up to
// "|FileSize=").
TaskView ParseStatusLine(const std::string& line);
// The meaning of an error code in words.
const char* ErrorMeaning(int errCode);

// What the display knows beyond the status line.
struct TaskDisplay {
  TaskView view;
  bool uploadSeen = false;  // the task passed through the upload check or the upload
  int retryWaitSeconds = 0;
};

// One line for a task, cut to width columns: name, state in words, percent, bytes, speed, ETA.
std::string RenderTaskLine(const TaskDisplay& task, int width);
// "1.5 MiB" and the like.
std::string HumanBytes(int64_t bytes);

}  // namespace host
