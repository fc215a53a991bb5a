#include <algorithm>
#include <cstring>

#include "platform/internal.h"

namespace os::detail {
namespace {

// The queue stops taking bytes beyond this; the driver keeps the rest.
constexpr std::size_t kQueueLimit = 1 << 16;

}  // namespace

int QueuedSerialDevice::SetState(const DeviceControl& control) {
  const int error = DriverSetState(control);
  if (error == 0) {
    eventChar_.store(control.evtChar);
  }
  return error;
}

int QueuedSerialDevice::SetEventMask(std::uint32_t mask) {
  // Awaiting only the event character lets the driver wake the wait once per
  // reply instead of at every arrival of bytes.
  const std::uint32_t received = (mask & kEvRxChar) != 0 ? std::uint32_t{kEvRxChar} : mask & kEvRxFlag;
  const int error = DriverSetEventMask((mask & ~(kEvRxChar | kEvRxFlag)) | received);
  if (error == 0) mask_.store(mask);
  return error;
}

int QueuedSerialDevice::TakeFromDriver(Take how, std::size_t* taken, bool* sawEventChar) {
  *taken = 0;
  *sawEventChar = false;
  const char eventChar = eventChar_.load();
  std::lock_guard<std::mutex> lock(mutex_);
  char chunk[4096];
  while (queue_.size() < kQueueLimit) {
    std::uint32_t got = 0;
    if (const int error = DriverRead(chunk, sizeof chunk, &got)) return error;
    if (got == 0) break;
    queue_.append(chunk, got);
    *taken += got;
    if (std::memchr(chunk, eventChar, got) != nullptr) *sawEventChar = true;
    // A read that ends in the event character ended a reply (a driver in
    // line mode returns a line at a time): the next take gets what follows.
    if (how == Take::kToReplyEnd && chunk[got - 1] == eventChar) break;
  }
  return 0;
}

int QueuedSerialDevice::EventsOf(std::uint32_t driverEvents, Take how, std::uint32_t* events) {
  *events = 0;
  const std::uint32_t mask = mask_.load();
  std::size_t taken = 0;
  bool sawEventChar = false;
  if (driverEvents & (kEvRxChar | kEvRxFlag)) {
    if (const int error = TakeFromDriver(how, &taken, &sawEventChar)) return error;
  }
  std::uint32_t reported = driverEvents & mask & ~(kEvRxChar | kEvRxFlag);
  if (taken > 0) reported |= mask & kEvRxChar;
  if (sawEventChar) reported |= mask & kEvRxFlag;
  *events = reported;
  return 0;
}

int QueuedSerialDevice::WaitEvent(std::uint32_t* events) {
  *events = 0;
  for (;;) {
    std::uint32_t driverEvents = 0;
    if (const int result = DriverWaitEvent(&driverEvents)) return result;
    if (const int error = EventsOf(driverEvents, Take::kAll, events)) return error;
    if (*events != 0) return 0;
  }
}

int QueuedSerialDevice::TakeArrivals(Take how, std::uint32_t* events) {
  return EventsOf(kEvRxChar, how, events);
}

bool QueuedSerialDevice::Accepting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size() < kQueueLimit;
}

int QueuedSerialDevice::BytesWaiting(std::uint32_t* count) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t driver = 0;
  if (const int error = DriverBytesWaiting(&driver)) return error;
  *count = static_cast<std::uint32_t>(queue_.size()) + driver;
  return 0;
}

int QueuedSerialDevice::Read(void* buffer, std::uint32_t count, std::uint32_t* read) {
  *read = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint32_t queued = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(queue_.size()));
  std::memcpy(buffer, queue_.data(), queued);
  queue_.erase(0, queued);
  std::uint32_t fromDriver = 0;
  if (queued < count) {
    if (const int error = DriverRead(static_cast<char*>(buffer) + queued, count - queued, &fromDriver)) {
      if (queued == 0) return error;
      fromDriver = 0;  // the queued bytes are the result; the failure shows at the next call
    }
  }
  *read = queued + fromDriver;
  return 0;
}

int QueuedSerialDevice::Purge(std::uint32_t flags) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (flags & kPurgeRxClear) queue_.clear();
  return DriverPurge(flags);
}

}  // namespace os::detail
