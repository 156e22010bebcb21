// SIGINT and SIGTERM for a `ferrant` command, without a signal handler or a global flag.
//
// The watch blocks both signals in the calling thread, so it must be made before the command
// starts any other thread (threads inherit the mask); a thread of its own then waits for them
// with sigwait. The first one that arrives sets Interrupted and calls onInterrupt on that
// thread (once). Child processes must be started with the default mask restored.
//
// Thread safety: Interrupted may be read from any thread. The destructor ends the waiting
// thread (with a signal of its own, SIGUSR2, sent to that thread) and joins it.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <functional>
#include <thread>

namespace host {

class InterruptWatch {
 public:
  explicit InterruptWatch(std::function<void()> onInterrupt = {});
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  bool Interrupted() const { return interrupted_.load(); }

 private:
  void Watch();

  std::function<void()> onInterrupt_;
  std::atomic<bool> interrupted_{false};
  sigset_t set_;
  std::thread thread_;
};

}  // namespace host
