#include "net/Socket.h"

#include <cstring>

#include "net/Cancel.h"
#include "platform/ProcessState.h"
#include "platform/Resolver.h"

CSimpleSocket::CSimpleSocket()
    : Handle(platform::kInvalidSocket),
      LastError(1),
      Buffer(nullptr),
      BufferSize(0),
      Family(2),
      Type(1),
      BytesReceived(-1),
      BytesSent(-1),
      ReceiveFlags(0),
      Blocking(true),
      ConnectTimeoutSec(1),
      ConnectTimeoutUsec(0),
      PeerAddress{},
      LocalAddress{} {}

CSimpleSocket::~CSimpleSocket() {
  FreeBuffer();
}

void CSimpleSocket::FreeBuffer() {
  delete[] Buffer;
  Buffer = nullptr;
  BufferSize = 0;
}

platform::SocketWait CSimpleSocket::IdleWait() const {
  platform::SocketWait w;
  w.cancel = CurrentCancelFlag();
  w.limitMs = platform::Process().IdleTimeoutMs.load();
  return w;
}

bool CSimpleSocket::CreateSocket() {
  // A second create would otherwise lose the first handle.
  if (IsValid()) CloseSocket();
  platform::SocketStartup();
  int error = 0;
  Handle = platform::SocketCreate(&error);
  LastError = error;
  return IsValid();
}

bool CSimpleSocket::CloseSocket() {
  FreeBuffer();
  if (!IsValid()) {
    LastError = 7;
    return false;
  }
  int error = 0;
  bool ok = platform::SocketClose(Handle, &error);
  LastError = error;
  // The handle is gone either way; never close it twice.
  Handle = platform::kInvalidSocket;
  return ok;
}

bool CSimpleSocket::ShutdownSend(int) {
  int error = 7;
  bool ok = IsValid() && platform::SocketShutdownSend(Handle, &error);
  LastError = error;
  return ok;
}

bool CSimpleSocket::WaitReady(int32_t seconds, int32_t microseconds) {
  if (!IsValid()) {
    LastError = 7;
    return false;
  }
  int64_t limit = 0;
  if (seconds > 0 || microseconds > 0) {
    limit =
        int64_t{seconds > 0 ? seconds : 0} * 1000 + (microseconds > 0 ? microseconds : 0) / 1000;
    if (limit == 0) limit = 1;
    if (limit > INT32_MAX) limit = INT32_MAX;
  }
  int error = 0;
  bool ok = platform::SocketWaitReady(Handle, static_cast<int>(limit), &error);
  LastError = error;
  return ok;
}

bool CSimpleSocket::WaitReadyForever() {
  return WaitReady(0, 0);
}

bool CSimpleSocket::IsValid() const {
  return Handle != platform::kInvalidSocket;
}

int32_t CSimpleSocket::ReceiveChunk(int32_t maxBytes) {
  BytesReceived = 0;
  if (!IsValid() || maxBytes <= 0) return 0;
  if (Buffer != nullptr && maxBytes != BufferSize) FreeBuffer();
  if (Buffer == nullptr) {
    Buffer = new uint8_t[static_cast<size_t>(maxBytes)];
    BufferSize = maxBytes;
  }
  int error = 0;
  int64_t n =
      platform::SocketRecv(Handle, Buffer, static_cast<size_t>(maxBytes), IdleWait(), &error);
  LastError = error;
  BytesReceived = static_cast<int32_t>(n);
  if (BytesReceived == -1) FreeBuffer();
  return BytesReceived;
}

int32_t CSimpleSocket::SendBuffers(const Piece* pieces, int32_t count) {
  int32_t total = 0;
  for (int32_t i = 0; i < count; ++i) {
    int32_t n = SendBytes(pieces[i].data, pieces[i].length);
    if (n < 0) return -1;
    total += n;
  }
  return total;
}

int32_t CSimpleSocket::SendBytes(const void* data, int32_t length) {
  LastError = 0;
  BytesSent = 0;
  if (!IsValid() || length <= 0 || data == nullptr) return 0;
  int error = 0;
  int64_t n = platform::SocketSend(Handle, data, static_cast<size_t>(length), IdleWait(), &error);
  LastError = error;
  BytesSent = static_cast<int32_t>(n);
  return BytesSent;
}

int32_t CSimpleSocket::SendFileRange(CSimpleSocket*, int, int64_t*, int32_t) {
  LastError = 17;
  return -1;
}

CActiveSocket::~CActiveSocket() {
  if (IsValid()) CloseSocket();
}

bool CActiveSocket::Connect(const char* host, uint16_t port) {
  if (!IsValid()) {
    LastError = 1;
    return false;
  }
  if (host == nullptr) {
    LastError = 2;
    return false;
  }
  if (port == 0) {
    LastError = 3;
    return false;
  }
  std::memset(PeerAddress, 0, sizeof PeerAddress);
  PeerAddress[0] = 2;  // IPv4
  uint32_t addr = 0;
  int error = 0;
  if (!platform::ResolveIPv4(host, port, &addr, &error)) {
    LastError = error;
    return false;
  }
  if (addr == 0xFFFFFFFFu) {
    LastError = 2;
    return false;
  }
  platform::SocketWait wait;
  wait.cancel = CurrentCancelFlag();
  wait.limitMs = platform::Process().ConnectTimeoutMs.load();
  if (!platform::SocketConnect(Handle, addr, port, wait, &error)) {
    LastError = error;
    return false;
  }
  platform::SocketAddresses(Handle, PeerAddress, LocalAddress);
  LastError = 0;
  return true;
}
