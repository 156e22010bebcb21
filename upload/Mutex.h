// IMutex / Mutex: the lock of the manager's task table. Mutex may be taken again by the thread
// that holds it; each Lock needs its own Unlock. MutexGuard holds it for a scope.
#pragma once

#include <mutex>

class IMutex {
 public:
  virtual ~IMutex() = default;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
};

class Mutex : public IMutex {
 public:
  void Lock() override { m_.lock(); }
  void Unlock() override { m_.unlock(); }

 private:
  std::recursive_mutex m_;
};

class MutexGuard {
 public:
  explicit MutexGuard(IMutex& m) : m_(m) { m_.Lock(); }
  ~MutexGuard() { m_.Unlock(); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  IMutex& m_;
};
