#include "tests/support/protocol_fake_server.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/FakePeer.h"

namespace testing_support {

std::string ProtocolFakeServer::Request::Header(const std::string& name) const {
  size_t at = 0;
  while ((at = head.find("\r\n", at)) != std::string::npos) {
    at += 2;
    if (head.size() >= at + name.size() + 1 &&
        strncasecmp(head.c_str() + at, name.c_str(), name.size()) == 0 &&
        head[at + name.size()] == ':') {
      size_t start = head.find_first_not_of(' ', at + name.size() + 1);
      size_t end = head.find("\r\n", at);
      if (start == std::string::npos || start > end) return "";
      return head.substr(start, end - start);
    }
  }
  return "";
}

ProtocolFakeServer::ProtocolFakeServer()
    : peer_(std::make_unique<FakePeer>([this](int fd) { Serve(fd); })) {}

ProtocolFakeServer::~ProtocolFakeServer() {
  endStalls_ = true;
  peer_.reset();
}

uint16_t ProtocolFakeServer::port() const {
  return peer_->port();
}

void ProtocolFakeServer::Reply(const std::string& body, const std::string& status) {
  std::lock_guard<std::mutex> g(m_);
  script_.push_back({status, body, false});
}

void ProtocolFakeServer::Stall() {
  std::lock_guard<std::mutex> g(m_);
  script_.push_back({"", "", true});
}

void ProtocolFakeServer::EndStalls() {
  endStalls_ = true;
}

std::vector<ProtocolFakeServer::Request> ProtocolFakeServer::Requests() {
  std::lock_guard<std::mutex> g(m_);
  return requests_;
}

std::string ProtocolFakeServer::LastLine() {
  std::lock_guard<std::mutex> g(m_);
  return requests_.empty() ? std::string() : requests_.back().Line();
}

bool ProtocolFakeServer::WaitForRequests(size_t count, int timeoutMs) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < until) {
    {
      std::lock_guard<std::mutex> g(m_);
      if (requests_.size() >= count) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void ProtocolFakeServer::Serve(int fd) {
  Request r;
  r.head = ReadUntil(fd, "\r\n\r\n", 64 * 1024);
  if (r.head.empty()) return;
  if (r.head.rfind("POST ", 0) == 0) {
    r.body = ReadExactly(fd, std::strtoull(r.Header("Content-Length").c_str(), nullptr, 10));
    std::string type = r.Header("Content-Type");
    size_t semi = type.find("; ");
    std::string boundary = semi == std::string::npos ? "" : type.substr(semi + 2);
    r.tail = ReadExactly(fd, 2 + boundary.size() + 2);
  }
  Scripted answer{"200 OK", "", false};
  {
    std::lock_guard<std::mutex> g(m_);
    requests_.push_back(r);
    if (!script_.empty()) {
      answer = script_.front();
      script_.pop_front();
    }
  }
  if (answer.stall) {
    // Until the client hangs up or the server goes away.
    while (!endStalls_) {
      pollfd p{fd, POLLRDHUP, 0};
      if (::poll(&p, 1, 20) > 0) return;
    }
    return;
  }
  SendText(fd, "HTTP/1.1 " + answer.status +
                   "\r\nContent-Length: " + std::to_string(answer.body.size()) +
                   "\r\nConnection: close\r\n\r\n" + answer.body);
}

}  // namespace testing_support
