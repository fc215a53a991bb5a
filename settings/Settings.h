// The plug-in's two settings, the port name and the baud-rate index, as the
// settings file "fsplugin.ini" holds them: the names, the defaults, the rate
// an index selects (from the serial port's table), where the file lives, and
// reading and writing it.
//
// Where the file lives: on Windows beside the host's executable. On Linux the
// user's own file, $XDG_CONFIG_HOME/velk-plugin/fsplugin.ini (by default
// ~/.config/velk-plugin/), is read when it exists, otherwise the file beside
// the host's executable (a default for all users); writes always go to the
// user's file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "serial/CPort.h"
#include "serial/CPortCtl.h"

namespace settings {

inline constexpr const char* kFileName = "fsplugin.ini";
inline constexpr const char* kSection = "VLK";
inline constexpr const char* kPortKey = "velkport";
inline constexpr const char* kBaudKey = "baud";
inline constexpr const char* kDefaultPort = "COM1";
inline constexpr std::int32_t kDefaultBaudIndex = 1;  // 110 bits per second
// The user's settings folder below the configuration folder (Linux).
inline constexpr const char* kUserFolder = "velk-plugin";

// The rate of the port that a stored baud-rate index selects: its low byte
// names a rate of the port's table (brCustom for 0); nothing when no rate has
// that number.
std::optional<TBaudRate> BaudRateOfIndex(std::int32_t index);

// The text of a baud-rate index as the options show it: "Custom" for 0, the
// rate in decimal otherwise, empty for an index outside the table.
inline std::string BaudRateText(std::int32_t index) {
  if (index < 0 || index >= kBaudRateCount) return std::string();
  return BaudRateToText(static_cast<TBaudRate>(index));
}

// The baud-rate index a user typed: an index of the table (0 to 16), a rate
// of the table, or a text of BaudRateText (case ignored); nothing otherwise.
std::optional<std::int32_t> BaudIndexFromText(const std::string& text);

struct Values {
  std::string port = kDefaultPort;
  std::int32_t baudIndex = kDefaultBaudIndex;
};

// The two settings of `file`; a missing file or key gives the default, and
// so does a "baud" value that is not an integer (decimal, or hexadecimal
// after "$" or "0x").
Values Read(const std::string& file);

// Writes the given keys to `file`, creating its folder and the file when
// missing and keeping every other line. Returns 0 or the system's code.
int Write(const std::string& file, const std::optional<std::string>& port,
          const std::optional<std::int32_t>& baudIndex);

// The file beside the host's executable.
std::string BesideHostPath();
// The user's own file (Linux); empty when neither $XDG_CONFIG_HOME nor $HOME
// names a folder.
std::string UserPath();
// The file the settings are read from, and the one they are written to.
std::string ReadPath();
std::string WritePath();

}  // namespace settings
