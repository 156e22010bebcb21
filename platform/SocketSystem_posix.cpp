// BSD sockets and getaddrinfo behind the socket seam.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/SocketSystem.h"
#include "platform/SocketWait.h"

namespace platform {
namespace {

SocketError MapErrno(int e) {
  switch (e) {
    case 0:
      return SocketError::kNone;
    case EACCES:
    case EINVAL:
    case EMFILE:
    case ENFILE:
    case ENOTSOCK:
    case EPROTONOSUPPORT:
    case EAFNOSUPPORT:
    case ENOBUFS:
      return SocketError::kSocketError;
    case ECONNREFUSED:
      return SocketError::kConnectionRefused;
    case ETIMEDOUT:
      return SocketError::kTimedOut;
    case EWOULDBLOCK:
      return SocketError::kWouldBlock;
    case EBADF:
    case ENOTCONN:
    case EPIPE:
      return SocketError::kNotConnected;
    case EINPROGRESS:
    case EALREADY:
      return SocketError::kInProgress;
    case EINTR:
      return SocketError::kInterrupted;
    case ECONNABORTED:
      return SocketError::kConnectionAborted;
    case ECONNRESET:
      return SocketError::kConnectionReset;
    case EADDRINUSE:
      return SocketError::kAddressInUse;
    case EFAULT:
      return SocketError::kInvalidPointer;
    default:
      return SocketError::kUnknown;
  }
}

// Waits for events on s. 1: ready; 0: time limit passed (kTimedOut); -1: cancelled
// (kConnectionAborted) or poll failed.
int WaitFor(SocketHandle s, short events, const SocketWait& wait, int64_t deadline,
            SocketError* error) {
  return WaitInSlices(wait, deadline, error, [&](int sliceMs) {
    pollfd p{static_cast<int>(s), events, 0};
    const int r = ::poll(&p, 1, sliceMs);
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR) {
      *error = MapErrno(errno);
      return -1;
    }
    return 0;
  });
}

class PosixSockets : public SocketSystem {
 public:
  SocketHandle Create(SocketError* error) override {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      *error = MapErrno(errno);
      return kInvalidSocket;
    }
    *error = SocketError::kNone;
    return fd;
  }

  bool Connect(SocketHandle s, uint32_t addr, uint16_t port, const SocketWait& wait,
               SocketError* error) override {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = htons(port);
    if (::connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
      *error = SocketError::kNone;
      return true;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
      *error = MapErrno(errno);
      return false;
    }
    int r = WaitFor(s, POLLOUT, wait, WaitDeadline(wait), error);
    if (r <= 0) return false;
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
      *error = MapErrno(errno);
      return false;
    }
    *error = MapErrno(soError);
    return soError == 0;
  }

  int64_t Send(SocketHandle s, const void* data, size_t n, const SocketWait& wait,
               SocketError* error) override {
    const char* p = static_cast<const char*>(data);
    size_t left = n;
    int64_t deadline = WaitDeadline(wait);
    while (left > 0) {
      if (WaitCancelled(wait, error)) return -1;
      ssize_t k = ::send(static_cast<int>(s), p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (k > 0) {
        p += k;
        left -= static_cast<size_t>(k);
        deadline = WaitDeadline(wait);
        continue;
      }
      if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        if (WaitFor(s, POLLOUT, wait, deadline, error) <= 0) return -1;
        continue;
      }
      *error = k < 0 ? MapErrno(errno) : SocketError::kUnknown;
      return -1;
    }
    *error = SocketError::kNone;
    return static_cast<int64_t>(n);
  }

  int64_t Receive(SocketHandle s, void* buffer, size_t n, const SocketWait& wait,
                  SocketError* error) override {
    int64_t deadline = WaitDeadline(wait);
    for (;;) {
      if (WaitCancelled(wait, error)) return -1;
      ssize_t k = ::recv(static_cast<int>(s), buffer, n, MSG_DONTWAIT);
      if (k >= 0) {
        *error = SocketError::kNone;
        return k;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        if (WaitFor(s, POLLIN, wait, deadline, error) <= 0) return -1;
        continue;
      }
      *error = MapErrno(errno);
      return -1;
    }
  }

  bool ShutdownSend(SocketHandle s, SocketError* error) override {
    int r = ::shutdown(static_cast<int>(s), SHUT_WR);
    *error = r == 0 ? SocketError::kNone : MapErrno(errno);
    return r == 0;
  }

  bool Close(SocketHandle s, SocketError* error) override {
    int r = ::close(static_cast<int>(s));
    // Linux releases the descriptor even when close is interrupted; retrying could close a
    // descriptor another thread has just been given.
    if (r != 0 && errno == EINTR) r = 0;
    *error = r == 0 ? SocketError::kNone : MapErrno(errno);
    return r == 0;
  }

  bool Addresses(SocketHandle s, uint8_t peer[16], uint8_t local[16]) override {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getpeername(static_cast<int>(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      return false;
    }
    std::memcpy(peer, &a, 16);
    len = sizeof a;
    if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
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
      *error = (rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL)
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
  static PosixSockets sockets;
  return sockets;
}

}  // namespace platform
