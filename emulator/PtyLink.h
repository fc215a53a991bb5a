// The phone's end of the serial line: a pseudo-terminal whose slave side the
// module opens as its port. Reads request frames, hands them to the emulator
// and writes its replies, paced like a serial line when a rate is set.
#pragma once

#include <string>

#include "emulator/PhoneEmulator.h"

namespace phonesim {

struct LinkOptions {
  std::string linkPath;   // symlink published to the terminal's slave path
  unsigned baud = 0;      // 0: no pacing
  std::string tracePath;  // empty: no trace
};

// Runs until SIGINT or SIGTERM, or until a hang-up fault closes the terminal.
// Returns the exit status.
int RunPtyLink(PhoneEmulator& phone, const LinkOptions& options);

}  // namespace phonesim
