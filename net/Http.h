// The HTTP/1.1 client of the upload protocol: one request per connection (net/Connect.h:
// direct or through the user's proxy, in plain HTTP or over TLS as the endpoint's scheme says),
// the reply body left as NUL-terminated text in the caller's 5,120-byte buffer. Over TLS the
// request is byte for byte the same, Host header included.
//
// HttpGet sends exactly:
//   "GET <path> HTTP/1.1\r\n" "Host: <host>\r\n" "User-Agent: UCorvelClient\r\n" "\r\n"
// HttpPostFile sends:
//   "POST <path> HTTP/1.1\r\n" "Host: <host>\r\n" "Content-Length: <n>\r\n"
//   "Content-Type: multipart/form-data; <boundary>\r\n" "User-Agent: UCorvelClient\r\n" "\r\n"
//   then head, the file bytes from offset to the file's end in sends of at most 64,000 bytes
//   (eight pieces of 8000, each send's read at once), then the tail "\r\n<boundary>--" (not counted
//   in n = len(head) + fileSize - offset).
//
// Result: ok when the connection was made, the request sent and the reply read to its end
// (the peer closed, or the reply's framing is complete); the reply buffer then holds the body of
// a 200 reply, or empty text for any other status. Otherwise the reason: a value that cannot go
// on the wire (kInvalidArgument, nothing sent), the connection's or TLS's failure, a time-out, a
// cancel (kCancelled), a reply too long for the buffer (kReplyUnreadable), or (POST) a file that
// cannot be opened or read, whose length is not fileSize when it is opened, that shrinks while
// it is sent (kFile), an offset outside 0..fileSize (kInvalidArgument), or a stop request seen
// before a send (kCancelled).
//
// POST progress: the file goes in pieces of at most 8000 bytes, up to eight to a send;
// StopRequested is asked once before each send's read, and PieceSent reports each piece, in
// order, once the send that carries it is done.
//
// Thread safety: every call owns its data; calls may run on many threads at once. A request
// in flight is cut short by its Call's cancel flag (net/Transport.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/Endpoint.h"
#include "net/Transport.h"
#include "platform/Status.h"

inline constexpr size_t kReplyBufferSize = 5120;

// What the body sender reports and asks while it streams a file; implemented by the caller.
class IBodyProgress {
 public:
  virtual ~IBodyProgress() = default;
  // Read before every piece; true ends the transfer (the POST fails).
  virtual bool StopRequested() = 0;
  // After each piece has been sent: the file position reached, counted from the file's start
  // (the file's length when opened minus the bytes still to send).
  virtual void PieceSent(int64_t transferred) = 0;
};

platform::Status HttpGet(const Call& call, const char* path, const Endpoint& server, char* reply);

platform::Status HttpPostFile(const Call& call, const char* filePath, IBodyProgress& progress,
                              const Endpoint& server, const char* path, const char* head,
                              const char* boundary, int64_t fileSize, int64_t offset, char* reply);
