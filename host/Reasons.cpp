#include "host/Reasons.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "host/PhonePaths.h"
#include "serial/CPort.h"

namespace fs = std::filesystem;

namespace host {

namespace {

// The line rate the module sets for a stored index; nothing for one it refuses.
std::optional<std::uint32_t> LineRateOf(std::int32_t baudIndex) {
  const std::optional<TBaudRate> rate = settings::BaudRateOfIndex(baudIndex);
  if (!rate) return std::nullopt;
  const TComPort fresh;  // index 0 takes the custom rate the module's port starts with
  return BaudRateValue(*rate, fresh.CustomBaudRate());
}

// Tries the port as the module opens it; the system's reason when it does not open.
std::optional<std::string> PortOpenError(const std::string& port) {
  int error = 0;
  if (os::OpenSerialDevice(port, &error)) return std::nullopt;
  return SystemErrorText(error);
}

}  // namespace

void Complain(const std::string& text) { std::cerr << "velkfs: " << text << "\n"; }

int ResultCode(int result, const std::string& what, const std::function<std::string()>& whyFailed) {
  switch (result) {
    case kFsFileOk:
      return 0;
    case kFsFileExists:
      Complain(what + ": the local file exists (use -f to overwrite)");
      return kFsFileExists;
    case kFsFileAborted:
      Complain(what + ": aborted");
      return kFsFileAborted;
    default:
      Complain(what + ": " + whyFailed());
      return kFsFileFailed;
  }
}

SettingsInForce SettingsInUse() {
  const std::string path = settings::ReadPath();
  if (fs::exists(path)) return {settings::Read(path), "from " + path};
  // Where the user's own file would be, beside the one every user shares.
  const std::string user = settings::WritePath();
  const std::string shared = settings::BesideHostPath();
  const std::string none = user == shared ? shared : user + " nor " + shared;
  return {settings::Read(path), "the module's defaults: there is no " + none};
}

std::string RateText(std::int32_t baudIndex) {
  const auto rate = LineRateOf(baudIndex);
  return rate ? std::to_string(*rate) + " baud" : "baud index " + std::to_string(baudIndex);
}

std::string UnreachableReason(Session& session) {
  session.Close();
  const SettingsInForce inUse = SettingsInUse();
  const settings::Values& values = inUse.values;
  const std::string baud = RateText(values.baudIndex);
  std::string reason;
  if (!LineRateOf(values.baudIndex)) {
    reason = "the " + baud + " is none of the list (0-16), so the module does not open the port";
  } else if (const auto error = PortOpenError(values.port)) {
    reason = "the port " + values.port + " could not be opened: " + *error;
  } else {
    reason = "the phone did not answer on " + values.port + " at " + baud;
  }
  return reason + "\n  settings: port " + values.port + ", " + baud + " (" + inUse.origin + ")" +
         "\n  to change them: velkfs config --port PORT --baud RATE (PORT such as /dev/ttyUSB0 or COM3)";
}

Lookup FindRemote(Session& session, const std::string& path) {
  if (IsRoot(path)) return {true, RemoteEntry{"", true, 0}};
  Lookup found;
  const std::string name = NameOf(path);
  found.parentListed = session.List(ParentOf(path), [&](const RemoteEntry& entry) {
    if (entry.name == name) found.entry = entry;
    return !found.entry;
  });
  return found;
}

std::string PhoneReason(Session& session, const std::string& path, const EntryReason& explain) {
  // What the module said of the failed call names the cause better than a
  // guess made afterwards, once the phone is known to answer.
  const std::string said = session.ModuleReason();
  if (!session.PhoneAnswers()) return UnreachableReason(session);
  const Lookup found = FindRemote(session, path);
  if (!found.parentListed) return "there is no phone folder " + ParentOf(path);
  return said.empty() ? explain(found.entry) : said;
}

std::string ListFailureReason(Session& session, const std::string& folder) {
  const std::string said = session.ModuleReason();
  return PhoneReason(session, folder, [&](const std::optional<RemoteEntry>& entry) -> std::string {
    if (!entry) return "there is no phone folder " + folder;
    if (!entry->isDirectory) return "it is a file";
    return said.empty() ? "the phone could not list it" : said;
  });
}

std::string TransferReason(Session& session, const std::function<std::string()>& explain) {
  const std::string said = session.ModuleReason();
  return said.empty() ? explain() : said;
}

std::optional<std::string> UnreadableReason(const fs::path& local) {
  std::error_code error;
  if (fs::is_directory(local, error)) return local.string() + " is a folder";
  // The module sends regular files only; opening a pipe would wait for its writer.
  if (fs::exists(local, error) && !fs::is_regular_file(local, error)) {
    return "cannot read " + local.string() + ": it is not a regular file";
  }
  errno = 0;
  std::FILE* file = std::fopen(local.string().c_str(), "rb");
  if (file == nullptr) return "cannot read " + local.string() + ": " + std::strerror(errno);
  std::fclose(file);
  return std::nullopt;
}

}  // namespace host
