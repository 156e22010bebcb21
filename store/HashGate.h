// The one full-speed hasher of a runtime. Up to three tasks hash at once; one of them holds the
// gate and reads at full speed, the others pause about a millisecond before each read until the
// gate comes free, so that several large hashes do not all compete for the disk at once.
//
// A pause is a wait on the gate's condition, not a sleep: it ends as soon as the holder lets go,
// and a hasher that finds the gate free never pauses at all.
//
// Thread safety: every method may be called from any thread. Ownership: one per runtime
// (upload/Runtime.h); HashFile takes and releases it through a scoped holder.
#pragma once

#include <condition_variable>
#include <mutex>

class HashGate {
 public:
  // Takes the gate when it is free; true when the caller now holds it.
  bool TryTake();
  // Waits at most ms for the gate to come free and takes it; true when taken.
  bool TakeWithin(int ms);
  // Lets go of a gate the caller holds.
  void Release();
  bool Held();

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool held_ = false;
};
