#include "tests/support/server_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "store/Sha1.h"

namespace testing_support {

std::string RawReply::Body() const {
  if (raw.rfind("HTTP/1.1 200 OK\r\n", 0) != 0) return "";
  size_t p = raw.find("\r\n\r\n");
  return p == std::string::npos ? "" : raw.substr(p + 4);
}

std::string RawReply::Value(const std::string& name) const {
  std::string body = Body();
  size_t open = body.find("<" + name + ">");
  if (open == std::string::npos) return "";
  open += name.size() + 2;
  size_t close = body.find("</" + name + ">", open);
  return close == std::string::npos ? "" : body.substr(open, close - open);
}

RawConnection::RawConnection(uint16_t port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Close();
}

RawConnection::~RawConnection() {
  Close();
}

void RawConnection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool RawConnection::Send(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      reply_.sendFailed = true;
      if (errno == ECONNRESET) reply_.reset = true;
      return false;
    }
    off += static_cast<size_t>(n);
  }
  return true;
}

bool RawConnection::WaitForData(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

RawReply RawConnection::ReadReply(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[16384];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      reply_.timedOut = true;
      break;
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      if (errno == ECONNRESET) reply_.reset = true;
      break;
    }
    if (n == 0) break;
    reply_.raw.append(buf, static_cast<size_t>(n));
  }
  return reply_;
}

RawReply Exchange(uint16_t port, const std::vector<std::string>& pieces, int timeoutMs) {
  RawConnection c(port);
  for (const std::string& p : pieces) {
    if (!c.Send(p)) break;
  }
  return c.ReadReply(timeoutMs);
}

RawReply Get(uint16_t port, const std::string& target, int timeoutMs) {
  return Exchange(
      port, {"GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: UCorvelClient\r\n\r\n"},
      timeoutMs);
}

UploadRequest BuildUpload(const std::string& sha1, const std::string& pickCode,
                          const std::string& key, int64_t fileSize, int schema, int64_t offset,
                          const std::string& dataFromOffset, const std::string& boundary) {
  std::string target = "/ups/up?sha1=" + sha1 + "&filename=" + pickCode +
                       "&filesize=" + std::to_string(fileSize) + "&key=" + key;
  std::string form = "--" + boundary +
                     "\r\nContent-Disposition: form-data; name=\"U_BlockSchema\"\r\n\r\n" +
                     std::to_string(schema) + "\r\n" + "--" + boundary +
                     "\r\nContent-Disposition: form-data; name=\"U_Offset\"\r\n\r\n" +
                     std::to_string(offset) + "\r\n" + "--" + boundary +
                     "\r\nContent-Disposition: form-data; name=\"Filedata\"; filename=\"" +
                     pickCode + "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
  int64_t n = static_cast<int64_t>(form.size()) + fileSize - offset;
  UploadRequest r;
  r.head = "POST " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(n) +
           "\r\nContent-Type: multipart/form-data; " + boundary +
           "\r\nUser-Agent: UCorvelClient\r\n\r\n" + form;
  r.data = dataFromOffset;
  r.closing = "\r\n" + boundary + "--";
  return r;
}

std::string Sha1Hex(const std::string& bytes) {
  CSha1Digest d;
  size_t off = 0;
  while (off < bytes.size()) {
    size_t n = std::min<size_t>(bytes.size() - off, 1 << 20);
    d.Update(bytes.data() + off, static_cast<uint32_t>(n));
    off += n;
  }
  d.Final();
  char hex[41];
  d.HexDigest(hex);
  return hex;
}

std::string PatternBytes(size_t n, uint32_t seed) {
  std::string out(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x);
  }
  return out;
}

}  // namespace testing_support
