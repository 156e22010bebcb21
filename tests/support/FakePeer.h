// A scripted TCP peer on real loopback sockets for transport tests: it listens on a free port
// and runs a handler on each accepted connection, in a thread of its own, until the test ends.
// The handler scripts the server through a PeerStream (tests/support/PeerStream.h).
//
// Thread safety: Received and Record from any thread; the destructor joins every handler.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/PeerStream.h"

namespace testing_support {

class FakePeer {
 public:
  using Handler = std::function<void(PeerStream& stream)>;
  explicit FakePeer(Handler handler);
  ~FakePeer();
  FakePeer(const FakePeer&) = delete;
  FakePeer& operator=(const FakePeer&) = delete;

  uint16_t port() const { return port_; }
  // What handlers recorded, per connection, in order.
  std::vector<std::string> Received();
  void Record(const std::string& data);
  int Connections() const { return connections_.load(); }

 private:
  Handler handler_;
  int listenFd_ = -1;
  int wakeFd_[2] = {-1, -1};  // the destructor's word to the accepting thread
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::thread acceptThread_;
  std::vector<std::thread> threads_;
  std::mutex m_;
  std::vector<std::string> received_;
};

}  // namespace testing_support
