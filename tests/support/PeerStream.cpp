#include "tests/support/PeerStream.h"

namespace testing_support {

std::string PeerStream::ReadUntil(const std::string& marker, size_t limit) {
  std::string data;
  while (data.size() < limit) {
    const std::string byte = Take(1, kReadTimeoutMs);
    if (byte.empty()) break;
    data += byte;
    if (data.size() >= marker.size() &&
        data.compare(data.size() - marker.size(), marker.size(), marker) == 0) {
      break;
    }
  }
  return data;
}

std::string PeerStream::ReadExactly(size_t n) {
  std::string data;
  while (data.size() < n) {
    const std::string more = Take(n - data.size(), kReadTimeoutMs);
    if (more.empty()) break;
    data += more;
  }
  return data;
}

std::string PeerStream::ReadAll(int timeoutMs) {
  std::string data;
  for (;;) {
    const std::string more = Take(64 * 1024, timeoutMs);
    if (more.empty()) return data;
    data += more;
  }
}

}  // namespace testing_support
