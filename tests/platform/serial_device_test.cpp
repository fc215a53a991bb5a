#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_serial.h"
#include "tests/platform/pty.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_pty::Pty;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

os::DeviceControl PhoneLine(std::uint32_t rate) {
  os::DeviceControl c;
  c.baudRate = rate;
  c.flags = os::kDcbBinary;
  c.xonLim = c.xoffLim = 256;
  c.byteSize = 8;
  c.xonChar = 17;
  c.xoffChar = 19;
  return c;
}

std::unique_ptr<os::SerialDevice> OpenPty(const Pty& pty) {
  int error = -1;
  auto device = os::OpenSerialDevice(pty.SlavePath(), &error);
  EXPECT_TRUE(device) << "error " << error;
  EXPECT_EQ(error, 0);
  return device;
}

std::uint32_t WaitForBytes(os::SerialDevice& device, std::uint32_t atLeast) {
  std::uint32_t count = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (Clock::now() < deadline) {
    EXPECT_EQ(device.BytesWaiting(&count), 0);
    if (count >= atLeast) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return count;
}

TEST(SerialDevicePath, MapsPortNames) {
  EXPECT_EQ(os::SerialDevicePath("/dev/pts/3"), "/dev/pts/3");
  EXPECT_EQ(os::SerialDevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(os::SerialDevicePath("com12"), "/dev/ttyS11");
  EXPECT_EQ(os::SerialDevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(os::SerialDevicePath("COM0"), "/dev/COM0");
  EXPECT_EQ(os::SerialDevicePath("COMX"), "/dev/COMX");
  EXPECT_EQ(os::SerialDevicePath("COM"), "/dev/COM");
}

TEST(OpenSerialDevice, AMissingDeviceGivesCode2) {
  int error = 0;
  EXPECT_EQ(os::OpenSerialDevice("/dev/velk-no-such-device", &error), nullptr);
  EXPECT_EQ(error, 2);
  error = 0;
  EXPECT_EQ(os::OpenSerialDevice("velk-no-such-device", &error), nullptr);
  EXPECT_EQ(error, 2);
  error = 0;
  EXPECT_EQ(os::OpenSerialDevice("COM250", &error), nullptr);
  EXPECT_EQ(error, 2);
}

TEST(OpenSerialDevice, SomethingThatIsNoTerminalIsRefused) {
  int error = 0;
  EXPECT_EQ(os::OpenSerialDevice("/dev/null", &error), nullptr);
  EXPECT_EQ(error, ENOTTY);
}

TEST(OpenSerialDevice, ADeviceHasOneUserAtATime) {
  Pty pty;
  auto first = OpenPty(pty);
  int error = 0;
  EXPECT_EQ(os::OpenSerialDevice(pty.SlavePath(), &error), nullptr);
  EXPECT_EQ(error, EBUSY);
  first.reset();
  EXPECT_NE(os::OpenSerialDevice(pty.SlavePath(), &error), nullptr);
}

TEST(OpenSerialDevice, TheTestOpenerReplacesTheRealOne) {
  std::string asked;
  os::SetSerialOpenerForTesting([&](const std::string& name, int* error) {
    asked = name;
    *error = 1234;
    return std::unique_ptr<os::SerialDevice>();
  });
  int error = 0;
  EXPECT_EQ(os::OpenSerialDevice("COM7", &error), nullptr);
  EXPECT_EQ(asked, "COM7");
  EXPECT_EQ(error, 1234);
  os::SetSerialOpenerForTesting(nullptr);
  EXPECT_EQ(os::OpenSerialDevice("/dev/velk-no-such-device", &error), nullptr);
  EXPECT_EQ(error, 2);
}

TEST(SerialDevice, SetStateMakesARawLine) {
  Pty pty;
  auto device = OpenPty(pty);
  ASSERT_EQ(device->SetState(PhoneLine(9600)), 0);
  const termios t = pty.Attributes();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(DeviceControlToTermios, MapsEveryLineSetting) {
  termios t{};
  t.c_lflag = ICANON | ECHO | ISIG;
  t.c_oflag = OPOST | ONLCR;
  t.c_iflag = ICRNL | IXON;
  os::DeviceControl c = PhoneLine(115200);
  c.byteSize = 7;
  c.parity = 3;  // mark
  c.stopBits = 2;
  c.flags |= os::kDcbParity | os::kDcbOutxCtsFlow | os::kDcbOutX | os::kDcbInX;
  c.xonChar = 0x11;
  c.xoffChar = 0x13;
  bool freeRate = true;
  ASSERT_EQ(os::DeviceControlToTermios(c, &t, &freeRate), 0);
  EXPECT_FALSE(freeRate);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB | PARODD | CMSPAR));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), static_cast<tcflag_t>(IXON | IXOFF | INPCK));
  EXPECT_EQ(t.c_iflag & ICRNL, 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);

  c = PhoneLine(4800);
  c.byteSize = 5;
  c.parity = 4;  // space
  ASSERT_EQ(os::DeviceControlToTermios(c, &t, &freeRate), 0);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS5));
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB | CMSPAR));
  EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), 0u);

  c.parity = 1;  // odd
  c.byteSize = 6;
  ASSERT_EQ(os::DeviceControlToTermios(c, &t, &freeRate), 0);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS6));
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB | PARODD));
  c.parity = 2;  // even
  c.stopBits = 1;  // one and a half
  c.flags |= os::kDcbRtsHandshake;
  ASSERT_EQ(os::DeviceControlToTermios(c, &t, &freeRate), 0);
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), static_cast<tcflag_t>(PARENB));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);

  ASSERT_EQ(os::DeviceControlToTermios(PhoneLine(56000), &t, &freeRate), 0);
  EXPECT_TRUE(freeRate);
}

TEST(SerialDevice, SetStateReachesTheDevice) {
  // A pseudo-terminal keeps every setting but size and parity (always 8, none).
  Pty pty;
  auto device = OpenPty(pty);
  os::DeviceControl c = PhoneLine(115200);
  c.stopBits = 2;
  c.flags |= os::kDcbOutxCtsFlow | os::kDcbOutX | os::kDcbInX | os::kDcbParity;
  c.xonChar = 0x01;
  c.xoffChar = 0x02;
  ASSERT_EQ(device->SetState(c), 0);
  termios t = pty.Attributes();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CRTSCTS);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), static_cast<tcflag_t>(IXON | IXOFF | INPCK));
  EXPECT_EQ(t.c_cc[VSTART], 0x01);
  EXPECT_EQ(t.c_cc[VSTOP], 0x02);
  ASSERT_EQ(device->SetState(PhoneLine(4800)), 0);
  t = pty.Attributes();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));
  EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), 0u);
}

TEST(SerialDevice, RatesWithoutATermiosConstantUseTheKernelsFreeRate) {
  Pty pty;
  auto device = OpenPty(pty);
  for (std::uint32_t rate : {14400u, 56000u, 128000u, 256000u, 512000u}) {
    ASSERT_EQ(device->SetState(PhoneLine(rate)), 0) << rate;
    termios2 t2{};
    ASSERT_EQ(ioctl(pty.Master(), TCGETS2, &t2), 0);
    EXPECT_EQ(t2.c_ospeed, rate);
    EXPECT_EQ(t2.c_ispeed, rate);
  }
  ASSERT_EQ(device->SetState(PhoneLine(57600)), 0);
  const termios t = pty.Attributes();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
}

TEST(SerialDevice, ImpossibleSettingsAreRefused) {
  Pty pty;
  auto device = OpenPty(pty);
  EXPECT_EQ(device->SetState(PhoneLine(0)), EINVAL);
  os::DeviceControl c = PhoneLine(9600);
  c.byteSize = 9;
  EXPECT_EQ(device->SetState(c), EINVAL);
}

TEST(SerialDevice, ModemLinesOnAPseudoTerminalAreNoFailure) {
  Pty pty;
  auto device = OpenPty(pty);
  os::DeviceControl c = PhoneLine(9600);
  c.flags |= os::kDcbDtrEnable | os::kDcbRtsEnable;
  EXPECT_EQ(device->SetState(c), 0);
  c.flags = os::kDcbBinary | os::kDcbDtrHandshake | os::kDcbRtsToggle;
  EXPECT_EQ(device->SetState(c), 0);
}

TEST(SerialDevice, ReadTakesWhatWaitsAndNeverWaits) {
  Pty pty;
  auto device = OpenPty(pty);
  ASSERT_EQ(device->SetState(PhoneLine(9600)), 0);
  ASSERT_EQ(device->SetTimeouts({0xFFFFFFFF, 0, 0, 100, 1000}), 0);
  ASSERT_EQ(device->SetupQueues(1024, 1024), 0);
  char buffer[64];
  std::uint32_t read = 99;
  auto start = Clock::now();
  ASSERT_EQ(device->Read(buffer, sizeof buffer, &read), 0);
  EXPECT_EQ(read, 0u);
  EXPECT_LT(MillisecondsSince(start), 100);

  pty.Send(std::string("ab\0\r\n", 5));
  EXPECT_EQ(WaitForBytes(*device, 5), 5u);
  start = Clock::now();
  ASSERT_EQ(device->Read(buffer, 3, &read), 0);
  EXPECT_EQ(std::string(buffer, read), std::string("ab\0", 3));
  ASSERT_EQ(device->Read(buffer, sizeof buffer, &read), 0);
  EXPECT_EQ(std::string(buffer, read), "\r\n");  // raw: no translation
  EXPECT_LT(MillisecondsSince(start), 100);
}

// No event thread runs here: only the waiting thread can take what arrives.
TEST(SerialDevice, TheWaitingThreadTakesACompleteReplyItselfAndPassesItToTheSink) {
  Pty pty;
  auto device = OpenPty(pty);
  ASSERT_EQ(device->SetState([] {
    os::DeviceControl line = PhoneLine(115200);
    line.evtChar = 0x7E;
    return line;
  }()), 0);
  ASSERT_EQ(device->SetEventMask(os::kEvRxFlag), 0);
  std::vector<std::uint32_t> reported;
  device->SetArrivalSink([&](std::uint32_t events) { reported.push_back(events); });
  struct Step {
    const char* sent;
    std::vector<std::uint32_t> reported;  // after one wait
    std::uint32_t waiting;
  };
  const Step steps[] = {
      {"ab", {}, 0},                      // a reply's beginning wakes nobody
      {"c\x7e", {os::kEvRxFlag}, 4},      // its end: everything before it comes along
      {"\x7e\x7e", {os::kEvRxFlag, os::kEvRxFlag}, 6},  // two ends at once: a report each
  };
  for (const Step& step : steps) {
    reported.clear();
    pty.Send(step.sent);
    os::WaitForWork(step.reported.empty() ? 100 : 5000);
    EXPECT_EQ(reported, step.reported) << step.sent;
    std::uint32_t waiting = 0;
    ASSERT_EQ(device->BytesWaiting(&waiting), 0);
    EXPECT_EQ(waiting, step.waiting) << step.sent;
  }
  // Without a sink the device is not watched: its bytes wait for the reader.
  device->SetArrivalSink(nullptr);
  reported.clear();
  pty.Send("d\x7e");
  os::WaitForWork(100);
  EXPECT_TRUE(reported.empty());
  EXPECT_EQ(WaitForBytes(*device, 8), 8u);
}

TEST(SerialDevice, AWatchKeepsTheEventThreadAsideBetweenWaitsAndItsEndWakesItAgain) {
  Pty pty;
  auto device = OpenPty(pty);
  os::DeviceControl line = PhoneLine(115200);
  line.evtChar = 0x7E;
  ASSERT_EQ(device->SetState(line), 0);
  ASSERT_EQ(device->SetEventMask(os::kEvRxFlag), 0);
  std::vector<std::uint32_t> reported;
  device->SetArrivalSink([&](std::uint32_t events) { reported.push_back(events); });
  std::atomic<int> eventThreadWakes{0};
  std::thread eventThread([&] {
    std::uint32_t events = 0;
    while (device->WaitEvent(&events) == 0) ++eventThreadWakes;
  });
  {
    const os::ArrivalWatch watch;
    os::WaitForWork(50);  // nothing comes, and the device stays watched
    pty.Send("a\x7e");    // between two waits
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(eventThreadWakes, 0);
    os::WaitForWork(5000);
    EXPECT_EQ(reported, std::vector<std::uint32_t>{os::kEvRxFlag});
  }
  pty.Send("b\x7e");
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (eventThreadWakes == 0 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(eventThreadWakes, 1);
  device->SetArrivalSink(nullptr);
  device->CancelWait();
  eventThread.join();
}

TEST(SerialDevice, WriteSendsEveryByte) {
  Pty pty;
  auto device = OpenPty(pty);
  ASSERT_EQ(device->SetState(PhoneLine(9600)), 0);
  ASSERT_EQ(device->SetTimeouts({0xFFFFFFFF, 0, 0, 100, 1000}), 0);
  const std::string frame("\x59\x0a\x00\x7d\x5e\n\x7e", 7);
  std::uint32_t written = 0;
  ASSERT_EQ(device->Write(frame.data(), static_cast<std::uint32_t>(frame.size()), &written), 0);
  EXPECT_EQ(written, frame.size());
  EXPECT_EQ(pty.Receive(frame.size()), frame);
}

TEST(SerialDevice, AWriteThatCannotGoOutEndsAtItsTimeLimit) {
  Pty pty;
  auto device = OpenPty(pty);
  ASSERT_EQ(device->SetState(PhoneLine(9600)), 0);
  ASSERT_EQ(device->SetTimeouts({0xFFFFFFFF, 0, 0, 0, 300}), 0);
  // Nobody reads the other end: the queues fill up and the write stalls.
  const std::string big(4 << 20, 'x');
  std::uint32_t written = 0;
  const auto start = Clock::now();
  ASSERT_EQ(device->Write(big.data(), static_cast<std::uint32_t>(big.size()), &written), 0);
  const auto took = MillisecondsSince(start);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
  EXPECT_GE(took, 250);
  EXPECT_LT(took, 3000);
}

TEST(SerialDevice, PurgeDiscardsWhatWaits) {
  Pty pty;
  auto device = OpenPty(pty);
  ASSERT_EQ(device->SetState(PhoneLine(9600)), 0);
  pty.Send("0123456789");
  EXPECT_EQ(WaitForBytes(*device, 10), 10u);
  EXPECT_EQ(device->Purge(os::kPurgeTxClear), 0);
  EXPECT_EQ(WaitForBytes(*device, 10), 10u);
  EXPECT_EQ(device->Purge(os::kPurgeRxClear | os::kPurgeTxClear), 0);
  std::uint32_t count = 99;
  ASSERT_EQ(device->BytesWaiting(&count), 0);
  EXPECT_EQ(count, 0u);
  pty.Send("abc");
  EXPECT_EQ(WaitForBytes(*device, 3), 3u);
  // Aborting ends pending operations; received bytes stay until cleared.
  EXPECT_EQ(device->Purge(os::kPurgeRxAbort | os::kPurgeTxAbort), 0);
  ASSERT_EQ(device->BytesWaiting(&count), 0);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(device->Purge(0), 0);
}

TEST(SerialDevice, WhatWasWrittenStillArrivesAfterAPurge) {
  // A completed write has left the device: neither aborting nor clearing the
  // output queue takes it back (on a pseudo-terminal it waits at the other end).
  Pty pty;
  auto device = OpenPty(pty);
  ASSERT_EQ(device->SetState(PhoneLine(9600)), 0);
  std::uint32_t written = 0;
  ASSERT_EQ(device->Write("\x29\x02\x00", 3, &written), 0);
  ASSERT_EQ(device->Purge(os::kPurgeRxAbort | os::kPurgeTxAbort), 0);
  ASSERT_EQ(device->Write("\x7e", 1, &written), 0);
  ASSERT_EQ(device->Purge(os::kPurgeRxClear | os::kPurgeTxClear), 0);
  device.reset();
  EXPECT_EQ(pty.Receive(4), std::string("\x29\x02\x00\x7e", 4));
}

TEST(SerialDevice, WaitEventReportsNewBytesOnce) {
  Pty pty;
  auto device = OpenPty(pty);
  ASSERT_EQ(device->SetState(PhoneLine(9600)), 0);
  ASSERT_EQ(device->SetEventMask(0x5FF), 0);
  std::atomic<int> results{0};
  std::atomic<int> lastResult{-100};
  std::atomic<std::uint32_t> lastEvents{0};
  std::atomic<bool> stop{false};
  std::thread waiter([&] {
    while (!stop) {
      std::uint32_t events = 0;
      const int r = device->WaitEvent(&events);
      lastEvents = events;
      lastResult = r;
      ++results;
      if (r != 0) break;
    }
  });
  auto waitFor = [&](int n) {
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (results < n && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(results, 0);  // nothing arrived
  pty.Send("x");
  waitFor(1);
  EXPECT_EQ(results, 1);
  EXPECT_EQ(lastResult, 0);
  EXPECT_EQ(lastEvents, os::kEvRxChar);
  // The byte stays unread: no new event for it.
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(results, 1);
  pty.Send("y");  // new bytes: a new event, although the old byte still waits
  waitFor(2);
  EXPECT_EQ(results, 2);
  EXPECT_EQ(lastEvents, os::kEvRxChar);
  stop = true;
  device->CancelWait();
  waiter.join();
  EXPECT_EQ(lastResult, os::kWaitCancelled);
  std::uint32_t events = 0;
  EXPECT_EQ(device->WaitEvent(&events), os::kWaitCancelled);  // and every later wait
}

TEST(SerialDevice, WithoutRxCharInTheMaskArrivingBytesAreNoEvent) {
  Pty pty;
  auto device = OpenPty(pty);
  ASSERT_EQ(device->SetState(PhoneLine(9600)), 0);
  ASSERT_EQ(device->SetEventMask(os::kEvTxEmpty | os::kEvErr), 0);
  std::atomic<int> result{-100};
  std::thread waiter([&] {
    std::uint32_t events = 0;
    result = device->WaitEvent(&events);
  });
  pty.Send("x");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(result, -100);
  device->CancelWait();
  waiter.join();
  EXPECT_EQ(result, os::kWaitCancelled);
}

TEST(SerialDevice, AHungUpDeviceEndsTheWaitWithAnError) {
  Pty pty;
  auto device = OpenPty(pty);
  ASSERT_EQ(device->SetState(PhoneLine(9600)), 0);
  ASSERT_EQ(device->SetEventMask(0x5FF), 0);
  std::atomic<int> result{-100};
  std::thread waiter([&] {
    std::uint32_t events = 0;
    result = device->WaitEvent(&events);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pty.HangUp();
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (result == -100 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (result == -100) device->CancelWait();
  waiter.join();
  EXPECT_EQ(result, EIO);
  // The queues of a hung-up device are gone: discarding them succeeds.
  EXPECT_EQ(device->Purge(os::kPurgeTxAbort | os::kPurgeRxAbort), 0);
}

TEST(ListSerialPorts, NamesOnlyDevicesThatTheNameMappingOpens) {
  std::vector<std::string> names{"stale"};
  ASSERT_EQ(os::ListSerialPorts(&names), 0);
  for (const std::string& name : names) {
    EXPECT_NE(name, "stale");
    EXPECT_EQ(name.find("/dev/"), std::string::npos) << name;
    struct stat st;
    ASSERT_EQ(stat(os::SerialDevicePath(name).c_str(), &st), 0) << name;
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << name;
    EXPECT_NE(name.rfind("pts", 0), 0u) << name;      // no pseudo-terminals
    EXPECT_NE(name, "tty");
    EXPECT_NE(name, "console");
  }
}

}  // namespace
