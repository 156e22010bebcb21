// A scripted TCP peer on loopback for transport tests: it listens on a free port and runs a
// handler on each accepted connection, in a thread of its own, until the test ends.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class FakePeer {
 public:
  using Handler = std::function<void(int fd)>;
  explicit FakePeer(Handler handler);
  ~FakePeer();
  uint16_t port() const { return port_; }
  // Every byte the peer read with ReadRequest/ReadAll, per connection, in order.
  std::vector<std::string> Received();
  void Record(const std::string& data);
  int Connections() const { return connections_.load(); }

 private:
  Handler handler_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread acceptThread_;
  std::vector<std::thread> threads_;
  std::mutex m_;
  std::vector<std::string> received_;
};

// Helpers for handlers.
std::string ReadUntil(int fd, const std::string& marker, size_t limit = 1 << 20);
std::string ReadExactly(int fd, size_t n);
// Reads until the peer closes or timeoutMs passes without data.
std::string ReadAll(int fd, int timeoutMs = 2000);
void SendText(int fd, const std::string& text);
// Closes with a reset (SO_LINGER 0).
void ResetConnection(int fd);
// Keeps the connection open without reading until the peer goes away or timeoutMs passes.
void Stall(int fd, int timeoutMs);

}  // namespace testing_support
