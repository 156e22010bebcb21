// A counter of changes with a wait: workers count every change of a task's state (a new
// Status, a run ended, a slot given back) and the front ends that show progress wait for the
// next one instead of polling on a fixed tick.
//
// Thread safety: Notify and Wait may be called from any thread at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

class ChangeSignal {
 public:
  // Counts a change and wakes every waiter.
  void Notify();
  // The number of changes so far.
  uint64_t Count();
  // Waits until the count is no longer seen, or timeoutMs has passed; returns the count.
  uint64_t WaitBeyond(uint64_t seen, int timeoutMs);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  uint64_t count_ = 0;
};
