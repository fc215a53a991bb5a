// The plug-in's two settings, the port name and the baud-rate index, as the
// settings file "fsplugin.ini" holds them: the names, the defaults, the table
// of baud rates, where the file lives, and reading and writing it.
//
// Where the file lives: on Windows beside the host's executable. On Linux the
// user's own file, $XDG_CONFIG_HOME/velk-plugin/fsplugin.ini (by default
// ~/.config/velk-plugin/), is read when it exists, otherwise the file beside
// the host's executable (a default for all users); writes always go to the
// user's file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace settings {

inline constexpr const char* kFileName = "fsplugin.ini";
inline constexpr const char* kSection = "VLK";
inline constexpr const char* kPortKey = "velkport";
inline constexpr const char* kBaudKey = "baud";
inline constexpr const char* kDefaultPort = "COM1";
inline constexpr std::int32_t kDefaultBaudIndex = 1;  // 110 bits per second
// The user's settings folder below the configuration folder (Linux).
inline constexpr const char* kUserFolder = "velk-plugin";

// Bits per second by baud-rate index, the index the "baud" key stores and the
// serial port's rate setting; index 0 is the port's custom rate.
inline constexpr std::array<std::uint32_t, 17> kBaudRates = {
    0,     110,   300,   600,    1200,   2400,   4800,   9600,  14400,
    19200, 38400, 56000, 57600, 115200, 128000, 256000, 512000,
};

// The text of a baud-rate index as the options show it: "Custom" for 0, the
// rate in decimal otherwise, empty for an index outside the table.
inline std::string BaudRateText(std::int32_t index) {
  if (index < 0 || index >= static_cast<std::int32_t>(kBaudRates.size())) return std::string();
  return index == 0 ? "Custom" : std::to_string(kBaudRates[static_cast<std::size_t>(index)]);
}

// The entry of the rate table that the module's port takes for a stored
// index: the index's low byte; nothing when that lies beyond the table, and
// the module then leaves the port closed.
inline std::optional<std::int32_t> PortRateIndex(std::int32_t baudIndex) {
  const std::int32_t low = baudIndex & 0xFF;
  if (low >= static_cast<std::int32_t>(kBaudRates.size())) return std::nullopt;
  return low;
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
