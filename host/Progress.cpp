#include "host/Progress.h"

#include <cstdarg>
#include <cstdio>

namespace host {
namespace {

// Decodes one UTF-8 character at text[pos]; returns its length in bytes, or 0 when the bytes
// there are not a well-formed character (overlong forms and surrogates included).
size_t DecodeUtf8(const std::string& text, size_t pos, uint32_t* codePoint) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b0 = byte(pos);
  size_t len;
  uint32_t cp;
  if (b0 < 0x80) {
    *codePoint = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (pos + len > text.size()) return 0;
  for (size_t i = 1; i < len; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(pos + i) & 0x3F);
  }
  static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *codePoint = cp;
  return len;
}

// A speed is shown once samples span this long; shorter spans jitter with the poll.
constexpr double kMinSpanSeconds = 0.3;

bool IsWide(uint32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
         (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
         (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
         (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
         (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

// Splits the text into display cells: the bytes of each shown character and its width.
template <typename Visit>
void ForEachCell(const std::string& text, Visit visit) {
  for (size_t pos = 0; pos < text.size();) {
    uint32_t cp = 0;
    size_t len = DecodeUtf8(text, pos, &cp);
    if (len == 0 || cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
      if (!visit(std::string("?"), 1)) return;
      pos += len == 0 ? 1 : len;
      continue;
    }
    if (!visit(text.substr(pos, len), IsWide(cp) ? 2 : 1)) return;
    pos += len;
  }
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buf[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

}  // namespace

std::string FitColumns(const std::string& text, int columns, int padTo) {
  std::string out;
  int used = 0;
  ForEachCell(text, [&](const std::string& cell, int width) {
    if (used + width > columns) return false;
    out += cell;
    used += width;
    return true;
  });
  if (padTo > used) out.append(static_cast<size_t>(padTo - used), ' ');
  return out;
}

int ColumnsOf(const std::string& text) {
  int used = 0;
  ForEachCell(text, [&](const std::string&, int width) {
    used += width;
    return true;
  });
  return used;
}

std::string HumanBytes(int64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return Format("%lld B", static_cast<long long>(bytes));
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024.0 && u < 4) {
    v /= 1024.0;
    ++u;
  }
  return Format("%.1f %s", v, units[u]);
}

std::string HumanDuration(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 60) return Format("%llds", static_cast<long long>(seconds));
  if (seconds < 3600) {
    return Format("%lldm%02llds", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return Format("%lldh%02lldm", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds % 3600 / 60));
}

void RateMeter::Add(double seconds, int64_t position) {
  if (!samples_.empty() && position < samples_.back().second) samples_.clear();
  samples_.emplace_back(seconds, position);
  while (samples_.size() > 2 && samples_.front().first < seconds - window_) samples_.pop_front();
}

double RateMeter::BytesPerSecond() const {
  if (samples_.size() < 2) return 0.0;
  const double span = samples_.back().first - samples_.front().first;
  if (span < kMinSpanSeconds) return 0.0;
  return static_cast<double>(samples_.back().second - samples_.front().second) / span;
}

std::string RenderTaskLine(const TaskDisplay& task, int width) {
  const TaskView& v = task.view;
  std::string state;
  std::string detail;
  switch (v.status) {
    case kStatusCreated:
      state = "added";
      break;
    case kStatusStarting:
      state = "queued";
      break;
    case kStatusHashing:
      state = "hashing";
      if (v.total >= 0) detail = Format("%3lld%%", static_cast<long long>(v.total));
      break;
    case kStatusDispatch:
      state = "asking the dispatch server";
      break;
    case kStatusCheck:
      state = "asking where to go on";
      break;
    case kStatusUploading: {
      state = "uploading";
      const int64_t done = v.total < 0 ? v.offset : v.total;
      const int pct = v.fileSize > 0 ? static_cast<int>(done * 100 / v.fileSize) : 100;
      detail =
          Format("%3d%%  %s / %s", pct, HumanBytes(done).c_str(), HumanBytes(v.fileSize).c_str());
      double rate = task.bytesPerSecond;
      // Until the display has measured a speed, the task's own whole seconds give one.
      if (rate <= 0 && v.elapsed > 0) rate = static_cast<double>(done - v.offset) / v.elapsed;
      if (rate > 0) {
        const auto eta = static_cast<int64_t>(static_cast<double>(v.fileSize - done) / rate);
        detail += "  " + HumanBytes(static_cast<int64_t>(rate)) + "/s  ETA " + HumanDuration(eta);
      }
      break;
    }
    case kStatusStopped:
      if (v.errCode == kErrNone || v.errCode == kErrRestarted) {
        state = "stopped";
      } else {
        state = "failed";
        detail = Format("error %d: %s", v.errCode, ErrorMeaning(v.errCode));
      }
      break;
    case kStatusFinishing:
      state = "finishing";
      break;
    case kStatusCompleted:
      state = task.alreadyOnServer ? "already on the server" : "done";
      detail = HumanBytes(v.fileSize);
      break;
    case kStatusRetryWait: {
      int left = task.retryWaitSeconds - v.wait;
      if (left < 0) left = 0;
      state = Format("retry %d in %d s", v.retry, left);
      detail = Format("after error %d: %s", v.errCode, ErrorMeaning(v.errCode));
      break;
    }
    default:
      state = Format("state %d", v.status);
  }
  if (width < 20) width = 20;
  const std::string name = v.fileName.substr(v.fileName.find_last_of('/') + 1);
  const int nameWidth = width / 3;
  // A name too long for its column keeps its end, where the extension is.
  std::string shownName;
  if (ColumnsOf(name) <= nameWidth) {
    shownName = FitColumns(name, nameWidth, nameWidth);
  } else {
    std::string tail = name;
    while (!tail.empty() && ColumnsOf(tail) > nameWidth - 3) {
      size_t cut = 1;
      while (cut < tail.size() && (static_cast<unsigned char>(tail[cut]) & 0xC0) == 0x80) ++cut;
      tail.erase(0, cut);
    }
    shownName = FitColumns("..." + tail, nameWidth, nameWidth);
  }
  std::string line = shownName + "  " + state;
  if (!detail.empty()) line += "  " + detail;
  return FitColumns(line, width);
}

}  // namespace host
