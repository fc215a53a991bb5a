// Why something failed, as far as velkfs and the module can tell, and how
// velkfs tells it.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "host/Session.h"
#include "settings/Settings.h"

namespace host {

// Exit codes beyond the module's file result codes.
constexpr int kExitUsage = 2;

void Complain(const std::string& text);

// The exit code of a transfer's result; a failure is told with `whyFailed`.
int ResultCode(int result, const std::string& what, const std::function<std::string()>& whyFailed);

// The settings the module reads when it loads, and where they come from.
struct SettingsInForce {
  settings::Values values;
  std::string origin;  // as the user is told: "from FILE" or why the defaults serve
};
SettingsInForce SettingsInUse();
// "115200 baud", or the index when the module refuses it.
std::string RateText(std::int32_t baudIndex);

// Why the phone cannot be reached: the settings in use, whether their port
// opens, and how to change them. Ends the session first, as the module holds
// the port until then.
std::string UnreachableReason(Session& session);

// What stands at a phone path, as its parent folder's listing shows it.
struct Lookup {
  bool parentListed = false;
  std::optional<RemoteEntry> entry;
};
Lookup FindRemote(Session& session, const std::string& path);

using EntryReason = std::function<std::string(const std::optional<RemoteEntry>&)>;
// Why an operation on the phone path `path` failed: the phone does not
// answer, the folder it lies in is missing, or what `explain` makes of the
// entry at the path (none when there is none).
std::string PhoneReason(Session& session, const std::string& path, const EntryReason& explain);
std::string ListFailureReason(Session& session, const std::string& folder);
// Why a transfer failed: what the module said, else what `explain` finds.
std::string TransferReason(Session& session, const std::function<std::string()>& explain);

// Why a local file cannot be read, or nothing when it can.
std::optional<std::string> UnreadableReason(const std::filesystem::path& local);

}  // namespace host
