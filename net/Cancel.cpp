#include "net/Cancel.h"

namespace {
thread_local const std::atomic<bool>* t_cancel = nullptr;
}  // namespace

ScopedCancelFlag::ScopedCancelFlag(const std::atomic<bool>* flag) : previous_(t_cancel) {
  t_cancel = flag;
}

ScopedCancelFlag::~ScopedCancelFlag() {
  t_cancel = previous_;
}

const std::atomic<bool>* CurrentCancelFlag() {
  return t_cancel;
}

bool CancelRequested() {
  return t_cancel != nullptr && t_cancel->load(std::memory_order_acquire);
}
