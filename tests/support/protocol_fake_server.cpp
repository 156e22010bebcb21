#include "tests/support/protocol_fake_server.h"

#include <strings.h>

#include <chrono>
#include <cstdlib>

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
    : peer_(std::make_unique<FakePeer>([this](PeerStream& stream) { Serve(stream); })) {}

ProtocolFakeServer::~ProtocolFakeServer() {
  EndStalls();
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
  std::lock_guard<std::mutex> g(m_);
  endStalls_ = true;
  changed_.notify_all();
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
  std::unique_lock<std::mutex> g(m_);
  return changed_.wait_for(g, std::chrono::milliseconds(timeoutMs),
                           [&] { return requests_.size() >= count; });
}

void ProtocolFakeServer::Serve(PeerStream& stream) {
  Request r;
  r.head = stream.ReadUntil("\r\n\r\n", 64 * 1024);
  if (r.head.empty()) return;
  if (r.head.rfind("POST ", 0) == 0) {
    r.body = stream.ReadExactly(std::strtoull(r.Header("Content-Length").c_str(), nullptr, 10));
    std::string type = r.Header("Content-Type");
    size_t semi = type.find("; ");
    std::string boundary = semi == std::string::npos ? "" : type.substr(semi + 2);
    r.tail = stream.ReadExactly(2 + boundary.size() + 2);
  }
  Scripted answer{"200 OK", "", false};
  {
    std::unique_lock<std::mutex> g(m_);
    requests_.push_back(r);
    changed_.notify_all();
    if (!script_.empty()) {
      answer = script_.front();
      script_.pop_front();
    }
    // A stalled answer never comes: the handler waits for EndStalls or the server's end.
    if (answer.stall) {
      changed_.wait(g, [this] { return endStalls_; });
      return;
    }
  }
  stream.Send("HTTP/1.1 " + answer.status + "\r\nContent-Length: " +
              std::to_string(answer.body.size()) + "\r\nConnection: close\r\n\r\n" + answer.body);
}

}  // namespace testing_support
