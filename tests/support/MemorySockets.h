// The in-memory twin of the operating system's sockets, behind the same seam
// (platform/SocketSystem.h): a test hands it to the core through FaultEnv::UseSockets, and the
// client's connects reach peers scripted in the test, with no port, no kernel and no timing of
// its own. Peers are scripted as on loopback (tests/support/PeerStream.h).
//
//   Listen   a peer at 127.0.0.1:<port>: each connect runs the handler on a thread of its own;
//            when the handler returns, the connection closes (or resets, after Reset).
//   Silent   a port whose connects are never answered, as a host that drops them: a connect
//            waits for its time limit (kTimedOut) or its cancel (kConnectionAborted).
//   Name     a host name the twin's resolver knows; any other name has no address.
// A port nobody listens on refuses (kConnectionRefused). What the client sends waits in a
// buffer of kWindow bytes: a peer that does not read makes sends wait, as a full socket does.
//
// Waits honour the seam's contract: the limit of a SocketWait, and its cancel flag, read at
// least every 20 ms while waiting.
//
// Thread safety: every method may be called from any thread. The destructor ends every
// connection and joins every handler.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/SocketSystem.h"
#include "tests/support/PeerStream.h"

namespace testing_support {

class MemorySockets : public platform::SocketSystem {
 public:
  using Handler = std::function<void(PeerStream& stream)>;
  static constexpr size_t kWindow = 256 * 1024;

  MemorySockets() = default;
  ~MemorySockets() override;
  MemorySockets(const MemorySockets&) = delete;
  MemorySockets& operator=(const MemorySockets&) = delete;

  uint16_t Listen(Handler handler);
  uint16_t Silent();
  void Name(const std::string& host, const std::string& dottedIPv4);
  // Connects that reached the port so far.
  int Connections(uint16_t port);
  // Waits until count connects have reached the port, at most timeoutMs; true when they have.
  bool AwaitConnects(uint16_t port, int count, int timeoutMs);
  // Waits until a client's send to the port waits for the peer to read, at most timeoutMs.
  bool AwaitStalledSend(uint16_t port, int timeoutMs);
  // Waits until every handler of the port has returned, at most timeoutMs.
  bool AwaitHandlersDone(uint16_t port, int timeoutMs);

  platform::SocketHandle Create(platform::SocketError* error) override;
  bool Connect(platform::SocketHandle s, uint32_t addr, uint16_t port,
               const platform::SocketWait& wait, platform::SocketError* error) override;
  int64_t Send(platform::SocketHandle s, const void* data, size_t n,
               const platform::SocketWait& wait, platform::SocketError* error) override;
  int64_t Receive(platform::SocketHandle s, void* buffer, size_t n,
                  const platform::SocketWait& wait, platform::SocketError* error) override;
  bool ShutdownSend(platform::SocketHandle s, platform::SocketError* error) override;
  bool Close(platform::SocketHandle s, platform::SocketError* error) override;
  bool Addresses(platform::SocketHandle s, uint8_t peer[16], uint8_t local[16]) override;
  bool LookUp(const char* host, uint32_t* addr, platform::SocketError* error) override;

  // One connection's two directions; shared by the client's handle and the peer's stream.
  struct Link {
    std::string toPeer, toClient;
    bool clientSendClosed = false;  // the client shut its sending side or closed
    bool clientGone = false;        // the client closed its handle
    bool peerClosed = false;        // the handler returned
    bool reset = false;             // either side reset
    bool sendWaiting = false;       // a client send waits for window space
    uint16_t port = 0;
  };

 private:
  struct Listener {
    Handler handler;  // empty: a silent port
    int connections = 0;
    int running = 0;  // handlers not yet returned
  };
  struct Client {
    std::shared_ptr<Link> link;
  };
  // Waits on the twin's condition until ready() or the wait's limit or cancel; the error of a
  // wait that ended without ready(), or kNone.
  template <typename Ready>
  platform::SocketError WaitFor(std::unique_lock<std::mutex>& g, const platform::SocketWait& wait,
                                Ready ready);
  std::shared_ptr<Link> LinkOf(platform::SocketHandle s);

  std::mutex m_;
  std::condition_variable cv_;
  bool ending_ = false;
  std::map<uint16_t, Listener> listeners_;
  std::map<std::string, uint32_t> names_;
  std::map<platform::SocketHandle, Client> clients_;
  std::vector<std::shared_ptr<Link>> links_;
  platform::SocketHandle nextHandle_ = 1000;
  uint16_t nextPort_ = 40000;
  std::vector<std::thread> handlers_;

  friend class MemoryPeerStream;
};

}  // namespace testing_support
