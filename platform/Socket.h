// The operating system's TCP sockets, as the socket classes of net/ need them: the one seam a
// platform backend implements (Socket_posix.cpp over BSD sockets, Socket_win32.cpp over
// Winsock 2).
//
// Contract of a backend:
//   - Sockets are IPv4 stream sockets. A backend may keep them in non-blocking mode inside the
//     seam, but to its callers every call is a blocking one: it returns when the work is done,
//     has failed, has run out of time, or has been cancelled.
//   - Every call that can wait (connect, send, receive) waits in short slices (about 50 ms) and
//     between slices checks wait.cancel: once it reads true the call fails with error 10
//     (connection aborted) without touching the socket further. wait.limitMs bounds a connect
//     as a whole, and a send or receive while no byte moves (the limit starts again after
//     every byte that moves); when it passes, the call fails with error 5 (timed out).
//     limitMs 0 means no limit; a null cancel pointer means no cancel.
//   - A send never raises a signal (SIGPIPE): a peer that went away is error 7 or 14.
//   - An interrupted system call is retried inside the seam; callers never see error 9.
//   - Closing releases the handle whatever the result; it is never closed twice.
//
// Error codes are those of the socket classes' LastError table, on every platform:
//   0 success, 1 socket error, 2 invalid address, 3 invalid port, 4 connection refused,
//   5 timed out, 6 would block, 7 not connected, 8 in progress, 9 interrupted,
//   10 connection aborted, 14 connection reset, 15 address in use, 16 invalid pointer,
//   17 unknown (codes 11 to 13 are never produced).
// Linux maps errno (EACCES EINVAL EMFILE ENFILE ENOTSOCK EPROTONOSUPPORT EAFNOSUPPORT ENOBUFS
// -> 1, ECONNREFUSED -> 4, ETIMEDOUT -> 5, EWOULDBLOCK -> 6, EBADF ENOTCONN EPIPE -> 7,
// EINPROGRESS EALREADY -> 8, EINTR -> 9, ECONNABORTED -> 10, ECONNRESET -> 14, EADDRINUSE ->
// 15, EFAULT -> 16); Windows maps the WSAE... codes of the same names (WSANO_DATA -> 2).
//
// Thread safety: a socket belongs to one thread; the cancel flag may be set from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform {

using SocketHandle = intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

struct SocketWait {
  const std::atomic<bool>* cancel = nullptr;  // may be null
  int limitMs = 0;                            // 0: no limit
};

// Starts the socket library when the platform needs it (idempotent, callable from any thread).
void SocketStartup();
// A new IPv4 stream socket; kInvalidSocket and *error on failure.
SocketHandle SocketCreate(int* error);
// Connects to addr (network byte order) and port (host order), bounded by wait.limitMs as a
// whole. False with *error: 4 refused, 5 timed out, 10 cancelled, ...
bool SocketConnect(SocketHandle s, uint32_t addr, uint16_t port, const SocketWait& wait,
                   int* error);
// Sends all n bytes, continuing after partial sends; the count sent (n) or -1 with *error
// (bytes may have gone out before the failure).
int64_t SocketSend(SocketHandle s, const void* data, size_t n, const SocketWait& wait, int* error);
// Receives up to n bytes: the count, 0 when the peer closed, -1 with *error.
int64_t SocketRecv(SocketHandle s, void* buffer, size_t n, const SocketWait& wait, int* error);
bool SocketShutdownSend(SocketHandle s, int* error);
bool SocketClose(SocketHandle s, int* error);
// The connected socket's peer and local IPv4 addresses, as 16-byte socket address records
// (family, port in network byte order, address, zero padding).
bool SocketAddresses(SocketHandle s, uint8_t peer[16], uint8_t local[16]);
// Waits until the socket is readable or writable, at most limitMs (0: no limit); true when it
// is ready with no pending error.
bool SocketWaitReady(SocketHandle s, int limitMs, int* error);

}  // namespace platform
