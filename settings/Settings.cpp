#include "settings/Settings.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/ini.h"
#include "platform/platform.h"

namespace settings {

namespace {

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<TBaudRate> BaudRateOfIndex(std::int32_t index) {
  const auto rate = static_cast<std::uint8_t>(index & 0xFF);
  if (rate >= kBaudRateCount) return std::nullopt;
  return static_cast<TBaudRate>(rate);
}

std::optional<std::int32_t> BaudIndexFromText(const std::string& text) {
  for (std::int32_t index = 0; index < kBaudRateCount; ++index) {
    if (SameTextIgnoringCase(text, BaudRateText(index))) return index;
  }
  if (text.empty() || text.size() > 2) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  const std::int32_t index = std::stoi(text);
  if (index >= kBaudRateCount) return std::nullopt;
  return index;
}

Values Read(const std::string& file) {
  Values values;
  values.port = os::IniRead(file, kSection, kPortKey, kDefaultPort);
  std::int32_t baud = kDefaultBaudIndex;
  if (!ParseIniInteger(os::IniRead(file, kSection, kBaudKey, ""), &baud)) baud = kDefaultBaudIndex;
  values.baudIndex = baud;
  return values;
}

int Write(const std::string& file, const std::optional<std::string>& port,
          const std::optional<std::int32_t>& baudIndex) {
  std::error_code error;
  const std::filesystem::path folder = std::filesystem::path(file).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, error);
  if (error) return error.value();
  int refused = 0;
  if (port) refused = os::IniWrite(file, kSection, kPortKey, *port);
  if (refused == 0 && baudIndex) refused = os::IniWrite(file, kSection, kBaudKey, std::to_string(*baudIndex));
  return refused;
}

std::string BesideHostPath() { return os::ExecutableDir() + kFileName; }

std::string UserPath() {
  // The configuration folder must be absolute; a relative one is ignored.
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  std::string folder;
  if (configHome != nullptr && configHome[0] == '/') {
    folder = configHome;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    folder = std::string(home) + "/.config";
  } else {
    return std::string();
  }
  return folder + "/" + kUserFolder + "/" + kFileName;
}

std::string ReadPath() {
  const std::string user = os::kHasUserSettings ? UserPath() : std::string();
  if (!user.empty() && os::FileExists(user)) return user;
  return BesideHostPath();
}

std::string WritePath() {
  const std::string user = os::kHasUserSettings ? UserPath() : std::string();
  return user.empty() ? BesideHostPath() : user;
}

}  // namespace settings
