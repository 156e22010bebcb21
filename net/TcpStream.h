// The bottom layer: one TCP connection (net/Socket.h) as a Stream. Its waits are the socket
// seam's: a connect bounded by the transport's connect time-out, a send or receive by its idle
// time-out, any of them cut short by the call's cancel flag (net/Transport.h).
//
// Failures name the peer ("dispatch.corvel.example:443"):
//   kNoAddress       "HOST has no address"
//   kConnectFailed   "cannot connect to HOST:PORT (connection refused)"
//   kTimedOut        "HOST:PORT did not answer within 30 s", "HOST:PORT sent nothing for 120 s"
//   kCancelled       "cancelled"
//   kConnectionLost  "HOST:PORT reset the connection", "the connection to HOST:PORT failed (...)"
//
// Ownership: owns its socket. Thread safety: one thread.
#pragma once

#include <cstdint>
#include <string>

#include "net/Socket.h"
#include "net/Stream.h"

class TcpStream : public Stream {
 public:
  explicit TcpStream(const Call& call) : call_(call), socket_(call) {}

  // Resolves host (the override table first) and connects.
  platform::Status Connect(const char* host, uint16_t port);

  platform::Status Send(const void* data, size_t n) override;
  platform::Status Receive(void* buffer, size_t n, size_t* got) override;
  void Close() override { socket_.CloseSocket(); }

 private:
  // The status of a failed send or receive, from the socket's last error.
  platform::Status TransferFailed() const;

  Call call_;
  CActiveSocket socket_;
  std::string peer_;  // "host:port", for messages
};
