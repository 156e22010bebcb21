// The operating system's TCP sockets, as the socket classes of net/ need them: the seam that a
// platform backend implements (SocketSystem_posix.cpp over BSD sockets, SocketSystem_win32.cpp
// over Winsock 2) and that tests replace with an in-memory twin (reached through Env::Sockets).
//
// Contract of a backend:
//   - Sockets are IPv4 stream sockets. A backend may keep them in non-blocking mode inside the
//     seam, but to its callers every call is a blocking one: it returns when the work is done,
//     has failed, has run out of time, or has been cancelled.
//   - Every call that can wait (connect, send, receive) checks wait.cancel at least every 50 ms
//     while it waits; once it reads true the call fails with kConnectionAborted without touching
//     the socket further. wait.limitMs bounds a connect as a whole, and a send or receive while
//     no byte moves (the limit starts again after every byte that moves); when it passes, the
//     call fails with kTimedOut. limitMs 0 means no limit; a null cancel pointer, no cancel.
//   - A send never raises a signal (SIGPIPE): a peer that went away is kNotConnected or
//     kConnectionReset.
//   - An interrupted system call is retried inside the seam; callers never see kInterrupted.
//   - Closing releases the handle whatever the result; it is never closed twice.
//
// Error codes are those of the socket classes' LastError table, on every platform (codes 11 to
// 13 are never produced). Linux maps errno (EACCES EINVAL EMFILE ENFILE ENOTSOCK
// EPROTONOSUPPORT EAFNOSUPPORT ENOBUFS -> kSocketError, ECONNREFUSED -> kConnectionRefused,
// ETIMEDOUT -> kTimedOut, EWOULDBLOCK -> kWouldBlock, EBADF ENOTCONN EPIPE -> kNotConnected,
// EINPROGRESS EALREADY -> kInProgress, EINTR -> kInterrupted, ECONNABORTED ->
// kConnectionAborted, ECONNRESET -> kConnectionReset, EADDRINUSE -> kAddressInUse, EFAULT ->
// kInvalidPointer, anything else kUnknown); Windows maps the WSAE... codes of the same names.
//
// Thread safety: a socket belongs to one thread; the cancel flag may be set from any thread.
// Every method of a SocketSystem may be called from any thread at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform {

enum class SocketError : int32_t {
  kNone = 0,
  kSocketError = 1,
  kInvalidAddress = 2,
  kInvalidPort = 3,
  kConnectionRefused = 4,
  kTimedOut = 5,
  kWouldBlock = 6,
  kNotConnected = 7,
  kInProgress = 8,
  kInterrupted = 9,
  kConnectionAborted = 10,
  kConnectionReset = 14,
  kAddressInUse = 15,
  kInvalidPointer = 16,
  kUnknown = 17,
};

using SocketHandle = intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

struct SocketWait {
  const std::atomic<bool>* cancel = nullptr;  // may be null
  int limitMs = 0;                            // 0: no limit
};

class SocketSystem {
 public:
  virtual ~SocketSystem() = default;

  // The operating system's sockets (the socket library is started on first use and stays).
  static SocketSystem& Default();

  // A new IPv4 stream socket; kInvalidSocket and *error on failure.
  virtual SocketHandle Create(SocketError* error) = 0;
  // Connects to addr (network byte order) and port (host order), bounded by wait.limitMs as a
  // whole: kConnectionRefused, kTimedOut, kConnectionAborted (cancelled), ...
  virtual bool Connect(SocketHandle s, uint32_t addr, uint16_t port, const SocketWait& wait,
                       SocketError* error) = 0;
  // Sends all n bytes, continuing after partial sends; the count sent (n) or -1 with *error
  // (bytes may have gone out before the failure).
  virtual int64_t Send(SocketHandle s, const void* data, size_t n, const SocketWait& wait,
                       SocketError* error) = 0;
  // Receives up to n bytes: the count, 0 when the peer closed, -1 with *error.
  virtual int64_t Receive(SocketHandle s, void* buffer, size_t n, const SocketWait& wait,
                          SocketError* error) = 0;
  virtual bool ShutdownSend(SocketHandle s, SocketError* error) = 0;
  virtual bool Close(SocketHandle s, SocketError* error) = 0;
  // The connected socket's peer and local IPv4 addresses, as 16-byte socket address records
  // (family, port in network byte order, address, zero padding).
  virtual bool Addresses(SocketHandle s, uint8_t peer[16], uint8_t local[16]) = 0;
  // The system resolver: host's IPv4 address in network byte order; kInvalidAddress when the
  // name has no address record, kUnknown for any other failure.
  virtual bool LookUp(const char* host, uint32_t* addr, SocketError* error) = 0;
};

}  // namespace platform
