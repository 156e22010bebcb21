#include "net/Socket.h"

#include <cstring>

using platform::SocketError;

CSimpleSocket::CSimpleSocket(const Call& call) : call_(call) {}

CSimpleSocket::~CSimpleSocket() {
  if (IsValid()) CloseSocket();
}

void CSimpleSocket::FreeBuffer() {
  buffer_.reset();
  bufferSize_ = 0;
}

platform::SocketWait CSimpleSocket::IdleWait() const {
  platform::SocketWait w;
  w.cancel = call_.cancel;
  w.limitMs = call_.transport.idleTimeoutMs.load();
  return w;
}

bool CSimpleSocket::CreateSocket() {
  // A second create would otherwise lose the first handle.
  if (IsValid()) CloseSocket();
  handle_ = Sockets().Create(&lastError_);
  return IsValid();
}

bool CSimpleSocket::CloseSocket() {
  FreeBuffer();
  if (!IsValid()) {
    SetLastError(SocketError::kNotConnected);
    return false;
  }
  bool ok = Sockets().Close(handle_, &lastError_);
  // The handle is gone either way; never close it twice.
  handle_ = platform::kInvalidSocket;
  return ok;
}

bool CSimpleSocket::IsValid() const {
  return handle_ != platform::kInvalidSocket;
}

int32_t CSimpleSocket::ReceiveChunk(int32_t maxBytes) {
  if (!IsValid() || maxBytes <= 0) return 0;
  if (buffer_ && maxBytes != bufferSize_) FreeBuffer();
  if (!buffer_) {
    buffer_ = std::make_unique<uint8_t[]>(static_cast<size_t>(maxBytes));
    bufferSize_ = maxBytes;
  }
  const int64_t n = Sockets().Receive(handle_, buffer_.get(), static_cast<size_t>(maxBytes),
                                      IdleWait(), &lastError_);
  if (n < 0) {
    FreeBuffer();
    return -1;
  }
  return static_cast<int32_t>(n);
}

int32_t CSimpleSocket::SendBytes(const void* data, int32_t length) {
  lastError_ = SocketError::kNone;
  if (!IsValid() || length <= 0 || data == nullptr) return 0;
  const int64_t n =
      Sockets().Send(handle_, data, static_cast<size_t>(length), IdleWait(), &lastError_);
  return static_cast<int32_t>(n);
}

int64_t CSimpleSocket::ReceiveInto(void* buffer, size_t n) {
  if (!IsValid() || n == 0) return 0;
  return Sockets().Receive(handle_, buffer, n, IdleWait(), &lastError_);
}

bool CSimpleSocket::SendAll(const void* data, size_t n) {
  lastError_ = SocketError::kNone;
  if (!IsValid()) {
    lastError_ = SocketError::kNotConnected;
    return false;
  }
  return n == 0 ||
         Sockets().Send(handle_, data, n, IdleWait(), &lastError_) == static_cast<int64_t>(n);
}

void CSimpleSocket::ResetPeerAddress() {
  std::memset(peer_, 0, sizeof peer_);
  peer_[0] = 2;  // IPv4
}

void CSimpleSocket::NoteAddresses() {
  Sockets().Addresses(handle_, peer_, local_);
}

bool CActiveSocket::Connect(const char* host, uint16_t port) {
  if (!IsValid()) {
    SetLastError(SocketError::kSocketError);
    return false;
  }
  if (host == nullptr) {
    SetLastError(SocketError::kInvalidAddress);
    return false;
  }
  if (port == 0) {
    SetLastError(SocketError::kInvalidPort);
    return false;
  }
  ResetPeerAddress();
  uint32_t addr = 0;
  SocketError error = SocketError::kNone;
  if (!call_.transport.resolver.ResolveIPv4(host, port, &addr, &error)) {
    SetLastError(error);
    return false;
  }
  if (addr == 0xFFFFFFFFu) {
    SetLastError(SocketError::kInvalidAddress);
    return false;
  }
  platform::SocketWait wait;
  wait.cancel = call_.cancel;
  wait.limitMs = call_.transport.connectTimeoutMs.load();
  if (!Sockets().Connect(Handle(), addr, port, wait, &error)) {
    SetLastError(error);
    return false;
  }
  NoteAddresses();
  SetLastError(SocketError::kNone);
  return true;
}
