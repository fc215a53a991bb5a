#include "serial/CPort.h"

#include <atomic>
#include <utility>

namespace {

const char* const kMessageTexts[23] = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};
const char kCodeSuffix[] = " (win error code: %d)";

struct MessageTexts {
  std::vector<std::string> messages;
  std::string codeSuffix;
};

const MessageTexts& Texts() {
  static const MessageTexts texts = [] {
    MessageTexts t;
    for (const char* text : kMessageTexts) t.messages.push_back(os::Translate("cport", text));
    t.codeSuffix = os::Translate("cport", kCodeSuffix);
    return t;
  }();
  return texts;
}

// The texts go through the catalogue once, while the module loads.
[[maybe_unused]] const MessageTexts& g_loadTimeTexts = Texts();

std::string MessageWithCode(int number, int code) {
  std::string text = ComPortMessage(number);
  if (code != -1) {
    std::string suffix = Texts().codeSuffix;
    const auto at = suffix.find("%d");
    if (at != std::string::npos) suffix.replace(at, 2, std::to_string(code));
    text += suffix;
  }
  return text;
}

// Device event bits and the events they stand for.
constexpr std::pair<std::uint32_t, TComEvent> kEventBits[] = {
    {os::kEvRxChar, evRxChar}, {os::kEvRxFlag, evRxFlag}, {os::kEvTxEmpty, evTxEmpty},
    {os::kEvCts, evCTS},       {os::kEvDsr, evDSR},       {os::kEvRlsd, evRLSD},
    {os::kEvBreak, evBreak},   {os::kEvErr, evError},     {os::kEvRing, evRing},
    {os::kEvRx80Full, evRx80Full},
};

std::uint32_t EventsToMask(TComEvents events) {
  std::uint32_t mask = 0;
  for (const auto& [bit, event] : kEventBits) {
    if (events & ComEventBit(event)) mask |= bit;
  }
  return mask;
}

TComEvents MaskToEvents(std::uint32_t mask) {
  TComEvents events = 0;
  for (const auto& [bit, event] : kEventBits) {
    if (mask & bit) events |= ComEventBit(event);
  }
  return events;
}

}  // namespace

// ---------------------------------------------------------------------------

EComPort::EComPort(int messageNumber, int winCode)
    : std::runtime_error(MessageWithCode(messageNumber, winCode)),
      code_(messageNumber),
      winCode_(winCode) {}

const std::string& ComPortMessage(int number) {
  static const std::string none;
  const MessageTexts& texts = Texts();
  if (number < 1 || number > static_cast<int>(texts.messages.size())) return none;
  return texts.messages[static_cast<std::size_t>(number - 1)];
}

std::uint32_t BaudRateValue(TBaudRate rate, std::int32_t customRate) {
  if (rate == brCustom) return static_cast<std::uint32_t>(customRate);
  if (rate >= kBaudRateCount) return 0;  // no such rate: the device refuses it
  return kBaudRates[rate];
}

// What the event thread shares with the port object. The thread keeps it
// after the port has let go of it.
struct TCustomComPort::EventThreadState {
  os::SerialDevice* device = nullptr;
  TSyncMethod syncMethod = smThreadSync;
  // The port, until it lets go of the thread; changed on the user-interface
  // thread only (read by the event thread only with smNone).
  TCustomComPort* port = nullptr;
  // Events handed over and not yet delivered: while there are any, the event
  // thread adds to them instead of posting another hand-over.
  std::atomic<TComEvents> handedOver{0};
  std::atomic<bool> deviceGone{false};
  // The device, when the port had to let the thread go without waiting for it:
  // the thread closes it as it ends.
  std::unique_ptr<os::SerialDevice> orphan;
};

TCustomComPort::TCustomComPort() = default;

TCustomComPort::~TCustomComPort() {
  try {
    Close();
  } catch (...) {
    // The abort purge failed: close all the same, the object is going.
    if (threadCreated_) {
      threadCreated_ = false;
      StopEventThread(false);
    }
    DestroyHandle();
    connected_ = false;
  }
  const auto listeners = destroyListeners_;
  for (const auto& entry : listeners) {
    if (entry.second) entry.second();
  }
}

// ---------------------------------------------------------------------------
// Settings

// A setting set to its value does nothing; a changed one takes effect on an
// open device at once.
template <typename Setting>
void TCustomComPort::Change(Setting& setting, const Setting& value, void (TCustomComPort::*apply)()) {
  if (value == setting) return;
  setting = value;
  if (connected_) (this->*apply)();
}

void TCustomComPort::SetPort(const std::string& name) {
  if (name == port_) return;
  port_ = name;
  if (connected_) {
    Close();
    Open();
  }
}

void TCustomComPort::SetBaudRate(TBaudRate rate) { Change(baudRate_, rate, &TCustomComPort::ApplyDCB); }

void TCustomComPort::SetCustomBaudRate(std::int32_t rate) { Change(customBaudRate_, rate, &TCustomComPort::ApplyDCB); }

void TCustomComPort::SetDataBits(TDataBits bits) { Change(dataBits_, bits, &TCustomComPort::ApplyDCB); }

void TCustomComPort::SetStopBits(TStopBits bits) { Change(stopBits_, bits, &TCustomComPort::ApplyDCB); }

void TCustomComPort::SetParity(const TComParity& parity) { Change(parity_, parity, &TCustomComPort::ApplyDCB); }

void TCustomComPort::SetFlowControl(const TComFlowControl& flow) { Change(flowControl_, flow, &TCustomComPort::ApplyDCB); }

void TCustomComPort::SetTimeouts(const TComTimeouts& timeouts) { Change(timeouts_, timeouts, &TCustomComPort::ApplyTimeouts); }

void TCustomComPort::SetBuffer(const TComBuffer& buffer) {
  TComBuffer even = buffer;
  if (even.InputSize % 2 != 0) even.InputSize -= 1;
  if (even.OutputSize % 2 != 0) even.OutputSize -= 1;
  Change(buffer_, even, &TCustomComPort::ApplyBuffer);
}

void TCustomComPort::SetEvents(TComEvents events) { events_ = events & kAllComEvents; }

void TCustomComPort::SetEventChar(std::uint8_t c) { Change(eventChar_, c, &TCustomComPort::ApplyDCB); }

void TCustomComPort::SetDiscardNull(bool discard) { Change(discardNull_, discard, &TCustomComPort::ApplyDCB); }

void TCustomComPort::SetSyncMethod(TSyncMethod method) {
  if (method == syncMethod_) return;
  if (connected_) throw EComPort(kMsgConnectedProperty, -1);
  syncMethod_ = method;
}

// ---------------------------------------------------------------------------
// Opening and closing

void TCustomComPort::CreateHandle() {
  int error = 0;
  device_ = os::OpenSerialDevice(port_, &error);
  if (!device_) throw EComPort(kMsgOpenFailed, error);
}

void TCustomComPort::DestroyHandle() { device_.reset(); }

void TCustomComPort::ApplySettings() {
  ApplyBuffer();
  ApplyDCB();
  ApplyTimeouts();
}

void TCustomComPort::ApplyBuffer() {
  if (!connected_ || !device_) return;
  const int e = device_->SetupQueues(static_cast<std::uint32_t>(buffer_.InputSize),
                                     static_cast<std::uint32_t>(buffer_.OutputSize));
  if (e != 0) throw EComPort(kMsgSetupComm, e);
}

void TCustomComPort::ApplyDCB() {
  if (!connected_ || !device_) return;
  os::DeviceControl dcb;
  dcb.baudRate = BaudRateValue(baudRate_, customBaudRate_);
  std::uint32_t flags = os::kDcbBinary;
  if (discardNull_) flags |= os::kDcbNull;
  if (flowControl_.OutCTSFlow) flags |= os::kDcbOutxCtsFlow;
  if (flowControl_.OutDSRFlow) flags |= os::kDcbOutxDsrFlow;
  static constexpr std::uint32_t kDtr[] = {0, os::kDcbDtrEnable, os::kDcbDtrHandshake};
  static constexpr std::uint32_t kRts[] = {0, os::kDcbRtsEnable, os::kDcbRtsHandshake,
                                           os::kDcbRtsToggle};
  if (flowControl_.ControlDTR < 3) flags |= kDtr[flowControl_.ControlDTR];
  if (flowControl_.ControlRTS < 4) flags |= kRts[flowControl_.ControlRTS];
  if (flowControl_.XonXoffOut) flags |= os::kDcbOutX;
  if (flowControl_.XonXoffIn) flags |= os::kDcbInX;
  if (flowControl_.DSRSensitivity) flags |= os::kDcbDsrSensitivity;
  if (flowControl_.TxContinueOnXoff) flags |= os::kDcbTxContinueOnXoff;
  if (parity_.Check) {
    flags |= os::kDcbParity;
    if (parity_.Replace) {
      flags |= os::kDcbErrorChar;
      dcb.errorChar = static_cast<char>(parity_.ReplaceChar);
    }
  }
  dcb.flags = flags;
  dcb.xonLim = static_cast<std::uint16_t>(buffer_.InputSize / 4);
  dcb.xoffLim = static_cast<std::uint16_t>(buffer_.InputSize / 4);
  dcb.byteSize = static_cast<std::uint8_t>(5 + dataBits_);
  dcb.parity = static_cast<std::uint8_t>(parity_.Bits);
  dcb.stopBits = static_cast<std::uint8_t>(stopBits_);
  dcb.xonChar = static_cast<char>(flowControl_.XonChar);
  dcb.xoffChar = static_cast<char>(flowControl_.XoffChar);
  dcb.evtChar = static_cast<char>(eventChar_);
  const int e = device_->SetState(dcb);
  if (e != 0) throw EComPort(kMsgSetCommState, e);
}

void TCustomComPort::ApplyTimeouts() {
  if (!connected_ || !device_) return;
  os::CommTimeouts t;  // -1 becomes MAXDWORD
  t.readInterval = static_cast<std::uint32_t>(timeouts_.ReadInterval);
  t.readTotalMultiplier = static_cast<std::uint32_t>(timeouts_.ReadTotalMultiplier);
  t.readTotalConstant = static_cast<std::uint32_t>(timeouts_.ReadTotalConstant);
  t.writeTotalMultiplier = static_cast<std::uint32_t>(timeouts_.WriteTotalMultiplier);
  t.writeTotalConstant = static_cast<std::uint32_t>(timeouts_.WriteTotalConstant);
  const int e = device_->SetTimeouts(t);
  if (e != 0) throw EComPort(kMsgSetTimeouts, e);
}

bool TCustomComPort::Connected() const {
  return connected_ && !(threadState_ && threadState_->deviceGone.load());
}

void TCustomComPort::Open() {
  CloseIfDeviceGone();
  if (connected_) return;
  CreateHandle();
  connected_ = true;
  try {
    ApplySettings();
    if (events_ == 0) {
      threadCreated_ = false;
      return;
    }
    StartEventThread();
    threadCreated_ = true;
  } catch (...) {
    DestroyHandle();
    connected_ = false;
    throw;
  }
}

void TCustomComPort::Close() {
  CloseIfDeviceGone();
  if (!connected_ || closing_) return;
  const int e = device_ ? device_->Purge(os::kPurgeTxAbort | os::kPurgeRxAbort)
                        : os::kErrorInvalidHandle;
  if (e != 0) {
    if (!os::DeviceIsGone(e)) throw EComPort(kMsgPurgeFailed, e);
    CloseGoneDevice();  // nothing left to abort
    return;
  }
  closing_ = true;
  if (threadCreated_) {
    threadCreated_ = false;
    StopEventThread(true);
  }
  DestroyHandle();
  connected_ = false;
  closing_ = false;
}

void TCustomComPort::CloseGoneDevice() {
  if (!connected_ || closing_) return;
  closing_ = true;
  if (threadCreated_) {
    threadCreated_ = false;
    StopEventThread(false);
  }
  DestroyHandle();
  connected_ = false;
  closing_ = false;
}

void TCustomComPort::CloseIfDeviceGone() {
  if (connected_ && threadState_ && threadState_->deviceGone.load()) CloseGoneDevice();
}

void TCustomComPort::Fail(int number, int error) {
  if (os::DeviceIsGone(error)) CloseGoneDevice();
  throw EComPort(number, error);
}

// ---------------------------------------------------------------------------
// The event thread

void TCustomComPort::StartEventThread() {
  auto state = std::make_shared<EventThreadState>();
  state->device = device_.get();
  state->syncMethod = syncMethod_;
  state->port = this;
  device_->SetEventMask(EventsToMask(events_));
  // What the user-interface thread takes from the device itself while it
  // waits goes the way the event thread's events go.
  if (syncMethod_ != smNone) {
    device_->SetArrivalSink([state](std::uint32_t mask) { HandOverEvents(state, MaskToEvents(mask)); });
  }
  eventThread_ = std::thread(&TCustomComPort::EventThreadMain, state);
  threadState_ = std::move(state);
}

void TCustomComPort::StopEventThread(bool deliverPending) {
  std::shared_ptr<EventThreadState> state = std::move(threadState_);
  if (!state) return;
  state->device->SetArrivalSink(nullptr);
  // Delivered before the thread ends, since it discards the input as it does.
  if (deliverPending && !inDispatch_) DeliverHandedOver(state);
  state->device->CancelWait();
  if (std::this_thread::get_id() == eventThread_.get_id()) {
    // Closed by a handler that runs on the event thread itself: it ends as
    // soon as the handler returns and closes the device itself.
    state->port = nullptr;
    state->orphan = std::move(device_);
    eventThread_.detach();
    return;
  }
  // The thread never waits for this one, so it ends at once.
  eventThread_.join();
  state->port = nullptr;
}

// Runs on the event thread. It hands events over without waiting for them to
// be delivered, so that it keeps watching the device (and sees it go) between
// operations; it touches the port object only with smNone.
void TCustomComPort::EventThreadMain(std::shared_ptr<EventThreadState> state) {
  os::SerialDevice* device = state->device;
  for (;;) {
    std::uint32_t mask = 0;
    const int result = device->WaitEvent(&mask);
    if (result != 0) {
      if (result != os::kWaitCancelled && os::DeviceIsGone(result)) {
        // Connected reports it from now on; the port closes at its next call,
        // or when this hand-over runs, whichever comes first.
        state->deviceGone.store(true);
        os::Post([state] {
          if (state->port) state->port->CloseIfDeviceGone();
        });
      }
      break;  // cancelled, or the device failed
    }
    const TComEvents events = MaskToEvents(mask);
    if (events == 0) continue;
    if (state->syncMethod == smNone) {
      state->port->DispatchEvents(events);
    } else if (!HandOverEvents(state, events)) {
      break;  // hand-overs are shut down: nobody will take the events
    }
  }
  if (!state->deviceGone.load()) {
    device->SetEventMask(0);
    device->Purge(os::kPurgeTxClear | os::kPurgeRxClear);
  }
  state->orphan.reset();
}

bool TCustomComPort::HandOverEvents(const std::shared_ptr<EventThreadState>& state, TComEvents events) {
  return state->handedOver.fetch_or(events) != 0 || os::Post([state] { DeliverHandedOver(state); });
}

void TCustomComPort::DeliverHandedOver(const std::shared_ptr<EventThreadState>& state) {
  TCustomComPort* port = state->port;
  const TComEvents events = state->handedOver.exchange(0);
  if (port != nullptr && events != 0) port->DispatchEvents(events);
}

void TCustomComPort::DeliverReceived(const TRxCharEvent& event) {
  // Whatever an earlier handler of this dispatch left; nothing when it read it all.
  const std::int32_t count = BytesWaiting();
  const TRxCharEvent handler = event;  // the handler may replace the event
  if (handler && count > 0) handler(this, count);
}

void TCustomComPort::DispatchEvents(TComEvents events) {
  const bool wasInDispatch = inDispatch_;
  inDispatch_ = true;
  try {
    if (events & ComEventBit(evError)) {
      BytesWaiting();  // reads and clears the line errors; no handler takes them
    }
    if (events & ComEventBit(evRxChar)) DeliverReceived(OnRxChar);
    if ((events & ComEventBit(evRxFlag)) && connected_) DeliverReceived(OnRxFlag);
    // evTxEmpty, evBreak, evRing, evCTS, evDSR, evRLSD, evRx80Full: no
    // handlers for these.
  } catch (...) {
    // A failing handler must not end the event thread.
  }
  inDispatch_ = wasInDispatch;
}

// ---------------------------------------------------------------------------
// Reading and writing

void TCustomComPort::PurgeBuffers(bool input, bool output) {
  std::uint32_t flags = 0;
  if (input) flags |= os::kPurgeRxClear;
  if (output) flags |= os::kPurgeTxClear;
  CloseIfDeviceGone();
  const int e = device_ ? device_->Purge(flags) : os::kErrorInvalidHandle;
  if (e != 0) Fail(kMsgPurgeFailed, e);
}

std::int32_t TCustomComPort::BytesWaiting() {
  CloseIfDeviceGone();
  std::uint32_t count = 0;
  const int e = device_ ? device_->BytesWaiting(&count) : os::kErrorInvalidHandle;
  if (e != 0) Fail(kMsgClearCommError, e);
  return static_cast<std::int32_t>(count);
}

std::int32_t TCustomComPort::WriteString(const std::string& data) {
  if (data.empty()) return 0;
  CloseIfDeviceGone();
  std::uint32_t written = 0;
  const int e = device_ ? device_->Write(data.data(), static_cast<std::uint32_t>(data.size()), &written)
                        : os::kErrorInvalidHandle;
  if (e != 0) Fail(kMsgWriteFailed, e);
  return static_cast<std::int32_t>(written);
}

std::int32_t TCustomComPort::ReadString(std::string& data, std::int32_t count) {
  if (count <= 0) {
    data.clear();
    return 0;
  }
  CloseIfDeviceGone();
  if (!device_) throw EComPort(kMsgReadFailed, os::kErrorInvalidHandle);
  data.resize(static_cast<std::size_t>(count));
  std::uint32_t read = 0;
  const int e = device_->Read(data.data(), static_cast<std::uint32_t>(count), &read);
  if (e != 0) {
    data.clear();
    Fail(kMsgReadFailed, e);
  }
  data.resize(read);
  return static_cast<std::int32_t>(read);
}

// ---------------------------------------------------------------------------

void TCustomComPort::AddDestroyListener(const void* key, std::function<void()> listener) {
  for (auto& entry : destroyListeners_) {
    if (entry.first == key) {
      entry.second = std::move(listener);
      return;
    }
  }
  destroyListeners_.emplace_back(key, std::move(listener));
}

void TCustomComPort::RemoveDestroyListener(const void* key) {
  for (auto it = destroyListeners_.begin(); it != destroyListeners_.end(); ++it) {
    if (it->first == key) {
      destroyListeners_.erase(it);
      return;
    }
  }
}
