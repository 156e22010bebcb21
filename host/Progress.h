// The progress display of the `ferrant` command: one line per task, made to fit a terminal.
//
// Everything here is a pure function of its arguments (no terminal, no clock), so the lines can
// be checked for any width. Widths are terminal columns: a UTF-8 name is cut between characters,
// never inside one; East Asian wide characters count two columns; control characters and bytes
// that are not UTF-8 are shown as '?' so that a file name can never move the cursor or clear the
// screen.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "host/ErrorMeaning.h"

namespace host {

// What the display knows beyond the status line.
struct TaskDisplay {
  TaskView view;
  // Completed without sending data: the service already held the file.
  bool alreadyOnServer = false;
  // The retry wait of InitService, to count down "retry N in S s".
  int retryWaitSeconds = 0;
  // Measured upload speed in bytes per second; 0 while not known.
  double bytesPerSecond = 0.0;
};

// One line for a task, at most width columns: name, state in words, percent, bytes, speed, ETA.
std::string RenderTaskLine(const TaskDisplay& task, int width);

// "1.5 MiB" and the like.
std::string HumanBytes(int64_t bytes);
// "45s", "3m07s", "2h05m".
std::string HumanDuration(int64_t seconds);

// The text made safe for a terminal (see above) and cut to at most columns columns; when
// padTo is larger than what is left, spaces fill up to padTo columns.
std::string FitColumns(const std::string& text, int columns, int padTo = 0);
// Columns the text takes on a terminal after FitColumns' cleaning.
int ColumnsOf(const std::string& text);

// Upload speed over the last few seconds, from (time, position) samples taken at each poll.
class RateMeter {
 public:
  explicit RateMeter(double windowSeconds = 3.0) : window_(windowSeconds) {}
  // A new sample; a position below the last one (a new attempt from an earlier offset) starts
  // the measurement afresh.
  void Add(double seconds, int64_t position);
  void Reset() { samples_.clear(); }
  // Bytes per second over the window; 0 until the samples span 0.3 s.
  double BytesPerSecond() const;

 private:
  double window_;
  std::deque<std::pair<double, int64_t>> samples_;
};

}  // namespace host
