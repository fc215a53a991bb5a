// What the parts of the system layer share among themselves; nothing outside
// platform/ includes this.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace os::detail {

// Wakes the WaitForWork of the user-interface thread (each system's layer).
void SignalWork();
// Whether work is queued for RunHandOvers (the portable hand-over queue).
bool HandOversPending();

// The part of a serial device that is the same on every system. At each
// receive event the event thread takes everything the driver holds into a
// queue of its own, so that it can see the event character (EV_RXFLAG) go by;
// reads and the waiting count take that queue first. Each system supplies the
// driver's primitives.
class QueuedSerialDevice : public SerialDevice {
 public:
  int SetState(const DeviceControl& control) final;
  int SetEventMask(std::uint32_t mask) final;
  int WaitEvent(std::uint32_t* events) final;
  int BytesWaiting(std::uint32_t* count) final;
  int Read(void* buffer, std::uint32_t count, std::uint32_t* read) final;
  int Purge(std::uint32_t flags) final;
  // How much a take moves: WaitEvent's driver wakes once per arrival, so it
  // takes everything; a watcher that is woken again while bytes wait may stop
  // at the end of a reply.
  enum class Take { kAll, kToReplyEnd };
  // Without waiting: takes what the driver holds and puts the receive events
  // it brings in *events (0 when none), as one wake-up of WaitEvent would.
  int TakeArrivals(Take how, std::uint32_t* events);
  // Whether the queue takes more bytes: a driver that still holds bytes the
  // queue cannot take is no news.
  bool Accepting();

 protected:
  virtual int DriverSetState(const DeviceControl& control) = 0;
  // The driver watches for these events. With kEvRxFlag (never together with
  // kEvRxChar) only the event character is awaited: the driver wakes the wait
  // when it has come, and may hold the bytes before it back until then.
  virtual int DriverSetEventMask(std::uint32_t mask) = 0;
  // Blocks until the driver reports events (kEvRxChar or kEvRxFlag for
  // received bytes); returns 0, kWaitCancelled, or the failure.
  virtual int DriverWaitEvent(std::uint32_t* events) = 0;
  virtual int DriverBytesWaiting(std::uint32_t* count) = 0;
  // Reads at most `count` of the bytes that are waiting, never waiting for more.
  virtual int DriverRead(void* buffer, std::uint32_t count, std::uint32_t* read) = 0;
  virtual int DriverPurge(std::uint32_t flags) = 0;

 private:
  // Moves what the driver holds into the queue; *sawEventChar tells whether
  // the event character came with it.
  int TakeFromDriver(Take how, std::size_t* taken, bool* sawEventChar);
  // The events of one wake-up with the driver's `driverEvents`: received
  // bytes taken, others passed on as the mask asks.
  int EventsOf(std::uint32_t driverEvents, Take how, std::uint32_t* events);

  std::mutex mutex_;
  std::string queue_;  // taken from the driver, not yet read
  std::atomic<std::uint32_t> mask_{0};
  std::atomic<char> eventChar_{0};
};

#ifdef _WIN32
// The module (DLL or program) that contains the system layer.
HMODULE ThisModule();
#endif

}  // namespace os::detail
