#include "tests/support/FakePeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace testing_support {

FakePeer::FakePeer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listenFd_, 16) != 0) {
    throw std::runtime_error("fake peer cannot listen");
  }
  socklen_t len = sizeof a;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  acceptThread_ = std::thread([this] {
    while (!stop_) {
      pollfd p{listenFd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections_;
      std::lock_guard<std::mutex> g(m_);
      threads_.emplace_back([this, fd] {
        handler_(fd);
        ::close(fd);
      });
    }
  });
}

FakePeer::~FakePeer() {
  stop_ = true;
  acceptThread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> g(m_);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
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

static bool Readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeoutMs) > 0;
}

std::string ReadUntil(int fd, const std::string& marker, size_t limit) {
  std::string data;
  char c;
  while (data.size() < limit) {
    if (!Readable(fd, 5000)) break;
    if (::recv(fd, &c, 1, 0) != 1) break;
    data += c;
    if (data.size() >= marker.size() &&
        data.compare(data.size() - marker.size(), marker.size(), marker) == 0) {
      break;
    }
  }
  return data;
}

std::string ReadExactly(int fd, size_t n) {
  std::string data;
  char buf[65536];
  while (data.size() < n) {
    if (!Readable(fd, 5000)) break;
    ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - data.size()), 0);
    if (r <= 0) break;
    data.append(buf, static_cast<size_t>(r));
  }
  return data;
}

std::string ReadAll(int fd, int timeoutMs) {
  std::string data;
  char buf[65536];
  while (Readable(fd, timeoutMs)) {
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r <= 0) break;
    data.append(buf, static_cast<size_t>(r));
  }
  return data;
}

void SendText(int fd, const std::string& text) {
  size_t off = 0;
  while (off < text.size()) {
    ssize_t r = ::send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
    if (r <= 0) return;
    off += static_cast<size_t>(r);
  }
}

void ResetConnection(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void Stall(int fd, int timeoutMs) {
  pollfd p{fd, POLLRDHUP, 0};
  ::poll(&p, 1, timeoutMs);
}

}  // namespace testing_support
