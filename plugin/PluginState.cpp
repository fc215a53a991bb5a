#include "plugin/PluginState.h"

#include <system_error>

#include "phone/LinkDriver.h"
#include "plugin/Settings.h"

PluginState State;
UserInterface Ui;

namespace {

// How long the wait sleeps at most before it looks at Busy again; ticks and
// port events wake it earlier.
constexpr unsigned kWaitSliceMs = 50;

}  // namespace

bool HostShowsMessages() {
#ifdef _WIN32
  return false;  // the Windows build shows its own message boxes and window
#else
  return State.RequestCallback != nullptr;
#endif
}

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  if (!HostShowsMessages()) return os::MessageBox(text, caption, flags);
  const bool question = (flags & 0xF) == os::kMbYesNo;
  std::string title = caption;
  std::string body = text;
  char unused[2] = {};
  const BOOL yes = State.RequestCallback(State.PluginNumber,
                                         question ? kFsRequestMessageYesNo : kFsRequestMessageOk,
                                         title.empty() ? nullptr : title.data(), body.data(), unused,
                                         sizeof unused);
  if (!question) return os::kIdOk;
  return yes ? os::kIdYes : os::kIdNo;
}

bool AskHost(const std::string& title, const std::string& text, std::string& answer) {
  if (!HostShowsMessages()) return false;
  constexpr std::size_t kAnswerSize = 1024;
  std::string titleText = title;
  std::string body = text;
  std::string buffer = answer.substr(0, kAnswerSize - 1);
  buffer.resize(kAnswerSize, '\0');
  if (!State.RequestCallback(State.PluginNumber, kFsRequestText, titleText.data(), body.data(), buffer.data(),
                             static_cast<int>(kAnswerSize))) {
    return false;
  }
  buffer[kAnswerSize - 1] = '\0';
  answer = buffer.c_str();
  return true;
}

void LogToHost(FsLogType type, const std::string& text) {
#ifdef _WIN32
  (void)type;
  (void)text;  // the Windows build announces nothing
#else
  if (State.LogCallback == nullptr) return;
  std::string line = text;
  State.LogCallback(State.PluginNumber, type, line.data());
#endif
}

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
    if (report) LogToHost(kFsLogImportantError, "Unable to open port " + State.PortName + ": " + reason);
    return false;
  };
  const auto rate = settings::PortRateIndex(State.BaudIndex);
  if (!rate) return fail("no baud rate has the index " + std::to_string(State.BaudIndex));
  try {
    TComPort& port = State.PortWrapper->Port();
    port.SetBaudRate(static_cast<TBaudRate>(*rate));
    if (port.Connected()) return true;
    port.SetPort(State.PortName);
    port.Open();
    return true;
  } catch (const EComPort& failure) {
    return fail(failure.WinCode() > 0 ? std::system_category().message(failure.WinCode()) : failure.what());
  } catch (const std::exception& failure) {
    return fail(failure.what());
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
