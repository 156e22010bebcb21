// The socket classes on loopback: the error codes a caller sees, the receive buffer after a close
// or an error, and connects that stall (time-out, cancel).
#include "net/Socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "net/Cancel.h"
#include "platform/ProcessState.h"
#include "platform/Resolver.h"
#include "tests/support/FakePeer.h"

using testing_support::FakePeer;
using testing_support::SendText;

namespace {

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ResetProcessState();
    platform::Process().IdleTimeoutMs = 1000;
    platform::Process().ConnectTimeoutMs = 1000;
  }
  void TearDown() override { platform::ResetProcessState(); }
};

// A listener whose accept queue is full and never drained: a further connect to it stays
// unanswered (its SYN is dropped), which is how a connect to a silent host looks.
class StalledListener {
 public:
  StalledListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 0);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    // Fill the queue until a connect no longer completes.
    for (int i = 0; i < 8; ++i) {
      int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      fillers_.push_back(c);
      ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
      pollfd p{c, POLLOUT, 0};
      if (::poll(&p, 1, 200) == 0) {
        stalled_ = true;
        break;
      }
    }
  }
  ~StalledListener() {
    for (int c : fillers_) ::close(c);
    ::close(fd_);
  }
  bool stalled() const { return stalled_; }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  bool stalled_ = false;
  std::vector<int> fillers_;
};

using Clock = std::chrono::steady_clock;

TEST_F(SocketTest, ErrorCodesOfRefusedConnects) {
  CActiveSocket notCreated;
  EXPECT_FALSE(notCreated.Connect("127.0.0.1", 80));
  EXPECT_EQ(notCreated.LastError, 1);
  CActiveSocket s;
  ASSERT_TRUE(s.CreateSocket());
  EXPECT_FALSE(s.Connect(nullptr, 80));
  EXPECT_EQ(s.LastError, 2);
  EXPECT_FALSE(s.Connect("127.0.0.1", 0));
  EXPECT_EQ(s.LastError, 3);
  EXPECT_FALSE(s.Connect("no-such-name.invalid", 80));
  EXPECT_EQ(s.LastError, 2);
  EXPECT_FALSE(s.Connect("nowhere.corvel.example", 80));
  EXPECT_EQ(s.LastError, 2);
  uint16_t closedPort;
  {
    FakePeer gone([](int) {});
    closedPort = gone.port();
  }
  CActiveSocket refused;
  refused.CreateSocket();
  EXPECT_FALSE(refused.Connect("127.0.0.1", closedPort));
  EXPECT_EQ(refused.LastError, 4);
  EXPECT_EQ(s.SendBytes(nullptr, 5), 0);
  EXPECT_EQ(s.SendBytes("x", 0), 0);
  EXPECT_TRUE(s.CloseSocket());
  EXPECT_FALSE(s.CloseSocket());
  EXPECT_FALSE(s.IsValid());
  EXPECT_EQ(s.ReceiveChunk(16), 0);
}

TEST_F(SocketTest, ConnectFillsAddressesAndUsesTheOverrideTable) {
  FakePeer peer([](int fd) { SendText(fd, "hi"); });
  platform::AddResolveOverride("up.corvel.example", peer.port(), "127.0.0.1");
  CActiveSocket s;
  s.CreateSocket();
  ASSERT_TRUE(s.Connect("up.corvel.example", peer.port()));
  EXPECT_EQ(s.LastError, 0);
  sockaddr_in peerAddr;
  std::memcpy(&peerAddr, s.PeerAddress, sizeof peerAddr);
  EXPECT_EQ(peerAddr.sin_family, AF_INET);
  EXPECT_EQ(ntohs(peerAddr.sin_port), peer.port());
  EXPECT_EQ(ntohl(peerAddr.sin_addr.s_addr), INADDR_LOOPBACK);
  sockaddr_in local;
  std::memcpy(&local, s.LocalAddress, sizeof local);
  EXPECT_NE(local.sin_port, 0);
}

TEST_F(SocketTest, ReceiveKeepsTheBufferAtACloseAndDropsItAtAnError) {
  FakePeer closing([](int fd) { SendText(fd, "abc"); });
  CActiveSocket s;
  s.CreateSocket();
  ASSERT_TRUE(s.Connect("127.0.0.1", closing.port()));
  std::string got;
  int32_t n;
  while ((n = s.ReceiveChunk(16)) > 0) got.append(reinterpret_cast<char*>(s.Buffer), n);
  EXPECT_EQ(got, "abc");
  EXPECT_EQ(n, 0);
  EXPECT_NE(s.Buffer, nullptr);

  // A reset ends the receive with an error, and the buffer goes with it.
  FakePeer resetting([](int fd) {
    SendText(fd, "abc");
    testing_support::ReadExactly(fd, 1);
    testing_support::ResetConnection(fd);
  });
  CActiveSocket r;
  r.CreateSocket();
  ASSERT_TRUE(r.Connect("127.0.0.1", resetting.port()));
  ASSERT_EQ(r.ReceiveChunk(16), 3);
  ASSERT_NE(r.Buffer, nullptr);
  EXPECT_EQ(r.SendBytes("x", 1), 1);
  EXPECT_EQ(r.ReceiveChunk(16), -1);
  EXPECT_EQ(r.LastError, 14);
  EXPECT_EQ(r.Buffer, nullptr);
}

TEST_F(SocketTest, SendingIntoAResetConnectionFailsWithoutASignal) {
  FakePeer resetting([](int fd) {
    testing_support::ReadExactly(fd, 100000);
    testing_support::ResetConnection(fd);
  });
  CActiveSocket s;
  s.CreateSocket();
  ASSERT_TRUE(s.Connect("127.0.0.1", resetting.port()));
  std::string block(1 << 16, 'x');
  int32_t sent = 0;
  for (int i = 0; i < 2000 && sent >= 0; ++i) {
    sent = s.SendBytes(block.data(), static_cast<int32_t>(block.size()));
  }
  EXPECT_EQ(sent, -1);
  EXPECT_TRUE(s.LastError == 14 || s.LastError == 7) << s.LastError;
}

TEST_F(SocketTest, ASilentPeerEndsInTheIdleTimeOut) {
  platform::Process().IdleTimeoutMs = 200;
  FakePeer silent([](int fd) { testing_support::Stall(fd, 3000); });
  CActiveSocket s;
  s.CreateSocket();
  ASSERT_TRUE(s.Connect("127.0.0.1", silent.port()));
  EXPECT_EQ(s.ReceiveChunk(16), -1);
  EXPECT_EQ(s.LastError, 5);
}

TEST_F(SocketTest, AStalledConnectEndsInItsTimeOutOrAtCancel) {
  StalledListener listener;
  if (!listener.stalled()) GTEST_SKIP() << "this kernel answers every connect";
  platform::Process().ConnectTimeoutMs = 200;
  CActiveSocket timed;
  timed.CreateSocket();
  EXPECT_FALSE(timed.Connect("127.0.0.1", listener.port()));
  EXPECT_EQ(timed.LastError, 5);

  platform::Process().ConnectTimeoutMs = 30000;
  std::atomic<bool> cancel{false};
  std::atomic<int> error{-1};
  std::atomic<bool> connected{true};
  std::thread worker([&] {
    ScopedCancelFlag scope(&cancel);
    CActiveSocket s;
    s.CreateSocket();
    connected = s.Connect("127.0.0.1", listener.port());
    error = s.LastError;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto start = Clock::now();
  cancel = true;
  worker.join();
  EXPECT_FALSE(connected);
  EXPECT_EQ(error, 10);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

TEST_F(SocketTest, CancelFlagBelongsToItsThreadAndScopesNest) {
  std::atomic<bool> outer{false}, inner{true};
  EXPECT_EQ(CurrentCancelFlag(), nullptr);
  {
    ScopedCancelFlag a(&outer);
    EXPECT_FALSE(CancelRequested());
    {
      ScopedCancelFlag b(&inner);
      EXPECT_TRUE(CancelRequested());
      std::thread other([] { EXPECT_FALSE(CancelRequested()); });
      other.join();
    }
    EXPECT_EQ(CurrentCancelFlag(), &outer);
  }
  EXPECT_EQ(CurrentCancelFlag(), nullptr);
}

}  // namespace
