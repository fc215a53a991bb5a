#include "plugin/CallGate.h"

CallGate ExportGate;

bool CallGate::Enter(std::chrono::milliseconds bound) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(mutex_);
  if (holder_ == self) return false;
  if (!left_.wait_for(lock, bound, [&] { return !holder_; })) return false;
  holder_ = self;
  return true;
}

void CallGate::Leave() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    holder_.reset();
  }
  left_.notify_one();
}

bool CallGate::HeldByAnotherThread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return holder_ && *holder_ != std::this_thread::get_id();
}
