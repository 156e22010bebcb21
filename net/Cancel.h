// Cutting short a request in flight.
//
// A worker thread installs its run's cancel flag with ScopedCancelFlag before it makes requests;
// every blocking step of the socket layer on that thread (connect, send, receive, the proxy
// handshakes) waits in short slices and gives up, as a failed operation, as soon as the flag is
// set. Stop on the page's thread sets the flag and returns at once; the worker then fails its
// request promptly and closes its socket on its own thread.
//
// Thread safety: the flag is an atomic owned by the caller and must outlive the scope.
#pragma once

#include <atomic>

class ScopedCancelFlag {
 public:
  explicit ScopedCancelFlag(const std::atomic<bool>* flag);
  ~ScopedCancelFlag();
  ScopedCancelFlag(const ScopedCancelFlag&) = delete;
  ScopedCancelFlag& operator=(const ScopedCancelFlag&) = delete;

 private:
  const std::atomic<bool>* previous_;
};

// The flag of the calling thread; null when none is installed.
const std::atomic<bool>* CurrentCancelFlag();
// True when the calling thread's flag is set.
bool CancelRequested();
