// The port object over a recording fake device.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "serial/CPort.h"
#include "tests/serial/fake_device.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs hand-overs until `done` holds or five seconds passed.
template <typename Pred>
bool ServeHandOversUntil(Pred done) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    os::RunHandOvers();
    if (!done()) os::WaitForWork(20);
  }
  return true;
}

// Waits (without serving hand-overs) until the fake's WaitEvent blocks.
bool WaitUntilWaiting(FakeDeviceLog& log) {
  std::unique_lock<std::mutex> lock(log.mutex);
  return log.changed.wait_for(lock, std::chrono::seconds(5), [&] { return log.waiting; });
}

template <typename F>
EComPort Raised(F f) {
  try {
    f();
  } catch (const EComPort& e) {
    return e;
  }
  ADD_FAILURE() << "no EComPort raised";
  return EComPort(0, -1);
}

class PortTest : public ::testing::Test {
 protected:
  FakeDevices fakes_;
  FakeDeviceLog& log_ = fakes_.Log();

  os::DeviceControl LastState() {
    std::lock_guard<std::mutex> lock(log_.mutex);
    return log_.states.empty() ? os::DeviceControl{} : log_.states.back();
  }
  std::size_t StateCount() {
    std::lock_guard<std::mutex> lock(log_.mutex);
    return log_.states.size();
  }
  int Alive() {
    std::lock_guard<std::mutex> lock(log_.mutex);
    return log_.alive;
  }
};

// ---------------------------------------------------------------------------
// Settings and opening

TEST_F(PortTest, ANewObjectHasTheDefaultSettings) {
  TComPort port;
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(port.Port(), "COM1");
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(port.CustomBaudRate(), 9600);
  EXPECT_EQ(port.DataBits(), dbEight);
  EXPECT_EQ(port.StopBits(), sbOneStopBit);
  EXPECT_EQ(port.Parity(), TComParity{});
  EXPECT_EQ(port.Parity().Bits, prNone);
  EXPECT_EQ(port.FlowControl().XonChar, 17);
  EXPECT_EQ(port.FlowControl().XoffChar, 19);
  EXPECT_EQ(port.FlowControl().ControlDTR, dtrDisable);
  EXPECT_EQ(port.FlowControl().ControlRTS, rtsDisable);
  EXPECT_EQ(port.Timeouts().ReadInterval, -1);
  EXPECT_EQ(port.Timeouts().WriteTotalMultiplier, 100);
  EXPECT_EQ(port.Timeouts().WriteTotalConstant, 1000);
  EXPECT_EQ(port.Buffer().InputSize, 1024);
  EXPECT_EQ(port.Buffer().OutputSize, 1024);
  EXPECT_EQ(port.Events(), kAllComEvents);
  EXPECT_EQ(port.EventChar(), 0);
  EXPECT_FALSE(port.DiscardNull());
  EXPECT_EQ(port.SyncMethod(), smThreadSync);
  EXPECT_FALSE(port.OnRxChar);
  EXPECT_TRUE(log_.opened.empty());
}

TEST_F(PortTest, OpenAppliesQueuesLineSettingsAndTimeoutsAndStartsTheEventThread) {
  TComPort port;
  port.Open();
  EXPECT_TRUE(port.Connected());
  ASSERT_EQ(log_.opened, std::vector<std::string>{"COM1"});
  ASSERT_EQ(log_.queues.size(), 1u);
  EXPECT_EQ(log_.queues[0], std::make_pair(1024u, 1024u));
  ASSERT_EQ(StateCount(), 1u);
  const os::DeviceControl dcb = LastState();
  EXPECT_EQ(dcb.baudRate, 9600u);
  EXPECT_EQ(dcb.flags, os::kDcbBinary);  // no flow control, DTR and RTS held off
  EXPECT_EQ(dcb.xonLim, 256);
  EXPECT_EQ(dcb.xoffLim, 256);
  EXPECT_EQ(dcb.byteSize, 8);
  EXPECT_EQ(dcb.parity, 0);
  EXPECT_EQ(dcb.stopBits, 0);
  EXPECT_EQ(dcb.xonChar, 0x11);
  EXPECT_EQ(dcb.xoffChar, 0x13);
  EXPECT_EQ(dcb.errorChar, 0);
  EXPECT_EQ(dcb.eofChar, 0);
  EXPECT_EQ(dcb.evtChar, 0);
  ASSERT_EQ(log_.timeouts.size(), 1u);
  EXPECT_EQ(log_.timeouts[0].readInterval, 0xFFFFFFFFu);
  EXPECT_EQ(log_.timeouts[0].readTotalMultiplier, 0u);
  EXPECT_EQ(log_.timeouts[0].readTotalConstant, 0u);
  EXPECT_EQ(log_.timeouts[0].writeTotalMultiplier, 100u);
  EXPECT_EQ(log_.timeouts[0].writeTotalConstant, 1000u);
  EXPECT_TRUE(WaitUntilWaiting(log_));
  {
    std::lock_guard<std::mutex> lock(log_.mutex);
    ASSERT_FALSE(log_.masks.empty());
    EXPECT_EQ(log_.masks[0], 0x5FFu);
  }
  port.Close();
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(Alive(), 0);
  std::lock_guard<std::mutex> lock(log_.mutex);
  // Close aborts (3); the ending thread clears the mask and both queues (12).
  ASSERT_GE(log_.purges.size(), 2u);
  EXPECT_EQ(log_.purges[0], 3u);
  EXPECT_EQ(log_.purges.back(), 12u);
  EXPECT_EQ(log_.masks.back(), 0u);
}

TEST_F(PortTest, EachSettingHasItsPlaceInTheDeviceControlRecord) {
  TComPort port;
  port.SetBaudRate(br115200);
  port.SetDataBits(dbSeven);
  port.SetStopBits(sbTwoStopBits);
  port.SetParity({prMark, true, true, 0x3F});
  TComFlowControl flow;
  flow.OutCTSFlow = true;
  flow.OutDSRFlow = true;
  flow.ControlDTR = dtrHandshake;
  flow.ControlRTS = rtsToggle;
  flow.XonXoffOut = true;
  flow.XonXoffIn = true;
  flow.DSRSensitivity = true;
  flow.TxContinueOnXoff = true;
  flow.XonChar = 1;
  flow.XoffChar = 2;
  port.SetFlowControl(flow);
  port.SetDiscardNull(true);
  port.SetEventChar(0x7E);
  port.SetBuffer({4096, 2048});
  port.SetEvents(0);
  port.Open();
  const os::DeviceControl dcb = LastState();
  EXPECT_EQ(dcb.baudRate, 115200u);
  EXPECT_EQ(dcb.flags, 0x1u | 0x800 | 0x4 | 0x8 | 0x20 | 0x3000 | 0x100 | 0x200 | 0x40 | 0x80 |
                           0x2 | 0x400);
  EXPECT_EQ(dcb.xonLim, 1024);
  EXPECT_EQ(dcb.xoffLim, 1024);
  EXPECT_EQ(dcb.byteSize, 7);
  EXPECT_EQ(dcb.parity, 3);
  EXPECT_EQ(dcb.stopBits, 2);
  EXPECT_EQ(dcb.xonChar, 1);
  EXPECT_EQ(dcb.xoffChar, 2);
  EXPECT_EQ(dcb.errorChar, 0x3F);
  EXPECT_EQ(dcb.evtChar, 0x7E);
  EXPECT_EQ(log_.queues.back(), std::make_pair(4096u, 2048u));
}

TEST_F(PortTest, DtrAndRtsControlAndParityCheckBits) {
  TComPort port;
  port.SetEvents(0);
  port.Open();
  TComFlowControl flow;
  flow.ControlDTR = dtrEnable;
  flow.ControlRTS = rtsEnable;
  port.SetFlowControl(flow);
  EXPECT_EQ(LastState().flags, 0x1u | 0x10 | 0x1000);
  flow.ControlDTR = dtrDisable;
  flow.ControlRTS = rtsHandshake;
  port.SetFlowControl(flow);
  EXPECT_EQ(LastState().flags, 0x1u | 0x2000);
  port.SetFlowControl(TComFlowControl{});
  port.SetParity({prEven, false, true, 0x3F});  // replacing without checking does nothing
  EXPECT_EQ(LastState().flags, 0x1u);
  EXPECT_EQ(LastState().errorChar, 0);
  EXPECT_EQ(LastState().parity, 2);
  port.SetParity({prOdd, true, false, 0x3F});
  EXPECT_EQ(LastState().flags, 0x1u | 0x2);
  EXPECT_EQ(LastState().errorChar, 0);
  EXPECT_EQ(LastState().parity, 1);
  port.SetDataBits(dbFive);
  port.SetStopBits(sbOne5StopBits);
  EXPECT_EQ(LastState().byteSize, 5);
  EXPECT_EQ(LastState().stopBits, 1);
  port.SetParity({prSpace, false, false, 0});
  EXPECT_EQ(LastState().parity, 4);
}

TEST(BaudRateValue, GivesTheTablesRates) {
  const std::uint32_t expected[] = {4242, 110,   300,   600,    1200,   2400,   4800,   9600,  14400,
                                    19200, 38400, 56000, 57600, 115200, 128000, 256000, 512000};
  for (int i = 0; i < kBaudRateCount; ++i) {
    EXPECT_EQ(BaudRateValue(static_cast<TBaudRate>(i), 4242), expected[i]) << i;
  }
}

TEST_F(PortTest, TheCustomRateIsUsedForBrCustom) {
  TComPort port;
  port.SetEvents(0);
  port.SetBaudRate(brCustom);
  port.Open();
  EXPECT_EQ(LastState().baudRate, 9600u);
  port.SetCustomBaudRate(250000);
  EXPECT_EQ(LastState().baudRate, 250000u);
}

TEST_F(PortTest, SettingsChangedWhileClosedWaitForTheNextOpen) {
  TComPort port;
  port.SetBaudRate(br57600);
  port.SetTimeouts({-1, 0, 0, 10, 20});
  port.SetBuffer({512, 512});
  EXPECT_EQ(StateCount(), 0u);
  EXPECT_TRUE(log_.opened.empty());
  port.SetEvents(0);
  port.Open();
  EXPECT_EQ(LastState().baudRate, 57600u);
  EXPECT_EQ(log_.timeouts.back().writeTotalConstant, 20u);
  EXPECT_EQ(log_.queues.back(), std::make_pair(512u, 512u));
}

TEST_F(PortTest, AnUnchangedValueDoesNothingAndAChangedOneIsAppliedAtOnce) {
  TComPort port;
  port.SetEvents(0);
  port.Open();
  ASSERT_EQ(StateCount(), 1u);
  port.SetBaudRate(br9600);
  port.SetCustomBaudRate(9600);
  port.SetDataBits(dbEight);
  port.SetStopBits(sbOneStopBit);
  port.SetParity(TComParity{});
  port.SetFlowControl(TComFlowControl{});
  port.SetEventChar(0);
  port.SetDiscardNull(false);
  port.SetTimeouts(TComTimeouts{});
  port.SetBuffer(TComBuffer{});
  port.SetBuffer({1025, 1025});  // stored minus one: unchanged
  port.SetPort("COM1");
  EXPECT_EQ(StateCount(), 1u);
  EXPECT_EQ(log_.timeouts.size(), 1u);
  EXPECT_EQ(log_.queues.size(), 1u);
  EXPECT_EQ(log_.opened.size(), 1u);

  port.SetBaudRate(br115200);
  EXPECT_EQ(StateCount(), 2u);
  EXPECT_EQ(LastState().baudRate, 115200u);
  port.SetCustomBaudRate(1000);  // stored and applied; the line keeps 115200
  EXPECT_EQ(StateCount(), 3u);
  EXPECT_EQ(LastState().baudRate, 115200u);
  port.SetEventChar(5);
  EXPECT_EQ(StateCount(), 4u);
  port.SetDiscardNull(true);
  EXPECT_EQ(StateCount(), 5u);
  EXPECT_EQ(LastState().flags & os::kDcbNull, os::kDcbNull);
  port.SetTimeouts({-1, 0, 0, 100, 2000});
  EXPECT_EQ(log_.timeouts.size(), 2u);
  EXPECT_EQ(log_.timeouts.back().writeTotalConstant, 2000u);
  port.SetBuffer({2048, 1024});
  EXPECT_EQ(log_.queues.size(), 2u);
  EXPECT_EQ(StateCount(), 5u);  // queue sizes re-apply only the queues
}

TEST_F(PortTest, OddBufferSizesAreStoredMinusOne) {
  TComPort port;
  port.SetBuffer({4097, 1023});
  EXPECT_EQ(port.Buffer().InputSize, 4096);
  EXPECT_EQ(port.Buffer().OutputSize, 1022);
}

TEST_F(PortTest, ChangingThePortOfAnOpenPortReopensIt) {
  TComPort port;
  port.SetEvents(0);
  port.Open();
  port.SetPort("ttyUSB0");
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(log_.opened, (std::vector<std::string>{"COM1", "ttyUSB0"}));
  EXPECT_EQ(Alive(), 1);
  EXPECT_EQ(StateCount(), 2u);  // the new device got the line settings too
}

TEST_F(PortTest, AFailingReopenLeavesThePortClosed) {
  TComPort port;
  port.SetEvents(0);
  port.Open();
  log_.openError = 2;
  const EComPort e = Raised([&] { port.SetPort("COM9"); });
  EXPECT_EQ(e.Code(), kMsgOpenFailed);
  EXPECT_EQ(e.WinCode(), 2);
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(port.Port(), "COM9");
  EXPECT_EQ(Alive(), 0);
}

TEST_F(PortTest, ChangingThePortOfAClosedPortOnlyStoresIt) {
  TComPort port;
  port.SetPort("COM3");
  EXPECT_EQ(port.Port(), "COM3");
  EXPECT_TRUE(log_.opened.empty());
  port.SetPort("com3");  // names compare exactly
  EXPECT_EQ(port.Port(), "com3");
}

TEST_F(PortTest, OpenAndCloseTwiceDoNothingMore) {
  TComPort port;
  port.Close();
  port.Open();
  port.Open();
  EXPECT_EQ(log_.opened.size(), 1u);
  EXPECT_EQ(StateCount(), 1u);
  port.Close();
  port.Close();
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(Alive(), 0);
  port.Open();  // and it opens again after a close
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(log_.opened.size(), 2u);
}

TEST_F(PortTest, AMissingDeviceRaisesMessage1WithTheCode) {
  TComPort port;
  log_.openError = 2;
  const EComPort e = Raised([&] { port.Open(); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_EQ(e.WinCode(), 2);
  EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
  EXPECT_FALSE(port.Connected());
}

TEST_F(PortTest, AFailingSettingStepClosesTheDeviceAndPassesTheFailureOn) {
  struct Case {
    int FakeDeviceLog::*error;
    int message;
    const char* text;
  };
  const Case cases[] = {
      {&FakeDeviceLog::queuesError, 9, "SetupComm function failed (win error code: 22)"},
      {&FakeDeviceLog::setStateError, 7, "SetCommState function failed (win error code: 22)"},
      {&FakeDeviceLog::timeoutsError, 8, "SetCommTimeouts failed (win error code: 22)"},
  };
  for (const Case& c : cases) {
    log_.queuesError = log_.setStateError = log_.timeoutsError = 0;
    log_.*c.error = 22;
    TComPort port;
    const EComPort e = Raised([&] { port.Open(); });
    EXPECT_EQ(e.Code(), c.message);
    EXPECT_EQ(e.WinCode(), 22);
    EXPECT_STREQ(e.what(), c.text);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(Alive(), 0);
    EXPECT_TRUE(log_.masks.empty());  // no event thread
  }
}

TEST_F(PortTest, AFailingChangeOnAnOpenPortRaisesAndKeepsItOpen) {
  TComPort port;
  port.SetEvents(0);
  port.Open();
  log_.setStateError = 22;
  const EComPort e = Raised([&] { port.SetBaudRate(br512000); });
  EXPECT_EQ(e.Code(), kMsgSetCommState);
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(port.BaudRate(), br512000);
}

TEST_F(PortTest, SyncMethodCannotChangeWhileOpen) {
  TComPort port;
  port.SetSyncMethod(smWindowSync);
  EXPECT_EQ(port.SyncMethod(), smWindowSync);
  port.SetEvents(0);
  port.Open();
  const EComPort e = Raised([&] { port.SetSyncMethod(smThreadSync); });
  EXPECT_EQ(e.Code(), 14);
  EXPECT_EQ(e.WinCode(), -1);
  EXPECT_STREQ(e.what(), "Cannot set property while connected");
  EXPECT_EQ(port.SyncMethod(), smWindowSync);
  port.SetSyncMethod(smWindowSync);  // the same value is no change
}

TEST_F(PortTest, WithoutEventsNoThreadRuns) {
  TComPort port;
  port.SetEvents(0);
  port.Open();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::lock_guard<std::mutex> lock(log_.mutex);
  EXPECT_TRUE(log_.masks.empty());
  EXPECT_FALSE(log_.waiting);
}

TEST_F(PortTest, TheEventMaskFollowsTheEvents) {
  TComPort port;
  port.SetEvents(ComEventBit(evRxChar) | ComEventBit(evError) | ComEventBit(evRx80Full));
  port.Open();
  ASSERT_TRUE(WaitUntilWaiting(log_));
  std::lock_guard<std::mutex> lock(log_.mutex);
  EXPECT_EQ(log_.masks[0], 0x1u | 0x80 | 0x400);
}

// ---------------------------------------------------------------------------
// Closing

TEST_F(PortTest, AFailedAbortPurgeLeavesThePortOpenWithItsThread) {
  TComPort port;
  port.Open();
  ASSERT_TRUE(WaitUntilWaiting(log_));
  log_.purgeError = EACCES;  // a failure that leaves the device there
  const EComPort e = Raised([&] { port.Close(); });
  EXPECT_EQ(e.Code(), kMsgPurgeFailed);
  EXPECT_EQ(e.WinCode(), EACCES);
  EXPECT_TRUE(port.Connected());
  int count = 0;
  port.OnRxChar = [&](TCustomComPort*, std::int32_t) { ++count; };
  {
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.input = "x";
  }
  log_.Raise(os::kEvRxChar);
  EXPECT_TRUE(ServeHandOversUntil([&] { return count == 1; }));  // the thread still runs
  log_.purgeError = 0;
  port.Close();
  EXPECT_FALSE(port.Connected());
}

TEST_F(PortTest, DestructionClosesTheDeviceAndTellsTheListeners) {
  int told = 0, removedTold = 0;
  int key1 = 0, key2 = 0;
  {
    TComPort port;
    port.Open();
    port.AddDestroyListener(&key1, [&] { ++told; });
    port.AddDestroyListener(&key2, [&] { ++removedTold; });
    port.RemoveDestroyListener(&key2);
    EXPECT_EQ(Alive(), 1);
  }
  EXPECT_EQ(Alive(), 0);
  EXPECT_EQ(told, 1);
  EXPECT_EQ(removedTold, 0);
}

TEST_F(PortTest, DestructionClosesEvenWhenTheAbortPurgeFails) {
  {
    TComPort port;
    port.Open();
    ASSERT_TRUE(WaitUntilWaiting(log_));
    log_.purgeError = 5;
  }
  EXPECT_EQ(Alive(), 0);
}

// ---------------------------------------------------------------------------
// Reading, writing, queues

TEST_F(PortTest, ReadingWritingAndQueuesOnAnOpenPort) {
  TComPort port;
  port.SetEvents(0);
  port.Open();
  {
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.input = std::string("ab\0cd", 5);
  }
  EXPECT_EQ(port.BytesWaiting(), 5);
  std::string data = "old";
  EXPECT_EQ(port.ReadString(data, 0), 0);
  EXPECT_EQ(data, "");
  EXPECT_EQ(port.ReadString(data, 2), 2);
  EXPECT_EQ(data, "ab");
  EXPECT_EQ(port.ReadString(data, 100), 3);
  EXPECT_EQ(data, std::string("\0cd", 3));
  EXPECT_EQ(port.ReadString(data, 100), 0);
  EXPECT_EQ(data, "");
  EXPECT_EQ(port.WriteString(""), 0);
  EXPECT_EQ(port.WriteString(std::string("\x7e\0\x7d", 3)), 3);
  EXPECT_EQ(log_.written, std::string("\x7e\0\x7d", 3));
  port.PurgeBuffers(true, true);
  port.PurgeBuffers(true, false);
  port.PurgeBuffers(false, true);
  const std::vector<std::uint32_t> purges(log_.purges.end() - 3, log_.purges.end());
  EXPECT_EQ(purges, (std::vector<std::uint32_t>{12, 8, 4}));
}

TEST_F(PortTest, DeviceFailuresRaiseTheirMessagesAndLeaveThePortUsable) {
  TComPort port;
  port.SetEvents(0);
  port.Open();
  log_.readError = EACCES;
  log_.writeError = ECHILD;
  log_.purgeError = 7;
  log_.bytesError = 8;
  std::string data;
  EXPECT_EQ(Raised([&] { port.ReadString(data, 4); }).Code(), 3);
  EXPECT_EQ(Raised([&] { port.WriteString("x"); }).Code(), 2);
  EXPECT_EQ(Raised([&] { port.PurgeBuffers(true, true); }).Code(), 5);
  const EComPort e = Raised([&] { port.BytesWaiting(); });
  EXPECT_EQ(e.Code(), 10);
  EXPECT_STREQ(e.what(), "ClearCommError function failed (win error code: 8)");
  log_.readError = log_.writeError = log_.purgeError = log_.bytesError = 0;
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(port.WriteString("ok"), 2);
  EXPECT_EQ(port.BytesWaiting(), 0);
}

TEST_F(PortTest, AClosedPortRefusesDeviceCalls) {
  TComPort port;
  std::string data;
  EXPECT_EQ(Raised([&] { port.BytesWaiting(); }).WinCode(), os::kErrorInvalidHandle);
  EXPECT_EQ(Raised([&] { port.BytesWaiting(); }).Code(), 10);
  EXPECT_EQ(Raised([&] { port.ReadString(data, 1); }).Code(), 3);
  EXPECT_EQ(Raised([&] { port.WriteString("x"); }).Code(), 2);
  EXPECT_EQ(Raised([&] { port.PurgeBuffers(true, true); }).Code(), 5);
  EXPECT_EQ(port.ReadString(data, 0), 0);
  EXPECT_EQ(port.WriteString(""), 0);
}

// ---------------------------------------------------------------------------
// The event thread

TEST_F(PortTest, ReceivedBytesReachOnRxCharOnTheThreadThatRunsHandOvers) {
  TComPort port;
  TCustomComPort* sender = nullptr;
  std::int32_t count = -1;
  std::thread::id ranOn;
  port.OnRxChar = [&](TCustomComPort* s, std::int32_t n) {
    sender = s;
    count = n;
    ranOn = std::this_thread::get_id();
  };
  port.Open();
  {
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.input = "hello";
  }
  log_.Raise(os::kEvRxChar);
  ASSERT_TRUE(ServeHandOversUntil([&] { return count != -1; }));
  EXPECT_EQ(sender, &port);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  port.Close();
}

TEST_F(PortTest, NoBytesWaitingCallsNoHandler) {
  TComPort port;
  int calls = 0;
  port.OnRxChar = [&](TCustomComPort*, std::int32_t) { ++calls; };
  port.Open();
  log_.Raise(os::kEvRxChar);  // nothing waits when it is dispatched
  log_.Raise(os::kEvErr);
  ASSERT_TRUE(ServeHandOversUntil([&] {
    std::lock_guard<std::mutex> lock(log_.mutex);
    return log_.events.empty() && log_.waiting;
  }));
  os::RunHandOvers();
  EXPECT_EQ(calls, 0);
  port.Close();
}

TEST_F(PortTest, AFailingHandlerDoesNotEndTheEventThread) {
  TComPort port;
  int calls = 0;
  port.OnRxChar = [&](TCustomComPort*, std::int32_t) {
    ++calls;
    throw EComPort(kMsgReadFailed, 5);
  };
  port.Open();
  {
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.input = "x";
  }
  log_.Raise(os::kEvRxChar);
  ASSERT_TRUE(ServeHandOversUntil([&] { return calls == 1; }));
  log_.Raise(os::kEvRxChar);
  ASSERT_TRUE(ServeHandOversUntil([&] { return calls == 2; }));
  port.Close();
}

TEST_F(PortTest, CloseFinishesWhileTheEventThreadWaitsInAHandOver) {
  TComPort port;
  std::int32_t count = -1;
  port.OnRxChar = [&](TCustomComPort*, std::int32_t n) { count = n; };
  port.Open();
  {
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.input = "abc";
  }
  os::WaitForWork(0);  // forget wake-ups left by earlier hand-overs
  log_.Raise(os::kEvRxChar);
  os::WaitForWork(5000);  // returns once the hand-over is queued; nobody runs it
  {
    std::unique_lock<std::mutex> lock(log_.mutex);
    ASSERT_TRUE(log_.changed.wait_for(lock, std::chrono::seconds(5), [&] { return log_.events.empty(); }));
  }
  EXPECT_EQ(count, -1);
  const auto start = Clock::now();
  port.Close();  // runs the pending hand-over while it waits for the thread
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(count, 3);
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(Alive(), 0);
}

TEST_F(PortTest, AHandlerMayCloseThePort) {
  TComPort port;
  int calls = 0;
  port.OnRxChar = [&](TCustomComPort* sender, std::int32_t) {
    ++calls;
    sender->Close();
  };
  port.Open();
  {
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.input = "abc";
  }
  log_.Raise(os::kEvRxChar);
  ASSERT_TRUE(ServeHandOversUntil([&] { return calls == 1; }));
  EXPECT_FALSE(port.Connected());
  // The thread ends by itself and closes the device.
  std::unique_lock<std::mutex> lock(log_.mutex);
  EXPECT_TRUE(log_.changed.wait_for(lock, std::chrono::seconds(5), [&] { return log_.alive == 0; }));
  lock.unlock();
  port.Open();  // and the port opens again
  EXPECT_TRUE(port.Connected());
}

TEST_F(PortTest, AFailingWaitEndsTheEventThread) {
  TComPort port;
  port.Open();
  ASSERT_TRUE(WaitUntilWaiting(log_));
  {
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.waitError = EACCES;
    log_.changed.notify_all();
  }
  {
    std::unique_lock<std::mutex> lock(log_.mutex);
    EXPECT_TRUE(log_.changed.wait_for(lock, std::chrono::seconds(5), [&] {
      return !log_.purges.empty() && log_.purges.back() == 12u;
    }));
    EXPECT_EQ(log_.masks.back(), 0u);
  }
  EXPECT_TRUE(port.Connected());
  port.Close();
  EXPECT_FALSE(port.Connected());
}

TEST_F(PortTest, ADeviceThatIsGoneClosesThePort) {
  // Seen by the event thread between operations, or by a call of this thread.
  for (const bool seenByTheWait : {true, false}) {
    SCOPED_TRACE(seenByTheWait ? "wait" : "read");
    TComPort port;
    port.Open();
    ASSERT_TRUE(WaitUntilWaiting(log_));
    std::string data;
    if (seenByTheWait) {
      {
        std::lock_guard<std::mutex> lock(log_.mutex);
        log_.waitError = ENXIO;
        log_.changed.notify_all();
      }
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (port.Connected() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    } else {
      log_.readError = EIO;
      EXPECT_EQ(Raised([&] { port.ReadString(data, 4); }).WinCode(), EIO);
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(Raised([&] { port.BytesWaiting(); }).WinCode(), os::kErrorInvalidHandle);
    {
      std::unique_lock<std::mutex> lock(log_.mutex);
      EXPECT_TRUE(log_.changed.wait_for(lock, std::chrono::seconds(5), [&] { return log_.alive == 0; }));
      log_.waitError = 0;
    }
    log_.readError = 0;
    port.Open();  // the device is back
    EXPECT_TRUE(port.Connected());
  }
}

TEST_F(PortTest, WithoutSynchronisationHandlersRunOnTheEventThread) {
  TComPort port;
  port.SetSyncMethod(smNone);
  std::atomic<bool> called{false};
  std::thread::id ranOn;
  port.OnRxChar = [&](TCustomComPort*, std::int32_t) {
    ranOn = std::this_thread::get_id();
    called = true;
  };
  port.Open();
  {
    std::lock_guard<std::mutex> lock(log_.mutex);
    log_.input = "x";
  }
  log_.Raise(os::kEvRxChar);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!called && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_TRUE(called);
  EXPECT_NE(ranOn, std::this_thread::get_id());
  port.Close();
}

TEST_F(PortTest, ShutDownHandOversEndTheEventThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TComPort port;
        port.Open();
        os::ShutDownHandOvers();
        {
          std::lock_guard<std::mutex> lock(log_.mutex);
          log_.input = "x";
        }
        log_.Raise(os::kEvRxChar);
        std::unique_lock<std::mutex> lock(log_.mutex);
        const bool ended = log_.changed.wait_for(lock, std::chrono::seconds(5), [&] {
          return !log_.purges.empty() && log_.purges.back() == 12u;
        });
        lock.unlock();
        port.Close();
        std::exit(ended ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------
// Messages

TEST(EComPort, CarriesTheNumberedTextAndTheCode) {
  EXPECT_EQ(ComPortMessage(1), "Unable to open com port");
  EXPECT_EQ(ComPortMessage(2), "WriteFile function failed");
  EXPECT_EQ(ComPortMessage(3), "ReadFile function failed");
  EXPECT_EQ(ComPortMessage(5), "PurgeComm function failed");
  EXPECT_EQ(ComPortMessage(8), "SetCommTimeouts failed");
  EXPECT_EQ(ComPortMessage(18), "Link (un)registration failed");
  EXPECT_EQ(ComPortMessage(22), "A component is linked to OnRxBuf event");
  EXPECT_EQ(ComPortMessage(23), "Registry error");
  EXPECT_EQ(ComPortMessage(0), "");
  EXPECT_EQ(ComPortMessage(24), "");
  const EComPort withCode(kMsgRegistryError, 259);
  EXPECT_STREQ(withCode.what(), "Registry error (win error code: 259)");
  EXPECT_EQ(withCode.Code(), 23);
  EXPECT_EQ(withCode.WinCode(), 259);
  const EComPort withoutCode(kMsgConnectedProperty, -1);
  EXPECT_STREQ(withoutCode.what(), "Cannot set property while connected");
  EXPECT_STREQ(EComPort(kMsgWriteFailed, 0).what(), "WriteFile function failed (win error code: 0)");
}

}  // namespace
