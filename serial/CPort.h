// The serial port object: one serial device with its line settings, reading,
// writing, queue control, and an event thread that hands device events to the
// user-interface thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

enum TBaudRate : std::uint8_t {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400,
  br19200, br38400, br56000, br57600, br115200, br128000, br256000, br512000,
};
constexpr int kBaudRateCount = 17;
// Bits per second by TBaudRate; brCustom has the port's custom rate instead.
inline constexpr std::array<std::uint32_t, kBaudRateCount> kBaudRates = {
    0,     110,   300,   600,    1200,   2400,   4800,   9600,  14400,
    19200, 38400, 56000, 57600, 115200, 128000, 256000, 512000,
};

enum TDataBits : std::uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum TStopBits : std::uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TParityBits : std::uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl : std::uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl : std::uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };

enum TComEvent : std::uint8_t {
  evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full,
};
// A set of TComEvent: bit (1 << event).
using TComEvents = std::uint16_t;
constexpr TComEvents kAllComEvents = 0x3FF;
constexpr TComEvents ComEventBit(TComEvent e) { return static_cast<TComEvents>(1u << e); }

struct TComParity {
  TParityBits Bits = prNone;
  bool Check = false;
  bool Replace = false;
  std::uint8_t ReplaceChar = 0;
  bool operator==(const TComParity&) const = default;
};

struct TComFlowControl {
  bool OutCTSFlow = false;
  bool OutDSRFlow = false;
  TDTRFlowControl ControlDTR = dtrDisable;
  TRTSFlowControl ControlRTS = rtsDisable;
  bool XonXoffOut = false;
  bool XonXoffIn = false;
  bool DSRSensitivity = false;
  bool TxContinueOnXoff = false;
  std::uint8_t XonChar = 17;
  std::uint8_t XoffChar = 19;
  bool operator==(const TComFlowControl&) const = default;
};

struct TComTimeouts {
  std::int32_t ReadInterval = -1;
  std::int32_t ReadTotalMultiplier = 0;
  std::int32_t ReadTotalConstant = 0;
  std::int32_t WriteTotalMultiplier = 100;
  std::int32_t WriteTotalConstant = 1000;
  bool operator==(const TComTimeouts&) const = default;
};

struct TComBuffer {
  std::int32_t InputSize = 1024;
  std::int32_t OutputSize = 1024;
  bool operator==(const TComBuffer&) const = default;
};

// The serial layer's failure: a numbered message (1-23), translated at load,
// followed by " (win error code: %d)" when there is a system code (-1 otherwise).
class EComPort : public std::runtime_error {
 public:
  EComPort(int messageNumber, int winCode);
  int Code() const { return code_; }
  int WinCode() const { return winCode_; }

 private:
  int code_;
  int winCode_;
};

// Message numbers used by the code.
enum : int {
  kMsgOpenFailed = 1, kMsgWriteFailed = 2, kMsgReadFailed = 3, kMsgPurgeFailed = 5,
  kMsgSetCommState = 7, kMsgSetTimeouts = 8, kMsgSetupComm = 9, kMsgClearCommError = 10,
  kMsgConnectedProperty = 14, kMsgRegistryError = 23,
};
// The text of message `number` as translated at load (without code suffix).
const std::string& ComPortMessage(int number);

class TCustomComPort;
// Receive events: the port and the count of bytes waiting (always above 0).
using TRxCharEvent = std::function<void(TCustomComPort* sender, std::int32_t count)>;

class TCustomComPort {
 public:
  TCustomComPort();
  virtual ~TCustomComPort();
  TCustomComPort(const TCustomComPort&) = delete;
  TCustomComPort& operator=(const TCustomComPort&) = delete;

  // False as soon as the event thread has seen the device go away: the port
  // then closes itself at the next call on this thread.
  bool Connected() const;

  const std::string& Port() const { return port_; }
  void SetPort(const std::string& name);
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate rate);
  std::int32_t CustomBaudRate() const { return customBaudRate_; }
  void SetCustomBaudRate(std::int32_t rate);
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits bits);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits bits);
  const TComParity& Parity() const { return parity_; }
  void SetParity(const TComParity& parity);
  const TComFlowControl& FlowControl() const { return flowControl_; }
  void SetFlowControl(const TComFlowControl& flow);
  const TComTimeouts& Timeouts() const { return timeouts_; }
  void SetTimeouts(const TComTimeouts& timeouts);
  const TComBuffer& Buffer() const { return buffer_; }
  void SetBuffer(const TComBuffer& buffer);  // odd sizes are stored minus one
  TComEvents Events() const { return events_; }
  void SetEvents(TComEvents events);
  std::uint8_t EventChar() const { return eventChar_; }
  void SetEventChar(std::uint8_t c);
  bool DiscardNull() const { return discardNull_; }
  void SetDiscardNull(bool discard);
  TSyncMethod SyncMethod() const { return syncMethod_; }
  void SetSyncMethod(TSyncMethod method);  // fails with message 14 while open

  void Open();
  void Close();
  void PurgeBuffers(bool input, bool output);
  std::int32_t BytesWaiting();
  std::int32_t WriteString(const std::string& data);
  std::int32_t ReadString(std::string& data, std::int32_t count);

  // The receive event; installed and replaced directly.
  TRxCharEvent OnRxChar;
  // The event character (EventChar) was received; needs evRxFlag in Events.
  TRxCharEvent OnRxFlag;

  // Lets a chooser learn when this object is destroyed.
  void AddDestroyListener(const void* key, std::function<void()> listener);
  void RemoveDestroyListener(const void* key);

 protected:
  virtual void CreateHandle();
  virtual void DestroyHandle();
  virtual void ApplySettings();
  virtual void ApplyBuffer();
  virtual void ApplyDCB();
  virtual void ApplyTimeouts();

 private:
  template <typename Setting>
  void Change(Setting& setting, const Setting& value, void (TCustomComPort::*apply)());
  struct EventThreadState;
  void StartEventThread();
  // Ends the event thread; `deliverPending` runs the events it had handed over.
  void StopEventThread(bool deliverPending);
  static void EventThreadMain(std::shared_ptr<EventThreadState> state);
  // Hands events over to the user-interface thread; while earlier ones wait
  // there, they are added to those. False when hand-overs are shut down.
  static bool HandOverEvents(const std::shared_ptr<EventThreadState>& state, TComEvents events);
  static void DeliverHandedOver(const std::shared_ptr<EventThreadState>& state);
  void DispatchEvents(TComEvents events);
  // Calls a receive event with the count waiting, when anything is.
  void DeliverReceived(const TRxCharEvent& event);
  // A device that is gone is closed here, at once; nothing is purged.
  void CloseGoneDevice();
  // Closes the port if its event thread saw the device go.
  void CloseIfDeviceGone();
  // Throws message `number` for a failed device call, closing a gone device first.
  [[noreturn]] void Fail(int number, int error);

  bool connected_ = false;
  std::string port_ = "COM1";
  TBaudRate baudRate_ = br9600;
  std::int32_t customBaudRate_ = 9600;
  TDataBits dataBits_ = dbEight;
  TStopBits stopBits_ = sbOneStopBit;
  TComParity parity_;
  TComFlowControl flowControl_;
  TComTimeouts timeouts_;
  TComBuffer buffer_;
  TComEvents events_ = kAllComEvents;
  std::uint8_t eventChar_ = 0;
  bool discardNull_ = false;
  TSyncMethod syncMethod_ = smThreadSync;

  std::unique_ptr<os::SerialDevice> device_;
  std::thread eventThread_;
  bool threadCreated_ = false;
  std::shared_ptr<EventThreadState> threadState_;
  bool closing_ = false;     // Close is running (a handler it runs may call it again)
  bool inDispatch_ = false;  // a hand-over of the event thread is being dispatched
  std::vector<std::pair<const void*, std::function<void()>>> destroyListeners_;
};

class TComPort : public TCustomComPort {};

// The line rate a baud index puts on the line (brCustom: the custom rate).
std::uint32_t BaudRateValue(TBaudRate rate, std::int32_t customRate);
