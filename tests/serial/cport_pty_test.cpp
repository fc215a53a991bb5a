// The port object on a real device: the slave side of a pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>

#include <chrono>
#include <thread>

#include "serial/CPort.h"
#include "tests/platform/pty.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing_pty::Pty;

template <typename Pred>
bool ServeHandOversUntil(Pred done, int seconds = 5) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    os::RunHandOvers();
    if (!done()) os::WaitForWork(20);
  }
  return true;
}

std::int32_t WaitForBytes(TComPort& port, std::int32_t atLeast) {
  std::int32_t count = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (Clock::now() < deadline && (count = port.BytesWaiting()) < atLeast) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return count;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(PortOnDevice, OpenPutsThePhoneLineSettingsOnTheDevice) {
  Pty pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  port.Open();
  ASSERT_TRUE(port.Connected());
  termios t = pty.Attributes();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);

  port.SetBaudRate(br115200);  // applied to the open device at once
  t = pty.Attributes();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  port.SetBaudRate(br110);
  t = pty.Attributes();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B110));
  port.SetBaudRate(brCustom);
  t = pty.Attributes();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  port.SetBaudRate(br256000);
  termios2 t2{};
  ASSERT_EQ(ioctl(pty.Master(), TCGETS2, &t2), 0);
  EXPECT_EQ(t2.c_ospeed, 256000u);
  port.Close();
}

TEST(PortOnDevice, AMissingDeviceRaisesMessage1WithCode2) {
  TComPort port;
  port.SetPort("/dev/velk-no-such-port");
  try {
    port.Open();
    FAIL() << "opened a missing device";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 1);
    EXPECT_EQ(e.WinCode(), 2);
    EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
  }
  EXPECT_FALSE(port.Connected());
}

TEST(PortOnDevice, OpenAndCloseAreIdempotent) {
  Pty pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  port.Close();
  port.Open();
  port.Open();
  EXPECT_TRUE(port.Connected());
  port.Close();
  port.Close();
  EXPECT_FALSE(port.Connected());
  port.Open();
  EXPECT_TRUE(port.Connected());
}

TEST(PortOnDevice, APortChangeReopensOnTheNewDevice) {
  Pty first, second;
  TComPort port;
  port.SetPort(first.SlavePath());
  port.Open();
  first.Send("kept");
  ASSERT_EQ(WaitForBytes(port, 4), 4);
  port.SetPort(first.SlavePath());  // the same name: no reopen, nothing discarded
  EXPECT_EQ(port.BytesWaiting(), 4);

  port.SetPort(second.SlavePath());
  ASSERT_TRUE(port.Connected());
  EXPECT_EQ(port.WriteString("to second"), 9);
  EXPECT_EQ(second.Receive(9), "to second");
  const termios t = second.Attributes();
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);  // the new device got the settings

  try {
    port.SetPort("/dev/velk-no-such-port");
    FAIL() << "reopened on a missing device";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), 1);
    EXPECT_EQ(e.WinCode(), 2);
  }
  EXPECT_FALSE(port.Connected());
}

TEST(PortOnDevice, ReadWriteWaitingAndPurge) {
  Pty pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  port.SetEvents(0);
  port.Open();
  EXPECT_EQ(port.BytesWaiting(), 0);
  std::string data = "old";
  const auto start = Clock::now();
  EXPECT_EQ(port.ReadString(data, 10), 0);  // nothing waits: back at once
  EXPECT_EQ(data, "");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));

  const std::string reply("\x59\x0a\x00\x05\x7d\x5e\x7e", 7);
  pty.Send(reply);
  ASSERT_EQ(WaitForBytes(port, 7), 7);
  EXPECT_EQ(port.ReadString(data, 0), 0);
  EXPECT_EQ(data, "");
  EXPECT_EQ(port.ReadString(data, 3), 3);
  EXPECT_EQ(data, reply.substr(0, 3));
  EXPECT_EQ(port.BytesWaiting(), 4);
  EXPECT_EQ(port.ReadString(data, 100), 4);
  EXPECT_EQ(data, reply.substr(3));

  EXPECT_EQ(port.WriteString(""), 0);
  EXPECT_EQ(port.WriteString(reply), 7);
  EXPECT_EQ(pty.Receive(7), reply);

  pty.Send("stale");
  ASSERT_EQ(WaitForBytes(port, 5), 5);
  port.PurgeBuffers(true, true);
  EXPECT_EQ(port.BytesWaiting(), 0);
}

TEST(PortOnDevice, TheLastPacketWrittenBeforeCloseIsNotLost) {
  Pty pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  port.Open();
  const std::string confirm("\x29\x02\x00\x00\x00\x7e", 6);
  EXPECT_EQ(port.WriteString(confirm), 6);
  port.Close();
  EXPECT_EQ(pty.Receive(confirm.size()), confirm);
}

TEST(PortOnDevice, TheEventThreadDeliversOnRxCharWithTheCountWaiting) {
  Pty pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  std::int32_t count = -1;
  std::string got;
  port.OnRxChar = [&](TCustomComPort* sender, std::int32_t n) {
    EXPECT_EQ(sender, &port);
    count = n;
    static_cast<TComPort*>(sender)->ReadString(got, n);
  };
  port.Open();
  pty.Send("abc");
  ASSERT_TRUE(ServeHandOversUntil([&] { return count != -1; }));
  EXPECT_EQ(count, 3);
  EXPECT_EQ(got, "abc");
  count = -1;
  pty.Send("defg");
  ASSERT_TRUE(ServeHandOversUntil([&] { return count != -1; }));
  EXPECT_GE(count, 1);
  port.Close();
}

TEST(PortOnDevice, OnRxFlagComesWhenTheEventCharacterArrivesWithEveryByteKept) {
  Pty pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  port.SetEventChar(0x7E);
  port.SetEvents(ComEventBit(evRxFlag));
  int flags = 0, rxChars = 0;
  port.OnRxFlag = [&](TCustomComPort*, std::int32_t n) {
    ++flags;
    EXPECT_EQ(n, 5);
  };
  port.OnRxChar = [&](TCustomComPort*, std::int32_t) { ++rxChars; };
  port.Open();
  pty.Send("abc");
  const auto quiet = Clock::now() + std::chrono::milliseconds(200);
  while (Clock::now() < quiet) {
    os::RunHandOvers();
    os::WaitForWork(20);
  }
  EXPECT_EQ(flags, 0);  // no event character yet
  pty.Send("d\x7e");
  ASSERT_TRUE(ServeHandOversUntil([&] { return flags == 1; }));
  std::string got;
  EXPECT_EQ(port.ReadString(got, 100), 5);
  EXPECT_EQ(got, "abcd\x7e");
  EXPECT_EQ(rxChars, 0);
  port.Close();
}

TEST(PortOnDevice, CloseFinishesWhileTheEventThreadWaitsInAHandOver) {
  Pty pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  std::int32_t count = -1;
  port.OnRxChar = [&](TCustomComPort*, std::int32_t n) { count = n; };
  port.Open();
  os::WaitForWork(0);  // forget wake-ups left by earlier hand-overs
  pty.Send("xyz");
  const auto waitStart = Clock::now();
  os::WaitForWork(5000);  // wakes when the event thread queues its hand-over
  ASSERT_LT(Clock::now() - waitStart, std::chrono::seconds(4));
  EXPECT_EQ(count, -1);
  const auto start = Clock::now();
  port.Close();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(count, 3);
  EXPECT_FALSE(port.Connected());
}

TEST(PortOnDevice, AHungUpDeviceClosesThePortWithoutSpinning) {
  Pty pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  int calls = 0;
  port.OnRxChar = [&](TCustomComPort*, std::int32_t) { ++calls; };
  port.Open();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  pty.HangUp();
  // Seen by the event thread between operations: nothing of this thread runs.
  const auto seen = Clock::now() + std::chrono::seconds(3);
  while (port.Connected() && Clock::now() < seen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(port.Connected());
  const double before = CpuSeconds();
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::milliseconds(500)) {
    os::RunHandOvers();
    os::WaitForWork(20);
  }
  EXPECT_LT(CpuSeconds() - before, 0.2);
  EXPECT_EQ(calls, 0);
  EXPECT_THROW(port.BytesWaiting(), EComPort);
  port.Close();
  EXPECT_FALSE(port.Connected());
}

}  // namespace
