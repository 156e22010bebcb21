#include "upload/PathClaims.h"

bool PathClaims::Claim(const void* owner, const std::string& user, const std::string& path) {
  std::lock_guard<std::mutex> g(m_);
  const auto [it, inserted] = owners_.try_emplace({user, path}, owner);
  return inserted || it->second == owner;
}

void PathClaims::Release(const void* owner, const std::string& user, const std::string& path) {
  std::lock_guard<std::mutex> g(m_);
  const auto it = owners_.find({user, path});
  if (it != owners_.end() && it->second == owner) owners_.erase(it);
}
