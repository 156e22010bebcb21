// The system resolver on Windows: getaddrinfo for IPv4 (Winsock is started by the socket seam).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>

#include "platform/Socket.h"

namespace platform {

bool SystemResolveIPv4(const char* host, uint32_t* addr, int* socketError) {
  SocketStartup();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &res);
  if (rc != 0 || res == nullptr) {
    *socketError = (rc == WSAHOST_NOT_FOUND || rc == WSANO_DATA || rc == WSANO_RECOVERY) ? 2 : 17;
    return false;
  }
  *addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(res);
  return true;
}

}  // namespace platform
