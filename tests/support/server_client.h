// A tiny raw-socket client for the reference server's tests: it sends the exact bytes the
// control sends (or any others) over loopback and reads the reply the way the control does,
// until the server closes, noting whether the connection ended in a reset.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct RawReply {
  std::string raw;        // every byte received, in order
  bool reset = false;     // a receive (or send) failed with a connection reset
  bool timedOut = false;  // the server neither answered nor closed in time
  bool sendFailed = false;
  // The body after the first CR LF CR LF when the reply starts "HTTP/1.1 200 OK"; else "".
  std::string Body() const;
  // The text of the first <name>...</name> in the body ("" when absent).
  std::string Value(const std::string& name) const;
};

// One connection to 127.0.0.1:port.
class RawConnection {
 public:
  explicit RawConnection(uint16_t port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  bool connected() const { return fd_ >= 0; }
  // False when sending failed (the reply keeps what was seen).
  bool Send(const std::string& bytes);
  // Waits up to timeoutMs for the first reply bytes; true when some arrived.
  bool WaitForData(int timeoutMs);
  // Reads until the server closes or timeoutMs passes without it.
  RawReply ReadReply(int timeoutMs = 5000);
  void Close();

 private:
  int fd_ = -1;
  RawReply reply_;
};

// Sends the pieces in order, then reads the reply.
RawReply Exchange(uint16_t port, const std::vector<std::string>& pieces, int timeoutMs = 5000);
// The control's GET: request line, Host, User-Agent, empty line.
RawReply Get(uint16_t port, const std::string& target, int timeoutMs = 5000);

// The control's block upload, in the three pieces it sends: the header block with the
// multipart head (counted from its head on), the file bytes from the offset, and the closing
// line that follows the counted body.
struct UploadRequest {
  std::string head;
  std::string data;
  std::string closing;
};
UploadRequest BuildUpload(const std::string& sha1, const std::string& pickCode,
                          const std::string& key, int64_t fileSize, int schema, int64_t offset,
                          const std::string& dataFromOffset,
                          const std::string& boundary = "--------UpsClient.Package.1700000000");

// SHA-1 of bytes as 40 upper-case hex digits.
std::string Sha1Hex(const std::string& bytes);
// Deterministic test bytes.
std::string PatternBytes(size_t n, uint32_t seed = 1);

}  // namespace testing_support
