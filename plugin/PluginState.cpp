#include "plugin/PluginState.h"

#include "phone/LinkDriver.h"
#include "platform/ini.h"

PluginState State;
UserInterface Ui;

namespace {

constexpr const char* kSettingsFile = "fsplugin.ini";
constexpr const char* kSection = "VLK";
constexpr const char* kPortKey = "velkport";
constexpr const char* kBaudKey = "baud";

// How long the wait sleeps at most before it looks at Busy again; ticks and
// port events wake it earlier.
constexpr unsigned kWaitSliceMs = 50;

}  // namespace

std::string SettingsPath() { return os::ExecutableDir() + kSettingsFile; }

void LoadSettings() {
  try {
    const std::string path = SettingsPath();
    State.PortName = os::IniRead(path, kSection, kPortKey, "COM1");
    std::int32_t baud = 1;
    if (!ParseIniInteger(os::IniRead(path, kSection, kBaudKey, "1"), &baud)) baud = 1;
    State.BaudIndex = baud;
  } catch (const std::exception&) {
    // Loading never fails because of the settings; what was read stays.
  }
}

bool OpenPhonePort() {
  if (!State.PortWrapper) return false;
  const auto rate = static_cast<std::uint8_t>(State.BaudIndex & 0xFF);
  if (rate >= kBaudRateCount) return false;
  try {
    TComPort& port = State.PortWrapper->Port();
    port.SetBaudRate(static_cast<TBaudRate>(rate));
    if (port.Connected()) return true;
    port.SetPort(State.PortName);
    port.Open();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void WaitWhileBusy() {
  while (State.Busy) {
    bool worked = os::DispatchMessages();
    // Replies are handled as soon as the port reports them, not only at the next tick.
    worked |= os::RunHandOvers();
    if (State.Busy && !worked) os::WaitForWork(kWaitSliceMs);
  }
}

void CreatePluginObjects() {
  State.PortWrapper = std::make_unique<wrapper>();
  // Every reply ends in 0x7E (escaping keeps it out of the body): the port
  // hands its bytes over when one has arrived, not at every byte.
  TComPort& port = State.PortWrapper->Port();
  port.SetEventChar(static_cast<std::uint8_t>(kFrameEnd));
  port.SetEvents(ComEventBit(evRxFlag) | ComEventBit(evError));
  port.OnRxFlag = [](TCustomComPort* sender) {
    const TRxCharEvent handler = sender->OnRxChar;
    const std::int32_t count = sender->BytesWaiting();
    if (handler && count > 0) handler(sender, count);
  };
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

void DestroyPluginObjects() {
  if (State.PortWrapper) {
    State.PortWrapper->Port().OnRxChar = nullptr;
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
  State.Busy = false;
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
#ifndef _WIN32
    // Windows ends the threads itself at process exit, and a pinned module is
    // never unmapped before that; joining there would wait on the loader lock.
    os::ShutDownHandOvers();
    DestroyPluginObjects();
#endif
  }
} moduleLifetime;

}  // namespace
