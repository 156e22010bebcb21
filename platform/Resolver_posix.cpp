// The system resolver on Linux: getaddrinfo for IPv4.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

namespace platform {

bool SystemResolveIPv4(const char* host, uint32_t* addr, int* socketError) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &res);
  if (rc != 0 || res == nullptr) {
    *socketError = (rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL) ? 2 : 17;
    return false;
  }
  *addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(res);
  return true;
}

}  // namespace platform
