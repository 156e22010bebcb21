#include "host/NativeInbox.h"

#include <utility>

namespace host {
namespace {

// The change thread's longest single wait; it is woken at once on Stop.
constexpr int kChangeWaitMs = 60 * 60 * 1000;

bool EndsTheInput(FrameRead r) {
  return r != FrameRead::kFrame && r != FrameRead::kEmpty;
}

}  // namespace

NativeInbox::NativeInbox(Runtime& runtime, CUpLoadObjCore& core, ByteSource in)
    : runtime_(runtime), core_(core) {
  count_ = core_.WaitForChange(UINT64_MAX, 0);
  reader_ = std::thread([this, in = std::move(in)] { Read(in); });
  changes_ = std::thread([this] { FollowChanges(); });
}

NativeInbox::~NativeInbox() {
  Stop();
}

void NativeInbox::Read(ByteSource in) {
  for (;;) {
    Item item;
    item.read = ReadFrame(in, &item.message);
    std::unique_lock<std::mutex> g(m_);
    cv_.wait(g, [this] { return stopping_ || queue_.size() < kMaxQueued; });
    if (stopping_) return;
    const bool last = EndsTheInput(item.read);
    queue_.push_back(std::move(item));
    cv_.notify_all();
    if (last) return;
  }
}

void NativeInbox::FollowChanges() {
  uint64_t seen = ChangeCount();
  for (;;) {
    seen = core_.WaitForChange(seen, kChangeWaitMs);
    std::lock_guard<std::mutex> g(m_);
    if (stopping_) return;
    count_ = seen;
    cv_.notify_all();
  }
}

bool NativeInbox::Next(Item* item, const ChangeWait* wait) {
  std::unique_lock<std::mutex> g(m_);
  const auto ready = [&] { return !queue_.empty() || (wait && count_ != wait->seen); };
  if (wait) {
    cv_.wait_until(g, wait->deadline, ready);
  } else {
    cv_.wait(g, ready);
  }
  if (queue_.empty()) return false;
  *item = std::move(queue_.front());
  queue_.pop_front();
  cv_.notify_all();
  return true;
}

uint64_t NativeInbox::ChangeCount() {
  std::lock_guard<std::mutex> g(m_);
  return count_;
}

void NativeInbox::Stop() {
  {
    std::lock_guard<std::mutex> g(m_);
    if (stopping_) return;
    stopping_ = true;
    cv_.notify_all();
  }
  // The change thread waits on the runtime's count: one more wakes it. Nothing of this
  // connection reads the count after this.
  runtime_.changes.Notify();
  changes_.join();
  reader_.join();
}

}  // namespace host
