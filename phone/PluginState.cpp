#include "phone/PluginState.h"

#include <system_error>

#include "phone/LinkDriver.h"
#include "settings/Settings.h"

PluginState State;
UserInterface Ui;

namespace {

// How long the wait sleeps at most before it looks at Busy again; ticks and
// port events wake it earlier.
constexpr unsigned kWaitSliceMs = 50;

}  // namespace

void LoadSettings() {
  try {
    const settings::Values values = settings::Read(settings::ReadPath());
    State.PortName = values.port;
    State.BaudIndex = values.baudIndex;
  } catch (const std::exception&) {
    // Loading never fails because of the settings; what was read stays.
  }
}

bool OpenPhonePort(bool report) {
  // After FsDisconnect the host may come back to the root: it finds the phone again.
  if (!State.PortWrapper) CreatePluginObjects();
  auto fail = [&](const std::string& reason) {
    if (report) Ui.LogError("Unable to open port " + State.PortName + ": " + reason);
    return false;
  };
  const std::optional<TBaudRate> rate = settings::BaudRateOfIndex(State.BaudIndex);
  if (!rate) return fail("no baud rate has the index " + std::to_string(State.BaudIndex));
  try {
    TComPort& port = State.PortWrapper->Port();
    port.SetBaudRate(*rate);
    if (port.Connected()) return true;
    port.SetPort(State.PortName);
    State.Link.EscapedIndexRefused = false;  // what one phone could not take, another may
    State.Link.AbortAnswerOwed = false;
    State.Link.RepliesOwed = 0;
    port.Open();
    return true;
  } catch (const EComPort& failure) {
    return fail(failure.WinCode() > 0 ? std::system_category().message(failure.WinCode()) : failure.what());
  } catch (const std::exception& failure) {
    return fail(failure.what());
  }
}

void WaitWhileBusy() {
  const os::ArrivalWatch watch;  // the replies of the whole operation come to this thread
  while (State.Link.Busy) {
    bool worked = os::DispatchMessages();
    // Replies are handled as soon as the port reports them, not only at the next tick.
    worked |= os::RunHandOvers();
    if (State.Link.Busy && !worked) os::WaitForWork(kWaitSliceMs);
  }
}

void CreatePluginObjects() {
  State.PortWrapper = std::make_unique<wrapper>();
  // Every reply ends in 0x7E (escaping keeps it out of the body): the port
  // hands its bytes over when one has arrived, not at every byte.
  TComPort& port = State.PortWrapper->Port();
  port.SetEventChar(static_cast<std::uint8_t>(kFrameEnd));
  port.SetEvents(ComEventBit(evRxFlag) | ComEventBit(evError));
  // The ticks look the wrapper up at each tick: it is gone once FsDisconnect ran.
  auto makeTimer = [](void (wrapper::*tick)()) {
    auto timer = std::make_unique<os::Timer>([tick] {
      if (State.PortWrapper) (State.PortWrapper.get()->*tick)();
    });
    timer->SetEnabled(false);
    timer->SetInterval(kPollIntervalMs);
    return timer;
  };
  State.CommandTimer = makeTimer(&wrapper::CommandTick);
  State.DownloadTimer = makeTimer(&wrapper::DownloadTick);
  State.UploadTimer = makeTimer(&wrapper::UploadTick);
}

void AbandonOperation() noexcept {
  try {
    for (os::Timer* timer : {State.CommandTimer.get(), State.DownloadTimer.get(), State.UploadTimer.get()}) {
      if (timer) timer->SetEnabled(false);
    }
  } catch (...) {
    // The timers' lock failed: nothing more can be done about them.
  }
  // Nothing of the broken-off call is carried into the next: no abort's
  // answer awaited, no made folder's refresh, no transfer's files.
  State.Link.Busy = false;
  State.Link.Settling = false;
  State.Command = {};
  State.Download = {};
  State.Upload = {};
}

void DestroyPluginObjects() {
  if (State.PortWrapper) {
    State.PortWrapper->Port().OnRxFlag = nullptr;
    try {
      State.PortWrapper->Port().Close();
    } catch (const std::exception&) {
      // The objects go all the same; the host never sees a port failure here.
    }
    try {
      State.PortWrapper->port_.reset();
    } catch (const std::exception&) {
    }
    State.PortWrapper.reset();
  }
  State.CommandTimer.reset();
  State.UploadTimer.reset();
  State.DownloadTimer.reset();
  State.Link.Busy = false;
}

namespace {

// Start-up when the module is loaded, and the release of the port when it is
// unloaded without FsDisconnect: no thread of the module may outlive it.
struct ModuleLifetime {
  ModuleLifetime() {
    // The message queue's statics are made now, so that they are destroyed
    // only after the teardown below has used them.
    os::DispatchMessages();
    os::RunHandOvers();
    os::WaitForWork(0);
    LoadSettings();
  }
  ~ModuleLifetime() {
    if (!os::kStopThreadsAtUnload) return;
    os::ShutDownHandOvers();
    DestroyPluginObjects();
  }
} moduleLifetime;

}  // namespace
