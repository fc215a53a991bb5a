#include <iostream>

#include "host/Commands.h"
#include "host/Reasons.h"

namespace host {

namespace {

int ShowSettings() {
  const SettingsInForce inUse = SettingsInUse();
  std::cout << "Settings in force (" << inUse.origin << "):\n"
            << "  port  " << inUse.values.port << "\n"
            << "  baud  " << RateText(inUse.values.baudIndex) << " (index " << inUse.values.baudIndex << ")\n"
            << "velkfs config --port PORT --baud RATE writes them to " << settings::WritePath() << "\n";
  return 0;
}

}  // namespace

int ConfigCommand(const std::optional<std::string>& port, const std::optional<std::string>& baud) {
  if (!port && !baud) return ShowSettings();
  std::optional<std::int32_t> baudIndex;
  if (baud) {
    baudIndex = settings::BaudIndexFromText(*baud);
    if (!baudIndex) {
      Complain("--baud: not a baud-rate index (0-16) nor a rate of the list: " + *baud);
      return kExitUsage;
    }
  }
  const std::string path = settings::WritePath();
  // A first user file starts from the settings read so far, so that the key
  // not given keeps its value instead of falling back to its default.
  const std::string readFrom = settings::ReadPath();
  const settings::Values current = settings::Read(readFrom);
  const bool seed = readFrom != path;
  if (settings::Write(path, port ? port : seed ? std::optional(current.port) : std::nullopt,
                      baudIndex ? baudIndex : seed ? std::optional(current.baudIndex) : std::nullopt) != 0) {
    Complain("cannot write " + path);
    return kFsFileFailed;
  }
  std::cout << "Settings written to " << path << "\n";
  return 0;
}

}  // namespace host
