// The operating system's TCP sockets, as the socket classes of net/ need them.
//
// Every call that can wait (connect, send, receive) waits in short slices, so that it gives up
// promptly when the caller's cancel flag is set (error 10, connection aborted) or when its time
// limit passes without progress (error 5, timed out): limitMs bounds a connect as a whole, and a
// send or receive while no byte moves. The socket itself stays in non-blocking mode inside this
// seam; to its callers every call is a blocking one. A send never raises SIGPIPE.
//
// Error codes are those of the socket classes' LastError table, on every platform:
//   0 success, 1 socket error, 2 invalid address, 3 invalid port, 4 connection refused,
//   5 timed out, 6 would block, 7 not connected, 8 in progress, 9 interrupted,
//   10 connection aborted, 14 connection reset, 15 address in use, 16 invalid pointer,
//   17 unknown.
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

// Starts the socket library when the platform needs it (idempotent).
void SocketStartup();
// A new IPv4 stream socket; kInvalidSocket and *error on failure.
SocketHandle SocketCreate(int* error);
// Connects to addr (network byte order) and port (host order).
bool SocketConnect(SocketHandle s, uint32_t addr, uint16_t port, const SocketWait& wait,
                   int* error);
// Sends all n bytes; the count sent (n) or -1 with *error.
int64_t SocketSend(SocketHandle s, const void* data, size_t n, const SocketWait& wait, int* error);
// Receives up to n bytes: the count, 0 when the peer closed, -1 with *error.
int64_t SocketRecv(SocketHandle s, void* buffer, size_t n, const SocketWait& wait, int* error);
bool SocketShutdownSend(SocketHandle s, int* error);
bool SocketClose(SocketHandle s, int* error);
// The connected socket's peer and local IPv4 addresses (16-byte socket address records).
bool SocketAddresses(SocketHandle s, uint8_t peer[16], uint8_t local[16]);
// Waits until the socket is readable or writable, at most limitMs (0: no limit); true when it
// is ready with no pending error.
bool SocketWaitReady(SocketHandle s, int limitMs, int* error);

}  // namespace platform
