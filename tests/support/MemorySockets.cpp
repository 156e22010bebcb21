#include "tests/support/MemorySockets.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/Resolver.h"

namespace testing_support {

using platform::SocketError;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kCancelCheckMs = 20;
constexpr uint32_t kLoopback = 0x0100007Fu;  // 127.0.0.1 in network byte order

void AddressRecord(uint8_t out[16], uint16_t port) {
  std::memset(out, 0, 16);
  out[0] = 2;  // IPv4
  out[2] = static_cast<uint8_t>(port >> 8);
  out[3] = static_cast<uint8_t>(port & 0xFF);
  std::memcpy(out + 4, &kLoopback, 4);
}

}  // namespace

// The peer's end of a link. Reads wait on the twin's condition.
class MemoryPeerStream : public PeerStream {
 public:
  MemoryPeerStream(MemorySockets& twin, std::shared_ptr<MemorySockets::Link> link)
      : twin_(twin), link_(std::move(link)) {}

  void Send(const std::string& text) override {
    std::lock_guard<std::mutex> g(twin_.m_);
    if (link_->reset || link_->clientGone) return;
    link_->toClient += text;
    twin_.cv_.notify_all();
  }
  void Reset() override {
    std::lock_guard<std::mutex> g(twin_.m_);
    link_->reset = true;
    twin_.cv_.notify_all();
  }
  void AwaitDrained(int timeoutMs) override {
    std::unique_lock<std::mutex> g(twin_.m_);
    twin_.cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
      return link_->toClient.empty() || link_->clientGone || twin_.ending_;
    });
  }
  void Stall(int timeoutMs) override {
    std::unique_lock<std::mutex> g(twin_.m_);
    twin_.cv_.wait_for(g, std::chrono::milliseconds(timeoutMs),
                       [&] { return link_->clientGone || link_->reset || twin_.ending_; });
  }

 private:
  // Up to n bytes the client sent; empty at its close, a reset, the twin's end or timeoutMs
  // without data.
  std::string Take(size_t n, int timeoutMs) override {
    std::unique_lock<std::mutex> g(twin_.m_);
    twin_.cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
      return !link_->toPeer.empty() || link_->clientSendClosed || link_->reset || twin_.ending_;
    });
    if (link_->reset) return "";
    const size_t k = std::min(n, link_->toPeer.size());
    std::string data = link_->toPeer.substr(0, k);
    link_->toPeer.erase(0, k);
    twin_.cv_.notify_all();  // room for the client's next send
    return data;
  }

  MemorySockets& twin_;
  std::shared_ptr<MemorySockets::Link> link_;
};

MemorySockets::~MemorySockets() {
  std::vector<std::thread> handlers;
  {
    std::lock_guard<std::mutex> g(m_);
    ending_ = true;
    cv_.notify_all();
    handlers.swap(handlers_);
  }
  for (auto& t : handlers) t.join();
}

uint16_t MemorySockets::Listen(Handler handler) {
  std::lock_guard<std::mutex> g(m_);
  const uint16_t port = nextPort_++;
  listeners_[port].handler = std::move(handler);
  return port;
}

uint16_t MemorySockets::Silent() {
  std::lock_guard<std::mutex> g(m_);
  const uint16_t port = nextPort_++;
  listeners_[port];
  return port;
}

void MemorySockets::Name(const std::string& host, const std::string& dottedIPv4) {
  uint32_t addr = 0;
  platform::ParseDottedIPv4(dottedIPv4, &addr);
  std::lock_guard<std::mutex> g(m_);
  names_[host] = addr;
}

int MemorySockets::Connections(uint16_t port) {
  std::lock_guard<std::mutex> g(m_);
  auto it = listeners_.find(port);
  return it == listeners_.end() ? 0 : it->second.connections;
}

bool MemorySockets::AwaitConnects(uint16_t port, int count, int timeoutMs) {
  std::unique_lock<std::mutex> g(m_);
  return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs),
                      [&] { return listeners_[port].connections >= count; });
}

bool MemorySockets::AwaitStalledSend(uint16_t port, int timeoutMs) {
  std::unique_lock<std::mutex> g(m_);
  return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
    for (const auto& link : links_) {
      if (link->port == port && link->sendWaiting) return true;
    }
    return false;
  });
}

bool MemorySockets::AwaitHandlersDone(uint16_t port, int timeoutMs) {
  std::unique_lock<std::mutex> g(m_);
  return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs),
                      [&] { return listeners_[port].running == 0; });
}

template <typename Ready>
SocketError MemorySockets::WaitFor(std::unique_lock<std::mutex>& g,
                                   const platform::SocketWait& wait, Ready ready) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(wait.limitMs);
  for (;;) {
    if (ready()) return SocketError::kNone;
    if (wait.cancel && wait.cancel->load()) return SocketError::kConnectionAborted;
    if (ending_) return SocketError::kConnectionAborted;
    auto step = Clock::now() + std::chrono::milliseconds(kCancelCheckMs);
    if (wait.limitMs > 0) {
      if (Clock::now() >= deadline) return SocketError::kTimedOut;
      step = std::min(step, deadline);
    }
    cv_.wait_until(g, step);
  }
}

std::shared_ptr<MemorySockets::Link> MemorySockets::LinkOf(platform::SocketHandle s) {
  auto it = clients_.find(s);
  return it == clients_.end() ? nullptr : it->second.link;
}

platform::SocketHandle MemorySockets::Create(SocketError* error) {
  std::lock_guard<std::mutex> g(m_);
  const platform::SocketHandle s = nextHandle_++;
  clients_[s];
  *error = SocketError::kNone;
  return s;
}

bool MemorySockets::Connect(platform::SocketHandle s, uint32_t, uint16_t port,
                            const platform::SocketWait& wait, SocketError* error) {
  std::unique_lock<std::mutex> g(m_);
  auto client = clients_.find(s);
  auto listener = listeners_.find(port);
  if (client == clients_.end()) {
    *error = SocketError::kNotConnected;
    return false;
  }
  if (listener == listeners_.end()) {
    *error = SocketError::kConnectionRefused;
    return false;
  }
  ++listener->second.connections;
  cv_.notify_all();
  if (!listener->second.handler) {
    *error = WaitFor(g, wait, [] { return false; });
    return false;
  }
  auto link = std::make_shared<Link>();
  link->port = port;
  client->second.link = link;
  links_.push_back(link);
  Handler handler = listener->second.handler;
  ++listener->second.running;
  handlers_.emplace_back([this, link, handler, port] {
    {
      MemoryPeerStream stream(*this, link);
      handler(stream);
    }
    std::lock_guard<std::mutex> lock(m_);
    link->peerClosed = true;
    --listeners_[port].running;
    cv_.notify_all();
  });
  *error = SocketError::kNone;
  return true;
}

int64_t MemorySockets::Send(platform::SocketHandle s, const void* data, size_t n,
                            const platform::SocketWait& wait, SocketError* error) {
  std::unique_lock<std::mutex> g(m_);
  std::shared_ptr<Link> link = LinkOf(s);
  const char* p = static_cast<const char*>(data);
  size_t sent = 0;
  while (sent < n) {
    if (!link || link->clientSendClosed) {
      *error = SocketError::kNotConnected;
      return -1;
    }
    if (link->toPeer.size() >= kWindow) {
      link->sendWaiting = true;
      cv_.notify_all();
    }
    *error = WaitFor(
        g, wait, [&] { return link->reset || link->peerClosed || link->toPeer.size() < kWindow; });
    link->sendWaiting = false;
    if (*error != SocketError::kNone) return -1;
    if (link->reset || link->peerClosed) {
      *error = SocketError::kConnectionReset;
      return -1;
    }
    const size_t k = std::min(n - sent, kWindow - link->toPeer.size());
    link->toPeer.append(p + sent, k);
    sent += k;
    cv_.notify_all();
  }
  *error = SocketError::kNone;
  return static_cast<int64_t>(n);
}

int64_t MemorySockets::Receive(platform::SocketHandle s, void* buffer, size_t n,
                               const platform::SocketWait& wait, SocketError* error) {
  std::unique_lock<std::mutex> g(m_);
  std::shared_ptr<Link> link = LinkOf(s);
  if (!link) {
    *error = SocketError::kNotConnected;
    return -1;
  }
  *error =
      WaitFor(g, wait, [&] { return link->reset || !link->toClient.empty() || link->peerClosed; });
  if (*error != SocketError::kNone) return -1;
  if (link->reset) {
    *error = SocketError::kConnectionReset;
    return -1;
  }
  const size_t k = std::min(n, link->toClient.size());
  std::memcpy(buffer, link->toClient.data(), k);
  link->toClient.erase(0, k);
  cv_.notify_all();  // a peer may wait for its bytes to be read
  return static_cast<int64_t>(k);
}

bool MemorySockets::ShutdownSend(platform::SocketHandle s, SocketError* error) {
  std::lock_guard<std::mutex> g(m_);
  std::shared_ptr<Link> link = LinkOf(s);
  if (!link) {
    *error = SocketError::kNotConnected;
    return false;
  }
  link->clientSendClosed = true;
  cv_.notify_all();
  *error = SocketError::kNone;
  return true;
}

bool MemorySockets::Close(platform::SocketHandle s, SocketError* error) {
  std::lock_guard<std::mutex> g(m_);
  auto it = clients_.find(s);
  if (it == clients_.end()) {
    *error = SocketError::kNotConnected;
    return false;
  }
  if (it->second.link) {
    it->second.link->clientSendClosed = true;
    it->second.link->clientGone = true;
  }
  clients_.erase(it);
  cv_.notify_all();
  *error = SocketError::kNone;
  return true;
}

bool MemorySockets::Addresses(platform::SocketHandle s, uint8_t peer[16], uint8_t local[16]) {
  std::lock_guard<std::mutex> g(m_);
  std::shared_ptr<Link> link = LinkOf(s);
  if (!link) return false;
  AddressRecord(peer, link->port);
  AddressRecord(local, static_cast<uint16_t>(50000 + (s % 10000)));
  return true;
}

bool MemorySockets::LookUp(const char* host, uint32_t* addr, SocketError* error) {
  std::lock_guard<std::mutex> g(m_);
  auto it = names_.find(host);
  if (it == names_.end()) {
    *error = SocketError::kInvalidAddress;
    return false;
  }
  *addr = it->second;
  return true;
}

}  // namespace testing_support
