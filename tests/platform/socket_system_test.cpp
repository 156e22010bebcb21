// The operating system's socket backend on real loopback sockets: each way a call can end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "platform/SocketSystem.h"

namespace {

using platform::SocketError;
using platform::SocketHandle;
using platform::SocketSystem;
using platform::SocketWait;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A listening loopback socket on a free port; Accept takes one connection.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = kLoopback;
    socklen_t len = sizeof a;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), len);
    ::listen(fd_, 4);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { Stop(); }
  void Stop() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int Accept() { return ::accept(fd_, nullptr, nullptr); }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

class SocketSystemTest : public ::testing::Test {
 protected:
  SocketHandle Connected(Listener& l, int* peer) {
    SocketError e = SocketError::kNone;
    SocketHandle s = sys_.Create(&e);
    EXPECT_NE(s, platform::kInvalidSocket);
    EXPECT_TRUE(sys_.Connect(s, kLoopback, l.port(), SocketWait{nullptr, 2000}, &e));
    *peer = l.Accept();
    return s;
  }
  SocketSystem& sys_ = SocketSystem::Default();
};

TEST_F(SocketSystemTest, AClosedPortIsRefused) {
  Listener l;
  const uint16_t port = l.port();
  l.Stop();
  SocketError e = SocketError::kNone;
  SocketHandle s = sys_.Create(&e);
  EXPECT_FALSE(sys_.Connect(s, kLoopback, port, SocketWait{nullptr, 2000}, &e));
  EXPECT_EQ(e, SocketError::kConnectionRefused);
  EXPECT_TRUE(sys_.Close(s, &e));
}

TEST_F(SocketSystemTest, BytesMoveThenThePeersCloseReadsAsZero) {
  Listener l;
  int peer = -1;
  SocketHandle s = Connected(l, &peer);
  SocketError e = SocketError::kNone;
  EXPECT_EQ(sys_.Send(s, "ping", 4, SocketWait{nullptr, 2000}, &e), 4);
  char got[4] = {};
  EXPECT_EQ(::recv(peer, got, sizeof got, MSG_WAITALL), 4);
  ::send(peer, "pong", 4, 0);
  ::close(peer);
  char buf[8] = {};
  EXPECT_EQ(sys_.Receive(s, buf, sizeof buf, SocketWait{nullptr, 2000}, &e), 4);
  EXPECT_EQ(sys_.Receive(s, buf, sizeof buf, SocketWait{nullptr, 2000}, &e), 0);
  uint8_t peerAddr[16], localAddr[16];
  EXPECT_TRUE(sys_.Addresses(s, peerAddr, localAddr));
  sys_.Close(s, &e);
}

TEST_F(SocketSystemTest, ASilentPeerEndsAReceiveByTheLimitOrTheCancel) {
  Listener l;
  int peer = -1;
  SocketHandle s = Connected(l, &peer);
  SocketError e = SocketError::kNone;
  char buf[8];
  EXPECT_EQ(sys_.Receive(s, buf, sizeof buf, SocketWait{nullptr, 100}, &e), -1);
  EXPECT_EQ(e, SocketError::kTimedOut);
  std::atomic<bool> cancel{false};
  std::thread canceller([&] { cancel = true; });
  EXPECT_EQ(sys_.Receive(s, buf, sizeof buf, SocketWait{&cancel, 0}, &e), -1);
  EXPECT_EQ(e, SocketError::kConnectionAborted);
  canceller.join();
  ::close(peer);
  sys_.Close(s, &e);
}

TEST_F(SocketSystemTest, AResetIsTold) {
  Listener l;
  int peer = -1;
  SocketHandle s = Connected(l, &peer);
  linger hard{1, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(peer);
  SocketError e = SocketError::kNone;
  char buf[8];
  EXPECT_EQ(sys_.Receive(s, buf, sizeof buf, SocketWait{nullptr, 2000}, &e), -1);
  EXPECT_EQ(e, SocketError::kConnectionReset);
  sys_.Close(s, &e);
}

}  // namespace
