// CSimpleSocket and CActiveSocket: one TCP connection, the bytes sent and received on it, and
// the reason of the last failure (LastError, codes of platform/Socket.h).
//
// The HTTP client makes one socket per request: CreateSocket, Connect (directly or through a
// proxy, net/ProxySocket.h), SendBytes one or more times, ReceiveChunk in a loop, CloseSocket.
// Every wait is bounded: a connect by the process's connect time-out, a send or receive by its
// idle time-out (platform/ProcessState.h), and any wait ends early when the calling thread's
// cancel flag is set (net/Cancel.h) — the call then fails with LastError 10.
//
// Thread safety: a socket belongs to the thread that made it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Socket.h"

class CSimpleSocket {
 public:
  CSimpleSocket();
  virtual ~CSimpleSocket();
  CSimpleSocket(const CSimpleSocket&) = delete;
  CSimpleSocket& operator=(const CSimpleSocket&) = delete;

  virtual bool CreateSocket();
  virtual bool CloseSocket();
  virtual bool ShutdownSend(int mode);
  virtual bool WaitReady(int32_t seconds, int32_t microseconds);
  virtual bool WaitReadyForever();
  virtual bool IsValid() const;
  // Up to maxBytes into Buffer: the count, 0 when the peer closed, -1 on error (Buffer freed).
  virtual int32_t ReceiveChunk(int32_t maxBytes);
  struct Piece {
    const void* data;
    int32_t length;
  };
  virtual int32_t SendBuffers(const Piece* pieces, int32_t count);
  // Sends length bytes: the count sent, -1 on error, 0 when nothing was attempted.
  virtual int32_t SendBytes(const void* data, int32_t length);
  // Not used by the client; always -1.
  virtual int32_t SendFileRange(CSimpleSocket* out, int fd, int64_t* offset, int32_t count);

  platform::SocketHandle Handle;
  int32_t LastError;
  uint8_t* Buffer;
  int32_t BufferSize;
  int32_t Family;
  int32_t Type;
  int32_t BytesReceived;
  int32_t BytesSent;
  int32_t ReceiveFlags;
  bool Blocking;
  int32_t ConnectTimeoutSec;
  int32_t ConnectTimeoutUsec;
  uint8_t PeerAddress[16];
  uint8_t LocalAddress[16];

 protected:
  // The wait limits of this thread's next send or receive.
  platform::SocketWait IdleWait() const;
  void FreeBuffer();
};

class CActiveSocket : public CSimpleSocket {
 public:
  ~CActiveSocket() override;
  // Resolves host (the override table first) and connects; false with LastError 1 (no
  // socket), 2 (null host or no address), 3 (port 0), or the connect's error.
  virtual bool Connect(const char* host, uint16_t port);
};
