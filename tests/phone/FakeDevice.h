// A serial device that lives in memory: it records what the module writes and
// hands back whatever a test (or a phone behind it) puts in its input queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "phone/Unit1.h"
#include "platform/platform.h"

class FakeDevice : public os::SerialDevice {
 public:
  // Called with each complete frame the module writes; may queue a reply.
  std::function<void(const Bytes& frame)> onFrame;
  int writeError = 0;

  // Returns once the port's event thread, when one watches the device, has
  // taken the arrival and waits again: what it hands over is queued by then,
  // so a run does not depend on how the threads happen to be scheduled.
  void Deliver(const Bytes& bytes) {
    std::unique_lock lock(mutex_);
    input_ += bytes;
    arrived_ = true;
    changed_.notify_all();
    if (!watched_ || std::this_thread::get_id() == watcher_) return;
    changed_.wait_for(lock, std::chrono::seconds(10),
                      [&] { return cancelled_ || !watched_ || (!arrived_ && waiting_); });
  }
  std::vector<Bytes> Written() {
    std::lock_guard lock(mutex_);
    return written_;
  }
  std::size_t Waiting() {
    std::lock_guard lock(mutex_);
    return input_.size();
  }

  int SetupQueues(std::uint32_t, std::uint32_t) override { return 0; }
  int SetState(const os::DeviceControl& control) override {
    std::lock_guard lock(mutex_);
    eventChar_ = static_cast<char>(control.evtChar);
    return 0;
  }
  int SetTimeouts(const os::CommTimeouts&) override { return 0; }
  // The port sets a mask before its event thread starts and clears it as the thread ends.
  int SetEventMask(std::uint32_t mask) override {
    std::lock_guard lock(mutex_);
    watched_ = mask != 0;
    mask_ = mask;
    changed_.notify_all();
    return 0;
  }
  // Reports an arrival as the port asked: at every arrival, or (awaiting the
  // event character only) once that character is waiting.
  int WaitEvent(std::uint32_t* events) override {
    std::unique_lock lock(mutex_);
    watcher_ = std::this_thread::get_id();
    for (;;) {
      waiting_ = true;
      changed_.notify_all();
      changed_.wait(lock, [&] { return arrived_ || cancelled_; });
      waiting_ = false;
      if (cancelled_) return os::kWaitCancelled;
      arrived_ = false;  // like a receive event: new bytes, not bytes still unread
      *events = mask_ & os::kEvRxChar;
      if (input_.find(eventChar_) != Bytes::npos) *events |= mask_ & os::kEvRxFlag;
      if (*events != 0) return 0;
    }
  }
  void CancelWait() override {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
  }
  int BytesWaiting(std::uint32_t* count) override {
    std::lock_guard lock(mutex_);
    *count = static_cast<std::uint32_t>(input_.size());
    return 0;
  }
  int Read(void* buffer, std::uint32_t count, std::uint32_t* read) override {
    std::lock_guard lock(mutex_);
    const std::size_t n = std::min<std::size_t>(count, input_.size());
    input_.copy(static_cast<char*>(buffer), n);
    input_.erase(0, n);
    *read = static_cast<std::uint32_t>(n);
    return 0;
  }
  int Write(const void* data, std::uint32_t count, std::uint32_t* written) override {
    if (writeError != 0) return writeError;
    const Bytes bytes(static_cast<const char*>(data), count);
    {
      std::lock_guard lock(mutex_);
      written_.push_back(bytes);
    }
    *written = count;
    if (onFrame) onFrame(bytes);
    return 0;
  }
  int Purge(std::uint32_t flags) override {
    std::lock_guard lock(mutex_);
    if (flags & (os::kPurgeRxClear | os::kPurgeRxAbort)) input_.clear();
    return 0;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  Bytes input_;
  bool arrived_ = false;
  bool cancelled_ = false;
  bool watched_ = false;  // an event thread takes the arrivals
  std::uint32_t mask_ = 0;
  char eventChar_ = 0;
  bool waiting_ = false;  // it is inside WaitEvent
  std::thread::id watcher_;
  std::vector<Bytes> written_;
};
