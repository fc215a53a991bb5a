// The serial port object on a COM port that Wine maps to a pseudo-terminal
// whose other end is pty_peer.py: line settings as the peer sees them,
// writing, the count waiting, reading, purging, and the receive event that the
// event thread hands to this thread.
#include <string>

#include "serial/CPort.h"
#include "tests/wine/check.h"
// windows.h maps SetPort to SetPortA (a printer call); the port object's SetPort is meant.
#undef SetPort

namespace {

// Runs queued hand-overs and messages until `condition` holds or `milliseconds` pass.
bool ServiceUntil(unsigned milliseconds, const std::function<bool()>& condition) {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  while (!condition()) {
    if (GetTickCount64() >= deadline) return false;
    os::WaitForWork(10);
    os::RunHandOvers();
    os::DispatchMessages();
  }
  return true;
}

// Reads what the peer sends until `expected` bytes have come or two seconds pass.
std::string ReadReply(TComPort& port, std::size_t expected) {
  std::string reply;
  check::Within(2000, [&] {
    std::string part;
    port.ReadString(part, port.BytesWaiting());
    reply += part;
    return reply.size() >= expected;
  });
  return reply;
}

std::string LineSettings(TComPort& port) {
  port.WriteString("STTY\n");
  std::string reply;
  check::Within(2000, [&] {
    std::string part;
    port.ReadString(part, port.BytesWaiting());
    reply += part;
    return reply.find('\n') != std::string::npos;
  });
  return reply.substr(0, reply.find('\n'));
}

void TestPortList(const std::string& portName) {
  std::vector<std::string> names;
  check::Equal(os::ListSerialPorts(&names), 0, "ListSerialPorts");
  bool listed = false;
  for (const std::string& name : names) listed = listed || name == portName;
  check::That(listed, portName + " is in the machine's port list");
}

void TestOpenMissingPort() {
  TComPort port;
  port.SetPort("COM77");
  try {
    port.Open();
    check::That(false, "opening COM77 raises");
  } catch (const EComPort& failure) {
    check::Equal(failure.Code(), 1, "a missing port raises message 1");
    check::Equal(failure.WinCode(), 2, "with the system's code for a missing file");
    check::Equal(failure.what(), "Unable to open com port (win error code: 2)", "the message text");
  }
  check::That(!port.Connected(), "the port stays closed");
}

void TestOpenPort(const std::string& portName) {
  TComPort port;
  port.SetPort(portName);
  port.SetBaudRate(br57600);
  port.Open();
  check::That(port.Connected(), "Open connects " + portName);
  check::Equal(LineSettings(port), "speed=57600 bits=8 parity=N stop=1 raw=1",
               "the peer sees 57600 baud, 8N1, raw");

  port.SetBaudRate(br9600);
  check::Equal(LineSettings(port), "speed=9600 bits=8 parity=N stop=1 raw=1",
               "a changed rate is applied to the open port at once");

  check::Equal(port.WriteString("ECHO hello\n"), 11, "WriteString returns the count written");
  check::Equal(ReadReply(port, 5), "hello", "the peer got the bytes and echoed them");

  check::Equal(port.WriteString(""), 0, "writing nothing returns 0");
  std::string nothing = "x";
  check::Equal(port.ReadString(nothing, 0), 0, "ReadString of 0 bytes returns 0");
  check::Equal(nothing, "", "and an empty string");

  port.WriteString("SEND 20\n");
  check::That(check::Within(2000, [&] { return port.BytesWaiting() == 20; }), "BytesWaiting counts 20 bytes");
  std::string data;
  const ULONGLONG start = GetTickCount64();
  check::Equal(port.ReadString(data, 100), 20, "reading more than is waiting returns what is waiting");
  check::That(GetTickCount64() - start < 500, "and returns at once");
  check::Equal(data, "01234567890123456789", "the bytes as sent");

  port.WriteString("SEND 30\n");
  check::That(check::Within(2000, [&] { return port.BytesWaiting() == 30; }), "30 bytes wait before the purge");
  port.PurgeBuffers(true, true);
  check::Equal(port.BytesWaiting(), 0, "PurgeBuffers discards them");

  std::int32_t eventCount = 0;
  DWORD handlerThread = 0;
  std::string received;
  port.OnRxChar = [&](TCustomComPort* sender, std::int32_t count) {
    eventCount = count;
    handlerThread = GetCurrentThreadId();
    std::string part;
    static_cast<TComPort*>(sender)->ReadString(part, count);
    received += part;
  };
  port.WriteString("SEND 12\n");
  check::That(ServiceUntil(3000, [&] { return received.size() >= 12; }),
              "the receive event arrives through the hand-over");
  check::That(eventCount > 0, "with the count waiting (" + std::to_string(eventCount) + ")");
  check::Equal(static_cast<long long>(handlerThread), GetCurrentThreadId(), "on the user-interface thread");
  check::Equal(received, "012345678901", "the handler read the bytes");
  port.OnRxChar = nullptr;

  port.Close();
  check::That(!port.Connected(), "Close disconnects");
  port.Open();
  check::That(port.Connected(), "the port opens again after Close");
  check::Equal(LineSettings(port), "speed=9600 bits=8 parity=N stop=1 raw=1", "and works");
  port.Close();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string portName = argc > 1 ? argv[1] : "COM5";
  try {
    TestPortList(portName);
    TestOpenMissingPort();
    TestOpenPort(portName);
  } catch (const std::exception& failure) {
    check::That(false, std::string("unexpected failure: ") + failure.what());
  }
  return check::Summary();
}
