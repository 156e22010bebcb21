// CSimpleSocket and CActiveSocket: one TCP connection, the bytes sent and received on it, and
// the reason of the last failure (LastError, platform/SocketSystem.h's codes).
//
// The bottom of every connection's stack of layers (net/TcpStream.h holds one): CreateSocket,
// Connect (to the server or to the user's proxy), sends and receives, CloseSocket.
// Every wait is bounded: a connect by the transport's connect time-out, a send or receive by
// its idle time-out, and any wait ends early when the call's cancel flag is set — the call then
// fails with kConnectionAborted. The sockets are the Env's (net/Transport.h).
//
// Ownership: the socket owns its handle (closed on destruction) and its receive buffer; it
// keeps a copy of the Call, whose Transport must outlive it.
// Thread safety: a socket belongs to the thread that made it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/Transport.h"
#include "platform/SocketSystem.h"

class CSimpleSocket {
 public:
  explicit CSimpleSocket(const Call& call);
  virtual ~CSimpleSocket();
  CSimpleSocket(const CSimpleSocket&) = delete;
  CSimpleSocket& operator=(const CSimpleSocket&) = delete;

  // A new socket (a valid one is closed first). False with LastError set.
  bool CreateSocket();
  // Releases the handle and the buffer; false (kNotConnected) when there was none.
  bool CloseSocket();
  bool IsValid() const;
  // Up to maxBytes: the count, 0 when the peer closed (or nothing was asked), -1 on error. The
  // bytes are at Received() until the next receive; a failed receive frees them (null).
  int32_t ReceiveChunk(int32_t maxBytes);
  const uint8_t* Received() const { return buffer_.get(); }
  // Sends length bytes: the count sent, -1 on error, 0 when nothing was attempted.
  int32_t SendBytes(const void* data, int32_t length);
  // Up to n bytes into the caller's buffer: the count, 0 when the peer closed, -1 on error.
  int64_t ReceiveInto(void* buffer, size_t n);
  // Sends all n bytes (in one wait of the seam, however many sends it takes); false on error.
  bool SendAll(const void* data, size_t n);

  platform::SocketError LastError() const { return lastError_; }
  // The connected socket's addresses as 16-byte socket address records (zeros before).
  const uint8_t* PeerAddress() const { return peer_; }
  const uint8_t* LocalAddress() const { return local_; }

 protected:
  platform::SocketSystem& Sockets() const { return call_.transport.env.Sockets(); }
  // The limits of this socket's next send or receive.
  platform::SocketWait IdleWait() const;
  platform::SocketHandle Handle() const { return handle_; }
  void SetLastError(platform::SocketError error) { lastError_ = error; }
  // Before a connect: the peer address holds only its family (IPv4).
  void ResetPeerAddress();
  // After a connect: both addresses as the system reports them.
  void NoteAddresses();

  const Call call_;

 private:
  void FreeBuffer();

  platform::SocketHandle handle_ = platform::kInvalidSocket;
  platform::SocketError lastError_ = platform::SocketError::kSocketError;
  std::unique_ptr<uint8_t[]> buffer_;
  int32_t bufferSize_ = 0;
  uint8_t peer_[16] = {};
  uint8_t local_[16] = {};
};

class CActiveSocket : public CSimpleSocket {
 public:
  using CSimpleSocket::CSimpleSocket;
  // Resolves host (the override table first) and connects; false with LastError
  // kSocketError (no socket), kInvalidAddress (null host or no address), kInvalidPort (port 0),
  // or the connect's error.
  bool Connect(const char* host, uint16_t port);
};
