// Reading the control's status lines and the meaning of its error codes in words, for the
// `ferrant` command's progress display and its summaries. Pure functions; a line that is not a
// status line ("NULL") reads as a view with status 0.
#pragma once

#include <cstdint>
#include <string>

#include "control/UpLoadObjCore.h"

namespace host {

struct TaskView {
  std::string fileName;
  int64_t fileSize = 0;
  std::string pickCode;
  int status = 0;          // a TaskStatus, or 0 for "NULL"
  int errCode = kErrNone;  // a TaskError
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

}  // namespace host
