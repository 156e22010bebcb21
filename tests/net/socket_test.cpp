// The socket classes over the in-memory twin of the sockets: the error codes a caller sees, the
// receive buffer after a close or an error, the override table, and waits that end in their
// time-out or at the call's cancel. (The real sockets behind the seam: tests/platform.)
#include "net/Socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "tests/support/FaultEnv.h"
#include "tests/support/MemorySockets.h"
#include "upload/Runtime.h"

using platform::SocketError;
using testing_support::MemorySockets;
using testing_support::PeerStream;

namespace {

class SocketTest : public ::testing::Test {
 protected:
  SocketTest() {
    env_.UseSockets(net_);
    runtime_.transport.idleTimeoutMs = 1000;
    runtime_.transport.connectTimeoutMs = 1000;
  }
  Call call(const std::atomic<bool>* cancel = nullptr) { return Call{runtime_.transport, cancel}; }

  MemorySockets net_;
  testing_support::FaultEnv env_;
  Runtime runtime_{env_};
};

TEST_F(SocketTest, ErrorCodesOfRefusedConnects) {
  CActiveSocket notCreated(call());
  EXPECT_FALSE(notCreated.Connect("127.0.0.1", 80));
  EXPECT_EQ(notCreated.LastError(), SocketError::kSocketError);
  CActiveSocket s(call());
  ASSERT_TRUE(s.CreateSocket());
  const struct {
    const char* host;
    uint16_t port;
    SocketError error;
  } cases[] = {{nullptr, 80, SocketError::kInvalidAddress},
               {"127.0.0.1", 0, SocketError::kInvalidPort},
               {"no-such-name.invalid", 80, SocketError::kInvalidAddress},
               {"127.0.0.1", 81, SocketError::kConnectionRefused}};
  for (const auto& c : cases) {
    CActiveSocket t(call());
    t.CreateSocket();
    EXPECT_FALSE(t.Connect(c.host, c.port)) << (c.host ? c.host : "null");
    EXPECT_EQ(t.LastError(), c.error) << (c.host ? c.host : "null");
  }
  EXPECT_EQ(s.SendBytes(nullptr, 5), 0);
  EXPECT_EQ(s.SendBytes("x", 0), 0);
  EXPECT_TRUE(s.CloseSocket());
  EXPECT_FALSE(s.CloseSocket());
  EXPECT_FALSE(s.IsValid());
  EXPECT_EQ(s.ReceiveChunk(16), 0);
}

TEST_F(SocketTest, ConnectFillsAddressesAndUsesTheOverrideTable) {
  const uint16_t port = net_.Listen([](PeerStream& p) { p.Send("hi"); });
  runtime_.resolver.Add("up.corvel.example", port, "127.0.0.1");
  CActiveSocket s(call());
  s.CreateSocket();
  ASSERT_TRUE(s.Connect("UP.corvel.example", port));  // names compare without case
  EXPECT_EQ(s.LastError(), SocketError::kNone);
  EXPECT_EQ(s.PeerAddress()[0], 2);  // IPv4
  EXPECT_EQ(s.PeerAddress()[2] << 8 | s.PeerAddress()[3], port);
  EXPECT_NE(s.LocalAddress()[2] << 8 | s.LocalAddress()[3], 0);
}

TEST_F(SocketTest, ReceiveKeepsTheBufferAtACloseAndDropsItAtAnError) {
  const uint16_t closing = net_.Listen([](PeerStream& p) { p.Send("abc"); });
  CActiveSocket s(call());
  s.CreateSocket();
  ASSERT_TRUE(s.Connect("127.0.0.1", closing));
  std::string got;
  int32_t n;
  while ((n = s.ReceiveChunk(16)) > 0) got.append(reinterpret_cast<const char*>(s.Received()), n);
  EXPECT_EQ(got, "abc");
  EXPECT_EQ(n, 0);
  EXPECT_NE(s.Received(), nullptr);

  // A reset ends the receive with an error, and the buffer goes with it.
  const uint16_t resetting = net_.Listen([](PeerStream& p) {
    p.Send("abc");
    p.ReadExactly(1);
    p.Reset();
  });
  CActiveSocket r(call());
  r.CreateSocket();
  ASSERT_TRUE(r.Connect("127.0.0.1", resetting));
  ASSERT_EQ(r.ReceiveChunk(16), 3);
  ASSERT_NE(r.Received(), nullptr);
  EXPECT_EQ(r.SendBytes("x", 1), 1);
  EXPECT_EQ(r.ReceiveChunk(16), -1);
  EXPECT_EQ(r.LastError(), SocketError::kConnectionReset);
  EXPECT_EQ(r.Received(), nullptr);
  EXPECT_EQ(r.SendBytes("x", 1), -1);
  EXPECT_EQ(r.LastError(), SocketError::kConnectionReset);
}

TEST_F(SocketTest, WaitsEndInTheirTimeOutOrAtTheCallsCancel) {
  // A peer that neither answers nor reads: a receive, and a send that fills the window.
  runtime_.transport.idleTimeoutMs = 200;
  const uint16_t silent = net_.Listen([](PeerStream& p) { p.Stall(10000); });
  CActiveSocket s(call());
  s.CreateSocket();
  ASSERT_TRUE(s.Connect("127.0.0.1", silent));
  EXPECT_EQ(s.ReceiveChunk(16), -1);
  EXPECT_EQ(s.LastError(), SocketError::kTimedOut);
  const std::string block(MemorySockets::kWindow + 1, 'x');
  EXPECT_EQ(s.SendBytes(block.data(), static_cast<int32_t>(block.size())), -1);
  EXPECT_EQ(s.LastError(), SocketError::kTimedOut);

  // A host that never answers a connect.
  runtime_.transport.connectTimeoutMs = 200;
  const uint16_t deaf = net_.Silent();
  CActiveSocket timed(call());
  timed.CreateSocket();
  EXPECT_FALSE(timed.Connect("127.0.0.1", deaf));
  EXPECT_EQ(timed.LastError(), SocketError::kTimedOut);

  // Without a limit, the call's cancel, set from another thread, ends the connect.
  runtime_.transport.connectTimeoutMs = 0;
  std::atomic<bool> cancel{false};
  SocketError error = SocketError::kNone;
  std::thread worker([&] {
    CActiveSocket c(call(&cancel));
    c.CreateSocket();
    EXPECT_FALSE(c.Connect("127.0.0.1", deaf));
    error = c.LastError();
  });
  ASSERT_TRUE(net_.AwaitConnects(deaf, 2, 5000));
  cancel = true;
  worker.join();
  EXPECT_EQ(error, SocketError::kConnectionAborted);
}

}  // namespace
