// Winsock 2 behind the socket seam: non-blocking sockets waited on with select() in slices, and
// getaddrinfo. The socket library is started when the seam is first used and stays started.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/SocketSystem.h"
#include "platform/SocketWait.h"

namespace platform {
namespace {

SocketError MapWsa(int e) {
  switch (e) {
    case 0:
      return SocketError::kNone;
    case WSAEACCES:
    case WSAEINVAL:
    case WSAEMFILE:
    case WSAENOTSOCK:
    case WSAEPROTONOSUPPORT:
    case WSAEAFNOSUPPORT:
    case WSAENOBUFS:
      return SocketError::kSocketError;
    case WSANO_DATA:
      return SocketError::kInvalidAddress;
    case WSAECONNREFUSED:
      return SocketError::kConnectionRefused;
    case WSAETIMEDOUT:
      return SocketError::kTimedOut;
    case WSAEWOULDBLOCK:
      return SocketError::kWouldBlock;
    case WSAEBADF:
    case WSAENOTCONN:
      return SocketError::kNotConnected;
    case WSAEINPROGRESS:
    case WSAEALREADY:
      return SocketError::kInProgress;
    case WSAEINTR:
      return SocketError::kInterrupted;
    case WSAECONNABORTED:
      return SocketError::kConnectionAborted;
    case WSAECONNRESET:
      return SocketError::kConnectionReset;
    case WSAEADDRINUSE:
      return SocketError::kAddressInUse;
    case WSAEFAULT:
      return SocketError::kInvalidPointer;
    default:
      return SocketError::kUnknown;
  }
}

// 1 ready, 0 time limit (kTimedOut), -1 cancelled (kConnectionAborted) or failed.
int WaitFor(SOCKET s, bool write, const SocketWait& wait, int64_t deadline, SocketError* error) {
  return WaitInSlices(wait, deadline, error, [&](int sliceMs) {
    fd_set set, err;
    FD_ZERO(&set);
    FD_ZERO(&err);
    FD_SET(s, &set);
    FD_SET(s, &err);
    timeval tv{sliceMs / 1000, (sliceMs % 1000) * 1000};
    const int r = select(0, write ? nullptr : &set, write ? &set : nullptr, &err, &tv);
    if (r > 0) return 1;
    if (r < 0) {
      *error = MapWsa(WSAGetLastError());
      return -1;
    }
    return 0;
  });
}

// The socket library, started once for the life of the process.
class WinsockSockets : public SocketSystem {
 public:
  WinsockSockets() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);
  }

  SocketHandle Create(SocketError* error) override {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
      *error = MapWsa(WSAGetLastError());
      return kInvalidSocket;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    *error = SocketError::kNone;
    return static_cast<SocketHandle>(s);
  }

  bool Connect(SocketHandle h, uint32_t addr, uint16_t port, const SocketWait& wait,
               SocketError* error) override {
    SOCKET s = static_cast<SOCKET>(h);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = htons(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
      *error = SocketError::kNone;
      return true;
    }
    int e = WSAGetLastError();
    if (e != WSAEWOULDBLOCK && e != WSAEINPROGRESS) {
      *error = MapWsa(e);
      return false;
    }
    if (WaitFor(s, true, wait, WaitDeadline(wait), error) <= 0) return false;
    int soError = 0;
    int len = sizeof soError;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) != 0) {
      *error = MapWsa(WSAGetLastError());
      return false;
    }
    *error = MapWsa(soError);
    return soError == 0;
  }

  int64_t Send(SocketHandle h, const void* data, size_t n, const SocketWait& wait,
               SocketError* error) override {
    SOCKET s = static_cast<SOCKET>(h);
    const char* p = static_cast<const char*>(data);
    size_t left = n;
    int64_t deadline = WaitDeadline(wait);
    while (left > 0) {
      if (WaitCancelled(wait, error)) return -1;
      int chunk = left > 0x100000 ? 0x100000 : static_cast<int>(left);
      int k = send(s, p, chunk, 0);
      if (k > 0) {
        p += k;
        left -= static_cast<size_t>(k);
        deadline = WaitDeadline(wait);
        continue;
      }
      int e = WSAGetLastError();
      if (k < 0 && (e == WSAEWOULDBLOCK || e == WSAEINTR)) {
        if (WaitFor(s, true, wait, deadline, error) <= 0) return -1;
        continue;
      }
      *error = MapWsa(e);
      return -1;
    }
    *error = SocketError::kNone;
    return static_cast<int64_t>(n);
  }

  int64_t Receive(SocketHandle h, void* buffer, size_t n, const SocketWait& wait,
                  SocketError* error) override {
    SOCKET s = static_cast<SOCKET>(h);
    int64_t deadline = WaitDeadline(wait);
    for (;;) {
      if (WaitCancelled(wait, error)) return -1;
      int k = recv(s, static_cast<char*>(buffer), n > 0x100000 ? 0x100000 : static_cast<int>(n), 0);
      if (k >= 0) {
        *error = SocketError::kNone;
        return k;
      }
      int e = WSAGetLastError();
      if (e == WSAEWOULDBLOCK || e == WSAEINTR) {
        if (WaitFor(s, false, wait, deadline, error) <= 0) return -1;
        continue;
      }
      *error = MapWsa(e);
      return -1;
    }
  }

  bool ShutdownSend(SocketHandle h, SocketError* error) override {
    int r = shutdown(static_cast<SOCKET>(h), SD_SEND);
    *error = r == 0 ? SocketError::kNone : MapWsa(WSAGetLastError());
    return r == 0;
  }

  bool Close(SocketHandle h, SocketError* error) override {
    int r = closesocket(static_cast<SOCKET>(h));
    *error = r == 0 ? SocketError::kNone : MapWsa(WSAGetLastError());
    return r == 0;
  }

  bool Addresses(SocketHandle h, uint8_t peer[16], uint8_t local[16]) override {
    sockaddr_in a{};
    int len = sizeof a;
    if (getpeername(static_cast<SOCKET>(h), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return false;
    }
    std::memcpy(peer, &a, 16);
    len = sizeof a;
    if (getsockname(static_cast<SOCKET>(h), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return false;
    }
    std::memcpy(local, &a, 16);
    return true;
  }

  bool LookUp(const char* host, uint32_t* addr, SocketError* error) override {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
      *error = (rc == WSAHOST_NOT_FOUND || rc == WSANO_DATA || rc == WSANO_RECOVERY)
                   ? SocketError::kInvalidAddress
                   : SocketError::kUnknown;
      return false;
    }
    *addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return true;
  }
};

}  // namespace

SocketSystem& SocketSystem::Default() {
  static WinsockSockets sockets;
  return sockets;
}

}  // namespace platform
