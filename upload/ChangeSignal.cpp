#include "upload/ChangeSignal.h"

#include <chrono>

void ChangeSignal::Notify() {
  {
    std::lock_guard<std::mutex> g(m_);
    ++count_;
  }
  cv_.notify_all();
}

uint64_t ChangeSignal::Count() {
  std::lock_guard<std::mutex> g(m_);
  return count_;
}

uint64_t ChangeSignal::WaitBeyond(uint64_t seen, int timeoutMs) {
  std::unique_lock<std::mutex> g(m_);
  cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return count_ != seen; });
  return count_;
}
