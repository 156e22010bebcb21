// The local paths held by the live managers of a runtime, per user, so that two controls in
// one process never give one file (and its task file) two tasks and two workers.
//
// Thread safety: every method takes the lock; managers on any thread share one.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <tuple>

class PathClaims {
 public:
  // True when owner now holds (user, path): it held it already, or nobody did.
  bool Claim(const void* owner, const std::string& user, const std::string& path);
  void Release(const void* owner, const std::string& user, const std::string& path);

 private:
  struct Entry {
    const void* owner;
    std::string user;
    std::string path;
    bool operator<(const Entry& o) const {
      return std::tie(owner, user, path) < std::tie(o.owner, o.user, o.path);
    }
  };
  std::mutex m_;
  std::set<Entry> entries_;
};
