// The frames of a browser's native-messaging channel: a 4-byte length in the machine's byte
// order, then that many bytes of UTF-8 JSON. The browser writes requests to the host's standard
// input and reads responses from its standard output.
//
// ReadFrame never allocates from a length it has not bounded: a length above kMaxFrameBytes is
// refused before any byte of the message is read. It reads through a ByteSource, so that tests
// can hand it data in pieces of any size; StdinSource and StdoutSink are the real channel
// (binary mode on Windows, where a text-mode stream would turn every LF into CR LF).
//
// Thread safety: a source or sink is used by one thread at a time. Failure: told by the
// FrameRead value or WriteFrame's result; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace host {

// The largest message either side accepts: requests are a few hundred bytes, the largest
// response (a file list) at most 16 KiB; browsers refuse a host's message above 1 MB.
constexpr uint32_t kMaxFrameBytes = 1u << 20;

enum class FrameRead {
  kFrame,      // *message holds one message
  kEnd,        // the input ended between frames: the browser closed the channel
  kEmpty,      // a frame of length 0 (the channel stays in step)
  kTooLarge,   // a length above kMaxFrameBytes; nothing after it was read
  kTruncated,  // the input ended inside a frame
  kError,      // reading failed
};

// Reads up to n bytes into buffer: the count read, 0 at the end of the input, -1 on an error.
using ByteSource = std::function<int64_t(char* buffer, size_t n)>;
// Writes up to n bytes: the count written (at least 1), -1 on an error.
using ByteSink = std::function<int64_t(const char* data, size_t n)>;

FrameRead ReadFrame(const ByteSource& read, std::string* message);
// False when message is longer than kMaxFrameBytes (nothing is written) or writing failed.
bool WriteFrame(const ByteSink& write, const std::string& message);

// The process's standard input and output as a raw binary channel.
ByteSource StdinSource();
ByteSink StdoutSink();

}  // namespace host
