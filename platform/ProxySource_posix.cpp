// Placeholder until the environment-variable proxy source lands: always direct.
#include "platform/ProxySource.h"

namespace platform {

bool SystemProxyString(const std::string&, std::string*) {
  return false;
}

}  // namespace platform
