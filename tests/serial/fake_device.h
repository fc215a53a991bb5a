// A serial device that records what the port object asks of it, installed
// through the platform's test opener.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

struct FakeDeviceLog {
  std::mutex mutex;
  std::condition_variable changed;

  // What was asked.
  std::vector<std::string> opened;  // port names
  std::vector<os::DeviceControl> states;
  std::vector<os::CommTimeouts> timeouts;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> queues;
  std::vector<std::uint32_t> masks;
  std::vector<std::uint32_t> purges;
  std::string written;
  int alive = 0;  // devices open now
  bool waiting = false;  // a WaitEvent is blocked

  // What to answer.
  int openError = 0;  // OpenSerialDevice fails with this code
  int setStateError = 0, timeoutsError = 0, queuesError = 0, purgeError = 0, bytesError = 0;
  int readError = 0, writeError = 0;
  std::string input;  // bytes waiting to be read
  std::deque<std::uint32_t> events;  // events for WaitEvent to report
  int waitError = 0;  // WaitEvent fails with this once events are used up

  void Raise(std::uint32_t event) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
    changed.notify_all();
  }
};

class FakeDevice final : public os::SerialDevice {
 public:
  explicit FakeDevice(std::shared_ptr<FakeDeviceLog> log) : log_(std::move(log)) {
    std::lock_guard<std::mutex> lock(log_->mutex);
    ++log_->alive;
  }
  ~FakeDevice() override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    --log_->alive;
    log_->changed.notify_all();
  }
  int SetupQueues(std::uint32_t in, std::uint32_t out) override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->queues.emplace_back(in, out);
    return log_->queuesError;
  }
  int SetState(const os::DeviceControl& control) override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->states.push_back(control);
    return log_->setStateError;
  }
  int SetTimeouts(const os::CommTimeouts& timeouts) override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->timeouts.push_back(timeouts);
    return log_->timeoutsError;
  }
  int SetEventMask(std::uint32_t mask) override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->masks.push_back(mask);
    log_->changed.notify_all();
    return 0;
  }
  int WaitEvent(std::uint32_t* events) override {
    std::unique_lock<std::mutex> lock(log_->mutex);
    log_->waiting = true;
    log_->changed.notify_all();
    log_->changed.wait(lock, [&] {
      return cancelled_ || !log_->events.empty() || log_->waitError != 0;
    });
    log_->waiting = false;
    if (cancelled_) return os::kWaitCancelled;
    if (!log_->events.empty()) {
      *events = log_->events.front();
      log_->events.pop_front();
      return 0;
    }
    return log_->waitError;
  }
  void CancelWait() override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    cancelled_ = true;
    log_->changed.notify_all();
  }
  int BytesWaiting(std::uint32_t* count) override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    *count = static_cast<std::uint32_t>(log_->input.size());
    return log_->bytesError;
  }
  int Read(void* buffer, std::uint32_t count, std::uint32_t* read) override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    if (log_->readError) return log_->readError;
    const std::size_t n = std::min<std::size_t>(count, log_->input.size());
    log_->input.copy(static_cast<char*>(buffer), n);
    log_->input.erase(0, n);
    *read = static_cast<std::uint32_t>(n);
    return 0;
  }
  int Write(const void* data, std::uint32_t count, std::uint32_t* written) override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    if (log_->writeError) return log_->writeError;
    log_->written.append(static_cast<const char*>(data), count);
    *written = count;
    return 0;
  }
  int Purge(std::uint32_t flags) override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->purges.push_back(flags);
    log_->changed.notify_all();
    return log_->purgeError;
  }

 private:
  std::shared_ptr<FakeDeviceLog> log_;
  bool cancelled_ = false;  // guarded by log_->mutex
};

// Installs fake devices for the life of the object.
class FakeDevices {
 public:
  FakeDevices() : log_(std::make_shared<FakeDeviceLog>()) {
    auto log = log_;
    os::SetSerialOpenerForTesting(
        [log](const std::string& name, int* error) -> std::unique_ptr<os::SerialDevice> {
          {
            std::lock_guard<std::mutex> lock(log->mutex);
            log->opened.push_back(name);
            if (log->openError != 0) {
              *error = log->openError;
              return nullptr;
            }
          }
          *error = 0;
          return std::make_unique<FakeDevice>(log);
        });
  }
  ~FakeDevices() { os::SetSerialOpenerForTesting(nullptr); }
  FakeDeviceLog& Log() { return *log_; }

 private:
  std::shared_ptr<FakeDeviceLog> log_;
};
