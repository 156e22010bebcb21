// The meaning of the control's error codes in words, for the `ferrant` command's progress
// display and its summaries; the command reads a task's state typed from the control core
// (TaskState), never by parsing the page's status line back.
#pragma once

#include <cstdint>
#include <string>

#include "control/UpLoadObjCore.h"

namespace host {

using TaskView = TaskState;

// The meaning of an error code in words.
const char* ErrorMeaning(int errCode);

}  // namespace host
