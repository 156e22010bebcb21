#include "host/NativeFraming.h"

#ifdef _WIN32
// clang-format off
#include <windows.h>  // before every other system header
// clang-format on
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>

#include <cerrno>
#endif

#include <cstring>

namespace host {
namespace {

enum class Fill { kFull, kNothing, kPart, kError };

// Reads exactly n bytes unless the input ends or fails first.
Fill ReadExactly(const ByteSource& read, char* buffer, size_t n) {
  size_t got = 0;
  while (got < n) {
    const int64_t r = read(buffer + got, n - got);
    if (r < 0) return Fill::kError;
    if (r == 0) return got == 0 ? Fill::kNothing : Fill::kPart;
    // A source that claims more than it was asked for is broken; do not trust its count.
    if (static_cast<uint64_t>(r) > n - got) return Fill::kError;
    got += static_cast<size_t>(r);
  }
  return Fill::kFull;
}

bool WriteAll(const ByteSink& write, const char* data, size_t n) {
  while (n > 0) {
    const int64_t w = write(data, n);
    if (w <= 0 || static_cast<uint64_t>(w) > n) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

FrameRead ReadFrame(const ByteSource& read, std::string* message) {
  message->clear();
  char head[sizeof(uint32_t)];
  switch (ReadExactly(read, head, sizeof head)) {
    case Fill::kFull:
      break;
    case Fill::kNothing:
      return FrameRead::kEnd;
    case Fill::kPart:
      return FrameRead::kTruncated;
    case Fill::kError:
      return FrameRead::kError;
  }
  uint32_t length = 0;
  std::memcpy(&length, head, sizeof length);
  if (length == 0) return FrameRead::kEmpty;
  if (length > kMaxFrameBytes) return FrameRead::kTooLarge;
  message->resize(length);
  switch (ReadExactly(read, message->data(), length)) {
    case Fill::kFull:
      return FrameRead::kFrame;
    case Fill::kError:
      message->clear();
      return FrameRead::kError;
    default:
      message->clear();
      return FrameRead::kTruncated;
  }
}

bool WriteFrame(const ByteSink& write, const std::string& message) {
  if (message.size() > kMaxFrameBytes) return false;
  const auto length = static_cast<uint32_t>(message.size());
  // One write for the whole frame where the sink takes it, so a reader never waits on a head
  // without its body.
  std::string frame(sizeof length, '\0');
  std::memcpy(frame.data(), &length, sizeof length);
  frame += message;
  return WriteAll(write, frame.data(), frame.size());
}

#ifdef _WIN32

ByteSource StdinSource() {
  _setmode(_fileno(stdin), _O_BINARY);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  return [in](char* buffer, size_t n) -> int64_t {
    DWORD got = 0;
    const DWORD want = n > 0x10000000 ? 0x10000000 : static_cast<DWORD>(n);
    if (!ReadFile(in, buffer, want, &got, nullptr)) {
      // The browser closing its end of the pipe is the end of the input.
      return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return got;
  };
}

ByteSink StdoutSink() {
  _setmode(_fileno(stdout), _O_BINARY);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  return [out](const char* data, size_t n) -> int64_t {
    DWORD put = 0;
    const DWORD want = n > 0x10000000 ? 0x10000000 : static_cast<DWORD>(n);
    if (!WriteFile(out, data, want, &put, nullptr) || put == 0) return -1;
    return put;
  };
}

#else

ByteSource StdinSource() {
  return [](char* buffer, size_t n) -> int64_t {
    for (;;) {
      const ssize_t r = ::read(STDIN_FILENO, buffer, n);
      if (r >= 0) return r;
      if (errno != EINTR) return -1;
    }
  };
}

ByteSink StdoutSink() {
  return [](const char* data, size_t n) -> int64_t {
    for (;;) {
      const ssize_t w = ::write(STDOUT_FILENO, data, n);
      if (w > 0) return w;
      if (w < 0 && errno == EINTR) continue;
      return -1;
    }
  };
}

#endif

}  // namespace host
