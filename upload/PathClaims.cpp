#include "upload/PathClaims.h"

bool PathClaims::Claim(const void* owner, const std::string& user, const std::string& path) {
  std::lock_guard<std::mutex> g(m_);
  for (const Entry& e : entries_) {
    if (e.user == user && e.path == path) return e.owner == owner;
  }
  entries_.insert({owner, user, path});
  return true;
}

void PathClaims::Release(const void* owner, const std::string& user, const std::string& path) {
  std::lock_guard<std::mutex> g(m_);
  entries_.erase({owner, user, path});
}
