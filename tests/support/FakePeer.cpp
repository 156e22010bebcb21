#include "tests/support/FakePeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace testing_support {
namespace {

// A connection accepted on a loopback socket.
class SocketStream : public PeerStream {
 public:
  explicit SocketStream(int fd) : fd_(fd) {}
  ~SocketStream() override {
    if (fd_ >= 0) ::close(fd_);
  }

  std::string Take(size_t n, int timeoutMs) override {
    if (n == 0 || !Readable(timeoutMs)) return "";
    std::string data(std::min<size_t>(n, 65536), '\0');
    const ssize_t r = ::recv(fd_, data.data(), data.size(), 0);
    data.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return data;
  }
  void Send(const std::string& text) override {
    size_t off = 0;
    while (off < text.size()) {
      ssize_t r = ::send(fd_, text.data() + off, text.size() - off, MSG_NOSIGNAL);
      if (r <= 0) return;
      off += static_cast<size_t>(r);
    }
  }
  void Reset() override {
    if (fd_ < 0) return;
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd_);  // with a zero linger: a reset, at once
    fd_ = -1;
  }
  void Stall(int timeoutMs) override {
    pollfd p{fd_, POLLRDHUP, 0};
    ::poll(&p, 1, timeoutMs);
  }
  void AwaitDrained(int) override {}  // loopback moves sent bytes to the client at once

 private:
  bool Readable(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
  }
  int fd_;
};

}  // namespace

FakePeer::FakePeer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listenFd_, 16) != 0 || ::pipe2(wakeFd_, O_CLOEXEC) != 0) {
    throw std::runtime_error("fake peer cannot listen");
  }
  socklen_t len = sizeof a;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  acceptThread_ = std::thread([this] {
    for (;;) {
      pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) continue;
      if (p[1].revents != 0) return;
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections_;
      std::lock_guard<std::mutex> g(m_);
      threads_.emplace_back([this, fd] {
        SocketStream stream(fd);
        handler_(stream);
      });
    }
  });
}

FakePeer::~FakePeer() {
  ::close(wakeFd_[1]);
  acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> g(m_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  ::close(wakeFd_[0]);
  ::close(listenFd_);
}

std::vector<std::string> FakePeer::Received() {
  std::lock_guard<std::mutex> g(m_);
  return received_;
}

void FakePeer::Record(const std::string& data) {
  std::lock_guard<std::mutex> g(m_);
  received_.push_back(data);
}

}  // namespace testing_support
