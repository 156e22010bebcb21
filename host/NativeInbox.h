// The native host's input read ahead on a thread of its own, and the control's change count
// followed on another, so that the host's loop can wait for the next message and, while a page
// waits for a change (WaitForChange), for that change or its deadline as well, and still answer
// every other call at once.
//
// The reader thread reads frames (host/NativeFraming.h) until the input ends or breaks and
// queues them, at most kMaxQueued at a time (a page that floods the channel waits, it does not
// fill the memory). The change thread waits on the control's change count (CUpLoadObjCore::
// WaitForChange) and notes each new value.
//
// Stop (and the destructor) ends both threads: the change thread at once, the reader when its
// read returns, which it does when the input ends; the browser closes the input when it closes
// the channel. The core and the runtime must outlive the inbox.
//
// Thread safety: Next and Stop are called by the host's loop only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "control/UpLoadObjCore.h"
#include "host/NativeFraming.h"
#include "upload/Runtime.h"

namespace host {

class NativeInbox {
 public:
  static constexpr size_t kMaxQueued = 64;

  struct Item {
    FrameRead read = FrameRead::kEnd;
    std::string message;  // for kFrame
  };
  // What the loop waits for besides a message: a change count other than seen, or deadline.
  struct ChangeWait {
    uint64_t seen = 0;
    std::chrono::steady_clock::time_point deadline;
  };

  NativeInbox(Runtime& runtime, CUpLoadObjCore& core, ByteSource in);
  ~NativeInbox();
  NativeInbox(const NativeInbox&) = delete;
  NativeInbox& operator=(const NativeInbox&) = delete;

  // Waits for the next item and returns true with it; with wait, returns false as soon as the
  // change count is no longer wait->seen or the deadline has passed (messages first).
  bool Next(Item* item, const ChangeWait* wait);
  // The change count as the change thread last saw it.
  uint64_t ChangeCount();
  void Stop();

 private:
  void Read(ByteSource in);
  void FollowChanges();

  Runtime& runtime_;
  CUpLoadObjCore& core_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Item> queue_;
  uint64_t count_ = 0;
  bool stopping_ = false;
  std::thread reader_, changes_;
};

}  // namespace host
