#include "host/InterruptWatch.h"

namespace host {

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt)
    : onInterrupt_(std::move(onInterrupt)) {
  sigemptyset(&set_);
  sigaddset(&set_, SIGINT);
  sigaddset(&set_, SIGTERM);
  sigaddset(&set_, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  thread_ = std::thread([this] { Watch(); });
}

InterruptWatch::~InterruptWatch() {
  pthread_kill(thread_.native_handle(), SIGUSR2);
  thread_.join();
}

void InterruptWatch::Watch() {
  for (;;) {
    int signal = 0;
    if (sigwait(&set_, &signal) != 0) continue;
    if (signal == SIGUSR2) return;
    if (!interrupted_.exchange(true) && onInterrupt_) onInterrupt_();
  }
}

}  // namespace host
