// BSD sockets behind the socket seam.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/Socket.h"

namespace platform {
namespace {

constexpr int kSliceMs = 50;

int MapErrno(int e) {
  switch (e) {
    case 0:
      return 0;
    case EACCES:
    case EINVAL:
    case EMFILE:
    case ENFILE:
    case ENOTSOCK:
    case EPROTONOSUPPORT:
    case EAFNOSUPPORT:
    case ENOBUFS:
      return 1;
    case ECONNREFUSED:
      return 4;
    case ETIMEDOUT:
      return 5;
    case EWOULDBLOCK:
      return 6;
    case EBADF:
    case ENOTCONN:
    case EPIPE:
      return 7;
    case EINPROGRESS:
    case EALREADY:
      return 8;
    case EINTR:
      return 9;
    case ECONNABORTED:
      return 10;
    case ECONNRESET:
      return 14;
    case EADDRINUSE:
      return 15;
    case EFAULT:
      return 16;
    default:
      return 17;
  }
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits for events on s in slices. 1: ready; 0: time limit passed (*error 5); -1: cancelled
// (*error 10) or poll failed.
int WaitFor(SocketHandle s, short events, const SocketWait& wait, int64_t deadline, int* error) {
  for (;;) {
    if (wait.cancel && wait.cancel->load(std::memory_order_acquire)) {
      *error = 10;
      return -1;
    }
    int slice = kSliceMs;
    if (deadline > 0) {
      int64_t left = deadline - NowMs();
      if (left <= 0) {
        *error = 5;
        return 0;
      }
      if (left < slice) slice = static_cast<int>(left);
    }
    pollfd p{static_cast<int>(s), events, 0};
    int r = ::poll(&p, 1, slice);
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR) {
      *error = MapErrno(errno);
      return -1;
    }
  }
}

int64_t Deadline(const SocketWait& wait) {
  return wait.limitMs > 0 ? NowMs() + wait.limitMs : 0;
}

}  // namespace

void SocketStartup() {}

SocketHandle SocketCreate(int* error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = MapErrno(errno);
    return kInvalidSocket;
  }
  *error = 0;
  return fd;
}

bool SocketConnect(SocketHandle s, uint32_t addr, uint16_t port, const SocketWait& wait,
                   int* error) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  sa.sin_port = htons(port);
  if (::connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
    *error = 0;
    return true;
  }
  if (errno != EINPROGRESS && errno != EINTR) {
    *error = MapErrno(errno);
    return false;
  }
  int r = WaitFor(s, POLLOUT, wait, Deadline(wait), error);
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

int64_t SocketSend(SocketHandle s, const void* data, size_t n, const SocketWait& wait, int* error) {
  const char* p = static_cast<const char*>(data);
  size_t left = n;
  int64_t deadline = Deadline(wait);
  while (left > 0) {
    if (wait.cancel && wait.cancel->load(std::memory_order_acquire)) {
      *error = 10;
      return -1;
    }
    ssize_t k = ::send(static_cast<int>(s), p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (k > 0) {
      p += k;
      left -= static_cast<size_t>(k);
      deadline = Deadline(wait);
      continue;
    }
    if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (WaitFor(s, POLLOUT, wait, deadline, error) <= 0) return -1;
      continue;
    }
    *error = k < 0 ? MapErrno(errno) : 17;
    return -1;
  }
  *error = 0;
  return static_cast<int64_t>(n);
}

int64_t SocketRecv(SocketHandle s, void* buffer, size_t n, const SocketWait& wait, int* error) {
  int64_t deadline = Deadline(wait);
  for (;;) {
    if (wait.cancel && wait.cancel->load(std::memory_order_acquire)) {
      *error = 10;
      return -1;
    }
    ssize_t k = ::recv(static_cast<int>(s), buffer, n, MSG_DONTWAIT);
    if (k >= 0) {
      *error = 0;
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

bool SocketShutdownSend(SocketHandle s, int* error) {
  int r = ::shutdown(static_cast<int>(s), SHUT_WR);
  *error = r == 0 ? 0 : MapErrno(errno);
  return r == 0;
}

bool SocketClose(SocketHandle s, int* error) {
  int r = ::close(static_cast<int>(s));
  // Linux releases the descriptor even when close is interrupted; retrying could close a
  // descriptor another thread has just been given.
  if (r != 0 && errno == EINTR) r = 0;
  *error = r == 0 ? 0 : MapErrno(errno);
  return r == 0;
}

bool SocketAddresses(SocketHandle s, uint8_t peer[16], uint8_t local[16]) {
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

bool SocketWaitReady(SocketHandle s, int limitMs, int* error) {
  SocketWait wait;
  wait.limitMs = limitMs;
  int64_t deadline = Deadline(wait);
  if (WaitFor(s, POLLIN | POLLOUT, wait, deadline, error) <= 0) return false;
  int soError = 0;
  socklen_t len = sizeof soError;
  if (::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &soError, &len) != 0) {
    *error = MapErrno(errno);
    return false;
  }
  *error = MapErrno(soError);
  return soError == 0;
}

}  // namespace platform
