#include "store/HashGate.h"

#include <chrono>

bool HashGate::TryTake() {
  std::lock_guard<std::mutex> g(m_);
  if (held_) return false;
  held_ = true;
  return true;
}

bool HashGate::TakeWithin(int ms) {
  std::unique_lock<std::mutex> g(m_);
  if (!cv_.wait_for(g, std::chrono::milliseconds(ms), [this] { return !held_; })) return false;
  held_ = true;
  return true;
}

void HashGate::Release() {
  {
    std::lock_guard<std::mutex> g(m_);
    held_ = false;
  }
  cv_.notify_one();
}

bool HashGate::Held() {
  std::lock_guard<std::mutex> g(m_);
  return held_;
}
