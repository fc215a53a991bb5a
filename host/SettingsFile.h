// The module's settings file "fsplugin.ini" beside the host executable: the
// port name and the baud-rate index in section "VLK".
#pragma once

#include <optional>
#include <string>

namespace host {

// Sets `key` to `value` in `section` of the INI text, keeping every other
// line; adds the key or the section when missing. Names compare without case,
// as the system's INI functions do.
std::string WithIniValue(const std::string& text, const std::string& section, const std::string& key,
                         const std::string& value);

// The baud-rate index for "INDEX|RATE": an index 0..16 as it is, a rate of
// the port's table by its index; nothing for anything else.
std::optional<int> BaudIndexFromText(const std::string& text);

}  // namespace host
