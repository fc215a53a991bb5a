// One call into the module at a time. A host may call the exports from more
// than one thread (a copy in the background, a listing in the foreground);
// every call that reaches the phone or the module's state passes the gate
// first, so no call ever works on another call's state.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

class CallGate {
 public:
  // Lets the calling thread in: at once when no call is in progress; when a
  // call of another thread is, after it has ended, waiting at most `bound`.
  // A thread whose own call is in progress (a host calling in again from a
  // callback, or from a message dispatched while the call waits) is refused
  // at once: waiting for itself would never end.
  bool Enter(std::chrono::milliseconds bound);
  void Leave();
  // Whether a call of another thread than the calling one is in progress.
  bool HeldByAnotherThread() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable left_;
  std::optional<std::thread::id> holder_;
};

// Holds the gate for one scope when Enter let it in.
class GatePass {
 public:
  GatePass(CallGate& gate, std::chrono::milliseconds bound) : gate_(gate), entered_(gate.Enter(bound)) {}
  ~GatePass() {
    if (entered_) gate_.Leave();
  }
  GatePass(const GatePass&) = delete;
  GatePass& operator=(const GatePass&) = delete;
  explicit operator bool() const { return entered_; }

 private:
  CallGate& gate_;
  bool entered_;
};

// The module's one gate, passed by every export.
extern CallGate ExportGate;
// How long a call waits for another thread's call: long enough for a listing
// step or a folder command to end (each gives up on a silent phone after
// 2.5 s), short enough that a host's window is not held for a whole transfer.
constexpr std::chrono::milliseconds kCallWaitLimit{3000};
