// Linux serial details that tests look at: how a port name becomes a device
// path, and how the device-control record becomes termios settings.
#pragma once

#include <termios.h>

#include <string>

#include "platform/platform.h"

namespace os {

// An absolute path stays as it is, "COMn" (any case, n from 1) is
// /dev/ttyS(n-1), anything else is /dev/NAME.
inline std::string SerialDevicePath(const std::string& portName) {
  if (!portName.empty() && portName[0] == '/') return portName;
  if (portName.size() > 3 && portName.size() <= 12 && (portName[0] == 'C' || portName[0] == 'c') &&
      (portName[1] == 'O' || portName[1] == 'o') && (portName[2] == 'M' || portName[2] == 'm') &&
      portName[3] != '0') {
    unsigned long number = 0;
    bool digits = true;
    for (std::size_t i = 3; i < portName.size(); ++i) {
      if (portName[i] < '0' || portName[i] > '9') {
        digits = false;
        break;
      }
      number = number * 10 + static_cast<unsigned long>(portName[i] - '0');
    }
    if (digits) return "/dev/ttyS" + std::to_string(number - 1);
  }
  return "/dev/" + portName;
}

// Puts the line settings of `control` into `t` (raw mode, size, parity, stop
// bits, flow control, rate when it has a termios constant); other fields of
// `t` stay. Returns 0, or EINVAL for settings no line can have. Sets
// *freeRate when the rate has no termios constant and needs the kernel's
// free-rate call.
int DeviceControlToTermios(const DeviceControl& control, termios* t, bool* freeRate);

}  // namespace os
