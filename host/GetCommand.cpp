#include <vector>

#include "host/Commands.h"
#include "host/PhonePaths.h"
#include "host/Reasons.h"

namespace fs = std::filesystem;

namespace host {

namespace {

bool IsInstallFolder(const std::string& folder, const RemoteEntry& entry) {
  if (!IsRoot(folder) || !entry.isDirectory) return false;
  for (const InstallFolder& install : kInstallFolders)
    if (entry.name == install.name) return true;
  return false;
}

int GetTree(Session& session, const std::string& remote, const RemoteEntry& entry, const fs::path& local,
            bool overwrite);

int GetFile(Session& session, const std::string& remote, const RemoteEntry& entry, const fs::path& local,
            bool overwrite) {
  return ResultCode(session.Get(remote, local.string(), overwrite, entry.size),
                    "cannot copy " + remote + " to " + local.string(), [&] {
                      return TransferReason(session, [&] {
                        if (!session.PhoneAnswers()) return UnreachableReason(session);
                        return "the transfer failed (the phone broke off, or " + local.string() +
                               " could not be written)";
                      });
                    });
}

int GetFolder(Session& session, const std::string& remote, const fs::path& local, bool overwrite) {
  std::error_code error;
  fs::create_directories(local, error);
  if (error) {
    Complain("cannot create " + local.string() + ": " + error.message());
    return kFsFileFailed;
  }
  // The whole listing comes first: a transfer in between would end it.
  std::vector<RemoteEntry> entries;
  if (!session.List(remote, [&](const RemoteEntry& child) {
        if (!IsInstallFolder(remote, child)) entries.push_back(child);
        return true;
      })) {
    Complain("cannot list " + remote + ": " + ListFailureReason(session, remote));
    return kFsFileFailed;
  }
  for (const auto& child : entries) {
    if (InterruptRequested()) return kFsFileAborted;
    const int code =
        GetTree(session, Joined(remote, child.name, SeparatorOf(remote)), child, local / child.name, overwrite);
    if (code != 0) return code;
  }
  return 0;
}

int GetTree(Session& session, const std::string& remote, const RemoteEntry& entry, const fs::path& local,
            bool overwrite) {
  if (entry.isDirectory) return GetFolder(session, remote, local, overwrite);
  return GetFile(session, remote, entry, local, overwrite);
}

}  // namespace

int GetCommand(Session& session, const std::string& typedRemote, const std::string& typedLocal,
               bool overwrite) {
  const std::string remote = WithoutTrailingSeparator(FromPhoneRoot(typedRemote));
  const Lookup found = FindRemote(session, remote);
  if (!found.entry && found.parentListed) {
    // A listing may not show every entry the phone has: the phone itself is asked for the file.
    fs::path local = typedLocal;
    if (fs::is_directory(local)) local /= NameOf(remote);
    return ResultCode(session.Get(remote, local.string(), overwrite, std::nullopt),
                      "cannot copy " + remote + " to " + local.string(), [&] {
                        // A refusal of a file its folder does not list: the phone has no such file.
                        const std::string said = session.ModuleReason();
                        const bool refused = said.empty() || said.rfind("the phone answered with an error", 0) == 0;
                        return refused ? "no such file or folder on the phone" + (said.empty() ? "" : " (" + said + ")")
                                       : said;
                      });
  }
  if (!found.entry) {
    Complain("cannot copy " + remote + ": " + ListFailureReason(session, ParentOf(remote)));
    return kFsFileFailed;
  }
  fs::path local = typedLocal;
  if (fs::is_directory(local) && !IsRoot(remote)) local /= found.entry->name;
  return GetTree(session, remote, *found.entry, local, overwrite);
}

}  // namespace host
