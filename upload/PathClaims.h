// The local paths held by the live managers of a runtime, per user, so that two controls in
// one process never give one file (and its task file) two tasks and two workers.
//
// Thread safety: every method takes the lock; managers on any thread share one.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>

class PathClaims {
 public:
  // True when owner now holds (user, path): it held it already, or nobody did.
  bool Claim(const void* owner, const std::string& user, const std::string& path);
  void Release(const void* owner, const std::string& user, const std::string& path);

 private:
  std::mutex m_;
  std::map<std::pair<std::string, std::string>, const void*> owners_;  // (user, path) -> owner
};
