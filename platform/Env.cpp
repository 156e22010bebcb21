#include "platform/Env.h"

#include <atomic>

namespace platform {
namespace {
std::atomic<Env*> g_test_env{nullptr};
}  // namespace

Env& Env::Current() {
  Env* e = g_test_env.load(std::memory_order_acquire);
  return e ? *e : Default();
}

void SetEnvForTest(Env* env) {
  g_test_env.store(env, std::memory_order_release);
}

}  // namespace platform
